"""The SLSQP adapter through the real scipy.optimize.minimize: what it is
handed (spied on, then run for real), the iteration cap from the time limit,
statuses and senses."""
import math
import os

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


# --- gradients, exit modes and what counts as a solution ------------------------------


def test_exact_gradient_is_handed_over(spy):
    qp().solve(solver="slsqp")
    fun, _, kw = spy[0]
    jac = kw["jac"]
    for v in ([1.0, 2.0, 3.0], [-0.5, 0.25, 2.0]):
        x = np.array(v)
        numeric = [(fun(x + e) - fun(x - e)) / 2e-4 for e in np.eye(3) * 1e-4]
        assert jac(x) == pytest.approx(numeric, abs=1e-7)
    lin = po.Model()
    a = lin.variable("a", lower=0, upper=1)
    lin.minimize(2 * a)
    lin.solve(solver="slsqp")
    g = spy[1][2]["jac"]
    first = g(np.array([0.5]))
    first[0] = 7.0  # the caller may write to what it gets back
    assert list(g(np.array([0.3]))) == [2.0]


def test_iteration_limit_and_failures_keep_scipys_message(capfd):
    r = qp().solve(solver="slsqp", time_limit=0.01)
    assert r.status == "iteration_limit" and r.duals is None
    assert "SLSQP stopped (exit mode 9): Iteration limit reached; status 'iteration_limit'" in (
        capfd.readouterr().err)


def fake_minimize(monkeypatch, x, multipliers):
    def minimize(fun, x0, **kw):
        return scipy.optimize.OptimizeResult(success=True, status=0, message="done", x=np.array(x),
                                             fun=float(fun(np.array(x))), nit=3,
                                             multipliers=np.array(multipliers))
    monkeypatch.setattr(scipy.optimize, "minimize", minimize)


def small_lp():
    # max x + 2y, x + y <= 3, x, y in [0, 2]: optimum (1, 2), value 5, dual 1.
    m = po.Model()
    x = m.variable("x", lower=0, upper=2)
    y = m.variable("y", lower=0, upper=2)
    m.add(x + y <= 3)
    m.maximize(x + 2 * y)
    return m


@pytest.mark.parametrize("x, multipliers, status", [
    ([1.0, 2.0], [1.0], "optimal"),
    ([1.5, 2.0], [1.0], "error"),     # breaks x + y <= 3 by 0.5
    ([0.5, 2.0], [1.0], "unknown"),   # feasible, but the row is not tight
    ([1.0, 2.0], [0.0], "unknown"),   # x's cost is not priced by anything
    ([1.0, 2.0 + 1e-9], [1.0], "optimal"),
])
def test_a_success_must_be_feasible_and_stationary(monkeypatch, capfd, x, multipliers, status):
    fake_minimize(monkeypatch, x, multipliers)
    r = small_lp().solve(solver="slsqp")
    assert r.status == status
    assert r.primals == x  # the point is reported whatever the status
    assert (r.duals == pytest.approx([1.0])) if status == "optimal" else r.duals is None
    assert ("status '%s'" % status in capfd.readouterr().err) == (status != "optimal")


def scaled_lp(rng, quadratic):
    """A small LP (or convex QP) with coefficients over many orders of
    magnitude, as in the netlib recipe model."""
    m = po.Model()
    xs = [m.variable(f"x{j}", lower=0, upper=rng.choice([1e3, 1e4, math.inf])) for j in range(6)]
    for _ in range(5):
        terms = [rng.choice([-1, 1]) * rng.choice([1, 10, 100, 0.01]) * x for x in rng.sample(xs, 3)]
        m.add(po.sum(terms) <= rng.choice([100, 2500, 1e4]))
    m.add(po.sum(xs) <= 5000)
    obj = po.sum([rng.choice([-1, 1]) * rng.choice([1e4, 1, 1e-3, 0.1]) * x for x in xs])
    if quadratic:
        obj = obj + po.sum([rng.choice([1e-3, 0.1, 1.0]) * (x * x) for x in xs])
    m.minimize(obj)
    return m


@pytest.mark.parametrize("quadratic, reference", [(False, "highs"), (True, "clarabel")])
def test_scaled_models_are_solved_or_failed_never_misreported(quadratic, reference):
    rng = __import__("random").Random(20261209)
    solved = 0
    for _ in range(30):
        m = scaled_lp(rng, quadratic)
        ref = m.solve(solver=reference)
        r = m.solve(solver="slsqp")
        if ref.status != "optimal":
            assert r.status != "optimal"
            continue
        assert r.status in ("optimal", "error", "unknown", "iteration_limit")
        if r.status == "optimal":
            solved += 1
            assert r.objective == pytest.approx(ref.objective, rel=1e-6, abs=1e-6)
    assert solved >= 5


@pytest.mark.parametrize("name", ["afiro", "kb2"])
def test_netlib_lps_agree_with_highs(name):
    here = os.path.dirname(os.path.abspath(__file__))
    path = next((os.path.join(d, "netlib", name + ".mps.gz")
                 for d in (os.environ.get("PELORA_DATA"), "/work/shared/data",
                           os.path.join(here, "..", "..", "shared", "data"))
                 if d and os.path.exists(os.path.join(d, "netlib", name + ".mps.gz"))), None)
    if path is None:
        pytest.skip("public test data not available")
    m = po.read_model(path)
    ref, r = m.solve(), m.solve(solver="slsqp")
    assert r.status == "optimal" and r.iterations > 1
    assert r.objective == pytest.approx(ref.objective, rel=1e-8)
