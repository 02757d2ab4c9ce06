"""time_limit on a mixed-integer model whose LP relaxation is tried first.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/time_budget.py [LIMIT]

A covering model with 3,000 integer columns (0..1) and 4,000 rows of 10
entries (each row covered twice), whose LP relaxation alone takes longer
than the limit (default 2 s). Model.solve first tries the LP relaxation,
which the limit stops, then the mixed-integer model; both runs share the
call's time_limit. Shown: the wall time of
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
N, M, K = 3000, 4000, 10


def data():
    import scipy.sparse as sp

    rng = np.random.default_rng(5)
    rows = np.repeat(np.arange(M), K)
    A = sp.csr_matrix((np.ones(M * K), (rows, rng.integers(0, N, M * K))), shape=(M, N))
    A.data[:] = 1.0
    return A, np.full(M, 2.0), rng.integers(1, 100, N).astype(float)


def ours(A, b, c):
    m = po.Model("cover")
    x = m.integers("x", N, lower=0, upper=1)
    m.add_matrix(A, x, [">="] * M, b)
    m.minimize(po.dot(c, x))
    t0 = time.perf_counter()
    r = m.solve(time_limit=LIMIT)
    return time.perf_counter() - t0, r.status


def alone(A, b, c):
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    inf = highspy.kHighsInf
    t0 = time.perf_counter()
    csc = A.tocsc()
    h.passModel(N, M, csc.nnz, highspy.MatrixFormat.kColwise, highspy.ObjSense.kMinimize, 0.0,
                c, np.zeros(N), np.ones(N), b, np.full(M, inf), csc.indptr, csc.indices,
                csc.data, np.ones(N, dtype=np.int32))
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
    print(f"cover, {N} integer columns, {M} rows, time_limit={LIMIT} (median of 3)")
    for label, ts in times.items():
        print(f"  {label:<14} {statistics.median(ts):6.2f} s   ({statuses[label]})")


if __name__ == "__main__":
    main()
