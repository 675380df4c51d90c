"""Hands every row a benchmark prints to `run_all.py` as well.

`run_all.py` starts each script with QUARN_BENCH_RECORD naming a file; each
measured case is appended to it as one JSON line, so the combined table is
built from the figures themselves rather than read back from printed text.
Run on its own, a script records nothing.
"""

import json
import os

_section = ""


def section(title):
    """Names the group of the rows recorded next (a script's sub-table)."""
    global _section
    _section = title


def record(case, ours, numpy=None, torch=None, unit="s"):
    """One case: our figure and NumPy's and PyTorch's (None where absent).

    unit is "s" for times or "GFLOP/s" for rates; run_all.py turns both into
    the ratio of our time to theirs.
    """
    path = os.environ.get("QUARN_BENCH_RECORD")
    if not path:
        return
    line = {"section": _section, "case": case, "unit": unit,
            "quarn": ours, "numpy": numpy, "torch": torch}
    with open(path, "a", encoding="utf-8") as out:
        out.write(json.dumps(line) + "\n")
