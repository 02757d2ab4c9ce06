"""Generations sent to map-likes, pools and Dask clusters as one chunk per
worker, and map-likes whose answers never end."""
import itertools
import multiprocessing.pool
import os
import signal

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


def test_dask_client_as_workers_matches_the_serial_run(client):
    scattered, mapped = [], []
    scatter, map_ = client.scatter, client.map

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
        # The objective goes out once; each of the 9 batches as two chunks,
        # one per worker.
        assert len(scattered) == 1 and mapped == [2] * 9
        items = po.pareto_frontier([first, second], BOX, method="nsga2", generations=3,
                                   workers=client)
        assert items == po.pareto_frontier([first, second], BOX, method="nsga2", generations=3)
        sweep = po.pareto_frontier([first, second], BOX, n_points=3, workers=client)
        assert sweep == po.pareto_frontier([first, second], BOX, n_points=3)
    finally:
        del client.scatter, client.map
