"""Solving through HiGHS: where the time of Model.solve goes, beside highspy fed directly.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/solve_lp.py [--quick]

A cyclic shift-covering LP (staffing): N periods and N shift types; shift j
works periods j .. j+9 (cyclically) with an efficiency in [1, 2] per period,
costs in [1, 2] and at most 10 crews; period i needs cover b_i in [5, 15]:
  minimise sum_j c_j x_j  s.t.  sum_{j covering i} a_ij x_j >= b_i,  0 <= x_j <= 10.
N columns, N rows, 10*N nonzeros; N = 100,000 (1,000,000 nonzeros), or
10,000 with --quick.

Model.solve is split into phases by a thin highspy.Highs subclass that notes
the time when HiGHS is constructed, when passModel starts and ends and when
run starts and ends:
  standard form   call -> Highs() (model lock, standard form, options)
  hand-off        Highs() -> end of passModel (HiGHS options, arrays, passModel)
  run             HiGHS's run
  result          end of run -> Result returned (read-back, model snapshot)
The direct reference builds the same CSC arrays with numpy and times
Highs() + passModel + run on them.

Goals: Model.solve total at most 1.15x the direct time; everything except
run at most 10% of the total; on a 1,000-variable LP less than 5 ms beyond run.
"""
import random
import statistics
import sys
import time

import highspy
import numpy as np

import pelora_opt as po

QUICK = "--quick" in sys.argv
N = 10_000 if QUICK else 100_000
PER_ROW = 10


def data(n, seed=1):
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        shifts = [(i - k) % n for k in range(PER_ROW)]
        rows.append(([(j, rng.uniform(1, 2)) for j in shifts], rng.uniform(5, 15)))
    costs = [rng.uniform(1, 2) for _ in range(n)]
    return rows, costs


def build_model(n, rows, costs):
    m = po.Model("shifts")
    x = m.variables("x", n, lower=0, upper=10)
    for terms, b in rows:
        m.add(po.sum([c * x[j] for j, c in terms]) >= b)
    m.minimize(po.sum([c * xj for c, xj in zip(costs, x)]))
    return m


class Clock(highspy.Highs):
    marks = {}

    def __init__(self):
        Clock.marks["init"] = time.perf_counter()
        super().__init__()
        Clock.marks["init_end"] = time.perf_counter()

    def passModel(self, *args):
        Clock.marks["pass"] = time.perf_counter()
        status = super().passModel(*args)
        Clock.marks["pass_end"] = time.perf_counter()
        return status

    def run(self):
        Clock.marks["run"] = time.perf_counter()
        status = super().run()
        Clock.marks["run_end"] = time.perf_counter()
        return status


def timed_solve(m):
    real = highspy.Highs
    highspy.Highs = Clock
    try:
        t0 = time.perf_counter()
        r = m.solve()
        t1 = time.perf_counter()
    finally:
        highspy.Highs = real
    k = Clock.marks
    return r, {
        "standard form": k["init"] - t0,
        "hand-off": k["pass_end"] - k["init"],
        "run": k["run_end"] - k["run"],
        "result": t1 - k["run_end"],
        "total": t1 - t0,
    }


def direct(n, rows, costs):
    counts = np.zeros(n + 1, dtype=np.int64)
    for terms, _ in rows:
        for j, _c in terms:
            counts[j + 1] += 1
    start = np.cumsum(counts)
    nxt = start[:-1].copy()
    index = np.empty(start[-1], dtype=np.int32)
    value = np.empty(start[-1])
    for r, (terms, _) in enumerate(rows):
        for j, c in terms:
            index[nxt[j]] = r
            value[nxt[j]] = c
            nxt[j] += 1
    rl = np.array([b for _, b in rows])
    ru = np.full(n, np.inf)
    arrays = (np.array(costs), np.zeros(n), np.full(n, 10.0), rl, ru,
              start.astype(np.int32), index, value, np.zeros(n, dtype=np.int32))
    t0 = time.perf_counter()
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.passModel(n, n, len(value), 1, 1, 0.0, *arrays)
    h.run()
    t1 = time.perf_counter()
    return h.getInfoValue("objective_function_value")[1], t1 - t0


def main():
    print(f"shift-covering LP: {N:,} columns, {N:,} rows, {N * PER_ROW:,} nonzeros")
    rows, costs = data(N)
    t0 = time.perf_counter()
    m = build_model(N, rows, costs)
    print(f"  model building (Python API)   {time.perf_counter() - t0:8.3f} s")

    direct_obj, direct_time = direct(N, rows, costs)
    r, phases = timed_solve(m)
    assert r.status == "optimal", r
    assert abs(r.objective - direct_obj) <= 1e-6 * max(1.0, abs(direct_obj))
    for name, t in phases.items():
        print(f"  Model.solve {name:<18}{t:8.3f} s")
    print(f"  highspy direct (Highs+passModel+run) {direct_time:8.3f} s")
    outside = phases["total"] - phases["run"]
    print(f"  ratio to direct: {phases['total'] / direct_time:.3f}x (goal <= 1.15x); "
          f"outside run: {100 * outside / phases['total']:.1f}% (goal <= 10%)")

    small_rows, small_costs = data(1000, seed=2)
    small = build_model(1000, small_rows, small_costs)
    extra = []
    for _ in range(15):
        _, p = timed_solve(small)
        extra.append(p["total"] - p["run"])
    print(f"  1,000-variable LP: median {1000 * statistics.median(extra):.2f} ms beyond run "
          f"(goal < 5 ms)")


if __name__ == "__main__":
    main()
