// Lattice pricers: american_tree_batch and american_tree_boundary.
#include "common/threads.hpp"
#include "lattice/lattice.hpp"
#include "bindings/kernels/kernels.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <optional>

namespace orvelta::bindings {

namespace {

// Node updates of one lattice of `steps` steps, the unit of a slice's work.
double lattice_nodes(int steps) noexcept {
    if (steps < 2) return 1.0;
    const double n = static_cast<double>(steps);
    return (n + 1.0) * (n + 2.0) / 2.0;
}

// A batch runs in slices of options of about this many node updates (some
// tens of milliseconds), so that the interpreter lock is taken back often
// enough to answer Ctrl-C. A slice never drops below the size at which the
// batch uses its thread team; longer slices are cut short by the cancel flag
// that the lattice polls.
constexpr double kSliceNodes = 67108864.0;  // 2^26

std::size_t slice_options(int steps, std::size_t total) noexcept {
    const double fit = std::max(1.0, kSliceNodes / lattice_nodes(steps));
    std::size_t slice = fit >= static_cast<double>(total) ? total : static_cast<std::size_t>(fit);
    slice = std::max(slice, std::min(total, kMinParallelBatch));
    return std::max<std::size_t>(slice, 1);
}

// Memory of the batch: the result and, per thread, the lattice's working block.
double tree_batch_bytes(std::size_t count, int steps) noexcept {
    double bytes = bytes_of(static_cast<double>(count), sizeof(double));
    if (steps >= 2 && count > 0) {
        const std::size_t threads =
            run_parallel(count) ? static_cast<std::size_t>(omp_get_max_threads()) : 1;
        const double per_thread = static_cast<double>(lattice::tree_batch_work_bytes(steps));
        bytes += per_thread * static_cast<double>(std::min(threads, count));
    }
    return bytes;
}

py::array_t<double> american_tree_batch(const f64_array& s, const f64_array& k, const f64_array& r,
                                        const f64_array& q, const f64_array& sigma,
                                        const f64_array& tau, const i32_array& option_type,
                                        int steps, int tree_type, bool american) {
    const py::ssize_t n = require_same_length({&s, &k, &r, &q, &sigma, &tau, &option_type});
    const auto total = static_cast<std::size_t>(n);
    require_memory("american_tree_batch", tree_batch_bytes(total, steps));
    py::array_t<double> out(n);
    double* po = mutable_data_1d(out);
    const OptionBook b = option_book(s, k, r, q, sigma, tau, option_type);

    // Slices of options with the interpreter lock released; between slices
    // the lock is taken back to run the signal handlers. Each option is
    // priced independently, so the slicing changes no result.
    const bool long_batch = lattice_nodes(steps) * static_cast<double>(total) > kSliceNodes;
    run_sliced(
        total, slice_options(steps, total),
        [&](std::size_t lo, std::size_t hi) {
            lattice::tree_batch(hi - lo, b.s + lo, b.k + lo, b.r + lo, b.q + lo, b.sigma + lo,
                                b.tau + lo, b.option_type + lo, steps, tree_type, american,
                                po + lo);
        },
        long_batch);
    return out;
}

py::dict american_tree_boundary(double s, double k, double r, double q, double sigma, double tau,
                                int option_type, int steps, int tree_type, bool american) {
    const auto nodes = static_cast<py::ssize_t>(lattice::boundary_steps(steps) + 1);
    // The two result arrays and the lattice's working storage.
    require_memory("american_tree_boundary",
                   bytes_of(2.0 * static_cast<double>(nodes), sizeof(double)) +
                       static_cast<double>(lattice::tree_boundary_work_bytes(steps)));
    py::array_t<double> times(nodes);
    py::array_t<double> boundary(nodes);
    double price = 0.0;
    // A lattice long enough to notice lets SIGINT cut it short.
    std::optional<SigintCancel> cancel;
    if (lattice_nodes(steps) > kSliceNodes) cancel.emplace();
    run_cancellable([&] {
        price = lattice::tree_boundary(s, k, r, q, sigma, tau, option_type, steps, tree_type,
                                       american, times.mutable_data(), boundary.mutable_data());
    });
    return py::dict("times"_a = times, "boundary"_a = boundary, "price"_a = price);
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
