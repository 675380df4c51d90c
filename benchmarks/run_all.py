"""Run every benchmark (or those named) and combine their rows into one table.

    python benchmarks/run_all.py                       # all of benchmarks/bench_*.py
    python benchmarks/run_all.py bench_autograd.py     # just one

Each script's own report (with its targets) is shown as it runs; then one
table of every case follows: our figure, NumPy's and PyTorch's, and the
ratios of our time to theirs (below 1 means quarn is faster), all on one
thread. The table, the CPU, the instruction set the kernels dispatch to and
each script's full report are written to benchmarks/RESULTS.md (or --output).
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def cpu_name():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def kernel_isa():
    """The instruction set quarn's kernels pick on this CPU, by the same
    feature test the engine makes at run time."""
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return "unknown (no /proc/cpuinfo)"
    flags = set()
    for line in text.splitlines():
        if line.startswith("flags"):
            flags = set(line.split(":", 1)[1].split())
            break
    if {"avx512f", "avx512bw", "avx512vl", "avx512dq", "avx2", "fma", "f16c"} <= flags:
        return "AVX-512 (F, BW, VL, DQ)"
    if {"avx2", "fma", "f16c"} <= flags:
        return "AVX2 + FMA + F16C"
    return "portable x86-64"


def versions():
    code = ("import numpy, quarn_core\n"
            "try:\n import torch; t = torch.__version__\n"
            "except ImportError:\n t = 'not installed'\n"
            "print(numpy.__version__, t)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    numpy_version, torch_version = (out.stdout.split() + ["?", "?"])[:2]
    return numpy_version, torch_version


def run(script, record_path):
    env = dict(os.environ, QUARN_BENCH_RECORD=str(record_path))
    proc = subprocess.Popen([sys.executable, str(script)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, bufsize=1)
    lines = []
    for line in proc.stdout:
        sys.stdout.write(line)
        lines.append(line)
    return proc.wait(), "".join(lines)


def cells(row):
    """Figures and the time ratios quarn/NumPy and quarn/PyTorch."""
    unit = row["unit"]

    def figure(value):
        if value is None:
            return "-"
        if unit == "s":
            return f"{value * 1e6:.2f} µs" if value < 1e-4 else f"{value * 1e3:.3f} ms"
        return f"{value:.1f} {unit}"

    def ratio(theirs):
        ours = row["quarn"]
        if not theirs or not ours:
            return "-"
        # A rate is work per time, so the time ratio is the inverse.
        return f"{(ours / theirs if unit == 's' else theirs / ours):.2f}"

    return [figure(row["quarn"]), figure(row["numpy"]), figure(row["torch"]),
            ratio(row["numpy"]), ratio(row["torch"])]


def table(rows_by_script):
    head = ["case", "quarn", "NumPy", "PyTorch", "quarn/NumPy", "quarn/PyTorch"]
    body = []
    for script, rows in rows_by_script.items():
        for row in rows:
            case = f"{script.removeprefix('bench_').removesuffix('.py')}: "
            case += f"{row['section']}: {row['case']}" if row["section"] else row["case"]
            body.append([case, *cells(row)])
    widths = [max(len(r[i]) for r in [head, *body]) for i in range(len(head))]

    def line(r):
        return "| " + " | ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                 for i, (c, w) in enumerate(zip(r, widths))) + " |"

    rule = "| " + " | ".join("-" * (w - 1) + (":" if i else "-")
                             for i, w in enumerate(widths)) + " |"
    return "\n".join([line(head), rule, *(line(r) for r in body)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scripts", nargs="*", help="benchmark files (default: every bench_*.py)")
    parser.add_argument("--output", default=str(HERE / "RESULTS.md"))
    args = parser.parse_args()
    scripts = [HERE / Path(s).name for s in args.scripts] or sorted(HERE.glob("bench_*.py"))

    rows_by_script, reports, failed = {}, {}, []
    with tempfile.TemporaryDirectory() as tmp:
        for script in scripts:
            print(f"== {script.name}", flush=True)
            record = Path(tmp) / f"{script.stem}.jsonl"
            status, output = run(script, record)
            if status:
                failed.append(script.name)
            reports[script.name] = output
            rows_by_script[script.name] = (
                [json.loads(l) for l in record.read_text().splitlines()] if record.exists() else [])
            print()

    numpy_version, torch_version = versions()
    summary = "\n".join([
        f"- CPU: {cpu_name()}, kernels: {kernel_isa()}",
        f"- Python {platform.python_version()}, NumPy {numpy_version}, PyTorch {torch_version}; "
        "every contender on one thread",
        f"- {datetime.date.today().isoformat()}, `python benchmarks/run_all.py"
        + "".join(f" {s.name}" for s in scripts if args.scripts) + "`"
        + (" (only these)" if args.scripts else " (every benchmark, as `make bench` runs it)"),
        "- times are medians or best of several repeats as each script states; ratios are "
        "quarn's time divided by the other's (below 1: quarn is faster); GFLOP/s rows "
        "compare rates, turned into the same time ratio",
    ])
    combined = table(rows_by_script)
    print(summary)
    print()
    print(combined)

    parts = ["# Benchmark results", "", summary, "", combined, ""]
    for name, output in reports.items():
        parts += [f"## {name}", "", "```text", output.rstrip(), "```", ""]
    Path(args.output).write_text("\n".join(parts), encoding="utf-8")
    print(f"\nwrote {args.output}")
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
