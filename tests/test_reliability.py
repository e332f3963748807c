"""Hostile conditions: fork, Ctrl-C, undefined inputs, bad solver settings, impossible sizes."""

import math
import re

import numpy as np
import pytest

from _helpers import random_book
from orvelta import _kernels as K


def book(n, seed=5, steps=None):
    rng = np.random.default_rng(seed)
    ranges = dict(k=(80, 120), sigma=(0.1, 0.5), tau=(0.1, 2.0))
    return tuple(random_book(rng, n, types=(-1, 2), **ranges).values())


# --- fork -----------------------------------------------------------------------------

# Each scenario runs in its own interpreter with a deadline, so a child that
# hangs fails the test instead of hanging the suite.
FORK_PRELUDE = """
import os, sys, threading, time
import numpy as np
from orvelta import _kernels as K
rng = np.random.default_rng(3)
n = 4096
args = (rng.uniform(60, 140, n), rng.uniform(80, 120, n), rng.uniform(0, .08, n),
        rng.uniform(0, .05, n), rng.uniform(.1, .5, n), rng.uniform(.1, 2, n),
        rng.integers(-1, 2, n).astype(np.int32))
def price(_=None):
    return K.american_tree_batch(*args, steps=60).tobytes()
expected = price()  # the parent's thread team is now up
"""


def test_pool_workers_forked_after_a_parallel_batch_give_the_same_bits(run_python):
    out = run_python(
        FORK_PRELUDE
        + """
import multiprocessing as mp
with mp.get_context("fork").Pool(2) as pool:
    got = pool.map_async(price, range(4)).get(timeout=60)
print(all(g == expected for g in got))
""",
        env={"OMP_NUM_THREADS": "2"},
        timeout=120,
    )
    assert out.split() == ["True"]


def test_fork_while_another_thread_is_inside_a_batch(run_python):
    out = run_python(
        FORK_PRELUDE
        + """
import warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
inside = threading.Event()
stop = False
def busy():
    while not stop:
        inside.set()
        K.american_tree_batch(*args, steps=400)
t = threading.Thread(target=busy)
t.start()
inside.wait()
time.sleep(0.05)
pid = os.fork()
if pid == 0:
    # On the forking thread, and on a thread the child starts itself.
    same = price() == expected
    box = []
    worker = threading.Thread(target=lambda: box.append(price() == expected))
    worker.start()
    worker.join()
    os._exit(0 if same and box == [True] else 3)
deadline = time.monotonic() + 60
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        status = -1
        break
    time.sleep(0.01)
stop = True
t.join()
print(os.waitstatus_to_exitcode(status) if status != -1 else "hung")
""",
        env={"OMP_NUM_THREADS": "2"},
        timeout=120,
    )
    assert out.split() == ["0"]


# --- small batches stay on the calling thread ----------------------------------------------


def test_small_batches_wake_no_thread_team_and_give_the_same_bits(run_python):
    out = run_python(
        """
import os
import numpy as np
from orvelta import _kernels as K
threads = lambda: len(os.listdir("/proc/self/task"))
n = 5000
rng = np.random.default_rng(1)
args = [rng.uniform(80, 120, n), np.full(n, 100.0), np.full(n, 0.05), np.zeros(n),
        np.full(n, 0.25), np.full(n, 1.0), rng.integers(0, 2, n).astype(np.int32)]
before = threads()
small = K.american_tree_batch(*[a[:10] for a in args], steps=50)
after_small = threads()
big = K.american_tree_batch(*args, steps=50)
print(after_small - before, threads() > before, np.array_equal(small, big[:10]))
""",
        env={"OMP_NUM_THREADS": "2"},
    )
    assert out.split() == ["0", "True", "True"]


# --- Ctrl-C ----------------------------------------------------------------------------------

# The call runs in a child interpreter; a second process sends it SIGINT
# after `delay` and prints the monotonic time of the kill (the clock is
# shared by all processes), so the child can measure its answer time.
INTERRUPT_TEMPLATE = """
import os, signal, subprocess, sys, time
import numpy as np
from orvelta import _kernels as K
rng = np.random.default_rng(2)
{setup}
killer = subprocess.Popen(
    [sys.executable, "-c",
     "import os, signal, time; time.sleep({delay}); t = time.monotonic(); "
     "os.kill(%d, signal.SIGINT); print(t)" % os.getpid()],
    stdout=subprocess.PIPE, text=True)
try:
    {call}
    print("finished")
except KeyboardInterrupt:
    caught = time.monotonic()
    print("interrupted", caught - float(killer.communicate()[0]))
killer.wait()
{after}
"""

N_BATCH = 200_000
LONG_CALLS = {
    # Many options, each short: slices of the batch between signal checks.
    "tree_batch_slices": (
        f"n = {N_BATCH}; a = [np.full(n, 100.0), np.full(n, 100.0), np.full(n, 0.05), np.zeros(n), "
        "np.full(n, 0.2), np.full(n, 1.0), np.zeros(n, np.int32)]",
        "K.american_tree_batch(*a, steps=1000)",
    ),
    "pde_psor": (
        "",
        "K.american_pde_psor(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 20000, 2000, tol=0.0, max_iter=1000)",
    ),
    "pde_psor_batch": (
        "n = 20000; b = [np.full(n, 100.0)] * 2 + [np.full(n, 0.05), np.zeros(n), np.full(n, 0.2), "
        "np.full(n, 1.0), np.zeros(n, np.int32)]",
        "K.american_pde_psor_batch(*b)",
    ),
    "fft_prices": ("", "K.fft_prices(3, [], 100.0, 0.05, 0.0, 1.0, n=2**26)"),
    "direct_prices": (
        "",
        "K.direct_prices(3, [], [100.0], [1.0], 100.0, 0.05, 0.0, n_terms=2**31 - 1)",
    ),
    "direct_prices_shared": (
        "k = np.linspace(50, 150, 2000)",
        "K.direct_prices(3, [], k, np.ones_like(k), 100.0, 0.05, 0.0, n_terms=2**31 - 1)",
    ),
    "cos_prices": (
        "",
        "K.cos_prices(3, [], [100.0, 90.0], [1.0, 2.0], 100.0, 0.05, 0.0, n_terms=2**31 - 1)",
    ),
}


def interrupt(run_python, setup, call, after="", delay=0.4, timeout=60):
    code = INTERRUPT_TEMPLATE.format(setup=setup, call=call, after=after, delay=delay)
    return run_python(code, timeout=timeout).split()


@pytest.mark.parametrize("kind", sorted(LONG_CALLS))
def test_long_calls_answer_ctrl_c_promptly(run_python, kind, record_property):
    setup, call = LONG_CALLS[kind]
    out = interrupt(run_python, setup, call)
    assert out[0] == "interrupted"
    latency = float(out[1])
    record_property("sigint_latency_s", latency)
    assert latency < 2.0


# The engines: each task (a maturity's plan, an option) may itself be long.
ENGINE_LONG_CALLS = {
    # A Bates jump series of 10^5 Heston expansions per maturity (about 2 s each);
    # interrupting a batch of them took over a minute before the plans looked
    # for Ctrl-C between their parts.
    "european_jump_series": (
        "import orvelta; k = np.full(64, 100.0); t = np.linspace(5.0, 10.0, 64)",
        "orvelta.european_price(4, [1e-4, 2.0, 1e-4, 1e-3, -0.5, 1e4, 0.3, 1e-3], k, t, 100.0, 0.05, 0.02, 0)",
    ),
    # Heston with its variance stuck near zero: plans of hundreds of thousands of COS terms.
    "european_cos_terms": (
        "import orvelta; k = np.full(200, 100.0); t = np.linspace(4.0, 6.0, 200)",
        "orvelta.european_price(3, [0.01, 0.001, 0.01, 2.3, -0.97], k, t, 100.0, 0.05, 0.0, 0)",
    ),
    "american_batch": (
        "import orvelta; n = 400_000; s = rng.uniform(80, 120, n)",
        "orvelta.american_price(s, 100.0, 0.05, 0.01, 0.3, 2.0, 0, tol=1e-9)",
    ),
    "implied_vol_chain": (
        "from orvelta import _engines as E; n = 4_000_000; p = rng.uniform(1, 20, n); one = np.ones(n)",
        "E.implied_vol(p, 100 * one, 100 * one, 0.05 * one, 0 * one, one, 0 * one)",
    ),
}


@pytest.mark.parametrize("kind", sorted(ENGINE_LONG_CALLS))
def test_engines_answer_ctrl_c_promptly(run_python, kind, record_property):
    setup, call = ENGINE_LONG_CALLS[kind]
    out = interrupt(run_python, setup, call, delay=1.0, timeout=300)
    assert out[0] == "interrupted"
    latency = float(out[1])
    record_property("sigint_latency_s", latency)
    assert latency < 1.5


@pytest.mark.parametrize(
    "call",
    [
        "K.american_tree_batch([100.0], [100.0], [0.05], [0.0], [0.2], [1.0], [0], steps=10**7)",
        "K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=10**7)",
    ],
)
def test_one_huge_lattice_answers_ctrl_c(run_python, call, record_property):
    # Uninterrupted, either call runs for hours. The answer takes 0.1 to 0.7 s on a quiet
    # machine (the first rows and the working storage of 10^7 steps are not cut short);
    # the bound leaves room for a loaded one.
    out = interrupt(run_python, "", call, delay=0.6, timeout=20)
    assert out[0] == "interrupted"
    record_property("sigint_latency_s", float(out[1]))
    assert float(out[1]) < 5.0


SIGACTION_PROBE = """
import ctypes, signal
class Sigaction(ctypes.Structure):
    _fields_ = [("handler", ctypes.c_void_p), ("mask", ctypes.c_ulong * 16),
                ("flags", ctypes.c_int), ("restorer", ctypes.c_void_p)]
libc = ctypes.CDLL(None, use_errno=True)
def sigint_handler():
    act = Sigaction()
    assert libc.sigaction(signal.SIGINT, None, ctypes.byref(act)) == 0
    return act.handler
"""


def test_interrupted_batch_leaves_the_previous_handler_and_a_working_module(run_python):
    setup = (
        SIGACTION_PROBE + "installed = sigint_handler()\n"
        f"n = {N_BATCH}; a = [np.full(n, 100.0), np.full(n, 100.0), np.full(n, 0.05), np.zeros(n), "
        "np.full(n, 0.2), np.full(n, 1.0), np.zeros(n, np.int32)]"
    )
    after = (
        "print(sigint_handler() == installed)\n"
        "small = [x[:300] for x in a]\n"
        "print(np.array_equal(K.american_tree_batch(*small, steps=1000), "
        "K.american_tree_batch(*small[:6], small[6], steps=1000)))\n"
        "print(K.american_tree_batch(*small, steps=1000)[0] == "
        "K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=1000)['price'])"
    )
    out = interrupt(run_python, setup, "K.american_tree_batch(*a, steps=1000)", after)
    assert out[0] == "interrupted" and out[2:] == ["True", "True", "True"]


@pytest.mark.parametrize("handler", ["counting", "ignore"])
def test_a_sigint_that_raises_nothing_leaves_the_batch_complete(run_python, handler):
    # A Python handler that does not raise (or SIGINT ignored): the batch runs
    # to its end, with every option priced as if no signal had come.
    install = (
        "hits = []; signal.signal(signal.SIGINT, lambda *_: hits.append(1))"
        if handler == "counting"
        else "hits = [1]; signal.signal(signal.SIGINT, signal.SIG_IGN)"
    )
    setup = (
        install + "\nn = 3000; a = [rng.uniform(60, 140, n), np.full(n, 100.0), np.full(n, 0.05), "
        "np.zeros(n), rng.uniform(0.1, 0.5, n), np.full(n, 1.0), rng.integers(0, 2, n).astype(np.int32)]\n"
        "expected = K.american_tree_batch(*a, steps=700)"
    )
    out = interrupt(
        run_python,
        setup,
        "got = K.american_tree_batch(*a, steps=700)",
        "print(np.array_equal(got, expected), len(hits))",
        delay=0.3,
    )
    assert out == ["finished", "True", "1"]


def test_sigint_during_batches_on_several_threads(run_python):
    # Two threads in armed batches at once; SIGINT is handled on the main
    # thread, which does not raise. Both batches still give their exact prices
    # (a slice that the signal may have cut short is priced again), and the
    # process's own SIGINT handler is back in place afterwards.
    setup = (
        SIGACTION_PROBE + "import threading\ninstalled = sigint_handler()\n"
        "hits = []; signal.signal(signal.SIGINT, lambda *_: hits.append(1))\n"
        "n = 1200; a = [rng.uniform(60, 140, n), np.full(n, 100.0), np.full(n, 0.05), np.zeros(n), "
        "rng.uniform(0.1, 0.5, n), np.full(n, 1.0), rng.integers(0, 2, n).astype(np.int32)]\n"
        "expected = K.american_tree_batch(*a, steps=700)\n"
        "got = []\n"
        "workers = [threading.Thread(target=lambda: got.append(K.american_tree_batch(*a, steps=700))) "
        "for _ in range(2)]"
    )
    call = "[w.start() for w in workers]; [w.join() for w in workers]"
    after = (
        "print(len(got) == 2 and all(np.array_equal(g, expected) for g in got), len(hits), "
        "sigint_handler() == installed)"
    )
    out = interrupt(run_python, setup, call, after, delay=0.3)
    assert out == ["finished", "True", "1", "True"]


# --- undefined inputs: NaN in, NaN out ------------------------------------------------------

MARKET = dict(s=90.0, k=100.0, r=0.05, q=0.02, sigma=0.3, tau=1.0)


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("name", list(MARKET))
@pytest.mark.parametrize("option_type", [0, 1])
def test_psor_has_no_price_for_a_non_finite_input(name, value, option_type):
    args = dict(MARKET, **{name: value})
    res = K.american_pde_psor(**args, option_type=option_type, s_steps=40, t_steps=8)
    assert math.isnan(res["price"])
    assert np.isnan(res["residuals"]).all()
    assert np.isnan(res["boundary"][:-1]).all()
    np.testing.assert_array_equal(res["boundary"][-1], args["k"])
    assert np.isnan(res["values"][:-1]).all()
    # In a batch only that option is undefined; the others keep their exact prices.
    cols = [np.array([MARKET[key], args[key], MARKET[key]]) for key in MARKET]
    batch = K.american_pde_psor_batch(*cols, np.full(3, option_type, np.int32), 40, 8)
    alone = K.american_pde_psor(
        **MARKET, option_type=option_type, s_steps=40, t_steps=8, max_iter=3000
    )
    np.testing.assert_array_equal(batch["prices"], [alone["price"], math.nan, alone["price"]])
    np.testing.assert_array_equal(batch["residuals"][1], math.nan)


def test_psor_nan_volatility_was_the_intrinsic_value():
    # Before: the NaN relaxed value was projected onto the payoff, so the put
    # came out at its intrinsic value 10 with a zero residual.
    assert math.isnan(K.american_pde_psor(90.0, 100.0, 0.05, 0.0, math.nan, 1.0, 0)["price"])
    assert math.isnan(K.american_pde_psor(90.0, 100.0, 0.05, 0.0, 0.2, math.nan, 0)["price"])


FOURIER_SCALARS = ["s", "r", "q"]


def fourier_calls(
    s=100.0, r=0.05, q=0.02, tau=1.0, strikes=(90.0, 100.0, 110.0), params=(0.2,), model=0
):
    taus = [tau] * len(strikes)
    return {
        "fft": K.fft_prices(model, list(params), s, r, q, tau, n=64)["prices"],
        "direct": K.direct_prices(model, list(params), list(strikes), taus, s, r, q, n_terms=128),
        "cos": K.cos_prices(model, list(params), list(strikes), taus, s, r, q, n_terms=128),
    }


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("name", FOURIER_SCALARS + ["tau", "sigma", "heston_v0", "merton_lambda"])
def test_fourier_pricers_have_no_price_for_a_non_finite_input(name, value):
    if name == "sigma":
        prices = fourier_calls(params=(value,))
    elif name == "heston_v0":
        prices = fourier_calls(params=(value, 2.0, 0.04, 0.6, -0.5), model=3)
    elif name == "merton_lambda":
        prices = fourier_calls(params=(0.2, value), model=1)
    else:
        prices = fourier_calls(**{name: value})
    for method, p in prices.items():
        assert np.isnan(p).all(), method


@pytest.mark.parametrize("pricer", [K.direct_prices, K.cos_prices])
@pytest.mark.parametrize("bad", ["strike", "tau"])
def test_one_undefined_option_leaves_the_others_priced(pricer, bad):
    strikes, taus = [90.0, 100.0, 110.0], [1.0, 1.0, 1.0]
    (strikes if bad == "strike" else taus)[1] = math.nan
    got = pricer(3, [], strikes, taus, 100.0, 0.05, 0.02)
    assert math.isnan(got[1])
    for i in (0, 2):
        alone = pricer(3, [], [strikes[i]], [taus[i]], 100.0, 0.05, 0.02)[0]
        assert got[i] == pytest.approx(alone, rel=1e-12, abs=1e-12)


def test_direct_nan_maturity_was_priced_at_the_first_maturity():
    # Before: a NaN maturity passed the shared-maturity test and was priced at tau[0].
    got = K.direct_prices(0, [], [100.0, 100.0], [1.0, math.nan], 100.0, 0.05, 0.0)
    assert math.isnan(got[1]) and got[0] > 0


# --- solver settings ------------------------------------------------------------------------

OMEGA_MSG = "omega must lie in (0, 2)"
TOL_MSG = "tol must be a number >= 0"


def psor_single(**kw):
    return K.american_pde_psor(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 20, 4, **kw)


def psor_batch(**kw):
    return K.american_pde_psor_batch(
        [100.0], [100.0], [0.05], [0.0], [0.2], [1.0], [0], 20, 4, **kw
    )


def psor_empty_batch(**kw):
    e = np.empty(0)
    return K.american_pde_psor_batch(e, e, e, e, e, e, np.empty(0, np.int32), **kw)


@pytest.mark.parametrize("solve", [psor_single, psor_batch, psor_empty_batch])
@pytest.mark.parametrize(
    "kw, msg",
    [
        (dict(omega=0.0), OMEGA_MSG),
        (dict(omega=2.0), OMEGA_MSG),
        (dict(omega=2.5), OMEGA_MSG),
        (dict(omega=-1.0), OMEGA_MSG),
        (dict(omega=math.nan), OMEGA_MSG),
        (dict(omega=math.inf), OMEGA_MSG),
        (dict(tol=-1e-12), TOL_MSG),
        (dict(tol=math.nan), TOL_MSG),
        (dict(tol=-math.inf), TOL_MSG),
        (dict(omega=3.0, tol=math.nan), OMEGA_MSG),
        (dict(omega=0.0, max_iter=0), OMEGA_MSG),
    ],
)
def test_settings_that_cannot_converge_are_refused(solve, kw, msg):
    with pytest.raises(RuntimeError, match=f"^{re.escape(msg)}$"):
        solve(**kw)


@pytest.mark.parametrize(
    "kw", [dict(omega=1e-3), dict(omega=1.999), dict(tol=0.0, max_iter=3), dict(tol=math.inf)]
)
def test_settings_at_the_edges_are_accepted(kw):
    kw = {"max_iter": 3000, **kw}
    assert math.isfinite(psor_single(**kw)["price"])
    np.testing.assert_array_equal(psor_batch(**kw)["prices"], [psor_single(**kw)["price"]])


def test_batch_length_error_comes_before_the_settings():
    with pytest.raises(RuntimeError, match="all input arrays must have the same length"):
        K.american_pde_psor_batch([1.0], [], [], [], [], [], [], omega=5.0)


# --- impossible sizes ------------------------------------------------------------------------

HUGE = {
    "american_tree_boundary": lambda: K.american_tree_boundary(
        100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=10**9
    ),
    "american_tree_batch": lambda: K.american_tree_batch(
        [100.0], [100.0], [0.05], [0.0], [0.2], [1.0], [0], steps=2**31 - 1
    ),
    "american_pde_psor": lambda: K.american_pde_psor(
        100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 10**5, 10**5
    ),
    "american_pde_psor_batch": lambda: K.american_pde_psor_batch(
        [100.0], [100.0], [0.05], [0.0], [0.2], [1.0], [0], s_steps=2**31 - 1
    ),
    "gbm_paths_antithetic": lambda: K.gbm_paths_antithetic(
        100.0, 0.05, 0.0, 0.2, 1.0, 10**5, 10**6
    ),
    "lsm_backward": lambda: K.lsm_backward(np.empty((0, 5)), 100.0, 0.05, 1.0, 0, degree=2**31 - 1),
    "fft_prices": lambda: K.fft_prices(0, [], 100.0, 0.05, 0.0, 1.0, n=2**30),
}


@pytest.mark.parametrize("name", sorted(HUGE))
def test_impossible_sizes_are_memory_errors_that_say_how_much(name):
    with pytest.raises(MemoryError, match=rf"^{name} needs \d+\.\d GiB, more than "):
        HUGE[name]()


def test_engine_sizes_are_checked_before_allocating():
    # 10^5 parameter sets times 10^5 strikes: 80 GB of results.
    from orvelta import _engines as E

    params = np.tile([0.04, 2.0, 0.04, 0.6, -0.5], (100_000, 1))
    k = np.full(100_000, 100.0)
    with pytest.raises(MemoryError, match=r"^european_price needs \d+\.\d GiB, more than "):
        E._european_price_sets(3, params, k, np.ones_like(k), 100.0, 0.05, 0.0, 0, 1e-8, False)


def test_engine_option_types_never_wrap_and_nan_has_no_price():
    from orvelta import _engines as E

    one = np.ones(4)
    types = np.array([2.0**40, -(2.0**40), np.nan, 1.0])
    iv = E.implied_vol(np.full(4, 10.0), 100 * one, 100 * one, 0.05 * one, 0 * one, one, types)
    assert iv[0] == iv[3] and np.isnan(iv[2]) and iv[1] != iv[0]
    price = E._american_price(
        100 * one, 100 * one, 0.05 * one, 0 * one, 0.2 * one, one, types, 1e-6
    )
    assert price[0] == price[3] and np.isnan(price[2]) and price[1] != price[0]


@pytest.mark.parametrize(
    "call",
    [
        lambda E: E._american_price(np.ones(2), np.ones(3), *[np.ones(2)] * 5, 1e-6),
        lambda E: E._american_greeks(np.ones(2), np.ones(3), *[np.ones(2)] * 5, 1e-6),
        lambda E: E.implied_vol(np.ones(2), np.ones(3), *[np.ones(2)] * 5),
    ],
)
def test_engine_length_errors_are_value_errors(call):
    from orvelta import _engines as E

    with pytest.raises(ValueError, match="^all input arrays must have the same length$"):
        call(E)


@pytest.mark.parametrize(
    "tol, text",
    [(0.0, "0.0"), (-1.0, "-1.0"), (math.inf, "inf"), (math.nan, "nan"), (-1e-20, "-1e-20")],
)
def test_engine_tolerances_have_one_message(tol, text):
    from orvelta import _engines as E

    one = np.ones(1)
    msg = f"^tol must be a positive finite number, got {re.escape(text)}$"
    for call in (
        lambda: E._american_price(*[one] * 7, tol),
        lambda: E.european_price(3, np.array([0.04]), one, one, 100.0, 0.0, 0.0, 0, tol),
    ):
        with pytest.raises(ValueError, match=msg):
            call()


def test_memory_message_names_the_machine_limit():
    with open("/proc/meminfo") as f:
        total_kib = int(f.readline().split()[1])
    with pytest.raises(MemoryError) as info:
        K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=2**31 - 1)
    assert str(info.value) == (
        f"american_tree_boundary needs 176.0 GiB, more than 90% of this machine's "
        f"{total_kib / 2**20:.1f} GiB of memory"
    )


def test_memory_refusal_leaves_the_process_usable(run_python):
    # With only 1 GiB of address space to spare the same refusal happens before any allocation.
    out = run_python("""
import resource
from orvelta import _kernels as K
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (vm + 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=10**9)
except MemoryError as e:
    print(str(e).split(",")[0])
print(K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0)["price"] > 0)
""")
    assert out.splitlines() == ["american_tree_boundary needs 82.0 GiB", "True"]
