// Accurate American pricing: prices, Greeks and implied volatilities over flat
// arrays. The Python layer (orvelta.american) broadcasts and reshapes.
#include "american/american.hpp"
#include "american/vector.hpp"
#include "common/checks.hpp"
#include "common/memory.hpp"
#include "common/threads.hpp"
#include "common/vector_math.hpp"
#include "bindings/engines/engines.hpp"

#include <algorithm>
#include <cstddef>
#include <string>

namespace orvelta::bindings {

namespace {

// Options per slice: the lock is taken back between slices to run the
// signal handlers; a SIGINT also stops the batch loop at once (cancel flag).
constexpr std::size_t kSlice = 2048;

// Checks the tolerance and that `outputs` result arrays of n entries and the
// pricer's working storage per thread fit in memory.
void prepare(const char* what, py::ssize_t n, int outputs, double tol) {
    require_tol(tol);
    const auto count = static_cast<std::size_t>(n);
    require_memory(what, bytes_of(static_cast<double>(n) * outputs, sizeof(double)) +
                             static_cast<double>(team_size(count)) * american::kWorkBytesPerThread);
}

py::array_t<double> american_price(const f64_array& s, const f64_array& k, const f64_array& r,
                                   const f64_array& q, const f64_array& sigma,
                                   const f64_array& tau, const f64_array& option_type,
                                   double tol) {
    const py::ssize_t n = require_equal_lengths({&s, &k, &r, &q, &sigma, &tau, &option_type});
    prepare("american_price", n, 1, tol);
    py::array_t<double> out(n);
    double* po = mutable_data_1d(out);
    const EngineBook b = option_book(s, k, r, q, sigma, tau, option_type);
    run_sliced(static_cast<std::size_t>(n), kSlice, [&](std::size_t lo, std::size_t hi) {
        american::price_batch(hi - lo, b.s + lo, b.k + lo, b.r + lo, b.q + lo, b.sigma + lo,
                              b.tau + lo, b.option_type + lo, tol, po + lo);
    });
    return out;
}

py::dict american_greeks(const f64_array& s, const f64_array& k, const f64_array& r,
                         const f64_array& q, const f64_array& sigma, const f64_array& tau,
                         const f64_array& option_type, double tol) {
    const py::ssize_t n = require_equal_lengths({&s, &k, &r, &q, &sigma, &tau, &option_type});
    prepare("american_greeks", n, 6, tol);
    const EngineBook b = option_book(s, k, r, q, sigma, tau, option_type);
    static const char* const keys[] = {"price", "delta", "gamma", "theta", "vega", "rho"};
    py::array_t<double> arrays[6] = {py::array_t<double>(n), py::array_t<double>(n),
                                     py::array_t<double>(n), py::array_t<double>(n),
                                     py::array_t<double>(n), py::array_t<double>(n)};
    double* p[6];
    for (int i = 0; i < 6; ++i) p[i] = mutable_data_1d(arrays[i]);
    run_sliced(static_cast<std::size_t>(n), kSlice, [&](std::size_t lo, std::size_t hi) {
        american::greeks_batch(hi - lo, b.s + lo, b.k + lo, b.r + lo, b.q + lo, b.sigma + lo,
                               b.tau + lo, b.option_type + lo, tol, p[0] + lo, p[1] + lo,
                               p[2] + lo, p[3] + lo, p[4] + lo, p[5] + lo);
    });
    py::dict result;
    for (int i = 0; i < 6; ++i) result[keys[i]] = arrays[i];
    return result;
}

py::array_t<double> american_implied_vol(const f64_array& price, const f64_array& s,
                                         const f64_array& k, const f64_array& r,
                                         const f64_array& q, const f64_array& tau,
                                         const f64_array& option_type, double tol) {
    const py::ssize_t n = require_equal_lengths({&price, &s, &k, &r, &q, &tau, &option_type});
    prepare("american_implied_vol", n, 1, tol);
    py::array_t<double> out(n);
    double* po = mutable_data_1d(out);
    // The book's sigma slot carries the quoted prices.
    const EngineBook b = option_book(s, k, r, q, price, tau, option_type);
    run_sliced(static_cast<std::size_t>(n), kSlice, [&](std::size_t lo, std::size_t hi) {
        american::implied_vol_batch(hi - lo, b.sigma + lo, b.s + lo, b.k + lo, b.r + lo,
                                    b.q + lo, b.tau + lo, b.option_type + lo, tol, po + lo);
    });
    return out;
}

// Prices with explicit numerical settings, for convergence studies.
py::array_t<double> american_price_scheme(const f64_array& s, const f64_array& k,
                                          const f64_array& r, const f64_array& q,
                                          const f64_array& sigma, const f64_array& tau,
                                          const f64_array& option_type, int nodes, int quad,
                                          int iterations, int slow_iterations,
                                          int premium) {
    const py::ssize_t n = require_equal_lengths({&s, &k, &r, &q, &sigma, &tau, &option_type});
    prepare("american_price", n, 1, 1.0);
    py::array_t<double> out(n);
    double* po = mutable_data_1d(out);
    const EngineBook b = option_book(s, k, r, q, sigma, tau, option_type);
    const american::Scheme scheme{nodes, quad, iterations, slow_iterations, premium, 0.0};
    run_sliced(static_cast<std::size_t>(n), kSlice, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i)
            po[i] = american::price_with(b.s[i], b.k[i], b.r[i], b.q[i], b.sigma[i], b.tau[i],
                                         american::is_call(b.option_type[i]), scheme);
    });
    return out;
}

py::tuple american_scheme(double tol, double strike) {
    const american::Scheme sc = american::scheme_for(tol, strike);
    return py::make_tuple(sc.nodes, sc.quad, sc.iterations, sc.slow_iterations, sc.premium);
}

// Test hook: the boundary sweeps' vector passes on the active build (see
// _isa): e^x clamped to [-700, 700], N(x), and the Chebyshev sums of `coef`
// (first and last entries already halved) at z.
py::tuple vector_kernels(const f64_array& x, const f64_array& coef, const f64_array& z) {
    const auto n = static_cast<int>(x.unchecked<1>().shape(0));
    const auto terms = static_cast<int>(coef.unchecked<1>().shape(0));
    const auto count = static_cast<int>(z.unchecked<1>().shape(0));
    if (terms < 1 || terms > american::kMaxNodes + 1) {
        throw py::value_error("coef needs 1 to " + std::to_string(american::kMaxNodes + 1) + " entries");
    }
    py::array_t<double> e(n), c(n), h(count);
    exp_array(x.data(), n, mutable_data_1d(e));
    ncdf_array(x.data(), n, mutable_data_1d(c));
    american::clenshaw_array(coef.data(), terms - 1, z.data(), count, mutable_data_1d(h));
    return py::make_tuple(e, c, h);
}

}  // namespace

void register_american(py::module_& m) {
    m.def("_american_price", &american_price, py::arg("s"), py::arg("k"), py::arg("r"),
          py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"),
          py::arg("tol"));
    m.def("_american_greeks", &american_greeks, py::arg("s"), py::arg("k"), py::arg("r"),
          py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"),
          py::arg("tol"));
    m.def("_american_implied_vol", &american_implied_vol, py::arg("price"), py::arg("s"),
          py::arg("k"), py::arg("r"), py::arg("q"), py::arg("tau"), py::arg("option_type"),
          py::arg("tol"));
    m.def("_american_price_scheme", &american_price_scheme, py::arg("s"), py::arg("k"),
          py::arg("r"), py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"),
          py::arg("nodes"), py::arg("quad"), py::arg("iterations"), py::arg("slow_iterations"), py::arg("premium"));
    m.def("_american_scheme", &american_scheme, py::arg("tol"), py::arg("strike"));
    m.def("_vector_kernels", &vector_kernels, py::arg("x"), py::arg("coef"), py::arg("z"));
}

}  // namespace orvelta::bindings
