// Private selector of the instruction-set build of the vectorised kernels,
// for tests that check every build gives the same bits. Not part of the
// public function table.
#include "bindings/kernels/kernels.hpp"

namespace orvelta::bindings {

void register_isa(py::module_& m) { register_isa_hook(m); }

}  // namespace orvelta::bindings
