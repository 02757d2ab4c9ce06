"""What the model identity costs on the operator path and in Model.variables.

Run by hand, side by side against a build without it:
    python3 benchmarks/model_identity.py BUILD_DIR [BASELINE_BUILD_DIR ...]
    python3 benchmarks/model_identity.py --callgrind BUILD_DIR [BASELINE_BUILD_DIR ...]

Every variable carries its model's id (in its name block) and every expression
the id of the model whose variables it holds; joining two expressions compares
the two ids, and Model.add / minimize check them. Workload (per nonzero / per
variable):
  create   [c * x for ...] over 1,000 variables
  sum      pelora_opt.sum of those terms
  +=       e = 0; e += t over the terms
  builtin  the built-in sum() of the terms
  mixed    (x + y) * 2 - z + 1 over three variables, per expression
  add      Model.add(e <= r) of a 1,000-term row
  vars     Model.variables("x", n)

Wall clock (default): each build runs the workload in a fresh process, the
builds alternating, seven rounds; the figure per build is the median of the
best-of timings, in ns. On a loaded machine these move by 10 % and more.

--callgrind: instructions per operation under valgrind's callgrind, counted
only inside the timed loop (the loop runs in eval(), and collection is
switched on in the interpreter's eval builtin, so start-up, import and set-up
are not counted). Deterministic: the figure to compare under load.

Goal: the identity costs at most 3 % (ratio <= 1.03 against the baseline).
"""
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

SETUP = r"""
import gc, random, time
import pelora_opt as po
rng = random.Random(1)
m = po.Model(); xs = m.variables("x", 1000)
coefs = [rng.uniform(-10, 10) for _ in xs]
terms = [c * x for c, x in zip(coefs, xs)]
def pe():
    e = 0
    for t in terms: e += t
    return e
x, y, z = xs[0], xs[1], xs[2]
def mixed():
    for _ in range(1000): (x + y) * 2 - z + 1
e = po.sum(terms)
# name: (operation, operations per call, calls for the wall clock, calls under callgrind)
W = {
  "create": (lambda: [c * x for c, x in zip(coefs, xs)], 1000, 30, 10),
  "sum": (lambda: po.sum(terms), 1000, 30, 10),
  "+=": (pe, 1000, 30, 10),
  "builtin": (lambda: sum(terms), 1000, 30, 5),
  "mixed": (mixed, 1000, 30, 10),
  "add": (lambda: [m.add(e <= 1) for _ in range(20)], 20, 10, 10),
  "vars": (lambda: po.Model().variables("x", 200000), 200000, 5, 1),
}
gc.collect(); gc.disable()
"""

WALL = SETUP + r"""
import json
def best(f, reps):
    out = []
    for _ in range(reps):
        t0 = time.perf_counter(); f(); out.append(time.perf_counter() - t0)
    return min(out)
print(json.dumps({k: best(f, reps) * 1e9 / n for k, (f, n, reps, _) in W.items()}))
"""

# One workload under callgrind: warmed up once, then its loop inside eval()
# (which nothing else here calls: imports run their modules through exec).
COUNTED = SETUP + r"""
import sys
f, n, _, reps = W[sys.argv[1]]
f()
eval("[f() for _ in range(reps)]")
print(n * reps)
"""


def wall_clock(builds):
    runs = {b: [] for b in builds}
    for _ in range(7):
        for b in builds:
            env = dict(os.environ, PYTHONPATH=os.path.abspath(b))
            out = subprocess.run([sys.executable, "-c", WALL], env=env, capture_output=True,
                                 text=True, check=True)
            runs[b].append(json.loads(out.stdout))
    keys = list(runs[builds[0]][0])
    return {b: {k: statistics.median(r[k] for r in runs[b]) for k in keys} for b in builds}


def instructions(build, name):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build), PYTHONHASHSEED="0")
    with tempfile.TemporaryDirectory() as tmp:
        out_file = os.path.join(tmp, "callgrind.out")
        script = os.path.join(tmp, "counted.py")
        with open(script, "w") as f:
            f.write(COUNTED)
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=builtin_eval",
             f"--callgrind-out-file={out_file}", sys.executable, script, name],
            env=env, capture_output=True, text=True, check=True)
        ops = int(run.stdout.split()[-1])
        with open(out_file) as f:
            total = re.search(r"^(?:summary|totals): *(\d+)", f.read(), re.M)
    return int(total.group(1)) / ops


def callgrind(builds):
    names = ["create", "sum", "+=", "builtin", "mixed", "add", "vars"]
    return {b: {k: instructions(b, k) for k in names} for b in builds}


def main():
    args = sys.argv[1:]
    counted = "--callgrind" in args
    builds = [a for a in args if a != "--callgrind"] or ["build/dev"]
    med = callgrind(builds) if counted else wall_clock(builds)
    unit = "instructions per operation" if counted else "ns per operation (median of 7)"
    print(unit)
    keys = list(med[builds[0]])
    print(f"{'build':40}" + "".join(f"{k:>10}" for k in keys))
    for b in builds:
        print(f"{b:40}" + "".join(f"{med[b][k]:10.1f}" for k in keys))
    if len(builds) > 1:
        base = builds[1]
        ratios = {k: med[builds[0]][k] / med[base][k] for k in keys}
        print(f"{'ratio (first / second)':40}" + "".join(f"{ratios[k]:10.3f}" for k in keys))
        worst = max(ratios.values())
        verdict = "ok" if worst <= 1.03 else (
            "MISSED" if counted else "MISSED (see the noise between rounds)")
        print(f"goal: <= 1.03 against the baseline: worst {worst:.3f} {verdict}")


if __name__ == "__main__":
    main()
