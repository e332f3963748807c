// Accurate American pricing: prices, Greeks and implied volatilities over flat
// arrays. The Python layer (orvelta.american) broadcasts and reshapes.
#include "american/american.hpp"
#include "american/put.hpp"
#include "american/vector.hpp"
#include "common/checks.hpp"
#include "common/memory.hpp"
#include "common/threads.hpp"
#include "common/vector_math.hpp"
#include "bindings/engines/engines.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace orvelta::bindings {

namespace {

// Options per slice: the lock is taken back between slices to run the
// signal handlers; a SIGINT also stops the batch loop at once (cancel flag).
constexpr std::size_t kSlice = 2048;

// One batch call: the inputs checked (equal lengths, one dimension, the
// tolerance) and `outputs` result arrays of n entries allocated once the
// results and the pricer's working storage per thread are known to fit.
struct Job {
    EngineBook b;
    std::size_t n;
    std::vector<py::array_t<double>> out;
    std::vector<double*> at;

    Job(const char* what, const f64_array& s, const f64_array& k, const f64_array& r,
        const f64_array& q, const f64_array& sigma, const f64_array& tau,
        const f64_array& option_type, int outputs, double tol)
        : b{},
          n(static_cast<std::size_t>(
              require_equal_lengths({&s, &k, &r, &q, &sigma, &tau, &option_type}))) {
        require_tol(tol);
        require_memory(what, bytes_of(static_cast<double>(n) * outputs, sizeof(double)) +
                                 static_cast<double>(team_size(n)) * american::kWorkBytesPerThread);
        b = option_book(s, k, r, q, sigma, tau, option_type);
        for (int i = 0; i < outputs; ++i) {
            out.emplace_back(static_cast<py::ssize_t>(n));
            at.push_back(mutable_data_1d(out.back()));
        }
    }

    // Runs `slice(lo, hi)` over the options with the lock released in
    // slices; returns the first result array.
    template <class Slice>
    py::array_t<double> run(Slice slice) {
        run_sliced(n, kSlice, slice);
        return out[0];
    }
};

py::array_t<double> american_price(const f64_array& s, const f64_array& k, const f64_array& r,
                                   const f64_array& q, const f64_array& sigma, const f64_array& tau,
                                   const f64_array& option_type, double tol) {
    Job job("american_price", s, k, r, q, sigma, tau, option_type, 1, tol);
    const EngineBook& b = job.b;
    return job.run([&](std::size_t lo, std::size_t hi) {
        american::price_batch(hi - lo, b.s + lo, b.k + lo, b.r + lo, b.q + lo, b.sigma + lo,
                              b.tau + lo, b.option_type + lo, tol, job.at[0] + lo);
    });
}

py::dict american_greeks(const f64_array& s, const f64_array& k, const f64_array& r,
                         const f64_array& q, const f64_array& sigma, const f64_array& tau,
                         const f64_array& option_type, double tol) {
    Job job("american_greeks", s, k, r, q, sigma, tau, option_type, 6, tol);
    const EngineBook& b = job.b;
    double* const* p = job.at.data();
    job.run([&](std::size_t lo, std::size_t hi) {
        american::greeks_batch(hi - lo, b.s + lo, b.k + lo, b.r + lo, b.q + lo, b.sigma + lo,
                               b.tau + lo, b.option_type + lo, tol, p[0] + lo, p[1] + lo, p[2] + lo,
                               p[3] + lo, p[4] + lo, p[5] + lo);
    });
    return greeks_dict(job.out.data());
}

py::array_t<double> american_implied_vol(const f64_array& price, const f64_array& s,
                                         const f64_array& k, const f64_array& r, const f64_array& q,
                                         const f64_array& tau, const f64_array& option_type,
                                         double tol) {
    // The job's sigma slot carries the quoted prices.
    Job job("american_implied_vol", s, k, r, q, price, tau, option_type, 1, tol);
    const EngineBook& b = job.b;
    return job.run([&](std::size_t lo, std::size_t hi) {
        american::implied_vol_batch(hi - lo, b.sigma + lo, b.s + lo, b.k + lo, b.r + lo, b.q + lo,
                                    b.tau + lo, b.option_type + lo, tol, job.at[0] + lo);
    });
}

// Prices with explicit numerical settings, for convergence studies.
py::array_t<double> american_price_scheme(const f64_array& s, const f64_array& k,
                                          const f64_array& r, const f64_array& q,
                                          const f64_array& sigma, const f64_array& tau,
                                          const f64_array& option_type, int nodes, int quad,
                                          int iterations, int slow_iterations, int premium) {
    Job job("american_price", s, k, r, q, sigma, tau, option_type, 1, 1.0);
    const EngineBook& b = job.b;
    double* po = job.at[0];
    const american::Scheme scheme{nodes, quad, iterations, slow_iterations, premium, 0.0};
    return job.run([&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i)
            po[i] = american::price_with(b.s[i], b.k[i], b.r[i], b.q[i], b.sigma[i], b.tau[i],
                                         american::is_call(b.option_type[i]), scheme);
    });
}

py::tuple american_scheme(double tol, double strike) {
    const american::Scheme sc = american::scheme_for(tol, strike);
    return py::make_tuple(sc.nodes, sc.quad, sc.iterations, sc.slow_iterations, sc.premium);
}

// Test hook: the put (q < r < 0) by the band's integral equations at
// explicit settings; NaN where the band closes before tau or the solve fails.
double american_band(double s, double k, double r, double q, double sigma, double tau, int nodes,
                     int quad, int premium) {
    if (!(s > 0.0 && k > 0.0 && sigma > 0.0 && tau > 0.0 && q < r && r < 0.0))
        throw py::value_error("american_band needs s, k, sigma, tau > 0 and q < r < 0");
    return american::band_put_at(s, k, r, q, sigma, tau, nodes, quad, premium);
}

// Test hook: the boundary sweeps' vector passes on the active build (see
// _isa): e^x clamped to [-700, 700], N(x), and the Chebyshev sums of `coef`
// (first and last entries already halved) at z.
py::tuple vector_kernels(const f64_array& x, const f64_array& coef, const f64_array& z) {
    const auto n = static_cast<int>(x.unchecked<1>().shape(0));
    const auto terms = static_cast<int>(coef.unchecked<1>().shape(0));
    const auto count = static_cast<int>(z.unchecked<1>().shape(0));
    if (terms < 1 || terms > american::kMaxNodes + 1) {
        throw py::value_error("coef needs 1 to " + std::to_string(american::kMaxNodes + 1) +
                              " entries");
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
          py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"), py::arg("tol"));
    m.def("_american_greeks", &american_greeks, py::arg("s"), py::arg("k"), py::arg("r"),
          py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"), py::arg("tol"));
    m.def("_american_implied_vol", &american_implied_vol, py::arg("price"), py::arg("s"),
          py::arg("k"), py::arg("r"), py::arg("q"), py::arg("tau"), py::arg("option_type"),
          py::arg("tol"));
    m.def("_american_price_scheme", &american_price_scheme, py::arg("s"), py::arg("k"),
          py::arg("r"), py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"),
          py::arg("nodes"), py::arg("quad"), py::arg("iterations"), py::arg("slow_iterations"),
          py::arg("premium"));
    m.def("_american_scheme", &american_scheme, py::arg("tol"), py::arg("strike"));
    m.def("_american_band", &american_band, py::arg("s"), py::arg("k"), py::arg("r"), py::arg("q"),
          py::arg("sigma"), py::arg("tau"), py::arg("nodes"), py::arg("quad"), py::arg("premium"));
    m.def("_vector_kernels", &vector_kernels, py::arg("x"), py::arg("coef"), py::arg("z"));
}

}  // namespace orvelta::bindings
