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


class Signalled(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised like Ctrl-C's KeyboardInterrupt so that every
    clean-up made for Ctrl-C runs for them too."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class Interrupts:
    """Ctrl-C, SIGTERM and SIGHUP stop a run by an exception raised in the
    main thread (KeyboardInterrupt, Signalled) and are also remembered, so
    that one swallowed on the way (pyarrow hides some that land in a lazy
    import) still stops the run at the next ``check()``. Signals set to be
    ignored (nohup) stay ignored; handlers are installed only on the main
    thread and restored on exit."""

    def __init__(self) -> None:
        self.seen: int | None = None
        self.previous: dict[int, Any] = {}

    def __enter__(self) -> Interrupts:
        import signal
        import threading

        if threading.current_thread() is not threading.main_thread():
            return self
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            current = signal.getsignal(signum)
            if current in (signal.SIG_IGN, None):
                continue
            ours = isinstance(getattr(current, "__self__", None), Interrupts)
            if signum == signal.SIGINT and current is not signal.default_int_handler and not ours:
                continue  # someone else's Ctrl-C handler: leave it
            self.previous[signum] = signal.signal(signum, self._handler)
        return self

    def _handler(self, signum: int, frame: Any) -> None:
        import signal

        self.seen = signum
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        raise Signalled(signum)

    def check(self) -> None:
        import signal

        if self.seen is not None:
            if self.seen == signal.SIGINT:
                raise KeyboardInterrupt
            raise Signalled(self.seen)

    def __exit__(self, *exc: object) -> None:
        import signal

        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        self.previous.clear()
