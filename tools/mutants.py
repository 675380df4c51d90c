"""Plants one-line bugs, one at a time, and reports which the tests catch.

    python tools/mutants.py            # every mutant (about a minute each)
    python tools/mutants.py 3 5        # only mutants 3 and 5

Each mutant is built with `make build` and run against the C++ tests and the
pytest suite (stopping at the first failure); a mutant counts as caught when
the build or any test fails. The source is restored after every mutant, and
the unmodified module is rebuilt at the end.
"""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PY = ROOT / ".venv" / "bin" / "python"
CTEST = ROOT / ".venv" / "bin" / "ctest"

# (file, text, replacement, what the bug is)
MUTANTS = [
    ("src/engine/backward/kernels.cpp",
     "QUARN_TRY(Storage quotient, div(num, den));",
     "QUARN_TRY(Storage partial, div(num, b));\n    QUARN_TRY(Storage quotient, div(partial, b));\n    (void)den;",
     "gradient of a / b: divides by b twice instead of once by the rounded b * b"),
    ("src/engine/backward/kernels.cpp",
     "QUARN_TRY(Storage factor, scalar_rdiv(square, -s));\n  return mul(g, factor);",
     "QUARN_TRY(Storage factor, scalar_rdiv(t, -s));\n  QUARN_TRY(Storage partial, mul(g, factor));\n"
     "  (void)square;\n  return div(partial, t);",
     "gradient of number / t: -s / t / t without the rounded square"),
    ("src/engine/elementwise/kernels.hpp",
     "return static_cast<std::uint16_t>(x - 1) < Fmt::kInf ? g : std::uint16_t{0};",
     "return static_cast<std::uint16_t>(x - 1) <= Fmt::kInf ? g : std::uint16_t{0};",
     "half-precision relu gradient lets the gradient through at the first NaN pattern"),
    ("src/engine/elementwise/kernels.hpp",
     "return x > T{} ? g : T{};",
     "return x >= T{} ? g : T{};",
     "float32 relu gradient passes at zero"),
    ("src/engine/nd_walk.hpp",
     "for (std::size_t k = 0; k < N; ++k) mergeable &= plan.step[k].back() == stride(k, ax) * extent;",
     "mergeable &= plan.step[0].back() == stride(0, ax) * extent;",
     "walk planner merges axes looking at the result's strides only"),
    ("src/engine/copy.cpp",
     "if (stride == static_cast<std::ptrdiff_t>(itemsize)) {",
     "if (stride >= static_cast<std::ptrdiff_t>(itemsize)) {",
     "gather copies any forward-strided run as if it were contiguous"),
    ("src/engine/backward/kernels.cpp",
     "std::vector<double> acc(n, 0.0);\n    accumulate_over<double, float>",
     "std::vector<float> acc(n, 0.0f);\n    accumulate_over<float, float>",
     "float32 gradients summed over broadcast axes in float instead of double"),
    ("src/engine/gemm/sgemm.cpp",
     "ic == 0 ? &bsrc : nullptr",
     "ic == 0 && pc == 0 ? &bsrc : nullptr",
     "SGEMM packs B only for the first k block"),
    ("src/autograd/graph.hpp",
     "return t.node_id && t.graph == identity_;",
     "return t.node_id.has_value();",
     "tensors of a cleared or foreign graph count as current"),
    ("src/engine/convert_bits.hpp",
     "return bits + ((1u << (shift - 1)) - 1u) + kept_lsb;",
     "return bits + (1u << (shift - 1));",
     "rounding to half precision breaks ties away from zero"),
    ("src/engine/loss.cpp",
     "for (std::size_t j = 0; j < n; ++j) shifted[j] = x[j] - m;",
     "for (std::size_t j = 0; j < n; ++j) shifted[j] = x[j] - 0.0f * m;",
     "log-softmax and softmax without the row's maximum subtracted"),
    ("src/engine/loss.cpp",
     "right[i] = -left[i];",
     "right[i] = left[i];",
     "mse_loss: the target's gradient with the wrong sign"),
    ("src/autograd/rules.cpp",
     "return ctx.accumulate(n.inputs[0], engine::softmax_backward(n.saved->result, at_own, n.axis0));",
     "(void)at_own;\n  return ctx.accumulate(n.inputs[0], engine::softmax_backward(n.saved->result, g, n.axis0));",
     "softmax's rule does not sum a broadcast gradient back first"),
    ("src/engine/elementwise/kernels.hpp",
     "static T apply(T x, T g) { return x > T{} ? g : (x < T{} ? -g : x * g); }",
     "static T apply(T x, T g) { return x > T{} ? g : -g; }",
     "abs's gradient is -g at zero instead of 0"),
]


def run(cmd, **kw):
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw).returncode


def caught():
    build = subprocess.run(["make", "build"], cwd=ROOT, capture_output=True, text=True)
    if build.returncode != 0:
        # Only a failed compile-time check counts; a mutant that does not
        # compile for any other reason is a fault of this list.
        if "static assertion failed" in build.stdout + build.stderr:
            return "compile-time check"
        return "INVALID: does not compile"
    if run([str(CTEST), "--test-dir", "build/.venv"]) != 0:
        return "C++ tests"
    if run([str(PY), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"]) != 0:
        return "pytest"
    return None


def main():
    chosen = {int(a) for a in sys.argv[1:]}
    results = []
    for number, (path, old, new, what) in enumerate(MUTANTS, 1):
        if chosen and number not in chosen:
            continue
        file = ROOT / path
        original = file.read_text()
        if original.count(old) != 1:
            results.append((number, what, "not applied: the line has changed"))
            continue
        try:
            file.write_text(original.replace(old, new))
            by = caught()
        finally:
            file.write_text(original)
        verdict = by if by and by.startswith("INVALID") else f"caught ({by})" if by else "MISSED"
        results.append((number, what, verdict))
        print(f"{number:2d}  {results[-1][2]:<22} {what}", flush=True)
    run(["make", "build"])
    missed = [r for r in results if not r[2].startswith("caught")]
    print(f"{len(results) - len(missed)} of {len(results)} caught")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
