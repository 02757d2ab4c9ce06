"""Dual values on every solver that reports them: duals[i] is the derivative of
the model's objective with respect to the right-hand side of linear
constraint i, in the model's own sense, one entry per linear constraint.
Checked against central finite differences of the optimal objective."""
import pytest

import pelora_opt as po

# Rows (coefficients, sense, rhs) with a unique, non-degenerate optimum in
# both senses of the objective below: a <=, a >= and an == row bind, one <=
# row is slack.
ROWS = [
    ([1.0, 2.0, 1.0], "<=", 14.0),
    ([0.0, 1.0, 1.0], ">=", 3.0),
    ([1.0, -1.0, 1.0], "==", 2.0),
    ([1.0, 1.0, 1.0], "<=", 40.0),
]
BOUNDS = [(0.0, 10.0), (0.0, 10.0), (-5.0, 5.0)]
# Minimised as written; maximised negated, so both senses have the same optimum.
LINEAR = [-3.0, -5.0, 2.0]
SOLVERS = ["highs", "osqp", "clarabel", "ipopt", "slsqp", "scip"]
QP_SOLVERS = ["highs", "osqp", "clarabel", "ipopt", "slsqp"]


def build(rows, sense, quadratic):
    m = po.Model()
    xs = [m.variable(f"x{j}", lower=lo, upper=up) for j, (lo, up) in enumerate(BOUNDS)]
    for coef, op, rhs in rows:
        lhs = po.sum([a * x for a, x in zip(coef, xs) if a != 0])
        m.add({"<=": lhs <= rhs, ">=": lhs >= rhs, "==": lhs == rhs}[op])
    obj = po.sum([c * x for c, x in zip(LINEAR, xs)])
    if quadratic:
        obj = obj + 0.5 * (xs[0] * xs[0]) + 0.25 * (xs[1] * xs[1]) + xs[2] * xs[2]
    if sense == "min":
        m.minimize(obj)
    else:
        m.maximize(-1 * obj)
    return m


def finite_difference_duals(sense, quadratic, h=1e-3):
    out = []
    for i in range(len(ROWS)):
        values = []
        for step in (h, -h):
            rows = [list(r) for r in ROWS]
            rows[i][2] += step
            r = build(rows, sense, quadratic).solve(solver="clarabel" if quadratic else "highs")
            assert r.status == "optimal"
            values.append(r.objective)
        out.append((values[0] - values[1]) / (2 * h))
    return out


@pytest.fixture(scope="module")
def references():
    return {(s, q): finite_difference_duals(s, q) for s in ("min", "max") for q in (False, True)}


@pytest.mark.parametrize("sense", ["min", "max"])
@pytest.mark.parametrize("solver", SOLVERS)
def test_lp_duals_are_objective_derivatives(references, solver, sense):
    r = build(ROWS, sense, False).solve(solver=solver)
    assert r.status == "optimal"
    expected = references[(sense, False)]
    assert r.duals is not None and len(r.duals) == len(ROWS)
    assert r.duals == pytest.approx(expected, abs=1e-5)
    # A binding <= row of a maximisation has a non-negative dual, of a
    # minimisation a non-positive one.
    assert (r.duals[0] > 0) == (sense == "max")


@pytest.mark.parametrize("sense", ["min", "max"])
@pytest.mark.parametrize("solver", QP_SOLVERS)
def test_qp_duals_are_objective_derivatives(references, solver, sense):
    r = build(ROWS, sense, True).solve(solver=solver)
    assert r.status == "optimal"
    assert r.duals is not None and len(r.duals) == len(ROWS)
    assert r.duals == pytest.approx(references[(sense, True)], abs=1e-4)


def test_shadow_prices_follow_the_duals():
    r = build(ROWS, "max", False).solve()
    prices = [d for _, _, d in r.sensitivity()["shadow_prices"]]
    assert prices == r.duals and prices[0] > 0


def test_relaxation_and_persistent_highs_use_the_same_rule():
    # max 2x + 3y, x + y <= 4, x + 3y <= 6: the integral vertex (3, 1) is
    # the relaxation's optimum; d obj/d rhs = (1.5, 0.5).
    models = {}
    for kind in ("variable", "integer"):
        m = models[kind] = po.Model()
        x = getattr(m, kind)("x", lower=0, upper=10)
        y = getattr(m, kind)("y", lower=0, upper=10)
        m.add(x + y <= 4)
        m.add(x + 3 * y <= 6)
        m.maximize(2 * x + 3 * y)
        r = m.solve()
        assert r.objective == pytest.approx(9.0)
        assert r.duals == pytest.approx([1.5, 0.5])
    p = po.PersistentHighs.from_model(model=models["variable"])
    assert p.resolve().duals == pytest.approx([1.5, 0.5])
