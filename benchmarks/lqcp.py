"""Linear-quadratic control of the heat equation (boundary control), a QP
with a banded constraint matrix: an N x N grid of states y[i, j] (time i,
space j), one control u[i] per time step, and one discretised heat-equation
row per interior grid point. N = 500 gives about 251,000 variables and
1.5 million constraint nonzeros.

Run by hand:
  PYTHONPATH=build/dev python3 benchmarks/lqcp.py memory [N [SOLVER]]
      peak memory of Model.solve(time_limit=0, solver=SOLVER), SOLVER "highs" by default
      (the figure comparable with highspy fed arrays; "auto" lets the QP go to OSQP, whose
      setup factorises the KKT matrix even with a zero time limit)
  PYTHONPATH=build/dev python3 benchmarks/lqcp.py solve [N]    solve to optimality through OSQP
  PYTHONPATH=build/dev python3 benchmarks/lqcp.py versus [N [REPEAT]]
      Model.solve(time_limit=0, solver="highs") beside highspy given the same model as
      arrays (passModel's array form: matrix, Hessian, bounds), each in its own process,
      REPEAT times (default 3), the run of median time shown
  PYTHONPATH=build/dev python3 benchmarks/lqcp.py ways [N [REPEAT]]
      from nothing to HiGHS holding the model (time_limit=0), each way in its own process:
      pelora operators (the model above), pelora arrays (the same matrices through
      Model.variables, add_matrix, quad_form and dot), highspy fed the arrays (passModel's
      array form) and PyOptInterface (add_m_variables, add_m_linear_constraints and a
      quadratic objective from the arrays); time, and the resident set's high-water mark
      above its size once the input arrays exist

Memory: peak resident set of the process (ru_maxrss) above the resident set
after import, divided by the constraint nonzeros; it covers building the
model in Python, the stored model, the standard form and the solver's setup.
Goal: at most 100 bytes per nonzero for N = 500. Solve: OSQP chosen
automatically, given enough iterations through solver_options, must report
an optimal solution whose objective agrees with Clarabel's.
"""
import os
import resource
import sys
import time

import pelora_opt as po

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def build(n):
    """The model for an n x n grid; returns (model, number of constraint nonzeros)."""
    m = po.Model(f"lqcp_{n}")
    dx = 1.0 / n
    horizon = 1.58
    dt = horizon / n
    h2 = dx * dx
    alpha = 0.001
    w = n + 1
    y = m.variables("y", w * w, lower=0.0, upper=1.0)  # y[i * w + j]
    u = m.variables("u", n, lower=-1.0, upper=1.0)  # u[i - 1] for i = 1..n

    def target(j):
        return 0.5 * (1.0 - (j * dx) ** 2)

    # Tracking of the target profile at the final time, and control effort.
    pieces = []
    for j in range(w):
        c = 0.25 * dx * (1.0 if j in (0, n) else 2.0)
        yv = y[n * w + j]
        t = target(j)
        pieces.append(c * (yv * yv) - (2.0 * c * t) * yv + c * t * t)
    for i in range(1, n + 1):
        c = 0.25 * alpha * dt * (1.0 if i == n else 2.0)
        uv = u[i - 1]
        pieces.append(c * (uv * uv))
    while len(pieces) > 1:  # pairwise, so the sum stays O(terms log terms)
        pieces = [pieces[k] + pieces[k + 1] if k + 1 < len(pieces) else pieces[k]
                  for k in range(0, len(pieces), 2)]
    m.minimize(pieces[0])

    nnz = 0
    # Crank-Nicolson step of the heat equation at every interior point:
    # (y[i+1,j] - y[i,j]) / dt = (lap y[i] + lap y[i+1]) / (2 h2).
    a = 1.0 / dt + 1.0 / h2
    b = -1.0 / dt + 1.0 / h2
    s = -0.5 / h2
    for i in range(n):
        r0 = i * w
        r1 = r0 + w
        for j in range(1, n):
            m.add(po.sum([a * y[r1 + j], b * y[r0 + j], s * y[r0 + j - 1], s * y[r0 + j + 1],
                          s * y[r1 + j - 1], s * y[r1 + j + 1]]) == 0.0)
            nnz += 6
    # Initial state, insulated left end, controlled right end.
    for j in range(w):
        m.add(1.0 * y[j] == 0.0)
        nnz += 1
    for i in range(1, n + 1):
        r = i * w
        m.add(y[r + 2] - 4.0 * y[r + 1] + 3.0 * y[r] == 0.0)
        k = 1.0 / (2.0 * dx)
        m.add(po.sum([k * y[r + n - 2], -4.0 * k * y[r + n - 1], (3.0 * k + 1.0) * y[r + n],
                      -1.0 * u[i - 1]]) == 0.0)
        nnz += 7
    return m, nnz


def memory(n, solver):
    base = rss()
    t0 = time.perf_counter()
    m, nnz = build(n)
    t1 = time.perf_counter()
    r = m.solve(time_limit=0, solver=solver) if solver != "auto" else m.solve(time_limit=0)
    t2 = time.perf_counter()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    per = (peak - base) / nnz
    print(f"lqcp N={n}: {m.num_vars:,} variables, {m.num_constraints:,} rows, {nnz:,} nonzeros")
    print(f"  build {t1 - t0:.1f} s, solve(time_limit=0) {t2 - t1:.1f} s ({r.solver}, {r.status})")
    print(f"  peak memory above import: {(peak - base) / 2**20:.0f} MiB = {per:.0f} bytes per nonzero "
          f"(goal <= 100: {'ok' if per <= 100 else 'MISSED'})")


def _status_kb(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def child_pelora(n):
    """The model built, then timed: Model.solve(time_limit=0, solver="highs").
    Peak: the resident set's high-water mark during the solve, above the
    resident set once the model is built."""
    import highspy  # noqa: F401  (imported before the measure, as by the highspy child)
    import numpy  # noqa: F401

    m, nnz = build(n)
    base = _status_kb("VmRSS:")
    _reset_peak()
    t0 = time.perf_counter()
    m.solve(time_limit=0, solver="highs")
    seconds = time.perf_counter() - t0
    return {"seconds": seconds, "peak_bytes": max(0, _status_kb("VmHWM:") - base), "nnz": nnz}


def dump_arrays(n, folder):
    """The model's arrays as HiGHS reads them back from the model's MPS file,
    one .npy file each, for child_highspy (a process of its own, so that the
    measured one does not start with the reader's memory freed but resident)."""
    import json

    import highspy
    import numpy as np

    m, nnz = build(n)
    path = os.path.join(folder, "lqcp.mps")
    m.write(path)
    reader = highspy.Highs()
    reader.setOptionValue("output_flag", False)
    reader.readModel(path)
    model = reader.getModel()
    lp, hess = model.lp_, model.hessian_
    a = lp.a_matrix_
    arrays = dict(
        cost=np.asarray(lp.col_cost_, float), cl=np.asarray(lp.col_lower_, float),
        cu=np.asarray(lp.col_upper_, float), rl=np.asarray(lp.row_lower_, float),
        ru=np.asarray(lp.row_upper_, float), start=np.asarray(a.start_, np.int32),
        index=np.asarray(a.index_, np.int32), value=np.asarray(a.value_, float),
        qs=np.asarray(hess.start_, np.int32), qi=np.asarray(hess.index_, np.int32),
        qv=np.asarray(hess.value_, float))
    for key, v in arrays.items():
        np.save(os.path.join(folder, key + ".npy"), v)
    with open(os.path.join(folder, "meta.json"), "w") as f:
        json.dump({"num_col": lp.num_col_, "num_row": lp.num_row_, "offset": lp.offset_,
                   "colwise": a.format_ == highspy.MatrixFormat.kColwise,
                   "minimize": lp.sense_ == highspy.ObjSense.kMinimize, "nnz": nnz}, f)


def child_highspy(folder):
    """The same model as arrays (from dump_arrays), then timed: passModel's
    array form and a run with time_limit=0. Peak above the resident set once
    the arrays exist."""
    import json

    import highspy
    import numpy as np

    with open(os.path.join(folder, "meta.json")) as f:
        meta = json.load(f)
    x = {key: np.load(os.path.join(folder, key + ".npy"))
         for key in ("cost", "cl", "cu", "rl", "ru", "start", "index", "value", "qs", "qi", "qv")}
    fmt = highspy.MatrixFormat.kColwise if meta["colwise"] else highspy.MatrixFormat.kRowwise
    sense = highspy.ObjSense.kMinimize if meta["minimize"] else highspy.ObjSense.kMaximize
    num_col = meta["num_col"]
    integrality = np.zeros(num_col, dtype=np.int32)
    base = _status_kb("VmRSS:")
    _reset_peak()
    t0 = time.perf_counter()
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.passModel(num_col, meta["num_row"], len(x["value"]), len(x["qv"]), fmt,
                highspy.HessianFormat.kTriangular, sense, meta["offset"],
                x["cost"], x["cl"], x["cu"], x["rl"], x["ru"], x["start"], x["index"], x["value"],
                x["qs"], x["qi"], x["qv"], integrality)
    h.setOptionValue("time_limit", 0.0)
    h.run()
    seconds = time.perf_counter() - t0
    return {"seconds": seconds, "peak_bytes": max(0, _status_kb("VmHWM:") - base), "nnz": meta["nnz"],
            "hessian_nnz": len(x["qv"])}


def versus(n, repeat):
    import json
    import subprocess

    import shutil
    import tempfile

    print(f"lqcp N={n}: HiGHS holding the model (time_limit=0), each way in its own process")
    folder = tempfile.mkdtemp(prefix="lqcp_arrays_")
    subprocess.run([sys.executable, __file__, "--child", "dump", str(n), folder], check=True,
                   capture_output=True)
    results = {}
    for way in ("pelora", "highspy"):
        runs = []
        for _ in range(repeat):
            out = subprocess.run([sys.executable, __file__, "--child", way, str(n), folder],
                                 capture_output=True, text=True)
            if out.returncode != 0:
                print(f"  {way} failed: {out.stderr.strip().splitlines()[-1] if out.stderr else out.returncode}")
                shutil.rmtree(folder, ignore_errors=True)
                return
            runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
        r = sorted(runs, key=lambda run: run["seconds"])[len(runs) // 2]
        results[way] = r
        label = "pelora Model.solve" if way == "pelora" else "highspy arrays"
        print(f"  {label:20s} {r['seconds'] * 1e3:8.1f} ms  peak {r['peak_bytes'] / r['nnz']:6.1f} B/nonzero "
              f"({r['peak_bytes'] / 2**20:.0f} MiB)")
    shutil.rmtree(folder, ignore_errors=True)
    ours, theirs = results["pelora"], results["highspy"]
    print(f"  pelora / highspy arrays: time {ours['seconds'] / theirs['seconds']:.2f}x (goal <= 1.2x), "
          f"peak {ours['peak_bytes'] / theirs['peak_bytes']:.2f}x (goal <= 1.2x)")


def lqcp_arrays(n):
    """The model of build(n) as arrays: the constraint matrix (CSR, rows in
    build's order, every row "== 0"), column bounds, the diagonal of the
    quadratic part (c for c*x^2), the linear costs and the constant."""
    import numpy as np
    import scipy.sparse as sp

    dx, horizon, alpha = 1.0 / n, 1.58, 0.001
    dt, h2, w = horizon / n, dx * dx, n + 1
    ny = w * w
    cols = ny + n
    lower = np.concatenate([np.zeros(ny), -np.ones(n)])
    upper = np.ones(cols)
    quad, lin = np.zeros(cols), np.zeros(cols)
    j = np.arange(w)
    c = 0.25 * dx * np.where((j == 0) | (j == n), 1.0, 2.0)
    t = 0.5 * (1.0 - (j * dx) ** 2)
    quad[n * w + j] = c
    lin[n * w + j] = -2.0 * c * t
    constant = float(np.sum(c * t * t))
    i = np.arange(1, n + 1)
    quad[ny + i - 1] = 0.25 * alpha * dt * np.where(i == n, 1.0, 2.0)

    a, b, s = 1.0 / dt + 1.0 / h2, -1.0 / dt + 1.0 / h2, -0.5 / h2
    ii, jj = np.meshgrid(np.arange(n), np.arange(1, n), indexing="ij")
    r0, r1 = (ii * w).ravel(), (ii * w + w).ravel()
    jj = jj.ravel()
    heat = np.stack([r1 + jj, r0 + jj, r0 + jj - 1, r0 + jj + 1, r1 + jj - 1, r1 + jj + 1], axis=1)
    heat_v = np.tile([a, b, s, s, s, s], (len(jj), 1))
    row_cols = [list(r) for r in heat]
    row_vals = [list(v) for v in heat_v]
    for jv in range(w):  # initial state
        row_cols.append([jv])
        row_vals.append([1.0])
    k = 1.0 / (2.0 * dx)
    for iv in range(1, n + 1):  # insulated left end, controlled right end
        r = iv * w
        row_cols += [[r + 2, r + 1, r], [r + n - 2, r + n - 1, r + n, ny + iv - 1]]
        row_vals += [[1.0, -4.0, 3.0], [k, -4.0 * k, 3.0 * k + 1.0, -1.0]]
    indptr = np.cumsum([0] + [len(r) for r in row_cols])
    A = sp.csr_matrix((np.concatenate(row_vals), np.concatenate(row_cols), indptr),
                      shape=(len(row_cols), cols))
    return A, lower, upper, quad, lin, constant


def way_pelora_operators(n, arrays):
    m, _ = build(n)
    m.solve(time_limit=0, solver="highs")


def way_pelora_arrays(n, arrays):
    import numpy as np
    import scipy.sparse as sp

    A, lower, upper, quad, lin, constant = arrays
    m = po.Model(f"lqcp_{n}")
    w = n + 1
    x = m.variables("y", w * w, lower=0.0, upper=1.0) + m.variables("u", n, lower=-1.0, upper=1.0)
    m.add_matrix(A, x, "==", np.zeros(A.shape[0]))
    m.minimize(po.quad_form(sp.diags(quad, format="csr"), x) + po.dot(lin, x) + constant)
    m.solve(time_limit=0, solver="highs")


def way_highspy_arrays(n, arrays):
    import highspy
    import numpy as np

    A, lower, upper, quad, lin, constant = arrays
    cols, rows = A.shape[1], A.shape[0]
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    # HiGHS's Hessian Q stands for 0.5 x'Qx: the diagonal doubled
    diag = np.flatnonzero(quad).astype(np.int32)
    qs = np.searchsorted(diag, np.arange(cols + 1)).astype(np.int32)
    h.passModel(cols, rows, A.nnz, len(diag), highspy.MatrixFormat.kRowwise,
                highspy.HessianFormat.kTriangular, highspy.ObjSense.kMinimize, constant,
                lin, lower, upper, np.zeros(rows), np.zeros(rows), A.indptr, A.indices, A.data,
                qs, diag, 2.0 * quad[diag], np.zeros(cols, dtype=np.int32))
    h.setOptionValue("time_limit", 0.0)
    h.run()


def way_pyoptinterface(n, arrays):
    import numpy as np
    import pyoptinterface as poi
    import scipy.sparse as sp
    from pyoptinterface import highs

    A, lower, upper, quad, lin, constant = arrays
    m = highs.Model()
    m.set_model_attribute(poi.ModelAttribute.Silent, True)
    w = n + 1
    x = np.concatenate([m.add_m_variables(w * w, lb=0.0, ub=1.0), m.add_m_variables(n, lb=-1.0, ub=1.0)])
    m.add_m_linear_constraints(sp.csr_array(A), x, poi.Eq, np.zeros(A.shape[0]))
    index = [v.index for v in x.flat]
    diag = np.flatnonzero(quad)
    affine = poi.ScalarAffineFunction(lin.tolist(), index, constant)
    q_index = [index[k] for k in diag]
    m.set_objective(poi.ScalarQuadraticFunction(quad[diag].tolist(), q_index, q_index, affine))
    m.set_model_attribute(poi.ModelAttribute.TimeLimitSec, 0.0)
    m.optimize()


WAYS = {"pelora operators": way_pelora_operators, "pelora arrays": way_pelora_arrays,
        "highspy arrays": way_highspy_arrays, "pyoptinterface": way_pyoptinterface}


def child_way(name, n):
    import highspy  # noqa: F401  (every way imports the same before the measure)
    import numpy  # noqa: F401
    import scipy.sparse  # noqa: F401

    if name == "pyoptinterface":
        from arrays import load_poi_highs

        load_poi_highs()
    arrays = lqcp_arrays(n) if name != "pelora operators" else None
    # The high-water mark starts again here, and what making the arrays left
    # free goes back to the system first: otherwise a way would be credited
    # with the memory it reuses from that.
    import ctypes
    import gc

    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    base = _status_kb("VmRSS:")
    _reset_peak()
    t0 = time.perf_counter()
    WAYS[name](n, arrays)
    seconds = time.perf_counter() - t0
    return {"seconds": seconds, "peak_bytes": max(0, _status_kb("VmHWM:") - base)}


def ways(n, repeat):
    import json
    import subprocess

    nnz = 6 * n * (n - 1) + (n + 1) + 7 * n  # as build() counts them
    print(f"lqcp N={n}: {nnz:,} constraint nonzeros; from nothing to HiGHS holding the model, "
          f"each way in its own process, median of {repeat}")
    for name in WAYS:
        runs = []
        for _ in range(repeat):
            out = subprocess.run([sys.executable, __file__, "--child", "way:" + name, str(n), "-"],
                                 capture_output=True, text=True)
            if out.returncode != 0:
                print(f"  {name:18s} failed: {out.stderr.strip().splitlines()[-1] if out.stderr else out.returncode}")
                break
            runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
        if len(runs) < repeat:
            continue
        r = sorted(runs, key=lambda run: run["seconds"])[len(runs) // 2]
        print(f"  {name:18s} {r['seconds'] * 1e3:8.1f} ms  peak {r['peak_bytes'] / nnz:6.1f} B/nonzero "
              f"({r['peak_bytes'] / 2**20:.0f} MiB)")


def solve(n):
    m, nnz = build(n)
    t0 = time.perf_counter()
    r = m.solve(solver_options={"max_iter": 200_000, "eps_abs": 1e-5, "eps_rel": 1e-5})
    t1 = time.perf_counter()
    ref = m.solve(solver="clarabel")
    t2 = time.perf_counter()
    print(f"lqcp N={n}: {m.num_vars:,} variables, {nnz:,} nonzeros")
    print(f"  OSQP: {r.status}, objective {r.objective}, {r.iterations} iterations, {t1 - t0:.1f} s")
    print(f"  Clarabel: {ref.status}, objective {ref.objective}, {t2 - t1:.1f} s")
    ok = r.status == "optimal" and abs(r.objective - ref.objective) <= 1e-3 * (1 + abs(ref.objective))
    print(f"  goal: OSQP optimal and within 1e-3 of Clarabel: {'ok' if ok else 'MISSED'}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        import json

        way, size, folder = sys.argv[2], int(sys.argv[3]), sys.argv[4]
        if way == "dump":
            dump_arrays(size, folder)
        elif way.startswith("way:"):
            print(json.dumps(child_way(way[4:], size)))
        else:
            print(json.dumps(child_pelora(size) if way == "pelora" else child_highspy(folder)))
        sys.exit(0)
    mode = sys.argv[1] if len(sys.argv) > 1 else "memory"
    if mode == "ways":
        ways(int(sys.argv[2]) if len(sys.argv) > 2 else 500, int(sys.argv[3]) if len(sys.argv) > 3 else 3)
        sys.exit(0)
    if mode == "versus":
        versus(int(sys.argv[2]) if len(sys.argv) > 2 else 500, int(sys.argv[3]) if len(sys.argv) > 3 else 3)
        sys.exit(0)
    size = int(sys.argv[2]) if len(sys.argv) > 2 else (500 if mode == "memory" else 100)
    if mode == "memory":
        memory(size, sys.argv[3] if len(sys.argv) > 3 else "highs")
    else:
        solve(size)
