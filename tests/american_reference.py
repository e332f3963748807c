"""Independent reference prices for the accurate American pricer: the heat
equation in the drift-following coordinate (tests/reference/american_heat.cpp),
solved on three grids, each twice as fine as the last in space and time, and
Richardson-extrapolated (the scheme is second order)."""

from __future__ import annotations

import ctypes
import functools
import os
import subprocess
import tempfile
from pathlib import Path

HERE = Path(__file__).parent


@functools.cache
def _library() -> ctypes.CDLL:
    folder = tempfile.mkdtemp(prefix="orvelta_heat_")
    lib = os.path.join(folder, "american_heat.so")
    subprocess.run(
        [
            "g++",
            "-O2",
            "-ffp-contract=off",
            "-shared",
            "-fPIC",
            str(HERE / "reference" / "american_heat.cpp"),
            "-o",
            lib,
        ],
        check=True,
    )
    dll = ctypes.CDLL(lib)
    dll.american_heat.restype = ctypes.c_double
    dll.american_heat.argtypes = [ctypes.c_double] * 6 + [ctypes.c_int] * 3 + [ctypes.c_double]
    return dll


def heat_price(s, k, r, q, sigma, tau, kind, n, m, width=8.0):
    """One grid: n space intervals over width standard deviations each side, m time steps."""
    return _library().american_heat(
        float(s),
        float(k),
        float(r),
        float(q),
        float(sigma),
        float(tau),
        1 if kind > 0 else 0,
        int(n),
        int(m),
        float(width),
    )


def reference(s, k, r, q, sigma, tau, kind, n=400, m=400):
    """(price, error estimate, grid prices): Richardson on grids (n, m), (2n, 2m),
    (4n, 4m); the estimate is the change between the two extrapolations."""
    v = [heat_price(s, k, r, q, sigma, tau, kind, n * f, m * f) for f in (1, 2, 4)]
    r1 = (4.0 * v[1] - v[0]) / 3.0
    r2 = (4.0 * v[2] - v[1]) / 3.0
    return r2, abs(r2 - r1), v
