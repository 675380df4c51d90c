"""tools/include_graph.py fails on includes against the layer order.

Each case is a small tree of sources in a scratch git repository beside a
copy of the tool; CI relies on the exit status.
"""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[2] / "tools" / "include_graph.py"

BASE = {
    "src/runtime/error.hpp": "#pragma once\n",
    "src/core/tensor.hpp": '#include "runtime/error.hpp"\n',
    "src/engine/storage_ops.hpp": '#include "core/tensor.hpp"\n#include "gemm/sgemm.hpp"\n',
    "src/engine/gemm/sgemm.hpp": '#include "../storage_ops.hpp"\n',
    "src/ops/tensor_ops.hpp": '#include "engine/storage_ops.hpp"\n#include <Python.h>\n',
    "src/binding/module.cpp": '#include "ops/tensor_ops.hpp"\n#include "runtime/error.hpp"\n',
}


@pytest.mark.skipif(shutil.which("git") is None, reason="the tool lists files with git")
@pytest.mark.parametrize("changes, status, named", [
    ({}, 0, "no upward includes"),
    # A folder beside the includer named like a layer is not that layer.
    ({"src/engine/core/kernel.hpp": "#pragma once\n",
      "src/engine/fast.cpp": '#include "core/kernel.hpp"\n'}, 0, "no upward includes"),
    ({"src/core/tensor.hpp": '#include "engine/storage_ops.hpp"\n'}, 1,
     "src/core/tensor.hpp:1: core includes engine/storage_ops.hpp"),
    ({"src/runtime/error.hpp": '#pragma once\n\n#include "../binding/args.hpp"\n',
      "src/binding/args.hpp": "#pragma once\n"}, 1, "src/runtime/error.hpp:3: runtime includes"),
    ({"src/autograd/graph.hpp": '#include "ops/tensor_ops.hpp"\n'}, 1, "autograd includes ops/tensor_ops.hpp"),
    ({"src/extra/x.hpp": '#include "core/tensor.hpp"\n'}, 1, "src/extra: not a layer"),
])
def test_include_graph_exit_status(tmp_path, changes, status, named):
    (tmp_path / "tools").mkdir()
    shutil.copy(TOOL, tmp_path / "tools")
    for path, text in {**BASE, **changes}.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text)
    subprocess.run(["git", "init", "-q"], cwd=tmp_path, check=True)
    run = subprocess.run([sys.executable, str(tmp_path / "tools" / "include_graph.py")],
                         cwd=tmp_path / "src", capture_output=True, text=True)
    assert run.returncode == status, run.stdout + run.stderr
    assert named in run.stdout
