// The one header of both binding layers (orvelta._kernels and orvelta._engines)
// that includes pybind11: their registration files share its array aliases,
// argument checks and the helpers that run work with the interpreter lock
// released.
#pragma once

#include "common/dispatch.hpp"
#include "common/interrupt.hpp"
#include "common/memory.hpp"
#include "common/option_arrays.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace orvelta::bindings {

namespace py = pybind11;
// Results are returned as dicts built with keyword literals: py::dict("price"_a = p).
using namespace pybind11::literals;

// Array arguments: converted on entry to C-contiguous float64 or int32 arrays
// (copied only when the caller's array is not already of that kind).
using f64_array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using i32_array = py::array_t<int, py::array::c_style | py::array::forcecast>;

// Batch kernels compare total element counts first, in parameter order, so a
// length mismatch is reported before any dimension error.
inline py::ssize_t require_same_length(std::initializer_list<const py::array*> arrays) {
    const py::ssize_t n = (*arrays.begin())->size();
    for (const py::array* a : arrays) {
        if (a->size() != n) throw std::runtime_error("all input arrays must have the same length");
    }
    return n;
}

// Data pointer of an input that must be one-dimensional; taking the view
// raises ValueError "array has incorrect number of dimensions: N; expected 1".
template <typename T, int Flags>
const T* data_1d(const py::array_t<T, Flags>& a) {
    (void)a.template unchecked<1>();
    return a.data();
}

// Writable data pointer of a freshly created one-dimensional result.
template <typename T>
T* mutable_data_1d(py::array_t<T>& a) {
    (void)a.template mutable_unchecked<1>();
    return a.mutable_data();
}

// The kernels take int32 option types; the engines take them as float64, so
// that no value wraps (2**40 is a call) and NaN can give a NaN result.
using OptionBook = OptionArrays<int>;
using EngineBook = OptionArrays<double>;

// One-dimensional views of the seven inputs, taken in parameter order (a
// braced list evaluates left to right), so the first offending array decides
// the dimension message.
template <typename Types>
inline auto option_book(const f64_array& s, const f64_array& k, const f64_array& r,
                        const f64_array& q, const f64_array& sigma, const f64_array& tau,
                        const Types& option_type) {
    using O = std::remove_cv_t<std::remove_pointer_t<decltype(option_type.data())>>;
    return OptionArrays<O>{data_1d(s),     data_1d(k),   data_1d(r),          data_1d(q),
                           data_1d(sigma), data_1d(tau), data_1d(option_type)};
}

// The interrupt checker both modules install: on a thread that holds the
// interpreter lock, runs the Python signal handlers and abandons the call
// (KeyboardInterrupt) when one of them raises.
inline void check_python_signals() {
    if (PyGILState_Check() && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// What both modules do first when they are executed: their documentation
// string, and the checker through which the core's long loops look for
// Ctrl-C.
inline void init_module(py::module_& m, const char* doc) {
    m.doc() = doc;
    set_interrupt_checker(&check_python_signals);
}

// Runs `work` (which may drop the interpreter lock) until it completes with no
// SIGINT in between: a SIGINT sets the cancel flag, which long kernels poll to
// stop early, and then KeyboardInterrupt (or whatever the Python handler
// raises) ends the call. When the handler raises nothing, or the signal is
// handled on another thread, the work was possibly cut short and is redone.
template <typename Work>
void run_cancellable(Work&& work) {
    for (;;) {
        const std::uint64_t seen = cancel_signals();
        work();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (cancel_signals() == seen) return;
        clear_cancel();
    }
}

// Runs fn(begin, end) over [0, n) in slices of at most `slice` items, each
// with the interpreter lock released; between slices the lock is taken back
// and the signal handlers run, so Ctrl-C ends a long call with
// KeyboardInterrupt. With `interruptible`, a SIGINT also sets the cancel flag
// for the whole call, which the engines' long loops poll to stop within a
// slice; a slice cut short by a signal that raised nothing is redone
// (run_cancellable). Each item's result depends on that item alone, so the
// slicing changes no result.
template <typename Fn>
void run_sliced(std::size_t n, std::size_t slice, Fn&& fn, bool interruptible = true) {
    std::optional<SigintCancel> cancel;
    if (interruptible && n > 0) cancel.emplace();
    if (slice == 0) slice = 1;
    for (std::size_t begin = 0; begin < n; begin += slice) {
        const std::size_t end = begin + std::min(slice, n - begin);
        run_cancellable([&] {
            py::gil_scoped_release unlocked;
            fn(begin, end);
        });
    }
}

// The private test hook of each module, `_isa`: `_isa()` names the
// instruction-set build its vectorised kernels use, `_isa(name)` selects
// "avx512", "avx2", "baseline" or "auto" (the load-time choice) and names the
// build in use afterwards; `_isas()` lists the builds this processor runs.
// A build the processor cannot run raises ValueError. Each module carries its
// own copy of the core, so each selects for its own kernels.
inline void register_isa_hook(py::module_& m) {
    static constexpr Isa kAll[] = {Isa::baseline, Isa::avx2, Isa::avx512};
    m.def(
        "_isa",
        [](const py::object& arg) {
            if (!arg.is_none()) {
                const auto name = py::cast<std::string>(arg);
                bool known = name == "auto";
                Isa wanted = best_isa();
                for (const Isa isa : kAll) {
                    if (name == isa_name(isa)) {
                        wanted = isa;
                        known = true;
                    }
                }
                if (!known) throw py::value_error("unknown instruction-set build: " + name);
                if (!select_isa(wanted)) {
                    throw py::value_error("this processor cannot run the build " + name);
                }
            }
            return std::string(isa_name(active_isa()));
        },
        py::arg("name") = py::none());
    m.def("_isas", [] {
        py::list out;
        for (const Isa isa : kAll) {
            if (isa_supported(isa)) out.append(isa_name(isa));
        }
        return out;
    });
}

}  // namespace orvelta::bindings
