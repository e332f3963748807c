#include "module/bindings.hpp"

namespace orvelta::bindings {

void register_fd(py::module_& /*m*/) {}

}  // namespace orvelta::bindings
