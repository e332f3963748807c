"""Pricing whole books of options held in CSV and Parquet files.

A book has one option per row, with the columns ``s, k, r, q, sigma, tau,
option_type`` (names matched without regard to case), and optionally
``american`` and ``price`` (market prices: kept, and read for implied
volatilities; the model price then goes to ``model_price``). It is read,
priced and written back chunk by chunk, so memory stays flat whatever the
book's length. Each row's price depends only on that
row (the engines price options independently), so the result is the same
whatever the chunking, locally or on a Dask cluster.

The package: ``methods`` (how a book is priced), ``parsing`` (columns checked
and converted), ``formats`` (CSV and Parquet files, atomic output),
``executors`` (a local thread or a Dask cluster), ``driver`` (``price_book``)
and ``sample`` (random books). pyarrow and tqdm are optional
(``pip install 'orvelta[io]'``); they are imported only when a book is read
or a progress bar is shown.
"""

from .driver import Summary as Summary
from .driver import price_book as price_book
from .errors import BookError as BookError
from .errors import Interrupts as Interrupts
from .errors import Signalled as Signalled
from .errors import UsageError as UsageError
from .errors import require as require
from .methods import GREEKS as GREEKS
from .methods import MARKET as MARKET
from .methods import METHODS as METHODS
from .methods import MODELS as MODELS
from .methods import TREE_TYPES as TREE_TYPES
from .methods import Method as Method
from .methods import price_columns as price_columns
from .parsing import check_header as check_header
from .parsing import parse_columns as parse_columns
from .sample import sample_book as sample_book

__all__ = [
    "BookError",
    "UsageError",
    "Signalled",
    "Interrupts",
    "Summary",
    "Method",
    "price_book",
    "price_columns",
    "parse_columns",
    "check_header",
    "sample_book",
    "require",
    "MARKET",
    "GREEKS",
    "METHODS",
    "MODELS",
    "TREE_TYPES",
]
