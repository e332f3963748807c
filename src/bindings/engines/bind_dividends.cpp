// Options with discrete dividends and term structures: prices, Greeks and
// implied volatilities over flat arrays. The Python layer (orvelta.american)
// broadcasts, builds the curves and routes here when dividends or curves are
// given.
#include "dividends/dividends.hpp"
#include "common/checks.hpp"
#include "common/memory.hpp"
#include "common/threads.hpp"
#include "bindings/engines/engines.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace orvelta::bindings {

namespace {

// Options per slice: each may take milliseconds, so slices are short enough
// for Ctrl-C to be answered promptly between them.
constexpr std::size_t kSlice = 64;

// A curve from its two arrays (empty arrays: no curve, the rate is per option).
dividends::Curve curve_of(const f64_array& times, const f64_array& values, const char* name) {
    dividends::Curve c;
    const double* t = data_1d(times);
    const double* v = data_1d(values);
    c.times.assign(t, t + times.size());
    c.values.assign(v, v + values.size());
    const std::string err = dividends::curve_error(c);
    if (!err.empty()) throw py::value_error(std::string(name) + ": " + err);
    return c;
}

// Per-option inputs and the shared market of one call.
struct Inputs {
    dividends::BatchInput in;
    dividends::Curve r, q, sigma;
    dividends::Schedule schedule;
};

// Each rate is either per option (an array of the options' length, with an
// empty curve) or a shared curve (an empty array).
void market_of(Inputs& x, py::ssize_t n, const f64_array& r, const f64_array& r_times,
               const f64_array& r_values, const f64_array& q, const f64_array& q_times,
               const f64_array& q_values, const f64_array* sigma, const f64_array& s_times,
               const f64_array& s_values, const f64_array& div_times, const f64_array& div_amounts,
               bool proportional) {
    auto one = [&](const f64_array& flat, const f64_array& times, const f64_array& values,
                   const char* name, dividends::Curve& curve, const double** per,
                   const dividends::Curve** shared) {
        if (values.size() == 0 && times.size() == 0) {
            if (flat.size() != n)
                throw py::value_error("all input arrays must have the same length");
            *per = data_1d(flat);
            *shared = nullptr;
        } else {
            curve = curve_of(times, values, name);
            *per = nullptr;
            *shared = &curve;
        }
    };
    one(r, r_times, r_values, "r", x.r, &x.in.r, &x.in.r_curve);
    one(q, q_times, q_values, "q", x.q, &x.in.q, &x.in.q_curve);
    if (sigma != nullptr) {
        one(*sigma, s_times, s_values, "sigma", x.sigma, &x.in.sigma, &x.in.sigma_curve);
    } else if (s_values.size() > 0 || s_times.size() > 0) {
        x.sigma = curve_of(s_times, s_values, "sigma");
        x.in.sigma = nullptr;
        x.in.sigma_curve = &x.sigma;
    }
    if (div_times.size() != div_amounts.size()) {
        throw py::value_error("dividends need as many amounts as times");
    }
    const double* t = data_1d(div_times);
    const double* a = data_1d(div_amounts);
    x.schedule.times.assign(t, t + div_times.size());
    x.schedule.amounts.assign(a, a + div_amounts.size());
    x.schedule.proportional = proportional;
    x.in.dividends = &x.schedule;
}

void contract_of(Inputs& x, const f64_array& s, const f64_array& k, const f64_array& tau,
                 const f64_array& option_type, bool american) {
    const py::ssize_t n = require_equal_lengths({&s, &k, &tau, &option_type});
    x.in.count = static_cast<std::size_t>(n);
    x.in.s = data_1d(s);
    x.in.k = data_1d(k);
    x.in.tau = data_1d(tau);
    x.in.option_type = data_1d(option_type);
    x.in.american = american;
}

// Option i of `in` shifted to start at `lo`.
dividends::BatchInput slice_of(const dividends::BatchInput& in, std::size_t lo, std::size_t hi) {
    dividends::BatchInput b = in;
    b.count = hi - lo;
    b.s += lo;
    b.k += lo;
    b.tau += lo;
    b.option_type += lo;
    if (b.r != nullptr) b.r += lo;
    if (b.q != nullptr) b.q += lo;
    if (b.sigma != nullptr) b.sigma += lo;
    return b;
}

// A price or Greeks call over the contracts and the market (curves or
// per-option arrays, the dividends): the inputs are checked, the memory of
// `outputs` result arrays compared with the machine's, and `body(x, n, tol)`
// computes the result.
template <class Body>
auto market_call(const char* what, int outputs, Body body) {
    return [what, outputs, body](
               const f64_array& s, const f64_array& k, const f64_array& tau,
               const f64_array& option_type, const f64_array& r, const f64_array& r_times,
               const f64_array& r_values, const f64_array& q, const f64_array& q_times,
               const f64_array& q_values, const f64_array& sigma, const f64_array& sigma_times,
               const f64_array& sigma_values, const f64_array& div_times,
               const f64_array& div_amounts, bool proportional, bool american, double tol) {
        Inputs x;
        contract_of(x, s, k, tau, option_type, american);
        const auto n = static_cast<py::ssize_t>(x.in.count);
        require_tol(tol);
        market_of(x, n, r, r_times, r_values, q, q_times, q_values, &sigma, sigma_times,
                  sigma_values, div_times, div_amounts, proportional);
        require_memory(what, bytes_of(static_cast<double>(n) * outputs, sizeof(double)));
        return body(x, n, tol);
    };
}

template <class F>
void def_market_call(py::module_& m, const char* name, F f) {
    m.def(name, f, py::arg("s"), py::arg("k"), py::arg("tau"), py::arg("option_type"), py::arg("r"),
          py::arg("r_times"), py::arg("r_values"), py::arg("q"), py::arg("q_times"),
          py::arg("q_values"), py::arg("sigma"), py::arg("sigma_times"), py::arg("sigma_values"),
          py::arg("div_times"), py::arg("div_amounts"), py::arg("proportional"),
          py::arg("american"), py::arg("tol"));
}

py::array_t<double> dividend_price(Inputs& x, py::ssize_t n, double tol) {
    py::array_t<double> out(n);
    double* po = mutable_data_1d(out);
    run_sliced(x.in.count, kSlice, [&](std::size_t lo, std::size_t hi) {
        dividends::price_batch(slice_of(x.in, lo, hi), tol, po + lo);
    });
    return out;
}

py::dict dividend_greeks(Inputs& x, py::ssize_t n, double tol) {
    py::array_t<double> arrays[6] = {py::array_t<double>(n), py::array_t<double>(n),
                                     py::array_t<double>(n), py::array_t<double>(n),
                                     py::array_t<double>(n), py::array_t<double>(n)};
    double* p[6];
    for (int i = 0; i < 6; ++i) p[i] = mutable_data_1d(arrays[i]);
    run_sliced(x.in.count, kSlice, [&](std::size_t lo, std::size_t hi) {
        dividends::greeks_batch(slice_of(x.in, lo, hi), tol, p[0] + lo, p[1] + lo, p[2] + lo,
                                p[3] + lo, p[4] + lo, p[5] + lo);
    });
    return greeks_dict(arrays);
}

py::array_t<double> dividend_implied_vol(const f64_array& price, const f64_array& s,
                                         const f64_array& k, const f64_array& tau,
                                         const f64_array& option_type, const f64_array& r,
                                         const f64_array& r_times, const f64_array& r_values,
                                         const f64_array& q, const f64_array& q_times,
                                         const f64_array& q_values, const f64_array& sigma_times,
                                         const f64_array& sigma_values, const f64_array& div_times,
                                         const f64_array& div_amounts, bool proportional,
                                         bool american, double tol) {
    Inputs x;
    contract_of(x, s, k, tau, option_type, american);
    const auto n = static_cast<py::ssize_t>(x.in.count);
    require_tol(tol);
    if (price.size() != n) throw py::value_error("all input arrays must have the same length");
    market_of(x, n, r, r_times, r_values, q, q_times, q_values, nullptr, sigma_times, sigma_values,
              div_times, div_amounts, proportional);
    const double* target = data_1d(price);
    require_memory("american_implied_vol", bytes_of(static_cast<double>(n), sizeof(double)));
    py::array_t<double> out(n);
    double* po = mutable_data_1d(out);
    run_sliced(x.in.count, kSlice, [&](std::size_t lo, std::size_t hi) {
        dividends::implied_batch(slice_of(x.in, lo, hi), target + lo, tol, po + lo);
    });
    return out;
}

// One option on grids of explicit size, for convergence studies: the
// extrapolated price after `levels` halvings and its error estimate.
py::tuple dividend_price_levels(double s, double k, double tau, double option_type,
                                const f64_array& r_times, const f64_array& r_values,
                                const f64_array& q_times, const f64_array& q_values,
                                const f64_array& sigma_times, const f64_array& sigma_values,
                                const f64_array& div_times, const f64_array& div_amounts,
                                bool proportional, bool american, int points, int steps,
                                int levels) {
    Inputs x;
    const f64_array none(0);
    market_of(x, 1, none, r_times, r_values, none, q_times, q_values, &none, sigma_times,
              sigma_values, div_times, div_amounts, proportional);
    dividends::Contract c;
    c.s = s;
    c.k = k;
    c.tau = tau;
    c.call = option_type > 0.0;
    c.american = american;
    dividends::Market m;
    m.r = &x.r;
    m.q = &x.q;
    m.sigma = &x.sigma;
    m.dividends = &x.schedule;
    double estimate = 0.0, value = 0.0;
    {
        py::gil_scoped_release unlocked;
        value = dividends::price_levels(c, m, points, steps, levels, &estimate);
    }
    return py::make_tuple(value, estimate);
}

}  // namespace

void register_dividends(py::module_& m) {
    def_market_call(m, "_dividend_price", market_call("american_price", 1, dividend_price));
    def_market_call(m, "_dividend_greeks", market_call("american_greeks", 6, dividend_greeks));
    m.def("_dividend_implied_vol", &dividend_implied_vol, py::arg("price"), py::arg("s"),
          py::arg("k"), py::arg("tau"), py::arg("option_type"), py::arg("r"), py::arg("r_times"),
          py::arg("r_values"), py::arg("q"), py::arg("q_times"), py::arg("q_values"),
          py::arg("sigma_times"), py::arg("sigma_values"), py::arg("div_times"),
          py::arg("div_amounts"), py::arg("proportional"), py::arg("american"), py::arg("tol"));
    m.def("_dividend_price_levels", &dividend_price_levels, py::arg("s"), py::arg("k"),
          py::arg("tau"), py::arg("option_type"), py::arg("r_times"), py::arg("r_values"),
          py::arg("q_times"), py::arg("q_values"), py::arg("sigma_times"), py::arg("sigma_values"),
          py::arg("div_times"), py::arg("div_amounts"), py::arg("proportional"),
          py::arg("american"), py::arg("points"), py::arg("steps"), py::arg("levels"));
}

}  // namespace orvelta::bindings
