"""The operator path of benchmarks/arrays.py, phase by phase, side by side.

Run by hand:
    python3 benchmarks/operator_path.py BUILD_DIR [OTHER_BUILD_DIR ...] [--rounds N]

The transportation LP of arrays.py (250 sources x 2000 sinks, 1,000,000
constraint nonzeros) written with Python operators and pelora_opt.sum, as the
"pelora operators" way there does:
  variables    Model.variables("x", 500,000)
  supply rows  250 rows po.sum(x[i*D:(i+1)*D]) <= s[i], each added
  demand rows  2,000 rows po.sum(x[j::D]) >= d[j], each added
  objective    [c[k] * x[k] ...], po.sum, Model.minimize
  solve0       Model.solve(time_limit=0): HiGHS holds the model
"build" is everything before solve0, "whole" includes it (the figure
arrays.py reports). Each build runs in a fresh process, the builds
alternating, N rounds (default 5); medians in ms, and us per constraint
nonzero for build and whole.

Goal: the whole operator path at most 0.3 us per nonzero.
"""
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, time
import numpy as np
S, D = 250, 2000
rng = np.random.default_rng(1)
supply = rng.uniform(1.0, 2.0, S) * D
demand = rng.uniform(0.5, 1.0, D) * S * 0.9
cost = rng.uniform(1.0, 10.0, S * D)
import highspy  # noqa: F401  (imported by every way of arrays.py: not part of the measure)
import pelora_opt as po
t = [time.perf_counter()]
m = po.Model("transport")
x = m.variables("x", S * D, lower=0.0)
t.append(time.perf_counter())
for i in range(S):
    m.add(po.sum(x[i * D:(i + 1) * D]) <= float(supply[i]))
t.append(time.perf_counter())
for j in range(D):
    m.add(po.sum(x[j::D]) >= float(demand[j]))
t.append(time.perf_counter())
c = cost.tolist()
m.minimize(po.sum([c[k] * x[k] for k in range(S * D)]))
t.append(time.perf_counter())
m.solve(time_limit=0)
t.append(time.perf_counter())
names = ["variables", "supply rows", "demand rows", "objective", "solve0"]
out = {n: (b - a) * 1e3 for n, a, b in zip(names, t, t[1:])}
out["build"] = (t[4] - t[0]) * 1e3
out["whole"] = (t[5] - t[0]) * 1e3
print(json.dumps(out))
"""

NNZ = 2 * 250 * 2000


def main():
    args = sys.argv[1:]
    rounds = 5
    if "--rounds" in args:
        k = args.index("--rounds")
        rounds = int(args[k + 1])
        del args[k:k + 2]
    builds = args or ["build/dev"]
    runs = {b: [] for b in builds}
    for _ in range(rounds):
        for b in builds:
            env = dict(os.environ, PYTHONPATH=os.path.abspath(b))
            out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True,
                                 check=True)
            runs[b].append(json.loads(out.stdout.strip().splitlines()[-1]))
    keys = list(runs[builds[0]][0])
    print(f"transportation LP, {NNZ:,} constraint nonzeros; median of {rounds} runs, ms")
    print(f"{'build':32}" + "".join(f"{k:>13}" for k in keys) + f"{'build us/nz':>13}{'whole us/nz':>13}")
    for b in builds:
        med = {k: statistics.median(r[k] for r in runs[b]) for k in keys}
        print(f"{b:32}" + "".join(f"{med[k]:13.1f}" for k in keys)
              + f"{med['build'] * 1e3 / NNZ:13.3f}{med['whole'] * 1e3 / NNZ:13.3f}")


if __name__ == "__main__":
    main()
