"""time_limit on a mixed-integer model whose LP relaxation is tried first.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/time_budget.py [LIMIT]

A multi-dimensional knapsack with 3,000 integer columns (0..3) and 40 dense
rows, too hard to finish within the limit (default 2 s). Model.solve first
solves the LP relaxation (fractional here), then the mixed-integer model;
both runs share the call's time_limit. Shown: the wall time of
Model.solve(time_limit=LIMIT) and of highspy given the same arrays with the
same time_limit, median of 3 each, run in turn.

Goal: the whole solve keeps within time_limit as HiGHS alone does (before,
the relaxation and the mixed-integer run each had the full limit).
"""
import statistics
import sys
import time

import numpy as np

import highspy
import pelora_opt as po

LIMIT = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
N, M = 3000, 40


def data():
    rng = np.random.default_rng(11)
    A = rng.integers(1, 100, (M, N)).astype(float)
    b = A.sum(axis=1) * 0.3
    c = A.sum(axis=0) + rng.integers(0, 50, N)
    return A, b, c


def ours(A, b, c):
    m = po.Model("knapsack")
    x = m.integers("x", N, lower=0, upper=3)
    m.add_matrix(A, x, ["<="] * M, b)
    m.maximize(po.dot(c, x))
    t0 = time.perf_counter()
    r = m.solve(time_limit=LIMIT)
    return time.perf_counter() - t0, r.status


def alone(A, b, c):
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    inf = highspy.kHighsInf
    csc = A.T.reshape(-1)  # column-wise, dense
    start = np.arange(0, N * M + 1, M, dtype=np.int32)
    index = np.tile(np.arange(M, dtype=np.int32), N)
    t0 = time.perf_counter()
    h.passModel(N, M, N * M, highspy.MatrixFormat.kColwise, highspy.ObjSense.kMaximize, 0.0,
                c, np.zeros(N), np.full(N, 3.0), np.full(M, -inf), b, start, index, csc,
                np.ones(N, dtype=np.int32))
    h.setOptionValue("time_limit", LIMIT)
    h.run()
    return time.perf_counter() - t0, h.modelStatusToString(h.getModelStatus())


def main():
    A, b, c = data()
    times = {"Model.solve": [], "highspy alone": []}
    statuses = {}
    for _ in range(3):
        for label, f in (("Model.solve", ours), ("highspy alone", alone)):
            t, statuses[label] = f(A, b, c)
            times[label].append(t)
    print(f"knapsack, {N} integer columns, {M} rows, time_limit={LIMIT} (median of 3)")
    for label, ts in times.items():
        print(f"  {label:<14} {statistics.median(ts):6.2f} s   ({statuses[label]})")


if __name__ == "__main__":
    main()
