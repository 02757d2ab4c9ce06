"""Model files: read_model against highspy alone, and export time per nonzero.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/read_model.py [--quick] [--data DIR] [--cpu]

Reading: pelora_opt.read_model(path) against highspy reading the same file
alone (Highs().readModel(path) and getModel(), which is the part read_model
cannot avoid; readModel by itself is shown too), on the largest instance of
the public data directory and on two generated MPS files with 1,000,000
nonzeros (200,000 columns, 20,000 rows of 50 entries; --quick: 100,000
nonzeros), one with continuous columns and one with integer columns only.
The three readers run in turn, REPEATS times, and the median of each is shown,
with --cpu the process's CPU time too (read_model checks MPS entries on a
second thread while HiGHS reads, so its CPU time exceeds its wall time).
Peak memory: each of read_model and highspy alone reads the file once in a
fresh interpreter; the growth of its peak resident size is shown in bytes per
nonzero.

Exports: to_lp, to_mps and to_python of the generated model, in nanoseconds
per constraint nonzero.

Goal: read_model at most 1.1x highspy alone, integer-heavy files too.
"""
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time

import highspy

import pelora_opt as po

QUICK = "--quick" in sys.argv
ROWS = 2_000 if QUICK else 20_000
PER_ROW = 50
COLS = 20_000 if QUICK else 200_000
REPEATS = 3


def data_dir():
    if "--data" in sys.argv:
        return pathlib.Path(sys.argv[sys.argv.index("--data") + 1])
    here = pathlib.Path(__file__).resolve().parent.parent
    for p in (os.environ.get("PELORA_DATA"), "/work/shared/data", here.parent / "shared" / "data"):
        if p and pathlib.Path(p).is_dir():
            return pathlib.Path(p)
    return None


def best(f):
    times = []
    for _ in range(REPEATS):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def highs_alone(path, model=True):
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(str(path))
    if model:
        h.getModel()


PEAK = """
import sys
import highspy, pelora_opt as po


def peak():
    # VmHWM, not ru_maxrss: a child's ru_maxrss starts at its parent's size.
    with open("/proc/self/status") as f:
        return next(int(ln.split()[1]) for ln in f if ln.startswith("VmHWM"))


path, which = sys.argv[1], sys.argv[2]
h = highspy.Highs()  # the banner, HiGHS's first allocations
before = peak()
if which == "read_model":
    m = po.read_model(path)
else:
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(path)
    lp = h.getModel()
print(peak() - before)
"""


def peak_kib(path, which):
    out = subprocess.run([sys.executable, "-c", PEAK, str(path), which], capture_output=True,
                         text=True, check=True).stdout
    return int(out.split()[-1])


def compare(label, path, nnz):
    po.read_model(path)  # warm: imports, the banner
    ways = {"read_model": lambda: po.read_model(path), "alone": lambda: highs_alone(path),
            "readModel": lambda: highs_alone(path, False)}
    times = {k: [] for k in ways}
    cpu = {k: [] for k in ways}
    for _ in range(REPEATS):
        for k, f in ways.items():
            t, c = time.perf_counter(), time.process_time()
            f()
            times[k].append(time.perf_counter() - t)
            cpu[k].append(time.process_time() - c)
    ours, alone, bare = (statistics.median(times[k]) for k in ways)
    print(f"{label:<40} read_model {ours * 1e3:8.1f} ms   highspy alone {alone * 1e3:8.1f} ms"
          f" (readModel {bare * 1e3:8.1f})   ratio {ours / alone:5.2f} / {ours / bare:5.2f}"
          f"  (goal <= 1.1)")
    if "--cpu" in sys.argv:
        ours, alone = statistics.median(cpu["read_model"]), statistics.median(cpu["alone"])
        print(f"{'':<40} CPU time: read_model {ours * 1e3:8.1f} ms   highspy alone"
              f" {alone * 1e3:8.1f} ms   ratio {ours / alone:5.2f}")
    if nnz:
        ours, alone = peak_kib(path, "read_model"), peak_kib(path, "alone")
        print(f"{'':<40} peak memory: read_model {ours * 1024 / nnz:6.0f} B/nnz   highspy alone"
              f" {alone * 1024 / nnz:6.0f} B/nnz")


def integer_model():
    import numpy as np
    import scipy.sparse as sp

    rng = np.random.default_rng(7)
    m = po.Model("integers")
    ks = m.integers("k", COLS, lower=0, upper=10)
    rows = np.repeat(np.arange(ROWS), PER_ROW)
    cols = np.concatenate([rng.choice(COLS, PER_ROW, replace=False) for _ in range(ROWS)])
    A = sp.csr_matrix((rng.integers(1, 10, ROWS * PER_ROW).astype(float), (rows, cols)),
                      shape=(ROWS, COLS))
    m.add_matrix(A, ks, ["<="] * ROWS, rng.integers(50, 500, ROWS).astype(float))
    m.maximize(po.dot(np.arange(COLS) % 5 + 1.0, ks))
    return m


def generated_model():
    rng = random.Random(7)
    m = po.Model("generated")
    xs = m.variables("x", COLS, 0, 10)
    for r in range(ROWS):
        cols = rng.sample(range(COLS), PER_ROW)
        m.add(po.sum([rng.randint(1, 9) * xs[j] for j in cols]) <= rng.randint(50, 500))
    m.maximize(po.sum([(j % 5 + 1) * x for j, x in enumerate(xs)]))
    return m


def main():
    print("Figures from one run; on a shared machine they move with the load.")
    data = data_dir()
    if data:
        files = sorted(data.rglob("*.mps*"), key=lambda p: p.stat().st_size)
        if files:
            largest = files[-1]
            m = po.read_model(largest)
            nnz = sum(1 for line in m.to_mps().splitlines() if line.startswith("    ") and
                      " obj " not in line and "MARKER" not in line)
            compare(f"{largest.name} ({nnz} nonzeros)", largest, nnz)
    m = generated_model()
    nnz = ROWS * PER_ROW
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp, "generated.mps")
        m.write(path)
        compare(f"generated MPS ({nnz} nonzeros)", path, nnz)
        path = pathlib.Path(tmp, "integers.mps")
        integer_model().write(path)
        compare(f"integer MPS ({COLS} integer columns)", path, nnz)
    for name in ["to_lp", "to_mps", "to_python"]:
        f = getattr(m, name)
        t = best(f)
        print(f"{name:<10} {t * 1e3:9.1f} ms   {t / nnz * 1e9:7.1f} ns per nonzero")


if __name__ == "__main__":
    main()
