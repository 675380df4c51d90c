"""The generator that initial weights and dropout draw from unless given
their own: a NumPy Generator, reseeded by quarn.manual_seed."""

from __future__ import annotations

import numpy as np

_generator = np.random.default_rng()


def manual_seed(seed: int) -> np.random.Generator:
    """Reseeds quarn's default generator (a numpy.random.Generator, PCG64)
    and returns it: modules made after this draw the same initial weights
    in every run."""
    global _generator
    _generator = np.random.default_rng(seed)
    return _generator


def default_generator() -> np.random.Generator:
    """The generator modules use when none is given."""
    return _generator


def generator_or_default(generator: np.random.Generator | None) -> np.random.Generator:
    if generator is None:
        return _generator
    if not isinstance(generator, np.random.Generator):
        raise TypeError(f"generator must be a numpy.random.Generator, not {type(generator).__name__}")
    return generator
