"""Without a package that registers bfloat16 with NumPy, bfloat16 data cannot
cross the border; the failure is NumPy's own exception. Runs in a fresh
interpreter, since the test session imports such a package."""

import os
import subprocess
import sys
import textwrap


def test_bfloat16_construction_fails_with_numpys_error_in_a_fresh_interpreter():
    script = textwrap.dedent(
        """
        import sys
        import numpy as np
        import quarn_core as q
        assert "ml_dtypes" not in sys.modules, "quarn_core imported ml_dtypes"
        try:
            np.array([1.0], dtype="bfloat16")
        except Exception as exc:
            expected = (type(exc), str(exc))
        else:
            raise SystemExit("numpy knows bfloat16 already")
        assert expected[0] is TypeError and "bfloat16" in expected[1], expected
        for name in ("bfloat16", "bf16"):
            for data in (np.zeros(2, np.float32), [1.0, 2.0]):
                try:
                    q.Tensor(data, dtype=name, requires_grad=True)
                except Exception as exc:
                    actual = (type(exc), str(exc))
                else:
                    raise SystemExit("constructed a bfloat16 tensor")
                assert actual == expected, (actual, expected)
        # Nothing was registered: the next leaf is the graph's first node.
        probe = q.Tensor([1.0], requires_grad=True)
        q.Tensor.clear_graph()
        try:
            probe.backward()
        except BaseException as e:
            assert str(e) == "index out of bounds: the len is 0 but the index is 0", e
        else:
            raise AssertionError("backward() from beyond the graph succeeded")
        # Float32 tensors still work in the same process.
        assert q.Tensor([2.0]).to_numpy().tolist() == [2.0]
        print("ok")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
