"""Monte Carlo kernels: antithetic GBM paths, the least-squares policy and its evaluation."""

import math
import re
import threading

import numpy as np
import pytest

from orvelta import _kernels as K

S0, R, Q, SIGMA, TAU = 100.0, 0.05, 0.02, 0.2, 1.0
NAN = float("nan")


def mt_outputs(seed, count):
    """Raw 32-bit MT19937 outputs from NumPy's legacy (init_genrand) seeding."""
    return [
        int(v) for v in np.random.RandomState(seed).randint(0, 2**32, size=count, dtype=np.uint32)
    ]


def reference_paths(s0, r, q, sigma, tau, steps, pairs, seed):
    """The path array recomputed in plain Python from the reference generator outputs."""
    out = iter(mt_outputs(seed, 4 * ((pairs * steps + 1) // 2)))

    def normals():
        while True:
            u1, u2 = (
                (next(out) + next(out) * 4294967296.0) / 18446744073709551616.0 for _ in range(2)
            )
            a, b = 0.999999999999 * u1 + 1e-12, 0.999999999999 * u2 + 1e-12
            rho, theta = math.sqrt(-2.0 * math.log(a)), 6.283185307179586 * b
            yield rho * math.cos(theta)
            yield rho * math.sin(theta)

    z = normals()
    dt = tau / steps
    drift, vol = ((r - q) - (0.5 * sigma) * sigma) * dt, math.sqrt(dt) * sigma
    p = np.empty((2 * pairs, steps + 1))
    p[:, 0] = s0
    for i in range(pairs):
        for j in range(1, steps + 1):
            e = next(z) * vol
            p[i, j] = math.exp(drift + e) * p[i, j - 1]
            p[i + pairs, j] = math.exp(drift - e) * p[i + pairs, j - 1]
    return p


def test_reference_generator_is_mt19937():
    # Published values of the 32-bit Mersenne Twister for the default seed 5489.
    out = mt_outputs(5489, 10000)
    assert out[0] == 3499211612 and out[-1] == 4123659995
    assert mt_outputs(7, 4) == [327741615, 976413892, 3349725721, 1369975286]


@pytest.mark.parametrize(
    "steps, paths, seed",
    # (1, 1400): 1400 outputs, two regenerations; (7, 150): 525 normals, an odd count
    # spread over several blocks of normals and of rows
    [(5, 6, 7), (4, 6, 7), (1, 1400, 7), (3, 2, 0), (2, 9, 2**32 - 1), (7, 150, 5)],
)
def test_paths_match_hand_recomputation(steps, paths, seed):
    got = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, steps, paths, seed)
    np.testing.assert_array_equal(
        got, reference_paths(S0, R, Q, SIGMA, TAU, steps, max(paths // 2, 1), seed)
    )


def test_first_normal_uses_first_four_outputs():
    x1, x2, x3, x4 = mt_outputs(7, 4)
    u1, u2 = (x1 + x2 * 2.0**32) / 2.0**64, (x3 + x4 * 2.0**32) / 2.0**64
    z = math.sqrt(-2.0 * math.log(0.999999999999 * u1 + 1e-12)) * math.cos(
        6.283185307179586 * (0.999999999999 * u2 + 1e-12)
    )
    dt = TAU / 10
    drift = ((R - Q) - (0.5 * SIGMA) * SIGMA) * dt
    p = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, 10, 8)
    assert p[0, 1] == math.exp(drift + z * (math.sqrt(dt) * SIGMA)) * S0
    assert p[4, 1] == math.exp(drift - z * (math.sqrt(dt) * SIGMA)) * S0


@pytest.mark.parametrize(
    "steps, paths, shape",
    [
        (3, 3, (2, 4)),
        (3, 2, (2, 4)),
        (3, 1, (2, 4)),
        (3, 0, (2, 4)),
        (3, -5, (2, 4)),
        (3, 4, (4, 4)),
        (3, 5, (4, 4)),
        (3, 7, (6, 4)),
        (0, 4, (4, 2)),
        (-7, 4, (4, 2)),
    ],
)
def test_path_count_clamps(steps, paths, shape):
    p = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, steps, paths)
    assert p.shape == shape and p.dtype == np.float64 and p.flags.c_contiguous
    assert np.all(p[:, 0] == S0)


def test_antithetic_rows_take_opposite_shocks():
    steps, p = 12, K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, 12, 40, seed=3)
    drift = ((R - Q) - (0.5 * SIGMA) * SIGMA) * (TAU / steps)
    expected = S0**2 * np.exp(2.0 * drift * np.arange(steps + 1))
    np.testing.assert_allclose(
        p[:20] * p[20:], np.broadcast_to(expected, (20, steps + 1)), rtol=1e-13
    )


@pytest.mark.parametrize(
    "steps, paths", [(3, 6), (4, 6), (1, 2)]
)  # pairs * steps: 9 and 1 odd, 12 even
def test_seed_alone_determines_paths(steps, paths):
    first = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, steps, paths, 11)
    K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, 3, 2, 99)  # leaves an odd number of normals behind
    np.testing.assert_array_equal(
        K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, steps, paths, 11), first
    )
    on_thread = []
    t = threading.Thread(
        target=lambda: on_thread.append(
            K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, steps, paths, 11)
        )
    )
    t.start()
    t.join()
    np.testing.assert_array_equal(on_thread[0], first)


def test_degenerate_horizons_and_seed_range():
    assert np.all(K.gbm_paths_antithetic(S0, R, Q, SIGMA, 0.0, 5, 4) == S0)
    assert np.all(np.isnan(K.gbm_paths_antithetic(S0, R, Q, SIGMA, -1.0, 5, 4)[:, 1:]))
    for seed in (-1, 2**32):
        with pytest.raises(TypeError):
            K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, 5, 4, seed)


def test_impossible_sizes_raise_memory_error():
    for steps, paths in ((2**31 - 1, 2**31 - 1), (2**28, 2**20)):
        with pytest.raises(MemoryError):
            K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, steps, paths)
    small = np.full((4, 3), 90.0)
    for degree in (2**31 - 1, 2**20):
        with pytest.raises(MemoryError):
            K.lsm_backward(small, 100.0, R, TAU, 0, degree)


def put_value(s, k=100.0):
    return np.maximum(k - s, 0.0)


def test_lsm_backward_result_layout_and_defaults():
    p = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, 6, 200, 5)
    res = K.lsm_backward(p, 100.0, R, TAU, 0)
    assert list(res) == ["price", "exercise_time", "coefficients"] and isinstance(
        res["price"], float
    )
    assert res["exercise_time"].dtype == np.int32 and res["exercise_time"].shape == (200,)
    assert res["coefficients"].dtype == np.float64 and res["coefficients"].shape == (7, 4)
    assert not res["coefficients"][[0, 6]].any()
    assert K.lsm_backward(p, 100.0, R, TAU, 0, degree=3)["price"] == res["price"]
    assert K.lsm_backward(np.asfortranarray(p), 100.0, R, TAU, -1)["price"] == res["price"]
    assert (
        K.lsm_backward(p, 100.0, R, TAU, 5)["price"] == K.lsm_backward(p, 100.0, R, TAU, 1)["price"]
    )
    assert K.lsm_backward(p, 100.0, R, TAU, 0, -2)["coefficients"].shape == (7, 1)


@pytest.mark.parametrize("m", [1, 2])
def test_no_exercise_dates(m):
    p = np.array([[95.0, 90.0], [100.0, 104.0], [105.0, 99.5]])[:, :m]
    expected = put_value(p[:, -1]).mean() * math.exp(-R * TAU)
    fit = K.lsm_backward(p, 100.0, R, TAU, 0)
    ev = K.lsm_eval_policy(p, 100.0, R, TAU, 0, np.zeros((m, 4)))
    for res in (fit, ev):
        assert res["price"] == pytest.approx(expected, rel=1e-15)
        np.testing.assert_array_equal(res["exercise_time"], [m - 1] * 3)
    np.testing.assert_array_equal(fit["coefficients"], np.zeros((m, 4)))


@pytest.mark.parametrize("m", [0, 1, 5])
def test_no_paths(m):
    fit = K.lsm_backward(np.empty((0, m)), 100.0, R, TAU, 0)
    assert fit["price"] == 0.0 and fit["exercise_time"].shape == (0,)
    np.testing.assert_array_equal(fit["coefficients"], np.zeros((m, 4)))
    ev = K.lsm_eval_policy(np.empty((0, m)), 100.0, R, TAU, 0, np.zeros((max(m - 1, 0), 4)))
    assert (
        ev["price"] == 0.0
        and ev["exercise_time"].dtype == np.int32
        and ev["exercise_time"].shape == (0,)
    )


def test_tie_does_not_exercise():
    # One path, degree 0, r = 0: the policy at date 1 is 50 / (1 + 1e-10). Prices and
    # exercise values near 50 share a binade, so the date-1 price can make the exercise
    # value equal that estimate exactly.
    beta = 50.0 / (1.0 + 1e-10)
    s1 = 100.0 - beta
    assert 100.0 - s1 == beta
    tie = np.array([[100.0, s1, 50.0]])
    fit = K.lsm_backward(tie, 100.0, 0.0, TAU, 0, 0)
    assert fit["coefficients"][1, 0] == beta and fit["exercise_time"][0] == 2
    assert K.lsm_eval_policy(tie, 100.0, 0.0, TAU, 0, fit["coefficients"])["exercise_time"][0] == 2
    above = np.array([[100.0, np.nextafter(s1, 0.0), 50.0]])
    assert K.lsm_backward(above, 100.0, 0.0, TAU, 0, 0)["exercise_time"][0] == 1
    assert (
        K.lsm_eval_policy(above, 100.0, 0.0, TAU, 0, fit["coefficients"])["exercise_time"][0] == 1
    )


@pytest.mark.parametrize("nb", [0, 4])
def test_zero_policy_exercises_at_first_in_the_money_date(nb):
    p = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, 8, 300, 21)
    m, dt = 9, TAU / 8
    res = K.lsm_eval_policy(p, 100.0, R, TAU, 0, np.zeros((m, nb)))
    itm = put_value(p[:, 1 : m - 1]) > 0
    first = np.where(itm.any(axis=1), itm.argmax(axis=1) + 1, m - 1)
    np.testing.assert_array_equal(res["exercise_time"], first)
    value = put_value(p[np.arange(300), first]) * np.exp((-R * dt) * first)
    assert res["price"] == pytest.approx(value.mean(), rel=1e-13)


def test_policy_on_training_paths_reproduces_fit():
    p = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, 25, 4000, 8)
    for kind in (0, 1):
        fit = K.lsm_backward(p, 100.0, R, TAU, kind)
        ev = K.lsm_eval_policy(p, 100.0, R, TAU, kind, fit["coefficients"])
        np.testing.assert_array_equal(ev["exercise_time"], fit["exercise_time"])
        assert ev["price"] == pytest.approx(fit["price"], rel=1e-12)


@pytest.mark.parametrize("degree", [-2, 1, 3, 9])
def test_regression_matches_numpy_normal_equations(degree):
    # Date m-2 regresses the last cash flows, discounted once. Degree 9 takes the
    # general-size path of the sums; its system is too ill-conditioned to compare
    # coefficients, so the fitted continuation values are compared instead.
    steps, strike = 10, 100.0
    p = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, steps, 2000, 4)
    nb = max(degree, 0) + 1
    beta = K.lsm_backward(p, strike, R, TAU, 0, degree)["coefficients"][steps - 1]
    s = p[:, steps - 1]
    itm = put_value(s) > 0
    x = np.log(s[itm] / strike)
    X = np.vander(x, nb, increasing=True)
    y = put_value(p[itm, steps]) * math.exp((TAU / steps) * -R)
    expected = np.linalg.solve(X.T @ X + 1e-10 * np.eye(nb), X.T @ y)
    if degree <= 3:
        np.testing.assert_allclose(beta, expected, rtol=1e-8)
    np.testing.assert_allclose(X @ beta, X @ expected, rtol=0, atol=1e-6)


def test_american_put_against_fine_lattice():
    lattice = K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=2000)["price"]
    train = K.gbm_paths_antithetic(100.0, 0.05, 0.0, 0.2, 1.0, 50, 40000, 1)
    fresh = K.gbm_paths_antithetic(100.0, 0.05, 0.0, 0.2, 1.0, 50, 40000, 2)
    fit = K.lsm_backward(train, 100.0, 0.05, 1.0, 0)
    ev = K.lsm_eval_policy(fresh, 100.0, 0.05, 1.0, 0, fit["coefficients"])
    # Standard error from the antithetic pair means of the out-of-sample cash flows.
    t = ev["exercise_time"]
    cash = put_value(fresh[np.arange(40000), t]) * np.exp(-0.05 * t / 50)
    se = ((cash[:20000] + cash[20000:]) / 2).std(ddof=1) / math.sqrt(20000)
    assert ev["price"] == pytest.approx(cash.mean(), rel=1e-12)
    # 4 standard errors, plus 0.02 for exercising at 50 dates instead of continuously.
    for price in (fit["price"], ev["price"]):
        assert abs(price - lattice) < 4 * se + 0.02


PATHS_2D = "paths must be a 2D array"
BOTH_2D = "paths and coefficients must be 2D arrays"
NO_COLUMN = "paths must have at least one column"
ROWS = "coefficients must have a row for every exercise date"
GOOD = np.full((2, 5), 95.0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: K.lsm_backward([90.0, 95.0], 100.0, R, TAU, 0), PATHS_2D),
        (lambda: K.lsm_backward(np.ones((2, 2, 2)), 100.0, R, TAU, 0), PATHS_2D),
        (lambda: K.lsm_backward(np.ones((3, 0)), 100.0, R, TAU, 0), NO_COLUMN),
        (lambda: K.lsm_eval_policy(GOOD, 100.0, R, TAU, 0, np.zeros(4)), BOTH_2D),
        (lambda: K.lsm_eval_policy(GOOD[0], 100.0, R, TAU, 0, np.zeros((5, 4))), BOTH_2D),
        (lambda: K.lsm_eval_policy(np.ones((3, 0)), 100.0, R, TAU, 0, np.zeros(4)), BOTH_2D),
        (lambda: K.lsm_eval_policy(np.ones((3, 0)), 100.0, R, TAU, 0, np.zeros((2, 4))), NO_COLUMN),
        (lambda: K.lsm_eval_policy(GOOD, 100.0, R, TAU, 0, np.zeros((3, 4))), ROWS),
        (lambda: K.lsm_eval_policy(np.ones((0, 5)), 100.0, R, TAU, 0, np.zeros((3, 4))), ROWS),
        (lambda: K.lsm_eval_policy(GOOD[:, :3], 100.0, R, TAU, 0, np.zeros((1, 4))), ROWS),
    ],
)
def test_messages(call, message):
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        call()


def test_policy_row_count_boundaries():
    # m - 1 rows cover dates 1 .. m-2; rows 0 and m-1 are never read.
    assert K.lsm_eval_policy(GOOD, 100.0, R, TAU, 0, np.zeros((4, 4)))[
        "exercise_time"
    ].tolist() == [1, 1]
    assert K.lsm_eval_policy(GOOD[:, :2], 100.0, R, TAU, 0, np.zeros((0, 4)))[
        "exercise_time"
    ].tolist() == [1, 1]


def reference_lsm(paths, strike, r, tau, call, degree):
    """The backward pass written out in Python floats, operation by operation:
    full normal matrix, ridge, Gauss-Jordan with partial pivoting and the 1e-12
    pass-over, strict exercise test, discounting by repeated multiplication."""
    n, m = paths.shape
    nb = max(degree, 0) + 1
    disc = math.exp((tau / (m - 1 if m >= 2 else 1)) * (-r))
    rows = paths.tolist()

    def value(s):
        x = s - strike if call else strike - s
        return 0.0 if x < 0 else x

    def basis(s):
        phi = [1.0]
        for _ in range(1, nb):
            phi.append(phi[-1] * math.log(max(s, 1e-300) / strike))
        return phi

    cf = [value(row[m - 1]) for row in rows]
    ex = [m - 1] * n
    coef = [[0.0] * nb for _ in range(m)]
    for t in range(m - 2, 0, -1):
        cf = [c * disc for c in cf]
        A = [[0.0] * nb for _ in range(nb)]
        b = [0.0] * nb
        count = 0
        for i, row in enumerate(rows):
            if not value(row[t]) > 0.0:
                continue
            count += 1
            phi = basis(row[t])
            for k in range(nb):
                b[k] = b[k] + phi[k] * cf[i]
                for l in range(nb):
                    A[k][l] = A[k][l] + phi[k] * phi[l]
        y = [0.0] * nb
        if count >= nb:
            M = [[A[k][l] + (1e-10 if k == l else 0.0) for l in range(nb)] for k in range(nb)]
            y = list(b)
            for c in range(nb):
                p, best = c, abs(M[c][c])
                for i in range(c + 1, nb):
                    if abs(M[i][c]) > best:
                        p, best = i, abs(M[i][c])
                if best < 1e-12:
                    continue
                M[c], M[p], y[c], y[p] = M[p], M[c], y[p], y[c]
                piv = M[c][c]
                M[c] = M[c][:c] + [v / piv for v in M[c][c:]]
                y[c] = y[c] / piv
                for i in range(nb):
                    if i != c:
                        f = M[i][c]
                        M[i] = M[i][:c] + [M[i][j] - M[c][j] * f for j in range(c, nb)]
                        y[i] = y[i] - f * y[c]
        coef[t] = y
        for i, row in enumerate(rows):
            h = value(row[t])
            if not h > 0.0:
                continue
            est, w, x = 0.0, 1.0, math.log(max(row[t], 1e-300) / strike)
            for k in range(nb):
                est = est + y[k] * w
                w = w * x
            if h > est:
                cf[i], ex[i] = h, t
    total = 0.0
    for c in cf:
        total = total + c * disc
    return total / max(n, 1), ex, coef


@pytest.mark.parametrize("degree", [-1, 2, 3, 5, 10])
@pytest.mark.parametrize("call", [False, True])
def test_backward_pass_matches_written_out_reference_bit_for_bit(degree, call):
    p = K.gbm_paths_antithetic(S0, R, Q, 0.3, TAU, 6, 300, 13)
    p[:40, 3] = 97.0  # in the money at one price only: a nearly singular system at date 3
    p[40:45, 2] = 0.0  # prices at the floor of the regression variable
    price, ex, coef = reference_lsm(p, 100.0, R, TAU, call, degree)
    fit = K.lsm_backward(p, 100.0, R, TAU, int(call), degree)
    assert fit["price"] == price
    np.testing.assert_array_equal(fit["exercise_time"], ex)
    np.testing.assert_array_equal(fit["coefficients"], coef)


def digest(*arrays):
    import hashlib

    return hashlib.sha256(b"".join(np.ascontiguousarray(a).tobytes() for a in arrays)).hexdigest()[
        :16
    ]


def test_previous_implementation_bits():
    # Digests from the step-by-step implementation these kernels replaced: 2050 paths of
    # 37 steps (37925 normals), the fitted policies and their evaluation on fresh paths.
    p = K.gbm_paths_antithetic(100.0, 0.05, 0.02, 0.2, 1.0, 37, 2051, 99)
    fresh = K.gbm_paths_antithetic(100.0, 0.05, 0.02, 0.2, 1.0, 37, 2051, 100)
    assert digest(p) == "ce098a5b29008c5a"
    for kind, expected in ((0, "171b1d8771b94769"), (1, "90d9a985b1c5d36a")):
        fit = K.lsm_backward(p, 100.0, 0.05, 1.0, kind, 3)
        ev = K.lsm_eval_policy(fresh, 100.0, 0.05, 1.0, kind, fit["coefficients"])
        got = digest(
            np.array([fit["price"], ev["price"]]),
            fit["exercise_time"],
            fit["coefficients"],
            ev["exercise_time"],
        )
        assert got == expected


@pytest.mark.parametrize("kind", [0, 1])
@pytest.mark.parametrize(
    "strike, r, tau", [(NAN, 0.05, 1.0), (100.0, NAN, 1.0), (100.0, 0.05, NAN)]
)
def test_undefined_inputs_give_nan_prices(strike, r, tau, kind):
    p = K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, 10, 200, 3)
    policy = K.lsm_backward(p, 100.0, R, TAU, kind)["coefficients"]
    assert math.isnan(K.lsm_backward(p, strike, r, tau, kind)["price"])
    assert math.isnan(K.lsm_eval_policy(p, strike, r, tau, kind, policy)["price"])


@pytest.mark.parametrize("index", range(5))
def test_undefined_path_inputs_give_nan_paths(index):
    args = [S0, R, Q, SIGMA, TAU]
    args[index] = NAN
    assert np.isnan(K.gbm_paths_antithetic(*args, 4, 4)[:, 1:]).all()
