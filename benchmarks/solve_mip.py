"""Handing a mixed-integer linear model to SCIP: Model.solve(solver="scip")
beside the same model built directly with pyscipopt's matrix interface.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/solve_mip.py [--quick]

The model: R rows and C columns (every other column integer in [0, 10], the
rest continuous in [0, 5]), each row a random <= row over K distinct columns;
R = 2,000, C = 4,000, K = 50: 100,000 nonzeros (--quick: a tenth of the rows).

Only the hand-off is timed, not SCIP's search: a thin pyscipopt.Model
subclass notes the time when it is constructed and when optimize() is
called, and returns from optimize() without solving. It also records the
number of variables and constraints SCIP holds then, so both builds are
checked to hand over the same model.
  hand-off     pyscipopt.Model() -> optimize() called
  total        Model.solve called -> optimize() called (adds the model lock,
               the standard form and the options)
Direct builds, timed from pyscipopt.Model() to the optimize() call, from
numpy data prepared beforehand:
  dense        x = addMatrixVar(...); addMatrixCons(A_dense @ x <= b)
  row-wise     x = addMatrixVar(...); addMatrixCons of vals_i @ x[idx_i] <= b_i
               per row (the matrix interface applied to the sparse rows)

Goal: the hand-off at most 1.2x the faster direct build.
"""
import statistics
import sys
import time

import numpy as np
import pyscipopt

import pelora_opt as po

QUICK = "--quick" in sys.argv
ROWS = 200 if QUICK else 2_000
COLS = 4_000
PER_ROW = 50
REPEAT = 5


def data(seed=7):
    rng = np.random.default_rng(seed)
    idx = np.array([np.sort(rng.choice(COLS, PER_ROW, replace=False)) for _ in range(ROWS)])
    vals = rng.uniform(1, 10, size=(ROWS, PER_ROW)).round(3)
    rhs = rng.uniform(50, 500, size=ROWS).round(2)
    cost = -rng.uniform(1, 5, size=COLS).round(3)
    integer = np.arange(COLS) % 2 == 0
    lower = np.zeros(COLS)
    upper = np.where(integer, 10.0, 5.0)
    return idx, vals, rhs, cost, integer, lower, upper


class Clock(pyscipopt.Model):
    """Notes construction and the optimize() call; solves nothing."""

    marks = {}

    def __init__(self, *args, **kwargs):
        Clock.marks["init"] = time.perf_counter()
        super().__init__(*args, **kwargs)

    def optimize(self):
        Clock.marks["optimize"] = time.perf_counter()
        Clock.marks["size"] = (self.getNVars(), self.getNConss())


def build_model(d):
    idx, vals, rhs, cost, integer, lower, upper = d
    m = po.Model("mip")
    x = [
        m.integer(f"x{j}", lower=lower[j], upper=upper[j]) if integer[j]
        else m.variable(f"x{j}", lower=lower[j], upper=upper[j])
        for j in range(COLS)
    ]
    for i in range(ROWS):
        m.add(po.sum([float(a) * x[j] for a, j in zip(vals[i], idx[i])]) <= float(rhs[i]))
    m.minimize(po.sum([float(c) * xj for c, xj in zip(cost, x)]))
    return m


def through_model(m):
    t0 = time.perf_counter()
    m.solve(solver="scip")
    marks = Clock.marks
    return marks["optimize"] - marks["init"], marks["optimize"] - t0, marks["size"]


def direct_dense(d, dense):
    idx, vals, rhs, cost, integer, lower, upper = d
    vtype = np.where(integer, "I", "C")
    s = Clock()
    s.hideOutput()
    x = s.addMatrixVar((COLS,), vtype=vtype, lb=lower, ub=upper, obj=cost)
    s.addMatrixCons(dense @ x <= rhs)
    s.optimize()
    marks = Clock.marks
    return marks["optimize"] - marks["init"], marks["size"]


def direct_rowwise(d):
    idx, vals, rhs, cost, integer, lower, upper = d
    vtype = np.where(integer, "I", "C")
    s = Clock()
    s.hideOutput()
    x = s.addMatrixVar((COLS,), vtype=vtype, lb=lower, ub=upper, obj=cost)
    rows = np.empty(ROWS, dtype=object)
    for i in range(ROWS):
        rows[i] = vals[i] @ x[idx[i]] <= rhs[i]
    s.addMatrixCons(rows.view(pyscipopt.MatrixExprCons))
    s.optimize()
    marks = Clock.marks
    return marks["optimize"] - marks["init"], marks["size"]


def main():
    d = data()
    idx, vals, rhs = d[0], d[1], d[2]
    dense = np.zeros((ROWS, COLS))
    for i in range(ROWS):
        dense[i, idx[i]] = vals[i]
    nnz = int((dense != 0).sum())
    print(f"MILP: {ROWS} rows, {COLS} columns ({COLS // 2} integer), {nnz} nonzeros; "
          f"median of {REPEAT} runs")

    m = build_model(d)
    original = pyscipopt.Model
    pyscipopt.Model = Clock
    try:
        handoff, total, dense_t, rowwise_t = [], [], [], []
        sizes = set()
        for _ in range(REPEAT):
            h, t, size = through_model(m)
            handoff.append(h), total.append(t), sizes.add(("model", size))
            t, size = direct_dense(d, dense)
            dense_t.append(t), sizes.add(("dense", size))
            t, size = direct_rowwise(d)
            rowwise_t.append(t), sizes.add(("rowwise", size))
    finally:
        pyscipopt.Model = original
    counts = {size for _, size in sizes}
    assert len(counts) == 1, f"the builds differ: {sorted(sizes)}"

    med = statistics.median
    h, t, dn, rw = med(handoff), med(total), med(dense_t), med(rowwise_t)
    best = min(dn, rw)
    print(f"  SCIP holds {counts.pop()} (variables, constraints) after every build")
    print(f"  Model.solve hand-off (Model() -> optimize)   {h * 1e3:8.1f} ms")
    print(f"  Model.solve total (call -> optimize)         {t * 1e3:8.1f} ms")
    print(f"  direct, dense A @ x                          {dn * 1e3:8.1f} ms")
    print(f"  direct, row-wise vals_i @ x[idx_i]           {rw * 1e3:8.1f} ms")
    print(f"  hand-off / faster direct build: {h / best:.2f}x (goal <= 1.2x); "
          f"total / faster direct build: {t / best:.2f}x")


if __name__ == "__main__":
    main()
