"""Memory of kept Results: ten solves of one 1,000,000-nonzero model.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/kept_results.py [--quick]

The transportation LP of benchmarks/arrays.py (250 sources, 2,000 sinks,
500,000 variables, 1,000,000 nonzeros) is built from scipy CSR arrays and
solved ten times with time_limit=0, every Result kept. Printed: the resident
set after the build and after each solve, and the growth per kept Result next
to the Result's own arrays (primal and dual values, 8 bytes each, and the
basis, a status byte per column and row).
Then one edit (a bound) with the Results still alive, and one more solve:
the edit copies what the Results share, once.

Goal: repeated solves of one model grow the resident set by no more than
the Results' own arrays (plus allocator noise).
"""
import os

import numpy as np

import pelora_opt as po
from arrays import D, S, inputs  # the same model as benchmarks/arrays.py

PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1024.0 * 1024.0


def rss():
    """Resident set once the allocator has returned its free pages, so that
    it counts live memory rather than the solver's released peak."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def main():
    A, cost, supply, demand = inputs()
    n = S * D
    m = po.Model("transport")
    x = m.variables("x", n, lower=0.0)
    m.add_matrix(A, x, ["<="] * S + [">="] * D, np.concatenate([supply, demand]))
    m.minimize(po.dot(cost, x))
    del A
    m.solve(time_limit=0)  # the solver's one-time imports and arenas
    base = rss()
    # A Result's own data: primal and dual values, and HiGHS's basis (one
    # status byte per column and row).
    own = 9 * (n + S + D)
    print(f"{A_nnz(S, D):,} nonzeros, {n:,} variables; a Result's own arrays {own / MB:.1f} MB")
    print(f"after build and a first solve: {base / MB:8.1f} MB")
    kept = []
    last = base
    for k in range(10):
        kept.append(m.solve(time_limit=0))
        now = rss()
        print(f"  kept {k + 1:2d}: {now / MB:8.1f} MB  (+{(now - last) / MB:6.1f} MB)")
        last = now
    per = (last - base) / 10
    print(f"growth per kept Result: {per / MB:.1f} MB = {per / own:.2f}x its own arrays")
    x[0].upper = 5.0
    edited = rss()
    print(f"one bound edit while Results share the model: +{(edited - last) / MB:.1f} MB")
    kept.append(m.solve(time_limit=0))
    print(f"one more solve: +{(rss() - edited) / MB:.1f} MB")


def A_nnz(s, d):
    return 2 * s * d


if __name__ == "__main__":
    main()
