// Entry of orvelta._engines: the package's accurate pricers, beside the ten
// kernels of _kernels.
#include "bindings/engines/engines.hpp"

PYBIND11_MODULE(_engines, m, pybind11::multiple_interpreters::not_supported()) {
    using namespace orvelta::bindings;
    init_module(m, "Compiled pricing engines of Orvelta: accurate American and European prices");
    register_american(m);
    register_dividends(m);
    register_european(m);
    register_io(m);
    register_isa_hook(m);
}
