"""Differential evolution on a Dask cluster: overhead per generation and
speed-up on a slow objective.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/dask_cluster.py [--quick]

A LocalCluster of 2 worker processes (1 thread each), DE on a 10-D box
(its default population):

1. Overhead: a trivial objective, 10 generations, wall time per generation
   serially (workers=1) and with the cluster, given three ways:
     client      workers=client (one chunk per worker, the objective scattered
                 once per run)
     map chunks  workers=lambda f, xs: client.gather(client.map(f, xs)), which
                 now also receives one chunk per worker
     per point   the same map fed one task per point (what every map got
                 before: a per-point wrapper around the objective)
2. Speed-up: an objective that sleeps 50 ms (the GIL is free while it waits,
   as for a call into a simulator), 4 generations, serial (workers=1) against
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


class PerPoint:
    """Hands a map one task per point, as every map-like got before."""

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


def per_generation(gens, **kw):
    times = []
    for _ in range(3):
        t0 = time.perf_counter()
        r = po.solve_de(trivial, BOX, max_generations=gens, seed=3, **kw)
        times.append((time.perf_counter() - t0) / (gens + 1))
    return statistics.median(times), r


def main():
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0", silence_logs=50) as cluster, Client(cluster) as client:
        client.run(lambda: None)  # workers up
        gens = 5 if QUICK else 10
        serial, r0 = per_generation(gens, workers=1)
        print(f"1. overhead per generation (DE, 10-D, {r0.evaluations // (gens + 1)} points a "
              f"generation, {gens} generations, median of 3)")
        print(f"   serial (workers=1)  {serial * 1e3:8.2f} ms")
        for label, w in (("client", client),
                         ("map chunks", lambda f, xs: client.gather(client.map(f, xs, pure=False))),
                         ("per point", PerPoint(client))):
            t, r = per_generation(gens, workers=w)
            same = (r.x, r.history) == (r0.x, r0.history)
            print(f"   {label:<19} {t * 1e3:8.2f} ms   overhead {(t - serial) * 1e3:8.2f} ms"
                  f"   same run as serial: {same}")
        gens = 2 if QUICK else 4
        t0 = time.perf_counter()
        a = po.solve_de(slow, BOX, max_generations=gens, seed=3, workers=1)
        t_serial = time.perf_counter() - t0
        t0 = time.perf_counter()
        b = po.solve_de(slow, BOX, max_generations=gens, seed=3, workers=client)
        t_client = time.perf_counter() - t0
        print(f"2. speed-up, 50 ms objective, {gens} generations ({a.evaluations} evaluations)")
        print(f"   serial {t_serial:7.2f} s   workers=client {t_client:7.2f} s   "
              f"speed-up {t_serial / t_client:5.2f}x   same run: {(a.x, a.history) == (b.x, b.history)}")


if __name__ == "__main__":
    main()
