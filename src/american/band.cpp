// The put whose exercise region is a band, q < r < 0, by its integral
// equations (the double-boundary method of Andersen and Lake; Healy). With
// u the time to expiry, the band is [Y(u), B(u)]: B(0+) = k, Y(0+) = y0 =
// k r / q. It narrows as u grows; where sigma > sqrt(-2 q) - sqrt(-2 r) the
// boundaries cross at some u*, after which the holder never exercises
// (below that volatility the band stays open for good). The price is the
// European put plus the premium earned in the band up to min(tau, u*),
//   int [r k e^{-r s} (N(-d-(s, S/B)) - N(-d-(s, S/Y)))
//        - q S e^{-q s} (N(-d+(s, S/B)) - N(-d+(s, S/Y)))] du,
// s = tau - u, and each boundary X satisfies smooth pasting, dV/dS = -1 at
// S = X(u). The equations are of Volterra type: the boundaries on [0, U]
// depend only on themselves there.
//
// A band open at tau: both boundaries collocated on Chebyshev-Lobatto nodes
// in theta, with u = tau sin^2(theta). What is interpolated is the squared
// distance from each boundary's limit at expiry, (ln B - ln k)^2 and
// (ln Y - ln y0)^2: near expiry ln(k / B) behaves like sqrt(u ln(1/u)) and
// ln(Y / y0) like sqrt(u), whose squares are (nearly) smooth in theta, where
// the logarithms themselves are not. The unknowns are ln B and ln Y at the
// nodes. The smooth-pasting residuals of all nodes are solved together by
// Newton's method with a line search (node-by-node iterations diverge for
// the lower boundary or stall at the last nodes).
//
// A band that closes: the boundaries cross at an angle, smoothly in u, so
// the coordinate is sqrt(u / u*) and the nodes Chebyshev-Radau ones short of
// u* (a node at the crossing would carry one condition for two unknowns).
// The unknowns are the band's middle and log half-width at the nodes (a
// width cannot vanish there) and ln u*, the extra equation that the two
// interpolants meet at u*. The start comes from an open band solved short
// of the estimated crossing, extrapolated linearly. Where the band is
// narrow its far boundary makes a layer in the node integrals as thin as
// the band, which graded panels resolve. Such a solution prices every
// horizon: beyond u*, and short of it from its own boundaries.
//
// Each price is solved up a ladder of settings, each solve started from the
// last, until two in a row agree within a quarter of tol; where none do (in
// either mode), the caller falls back to the finite-difference solver
// (double_boundary.cpp).
#include "american/put.hpp"

#include "common/black_scholes.hpp"
#include "common/constants.hpp"
#include "common/interrupt.hpp"
#include "common/vector_math.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace orvelta::american {

namespace {

constexpr int kBandMaxNodes = 48;
constexpr int kBandMaxUnknowns = 2 * kBandMaxNodes + 1;
constexpr int kBandMaxPoints = 64;  // Gauss-Legendre points per integral
// At most six graded panels of eight points at the end of the node
// integrals (see BandTables).
constexpr int kTailPanels = 6, kTailPoints = 8;
constexpr int kNewtonIterations = 40;
// Newton steps in a row that lower the largest residual by under 1%: the
// solve has stalled and is given up.
constexpr int kStalls = 3;
// Newton converges quadratically here, an error about 15 times the square
// of the last full step's (in the logarithms of the boundaries): a solve
// ends after a full step below kStepStop (an error below 1e-12), or below
// kStepShare sqrt(tol / k) where only a price at tol is wanted (an error
// below 1.4e-2 tol / k, whose effect on the price is smaller still).
constexpr double kStepStop = 3e-7;
constexpr double kStepShare = 0.03;
// Chord steps at most for a bumped solve of the Greeks.
constexpr int kChordSteps = 8;
// The largest residual (the equations are of order one) below which a solve
// has converged to rounding.
constexpr double kRoundingResidual = 1e-14;

// Lagrange cardinal functions of `count` nodes `xn` at x.
void cardinal(const double* xn, int count, double x, double* out) {
    for (int j = 0; j < count; ++j) {
        double v = 1.0;
        for (int m = 0; m < count; ++m)
            if (m != j) v *= (x - xn[m]) / (xn[j] - xn[m]);
        out[j] = v;
    }
}

// LU factorization with partial pivoting of the m x m row-major matrix `a`
// in place (the multipliers below the diagonal), the row swaps in `piv`.
// False at a zero pivot.
bool lu_factor(double* a, int m, int* piv) {
    for (int c = 0; c < m; ++c) {
        int p = c;
        for (int i = c + 1; i < m; ++i)
            if (std::fabs(a[static_cast<std::size_t>(i) * m + c]) >
                std::fabs(a[static_cast<std::size_t>(p) * m + c]))
                p = i;
        if (!(a[static_cast<std::size_t>(p) * m + c] != 0.0)) return false;
        piv[c] = p;
        if (p != c)
            for (int j = 0; j < m; ++j)
                std::swap(a[static_cast<std::size_t>(p) * m + j],
                          a[static_cast<std::size_t>(c) * m + j]);
        const double inv = 1.0 / a[static_cast<std::size_t>(c) * m + c];
        for (int i = c + 1; i < m; ++i) {
            double& fct = a[static_cast<std::size_t>(i) * m + c];
            fct *= inv;
            if (fct == 0.0) continue;
            for (int j = c + 1; j < m; ++j)
                a[static_cast<std::size_t>(i) * m + j] -=
                    fct * a[static_cast<std::size_t>(c) * m + j];
        }
    }
    return true;
}

// Solves a x = b in place from lu_factor's result.
void lu_solve(const double* a, int m, const int* piv, double* b) {
    for (int c = 0; c < m; ++c) std::swap(b[piv[c]], b[c]);
    for (int c = 0; c < m; ++c) {
        for (int i = c + 1; i < m; ++i) {
            const double fct = a[static_cast<std::size_t>(i) * m + c];
            if (fct != 0.0) b[i] -= fct * b[c];
        }
    }
    for (int c = m - 1; c >= 0; --c) {
        double sum = b[c];
        for (int j = c + 1; j < m; ++j) sum -= a[static_cast<std::size_t>(c) * m + j] * b[j];
        b[c] = sum / a[static_cast<std::size_t>(c) * m + c];
    }
}

// Interpolation and quadrature tables of one setting: n + 1 nodes
// (x_0 = -1 at expiry, x_n = 1 at tau), l Gauss-Legendre points per node's
// integral, p points for the premium.
struct BandTables {
    int n = 0, l = 0, p = 0, asked_l = 0;
    bool radau = false;  // nodes short of tau (a closed band's tip is extrapolated)
    int tail = 0;        // graded panels at the end of the node integrals
    double xn[kBandMaxNodes + 1];
    double sth[kBandMaxNodes + 1];  // sin(theta) at the nodes: u_i = tau sth^2
    // Points of the node integrals (u = u_i sin^2 phi), per node i >= 1.
    std::vector<double> sphi, cphi, wphi;  // l Gauss-Legendre points in phi on [0, pi/2]
    std::vector<double> card;              // cardinal rows of the n + 1 nodes
    // Premium points: theta = phi on [0, pi/2].
    std::vector<double> psin, pcos, pw, pcard;
    double tip[kBandMaxNodes + 1];  // cardinal row at tau

    void build(int n_, int l_, int p_, bool radau_, int tail_) {
        n = n_, l = l_, p = p_, radau = radau_, asked_l = l_, tail = tail_;
        for (int i = 0; i <= n; ++i) {
            xn[i] = radau ? -std::cos(2.0 * kPi * i / (2 * n + 1)) : -std::cos(kPi * i / n);
            sth[i] = radau ? 0.5 * (1.0 + xn[i]) : std::sin(0.25 * kPi * (1.0 + xn[i]));
        }
        xn[0] = -1.0;
        sth[0] = 0.0;
        if (!radau) xn[n] = 1.0, sth[n] = 1.0;
        const GaussLegendre& gl = gauss_legendre();
        auto points = [&](int count, std::vector<double>& s, std::vector<double>& c,
                          std::vector<double>& w) {
            s.resize(count), c.resize(count), w.resize(count);
            for (int j = 0; j < count; ++j) {
                const double phi = 0.25 * kPi * (1.0 + gl.x[count][j]);
                s[j] = std::sin(phi);
                c[j] = std::cos(phi);
                w[j] = 0.25 * kPi * gl.w[count][j];
            }
        };
        if (tail > 0) {
            // l points on [0, 3 pi / 8], then six panels of eight points,
            // each a quarter of the one before, towards phi = pi/2 (s -> 0): where
            // the band is narrow (near its crossing) its far boundary makes
            // a layer as thin as the band, worth up to about 5e-8 of the
            // strike. Closed bands and the finer settings of open ones.
            const int g = kTailPoints;
            const int bulk = l;
            l = bulk + tail * g;
            sphi.resize(l), cphi.resize(l), wphi.resize(l);
            auto panel = [&](int first, int count, double e0, double e1) {
                for (int j = 0; j < count; ++j) {
                    const double phi = e0 + 0.5 * (e1 - e0) * (1.0 + gl.x[count][j]);
                    sphi[first + j] = std::sin(phi);
                    cphi[first + j] = std::cos(phi);
                    wphi[first + j] = 0.5 * (e1 - e0) * gl.w[count][j];
                }
            };
            double e0 = 0.0, e1 = 0.375 * kPi;
            panel(0, bulk, e0, e1);
            for (int k = 0; k < tail; ++k) {
                e0 = e1;
                e1 = k + 1 == tail ? 0.5 * kPi : 0.5 * kPi - 0.25 * (0.5 * kPi - e0);
                panel(bulk + k * g, g, e0, e1);
            }
        } else {
            points(l, sphi, cphi, wphi);
        }
        points(p, psin, pcos, pw);
        card.assign(static_cast<std::size_t>(n) * l * (n + 1), 0.0);
        for (int i = 1; i <= n; ++i) {
            for (int j = 0; j < l; ++j) {
                const int m = (i - 1) * l + j;
                const double x = coordinate(sth[i] * sphi[j]);
                cardinal(xn, n + 1, x, &card[static_cast<std::size_t>(m) * (n + 1)]);
            }
        }
        cardinal(xn, n + 1, 1.0, tip);
        pcard.assign(static_cast<std::size_t>(p) * (n + 1), 0.0);
        for (int j = 0; j < p; ++j)
            cardinal(xn, n + 1, coordinate(psin[j]), &pcard[static_cast<std::size_t>(j) * (n + 1)]);
    }

    // The interpolation coordinate in [-1, 1] at time u = tau st^2: the
    // angle of st (open: ln B and ln Y are smooth in sqrt(tau - u) at tau);
    // st itself (closed: the boundaries cross at u* smoothly in u).
    double coordinate(double st) const {
        return radau ? 2.0 * st - 1.0 : 4.0 * std::asin(st) / kPi - 1.0;
    }
};

const BandTables& band_tables(int n, int l, int p, bool radau, int tail) {
    // One table per setting and thread, kept for the thread's life (the
    // settings are few); held by pointer so that references stay valid.
    static thread_local std::vector<std::unique_ptr<BandTables>> cache;
    for (const auto& t : cache)
        if (t->n == n && t->asked_l == l && t->p == p && t->radau == radau && t->tail == tail)
            return *t;
    cache.push_back(std::make_unique<BandTables>());
    cache.back()->build(n, l, p, radau, tail);
    return *cache.back();
}

// Where the band closes, roughly: the time to expiry at which the
// boundaries' behaviour near expiry (see start_open) brings them together.
double closing_estimate(double r, double q, double sigma) {
    const double c = sigma * sigma / (8.0 * kPi * (r - q) * (r - q));
    const double width = std::log(q / r);
    double lo = 1e-12, hi = 1e12;
    for (int it = 0; it < 60; ++it) {
        const double mid = std::sqrt(lo * hi);
        const double reach =
            sigma * std::sqrt(mid) * (std::sqrt(std::max(std::log(c / mid), 1.0)) + 0.64);
        (reach < width ? lo : hi) = mid;
    }
    return std::sqrt(lo * hi);
}

// The boundaries of one solve and their residual equations.
struct BandSolver {
    double k, r, q, sigma, tau;
    const BandTables* t;
    int n = 0;
    double ln_k, ln_y0;
    // ln B and ln Y at the nodes (index 0 = expiry, fixed at ln k, ln y0).
    double a[kBandMaxNodes + 1], b[kBandMaxNodes + 1];
    // ln B, ln Y at the node integrals' points, and their distances from
    // ln k and ln y0.
    std::vector<double> lb_pt, ly_pt, db_pt, dy_pt;

    void init(double k_, double r_, double q_, double sigma_, double tau_, const BandTables& tab) {
        k = k_, r = r_, q = q_, sigma = sigma_, tau = tau_, t = &tab, n = tab.n;
        closed = false;
        ln_k = std::log(k);
        ln_y0 = std::log(k * r / q);
        a[0] = ln_k, b[0] = ln_y0;
        const std::size_t pts = static_cast<std::size_t>(n) * tab.l;
        lb_pt.resize(pts), ly_pt.resize(pts), db_pt.resize(pts), dy_pt.resize(pts);
        prepare();
    }

    // A start from the boundaries' behaviour near expiry: ln(k / B) about
    // sigma sqrt(u ln(sigma^2 / (8 pi (r - q)^2 u))), ln(Y / y0) about
    // 0.64 sigma sqrt(u); where these cross (the band narrowing at long
    // maturities) both are pulled apart around their middle.
    void start_open() {
        const double c = sigma * sigma / (8.0 * kPi * (r - q) * (r - q));
        for (int i = 1; i <= n; ++i) {
            const double ui = tau * t->sth[i] * t->sth[i];
            const double lg = std::max(std::log(c / ui), 1.0);
            double hi = ln_k - sigma * std::sqrt(ui * lg);
            double lo = ln_y0 + 0.64 * sigma * std::sqrt(ui);
            const double gap = 0.02 * (ln_k - ln_y0);
            if (hi - lo < gap) {
                const double mid = std::min(std::max(0.5 * (hi + lo), ln_y0 + gap), ln_k - gap);
                hi = mid + 0.5 * gap, lo = mid - 0.5 * gap;
            }
            a[i] = hi, b[i] = lo;
        }
    }

    // A closed band (tables with Radau nodes): tau is u*, where the
    // boundaries cross. The nodes all fall short of u*; the equations are
    // smooth pasting at every node and the boundaries' interpolants meeting
    // at u*. (With a node at u* the two boundaries' conditions there would
    // be one and the same.)
    bool closed = false;

    // A start for a closed band: u* from the estimate, the tip between the
    // limits in the ratio of the boundaries' speeds near expiry, each
    // boundary moving from its limit like sqrt(u) near expiry and linearly
    // into the crossing.
    void start_closed() {
        const double c = sigma * sigma / (8.0 * kPi * (r - q) * (r - q));
        const double width = ln_k - ln_y0;
        const double us = closing_estimate(r, q, sigma);
        const double sb = std::sqrt(std::max(std::log(c / us), 1.0));
        const double tip = ln_y0 + width * 0.64 / (sb + 0.64);
        closed = true;
        tau = us;
        prepare();
        for (int i = 1; i <= n; ++i) {
            const double shape = 1.0 - t->sth[i];
            a[i] = tip + (ln_k - tip) * shape;
            b[i] = tip - (tip - ln_y0) * shape;
        }
    }

    // A start for a closed band from an open solve `probe` short of the
    // crossing: its boundaries up to its horizon U, and beyond it straight
    // lines (the boundaries cross at an angle) meeting where the width,
    // extrapolated from U and 0.8 U, reaches zero.
    bool start_closed_from(const BandSolver& probe) {
        const double u1 = probe.tau, u0 = 0.8 * u1;
        double a1, b1, a0, b0;
        probe.at_time(u1, &a1, &b1);
        probe.at_time(u0, &a0, &b0);
        const double w1 = a1 - b1, w0 = a0 - b0;
        if (!(w1 > 0.0) || !(w0 > w1)) return false;
        const double us = u1 + w1 * (u1 - u0) / (w0 - w1);
        const double mid1 = 0.5 * (a1 + b1), slope = (mid1 - 0.5 * (a0 + b0)) / (u1 - u0);
        closed = true;
        tau = us;
        prepare();
        for (int i = 1; i <= n; ++i) {
            const double u = tau * t->sth[i] * t->sth[i];
            if (u <= u1) {
                probe.at_time(u, &a[i], &b[i]);
            } else {
                const double frac = (us - u) / (us - u1);
                const double mid = mid1 + slope * (u - u1);
                a[i] = mid + 0.5 * w1 * frac, b[i] = mid - 0.5 * w1 * frac;
            }
        }
        return true;
    }

    int unknowns() const { return 2 * n + (closed ? 1 : 0); }
    // Open: ln B and ln Y at the nodes. Closed: the band's middle and log
    // half-width at the nodes (so that it cannot close at a node, where the
    // two conditions would be one), and ln u*.
    void get(double* z) const {
        if (!closed) {
            for (int i = 0; i < n; ++i) z[i] = a[i + 1], z[n + i] = b[i + 1];
            return;
        }
        for (int i = 0; i < n; ++i)
            z[i] = 0.5 * (a[i + 1] + b[i + 1]), z[n + i] = std::log(0.5 * (a[i + 1] - b[i + 1]));
        z[2 * n] = std::log(tau);
    }
    void set(const double* z) {
        if (!closed) {
            for (int i = 0; i < n; ++i) a[i + 1] = z[i], b[i + 1] = z[n + i];
            return;
        }
        for (int i = 0; i < n; ++i) {
            const double h = std::exp(z[n + i]);
            a[i + 1] = z[i] + h, b[i + 1] = z[i] - h;
        }
        const double u = std::exp(z[2 * n]);
        if (u != tau) {
            tau = u;
            prepare();
        }
    }

    // ln B and ln Y at `count` points from cardinal rows, with their
    // distances from the limits (db = ln k - ln B, dy = ln Y - ln y0).
    void at_points(const double* card, int count, double* lb, double* ly, double* db,
                   double* dy) const {
        double hb[kBandMaxNodes + 1], hy[kBandMaxNodes + 1];
        for (int j = 0; j <= n; ++j) {
            const double x = a[j] - ln_k, y = b[j] - ln_y0;
            hb[j] = x * x, hy[j] = y * y;
        }
        const int stride = n + 1;
        for (int m = 0; m < count; ++m) {
            const double* c = card + static_cast<std::size_t>(m) * stride;
            double sb = 0.0, sy = 0.0;
            for (int j = 1; j <= n; ++j) sb += c[j] * hb[j], sy += c[j] * hy[j];
            const double eb = std::sqrt(std::max(sb, 0.0)), ey = std::sqrt(std::max(sy, 0.0));
            lb[m] = ln_k - eb, ly[m] = ln_y0 + ey;
            if (db) db[m] = eb, dy[m] = ey;
        }
    }

    // Per point of the node integrals (m = (i - 1) l + j, s = u_i cos^2 phi_j
    // the time from the point to the node): 1 / (sigma sqrt(s)), the part of
    // d+ that does not depend on the spot or boundary, and the weights
    // e^{-q s} du and e^{-q s} du / (sigma sqrt(s)).
    std::vector<double> iss_pt, cst_pt, wa_pt, wb_pt;
    // Per node: e^{-q u_i}, 1 / (sigma sqrt(u_i)), (r - q) u_i / (sigma
    // sqrt(u_i)) + sigma sqrt(u_i) / 2.
    double eq_node[kBandMaxNodes + 1], iv_node[kBandMaxNodes + 1], c_node[kBandMaxNodes + 1];
    // Scratch of one evaluation: r k / B and r k / Y at the points; d+ of
    // the four (spot side, boundary side) pairs at each point, N(-d+) and
    // the density.
    std::vector<double> rk_pt, dp, nd, ph;

    void prepare() {
        const int l = t->l, pts = n * l;
        iss_pt.resize(pts), cst_pt.resize(pts), wa_pt.resize(pts), wb_pt.resize(pts);
        rk_pt.resize(2 * static_cast<std::size_t>(pts));
        dp.resize(4 * static_cast<std::size_t>(pts)), nd.resize(4 * static_cast<std::size_t>(pts)),
            ph.resize(4 * static_cast<std::size_t>(pts));
        for (int i = 1; i <= n; ++i) {
            const double ui = tau * t->sth[i] * t->sth[i];
            const double st = std::sqrt(ui);
            const double vol = sigma * st;
            eq_node[i] = -q * ui;
            iv_node[i] = 1.0 / vol;
            c_node[i] = (r - q) * ui / vol + 0.5 * vol;
            for (int j = 0; j < l; ++j) {
                const int m = (i - 1) * l + j;
                const double cp = t->cphi[j];
                const double s = ui * cp * cp;
                const double ss = st * cp;  // sqrt(s)
                iss_pt[m] = 1.0 / (sigma * ss);
                cst_pt[m] = (r - q) * s * iss_pt[m] + 0.5 * sigma * ss;
                wa_pt[m] = -q * s;  // exponent; the exponentials follow in one pass
                wb_pt[m] = 2.0 * ui * t->sphi[j] * cp * t->wphi[j];
            }
        }
        exp_array(wa_pt.data(), pts, wa_pt.data());
        for (int i = 1; i <= n; ++i) eq_node[i] = std::exp(eq_node[i]);
        for (int m = 0; m < pts; ++m) {
            const double du = wb_pt[m];
            wb_pt[m] = wa_pt[m] * du * iss_pt[m];
            wa_pt[m] *= du;
        }
    }

    // All smooth-pasting residuals 1 + dV/dS at the nodes (upper boundary's
    // first, then the lower's) for the current unknowns; with `jac`, their
    // Jacobian.
    bool residuals(double* f, double* jac, int ld, double* dtau = nullptr) {
        const int l = t->l, m = 2 * n, stride = n + 1, pts = n * l;
        double* lb = lb_pt.data();
        double* ly = ly_pt.data();
        at_points(t->card.data(), pts, lb, ly, db_pt.data(), dy_pt.data());
        for (int p = 0; p < pts; ++p) rk_pt[p] = -lb[p], rk_pt[pts + p] = -ly[p];
        exp_array(rk_pt.data(), 2 * pts, rk_pt.data());
        const double rk = r * k;
        for (int p = 0; p < 2 * pts; ++p) rk_pt[p] *= rk;
        // d+ for spot side sd (0: B, 1: Y) and boundary side bd at block 2 sd + bd.
        for (int sd = 0; sd < 2; ++sd)
            for (int i = 1; i <= n; ++i) {
                const double lx = sd == 0 ? a[i] : b[i];
                for (int j = 0; j < l; ++j) {
                    const int p = (i - 1) * l + j;
                    dp[(2 * sd) * pts + p] = (lx - lb[p]) * iss_pt[p] + cst_pt[p];
                    dp[(2 * sd + 1) * pts + p] = (lx - ly[p]) * iss_pt[p] + cst_pt[p];
                }
            }
        const int all = 4 * pts;
        for (int p = 0; p < all; ++p) nd[p] = -dp[p], ph[p] = -0.5 * dp[p] * dp[p];
        ncdf_array(nd.data(), all, nd.data());
        exp_array(ph.data(), all, ph.data());
        for (int p = 0; p < all; ++p) ph[p] *= kInvSqrt2Pi;
        if (jac) std::fill(jac, jac + static_cast<std::size_t>(m) * ld, 0.0);
        double wb[kBandMaxNodes + 1], wy[kBandMaxNodes + 1];
        for (int q2 = 1; q2 <= n; ++q2) wb[q2] = ln_k - a[q2], wy[q2] = b[q2] - ln_y0;
        double gbd[2][kBandMaxPoints + kTailPanels * kTailPoints];
        for (int sd = 0; sd < 2; ++sd)
            for (int i = 1; i <= n; ++i) {
                const double lx = sd == 0 ? a[i] : b[i];
                const double d0 = (lx - ln_k) * iv_node[i] + c_node[i];
                double g = 1.0 - eq_node[i] * norm_cdf(-d0);
                double g_x = eq_node[i] * norm_pdf(d0) * iv_node[i];
                // d/d ln tau with the boundaries held: every time scales with
                // tau, so d' = cst - d / 2, and the weights gain a factor
                // 1 - q s (and - 1/2 where they carry 1 / sqrt(s)).
                const double ui = tau * t->sth[i] * t->sth[i];
                double g_t = 0.0;
                if (dtau)
                    g_t = q * ui * eq_node[i] * norm_cdf(-d0) +
                          eq_node[i] * norm_pdf(d0) * (c_node[i] - 0.5 * d0);
                for (int bd = 0; bd < 2; ++bd) {
                    const double sgn = bd == 0 ? 1.0 : -1.0;
                    const int blk = (2 * sd + bd) * pts + (i - 1) * l;
                    const double* rkx = &rk_pt[bd * pts + (i - 1) * l];
                    for (int j = 0; j < l; ++j) {
                        const int p = (i - 1) * l + j;
                        const double d = dp[blk + j], n_ = nd[blk + j], phi = ph[blk + j];
                        const double c = q - rkx[j];
                        const double wa = wa_pt[p], wbp = wb_pt[p];
                        g += sgn * (-q * n_ * wa + c * phi * wbp);
                        // d/d ln(boundary) of the term; d/d lx is its negative plus c's part.
                        const double tb =
                            sgn * phi *
                            (-q * iss_pt[p] * wa + rkx[j] * wbp + c * d * iss_pt[p] * wbp);
                        g_x += -tb + sgn * rkx[j] * phi * wbp;
                        gbd[bd][j] = tb;
                        if (dtau) {
                            const double sp = ui * t->cphi[j] * t->cphi[j];
                            const double dd = cst_pt[p] - 0.5 * d;
                            g_t += sgn * (q * phi * dd * wa - q * n_ * wa * (1.0 - q * sp) -
                                          c * d * phi * dd * wbp + c * phi * wbp * (0.5 - q * sp));
                        }
                    }
                }
                const int e = sd * n + i - 1;
                f[e] = g;
                if (dtau) dtau[e] = g_t;
                if (!jac) continue;
                double* row = jac + static_cast<std::size_t>(e) * ld;
                row[e] += g_x;
                // Through the interpolant of the squared distances:
                // d ln B(pt) / d ln B_j = card_j (ln k - ln B_j) / (ln k - ln B(pt)),
                // d ln Y(pt) / d ln Y_j = card_j (ln Y_j - ln y0) / (ln Y(pt) - ln y0).
                for (int j = 0; j < l; ++j) {
                    const int p = (i - 1) * l + j;
                    const double* c = &t->card[static_cast<std::size_t>(p) * stride];
                    const double eb = db_pt[p], ey = dy_pt[p];
                    const double b_ = eb > 0.0 ? gbd[0][j] / eb : 0.0;
                    const double y_ = ey > 0.0 ? gbd[1][j] / ey : 0.0;
                    for (int q2 = 1; q2 <= n; ++q2) {
                        row[q2 - 1] += b_ * c[q2] * wb[q2];
                        row[n + q2 - 1] += y_ * c[q2] * wy[q2];
                    }
                }
            }
        for (int i = 0; i < m; ++i)
            if (!std::isfinite(f[i])) return false;
        return true;
    }

    // The gap ln B - ln Y of the interpolants at u* (a closed band), with
    // its derivatives in the node values when `grad` is given.
    double tip_gap(double* grad) const {
        double lb, ly, db, dy;
        at_points(t->tip, 1, &lb, &ly, &db, &dy);
        if (grad) {
            for (int j = 1; j <= n; ++j) {
                grad[j - 1] = db > 0.0 ? t->tip[j] * (ln_k - a[j]) / db : 0.0;
                grad[n + j - 1] = dy > 0.0 ? -t->tip[j] * (b[j] - ln_y0) / dy : 0.0;
            }
        }
        return lb - ly;
    }

    // The equations of the current mode, with their Jacobian when `jac` is
    // given (row-major, unknowns() columns). A closed band adds ln u*, whose
    // column is a forward difference, and the meeting at u*.
    bool equations(double* f, double* jac) {
        if (!closed) return residuals(f, jac, 2 * n);
        const int m = 2 * n + 1;
        double dtau[kBandMaxUnknowns];
        if (!residuals(f, jac, m, jac ? dtau : nullptr)) return false;
        f[m - 1] = tip_gap(jac ? jac + static_cast<std::size_t>(m - 1) * m : nullptr);
        if (!std::isfinite(f[m - 1])) return false;
        if (!jac) return true;
        // The column of ln u*.
        for (int i = 0; i < m - 1; ++i) jac[static_cast<std::size_t>(i) * m + m - 1] = dtau[i];
        jac[static_cast<std::size_t>(m - 1) * m + m - 1] = 0.0;
        // Columns from (ln B, ln Y) to the middle c and log half-width w:
        // d ln B = dc + h dw, d ln Y = dc - h dw with h = e^w.
        for (int i = 0; i < m; ++i) {
            double* row = jac + static_cast<std::size_t>(i) * m;
            for (int j = 0; j < n; ++j) {
                const double h = 0.5 * (a[j + 1] - b[j + 1]);
                const double da = row[j], db = row[n + j];
                row[j] = da + db, row[n + j] = h * (da - db);
            }
        }
        return true;
    }

    // Newton's method with a backtracking line search on the largest
    // residual. True when converged.
    bool solve(double stop) {
        const int m = unknowns();
        double z[kBandMaxUnknowns], f[kBandMaxUnknowns], f1[kBandMaxUnknowns],
            step[kBandMaxUnknowns];
        int piv[kBandMaxUnknowns];
        static thread_local std::vector<double> jac;
        jac.resize(static_cast<std::size_t>(m) * m);
        get(z);
        auto norm = [m](const double* v) {
            double x = 0.0;
            for (int i = 0; i < m; ++i) x = std::max(x, std::fabs(v[i]));
            return x;
        };
        if (!equations(f, jac.data())) return false;
        double fn = norm(f);
        int stalls = 0;
        for (int it = 0; it < kNewtonIterations; ++it) {
            if (cancel_requested()) return false;
            for (int i = 0; i < m; ++i) step[i] = -f[i];
            if (!lu_factor(jac.data(), m, piv)) return false;
            lu_solve(jac.data(), m, piv, step);
            // Steps limited to 0.5 in the logarithms.
            double scale = 1.0;
            for (int j = 0; j < m; ++j)
                if (std::fabs(step[j]) * scale > 0.5) scale = 0.5 / std::fabs(step[j]);
            // The first trial, usually taken, brings its Jacobian; shorter
            // ones get theirs once one of them is taken.
            double lam = scale, znew[kBandMaxUnknowns], fnew = kInf;
            for (int ls = 0; ls < 30; ++ls) {
                for (int j = 0; j < m; ++j) znew[j] = z[j] + lam * step[j];
                set(znew);
                if (equations(f1, ls == 0 ? jac.data() : nullptr) && (fnew = norm(f1)) < fn) {
                    if (ls > 0 && !equations(f1, jac.data())) fnew = kInf;
                    break;
                }
                lam *= 0.5;
                fnew = kInf;
            }
            const double moved = lam * norm(step);
            if (!(fnew < kInf)) {
                set(z);
                // No decrease: converged to rounding if the step is tiny.
                return norm(step) < 1e-9 || fn <= kRoundingResidual;
            }
            // Stalled: the residual no longer falls (a band about to close
            // solved as open, a start too far off). The caller tries otherwise.
            stalls = fnew > 0.99 * fn ? stalls + 1 : 0;
            if (stalls == kStalls) return false;
            for (int j = 0; j < m; ++j) z[j] = znew[j], f[j] = f1[j];
            fn = fnew;
            // A full step this small leaves an error of its square's order.
            if (moved < stop && lam == 1.0) break;
            // Residuals at rounding level: nothing left to gain.
            if (fn <= kRoundingResidual) break;
            if (it + 1 == kNewtonIterations) return false;
        }
        set(z);
        return true;
    }

    // The Jacobian of the equations at the current unknowns, factored.
    bool factored_jacobian(std::vector<double>& lu, int* piv) {
        const int m = unknowns();
        double f[kBandMaxUnknowns];
        lu.resize(static_cast<std::size_t>(m) * m);
        return equations(f, lu.data()) && lu_factor(lu.data(), m, piv);
    }

    // Chord steps from the current unknowns with the factored Jacobian of a
    // solve of a nearby put (the same setting and mode): each step one
    // evaluation of the equations and a solve. The steps shrink
    // geometrically (for the bumps of the Greeks by a factor of about 1e-4,
    // up to about 0.4 where the bump moves the lower boundary's limit); true
    // once the sum of the steps still to come, at the last step's rate, is
    // below 1e-11 in the logarithms, or once the residuals are at rounding.
    bool chord(const std::vector<double>& lu, const int* piv) {
        const int m = unknowns();
        double z[kBandMaxUnknowns], f[kBandMaxUnknowns];
        get(z);
        double last = kInf;
        for (int it = 0; it < kChordSteps; ++it) {
            if (!equations(f, nullptr)) return false;
            // Residuals at rounding level: the steps they give are rounding
            // too, magnified by the Jacobian's condition (up to 1e-9 in the
            // logarithms), and need not shrink any further.
            double worst = 0.0;
            for (int i = 0; i < m; ++i) worst = std::max(worst, std::fabs(f[i]));
            if (it > 0 && worst <= kRoundingResidual) return true;
            for (int i = 0; i < m; ++i) f[i] = -f[i];
            lu_solve(lu.data(), m, piv, f);
            double big = 0.0;
            for (int i = 0; i < m; ++i) {
                if (!std::isfinite(f[i])) return false;
                z[i] += f[i];
                big = std::max(big, std::fabs(f[i]));
            }
            set(z);
            const double rate = big / last;
            if (it > 0 && rate < 0.5 && big * rate < 0.5e-11) return true;
            last = big;
        }
        return false;
    }

    // ln B and ln Y at time to expiry u <= tau, from the node values.
    void at_time(double u, double* lb, double* ly) const {
        const double st = std::sqrt(std::min(std::max(u / tau, 0.0), 1.0));
        const double x = t->coordinate(st);
        double c[kBandMaxNodes + 1];
        cardinal(t->xn, n + 1, x, c);
        at_points(c, 1, lb, ly, nullptr, nullptr);
    }

    // Starts from another solve of the same put (other settings, the same
    // mode).
    void start_from(const BandSolver& src) {
        if (src.closed) {
            closed = true;
            tau = src.tau;
            prepare();
        }
        for (int i = 1; i <= n; ++i) src.at_time(tau * t->sth[i] * t->sth[i], &a[i], &b[i]);
    }

    // The band is ordered at every node, and for an open band at every
    // point of the integrals. (A closed band's width at the points near its
    // crossing is below the interpolation's error, which the check of two
    // settings against each other bounds.)
    bool sane() const {
        if (!(tau > 0.0) || !std::isfinite(tau)) return false;
        for (int i = 1; i <= n; ++i)
            if (!(a[i] <= ln_k + 1e-12) || !(b[i] >= ln_y0 - 1e-12) || !(a[i] > b[i])) return false;
        if (closed) return true;
        for (std::size_t m = 0; m < lb_pt.size(); ++m)
            if (!(lb_pt[m] >= ly_pt[m])) return false;
        return true;
    }

    // Price at spot s and time to expiry `horizon` (tau for an open band,
    // at least u* for a closed one); optionally delta and gamma.
    double price(double s, double horizon, double* delta, double* gamma) const {
        const int p = t->p;
        // A closed band priced short of u* needs its boundaries on [0,
        // horizon] only: at points of their own, interpolated one by one.
        const bool part = closed && horizon < tau;
        const double span = part ? horizon : tau;
        double lb[kBandMaxPoints], ly[kBandMaxPoints];
        if (part) {
            for (int j = 0; j < p; ++j) at_time(span * t->psin[j] * t->psin[j], &lb[j], &ly[j]);
        } else {
            at_points(t->pcard.data(), p, lb, ly, nullptr, nullptr);
        }
        const double ls = std::log(s);
        double prem = 0.0, dsum = 0.0, gsum = 0.0;
        for (int j = 0; j < p; ++j) {
            const double u = span * t->psin[j] * t->psin[j];
            const double sv = horizon - u;
            const double ss = std::sqrt(sv);
            const double du = 2.0 * span * t->psin[j] * t->pcos[j] * t->pw[j];
            const double eq = std::exp(-q * sv), er = std::exp(-r * sv);
            for (int side = 0; side < 2; ++side) {
                const double lbd = side == 0 ? lb[j] : ly[j];
                const double sgn = side == 0 ? 1.0 : -1.0;
                const double iss = 1.0 / (sigma * ss);
                const double dp = (ls - lbd + (r - q) * sv) * iss + 0.5 * sigma * ss;
                const double ndp = norm_cdf(-dp);
                prem += sgn * du * (r * k * er * norm_cdf(-(dp - sigma * ss)) - q * s * eq * ndp);
                if (delta) {
                    const double phi = norm_pdf(dp);
                    const double c = q - r * k * std::exp(-lbd);
                    dsum += sgn * du * eq * (c * phi * iss - q * ndp);
                    gsum += sgn * du * eq * phi * iss / s * (q - c * dp * iss);
                }
            }
        }
        const double vol = sigma * std::sqrt(horizon);
        const double d1 = (ls - ln_k + (r - q) * horizon) / vol + 0.5 * vol;
        const double euro = k * std::exp(-r * horizon) * norm_cdf(-(d1 - vol)) -
                            s * std::exp(-q * horizon) * norm_cdf(-d1);
        if (delta) {
            *delta = -std::exp(-q * horizon) * norm_cdf(-d1) + dsum;
            *gamma = std::exp(-q * horizon) * norm_pdf(d1) / (s * vol) + gsum;
        }
        return euro + prem;
    }
};

// n nodes, l points per node integral (before its graded tail, where there
// is one), p for the premium, and the tail's panels.
struct BandSetting {
    int n, l, p, tail;
};

// The default setting of the open solves that start a closed band's.
constexpr BandSetting kProbe = {8, 16, 16, 0};

// How far a solve goes: Newton's method ends after a full step below
// `stop`; a closed band without a start probes with open ones at `probe`.
struct SolveControl {
    double stop = kStepStop;
    BandSetting probe = kProbe;
};

bool band_solve(BandSolver& bs, double k, double r, double q, double sigma, double tau, bool closed,
                const BandSetting& set, const BandSolver* from, const SolveControl& ctl = {});

// A closed band's start: open bands solved at `probe` short of the estimated
// crossing, halving the horizon until one solves, extrapolated (or, where
// none does, the start from the boundaries' behaviour near expiry).
void closed_start(BandSolver& bs, double k, double r, double q, double sigma, double tau,
                  const SolveControl& ctl) {
    BandSolver probe;
    double u = std::min(0.6 * closing_estimate(r, q, sigma), tau);
    for (int tries = 0; tries < 8; ++tries, u *= 0.5)
        if (band_solve(probe, k, r, q, sigma, u, false, ctl.probe, nullptr, ctl) &&
            bs.start_closed_from(probe))
            return;
    bs.start_closed();
}

// One solve, started from `from` when given (in its mode), else as an open
// band (`closed` false) or as one that closes before tau.
bool band_solve(BandSolver& bs, double k, double r, double q, double sigma, double tau, bool closed,
                const BandSetting& set, const BandSolver* from, const SolveControl& ctl) {
    const bool radau = (from ? from->closed : closed);
    const BandTables& tables = band_tables(set.n, set.l, set.p, radau, set.tail);
    bs.init(k, r, q, sigma, tau, tables);
    if (from) {
        bs.start_from(*from);
    } else if (closed) {
        closed_start(bs, k, r, q, sigma, tau, ctl);
        if (bs.solve(ctl.stop) && bs.sane()) return true;
        // A coarse probe's start can lie beyond Newton's reach: again from
        // the default one.
        if (ctl.probe.n == kProbe.n && ctl.probe.l == kProbe.l) return false;
        bs.init(k, r, q, sigma, tau, tables);
        closed_start(bs, k, r, q, sigma, tau, {ctl.stop, kProbe});
    } else {
        bs.start_open();
    }
    return bs.solve(ctl.stop) && bs.sane();
}

// The modes worth trying, the likelier first: where sigma <= sqrt(-2 q) -
// sqrt(-2 r) the band never closes; elsewhere it closes near the estimate,
// which is good to a factor of about three. A closed band's solution also
// prices horizons short of u* (the boundaries there are its own).
int band_modes(double r, double q, double sigma, double tau, bool* closed) {
    if (!(sigma > std::sqrt(-2.0 * q) - std::sqrt(-2.0 * r))) {
        closed[0] = false;
        return 1;
    }
    closed[0] = tau > 0.5 * closing_estimate(r, q, sigma);
    closed[1] = !closed[0];
    return 2;
}

// A solve in the first mode that succeeds, with the setting of each.
bool band_solve_any(BandSolver& bs, double k, double r, double q, double sigma, double tau,
                    const BandSetting& open, const BandSetting& closed) {
    bool modes[2];
    const int count = band_modes(r, q, sigma, tau, modes);
    for (int i = 0; i < count; ++i)
        if (band_solve(bs, k, r, q, sigma, tau, modes[i], modes[i] ? closed : open, nullptr))
            return true;
    return false;
}

// The ladder of settings, each about three to ten times as accurate as the
// one before (the finer rows with the graded tail of the node integrals).
// Largest errors against (48, 64, 64) over 327 options with the band open at
// expiry (r in -3%..0, q in -8%..r, sigma 0.05..0.8, tau one day..10 years,
// moneyness 0.5..2; strike 100): 1.3e-2, 1.1e-3, 6.4e-5, 2.5e-5, 6.0e-6,
// 1.7e-6, 3.1e-8, 7.9e-9, 1.3e-8, the coarse rows' worst at long maturities
// (hence a row finer beyond two years).
constexpr BandSetting kSettings[] = {{6, 10, 12, 0},  {8, 12, 16, 0},  {10, 16, 24, 0},
                                     {12, 20, 32, 0}, {16, 24, 48, 0}, {20, 32, 48, 6},
                                     {24, 40, 64, 6}, {28, 48, 64, 6}, {32, 64, 64, 6}};
constexpr int kSettingCount = static_cast<int>(sizeof(kSettings) / sizeof(kSettings[0]));

// The same for bands that close (n nodes, l points on [0, 3 pi / 8] of
// each node integral before its graded tail, p for the premium). Largest
// errors against (48, 64, 64) over 183 options of the same domain whose band
// closes before tau, relative to the strike: 9.6e-7, 4.3e-7, 1.5e-7,
// 1.3e-8, 2.4e-9, 1.6e-9, 3.7e-10, 4.0e-11, 1.6e-11.
constexpr BandSetting kClosedSettings[] = {
    {8, 8, 16, 2},   {10, 12, 24, 2}, {12, 16, 32, 3}, {16, 24, 48, 4}, {20, 32, 48, 5},
    {24, 40, 64, 6}, {28, 48, 64, 6}, {32, 64, 64, 6}, {40, 64, 64, 6}, {48, 64, 64, 6}};
constexpr int kClosedCount = static_cast<int>(sizeof(kClosedSettings) / sizeof(kClosedSettings[0]));

// The setting whose price is checked against the one before it: its largest
// error above within a third of tol (relative to the strike), a row finer
// beyond two years.
int band_setting(double rel, double tau) {
    const int h = rel >= 1e-5   ? 1
                  : rel >= 1e-6 ? 2
                  : rel >= 1e-7 ? 3
                  : rel >= 1e-8 ? 4
                  : rel >= 1e-9 ? 6
                                : 8;
    return std::min(h + (tau > 2.0 ? 1 : 0), kSettingCount - 1);
}

// The closed ladder's row checked against the one before: that one's
// largest error above within a quarter of tol (relative to the strike).
int closed_setting(double rel) {
    const double from[] = {4e-6, 2e-6, 6e-7, 6e-8, 1e-8, 7e-9, 2e-9, 2e-10};
    int h = 1;
    for (const double f : from) {
        if (rel >= f) return h;
        ++h;
    }
    return h;
}

}  // namespace

// Put in the band regime by the integral equations at one setting (an index
// into the table above, or explicit sizes), NaN where the solve fails.
double band_put_at(double s, double k, double r, double q, double sigma, double tau, int n, int l,
                   int p) {
    n = std::min(std::max(n, 2), kBandMaxNodes);
    l = std::min(std::max(l, 2), kBandMaxPoints);
    p = std::min(std::max(p, 2), kBandMaxPoints);
    BandSolver one;
    if (!band_solve_any(one, k, r, q, sigma, tau, {n, l, p, l >= 32 ? kTailPanels : 0},
                        {n, l, p, kTailPanels}))
        return kNaN;
    return one.price(s, tau, nullptr, nullptr);
}

namespace {

// The put at tol, adaptively: solves up the ladder of the likelier mode
// from the row below the one chosen for tol, each started from the last,
// until two in a row agree within tol / 4 (at most two rows beyond the
// chosen one); then the other mode. NaN where none agree. `keep`, when
// given, receives the accepted solve.
double band_adaptive(double s, double k, double r, double q, double sigma, double tau, double tol,
                     double* delta, double* gamma, BandSolver* keep) {
    const int ho = band_setting(tol / k, tau), hc = closed_setting(tol / k);
    // A coarse tol needs no more than a coarse probe (a finer one makes for
    // fewer iterations of the finer settings that finer tols use).
    SolveControl ctl;
    ctl.stop = std::max(kStepStop, kStepShare * std::sqrt(tol / k));
    if (tol / k >= 1e-5) ctl.probe = {6, 10, 12, 0};
    bool modes[2];
    const int count = band_modes(r, q, sigma, tau, modes);
    for (int m = 0; m < count; ++m) {
        const bool closed = modes[m];
        const BandSetting* ladder = closed ? kClosedSettings : kSettings;
        const int top = (closed ? kClosedCount : kSettingCount) - 1;
        BandSolver solves[2];
        const int first = (closed ? hc : ho) - 1;
        if (!band_solve(solves[0], k, r, q, sigma, tau, closed, ladder[first], nullptr, ctl))
            continue;
        double d0 = 0.0, g0 = 0.0;
        double v0 = solves[0].price(s, tau, delta ? &d0 : nullptr, delta ? &g0 : nullptr);
        for (int h = first + 1; h <= std::min(first + 3, top); ++h) {
            BandSolver& lo = solves[(h - first + 1) % 2];
            BandSolver& hi = solves[(h - first) % 2];
            if (!band_solve(hi, k, r, q, sigma, tau, closed, ladder[h], &lo, ctl)) break;
            const double v1 = hi.price(s, tau, delta, gamma);
            if (!(std::fabs(v1 - v0) <= 0.25 * tol)) {
                v0 = v1;
                continue;
            }
            if (keep) *keep = hi;
            // Inside the band at tau: exercised.
            double upper = hi.a[hi.n], lower = hi.b[hi.n];
            if (closed) {
                upper = lower = kNaN;
                if (hi.tau > tau) hi.at_time(tau, &upper, &lower);
            }
            const double ls = std::log(s);
            if (ls >= lower && ls <= upper) {
                if (delta) *delta = -1.0, *gamma = 0.0;
                return k - s;
            }
            return std::max(v1, k - s);
        }
    }
    return kNaN;
}

}  // namespace

// Put in the band regime by the integral equations; NaN where they cannot
// vouch for tol (the caller then falls back to finite differences).
double band_put(double s, double k, double r, double q, double sigma, double tau, double tol,
                double* delta, double* gamma) {
    return band_adaptive(s, k, r, q, sigma, tau, tol, delta, gamma, nullptr);
}

// Price, delta and gamma as band_put; vega and the derivative in r (or, with
// `rate_q`, in q) by central differences of solves at the accepted setting,
// each a chord iteration from the accepted solve with its Jacobian (Newton's
// method where that does not converge). See put.hpp for the result.
int band_greeks(double s, double k, double r, double q, double sigma, double tau, double tol,
                bool rate_q, double* out) {
    BandSolver base;
    double delta = 0.0, gamma = 0.0;
    const double v = band_adaptive(s, k, r, q, sigma, tau, tol, &delta, &gamma, &base);
    if (std::isnan(v)) return 0;
    out[0] = v, out[1] = delta, out[2] = gamma;
    const BandSetting set{base.t->n, base.t->asked_l, base.t->p, base.t->tail};
    std::vector<double> lu;
    int piv[kBandMaxUnknowns];
    const bool factored = base.factored_jacobian(lu, piv);
    auto bumped = [&](double dr, double dq, double dsig) {
        BandSolver one;
        bool ok = false;
        if (factored) {
            one.init(k, r + dr, q + dq, sigma + dsig, tau, *base.t);
            one.start_from(base);
            // An open band's lower boundary moves with its limit k r / q,
            // which it hugs near expiry. Where the band closes the
            // boundaries meet far from it, but one that closes within days
            // may start below the new limit: raised to it, the start stays
            // inside the band.
            for (int i = 1; i <= one.n; ++i)
                one.b[i] = base.closed ? std::max(one.b[i], one.ln_y0)
                                       : one.b[i] + (one.ln_y0 - base.ln_y0);
            ok = one.chord(lu, piv) && one.sane();
        }
        if (!ok && !band_solve(one, k, r + dr, q + dq, sigma + dsig, tau, base.closed, set, &base))
            return kNaN;
        return std::max(one.price(s, tau, nullptr, nullptr), k - s);
    };
    const double hs = 1e-4 * std::max(sigma, 0.05), hr = 1e-5;
    const double vega = (bumped(0.0, 0.0, hs) - bumped(0.0, 0.0, -hs)) / (2.0 * hs);
    const double rho = rate_q ? (bumped(0.0, hr, 0.0) - bumped(0.0, -hr, 0.0)) / (2.0 * hr)
                              : (bumped(hr, 0.0, 0.0) - bumped(-hr, 0.0, 0.0)) / (2.0 * hr);
    if (!std::isfinite(vega) || !std::isfinite(rho)) return 1;
    out[3] = vega, out[4] = rho;
    return 2;
}

}  // namespace orvelta::american
