"""Loads the hypothesis profile before any property test module is imported.
Without hypothesis installed the property tests are not collected."""

try:
    import fuzzing  # noqa: F401  (registers and loads the profile)
except ImportError:
    collect_ignore_glob = ["test_*.py"]
