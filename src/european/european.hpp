// European prices to a requested absolute accuracy under the five log-price
// models of the Fourier kernels, and Black-Scholes implied volatility.
//
// The pricer picks its route per maturity: closed form (lognormal), Poisson
// series of Black-Scholes prices (Merton), the Black-Scholes price integrated
// over the gamma clock (variance gamma with a short clock), a Poisson mixture
// of COS-priced Heston puts (Bates whose diffusion is too narrow for a single
// expansion), and otherwise the COS expansion of the put with a truncation range from Chernoff
// bounds on the tails of the log return (its moment generating function) and as many terms as the
// decay of the characteristic function asks for. Calls follow from puts by put-call parity.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace orvelta::european {

using cplx = std::complex<double>;

enum class Kind { Lognormal, Merton, VarianceGamma, Heston, Bates };

// Model parameters after the Fourier kernels' defaults for missing entries;
// values inside each model's domain are kept as given (see resolve_model).
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

// Reads params (n entries), missing ones taking the model's defaults (Bates:
// its missing diffusion entries are zeros). Values inside the model's domain
// are kept; outside it v0, theta and sigma_v are raised to 0 and rho cut to
// [-1, 1], and the Heston speed, a positive vol-of-vol and the variance-gamma
// clock rate are kept above 1e-100 (which changes no digit). Throws
// std::invalid_argument for parameters that define no model: non-finite
// entries, a negative jump intensity, or a variance-gamma clock whose E[S_T]
// does not exist (1 - theta nu - sigma^2 nu / 2 < 1e-8).
Model resolve_model(int model_id, const double* params, std::size_t n);

// The Heston part's variance is deterministic: no vol-of-vol, or a variance
// that starts and stays at zero.
bool deterministic_variance(const Model& m) noexcept;

// The Heston part's expected variance integrated over [0, tau] (the whole
// variance of the log return when it is deterministic).
double integrated_variance(const Model& m, double tau) noexcept;

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
    double a, b;        // COS truncation range of Z (widest of the parts; 0 otherwise)
    std::size_t terms;  // COS terms (summed over the parts), series terms or quadrature nodes
};

// The route and settings the pricer uses for a maturity (test hook).
Settings european_settings(const Model& m, double tau, double s, double r, double q, double tol);

// A market input given per option, or one value for all (each = false).
template <class T>
struct PerOption {
    const T* data = nullptr;
    bool each = false;
    T operator[](std::size_t i) const noexcept { return data[each ? i : 0]; }
};

// A batch of options priced under one or more parameter sets of one model:
// the options are grouped by maturity, spot, rate and yield (a group shares
// its plan), and the work is cut into tasks of one (set, group) each, which
// run in any order and on any thread with bit-identical results.
struct Batch {
    std::vector<Model> models;
    std::vector<std::size_t> order;        // option indices sorted by (tau, s, r, q)
    std::vector<std::size_t> group_start;  // runs of equal (tau, s, r, q) in `order`, plus the end
    std::size_t count = 0;
    const double* strikes = nullptr;
    const double* tau = nullptr;
    PerOption<double> s, r, q;
    PerOption<double> option_type;  // > 0 call; NaN: no price
    double tol = 0.0;
    // For difference quotients across the sets: the first set chooses each
    // maturity's settings, the other sets reuse its COS range and terms, and
    // prices are the routes' raw values (no clipping to the no-arbitrage
    // bounds), so that their errors vary smoothly from set to set. Maturities
    // on other routes get every set's own plan, to the tighter of tol and
    // 1e-8. A task is then one maturity for all sets.
    bool shared_settings = false;
    // One parameter row per option: option i is priced under models[i], and
    // only options with equal rows share a group. Otherwise models holds the
    // parameter sets, each pricing every option.
    bool per_option = false;
    std::size_t sets() const noexcept { return per_option ? 1 : models.size(); }
    // The model of group g under parameter set `set`.
    const Model& model(std::size_t set, std::size_t g) const noexcept {
        return per_option ? models[order[group_start[g]]] : models[set];
    }
};

// Resolves each row of `params` (`sets` rows of `width` entries, row-major;
// with per_option, one row per option) and groups the options by maturity,
// spot, rate and yield (and parameter row). Throws std::invalid_argument for a bad
// row or a tolerance that is not positive.
Batch prepare_batch(int model_id, std::size_t sets, std::size_t width, const double* params,
                    std::size_t count, const double* strikes, const double* tau,
                    PerOption<double> s, PerOption<double> r, PerOption<double> q,
                    PerOption<double> option_type, double tol, bool per_option = false);

std::size_t batch_tasks(const Batch& batch) noexcept;

// Runs tasks [begin, end), writing out[set * count + option]; parallel when
// the slice is large enough. Stops early (leaving entries unwritten) when a
// cancellation is requested.
void run_batch(const Batch& batch, std::size_t begin, std::size_t end, double* out);

// Sensitivities of a batch's prices (one parameter set): output arrays of
// batch.count entries each.
struct GreekArrays {
    double* price;    // as run_batch gives it
    double* delta;    // dV/ds
    double* gamma;    // d2V/ds2
    double* theta;    // dV/dt = -dV/dtau, per year
    double* rho;      // dV/dr
    double* vega[2];  // dV/d(volatility parameter i), see volatility_parameters
};

// The model's volatility parameters, the ones vega differentiates: sigma
// (lognormal, Merton, variance gamma: 1) or v0 and theta (Heston, Bates: 2).
int volatility_parameters(Kind kind) noexcept;

// Runs tasks [begin, end) (one per group of batch_tasks) of a one-set batch,
// parallel when the slice is large enough; stops early on cancellation.
void run_greeks(const Batch& batch, std::size_t begin, std::size_t end, const GreekArrays& out);

// Black-Scholes implied volatility of a European price; NaN where no
// volatility reproduces it (0 at exactly the discounted intrinsic value).
double implied_vol(double price, double s, double k, double r, double q, double tau,
                   bool call) noexcept;

// Normalised Black call b(x, v) = e^(x/2) Phi(x/v + v/2) - e^(-x/2) Phi(x/v - v/2)
// for x <= 0 (out of the money), accurate in relative terms.
double normalised_black_otm(double x, double v) noexcept;

// Implied volatilities of options [begin, end), parallel for large slices.
void implied_vols(std::size_t begin, std::size_t end, const double* price, const double* s,
                  const double* k, const double* r, const double* q, const double* tau,
                  const double* option_type, double* out);

}  // namespace orvelta::european
