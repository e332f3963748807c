"""The package version: the one place it is written (the build reads it too)."""

__version__ = "0.1.0"
