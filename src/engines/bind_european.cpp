// European pricing to a requested accuracy and Black-Scholes implied volatility.
#include <Python.h>

#include <complex>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "engines/engines.hpp"
#include "european/european.hpp"
#include "european/vmath.hpp"
#include "fourier/fourier.hpp"

namespace orvelta::bindings {

namespace {

namespace eu = orvelta::european;

// Maturities per slice of a pricing batch, options per slice of implied
// volatilities: the interpreter lock is taken back between slices to look for
// a pending signal (KeyboardInterrupt).
constexpr std::size_t kTaskSlice = 64;
constexpr std::size_t kOptionSlice = 16384;

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

std::size_t same_length(const f64_array& strikes, const f64_array& tau) {
    const auto ks = strikes.unchecked<1>();
    const auto ts = tau.unchecked<1>();
    if (ks.shape(0) != ts.shape(0)) throw std::invalid_argument("strikes and tau must have the same length");
    return static_cast<std::size_t>(ks.shape(0));
}

void run_sliced(const eu::Batch& batch, double* out) {
    const std::size_t tasks = eu::batch_tasks(batch);
    for (std::size_t begin = 0; begin < tasks; begin += kTaskSlice) {
        const std::size_t end = std::min(tasks, begin + kTaskSlice);
        {
            py::gil_scoped_release unlocked;
            eu::run_batch(batch, begin, end, out);
        }
        check_signals();
    }
}

py::array_t<double> european_price(int model_id, const f64_array& params, const f64_array& strikes,
                                   const f64_array& tau, double s, double r, double q,
                                   int option_type, double tol) {
    const std::size_t n = same_length(strikes, tau);
    const auto p = params.unchecked<1>();
    const auto width = static_cast<std::size_t>(p.shape(0));
    const eu::Batch batch = eu::prepare_batch(model_id, 1, width, params.data(), n, strikes.data(),
                                              tau.data(), s, r, q, option_type, tol);
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    run_sliced(batch, mutable_data_1d(out));
    return out;
}

// Prices of the same options under each row of a two-dimensional params;
// with shared_settings, raw prices on the first row's settings (see Batch).
py::array_t<double> european_price_sets(int model_id, const f64_array& params,
                                        const f64_array& strikes, const f64_array& tau, double s,
                                        double r, double q, int option_type, double tol,
                                        bool shared_settings) {
    const std::size_t n = same_length(strikes, tau);
    const auto p = params.unchecked<2>();
    const auto sets = static_cast<std::size_t>(p.shape(0));
    const auto width = static_cast<std::size_t>(p.shape(1));
    if (shared_settings && sets == 0) throw std::invalid_argument("shared settings need at least one parameter set");
    eu::Batch batch = eu::prepare_batch(model_id, sets, width, params.data(), n, strikes.data(),
                                        tau.data(), s, r, q, option_type, tol);
    batch.shared_settings = shared_settings;
    py::array_t<double> out({static_cast<py::ssize_t>(sets), static_cast<py::ssize_t>(n)});
    run_sliced(batch, out.mutable_data());
    return out;
}

py::dict european_settings(int model_id, const f64_array& params, double tau, double s, double r,
                           double q, double tol) {
    if (!(tol > 0.0)) throw std::invalid_argument("tol must be a positive number");
    const auto p = params.unchecked<1>();
    const eu::Model m = eu::resolve_model(model_id, params.data(), static_cast<std::size_t>(p.shape(0)));
    const eu::Settings st = eu::european_settings(m, tau, s, r, q, tol);
    static const char* const names[] = {"intrinsic", "closed form", "poisson series",
                                        "gamma clock", "cos", "failed", "jump series"};
    py::dict out;
    out["route"] = names[static_cast<int>(st.route)];
    out["a"] = st.a;
    out["b"] = st.b;
    out["terms"] = st.terms;
    return out;
}

py::array_t<double> implied_vol(const f64_array& price, const f64_array& s, const f64_array& k,
                                const f64_array& r, const f64_array& q, const f64_array& tau,
                                const i32_array& option_type) {
    const auto n = static_cast<std::size_t>(require_same_length({&price, &s, &k, &r, &q, &tau, &option_type}));
    const double* pp = data_1d(price);
    const OptionBook b = option_book(s, k, r, q, tau, tau, option_type);
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    double* po = mutable_data_1d(out);
    for (std::size_t begin = 0; begin < n; begin += kOptionSlice) {
        const std::size_t end = std::min(n, begin + kOptionSlice);
        {
            py::gil_scoped_release unlocked;
            eu::implied_vols(begin, end, pp, b.s, b.k, b.r, b.q, b.tau, b.option_type, po);
        }
        check_signals();
    }
    return out;
}

// Test hook: _european_isa() names the vector path in use, _european_isa(name)
// selects "avx512", "avx2", "baseline" or "auto" and names the path in use
// afterwards; a path the processor cannot run raises ValueError.
std::string european_isa(const py::object& arg) {
    static const char* const names[] = {"baseline", "avx2", "avx512"};
    if (!arg.is_none()) {
        const auto name = py::cast<std::string>(arg);
        int path = -2;
        if (name == "auto") path = -1;
        for (int i = 0; i < 3; ++i) {
            if (name == names[i]) path = i;
        }
        if (path == -2) throw py::value_error("unknown vector path: " + name);
        if (!eu::select_vector_path(path)) {
            throw py::value_error("this processor cannot run the vector path " + name);
        }
    }
    return names[eu::vector_path()];
}

// Test hook: this module's characteristic function of ln S_T and the Fourier
// kernels' one at the same real frequencies.
py::tuple characteristic_pair(int model_id, const f64_array& params, const f64_array& u, double s,
                              double r, double q, double tau) {
    const auto p = params.unchecked<1>();
    const auto uv = u.unchecked<1>();
    const auto width = static_cast<std::size_t>(p.shape(0));
    const eu::Model m = eu::resolve_model(model_id, params.data(), width);
    const std::vector<double> seq(params.data(), params.data() + width);
    const py::ssize_t n = uv.shape(0);
    py::array_t<std::complex<double>> ours(n);
    py::array_t<std::complex<double>> kernels(n);
    auto o = ours.mutable_unchecked<1>();
    auto kr = kernels.mutable_unchecked<1>();
    for (py::ssize_t i = 0; i < n; ++i) {
        o(i) = eu::characteristic(m, uv(i), s, r, q, tau);
        kr(i) = fourier::characteristic_function(model_id, seq, std::complex<double>(uv(i), 0.0), s, r, q, tau);
    }
    return py::make_tuple(ours, kernels);
}

// Test hook: the four-lane functions of the characteristic-function loops at
// x (and y for atan2(y, x)): exp, expm1 (|x| <= 0.5 only), log, sin, cos, atan2.
py::tuple vector_math(const f64_array& x, const f64_array& y) {
    const auto n = static_cast<std::size_t>(require_same_length({&x, &y}));
    const double* px = data_1d(x);
    const double* py = data_1d(y);
    std::vector<py::array_t<double>> outs;
    std::vector<double*> o;
    for (int f = 0; f < 6; ++f) {
        outs.emplace_back(static_cast<py::ssize_t>(n));
        o.push_back(mutable_data_1d(outs.back()));
    }
    for (std::size_t j0 = 0; j0 < n; j0 += 4) {
        eu::vm::v4d vx = eu::vm::splat<eu::vm::v4d>(1.0), vy = vx;
        for (std::size_t i = 0; i < 4 && j0 + i < n; ++i) {
            vx[i] = px[j0 + i];
            vy[i] = py[j0 + i];
        }
        eu::vm::v4d sn, cs;
        eu::vm::vsincos(vx, sn, cs);
        const eu::vm::v4d res[6] = {eu::vm::vexp(vx), eu::vm::vexpm1_small(vx), eu::vm::vlog(vx),
                                    sn, cs, eu::vm::vatan2(vy, vx)};
        for (std::size_t i = 0; i < 4 && j0 + i < n; ++i) {
            for (int f = 0; f < 6; ++f) o[f][j0 + i] = res[f][i];
        }
    }
    return py::make_tuple(outs[0], outs[1], outs[2], outs[3], outs[4], outs[5]);
}

// Test hook: the Heston exponent at u by each instruction-set path this
// processor has, as a list of (path, re, im).
py::list heston_paths(const f64_array& params, const f64_array& u, double tau) {
    const auto p = params.unchecked<1>();
    const eu::Model m = eu::resolve_model(3, params.data(), static_cast<std::size_t>(p.shape(0)));
    const auto n = static_cast<std::size_t>(u.unchecked<1>().shape(0));
    py::list out;
    for (int path = 0; path < 3; ++path) {
        py::array_t<double> re(static_cast<py::ssize_t>(n)), im(static_cast<py::ssize_t>(n));
        if (eu::heston_exponent_path(path, m, tau, n, u.data(), mutable_data_1d(re), mutable_data_1d(im))) {
            out.append(py::make_tuple(path, re, im));
        }
    }
    return out;
}

}  // namespace

void register_european(py::module_& m) {
    m.def("european_price", &european_price, py::arg("model_id"), py::arg("params"),
          py::arg("strikes"), py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"),
          py::arg("option_type") = 1, py::arg("tol") = 1e-8);
    m.def("_european_price_sets", &european_price_sets, py::arg("model_id"), py::arg("params"),
          py::arg("strikes"), py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"),
          py::arg("option_type") = 1, py::arg("tol") = 1e-8, py::arg("shared_settings") = false);
    m.def("_european_settings", &european_settings, py::arg("model_id"), py::arg("params"),
          py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"), py::arg("tol") = 1e-8);
    m.def("implied_vol", &implied_vol, py::arg("price"), py::arg("s"), py::arg("k"), py::arg("r"),
          py::arg("q"), py::arg("tau"), py::arg("option_type"));
    m.def("_normalised_black", py::vectorize(&eu::normalised_black_otm), py::arg("x"), py::arg("v"));
    m.def("_vector_math", &vector_math, py::arg("x"), py::arg("y"));
    m.def("_heston_paths", &heston_paths, py::arg("params"), py::arg("u"), py::arg("tau"));
    m.def("_european_isa", &european_isa, py::arg("name") = py::none());
    m.def("_characteristic_pair", &characteristic_pair, py::arg("model_id"), py::arg("params"),
          py::arg("u"), py::arg("s"), py::arg("r"), py::arg("q"), py::arg("tau"));
}

}  // namespace orvelta::bindings
