// Module entry: version gate and multi-phase initialisation come from
// PYBIND11_MODULE; the functions are registered in the order of the table.
#include "bindings/kernels/kernels.hpp"

PYBIND11_MODULE(_kernels, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "Compiled numerical kernels for Orvelta option projects";
    orvelta::set_interrupt_checker(&orvelta::bindings::check_python_signals);
    orvelta::bindings::register_lattice(m);
    orvelta::bindings::register_fd(m);
    orvelta::bindings::register_mc(m);
    orvelta::bindings::register_fourier(m);
    orvelta::bindings::register_isa(m);
}
