"""Binomial lattice pricers: the single option with its boundary and the batch."""

import math
import threading
import time

import numpy as np
import pytest

from orvelta import _kernels as K
from references import black_scholes

NAN = float("nan")


def tree_parameters(tree_type, r, q, sigma, dt):
    """Independent transcription of the lattice factors in Python floats."""
    a = math.exp((r - q) * dt)
    u = d = None
    if tree_type == 1:
        v = math.exp(sigma * sigma * dt) if sigma * sigma * dt < 709 else math.inf
        w = max(v * v + 2 * v - 3, 0.0) if math.isfinite(v) else math.inf
        h = a * 0.5 * v
        root = math.sqrt(w)
        u, d = (v + 1 + root) * h, (v + 1 - root) * h
        if not (u > d > 0 and math.isfinite(u) and math.isfinite(d)):
            u = None
    if u is None:
        u = math.exp(sigma * math.sqrt(dt))
        d = 1 / u
    p = (a - d) / (u - d) if u != d else math.copysign(math.inf, a - d) if a != d else NAN
    if p < 1e-10:
        p = 1e-10
    elif p > 0.9999999999:
        p = 0.9999999999
    return u, d, p


def reference_tree(s, k, r, q, sigma, tau, call, n, tree_type, american):
    """Backward induction written out node by node, with the boundary."""
    pay = (lambda x: x - k) if call else (lambda x: k - x)
    pos = lambda x: 0.0 if x < 0 else x  # noqa: E731
    dt = tau / n
    u, d, p = tree_parameters(tree_type, r, q, sigma, dt)
    disc, ratio, logd = math.exp(-r * dt), u / d, math.log(d)
    V, S = [], s * math.exp(n * logd)
    for _ in range(n + 1):
        V.append(pos(pay(S)))
        S *= ratio
    boundary = [NAN] * (n + 1)
    boundary[n] = k
    for F in range(n - 1, -1, -1):
        S, cand = s * math.exp(F * logd), NAN
        for j in range(F + 1):
            cont = (p * V[j + 1] + (1.0 - p) * V[j]) * disc
            if american:
                ex = pos(pay(S))
                V[j] = cont if cont > ex else ex
                if ex > cont + 1e-10:
                    cand = (
                        S if not math.isfinite(cand) else (min(S, cand) if call else max(S, cand))
                    )
            else:
                V[j] = cont
            S *= ratio
        boundary[F] = cand
    return V[0], boundary


CASES = [
    # s, k, r, q, sigma, tau
    (100.0, 100.0, 0.05, 0.0, 0.2, 1.0),
    (90.0, 110.0, 0.03, 0.04, 0.35, 0.75),
    (120.0, 95.0, 0.08, 0.01, 0.15, 2.0),
    (100.0, 100.0, 1.0, 0.0, 0.01, 1.0),  # drift above the up factor: p clamped high
    (100.0, 100.0, -1.0, 0.0, 0.01, 1.0),  # drift below the down factor: p clamped low
    (50.0, 60.0, 0.02, 0.0, 150.0, 1.0),  # Tian factors overflow: CRR fallback
    (50.0, 60.0, 0.02, 0.0, 30.0, 1.0),  # Tian down factor cancels to zero or below: CRR fallback
]


class TestSingleOption:
    @pytest.mark.parametrize("case", CASES)
    @pytest.mark.parametrize("tree_type", [0, 1])
    @pytest.mark.parametrize("call", [False, True])
    @pytest.mark.parametrize("american", [True, False])
    def test_matches_node_by_node_reference_bit_for_bit(self, case, tree_type, call, american):
        n = 24
        price, boundary = reference_tree(*case, call, n, tree_type, american)
        res = K.american_tree_boundary(*case, int(call), n, tree_type, american)
        assert res["price"] == price or (math.isnan(price) and math.isnan(res["price"]))
        np.testing.assert_array_equal(res["boundary"], boundary)
        np.testing.assert_array_equal(res["times"], [(j * case[5]) / n for j in range(n + 1)])

    def test_reference_values(self):
        base = (100.0, 100.0, 0.05, 0.0, 0.2, 1.0)
        put = K.american_tree_boundary(*base, 0)
        call = K.american_tree_boundary(*base, 1)
        assert put["price"] == pytest.approx(6.0864, abs=5e-5)
        assert call["price"] == pytest.approx(10.4406, abs=5e-5)
        assert call["price"] == K.american_tree_boundary(*base, 1, american=False)["price"]
        b = put["boundary"]
        assert list(put) == ["times", "boundary", "price"]
        assert len(b) == 201 and np.isnan(b[:15]).all()
        assert (b[15:200] < 100.0).all() and b[200] == 100.0
        assert np.isnan(call["boundary"][:200]).all()
        assert K.american_tree_boundary(*base, 0, tree_type=1)["price"] == pytest.approx(
            6.0882, abs=5e-5
        )
        assert K.american_tree_boundary(*base, 1, tree_type=1)["price"] == pytest.approx(
            10.4510, abs=5e-5
        )

    @pytest.mark.parametrize("call", [0, 1])
    @pytest.mark.parametrize("tree_type", [0, 1])
    def test_european_converges_to_black_scholes(self, call, tree_type):
        args = (100.0, 105.0, 0.05, 0.02, 0.25, 1.0)
        price = K.american_tree_boundary(*args, call, 2000, tree_type, False)["price"]
        assert price == pytest.approx(black_scholes(*args, call), abs=2e-3)

    def test_european_boundary_is_nan_but_at_expiry(self):
        b = K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 50, 0, False)["boundary"]
        assert np.isnan(b[:-1]).all() and b[-1] == 100.0

    def test_put_boundary_below_strike_with_positive_rate(self):
        b = K.american_tree_boundary(90.0, 100.0, 0.06, 0.01, 0.3, 2.0, 0, 300)["boundary"]
        exercised = b[:-1][~np.isnan(b[:-1])]
        assert len(exercised) > 250 and (exercised < 100.0).all()

    @pytest.mark.parametrize("steps", [0, 1, 2, -7])
    def test_at_least_two_steps(self, steps):
        res = K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.5, 0, steps)
        np.testing.assert_array_equal(res["times"], [0.0, 0.75, 1.5])
        assert (
            res["price"]
            == K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.5, 0, 2)["price"]
        )

    @pytest.mark.parametrize(
        "s, k, sigma, tau, option_type, price",
        [
            (0.0, 100.0, 0.2, 1.0, 0, 100.0),
            (100.0, -5.0, 0.2, 1.0, 1, 105.0),
            (100.0, 90.0, 0.0, 1.0, 1, 10.0),
            (100.0, 90.0, 0.2, 0.0, 0, 0.0),
            (80.0, 90.0, -0.2, 1.0, 0, 10.0),
            (NAN, 90.0, 0.2, 1.0, 0, NAN),
        ],
    )
    def test_invalid_inputs_give_intrinsic_value_and_no_boundary(
        self, s, k, sigma, tau, option_type, price
    ):
        res = K.american_tree_boundary(s, k, 0.05, 0.0, sigma, tau, option_type, 10)
        assert res["price"] == price or (math.isnan(price) and math.isnan(res["price"]))
        assert np.isnan(res["boundary"]).all() and len(res["boundary"]) == 11

    def test_nan_tau_runs_through(self):
        res = K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, NAN, 0, 10)
        assert math.isnan(res["price"]) and np.isnan(res["times"][1:]).all()

    @pytest.mark.parametrize("kind, same_as", [(2, 1), (100, 1), (-1, 0), (-100, 0)])
    def test_option_type_sign_selects_call_or_put(self, kind, same_as):
        args = (100.0, 95.0, 0.05, 0.01, 0.2, 1.0)
        assert (
            K.american_tree_boundary(*args, kind, 40)["price"]
            == K.american_tree_boundary(*args, same_as, 40)["price"]
        )

    @pytest.mark.parametrize("sigma", [30.0, 50.0, 150.0])
    def test_unusable_tian_factors_fall_back_to_crr(self, sigma):
        args = (50.0, 60.0, 0.02, 0.0, sigma, 1.0, 0, 24)
        tian = K.american_tree_boundary(*args, 1)["price"]
        assert tian == K.american_tree_boundary(*args, 0)["price"] and 50.0 < tian < 60.0

    def test_tian_and_crr_differ(self):
        args = (100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 100)
        assert (
            K.american_tree_boundary(*args, 0)["price"]
            != K.american_tree_boundary(*args, 1)["price"]
        )
        for other in (2, -1, 7):
            assert (
                K.american_tree_boundary(*args, other)["price"]
                == K.american_tree_boundary(*args, 0)["price"]
            )


def random_book(n, seed=11):
    rng = np.random.default_rng(seed)
    return dict(
        s=rng.uniform(50, 150, n),
        k=rng.uniform(50, 150, n),
        r=rng.uniform(-0.01, 0.1, n),
        q=rng.uniform(0, 0.08, n),
        sigma=rng.uniform(0.05, 0.8, n),
        tau=rng.uniform(0.05, 3.0, n),
        option_type=rng.integers(-2, 3, n).astype(np.int32),
    )


class TestBatch:
    @pytest.mark.parametrize("tree_type", [0, 1])
    @pytest.mark.parametrize("american", [True, False])
    def test_equals_single_pricer_bit_for_bit(self, tree_type, american):
        book = random_book(300, seed=tree_type + 2 * american)
        steps = 60
        prices = K.american_tree_batch(**book, steps=steps, tree_type=tree_type, american=american)
        single = [
            K.american_tree_boundary(
                *(book[key][i] for key in ("s", "k", "r", "q", "sigma", "tau")),
                int(book["option_type"][i]),
                steps,
                tree_type,
                american,
            )["price"]
            for i in range(300)
        ]
        np.testing.assert_array_equal(prices, single)

    def test_invalid_entries(self):
        s = [0.0, -1.0, NAN, 100.0, 100.0, 100.0, 100.0, 100.0, 100.0]
        k = [100.0, 100.0, 100.0, -5.0, NAN, 90.0, 90.0, 110.0, 90.0]
        sigma = [0.2, 0.2, 0.2, 0.2, 0.2, 0.0, 0.2, 0.2, NAN]
        tau = [1.0, 1.0, 1.0, 1.0, 1.0, 1.0, -1.0, 0.0, 1.0]
        n = len(s)
        out = K.american_tree_batch(
            s, k, [0.05] * n, [0.0] * n, sigma, tau, [0, 0, 0, 1, 1, 1, 1, -3, 0]
        )
        np.testing.assert_array_equal(out, [NAN, NAN, NAN, NAN, NAN, 10.0, 10.0, 10.0, NAN])

    @pytest.mark.parametrize("steps", [1, 0, -5])
    def test_fewer_than_two_steps_give_intrinsic_values(self, steps):
        out = K.american_tree_batch(
            [100.0, 100.0],
            [90.0, 90.0],
            [0.05] * 2,
            [0.0] * 2,
            [0.2] * 2,
            [1.0] * 2,
            [1, 0],
            steps=steps,
        )
        np.testing.assert_array_equal(out, [10.0, 0.0])

    def test_independent_of_thread_count(self, run_python):
        code = """
            import hashlib, numpy as np
            from orvelta import _kernels as K
            rng = np.random.default_rng(5)
            n = 5000
            args = [rng.uniform(50, 150, n), rng.uniform(50, 150, n), rng.uniform(0, 0.1, n),
                    rng.uniform(0, 0.05, n), rng.uniform(0.05, 0.6, n), rng.uniform(0.1, 2, n),
                    rng.integers(0, 2, n).astype(np.int32)]
            args[0][::97] = 0.0  # cheap NaN entries make the chunks uneven
            out = K.american_tree_batch(*args, steps=50)
            print(hashlib.sha256(out.tobytes()).hexdigest())
        """
        digests = {run_python(code, env={"OMP_NUM_THREADS": str(t)}) for t in (1, 2, 3)}
        assert len(digests) == 1

    def test_lock_released_while_pricing(self):
        book = random_book(4000, seed=1)
        window = {}

        def worker():
            window["start"] = time.perf_counter()
            K.american_tree_batch(**book, steps=400)
            window["end"] = time.perf_counter()

        ticks = []
        t = threading.Thread(target=worker)
        t.start()
        while t.is_alive():
            ticks.append(time.perf_counter())
        t.join()
        inside = [x for x in ticks if window["start"] < x < window["end"]]
        # With the lock held for the whole call, this thread could not run inside it.
        assert len(inside) > 1000

    def test_allocation_failure_raises_memory_error(self, run_python):
        code = """
            import resource
            from orvelta import _kernels as K
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            with open('/proc/self/status') as f:
                vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith('VmSize'))
            resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), hard))
            try:
                K.american_tree_batch([100.0] * 300, [100.0] * 300, [0.05] * 300, [0.0] * 300,
                                      [0.2] * 300, [1.0] * 300, [0] * 300, steps=2**31 - 1)
            except MemoryError:
                print("batch MemoryError")
            try:
                K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=2**31 - 1)
            except MemoryError:
                print("single MemoryError")
            print(K.american_tree_batch([100.0], [100.0], [0.05], [0.0], [0.2], [1.0], [0], steps=100)[0] > 0)
        """
        assert run_python(code).split("\n")[:3] == [
            "batch MemoryError",
            "single MemoryError",
            "True",
        ]


NAMES = {"baseline", "avx2", "avx512"}


@pytest.fixture
def restore_isa():
    yield
    K._isa("auto")


class TestBuilds:
    def test_selector(self, restore_isa):
        runnable = K._isas()
        assert runnable[0] == "baseline" and set(runnable) <= NAMES
        best = K._isa()
        assert best == runnable[-1]
        for name in runnable:
            assert K._isa(name) == name and K._isa() == name
        assert K._isa("auto") == best
        with pytest.raises(ValueError, match="^unknown instruction-set build: sse9$"):
            K._isa("sse9")
        assert K._isa() == best
        for name in NAMES - set(runnable):
            with pytest.raises(ValueError, match=f"^this processor cannot run the build {name}$"):
                K._isa(name)

    @pytest.mark.parametrize("threads", [1, 2, 3])
    def test_every_build_and_thread_count_gives_the_single_pricer_bits(self, run_python, threads):
        # Mixed groups: calls and puts with every option-type sign, inputs (and so dt, u, d,
        # p, disc) differing per option, every length 1 .. 17 (short and partial groups of
        # 8 and 4 lanes), and a longer batch with invalid entries spread over several
        # blocks of the parallel loop.
        code = """
            import hashlib, numpy as np
            from orvelta import _kernels as K
            rng = np.random.default_rng(17)
            n = 300
            cols = [rng.uniform(50, 150, n), rng.uniform(50, 150, n), rng.uniform(-0.02, 0.1, n),
                    rng.uniform(0, 0.08, n), rng.uniform(0.05, 0.9, n), rng.uniform(0.02, 3.0, n),
                    rng.integers(-3, 4, n).astype(np.int32)]
            cols[0][::37] = 0.0
            cols[4][5::41] = -0.1
            cols[2][7::43] = np.nan
            digest = hashlib.sha256()
            for isa in K._isas():
                K._isa(isa)
                for steps, tree_type, american in [(2, 0, True), (9, 1, True), (33, 0, False), (64, 1, False), (64, 0, True)]:
                    kw = dict(steps=steps, tree_type=tree_type, american=american)
                    whole = K.american_tree_batch(*cols, **kw)
                    single = np.array([K.american_tree_boundary(*(c[i] for c in cols[:6]), int(cols[6][i]), **kw)["price"]
                                       for i in range(n)])
                    valid = (cols[0] > 0) & (cols[4] > 0)
                    assert np.isnan(whole[~valid]).sum() == (cols[0] <= 0).sum()
                    assert whole[valid].tobytes() == single[valid].tobytes(), (isa, kw)
                    for length in range(1, 18):
                        part = K.american_tree_batch(*(c[length:2 * length] for c in cols), **kw)
                        assert part.tobytes() == whole[length:2 * length].tobytes(), (isa, kw, length)
                    b = K.american_tree_boundary(95.0, 100.0, 0.05, 0.01, 0.3, 1.5, 0, steps, tree_type, american)
                    digest.update(whole.tobytes() + b["boundary"].tobytes())
                print(isa, digest.hexdigest())
                digest = hashlib.sha256()
        """
        lines = run_python(code, env={"OMP_NUM_THREADS": str(threads)}).split()
        digests = dict(zip(lines[::2], lines[1::2]))
        assert len(set(digests.values())) == 1, digests

    def test_previous_implementation_bits(self):
        # Digest of prices and a boundary from the scalar implementation these kernels replaced.
        import hashlib

        b = list(random_book(203, seed=3).values())
        batch = np.concatenate(
            [
                K.american_tree_batch(*b, steps=77),
                K.american_tree_batch(*b, steps=77, tree_type=1, american=False),
            ]
        )
        r = K.american_tree_boundary(95.0, 100.0, 0.05, 0.01, 0.3, 1.5, 0, 301)
        assert hashlib.sha256(batch.tobytes()).hexdigest()[:16] == "68b6c330bbf27f68"
        single = np.array([r["price"]]).tobytes() + r["boundary"].tobytes() + r["times"].tobytes()
        assert hashlib.sha256(single).hexdigest()[:16] == "e77931b6ca15618b"


INF = float("inf")
BASE = dict(s=100.0, k=110.0, r=0.05, q=0.01, sigma=0.25, tau=1.0)  # put intrinsic 10, worth more


def both_prices(option_type, american=True, **change):
    a = dict(BASE, **change)
    single = K.american_tree_boundary(*a.values(), option_type, 40, 0, american)
    batch = K.american_tree_batch(
        *([x] for x in a.values()), [option_type], steps=40, american=american
    )[0]
    return single, batch


class TestUndefinedInputs:
    @pytest.mark.parametrize("american", [True, False])
    @pytest.mark.parametrize("option_type", [0, 1])
    @pytest.mark.parametrize(
        "change",
        [
            dict(s=NAN),
            dict(k=NAN),
            dict(r=NAN),
            dict(q=NAN),
            dict(sigma=NAN),
            dict(tau=NAN),
            dict(r=INF),
            dict(r=-INF),
            dict(q=INF),
            dict(q=-INF),
            dict(sigma=INF),
            dict(tau=INF),
            dict(s=0.0, r=NAN),
            dict(tau=0.0, q=NAN),
        ],
    )
    def test_give_nan(self, change, option_type, american):
        single, batch = both_prices(option_type, american, **change)
        assert math.isnan(single["price"]) and math.isnan(batch)
        assert np.isnan(single["boundary"][:-1]).all()

    def test_nan_rate_no_longer_falls_through_to_exercise(self):
        assert both_prices(0)[0]["price"] > 10.5
        single, batch = both_prices(0, r=NAN)
        assert math.isnan(single["price"]) and math.isnan(batch)

    @pytest.mark.parametrize(
        "option_type, change, price",
        [
            (1, dict(s=INF), INF),
            (0, dict(s=INF), 0.0),
            (0, dict(k=INF), INF),
            (1, dict(k=INF), 0.0),
            (0, dict(sigma=-INF), 10.0),
            (1, dict(tau=-INF), 0.0),
        ],
    )
    def test_infinite_inputs_give_limits(self, option_type, change, price):
        single, batch = both_prices(option_type, **change)
        assert single["price"] == price and batch == price
