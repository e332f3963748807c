// Module entry: version gate and multi-phase initialisation come from
// PYBIND11_MODULE; the functions are registered in the order of the table,
// then the private instruction-set hook.
#include "bindings/kernels/kernels.hpp"

PYBIND11_MODULE(_kernels, m, pybind11::multiple_interpreters::not_supported()) {
    using namespace orvelta::bindings;
    init_module(m, "Compiled numerical kernels for Orvelta option projects");
    register_lattice(m);
    register_fd(m);
    register_mc(m);
    register_fourier(m);
    register_isa(m);
}
