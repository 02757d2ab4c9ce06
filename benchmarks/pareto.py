"""Pareto engines and ADMM, side by side with pymoo and numpy (run by hand).

    PYTHONPATH=build/dev python3 benchmarks/pareto.py [--seeds 3]

NSGA-II on ZDT1 (30 variables) and NSGA-III on DTLZ2 (3 and 5 objectives)
against pymoo's NSGA2/NSGA3 with the same population, generation count and
Das-Dennis reference directions. Both true fronts lie in [0, 1]^M with ideal
point 0 and nadir point 1, so the fronts are already normalised; the
hypervolume uses the reference point 1.1 in every objective. pymoo evaluates
its built-in vectorised problems; pelora_opt calls one Python function per
objective and point, so its wall time includes every Python call.

ADMM: a least-squares problem split into 4 row blocks, each block solving
its proximal step exactly; the consensus is compared with numpy's lstsq.
"""
import argparse
import math
import time

import numpy as np

import pelora_opt as po

try:
    from pymoo.algorithms.moo.nsga2 import NSGA2
    from pymoo.algorithms.moo.nsga3 import NSGA3
    from pymoo.indicators.hv import HV
    from pymoo.optimize import minimize as pymoo_minimize
    from pymoo.problems import get_problem
    from pymoo.util.ref_dirs import get_reference_directions
except ImportError:  # pragma: no cover - benchmark peer is optional
    NSGA2 = None


# --- test problems as plain Python objectives ---------------------------------

def zdt1_objectives():
    def f1(x):
        return x[0]

    def f2(x):
        g = 1.0 + 9.0 * sum(x[1:]) / (len(x) - 1)
        return g * (1.0 - math.sqrt(x[0] / g))

    return [f1, f2]


def dtlz2_objectives(m):
    """DTLZ2 with m objectives; x has m - 1 position variables, the rest distance."""

    def make(i):
        def f(x):
            g = sum((v - 0.5) ** 2 for v in x[m - 1:])
            value = 1.0 + g
            for v in x[: m - 1 - i]:
                value *= math.cos(v * math.pi / 2)
            if i > 0:
                value *= math.sin(x[m - 1 - i] * math.pi / 2)
            return value

        return f

    return [make(i) for i in range(m)]


def hypervolume(front, m):
    front = np.asarray(front, dtype=float)
    if NSGA2 is None:
        return float("nan")
    return float(HV(ref_point=np.full(m, 1.1))(front))


# --- one comparison ------------------------------------------------------------

def run_case(name, objectives, n_var, m, method, pop, gens, divisions, seeds):
    bounds = [(0.0, 1.0)] * n_var
    ours_hv, ours_t, ours_n = [], [], []
    peer_hv, peer_t, peer_n = [], [], []
    for seed in seeds:
        t = time.perf_counter()
        items = po.pareto_frontier(
            objectives, bounds, method=method, pop_size=pop, generations=gens,
            das_dennis_divisions=divisions, seed=seed,
        )
        ours_t.append(time.perf_counter() - t)
        front = [d["objectives"] for d in items]
        ours_hv.append(hypervolume(front, m))
        ours_n.append(len(front))

        if NSGA2 is None:
            continue
        problem = get_problem("zdt1", n_var=n_var) if name.startswith("ZDT1") else get_problem(
            "dtlz2", n_var=n_var, n_obj=m)
        if method == "nsga2":
            algorithm = NSGA2(pop_size=pop)
        else:
            ref_dirs = get_reference_directions("das-dennis", m, n_partitions=divisions)
            algorithm = NSGA3(ref_dirs=ref_dirs, pop_size=pop)
        t = time.perf_counter()
        res = pymoo_minimize(problem, algorithm, ("n_gen", gens), seed=seed, verbose=False)
        peer_t.append(time.perf_counter() - t)
        peer_hv.append(hypervolume(res.F, m))
        peer_n.append(len(res.F))

    mean = lambda v: sum(v) / len(v) if v else float("nan")  # noqa: E731
    print(f"{name}: pop {pop}, {gens} generations, {len(seeds)} seeds")
    print(f"  pelora_opt {method}: HV {mean(ours_hv):.5f}  points {mean(ours_n):6.1f}  "
          f"time {mean(ours_t):7.3f} s")
    if peer_hv:
        print(f"  pymoo {method.upper():5}   : HV {mean(peer_hv):.5f}  points {mean(peer_n):6.1f}  "
              f"time {mean(peer_t):7.3f} s")
        print(f"  HV ratio {mean(ours_hv) / mean(peer_hv):.4f}   time ratio "
              f"{mean(ours_t) / mean(peer_t):.3f}")


def run_admm():
    rng = np.random.default_rng(7)
    a = rng.normal(size=(200, 10))
    b = a @ rng.normal(size=10) + 0.1 * rng.normal(size=200)
    blocks = np.array_split(np.arange(200), 4)
    rho = 1.0

    def make_part(rows):
        ai, bi = a[rows], b[rows]
        lhs = np.linalg.inv(ai.T @ ai + rho * np.eye(10))
        rhs = ai.T @ bi

        def part(r, target):
            # argmin 1/2 ||A_i x - b_i||^2 + r/2 ||x - target||^2
            return (lhs @ (rhs + r * np.asarray(target))).tolist()

        return part

    parts = [make_part(rows) for rows in blocks]
    t = time.perf_counter()
    out = po.solve_admm(parts, 10, rho=rho, max_iter=5000, tol=1e-8)
    elapsed = time.perf_counter() - t
    ref = np.linalg.lstsq(a, b, rcond=None)[0]
    err = float(np.max(np.abs(np.asarray(out["x"]) - ref)))
    print(f"ADMM least squares (200x10, 4 parts, rho {rho}, tol 1e-8): "
          f"converged {out['converged']} after {out['iterations']} iterations, "
          f"max |x - lstsq| {err:.2e}, {elapsed:.3f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=3)
    args = parser.parse_args()
    seeds = list(range(1, args.seeds + 1))
    run_case("ZDT1 (30 vars, 2 objectives)", zdt1_objectives(), 30, 2, "nsga2", 100, 250, 12,
             seeds)
    run_case("DTLZ2 (12 vars, 3 objectives, 91 directions)", dtlz2_objectives(3), 12, 3,
             "nsga3", 92, 250, 12, seeds)
    run_case("DTLZ2 (14 vars, 5 objectives, 210 directions)", dtlz2_objectives(5), 14, 5,
             "nsga3", 212, 250, 6, seeds)
    run_admm()


if __name__ == "__main__":
    main()
