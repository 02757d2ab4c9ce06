"""Model.solve through the real pyscipopt: mixed-integer quadratic and
nonlinear optima against enumeration and closed forms, agreement with HiGHS
on mixed-integer linear models, statuses, routing, the warm start and the
warning for solvers that drop integrality."""
import itertools
import math
import os
import sys

import numpy as np
import pytest
from scipy.optimize import minimize_scalar

import pelora_opt as po

pytest.importorskip("pyscipopt")

# casadi cannot load its Ipopt plugin in a process run under the address
# sanitizer (make asan); the tests that reach Ipopt skip there.
real_ipopt = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="casadi cannot load its Ipopt plugin under the address sanitizer")


def close_miqp(sense="min"):
    # (x - 1.3)^2 + (y - 2.2)^2 over the integers: (1, 2) with value 0.13.
    m = po.Model()
    x = m.integer("x", lower=-10, upper=10)
    y = m.integer("y", lower=-10, upper=10)
    q = x * x - 2.6 * x + y * y - 4.4 * y + (1.3**2 + 2.2**2)
    if sense == "min":
        m.minimize(q)
    else:
        m.maximize(-1.0 * q)
    return m, x, y


# --- mixed-integer quadratic models --------------------------------------------------


@pytest.mark.parametrize("sense, expected", [("min", 0.13), ("max", -0.13)])
def test_miqp_known_optimum_in_both_senses(sense, expected):
    m, x, y = close_miqp(sense)
    assert m.problem_type == "MIQP"
    r = m.solve()  # the relaxation (1.3, 2.2) is fractional: SCIP solves it
    assert r.solver == "SCIP" and r.status == "optimal"
    assert r.primals == [1.0, 2.0]
    assert r.objective == pytest.approx(expected, abs=1e-9)
    assert r.nodes >= 1 and r.gap == pytest.approx(0.0, abs=1e-9) and r.iterations >= 0
    assert r.duals is None and r.basis() is None


def portfolio_data(n=7, seed=3):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, n))
    cov = a @ a.T / n + 0.5 * np.eye(n)
    mu = rng.uniform(0.02, 0.3, size=n)
    return cov, mu


def test_cardinality_portfolio_matches_enumeration():
    # min w'Cw - lam*mu'w  s.t. sum w = 1, at most K assets held (|w_i| <= M z_i).
    cov, mu = portfolio_data()
    n, k_max, lam, big = len(mu), 3, 2.0, 50.0

    best = math.inf
    for k in range(1, k_max + 1):
        for s in itertools.combinations(range(n), k):
            s = list(s)
            kkt = np.zeros((k + 1, k + 1))
            kkt[:k, :k] = 2 * cov[np.ix_(s, s)]
            kkt[:k, k] = kkt[k, :k] = 1.0
            sol = np.linalg.solve(kkt, np.append(lam * mu[s], 1.0))
            w = sol[:k]
            assert np.all(np.abs(w) < big)  # the big-M rows never bind
            best = min(best, w @ cov[np.ix_(s, s)] @ w - lam * mu[s] @ w)

    m = po.Model()
    w = m.variables("w", n, lower=-big, upper=big)
    z = [m.binary(f"z{i}") for i in range(n)]
    m.add(po.sum(w) == 1)
    m.add(po.sum(z) <= k_max)
    for wi, zi in zip(w, z):
        m.add(wi - big * zi <= 0)
        m.add(-1 * wi - big * zi <= 0)
    obj = -lam * po.sum([float(mu[i]) * w[i] for i in range(n)])
    for i in range(n):
        for j in range(n):
            obj = obj + float(cov[i, j]) * (w[i] * w[j])
    m.minimize(obj)
    assert m.problem_type == "MIQP"
    r = m.solve()
    assert r.solver == "SCIP" and r.status == "optimal"
    # SCIP meets the epigraph of the quadratic objective within its
    # feasibility tolerance (1e-6), so the optimum is exact to about that.
    assert r.objective == pytest.approx(best, abs=2e-6)
    assert r.objective >= best - 1e-9
    held = [r.value(zi) for zi in z]
    assert sum(held) <= k_max and all(v in (0.0, 1.0) for v in held)
    x = np.array([r.value(wi) for wi in w])
    assert x.sum() == pytest.approx(1.0, abs=1e-7)
    assert x @ cov @ x - lam * mu @ x == pytest.approx(r.objective, rel=1e-9, abs=1e-12)


def test_miqp_with_an_integral_relaxation_stays_with_highs():
    m = po.Model()
    x = m.integer("x", lower=0, upper=5)
    m.minimize(x * x - 4 * x)
    r = m.solve()
    assert r.solver == "HiGHS" and r.primals == [2.0] and r.objective == pytest.approx(-4.0)


# --- mixed-integer nonlinear models ----------------------------------------------------


def minlp(sense="min"):
    # f(n, y) = cos(n) + y/n + n/y + 0.1 sin(y) + 0.25 y + 1 with n integer in
    # [1, 6], y in [0.5, 10], sqrt(y) <= 1.6 and n*y <= 8.
    m = po.Model()
    n = m.integer("n", lower=1, upper=6)
    y = m.variable("y", lower=0.5, upper=10)
    f = po.cos(n) + y / n + n / y + 0.1 * po.sin(y) + 0.25 * y + 1
    m.add(po.sqrt(y) <= 1.6)
    m.add(n * y <= 8)
    (m.minimize if sense == "min" else m.maximize)(f if sense == "min" else -1 * f)
    return m, n, y


def minlp_reference():
    best = (math.inf, None, None)
    for n in range(1, 7):
        hi = min(1.6**2, 8 / n)
        g = lambda y: math.cos(n) + y / n + n / y + 0.1 * math.sin(y) + 0.25 * y + 1  # noqa: E731
        r = minimize_scalar(g, bounds=(0.5, hi), method="bounded", options={"xatol": 1e-10})
        best = min(best, (r.fun, n, r.x))
    return best


@pytest.mark.parametrize("sense", ["min", "max"])
def test_minlp_matches_enumeration(sense):
    m, n, y = minlp(sense)
    assert m.problem_type == "NLP"
    fun, n_best, y_best = minlp_reference()
    r = m.solve()  # NLP with an integer variable: SCIP
    assert r.solver == "SCIP" and r.status == "optimal"
    assert r.value(n) == n_best
    # The objective is flat at the optimum: y is only as exact as SCIP's
    # tolerance on the objective allows.
    assert r.value(y) == pytest.approx(y_best, abs=1e-2)
    assert r.objective == pytest.approx(fun if sense == "min" else -fun, abs=2e-6)


def test_nonlinear_equality_and_product_constraint():
    # sin(y) == 0.5 fixes y = pi/6; k*y <= 2 then allows k = 3.
    m = po.Model()
    k = m.integer("k", lower=0, upper=5)
    y = m.variable("y", lower=0, upper=1.5)
    m.add(po.sin(y) == 0.5)
    m.add(k * y + 0 * k <= 2)
    m.maximize(y + k)
    r = m.solve(solver="scip")
    assert r.status == "optimal"
    assert r.value(y) == pytest.approx(math.pi / 6, abs=1e-6)
    assert r.value(k) == 3.0
    assert r.objective == pytest.approx(3 + math.pi / 6, abs=1e-6)


def test_long_sum_inside_a_function_is_flattened():
    # sqrt of a 6000-term sum is one chain of additions 6000 deep.
    m = po.Model()
    xs = m.variables("x", 6000, lower=0, upper=1)
    m.add(po.sqrt(po.sum(xs)) <= 2)
    m.maximize(po.sum(xs[:10]) + xs[-1])
    r = m.solve(solver="scip")
    assert r.status == "optimal" and r.objective == pytest.approx(4.0, abs=1e-6)


def test_too_deep_and_exploding_trees_are_refused():
    m = po.Model()
    x = m.variable("x", lower=0.5, upper=1)
    e = po.sin(x)
    for _ in range(5001):
        e = po.sin(e)
    m.minimize(e)
    with pytest.raises(ValueError, match="nested more than 5000 levels"):
        m.solve(solver="scip")

    m = po.Model()
    x = m.variable("x", lower=0.5, upper=1)
    e = po.sqrt(x)
    for _ in range(40):  # every step reuses the previous node twice
        e = e * e
    m.minimize(e)
    with pytest.raises(ValueError, match="unfolds into more than"):
        m.solve(solver="scip")


# --- linear models, agreement with HiGHS -------------------------------------------------


def random_milp(seed, sense):
    rng = np.random.default_rng(seed)
    n_int, n_cont, rows = 6, 4, 6
    m = po.Model()
    xs = [m.integer(f"i{j}", lower=0, upper=10) for j in range(n_int)]
    xs += [m.variable(f"c{j}", lower=0, upper=5) for j in range(n_cont)]
    point = np.concatenate([rng.integers(0, 11, n_int), rng.uniform(0, 5, n_cont)])
    a = rng.integers(-5, 6, size=(rows, len(xs))).astype(float)
    act = a @ point
    for r in range(rows):
        lhs = po.sum([float(a[r, j]) * xs[j] for j in range(len(xs)) if a[r, j] != 0])
        if r % 3 == 0:
            m.add(lhs <= float(act[r]) + 3)
        elif r % 3 == 1:
            m.add(lhs >= float(act[r]) - 3)
        else:
            m.add(lhs == float(act[r]), name=f"eq{r}")  # met at `point`
    cost = rng.normal(size=len(xs))
    obj = po.sum([float(c) * x for c, x in zip(cost, xs)]) + 7.5
    (m.minimize if sense == "min" else m.maximize)(obj)
    return m, a


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("sense", ["min", "max"])
def test_milp_agrees_with_highs(seed, sense):
    m, a = random_milp(seed, sense)
    assert m.problem_type == "MILP"
    h = m.solve()
    s = m.solve(solver="scip")
    assert h.solver == "HiGHS" and s.solver == "SCIP"
    assert h.status == s.status == "optimal"
    assert s.objective == pytest.approx(h.objective, rel=1e-7, abs=1e-7)
    assert all(v == round(v) for v in s.primals[:6])


def test_lp_and_continuous_qp_on_request():
    m = po.Model()
    x = m.variable("x", lower=0, upper=4)
    y = m.variable("y", lower=0, upper=4)
    m.add(x + 2 * y <= 6)
    m.maximize(3 * x + 2 * y)
    assert m.solve(solver="SCIP").objective == pytest.approx(m.solve().objective)
    # (x - 1)^2 + (y - 2)^2 + x*y: optimum at x = 0, y = 2 on the bounds.
    m.minimize(x * x + y * y + x * y - 2 * x - 4 * y + 5)
    r = m.solve(solver="scip")
    assert r.primals == pytest.approx([0.0, 2.0], abs=1e-3)
    assert r.objective == pytest.approx(1.0, abs=2e-6)


def test_second_order_cone_on_request():
    m = po.Model()
    t = m.variable("t")
    a = m.variable("a", lower=-5)
    b = m.variable("b", lower=-5)
    m.add_soc_cone([t, a, b])
    m.add(a + b == 2)
    m.minimize(t)
    r = m.solve(solver="scip")
    assert r.solver == "SCIP" and r.objective == pytest.approx(math.sqrt(2), abs=1e-6)


def test_psd_cone_is_refused():
    m = po.Model()
    v = m.variables("v", 3)
    m.add_psd_cone(v)
    m.minimize(v[0])
    with pytest.raises(ValueError, match="PSD cones"):
        m.solve(solver="scip")


# --- statuses -------------------------------------------------------------------------


def test_statuses():
    m = po.Model()
    x = m.integer("x", lower=0, upper=10)
    m.add(2 * x == 1)
    m.minimize(x * x)
    r = m.solve()
    assert r.solver == "SCIP" and r.status == "infeasible" and r.objective is None
    with pytest.raises(ValueError, match="No solution available"):
        r.primals

    m = po.Model()
    x = m.integer("x", lower=-math.inf)
    m.minimize(x)
    assert m.solve(solver="scip").status == "unbounded"

    m, _, _ = close_miqp()
    r = m.solve(solver="scip", time_limit=0.0)
    assert r.status == "time_limit" and not r.is_optimal

    # Data SCIP cannot take, and a side that can never hold.
    m = po.Model()
    x = m.integer("x", lower=0, upper=3)
    m.minimize(x * x + 1e400 * x)
    assert m.solve(solver="scip").status == "error"
    m = po.Model()
    x = m.integer("x", lower=math.nan, upper=3)
    m.minimize(x)
    assert m.solve(solver="scip").status == "error"
    m = po.Model()
    x = m.integer("x", lower=0, upper=3)
    m.add(x >= math.inf)
    m.minimize(x)
    assert m.solve(solver="scip").status == "infeasible"


# --- options ----------------------------------------------------------------------------


def test_warm_start_reaches_scip(capfd):
    m, x, y = close_miqp()
    first = m.solve(solver="scip")
    capfd.readouterr()
    for start in (first, [1.0, 2.0]):
        r = m.solve(solver="scip", warm_start=start, verbose=True)
        assert r.status == "optimal" and r.primals == [1.0, 2.0]
        # SCIP completes the partial solution and reports where it came from.
        assert "found by completesol" in capfd.readouterr().out
    r = m.solve(solver="scip", warm_start=[5.0, -3.0])  # a poor start does no harm
    assert r.status == "optimal" and r.primals == [1.0, 2.0]
    with pytest.raises(ValueError, match="warm_start has 1 values for 2 variables"):
        m.solve(solver="scip", warm_start=[1.0], verbose=True)
    assert "completesol" not in capfd.readouterr().out


def test_options_are_accepted_and_output_stays_off(capfd):
    m, _, _ = close_miqp()
    r = m.solve(solver="scip", gap=0.5, threads=2, presolve=False, time_limit=30)
    assert r.status == "optimal" and r.gap <= 0.5
    out, err = capfd.readouterr()
    assert out == "" and err == ""


# --- routing and the integrality warning ---------------------------------------------------


def mixed_integer_nlp():
    m = po.Model()
    b = m.binary("b")
    y = m.variable("y", lower=0.1, upper=4)
    m.minimize(po.sqrt(y) - y * b + b)
    return m


def mixed_integer_qp():
    m, _, _ = close_miqp()
    return m


def mixed_integer_cone():
    m = po.Model()
    t = m.variable("t")
    a = m.integer("a", lower=-5, upper=5)
    b = m.variable("b", lower=-5, upper=5)
    m.add_soc_cone([t, a, b])
    m.add(a + b == 2)
    m.minimize(t)
    return m


@pytest.mark.parametrize(
    "build, solver, display",
    [
        pytest.param(mixed_integer_nlp, "ipopt", "Ipopt", marks=real_ipopt),
        (mixed_integer_qp, "osqp", "OSQP"),
        (mixed_integer_qp, "slsqp", "SciPy/SLSQP"),
        (mixed_integer_cone, "clarabel", "Clarabel"),
    ],
)
def test_solvers_that_drop_integrality_warn_once(capfd, build, solver, display):
    m = build()
    r = m.solve(solver=solver) if solver else m.solve()
    assert r.solver == display
    lines = capfd.readouterr().err.splitlines()
    warnings = [line for line in lines if line.startswith("[pelora-opt")]
    assert warnings == [
        f"[pelora-opt] warning: {display} ignores integrality; the result is the continuous "
        'relaxation of this mixed-integer model (solver="scip" solves it with integrality)'
    ]


@real_ipopt
def test_no_warning_for_integral_solvers_or_continuous_models(capfd):
    r = mixed_integer_nlp().solve()
    assert r.solver == "SCIP" and r.status == "optimal"
    assert r.objective == pytest.approx(min(math.sqrt(0.1), math.sqrt(4) - 4 + 1), abs=1e-6)
    mixed_integer_qp().solve(solver="scip")
    m = po.Model()
    y = m.variable("y", lower=0.1, upper=4)
    m.minimize(po.sqrt(y) - y)
    assert m.solve().solver == "Ipopt"
    assert "[pelora-opt" not in capfd.readouterr().err


def test_missing_pyscipopt_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyscipopt", None)
    m, _, _ = close_miqp()
    with pytest.raises(ImportError, match="pyscipopt is required for the SCIP solver"):
        m.solve(solver="scip")
