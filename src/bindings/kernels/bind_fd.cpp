// Finite-difference pricers: american_pde_psor and american_pde_psor_batch.
#include "fd/psor.hpp"
#include "bindings/kernels/kernels.hpp"

#include <cstdint>

namespace orvelta::bindings {

namespace {

py::dict american_pde_psor(double s, double k, double r, double q, double sigma, double tau,
                           int option_type, int s_steps, int t_steps, double s_max_mult,
                           double omega, double tol, int max_iter, bool american) {
    fd::check_settings(omega, tol);
    const std::int64_t N = fd::price_intervals(s_steps);
    const std::int64_t M = fd::time_steps(t_steps);
    // The grid, boundary, residuals and value surface, and the solver's work
    // vectors. Both sizes are below 2^31, so the surface's element count fits
    // in 64 bits.
    const double Nd = static_cast<double>(N);
    const double Md = static_cast<double>(M);
    const double results = (Nd + 1.0) + (Md + 1.0) + Md + (Md + 1.0) * (Nd + 1.0);
    require_memory("american_pde_psor",
                   bytes_of(results, sizeof(double)) + fd::solve_work_bytes(s_steps));
    py::array_t<double> s_grid(static_cast<py::ssize_t>(N + 1));
    py::array_t<double> boundary(static_cast<py::ssize_t>(M + 1));
    py::array_t<double> residuals(static_cast<py::ssize_t>(M));
    py::array_t<double> values({static_cast<py::ssize_t>(M + 1), static_cast<py::ssize_t>(N + 1)});

    const fd::PsorResult res =
        fd::pde_psor_solve(s, k, r, q, sigma, tau, option_type, s_steps, t_steps, s_max_mult, omega,
                           tol, max_iter, american, s_grid.mutable_data(), boundary.mutable_data(),
                           residuals.mutable_data(), values.mutable_data());

    return py::dict("price"_a = res.price, "s_grid"_a = s_grid, "boundary"_a = boundary,
                    "residuals"_a = residuals, "values"_a = values);
}

py::dict american_pde_psor_batch(const f64_array& s, const f64_array& k, const f64_array& r,
                                 const f64_array& q, const f64_array& sigma, const f64_array& tau,
                                 const i32_array& option_type, int s_steps, int t_steps,
                                 double s_max_mult, double omega, double tol, int max_iter,
                                 bool american) {
    const py::ssize_t n = require_same_length({&s, &k, &r, &q, &sigma, &tau, &option_type});
    fd::check_settings(omega, tol);
    require_memory("american_pde_psor_batch",
                   bytes_of(2.0 * static_cast<double>(n), sizeof(double)) +
                       fd::batch_work_bytes(s_steps, static_cast<std::size_t>(n)));
    py::array_t<double> prices(n);
    py::array_t<double> residuals(n);
    double* pp = mutable_data_1d(prices);
    double* pe = mutable_data_1d(residuals);
    const OptionBook b = option_book(s, k, r, q, sigma, tau, option_type);

    // Sequential, with the interpreter lock held: each option is the same
    // solve as american_pde_psor without the value surface.
    fd::pde_psor_batch(static_cast<std::size_t>(n), b.s, b.k, b.r, b.q, b.sigma, b.tau,
                       b.option_type, s_steps, t_steps, s_max_mult, omega, tol, max_iter, american,
                       pp, pe);

    return py::dict("prices"_a = prices, "residuals"_a = residuals);
}

}  // namespace

void register_fd(py::module_& m) {
    m.def("american_pde_psor", &american_pde_psor, py::arg("s"), py::arg("k"), py::arg("r"),
          py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"),
          py::arg("s_steps") = 160, py::arg("t_steps") = 120, py::arg("s_max_mult") = 3.0,
          py::arg("omega") = 1.35, py::arg("tol") = 1e-7, py::arg("max_iter") = 5000,
          py::arg("american") = true);
    m.def("american_pde_psor_batch", &american_pde_psor_batch, py::arg("s"), py::arg("k"),
          py::arg("r"), py::arg("q"), py::arg("sigma"), py::arg("tau"), py::arg("option_type"),
          py::arg("s_steps") = 100, py::arg("t_steps") = 80, py::arg("s_max_mult") = 3.0,
          py::arg("omega") = 1.35, py::arg("tol") = 1e-7, py::arg("max_iter") = 3000,
          py::arg("american") = true);
}

}  // namespace orvelta::bindings
