"""The OSQP adapter through the real osqp package; a recording stand-in only
for status texts that a real solve does not produce on demand."""
import sys
import types

import numpy as np
import pytest

import pelora_opt as po


def small_qp(sense="min"):
    # optimum x = -0.25, y = 1.75 with the first row active (price 0.75)
    m = po.Model("qp")
    x = m.variable("x", lower=-10, upper=10)
    y = m.variable("y", lower=-10, upper=10)
    obj = x * x + y * y + x * y - 2 * x - 4 * y + 5
    m.add(x + y <= 1.5, name="sum")
    m.add(x - y >= -3, name="gap")
    m.add(2 * x + y <= 10, name="loose")
    (m.minimize if sense == "min" else m.maximize)(obj if sense == "min" else -1 * obj)
    return m, x, y


def test_qp_optimum_duals_and_counters():
    m, x, y = small_qp()
    r = m.solve()
    assert (r.solver, r.status) == ("OSQP", "optimal")
    assert [r.value(x), r.value(y)] == pytest.approx([-0.25, 1.75], abs=1e-7)
    assert r.objective == pytest.approx(1.1875, abs=1e-8)
    ref = m.solve(solver="highs")
    assert r.primals == pytest.approx(ref.primals, abs=1e-6)
    assert r.objective == pytest.approx(ref.objective, abs=1e-7)
    # one entry per model row (no bound rows); inactive ones carry no price
    assert len(r.duals) == 3
    assert r.duals == pytest.approx(ref.duals, abs=1e-6)
    assert abs(r.duals[0]) == pytest.approx(0.75, abs=1e-6)
    assert r.duals[1:] == pytest.approx([0.0] * 2, abs=1e-6)
    assert r.iterations > 0 and r.solve_time > 0
    assert r.nodes is None and r.gap is None and r.basis() is None


def test_iteration_cap_is_an_iteration_limit():
    m, _, _ = small_qp()
    r = m.solve(solver="osqp", solver_options={"max_iter": 5})
    assert (r.status, r.iterations, r.objective, r.duals) == ("iteration_limit", 5, None, None)


def test_maximisation_reports_the_model_sense():
    lo, _, _ = small_qp("min")
    hi, _, _ = small_qp("max")
    assert hi.solve().objective == pytest.approx(-lo.solve().objective, abs=1e-7)


def test_linear_model_on_request():
    m = po.Model()
    x = m.variable("x", lower=0)
    y = m.variable("y", lower=0)
    m.add(x + 2 * y >= 4)
    m.add(3 * x + y >= 6)
    m.minimize(x + y + 1)
    r = m.solve(solver="OSQP")
    assert r.solver == "OSQP" and r.status == "optimal"
    assert r.primals == pytest.approx([1.6, 1.2], abs=1e-6)
    assert r.objective == pytest.approx(3.8, abs=1e-6)


@pytest.mark.parametrize("case, status", [("infeasible", "infeasible"), ("unbounded", "unbounded")])
def test_statuses_without_values(case, status):
    m = po.Model()
    x = m.variable("x")
    y = m.variable("y")
    if case == "infeasible":
        m.add(x + y >= 3)
        m.add(x + y <= 1)
        m.minimize(x * x + y * y)
    else:
        m.minimize(x * x - y)  # dual infeasible: unbounded below in y
    r = m.solve()
    assert (r.solver, r.status, r.objective, r.duals) == ("OSQP", status, None, None)
    with pytest.raises(ValueError, match="No solution available"):
        r.primals


def test_time_limit():
    m = po.Model()
    xs = m.variables("x", 60)
    for i in range(59):
        m.add(xs[i] - xs[i + 1] <= 0.1 * i)
    obj = xs[0] * xs[0]
    for i, v in enumerate(xs[1:]):
        obj = obj + (1 + i % 3) * (v * v) + v * xs[i]
    m.minimize(obj + po.sum(xs))
    r = m.solve(time_limit=1e-9)
    assert r.status == "time_limit" and r.objective is None


def test_model_without_variables():
    other = po.Model()
    z = other.variable("z")
    m = po.Model()
    m.minimize(5)
    r = m.solve(solver="osqp")
    assert (r.status, r.objective, r.primals, r.duals) == ("optimal", 5.0, [], [])
    m.add(z - z >= 1)  # a constant row that does not hold
    assert m.solve(solver="osqp").status == "infeasible"


@pytest.mark.parametrize("build, message", [
    (lambda m, x: m.add_soc_cone([x, m.variable("y")]), "OSQP cannot solve a model with second-order"),
    (lambda m, x: m.add(po.sin(x) <= 0.5), "OSQP cannot solve a model with nonlinear terms"),
    (lambda m, x: m.add(x <= float("nan"), name="cap"), "constraint 'cap' has a NaN right-hand side"),
    (lambda m, x: m.variable("w", lower=float("nan")), "variable 'w' has a NaN bound"),
])
def test_models_it_would_misread_are_refused(build, message):
    m = po.Model()
    x = m.variable("x")
    build(m, x)
    m.minimize(x * x)
    with pytest.raises(ValueError, match=message):
        m.solve(solver="osqp")


# --- what reaches the package, and status texts, through a recording stand-in -------

class Recorder:
    status = "solved"
    calls = []

    def __init__(self):
        Recorder.calls.append(self)

    def setup(self, **kw):
        self.setup_kw = kw

    def solve(self, **kw):
        self.solve_kw = kw
        n = self.setup_kw["q"].shape[0]
        m = self.setup_kw["A"].shape[0]
        info = types.SimpleNamespace(status=Recorder.status, obj_val=1.5, iter=7)
        return types.SimpleNamespace(info=info, x=np.arange(n, dtype=float), y=np.zeros(m))


@pytest.fixture
def fake_osqp(monkeypatch):
    mod = types.ModuleType("osqp")
    mod.OSQP = Recorder
    Recorder.calls = []
    Recorder.status = "solved"
    monkeypatch.setitem(sys.modules, "osqp", mod)
    return Recorder


@pytest.mark.parametrize("text, status", [
    ("solved", "optimal"),
    ("solved inaccurate", "optimal"),
    ("unsolved", "unknown"),
    ("primal infeasible", "infeasible"),
    ("primal infeasible inaccurate", "infeasible"),
    ("dual infeasible", "unbounded"),
    ("maximum iterations reached", "iteration_limit"),
    ("run time limit reached", "time_limit"),
    ("problem non convex", "unknown"),
    ("interrupted", "interrupted"),
])
def test_status_texts(fake_osqp, text, status):
    fake_osqp.status = text
    m, _, _ = small_qp()
    r = m.solve()
    assert r.status == status
    assert r.iterations == 7
    if status == "optimal":
        assert r.objective == pytest.approx(1.5 + 5.0)
        assert r.primals == [0.0, 1.0]
        assert len(r.duals) == 3


def test_arrays_and_settings_handed_over(fake_osqp):
    m, _, _ = small_qp()
    m.solve()
    kw = fake_osqp.calls[0].setup_kw
    assert list(kw) == ["P", "q", "A", "l", "u", "verbose", "eps_abs", "eps_rel"]
    assert (kw["verbose"], kw["eps_abs"], kw["eps_rel"]) == (False, 1e-8, 1e-8)
    assert fake_osqp.calls[0].solve_kw == {"raise_error": False}
    # P is the upper triangle of the symmetric Q: diagonal 2c, off-diagonal c
    assert kw["P"].toarray() == pytest.approx(np.array([[2.0, 1.0], [0.0, 2.0]]))
    assert kw["q"] == pytest.approx([-2.0, -4.0])
    a = kw["A"].toarray()
    assert a == pytest.approx(np.array([[1, 1], [1, -1], [2, 1], [1, 0], [0, 1]], dtype=float))
    assert kw["l"] == pytest.approx([-np.inf, -3, -np.inf, -10, -10])
    assert kw["u"] == pytest.approx([1.5, np.inf, 10, 10, 10])
    m.solve(time_limit=2.5, verbose=True)
    kw = fake_osqp.calls[1].setup_kw
    assert list(kw)[5:] == ["verbose", "time_limit", "eps_abs", "eps_rel"]
    assert kw["time_limit"] == 2.5 and kw["verbose"] is True


def test_linear_model_gets_an_empty_p(fake_osqp):
    m = po.Model()
    x = m.variable("x", lower=0)
    y = m.variable("y")
    m.add(x + y >= 1)
    m.minimize(x)
    m.solve(solver="osqp")
    p = fake_osqp.calls[0].setup_kw["P"]
    assert p.shape == (2, 2) and p.nnz == 0
