"""Every Python example in the README runs as written; each asserts what the
text around it claims."""

import re
from pathlib import Path

import pytest

import quarn

ROOT = Path(__file__).resolve().parents[2]
GUIDES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def python_blocks():
    for guide in GUIDES:
        text = guide.read_text(encoding="utf-8")
        for match in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
            line = text.count("\n", 0, match.start()) + 1
            yield pytest.param(match.group(1), id=f"{guide.name}:{line}")


BLOCKS = list(python_blocks())


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 10


@pytest.mark.parametrize("source", BLOCKS)
def test_example_runs(source, capsys):
    if "quarn import distributed" in source:
        pytest.importorskip("mpi4py", reason="the MPI example needs mpi4py: pip install 'quarn[mpi]'")
    quarn.clear_graph()
    exec(compile(source, "<README example>", "exec"), {"__name__": "__readme__"})
