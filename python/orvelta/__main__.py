"""Command line: ``python -m orvelta demo [--output-dir DIR]``."""

from __future__ import annotations

import argparse
import sys


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="orvelta", description="Orvelta option-pricing kernels")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="price one American put and call by every method and plot the boundary")
    demo.add_argument("--output-dir", default=".", help="folder for the plots (default: the current folder)")
    args = parser.parse_args(argv)
    if args.command == "demo":
        from .demo import run

        try:
            run(args.output_dir)
        except BrokenPipeError:
            # Output piped into a reader that stopped early (`| head`): not an error.
            sys.stderr.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
