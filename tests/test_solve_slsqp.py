"""The SLSQP adapter through the real scipy.optimize.minimize: what it is
handed (spied on, then run for real), the iteration cap from the time limit,
statuses and senses."""
import math

import numpy as np
import pytest
import scipy.optimize

import pelora_opt as po


@pytest.fixture
def spy(monkeypatch):
    calls = []
    real = scipy.optimize.minimize

    def minimize(fun, x0, **kw):
        calls.append((fun, np.array(x0), kw))
        return real(fun, x0, **kw)

    monkeypatch.setattr(scipy.optimize, "minimize", minimize)
    return calls


def qp():
    m = po.Model()
    x = m.variable("x", lower=-1)
    y = m.variable("y", upper=3)
    z = m.variable("z", lower=2, upper=4)
    m.add(x + y + z == 4)
    m.add(x - y <= 1)
    m.minimize(x * x + y * y + 2 * (x * y) + 0.5 * (z * z) + x - z + 1)
    return m


def test_objective_bounds_and_constraints_handed_over(spy):
    r = qp().solve(solver="scipy")
    assert (r.solver, r.status) == ("SciPy/SLSQP", "optimal")
    fun, x0, kw = spy[0]
    assert list(x0) == [-0.5, 1.5, 3.0]
    assert kw["method"] == "SLSQP"
    assert list(kw["bounds"].lb) == [-1, -math.inf, 2] and list(kw["bounds"].ub) == [math.inf, 3, 4]
    eq, ineq = kw["constraints"]
    assert eq.A.toarray().tolist() == [[1, 1, 1]] and list(eq.lb) == list(eq.ub) == [4]
    assert ineq.A.toarray().tolist() == [[1, -1, 0]]
    assert (list(ineq.lb), list(ineq.ub)) == ([-math.inf], [1])
    assert "options" not in kw
    # the function evaluates the model's objective (constant apart), each
    # off-diagonal product counted once as written
    assert fun.__code__.co_filename == "<string>"
    assert sorted(set(fun.__globals__) - {"__builtins__"}) == ["P", "np", "q"]
    p = fun.__globals__["P"].toarray()
    assert (p == p.T).all()
    for v in ([1.0, 2.0, 3.0], [-0.5, 0.25, 2.0]):
        a, b, c = v
        assert fun(np.array(v)) == pytest.approx(a * a + b * b + 2 * a * b + 0.5 * c * c + a - c)


def test_linear_objective_function(spy):
    m = po.Model()
    x = m.variable("x", lower=0, upper=2)
    y = m.variable("y", lower=0, upper=2)
    m.maximize(x + 2 * y + 1)
    r = m.solve(solver="SLSQP")
    fun, _, kw = spy[0]
    assert sorted(set(fun.__globals__) - {"__builtins__"}) == ["q"]
    assert "constraints" not in kw
    assert r.status == "optimal"
    assert r.primals == pytest.approx([2, 2], abs=1e-6)
    assert r.objective == pytest.approx(7, abs=1e-6)


def test_qp_optimum_matches_osqp():
    m = qp()
    r = m.solve(solver="slsqp")
    ref = m.solve(solver="osqp")
    assert r.primals == pytest.approx(ref.primals, abs=1e-5)
    assert r.objective == pytest.approx(ref.objective, abs=1e-6)
    assert r.iterations > 0
    assert r.duals == pytest.approx(ref.duals, abs=1e-5)


@pytest.mark.parametrize("time_limit, maxiter", [
    (2.5, 250),
    (0.019, 1),
    (0.001, 0),
    (-0.5, -50),
    (21474836.47, 2 ** 31 - 1),
    (1e300, 2 ** 31 - 1),
    (-1e300, -(2 ** 31)),
    (math.inf, 2 ** 31 - 1),
    (math.nan, 0),
])
def test_maxiter_from_the_time_limit(spy, monkeypatch, time_limit, maxiter):
    # only the hand-over is checked here; the package is not run with these caps
    seen = []
    monkeypatch.setattr(scipy.optimize, "minimize",
                        lambda fun, x0, **kw: seen.append(kw) or scipy.optimize.OptimizeResult(
                            success=True, x=np.zeros(len(x0)), fun=0.0, nit=0))
    qp().solve(solver="scipy", time_limit=time_limit)
    assert seen[0]["options"] == {"maxiter": maxiter}


def test_failed_run_still_reports_its_point():
    m = po.Model()
    x = m.variable("x")
    y = m.variable("y")
    m.add(x + y >= 3)
    m.add(x + y <= 1)
    m.minimize(x * x + y * y)
    r = m.solve(solver="scipy")
    assert r.status == "error"  # SLSQP's own failure, not a solution
    assert len(r.primals) == 2
    assert r.objective == pytest.approx(r.primals[0] ** 2 + r.primals[1] ** 2)


def test_rows_without_entries(spy):
    m = po.Model()
    x = m.variable("x")
    y = m.variable("y")
    m.add(x + y <= 3)
    m.add(x - x <= 1)  # holds whatever x is: not handed over
    m.add(y - y == 0)
    m.minimize(x * x + y * y - x)
    r = m.solve(solver="slsqp")
    assert r.status == "optimal"
    assert r.primals == pytest.approx([0.5, 0.0], abs=1e-6)
    assert [c.A.shape for c in spy[0][2]["constraints"]] == [(1, 2)]
    m.add(y - y >= 1)  # can never hold: kept, and the run fails
    assert m.solve(solver="slsqp").status == "error"


@pytest.mark.parametrize("time_limit", [3e7, 1e300, math.inf])
def test_generous_time_limit_does_not_stop_the_run(time_limit):
    # a cap beyond SLSQP's 32-bit counter would wrap and end the run at once
    r = qp().solve(solver="scipy", time_limit=time_limit)
    assert r.status == "optimal" and r.iterations > 0


def test_iteration_cap_stops_the_run():
    r = qp().solve(solver="scipy", time_limit=0.01)  # one iteration
    assert r.status == "iteration_limit" and r.iterations == 1


def test_cones_and_nonlinear_terms_are_refused():
    m = po.Model()
    x = m.variable("x")
    m.add(po.cos(x) <= 0)
    m.minimize(x)
    with pytest.raises(ValueError, match="SLSQP cannot solve a model with nonlinear terms"):
        m.solve(solver="slsqp")
