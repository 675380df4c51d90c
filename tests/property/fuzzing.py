"""Hypothesis profiles for the property tests.

Normal runs try a fixed, bounded set of examples (derandomized, so every run
of the suite sees the same cases); with QUARN_FUZZ=1 in the environment each
run draws many more, fresh ones."""

import os

from hypothesis import HealthCheck, settings

FUZZ = os.environ.get("QUARN_FUZZ", "") not in ("", "0")

_COMMON = dict(
    deadline=None,
    database=None,
    # The suite-wide fixture that clears the graph runs once per test; every
    # example clears the graph again itself.
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
settings.register_profile("quarn", max_examples=40, derandomize=True, **_COMMON)
settings.register_profile("quarn-fuzz", max_examples=4000, print_blob=True, **_COMMON)
settings.load_profile("quarn-fuzz" if FUZZ else "quarn")


def examples(n):
    """`n` examples in normal runs, a hundred times as many when fuzzing."""
    return n * 100 if FUZZ else n
