// Registration functions of orvelta._kernels, one per subsystem, called in
// the order of the module's function table by module.cpp.
#pragma once

#include "bindings/bindings.hpp"

namespace orvelta::bindings {

void register_lattice(py::module_& m);
void register_fd(py::module_& m);
void register_mc(py::module_& m);
void register_fourier(py::module_& m);
void register_isa(py::module_& m);  // private: lattice build selector

}  // namespace orvelta::bindings
