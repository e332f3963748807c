// Fourier pricers: fft_prices, direct_prices and cos_prices.
#include "fourier/fourier.hpp"
#include "bindings/kernels/kernels.hpp"

#include <vector>

namespace orvelta::bindings {

namespace {

// The model parameters as an owned sequence, copied element by element
// through a one-dimensional view (ValueError when params is not 1-D).
std::vector<double> parameter_sequence(const f64_array& params) {
    const auto view = params.unchecked<1>();
    std::vector<double> seq(static_cast<std::size_t>(view.shape(0)));
    for (py::ssize_t i = 0; i < view.shape(0); ++i) seq[static_cast<std::size_t>(i)] = view(i);
    return seq;
}

// Views of strikes and tau (in that order), then their lengths: the length
// error comes before params is looked at.
py::ssize_t option_count(const f64_array& strikes, const f64_array& tau) {
    const auto ks = strikes.unchecked<1>();
    const auto ts = tau.unchecked<1>();
    if (ks.shape(0) != ts.shape(0))
        throw std::runtime_error("strikes and tau must have the same length");
    return ks.shape(0);
}

py::dict fft_prices(int model_id, const f64_array& params, double s, double r, double q, double tau,
                    double alpha, int n, double eta, int option_type) {
    (void)params.unchecked<1>();
    const std::int64_t N = fourier::fft_grid_size(n);
    // The parameter copy, the strikes and prices, and the transform's buffer.
    require_memory("fft_prices",
                   bytes_of(static_cast<double>(params.size()) + 4.0 * static_cast<double>(N),
                            sizeof(double)));
    const std::vector<double> seq = parameter_sequence(params);
    py::array_t<double> strikes(static_cast<py::ssize_t>(N));
    py::array_t<double> prices(static_cast<py::ssize_t>(N));
    fourier::fft_prices(model_id, seq, s, r, q, tau, alpha, n, eta, option_type,
                        mutable_data_1d(strikes), mutable_data_1d(prices));
    return py::dict("strikes"_a = strikes, "prices"_a = prices);
}

// direct_prices and cos_prices share their arguments and checks; they differ
// in the core pricer and in the meaning of the two numerical settings.
using StrikeListPricer = void (*)(int, const std::vector<double>&, std::size_t, const double*,
                                  const double*, double, double, double, int, double, int, double*);

template <StrikeListPricer Price>
py::array_t<double> strike_list_prices(const char* name, int model_id, const f64_array& params,
                                       const f64_array& strikes, const f64_array& tau, double s,
                                       double r, double q, int terms, double setting,
                                       int option_type) {
    const py::ssize_t n = option_count(strikes, tau);
    // The parameter copy, the result and (direct integration with one
    // maturity) three accumulators per option.
    require_memory(name, bytes_of(static_cast<double>(params.size()) + 4.0 * static_cast<double>(n),
                                  sizeof(double)));
    const std::vector<double> seq = parameter_sequence(params);
    py::array_t<double> out(n);
    double* po = mutable_data_1d(out);
    if (n == 0) return out;
    Price(model_id, seq, static_cast<std::size_t>(n), strikes.data(), tau.data(), s, r, q, terms,
          setting, option_type, po);
    return out;
}

py::array_t<double> direct_prices(int model_id, const f64_array& params, const f64_array& strikes,
                                  const f64_array& tau, double s, double r, double q, int n_terms,
                                  double u_max, int option_type) {
    return strike_list_prices<&fourier::direct_prices>("direct_prices", model_id, params, strikes,
                                                       tau, s, r, q, n_terms, u_max, option_type);
}

py::array_t<double> cos_prices(int model_id, const f64_array& params, const f64_array& strikes,
                               const f64_array& tau, double s, double r, double q, int n_terms,
                               double truncation_width, int option_type) {
    return strike_list_prices<&fourier::cos_prices>("cos_prices", model_id, params, strikes, tau, s,
                                                    r, q, n_terms, truncation_width, option_type);
}

}  // namespace

void register_fourier(py::module_& m) {
    m.def("fft_prices", &fft_prices, py::arg("model_id"), py::arg("params"), py::arg("s"),
          py::arg("r"), py::arg("q"), py::arg("tau"), py::arg("alpha") = 1.5, py::arg("n") = 256,
          py::arg("eta") = 0.25, py::arg("option_type") = 1);
    m.def("direct_prices", &direct_prices, py::arg("model_id"), py::arg("params"),
          py::arg("strikes"), py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"),
          py::arg("n_terms") = 512, py::arg("u_max") = 120.0, py::arg("option_type") = 1);
    m.def("cos_prices", &cos_prices, py::arg("model_id"), py::arg("params"), py::arg("strikes"),
          py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"), py::arg("n_terms") = 256,
          py::arg("truncation_width") = 10.0, py::arg("option_type") = 1);
}

}  // namespace orvelta::bindings
