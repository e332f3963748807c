// European prices to a requested absolute accuracy under the five log-price
// models of the Fourier kernels, and Black-Scholes implied volatility.
//
// The pricer picks its route per maturity: closed form (lognormal), Poisson
// series of Black-Scholes prices (Merton), the Black-Scholes price integrated
// over the gamma clock (variance gamma with a short clock), a Poisson mixture
// of COS-priced Heston puts (Bates whose diffusion is too narrow for a single
// expansion), and otherwise the COS expansion of the put with a truncation range from Chernoff bounds on
// the tails of the log return (its moment generating function) and as many terms as the decay of the characteristic function
// asks for. Calls follow from puts by put-call parity.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace orvelta::european {

using cplx = std::complex<double>;

enum class Kind { Lognormal, Merton, VarianceGamma, Heston, Bates };

// Model parameters after the Fourier kernels' defaults, floors and clamps.
struct Model {
    Kind kind = Kind::Lognormal;
    double sigma = 0.2;  // diffusion volatility (lognormal, Merton, variance gamma)
    // Jumps (Merton, Bates): intensity, mean and variance of the log jump,
    // and the compensator kappa_J = E[e^Y] - 1.
    double lambda = 0.0, mu_j = 0.0, half_dd = 0.0, kappa_j = 0.0;
    // Variance gamma: drift of the subordinated motion, variance rate of the
    // clock and the drift correction ln(A) / nu.
    double theta = 0.0, nu = 0.2, omega = 0.0;
    // Heston part (Heston, Bates): v0, kappa, theta, sigma_v^2, rho * sigma_v, rho.
    double v0 = 0.04, kappa = 2.0, theta_v = 0.04, ss = 0.36, rs = -0.3, rho = -0.5;
    // An independent normal shift of Z (mean, variance) on top of the Heston
    // part: Bates given its number of jumps.
    double gauss_mean = 0.0, gauss_var = 0.0;
};

// Reads params (n entries) with the model's defaults and floors. Throws
// std::invalid_argument for parameters that define no model: non-finite
// entries, a negative jump intensity, or a variance-gamma clock whose
// E[S_T] does not exist (1 - theta nu - sigma^2 nu / 2 < 1e-8).
Model resolve_model(int model_id, const double* params, std::size_t n);

// psi(u) = ln E[exp(i u Z)], Z = ln(S_T / F) with F the forward, at the n
// real frequencies u; the characteristic function is exp(psi).
void log_return_exponent(const Model& m, double tau, std::size_t n, const double* u, double* re,
                         double* im) noexcept;

// E[exp(i u ln S_T)] at real u, from the exponent above.
cplx characteristic(const Model& m, double u, double s, double r, double q, double tau) noexcept;

// ln E[exp(alpha Z)] for real alpha; +inf where the moment does not exist
// (beyond the Heston explosion time, outside the variance-gamma strip).
double log_mgf(const Model& m, double tau, double alpha) noexcept;

// How one maturity is priced (reported by the settings hook).
enum class Route { Intrinsic, ClosedForm, PoissonSeries, GammaClock, Cos, Failed, JumpSeries };

struct Settings {
    Route route;
    double a, b;       // COS truncation range of Z (widest of the parts; 0 otherwise)
    std::size_t terms; // COS terms (summed over the parts), series terms or quadrature nodes
};

// The route and settings the pricer uses for a maturity (test hook).
Settings european_settings(const Model& m, double tau, double s, double r, double q, double tol);

// A batch of options priced under one or more parameter sets of one model:
// the work is cut into tasks of one (set, maturity) each, which run in any
// order and on any thread with bit-identical results.
struct Batch {
    std::vector<Model> models;
    std::vector<std::size_t> order;        // option indices sorted by maturity
    std::vector<std::size_t> group_start;  // runs of equal maturity in `order`, plus the end
    std::size_t count = 0;
    const double* strikes = nullptr;
    const double* tau = nullptr;
    double s = 0.0, r = 0.0, q = 0.0, tol = 0.0;
    int option_type = 1;
    // For difference quotients across the sets: the first set chooses each
    // maturity's settings, the other sets reuse its COS range and terms, and
    // prices are the routes' raw values (no clipping to the no-arbitrage
    // bounds), so that their errors vary smoothly from set to set. Maturities
    // on other routes get every set's own plan, to the tighter of tol and
    // 1e-8. A task is then one maturity for all sets.
    bool shared_settings = false;
};

// Resolves each row of `params` (`sets` rows of `width` entries, row-major)
// and groups the options by maturity. Throws std::invalid_argument for a bad
// row or a tolerance that is not positive.
Batch prepare_batch(int model_id, std::size_t sets, std::size_t width, const double* params,
                    std::size_t count, const double* strikes, const double* tau, double s,
                    double r, double q, int option_type, double tol);

std::size_t batch_tasks(const Batch& batch) noexcept;

// Runs tasks [begin, end), writing out[set * count + option]; parallel when
// the slice is large enough. Stops early (leaving entries unwritten) when a
// cancellation is requested.
void run_batch(const Batch& batch, std::size_t begin, std::size_t end, double* out);

// Black-Scholes implied volatility of a European price; NaN where no
// volatility reproduces it (0 at exactly the discounted intrinsic value).
double implied_vol(double price, double s, double k, double r, double q, double tau,
                   bool call) noexcept;

// Normalised Black call b(x, v) = e^(x/2) Phi(x/v + v/2) - e^(-x/2) Phi(x/v - v/2)
// for x <= 0 (out of the money), accurate in relative terms.
double normalised_black_otm(double x, double v) noexcept;

// Implied volatilities of options [begin, end), parallel for large slices.
void implied_vols(std::size_t begin, std::size_t end, const double* price, const double* s, const double* k,
                  const double* r, const double* q, const double* tau, const double* option_type,
                  double* out);

}  // namespace orvelta::european
