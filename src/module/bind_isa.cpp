// Private selector of the lattice kernels' instruction-set build, for tests
// that check every build gives the same bits. Not part of the public table.
#include "lattice/lattice.hpp"
#include "module/bindings.hpp"

#include <stdexcept>
#include <string>

namespace orvelta::bindings {

namespace {

constexpr lattice::Isa kAll[] = {lattice::Isa::baseline, lattice::Isa::avx2, lattice::Isa::avx512};

// _lattice_isa() names the build in use; _lattice_isa(name) selects "avx512",
// "avx2", "baseline" or "auto" (the load-time choice) and names the build in
// use afterwards. A build the processor cannot run raises ValueError.
std::string lattice_isa(const py::object& arg) {
    if (!arg.is_none()) {
        const auto name = py::cast<std::string>(arg);
        bool known = name == "auto";
        lattice::Isa wanted = lattice::best_isa();
        for (const lattice::Isa isa : kAll) {
            if (name == lattice::isa_name(isa)) {
                wanted = isa;
                known = true;
            }
        }
        if (!known) throw py::value_error("unknown lattice build: " + name);
        if (!lattice::select_isa(wanted)) {
            throw py::value_error("this processor cannot run the lattice build " + name);
        }
    }
    return lattice::isa_name(lattice::active_isa());
}

py::list lattice_isas() {
    py::list out;
    for (const lattice::Isa isa : kAll) {
        if (lattice::isa_supported(isa)) out.append(lattice::isa_name(isa));
    }
    return out;
}

}  // namespace

void register_isa(py::module_& m) {
    m.def("_lattice_isa", &lattice_isa, py::arg("name") = py::none());
    m.def("_lattice_isas", &lattice_isas);
}

}  // namespace orvelta::bindings
