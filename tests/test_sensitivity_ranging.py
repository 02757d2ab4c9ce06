"""LP ranging in Result.sensitivity(): checked against highspy's own ranging
of the same LP and against re-solves with perturbed data."""

import math
import random

import pytest

import pelora_opt as po

highspy = pytest.importorskip("highspy")
np = pytest.importorskip("numpy")

LE, GE, EQ = "<=", ">=", "=="


def build(costs, boxes, rows, maximize):
    m = po.Model()
    xs = [m.variable(f"x{j}", lo, hi) for j, (lo, hi) in enumerate(boxes)]
    for terms, sense, b in rows:
        e = po.sum([a * xs[j] for j, a in terms])
        m.add(e <= b if sense == LE else e >= b if sense == GE else e == b)
    obj = po.sum([c * x for c, x in zip(costs, xs)])
    m.maximize(obj) if maximize else m.minimize(obj)
    return m


def highspy_ranging(costs, boxes, rows, maximize):
    """(cost ranges, rhs ranges) from highspy on the LP as written."""
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    inf = highspy.kHighsInf
    n = len(boxes)
    h.addVars(n, np.array([b[0] for b in boxes]), np.array([b[1] for b in boxes]))
    h.changeColsCost(n, np.arange(n, dtype=np.int32), np.array(costs, dtype=float))
    h.changeObjectiveSense(highspy.ObjSense.kMaximize if maximize else highspy.ObjSense.kMinimize)
    for terms, sense, b in rows:
        lo = -inf if sense == LE else b
        hi = inf if sense == GE else b
        idx = np.array([j for j, _ in terms], dtype=np.int32)
        val = np.array([a for _, a in terms], dtype=float)
        h.addRow(lo, hi, len(terms), idx, val)
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    _, rg = h.getRanging()
    cost = [(rg.col_cost_dn.value_[j], rg.col_cost_up.value_[j]) for j in range(n)]
    # HiGHS ranges a basic (slack) row's activity; its right-hand side keeps
    # the basis from the activity outwards.
    status = h.getBasis().row_status
    activity = h.getSolution().row_value
    rhs = []
    for i, (_, sense, _) in enumerate(rows):
        if status[i] == highspy.HighsBasisStatus.kBasic and sense != EQ:
            rhs.append((activity[i], math.inf) if sense == LE else (-math.inf, activity[i]))
        else:
            rhs.append((rg.row_bound_dn.value_[i], rg.row_bound_up.value_[i]))
    return cost, rhs


def same(a, b):
    assert len(a) == len(b)
    for (lo1, hi1), (lo2, hi2) in zip(a, b):
        for u, v in ((lo1, lo2), (hi1, hi2)):
            if math.isinf(v) or abs(v) >= 1e30:
                assert u == math.copysign(math.inf, v)
            else:
                assert u == pytest.approx(v, rel=1e-9, abs=1e-9)


PRODUCTION = (
    [3.0, 2.0],
    [(0.0, 3.0), (0.0, math.inf)],
    [([(0, 1.0), (1, 1.0)], LE, 4.0), ([(0, 1.0), (1, 3.0)], LE, 6.0), ([(0, 1.0), (1, -1.0)], LE, 100.0)],
)


def random_lp(rng):
    n = rng.randint(2, 5)
    boxes = [(0.0, float(rng.randint(3, 9)) if rng.random() < 0.7 else math.inf) for _ in range(n)]
    # The first row holds every column, so that the LP is bounded.
    rows = [([(j, float(rng.randint(1, 4))) for j in range(n)], LE, float(rng.randint(10, 40)))]
    for _ in range(rng.randint(1, 4)):
        terms = [(j, float(rng.randint(1, 5))) for j in range(n) if rng.random() < 0.7] or [(0, 1.0)]
        rows.append((terms, LE, float(rng.randint(5, 30))))
    costs = [float(rng.randint(1, 9)) for _ in range(n)]
    return costs, boxes, rows


@pytest.mark.parametrize("maximize", [True, False])
def test_ranges_match_highspy(maximize):
    cases = [PRODUCTION]
    rng = random.Random(5)
    cases += [random_lp(rng) for _ in range(8)]
    for costs, boxes, rows in cases:
        if not maximize:
            costs = [-c for c in costs]  # keep the LPs bounded
        result = build(costs, boxes, rows, maximize).solve(ranging=True)
        assert result.status == "optimal"
        s = result.sensitivity()
        assert list(s)[-2:] == ["cost_ranges", "rhs_ranges"]
        want_cost, want_rhs = highspy_ranging(costs, boxes, rows, maximize)
        same(s["cost_ranges"], want_cost)
        same(s["rhs_ranges"], want_rhs)
        # Each range holds the coefficient / right-hand side as written.
        for c, (lo, hi) in zip(costs, s["cost_ranges"]):
            assert lo - 1e-9 <= c <= hi + 1e-9
        for (_, _, b), (lo, hi) in zip(rows, s["rhs_ranges"]):
            assert lo - 1e-9 <= b <= hi + 1e-9


def test_production_ranges_in_model_terms():
    # max 3x + 2y: x stays at 3 for any cost of x above 2/3 (upper side
    # unbounded); y's cost may go from 0 to 9.
    s = build(*PRODUCTION, maximize=True).solve(ranging=True).sensitivity()
    (xlo, xhi), (ylo, yhi) = s["cost_ranges"]
    assert xlo == pytest.approx(2 / 3) and xhi == math.inf
    assert ylo == pytest.approx(0.0, abs=1e-12) and yhi == pytest.approx(9.0)


def test_perturbed_costs_keep_the_solution():
    # Inside the cost range the optimal point does not move.
    costs, boxes, rows = PRODUCTION
    base = build(costs, boxes, rows, True).solve(ranging=True)
    for j, (lo, hi) in enumerate(base.sensitivity()["cost_ranges"]):
        for c in (lo, hi):
            if math.isinf(c):
                continue
            inside = list(costs)
            inside[j] = c + (0.01 if c < costs[j] else -0.01)
            again = build(inside, boxes, rows, True).solve()
            assert again.primals == pytest.approx(base.primals, abs=1e-9)


def test_perturbed_rhs_keeps_the_duals():
    # Inside a right-hand-side range the same rows stay binding, so the duals
    # (the objective's slope in each rhs) do not change.
    rng = random.Random(11)
    for costs, boxes, rows in [PRODUCTION] + [random_lp(rng) for _ in range(4)]:
        base = build(costs, boxes, rows, True).solve(ranging=True)
        for i, (lo, hi) in enumerate(base.sensitivity()["rhs_ranges"]):
            terms, sense, b = rows[i]
            for end in (lo, hi):
                if abs(end - b) < 1e-6:
                    continue
                moved = b + (0.5 * (end - b) if math.isfinite(end) else math.copysign(1.0, end))
                changed = list(rows)
                changed[i] = (terms, sense, moved)
                again = build(costs, boxes, changed, True).solve()
                assert again.duals == pytest.approx(base.duals, abs=1e-9), (rows, i, moved)


def test_rhs_range_of_a_normalised_row():
    # x + 1 <= 4 is stored as x <= 3; the range is of that right-hand side.
    m = po.Model()
    x = m.variable("x", 0, 10)
    m.add(x + 1 <= 4)
    m.maximize(x)
    (lo, hi), = m.solve(ranging=True).sensitivity()["rhs_ranges"]
    assert lo <= 3 <= hi and hi == pytest.approx(10.0)


def test_without_ranging_or_without_an_lp():
    assert "cost_ranges" not in build(*PRODUCTION, maximize=True).solve().sensitivity()
    # A mixed-integer or quadratic model has no LP basis to range: empty lists.
    m = po.Model()
    x = m.integer("x", 0, 5)
    y = m.variable("y", 0, 5)
    m.add(x + y <= 3.5)
    m.maximize(x + 2 * y)
    s = m.solve(ranging=True).sensitivity()
    assert s["cost_ranges"] == [] and s["rhs_ranges"] == []
    q = po.Model()
    z = q.variable("z", -5, 5)
    q.add(z >= 1)
    q.minimize(z * z)
    s = q.solve(ranging=True).sensitivity()
    assert s["cost_ranges"] == [] and s["rhs_ranges"] == []
    with pytest.raises(TypeError):
        build(*PRODUCTION, maximize=True).solve(ranging=1)
