"""The increasing-population CMA-ES with active update, and the L-BFGS-B
polish of differential evolution."""
import math
import os
import shutil
import statistics
import subprocess
import time

import pytest

import pelora_opt as po

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIFT = 0.7


def sphere(x):
    return sum((v - SHIFT) ** 2 for v in x)


def ellipsoid(x):  # condition number 1e6
    n = len(x)
    return sum(10 ** (6 * i / (n - 1)) * (v - SHIFT) ** 2 for i, v in enumerate(x))


def rosenbrock(x):
    return sum(100 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(len(x) - 1))


def rotated_rosenbrock(dim):
    np = pytest.importorskip("numpy")
    q, _ = np.linalg.qr(np.random.default_rng(1).normal(size=(dim, dim)))
    return lambda x: rosenbrock(list(q @ np.asarray(x)))


def negative_sphere(x):
    return sphere(x) - 100.0


# Median evaluations of the `cma` package (4.5, x0 = box centre, sigma0 = 3,
# bounds [-5, 5], seeds 1-5) to reach the optimum + 1e-8 on the same
# functions, measured once by hand: the package is not a test dependency.
PYCMA_MEDIAN = {
    (5, "sphere"): 728, (5, "ellipsoid"): 1552, (5, "rosenbrock"): 1856, (5, "negative"): 728,
    (10, "sphere"): 1390, (10, "ellipsoid"): 3840, (10, "rosenbrock"): 5260,
    (10, "negative"): 1390,
}


@pytest.mark.parametrize("dim", [5, 10])
@pytest.mark.parametrize("name", ["sphere", "ellipsoid", "rosenbrock", "negative"])
def test_converges_within_published_evaluation_counts(dim, name):
    f = {"sphere": sphere, "ellipsoid": ellipsoid, "negative": negative_sphere,
         "rosenbrock": rotated_rosenbrock(dim) if name == "rosenbrock" else None}[name]
    fopt = -100.0 if name == "negative" else 0.0
    counts = []
    for seed in range(1, 6):
        r = po.solve_cmaes(f, [(-5.0, 5.0)] * dim, variant="ipop", seed=seed,
                           target=fopt + 1e-8, max_evals=50_000)
        assert r.converged and r.objective <= fopt + 1e-8
        assert r.objective == f(r.x)
        counts.append(r.evaluations)
    assert statistics.median(counts) <= 1.5 * PYCMA_MEDIAN[dim, name]


def test_no_absolute_stop_below_tol():
    # Values far below any tolerance do not end the run: only the budget does.
    r = po.solve_cmaes(negative_sphere, [(-5, 5)] * 3, variant="ipop", max_evals=3000)
    assert r.evaluations == 3000 and not r.converged
    assert r.objective < -100 + 1e-12
    assert all(abs(v - SHIFT) < 1e-6 for v in r.x)


def test_reproducible_and_seeded():
    kw = dict(variant="ipop", max_evals=2500)
    f = rotated_rosenbrock(4)
    a = po.solve_cmaes(f, [(-5, 5)] * 4, seed=3, **kw)
    b = po.solve_cmaes(f, [(-5, 5)] * 4, seed=3, **kw)
    c = po.solve_cmaes(f, [(-5, 5)] * 4, seed=4, **kw)
    assert (a.x, a.history, a.evaluations) == (b.x, b.history, b.evaluations)
    assert a.x != c.x
    assert a.history == sorted(a.history, reverse=True)  # best so far, never worse


def test_restarts_double_the_population():
    # A constant objective ends each run by the flat-value test after
    # 10 + ceil(30 n / lambda) generations; in 2-D lambda = 6, 12, 24:
    # 20, 15 and 13 generations, plus the box centre.
    calls = []
    r = po.solve_cmaes(lambda x: calls.append(x) or 1.0, [(-1, 1)] * 2, variant="ipop",
                       restarts=2)
    assert r.evaluations == len(calls) == 1 + 6 * 20 + 12 * 15 + 24 * 13
    assert r.iterations == 1 + 20 + 15 + 13
    assert r.converged  # the last allowed run ended by its own test
    # Restarts start at random points; the first run at the centre.
    assert calls[0] == [0.0, 0.0]


def test_budgets_and_target():
    calls = []

    def counted(x):
        calls.append(x)
        return sphere(x)

    r = po.solve_cmaes(counted, [(-5, 5)] * 3, variant="ipop", max_evals=777)
    assert r.evaluations == len(calls) == 777 and not r.converged
    r = po.solve_cmaes(sphere, [(-5, 5)] * 3, variant="ipop", target=1e-3)
    assert r.converged and 1e-9 < r.objective <= 1e-3
    r = po.solve_cmaes(sphere, [(-5, 5)] * 3, variant="ipop", max_time=0.0)
    assert r.evaluations == 1 and r.iterations == 1 and not r.converged
    r = po.solve_cmaes(sphere, [(-5, 5)] * 3, variant="ipop", max_evals=0)
    assert r.evaluations == 1
    # The shared callback sees every generation and may end the call.
    seen = []
    r = po.solve_cmaes(sphere, [(-5, 5)] * 3, variant="ipop", max_evals=None,
                       callback=lambda state: seen.append(state) or len(seen) >= 5)
    assert len(seen) == r.iterations == 5 and r.evaluations == 1 + 4 * 7 and not r.converged

    def slow(x):
        time.sleep(0.001)
        return sphere(x)

    t = time.perf_counter()
    r = po.solve_cmaes(slow, [(-5, 5)] * 3, variant="ipop", max_time=0.2, max_evals=10**9)
    assert time.perf_counter() - t < 5.0 and 10 < r.evaluations < 10**6


@pytest.mark.parametrize("variant", ["ipop", "bipop"])
def test_bounds_respected_and_corner_optimum(variant):
    seen = []
    box = [(-1.0, 2.0), (3.0, 3.0), (-4.0, -3.5), (0.0, 10.0)]

    def f(x):
        seen.append(x)
        return sum((v - 10.0) ** 2 for v in x) + x[0] * x[3]

    r = po.solve_cmaes(f, box, variant=variant, max_evals=4000)
    assert all(lo <= v <= hi for x in seen for v, (lo, hi) in zip(x, box))
    assert all(x[1] == 3.0 for x in seen)
    # The optimum sits at the upper bounds of the first and third
    # coordinates; the fourth is interior.
    assert r.x[0] == 2.0 and r.x[2] == -3.5
    assert abs(r.x[3] - 9.0) < 1e-6


def test_single_point_box_evaluates_once():
    r = po.solve_cmaes(sphere, [(1.0, 1.0), (2.0, 2.0)], variant="ipop")
    assert (r.x, r.evaluations, r.iterations, r.converged) == ([1.0, 2.0], 1, 1, True)


def test_failures_and_interrupts():
    # Raising and NaN offspring lose against numbers; an interrupt ends the run.
    calls = [0]

    def flaky(x):
        calls[0] += 1
        if calls[0] % 3 == 0:
            raise ValueError("no")
        if calls[0] % 5 == 0:
            return math.nan
        return sphere(x)

    r = po.solve_cmaes(flaky, [(-5, 5)] * 3, variant="ipop", target=1e-8, max_evals=20_000)
    assert r.converged and r.objective <= 1e-8

    def interrupt(x):
        calls[0] += 1
        if calls[0] == 50:
            raise KeyboardInterrupt
        return sphere(x)

    calls[0] = 0
    with pytest.raises(KeyboardInterrupt):
        po.solve_cmaes(interrupt, [(-5, 5)] * 3, variant="ipop")
    assert calls[0] == 50


@pytest.mark.parametrize("kw, error, text", [
    (dict(pop_size=1), ValueError, "pop_size must be at least 2 for the ipop CMA-ES variant, got 1"),
    (dict(sigma=0.0), ValueError, "sigma must be a positive finite number, got 0"),
    (dict(sigma=math.inf), ValueError, "sigma must be a positive finite number, got inf"),
    (dict(sigma=math.nan), ValueError, "sigma must be a positive finite number, got nan"),
    (dict(max_time=-1.0), ValueError, "max_time must be a number of seconds >= 0, got -1"),
    (dict(max_evals=1.5), TypeError, ""),
])
def test_bad_settings(kw, error, text):
    calls = []
    with pytest.raises(error) as e:
        po.solve_cmaes(calls.append, [(-1, 1)], variant="ipop", **kw)
    assert text in str(e.value) and not calls


def test_sigma_overrides_the_initial_step():
    # The first generation's spread follows sigma (0.3 x width by default).
    def spread(**kw):
        seen = []
        po.solve_cmaes(lambda x: seen.append(x) or 0.0, [(-100, 100)] * 4, variant="ipop",
                       max_evals=1 + 50, pop_size=50, **kw)
        xs = [v for x in seen[1:] for v in x]
        return statistics.pstdev(xs)

    assert 40 < spread() < 80
    assert 1 < spread(sigma=2.0) < 4


# --- the termination tests of a run, driven through the C++ interface ---------

DRIVER = r"""
#include <algorithm>
#include <cmath>
#include <cstdio>
#include "core/blackbox/cmaes_bipop.hpp"
#include "core/blackbox/cmaes_ipop.hpp"
using namespace pelora::blackbox;

void show(const char* name, const Bounds& b, IpopOptions o, Objective f) {
  o.max_restarts = 0;
  o.max_evals = 1000000;
  IpopResult r = cmaes_ipop(b, o, f);
  std::printf("%s %s %d\n", name, ipop_stop_name(r.runs.at(0).stop), r.result.converged);
}

int main() {
  const double c = 1e8 + 0.123456;  // large: a small step no longer moves it
  IpopOptions o;
  show("tol_fun", {{-5, -5}, {5, 5}}, o, [](std::span<const double>) { return 3.0; });
  show("tol_x", {{-5, -5}, {5, 5}}, o, [](std::span<const double> x) {
    return std::pow(x[0] * x[0] + x[1] * x[1], 0.05);
  });
  show("no_effect_axis", {{c - 5}, {c + 5}}, o, [&](std::span<const double> x) {
    return std::pow(std::abs(x[0] - c), 0.1);
  });
  show("no_effect_coord", {{c - 5, -5}, {c + 5, 5}}, o, [&](std::span<const double> x) {
    return std::pow(std::abs(x[0] - c), 0.1) + std::pow(std::abs(x[1] - 0.5), 0.1);
  });
  show("condition", {{-5, -5}, {5, 5}}, o, [](std::span<const double> x) {
    return std::pow(x[0] * x[0] + 1e16 * x[1] * x[1], 0.05);
  });
  show("stagnation", {{-5, -5}, {5, 5}}, o, [](std::span<const double> x) {
    const double s = std::sin(x[0] * 12.9898 + x[1] * 78.233) * 43758.5453;
    return s - std::floor(s);  // noise: nothing to learn
  });
  IpopOptions g;
  g.max_generations = 7;
  show("max_generations", {{-5, -5}, {5, 5}}, g, [](std::span<const double> x) {
    return x[0] * x[0] + x[1] * x[1];
  });

  IpopOptions m;
  m.max_restarts = 3;
  m.max_evals = 1000000;
  IpopResult r = cmaes_ipop({{-5, -5, -5}, {5, 5, 5}}, m,
                            [](std::span<const double>) { return 1.0; });
  std::printf("lambdas");
  for (const IpopRun& run : r.runs) std::printf(" %zu", run.lambda);
  std::printf("\n");

  IpopOptions bi;
  bi.max_restarts = 7;
  r = cmaes_bipop({{-1, -1}, {1, 1}}, bi, [](std::span<const double>) { return 1.0; });
  for (size_t i = 0; i < r.runs.size(); ++i) {
    const IpopRun& run = r.runs[i];
    std::printf("bipop%zu %c %zu %llu %s %.17g\n", i, run.small ? 'S' : 'L', run.lambda,
                static_cast<unsigned long long>(run.evaluations), ipop_stop_name(run.stop),
                run.sigma);
  }

  // With a budget: the first restart is large, small runs get half of the
  // large restarts' spending.
  bi.max_restarts = 5;
  bi.max_evals = 1000000;
  r = cmaes_bipop({{-1, -1}, {1, 1}}, bi, [](std::span<const double>) { return 1.0; });
  for (size_t i = 0; i < r.runs.size(); ++i) {
    const IpopRun& run = r.runs[i];
    std::printf("budgeted%zu %c %zu %llu %s\n", i, run.small ? 'S' : 'L', run.lambda,
                static_cast<unsigned long long>(run.evaluations), ipop_stop_name(run.stop));
  }

  // Two wells, the one at (-2, -2) a whole unit worse: restarts that settle
  // in it give way by `behind` once the better well is found.
  auto wells = [](std::span<const double> x) {
    const double a = (x[0] - 2) * (x[0] - 2) + (x[1] - 2) * (x[1] - 2);
    const double b = (x[0] + 2) * (x[0] + 2) + (x[1] + 2) * (x[1] + 2) + 1.0;
    return std::min(a, b);
  };
  IpopOptions w;
  w.max_evals = 20000;
  w.seed = 5;
  r = cmaes_bipop({{-5, -5}, {5, 5}}, w, wells);
  for (size_t i = 0; i < r.runs.size(); ++i) {
    const IpopRun& run = r.runs[i];
    std::printf("wells%zu %s %llu %.17g\n", i, ipop_stop_name(run.stop),
                static_cast<unsigned long long>(run.generations), run.best);
  }
  std::printf("wellsbest %.17g\n", r.result.objective);
  w.max_restarts = 3;  // the last run allowed gives way: not converged
  r = cmaes_bipop({{-5, -5}, {5, 5}}, w, wells);
  std::printf("wellscapped %zu %s %d\n", r.runs.size(), ipop_stop_name(r.runs.back().stop),
              r.result.converged);
}
"""


@pytest.fixture(scope="module")
def driver_output(tmp_path_factory):
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    d = tmp_path_factory.mktemp("ipop")
    (d / "driver.cpp").write_text(DRIVER)
    sources = [os.path.join(ROOT, "src/core", p) for p in (
        "blackbox/cmaes_ipop.cpp", "blackbox/cmaes_bipop.cpp", "blackbox/cmaes_active.cpp",
        "blackbox/symmetric_eigen.cpp", "blackbox/bounds.cpp", "format.cpp")]
    exe = d / "driver"
    subprocess.run([cxx, "-std=c++20", "-O0", "-I", os.path.join(ROOT, "src"),
                    str(d / "driver.cpp"), *sources, "-o", str(exe)], check=True)
    out = subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout
    return dict(line.split(" ", 1) for line in out.splitlines())


@pytest.mark.parametrize("test", ["tol_fun", "tol_x", "no_effect_axis", "no_effect_coord",
                                  "condition", "stagnation", "max_generations"])
def test_each_termination_test_fires_on_its_function(driver_output, test):
    # Each function is built so that exactly this test ends the run; the
    # run (the only one allowed) then counts as converged.
    assert driver_output[test] == f"{test} 1"


def test_native_restarts_double_lambda(driver_output):
    assert driver_output["lambdas"] == "7 14 28 56"


def test_native_bipop_regime_schedule(driver_output):
    runs = [driver_output[k].split() for k in sorted(
        (k for k in driver_output if k.startswith("bipop")), key=lambda k: int(k[5:]))]
    # Regime, population, evaluations and stop of each run of a constant
    # objective in 2-D: small runs while they have spent less than the large
    # ones (60 < 120, then 120 = 120: large; 90 + 84 < 300, 378 > 300:
    # large), each capped at half the latest large run (60, then 90: whole
    # generations of 6 or 7 offspring); large runs end by the flat-value
    # test after 10 + ceil(30 n / lambda) generations.
    assert [r[:4] for r in runs] == [
        ["L", "6", "120", "tol_fun"], ["S", "6", "60", "run_budget"],
        ["S", "6", "60", "run_budget"], ["L", "12", "180", "tol_fun"],
        ["S", "6", "90", "run_budget"], ["S", "7", "84", "run_budget"],
        ["S", "7", "84", "run_budget"], ["L", "24", "312", "tol_fun"]]
    # Large runs start at 0.2 x the mean width, small ones up to 100 x lower,
    # each drawing its own.
    sigmas = [float(r[4]) for r in runs]
    assert all(s == 0.4 for r, s in zip(runs, sigmas) if r[0] == "L")
    assert all(0.004 <= s <= 0.4 for r, s in zip(runs, sigmas) if r[0] == "S")
    assert len({s for r, s in zip(runs, sigmas) if r[0] == "S"}) == 5


def test_native_bipop_budgeted_schedule(driver_output):
    runs = [driver_output[k].split() for k in sorted(
        (k for k in driver_output if k.startswith("budgeted")), key=lambda k: int(k[8:]))]
    # The first run spends for neither regime: a large restart (180) comes
    # first, then small runs while twice their spending is below the large
    # restarts' (0 < 180: one small run of at most 90; 2 x 90 = 180 is not
    # below 180: large; 2 x 90 < 180 + 312: small runs of at most 156).
    assert [r[0] for r in runs] == ["L", "L", "S", "L", "S", "S"]
    assert [r[2] for r in runs[:4]] == ["120", "180", "90", "312"]
    assert all(r[3] == "tol_fun" for r in runs if r[0] == "L")
    assert all(r[3] in ("run_budget", "tol_fun") and int(r[2]) <= 156 for r in runs[4:])


def test_native_bipop_restarts_behind_give_way(driver_output):
    runs = [driver_output[k].split() for k in sorted(
        (k for k in driver_output if k.startswith("wells") and k[5:].isdigit()),
        key=lambda k: int(k[5:]))]
    best = float(driver_output["wellsbest"])
    assert best < 1e-10  # the better well was found
    first_good = next(i for i, r in enumerate(runs) if float(r[2]) < 1e-6)
    worse = [r for r in runs if 0.9 < float(r[2]) < 1.1]
    # Before the better well is found, runs in the worse one converge to the
    # end (nothing to trail); after it, they give way, a unit behind, in
    # fewer generations than those took.
    assert all(r[0] == "tol_fun" for r in runs[:first_good])
    behind = [r for r in runs if r[0] == "behind"]
    assert len(behind) >= 3 and all(0.9 < float(r[2]) - best < 1.1 for r in behind)
    assert all(r[0] in ("behind", "run_budget") for r in worse if runs.index(r) > first_good)
    assert max(int(r[1]) for r in behind) < min(int(r[1]) for r in runs[:first_good])
    # A restart cap ending on a run that gave way is no convergence.
    assert driver_output["wellscapped"] == "4 behind 0"


# --- differential evolution with polish ---------------------------------------

def tilted(x):
    return sum((v - 0.3) ** 2 for v in x) + 0.5 * x[0]


def test_polish_improves_and_counts_every_call():
    calls = []

    def f(x):
        calls.append(list(x))
        return tilted(x)

    kw = dict(max_generations=15, seed=5)
    plain = po.solve_de(f, [(-5, 5)] * 3, **kw)
    assert po.solve_de(tilted, [(-5, 5)] * 3, polish=False, **kw).x == plain.x
    calls.clear()
    r = po.solve_de(f, [(-5, 5)] * 3, polish=True, **kw)
    assert r.evaluations == len(calls) > plain.evaluations
    assert r.iterations == plain.iterations + 1 and r.history[:-1] == plain.history
    assert r.objective < plain.objective and r.history[-1] == r.objective
    assert abs(r.x[0] - 0.05) < 1e-5 and abs(r.objective - 0.0875) < 1e-9
    assert all(type(v) is float for x in calls for v in x)

    # max_evals bounds the polish exactly; none left means no polish.
    calls.clear()
    r = po.solve_de(f, [(-5, 5)] * 3, polish=True, max_evals=plain.evaluations + 7, **kw)
    assert r.evaluations == len(calls) == plain.evaluations + 7
    r = po.solve_de(f, [(-5, 5)] * 3, polish=True, max_evals=plain.evaluations, **kw)
    assert (r.evaluations, r.x) == (plain.evaluations, plain.x)
    # max_evals caps the run itself too: past the start population, no
    # generation and no polish.
    r = po.solve_de(f, [(-5, 5)] * 3, polish=True, max_evals=10, **kw)
    assert r.evaluations == 30 and r.iterations == 1 and not r.converged


def test_polish_respects_bounds_and_failures():
    seen = []

    def f(x):
        seen.append(x)
        return sum((v - 10.0) ** 2 for v in x)

    box = [(-1.0, 2.0), (0.5, 0.5)]
    r = po.solve_de(f, box, max_generations=5, polish=True)
    assert all(lo <= v <= hi for x in seen for v, (lo, hi) in zip(x, box))
    assert r.x == [2.0, 0.5]

    # A value L-BFGS-B cannot use ends the polish quietly; the DE answer stays.
    for bad in (math.inf, math.nan):
        n = [0]

        def g(x, bad=bad):
            n[0] += 1
            return bad if x[0] > 0.2 else tilted(x)

        plain = po.solve_de(g, [(-5, 5)] * 2, max_generations=10)
        n[0] = 0
        r = po.solve_de(g, [(-5, 5)] * 2, max_generations=10, polish=True)
        assert r.evaluations == n[0] >= plain.evaluations and r.objective <= plain.objective


def test_polish_setting_is_a_bool():
    with pytest.raises(TypeError, match="polish must be True or False, got int"):
        po.solve_de(tilted, [(-1, 1)], polish=1)


def _ipop_rosen(v):
    return sum(100 * (b - a * a) ** 2 + (1 - a) ** 2 for a, b in zip(v, v[1:]))


def test_batches_give_the_serial_run():
    # A whole generation per batch call (pinned coordinate included), cut
    # short by the budget; every way of evaluating gives the same run.
    bounds = [(-3, 3)] * 4 + [(1, 1)]
    kw = dict(variant="ipop", seed=3, max_evals=1500)
    serial = po.solve_cmaes(_ipop_rosen, bounds, **kw)
    sizes = []

    def batch(points):
        sizes.append(len(points))
        assert all(p[-1] == 1.0 for p in points)
        return [_ipop_rosen(p) for p in points]

    for r in (po.solve_cmaes(_ipop_rosen, bounds, workers=1, **kw),
              po.solve_cmaes(_ipop_rosen, bounds, workers=map, **kw),
              po.solve_cmaes(batch, bounds, vectorized=True, **kw)):
        assert (r.x, r.objective, r.evaluations, r.iterations) == (
            serial.x, serial.objective, serial.evaluations, serial.iterations)
    assert sum(sizes) == 1500 and max(sizes) >= 8 and sizes[0] == 1
