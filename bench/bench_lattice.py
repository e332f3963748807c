"""Throughput of american_tree_batch beside QuantLib's binomial engine.

Prices 100,000 random valid American options on 200-step CRR lattices with one
thread and with all threads (each in its own process, so that OMP_NUM_THREADS
takes effect), and a subset of the same options with QuantLib's
BinomialVanillaEngine (CRR, 200 steps)."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np

from timing import best_of

STEPS = 200
N_OPTIONS = 100_000
N_QUANTLIB = 2_000
NODE_UPDATES = STEPS * (STEPS + 1) // 2  # backward induction, per option


def book(n: int, seed: int = 2024) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    return dict(
        s=rng.uniform(60, 140, n), k=rng.uniform(60, 140, n), r=rng.uniform(0.0, 0.08, n),
        q=rng.uniform(0.0, 0.05, n), sigma=rng.uniform(0.1, 0.6, n), tau=rng.uniform(0.1, 2.0, n),
        option_type=rng.integers(0, 2, n).astype(np.int32),
    )


def child() -> None:
    from orvelta import _kernels as K

    b = book(N_OPTIONS)
    K.american_tree_batch(**{k: v[:1000] for k, v in b.items()}, steps=STEPS)  # warm the thread team
    seconds = best_of(lambda: K.american_tree_batch(**b, steps=STEPS), 3)[0]
    print(json.dumps({"seconds": seconds}))


def quantlib_seconds(b: dict[str, np.ndarray], n: int) -> tuple[float, np.ndarray]:
    import QuantLib as ql

    today = ql.Date(2, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    spot, rate, div, vol = ql.SimpleQuote(0), ql.SimpleQuote(0), ql.SimpleQuote(0), ql.SimpleQuote(0)
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(spot),
        ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(div), dc)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(rate), dc)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(vol), dc)),
    )
    engine = ql.BinomialVanillaEngine(process, "crr", STEPS)
    options = []
    for i in range(n):
        days = max(1, int(round(b["tau"][i] * 365)))
        kind = ql.Option.Call if b["option_type"][i] > 0 else ql.Option.Put
        opt = ql.VanillaOption(ql.PlainVanillaPayoff(kind, float(b["k"][i])),
                               ql.AmericanExercise(today, today + days))
        opt.setPricingEngine(engine)
        options.append((opt, days / 365.0))
    prices = np.empty(n)

    def run():
        for i, (opt, _) in enumerate(options):
            spot.setValue(float(b["s"][i]))
            rate.setValue(float(b["r"][i]))
            div.setValue(float(b["q"][i]))
            vol.setValue(float(b["sigma"][i]))
            prices[i] = opt.NPV()

    return best_of(run, 2)[0], prices


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child()
        return
    threads = os.cpu_count() or 1
    print(f"american_tree_batch: {N_OPTIONS:,} random American options, {STEPS} CRR steps")
    results = {}
    for t in sorted({1, threads}):
        env = dict(os.environ, OMP_NUM_THREADS=str(t))
        out = subprocess.run([sys.executable, __file__, "--child"], env=env, capture_output=True, text=True, check=True)
        results[t] = json.loads(out.stdout)["seconds"]
        rate = N_OPTIONS / results[t]
        print(f"  {t} thread(s): {results[t]:.3f} s  {rate:,.0f} options/s  {rate * NODE_UPDATES / 1e9:.2f} G node updates/s")
    if threads > 1:
        print(f"  parallel speed-up on {threads} threads: {results[1] / results[threads]:.2f}x")

    from orvelta import _kernels as K

    b = book(N_OPTIONS)
    sub = {k: v[:N_QUANTLIB] for k, v in b.items()}
    ql_time, ql_prices = quantlib_seconds(b, N_QUANTLIB)
    ql_rate = N_QUANTLIB / ql_time
    # Same options with QuantLib's day-count rounding of the expiry, for the price check.
    sub_days = dict(sub, tau=np.maximum(1, np.round(sub["tau"] * 365)) / 365.0)
    ours = K.american_tree_batch(**sub_days, steps=STEPS)
    print(f"QuantLib BinomialVanillaEngine (CRR, {STEPS} steps), {N_QUANTLIB:,} of the options, 1 thread:")
    print(f"  {ql_time:.3f} s  {ql_rate:,.0f} options/s")
    print(f"  orvelta / QuantLib throughput: {N_OPTIONS / results[1] / ql_rate:.1f}x on 1 thread, "
          f"{N_OPTIONS / results[threads] / ql_rate:.1f}x on {threads}")
    diff = np.abs(ours - ql_prices)
    print(f"  price difference (QuantLib's CRR uses a first-order up-probability): "
          f"max {diff.max():.2e}, mean {diff.mean():.2e}")


if __name__ == "__main__":
    main()
