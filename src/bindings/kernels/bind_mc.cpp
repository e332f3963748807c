// Monte Carlo: gbm_paths_antithetic, lsm_backward and lsm_eval_policy.
#include "mc/mc.hpp"
#include "bindings/kernels/kernels.hpp"

#include <cstdint>
#include <vector>

namespace orvelta::bindings {

namespace {

py::array_t<double> gbm_paths_antithetic(double s0, double r, double q, double sigma, double tau,
                                         int steps, int paths, unsigned int seed) {
    const mc::PathShape shape = mc::path_shape(steps, paths);
    const std::int64_t rows = 2 * shape.pairs;
    const std::int64_t cols = shape.steps + 1;
    // A shape whose byte count overflows is MemoryError too, like any other
    // allocation NumPy cannot satisfy.
    mc::checked_elements(rows, cols, sizeof(double));
    require_memory("gbm_paths_antithetic",
                   bytes_of(static_cast<double>(rows) * static_cast<double>(cols), sizeof(double)));
    py::array_t<double> out(std::vector<py::ssize_t>{rows, cols});
    auto view = out.mutable_unchecked<2>();
    mc::gbm_paths_antithetic(s0, r, q, sigma, tau, shape, seed, view.mutable_data(0, 0));
    return out;
}

py::dict lsm_backward(const f64_array& paths, double strike, double r, double tau, int option_type,
                      int degree) {
    const py::buffer_info info = paths.request();
    if (info.ndim != 2) throw std::runtime_error("paths must be a 2D array");
    const py::ssize_t n = info.shape[0];
    const py::ssize_t m = info.shape[1];
    const std::int64_t nb = mc::basis_size(degree);
    // The kernel writes straight into the result arrays. Its working storage:
    // the cash flows, and with a regression (m >= 3) the in-the-money rows,
    // their exercise values and regression variables, two nb x nb matrices,
    // three vectors of nb and a band of up to 8 dates copied out of the paths.
    mc::checked_elements(m, nb, sizeof(double));
    const double nd = static_cast<double>(n);
    const double nbd = static_cast<double>(nb);
    double doubles = static_cast<double>(m) * nbd + nd;
    if (m >= 3)
        doubles += (3.0 + static_cast<double>(std::min<py::ssize_t>(m, 8))) * nd + 2.0 * nbd * nbd +
                   3.0 * nbd;
    require_memory("lsm_backward", bytes_of(doubles, sizeof(double)) + bytes_of(nd, sizeof(int)));
    py::array_t<int> exercise_time(n);
    py::array_t<double> coefficients(std::vector<py::ssize_t>{m, nb});
    const double price =
        mc::lsm_backward(static_cast<const double*>(info.ptr), n, m, strike, r, tau, option_type,
                         degree, exercise_time.mutable_data(), coefficients.mutable_data());
    return py::dict("price"_a = price, "exercise_time"_a = exercise_time,
                    "coefficients"_a = coefficients);
}

py::dict lsm_eval_policy(const f64_array& paths, double strike, double r, double tau,
                         int option_type, const f64_array& coefficients) {
    const py::buffer_info pinfo = paths.request();
    const py::buffer_info cinfo = coefficients.request();
    if (pinfo.ndim != 2 || cinfo.ndim != 2) {
        throw std::runtime_error("paths and coefficients must be 2D arrays");
    }
    require_memory("lsm_eval_policy", bytes_of(static_cast<double>(pinfo.shape[0]), sizeof(int)));
    py::array_t<int> exercise_time(pinfo.shape[0]);
    const double price =
        mc::lsm_eval_policy(static_cast<const double*>(pinfo.ptr), pinfo.shape[0], pinfo.shape[1],
                            strike, r, tau, option_type, static_cast<const double*>(cinfo.ptr),
                            cinfo.shape[0], cinfo.shape[1], exercise_time.mutable_data());
    return py::dict("price"_a = price, "exercise_time"_a = exercise_time);
}

}  // namespace

void register_mc(py::module_& m) {
    m.def("gbm_paths_antithetic", &gbm_paths_antithetic, py::arg("s0"), py::arg("r"), py::arg("q"),
          py::arg("sigma"), py::arg("tau"), py::arg("steps"), py::arg("paths"),
          py::arg("seed") = 7u);
    m.def("lsm_backward", &lsm_backward, py::arg("paths"), py::arg("strike"), py::arg("r"),
          py::arg("tau"), py::arg("option_type"), py::arg("degree") = 3);
    m.def("lsm_eval_policy", &lsm_eval_policy, py::arg("paths"), py::arg("strike"), py::arg("r"),
          py::arg("tau"), py::arg("option_type"), py::arg("coefficients"));
}

}  // namespace orvelta::bindings
