// European pricing to a requested accuracy and Black-Scholes implied volatility.
#include <Python.h>

#include <complex>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/engines/engines.hpp"
#include "common/checks.hpp"
#include "common/memory.hpp"
#include "european/european.hpp"
#include "common/simd.hpp"
#include "fourier/fourier.hpp"

namespace orvelta::bindings {

namespace {

namespace eu = orvelta::european;

// Maturities per slice of a pricing batch, options per slice of implied
// volatilities: the interpreter lock is taken back between slices to look for
// a pending signal (KeyboardInterrupt).
constexpr std::size_t kTaskSlice = 64;
constexpr std::size_t kOptionSlice = 16384;

std::size_t same_length(const f64_array& strikes, const f64_array& tau) {
    const auto ks = strikes.unchecked<1>();
    const auto ts = tau.unchecked<1>();
    if (ks.shape(0) != ts.shape(0))
        throw py::value_error("strikes and tau must have the same length");
    return static_cast<std::size_t>(ks.shape(0));
}

// Whether a batch is worth a SIGINT scope (see run_sliced): the scope costs
// four system calls, about 2 us, a tenth of a one-maturity chain's price.
// Without one, Ctrl-C waits for the slice to end, which for one maturity of
// fewer than 2^16 strikes is milliseconds (a COS plan of a million terms at
// worst), except under Bates, whose series over the number of jumps can take
// seconds for a single maturity.
bool worth_a_scope(const eu::Batch& batch) {
    if (eu::batch_tasks(batch) > 1 || batch.count * batch.sets() >= (std::size_t{1} << 16))
        return true;
    for (const eu::Model& m : batch.models)
        if (m.kind == eu::Kind::Bates) return true;
    return false;
}

template <class Fn>
void run_batch_sliced(const eu::Batch& batch, Fn&& fn) {
    run_sliced(eu::batch_tasks(batch), kTaskSlice, fn, worth_a_scope(batch));
}

void run_batch_sliced(const eu::Batch& batch, double* out) {
    run_batch_sliced(
        batch, [&](std::size_t begin, std::size_t end) { eu::run_batch(batch, begin, end, out); });
}

// A market input of a batch of n options: one value for all, or one each.
template <class T, int Flags>
eu::PerOption<T> market_input(const py::array_t<T, Flags>& a, std::size_t n, const char* name) {
    const auto size = static_cast<std::size_t>(a.size());
    if (size != 1 && size != n) {
        throw std::invalid_argument(std::string(name) +
                                    " must be a scalar or have one entry per option");
    }
    return {a.data(), size != 1};
}

eu::Batch batch_of(int model_id, std::size_t sets, std::size_t width, const double* params,
                   const f64_array& strikes, const f64_array& tau, const f64_array& s,
                   const f64_array& r, const f64_array& q, const f64_array& option_type, double tol,
                   bool per_option = false) {
    const std::size_t n = same_length(strikes, tau);
    return eu::prepare_batch(model_id, sets, width, params, n, strikes.data(), tau.data(),
                             market_input(s, n, "s"), market_input(r, n, "r"),
                             market_input(q, n, "q"), market_input(option_type, n, "option_type"),
                             tol, per_option);
}

// params: one row for every option, or (two-dimensional) one row per option.
eu::Batch batch_of(int model_id, const f64_array& params, const f64_array& strikes,
                   const f64_array& tau, const f64_array& s, const f64_array& r, const f64_array& q,
                   const f64_array& option_type, double tol) {
    if (params.ndim() == 2) {
        const auto p = params.unchecked<2>();
        return batch_of(model_id, static_cast<std::size_t>(p.shape(0)),
                        static_cast<std::size_t>(p.shape(1)), params.data(), strikes, tau, s, r, q,
                        option_type, tol, true);
    }
    const auto p = params.unchecked<1>();
    return batch_of(model_id, 1, static_cast<std::size_t>(p.shape(0)), params.data(), strikes, tau,
                    s, r, q, option_type, tol);
}

py::array_t<double> european_price(int model_id, const f64_array& params, const f64_array& strikes,
                                   const f64_array& tau, const f64_array& s, const f64_array& r,
                                   const f64_array& q, const f64_array& option_type, double tol) {
    const eu::Batch batch = batch_of(model_id, params, strikes, tau, s, r, q, option_type, tol);
    py::array_t<double> out(static_cast<py::ssize_t>(batch.count));
    run_batch_sliced(batch, mutable_data_1d(out));
    return out;
}

// One market input of a plain call: a Python float, or a flat, C-contiguous
// float64 ndarray whose length is the call's n (the first array sets it).
// False for anything else.
struct PlainInput {
    const double* data = nullptr;
    double value = 0.0;
    bool each = false;
};

bool plain_input(py::handle h, py::ssize_t& n, PlainInput& in) {
    if (PyFloat_CheckExact(h.ptr())) {
        in.value = PyFloat_AS_DOUBLE(h.ptr());
        in.data = &in.value;
        return true;
    }
    static const py::handle ndarray =
        py::object(py::module_::import("numpy").attr("ndarray")).release();
    if (!h.get_type().is(ndarray)) return false;
    const auto a = py::reinterpret_borrow<py::array>(h);
    if (a.ndim() != 1 || !(a.flags() & py::array::c_style) ||
        !a.dtype().equal(py::dtype::of<double>()))
        return false;
    if (n >= 0 && a.shape(0) != n) return false;
    n = a.shape(0);
    in.data = static_cast<const double*>(a.data());
    in.each = true;
    return true;
}

// A call on plain inputs, without the Python layer's general argument
// handling: market inputs each a Python float or a flat float64 ndarray (all
// of one length), the option type "call" or "put", params one checked row.
// read() prepares its batch, or returns false for anything else
// (orvelta.european then checks, broadcasts and shapes). Results are floats
// when every market input is a float; the bits are the general path's.
struct PlainCall {
    PlainInput in[5];
    std::vector<double> filled[2];  // strikes and maturities given as one float
    double type = 1.0;
    bool scalar = false;
    eu::Batch batch;

    PlainCall() = default;
    PlainCall(const PlainCall&) = delete;  // the batch points into the members
    PlainCall& operator=(const PlainCall&) = delete;

    bool read(int model_id, const f64_array& params, py::handle k, py::handle tau, py::handle s,
              py::handle r, py::handle q, py::handle option_type, double tol) {
        py::ssize_t n = -1;
        const py::handle market[5] = {k, tau, s, r, q};
        for (int i = 0; i < 5; ++i)
            if (!plain_input(market[i], n, in[i])) return false;
        if (!PyUnicode_CheckExact(option_type.ptr())) return false;
        const std::string word = py::reinterpret_borrow<py::str>(option_type);
        if (word != "call" && word != "put") return false;
        type = word == "call" ? 1.0 : 0.0;
        scalar = n < 0;
        const std::size_t count = scalar ? 1 : static_cast<std::size_t>(n);
        const double* kt[2];
        for (int i = 0; i < 2; ++i) {
            if (in[i].each) {
                kt[i] = in[i].data;
            } else {
                filled[i].assign(count, in[i].value);
                kt[i] = filled[i].data();
            }
        }
        const auto p = params.unchecked<1>();
        batch = eu::prepare_batch(model_id, 1, static_cast<std::size_t>(p.shape(0)), params.data(),
                                  count, kt[0], kt[1], {in[2].data, in[2].each},
                                  {in[3].data, in[3].each}, {in[4].data, in[4].each},
                                  {&type, false}, tol);
        return true;
    }

    py::object result(py::array_t<double> values) const {
        if (scalar) return py::float_(values.data()[0]);
        return std::move(values);
    }
};

py::object european_price_plain(int model_id, const f64_array& params, py::handle k, py::handle tau,
                                py::handle s, py::handle r, py::handle q, py::handle option_type,
                                double tol) {
    PlainCall call;
    if (!call.read(model_id, params, k, tau, s, r, q, option_type, tol)) return py::none();
    py::array_t<double> out(static_cast<py::ssize_t>(call.batch.count));
    run_batch_sliced(call.batch, mutable_data_1d(out));
    return call.result(std::move(out));
}

// Prices of the same options under each row of a two-dimensional params;
// with shared_settings, raw prices on the first row's settings (see Batch).
py::array_t<double> european_price_sets(int model_id, const f64_array& params,
                                        const f64_array& strikes, const f64_array& tau,
                                        const f64_array& s, const f64_array& r, const f64_array& q,
                                        const f64_array& option_type, double tol,
                                        bool shared_settings) {
    const auto p = params.unchecked<2>();
    const auto sets = static_cast<std::size_t>(p.shape(0));
    const auto width = static_cast<std::size_t>(p.shape(1));
    if (shared_settings && sets == 0)
        throw std::invalid_argument("shared settings need at least one parameter set");
    eu::Batch batch =
        batch_of(model_id, sets, width, params.data(), strikes, tau, s, r, q, option_type, tol);
    batch.shared_settings = shared_settings;
    py::array_t<double> out(
        {static_cast<py::ssize_t>(sets), static_cast<py::ssize_t>(batch.count)});
    run_batch_sliced(batch, out.mutable_data());
    return out;
}

// Prices and sensitivities of a batch (params as for european_price): "price",
// "delta", "gamma", "theta", "rho" and "vega" (sigma models) or "vega_v0" and
// "vega_theta" (Heston and Bates).
// The Greeks of a prepared batch, each entry through `wrap`.
template <class Wrap>
py::dict greeks_of(int model_id, const eu::Batch& batch, Wrap&& wrap) {
    const int nvol = eu::volatility_parameters(eu::resolve_model(model_id, nullptr, 0).kind);
    const auto n = static_cast<py::ssize_t>(batch.count);
    require_memory(
        "european_greeks",
        bytes_of(static_cast<double>(5 + nvol) * static_cast<double>(n), sizeof(double)));
    std::vector<py::array_t<double>> arrays;
    for (int i = 0; i < 5 + nvol; ++i) arrays.emplace_back(n);
    std::vector<double*> d;
    for (auto& a : arrays) d.push_back(mutable_data_1d(a));
    const eu::GreekArrays out{d[0], d[1], d[2], d[3], d[4], {d[5], nvol > 1 ? d[6] : nullptr}};
    run_batch_sliced(
        batch, [&](std::size_t begin, std::size_t end) { eu::run_greeks(batch, begin, end, out); });
    py::dict res;
    static const char* const names[] = {"price", "delta", "gamma", "theta", "rho"};
    for (int i = 0; i < 5; ++i) res[names[i]] = wrap(arrays[static_cast<std::size_t>(i)]);
    if (nvol == 1) {
        res["vega"] = wrap(arrays[5]);
    } else {
        res["vega_v0"] = wrap(arrays[5]);
        res["vega_theta"] = wrap(arrays[6]);
    }
    return res;
}

py::dict european_greeks(int model_id, const f64_array& params, const f64_array& strikes,
                         const f64_array& tau, const f64_array& s, const f64_array& r,
                         const f64_array& q, const f64_array& option_type, double tol) {
    const eu::Batch batch = batch_of(model_id, params, strikes, tau, s, r, q, option_type, tol);
    return greeks_of(model_id, batch, [](py::array_t<double>& a) -> py::object { return a; });
}

// european_greeks on a plain call (see PlainCall), or None.
py::object european_greeks_plain(int model_id, const f64_array& params, py::handle k,
                                 py::handle tau, py::handle s, py::handle r, py::handle q,
                                 py::handle option_type, double tol) {
    PlainCall call;
    if (!call.read(model_id, params, k, tau, s, r, q, option_type, tol)) return py::none();
    return greeks_of(model_id, call.batch, [&](py::array_t<double>& a) { return call.result(a); });
}

py::dict european_settings(int model_id, const f64_array& params, double tau, double s, double r,
                           double q, double tol) {
    require_tol(tol);
    const auto p = params.unchecked<1>();
    const eu::Model m =
        eu::resolve_model(model_id, params.data(), static_cast<std::size_t>(p.shape(0)));
    const eu::Settings st = eu::european_settings(m, tau, s, r, q, tol);
    static const char* const names[] = {"intrinsic", "closed form", "poisson series", "gamma clock",
                                        "cos",       "failed",      "jump series"};
    py::dict out;
    out["route"] = names[static_cast<int>(st.route)];
    out["a"] = st.a;
    out["b"] = st.b;
    out["terms"] = st.terms;
    return out;
}

py::array_t<double> implied_vol(const f64_array& price, const f64_array& s, const f64_array& k,
                                const f64_array& r, const f64_array& q, const f64_array& tau,
                                const f64_array& option_type) {
    const auto n = static_cast<std::size_t>(
        require_equal_lengths({&price, &s, &k, &r, &q, &tau, &option_type}));
    require_memory("implied_vol", bytes_of(static_cast<double>(n), sizeof(double)));
    const double* pp = data_1d(price);
    const EngineBook b = option_book(s, k, r, q, tau, tau, option_type);
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    double* po = mutable_data_1d(out);
    run_sliced(n, kOptionSlice, [&](std::size_t begin, std::size_t end) {
        eu::implied_vols(begin, end, pp, b.s, b.k, b.r, b.q, b.tau, b.option_type, po);
    });
    return out;
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
        kr(i) = fourier::characteristic_function(model_id, seq, std::complex<double>(uv(i), 0.0), s,
                                                 r, q, tau);
    }
    return py::make_tuple(ours, kernels);
}

// Test hook: the four-lane functions of the characteristic-function loops at
// x (and y for atan2(y, x)): exp, expm1 (|x| <= 0.5 only), log, sin, cos, atan2.
py::tuple vector_math(const f64_array& x, const f64_array& y) {
    const auto n = static_cast<std::size_t>(require_equal_lengths({&x, &y}));
    const double* px = data_1d(x);
    const double* py = data_1d(y);
    std::vector<py::array_t<double>> outs;
    std::vector<double*> o;
    for (int f = 0; f < 6; ++f) {
        outs.emplace_back(static_cast<py::ssize_t>(n));
        o.push_back(mutable_data_1d(outs.back()));
    }
    for (std::size_t j0 = 0; j0 < n; j0 += 4) {
        vm::v4d vx = vm::splat<vm::v4d>(1.0), vy = vx;
        for (std::size_t i = 0; i < 4 && j0 + i < n; ++i) {
            vx[i] = px[j0 + i];
            vy[i] = py[j0 + i];
        }
        vm::v4d sn, cs;
        vm::vsincos(vx, sn, cs);
        const vm::v4d res[6] = {vm::vexp(vx), vm::vexpm1_small(vx), vm::vlog(vx), sn,
                                cs,           vm::vatan2(vy, vx)};
        for (std::size_t i = 0; i < 4 && j0 + i < n; ++i) {
            for (int f = 0; f < 6; ++f) o[f][j0 + i] = res[f][i];
        }
    }
    return py::make_tuple(outs[0], outs[1], outs[2], outs[3], outs[4], outs[5]);
}

// Test hook: the exponent psi(u) = ln E[exp(i u Z)] of a model at the real
// frequencies u, through the active instruction-set build (see _isa).
py::tuple exponent(int model_id, const f64_array& params, const f64_array& u, double tau) {
    const auto p = params.unchecked<1>();
    const eu::Model m =
        eu::resolve_model(model_id, params.data(), static_cast<std::size_t>(p.shape(0)));
    const auto n = static_cast<std::size_t>(u.unchecked<1>().shape(0));
    py::array_t<double> re(static_cast<py::ssize_t>(n)), im(static_cast<py::ssize_t>(n));
    eu::log_return_exponent(m, tau, n, u.data(), mutable_data_1d(re), mutable_data_1d(im));
    return py::make_tuple(re, im);
}

}  // namespace

void register_european(py::module_& m) {
    m.def("european_price", &european_price, py::arg("model_id"), py::arg("params"),
          py::arg("strikes"), py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"),
          py::arg("option_type") = 1, py::arg("tol") = 1e-8);
    m.def("_european_price_plain", &european_price_plain, py::arg("model_id"), py::arg("params"),
          py::arg("k"), py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"),
          py::arg("option_type"), py::arg("tol"));
    m.def("_european_greeks_plain", &european_greeks_plain, py::arg("model_id"), py::arg("params"),
          py::arg("k"), py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"),
          py::arg("option_type"), py::arg("tol"));
    m.def("_european_greeks", &european_greeks, py::arg("model_id"), py::arg("params"),
          py::arg("strikes"), py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"),
          py::arg("option_type"), py::arg("tol"));
    m.def("_european_price_sets", &european_price_sets, py::arg("model_id"), py::arg("params"),
          py::arg("strikes"), py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"),
          py::arg("option_type") = 1, py::arg("tol") = 1e-8, py::arg("shared_settings") = false);
    m.def("_european_settings", &european_settings, py::arg("model_id"), py::arg("params"),
          py::arg("tau"), py::arg("s"), py::arg("r"), py::arg("q"), py::arg("tol") = 1e-8);
    m.def("implied_vol", &implied_vol, py::arg("price"), py::arg("s"), py::arg("k"), py::arg("r"),
          py::arg("q"), py::arg("tau"), py::arg("option_type"));
    m.def("_normalised_black", py::vectorize(&eu::normalised_black_otm), py::arg("x"),
          py::arg("v"));
    m.def("_vector_math", &vector_math, py::arg("x"), py::arg("y"));
    m.def("_exponent", &exponent, py::arg("model_id"), py::arg("params"), py::arg("u"),
          py::arg("tau"));
    m.def("_characteristic_pair", &characteristic_pair, py::arg("model_id"), py::arg("params"),
          py::arg("u"), py::arg("s"), py::arg("r"), py::arg("q"), py::arg("tau"));
}

}  // namespace orvelta::bindings
