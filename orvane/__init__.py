"""Orvane: the core library of a goal-driven self-evaluation agent."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("orvane")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"
