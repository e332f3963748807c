#include "module/bindings.hpp"

namespace orvelta::bindings {

void register_mc(py::module_& /*m*/) {}

}  // namespace orvelta::bindings
