"""Errors of the book command and its optional dependencies."""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any


class BookError(ValueError):
    """Bad content of a book; the message names the file, line and column."""


class UsageError(ValueError):
    """A method or a combination of options that cannot price the book."""


def require(module: str, extra: str, who: str = "orvelta price") -> ModuleType:
    """Import an optional dependency, or fail with the extra that provides it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        raise ImportError(f"{who} needs {top}: pip install 'orvelta[{extra}]'") from None


def arrow() -> tuple[Any, Any]:
    """pyarrow and pyarrow.compute (the ``io`` extra)."""
    pa = require("pyarrow", "io")
    pc = require("pyarrow.compute", "io")
    # Arrow's own SIGINT handler, installed around reads, can swallow a Ctrl-C;
    # with it off, Python's handler raises KeyboardInterrupt once the read returns.
    pa.enable_signal_handlers(False)
    return pa, pc
