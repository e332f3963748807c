// The backward recursion of recursion.hpp.
//
// Stage j runs from the j-th ex-date (today for j = 0) to the next ex-date or
// expiry, with integrated rate R, yield Q and variance V, so that ln S moves
// by M + s z over it (M = R - Q - V / 2, s^2 = V, z standard normal). H_j(y)
// is the value just after the j-th drop at stock y, G_j(S) the value just
// before it at stock S: G_j(S) = max(payoff(S), H_j(drop(S))) for an American
// option, H_j(drop(S)) for a European one, and
//   H_j(y) = e^{-R_j} integral of G_{j+1}(y e^{M_j + s_j z}) phi(z) dz,
// where the last stage's H is the Black-Scholes price (for a put exercised
// after its drops, see exercise_bound: payoff(S) = k - drop(S), and the
// last stage's H is the flat pricer's American put, the payoff itself below
// its exercise boundary). Each H_j between is a
// Chebyshev series in ln(y + c) over the range the stock reaches with more
// than a normal tail's chance, affine in y beyond it; c is where H_j turns
// affine towards y = 0. The integrals are Gauss-Legendre panels split where
// G has kinks (the drop reaching zero, where exercise starts or stops) and
// graded towards the point where the drop reaches zero, above which H of a
// small stock varies on every scale of ln y. Derivatives in ln S at the spot
// and along the volatility and rate shifts come from the same integrals
// through likelihood-ratio weights: with x = ln y,
//   dH/dx = e^{-R} int G z phi / s,  d2H/dx2 = e^{-R} int G (z^2 - 1) phi / s^2,
// and a shift moving (R, M, s) by (dR, dM, ds) and G by dG moves H by
//   -dR H + e^{-R} int dG phi + (dM int G z phi + ds int G (z^2 - 1) phi) e^{-R} / s,
// where dG is the continuation value's derivative (zero where exercised).
// Every step converges spectrally; two refinements agreeing within the
// tolerance (less what the flat pricer's values and exercise_bound may
// miss, for such a put) bound the error of the finer (each refinement has more nodes,
// finer panels and wider ranges in every table, so none of the errors is
// left as it was).
#include "dividends/recursion.hpp"

#include "american/american.hpp"
#include "american/tables.hpp"
#include "common/black_scholes.hpp"
#include "common/interrupt.hpp"
#include "common/vector_math.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace orvelta::dividends::detail {

namespace {

constexpr int kMaxDir = 2;
constexpr int kFields = 1 + kMaxDir;
// Gauss-Legendre points per panel of at most panel_for(rel) standard
// deviations: for the normal density alone, exact to rounding on panels of
// 2, to 1e-10 of the value on panels of 3 and about 1e-8 on panels of 4.
constexpr int kQuad = 8;
double panel_for(double rel) { return rel >= 1e-7 ? 4.0 : rel >= 1e-9 ? 3.0 : 2.0; }
// Standard deviations each integral covers below and above (the normal tail
// beyond is 1e-19; a call's integrand, weighted by the stock, is covered s
// further up).
constexpr double kTail = 9.0;
// Chebyshev coefficients per unit of ln y per standard deviation of the
// stage on the first refinement. Measured on a year with four dividends, the
// error relative to the strike was 8e-7 at 1.0, 3e-7 at 1.2, 1e-8 at 1.5 and
// 1e-12 at 2: the first refinement starts where it likely meets the
// tolerance (each further one has kGrowth times the coefficients and
// panels, and the two are compared).
double nodes_per_sd(double rel) {
    const double digits = -std::log10(std::max(rel, 1e-16));
    return std::min(std::max(0.2 * digits, 1.1), 2.6);
}
constexpr double kGrowth = 1.25;
constexpr int kMaxRefinements = 4;
constexpr int kMinNodes = 20;
// A stage hours long between ex-dates needs thousands of nodes (its
// value's features are its small spread wide across the whole range): the
// work limit, not the node count, bounds such tables.
constexpr int kMaxNodes = 8192;
// Exercise crossings searched for at an ex-date: the scan's points, and the
// most crossings the recursion takes (more sends the option to the grids).
constexpr int kScan = 256;
constexpr int kMaxCrossings = 6;
// Most panels graded towards the point where the drop reaches zero.
constexpr int kMaxGraded = 48;
// Multiply-adds one refinement may spend (about 0.2 s), and the largest
// standard deviation of a stage (beyond, the integrals' range overflows).
constexpr double kWorkLimit = 5e8;
// A put exercised throughout its last stage: the share of tol each value of
// the flat pricer in its last table may miss by, the least tolerance that
// pricer vouches for relative to the strike (its finest settings reach
// about 1e-11), and the share of tol left to the bound on exercise between
// the ex-dates.
constexpr double kInnerShare = 0.1;
constexpr double kFlatFloor = 1e-10;
constexpr double kBoundShare = 0.1;
// The tolerance of the last table's directions, relative to the strike.
constexpr double kDirectionFloor = 1e-8;
constexpr double kMaxSd = 8.0;
// Below this standard deviation s of the first stage, delta and gamma come
// from differences of the value at spots kSpotSteps s apart in ln S, on
// panels of kFinePanel standard deviations.
constexpr double kSmallSd = 2e-3;
constexpr double kSpotSteps = 4.0;
constexpr double kFinePanel = 0.25;
// Most quadrature points of one integral.
constexpr std::size_t kMaxPoints = std::size_t{1} << 16;

struct Stage {
    double R = 0.0, Q = 0.0, V = 0.0;
    double len = 0.0, sig_len = 0.0;  // length and integral of the volatility
    double cash = 0.0, keep = 1.0;    // the drop at the stage's start
    double M = 0.0, s = 0.0;
    double dR[kMaxDir] = {}, dM[kMaxDir] = {}, ds[kMaxDir] = {};
};

double drop(const Stage& st, double S) { return std::max(S * st.keep - st.cash, 0.0); }

std::vector<Stage> stages_of(const Plan& p) {
    std::vector<Stage> out(1);
    for (const Segment& sg : p.segments) {
        if (sg.dividend && sg.t0 > 0.0 && !p.american && sg.cash == 0.0) {
            // Without exercise a proportional drop commutes with the
            // lognormal stage it falls in: taken at the stage's start, after
            // its own drop (a drop of max(S keep - cash, 0) then a fraction
            // f is one of max(S keep f - cash f, 0)).
            out.back().keep *= sg.keep;
            out.back().cash *= sg.keep;
        } else if (sg.dividend && sg.t0 > 0.0) {
            out.emplace_back();
            out.back().cash = sg.cash;
            out.back().keep = sg.keep;
        }
        Stage& b = out.back();
        const double len = sg.t1 - sg.t0;
        b.R += sg.r * len;
        b.Q += sg.q * len;
        b.V += sg.sigma * sg.sigma * len;
        b.len += len;
        b.sig_len += sg.sigma * len;
    }
    for (Stage& b : out) {
        b.s = std::sqrt(b.V);
        b.M = b.R - b.Q - 0.5 * b.V;
        // A parallel volatility shift moves V by 2 sig_len; a rate shift moves
        // R and the drift by the stage's length.
        b.ds[0] = b.sig_len / b.s;
        b.dM[0] = -b.sig_len;
        b.dR[1] = b.len;
        b.dM[1] = b.len;
    }
    return out;
}

// H_j of one stage: the Black-Scholes price for the last, else a Chebyshev
// series per field (value, then the directions).
//
// A call's value grows like the stock, so values are kept reduced by their
// slope as the stock grows: H_j - alpha_j y and G_j - gamma_j S, where gamma_j
// is G_j's slope (1 where a large stock is exercised, else the drop's
// fraction times alpha_j) and alpha_j = e^{-Q_j} gamma_{j+1}. The integral of
// gamma S is e^{-R} gamma y e^{M + V/2} = alpha y exactly, so the recursion
// of reduced values is the same recursion, and a value of 1e20 costs no
// digits of one of 1. Puts have slope zero.
struct Table {
    bool closed = false;
    double a = 0.0, b = 0.0, c = 0.0;  // ln(y + c) on [a, b]
    double alpha = 0.0, gamma = 0.0;
    double ylo = 0.0, yhi = 0.0;
    int n = 0;
    std::vector<double> coef;  // field f's coefficient i at f * n + i
    // Reduced value (and directions) and its slope in y at ylo and yhi.
    double end_v[2][kFields] = {}, end_d[2][kFields] = {};
    std::vector<double> kinks;  // of G_j, in the stock before the drop
    // Below `flat` H_j is affine in y (to the normal tail's chance); below
    // `low` so is G_j in the stock (the drop reaching zero, where exercise
    // starts or stops, where the next H turns affine).
    double flat = 0.0, low = kInf;
    // Below ylo H_j is the payoff k - y itself (the last stage of a put
    // exercised after its last drop, whose boundary is ylo).
    bool exercised_below = false;
};

struct Context {
    const Plan& p;
    int dirs;
    std::vector<Stage> st;
    std::vector<Table> tab;
    double work = 0.0;
    double panel = 2.0;   // the widest panel, in standard deviations of the stage
    bool failed = false;  // an integral needed more than kMaxPoints points
    // A put exercised also just after each drop and throughout its last
    // stage (see exercise_bound), whose last table holds the flat pricer's
    // values to tol_in each: its interpolant's error is at most `lebesgue`
    // times that.
    bool after_drop = false;
    double tol_in = 0.0, lebesgue = 0.0;
    // Its last stage's boundary, fitted once (values; directions).
    american::PutOnBoundary last_values{}, last_directions{};
    bool last_fitted = false, last_ok = false;
};

// The payoff of exercise at stock S (y = the stock after the drop): a put
// exercised after the drop when the recursion allows it, else before.
double payoff(const Context& cx, double S, double y, double own) {
    if (cx.p.call) return (1.0 - own) * S - cx.p.k;
    return cx.after_drop ? cx.p.k - y : cx.p.k - S * (1.0 + own);
}

// Black-Scholes at the spot (no dividend before expiry): the price, the
// directions and the integrals with weights z and z^2 - 1.
void closed_form(const Context& cx, const Stage& s, double y, double* out, double* a1, double* a2) {
    const double k = cx.p.k, disc = std::exp(-s.R);
    const double f = y * std::exp(s.R - s.Q);
    const double d1 = std::log(f / k) / s.s + 0.5 * s.s, d2 = d1 - s.s;
    const double fs = disc * f * s.s;
    double v0, v1, v2;
    if (cx.p.call) {
        v0 = disc * (f * norm_cdf(d1) - k * norm_cdf(d2));
        v1 = fs * norm_cdf(d1);
        v2 = fs * (norm_pdf(d1) + s.s * norm_cdf(d1));
    } else {
        v0 = disc * (k * norm_cdf(-d2) - f * norm_cdf(-d1));
        v1 = -fs * norm_cdf(-d1);
        v2 = fs * (norm_pdf(d1) - s.s * norm_cdf(-d1));
    }
    out[0] = v0;
    for (int d = 0; d < cx.dirs; ++d)
        out[1 + d] = -s.dR[d] * v0 + (s.dM[d] * v1 + s.ds[d] * v2) / s.s;
    *a1 = v1;
    *a2 = v2;
}

// Scratch of the batched evaluations, one per thread.
struct Scratch {
    std::vector<double> z, w, S, y, x, t1, t2, t3, g;
    void size(std::size_t n, int nf) {
        for (auto* v : {&z, &w, &S, &y, &x, &t1, &t2, &t3}) v->resize(n);
        g.resize(n * nf);
    }
};

Scratch& scratch() {
    static thread_local Scratch s;
    return s;
}

// The reduced G_j(S[p]) - gamma_j S[p] for p < np into g[p], and the
// directions' derivatives of G_j into g[f * np + p]; with `hold`, the value
// of holding through the drop, H_j(drop(S)), reduced the same way, even
// where exercise pays more.
void eval_g_batch(const Context& cx, int j, int np, Scratch& sc, bool hold = false) {
    const Table& t = cx.tab[j];
    const Stage& st = cx.st[j];
    const int nf = 1 + cx.dirs;
    double* y = sc.y.data();
    double* g = sc.g.data();
    for (int p = 0; p < np; ++p) y[p] = drop(st, sc.S[p]);
    if (t.closed) {
        // Black-Scholes, reduced by alpha y (a call: e^{-Q} y), with its
        // integrals of weights z and z^2 - 1 for the directions.
        const double k = cx.p.k, disc = std::exp(-st.R), lk = std::log(k);
        const double carry = std::exp(-st.Q);
        double* n1 = sc.t1.data();
        double* n2 = sc.t2.data();
        double* pd = sc.x.data();
        for (int p = 0; p < np; ++p) {
            const double ly = y[p] > 0.0 ? std::log(y[p]) : -745.0;
            const double d1 = (ly + st.R - st.Q - lk) / st.s + 0.5 * st.s;
            pd[p] = -0.5 * d1 * d1;
            n1[p] = -d1;
            n2[p] = cx.p.call ? d1 - st.s : st.s - d1;
        }
        ncdf_array(n1, np, n1);  // N(-d1)
        ncdf_array(n2, np, n2);  // N(d2) for a call, N(-d2) for a put
        exp_array(pd, np, pd);
        for (int p = 0; p < np; ++p) {
            const double ys = carry * y[p];  // e^{-R} times the forward
            double v0, v1, v2;
            if (!(y[p] > 0.0)) {
                v0 = cx.p.call ? 0.0 : k * disc;
                v1 = v2 = 0.0;
            } else if (cx.p.call) {
                v0 = -ys * n1[p] - disc * k * n2[p];
                v1 = -ys * st.s * n1[p];
                v2 = ys * st.s * (kInvSqrt2Pi * pd[p] - st.s * n1[p]);
            } else {
                v0 = disc * k * n2[p] - ys * n1[p];
                v1 = -ys * st.s * n1[p];
                v2 = ys * st.s * (kInvSqrt2Pi * pd[p] - st.s * n1[p]);
            }
            g[p] = v0;
            for (int d = 0; d < cx.dirs; ++d)
                g[(1 + d) * np + p] = -st.dR[d] * v0 + (st.dM[d] * v1 + st.ds[d] * v2) / st.s;
        }
    } else {
        double* x = sc.x.data();
        const double span = t.b - t.a, mid = t.a + t.b;
        for (int p = 0; p < np; ++p) {
            const double yc = std::min(std::max(y[p], t.ylo), t.yhi);
            x[p] = std::min(std::max((2.0 * std::log(yc + t.c) - mid) / span, -1.0), 1.0);
        }
        for (int f = 0; f < nf; ++f)
            chebyshev_array(t.coef.data() + static_cast<std::size_t>(f) * t.n, t.n, x, np,
                            g + static_cast<std::size_t>(f) * np);
        for (int p = 0; p < np; ++p) {
            if (y[p] < t.ylo && t.exercised_below) {
                g[p] = cx.p.k - y[p];
                for (int f = 1; f < nf; ++f) g[f * np + p] = 0.0;
            } else if (y[p] < t.ylo || y[p] > t.yhi) {
                const int e = y[p] < t.ylo ? 0 : 1;
                const double y0 = e == 0 ? t.ylo : t.yhi;
                for (int f = 0; f < nf; ++f)
                    g[f * np + p] = t.end_v[e][f] + t.end_d[e][f] * (y[p] - y0);
            }
        }
    }
    // From H_j - alpha y at y = keep S - cash (or 0) to G_j - gamma S.
    const double own = hold ? t.alpha * st.keep : t.gamma;
    const double tilt = t.alpha * st.keep - own;
    for (int p = 0; p < np; ++p) {
        g[p] += y[p] > 0.0 ? tilt * sc.S[p] - t.alpha * st.cash : -own * sc.S[p];
    }
    if (cx.p.american && !hold) {
        for (int p = 0; p < np; ++p) {
            const double pay = payoff(cx, sc.S[p], y[p], own);
            if (pay > g[p]) {
                g[p] = pay;
                for (int d = 0; d < cx.dirs; ++d) g[(1 + d) * np + p] = 0.0;
            }
        }
    }
}

// The reduced H_j(y) - alpha_j y from G_{j+1} (j + 1 <= the last stage) and
// the directions in out, and the reduced integrals with weights z and
// z^2 - 1 (discounted) in a1, a2: the full ones add alpha y s and
// alpha y s^2.
void integrate(Context& cx, int j, double y, double panel, double* out, double* a1, double* a2) {
    const Stage& s = cx.st[j];
    const Table& next = cx.tab[j + 1];
    const int nf = 1 + cx.dirs;
    const double disc = std::exp(-s.R);
    Scratch& sc = scratch();
    if (!(y > 0.0)) {
        // The stock stays at zero.
        sc.size(1, nf);
        sc.S[0] = 0.0;
        eval_g_batch(cx, j + 1, 1, sc);
        out[0] = disc * sc.g[0];
        for (int d = 0; d < cx.dirs; ++d) out[1 + d] = disc * sc.g[1 + d] - s.dR[d] * out[0];
        *a1 = 0.0;
        *a2 = 0.0;
        return;
    }
    const double zlo = -kTail, zhi = kTail + (cx.p.call ? s.s : 0.0);
    double cuts[2 * kMaxCrossings + 8 + kMaxGraded];
    int nc = 0;
    cuts[nc++] = zlo;
    const double ly = std::log(y);
    for (double kink : next.kinks) {
        const double z = (std::log(kink) - ly - s.M) / s.s;
        if (z > zlo && z < zhi) cuts[nc++] = z;
    }
    // Just above where the drop reaches zero, H_{j+1} of a small y can vary
    // on every scale of ln y down to its `flat` (a large variance after the
    // drop): panels graded geometrically towards that point, each a factor
    // of the stage's spread in ln y.
    const Stage& ns = cx.st[j + 1];
    if (ns.cash > 0.0 && ns.keep > 0.0 && next.flat > 0.0) {
        const double zk = (std::log(ns.cash / ns.keep) - ly - s.M) / s.s;
        // Below a width of 1e-16 of a panel a piece weighs less than the
        // rounding of the sum, whatever H does there; the ratio spans the
        // rest up to a panel within kMaxGraded pieces.
        double dz = std::max(std::log1p(next.flat / ns.cash) / s.s, 1e-16 * panel);
        double ratio = std::exp(std::min(std::log(4.0), 2.0 * ns.s));
        ratio = std::max(ratio, std::pow(panel / dz, 1.0 / (kMaxGraded - 1)));
        for (int i = 0; i < kMaxGraded && dz < panel; ++i, dz *= ratio) {
            if (zk + dz > zlo && zk + dz < zhi) cuts[nc++] = zk + dz;
        }
    }
    cuts[nc++] = zhi;
    std::sort(cuts, cuts + nc);
    // Panels as wide as the features of G_{j+1} in z allow: H_{j+1} varies
    // on its stage's spread s' in ln y, and y = keep S - cash moves
    // S / (y + cash) ... faster than S: a panel of `panel` standard
    // deviations times s' y / (s keep S) at most (a dividend of most of the
    // stock narrows the features above it; towards the drop's zero the
    // panels shrink geometrically with y).
    const double spread = ns.s / s.s;
    auto width = [&](double z) {
        double f = 1.0;
        if (ns.cash > 0.0 && ns.keep > 0.0) {
            const double room = 1.0 - ns.cash / (ns.keep * y * std::exp(s.M + s.s * z));
            if (room > 0.0) f = room;
        }
        return panel * std::min(1.0, spread * f);
    };
    const auto& gl = american::gauss_legendre();
    sc.z.clear();
    sc.w.clear();
    for (int p = 0; p + 1 < nc; ++p) {
        const double u = cuts[p], v = cuts[p + 1];
        double at = u;
        while (at < v) {
            double h = std::max(width(at), 1e-3 * (v - u));
            // No sliver at the piece's end: the last panels share it. A
            // step that no longer moves `at` (a piece a few ulps long)
            // ends the piece with one panel.
            const double rest = std::ceil((v - at) / h);
            const bool last = rest <= 2.0 || !(at + h > at);
            const int count = last ? (rest <= 2.0 ? static_cast<int>(rest) : 1) : 1;
            if (last) h = (v - at) / count;
            for (int c = 0; c < count; ++c) {
                const double mid = at + (c + 0.5) * h;
                for (int i = 0; i < kQuad; ++i) {
                    sc.z.push_back(mid + 0.5 * h * gl.x[kQuad][i]);
                    sc.w.push_back(0.5 * h * gl.w[kQuad][i] * kInvSqrt2Pi);
                }
            }
            if (last) break;
            at += h;
            if (sc.z.size() > kMaxPoints) {
                // More points than any integral here should need: the
                // recursion gives up (and the grids take over).
                cx.failed = true;
                sc.z.clear();
                sc.w.clear();
                for (int f = 0; f < nf; ++f) out[f] = kNaN;
                *a1 = *a2 = kNaN;
                return;
            }
        }
    }
    const int np = static_cast<int>(sc.z.size());
    sc.size(np, nf);
    // The normal density and the stock at each point.
    for (int p = 0; p < np; ++p) {
        sc.t1[p] = -0.5 * sc.z[p] * sc.z[p];
        sc.S[p] = ly + s.M + s.s * sc.z[p];
    }
    exp_array(sc.t1.data(), np, sc.t1.data());
    exp_array(sc.S.data(), np, sc.S.data());
    for (int p = 0; p < np; ++p) sc.w[p] *= sc.t1[p];
    eval_g_batch(cx, j + 1, np, sc);
    double sum[kFields] = {0.0, 0.0, 0.0}, s1 = 0.0, s2 = 0.0;
    for (int f = 0; f < nf; ++f) {
        const double* g = sc.g.data() + static_cast<std::size_t>(f) * np;
        double acc = 0.0;
        for (int p = 0; p < np; ++p) acc += sc.w[p] * g[p];
        sum[f] = acc;
    }
    for (int p = 0; p < np; ++p) {
        const double wg = sc.w[p] * sc.g[p];
        s1 += wg * sc.z[p];
        s2 += wg * (sc.z[p] * sc.z[p] - 1.0);
    }
    cx.work += static_cast<double>(np) * std::max(next.n, 8) * nf;
    out[0] = disc * sum[0];
    *a1 = disc * s1;
    *a2 = disc * s2;
    // The shift's terms of alpha y cancel: -dR + dM + ds s is zero for both.
    for (int d = 0; d < cx.dirs; ++d)
        out[1 + d] = disc * sum[1 + d] - s.dR[d] * out[0] + (s.dM[d] * *a1 + s.ds[d] * *a2) / s.s;
}

// The range of the stock just after the j-th drop that the spot reaches with
// more than the chance of z standard deviations: the most likely paths to
// +-z, which spread the deviation over the stages in proportion to their
// variance; a call's value, weighted by the stock, reaches one standard
// deviation further up.
void reach(const Context& cx, int j, double z, double* lo, double* hi, double* mid) {
    double var = 0.0;
    for (int i = 0; i < j; ++i) var += cx.st[i].V;
    const double sd = std::sqrt(var);
    const double up = cx.p.call ? sd : 0.0;
    const double spot = drop(cx.st[0], cx.p.s);
    double xl = spot, xh = spot, xm = spot;
    for (int i = 0; i < j; ++i) {
        const Stage& s = cx.st[i];
        if (i > 0) {
            xl = drop(s, xl);
            xh = drop(s, xh);
            xm = drop(s, xm);
        }
        xl *= std::exp(s.M - z * s.V / sd);
        xh *= std::exp(s.M + (z + up) * s.V / sd);
        xm *= std::exp(s.M);
    }
    *lo = drop(cx.st[j], xl);
    *hi = drop(cx.st[j], xh);
    *mid = drop(cx.st[j], xm);
}

// Where exercise starts or stops just before the j-th drop, searched over
// [slo, shi]: the kinks of G_j besides the drop's and the strike. A scan of
// kScan points brackets each crossing, regula falsi (Illinois) narrows it.
bool crossings(const Context& cx, int j, double slo, double shi, std::vector<double>& out) {
    const double k = cx.p.k;
    slo = std::max(slo, 1e-8 * std::min(k, shi));
    // Beyond 1e12 strikes the gain is below the value's rounding.
    shi = std::min(shi, 1e12 * k);
    if (!(shi > slo)) return true;
    Scratch& sc = scratch();
    sc.size(kScan, 1 + cx.dirs);
    const double l0 = std::log(slo), step = (std::log(shi) - l0) / (kScan - 1);
    for (int i = 0; i < kScan; ++i) sc.S[i] = std::exp(l0 + i * step);
    // The gain of exercise over holding, both reduced by the same slope.
    auto gain_of = [&](int np) {
        eval_g_batch(cx, j, np, sc, true);
        const double own = cx.tab[j].alpha * cx.st[j].keep;
        for (int i = 0; i < np; ++i) sc.g[i] = payoff(cx, sc.S[i], sc.y[i], own) - sc.g[i];
    };
    gain_of(kScan);
    std::vector<double> gain(sc.g.begin(), sc.g.begin() + kScan);
    std::vector<double> at(sc.S.begin(), sc.S.begin() + kScan);
    auto f = [&](double S) {
        sc.S[0] = S;
        gain_of(1);
        return sc.g[0];
    };
    int found = 0;
    for (int i = 1; i < kScan; ++i) {
        if ((gain[i] > 0.0) == (gain[i - 1] > 0.0)) continue;
        if (++found > kMaxCrossings) return false;
        double a = at[i - 1], b = at[i], fa = gain[i - 1], fb = gain[i];
        int side = 0;
        for (int it = 0; it < 100 && b - a > 4e-16 * b; ++it) {
            double m = (a * fb - b * fa) / (fb - fa);
            if (!(m > a && m < b)) m = 0.5 * (a + b);
            const double fm = f(m);
            if ((fm > 0.0) == (fa > 0.0)) {
                a = m;
                fa = fm;
                if (side == -1) fb *= 0.5;
                side = -1;
            } else {
                b = m;
                fb = fm;
                if (side == 1) fa *= 0.5;
                side = 1;
            }
            if (fm == 0.0) {
                a = b = m;
                break;
            }
        }
        out.push_back(0.5 * (a + b));
    }
    return true;
}

// Chebyshev coefficients of field values at the n points cos(pi (i + 1/2) / n).
void coefficients(int n, int nf, const std::vector<double>& vals, std::vector<double>& coef) {
    coef.assign(static_cast<std::size_t>(nf) * n, 0.0);
    // T_i at each point by the three-term recurrence.
    for (int m = 0; m < n; ++m) {
        const double t = std::cos(kPi * (m + 0.5) / n);
        double tp = 1.0, tc = t;
        for (int i = 0; i < n; ++i) {
            const double ti = i == 0 ? 1.0 : tc;
            for (int f = 0; f < nf; ++f) coef[f * n + i] += ti * vals[m * nf + f];
            if (i > 0) {
                const double tn = 2.0 * t * tc - tp;
                tp = tc;
                tc = tn;
            }
        }
    }
    for (int i = 0; i < n; ++i)
        for (int f = 0; f < nf; ++f) coef[f * n + i] *= (i == 0 ? 1.0 : 2.0) / n;
}

// A table's coefficients from its field values at the nodes, and its values
// and slopes in y at both ends (for the affine continuation beyond them).
void finish_table(Table& t, int nf, const std::vector<double>& vals) {
    coefficients(t.n, nf, vals, t.coef);
    for (int f = 0; f < nf; ++f) {
        const double* c = t.coef.data() + static_cast<std::size_t>(f) * t.n;
        double vl = 0.0, vh = 0.0, dl = 0.0, dh = 0.0;
        for (int i = 0; i < t.n; ++i) {
            const double sign = (i % 2 == 0) ? 1.0 : -1.0;
            vh += c[i];
            vl += sign * c[i];
            dh += static_cast<double>(i) * i * c[i];
            dl -= sign * static_cast<double>(i) * i * c[i];
        }
        const double dt = 2.0 / (t.b - t.a);
        t.end_v[0][f] = vl;
        t.end_v[1][f] = vh;
        t.end_d[0][f] = dl * dt / (t.ylo + t.c);
        t.end_d[1][f] = dh * dt / (t.yhi + t.c);
    }
}

// The last table of a put exercised throughout its last stage (flat there,
// r > 0): the flat pricer's values (and its vega and rho along the
// directions) on Chebyshev nodes in ln y over [max(lo, B), hi], B its
// exercise boundary at the stage's start, all from one fit of that
// boundary. Below B, H is the payoff k - y exactly; above it the value is
// smooth, its features a standard deviation of the stage wide in ln y.
// False where the flat pricer cannot price the stage so.
bool american_table(Context& cx, Table& t, double lo, double hi, double fine, double density,
                    double z) {
    const Segment& sg = cx.p.segments.back();
    const Stage& sm = cx.st.back();
    const int nf = 1 + cx.dirs;
    if (!cx.last_fitted) {
        // One fit for every refinement; the directions (vega and rho of
        // each node) from a fit at a coarser tolerance: they carry no error
        // estimate of their own, and at the values' tolerance the
        // differentiated fit would cost several prices.
        cx.last_fitted = true;
        const double coarse = std::max(cx.tol_in, kDirectionFloor * cx.p.k);
        cx.last_ok = cx.last_values.fit(cx.p.k, sg.r, sg.q, sg.sigma, sm.len, cx.tol_in, false) &&
                     (cx.dirs == 0 ||
                      cx.last_directions.fit(cx.p.k, sg.r, sg.q, sg.sigma, sm.len, coarse, true));
    }
    if (!cx.last_ok) return false;
    const double edge = cx.last_values.boundary();
    t.exercised_below = edge >= lo;
    t.ylo = std::max(lo, edge);
    t.yhi = std::max(hi, t.ylo * std::exp(z * sm.s));
    t.c = 0.0;
    t.flat = edge;
    t.alpha = 0.0;
    t.a = std::log(t.ylo);
    t.b = std::log(t.yhi);
    const double n = std::ceil(fine * density * (t.b - t.a) / sm.s);
    if (!(t.b > t.a) || !std::isfinite(t.b) || !(n <= kMaxNodes)) return false;
    t.n = std::max(static_cast<int>(n), static_cast<int>(std::ceil(kMinNodes * fine)));
    std::vector<double> ys(t.n), out, sens, unused;
    for (int i = 0; i < t.n; ++i)
        ys[i] = std::exp(0.5 * (t.a + t.b) + 0.5 * (t.b - t.a) * std::cos(kPi * (i + 0.5) / t.n));
    if (!cx.last_values.price(ys, out, nullptr)) return false;
    if (cx.dirs > 0 && !cx.last_directions.price(ys, unused, &sens)) return false;
    std::vector<double> vals(static_cast<std::size_t>(t.n) * nf);
    for (int i = 0; i < t.n; ++i) {
        vals[static_cast<std::size_t>(i) * nf] = out[i];
        for (int d = 0; d < cx.dirs; ++d)
            vals[static_cast<std::size_t>(i) * nf + 1 + d] = sens[2 * i + d];
    }
    finish_table(t, nf, vals);
    cx.lebesgue = 1.0 + 2.0 / kPi * std::log(t.n + 1.0);
    // A premium integral of each node.
    cx.work += static_cast<double>(t.n) * 64.0 * 16.0 * nf;
    return true;
}

// One refinement: the price with nodes and panels scaled by `fine`, and the
// domains covering z standard deviations. False when the recursion does not
// fit or the work limit is reached; a result of NaN when the exercise
// crossings found are too many (tables too coarse to tell a small gain's
// sign: a finer refinement may do).
bool run(Context& cx, double fine, double density, double z, RecursionResult& res) {
    const int m = static_cast<int>(cx.st.size()) - 1;
    const Plan& p = cx.p;
    const int nf = 1 + cx.dirs;
    cx.tab.assign(m + 1, Table{});
    cx.work = 0.0;
    cx.failed = false;
    for (const Stage& s : cx.st)
        if (!(s.s > 0.0) || !(s.s <= kMaxSd)) return false;
    // Ranges of every table, and the stock ranges their G is evaluated on.
    std::vector<double> lo(m + 1), hi(m + 1), mid(m + 1);
    // The spot after any proportional drops taken at the first stage's start.
    const double y0 = drop(cx.st[0], p.s);
    lo[0] = hi[0] = mid[0] = y0;
    for (int j = 1; j <= m; ++j) reach(cx, j, z, &lo[j], &hi[j], &mid[j]);
    for (int j = m; j >= 1; --j) {
        if (cancel_requested()) return false;
        Table& t = cx.tab[j];
        const Stage& sj = cx.st[j];
        if (j == m && cx.after_drop) {
            if (!american_table(cx, t, lo[j], hi[j], fine, density, z)) return false;
        } else if (j == m) {
            t.closed = true;
            t.alpha = p.call ? std::exp(-sj.Q) : 0.0;
            // Black-Scholes is affine in y where d1 < -z.
            t.flat = p.k * std::exp(-(sj.R - sj.Q) - 0.5 * sj.V - z * sj.s);
        } else {
            t.ylo = lo[j];
            t.yhi = hi[j];
            // ln(y + c) resolves H_j down to y = c, below which it is
            // affine: where every point of its integral is below the stock
            // where G_{j+1} stops being affine.
            const double below = cx.tab[j + 1].low * std::exp(-sj.M - z * sj.s);
            t.c = below > 0.0 && std::isfinite(below)
                      ? below
                      : 0.02 * (mid[j] > 0.0 ? mid[j] : std::min(p.s, p.k));
            t.flat = t.c;
            t.alpha = std::exp(-sj.Q) * cx.tab[j + 1].gamma;
            t.a = std::log(t.ylo + t.c);
            t.b = std::log(t.yhi + t.c);
            if (!(t.b > t.a) || !std::isfinite(t.b)) return false;
            // H_j's features are s wide in ln y and lie above c e^{z s};
            // ln(y + c) narrows them by y / (y + c), at most where the
            // domain or the features start.
            const double first = std::max(t.ylo, t.c * std::exp(z * sj.s));
            const double narrow = first / (first + t.c);
            const double n = std::ceil(fine * density * (t.b - t.a) / (sj.s * narrow));
            if (!(n <= kMaxNodes)) return false;
            // The floor grows with the refinement too: every table is finer.
            t.n = std::max(static_cast<int>(n), static_cast<int>(std::ceil(kMinNodes * fine)));
            const double panel = cx.panel / fine;
            const double spread = std::min(1.0, cx.st[j + 1].s / sj.s);
            const double per_node = (2.0 * kTail + sj.s) / (panel * spread) * kQuad;
            if (!(per_node * t.n * std::max(cx.tab[j + 1].n, 8) + cx.work <= kWorkLimit))
                return false;
            std::vector<double> vals(static_cast<std::size_t>(t.n) * nf);
            double a1, a2;
            for (int i = 0; i < t.n; ++i) {
                const double xi =
                    0.5 * (t.a + t.b) + 0.5 * (t.b - t.a) * std::cos(kPi * (i + 0.5) / t.n);
                const double y = std::max(std::exp(xi) - t.c, 0.0);
                double* v = &vals[static_cast<std::size_t>(i) * nf];
                integrate(cx, j, y, panel, v, &a1, &a2);
                if (cx.failed) return false;
            }
            finish_table(t, nf, vals);
        }
        if (p.call) t.gamma = p.american ? std::max(1.0, sj.keep * t.alpha) : sj.keep * t.alpha;
        // Kinks of G_j: where the drop reaches zero, the strike, the table's
        // ends, and where exercise starts or stops.
        if (sj.keep > 0.0) {
            if (sj.cash > 0.0) t.kinks.push_back(sj.cash / sj.keep);
            if (!t.closed) {
                if (t.ylo > 0.0) t.kinks.push_back((t.ylo + sj.cash) / sj.keep);
                t.kinks.push_back((t.yhi + sj.cash) / sj.keep);
            }
        }
        t.kinks.push_back(p.k);
        if (sj.keep > 0.0) t.low = (sj.cash > 0.0 ? sj.cash : t.flat) / sj.keep;
        // (After its last drop a put exercised throughout is worth at least
        // the payoff: exercise there pays no more than holding.)
        if (p.american && !(j == m && cx.after_drop)) {
            const Stage& prev = cx.st[j - 1];
            const double slo = lo[j - 1] * std::exp(prev.M - kTail * prev.s);
            const double shi = hi[j - 1] * std::exp(prev.M + (kTail + prev.s) * prev.s);
            std::vector<double> cross;
            if (!crossings(cx, j, slo, shi, cross)) {
                res = RecursionResult{};
                return true;
            }
            for (double x : cross) t.low = std::min(t.low, x);
            t.kinks.insert(t.kinks.end(), cross.begin(), cross.end());
        }
    }
    double out[kFields], a1 = 0.0, a2 = 0.0;
    const Stage& s0 = cx.st[0];
    if (m == 0) {
        closed_form(cx, s0, y0, out, &a1, &a2);
    } else {
        const double panel = cx.panel / fine;
        integrate(cx, 0, y0, panel, out, &a1, &a2);
        if (cx.failed) return false;
        // Back from the reduced values.
        const double ay = std::exp(-s0.Q) * cx.tab[1].gamma * y0;
        out[0] += ay;
        a1 += ay * s0.s;
        a2 += ay * s0.s * s0.s;
    }
    res.value = out[0];
    res.dx = a1 / s0.s;
    res.dxx = a2 / (s0.s * s0.s);
    for (int d = 0; d < cx.dirs; ++d) res.dir[d] = out[1 + d];
    if (m > 0 && s0.s < kSmallSd) {
        // An ex-date so near that the weights z / s and (z^2 - 1) / s^2
        // magnify the quadrature's error: differences of the value at spots
        // a few s apart instead (within the tables' range), each integral
        // on panels fine enough to be exact to rounding, Richardson-
        // extrapolated.
        auto at = [&](double dx) {
            double o[kFields], b1, b2;
            const double spot = y0 * std::exp(dx);
            integrate(cx, 0, spot, kFinePanel, o, &b1, &b2);
            return o[0] + std::exp(-s0.Q) * cx.tab[1].gamma * spot;
        };
        const double h = kSpotSteps * s0.s, v = at(0.0);
        const double up = at(h), down = at(-h), up2 = at(0.5 * h), down2 = at(-0.5 * h);
        res.dx = (4.0 * (up2 - down2) / h - (up - down) / (2.0 * h)) / 3.0;
        res.dxx =
            (4.0 * (up2 - 2.0 * v + down2) / (0.25 * h * h) - (up - 2.0 * v + down) / (h * h)) /
            3.0;
    }
    return !cx.failed && std::isfinite(res.value);
}

// Holding is worth at least the payoff between the ex-dates: every segment
// has r >= 0 and q <= 0 for a call, r <= 0 and q >= 0 for a put.
bool exercise_at_drops_only(const Plan& p) {
    for (const Segment& sg : p.segments) {
        if (!(p.call ? sg.r >= 0.0 && sg.q <= 0.0 : sg.r <= 0.0 && sg.q >= 0.0)) return false;
    }
    return true;
}

// A put with r >= 0 and q >= 0 everywhere, a dividend before expiry and
// flat coefficients after the last one (r > 0 there): the recursion allows
// exercise just after each drop and throughout the last stage (the flat
// pricer's), and exercise_bound bounds what exercise between the ex-dates
// would add.
bool exercise_after_drops(const Plan& p) {
    if (p.call || p.segments.size() < 2) return false;
    for (const Segment& sg : p.segments)
        if (!(sg.r >= 0.0 && sg.q >= 0.0)) return false;
    const Segment& last = p.segments.back();
    return last.dividend && last.r > 0.0;
}

// Black-Scholes call on a stock without yield: spot S, strike X, integrated
// rate R and variance V over the stage.
double plain_call(double S, double X, double R, double V) {
    if (!(X > 0.0)) return S;
    const double sd = std::sqrt(V);
    const double d1 = (std::log(S / X) + R) / sd + 0.5 * sd;
    return S * norm_cdf(d1) - X * std::exp(-R) * norm_cdf(d1 - sd);
}

// A bound on what the put of exercise_after_drops gains from exercise
// between two ex-dates, which the recursion leaves out. Within stage j
// (integrated rate R, variance V, ending at a drop to keep S - cash) the
// holder can keep the put to the drop and exercise just after it, worth
// e^{-R'} k - keep C(S, cash / keep) over what is left of the stage, R' <=
// R; with r and q non-negative that call is at most the one over the whole
// stage without yield. So exercise pays only where
//   F(S) = k (1 - e^{-R}) - S + keep C(S, cash / keep) >= 0,
// below the root b_j of F (decreasing in S). There the premium accrues at
// most at r k, at most k R over the stage, and only on paths whose stock
// falls below b_j by the stage's end. After drops that keep a fraction
// kappa and pay cash worth C in today's stock, S_t >= kappa e^{X_t}
// (s - C e^{-m}) with X the log-return without dividends and m <= 0 its
// running minimum, so the stock falls below b only where m <= ln((C +
// b / kappa) / s); X has a drift of at least nu per unit variance (the
// least over the segments), whose first passage there has a closed form.
// The sum of k R_j times that chance over the stages before the last;
// infinite where some b_j does not exist.
double exercise_bound(const Plan& p, const std::vector<Stage>& st) {
    const double k = p.k;
    double nu = kInf;
    for (const Segment& sg : p.segments) {
        const double v = sg.sigma * sg.sigma;
        nu = std::min(nu, (sg.r - sg.q - 0.5 * v) / v);
    }
    double kappa = 1.0, cash = 0.0, var = 0.0, total = 0.0;
    const int m = static_cast<int>(st.size()) - 1;
    for (int j = 0; j < m; ++j) {
        const Stage& sj = st[j];
        if (sj.cash > 0.0 || sj.keep < 1.0) {
            kappa *= sj.keep;
            if (!(kappa > 0.0)) return kInf;
            cash += sj.cash / kappa;
        }
        var += sj.V;
        if (!(sj.R > 0.0)) continue;
        if (!(sj.V > 0.0)) return kInf;
        const Stage& next = st[j + 1];
        const double keep = next.keep, strike = keep > 0.0 ? next.cash / keep : 0.0;
        const double gain = -k * std::expm1(-sj.R);
        auto F = [&](double S) {
            return gain - S + (keep > 0.0 ? keep * plain_call(S, strike, sj.R, sj.V) : 0.0);
        };
        double lo = 0.5 * gain, hi = std::max(2.0 * lo, k);
        for (int i = 0; i < 200 && !(F(hi) < 0.0); ++i) hi *= 2.0;
        if (!(F(hi) < 0.0) || !(F(lo) >= 0.0)) return kInf;
        for (int i = 0; i < 100; ++i) {
            const double mid = std::sqrt(lo * hi);
            if (!(mid > lo && mid < hi)) break;
            (F(mid) >= 0.0 ? lo : hi) = mid;
        }
        const double a = std::log((cash + hi / kappa) / p.s);
        if (!(a < 0.0)) return kInf;
        const double sd = std::sqrt(var);
        const double below = norm_cdf((a - nu * var) / sd);
        const double tail = norm_cdf((a + nu * var) / sd);
        const double reflected = tail > 0.0 ? std::exp(2.0 * nu * a + std::log(tail)) : 0.0;
        total += k * sj.R * std::min(1.0, below + reflected);
    }
    return total;
}

}  // namespace

bool recursion_applies(const Plan& p) {
    return !p.american || exercise_at_drops_only(p) || exercise_after_drops(p);
}

RecursionResult recursion_price(const Plan& plan, double tol, int directions) {
    Context cx{plan, std::min(std::max(directions, 0), kMaxDir), stages_of(plan), {}, 0.0};
    // A put exercised throughout its last stage: its last table's values
    // each to a tenth of tol (where the flat pricer reaches that), and what
    // exercise between the ex-dates adds within a tenth of tol, both
    // counted in the error estimate.
    double bound = 0.0;
    if (plan.american && !exercise_at_drops_only(plan)) {
        if (!exercise_after_drops(plan)) return RecursionResult{};
        cx.after_drop = true;
        cx.tol_in = kInnerShare * tol;
        if (!(cx.tol_in >= kFlatFloor * plan.k)) return RecursionResult{};
        bound = exercise_bound(plan, cx.st);
        if (!(bound <= kBoundShare * tol)) return RecursionResult{};
    }
    RecursionResult prev;
    const double rel = tol / std::max(plan.s, plan.k);
    const double density = nodes_per_sd(rel);
    cx.panel = panel_for(rel);
    double fine = 1.0;
    for (int level = 0; level < kMaxRefinements; ++level, fine *= kGrowth) {
        RecursionResult now;
        if (!run(cx, fine, density, plan.width_sd + 0.5 * level, now)) return RecursionResult{};
        if (std::isnan(now.value) && cx.st.size() > 1) {
            prev = now;
            continue;
        }
        // Without a table (no dividend before expiry) the value is closed form.
        if (cx.st.size() == 1) {
            now.estimate = 0.0;
            return now;
        }
        if (level > 0) {
            now.estimate = std::fabs(now.value - prev.value);
            if (cx.after_drop) now.estimate += bound + cx.lebesgue * cx.tol_in;
            if (now.estimate <= tol) return now;
        }
        prev = now;
    }
    return RecursionResult{};
}

}  // namespace orvelta::dividends::detail
