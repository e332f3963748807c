"""Compiled pricing engines of Orvelta: accurate American and European prices (type information)."""

import numpy as np
from numpy.typing import ArrayLike, NDArray
