// Registration functions of the second extension module, orvelta._engines:
// accurate American pricing and European pricing to a tolerance. It shares
// the binding layer's one pybind11 header with _kernels.
#pragma once

#include "bindings/bindings.hpp"

namespace orvelta::bindings {

void register_american(py::module_& m);
void register_dividends(py::module_& m);
void register_european(py::module_& m);
void register_io(py::module_& m);

}  // namespace orvelta::bindings
