"""The type information matches the compiled module, accepts a correct
program under `mypy --strict`, and rejects each planted mistake."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).parent


def run(args, tmp_path):
    # Run from an empty folder so only the installed packages are found.
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path,
                          capture_output=True, text=True)


def test_stubs_match_the_compiled_module(tmp_path):
    done = run(["mypy.stubtest", "quarn_core", "quarn",
                "--allowlist", str(HERE / "stubtest_allowlist.txt")], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_strict_mypy_accepts_the_usage_and_flags_every_mistake(tmp_path):
    usage, errors = HERE / "typed_usage.py", HERE / "typed_errors.py"
    done = run(["mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                str(usage), str(errors)], tmp_path)
    reported = {}
    for line in done.stdout.splitlines():
        match = re.match(r"(.+?):(\d+): error:", line)
        if match:
            reported.setdefault(Path(match.group(1)).name, set()).add(int(match.group(2)))
    marked = {number for number, text in enumerate(errors.read_text().splitlines(), 1)
              if text.endswith("# error")}
    assert "typed_usage.py" not in reported, done.stdout
    assert reported.get("typed_errors.py") == marked, done.stdout
    assert done.returncode == 1


def test_the_usage_program_runs():
    done = subprocess.run([sys.executable, str(HERE / "typed_usage.py")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
