"""Solver hand-off: Model.solve against the packages fed the same arrays directly.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/solve_qp.py [--quick]

QP (OSQP): a sparse convex QP with 100,000 variables and 100,000 banded rows
a_r'x <= u_r over x_r, x_r+1, x_r+2 (300,000 constraint nonzeros), bounds [-1, 1],
objective 0.5 * sum d_j x_j^2 + c'x with d_j in [1, 2].

SOC (Clarabel): 25,000 second-order cones (t_k, u_k, v_k) with
u_k - w_k == a_k and v_k - w_{k+1} == b_k over a chain of 25,001 variables w;
objective sum t_k + 0.5 * sum w^2 (about 100,000 variables).

Reported per model: build (the Python model), standard form and options
(Model.solve time before its adapter starts: total - Result.solve_time),
hand-off (adapter time outside the package: Result.solve_time - package
time), the package's own time (its setup and solve calls, timed by thin
wrappers), and the Model.solve total. The QP's build time is dominated by
summing its 100,000 quadratic terms one `+` at a time (each `+` copies the
QuadExpr); that part is printed on its own. Side by side, in the same run, the
package fed the same arrays directly (matrix construction from NumPy arrays
plus the same setup and solve calls). Goal: Model.solve total at most 1.15x
the direct time for OSQP.
"""
import sys
import time

import numpy as np
import scipy.sparse as sp

import clarabel
import osqp
import pelora_opt as po

QUICK = "--quick" in sys.argv
N = 10_000 if QUICK else 100_000
K = 2_500 if QUICK else 25_000
SETTINGS = dict(verbose=False, eps_abs=1e-8, eps_rel=1e-8)
BUILD_SPLIT = {}


class Timed:
    """Accumulates the time spent in the wrapped package calls."""

    total = 0.0

    @classmethod
    def run(cls, f, *a, **kw):
        t = time.perf_counter()
        try:
            return f(*a, **kw)
        finally:
            cls.total += time.perf_counter() - t


class TimedOSQP(osqp.OSQP):
    def setup(self, *a, **kw):
        return Timed.run(super().setup, *a, **kw)

    def solve(self, *a, **kw):
        return Timed.run(super().solve, *a, **kw)


_DefaultSolver = clarabel.DefaultSolver


class TimedClarabel:
    def __init__(self, *a):
        self._s = Timed.run(_DefaultSolver, *a)

    def solve(self):
        return Timed.run(self._s.solve)


# --- data ------------------------------------------------------------------------

def qp_data(seed=7):
    rng = np.random.default_rng(seed)
    rows = np.repeat(np.arange(N), 3)
    vals = rng.uniform(-1.0, 1.0, size=3 * N)
    # banded rows (a smoothing-like stencil over x_r, x_r+1, x_r+2), which
    # keeps the factorisations sparse
    cols = (rows + np.tile([0, 1, 2], N)) % N
    up = rng.uniform(0.1, 1.0, size=N)
    d = rng.uniform(1.0, 2.0, size=N)
    c = rng.uniform(-1.0, 1.0, size=N)
    return rows, cols, vals, up, d, c


def build_qp(data):
    rows, cols, vals, up, d, c = data
    m = po.Model("qp")
    x = m.variables("x", N, lower=-1.0, upper=1.0)
    cl, vl = cols.tolist(), vals.tolist()
    for r in range(N):
        k = 3 * r
        e = vl[k] * x[cl[k]] + vl[k + 1] * x[cl[k + 1]] + vl[k + 2] * x[cl[k + 2]]
        m.add(e <= float(up[r]))
    t = time.perf_counter()
    obj = po.sum([cj * xj for cj, xj in zip(c.tolist(), x)])
    for dj, xj in zip(d.tolist(), x):
        obj = obj + (0.5 * dj) * (xj * xj)
    m.minimize(obj)
    BUILD_SPLIT["objective (q = q + term)"] = time.perf_counter() - t
    return m


def direct_osqp(data):
    rows, cols, vals, up, d, c = data
    t = time.perf_counter()
    a = sp.csc_matrix((vals, (rows, cols)), shape=(N, N))
    a2 = sp.vstack([a, sp.eye(N)]).tocsc()
    l = np.concatenate([np.full(N, -np.inf), -np.ones(N)])
    u = np.concatenate([up, np.ones(N)])
    p = sp.diags(d).tocsc()
    s = osqp.OSQP()
    s.setup(P=p, q=c, A=a2, l=l, u=u, **SETTINGS)
    res = s.solve(raise_error=False)
    return time.perf_counter() - t, res


def soc_data(seed=11):
    rng = np.random.default_rng(seed)
    return rng.uniform(-1.0, 1.0, size=K), rng.uniform(-1.0, 1.0, size=K)


def build_soc(data):
    a, b = data
    m = po.Model("soc")
    t = m.variables("t", K)
    u = m.variables("u", K)
    v = m.variables("v", K)
    w = m.variables("w", K + 1)
    for k in range(K):
        m.add(u[k] - w[k] == float(a[k]))
        m.add(v[k] - w[k + 1] == float(b[k]))
        m.add_soc_cone([t[k], u[k], v[k]])
    obj = po.sum(t)
    for wj in w:
        obj = obj + 0.5 * (wj * wj)
    m.minimize(obj)
    return m


def direct_clarabel(data):
    a, b = data
    n = 4 * K + 1
    t0 = time.perf_counter()
    ks = np.arange(K)
    t_i, u_i, v_i, w_i = ks, K + ks, 2 * K + ks, 3 * K + ks
    # zero cone: u_k - w_k = a_k, v_k - w_{k+1} = b_k
    zr = np.concatenate([ks, ks, K + ks, K + ks])
    zc = np.concatenate([u_i, w_i, v_i, w_i + 1])
    zv = np.concatenate([np.ones(K), -np.ones(K), np.ones(K), -np.ones(K)])
    # cones: rows 2K + 3k + (0, 1, 2) = -(t_k, u_k, v_k)
    cr = 2 * K + np.concatenate([3 * ks, 3 * ks + 1, 3 * ks + 2])
    cc = np.concatenate([t_i, u_i, v_i])
    rows = np.concatenate([zr, cr])
    cols = np.concatenate([zc, cc])
    vals = np.concatenate([zv, -np.ones(3 * K)])
    A = sp.csc_matrix((vals, (rows, cols)), shape=(5 * K, n))
    bb = np.concatenate([a, b, np.zeros(3 * K)])
    q = np.concatenate([np.ones(K), np.zeros(3 * K + 1)])
    P = sp.diags(np.concatenate([np.zeros(3 * K), np.ones(K + 1)])).tocsc()
    cones = [clarabel.ZeroConeT(2 * K)] + [clarabel.SecondOrderConeT(3)] * K
    s = clarabel.DefaultSettings()
    s.verbose = False
    s.tol_feas = s.tol_gap_abs = s.tol_gap_rel = 1e-9
    sol = _DefaultSolver(P, q, A, bb, cones, s).solve()
    return time.perf_counter() - t0, sol


# --- runs --------------------------------------------------------------------------

def report(name, build, total, r, package, direct, direct_obj):
    form = total - r.solve_time
    handoff = r.solve_time - package
    print(f"{name}: {r.status}, objective {r.objective:.8f} (direct {direct_obj:.8f})")
    print(f"  build (Python model)      {build:8.3f} s")
    print(f"  standard form + options   {form:8.3f} s")
    print(f"  hand-off                  {handoff:8.3f} s")
    print(f"  package setup + solve     {package:8.3f} s")
    print(f"  Model.solve total         {total:8.3f} s")
    print(f"  direct package run        {direct:8.3f} s")
    print(f"  ratio total / direct      {total / direct:8.3f}")


def run_osqp():
    data = qp_data()
    t = time.perf_counter()
    m = build_qp(data)
    build = time.perf_counter() - t
    for part, secs in BUILD_SPLIT.items():
        print(f"  (build: {part} {secs:.3f} s)")
    direct, dres = direct_osqp(data)
    osqp.OSQP, original = TimedOSQP, osqp.OSQP
    try:
        Timed.total = 0.0
        t = time.perf_counter()
        r = m.solve()
        total = time.perf_counter() - t
    finally:
        osqp.OSQP = original
    assert r.solver == "OSQP"
    report(f"OSQP QP ({N} variables, {3 * N} constraint nonzeros)", build, total, r, Timed.total,
           direct, dres.info.obj_val)


def run_clarabel():
    data = soc_data()
    t = time.perf_counter()
    m = build_soc(data)
    build = time.perf_counter() - t
    direct, dsol = direct_clarabel(data)
    clarabel.DefaultSolver = TimedClarabel
    try:
        Timed.total = 0.0
        t = time.perf_counter()
        r = m.solve()
        total = time.perf_counter() - t
    finally:
        clarabel.DefaultSolver = _DefaultSolver
    assert r.solver == "Clarabel"
    report(f"Clarabel SOC ({4 * K + 1} variables, {K} cones)", build, total, r, Timed.total,
           direct, dsol.obj_val)


if __name__ == "__main__":
    run_osqp()
    run_clarabel()
