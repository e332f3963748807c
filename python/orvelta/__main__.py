"""Command line: ``orvelta demo``, ``orvelta price BOOK -o OUT`` and ``orvelta sample-book N -o OUT``.

Exit codes: 0 done; 1 failure of the system (for example a full disk); 2 bad
usage or bad input (nothing written); 3 done, but ``--strict`` found NaN
results (the output is written); 130 interrupted (Ctrl-C), 143 terminated
(SIGTERM), 129 hung up (SIGHUP): nothing written.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_NAN = 3
EXIT_INTERRUPTED = 130


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    from . import __version__

    parser = argparse.ArgumentParser(prog="orvelta", description="Orvelta option pricing")
    parser.add_argument("--version", action="version", version=f"orvelta {__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser(
        "demo", help="price one American put and call by every method and plot the boundary"
    )
    demo.add_argument(
        "--output-dir", default=".", help="folder for the plots (default: the current folder)"
    )

    price = sub.add_parser(
        "price",
        help="price a book of options (CSV or Parquet) into a new file of the same format",
        description="Reads BOOK (columns s, k, r, q, sigma, tau, option_type, matched without regard to case; "
        "optional american; price: market prices, kept, and read by --implied-vol) chunk by chunk "
        "and writes OUT: every input column as it came plus price (model_price when the book has a "
        "price column; with --greeks delta, gamma, theta, vega, rho; with --implied-vol "
        "implied_vol). A summary goes to standard error. Exit codes: 0 done, 1 system failure, "
        "2 bad usage or input, 3 NaN results with --strict, 130/143/129 interrupted.",
    )
    price.add_argument("book", metavar="BOOK", help="input book, .csv or .parquet")
    price.add_argument(
        "-o", "--output", required=True, metavar="OUT", help="output file (the book's format)"
    )
    price.add_argument(
        "--method",
        choices=("tree", "accurate", "european"),
        default="tree",
        help="tree: binomial lattice batch (default); accurate: American prices to --tol; "
        "european: European prices under --model to --tol (each method honours a per-row "
        "american column)",
    )
    price.add_argument(
        "--steps", type=int, help="lattice steps of the tree (default 200, at least 2)"
    )
    price.add_argument(
        "--tree-type", choices=("crr", "tian"), help="lattice of the tree (default crr)"
    )
    price.add_argument(
        "--tol", type=float, help="absolute price tolerance of accurate and european (default 1e-8)"
    )
    price.add_argument(
        "--model",
        choices=("bs", "merton", "vg", "heston", "bates"),
        help="European model (default bs, with each row's sigma)",
    )
    price.add_argument(
        "--params",
        metavar="P1,P2,...",
        help="model parameters, comma-separated (default: the model's)",
    )
    price.add_argument(
        "--greeks",
        action="store_true",
        help="add delta, gamma, theta, vega (heston, bates: vega_v0, vega_theta) and rho",
    )
    price.add_argument(
        "--implied-vol",
        action="store_true",
        help="add implied_vol from the book's price column (with --greeks: Greeks at that volatility)",
    )
    price.add_argument(
        "--skip-bad",
        action="store_true",
        help="price the good rows and report the bad ones (default: report them and write nothing)",
    )
    price.add_argument(
        "--strict", action="store_true", help="exit with code 3 when any result is NaN"
    )
    price.add_argument(
        "--dividends",
        metavar="FILE",
        help="discrete dividends by underlying, CSV or Parquet with columns underlying, ex_tau, "
        "amount and optionally kind (cash or proportional); the book then needs an "
        "underlying column (accurate)",
    )
    price.add_argument(
        "--scheduler", metavar="ADDRESS", help="price on the Dask cluster at ADDRESS"
    )
    price.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    sample = sub.add_parser(
        "sample-book", help="write a random book of valid options (CSV or Parquet by name)"
    )
    sample.add_argument("rows", type=int, metavar="N", help="number of options")
    sample.add_argument(
        "-o", "--output", required=True, metavar="OUT", help="output file, .csv or .parquet"
    )
    sample.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    return parser, {"price": price, "sample-book": sample}


def _params(text: str | None, parser: argparse.ArgumentParser) -> tuple[float, ...] | None:
    if text is None:
        return None
    try:
        return tuple(float(p) for p in text.split(",") if p.strip())
    except ValueError:
        parser.error(f"argument --params: not a comma-separated list of numbers: {text!r}")
        raise


def _os_error(e: OSError) -> str:
    """One line for an operating-system error."""
    what = e.strerror or str(e)
    return f"{e.filename}: {what}" if e.filename else what


def _output_problem(path: str) -> str | None:
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return f"cannot write {path}: no folder {folder}"
    if os.path.isdir(path):
        return f"cannot write {path}: it is a folder"
    return None


def _price(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .book import TREE_TYPES, BookError, Method, UsageError, price_book

    try:
        method = Method(
            name=args.method,
            steps=args.steps,
            tree_type=None if args.tree_type is None else TREE_TYPES[args.tree_type],
            tol=args.tol,
            model=args.model,
            params=_params(args.params, parser),
            greeks=args.greeks,
            implied_vol=args.implied_vol,
        )
    except UsageError as e:
        parser.error(str(e))
    if args.dividends is not None:
        if args.method != "accurate":
            parser.error("--dividends needs --method accurate")
        if not os.path.isfile(args.dividends):
            print(f"orvelta price: cannot read {args.dividends}: no such file", file=sys.stderr)
            return EXIT_USAGE
        from dataclasses import replace

        from .book.dividends import read_dividends

        try:
            method = replace(method, dividends=read_dividends(args.dividends))
        except (BookError, UsageError) as e:
            print(f"orvelta price: {e}", file=sys.stderr)
            return EXIT_USAGE
        except ImportError as e:
            print(e, file=sys.stderr)
            return EXIT_USAGE
    if not os.path.isfile(args.book):
        print(f"orvelta price: cannot read {args.book}: no such file", file=sys.stderr)
        return EXIT_USAGE
    problem = _output_problem(args.output)
    if problem:
        print(f"orvelta price: {problem}", file=sys.stderr)
        return EXIT_USAGE
    progress = not args.quiet and sys.stderr.isatty()
    try:
        summary = price_book(
            args.book,
            args.output,
            method,
            progress=progress,
            scheduler=args.scheduler,
            skip_bad=args.skip_bad,
        )
    except (BookError, UsageError) as e:
        for line in str(e).splitlines():
            print(f"orvelta price: {line}", file=sys.stderr)
        return EXIT_USAGE
    except ImportError as e:  # a missing optional dependency; the message names its extra
        print(e, file=sys.stderr)
        return EXIT_USAGE
    except OSError as e:  # unreadable book, unwritable folder, full disk
        print(f"orvelta price: {_os_error(e)}", file=sys.stderr)
        return EXIT_FAILURE
    if not args.quiet:
        for line in summary.bad:
            print(f"orvelta price: skipped {line}", file=sys.stderr)
        print(f"orvelta price: {summary.line()}", file=sys.stderr)
    return EXIT_NAN if args.strict and summary.nan else 0


def _sample(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .book import UsageError, sample_book

    if args.rows < 0:
        parser.error("N must not be negative")
    problem = _output_problem(args.output)
    if problem:
        print(f"orvelta sample-book: {problem}", file=sys.stderr)
        return EXIT_USAGE
    try:
        sample_book(args.rows, args.output, seed=args.seed)
    except ImportError as e:
        print(str(e).replace("orvelta price", "orvelta sample-book"), file=sys.stderr)
        return EXIT_USAGE
    except UsageError as e:
        print(f"orvelta sample-book: {e}", file=sys.stderr)
        return EXIT_USAGE
    except OSError as e:  # a full disk, a device that takes nothing
        print(f"orvelta sample-book: {_os_error(e)}", file=sys.stderr)
        return EXIT_FAILURE
    return 0


_STOPPED = {
    signal.SIGINT: "interrupted",
    signal.SIGTERM: "terminated (SIGTERM)",
    signal.SIGHUP: "hung up (SIGHUP)",
}


def main(argv: list[str] | None = None) -> int:
    parser, subparsers = _parser()
    args = parser.parse_args(argv)
    if args.command == "demo":
        from .demo import run

        try:
            run(args.output_dir)
        except BrokenPipeError:
            # Output piped into a reader that stopped early (`| head`): not an error.
            sys.stderr.close()
        return 0
    from .book.errors import Interrupts

    sub = subparsers[args.command]
    try:
        with Interrupts():
            if args.command == "price":
                return _price(args, sub)
            return _sample(args, sub)
    except KeyboardInterrupt as e:  # Ctrl-C, or SIGTERM and SIGHUP raised as Signalled
        signum = getattr(e, "signum", signal.SIGINT)
        print(f"orvelta {args.command}: {_STOPPED.get(signum, 'stopped')}", file=sys.stderr)
        code = 128 + int(signum)
        _exit_now(code, own_process=argv is None)
        return code


def _exit_now(code: int, own_process: bool) -> None:
    """Ends the process at once after a stop by a signal, the output already
    discarded, where the command runs the process (the console script,
    ``python -m orvelta``) or a pricing thread is still busy. A busy thread's
    compiled call (up to a slice of the book, which can take minutes at a
    tight tolerance) would otherwise hold the exit up, and any thread of a
    library (Arrow's readers among them) still working when the interpreter
    shuts down can abort the process (seen on Python 3.13: "terminate called
    without an active exception", exit status -6 instead of 143)."""
    if threading.current_thread() is not threading.main_thread():
        return
    others = [
        t for t in threading.enumerate() if t is not threading.current_thread() and not t.daemon
    ]
    if own_process or others:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)


if __name__ == "__main__":
    sys.exit(main())
