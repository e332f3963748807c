// The refinement loop: grids of halving steps, Richardson extrapolation of
// their results and an error estimate that decides when to stop; Greeks,
// implied volatilities and the batch loops on top of it.
#include "dividends/dividends.hpp"
#include "dividends/grid.hpp"
#include "dividends/recursion.hpp"

#include "american/american.hpp"

#include "common/black_scholes.hpp"
#include "common/constants.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/threads.hpp"

#include <algorithm>
#include <cmath>

namespace orvelta::dividends {

namespace {

using detail::GridResult;
using detail::Plan;
using detail::Work;

// The coarsest grid: space points across the range and time steps over the
// option's life; each level halves both steps.
constexpr int kBasePoints = 100;
constexpr int kBaseSteps = 50;
// Levels beyond the coarsest: refinement stops with NaN when the estimate is
// still above the tolerance at the last one (12,800 space points and 6,400
// time steps over the option's life; see kWorkBudget). The last level is
// what certifies most American puts at tol 1e-6 to 1e-7 of the strike and
// calls exercised before an ex-date at 1e-8: their extrapolations converge
// unevenly (the exercise boundary crossing nodes), and one level fewer left
// a fifth of such puts at 1e-6 without a price.
constexpr int kMaxLevel = 7;
// The fastest the estimate falls per level (order 4 of the extrapolated
// sequence without early exercise): an estimate that could not reach the
// tolerance by the last level even at this rate stops the refinement early.
constexpr double kBestGain = 16.0;
constexpr int kMinLevel = 3;
// Steps across a band's width at expiry (see band_step).
constexpr double kBandSteps = 128.0;
// Node solves one refinement may spend, about a second: the ladder to the
// last level from the base grid takes 1.1e8. A grid that could not finish
// within what is left (a volatility so small, or a drift so large, that the
// monotone step is tiny; policy iterations at many steps) is not started or
// not finished.
constexpr double kWorkBudget = 1.5e8;

// Standard deviations of ln S the grid spans beyond spot, strike and the
// dividends' drop: the boundary conditions' error falls like the normal tail.
double span_for(double rel) {
    rel = std::min(std::max(rel, 1e-16), 1.0);
    const double z = std::sqrt(2.0 * std::log(1.0 / rel)) + 1.5;
    return std::min(std::max(z, 6.0), 10.0);
}

Work& thread_work() {
    static thread_local Work work;
    return work;
}

struct Refined {
    double value = kNaN;
    double dx = kNaN, dxx = kNaN;
    double dir[2] = {kNaN, kNaN};
    bool exercised = false;
    double estimate = kInf;
    int level = -1;
};

// True where some segment puts an American option in the regime whose
// exercise region is a band between two boundaries.
bool band_possible(const Plan& plan) {
    if (!plan.american) return false;
    for (const detail::Segment& sg : plan.segments) {
        const double pr = plan.call ? sg.q : sg.r, pq = plan.call ? sg.r : sg.q;
        if (pq < pr && pr < 0.0) return true;
    }
    return false;
}

// The largest space step at which the grids may accept a price where the
// exercise region can be a band whose premium matters at tol: a 128th of
// the band's width at expiry in ln S, |ln(q / r)| of the put form. A band
// that closes soon after expiry is thin for most of its life, and the
// premium it earns there escapes coarser grids while their extrapolations
// agree (a call missed its whole band premium, 2.2e-5, on levels 3 and 4,
// 3e-6 and 2e-7 apart, and reached it only at steps of a 64th and a
// 128th). The premium is gauged by the flat pricer's (American less
// European) with each band stretch's coefficients over the whole life, at
// the spot and the spot less the cash dividends; it counts where 16 times
// the larger is above tol.
double band_step(const Plan& plan, double tol) {
    if (!plan.american) return kInf;
    double width = kInf, premium = 0.0, cash = 0.0;
    for (const detail::Segment& sg : plan.segments) cash += sg.cash;
    for (const detail::Segment& sg : plan.segments) {
        const double pr = plan.call ? sg.q : sg.r, pq = plan.call ? sg.r : sg.q;
        if (!(pq < pr && pr < 0.0)) continue;
        width = std::min(width, std::log(pq / pr));
        // The crude bound first: the premium accrues at most at the scale
        // of the strike and spot times (r - q) of the put form.
        if (std::max(plan.s, plan.k) * (pr - pq) * plan.tau <= 0.25 * tol) continue;
        const double spots[] = {plan.s, plan.s - cash};
        for (const double x : spots) {
            if (!(x > 0.0)) continue;
            const double am =
                american::price(x, plan.k, sg.r, sg.q, sg.sigma, plan.tau, plan.call, tol / 64.0);
            const double eu = black_scholes(x, plan.k, sg.r, sg.q, sg.sigma, plan.tau, plan.call);
            // A premium the flat pricer cannot vouch for counts as large.
            premium = std::max(premium, std::isnan(am) ? kInf : am - eu);
        }
    }
    return 16.0 * premium > tol ? width / kBandSteps : kInf;
}

// Extrapolation of a second-order sequence: (4 fine - coarse) / 3.
double rich(double fine, double coarse) { return (4.0 * fine - coarse) / 3.0; }

// Runs levels from 0 until the error estimate is within tol (or up to
// `fixed` levels when fixed >= 0). Returns NaN values when interrupted or
// when the tolerance cannot be met.
Refined refine(const Plan& plan, double h0, int points0, int steps0, double tol, int fixed,
               int directions) {
    Refined out;
    Work& w = thread_work();
    GridResult prev;
    double r_prev[5] = {kNaN, kNaN, kNaN, kNaN, kNaN};
    double est_prev = kInf;
    const int top = fixed >= 0 ? fixed : kMaxLevel;
    // How far within tol the previous estimate must be: where the exercise
    // region can be a band (a put with q < r < 0, a call with r < q < 0 on
    // some segment), the coarse grids do not resolve a band that closes
    // soon after expiry, and their extrapolations can agree with each other
    // well away from the price (a call 7 tol below it at tol 1e-5, from two
    // extrapolations 1.9e-6 apart after a difference of 2.5e-5).
    const double settled = band_possible(plan) ? 1.0 : 4.0;
    const double finest = fixed >= 0 ? kInf : band_step(plan, tol);
    w.budget = fixed >= 0 ? kInf : kWorkBudget;
    for (int level = 0; level <= top; ++level) {
        const double h = std::ldexp(h0, -level);
        const int steps = steps0 << level;
        const double points = (plan.xhi - plan.xlo) / h + 3.0;
        // At least `steps` solves of `points` nodes.
        if (!(points * steps <= w.budget)) break;
        require_memory("a dividend-schedule grid", detail::grid_bytes(points, directions));
        (void)points0;
        const GridResult g = detail::solve_grid(plan, h, steps, directions, w);
        if (!g.ok) return Refined{};
        if (level == 0) {
            prev = g;
            continue;
        }
        const double r_now[5] = {rich(g.value, prev.value), rich(g.dx, prev.dx),
                                 rich(g.dxx, prev.dxx), rich(g.dir[0], prev.dir[0]),
                                 rich(g.dir[1], prev.dir[1])};
        // The difference of the last two extrapolations bounds the error of
        // the finer one: measured, its error was 4 to 10 times smaller, as
        // the extrapolated sequence converges at order 2 to 4 (order 2 where
        // the exercise boundary crosses nodes, 4 without early exercise).
        // Where the extrapolated sequence oscillates (a kink between nodes
        // on an ex-date: a call exercised just before it, a dividend larger
        // than the stock) it converges at order 1 to 2 only, and two
        // extrapolations may agree by chance: half the previous difference
        // bounds the estimate from below when the last level gained less
        // than a factor of 4 (measured on such cases, the error stayed
        // below it); a sequence converging faster keeps its last difference,
        // but not below the previous one over the fastest gain the sequence
        // makes (kBestGain): a difference that fell by more than that in
        // one level came from two extrapolations whose errors are close,
        // not small (a European call with five proportional dividends and a
        // volatility curve, 1.6e-8 off on two levels in a row, once passed
        // for 1e-8 that way).
        double est = std::fabs(r_now[0] - r_prev[0]);
        if (level >= 3 && !(est * 4.0 <= est_prev)) est = std::max(est, 0.5 * est_prev);
        if (level >= 3) est = std::max(est, est_prev / kBestGain);
        if (level >= kMinLevel || fixed >= 0) {
            // The extrapolation can fall a rounding (or an error within tol)
            // below what the option is surely worth: nothing, and for an
            // American option its payoff now.
            const double floor_value =
                plan.american ? positive_part(plan.call ? plan.s - plan.k : plan.k - plan.s) : 0.0;
            out.value = std::max(r_now[0], floor_value);
            out.dx = r_now[1];
            out.dxx = r_now[2];
            out.dir[0] = r_now[3];
            out.dir[1] = r_now[4];
            out.exercised = g.exercised && prev.exercised;
            if (out.exercised) {
                // Exercised at the spot on both grids: the value is the payoff.
                out.value = positive_part(plan.call ? plan.s - plan.k : plan.k - plan.s);
            }
            out.estimate = level >= 2 ? est : kInf;
            out.level = level;
            // Two extrapolations may agree by chance where the sequence
            // converges at order 1 (a kink between nodes at an ex-date: a
            // call exercised just before a dividend larger than the stock):
            // the estimate counts only when the previous one was within a
            // few tolerances too.
            if (fixed < 0 && level >= kMinLevel && est <= tol && est_prev <= settled * tol &&
                h <= finest)
                return out;
            if (fixed < 0 && level >= kMinLevel && est > tol * std::pow(kBestGain, top - level))
                break;
        }
        std::copy(r_now, r_now + 5, r_prev);
        est_prev = est;
        prev = g;
    }
    if (fixed < 0) {
        // Not converged within the work limit: no price is better than a wrong one.
        Refined bad;
        bad.estimate = out.estimate;
        return bad;
    }
    return out;
}

// The coarsest space step: kBasePoints across the range, refined further
// where the drift would make the central scheme non-monotone.
double base_step(const Plan& plan, int* points) {
    double h = (plan.xhi - plan.xlo) / kBasePoints;
    // Monotone at every level: the coarsest step below the Peclet limit.
    if (h > plan.peclet_h) h = plan.peclet_h;
    *points = static_cast<int>(std::ceil((plan.xhi - plan.xlo) / h));
    return h;
}

// A ready plan, or false for inputs outside the domain.
bool plan_for(const Contract& c, const Market& m, double tol, Plan& plan) {
    const double scale = std::max(c.s, c.k);
    return detail::make_plan(c, m, span_for(tol / scale), plan);
}

double intrinsic(const Contract& c) { return positive_part(c.call ? c.s - c.k : c.k - c.s); }

bool invalid_inputs(const Contract& c) {
    return !(c.s > 0.0) || !(c.k > 0.0) || !std::isfinite(c.s) || !std::isfinite(c.k) ||
           std::isnan(c.tau);
}

// The price to tol: by the recursion of integrals where exercise can pay only
// at the ex-dates and expiry and it reaches tol, else on the grids.
Refined accurate(const Plan& plan, double tol, int directions) {
    if (detail::recursion_applies(plan)) {
        const detail::RecursionResult rr = detail::recursion_price(plan, tol, directions);
        if (rr.estimate <= tol) {
            Refined out;
            const double pay = plan.call ? plan.s - plan.k : plan.k - plan.s;
            out.value = std::max(rr.value, plan.american ? positive_part(pay) : 0.0);
            out.dx = rr.dx;
            out.dxx = rr.dxx;
            out.dir[0] = rr.dir[0];
            out.dir[1] = rr.dir[1];
            out.estimate = rr.estimate;
            return out;
        }
    }
    int points = 0;
    const double h0 = base_step(plan, &points);
    return refine(plan, h0, points, kBaseSteps, tol, -1, directions);
}

// An American option with nothing to change its coefficients before expiry
// (no dividend inside its life, no knot of any curve): the flat pricer's
// problem, which is then priced by it, so that a dividend of zero or after
// expiry changes nothing (the flat pricer also reaches corners the grids do
// not, a rate of 450% with a volatility under 1%).
const detail::Segment* flat_american(const Plan& plan) {
    if (!plan.american || plan.segments.size() != 1 || plan.segments[0].dividend) return nullptr;
    return &plan.segments[0];
}

}  // namespace

double price(const Contract& c, const Market& m, double tol) {
    if (invalid_inputs(c)) return kNaN;
    if (c.tau <= 0.0) return intrinsic(c);
    if (!(tol > 0.0)) return kNaN;
    Plan plan;
    if (!plan_for(c, m, tol, plan)) return kNaN;
    if (const detail::Segment* f = flat_american(plan))
        return american::price(c.s, c.k, f->r, f->q, f->sigma, c.tau, c.call, tol);
    return accurate(plan, tol, 0).value;
}

double price_levels(const Contract& c, const Market& m, int points, int steps, int levels,
                    double* estimate) {
    *estimate = kNaN;
    if (invalid_inputs(c)) return kNaN;
    if (c.tau <= 0.0) return intrinsic(c);
    Plan plan;
    if (!detail::make_plan(c, m, 8.0, plan)) return kNaN;
    points = std::max(points, 8);
    steps = std::max(steps, 4);
    levels = std::min(std::max(levels, 1), 10);
    double h = (plan.xhi - plan.xlo) / points;
    if (h > plan.peclet_h) h = plan.peclet_h;
    const Refined r = refine(plan, h, points, steps, 0.0, levels, 0);
    *estimate = r.estimate;
    return r.value;
}

Greeks greeks(const Contract& c, const Market& m, double tol) {
    if (invalid_inputs(c)) return Greeks::nan();
    if (c.tau <= 0.0) {
        const double in = c.call ? (c.s > c.k ? 1.0 : 0.0) : (c.s < c.k ? -1.0 : 0.0);
        return {intrinsic(c), in, 0.0, 0.0, 0.0, 0.0};
    }
    if (!(tol > 0.0)) return Greeks::nan();
    Plan plan;
    if (!plan_for(c, m, tol, plan)) return Greeks::nan();
    if (const detail::Segment* f = flat_american(plan))
        return american::greeks(c.s, c.k, f->r, f->q, f->sigma, c.tau, c.call, tol);
    const Refined r = accurate(plan, tol, 2);
    if (std::isnan(r.value)) return Greeks::nan();
    Greeks g{};
    g.price = r.value;
    const double s = c.s;
    g.delta = r.dx / s;
    g.gamma = (r.dxx - r.dx) / (s * s);
    g.vega = r.dir[0];
    g.rho = r.dir[1];
    // Theta from the pricing equation at the spot with today's coefficients:
    // V_t = r V - (r - q) V_x - sigma^2 / 2 (V_xx - V_x).
    const detail::Segment& sg = plan.segments.front();
    const double a = 0.5 * sg.sigma * sg.sigma;
    g.theta = sg.r * r.value - (sg.r - sg.q) * r.dx - a * (r.dxx - r.dx);
    if (r.exercised) {
        g.theta = 0.0;
        g.vega = 0.0;
        g.rho = 0.0;
        g.delta = c.call ? 1.0 : -1.0;
        g.gamma = 0.0;
    }
    return g;
}

double implied_shift(double target, const Contract& c, const Market& m, double tol) {
    if (std::isnan(target) || invalid_inputs(c) || !(c.tau > 0.0) || !(tol > 0.0)) return kNaN;
    // The search range of the shift: volatility between 1e-4 and 10 at every
    // point of the curve.
    double vmin = kInf, vmax = -kInf;
    for (double v : m.sigma->values) {
        vmin = std::min(vmin, v);
        vmax = std::max(vmax, v);
    }
    double lo = 1e-4 - vmin, hi = 10.0 - vmax;
    if (!(lo < hi)) return kNaN;
    const double lo0 = lo, hi0 = hi;
    {
        // Nothing changes before expiry: the flat pricer's volatility (any
        // positive shift tells the plan's shape).
        Market probe = m;
        probe.sigma_shift = 1.0 - vmin;
        Plan plan;
        if (!plan_for(c, probe, tol, plan)) return kNaN;
        if (const detail::Segment* f = flat_american(plan)) {
            const double v =
                american::implied_vol(target, c.s, c.k, f->r, f->q, c.tau, c.call, tol);
            return v - m.sigma->at(0.0);
        }
    }
    const double bound = c.call ? c.s : c.k;
    // An American option is worth at least its payoff now; a European one
    // may be worth less (a deep call ahead of a dividend): below its price
    // at the smallest volatility the search leaves the shift at its edge.
    if (!(target < bound) || !(target > (c.american ? intrinsic(c) : 0.0))) return kNaN;
    const double scale = std::max(c.s, c.k);
    Market mk = m;
    auto eval = [&](double shift, double ptol, double* vega) {
        mk.sigma_shift = shift;
        Plan plan;
        if (!plan_for(c, mk, ptol, plan)) return kNaN;
        const Refined r = accurate(plan, ptol, 1);
        *vega = r.dir[0];
        return r.value;
    };
    // Newton steps on coarse prices (1e-5 of the scale) bring the shift
    // close, bisection keeping it inside the bracket; then at most four steps
    // on prices accurate to tol * vega / 4 (at least 1e-7 of the scale)
    // finish. Every loop is bounded.
    double shift = std::min(std::max(0.0, lo), hi);
    if (vmax == 0.0) shift = 0.3;
    const double coarse = 1e-5 * scale;
    double last_vega = 1.0;
    for (int it = 0; it < 60; ++it) {
        double vega = 0.0;
        const double diff = eval(shift, coarse, &vega) - target;
        if (std::isnan(diff)) return kNaN;
        if (vega > 0.0) last_vega = vega;
        if (diff > 0.0)
            hi = std::min(hi, shift);
        else
            lo = std::max(lo, shift);
        double next = (vega > 0.0 && std::isfinite(vega)) ? shift - diff / vega : kNaN;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        const bool close = std::fabs(next - shift) <= 1e-4 * std::max(1.0, std::fabs(next));
        shift = next;
        if (close) break;
        if (hi - lo <= 1e-12) break;
        if (it == 59) return kNaN;
    }
    // A quote the search range cannot reach leaves the shift at its edge.
    if (shift <= 1e-4 - vmin + 1e-9 || shift >= 10.0 - vmax - 1e-9) return kNaN;
    for (int it = 0; it < 4; ++it) {
        double vega = 0.0;
        double ptol = 0.25 * tol * last_vega;
        ptol = std::min(std::max(ptol, 1e-7 * scale), coarse);
        const double diff = eval(shift, ptol, &vega) - target;
        if (std::isnan(diff) || !(vega > 0.0)) return kNaN;
        last_vega = vega;
        const double next = shift - diff / vega;
        // A price that hardly moves with the volatility can send the step
        // out of the search range (to a negative volatility): no shift in
        // the range is then known to reproduce the quote.
        if (!(next >= lo0 && next <= hi0)) return kNaN;
        if (std::fabs(next - shift) <= std::max(tol, 4.0 * ptol / vega)) return next;
        shift = next;
    }
    return kNaN;
}

// ---------------------------------------------------------------- batches

namespace {

struct OptionMarket {
    Curve r, q, sigma;
};

// Option i's curves: the shared ones, or flat at its own entries.
void option_market(const BatchInput& in, std::size_t i, OptionMarket& om, Market& m) {
    auto pick = [&](const double* flat, const Curve* shared, Curve& own) -> const Curve* {
        if (flat == nullptr) return shared;
        own.times.assign(1, 0.0);
        own.values.assign(1, flat[i]);
        return &own;
    };
    m.r = pick(in.r, in.r_curve, om.r);
    m.q = pick(in.q, in.q_curve, om.q);
    m.sigma = pick(in.sigma, in.sigma_curve, om.sigma);
    m.dividends = in.dividends;
}

Contract contract(const BatchInput& in, std::size_t i) {
    Contract c;
    c.s = in.s[i];
    c.k = in.k[i];
    c.tau = in.tau[i];
    c.call = in.option_type[i] > 0.0;
    c.american = in.american;
    return c;
}

// Options go to threads one at a time: their costs differ by orders of
// magnitude, and each costs milliseconds, so two already repay the team.
template <class Body>
void for_options(std::size_t count, Body&& body) {
    const bool team = count >= 2 && run_parallel(kMinParallelBatch);
    parallel_for_local<OptionMarket>(0, count, 1, team, body);
}

}  // namespace

void price_batch(const BatchInput& in, double tol, double* out) {
    for_options(in.count, [&](std::size_t i, OptionMarket& om) {
        Market m;
        option_market(in, i, om, m);
        out[i] = std::isnan(in.option_type[i]) ? kNaN : price(contract(in, i), m, tol);
    });
}

void greeks_batch(const BatchInput& in, double tol, double* price, double* delta, double* gamma,
                  double* theta, double* vega, double* rho) {
    for_options(in.count, [&](std::size_t i, OptionMarket& om) {
        Market m;
        option_market(in, i, om, m);
        const Greeks g =
            std::isnan(in.option_type[i]) ? Greeks::nan() : greeks(contract(in, i), m, tol);
        g.store(i, price, delta, gamma, theta, vega, rho);
    });
}

void implied_batch(const BatchInput& in, const double* target, double tol, double* out) {
    for_options(in.count, [&](std::size_t i, OptionMarket& om) {
        Market m;
        BatchInput flat_vol = in;
        // Per-option volatilities are solved for: a flat curve at zero, shifted.
        if (in.sigma != nullptr || in.sigma_curve == nullptr) {
            flat_vol.sigma = nullptr;
            om.sigma.times.assign(1, 0.0);
            om.sigma.values.assign(1, 0.0);
            flat_vol.sigma_curve = &om.sigma;
        }
        option_market(flat_vol, i, om, m);
        out[i] = std::isnan(in.option_type[i]) ? kNaN
                                               : implied_shift(target[i], contract(in, i), m, tol);
    });
}

}  // namespace orvelta::dividends
