// European pricing to a requested accuracy and Black-Scholes implied volatility.
#include "engines/engines.hpp"

namespace orvelta::bindings {

void register_european(py::module_& m) { (void)m; }

}  // namespace orvelta::bindings
