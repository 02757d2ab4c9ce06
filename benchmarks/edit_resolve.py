"""Edit and re-solve against a fresh hand-off on an LP of 100,000 nonzeros.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/edit_resolve.py

A 500 x 2,000 LP with 200 nonzeros per row (add_matrix of a sparse matrix)
whose optimum HiGHS's presolve finds at once, so that the figures measure
the hand-off rather than the simplex.
  fresh      building the model again and Model.solve()
  handoff    Model.solve() on the built model (the solver hand-off and solve)
  edit       one variable bound changed (x.upper = ...) and Model.solve()
  edit only  the bound change alone
Median of nine interleaved rounds. Goal: edit + re-solve costs no more than a
fresh hand-off (building the model and solving it).
"""
import statistics
import time

import numpy as np
import scipy.sparse as sp

import pelora_opt as po

ROWS, COLS, PER_ROW = 500, 2000, 200


def build(A, b, c):
    m = po.Model("lp")
    xs = m.variables("x", COLS, lower=0, upper=5)
    m.add_matrix(A, xs, "<=", b)
    m.minimize(po.dot(c, xs))
    return m, xs


def median(f, reps=7):
    out = []
    for _ in range(reps):
        t0 = time.perf_counter()
        f()
        out.append(time.perf_counter() - t0)
    return statistics.median(out)


def main():
    rng = np.random.default_rng(2)
    A = sp.random(ROWS, COLS, density=PER_ROW / COLS, random_state=3, format="csr",
                  data_rvs=lambda n: rng.uniform(0.1, 1.0, n))
    b = rng.uniform(10, 20, ROWS)
    c = rng.uniform(0, 1, COLS)
    m, xs = build(A, b, c)
    first = m.solve()
    assert first.status == "optimal"
    bounds = iter(np.tile([4.0, 5.0], 100))

    def edit():
        xs[7].upper = next(bounds)

    def edit_and_solve():
        edit()
        assert m.solve().status == "optimal"

    # interleaved rounds, so that a change in the machine's load hits all three
    rounds = {"fresh": [], "handoff": [], "edit": []}
    order = [("fresh", lambda: build(A, b, c)[0].solve()), ("handoff", lambda: m.solve()),
             ("edit", edit_and_solve)]
    for k in range(9):
        for key, f in order[k % 3:] + order[:k % 3]:  # each goes first in turn
            rounds[key].append(median(f, 1))
    t_fresh, t_handoff, t_edit = (statistics.median(rounds[k]) for k in ("fresh", "handoff", "edit"))
    t_only = median(edit, 101)
    print(f"{A.nnz:,} nonzeros")
    print(f"fresh build + solve  {t_fresh * 1e3:8.1f} ms")
    print(f"hand-off + solve     {t_handoff * 1e3:8.1f} ms")
    print(f"edit + re-solve      {t_edit * 1e3:8.1f} ms  (ratio to fresh {t_edit / t_fresh:.2f}, "
          f"to hand-off {t_edit / t_handoff:.2f})")
    print(f"the edit alone       {t_only * 1e6:8.1f} us")
    print(f"goal: edit + re-solve <= fresh build + hand-off: {'ok' if t_edit <= t_fresh else 'MISSED'}")


if __name__ == "__main__":
    main()
