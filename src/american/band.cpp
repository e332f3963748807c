// The put whose exercise region is a band, q < r < 0, by its integral
// equations (the double-boundary method of Andersen and Lake; Healy). With
// u the time to expiry, the band is [Y(u), B(u)]: B(0+) = k, Y(0+) = k r / q;
// it narrows as u grows and closes at u*, after which the holder never
// exercises. The price is the European put plus the premium earned in the
// band,
//   int_0^{min(tau, u*)} [r k e^{-r s} (N(-d-(s, S/B)) - N(-d-(s, S/Y)))
//                        - q S e^{-q s} (N(-d+(s, S/B)) - N(-d+(s, S/Y)))] du,
// s = tau - u, and each boundary X satisfies smooth pasting, dV/dS = -1 at
// S = X(u) (and value matching). The equations are of Volterra type: the
// boundaries on [0, U] depend only on themselves there.
//
// Both boundaries are collocated on Chebyshev-Lobatto nodes in theta, with
// u = U sin^2(theta): sqrt(u) (their behaviour at expiry) and sqrt(U - u)
// (their meeting at u* when U = u*) are both smooth in theta. Where the band
// is still open at tau (U = tau) the unknowns are ln B and ln Y at the nodes;
// where it closes first (U = u*) they are the mid-line M = (ln B + ln Y) / 2,
// the half-width W = cos(theta) e^omega (which vanishes at u* like
// sqrt(u* - u) and never turns negative) and u* itself, with value matching
// and smooth pasting at the meeting point. The smooth-pasting residuals of
// all nodes are solved together by Newton's method with a line search:
// node-by-node iterations (value matching or smooth pasting, Jacobi or
// Gauss-Seidel) diverge for the lower boundary or stall at the last nodes,
// whose own residuals hardly depend on them.
//
// Each price is solved at two settings; their difference must be within
// a quarter of tol, else the caller falls back to the finite-difference
// solver (double_boundary.cpp).
#include "american/put.hpp"

#include "common/black_scholes.hpp"
#include "common/constants.hpp"
#include "common/interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace orvelta::american {

namespace {

constexpr int kBandMaxNodes = 32;
constexpr int kBandMaxUnknowns = 2 * kBandMaxNodes;
constexpr int kNewtonIterations = 60;

// Lagrange cardinal functions of `count` nodes `xn` at x.
void cardinal(const double* xn, int count, double x, double* out) {
    for (int j = 0; j < count; ++j) {
        double v = 1.0;
        for (int m = 0; m < count; ++m)
            if (m != j) v *= (x - xn[m]) / (xn[j] - xn[m]);
        out[j] = v;
    }
}

// Interpolation and quadrature tables of one setting: n + 1 nodes
// (x_0 = -1 at expiry, x_n = 1 at U), l Gauss-Legendre points per node's
// integral, p points for the premium.
struct BandTables {
    int n = 0, l = 0, p = 0;
    double xn[kBandMaxNodes + 1];
    double sth[kBandMaxNodes + 1];  // sin(theta) at the nodes: u_i = U sth^2
    // Points of the node integrals (u = u_i sin^2 phi), per node i >= 1.
    std::vector<double> sphi, cphi, wphi;  // l Gauss-Legendre points in phi on [0, pi/2]
    std::vector<double> card, card_w;      // cardinal rows: n + 1 nodes, and the first n
    std::vector<double> cos_pt;            // cos(theta) at each point
    // Premium points: theta = phi on [0, pi/2].
    std::vector<double> psin, pcos, pw, pcard, pcard_w;

    void build(int n_, int l_, int p_) {
        n = n_, l = l_, p = p_;
        for (int i = 0; i <= n; ++i) {
            xn[i] = -std::cos(kPi * i / n);
            sth[i] = std::sin(0.25 * kPi * (1.0 + xn[i]));
        }
        xn[0] = -1.0;
        xn[n] = 1.0;
        sth[n] = 1.0;
        const GaussLegendre& gl = gauss_legendre();
        auto points = [&](int count, std::vector<double>& s, std::vector<double>& c, std::vector<double>& w) {
            s.resize(count), c.resize(count), w.resize(count);
            for (int j = 0; j < count; ++j) {
                const double phi = 0.25 * kPi * (1.0 + gl.x[count][j]);
                s[j] = std::sin(phi);
                c[j] = std::cos(phi);
                w[j] = 0.25 * kPi * gl.w[count][j];
            }
        };
        points(l, sphi, cphi, wphi);
        points(p, psin, pcos, pw);
        card.assign(static_cast<std::size_t>(n) * l * (n + 1), 0.0);
        card_w.assign(static_cast<std::size_t>(n) * l * n, 0.0);
        cos_pt.assign(static_cast<std::size_t>(n) * l, 0.0);
        for (int i = 1; i <= n; ++i) {
            for (int j = 0; j < l; ++j) {
                const int m = (i - 1) * l + j;
                const double st = sth[i] * sphi[j];
                const double th = std::asin(st);
                const double x = 4.0 * th / kPi - 1.0;
                cos_pt[m] = std::sqrt((1.0 - st) * (1.0 + st));
                cardinal(xn, n + 1, x, &card[static_cast<std::size_t>(m) * (n + 1)]);
                cardinal(xn, n, x, &card_w[static_cast<std::size_t>(m) * n]);
            }
        }
        pcard.assign(static_cast<std::size_t>(p) * (n + 1), 0.0);
        pcard_w.assign(static_cast<std::size_t>(p) * n, 0.0);
        for (int j = 0; j < p; ++j) {
            const double x = gl.x[p][j];
            cardinal(xn, n + 1, x, &pcard[static_cast<std::size_t>(j) * (n + 1)]);
            cardinal(xn, n, x, &pcard_w[static_cast<std::size_t>(j) * n]);
        }
    }
};

const BandTables& band_tables(int n, int l, int p) {
    // One table per setting and thread, kept for the thread's life (the
    // settings are few); held by pointer so that references stay valid.
    static thread_local std::vector<std::unique_ptr<BandTables>> cache;
    for (const auto& t : cache)
        if (t->n == n && t->l == l && t->p == p) return *t;
    cache.push_back(std::make_unique<BandTables>());
    cache.back()->build(n, l, p);
    return *cache.back();
}

// The boundaries of one solve and their residual equations.
struct BandSolver {
    double k, r, q, sigma, tau;
    const BandTables* t;
    bool closed = false;
    int n = 0, unknowns = 0;
    double ln_k, ln_y0, m0, ln_w0;
    // Node values (index 0 = expiry).
    double a[kBandMaxNodes + 1], b[kBandMaxNodes + 1];  // open: ln B, ln Y; closed: M, omega
    double big_u;
    std::vector<double> lb_pt, ly_pt;

    void init(double k_, double r_, double q_, double sigma_, double tau_, const BandTables& tab) {
        k = k_, r = r_, q = q_, sigma = sigma_, tau = tau_, t = &tab, n = tab.n;
        ln_k = std::log(k);
        ln_y0 = std::log(k * r / q);
        m0 = 0.5 * (ln_k + ln_y0);
        ln_w0 = std::log(0.5 * (ln_k - ln_y0));
        unknowns = 2 * n;
        lb_pt.resize(static_cast<std::size_t>(n) * tab.l);
        ly_pt.resize(static_cast<std::size_t>(n) * tab.l);
    }

    void start_open() {
        closed = false;
        big_u = tau;
        a[0] = ln_k, b[0] = ln_y0;
        for (int i = 1; i <= n; ++i) {
            const double su = sigma * std::sqrt(tau) * t->sth[i];
            a[i] = std::max(ln_k - 0.5 * su, m0 + 0.01);
            b[i] = std::min(ln_y0 + 0.05 * su, m0 - 0.01);
        }
    }

    void start_closed(double u0) {
        closed = true;
        big_u = u0;
        a[0] = m0, b[0] = ln_w0;
        for (int i = 1; i <= n; ++i) a[i] = m0, b[i] = ln_w0;
    }

    void get(double* z) const {
        for (int i = 0; i < n; ++i) z[i] = a[i + 1];
        if (!closed) {
            for (int i = 0; i < n; ++i) z[n + i] = b[i + 1];
        } else {
            for (int i = 0; i < n - 1; ++i) z[n + i] = b[i + 1];
            z[2 * n - 1] = big_u;
        }
    }
    void set(const double* z) {
        for (int i = 0; i < n; ++i) a[i + 1] = z[i];
        if (!closed) {
            for (int i = 0; i < n; ++i) b[i + 1] = z[n + i];
        } else {
            for (int i = 0; i < n - 1; ++i) b[i + 1] = z[n + i];
            big_u = z[2 * n - 1];
        }
    }

    // ln B and ln Y at node i.
    void node(int i, double* lb, double* ly) const {
        if (!closed) {
            *lb = a[i], *ly = b[i];
            return;
        }
        const double w = i == n ? 0.0 : std::sqrt(1.0 - t->sth[i] * t->sth[i]) * std::exp(b[i]);
        *lb = a[i] + w, *ly = a[i] - w;
    }

    // ln B and ln Y at `count` points from cardinal rows.
    void at_points(const double* card, const double* card_w, const double* cos_th, int count,
                   double* lb, double* ly) const {
        const int stride = n + 1;
        for (int m = 0; m < count; ++m) {
            const double* c = card + static_cast<std::size_t>(m) * stride;
            double sa = 0.0, sb = 0.0;
            if (!closed) {
                for (int j = 0; j <= n; ++j) sa += c[j] * a[j], sb += c[j] * b[j];
                lb[m] = sa, ly[m] = sb;
            } else {
                const double* cw = card_w + static_cast<std::size_t>(m) * n;
                for (int j = 0; j <= n; ++j) sa += c[j] * a[j];
                for (int j = 0; j < n; ++j) sb += cw[j] * b[j];
                const double w = cos_th[m] * std::exp(sb);
                lb[m] = sa + w, ly[m] = sa - w;
            }
        }
    }

    // Smooth-pasting residual 1 + dV/dS at spot e^{lx}, time ui, with the
    // boundaries at the node's points lb, ly; its derivatives in lx and in
    // the boundaries' logarithms at each point (gb, gy); optionally the
    // value-matching residual (V - (k - S)) / k with its derivatives.
    struct Partials {
        double g, g_x, v, v_x;
        double gb[64], gy[64], vb[64], vy[64];
    };
    void residual(double lx, double ui, const double* lb, const double* ly, bool want_vm,
                  Partials& out) const {
        const double x = std::exp(lx);
        const double st = std::sqrt(ui);
        const double vol = sigma * st;
        const double d0 = (lx - ln_k + (r - q) * ui) / vol + 0.5 * vol;
        const double eqt = std::exp(-q * ui);
        double g = 1.0 - eqt * norm_cdf(-d0);
        double g_x = eqt * norm_pdf(d0) / vol;
        double v = want_vm ? k * std::exp(-r * ui) * norm_cdf(-(d0 - vol)) - x * eqt * norm_cdf(-d0) : 0.0;
        for (int j = 0; j < t->l; ++j) {
            const double sp_ = t->sphi[j], cp = t->cphi[j], w = t->wphi[j];
            const double s = ui * cp * cp;
            const double ss = st * cp;  // sqrt(s)
            const double iss = 1.0 / (sigma * ss);
            const double du = 2.0 * ui * sp_ * cp * w;
            const double du_ss = 2.0 * st * sp_ * w / sigma;  // du / (sigma sqrt(s))
            const double eq = std::exp(-q * s);
            const double er = want_vm ? std::exp(-r * s) : 0.0;
            for (int side = 0; side < 2; ++side) {
                const double lbd = side == 0 ? lb[j] : ly[j];
                const double sgn = side == 0 ? 1.0 : -1.0;
                const double dp = (lx - lbd + (r - q) * s) * iss + 0.5 * sigma * ss;
                const double ndp = norm_cdf(-dp);
                const double phi = norm_pdf(dp);
                const double rkb = r * k * std::exp(-lbd);
                const double c = q - rkb;
                g += sgn * eq * (-q * ndp * du + c * phi * du_ss);
                // d/d ln b of the term; d/d lx is its negative plus the part of c's derivative.
                const double tb = sgn * eq * (-q * phi * iss * du + rkb * phi * du_ss + c * dp * phi * iss * du_ss);
                g_x += -tb + sgn * eq * rkb * phi * du_ss;
                (side == 0 ? out.gb : out.gy)[j] = tb;
                if (want_vm) {
                    v += sgn * du * (r * k * er * norm_cdf(-(dp - sigma * ss)) - q * x * eq * ndp);
                    (side == 0 ? out.vb : out.vy)[j] = -sgn * x * eq * c * phi * iss * du / k;
                }
            }
        }
        out.g = g;
        out.g_x = g_x;
        if (want_vm) {
            out.v = (v - (k - x)) / k;
            out.v_x = x * g / k;
        }
    }

    // All residuals for the current unknowns; with `jac`, their Jacobian in
    // the unknowns other than u* (whose column the caller differences).
    bool residuals(double* f, double* jac = nullptr) {
        const int l = t->l, m = unknowns, stride = n + 1;
        at_points(t->card.data(), t->card_w.data(), t->cos_pt.data(), n * l, lb_pt.data(), ly_pt.data());
        if (jac) std::fill(jac, jac + static_cast<std::size_t>(m) * m, 0.0);
        Partials pa;
        int e = 0;
        for (int i = 1; i <= n; ++i) {
            const double ui = big_u * t->sth[i] * t->sth[i];
            double lb, ly;
            node(i, &lb, &ly);
            const double* pb = &lb_pt[static_cast<std::size_t>(i - 1) * l];
            const double* py = &ly_pt[static_cast<std::size_t>(i - 1) * l];
            const bool meet = closed && i == n;
            const double wi = (closed && i < n) ? lb - a[i] : 0.0;  // half-width at the node
            for (int side = 0; side < 2; ++side) {
                if (meet && side == 1) break;
                residual(side == 0 ? lb : ly, ui, pb, py, meet, pa);
                const int rows = meet ? 2 : 1;
                for (int rr = 0; rr < rows; ++rr) {
                    const bool vrow = rr == 1;
                    f[e] = vrow ? 10.0 * pa.v : pa.g;
                    if (jac) {
                        double* row = jac + static_cast<std::size_t>(e) * m;
                        const double sc = vrow ? 10.0 : 1.0;
                        const double* db = vrow ? pa.vb : pa.gb;
                        const double* dy = vrow ? pa.vy : pa.gy;
                        const double dx = sc * (vrow ? pa.v_x : pa.g_x);
                        // The spot's own node.
                        if (!closed) {
                            row[(side == 0 ? 0 : n) + i - 1] += dx;
                        } else {
                            row[i - 1] += dx;
                            if (i < n) row[n + i - 1] += (side == 0 ? 1.0 : -1.0) * wi * dx;
                        }
                        for (int j = 0; j < l; ++j) {
                            const int pt = (i - 1) * l + j;
                            const double* c = &t->card[static_cast<std::size_t>(pt) * stride];
                            const double b_ = sc * db[j], y_ = sc * dy[j];
                            if (!closed) {
                                for (int q2 = 1; q2 <= n; ++q2) {
                                    row[q2 - 1] += b_ * c[q2];
                                    row[n + q2 - 1] += y_ * c[q2];
                                }
                            } else {
                                const double* cw = &t->card_w[static_cast<std::size_t>(pt) * n];
                                const double half = 0.5 * (pb[j] - py[j]);
                                for (int q2 = 1; q2 <= n; ++q2) row[q2 - 1] += (b_ + y_) * c[q2];
                                for (int q2 = 1; q2 < n; ++q2) row[n + q2 - 1] += (b_ - y_) * half * cw[q2];
                            }
                        }
                    }
                    ++e;
                }
            }
        }
        for (int i = 0; i < e; ++i)
            if (!std::isfinite(f[i])) return false;
        return true;
    }

    // Newton's method with a backtracking line search on the largest
    // residual. True when converged.
    bool solve() {
        const int m = unknowns;
        double z[kBandMaxUnknowns], f[kBandMaxUnknowns], f1[kBandMaxUnknowns], step[kBandMaxUnknowns];
        static thread_local std::vector<double> jac;
        jac.resize(static_cast<std::size_t>(m) * m);
        get(z);
        auto norm = [m](const double* v) {
            double x = 0.0;
            for (int i = 0; i < m; ++i) x = std::max(x, std::fabs(v[i]));
            return x;
        };
        if (!residuals(f, jac.data())) return false;
        double fn = norm(f);
        for (int it = 0; it < kNewtonIterations; ++it) {
            if (cancel_requested()) return false;
            if (closed) {
                const int j = m - 1;
                const double h = 1e-7 * z[j];
                z[j] += h;
                set(z);
                const bool ok = residuals(f1);
                z[j] -= h;
                set(z);
                if (!ok) return false;
                for (int i = 0; i < m; ++i) jac[static_cast<std::size_t>(i) * m + j] = (f1[i] - f[i]) / h;
            }
            // Gaussian elimination with partial pivoting.
            for (int i = 0; i < m; ++i) step[i] = -f[i];
            for (int c = 0; c < m; ++c) {
                int piv = c;
                for (int i = c + 1; i < m; ++i)
                    if (std::fabs(jac[static_cast<std::size_t>(i) * m + c]) > std::fabs(jac[static_cast<std::size_t>(piv) * m + c])) piv = i;
                if (!(jac[static_cast<std::size_t>(piv) * m + c] != 0.0)) return false;
                if (piv != c) {
                    for (int j = 0; j < m; ++j) std::swap(jac[static_cast<std::size_t>(piv) * m + j], jac[static_cast<std::size_t>(c) * m + j]);
                    std::swap(step[piv], step[c]);
                }
                const double inv = 1.0 / jac[static_cast<std::size_t>(c) * m + c];
                for (int i = c + 1; i < m; ++i) {
                    const double fct = jac[static_cast<std::size_t>(i) * m + c] * inv;
                    if (fct == 0.0) continue;
                    for (int j = c; j < m; ++j) jac[static_cast<std::size_t>(i) * m + j] -= fct * jac[static_cast<std::size_t>(c) * m + j];
                    step[i] -= fct * step[c];
                }
            }
            for (int c = m - 1; c >= 0; --c) {
                double sum = step[c];
                for (int j = c + 1; j < m; ++j) sum -= jac[static_cast<std::size_t>(c) * m + j] * step[j];
                step[c] = sum / jac[static_cast<std::size_t>(c) * m + c];
            }
            // Steps limited to 0.5 in the logarithms and to half of u*.
            double scale = 1.0;
            for (int j = 0; j < m; ++j) {
                const double lim = (closed && j == m - 1) ? 0.5 * z[j] : 0.5;
                if (std::fabs(step[j]) * scale > lim) scale = lim / std::fabs(step[j]);
            }
            double lam = scale, znew[kBandMaxUnknowns], fnew = kInf;
            for (int ls = 0; ls < 30; ++ls) {
                for (int j = 0; j < m; ++j) znew[j] = z[j] + lam * step[j];
                set(znew);
                if (residuals(f1, jac.data()) && (fnew = norm(f1)) < fn) break;
                lam *= 0.5;
                fnew = kInf;
            }
            const double moved = lam * norm(step);
            if (!(fnew < kInf)) {
                set(z);
                // No decrease: converged to rounding if the step is tiny.
                return norm(step) < 1e-9;
            }
            for (int j = 0; j < m; ++j) z[j] = znew[j], f[j] = f1[j];
            fn = fnew;
            if (moved < 1e-11) break;
            if (it + 1 == kNewtonIterations) return false;
        }
        set(z);
        return true;
    }

    // ln B and ln Y at time to expiry u <= U, from the node values.
    void at_time(double u, double* lb, double* ly) const {
        const double st = std::sqrt(std::min(std::max(u / big_u, 0.0), 1.0));
        const double x = 4.0 * std::asin(st) / kPi - 1.0;
        double c[kBandMaxNodes + 1], cw[kBandMaxNodes];
        cardinal(t->xn, n + 1, x, c);
        cardinal(t->xn, n, x, cw);
        const double cos_th = std::sqrt((1.0 - st) * (1.0 + st));
        at_points(c, cw, &cos_th, 1, lb, ly);
    }

    // Starts from another solve of the same put (other settings, or an open
    // band ending at `src.big_u` before the band's meeting point `u0`).
    void start_from(const BandSolver& src, double u0) {
        closed = src.closed || u0 > 0.0;
        big_u = src.closed ? src.big_u : (u0 > 0.0 ? u0 : tau);
        if (!closed) {
            a[0] = ln_k, b[0] = ln_y0;
            for (int i = 1; i <= n; ++i) src.at_time(big_u * t->sth[i] * t->sth[i], &a[i], &b[i]);
            return;
        }
        a[0] = m0, b[0] = ln_w0;
        double end_b, end_y;
        src.at_time(src.big_u, &end_b, &end_y);
        for (int i = 1; i <= n; ++i) {
            const double ui = big_u * t->sth[i] * t->sth[i];
            const double ci = std::sqrt(std::max(1.0 - t->sth[i] * t->sth[i], 0.0));
            double lb, ly, w;
            if (src.closed || ui <= src.big_u) {
                src.at_time(ui, &lb, &ly);
                w = 0.5 * (lb - ly);
            } else {
                lb = end_b, ly = end_y;
                w = 0.5 * (lb - ly) * std::sqrt(std::max((big_u - ui) / (big_u - src.big_u), 0.0));
            }
            a[i] = 0.5 * (lb + ly);
            if (i < n) {
                double om = ci > 0.0 && w > 0.0 ? std::log(w / ci) : (src.closed ? src.b[std::min(i, src.n - 1)] : ln_w0);
                if (!std::isfinite(om)) om = ln_w0;
                b[i] = om;
            }
        }
    }

    // The band is open and ordered at every node and point.
    bool sane() const {
        for (int i = 1; i <= n; ++i) {
            double lb, ly;
            node(i, &lb, &ly);
            if (!(lb <= ln_k + 1e-12) || !(ly >= ln_y0 - 1e-12)) return false;
            if (!closed && !(lb > ly)) return false;
        }
        if (closed && !(big_u > 0.0 && big_u < tau)) return false;
        for (std::size_t m = 0; m < lb_pt.size(); ++m)
            if (!(lb_pt[m] >= ly_pt[m])) return false;
        return true;
    }

    // Price at spot s (time to expiry tau); optionally delta and gamma.
    double price(double s, double* delta, double* gamma) const {
        const int p = t->p;
        double lb[64 * 2], ly[64 * 2];
        at_points(t->pcard.data(), t->pcard_w.data(), t->pcos.data(), p, lb, ly);
        const double span = std::min(tau, big_u);
        const double ls = std::log(s);
        const double st = std::sqrt(span);
        double prem = 0.0, dsum = 0.0, gsum = 0.0;
        for (int j = 0; j < p; ++j) {
            const double u = span * t->psin[j] * t->psin[j];
            const double sv = tau - u;
            const double ss = std::sqrt(sv);
            const double du = 2.0 * st * st * t->psin[j] * t->pcos[j] * t->pw[j];
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
        const double vol = sigma * std::sqrt(tau);
        const double d1 = (ls - ln_k + (r - q) * tau) / vol + 0.5 * vol;
        const double euro = k * std::exp(-r * tau) * norm_cdf(-(d1 - vol)) - s * std::exp(-q * tau) * norm_cdf(-d1);
        if (delta) {
            *delta = -std::exp(-q * tau) * norm_cdf(-d1) + dsum;
            *gamma = std::exp(-q * tau) * norm_pdf(d1) / (s * vol) + gsum;
        }
        return euro + prem;
    }
};

struct BandSetting {
    int n, l, p;
};

// One solve: the open band to tau, else the band closing at u* < tau; warm
// started from `from` when given.
bool band_solve(BandSolver& bs, double k, double r, double q, double sigma, double tau,
                const BandSetting& set, const BandSolver* from) {
    bs.init(k, r, q, sigma, tau, band_tables(set.n, set.l, set.p));
    if (from) {
        bs.start_from(*from, 0.0);
        if (bs.solve() && bs.sane()) return true;
    }
    bs.start_open();
    if (bs.solve() && bs.sane()) return true;
    // The band closes before tau: an open band to a shorter time, and from
    // it the meeting point, where the squared width (linear in u near u*)
    // extrapolates to zero.
    BandSolver open;
    open.init(k, r, q, sigma, tau, band_tables(set.n, set.l, set.p));
    bool found = false;
    for (int tries = 1; tries <= 12 && !found; ++tries) {
        open.tau = std::ldexp(tau, -tries);
        open.start_open();
        found = open.solve() && open.sane();
    }
    if (!found) return false;
    for (int grow = 0; grow < 8; ++grow) {
        const int nn = open.n;
        const double u1 = open.big_u, u0 = open.big_u * open.t->sth[nn - 2] * open.t->sth[nn - 2];
        const double w1 = open.a[nn] - open.b[nn], w0 = open.a[nn - 2] - open.b[nn - 2];
        const double slope = (w0 * w0 - w1 * w1) / (u1 - u0);
        double guess = slope > 0.0 ? u1 + w1 * w1 / slope : 2.0 * u1;
        if (!(guess < tau)) return false;  // the band may still be open at tau
        bs.start_from(open, guess);
        if (bs.solve() && bs.sane()) return true;
        // Not close enough to start from: an open band nearer to the guess.
        BandSolver next;
        next.init(k, r, q, sigma, 0.5 * (u1 + guess), band_tables(set.n, set.l, set.p));
        next.start_from(open, 0.0);
        next.big_u = next.tau;
        if (!(next.solve() && next.sane())) return false;
        open = next;
    }
    return false;
}

}  // namespace

// Put in the band regime by the integral equations; NaN where the two
// settings disagree by more than tol / 4 or a solve fails (the caller then
// falls back to finite differences).
double band_put(double s, double k, double r, double q, double sigma, double tau, double tol,
                double* delta, double* gamma, int* setting) {
    static const BandSetting settings[] = {{6, 12, 16}, {8, 16, 24}, {12, 20, 32}, {16, 24, 48},
                                           {20, 32, 64}, {24, 40, 64}};
    const int count = static_cast<int>(sizeof(settings) / sizeof(settings[0]));
    if (setting && *setting >= 0) {
        // One solve at the given setting, for differences in the parameters.
        BandSolver one;
        if (!band_solve(one, k, r, q, sigma, tau, settings[std::min(*setting, count - 1)], nullptr)) return kNaN;
        return std::max(one.price(s, delta, gamma), k - s);
    }
    const double rel = tol / k;
    const int first = rel >= 1e-4 ? 0 : rel >= 1e-5 ? 1 : rel >= 1e-6 ? 2 : rel >= 1e-7 ? 3 : 4;
    BandSolver lo, hi;
    if (!band_solve(lo, k, r, q, sigma, tau, settings[first], nullptr)) return kNaN;
    if (!band_solve(hi, k, r, q, sigma, tau, settings[first + 1], &lo)) return kNaN;
    if (setting) *setting = first + 1;
    double d0 = 0.0, g0 = 0.0;
    const double v0 = lo.price(s, delta ? &d0 : nullptr, delta ? &g0 : nullptr);
    const double v1 = hi.price(s, delta, gamma);
    if (!(std::fabs(v1 - v0) <= 0.25 * tol)) return kNaN;
    // Where the band closes, both settings must also place u* alike.
    if (lo.closed != hi.closed || (hi.closed && !(std::fabs(hi.big_u - lo.big_u) <= 1e-3 * hi.big_u)))
        return kNaN;
    // Inside the band at tau: exercised.
    if (!hi.closed) {
        double lb, ly;
        hi.node(hi.n, &lb, &ly);
        const double ls = std::log(s);
        if (ls >= ly && ls <= lb) {
            if (delta) *delta = -1.0, *gamma = 0.0;
            return k - s;
        }
    }
    return std::max(v1, k - s);
}

}  // namespace orvelta::american

