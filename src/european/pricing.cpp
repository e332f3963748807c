// European puts to a requested absolute accuracy, calls by parity: the route
// of each maturity, the prices of its strikes, and batches.
//
// Error budget: every route keeps its own bound below a tenth of the
// tolerance for strikes up to kStrikeScale times the forward, with settings
// that depend on the model and maturity only, never on the strikes, so an
// option priced alone or inside any batch gets the same bits.
#include "european/plan.hpp"

#include "common/checks.hpp"
#include "common/constants.hpp"
#include "common/memory.hpp"
#include "common/interrupt.hpp"
#include "common/parallel.hpp"
#include "common/threads.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace orvelta::european {

// The Black-Scholes price from the discounted spot and strike in logs, for
// maturities whose forward or discount factor leaves the range of doubles:
// each of the two terms then tends to its limit (0 or the discounted spot)
// instead of inf * 0.
double black_discounted(const Plan& p, double K, bool call) {
    const double v = std::sqrt(p.var);
    const double ln_kd = std::log(K) - p.rt;
    const double sd = p.spot_disc, kd = K * std::exp(-p.rt);
    const double lower = std::max(call ? sd - kd : kd - sd, 0.0);
    if (!(v > 0.0)) return lower;
    const double d1 = (p.ln_sd - ln_kd) / v + 0.5 * v;
    const double d2 = d1 - v;
    const double value =
        call ? sd * norm_cdf(d1) - kd * norm_cdf(d2) : kd * norm_cdf(-d2) - sd * norm_cdf(-d1);
    return std::min(std::max(value, lower), call ? sd : kd);
}

double plan_bytes(const Plan& p) noexcept {
    double bytes =
        sizeof(double) * static_cast<double>(p.A.size() + p.u.size() + p.inv_1pu2.size() +
                                             p.inv_u1pu2.size() + p.B.size() + p.C.size() +
                                             p.w.size() + p.Fg.size() + p.sd.size() + p.g.size());
    for (const Plan& part : p.parts) bytes += plan_bytes(part);
    return bytes + sizeof(Plan) * static_cast<double>(p.parts.size());
}

Plan make_plan(const Model& m, double tau, double s, double r, double q, double tol) {
    Plan p;
    p.tau = tau;
    if (!(tau >= 0.0) || !std::isfinite(tau) || !std::isfinite(s) || !std::isfinite(r) ||
        !std::isfinite(q) || !(s > 0.0)) {
        p.route = Route::Failed;
        return p;
    }
    p.F = s * std::exp((r - q) * tau);
    p.D = std::exp(-r * tau);
    p.spot_disc = s * std::exp(-q * tau);
    p.ln_sd = std::log(s) - q * tau;
    p.rt = r * tau;
    // Tolerances beyond a percent of the discounted spot would push the
    // tail search past the distribution; such prices are priced to that
    // percent (more accurate than asked).
    tol = std::min(tol, 1e-2 * p.F * p.D);
    if (tau == 0.0) {
        p.route = Route::Intrinsic;
        return p;
    }
    switch (m.kind) {
        case Kind::Lognormal:
            p.route = Route::ClosedForm;
            p.var = m.sigma * m.sigma * tau;
            break;
        case Kind::Merton: plan_merton(m, p, tol); break;
        case Kind::VarianceGamma:
            if (tau / m.nu < kGammaClockShape) {
                plan_gamma_clock(m, p, tol);
            } else {
                plan_cos(m, p, tol);
            }
            break;
        case Kind::Heston:
            if (deterministic_variance(m) && m.gauss_mean == 0.0) {
                p.route = Route::ClosedForm;
                p.var = integrated_variance(m, tau) + m.gauss_var;
            } else {
                plan_cos(m, p, tol);
            }
            break;
        case Kind::Bates:
            if (deterministic_variance(m)) {
                // Merton's series with the integrated variance as the diffusion's.
                plan_merton(m, p, tol);
                if (p.route == Route::PoissonSeries) p.var = integrated_variance(m, tau);
            } else {
                plan_bates(m, p, tol);
            }
            break;
    }
    return p;
}

// The put by the plan's route; the call by parity. Bounded: clipped to the
// no-arbitrage bounds (the prices users see); otherwise the route's raw value.
double plan_price(const Model& m, const Plan& p, double K, bool call, bool bounded) {
    if (!(K > 0.0) || !std::isfinite(K)) return kNaN;
    double put;
    switch (p.route) {
        case Route::Intrinsic: return call ? std::max(p.F - K, 0.0) : std::max(K - p.F, 0.0);
        case Route::ClosedForm:
            if (!(std::isfinite(p.F) && p.D > 0.0 && std::isfinite(p.D)))
                return black_discounted(p, K, call);
            put = black_put(p.F, K, std::sqrt(p.var), p.D);
            break;
        case Route::PoissonSeries: put = merton_put(m, p, K); break;
        case Route::GammaClock: put = gamma_clock_put(p, K); break;
        case Route::Cos: put = cos_put(p, K); break;
        case Route::JumpSeries:
            put = 0.0;
            for (std::size_t n = 0; n < p.parts.size(); ++n) put += p.w[n] * cos_put(p.parts[n], K);
            break;
        default: return kNaN;
    }
    if (!bounded) return call ? put + p.D * (p.F - K) : put;
    // No-arbitrage bounds of the put, then the call by parity.
    const double lower = p.D * std::max(K - p.F, 0.0);
    put = std::min(std::max(put, lower), p.D * K);
    if (!call) return put;
    const double callv = put + p.D * (p.F - K);
    return std::min(std::max(callv, p.D * std::max(p.F - K, 0.0)), p.D * p.F);
}

Settings european_settings(const Model& m, double tau, double s, double r, double q, double tol) {
    const Plan p = make_plan(m, tau, s, r, q, tol);
    return {p.route, p.a, p.b, p.terms};
}

Batch prepare_batch(int model_id, std::size_t sets, std::size_t width, const double* params,
                    std::size_t count, const double* strikes, const double* tau,
                    PerOption<double> s, PerOption<double> r, PerOption<double> q,
                    PerOption<double> option_type, double tol, bool per_option) {
    require_tol(tol);
    if (per_option && sets != count)
        throw std::invalid_argument("params must have one row per option");
    // Results, the order, and per thread the largest single COS plan (a
    // jump series checks its own growth as it is built).
    const double sets_d = static_cast<double>(sets), count_d = static_cast<double>(count);
    const double results = per_option ? count_d : sets_d * count_d;
    require_memory(
        "european_price",
        bytes_of(results + 2.0 * count_d + sets_d * static_cast<double>(width), sizeof(double)) +
            static_cast<double>(team_size(per_option ? count : sets * count)) * kPlanBytes);
    Batch b;
    b.per_option = per_option;
    b.models.reserve(sets);
    for (std::size_t j = 0; j < sets; ++j) {
        b.models.push_back(resolve_model(model_id, params + j * width, width));
    }
    // Below about 1e-15 of the strike scale the rounding of the sums dominates.
    b.tol = tol;
    b.count = count;
    b.strikes = strikes;
    b.tau = tau;
    b.s = s;
    b.r = r;
    b.q = q;
    b.option_type = option_type;
    b.order.resize(count);
    std::iota(b.order.begin(), b.order.end(), std::size_t{0});
    // Options of one maturity, spot, rate and yield share a plan: sorted by
    // those four (ascending, NaNs last), equal ones stay together.
    const auto before = [](double x, double y) {
        if (std::isnan(y)) return !std::isnan(x);
        return x < y;
    };
    const auto ordered = [&](std::size_t x, std::size_t y) {
        const double kx[4] = {tau[x], b.s[x], b.r[x], b.q[x]};
        const double ky[4] = {tau[y], b.s[y], b.r[y], b.q[y]};
        for (int i = 0; i < 4; ++i) {
            if (before(kx[i], ky[i])) return true;
            if (before(ky[i], kx[i])) return false;
        }
        if (per_option) {
            const double* px = params + x * width;
            const double* py = params + y * width;
            for (std::size_t j = 0; j < width; ++j) {
                if (px[j] != py[j]) return px[j] < py[j];
            }
        }
        return false;
    };
    // A chain usually comes in order already: one pass instead of a sort.
    if (!std::is_sorted(b.order.begin(), b.order.end(), ordered))
        std::stable_sort(b.order.begin(), b.order.end(), ordered);
    const auto same_row = [&](std::size_t x, std::size_t y) {
        if (!per_option) return true;
        for (std::size_t j = 0; j < width; ++j) {
            if (!(params[x * width + j] == params[y * width + j])) return false;
        }
        return true;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t x = b.order[i];
        const std::size_t y = i == 0 ? x : b.order[i - 1];
        if (i == 0 || !(tau[x] == tau[y] && b.s[x] == b.s[y] && b.r[x] == b.r[y] &&
                        b.q[x] == b.q[y] && same_row(x, y))) {
            b.group_start.push_back(i);
        }
    }
    b.group_start.push_back(count);
    return b;
}

Plan group_plan(const Batch& batch, std::size_t g, std::size_t set, double tol) {
    const std::size_t first = batch.order[batch.group_start[g]];
    return make_plan(batch.model(set, g), batch.tau[first], batch.s[first], batch.r[first],
                     batch.q[first], tol);
}

std::size_t batch_tasks(const Batch& batch) noexcept {
    const std::size_t groups = batch.group_start.size() - 1;
    return batch.shared_settings ? groups : batch.sets() * groups;
}

namespace {

// Routes other than COS choose their terms or nodes from each set's own
// parameters; priced this tightly, a change of settings between sets stays
// far below a difference quotient's resolution.
constexpr double kSharedOwnTol = 1e-8;

void price_group(const Batch& batch, std::size_t g, std::size_t set, const Plan& p, bool bounded,
                 double* out) {
    const Model& m = batch.model(set, g);
    double* o = out + set * batch.count;
    for (std::size_t i = batch.group_start[g]; i < batch.group_start[g + 1]; ++i) {
        if (cancel_requested()) return;  // a jump series costs milliseconds per strike
        const std::size_t opt = batch.order[i];
        const double type = batch.option_type[opt];
        o[opt] =
            std::isnan(type) ? kNaN : plan_price(m, p, batch.strikes[opt], type > 0.0, bounded);
    }
}

// Maturities [begin, end) of a shared-settings batch: first every maturity's
// plan of the first set, then the other sets on those plans' COS range and
// terms (their own plans on other routes), one (maturity, set) per task.
void run_shared(const Batch& batch, std::size_t begin, std::size_t end, double* out) {
    const std::size_t count = end - begin;
    const std::size_t sets = batch.models.size();
    const double own_tol = std::min(batch.tol, kSharedOwnTol);
    std::vector<Plan> firsts(count);
    const std::size_t work =
        count > 1 || sets > 1 ? count * sets * batch.count / (batch.group_start.size() - 1) : 0;
    const bool parallel = orvelta::run_parallel(work);
    parallel_for(0, count, 1, parallel, [&](std::size_t t) {
        const std::size_t g = begin + t;
        Plan& first = firsts[t];
        first = group_plan(batch, g, 0, batch.tol);
        if (first.route != Route::Cos && own_tol < batch.tol)
            first = group_plan(batch, g, 0, own_tol);
        price_group(batch, g, 0, first, false, out);
    });
    parallel_for(0, count * (sets - 1), 1, parallel, [&](std::size_t t) {
        const std::size_t i = t / (sets - 1);
        const std::size_t set = 1 + t % (sets - 1);
        const std::size_t g = begin + i;
        const Plan& first = firsts[i];
        Plan own;
        if (first.route == Route::Cos) {
            own.tau = first.tau;
            own.F = first.F;
            own.D = first.D;
            plan_cos_fixed(batch.models[set], own, first.a, first.b, first.terms);
        }
        if (own.route != Route::Cos) {
            own = group_plan(batch, g, set, own_tol);
        }
        price_group(batch, g, set, own, false, out);
    });
}

}  // namespace

void run_batch(const Batch& batch, std::size_t begin, std::size_t end, double* out) {
    const std::size_t groups = batch.group_start.size() - 1;
    if (groups == 0 || begin >= end) return;
    if (batch.shared_settings) {
        run_shared(batch, begin, end, out);
        return;
    }
    // The work measure for the parallel decision: options in the slice; a
    // single task never wakes the team.
    const std::size_t work = end - begin > 1 ? (end - begin) * batch.count / groups : 0;
    parallel_for(begin, end, 1, orvelta::run_parallel(work), [&](std::size_t task) {
        const std::size_t set = task / groups;
        const std::size_t g = task % groups;
        const Plan p = group_plan(batch, g, set, batch.tol);
        price_group(batch, g, set, p, true, out);
    });
}

}  // namespace orvelta::european
