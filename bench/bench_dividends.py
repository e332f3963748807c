"""American options with four quarterly cash dividends: the dividend engine
beside QuantLib's FdBlackScholesVanillaEngine with the same dividend schedule.

The options: one-year American puts and calls at the money (S = K = 100,
r = 0.05, q = 0, sigma = 0.25), dividends of 1.0 on days 45, 136, 227 and
318 of 365, and the same puts with dividends of 2.0, which outweigh the
interest on the strike between ex-dates (so that the puts are exercised only
just after a drop or after the last one, and take the recursion of integrals
with the flat pricer's last stage). Their reference prices come from the fine-grid solver of the test
tree (tests/reference_pde.py: a uniform grid in S on which each dividend is an
exact shift of nodes, BDF2 steps, five grids Richardson-extrapolated); the
reference's own error is taken as the difference of its last two
extrapolations and printed, with the sequence of extrapolations. Our time per option is measured on books of 8
puts and of 8 calls (one and two threads, each in its own process with
OMP_NUM_THREADS, best of several repeats): the calls, exercised only just
before an ex-date, take the recursion of integrals, the puts with dividends
of 1.0 the grids (exercise between ex-dates pays), those with 2.0 the
recursion.
QuantLib's on one thread at the
grids (time steps x space points, 2:1 space to time) that bring its error to
1e-4 and below; then american_price on the same options without dividends,
and american_greeks and american_implied_vol with dividends.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np

from timing import best_of, from_tests

HERE = os.path.dirname(os.path.abspath(__file__))

S, K, R, Q, SIGMA, TAU = 100.0, 100.0, 0.05, 0.0, 0.25, 1.0
DAYS = (45, 136, 227, 318)
AMOUNT = 1.0
DIVS = [[d / 365.0, AMOUNT] for d in DAYS]
N_BOOK = 8
# (name, option type, dividend amount, tolerances)
CASES = (
    ("put", -1, AMOUNT, (1e-4, 1e-6)),
    ("call", 1, AMOUNT, (1e-4, 1e-6)),
    ("put2", -1, 2.0, (1e-4, 1e-6, 1e-7)),
)


def divs_of(amount: float) -> list[list[float]]:
    return [[d / 365.0, amount] for d in DAYS]


def book(kind: int) -> dict[str, np.ndarray]:
    return dict(
        s=np.full(N_BOOK, S), k=np.full(N_BOOK, K), option_type=np.full(N_BOOK, kind, np.int32)
    )


def child() -> None:
    import orvelta

    out: dict[str, float] = {}
    orvelta.american_price(S, K, R, Q, SIGMA, TAU, -1, tol=1e-2, dividends=DIVS)  # wake the team
    for name, kind, amount, tols in CASES:
        b = book(kind)
        divs = divs_of(amount)

        def plain(tol: float, b: dict[str, np.ndarray] = b) -> object:
            return orvelta.american_price(
                b["s"], b["k"], R, Q, SIGMA, TAU, b["option_type"], tol=tol
            )

        def price(tol: float, b: dict[str, np.ndarray] = b, divs: list = divs) -> object:
            return orvelta.american_price(
                b["s"], b["k"], R, Q, SIGMA, TAU, b["option_type"], tol=tol, dividends=divs
            )

        for tol in tols:
            tries = 3 if (tol >= 1e-5 or name != "put") else 1
            seconds, p = best_of(lambda: price(tol), tries)
            out[f"{name}_time_{tol:g}"] = seconds / N_BOOK
            out[f"{name}_{tol:g}"] = float(p[0])
            out[f"{name}_plain_{tol:g}"] = best_of(lambda: plain(tol), 20)[0] / N_BOOK
        out[f"{name}_greeks_1e-04"] = (
            best_of(
                lambda: orvelta.american_greeks(
                    b["s"], b["k"], R, Q, SIGMA, TAU, b["option_type"], tol=1e-4, dividends=divs
                ),
                3,
            )[0]
            / N_BOOK
        )
        quotes = price(1e-5)
        seconds, iv = best_of(
            lambda: orvelta.american_implied_vol(
                quotes, b["s"], b["k"], R, Q, TAU, b["option_type"], tol=1e-4, dividends=divs
            ),
            2,
        )
        out[f"{name}_iv_1e-04"] = seconds / N_BOOK
        out[f"{name}_iv_err"] = float(np.max(np.abs(iv - SIGMA)))
    print(json.dumps(out))


def run_child(threads: int) -> dict[str, float]:
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    proc = subprocess.run(
        [sys.executable, __file__, "--child"], capture_output=True, text=True, env=env, check=True
    )
    return json.loads(proc.stdout)


def references() -> dict[str, tuple[float, float, list[float]]]:
    reference_pde = from_tests("reference_pde")
    out = {}
    for name, kind, amount, _ in CASES:
        _, once, _ = reference_pde.richardson(
            S,
            K,
            R,
            Q,
            SIGMA,
            TAU,
            kind > 0,
            [tuple(d) for d in divs_of(amount)],
            True,
            0.5,
            100,
            5,
            400.0,
        )
        out[name] = (once[-1], abs(once[-1] - once[-2]), once)
    return out


def quantlib(call: bool, amount: float, t_grid: int, x_grid: int) -> tuple[float, float]:
    """QuantLib's price and seconds per option at one grid."""
    import QuantLib as ql

    today, process = from_tests("references").quantlib_black_scholes(ql, S, R, Q, SIGMA)
    schedule = [ql.FixedDividend(amount, today + d) for d in DAYS]
    engine = ql.FdBlackScholesVanillaEngine(process, schedule, t_grid, x_grid)
    kind = ql.Option.Call if call else ql.Option.Put
    option = ql.VanillaOption(
        ql.PlainVanillaPayoff(kind, K), ql.AmericanExercise(today, today + 365)
    )
    option.setPricingEngine(engine)
    value = option.NPV()
    reps = max(1, int(0.3 / max(1e-4, 1e-6 * t_grid * x_grid)))

    def run() -> None:
        for _ in range(reps):
            option.recalculate()
            option.NPV()

    return value, best_of(run, 2)[0] / reps


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child()
        return
    refs = references()
    one, two = run_child(1), run_child(2)
    us = 1e6
    print(
        f"one-year American put and call, S = K = {S:g}, r = {R}, sigma = {SIGMA}, dividends {AMOUNT:g} on days "
        f"{', '.join(map(str, DAYS))} (put2: the put with dividends of 2.0); book of {N_BOOK} options"
    )
    names = [case[0] for case in CASES]
    for name in names:
        print(
            f"  reference {name} {refs[name][0]:.9f} (fine grid in S, Richardson; its own error estimate "
            f"{refs[name][1]:.1e}; once-extrapolated sequence "
            f"{' '.join(f'{x:.9f}' for x in refs[name][2])})"
        )
    for name, _, _, tols in CASES:
        for tol in tols:
            err = abs(one[f"{name}_{tol:g}"] - refs[name][0])
            t1, t2 = one[f"{name}_time_{tol:g}"], two[f"{name}_time_{tol:g}"]
            p1 = one[f"{name}_plain_{tol:g}"]
            print(
                f"  {name}s with dividends, tol {tol:g}: error {err:.1e}; {t1 * us:10.1f} us/option on "
                f"1 thread, {t2 * us:10.1f} on 2 (scaling {t1 / t2:.2f}x); american_price without "
                f"dividends {p1 * us:.1f} us on 1 thread ({t1 / p1:.1f}x), "
                f"{two[f'{name}_plain_{tol:g}'] * us:.1f} on 2"
            )
    # QuantLib: grids of growing size until its error is at most 1e-4.
    rows: dict[str, list[tuple[int, int, float, float]]] = {name: [] for name in names}
    for t_grid in (100, 200, 400, 800, 1600, 3200):
        x_grid = 2 * t_grid
        line = []
        for name, kind, amount, _ in CASES:
            if rows[name] and rows[name][-1][2] <= 1e-4:
                continue
            v, sec = quantlib(kind > 0, amount, t_grid, x_grid)
            rows[name].append((t_grid, x_grid, abs(v - refs[name][0]), sec))
            line.append(f"{name} error {rows[name][-1][2]:.1e}, {sec * us:10.1f} us/option")
        if not line:
            break
        print(f"  QuantLib FdBlackScholesVanillaEngine {t_grid} x {x_grid}: " + "; ".join(line))
    for name in names:
        t1, t2 = one[f"{name}_time_0.0001"], two[f"{name}_time_0.0001"]
        ok = [row for row in rows[name] if row[2] <= 1e-4]
        if ok:
            row = ok[0]
            print(
                f"  {name}s, equal accuracy 1e-4: QuantLib {row[0]} x {row[1]} (error {row[2]:.1e}) / "
                f"ours at tol 1e-4: {row[3] / t1:.1f}x on 1 thread, {row[3] / t2:.1f}x on 2"
            )
        else:
            row = rows[name][-1]
            print(
                f"  {name}s: QuantLib did not reach 1e-4 up to {row[0]} x {row[1]} (error "
                f"{row[2]:.1e}); ratio at that grid {row[3] / t1:.1f}x on 1 thread, "
                f"{row[3] / t2:.1f}x on 2"
            )
    for name in names:
        t1 = one[f"{name}_time_0.0001"]
        g1, g2 = one[f"{name}_greeks_1e-04"], two[f"{name}_greeks_1e-04"]
        i1, i2 = one[f"{name}_iv_1e-04"], two[f"{name}_iv_1e-04"]
        print(
            f"{name}s: american_greeks tol 1e-4: {g1 * us:.1f} us/option on 1 thread "
            f"({g1 / t1:.2f}x one price), {g2 * us:.1f} on 2; american_implied_vol tol 1e-4: "
            f"{i1 * us:.1f} us/quote on 1 thread ({i1 / t1:.1f} prices), {i2 * us:.1f} on 2; "
            f"max sigma error {one[f'{name}_iv_err']:.1e}"
        )


if __name__ == "__main__":
    main()
