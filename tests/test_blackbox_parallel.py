"""Batch evaluation of the black-box optimisers (workers=, vectorized=),
and the shared run frame: callback, max_time, max_evals, target, verbose."""
import concurrent.futures
import math
import multiprocessing
import re
import sys
import time

import pytest

import pelora_opt as po
from leak_support import tracked_objective

BOX = [(-3.0, 2.0), (-1.0, 4.0), (-2.0, 2.0)]


# Objectives live at module level so that they pickle for worker processes.
def sphere(x):
    return sum((v - 0.25) ** 2 for v in x)


def sphere_points(xs):
    return [sphere(x) for x in xs]


def second(x):
    return sum((v + 0.5) ** 2 for v in x)


def scenario(x, s):
    return sphere(x) + s


def flaky(x):
    if x[0] > 1.0:
        raise ValueError("outside")
    return sphere(x)


def interrupt_late(x):
    if x[0] > 0.0:
        raise KeyboardInterrupt
    return 1.0


def part(rho, target):
    return [(3.0 + rho * t) / (1.0 + rho) for t in target]


def part_b(rho, target):
    return [(-1.0 + rho * t) / (1.0 + rho) for t in target]


def outcome(r):
    return r.x, r.objective, r.history, r.evaluations, r.converged


@pytest.fixture(scope="module")
def pool():
    with concurrent.futures.ProcessPoolExecutor(2) as ex:
        yield ex


SINGLE = [
    (po.solve_de, {"max_generations": 25}),
    (po.solve_parallel_de, {"max_generations": 15}),
    (po.solve_pso, {"max_iterations": 25}),
    (po.solve_cmaes, {"max_generations": 25}),
    (po.solve_cmaes, {"max_generations": 25, "variant": "full", "restarts": 1}),
]


@pytest.mark.parametrize("fn, kw", SINGLE)
def test_results_identical_for_every_worker_count_and_map(fn, kw, pool):
    base = outcome(fn(flaky, BOX, workers=1, **kw))
    assert outcome(fn(flaky, BOX, workers=2, **kw)) == base
    assert outcome(fn(flaky, BOX, workers=pool.map, **kw)) == base
    assert outcome(fn(flaky, BOX, workers=lambda f, xs: [f(x) for x in xs], **kw)) == base
    # A failing point scores +inf in the worker just as in this process.
    assert base[1] < math.inf
    if fn is po.solve_cmaes:
        # Sampling does not depend on the values: batches change nothing.
        assert outcome(fn(flaky, BOX, **kw)) == base


def test_vectorized_calls_once_per_generation_and_matches_workers():
    calls = []

    def batch(xs):
        calls.append(len(xs))
        return sphere_points(xs)

    r = po.solve_de(batch, BOX, max_generations=12, vectorized=True)
    assert calls == [30] * 13
    assert outcome(r) == outcome(po.solve_de(sphere, BOX, max_generations=12, workers=1))
    r = po.solve_cmaes(batch, BOX, max_generations=5, vectorized=True)
    assert outcome(r) == outcome(po.solve_cmaes(sphere, BOX, max_generations=5))
    with pytest.raises(ValueError, match="one value per point: got 1 values for 30 points"):
        po.solve_de(lambda xs: [0.0], BOX, vectorized=True)
    with pytest.raises(TypeError, match="must return a sequence of values, got float"):
        po.solve_pso(lambda xs: 1.0, BOX, vectorized=True)
    # A raising batch scores every point +inf, like a raising objective.
    r = po.solve_de(lambda xs: 1 / 0, BOX, vectorized=True, max_generations=3)
    assert r.objective == math.inf


def test_portfolio_and_stochastic_in_batches(pool):
    base = outcome(po.solve_portfolio(sphere, BOX, max_evals=300, workers=1))
    assert outcome(po.solve_portfolio(sphere, BOX, max_evals=300, workers=pool.map)) == base
    kw = {"max_generations": 20}
    base = outcome(po.stochastic_solve(scenario, BOX, [0.0, 1.0, 2.5], workers=1, **kw))
    assert outcome(po.stochastic_solve(scenario, BOX, [0.0, 1.0, 2.5], workers=2, **kw)) == base
    assert outcome(po.stochastic_solve(scenario, BOX, [0.0, 1.0, 2.5], workers=-1, **kw)) == base
    assert base[1] == pytest.approx(sphere(base[0]) + 3.5 / 3)


def test_pareto_and_admm_match_the_serial_runs(pool):
    for kw in ({"n_points": 4}, {"n_points": 4, "method": "nsga2", "generations": 15}):
        serial = po.pareto_frontier([sphere, second], BOX, **kw)
        assert po.pareto_frontier([sphere, second], BOX, workers=2, **kw) == serial
        assert po.pareto_frontier([sphere, second], BOX, workers=pool.map, **kw) == serial
    items = po.pareto_frontier([sphere_points, lambda xs: [second(x) for x in xs]], BOX,
                               method="nsga2", generations=5, vectorized=True)
    assert items == po.pareto_frontier([sphere, second], BOX, method="nsga2", generations=5)
    # The sweep's runs go to the workers whole; vectorized objectives get one-point lists.
    items = po.pareto_frontier([sphere_points, sphere_points], BOX, n_points=2,
                               vectorized=True, workers=pool.map)
    assert items == po.pareto_frontier([sphere, sphere], BOX, n_points=2)
    serial = po.solve_admm([part, part_b], 3)
    assert po.solve_admm([part, part_b], 3, workers=pool.map) == serial
    assert po.solve_admm([part, part_b], 3, workers=2) == serial
    assert serial["converged"] and serial["z"] == pytest.approx([1.0] * 3, abs=1e-5)


def test_remote_sweep_keeps_to_max_evals():
    # The runs go to the workers side by side: the budget is shared out, and
    # a budget too small for every run's first generation runs fewer weights.
    for budget, n_points in ((400, 4), (60, 8), (5, 3)):
        calls = []

        def counted(x):
            calls.append(1)
            return sphere(x)

        items = po.pareto_frontier([counted, second], BOX, n_points=n_points, max_evals=budget,
                                   workers=map)
        assert calls and len(calls) <= max(budget, 31), (budget, len(calls))
        assert 1 <= len(items) <= n_points
    assert len(po.pareto_frontier([sphere, second], BOX, n_points=8, max_evals=60, workers=map)) <= 1


def test_objects_that_do_not_pickle_are_refused_before_the_run():
    calls = []
    with pytest.raises(TypeError, match=r"^obj_func cannot be sent to worker processes "
                                        r"\(workers=2\): it does not pickle"):
        po.solve_de(lambda x: calls.append(x) or 0.0, BOX, workers=2)
    assert calls == []
    with pytest.raises(TypeError, match="^subproblems cannot be sent"):
        po.solve_admm([lambda rho, t: t], 2, workers=2)
    # A map-like callable takes care of its own transport.
    r = po.solve_de(lambda x: sphere(x), BOX, max_generations=2, workers=map)
    assert r.evaluations == 90


@pytest.mark.parametrize("value, exc, text", [
    (0, ValueError, "workers must be a positive int, -1 (every core) or a map-like callable, got 0"),
    (-2, ValueError, "got -2"),
    (True, TypeError, "got bool"),
    ("all", TypeError, "workers must be an int or a map-like callable workers(func, iterable), "
                       "got str"),
])
def test_bad_workers(value, exc, text):
    with pytest.raises(exc, match=re.escape(text)):
        po.solve_pso(sphere, BOX, workers=value)


@pytest.mark.parametrize("fn, kw", SINGLE + [(po.solve_sa, {"max_iterations": 40}),
                                             (po.stochastic_solve, {})])
def test_callback_sees_every_generation_and_can_stop(fn, kw):
    states = []

    def cb(state):
        states.append(state)
        return state.iteration == 3

    args = (scenario, BOX, [0.0]) if fn is po.stochastic_solve else (sphere, BOX)
    r = fn(*args, callback=cb, **kw)
    assert [s.iteration for s in states] == [1, 2, 3]
    assert r.iterations == 4 and r.converged is False
    last = states[-1]
    assert last.objective == r.objective and last.x == r.x
    assert last.evaluations == r.evaluations and last.elapsed >= 0.0
    with pytest.raises(AttributeError):
        last.iteration = 0


def test_callback_on_frontier_and_admm():
    seen = []
    items = po.pareto_frontier([sphere, second], BOX, method="nsga2", generations=50,
                               callback=lambda s: seen.append(s.iteration) or len(seen) == 2)
    assert seen == [1, 2] and items
    seen.clear()
    po.pareto_frontier([sphere, second], BOX, n_points=5,
                       callback=lambda s: seen.append(s.evaluations) or len(seen) == 3)
    assert len(seen) == 3 and seen == sorted(seen)
    r = po.solve_admm([part, part_b], 2, tol=0.0, callback=lambda s: s.iteration == 7)
    assert r["iterations"] == 7 and r["converged"] is False


def test_callback_errors_and_interrupts_propagate():
    def boom(state):
        raise RuntimeError("from the callback")

    with pytest.raises(RuntimeError, match="from the callback"):
        po.solve_de(sphere, BOX, callback=boom)

    def interrupt(x):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        po.solve_de(interrupt, BOX, workers=1)
    # From a worker process too; the pool is closed on the way out.
    before = set(multiprocessing.active_children())
    with pytest.raises(KeyboardInterrupt):
        po.solve_de(interrupt_late, BOX, workers=2)
    assert set(multiprocessing.active_children()) <= before
    with pytest.raises(TypeError, match="callback must be callable, got int"):
        po.solve_de(sphere, BOX, callback=3)


def slow(x):
    time.sleep(0.002)
    return sphere(x)


@pytest.mark.parametrize("fn", [po.solve_de, po.solve_pso, po.solve_cmaes, po.solve_sa])
def test_max_time_ends_the_run_unconverged(fn):
    start = time.perf_counter()
    r = fn(slow, BOX, max_time=0.05)
    # Generous: the run stops at the first generation past the budget.
    assert time.perf_counter() - start < 20.0
    assert r.converged is False and r.evaluations < 2000


def test_max_time_covers_the_portfolio_members():
    r = po.solve_portfolio(slow, BOX, max_time=0.05)
    assert r.converged is False and r.evaluations < 2000
    with pytest.raises(ValueError, match="max_time must be a number of seconds >= 0"):
        po.solve_de(sphere, BOX, max_time=-1)


@pytest.mark.parametrize("fn, per_gen", [(po.solve_de, 30), (po.solve_pso, 20),
                                         (po.solve_cmaes, 7), (po.solve_sa, 1)])
def test_max_evals_is_never_passed(fn, per_gen):
    r = fn(sphere, BOX, max_evals=200)
    assert r.evaluations <= 200 and r.evaluations > 200 - per_gen - 1
    assert r.converged is False


def test_target_stops_as_converged():
    for fn in (po.solve_de, po.solve_pso, po.solve_cmaes, po.solve_sa):
        r = fn(sphere, BOX, target=0.5)
        assert r.objective <= 0.5 and r.converged
        assert r.evaluations < fn(sphere, BOX, target=1e-9).evaluations


def test_verbose_prints_progress_lines(capfd):
    po.solve_de(sphere, BOX, max_generations=5, verbose=True)
    lines = capfd.readouterr().err.splitlines()
    # The first generation is always shown; then at most one line a second.
    assert 1 <= len(lines) <= 5
    assert lines[0].startswith("[pelora-opt] iteration 1  evaluations 60  best ")
    po.solve_de(sphere, BOX, max_generations=5)
    assert capfd.readouterr().err == ""


def test_dask_cluster_of_two_worker_processes():
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        def on_cluster(f, xs):
            return client.gather(client.map(f, xs))

        r = po.solve_de(flaky, BOX, max_generations=8, workers=on_cluster)
        items = po.pareto_frontier([sphere, second], BOX, method="nsga2", generations=3,
                                   workers=on_cluster)
    assert outcome(r) == outcome(po.solve_de(flaky, BOX, max_generations=8, workers=1))
    assert items == po.pareto_frontier([sphere, second], BOX, method="nsga2", generations=3)


def test_batch_paths_release_every_reference():
    alive, Tracked, f = tracked_objective()

    def many(xs):
        return [f(x) if x[0] >= 0.3 else Tracked(1.0) for x in xs]

    cb = lambda state: None  # noqa: E731
    refs = (sys.getrefcount(f), sys.getrefcount(many), sys.getrefcount(cb))
    box = [(0, 1), (0, 1)]
    for fn in (po.solve_de, po.solve_pso, po.solve_cmaes):
        fn(f, box, max_generations=4, max_iterations=4, workers=1, callback=cb)
        fn(many, box, max_generations=4, max_iterations=4, vectorized=True, callback=cb)
        fn(f, box, max_generations=4, max_iterations=4, workers=map)
    po.pareto_frontier([f, f], box, method="nsga2", generations=3, workers=map, callback=cb)
    assert (sys.getrefcount(f), sys.getrefcount(many), sys.getrefcount(cb)) == refs
    assert alive[0] == 0


class ClaimsHuge:
    """A sequence whose length claims far more values than it holds."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return self.items[i]


def endless(xs):
    while True:
        yield 0.0


@pytest.mark.parametrize("workers", [None, lambda f, xs: [f(x) for x in xs]])
def test_vectorized_values_are_read_without_trusting_a_claimed_length(workers):
    kw = {"vectorized": True, "max_generations": 2, "workers": workers}
    # The claimed length is never allocated, and an endless iterator is read
    # only one value past the points.
    with pytest.raises(ValueError, match=r"one value per point: got 1 values for \d+ points"):
        po.solve_de(lambda xs: ClaimsHuge([0.0]), BOX, **kw)
    with pytest.raises(ValueError, match=r"one value per point: got more than (\d+) values for \1 points"):
        po.solve_de(endless, BOX, **kw)
    with pytest.raises(ValueError, match=r"one value per point: got (\d+) values for (\d+) points"):
        po.solve_de(lambda xs: [0.0] * (len(xs) + 1), BOX, **kw)
    # Iterables of the right length, a generator among them, are read as before.
    r = po.solve_de(lambda xs: (sphere(x) for x in xs), BOX, seed=3, **kw)
    assert r.objective == po.solve_de(sphere_points, BOX, seed=3, **kw).objective
