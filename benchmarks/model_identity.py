"""What the model identity costs on the operator path and in Model.variables.

Run by hand, side by side against a build without it:
    python3 benchmarks/model_identity.py BUILD_DIR [BASELINE_BUILD_DIR ...]

Every variable carries its model's id (in its name block) and every expression
the id of the model whose variables it holds; joining two expressions compares
the two ids, and Model.add / minimize check them. Each build runs the same
workload in a fresh process, the builds alternating, seven rounds; the figure
per build is the median. Workload (ns per nonzero / per variable):
  create   [c * x for ...] over 1,000 variables
  sum      pelora_opt.sum of those terms
  +=       e = 0; e += t over the terms
  mixed    (x + y) * 2 - z + 1 over three variables, per expression
  add      Model.add(e <= r) of a 1,000-term row
  vars     Model.variables("x", 200,000)
Goal: the identity costs at most 3 % (ratio <= 1.03 against the baseline).
"""
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import gc, json, random, time
import pelora_opt as po
rng = random.Random(1)
m = po.Model(); xs = m.variables("x", 1000)
coefs = [rng.uniform(-10, 10) for _ in xs]
gc.disable()
def best(f, reps):
    out = []
    for _ in range(reps):
        t0 = time.perf_counter(); f(); out.append(time.perf_counter() - t0)
    return min(out)
terms = [c * x for c, x in zip(coefs, xs)]
def pe():
    e = 0
    for t in terms: e += t
    return e
x, y, z = xs[0], xs[1], xs[2]
def mixed():
    for _ in range(1000): (x + y) * 2 - z + 1
e = po.sum(terms)
r = {
  "create": best(lambda: [c * x for c, x in zip(coefs, xs)], 30) * 1e9 / 1000,
  "sum": best(lambda: po.sum(terms), 30) * 1e9 / 1000,
  "+=": best(pe, 30) * 1e9 / 1000,
  "mixed": best(mixed, 30) * 1e9 / 1000,
  "add": best(lambda: [m.add(e <= 1) for _ in range(20)], 10) * 1e9 / 20000,
  "vars": best(lambda: po.Model().variables("x", 200000), 5) * 1e9 / 200000,
}
print(json.dumps(r))
"""


def main():
    builds = sys.argv[1:] or ["build/dev"]
    runs = {b: [] for b in builds}
    for _ in range(7):
        for b in builds:
            env = dict(os.environ, PYTHONPATH=os.path.abspath(b))
            out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                                 text=True, check=True)
            runs[b].append(json.loads(out.stdout))
    keys = list(runs[builds[0]][0])
    med = {b: {k: statistics.median(r[k] for r in runs[b]) for k in keys} for b in builds}
    print(f"{'build':40}" + "".join(f"{k:>10}" for k in keys))
    for b in builds:
        print(f"{b:40}" + "".join(f"{med[b][k]:10.1f}" for k in keys))
    if len(builds) > 1:
        base = builds[1]
        ratios = {k: med[builds[0]][k] / med[base][k] for k in keys}
        print(f"{'ratio (first / second)':40}" + "".join(f"{ratios[k]:10.3f}" for k in keys))
        worst = max(ratios.values())
        print(f"goal: <= 1.03 against the baseline: worst {worst:.3f} "
              f"{'ok' if worst <= 1.03 else 'MISSED (see the noise between rounds)'}")


if __name__ == "__main__":
    main()
