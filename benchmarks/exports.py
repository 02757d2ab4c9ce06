"""Text exports per constraint nonzero, side by side with HiGHS's own writer.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/exports.py [--quick] [--repeat N] [--cpu]

Two models built from arrays, each also passed to a highspy Highs object:
  transport   S sources x D sinks, every coefficient 1 (integral numbers)
  random      the same shape, every coefficient and bound a random double
              (17 significant digits: the formatting worst case)

For each: Model.to_lp, to_mps, to_python, write(.lp), write(.mps) and highspy's
writeModel(.lp / .mps) on the same model, median of N runs, in ns per nonzero
(objective terms included). Files go to a temporary directory. --cpu times
the process's CPU time instead of the wall clock (steadier on a loaded
machine; every way here runs on one thread).

Goals: to_lp and to_mps at most 150 ns per nonzero, and no slower than
writeModel on the same model.
"""
import os
import statistics
import sys
import tempfile
import time

import numpy as np
import scipy.sparse as sp

import highspy
import pelora_opt as po

QUICK = "--quick" in sys.argv
REPEAT = int(sys.argv[sys.argv.index("--repeat") + 1]) if "--repeat" in sys.argv else 5
CLOCK = time.process_time if "--cpu" in sys.argv else time.perf_counter
S, D = (50, 1000) if QUICK else (250, 2000)


def transport(random):
    rng = np.random.default_rng(3)
    n = S * D
    rows = np.concatenate([np.repeat(np.arange(S), D), S + np.tile(np.arange(D), S)])
    cols = np.concatenate([np.arange(n), np.arange(n)])
    vals = rng.uniform(0.5, 2.0, 2 * n) if random else np.ones(2 * n)
    A = sp.csr_matrix((vals, (rows, cols)), shape=(S + D, n))
    rhs = np.concatenate([rng.uniform(1.0, 2.0, S) * D, rng.uniform(0.5, 1.0, D) * S * 0.9])
    cost = rng.uniform(1.0, 10.0, n)
    upper = rng.uniform(5.0, 50.0, n) if random else np.full(n, np.inf)
    m = po.Model("transport")
    x = m.variables("x", n, lower=0.0, upper=upper if random else float("inf"))
    m.add_matrix(A, x, ["<="] * S + [">="] * D, rhs)
    m.minimize(po.dot(cost, x))
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    inf = highspy.kHighsInf
    h.passModel(n, S + D, A.nnz, highspy.MatrixFormat.kRowwise, highspy.ObjSense.kMinimize, 0.0,
                cost, np.zeros(n), np.where(np.isinf(upper), inf, upper),
                np.concatenate([np.full(S, -inf), rhs[S:]]),
                np.concatenate([rhs[:S], np.full(D, inf)]),
                A.indptr, A.indices, A.data, np.zeros(n, dtype=np.int32))
    return m, h, A.nnz + n


def timed(f):
    times = []
    for _ in range(REPEAT):
        t0 = CLOCK()
        f()
        times.append(CLOCK() - t0)
    return statistics.median(times)


def main():
    tmp = tempfile.mkdtemp()
    clock = "CPU time" if CLOCK is time.process_time else "wall clock"
    print(f"exports, ns per nonzero (objective terms included), median of {REPEAT}, {clock}")
    print(f"{'model':<10} {'nnz':>9} " + " ".join(f"{k:>11}" for k in
          ("to_lp", "to_mps", "to_python", "write .lp", "write .mps", "HiGHS .lp", "HiGHS .mps")))
    for label, random in (("transport", False), ("random", True)):
        m, h, nnz = transport(random)
        ways = [
            m.to_lp, m.to_mps, m.to_python,
            lambda: m.write(os.path.join(tmp, "m.lp")),
            lambda: m.write(os.path.join(tmp, "m.mps")),
            lambda: h.writeModel(os.path.join(tmp, "h.lp")),
            lambda: h.writeModel(os.path.join(tmp, "h.mps")),
        ]
        row = [timed(f) / nnz * 1e9 for f in ways]
        print(f"{label:<10} {nnz:>9} " + " ".join(f"{v:>11.0f}" for v in row))
        for f in os.listdir(tmp):
            os.unlink(os.path.join(tmp, f))
    os.rmdir(tmp)


if __name__ == "__main__":
    main()
