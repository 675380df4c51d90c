"""Without a package that registers bfloat16 with NumPy, bfloat16 data cannot
cross the border; the failure is NumPy's own exception. Runs in a fresh
interpreter, since the test session imports such a package."""

import subprocess
import sys
import textwrap


def test_bfloat16_construction_fails_with_numpys_error_in_a_fresh_interpreter():
    script = textwrap.dedent(
        """
        import numpy as np
        import quarn_core as q
        for data in (np.zeros(2, np.float32), [1.0, 2.0]):
            try:
                q.Tensor(data, dtype="bfloat16", requires_grad=True)
            except TypeError as e:
                assert "bfloat16" in str(e), e
            else:
                raise AssertionError("constructed a bfloat16 tensor without a bfloat16 type")
        # Nothing was registered: the next leaf is the graph's first node.
        probe = q.Tensor([1.0], requires_grad=True)
        q.Tensor.clear_graph()
        try:
            probe.backward()
        except BaseException as e:
            assert str(e) == "index out of bounds: the len is 0 but the index is 0", e
        else:
            raise AssertionError("backward() from beyond the graph succeeded")
        print("ok")
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
