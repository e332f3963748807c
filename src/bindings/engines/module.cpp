// Entry of orvelta._engines: the package's accurate pricers, beside the ten
// kernels of _kernels.
#include "bindings/engines/engines.hpp"

PYBIND11_MODULE(_engines, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "Compiled pricing engines of Orvelta: accurate American and European prices";
    orvelta::set_interrupt_checker(&orvelta::bindings::check_python_signals);
    orvelta::bindings::register_american(m);
    orvelta::bindings::register_dividends(m);
    orvelta::bindings::register_european(m);
    orvelta::bindings::register_io(m);
    orvelta::bindings::register_isa_hook(m);
}
