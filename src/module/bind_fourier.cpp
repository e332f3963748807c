#include "module/bindings.hpp"

namespace orvelta::bindings {

void register_fourier(py::module_& /*m*/) {}

}  // namespace orvelta::bindings
