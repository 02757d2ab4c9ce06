"""Speed of Result.infeasibility_report on a large model.

A model of 2,000 constraints of 10 terms each over 1,000 variables in [0, 10]:
random rows that a known point satisfies with some slack (so propagation
tightens bounds a little on every pass) plus a hidden two-row conflict that
only propagation reveals. The deletion filter runs one propagation per
constraint, then an LP check of the set it keeps. A smaller model of the same
kind is checked for an infeasible, irreducible answer with scipy's linprog.
Last, the same conflict among free variables, which propagation cannot see:
the report falls back on HiGHS's own subsystem.

Run: PYTHONPATH=build/<dir> python3 benchmarks/diagnostics.py
"""

import math
import os
import random
import sys
import time

import pelora_opt as po

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from test_diagnostics_filter import GE, LE, assert_irreducible, build  # noqa: E402


def conflict_model(n_rows, n_vars, terms=10, seed=1, slack=(1.0, 15.0), free=False):
    rng = random.Random(seed)
    boxes = [(-math.inf, math.inf) if free else (0.0, 10.0)] * n_vars
    point = [rng.uniform(0.0, 10.0) for _ in range(n_vars)]
    # The conflict: ten variables forced to at least 5 by one row, the first
    # of them capped at 4 by another.
    group = rng.sample(range(n_vars), terms)
    other = [v for v in rng.sample(range(n_vars), terms + 1) if v != group[0]][: terms - 1]
    for v in group:
        point[v] = 9.9
    point[group[0]] = 4.0
    rows = []
    for _ in range(n_rows - 2):
        vars_ = rng.sample(range(n_vars), terms)
        terms_ = [(v, float(rng.choice([-3, -2, -1, 1, 2, 3]))) for v in vars_]
        act = sum(a * point[v] for v, a in terms_)
        if rng.random() < 0.5:
            rows.append((terms_, 0.0, LE, float(round(act + rng.uniform(*slack)))))
        else:
            rows.append((terms_, 0.0, GE, float(round(act - rng.uniform(*slack)))))
    a = ([(v, 1.0) for v in group], 0.0, GE, 95.0)
    b = ([(group[0], 1.0)] + [(v, 1.0) for v in other], 0.0, LE, 4.0)
    if free:  # without bounds the conflict must be between the rows alone
        b = ([(v, 1.0) for v in group], 0.0, LE, 90.0)
    pos = sorted(rng.sample(range(n_rows), 2))
    rows.insert(pos[0], a)
    rows.insert(pos[1], b)
    return boxes, rows, pos


def main():
    # An infeasible, irreducible answer on a smaller instance.
    boxes, rows, pos = conflict_model(120, 80, seed=3)
    got = build(boxes, rows).solve().infeasibility_report()["constraint_indices"]
    assert_irreducible(boxes, rows, got)
    print(f"120 rows: report {got} is infeasible and irreducible (hidden conflict at {pos})")

    # Looser rows leave propagation little to do; tighter ones make every
    # judgement run more passes before it settles.
    for slack in [(1.0, 15.0), (0.0, 3.0), (0.0, 0.5)]:
        boxes, rows, pos = conflict_model(2000, 1000, seed=1, slack=slack)
        result = build(boxes, rows).solve()
        times = []
        for _ in range(3):
            t0 = time.perf_counter()
            rep = result.infeasibility_report()
            times.append(time.perf_counter() - t0)
        print(
            f"2000 rows x 10 terms, row slack {slack}: status {result.status}, "
            f"infeasibility_report {min(times):.3f} s (best of 3), "
            f"set {rep['constraint_indices']} (hidden conflict at {pos})"
        )
    print(rep["explanation"][:160], "...")

    # Free variables: propagation proves nothing, HiGHS's subsystem is used.
    boxes, rows, pos = conflict_model(2000, 1000, seed=1, free=True)
    result = build(boxes, rows).solve()
    t0 = time.perf_counter()
    rep = result.infeasibility_report()
    print(
        f"2000 rows, free variables: status {result.status}, infeasibility_report "
        f"{time.perf_counter() - t0:.3f} s, set of {rep['num_constraints']} rows"
    )

if __name__ == "__main__":
    main()
