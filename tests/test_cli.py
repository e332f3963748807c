"""The command line: `python -m orvelta demo` end to end."""

import subprocess
import sys

from _helpers import demo_output


def test_demo_prints_its_tables_and_writes_both_plots(tmp_path):
    out = demo_output(tmp_path)
    for row in (
        "Cox-Ross-Rubinstein lattice",
        "Tian lattice",
        "PSOR finite differences",
        "Longstaff-Schwartz in-sample",
        "Longstaff-Schwartz out-of-sample",
        "reference: CRR lattice",
        "Black-Scholes",
        "Merton jumps",
        "variance gamma",
        "Heston",
        "Bates",
        "accurate: fixed-point boundary",
        "put accurate",
        "truncation_width = 10 standard deviations",
    ):
        assert row in out
    for name in (
        "orvelta-exercise-boundary.png",
        "orvelta-fft-smiles.png",
        "orvelta-heston-smile.png",
    ):
        path = tmp_path / name
        assert str(path.resolve()) in out
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_command_is_required():
    proc = subprocess.run(
        [sys.executable, "-m", "orvelta"], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 2 and "usage: orvelta" in proc.stderr
