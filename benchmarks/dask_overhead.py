"""When a Dask cluster pays for a black-box run.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/dask_overhead.py

A local cluster of two worker processes (one thread each), driven as the
README shows it (`workers=client`), and through a map over it
(`workers=lambda f, xs: client.gather(client.map(f, xs))`, a task per chunk):

1. start-up: seconds to start the cluster and its client;
2. per-generation overhead: solve_de on a trivial 10-D objective, wall
   time per generation on the cluster against the serial run (the objective
   costs nothing, so the difference is what Dask adds to each generation);
3. the break-even objective cost: with P points per generation and W
   workers the cluster saves about cost * P * (1 - 1/W) per generation, so
   it pays once cost > overhead / (P * (1 - 1/W)).
"""
import statistics
import time

import pelora_opt as po


def trivial(x):
    return sum((v - 0.5) ** 2 for v in x)


def main():
    from dask.distributed import Client, LocalCluster

    bounds = [(-5, 5)] * 10
    generations = 20
    pop = 100  # solve_de's default population for 10 variables (10 x dimension)
    budget = pop * (generations + 1)

    serial = []
    for _ in range(3):
        t = time.perf_counter()
        r = po.solve_de(trivial, bounds, max_evals=budget, seed=1)
        serial.append((time.perf_counter() - t) / r.iterations)

    t = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        startup = time.perf_counter() - t
        on_cluster = lambda f, xs: client.gather(client.map(f, xs))  # noqa: E731
        runs = {"client": [], "map": []}
        for _ in range(3):  # interleaved with serial runs: the machine may be loaded
            for key, w in (("client", client), ("map", on_cluster)):
                t = time.perf_counter()
                r = po.solve_de(trivial, bounds, max_evals=budget, seed=1, workers=w)
                runs[key].append((time.perf_counter() - t) / r.iterations)
            t = time.perf_counter()
            r = po.solve_de(trivial, bounds, max_evals=budget, seed=1)
            serial.append((time.perf_counter() - t) / r.iterations)
    workers = 2
    print(f"cluster start-up            {startup:8.2f} s")
    print(f"serial, per generation      {statistics.median(serial) * 1e3:8.2f} ms")
    for key, label in (("client", "workers=client"), ("map", "map over the client")):
        overhead = statistics.median(runs[key]) - statistics.median(serial)
        break_even = overhead / (pop * (1 - 1 / workers))
        print(f"{label}:")
        print(f"  cluster, per generation   {statistics.median(runs[key]) * 1e3:8.2f} ms "
              f"({pop} points)")
        print(f"  Dask overhead / generation{overhead * 1e3:8.2f} ms")
        print(f"  break-even objective cost {break_even * 1e3:8.2f} ms per call "
              f"({workers} workers, {pop} points a generation)")


if __name__ == "__main__":
    main()
