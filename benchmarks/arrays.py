"""Models from arrays: a transportation LP with 1,000,000 constraint nonzeros.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/arrays.py [--quick] [--repeat N]
                  [--ways "pelora arrays,highspy arrays"] [--sizes 1e4,1e5,1e6,1e7]
                  [--instructions]

--ways runs only the named ways; --sizes runs the model at each number of
nonzeros in turn (2,000 sinks, sources as needed; 10,000 nonzeros: 1,000
sinks) and ends with the growth curve of time and peak per nonzero.

S sources and D sinks, one variable per arc (S*D of them), supply rows
sum_j x[i, j] <= s[i] and demand rows sum_i x[i, j] >= d[j]: 2*S*D nonzeros,
given as one scipy.sparse CSR matrix with the cost vector and the right-hand
sides as numpy arrays. Every way below ends with HiGHS holding the model (a
run with time_limit=0), timed from the arrays to that point:

  pelora arrays     Model.variables + add_matrix + dot + solve(time_limit=0)
  highspy           HighsLp filled with the same arrays, passModel, run
  highspy arrays    passModel's array form given the same arrays, run
  pyoptinterface    add_m_variables + add_m_linear_constraints + objective
  linopy            2-D variables, sums over each axis, solve(io_api="direct")
  pelora operators  the same model written with Python operators and po.sum

Each way runs in its own process, N times (default 3), and the run of median
time is shown; memory is the peak resident set beyond the process's size once
its input arrays exist, per nonzero.

The children inherit how this process treats SIGINT. Handled (run from a
terminal), Model.solve runs HiGHS on a worker thread so that Ctrl-C is
answered in every phase; ignored (nohup, a background job of a script), it
runs HiGHS on the calling thread. The peak differs: glibc gives the worker
thread an arena of its own, which keeps what HiGHS frees during its run up to
the trim threshold (raised by earlier large frees) instead of handing it to
later allocations. The first line of the output says which case ran.

--instructions counts instructions instead (valgrind's callgrind, every
thread, OpenBLAS on one thread and a fixed hash seed so that repeated runs
agree): each named way minus a run that only builds the inputs. On a shared
or virtual machine wall time swings by a third between runs; the counts do
not, but they leave out the kernel's time (page faults above all).

Goals: pelora arrays within 1.3x of highspy and at most 40 bytes per nonzero;
faster than pyoptinterface and linopy; the operator path at most 0.5 us per
nonzero.
"""
import json
import os
import resource
import subprocess
import sys
import time

def option(name, default=None):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def shape_for(nnz):
    """Sources and sinks of the transport model with about `nnz` nonzeros."""
    sinks = 1000 if nnz < 100_000 else 2000
    return max(1, round(nnz / (2 * sinks))), sinks


QUICK = "--quick" in sys.argv
REPEAT = int(option("--repeat", 3))
if option("--nnz"):
    S, D = shape_for(int(float(option("--nnz"))))
else:
    S, D = (50, 1000) if QUICK else (250, 2000)
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def inputs():
    import numpy as np
    import scipy.sparse as sp

    rng = np.random.default_rng(1)
    n = S * D
    rows = np.concatenate([np.repeat(np.arange(S), D), S + np.tile(np.arange(D), S)])
    cols = np.concatenate([np.arange(n), np.arange(n)])
    A = sp.csr_matrix((np.ones(2 * n), (rows, cols)), shape=(S + D, n))
    supply = rng.uniform(1.0, 2.0, S) * D
    demand = rng.uniform(0.5, 1.0, D) * S * 0.9
    cost = rng.uniform(1.0, 10.0, n)
    return A, cost, supply, demand


def run_pelora_arrays(A, cost, supply, demand):
    import numpy as np
    import pelora_opt as po

    t0 = time.perf_counter()
    m = po.Model("transport")
    x = m.variables("x", A.shape[1], lower=0.0)
    t1 = time.perf_counter()
    m.add_matrix(A, x, ["<="] * S + [">="] * D, np.concatenate([supply, demand]))
    m.minimize(po.dot(cost, x))
    t2 = time.perf_counter()
    m.solve(time_limit=0)
    t3 = time.perf_counter()
    return {"variables": t1 - t0, "add_matrix + dot": t2 - t1, "solve(time_limit=0)": t3 - t2}


def run_highspy(A, cost, supply, demand):
    import highspy
    import numpy as np

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    lp = highspy.HighsLp()
    n = A.shape[1]
    lp.num_col_ = n
    lp.num_row_ = A.shape[0]
    lp.col_cost_ = cost
    lp.col_lower_ = np.zeros(n)
    lp.col_upper_ = np.full(n, highspy.kHighsInf)
    lp.row_lower_ = np.concatenate([np.full(S, -highspy.kHighsInf), demand])
    lp.row_upper_ = np.concatenate([supply, np.full(D, highspy.kHighsInf)])
    lp.a_matrix_.format_ = highspy.MatrixFormat.kRowwise
    lp.a_matrix_.start_ = A.indptr
    lp.a_matrix_.index_ = A.indices
    lp.a_matrix_.value_ = A.data
    lp.a_matrix_.num_col_ = n
    lp.a_matrix_.num_row_ = A.shape[0]
    h.passModel(lp)
    h.setOptionValue("time_limit", 0.0)
    h.run()


def run_highspy_arrays(A, cost, supply, demand):
    """passModel's array form, fed the CSR arrays as they are (row-wise)."""
    import highspy
    import numpy as np

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    n, m = A.shape[1], A.shape[0]
    inf = highspy.kHighsInf
    h.passModel(n, m, A.nnz, highspy.MatrixFormat.kRowwise, highspy.ObjSense.kMinimize, 0.0,
                cost, np.zeros(n), np.full(n, inf),
                np.concatenate([np.full(S, -inf), demand]), np.concatenate([supply, np.full(D, inf)]),
                A.indptr, A.indices, A.data, np.zeros(n, dtype=np.int32))
    h.setOptionValue("time_limit", 0.0)
    h.run()


def load_poi_highs():
    """PyOptInterface loads a HiGHS shared library at run time; the one casadi
    ships is used when none is found on the library path."""
    from pyoptinterface import highs

    if highs.autoload_library():
        return
    import casadi

    highs.load_library(os.path.join(os.path.dirname(casadi.__file__), "libhighs.so"))


def run_pyoptinterface(A, cost, supply, demand):
    import pyoptinterface as poi
    from pyoptinterface import highs

    m = highs.Model()
    m.set_model_attribute(poi.ModelAttribute.Silent, True)
    x = m.add_m_variables(A.shape[1], lb=0.0)
    import scipy.sparse as sp

    m.add_m_linear_constraints(sp.csr_array(A[:S]), x, poi.Leq, supply)
    m.add_m_linear_constraints(sp.csr_array(A[S:]), x, poi.Geq, demand)
    m.set_objective(poi.ScalarAffineFunction(cost.tolist(), [v.index for v in x.flat]))
    m.set_model_attribute(poi.ModelAttribute.TimeLimitSec, 0.0)
    m.optimize()


def run_linopy(A, cost, supply, demand):
    import linopy
    import xarray as xr

    m = linopy.Model()
    x = m.add_variables(lower=0.0, coords=[range(S), range(D)], dims=["i", "j"], name="x")
    m.add_constraints(x.sum("j") <= xr.DataArray(supply, dims=["i"]))
    m.add_constraints(x.sum("i") >= xr.DataArray(demand, dims=["j"]))
    m.add_objective((xr.DataArray(cost.reshape(S, D), dims=["i", "j"]) * x).sum())
    m.solve("highs", io_api="direct", time_limit=0, output_flag=False)


def run_pelora_operators(A, cost, supply, demand):
    import pelora_opt as po

    m = po.Model("transport")
    x = m.variables("x", S * D, lower=0.0)
    for i in range(S):
        m.add(po.sum(x[i * D:(i + 1) * D]) <= float(supply[i]))
    for j in range(D):
        m.add(po.sum(x[j::D]) >= float(demand[j]))
    c = cost.tolist()
    m.minimize(po.sum([c[k] * x[k] for k in range(S * D)]))
    m.solve(time_limit=0)


WAYS = {
    "pelora arrays": run_pelora_arrays,
    "highspy": run_highspy,
    "highspy arrays": run_highspy_arrays,
    "pyoptinterface": run_pyoptinterface,
    "linopy": run_linopy,
    "pelora operators": run_pelora_operators,
}


def child(name):
    import highspy  # noqa: F401  (imported by every way: not part of the measure)
    import numpy  # noqa: F401
    import scipy.sparse  # noqa: F401

    if name == "pyoptinterface":
        load_poi_highs()
    if name.startswith("pelora") or "--instructions" in sys.argv:
        # as highspy above: the import is not part of the measure (counting
        # instructions, every way imports the same, as the inputs-only run)
        import pelora_opt  # noqa: F401
    args = inputs()
    if name == "inputs only":  # the baseline --instructions subtracts
        return
    base = rss()
    t0 = time.perf_counter()
    phases = WAYS[name](*args)
    seconds = time.perf_counter() - t0
    print(json.dumps({"seconds": seconds, "peak_bytes": max(0, peak() - base), "phases": phases}))


def main(ways=None, size_args=()):
    import signal

    nnz = 2 * S * D
    thread = ("calling thread (SIGINT ignored)" if signal.getsignal(signal.SIGINT) is signal.SIG_IGN
              else "worker thread (SIGINT handled)")
    print(f"Model.solve runs HiGHS on the {thread}")
    print(f"transportation LP: {S} sources x {D} sinks, {S * D} variables, {S + D} rows, {nnz} nonzeros")
    results = {}
    for name in ways or WAYS:
        runs = []
        for _ in range(REPEAT):
            out = subprocess.run([sys.executable, __file__, "--child", name] + (["--quick"] if QUICK else [])
                                 + list(size_args), capture_output=True, text=True)
            if out.returncode != 0:
                print(f"  {name:18s} failed: {out.stderr.strip().splitlines()[-1] if out.stderr else out.returncode}")
                break
            runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
        if len(runs) < REPEAT:
            continue
        # the run of median time stands for the way
        r = sorted(runs, key=lambda run: run["seconds"])[len(runs) // 2]
        results[name] = r
        print(f"  {name:18s} {r['seconds'] * 1e3:9.1f} ms  {r['seconds'] / nnz * 1e9:7.1f} ns/nonzero  "
              f"peak {r['peak_bytes'] / nnz:6.1f} B/nonzero")
        for phase, sec in (r.get("phases") or {}).items():
            print(f"      {phase:22s} {sec * 1e3:9.1f} ms")
    for peer in ("highspy", "highspy arrays"):
        if "pelora arrays" in results and peer in results:
            ours, theirs = results["pelora arrays"], results[peer]
            print(f"pelora arrays / {peer}: {ours['seconds'] / theirs['seconds']:.2f}x (goal <= 1.3x); "
                  f"{(ours['peak_bytes'] - theirs['peak_bytes']) / nnz:.1f} B/nonzero beyond its peak (goal <= 40)")
    if "pelora operators" in results:
        print(f"operator path: {results['pelora operators']['seconds'] / nnz * 1e6:.2f} us/nonzero (goal <= 0.5)")
    return results


def instructions(ways):
    """Instructions of each way under callgrind, beyond building the inputs."""
    import shutil
    import tempfile

    if not shutil.which("valgrind"):
        print("--instructions needs valgrind")
        return
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONHASHSEED="0")
    counts = {}
    folder = tempfile.mkdtemp(prefix="arrays_callgrind_")
    for name in ["inputs only"] + list(ways or ("pelora arrays", "highspy arrays")):
        out = os.path.join(folder, "out")
        run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                              __file__, "--child", name, "--instructions"] + (["--quick"] if QUICK else []),
                             capture_output=True, text=True, env=env)
        total = [line for line in run.stderr.splitlines() if "Collected :" in line]
        if run.returncode != 0 or not total:
            print(f"  {name:18s} failed")
            continue
        counts[name] = int(total[-1].split()[-1])
        if name != "inputs only":
            print(f"  {name:18s} {(counts[name] - counts['inputs only']) / 1e6:9.1f}M instructions")
    shutil.rmtree(folder, ignore_errors=True)
    if "pelora arrays" in counts and "highspy arrays" in counts:
        base = counts["inputs only"]
        ratio = (counts["pelora arrays"] - base) / (counts["highspy arrays"] - base)
        print(f"pelora arrays / highspy arrays: {ratio:.3f}x instructions (goal <= 1.10x)")


def growth(sizes, ways):
    """The model at each size; then time and peak per nonzero of each way."""
    global S, D
    curve = {}
    for size in sizes:
        S, D = shape_for(int(float(size)))
        curve[2 * S * D] = main(ways, ["--nnz", str(2 * S * D)])
        print()
    for name in ways or WAYS:
        points = [(n, r[name]) for n, r in curve.items() if name in r]
        if not points:
            continue
        ns = [r["seconds"] / n * 1e9 for n, r in points]
        bs = [r["peak_bytes"] / n for n, r in points]
        print(f"{name}: " + " -> ".join(f"{n:,}" for n, _ in points) + " nonzeros")
        print(f"  ns/nonzero {' / '.join(f'{v:.0f}' for v in ns)}  (max/min {max(ns) / min(ns):.2f}x)")
        print(f"  B/nonzero  {' / '.join(f'{v:.0f}' for v in bs)}  (max/min {max(bs) / min(bs):.2f}x)")
        print(f"  peak at the largest: {points[-1][1]['peak_bytes'] / 2**30:.2f} GiB")


if __name__ == "__main__":
    if "--child" in sys.argv:
        child(sys.argv[sys.argv.index("--child") + 1])
    else:
        chosen = [w.strip() for w in option("--ways").split(",")] if option("--ways") else None
        if "--instructions" in sys.argv:
            instructions(chosen)
        elif option("--sizes"):
            growth(option("--sizes").split(","), chosen)
        else:
            main(chosen)
