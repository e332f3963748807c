// Registration functions of the second extension module, orvelta._engines:
// accurate American pricing and European pricing to a tolerance. It shares
// the binding layer's one pybind11 header with _kernels.
#pragma once

#include "bindings/bindings.hpp"

#include <cstddef>
#include <initializer_list>

namespace orvelta::bindings {

// The engines' error policy at the binding: arrays of unequal length are a
// ValueError (the kernels keep their RuntimeError); tol must be a positive
// finite number (ValueError with one message, the same the Python layer
// gives); work that cannot fit in memory is a MemoryError with its size
// (require_memory), checked before anything is allocated.
inline py::ssize_t require_equal_lengths(std::initializer_list<const py::array*> arrays) {
    const py::ssize_t n = (*arrays.begin())->size();
    for (const py::array* a : arrays) {
        if (a->size() != n) throw py::value_error("all input arrays must have the same length");
    }
    return n;
}

// The six result arrays of a Greeks call (price, delta, gamma, theta, vega,
// rho, in that order) under the keys the Python layer returns.
inline py::dict greeks_dict(const py::array_t<double>* arrays) {
    static const char* const keys[] = {"price", "delta", "gamma", "theta", "vega", "rho"};
    py::dict result;
    for (int i = 0; i < 6; ++i) result[keys[i]] = arrays[i];
    return result;
}

void register_american(py::module_& m);
void register_dividends(py::module_& m);
void register_european(py::module_& m);
void register_io(py::module_& m);

}  // namespace orvelta::bindings
