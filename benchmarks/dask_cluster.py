"""Differential evolution on a Dask cluster: overhead per generation against
Dask's own floor, and speed-up on a slow objective.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/dask_cluster.py [--quick]

A LocalCluster of 2 worker processes (1 thread each), DE on a 10-D box
(its default population). The machine may be shared and loaded, so every
figure is a median over rounds, and the rounds interleave the variants.

0. Dask's floor: one round trip of 2 no-op calls, done the raw ways
     map + gather     client.gather(client.map(noop, [0, 1], pure=False))
     submit + gather  two client.submit(pure=False), then client.gather
     on scattered     two submits whose arguments are futures scattered before
     as_completed     map, then the results as they complete
     pinned, direct   the same, each pinned to a worker, gathered direct
     client.run       client.run(noop) on both workers
     actors           a method call on each of 2 actors, then .result()
1. Overhead: a trivial objective, wall time per generation serially
   (workers=1) and on the cluster, given three ways:
     client      workers=client (one actor per worker holds the objective;
                 a generation is one call per worker)
     map chunks  workers=lambda f, xs: client.gather(client.map(f, xs)), one
                 task per chunk (what workers=client did before)
     per point   the same map fed one task per point
   "per generation" is a run's time over its generations (the actors' start
   spread over them); "marginal" is the cost of one more generation (runs of
   G and 2G generations), which is what the floor compares with.
2. Speed-up: an objective that sleeps 50 ms (the GIL is free while it waits,
   as for a call into a simulator), serial (workers=1) against
   workers=client.

Goals: at most 20 ms of overhead per generation; speed-up at least 1.8x.
"""
import statistics
import sys
import time

import pelora_opt as po

QUICK = "--quick" in sys.argv
BOX = [(-5.0, 5.0)] * 10


def trivial(x):
    return sum(v * v for v in x)


def slow(x):
    time.sleep(0.050)
    return sum(v * v for v in x)


def noop(x=None):
    return x


class Echo:
    def echo(self, x):
        return x


class PerPoint:
    """Hands a map one task per point."""

    def __init__(self, client):
        self.client = client

    def __call__(self, f, chunks):
        points = [x for c in chunks for x in c]
        values = self.client.gather(self.client.map(lambda x: f([x])[0], points, pure=False))
        out, at = [], 0
        for c in chunks:
            out.append(values[at:at + len(c)])
            at += len(c)
        return out


def floor_patterns(client):
    workers = list(client.nthreads())
    actors = [client.submit(Echo, actor=True, workers=[w], pure=False).result() for w in workers]

    def pinned():
        futures = [client.submit(noop, i, pure=False, workers=[w]) for i, w in enumerate(workers)]
        return client.gather(futures, direct=True)

    from dask.distributed import as_completed
    data = client.scatter([[0.5] * 10, [0.5] * 10], hash=False)

    return {
        "map + gather": lambda: client.gather(client.map(noop, [0, 1], pure=False)),
        "on scattered data": lambda: client.gather([client.submit(noop, d, pure=False)
                                                    for d in data]),
        "as_completed": lambda: [f.result() for f in as_completed(
            client.map(noop, [0, 1], pure=False))],
        "submit + gather": lambda: client.gather([client.submit(noop, i, pure=False)
                                                  for i in (0, 1)]),
        "pinned, direct": pinned,
        "client.run": lambda: client.run(noop),
        "actors": lambda: [f.result() for f in [a.echo(i) for i, a in enumerate(actors)]],
    }


def timed_run(gens, **kw):
    t0 = time.perf_counter()
    r = po.solve_de(trivial, BOX, max_generations=gens, seed=3, **kw)
    return time.perf_counter() - t0, r


def main():
    from dask.distributed import Client, LocalCluster

    rounds = 3 if QUICK else 7
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0", silence_logs=50) as cluster, Client(cluster) as client:
        client.run(lambda: None)  # workers up
        floors = floor_patterns(client)
        gens = 5 if QUICK else 10
        ways = {"serial (workers=1)": 1, "client": client,
                "map chunks": lambda f, xs: client.gather(client.map(f, xs, pure=False)),
                "per point": PerPoint(client)}
        floor_t = {k: [] for k in floors}
        per_gen = {k: [] for k in ways}
        marginal = {k: [] for k in ways}
        same = {}
        r0 = po.solve_de(trivial, BOX, max_generations=gens, seed=3, workers=1)
        for rnd in range(rounds):
            for k, p in floors.items():
                for _ in range(10):
                    t = time.perf_counter()
                    p()
                    floor_t[k].append(time.perf_counter() - t)
            for k, w in ways.items():
                if k == "per point" and rnd >= 2:
                    continue  # slow, and far from the rest
                t1, r = timed_run(gens, workers=w)
                t2, _ = timed_run(2 * gens, workers=w)
                per_gen[k].append(t1 / (gens + 1))
                marginal[k].append((t2 - t1) / gens)
                same[k] = same.get(k, True) and (r.x, r.history) == (r0.x, r0.history)
        med = {k: statistics.median(v) for k, v in floor_t.items()}
        print(f"0. Dask's floor: 2 no-op calls and their results (median of {len(floor_t['actors'])})")
        for k, v in med.items():
            print(f"   {k:<19} {v * 1e3:8.2f} ms")
        print(f"1. overhead per generation (DE, 10-D, {r0.evaluations // (gens + 1)} points a "
              f"generation, {gens} and {2 * gens} generations, median of {rounds} rounds)")
        serial = statistics.median(per_gen["serial (workers=1)"])
        serial_m = statistics.median(marginal["serial (workers=1)"])
        print(f"   {'serial (workers=1)':<19} {serial * 1e3:8.2f} ms   marginal {serial_m * 1e3:8.2f} ms")
        for k in list(ways)[1:]:
            t, m = statistics.median(per_gen[k]), statistics.median(marginal[k])
            print(f"   {k:<19} {t * 1e3:8.2f} ms   marginal {m * 1e3:8.2f} ms   "
                  f"overhead {(t - serial) * 1e3:8.2f} ms (marginal {(m - serial_m) * 1e3:7.2f})"
                  f"   same run as serial: {same[k]}")
        ours = statistics.median(marginal["client"]) - serial_m
        best = min(med, key=med.get)
        print(f"   workers=client overhead (marginal) minus Dask's floor: "
              + ", ".join(f"{(ours - med[k]) * 1e3:.2f} ms over {k}"
                          for k in dict.fromkeys([best, "actors", "map + gather"])))
        gens = 2 if QUICK else 4
        rounds = 1 if QUICK else 3
        t_serial, t_client, agree = [], [], True
        for _ in range(rounds):
            t0 = time.perf_counter()
            a = po.solve_de(slow, BOX, max_generations=gens, seed=3, workers=1)
            t_serial.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            b = po.solve_de(slow, BOX, max_generations=gens, seed=3, workers=client)
            t_client.append(time.perf_counter() - t0)
            agree = agree and (a.x, a.history) == (b.x, b.history)
        s, c = statistics.median(t_serial), statistics.median(t_client)
        print(f"2. speed-up, 50 ms objective, {gens} generations ({a.evaluations} evaluations), "
              f"median of {rounds}")
        print(f"   serial {s:7.2f} s   workers=client {c:7.2f} s   speed-up {s / c:5.2f}x   "
              f"same run: {agree}")


if __name__ == "__main__":
    main()
