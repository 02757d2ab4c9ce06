"""When a Dask cluster pays for a black-box run.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/dask_overhead.py

A local cluster of two worker processes (one thread each), driven as the
README shows it (`workers=lambda f, xs: client.gather(client.map(f, xs))`):

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
    pop = 50  # solve_de's default population for 10 variables (5 x dimension)
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
        runs = []
        for _ in range(3):
            t = time.perf_counter()
            r = po.solve_de(trivial, bounds, max_evals=budget, seed=1, workers=on_cluster)
            runs.append((time.perf_counter() - t) / r.iterations)
    overhead = statistics.median(runs) - statistics.median(serial)
    workers = 2
    break_even = overhead / (pop * (1 - 1 / workers))
    print(f"cluster start-up            {startup:8.2f} s")
    print(f"serial, per generation      {statistics.median(serial) * 1e3:8.2f} ms")
    print(f"cluster, per generation     {statistics.median(runs) * 1e3:8.2f} ms "
          f"({pop} points)")
    print(f"Dask overhead / generation  {overhead * 1e3:8.2f} ms")
    print(f"break-even objective cost   {break_even * 1e3:8.2f} ms per call "
          f"({workers} workers, {pop} points a generation)")


if __name__ == "__main__":
    main()
