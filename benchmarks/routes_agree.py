"""Whether every solver route gives the right answer on the public netlib LPs.

Per feasible LP: the HiGHS optimum, SCIP's optimum and how many of its row
duals fall outside the range the one-sided derivatives of the optimal value
allow (0 is right; a degenerate row may take any dual in that range), and
SLSQP's status, objective, iteration count and time. Per infeasible LP: the
size of the infeasibility report, its "irreducible" key, and whether an
independent check (scipy's linprog) finds the set infeasible and every set
without one member feasible.

Run: PYTHONPATH=build/<dir> python3 benchmarks/routes_agree.py [--no-slsqp]
(SLSQP takes tens of seconds on recipe and sc105.)
"""

import math
import os
import sys
import time

import pelora_opt as po

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from test_diagnostics_filter import assert_irreducible, build, read_lp  # noqa: E402
from test_duals import one_sided_derivatives  # noqa: E402

DATA = os.environ.get("PELORA_DATA", "/work/shared/data")
FEASIBLE = ["afiro", "sc50a", "sc50b", "sc105", "adlittle", "blend", "kb2", "share2b", "recipe",
            "stocfor1"]
INFEASIBLE = ["galenet", "itest2", "itest6", "woodinfe", "refinery"]


def duals_outside(result, base, derivatives):
    outside = 0
    for i, (h, (left, right)) in enumerate(derivatives):
        if left is None and right is None:
            continue
        low = -math.inf if left is None else left
        high = math.inf if right is None else right
        low, high = min(low, high), max(low, high)
        known = [d for d in (left, right) if d is not None]
        tol = 1e-6 * (1 + max(abs(d) for d in known)) + 1e-11 * (1 + abs(base)) / h
        outside += not (low - tol <= result.duals[i] <= high + tol)
    return outside


def main():
    slsqp = "--no-slsqp" not in sys.argv
    for name in FEASIBLE:
        m = po.read_model(os.path.join(DATA, "netlib", name + ".mps.gz"))
        base, derivatives = one_sided_derivatives(m)
        scip = m.solve(solver="scip")
        line = (f"{name:9s} HiGHS {m.solve().objective:.10g}  SCIP {scip.objective:.10g}, "
                f"duals outside {duals_outside(scip, base, derivatives)}/{len(derivatives)}")
        if slsqp:
            t = time.perf_counter()
            r = m.solve(solver="slsqp")
            line += (f"  SLSQP {r.status} {r.objective:.10g} in {r.iterations} iterations, "
                     f"{time.perf_counter() - t:.2f} s")
        print(line, flush=True)
    for name in INFEASIBLE:
        path = os.path.join(DATA, "infeasible", name + ".mps.gz")
        boxes, rows = read_lp(path)
        result = build(boxes, rows).solve()
        t = time.perf_counter()
        rep = result.infeasibility_report()
        took = time.perf_counter() - t
        try:
            assert_irreducible(boxes, rows, rep["constraint_indices"])
            check = "irreducible by linprog"
        except AssertionError:
            check = "NOT irreducible by linprog"
        print(f"{name:9s} report of {rep['num_constraints']} rows in {took:.2f} s, "
              f"irreducible={rep['irreducible']}, {check}", flush=True)


if __name__ == "__main__":
    main()
