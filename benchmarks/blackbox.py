"""Black-box optimisers: overhead per evaluation and solution quality.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/blackbox.py [--quick]

1. Overhead. The 10-dimensional shifted sphere as a plain Python function,
   200,000 evaluations per optimiser. The floor is a bare Python loop making
   the same number of calls, each with a fresh list of 10 new floats
   (f([v * 1.0 for v in p])). Reported: seconds per evaluation, the ratio to
   the floor, the overhead per evaluation (time minus floor), and scipy's
   differential_evolution on the same budget (population 10 * dim, no
   polishing).
2. Quality. Best value on sphere, Rosenbrock, Rastrigin and Ackley in 10
   dimensions at 10,000 and 100,000 evaluations, beside scipy's DE and the
   `cma` package. Boxes are asymmetric so that no method starts on the optimum.
3. Evaluations the full CMA-ES needs to reach 1e-8 on Rosenbrock-10, beside
   the `cma` package from the same start and step size.
"""
import math
import statistics
import sys
import time

import pelora_opt as po

DIM = 10
QUICK = "--quick" in sys.argv
N_EVALS = 20_000 if QUICK else 200_000


def sphere(x):
    s = 0.0
    for v in x:
        d = v - 1.0
        s += d * d
    return s


def rosenbrock(x):
    return sum(100.0 * (x[i + 1] - x[i] ** 2) ** 2 + (1.0 - x[i]) ** 2 for i in range(len(x) - 1))


def rastrigin(x):
    return 10.0 * len(x) + sum(v * v - 10.0 * math.cos(2.0 * math.pi * v) for v in x)


def ackley(x):
    n = len(x)
    s1 = sum(v * v for v in x) / n
    s2 = sum(math.cos(2.0 * math.pi * v) for v in x) / n
    return -20.0 * math.exp(-0.2 * math.sqrt(s1)) - math.exp(s2) + 20.0 + math.e


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


# --- 1. overhead -----------------------------------------------------------------

def floor_loop(n):
    p = [0.5] * DIM
    f = sphere
    for _ in range(n):
        f([v * 1.0 for v in p])


def objective_only(n, point):
    f = sphere
    for _ in range(n):
        f(point)


def overhead():
    bounds = [(-5.0, 5.0)] * DIM
    g_de = N_EVALS // 100 - 1            # NP = 100: 100 + 100 g
    g_pso = N_EVALS // 20 - 1            # S = 20
    g_es = (N_EVALS - 1) // 10           # lambda = 10 at dim 10
    runs = [
        ("DE", lambda: po.solve_de(sphere, bounds, max_generations=g_de, tol=-1.0)),
        ("PSO", lambda: po.solve_pso(sphere, bounds, max_iterations=g_pso, tol=-1.0)),
        ("SA", lambda: po.solve_sa(sphere, bounds, max_iterations=N_EVALS - 1, cooling_rate=1.0)),
        ("CMA-ES simple", lambda: po.solve_cmaes(sphere, bounds, max_generations=g_es, tol=-1.0)),
        ("CMA-ES full", lambda: po.solve_cmaes(sphere, bounds, variant="full",
                                               max_generations=g_es, tol=-1.0)),
    ]
    reps = 5
    floor = min(timed(lambda: floor_loop(N_EVALS))[0] for _ in range(reps)) / N_EVALS
    # The objective alone, called on one prebuilt list: what is left above it
    # is the optimiser's own cost per evaluation (list, call, algorithm).
    point = [0.5] * DIM
    bare = min(timed(lambda: objective_only(N_EVALS, point))[0] for _ in range(reps)) / N_EVALS
    print(f"\n== Overhead: 10-d sphere, {N_EVALS} evaluations (best of {reps}) ==")
    print(f"{'method':<16}{'evals':>9}{'s/eval':>12}{'x floor':>9}{'overhead/eval':>15}")
    print(f"{'objective alone':<16}{N_EVALS:>9}{bare:>12.3e}{bare / floor:>9.2f}{0.0:>15.2e}")
    print(f"{'floor (loop)':<16}{N_EVALS:>9}{floor:>12.3e}{1.0:>9.2f}{floor - bare:>15.2e}")
    ours = {}
    for name, run in runs:
        best = math.inf
        for _ in range(reps):
            t, r = timed(run)
            best = min(best, t / r.evaluations)
        ours[name] = best - bare
        print(f"{name:<16}{r.evaluations:>9}{best:>12.3e}{best / floor:>9.2f}{best - bare:>15.2e}")
    try:
        import numpy as np
        from scipy.optimize import differential_evolution
    except ImportError:
        print("scipy not installed: skipping its DE")
        return
    calls = [0]

    def counted(x):
        calls[0] += 1
        return sphere(x)

    # maxiter large, tol/atol 0: the run stops on its own convergence test
    # or the budget; per-evaluation time is what counts.
    t, _ = timed(lambda: differential_evolution(
        counted, bounds, maxiter=N_EVALS // 100 - 1, popsize=10, tol=0.0, atol=0.0,
        polish=False, seed=1))
    per = t / calls[0]
    # The same function costs more on an ndarray than on a list; subtract
    # that cost so that the figure is scipy's own overhead.
    arr = np.full(DIM, 0.5)
    bare_np = timed(lambda: objective_only(20_000, arr))[0] / 20_000
    sc_over = per - bare_np
    print(f"{'scipy DE':<16}{calls[0]:>9}{per:>12.3e}{per / floor:>9.2f}{sc_over:>15.2e}"
          "   (overhead net of the objective on an ndarray)")
    print(f"scipy DE overhead per evaluation / ours (DE): {sc_over / ours['DE']:.0f}x")


# --- 2. quality ----------------------------------------------------------------------

PROBLEMS = [
    ("sphere", lambda x: sum((v - 1.0) ** 2 for v in x), (-5.0, 10.0)),
    ("rosenbrock", rosenbrock, (-5.0, 10.0)),
    ("rastrigin", rastrigin, (-5.12, 7.0)),
    ("ackley", ackley, (-32.768, 40.0)),
]


def ours_at(budget, f, bounds):
    lo, hi = bounds[0]
    width = hi - lo
    out = {}
    g_de = max(budget // (10 * DIM) - 1, 0)
    out["DE"] = po.solve_de(f, bounds, max_generations=g_de)
    out["DE tol=0"] = po.solve_de(f, bounds, max_generations=g_de, tol=0.0)
    out["PSO tol=0"] = po.solve_pso(f, bounds, max_iterations=budget // 20 - 1, tol=0.0)
    out["SA"] = po.solve_sa(f, bounds, max_iterations=budget - 1)
    out["ES simple"] = po.solve_cmaes(f, bounds, max_generations=(budget - 1) // 10)
    out["ES full"] = po.solve_cmaes(f, bounds, variant="full", sigma=0.3 * width,
                                    max_generations=(budget - 1) // 10)
    out["ES full+restarts"] = po.solve_cmaes(f, bounds, variant="full", sigma=0.3 * width,
                                             restarts=6, max_generations=budget // 10)
    return {k: (r.objective, r.evaluations) for k, r in out.items()}


def peers_at(budget, f, bounds):
    out = {}
    try:
        from scipy.optimize import differential_evolution
        calls = [0]

        def counted(x):
            calls[0] += 1
            return f(list(x))

        res = differential_evolution(counted, bounds, maxiter=budget // (10 * DIM) - 1,
                                     popsize=10, polish=False, seed=1)
        out["scipy DE"] = (res.fun, calls[0])
    except ImportError:
        pass
    try:
        import cma
        lo, hi = bounds[0]
        x0 = [(lo + hi) / 2] * DIM
        es = cma.CMAEvolutionStrategy(x0, 0.3 * (hi - lo), {
            "bounds": [lo, hi], "maxfevals": budget, "verbose": -9, "seed": 1})
        es.optimize(lambda x: f(list(x)))
        out["pycma"] = (es.result.fbest, es.result.evaluations)
    except ImportError:
        pass
    return out


def quality():
    budgets = [10_000] if QUICK else [10_000, 100_000]
    for budget in budgets:
        print(f"\n== Quality: best value, 10 dimensions, budget {budget} evaluations ==")
        print("(evaluations used in parentheses: DE and PSO with the default tol stop on\n"
              " stagnation, the evolution strategies and peers on their own tests; the\n"
              " restart budget is per run, so restarts may use more than the budget)")
        rows = {}
        for name, f, box in PROBLEMS:
            bounds = [box] * DIM
            res = ours_at(budget, f, bounds)
            res.update(peers_at(budget, f, bounds))
            rows[name] = res
        methods = list(next(iter(rows.values())).keys())
        print(f"{'method':<18}" + "".join(f"{n:>24}" for n, _, _ in PROBLEMS))
        for m in methods:
            cells = "".join(f"{rows[n][m][0]:>14.3e} ({rows[n][m][1]:>6})" for n, _, _ in PROBLEMS)
            print(f"{m:<18}{cells}")


# --- 3. evaluations to 1e-8 on Rosenbrock-10 ----------------------------------------

def _summary(runs):
    ok = [r for r in runs if r == r]
    med = statistics.median(ok) if ok else math.nan
    return med, f"median {med:.0f} over {len(ok)}/{len(runs)} successful runs  {runs}"


def rosenbrock_target():
    lo, hi = -5.0, 10.0
    bounds = [(lo, hi)] * DIM
    sigma = 0.3 * (hi - lo)
    seeds = range(1, 4 if QUICK else 11)
    ours = []
    for s in seeds:
        r = po.solve_cmaes(rosenbrock, bounds, variant="full", sigma=sigma, seed=s,
                           max_generations=100_000)
        ours.append(r.evaluations if r.objective < 1e-8 else math.nan)
    print("\n== Evaluations to reach 1e-8 on Rosenbrock-10 (full CMA-ES, same start and sigma) ==")
    med_ours, text = _summary(ours)
    print(f"ours                 : {text}")
    try:
        import cma
    except ImportError:
        return
    for label, extra in (("pycma (default)", {}), ("pycma (no active)", {"CMA_active": False})):
        theirs = []
        for s in seeds:
            es = cma.CMAEvolutionStrategy([(lo + hi) / 2] * DIM, sigma, {
                "bounds": [lo, hi], "ftarget": 1e-8, "verbose": -9, "seed": s,
                "maxfevals": 1_000_000, **extra})
            es.optimize(lambda x: rosenbrock(list(x)))
            theirs.append(es.result.evaluations if es.result.fbest < 1e-8 else math.nan)
        med, text = _summary(theirs)
        print(f"{label:<21}: {text}")
        print(f"{'':<21}  ratio ours / theirs (medians): {med_ours / med:.2f}")


if __name__ == "__main__":
    overhead()
    quality()
    rosenbrock_target()
