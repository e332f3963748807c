// Independent reference for the accurate American pricer's tests: the
// Black-Scholes equation in the coordinate that follows the drift,
// y = ln S + nu u (u the time to expiry, nu = r - q - sigma^2 / 2), where it
// becomes the heat equation W_u = sigma^2 / 2 W_yy - r W with a moving
// obstacle, the payoff at S = e^{y - nu u}. In that coordinate the grid
// needs to cover only a few standard deviations around today's point and
// resolves small volatilities as well as large ones. Crank-Nicolson with
// Rannacher start-up (four implicit Euler half steps), time steps bunched
// towards expiry and today (u_i = tau f^2 (3 - 2 f), f = i / m), the exercise constraint solved
// exactly at every step by policy iteration (the system is an M-matrix).
// Any number of exercise boundaries. Built by the tests with
//   g++ -O2 -ffp-contract=off -shared -fPIC
// and called through ctypes.
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

double ncdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

double european(double s, double k, double r, double q, double sigma, double u, bool call) {
    if (u <= 0.0) return std::max(call ? s - k : k - s, 0.0);
    const double v = sigma * std::sqrt(u);
    const double d1 = (std::log(s / k) + (r - q) * u) / v + 0.5 * v;
    const double fs = s * std::exp(-q * u), fk = k * std::exp(-r * u);
    return call ? fs * ncdf(d1) - fk * ncdf(d1 - v) : fk * ncdf(v - d1) - fs * ncdf(-d1);
}

}  // namespace

extern "C" double american_heat(double s, double k, double r, double q, double sigma, double tau,
                                int call, int n, int m, double width) {
    const double nu = r - q - 0.5 * sigma * sigma;
    const double y0 = std::log(s) + nu * tau;
    // Nodes at ln k + j h, so that the payoff's kink (y = ln k at expiry)
    // falls on a node on every grid; today's point y0 lies within the grid's
    // middle interval and its value is interpolated by a cubic.
    const double half = width * sigma * std::sqrt(tau);
    n += n % 2;
    const double h = 2.0 * half / n;
    const double start = std::log(k) + h * std::floor((y0 - half - std::log(k)) / h);
    const double a = 0.5 * sigma * sigma / (h * h);
    std::vector<double> y(n + 1), w(n + 1), g(n + 1), rhs(n + 1), lo(n + 1), di(n + 1), up(n + 1),
        c(n + 1), d(n + 1);
    std::vector<char> active(n + 1, 0), next(n + 1, 0);
    auto payoff = [&](double x) { return std::max(call ? std::exp(x) - k : k - std::exp(x), 0.0); };
    for (int j = 0; j <= n; ++j) {
        y[j] = start + h * j;
        w[j] = payoff(y[j]);
    }
    // Steps bunched at both ends (quadratically): near expiry, where the
    // exercise boundary moves fast, and near today, where long-dated options
    // are exercised.
    auto time = [&](int i) {
        const double f = double(i) / m;
        return tau * f * f * (3.0 - 2.0 * f);
    };
    // Steps: (u_from, u_to, theta); the first two intervals as four implicit half steps.
    std::vector<double> from, to, theta;
    for (int i = 0; i < m; ++i) {
        const double u0 = time(i), u1 = time(i + 1);
        if (i < 2) {
            const double mid = 0.5 * (u0 + u1);
            from.push_back(u0);
            to.push_back(mid);
            theta.push_back(1.0);
            from.push_back(mid);
            to.push_back(u1);
            theta.push_back(1.0);
        } else {
            from.push_back(u0);
            to.push_back(u1);
            theta.push_back(0.5);
        }
    }
    // The explicit part of a step at node j, and the obstacle at time u: the
    // payoff, and at the grid's two ends the larger of it and the European
    // value (the ends are pinned to it).
    auto heat = [&](int j) { return a * (w[j - 1] - 2.0 * w[j] + w[j + 1]) - r * w[j]; };
    auto obstacle = [&](int j, double u) {
        const double x = std::exp(y[j] - nu * u);
        const double pay = std::max(call ? x - k : k - x, 0.0);
        if (j > 0 && j < n) return pay;
        return std::max(pay, european(x, k, r, q, sigma, u, call));
    };
    for (std::size_t step = 0; step < from.size(); ++step) {
        const double dt = to[step] - from[step], th = theta[step], u = to[step];
        const double ex = (1.0 - th) * dt;
        for (int j = 1; j < n; ++j) rhs[j] = w[j] + ex * heat(j);
        for (int j = 0; j <= n; ++j) g[j] = obstacle(j, u);
        for (int it = 0; it < 100; ++it) {
            // Tridiagonal system with the active rows pinned to the obstacle.
            for (int j = 0; j <= n; ++j) {
                if (j == 0 || j == n || active[j]) {
                    lo[j] = 0.0;
                    up[j] = 0.0;
                    di[j] = 1.0;
                    d[j] = g[j];
                } else {
                    lo[j] = -th * dt * a;
                    up[j] = -th * dt * a;
                    di[j] = 1.0 + th * dt * (2.0 * a + r);
                    d[j] = rhs[j];
                }
            }
            c[0] = up[0] / di[0];
            d[0] = d[0] / di[0];
            for (int j = 1; j <= n; ++j) {
                const double den = di[j] - lo[j] * c[j - 1];
                c[j] = up[j] / den;
                d[j] = (d[j] - lo[j] * d[j - 1]) / den;
            }
            w[n] = d[n];
            for (int j = n - 1; j >= 0; --j) w[j] = d[j] - c[j] * w[j + 1];
            bool same = true;
            for (int j = 1; j < n; ++j) {
                const double eq = -th * dt * a * (w[j - 1] + w[j + 1]) +
                                  (1.0 + th * dt * (2.0 * a + r)) * w[j] - rhs[j];
                next[j] = (w[j] - g[j]) < eq;
                if (next[j] != active[j]) same = false;
            }
            if (same) break;
            std::swap(active, next);
        }
    }
    const int j = static_cast<int>(std::floor((y0 - start) / h));
    const double f = (y0 - start) / h - j;  // in [0, 1): between nodes j and j + 1
    const double w0 = w[j - 1], w1 = w[j], w2 = w[j + 1], w3 = w[j + 2];
    return w1 + 0.5 * f *
                    (w2 - w0 +
                     f * (2.0 * w0 - 5.0 * w1 + 4.0 * w2 - w3 + f * (3.0 * (w1 - w2) + w3 - w0)));
}
