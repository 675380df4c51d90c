"""Hypothesis profiles for the property tests, loaded before any test module
is imported.

Normal runs try a fixed, bounded set of examples (derandomized, so every run
of the suite sees the same cases); with QUARN_FUZZ=1 in the environment each
run draws many more, fresh ones. Without hypothesis installed the property
tests are not collected."""

import os

try:
    from hypothesis import HealthCheck, settings
except ImportError:
    collect_ignore_glob = ["test_*.py"]
else:
    common = dict(
        deadline=None,
        database=None,
        # The suite-wide fixture that clears the graph runs once per test;
        # every example clears the graph again itself.
        suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
    )
    settings.register_profile("quarn", max_examples=300, derandomize=True, **common)
    settings.register_profile("quarn-fuzz", max_examples=5000, print_blob=True, **common)
    settings.load_profile("quarn-fuzz" if os.environ.get("QUARN_FUZZ", "") not in ("", "0") else "quarn")
