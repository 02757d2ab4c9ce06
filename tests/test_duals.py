"""Dual values on every solver that reports them: duals[i] is the derivative of
the model's objective with respect to the right-hand side of linear
constraint i, in the model's own sense, one entry per linear constraint.
Checked against central finite differences of the optimal objective."""
import math
import os

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
# casadi cannot load its Ipopt plugin under the address sanitizer (make asan).
IPOPT = [] if "libasan" in os.environ.get("LD_PRELOAD", "") else ["ipopt"]
SOLVERS = ["highs", "osqp", "clarabel", *IPOPT, "slsqp", "scip"]
QP_SOLVERS = ["highs", "osqp", "clarabel", *IPOPT, "slsqp"]


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


# --- rows over a single variable ------------------------------------------------------


def single_variable_model(kind):
    """max 3x + 2y, x, y in [0, 100], x + y <= 6 last, with single-variable
    rows before it; returns (model, expected duals)."""
    m = po.Model()
    x = m.variable("x", lower=0, upper=100)
    y = m.variable("y", lower=0, upper=100)
    rows, duals = {
        "le": ([x <= 4], [1.0]),
        "ge": ([-1 * x >= -4], [-1.0]),
        "scaled": ([2 * x <= 8], [0.5]),
        "negative_le": ([-2 * x <= -1, -0.5 * x >= -2], [0.0, -2.0]),
        "equality": ([x == 3], [1.0]),
        "two_on_one_variable": ([x <= 5, x <= 4], [0.0, 1.0]),
        "slack": ([x <= 50], [0.0]),  # x + y <= 6 caps x first
    }[kind]
    for i, c in enumerate(rows):
        m.add(c, name=f"cap_{i}")
    m.add(x + y <= 6)
    m.maximize(3 * x + 2 * y)
    return m, duals + [2.0 if kind != "slack" else 3.0]


@pytest.mark.parametrize("kind", ["le", "ge", "scaled", "negative_le", "equality",
                                  "two_on_one_variable", "slack"])
@pytest.mark.parametrize("solver", SOLVERS)
def test_single_variable_rows_are_priced(solver, kind):
    # SCIP turns such rows into bounds; their prices must come back all the same.
    m, expected = single_variable_model(kind)
    r = m.solve(solver=solver)
    assert r.status == "optimal"
    assert r.duals[:len(expected)] == pytest.approx(expected, abs=1e-5)
    assert m.solve().duals == pytest.approx(expected, abs=1e-9)  # HiGHS, the reference


def test_single_variable_row_of_a_minimisation():
    # min x + y with x >= 2 (a row) and x + y >= 1 slack: the row prices 1.
    m = po.Model()
    x = m.variable("x", lower=0, upper=10)
    y = m.variable("y", lower=0, upper=10)
    m.add(x >= 2)
    m.add(x + y >= 1)
    m.minimize(x + y)
    assert m.solve(solver="scip").duals == pytest.approx([1.0, 0.0])


# --- small netlib LPs against one-sided finite differences -----------------------------

NETLIB_LPS = ["afiro", "sc50a", "sc50b", "sc105", "adlittle", "blend", "kb2", "share2b",
              "recipe", "stocfor1"]


def netlib_path(name):
    here = os.path.dirname(os.path.abspath(__file__))
    for d in (os.environ.get("PELORA_DATA"), "/work/shared/data",
              os.path.join(here, "..", "..", "shared", "data")):
        if d and os.path.exists(os.path.join(d, "netlib", name + ".mps.gz")):
            return os.path.join(d, "netlib", name + ".mps.gz")
    pytest.skip("public test data not available")


def one_sided_derivatives(model):
    """Per row, (left, right) derivatives of the optimal objective with
    respect to the row's right-hand side (both sides moved for an equality);
    None for a side whose move makes the LP infeasible."""
    p = po.PersistentHighs.from_model(model=model)
    lower, upper = p.row_bounds()
    base = p.resolve().objective
    out = []
    for i, (lo, up) in enumerate(zip(lower, upper)):
        h = 1e-5 * (1 + abs(up if math.isfinite(up) else lo))
        sides = []
        for step in (-h, h):
            p.update_row_bounds([i], [lo + step], [up + step])  # inf + step stays inf
            r = p.resolve()
            sides.append((r.objective - base) / step if r.status == "optimal" else None)
        p.update_row_bounds([i], [lo], [up])
        out.append((h, sides))
    return base, out


@pytest.mark.parametrize("name", NETLIB_LPS)
def test_netlib_duals_lie_between_the_one_sided_derivatives(name):
    # A degenerate LP has a range of duals per row: any value between the
    # left and right derivative of the optimal value is right.
    m = po.read_model(netlib_path(name))
    base, derivatives = one_sided_derivatives(m)
    results = {s: m.solve(solver=s) for s in ("highs", "scip")}
    for s, r in results.items():
        assert r.status == "optimal" and r.objective == pytest.approx(base, rel=1e-9)
        assert len(r.duals) == len(derivatives)
    for i, (h, sides) in enumerate(derivatives):
        known = [d for d in sides if d is not None]
        if not known:
            continue
        low = sides[0] if sides[0] is not None else -math.inf
        high = sides[1] if sides[1] is not None else math.inf
        low, high = min(low, high), max(low, high)
        # difference noise of the optimal value, and a relative margin
        tol = 1e-6 * (1 + max(abs(d) for d in known)) + 1e-11 * (1 + abs(base)) / h
        for s, r in results.items():
            assert low - tol <= r.duals[i] <= high + tol, (s, i, r.duals[i], sides)
