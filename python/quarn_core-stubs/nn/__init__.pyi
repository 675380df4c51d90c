"""Neural-network functions; a plain attribute of quarn_core, not an importable module."""

from . import functional as functional

__all__ = ["functional"]
