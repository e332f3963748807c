// The seven per-option input arrays of a batch, as raw data pointers: spot,
// strike, rate, yield, volatility, time to expiry and option type (an int32
// for the kernels, a float64 for the engines, where NaN has a meaning).
#pragma once

namespace orvelta {

template <typename OptionType>
struct OptionArrays {
    const double* s;
    const double* k;
    const double* r;
    const double* q;
    const double* sigma;
    const double* tau;
    const OptionType* option_type;
};

}  // namespace orvelta
