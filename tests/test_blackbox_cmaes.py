"""CMA-ES: the simple and full variants, restarts, and the symmetric
eigen-decomposition the full variant is built on."""
import math
import os
import shutil
import subprocess
import sys

import pytest

import pelora_opt as po

sys.path.insert(0, os.path.dirname(__file__))
import blackbox_reference as ref  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def shifted_sphere(x):
    return sum((v - 0.7) ** 2 for v in x)


def rosenbrock(x):
    return sum(100.0 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(len(x) - 1))


def rotated_ellipsoid(x):
    # Condition number 1e4 along rotated axes: only a learned covariance
    # gets through this quickly.
    n = len(x)
    total = 0.0
    for i in range(n):
        y = sum(x[: i + 1]) - 0.3 * (i + 1)
        total += 10 ** (4 * i / (n - 1)) * y * y
    return total


@pytest.mark.parametrize("kw", [{}, {"seed": 0}, {"pop_size": 7, "sigma": 0.1}, {"tol": 1e-3}])
def test_simple_matches_reference(kw):
    b = [(-2.0, 3.0), (-1.0, 1.0), (0.0, 4.0)]
    got = po.solve_cmaes(rosenbrock, b, max_generations=60, **kw)
    args = dict(max_generations=60, pop_size=kw.get("pop_size", 0), sigma=kw.get("sigma", 0.3),
                seed=kw.get("seed", 42), tol=kw.get("tol", 1e-8))
    x, f, history, evals, converged = ref.cmaes_simple(rosenbrock, b, **args)
    assert (got.x, got.objective, got.history, got.evaluations, got.converged) == (
        x, f, history, evals, converged)


def wavy(x):
    return (x[0] - 0.3) ** 2 * 100 + math.sin(5 * x[0])


@pytest.mark.parametrize("f", [wavy, shifted_sphere])
@pytest.mark.parametrize("kw", [
    {}, {"seed": 0}, {"pop_size": 9, "sigma": 1.5}, {"tol": 1e-3, "sigma": 0.05},
    {"restarts": 2, "max_generations": 40}, {"restarts": 1, "tol": -5.0, "max_generations": 300},
])
def test_full_matches_reference_in_one_dimension(f, kw):
    # One dimension makes the eigen-decomposition exact (B = [1], D = sqrt(C)),
    # so every constant, path, covariance and step-size update, the stopping
    # tests and the restart bookkeeping are checked bit for bit.
    b = [(-2.0, 3.0)]
    got = po.solve_cmaes(f, b, variant="full", **kw)
    assert (got.x, got.objective, got.history, got.evaluations, got.converged) == \
        ref.cmaes_full(f, b, **kw)


def test_full_first_generation_draws():
    b = [(-2.0, 3.0), (-1.0, 1.0), (0.0, 4.0)]
    seen, expected = [], []
    got = po.solve_cmaes(lambda x: seen.append(x) or shifted_sphere(x), b, variant="full",
                         max_generations=1, sigma=0.8, seed=5)
    want = ref.cmaes_full(lambda x: expected.append(x) or shifted_sphere(x), b,
                          max_generations=1, sigma=0.8, seed=5)
    assert seen == expected and len(seen) == 1 + 7
    assert (got.x, got.objective, got.history, got.evaluations, got.converged) == want


@pytest.mark.parametrize("variant", ["simple", "full"])
def test_zero_generations_evaluates_the_centre(variant):
    seen = []
    r = po.solve_cmaes(lambda x: seen.append(x) or 5.0, [(0, 2), (-4, 1)],
                       variant=variant, max_generations=0)
    assert seen == [[1.0, -1.5]] and r.x == [1.0, -1.5]
    assert (r.evaluations, r.iterations, r.converged, r.history) == (1, 1, False, [5.0])


@pytest.mark.parametrize("variant, dim, per_gen", [
    ("simple", 1, 5), ("simple", 3, 7), ("full", 1, 4), ("full", 3, 7), ("full", 10, 10),
    ("FULL", 1, 4), ("Full", 3, 7), ("SIMPLE", 1, 5),  # names match whatever their case
])
def test_population_defaults(variant, dim, per_gen):
    r = po.solve_cmaes(shifted_sphere, [(-1, 1)] * dim, variant=variant, max_generations=2,
                       tol=-1.0)
    assert r.evaluations == 1 + 2 * per_gen and r.iterations == 3


def test_simple_constant_objective_runs_to_the_limit():
    r = po.solve_cmaes(lambda x: 2.0, [(0, 1)], max_generations=400)
    assert r.converged is False and r.evaluations == 1 + 400 * 5


def test_simple_step_size_shrinks_to_tol():
    # The centre is optimal, so no generation succeeds: sigma = 0.3 * 0.95**g.
    r = po.solve_cmaes(lambda x: abs(x[0]) + abs(x[1]), [(-1, 1)] * 2)
    g = next(g for g in range(1, 1000) if 1e-8 > 0.3 * 0.95 ** g)
    assert r.converged is True and r.iterations == g + 1 and r.objective == 0.0


def test_full_does_not_stop_on_the_objective_scale():
    # Values below tol are no reason to stop: shifted sphere minus 5 goes on
    # to its minimum -5, with or without restarts, and ends by its step size.
    for kw in ({}, {"restarts": 2}):
        r = po.solve_cmaes(lambda x: shifted_sphere(x) - 5.0, [(-5, 5)] * 3, variant="full",
                           **kw)
        assert r.objective < -5.0 + 1e-8 and r.converged
    # A constant negative objective is not converged after one generation.
    r = po.solve_cmaes(lambda x: -1.0, [(0, 1)] * 2, variant="full", max_generations=30)
    assert not r.converged and r.evaluations == 1 + 30 * 6
    r = po.solve_cmaes(lambda x: -1.0, [(0, 1)] * 2, max_generations=5)
    assert not r.converged and r.evaluations == 1 + 5 * 6


def test_restarts_double_the_population_and_shift_the_seed():
    b = [(-3, 2), (-1, 4)]
    r = po.solve_cmaes(rosenbrock, b, variant="full", restarts=2, max_generations=3, tol=-1.0,
                       seed=11)
    runs = [po.solve_cmaes(rosenbrock, b, variant="full", pop_size=6 * 2 ** k,
                           max_generations=3, tol=-1.0, seed=11 + 7919 * k) for k in range(3)]
    assert r.evaluations == sum(run.evaluations for run in runs) == 3 + 3 * (6 + 12 + 24)
    kept = runs[0]
    for run in runs[1:]:
        if run.objective < kept.objective:
            kept = run
    assert (r.x, r.objective, r.history, r.converged) == (
        kept.x, kept.objective, kept.history, kept.converged)


def test_restart_seed_wraps_around():
    b = [(-3, 2)]
    r = po.solve_cmaes(rosenbrock, b, variant="full", restarts=1, max_generations=2, tol=-1.0,
                       seed=2**64 - 1)
    assert r.evaluations == 2 + 2 * (4 + 8)


def test_many_restarts_stop_before_the_population_overflows():
    r = po.solve_cmaes(lambda x: 1.0, [(0, 1)] * 2, variant="full", restarts=10**6,
                       max_generations=0)
    assert 40 < r.evaluations < 60  # one centre evaluation per run


def test_failing_offspring_sort_last():
    def f(x):
        if x[0] > 0.2:
            raise ValueError("outside")
        return shifted_sphere(x) if x[0] > -0.5 else None

    for variant in ("simple", "full"):
        r = po.solve_cmaes(f, [(-1, 1)] * 2, variant=variant, max_generations=100)
        assert math.isfinite(r.objective) and r.objective == shifted_sphere(r.x)


@pytest.mark.parametrize("variant", ["simple", "full"])
def test_nan_ranked_first_does_not_hide_the_best(variant):
    # The first offspring of every generation scores NaN. The ranking leaves a
    # NaN where it stands (it compares equal to everything), so it heads the
    # ranking; the best point must still be the best one evaluated.
    def make(seen):
        def f(x):
            seen.append(x)
            if len(seen) > 1 and (len(seen) - 2) % 6 == 0:
                return math.nan
            return shifted_sphere(x)
        return f

    seen = []
    b = [(-1.0, 1.5)]
    kw = dict(max_generations=30, pop_size=6)
    r = po.solve_cmaes(make(seen), b, variant=variant, **kw)
    numbers = [shifted_sphere(x) for i, x in enumerate(seen) if i == 0 or (i - 1) % 6]
    assert r.objective == min(numbers) < shifted_sphere([0.25]) and r.objective == shifted_sphere(r.x)
    want = (ref.cmaes_simple if variant == "simple" else ref.cmaes_full)(make([]), b, **kw)
    assert (r.x, r.objective, r.history, r.evaluations, r.converged) == want


@pytest.mark.parametrize("f, dim, box, budget", [
    (shifted_sphere, 5, (-5, 5), 2000),
    (rosenbrock, 5, (-2, 2), 6000),
    (rotated_ellipsoid, 6, (-3, 3), 6000),
])
def test_full_variant_converges(f, dim, box, budget):
    r = po.solve_cmaes(f, [box] * dim, variant="full", sigma=1.0, max_generations=budget)
    assert r.objective < 1e-8 and r.converged


def test_simple_variant_on_sphere():
    r = po.solve_cmaes(shifted_sphere, [(-5, 5)] * 3, max_generations=3000)
    assert r.objective < 1e-8


def test_full_variant_reproducible():
    a = po.solve_cmaes(rosenbrock, [(-2, 2)] * 3, variant="full", max_generations=50)
    b = po.solve_cmaes(rosenbrock, [(-2, 2)] * 3, variant="full", max_generations=50)
    assert (a.x, a.history, a.evaluations) == (b.x, b.history, b.evaluations)


# --- the eigen-decomposition, compiled on its own -----------------------------

DRIVER = r"""
#include "core/blackbox/symmetric_eigen.hpp"
#include <cstdio>
#include <vector>
int main() {
  size_t n;
  while (std::scanf("%zu", &n) == 1) {
    std::vector<double> v(n * n), d(n), w(n);
    for (auto& x : v) std::scanf("%lf", &x);
    bool ok = pelora::blackbox::symmetric_eigen(n, v, d, w);
    std::printf("%d", ok ? 1 : 0);
    for (double x : d) std::printf(" %.17g", x);
    for (double x : v) std::printf(" %.17g", x);
    std::printf("\n");
  }
}
"""


@pytest.fixture(scope="module")
def eigen_driver(tmp_path_factory):
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    d = tmp_path_factory.mktemp("eigen")
    (d / "driver.cpp").write_text(DRIVER)
    exe = d / "driver"
    subprocess.run([cxx, "-std=c++20", "-O1", "-I", os.path.join(ROOT, "src"),
                    str(d / "driver.cpp"),
                    os.path.join(ROOT, "src/core/blackbox/symmetric_eigen.cpp"), "-o", str(exe)],
                   check=True)
    return exe


def run_driver(exe, matrices):
    text = "".join(f"{len(m)} " + " ".join(repr(float(v)) for row in m for v in row) + "\n"
                   for m in matrices)
    out = subprocess.run([str(exe)], input=text, capture_output=True, text=True, check=True)
    results = []
    for line, m in zip(out.stdout.splitlines(), matrices):
        parts = line.split()
        n = len(m)
        values = [float(p) for p in parts[1:1 + n]]
        flat = [float(p) for p in parts[1 + n:]]
        vectors = [[flat[i * n + j] for j in range(n)] for i in range(n)]
        results.append((parts[0] == "1", values, vectors))
    return results


def test_symmetric_eigen_against_numpy(eigen_driver):
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(5)
    matrices = []
    for n in list(range(1, 13)) + [20, 30]:
        a = rng.normal(size=(n, n))
        matrices.append((a + a.T) / 2)
        matrices.append(np.diag(rng.normal(size=n)))                    # already diagonal
        matrices.append(np.eye(n) * 3.0)                                 # repeated eigenvalue
        matrices.append(np.ones((n, n)))                                 # rank one
        q, _ = np.linalg.qr(rng.normal(size=(n, n)))
        matrices.append(q @ np.diag(np.logspace(-8, 8, n)) @ q.T)       # ill-conditioned
    for m, (ok, values, vectors) in zip(matrices, run_driver(eigen_driver, matrices)):
        assert ok
        values = np.array(values)
        v = np.array(vectors)
        scale = max(1.0, np.abs(m).max())
        assert np.all(np.diff(values) >= 0)
        assert np.allclose(values, np.linalg.eigvalsh(m), atol=1e-10 * scale)
        assert np.allclose(v.T @ v, np.eye(len(m)), atol=1e-12)
        assert np.allclose(m @ v, v * values, atol=1e-10 * scale)


def test_symmetric_eigen_refuses_non_finite(eigen_driver):
    out = run_driver(eigen_driver, [[[1.0, math.nan], [math.nan, 1.0]], [[math.inf]]])
    assert [ok for ok, _, _ in out] == [False, False]
