"""minimize / maximize: the implicit model, its variable numbering, routing to
HiGHS, OSQP or Ipopt, options and argument errors."""
import inspect
import math
import os
import sys
import types

import pytest

import pelora_opt as po

# casadi opens its Ipopt plugin with RTLD_DEEPBIND, which the address
# sanitizer's runtime refuses (the process ends); the sanitizer run skips
# every test that runs the real Ipopt.
real_ipopt = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="Ipopt cannot be loaded under the address sanitizer")


@pytest.fixture
def v():
    m = po.Model("source")
    return m.variables("v", 6)


def test_registered_in_order_with_their_docstrings():
    assert po.__all__[9:12] == ["minimize", "maximize", "sum"]
    assert str(inspect.signature(po.minimize)) == "(objective, constraints=None, **kwargs)"
    assert po.minimize.__doc__ == ("Solve a minimization problem in one line.\n"
                                   "Usage: result = minimize(objective_expr, [constraint1, constraint2, ...])")
    assert po.maximize.__doc__ == "Solve a maximization problem in one line."


def test_quadratic_objective_goes_to_osqp_with_numbered_variables(v):
    x, y = v[0], v[1]
    r = po.minimize(x * x + y)
    assert r.solver == "OSQP"
    assert r.var_names_list == ["x0", "x1"]
    r = po.minimize(x * x - 2 * x + 3, [x <= 0.5])
    assert (r.solver, r.status) == ("OSQP", "optimal")
    assert r.primals == pytest.approx([0.5], abs=1e-7)
    assert r.objective == pytest.approx(2.25, abs=1e-7)


def test_unused_indices_still_get_free_variables(v):
    r = po.minimize(2 * v[5] + 1, [v[5] >= 3])
    assert r.solver == "HiGHS"
    assert r.var_names_list == ["x0", "x1", "x2", "x3", "x4", "x5"]
    assert r.primals[5] == pytest.approx(3.0)
    assert r.objective == pytest.approx(7.0)
    assert r.values()["x5"] == pytest.approx(3.0)


def test_maximize_reports_the_model_sense(v):
    x, y = v[0], v[1]
    r = po.maximize(x + 2 * y + 1, [x + y <= 4, x >= 0, y >= 0, y <= 3])
    assert (r.solver, r.objective) == ("HiGHS", pytest.approx(8.0))
    assert r.primals == pytest.approx([1.0, 3.0])
    r = po.maximize(-1 * (x * x) + 4 * x)
    assert (r.solver, r.status) == ("OSQP", "optimal")
    assert r.objective == pytest.approx(4.0, abs=1e-7)


@real_ipopt
def test_nonlinear_objective_goes_to_ipopt(v):
    x = v[0]
    r = po.minimize(po.cos(x) + 1, [x >= 2, x <= 4])
    # HiGHS would see an all-zero cost and call any feasible point optimal
    assert r.solver == "Ipopt"
    assert r.primals == pytest.approx([math.pi], abs=1e-6)
    assert r.objective == pytest.approx(0.0, abs=1e-9)


@real_ipopt
def test_nonlinear_constraint_goes_to_ipopt(v):
    x, y = v[0], v[1]
    r = po.maximize(x + y, [x * x + y * y <= 1])
    # HiGHS would drop the circle and report the problem unbounded
    assert r.solver == "Ipopt" and r.status == "optimal"
    assert r.objective == pytest.approx(math.sqrt(2), abs=1e-7)
    r = po.minimize(x * x + y * y - 4 * x - 2 * y, [po.sqrt(x * x + y * y) <= 1])
    assert r.solver == "Ipopt"
    assert r.primals == pytest.approx([2 / math.sqrt(5), 1 / math.sqrt(5)], abs=1e-6)


def test_none_and_missing_constraints_alike(v):
    a = po.minimize(v[0] * v[0] + v[0], None)
    b = po.minimize(v[0] * v[0] + v[0])
    assert a.primals == pytest.approx(b.primals)
    assert a.primals == pytest.approx([-0.5], abs=1e-7)
    assert po.minimize(v[0], (v[0] >= 2,)).objective == pytest.approx(2.0)


def test_options_reach_the_adapter_and_others_are_ignored(v, monkeypatch):
    seen = []

    class Recorder:
        def setup(self, **kw):
            seen.append(kw)

        def solve(self, **kw):
            info = types.SimpleNamespace(status="solved", obj_val=0.0, iter=1)
            return types.SimpleNamespace(info=info, x=[0.0], y=[0.0])

    monkeypatch.setitem(sys.modules, "osqp", types.SimpleNamespace(OSQP=Recorder))
    po.minimize(v[0] * v[0], verbose=True, time_limit=2, solver="clarabel", gap=0.1, threads=3)
    assert seen[0]["verbose"] is True and seen[0]["time_limit"] == 2.0
    po.minimize(v[0] * v[0])
    assert seen[1]["verbose"] is False and "time_limit" not in seen[1]


@pytest.mark.parametrize("args, kwargs, exc, message", [
    (("a",), {}, ValueError, "Expected Var, Expr, QuadExpr, NlExpr, or numeric value"),
    ((None,), {}, ValueError, "Expected Var, Expr, QuadExpr, NlExpr, or numeric value"),
    ((), {}, TypeError, "minimize() missing 1 required positional argument: 'objective'"),
    ((1, [], 3), {}, TypeError, "minimize() takes from 1 to 2 positional arguments but 3 were given"),
    ((1, [1]), {}, TypeError, "argument 'constraints': 'int' object cannot be converted to 'Constraint'"),
    ((1, 5), {}, TypeError, "argument 'constraints': 'int' object cannot be converted to 'Sequence'"),
    ((1, "ab"), {}, TypeError, "argument 'constraints': Can't extract `str` to `Vec`"),
    ((1,), {"verbose": 1}, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ((1,), {"time_limit": "soon"}, TypeError, "must be real number, not str"),
])
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        po.minimize(*args, **kwargs)
    assert str(e.value) == message


def test_bad_constraint_fails_before_solving(v, monkeypatch):
    monkeypatch.setitem(sys.modules, "highspy", None)  # a solve would raise ImportError
    with pytest.raises(TypeError, match="'str' object cannot be converted to 'Constraint'"):
        po.maximize(v[0], [v[0] <= 1, "v0 <= 2"])
