"""Model building: cost of writing 1,000,000 constraint nonzeros in Python.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/build_model.py [--quick]

1,000 rows, each the sum of 1,000 terms `c * x` over the same 1,000 variables
with random coefficients, added to a model as `expr <= rhs`. Three ways of
summing a row:
  pelora_opt.sum   po.sum(terms) over a list of terms
  +=               e = 0; for t in terms: e += t
  built-in sum     sum(terms)
Each phase is timed per row and reported in nanoseconds per nonzero: term
creation (the list comprehension of `c * x`), summation, and Model.add (with
the comparison that builds the constraint). The floor is the same loops on
plain Python floats (`c * v`, and the three sums of floats); ratios are
against it. Memory: resident-set growth of the process per stored nonzero,
measured around the pelora_opt.sum model after the transient rows are gone.
Also shown: a quadratic check that `+=` stays linear (rows of 250 and 4,000
terms must cost the same per term).

Goals: term creation + pelora_opt.sum within 2.5x of the float floor; `+=`
linear; at most 32 bytes per stored nonzero.

Batch variables (`--variables`, also run at the end of the full run, in a
fresh process so that the memory is fresh pages): Model.variables("x",
1,000,000) timed in process CPU time (best of three batches into fresh models) and its
resident-set growth per variable with the returned list kept (list slot, Var
object and model record). Goals: at most 150 ns and 80 bytes per variable.
The lqcp model's peak memory through Model.solve is measured by
benchmarks/lqcp.py.
"""
import gc
import os
import random
import sys
import time

import pelora_opt as po

QUICK = "--quick" in sys.argv
ROWS = 200 if QUICK else 1000
COLS = 1000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def builtin_sum(items):
    return sum(items)


def pelora_sum(items):
    return po.sum(items)


def plus_equals(items):
    e = 0
    for t in items:
        e += t
    return e


def float_plus_equals(items):
    s = 0.0
    for t in items:
        s += t
    return s


def run(xs, vals, coef_rows, summer, float_summer, with_model):
    """Times creation, summation and Model.add; returns ns per nonzero."""
    m = po.Model("bench") if with_model else None
    if m is not None:
        xs = m.variables("x", COLS)  # a model takes only its own variables
    t_create = t_sum = t_add = 0.0
    f_create = f_sum = 0.0
    gc.collect()
    before = rss()
    gc_was = gc.isenabled()
    gc.disable()  # the rows hold no cycles; keep collector pauses out of the timings
    try:
        for r, coefs in enumerate(coef_rows):
            t0 = time.perf_counter()
            terms = [c * x for c, x in zip(coefs, xs)]
            t1 = time.perf_counter()
            e = summer(terms)
            t2 = time.perf_counter()
            if m is not None:
                m.add(e <= r)
            t3 = time.perf_counter()
            del terms, e
            fterms = [c * v for c, v in zip(coefs, vals)]
            t4 = time.perf_counter()
            float_summer(fterms)
            t5 = time.perf_counter()
            t_create += t1 - t0
            t_sum += t2 - t1
            t_add += t3 - t2
            f_create += t4 - t3
            f_sum += t5 - t4
    finally:
        if gc_was:
            gc.enable()
    gc.collect()
    grown = rss() - before
    nnz = len(coef_rows) * COLS
    scale = 1e9 / nnz
    return {
        "create": t_create * scale,
        "sum": t_sum * scale,
        "add": t_add * scale,
        "f_create": f_create * scale,
        "f_sum": f_sum * scale,
        "bytes": grown / nnz if m is not None else None,
        "model": m,
    }


def linearity(xs):
    """ns per term of += for short and long rows (equal when linear)."""
    out = []
    for n in (250, 4000):
        m = po.Model()
        vs = m.variables("v", n)
        terms = [2.0 * v for v in vs]
        reps = max(1, 400_000 // n)
        t0 = time.perf_counter()
        for _ in range(reps):
            plus_equals(terms)
        out.append((n, (time.perf_counter() - t0) * 1e9 / (reps * n)))
    return out


def main():
    rng = random.Random(1)
    m0 = po.Model()
    xs = m0.variables("x", COLS)
    vals = [rng.uniform(0.0, 1.0) for _ in range(COLS)]
    coef_rows = [[rng.uniform(-10.0, 10.0) for _ in range(COLS)] for _ in range(ROWS)]
    run(xs, vals, coef_rows[:20], pelora_sum, sum, True)  # warm up

    results = {}
    models = []  # kept alive so that each run's memory figure counts fresh pages
    for name, summer, fsummer in [
        ("pelora_opt.sum", pelora_sum, sum),
        ("+=", plus_equals, float_plus_equals),
        ("built-in sum", builtin_sum, sum),
    ]:
        results[name] = run(xs, vals, coef_rows, summer, fsummer, True)
        models.append(results[name].pop("model"))
        gc.collect()

    print(f"{ROWS} rows x {COLS} terms = {ROWS * COLS:,} nonzeros; ns per nonzero\n")
    head = f"{'summation':16}{'create':>9}{'sum':>9}{'Model.add':>11}{'total':>9}" \
           f"{'floor c':>9}{'floor s':>9}{'c+s/floor':>11}{'B/nnz':>8}"
    print(head)
    print("-" * len(head))
    for name, r in results.items():
        total = r["create"] + r["sum"] + r["add"]
        floor = r["f_create"] + r["f_sum"]
        ratio = (r["create"] + r["sum"]) / floor
        print(f"{name:16}{r['create']:9.1f}{r['sum']:9.1f}{r['add']:11.1f}{total:9.1f}"
              f"{r['f_create']:9.1f}{r['f_sum']:9.1f}{ratio:11.2f}{r['bytes']:8.1f}")
    print()
    lin = linearity(xs)
    print("+= per term: " + ", ".join(f"{n} terms {ns:.1f} ns" for n, ns in lin)
          + f"  (ratio {lin[1][1] / lin[0][1]:.2f}; 1.0 is linear)")
    r = results["pelora_opt.sum"]
    ratio = (r["create"] + r["sum"]) / (r["f_create"] + r["f_sum"])
    print(f"\ngoal: creation + pelora_opt.sum <= 2.5x float floor: {ratio:.2f}x "
          f"{'ok' if ratio <= 2.5 else 'MISSED'}")
    print(f"goal: <= 32 bytes per stored nonzero: {r['bytes']:.1f} "
          f"{'ok' if r['bytes'] <= 32 else 'MISSED'}")


def variables_goal():
    # CPU time of this process (user + system, so page faults count): on a
    # shared machine wall time mostly measures the other processes.
    n = 1_000_000
    gc.collect()
    m = po.Model()
    before = rss()
    t0 = time.process_time()
    xs = m.variables("x", n, lower=0.0, upper=1.0)
    first = time.process_time() - t0
    grown = (rss() - before) / n
    best = first
    for _ in range(2):
        m2 = po.Model()
        t0 = time.process_time()
        ys = m2.variables("y", n, lower=0.0, upper=1.0)
        best = min(best, time.process_time() - t0)
        del ys, m2
    assert repr(xs[n - 1]) == f"Var('x_{n - 1}')"
    ns = best * 1e9 / n
    print(f"Model.variables, {n:,} variables (CPU time): {first * 1e9 / n:.0f} ns per variable "
          f"on fresh pages, best {ns:.0f} ns; {grown:.0f} bytes per variable")
    print(f"goal: <= 150 ns per variable: {'ok' if ns <= 150 else 'MISSED'}; "
          f"<= 80 bytes per variable: {'ok' if grown <= 80 else 'MISSED'}")


if __name__ == "__main__":
    if "--variables" in sys.argv:
        variables_goal()
    else:
        main()
        print()
        import subprocess
        subprocess.run([sys.executable, __file__, "--variables"], check=True)
