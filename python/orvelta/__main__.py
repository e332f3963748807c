"""Command line: ``orvelta demo``, ``orvelta price BOOK -o OUT`` and ``orvelta sample-book N -o OUT``.

Exit codes: 0 done, 1 failure of the system (for example a full disk),
2 bad usage or bad input, 130 interrupted.
"""

from __future__ import annotations

import argparse
import os
import sys

EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    from . import __version__

    parser = argparse.ArgumentParser(prog="orvelta", description="Orvelta option-pricing kernels")
    parser.add_argument("--version", action="version", version=f"orvelta {__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="price one American put and call by every method and plot the boundary")
    demo.add_argument("--output-dir", default=".", help="folder for the plots (default: the current folder)")

    price = sub.add_parser(
        "price", help="price a book of options (CSV or Parquet) into a new file of the same format",
        description="Reads BOOK (columns s, k, r, q, sigma, tau, option_type; optional american, default true; "
                    "price for --implied-vol) chunk by chunk and writes OUT: every input column as it came "
                    "plus price (with --greeks delta, gamma, theta, vega, rho; with --implied-vol implied_vol).")
    price.add_argument("book", metavar="BOOK", help="input book, .csv or .parquet")
    price.add_argument("-o", "--output", required=True, metavar="OUT", help="output file (the book's format)")
    price.add_argument("--method", choices=("tree", "accurate", "european"), default="tree",
                       help="tree: binomial lattice batch (default); accurate: American prices to --tol; "
                            "european: European prices under --model to --tol")
    price.add_argument("--steps", type=int, help="lattice steps of the tree (default 200)")
    price.add_argument("--tree-type", choices=("crr", "tian"), help="lattice of the tree (default crr)")
    price.add_argument("--tol", type=float, help="absolute price tolerance of accurate and european (default 1e-8)")
    price.add_argument("--model", choices=("bs", "merton", "vg", "heston", "bates"),
                       help="European model (default bs, with each row's sigma)")
    price.add_argument("--params", metavar="P1,P2,...", help="model parameters, comma-separated (default: the model's)")
    price.add_argument("--greeks", action="store_true", help="add delta, gamma, theta, vega and rho (accurate)")
    price.add_argument("--implied-vol", action="store_true",
                       help="add implied_vol from the book's price column (accurate or european)")
    price.add_argument("--dividends", metavar="FILE",
                       help="discrete dividends by underlying, CSV or Parquet with columns underlying, ex_tau, "
                            "amount and optionally kind (cash or proportional); the book then needs an "
                            "underlying column (accurate)")
    price.add_argument("--scheduler", metavar="ADDRESS", help="price on the Dask cluster at ADDRESS")
    price.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    sample = sub.add_parser("sample-book", help="write a random book of valid options (CSV or Parquet by name)")
    sample.add_argument("rows", type=int, metavar="N", help="number of options")
    sample.add_argument("-o", "--output", required=True, metavar="OUT", help="output file, .csv or .parquet")
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


def _price(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .book import TREE_TYPES, BookError, Method, UsageError, price_book

    try:
        method = Method(
            name=args.method, steps=args.steps,
            tree_type=None if args.tree_type is None else TREE_TYPES[args.tree_type],
            tol=args.tol, model=args.model, params=_params(args.params, parser),
            greeks=args.greeks, implied_vol=args.implied_vol)
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
    folder = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(folder):
        print(f"orvelta price: cannot write {args.output}: no folder {folder}", file=sys.stderr)
        return EXIT_USAGE
    progress = not args.quiet and sys.stderr.isatty()
    try:
        price_book(args.book, args.output, method, progress=progress, scheduler=args.scheduler)
    except (BookError, UsageError) as e:
        print(f"orvelta price: {e}", file=sys.stderr)
        return EXIT_USAGE
    except ImportError as e:  # a missing optional dependency; the message names its extra
        print(e, file=sys.stderr)
        return EXIT_USAGE
    except OSError as e:  # unreadable book, unwritable folder, full disk
        print(f"orvelta price: {e}", file=sys.stderr)
        return 1
    return 0


def _sample(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .book import sample_book

    if args.rows < 0:
        parser.error("N must not be negative")
    try:
        sample_book(args.rows, args.output, seed=args.seed)
    except ImportError as e:
        print(str(e).replace("orvelta price", "orvelta sample-book"), file=sys.stderr)
        return EXIT_USAGE
    return 0


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
    sub = subparsers[args.command]
    try:
        if args.command == "price":
            return _price(args, sub)
        return _sample(args, sub)
    except KeyboardInterrupt:
        print(f"orvelta {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
