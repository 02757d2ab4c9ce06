"""Generations sent to map-likes, pools and Dask clusters as one chunk per
worker, and map-likes whose answers never end."""
import itertools
import multiprocessing.pool
import os
import signal
import threading

import pytest

import pelora_opt as po

BOX = [(-3.0, 2.0), (-1.0, 4.0), (-2.0, 2.0)]


def flaky(x):
    if x[0] > 1.0:
        raise ValueError("outside")
    return sum((v - 0.25) ** 2 for v in x)


def first(x):
    return sum((v - 0.25) ** 2 for v in x)


def second(x):
    return sum((v + 0.5) ** 2 for v in x)


def outcome(r):
    return r.x, r.objective, r.history, r.evaluations, r.converged


SERIAL = {}


def serial(fn, **kw):
    """The run evaluating each generation as one batch in this process."""
    key = (fn.__name__, tuple(sorted(kw.items())))
    if key not in SERIAL:
        SERIAL[key] = outcome(fn(flaky, BOX, workers=1, **kw))
    return SERIAL[key]


def test_a_map_like_gets_one_chunk_per_worker_and_the_same_run():
    sent = []

    def recording(f, chunks):
        sent.append([len(c) for c in chunks])
        return [f(c) for c in chunks]

    r = po.solve_de(flaky, BOX, max_generations=6, workers=recording)
    assert outcome(r) == serial(po.solve_de, max_generations=6)
    # Seven batches (the first population, six generations) of 30 points,
    # each in at most one chunk per core.
    assert len(sent) == 7
    assert all(sum(s) == 30 and 1 <= len(s) <= (os.cpu_count() or 1) for s in sent)


def test_a_pool_object_stands_for_its_map():
    with multiprocessing.pool.ThreadPool(2) as pool:
        r = po.solve_pso(flaky, BOX, max_iterations=8, workers=pool)
    assert outcome(r) == serial(po.solve_pso, max_iterations=8)


@pytest.mark.parametrize("answer", [
    # Right answers, then an iterator that never ends.
    lambda f, chunks: itertools.chain(map(f, chunks), itertools.repeat(None)),
    lambda f, chunks: itertools.chain(map(f, chunks), itertools.count()),
])
def test_an_endless_answer_is_read_no_further_than_the_points_sent(answer):
    r = po.solve_de(flaky, BOX, max_generations=5, workers=answer)
    assert outcome(r) == serial(po.solve_de, max_generations=5)


def test_no_answer_is_awaited_past_max_time():
    asked = []

    class Never:
        """An answer whose next result never comes."""

        def __iter__(self):
            return self

        def __next__(self):
            raise AssertionError("an answer was awaited past max_time")

    def answer(f, chunks):
        asked.append(len(chunks))
        return Never()

    # The time is up before the first result: the points score +inf.
    r = po.solve_de(flaky, BOX, max_time=0, workers=answer)
    assert asked and r.objective == float("inf") and r.evaluations == 30


def test_an_answer_that_ends_early_or_runs_long_is_refused():
    with pytest.raises(ValueError, match=r"workers returned 1 results for \d+ items"):
        po.solve_de(flaky, BOX, max_generations=2, workers=lambda f, c: iter([f(c[0])]))
    with pytest.raises(ValueError, match=r"workers returned \d+ results for \d+ items"):
        po.solve_de(flaky, BOX, max_generations=2, workers=lambda f, c: [f(x) for x in c] * 2)
    with pytest.raises(ValueError, match="results for a chunk of"):
        po.solve_de(flaky, BOX, max_generations=2, workers=lambda f, c: [[1.0] for _ in c])


def test_ctrl_c_while_an_endless_answer_is_read():
    def answer(f, chunks):
        yield from map(f, chunks[:1])
        os.kill(os.getpid(), signal.SIGINT)
        while True:
            yield None

    if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        pytest.skip("SIGINT is not delivered as KeyboardInterrupt here")
    with pytest.raises(KeyboardInterrupt):
        po.solve_de(flaky, BOX, max_generations=50, workers=answer)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as c:
        yield c


def test_dask_client_as_workers_matches_the_serial_run(client, monkeypatch):
    from distributed.actor import Actor

    scattered, mapped, submitted, calls = [], [], [], []
    scatter, map_, submit = client.scatter, client.map, client.submit
    actor_attr = Actor.__getattr__

    def counting_submit(func, *a, **k):
        submitted.append((func.__name__, k.get("actor")))
        return submit(func, *a, **k)

    def counting_calls(self, key):
        calls.append(key)
        return actor_attr(self, key)

    monkeypatch.setattr(client, "submit", counting_submit)
    monkeypatch.setattr(Actor, "__getattr__", counting_calls)

    def counting_scatter(*a, **k):
        scattered.append(a[0])
        return scatter(*a, **k)

    def counting_map(func, *iterables, **k):
        mapped.append(len(iterables[-1]))
        return map_(func, *iterables, **k)

    client.scatter, client.map = counting_scatter, counting_map
    try:
        r = po.solve_de(flaky, BOX, max_generations=8, workers=client)
        assert outcome(r) == serial(po.solve_de, max_generations=8)
        # The objective goes out once, to one actor per worker; each of the
        # 9 batches as one call per worker, with nothing scattered or mapped.
        assert submitted == [("_Evaluator", True)] * 2 and calls == ["evaluate"] * 18
        assert not scattered and not mapped
        items = po.pareto_frontier([first, second], BOX, method="nsga2", generations=3,
                                   workers=client)
        assert items == po.pareto_frontier([first, second], BOX, method="nsga2", generations=3)
        sweep = po.pareto_frontier([first, second], BOX, n_points=3, workers=client)
        assert sweep == po.pareto_frontier([first, second], BOX, n_points=3)
    finally:
        del client.scatter, client.map


def flaky_all(xs):
    return [flaky(x) if x[0] <= 1.0 else float("inf") for x in xs]


def test_dask_runs_match_serial_for_other_optimisers_and_vectorized(client):
    for fn, kw in ((po.solve_pso, dict(max_iterations=6)), (po.solve_cmaes, dict(max_iterations=6))):
        assert outcome(fn(flaky, BOX, workers=client, seed=4, **kw)) == serial(fn, seed=4, **kw)
    # A vectorized objective gets one chunk per worker, called once each.
    kw = dict(max_generations=5, seed=2, vectorized=True)
    assert outcome(po.solve_de(flaky_all, BOX, workers=client, **kw)) == \
        outcome(po.solve_de(flaky_all, BOX, **kw))


def test_a_run_leaves_no_actor_behind(client):
    po.solve_de(flaky, BOX, max_generations=2, workers=client)
    with pytest.raises(Stop):
        po.solve_de(stops, BOX, max_generations=2, workers=client)
    # The actors' keys are let go when the run ends (Dask's own proxies of
    # them would keep them until a garbage collection).
    assert not [k for k in client.futures if str(k).startswith("_Evaluator")]


class Stop(BaseException):
    """Derives from BaseException only: it ends a run rather than scoring."""


def stops(x):
    if x[0] > 1.0:
        raise Stop(f"stopped at {x[0] > 1.0}")
    return first(x)


def exits(x):
    if x[0] > 1.0:
        raise SystemExit(7)
    return first(x)


def one_short(xs):
    return [first(x) for x in xs[1:]]


def not_a_sequence(xs):
    return 1.5


@pytest.mark.parametrize("case", [
    (stops, {}, Stop, r"^stopped at True$"),
    (exits, {}, SystemExit, r"^7$"),
    (one_short, dict(vectorized=True), ValueError,
     r"^a vectorized objective must return one value per point: got (\d+) values for (\d+) points$"),
    (not_a_sequence, dict(vectorized=True), TypeError,
     r"^a vectorized objective must return a sequence of values, got float$"),
], ids=["base-exception", "system-exit", "short-vectorized", "not-a-sequence"])
def test_errors_on_a_dask_worker_surface_as_they_do_serially(client, case):
    # (Before, an exception not derived from Exception left the cluster's
    # task unfinished and the run waiting for ever.)
    func, kw, kind, message = case
    with pytest.raises(kind, match=message) as here:
        po.solve_de(func, BOX, max_generations=3, **kw)
    with pytest.raises(kind, match=message) as there:
        po.solve_de(func, BOX, max_generations=3, workers=client, **kw)
    if kind is ValueError:  # the same shortfall, counted in the worker's chunk
        import re
        got, points = map(int, re.match(message, str(there.value)).groups())
        assert points - got == 1 and points < 30
    else:
        assert str(there.value) == str(here.value)
    # A sweep's runs go out as tasks: the same there.
    with pytest.raises(Stop, match=r"^stopped at True$"):
        po.pareto_frontier([stops, second], BOX, n_points=2, max_evals=60, workers=client)


def break_evaluator(kind):
    """On a worker: make its actors answer wrongly (None: mend them)."""
    import pelora_opt
    cls = pelora_opt._Evaluator
    kept = cls.__dict__.get("kept_evaluate", cls.evaluate)
    cls.kept_evaluate = kept
    if kind is None:
        cls.evaluate = kept
        return

    def evaluate(self, chunks):
        out = kept(self, chunks)
        return out[:-1] if kind == "chunks" else [values[:-1] for values in out]

    cls.evaluate = evaluate


@pytest.mark.parametrize("kind, message", [
    ("chunks", r"^a Dask worker returned 0 results for 1 chunks of points$"),
    ("points", r"^workers returned 14 results for a chunk of 15 points$"),
])
def test_a_wrong_length_reply_from_a_dask_worker_is_an_error(client, kind, message):
    client.run(break_evaluator, kind)
    try:
        with pytest.raises(ValueError, match=message):
            po.solve_de(flaky, BOX, max_generations=2, workers=client)
    finally:
        client.run(break_evaluator, None)
    assert outcome(po.solve_de(flaky, BOX, max_generations=2, workers=client)) == \
        serial(po.solve_de, max_generations=2)


# Made when a worker imports this module (to unpickle `gated`), so that the
# worker's actor thread and the call that opens it share one gate.
GATE = threading.Event()


def gated(x):
    """Waits on the worker until the test opens the gate."""
    GATE.wait()
    return first(x)


def open_gate():
    GATE.set()


def test_no_dask_answer_is_awaited_past_max_time(client):
    try:
        # The time is up before any chunk can come back: every point of
        # the first batch scores +inf, and the run ends.
        r = po.solve_de(gated, BOX, max_time=0, workers=client)
        assert r.objective == float("inf") and r.evaluations == 30
    finally:
        client.run(open_gate)


def test_a_dask_run_outlives_a_worker_that_leaves():
    distributed = pytest.importorskip("dask.distributed")
    expected = serial(po.solve_de, max_generations=8)
    # In-process workers of two threads each: the actors evaluate their
    # two chunks on both threads.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as c:
        assert outcome(po.solve_de(flaky, BOX, max_generations=8, workers=c)) == expected
        closed = []

        def leave(state):
            # After the third batch one worker closes; its actor is gone and
            # the remaining generations go out as tasks.
            if state.iteration == 2 and not closed:
                name = sorted(cluster.workers)[0]
                cluster.sync(cluster.workers[name].close)
                closed.append(name)

        mapped, map_ = [], c.map

        def counting_map(func, *iterables, **k):
            mapped.append(len(iterables[-1]))
            return map_(func, *iterables, **k)

        c.map = counting_map
        r = po.solve_de(flaky, BOX, max_generations=8, workers=c, callback=leave)
        # Batches 4 to 9 went out as tasks, one per chunk.
        assert closed and outcome(r) == expected and len(mapped) == 6


def test_an_asynchronous_dask_client_is_refused_with_a_clear_error(client):
    import asyncio

    distributed = pytest.importorskip("dask.distributed")

    async def run():
        async with distributed.Client(client.scheduler.address, asynchronous=True) as ac:
            with pytest.raises(TypeError, match="asynchronous=True cannot drive a run"):
                po.solve_de(lambda v: sum(t * t for t in v), [(-1, 1)] * 2, seed=1,
                            max_generations=2, workers=ac)

    asyncio.run(run())
