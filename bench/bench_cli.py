"""`orvelta price` against the bare batch pricer, its peak memory, and Dask scaling.

1. A generated 1,000,000-row CSV book priced by `orvelta price` (200-step CRR
   tree, whole command: start-up, reading, checking, pricing, writing) beside
   `american_tree_batch` on the same arrays already in memory, at 1 and 2
   threads (OMP_NUM_THREADS in each child): the command line's overhead.
2. Peak resident memory (ru_maxrss of the child) of `orvelta price` on a
   1,000,000-row and a 10,000,000-row book (a 4-step tree, to keep time down):
   flat in the book's length.
3. price_frame on Dask LocalClusters of one and of two single-threaded worker
   processes (OMP_NUM_THREADS=1): the speed-up.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from timing import best_of, from_tests

STEPS = 200
ROWS = 1_000_000
BIG_ROWS = 10_000_000
DASK_ROWS = 320_000
REPEATS = 3
PARTITIONS = 16
ORVELTA = [sys.executable, "-m", "orvelta"]
# Random books as the tests draw them; a Dask worker imports it from the same place.
random_book = from_tests("_helpers").random_book


def bare_child(path: str) -> None:
    import pyarrow.csv as pcsv

    import orvelta

    t = pcsv.read_csv(path)
    a = [t[c].to_numpy().astype(np.float64) for c in ("s", "k", "r", "q", "sigma", "tau")]
    a.append(t["option_type"].to_numpy().astype(np.int32))
    orvelta.american_tree_batch(*(x[:2000] for x in a), steps=STEPS)  # warm the thread team
    seconds = best_of(lambda: orvelta.american_tree_batch(*a, steps=STEPS), 1)[0]
    print(json.dumps({"seconds": seconds}))


def spin_child() -> None:
    import orvelta

    rng = np.random.default_rng(1)
    n = 40_000
    a = list(random_book(rng, n, tau=(0.1, 2)).values())
    orvelta.american_tree_batch(*(x[:1000] for x in a), steps=STEPS)
    print("ready", flush=True)
    sys.stdin.readline()  # start together with the other child
    t0 = time.perf_counter()
    orvelta.american_tree_batch(*a, steps=STEPS)
    print(time.perf_counter() - t0, flush=True)


def two_process_ceiling() -> float:
    """Speed-up of two single-threaded processes over one on this machine now (others share it).

    Each child reports the time of its own pricing only, started by the parent
    once both have imported and warmed up, so start-up costs do not count."""
    env = dict(os.environ, OMP_NUM_THREADS="1")
    cmd = [sys.executable, __file__, "--spin"]

    def together(count: int) -> float:
        procs = [
            subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            for _ in range(count)
        ]
        for p in procs:
            p.stdout.readline()
        for p in procs:
            p.stdin.write("go\n")
            p.stdin.flush()
        times = [float(p.stdout.readline()) for p in procs]
        for p in procs:
            p.wait()
        return max(times)

    return 2 * min(together(1) for _ in range(2)) / min(together(2) for _ in range(2))


def run_measured(args: list[str], env: dict[str, str]) -> tuple[float, float]:
    """Wall seconds and peak RSS (MiB) of one child process."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(args, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{args} failed with {proc.returncode}")
    return seconds, usage.ru_maxrss / 1024.0


def dask_partition(i: int):
    """Rows of one partition of the Dask book, generated on the worker from its seed
    (about 1 ms, against some 120 ms to price them)."""
    import pandas as pd

    rng = np.random.default_rng([7, i])
    n = DASK_ROWS // PARTITIONS
    return pd.DataFrame(random_book(rng, n))


def dask_speed_up() -> tuple[float, float]:
    """Best seconds of price_frame on a one-worker and a two-worker cluster,
    both up at once and run in turn so that others' load falls on both alike."""
    from contextlib import ExitStack

    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    from orvelta.dask import price_frame

    with ExitStack() as stack:
        setups = []
        for workers in (1, 2):
            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=workers,
                    threads_per_worker=1,
                    processes=True,
                    dashboard_address=":0",
                    worker_dashboard_address=":0",
                )
            )
            client = stack.enter_context(Client(cluster, set_as_default=False))
            client.wait_for_workers(workers)
            # Each run generates its partitions on the workers, as it would read
            # them from files: the scheduler spreads such root tasks evenly.
            # (Persisted partitions stay where they were made, and rebalance()
            # leaves a few MiB alone, so one worker could hold most of them.)
            frame = dd.from_map(dask_partition, range(PARTITIONS))
            client.compute(
                price_frame(frame.head(100, compute=False), steps=STEPS)
            ).result()  # worker imports
            setups.append((client, frame))
        best = [float("inf"), float("inf")]
        for run in range(5):
            for i, (client, frame) in enumerate(setups):
                # A new column per run gives the graph new keys, so no result is reused.
                job = price_frame(frame.assign(run=run), steps=STEPS)["price"].sum()
                t0 = time.perf_counter()
                client.compute(job).result()
                best[i] = min(best[i], time.perf_counter() - t0)
        return best[0], best[1]


def main() -> None:
    if len(sys.argv) > 2 and sys.argv[1] == "--bare":
        bare_child(sys.argv[2])
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--spin":
        spin_child()
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--dask-only":
        print_dask()
        return
    from orvelta.book import sample_book

    with tempfile.TemporaryDirectory(prefix="orvelta-bench-") as tmp:
        book = os.path.join(tmp, "book.csv")
        sample_book(ROWS, book)
        print(
            f"orvelta price: {ROWS:,}-row CSV book, {STEPS}-step CRR tree, against american_tree_batch "
            "on the same arrays"
        )
        for threads in (1, 2):
            env = dict(os.environ, OMP_NUM_THREADS=str(threads))
            # Bare and command runs alternate, best of each: others' load on the
            # machine comes and goes within seconds.
            bare = cli = float("inf")
            for _ in range(REPEATS):
                out = subprocess.run(
                    [sys.executable, __file__, "--bare", book],
                    env=env,
                    capture_output=True,
                    text=True,
                    check=True,
                )
                bare = min(bare, json.loads(out.stdout)["seconds"])
                seconds, rss = run_measured(
                    ORVELTA + ["price", book, "-o", os.path.join(tmp, "out.csv"), "--quiet"], env
                )
                cli = min(cli, seconds)
            print(
                f"  {threads} thread(s): bare {bare:6.2f} s ({ROWS / bare:9,.0f} rows/s)   "
                f"command {cli:6.2f} s ({ROWS / cli:9,.0f} rows/s)   overhead {100 * (cli / bare - 1):5.1f}%"
                f"   peak RSS {rss:6.0f} MiB"
            )

        print("peak memory of orvelta price (4-step tree, 2 threads):")
        env = dict(os.environ, OMP_NUM_THREADS="2")
        for rows, path in ((ROWS, book), (BIG_ROWS, os.path.join(tmp, "big.csv"))):
            if rows != ROWS:
                sample_book(rows, path)
            size = os.path.getsize(path) / 2**20
            seconds, rss = run_measured(
                ORVELTA
                + ["price", path, "-o", os.path.join(tmp, "out.csv"), "--steps", "4", "--quiet"],
                env,
            )
            print(
                f"  {rows:>12,} rows ({size:5.0f} MiB of CSV): peak RSS {rss:6.0f} MiB, "
                f"{seconds:5.1f} s ({rows / seconds:9,.0f} rows/s)"
            )
            os.remove(os.path.join(tmp, "out.csv"))

    print_dask()


def print_dask() -> None:
    os.environ["OMP_NUM_THREADS"] = "1"  # inherited by the worker processes
    one, two = dask_speed_up()
    print(
        f"orvelta.dask.price_frame, {DASK_ROWS:,} rows in {PARTITIONS} partitions, "
        f"{STEPS}-step tree, single-threaded workers:"
    )
    print(
        f"  1 worker {one:.2f} s, 2 workers {two:.2f} s: speed-up {one / two:.2f}x "
        f"(two bare single-threaded processes at once on this machine now: {two_process_ceiling():.2f}x)"
    )


if __name__ == "__main__":
    main()
