"""Where the slices of a book are priced: on a local thread or a Dask cluster.

Both keep a bounded number of slices in flight and hand the results back in
the order the slices were submitted, so the output is written in the book's
order while reading, pricing and writing overlap.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from numpy.typing import NDArray

from .errors import UsageError, require
from .methods import F64, Method, price_columns

Done = tuple[int, Any, dict[str, F64]]  # rows, the batch slice, its new columns


class Executor:
    """Prices slices of a book, at most ``window`` in flight, results in order."""

    def __init__(self, method: Method, window: int) -> None:
        self.method, self.window = method, window
        self.pending: deque[tuple[int, Any, Any]] = deque()

    def _start(self, cols: dict[str, NDArray[Any]]) -> Any:
        """Starts pricing one slice; returns a future with ``result()`` and ``cancel()``."""
        raise NotImplementedError

    def submit(self, part: Any, cols: dict[str, NDArray[Any]]) -> Iterator[Done]:
        """Queues a slice; yields the slices that left the window, in order."""
        self.pending.append((part.num_rows, part, self._start(cols)))
        while len(self.pending) > self.window:
            rows, p, f = self.pending.popleft()
            yield rows, p, f.result()

    def drain(self) -> Iterator[Done]:
        """Yields every slice still in flight, in order."""
        while self.pending:
            rows, p, f = self.pending.popleft()
            yield rows, p, f.result()

    def close(self) -> None:
        for _, _, f in self.pending:
            f.cancel()
        self.pending.clear()


class LocalExecutor(Executor):
    """Slices priced on one background thread (the engines release the
    interpreter lock and use every core themselves)."""

    def __init__(self, method: Method, window: int = 4) -> None:
        super().__init__(method, window)
        self.pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="orvelta-price")

    def _start(self, cols: dict[str, NDArray[Any]]) -> Any:
        return self.pool.submit(price_columns, cols, self.method)

    def close(self) -> None:
        super().close()
        self.pool.shutdown(wait=False, cancel_futures=True)


class DaskExecutor(Executor):
    """Slices priced on a Dask cluster, two per worker in flight."""

    def __init__(self, address: str, method: Method) -> None:
        distributed = require("distributed", "dask")
        try:
            self.client = distributed.Client(address, timeout="15s")
        except (OSError, ValueError) as e:
            raise UsageError(f"cannot reach the Dask scheduler at {address}: {e}") from None
        workers = max(1, len(self.client.scheduler_info().get("workers", {})))
        super().__init__(method, 2 * workers)

    def _start(self, cols: dict[str, NDArray[Any]]) -> Any:
        return self.client.submit(price_columns, cols, self.method, pure=False)

    def close(self) -> None:
        super().close()
        self.client.close()


def executor(method: Method, scheduler: str | None) -> Executor:
    """The Dask executor for a scheduler address, else the local one."""
    return DaskExecutor(scheduler, method) if scheduler else LocalExecutor(method)
