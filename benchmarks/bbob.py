"""The noiseless BBOB suite: our black-box optimisers beside pycma and scipy.

Run by hand (needs the `bench` extra: coco-experiment, cma, scipy, numpy):
    PYTHONPATH=build/dev nice python3 benchmarks/bbob.py [--dims 5,10,20] [--quick]
        [--only bipop,ipop,...] [--functions 1-24]

Protocol: the 24 `bbob` functions, instances 1-3, the box [-5, 5]^D, a budget
of 1000 * D evaluations per problem and one run per problem. For every
problem the 51 targets f_opt + 10^k, k = 2, 1.8, ..., -8, are recorded with
the number of evaluations that first reached each. The score is the area
under the runtime ECDF over log10(evaluations / D) in [0, 3], normalised to
[0, 1]: each (problem, target) pair reached after rt evaluations adds
1 - max(0, log10(rt / D)) / 3, a pair never reached adds 0. Every optimiser
stops as soon as it reaches the last target (it could not score more).
Also printed: "reached", the fraction of (problem, target) pairs reached
within the budget (the ECDF's value at its right end).

Also reported: the overhead per evaluation of bipop, ipop and pycma on a
trivial objective (time of the run minus the time of calling the objective the
same number of times), at D = 10 and 20, the median of three repeats side by
side; and, for bipop and ipop with their defaults (no budget given), the
evaluations and `converged` of a 5-D sphere whose optimum is the corner
(5, ..., 5) of the box [-5, 5]^5.
"""
import argparse
import math
import os
import tempfile
import time
import warnings

import numpy as np

import cocoex
import cma
import scipy.optimize

import pelora_opt as po

TARGET_EXPONENTS = [2.0 - 0.2 * i for i in range(51)]  # 10^2 ... 10^-8
GROUPS = {"separable": range(1, 6), "moderate": range(6, 10), "ill-conditioned": range(10, 15),
          "multi-modal": range(15, 20), "weak structure": range(20, 25)}


class Budget(Exception):
    """Raised by the recorder to end a peer's run at the budget."""


class Recorder:
    """Counts calls to a BBOB problem and notes when each target is first met."""

    def __init__(self, problem, fopt, budget, raise_at_budget):
        self.problem, self.fopt, self.budget = problem, fopt, budget
        self.raise_at_budget = raise_at_budget
        self.calls = 0
        self.hits = [None] * len(TARGET_EXPONENTS)
        self.next_target = 0  # index of the first target not yet met

    def __call__(self, x):
        if self.calls >= self.budget:
            if self.raise_at_budget:
                raise Budget()
            return math.inf
        self.calls += 1
        f = self.problem(np.asarray(x, dtype=float))
        precision = f - self.fopt
        while (self.next_target < len(TARGET_EXPONENTS)
               and precision <= 10.0 ** TARGET_EXPONENTS[self.next_target]):
            self.hits[self.next_target] = self.calls
            self.next_target += 1
        if self.next_target == len(TARGET_EXPONENTS) and self.raise_at_budget:
            raise Budget()
        return f

    def area(self, dim):
        total = 0.0
        for rt in self.hits:
            if rt is not None:
                total += 1.0 - max(0.0, math.log10(rt / dim)) / 3.0
        return total / len(self.hits)

    def reached(self):
        return sum(rt is not None for rt in self.hits) / len(self.hits)


def optimal_value(problem):
    """f_opt, by evaluating the problem at its optimum (written out by cocoex)."""
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as d:
        os.chdir(d)
        try:
            problem._best_parameter("print")
            xopt = np.loadtxt("._bbob_problem_best_parameter.txt")
        finally:
            os.chdir(here)
    return float(problem(xopt))


# --- the optimisers: each gets (recorder, dim, budget, fopt, seed) -------------

def run_ipop(rec, dim, budget, fopt, seed, variant="ipop"):
    po.solve_cmaes(rec, [(-5.0, 5.0)] * dim, variant=variant, max_evals=budget,
                   target=fopt + 1e-8, seed=seed)


def run_bipop(rec, dim, budget, fopt, seed):
    run_ipop(rec, dim, budget, fopt, seed, variant="bipop")


def run_pycma(rec, dim, budget, fopt, seed):
    rng = np.random.default_rng(seed)
    try:
        cma.fmin2(rec, lambda: rng.uniform(-4, 4, dim), 2.0,
                  {"maxfevals": budget, "ftarget": fopt + 1e-8, "verbose": -9, "seed": seed},
                  restarts=9, incpopsize=2)
    except Budget:
        pass


def run_scipy_de(rec, dim, budget, fopt, seed):
    try:
        scipy.optimize.differential_evolution(rec, [(-5, 5)] * dim, seed=seed, polish=False)
    except Budget:
        pass


def run_dual_annealing(rec, dim, budget, fopt, seed):
    try:
        scipy.optimize.dual_annealing(rec, [(-5, 5)] * dim, seed=seed, maxfun=budget)
    except Budget:
        pass


def run_de(rec, dim, budget, fopt, seed, polish=False):
    np_ = 10 * dim
    # Plain DE spends the whole budget; the polished run gives DE a quarter
    # and the polish the rest (of the shares tried, 0.8, 0.5 and 0.25, the
    # best at D = 10).
    share = 0.25 if polish else 1.0
    gens = max(1, int(share * budget / np_) - 1)
    kw = {"polish": True, "max_evals": budget} if polish else {}
    po.solve_de(rec, [(-5.0, 5.0)] * dim, max_generations=gens, seed=seed, tol=0.0, **kw)


def run_de_polish(rec, dim, budget, fopt, seed):
    run_de(rec, dim, budget, fopt, seed, polish=True)


OPTIMISERS = {
    "bipop": (run_bipop, False),
    "ipop": (run_ipop, False),
    "pycma fmin2": (run_pycma, True),
    "scipy DE": (run_scipy_de, True),
    "scipy dual_annealing": (run_dual_annealing, True),
    "ours DE": (run_de, False),
    "ours DE polish": (run_de_polish, False),
}


def bbob(dim, functions, names, verbose=False, instances="1-3"):
    suite = cocoex.Suite("bbob", f"instances: {instances}",
                         f"dimensions: {dim} function_indices: {functions}")
    budget = 1000 * dim
    areas = {name: {} for name in names}
    reached = dict.fromkeys(names, 0.0)
    seconds = dict.fromkeys(names, 0.0)
    for problem in suite:
        fopt = optimal_value(problem)
        fid = problem.id_function
        for name in names:
            run, raises = OPTIMISERS[name]
            rec = Recorder(problem, fopt, budget, raises)
            t = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                run(rec, dim, budget, fopt, 1 + problem.id_instance)
            seconds[name] += time.perf_counter() - t
            areas[name].setdefault(fid, []).append(rec.area(dim))
            reached[name] += rec.reached()
            if verbose:
                print(name, fid, problem.id_instance, f"{rec.reached():.2f}", rec.calls)
    count = sum(len(v) for v in next(iter(areas.values())).values())
    return areas, {n: r / count for n, r in reached.items()}, seconds


def overhead(dim=10, evals=20_000, repeats=3):
    """Seconds per evaluation spent outside a trivial objective, for bipop,
    ipop and pycma: the median of `repeats` rounds, the three side by side in
    each round."""
    def trivial(x):
        return x[0] * x[0] + 1.0

    def floor(make):
        t = time.perf_counter()
        for _ in range(evals):
            trivial(make())
        return (time.perf_counter() - t) / evals

    point, arr = [0.5] * dim, np.full(dim, 0.5)
    rounds = {"bipop": [], "ipop": [], "pycma": []}
    for _ in range(repeats):
        floor_list = floor(lambda: list(point))
        floor_array = floor(arr.copy)
        for variant in ("bipop", "ipop"):
            t = time.perf_counter()
            r = po.solve_cmaes(trivial, [(-5, 5)] * dim, variant=variant, max_evals=evals)
            rounds[variant].append((time.perf_counter() - t) / r.evaluations - floor_list)
        es = cma.CMAEvolutionStrategy(np.zeros(dim), 3.0,
                                      {"maxfevals": evals, "verbose": -9, "bounds": [-5, 5]})
        t = time.perf_counter()
        es.optimize(trivial)
        rounds["pycma"].append((time.perf_counter() - t) / es.countevals - floor_array)
    return {k: sorted(v)[len(v) // 2] for k, v in rounds.items()}


def corner_sphere(dim=5):
    """Evaluations and `converged` on a sphere whose optimum is a corner of
    the box, with every default (no max_evals, no restarts)."""
    def f(x):
        return sum((v - 5.0) ** 2 for v in x)

    out = {}
    for variant in ("bipop", "ipop"):
        runs = [po.solve_cmaes(f, [(-5.0, 5.0)] * dim, variant=variant, seed=s)
                for s in range(1, 11)]
        out[variant] = (sorted(r.evaluations for r in runs)[len(runs) // 2],
                        max(r.evaluations for r in runs),
                        sum(r.converged for r in runs), len(runs),
                        max(r.objective for r in runs))
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dims", default="5,10,20")
    p.add_argument("--no-extras", action="store_true",
                   help="skip the corner sphere and the overhead measurement")
    p.add_argument("--quick", action="store_true", help="functions 1, 8, 10, 15, 21 only")
    p.add_argument("--functions", default="", help="e.g. 1-5 or 3,7")
    p.add_argument("--only", default="", help="comma-separated optimiser names")
    p.add_argument("--instances", default="1-3", help="e.g. 4-9 (the protocol uses 1-3)")
    p.add_argument("--verbose", action="store_true",
                   help="print each run: optimiser, function, instance, reached, evaluations")
    args = p.parse_args()
    functions = args.functions or ("1,8,10,15,21" if args.quick else "1-24")
    names = [n for n in OPTIMISERS if not args.only or n in args.only.split(",")]
    cocoex.log_level("error")
    for dim in (int(d) for d in args.dims.split(",")):
        areas, reached, seconds = bbob(dim, functions, names, args.verbose, args.instances)
        fids = sorted(next(iter(areas.values())))
        print(f"\nD = {dim}: ECDF area (51 targets, budget {1000 * dim} evaluations)")
        header = f"{'optimiser':22s} {'all':>6s}" + "".join(f" {g[:11]:>11s}" for g in GROUPS)
        print(header + f" {'reached':>8s} {'seconds':>8s}")
        for name in names:
            per_f = {f: sum(v) / len(v) for f, v in areas[name].items()}
            row = f"{name:22s} {sum(per_f.values()) / len(per_f):6.3f}"
            for fs in GROUPS.values():
                chosen = [per_f[f] for f in fs if f in per_f]
                row += f" {sum(chosen) / len(chosen):11.3f}" if chosen else f" {'-':>11s}"
            print(row + f" {reached[name]:8.3f} {seconds[name]:8.1f}")
        print("per function: " + " ".join(f"f{f}" for f in fids))
        for name in names:
            print(f"{name:22s} " + " ".join(
                f"{sum(areas[name][f]) / len(areas[name][f]):.2f}" for f in fids))
    if args.no_extras:
        return
    for variant, (median, worst, conv, runs, fmax) in corner_sphere().items():
        print(f"\n5-D corner sphere, defaults, seeds 1-{runs}: {variant} median {median} "
              f"evaluations, at most {worst}, converged {conv}/{runs}, worst f {fmax:.3g}",
              end="")
    print()
    for dim in (10, 20):
        o = overhead(dim)
        print(f"overhead per evaluation at D = {dim}: bipop {o['bipop'] * 1e6:.2f} us, "
              f"ipop {o['ipop'] * 1e6:.2f} us, pycma {o['pycma'] * 1e6:.2f} us, "
              f"ratio bipop/pycma 1/{o['pycma'] / o['bipop']:.0f}")


if __name__ == "__main__":
    main()
