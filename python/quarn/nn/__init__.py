"""Neural-network building blocks; so far the functions of ``quarn.nn.functional``."""

from . import functional

__all__ = ["functional"]
