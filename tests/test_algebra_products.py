"""Products and powers of expressions, exp/log, sum over iterables, hashable
variables and numpy scalars as operands. Values are checked by evaluating the
built expression and the same formula on floats at random points."""
import math
import random

import numpy as np
import pytest

import pelora_opt as po
from algebra_support import make_vars


def value(e, point):
    """Value of any expression at `point` (x0, x1, ... -> floats): the
    nonlinear text form of `e` evaluated as Python."""
    text = repr(e + po.exp(0))  # an NlExpr prints every term
    env = {f"x{i}": v for i, v in enumerate(point)}
    env.update(exp=math.exp, log=math.log, sin=math.sin, cos=math.cos, sqrt=math.sqrt)
    return eval(text, {"__builtins__": {}}, env) - 1.0


S = [[2.0, 0.5, -1.0], [0.5, 3.0, 0.25], [-1.0, 0.25, 1.5]]

CASES = [
    # (formula, type of the result)
    (lambda x, y, z: (x + 1) * y, po.QuadExpr),
    (lambda x, y, z: y * (x + 1), po.QuadExpr),
    (lambda x, y, z: (x + 1) * (y - 2), po.QuadExpr),
    (lambda x, y, z: (2 * x - 3 * y + 1) * (z + x - 0.5), po.QuadExpr),
    (lambda x, y, z: (1 - x) ** 2, po.QuadExpr),
    (lambda x, y, z: (x + 2 * y - z + 3) ** 2, po.QuadExpr),
    (lambda x, y, z: 1 - x ** 2, po.QuadExpr),
    (lambda x, y, z: x ** 2 - y ** 2, po.QuadExpr),
    (lambda x, y, z: x * y - x * y, po.QuadExpr),
    (lambda x, y, z: 3 - x * y, po.QuadExpr),
    (lambda x, y, z: (x + 1) - x * y, po.QuadExpr),
    (lambda x, y, z: x * y - (x + z) ** 2 + y, po.QuadExpr),
    (lambda x, y, z: -(x * y) / 4 + 2.5, po.QuadExpr),
    (lambda x, y, z: (x * y) ** 1, po.QuadExpr),
    (lambda x, y, z: (x - y) ** 1, po.Expr),
    (lambda x, y, z: sum(S[i][j] * [x, y, z][i] * [x, y, z][j] for i in range(3) for j in range(3)), po.QuadExpr),
    (lambda x, y, z: x * (x * y), po.NlExpr),
    (lambda x, y, z: (x * y) * (x + 1), po.NlExpr),
    (lambda x, y, z: (x + 1) * (y * z), po.NlExpr),
    (lambda x, y, z: (x * y) * (y * z), po.NlExpr),
    (lambda x, y, z: (x * y) ** 2, po.NlExpr),
    (lambda x, y, z: x ** 3, po.NlExpr),
    (lambda x, y, z: (x + 1) ** 3 - y, po.NlExpr),
    (lambda x, y, z: x ** -2, po.NlExpr),
    (lambda x, y, z: (x + y) ** 0.5, po.NlExpr),
    (lambda x, y, z: x ** 2.0, po.QuadExpr),
    (lambda x, y, z: 2 ** 0 + z ** 0, po.NlExpr),
    (lambda x, y, z: (x + y * 2) ** 4, po.NlExpr),
    (lambda x, y, z: (po.sin(x) + y) ** 2, po.NlExpr),
    (lambda x, y, z: np.float64(2.5) * x - x * np.float64(0.5), po.Expr),
    (lambda x, y, z: np.int64(3) - (x * y) * np.uint8(2), po.QuadExpr),
    (lambda x, y, z: np.array(2.0) * (x + y) + np.array(1), po.Expr),
    (lambda x, y, z: (x + 1) / np.float64(4), po.Expr),
]


@pytest.mark.parametrize("build, kind", CASES)
def test_operator_results_match_their_expansion(build, kind):
    x, y, z = make_vars("x", "y", "z")
    rng = random.Random(7)
    e = build(x, y, z)
    assert type(e) is kind
    for _ in range(4):
        p = [rng.uniform(0.5, 2.0) for _ in range(3)]
        expected = build(*p)  # the same formula on floats
        if isinstance(expected, po.NlExpr):  # po.sin of a float is a constant tree
            expected = value(expected, p)
        assert value(e, p) == pytest.approx(float(expected), rel=1e-12, abs=1e-12)


def test_products_store_expected_terms():
    x, y, _ = make_vars("x", "y", "z")
    assert repr((x + 1) * y) == "QuadExpr(linear=x1, quad_terms=1)"
    assert repr((x + 2 * y) ** 2) == "QuadExpr(linear=0, quad_terms=3)"  # pairs stored once
    assert repr((1 - x) ** 2) == "QuadExpr(linear=-2*x0 + 1, quad_terms=1)"
    assert repr(x ** 3) == "((x0 * x0) * x0)"
    assert repr(x ** -1) == "(1 / x0)"
    assert repr(po.exp(x) + po.log(y + 1)) == "exp(x0) + log((x1 + 1))"


def test_numpy_never_builds_object_arrays():
    x, y = make_vars("x", "y")
    for e in (np.float64(2) * x, np.float64(2) + (x + 1), np.int32(2) - x * y, np.float64(3) / x):
        assert not isinstance(e, np.ndarray)
    c = np.float64(1) <= x
    assert isinstance(c, po.Constraint)
    assert isinstance(np.float64(4) == x + y, po.Constraint)
    with pytest.raises((TypeError, ValueError)):
        np.array([1.0, 2.0]) * x
    m = po.Model()
    v = m.variable("v", upper=4)
    m.add(np.float64(1.5) <= v)
    m.minimize(np.float64(2) * v)
    assert m.solve().primals == pytest.approx([1.5])


def test_sum_over_iterables_gives_the_narrowest_type():
    x, y, z = make_vars("x", "y", "z")
    p = [0.7, 1.3, 1.9]
    assert repr(po.sum(v for v in (x, y, z))) == "x0 + x1 + x2"
    assert repr(po.sum((x, 2, y))) == "x0 + x1 + 2"
    assert repr(po.sum(np.array([x, y, 1.5], dtype=object))) == "x0 + x1 + 1.5"
    assert repr(po.sum(range(4))) == "6"
    assert repr(po.sum(np.float64(v) for v in (1.0, 2.5))) == "3.5"
    q = po.sum(c * v for c, v in zip([1, 2, 3], [x * y, y, z ** 2]))
    assert type(q) is po.QuadExpr
    assert value(q, p) == pytest.approx(p[0] * p[1] + 2 * p[1] + 3 * p[2] ** 2)
    n = po.sum([x, x * y, po.exp(z), 4, po.log(x)])
    assert type(n) is po.NlExpr
    assert value(n, p) == pytest.approx(p[0] + p[0] * p[1] + math.exp(p[2]) + 4 + math.log(p[0]))
    assert type(po.sum([])) is po.Expr
    with pytest.raises(ValueError, match="^sum\\(\\) items must be Var, Expr, or numeric$"):
        po.sum(iter([x, "a"]))
    with pytest.raises(TypeError, match="^argument 'items': 'int' object cannot be converted to 'PyList'$"):
        po.sum(3)

    def broken():
        yield x
        raise RuntimeError("stop")

    with pytest.raises(RuntimeError, match="stop"):
        po.sum(broken())


def test_variables_hash_and_name():
    m = po.Model()
    xs = m.variables("x", 50)
    y = m.variable("speed")
    keyed = {v: i for i, v in enumerate(xs)}
    assert all(keyed[v] == i for i, v in enumerate(xs))
    assert len({*xs, *xs, y}) == 51
    assert hash(y) == hash(y)
    assert (y.name, y.index) == ("speed", 50)
    assert (xs[3].name, xs[3].index) == ("x_3", 3)
    with pytest.raises(AttributeError):
        y.name = "other"
    with pytest.raises(AttributeError):
        y.index = 0
    assert isinstance(y == xs[0], po.Constraint)  # equality still builds a constraint
    # same-named variables of two models are distinct keys
    a, b = po.Model().variable("v"), po.Model().variable("v")
    assert len({a: 1, b: 2}) == 2 and len({*po.Model().variables("w", 3), *po.Model().variables("w", 3)}) == 6
    with pytest.raises(TypeError):
        hash(y + 1)


def test_exp_and_log_through_ipopt_and_scip():
    pytest.importorskip("casadi")
    pytest.importorskip("pyscipopt")
    for solver in ("ipopt", "scip"):
        m = po.Model()
        x = m.variable("x", lower=-5, upper=5)
        y = m.variable("y", lower=0.1, upper=10)
        # exp(x) - 2x is least at x = ln 2; log(y) - y/3 is largest at y = 3
        m.minimize(po.exp(x) - 2 * x - po.log(y) + y / 3)
        r = m.solve(solver=solver)
        assert r.status == "optimal"
        # the objective is flat near its optimum: primals within solver tolerance
        assert r.primals == pytest.approx([math.log(2), 3.0], abs=1e-2)
        assert r.objective == pytest.approx(2 - 2 * math.log(2) - math.log(3) + 1, abs=1e-5)
        c = po.Model()
        u = c.variable("u", lower=0, upper=10)
        c.add(po.log(u + 1) >= math.log(4))  # u >= 3
        c.minimize(u ** 2)
        assert c.solve(solver=solver).primals == pytest.approx([3.0], abs=1e-3)


def test_exp_and_log_in_the_python_script():
    m = po.Model("s")
    x = m.variable("x", lower=0.5, upper=3)
    m.add(po.log(x + 1) + po.exp(x) ** 2 <= 40)
    m.minimize(po.exp(-x) + x * x)
    script = m.to_python()
    assert "pl.exp(" in script and "pl.log(" in script
    ns = {}
    exec(compile(script.split("\n# Solve\n")[0], "generated", "exec"), ns)
    assert ns["m"].to_python() == script
