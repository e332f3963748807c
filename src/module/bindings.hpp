// The one header of the binding layer that includes pybind11. The registration
// files of the subsystems share its array aliases and small helpers.
#pragma once

#include "common/interrupt.hpp"
#include "common/memory.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>

namespace orvelta::bindings {

namespace py = pybind11;

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

// The seven per-option inputs of the batch pricers, as raw data pointers.
struct OptionBook {
    const double* s;
    const double* k;
    const double* r;
    const double* q;
    const double* sigma;
    const double* tau;
    const int* option_type;
};

// One-dimensional views of the seven inputs, taken in parameter order (a
// braced list evaluates left to right), so the first offending array decides
// the dimension message.
inline OptionBook option_book(const f64_array& s, const f64_array& k, const f64_array& r,
                              const f64_array& q, const f64_array& sigma, const f64_array& tau,
                              const i32_array& option_type) {
    return {data_1d(s), data_1d(k), data_1d(r), data_1d(q), data_1d(sigma), data_1d(tau),
            data_1d(option_type)};
}

// The interrupt checker both modules install: on a thread that holds the
// interpreter lock, runs the Python signal handlers and abandons the call
// (KeyboardInterrupt) when one of them raises.
inline void check_python_signals() {
    if (PyGILState_Check() && PyErr_CheckSignals() != 0) throw py::error_already_set();
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

void register_lattice(py::module_& m);
void register_fd(py::module_& m);
void register_mc(py::module_& m);
void register_fourier(py::module_& m);
void register_isa(py::module_& m);  // private: lattice build selector

}  // namespace orvelta::bindings
