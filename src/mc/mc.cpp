#include "mc/mc.hpp"

#include "mc/random.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace orvelta::mc {

namespace {

constexpr double kPriceFloor = 1e-300;  // keeps ln(S / K) finite for S <= 0
constexpr double kRidge = 1e-10;        // makes the normal matrix positive definite
constexpr double kPivotFloor = 1e-12;   // smaller pivots are passed over, not divided by
constexpr std::int64_t kPrefetchRows = 8;

// max(x, 0) that lets a NaN through.
inline double positive_part(double x) noexcept { return x < 0.0 ? 0.0 : x; }

template <bool Call>
inline double exercise_value(double S, double K) noexcept {
    return positive_part(Call ? S - K : K - S);
}

inline double regression_variable(double S, double K) noexcept {
    return std::log(std::max(S, kPriceFloor) / K);
}

// sum_k beta_k x^k, summed upwards with a running power.
inline double continuation(const double* beta, std::int64_t nb, double x) noexcept {
    double sum = 0.0;
    double w = 1.0;
    for (std::int64_t k = 0; k < nb; ++k) {
        sum = sum + beta[k] * w;
        w = w * x;
    }
    return sum;
}

// A row with no columns has no last date to take a cash flow from.
void require_columns(std::int64_t n, std::int64_t m) {
    if (n > 0 && m == 0) throw std::runtime_error("paths must have at least one column");
}

inline std::size_t as_size(std::int64_t count) { return static_cast<std::size_t>(count); }

// Working vectors of the regression dates.
struct RegressionWork {
    double* cf;         // cash flows, discounted here by one more step
    std::int64_t* itm;  // receives the in-the-money rows, in row order
    double* hs;         // their exercise values
    double* xs;         // and regression variables
    double* A;          // nb x nb normal matrix, full
    double* b;          // nb right-hand side
    double* phi;        // nb scratch for the basis
};

// Discounts every cash flow by one step and sums the normal equations of date
// t over its in-the-money paths in row order; returns their count. Only the
// upper triangle is summed: phi_k*phi_l and phi_l*phi_k are the same double,
// added in the same order, so the mirror is exact. With NB > 0 the basis size
// is a compile-time constant and the sums stay in registers; NB = 0 takes it
// from `nb` and sums in place.
template <bool Call, int NB>
std::int64_t regression_sums(const double* paths, std::int64_t n, std::int64_t m, std::int64_t t,
                             double K, double disc, std::int64_t nb_runtime,
                             const RegressionWork& w) noexcept {
    constexpr bool fixed = NB > 0;
    constexpr int kLocal = fixed ? NB : 1;
    const std::int64_t nb = fixed ? NB : nb_runtime;
    double local_a[kLocal * kLocal] = {};
    double local_b[kLocal] = {};
    double local_phi[kLocal] = {};
    double* sa = fixed ? local_a : w.A;
    double* sb = fixed ? local_b : w.b;
    double* phi = fixed ? local_phi : w.phi;
    if (!fixed) {
        std::fill(sa, sa + nb * nb, 0.0);
        std::fill(sb, sb + nb, 0.0);
    }

    std::int64_t count = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        // One date of a row sits a whole row away from the next one; fetch
        // ahead so the strided reads do not stall.
        if (i + kPrefetchRows < n) __builtin_prefetch(&paths[(i + kPrefetchRows) * m + t]);
        w.cf[i] = w.cf[i] * disc;
        const double S = paths[i * m + t];
        const double h = exercise_value<Call>(S, K);
        if (!(h > 0.0)) continue;
        const double x = regression_variable(S, K);
        w.itm[count] = i;
        w.hs[count] = h;
        w.xs[count] = x;
        ++count;
        phi[0] = 1.0;
        for (std::int64_t k = 1; k < nb; ++k) phi[k] = phi[k - 1] * x;
        const double c = w.cf[i];
        for (std::int64_t k = 0; k < nb; ++k) {
            const double pk = phi[k];
            sb[k] = sb[k] + pk * c;
            for (std::int64_t l = k; l < nb; ++l) sa[k * nb + l] = sa[k * nb + l] + pk * phi[l];
        }
    }
    for (std::int64_t k = 0; k < nb; ++k) {
        for (std::int64_t l = 0; l < k; ++l) sa[k * nb + l] = sa[l * nb + k];
    }
    if (fixed) {
        std::copy(sa, sa + nb * nb, w.A);
        std::copy(sb, sb + nb, w.b);
    }
    return count;
}

template <bool Call>
std::int64_t regression_sums(const double* paths, std::int64_t n, std::int64_t m, std::int64_t t,
                             double K, double disc, std::int64_t nb,
                             const RegressionWork& w) noexcept {
    switch (nb) {
        case 1: return regression_sums<Call, 1>(paths, n, m, t, K, disc, nb, w);
        case 2: return regression_sums<Call, 2>(paths, n, m, t, K, disc, nb, w);
        case 3: return regression_sums<Call, 3>(paths, n, m, t, K, disc, nb, w);
        case 4: return regression_sums<Call, 4>(paths, n, m, t, K, disc, nb, w);
        case 5: return regression_sums<Call, 5>(paths, n, m, t, K, disc, nb, w);
        case 6: return regression_sums<Call, 6>(paths, n, m, t, K, disc, nb, w);
        case 7: return regression_sums<Call, 7>(paths, n, m, t, K, disc, nb, w);
        case 8: return regression_sums<Call, 8>(paths, n, m, t, K, disc, nb, w);
        default: return regression_sums<Call, 0>(paths, n, m, t, K, disc, nb, w);
    }
}

template <bool Call>
double backward(const double* paths, std::int64_t n, std::int64_t m, double K, double r,
                double tau, std::int64_t nb, std::int32_t* ex, double* coefficients) {
    const std::int64_t steps_d = m >= 2 ? m - 1 : 1;
    const double dt = tau / static_cast<double>(steps_d);
    const double disc = std::exp(dt * (-r));
    const bool regress = m >= 3;

    // Working storage first: an impossible size fails here, before the
    // results are touched.
    std::vector<double> cf(as_size(n), 0.0);
    std::vector<std::int64_t> itm;  // in-the-money rows of the current date
    std::vector<double> hs;         // their exercise values
    std::vector<double> xs;         // and regression variables
    std::vector<double> A, M, b, beta, phi;
    if (regress) {
        const std::int64_t nb2 = checked_elements(nb, nb, sizeof(double));
        A.resize(as_size(nb2));
        M.resize(as_size(nb2));
        b.resize(as_size(nb));
        beta.resize(as_size(nb));
        phi.resize(as_size(nb));
        itm.resize(as_size(n));
        hs.resize(as_size(n));
        xs.resize(as_size(n));
    }
    std::fill(coefficients, coefficients + m * nb, 0.0);
    std::fill(ex, ex + n, static_cast<std::int32_t>(m - 1));

    for (std::int64_t i = 0; i < n; ++i) cf[i] = exercise_value<Call>(paths[i * m + m - 1], K);
    const RegressionWork work{cf.data(), itm.data(), hs.data(), xs.data(),
                              A.data(),  b.data(),   phi.data()};

    if (regress) {
        for (std::int64_t t = m - 2; t >= 1; --t) {
            const std::int64_t count = regression_sums<Call>(paths, n, m, t, K, disc, nb, work);

            // Too few in-the-money paths leave the policy at zero, which
            // exercises every one of them.
            std::fill(beta.begin(), beta.end(), 0.0);
            if (count >= nb) {
                for (std::int64_t k = 0; k < nb; ++k) A[k * nb + k] = A[k * nb + k] + kRidge;
                solve_normal_equations(A.data(), b.data(), nb, M.data(), beta.data());
            }
            std::copy(beta.begin(), beta.end(), coefficients + t * nb);

            // Exercise where the payoff beats the estimate strictly; a tie
            // keeps the later cash flow.
            for (std::int64_t j = 0; j < count; ++j) {
                const std::int64_t i = itm[j];
                if (hs[j] > continuation(beta.data(), nb, xs[j])) {
                    cf[i] = hs[j];
                    ex[i] = static_cast<std::int32_t>(t);
                }
            }
        }
    }

    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        cf[i] = cf[i] * disc;
        sum = sum + cf[i];
    }
    return sum / static_cast<double>(std::max<std::int64_t>(n, 1));
}

template <bool Call>
double evaluate(const double* paths, std::int64_t n, std::int64_t m, double K, double r,
                double tau, const double* coefficients, std::int64_t nb,
                std::int32_t* exercise_time) noexcept {
    const std::int64_t steps_d = m >= 2 ? m - 1 : 1;
    const double dt = tau / static_cast<double>(steps_d);
    const double last_disc = std::exp(tau * (-r));
    const double rate_step = (-r) * dt;

    double total = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double* row = paths + i * m;
        double value = exercise_value<Call>(row[m - 1], K) * last_disc;
        std::int64_t when = m - 1;
        for (std::int64_t t = 1; t <= m - 2; ++t) {
            const double S = row[t];
            const double h = exercise_value<Call>(S, K);
            if (!(h > 0.0)) continue;
            const double c = continuation(coefficients + t * nb, nb, regression_variable(S, K));
            if (h > c) {
                value = h * std::exp(rate_step * static_cast<double>(t));
                when = t;
                break;
            }
        }
        total = total + value;
        exercise_time[i] = static_cast<std::int32_t>(when);
    }
    return total / static_cast<double>(std::max<std::int64_t>(n, 1));
}

}  // namespace

void gbm_paths_antithetic(double s0, double r, double q, double sigma, double tau,
                          const PathShape& shape, std::uint32_t seed, double* out) noexcept {
    NormalSource src;
    normal_seed(src, seed);
    const std::int64_t steps = shape.steps;
    const std::int64_t pairs = shape.pairs;
    const std::int64_t cols = steps + 1;
    const double dt = tau / static_cast<double>(steps);
    const double drift = ((r - q) - (0.5 * sigma) * sigma) * dt;
    const double vol = std::sqrt(dt) * sigma;
    for (std::int64_t i = 0; i < pairs; ++i) {
        double* up = out + i * cols;
        double* down = out + (i + pairs) * cols;
        up[0] = s0;
        down[0] = s0;
        for (std::int64_t j = 1; j <= steps; ++j) {
            const double e = standard_normal(src) * vol;
            up[j] = std::exp(drift + e) * up[j - 1];
            down[j] = std::exp(drift - e) * down[j - 1];
        }
    }
}

void solve_normal_equations(const double* A, const double* b, std::int64_t nb, double* M,
                            double* beta) noexcept {
    std::copy(A, A + nb * nb, M);
    std::copy(b, b + nb, beta);
    double* y = beta;
    for (std::int64_t c = 0; c < nb; ++c) {
        // Partial pivoting; among equal magnitudes the lowest row wins.
        std::int64_t p = c;
        double best = std::fabs(M[c * nb + c]);
        for (std::int64_t i = c + 1; i < nb; ++i) {
            const double v = std::fabs(M[i * nb + c]);
            if (v > best) {
                best = v;
                p = i;
            }
        }
        if (best < kPivotFloor) continue;
        double* pc = M + c * nb;
        if (p != c) {
            double* pp = M + p * nb;
            for (std::int64_t j = c; j < nb; ++j) std::swap(pc[j], pp[j]);
            std::swap(y[c], y[p]);
        }
        const double piv = pc[c];
        for (std::int64_t j = c; j < nb; ++j) pc[j] = pc[j] / piv;
        y[c] = y[c] / piv;
        for (std::int64_t i = 0; i < nb; ++i) {
            if (i == c) continue;
            double* pi = M + i * nb;
            const double f = pi[c];
            for (std::int64_t j = c; j < nb; ++j) pi[j] = pi[j] - pc[j] * f;
            y[i] = y[i] - f * y[c];
        }
    }
}

double lsm_backward(const double* paths, std::int64_t n, std::int64_t m, double strike, double r,
                    double tau, int option_type, int degree, std::int32_t* exercise_time,
                    double* coefficients) {
    require_columns(n, m);
    const std::int64_t nb = basis_size(degree);
    return option_type > 0
               ? backward<true>(paths, n, m, strike, r, tau, nb, exercise_time, coefficients)
               : backward<false>(paths, n, m, strike, r, tau, nb, exercise_time, coefficients);
}

double lsm_eval_policy(const double* paths, std::int64_t n, std::int64_t m, double strike,
                       double r, double tau, int option_type, const double* coefficients,
                       std::int64_t coef_rows, std::int64_t nb, std::int32_t* exercise_time) {
    require_columns(n, m);
    if (m >= 3 && coef_rows < m - 1) {
        throw std::runtime_error("coefficients must have a row for every exercise date");
    }
    return option_type > 0
               ? evaluate<true>(paths, n, m, strike, r, tau, coefficients, nb, exercise_time)
               : evaluate<false>(paths, n, m, strike, r, tau, coefficients, nb, exercise_time);
}

}  // namespace orvelta::mc
