// Lattice pricers: american_tree_batch and american_tree_boundary.
#include "lattice/lattice.hpp"
#include "module/bindings.hpp"

#include <limits>

namespace orvelta::bindings {

namespace {

py::array_t<double> american_tree_batch(const f64_array& s, const f64_array& k, const f64_array& r,
                                        const f64_array& q, const f64_array& sigma,
                                        const f64_array& tau, const i32_array& option_type,
                                        int steps, int tree_type, bool american) {
    const py::ssize_t n = require_same_length({&s, &k, &r, &q, &sigma, &tau, &option_type});
    py::array_t<double> out(n);
    double* po = mutable_data_1d(out);
    const OptionBook b = option_book(s, k, r, q, sigma, tau, option_type);
    {
        py::gil_scoped_release unlocked;
        lattice::tree_batch(static_cast<std::size_t>(n), b.s, b.k, b.r, b.q, b.sigma, b.tau,
                            b.option_type, steps, tree_type, american, po);
    }
    return out;
}

py::dict american_tree_boundary(double s, double k, double r, double q, double sigma, double tau,
                                int option_type, int steps, int tree_type, bool american) {
    const auto nodes = static_cast<py::ssize_t>(lattice::boundary_steps(steps) + 1);
    py::array_t<double> times(nodes);
    py::array_t<double> boundary(nodes);
    const double price = lattice::tree_boundary(s, k, r, q, sigma, tau, option_type, steps,
                                                tree_type, american, times.mutable_data(),
                                                boundary.mutable_data());
    py::dict result;
    result["times"] = times;
    result["boundary"] = boundary;
    result["price"] = py::float_(price);
    return result;
}

}  // namespace

void register_lattice(py::module_& m) {
    m.def("american_tree_batch", &american_tree_batch, py::arg("s"), py::arg("k"), py::arg("r"),
          py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"),
          py::arg("steps") = 200, py::arg("tree_type") = 0, py::arg("american") = true);
    m.def("american_tree_boundary", &american_tree_boundary, py::arg("s"), py::arg("k"),
          py::arg("r"), py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"),
          py::arg("steps") = 200, py::arg("tree_type") = 0, py::arg("american") = true);
}

}  // namespace orvelta::bindings
