#include "mc/mc.hpp"

#include "mc/random.hpp"

#include "common/constants.hpp"
#include "common/interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace orvelta::mc {

namespace {

constexpr double kPriceFloor = 1e-300;       // keeps ln(S / K) finite for S <= 0
constexpr double kRidge = 1e-10;             // makes the normal matrix positive definite
constexpr double kPivotFloor = 1e-12;        // smaller pivots are passed over, not divided by
constexpr std::int64_t kPathBlock = 8;       // antithetic pairs filled together
constexpr std::int64_t kBandDates = 8;       // dates copied out of the paths per pass
constexpr std::int64_t kPollWork = 1 << 18;  // path-dates between interrupt polls

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
std::int64_t regression_sums(const double* col, std::int64_t n, double K, double disc,
                             std::int64_t nb_runtime, const RegressionWork& w) noexcept {
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
        w.cf[i] = w.cf[i] * disc;
        const double S = col[i];
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
std::int64_t regression_sums(const double* col, std::int64_t n, double K, double disc,
                             std::int64_t nb, const RegressionWork& w) noexcept {
    switch (nb) {
        case 1: return regression_sums<Call, 1>(col, n, K, disc, nb, w);
        case 2: return regression_sums<Call, 2>(col, n, K, disc, nb, w);
        case 3: return regression_sums<Call, 3>(col, n, K, disc, nb, w);
        case 4: return regression_sums<Call, 4>(col, n, K, disc, nb, w);
        case 5: return regression_sums<Call, 5>(col, n, K, disc, nb, w);
        case 6: return regression_sums<Call, 6>(col, n, K, disc, nb, w);
        case 7: return regression_sums<Call, 7>(col, n, K, disc, nb, w);
        case 8: return regression_sums<Call, 8>(col, n, K, disc, nb, w);
        default: return regression_sums<Call, 0>(col, n, K, disc, nb, w);
    }
}

// Dates of a row-major paths array as contiguous columns, a band of
// kBandDates dates at a time: the band is copied out of the paths row by row
// (one short contiguous stretch per row), so a pass over one date reads
// memory in order whatever the number of paths. Bands are loaded from the
// last date downwards, as the backward pass asks for them.
class DateBand {
public:
    DateBand(const double* paths, std::int64_t n, std::int64_t m)
        : paths_(paths),
          n_(n),
          m_(m),
          data_(as_size(checked_elements(n, std::min(m, kBandDates), sizeof(double)))) {}

    // Date t for every path, t in [0, m); the pointer stays valid until a
    // date outside the current band is asked for.
    const double* column(std::int64_t t) {
        if (t < lo_ || t >= lo_ + width_) load(t);
        return data_.data() + (t - lo_) * n_;
    }

private:
    void load(std::int64_t t) {
        lo_ = std::max<std::int64_t>(0, t - kBandDates + 1);
        width_ = t - lo_ + 1;
        for (std::int64_t i0 = 0; i0 < n_; i0 += kBandRows) {
            const std::int64_t i1 = std::min(n_, i0 + kBandRows);
            for (std::int64_t i = i0; i < i1; ++i) {
                const double* row = paths_ + i * m_ + lo_;
                for (std::int64_t d = 0; d < width_; ++d) data_[as_size(d * n_ + i)] = row[d];
            }
            poll_interrupt();
        }
    }

    static constexpr std::int64_t kBandRows = 1 << 16;
    const double* paths_;
    std::int64_t n_;
    std::int64_t m_;
    std::vector<double> data_;
    std::int64_t lo_ = 0;
    std::int64_t width_ = 0;
};

template <bool Call>
double backward(const double* paths, std::int64_t n, std::int64_t m, double K, double r, double tau,
                std::int64_t nb, std::int32_t* ex, double* coefficients) {
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
    DateBand band(paths, n, m);
    std::fill(coefficients, coefficients + m * nb, 0.0);
    std::fill(ex, ex + n, static_cast<std::int32_t>(m - 1));

    const double* last = band.column(m - 1);
    for (std::int64_t i = 0; i < n; ++i) cf[i] = exercise_value<Call>(last[i], K);
    const RegressionWork work{cf.data(), itm.data(), hs.data(), xs.data(),
                              A.data(),  b.data(),   phi.data()};

    if (regress) {
        for (std::int64_t t = m - 2; t >= 1; --t) {
            poll_interrupt();
            const std::int64_t count = regression_sums<Call>(band.column(t), n, K, disc, nb, work);

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
double evaluate(const double* paths, std::int64_t n, std::int64_t m, double K, double r, double tau,
                const double* coefficients, std::int64_t nb, std::int32_t* exercise_time) {
    constexpr std::int64_t kEvalPollRows = 1 << 14;
    const std::int64_t steps_d = m >= 2 ? m - 1 : 1;
    const double dt = tau / static_cast<double>(steps_d);
    const double last_disc = std::exp(tau * (-r));
    const double rate_step = (-r) * dt;

    double total = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        if ((i & (kEvalPollRows - 1)) == kEvalPollRows - 1) poll_interrupt();
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
                          const PathShape& shape, std::uint32_t seed, double* out) {
    NormalStream normals(seed);
    const std::int64_t steps = shape.steps;
    const std::int64_t pairs = shape.pairs;
    const std::int64_t cols = steps + 1;
    const double dt = tau / static_cast<double>(steps);
    const double drift = ((r - q) - (0.5 * sigma) * sigma) * dt;
    const double vol = std::sqrt(dt) * sigma;
    std::vector<double> e(as_size(steps));
    std::int64_t since_poll = 0;
    // Pairs in blocks: first the shocks and the step factors exp(drift +- e)
    // of every row of the block (independent calls, no serial dependency),
    // then the products along the rows, the chains of all the block's rows
    // side by side. [i][j] = exp(drift + e) * [i][j-1], exactly as a row
    // filled step by step.
    for (std::int64_t i0 = 0; i0 < pairs; i0 += kPathBlock) {
        const std::int64_t i1 = std::min(pairs, i0 + kPathBlock);
        for (std::int64_t i = i0; i < i1; ++i) {
            double* up = out + i * cols;
            double* down = out + (i + pairs) * cols;
            normals.take(e.data(), steps);
            up[0] = s0;
            down[0] = s0;
            for (std::int64_t j = 0; j < steps; ++j) e[j] = e[j] * vol;
            for (std::int64_t j = 0; j < steps; ++j) up[j + 1] = std::exp(drift + e[j]);
            for (std::int64_t j = 0; j < steps; ++j) down[j + 1] = std::exp(drift - e[j]);
        }
        const std::int64_t rows = i1 - i0;
        double* top = out + i0 * cols;
        double* bottom = out + (i0 + pairs) * cols;
        for (std::int64_t j = 1; j <= steps; ++j) {
            for (std::int64_t g = 0; g < rows; ++g) {
                top[g * cols + j] = top[g * cols + j] * top[g * cols + j - 1];
                bottom[g * cols + j] = bottom[g * cols + j] * bottom[g * cols + j - 1];
            }
        }
        since_poll += rows * steps;
        if (since_poll >= kPollWork) {
            since_poll = 0;
            poll_interrupt();
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

double lsm_eval_policy(const double* paths, std::int64_t n, std::int64_t m, double strike, double r,
                       double tau, int option_type, const double* coefficients,
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
