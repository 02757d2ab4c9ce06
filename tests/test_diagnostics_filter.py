"""Infeasibility report: the deletion filter checked against a plain reference
implementation of the bound-propagation filter and against scipy's linprog."""

import math
import random

import pytest

import pelora_opt as po

FLOOR = 1e-15
TOL = 1e-8
MAX_PASSES = 10
LE, GE, EQ = "<=", ">=", "=="

# --- the straightforward reference -------------------------------------------
# A model is (boxes, rows): boxes a list of (lower, upper), rows a list of
# (terms, constant, sense, rhs) with terms a list of (variable, coefficient)
# in stored order.


def _rest(terms, k, lb, ub, t):
    """minrest, maxrest and whether every other variable is finite."""
    lo = hi = k
    finite = True
    for j, (x, a) in enumerate(terms):
        if j == t:
            continue
        lo += a * (lb[x] if a > 0 else ub[x])
        hi += a * (ub[x] if a > 0 else lb[x])
        finite = finite and math.isfinite(lb[x]) and math.isfinite(ub[x])
    return lo, hi, finite


def reference_infeasible(boxes, rows, subset):
    lb = [b[0] for b in boxes]
    ub = [b[1] for b in boxes]
    changed = [False]

    def raise_lb(x, v):
        if v > lb[x]:
            lb[x] = v
            changed[0] = True

    def lower_ub(x, v):
        if v < ub[x]:
            ub[x] = v
            changed[0] = True

    passes = 0
    while True:
        changed[0] = False
        for r in subset:
            terms, k, sense, b = rows[r]
            if len(terms) == 1:
                x, a = terms[0]
                if abs(a) < FLOOR:
                    continue
                g = (b - k) / a
                if sense == EQ:
                    raise_lb(x, g)
                    lower_ub(x, g)
                elif sense == GE:
                    if a > 0:
                        raise_lb(x, g)
                    if a < 0:
                        lower_ub(x, g)
                else:
                    if a > 0:
                        lower_ub(x, g)
                    if a < 0:
                        raise_lb(x, g)
            for t, (x, a) in enumerate(terms):
                if abs(a) < FLOOR:
                    continue
                minrest, maxrest, finite = _rest(terms, k, lb, ub, t)
                if not finite:
                    continue
                if sense == GE and a > 0:
                    raise_lb(x, (b - maxrest) / a)
                elif sense == LE and a > 0:
                    lower_ub(x, (b - minrest) / a)
        passes += 1
        if not (changed[0] and passes < MAX_PASSES):
            break
    if any(lb[i] > ub[i] + TOL for i in range(len(boxes))):
        return True
    for r in subset:
        terms, k, sense, b = rows[r]
        if len(terms) < 2:
            continue
        minact = maxact = k
        for x, a in terms:
            minact += a * (lb[x] if a > 0 else ub[x])
            maxact += a * (ub[x] if a > 0 else lb[x])
        if sense in (LE, EQ) and minact > b + TOL:
            return True
        if sense in (GE, EQ) and b - TOL > maxact:
            return True
    return False


def reference_subsystem(boxes, rows):
    """Positions kept by the deletion filter (empty unless the whole set is
    proven infeasible)."""
    n = len(rows)
    included = [True] * n
    if not reference_infeasible(boxes, rows, range(n)):
        return []
    for c in range(n):
        if not included[c]:
            continue
        rest = [r for r in range(n) if included[r] and r != c]
        if reference_infeasible(boxes, rows, rest):
            included[c] = False
    return [r for r in range(n) if included[r]]


# --- building models -----------------------------------------------------------


def build(boxes, rows, names=None):
    m = po.Model()
    xs = [m.variable(f"v{i}", lo, hi) for i, (lo, hi) in enumerate(boxes)]
    for r, (terms, k, sense, b) in enumerate(rows):
        assert k == 0
        e = po.sum([a * xs[x] for x, a in terms])
        c = e <= b if sense == LE else e >= b if sense == GE else e == b
        m.add(c, name=None if names is None else names[r])
    m.minimize(po.sum(xs))
    return m


def report_of(boxes, rows, names=None):
    return build(boxes, rows, names).solve().infeasibility_report()


def random_model(rng, n_vars=None, n_rows=None):
    n_vars = n_vars or rng.randint(2, 5)
    n_rows = n_rows or rng.randint(2, 7)
    boxes = []
    for _ in range(n_vars):
        lo = -math.inf if rng.random() < 0.15 else float(rng.randint(-5, 0))
        hi = math.inf if rng.random() < 0.15 else float(rng.randint(1, 6))
        boxes.append((lo, hi))
    rows = []
    for _ in range(n_rows):
        nt = rng.randint(1, min(3, n_vars))
        vars_ = rng.sample(range(n_vars), nt)
        terms = [(x, float(rng.choice([-3, -2, -1, 1, 2, 3]))) for x in vars_]
        rows.append((terms, 0.0, rng.choice([LE, GE, EQ, LE, GE]), float(rng.randint(-8, 8))))
    return boxes, rows


def linprog_feasible(boxes, rows, subset):
    from scipy.optimize import linprog

    n = len(boxes)
    a_ub, b_ub, a_eq, b_eq = [], [], [], []
    for r in subset:
        terms, k, sense, b = rows[r]
        row = [0.0] * n
        for x, a in terms:
            row[x] += a
        if sense == LE:
            a_ub.append(row), b_ub.append(b - k)
        elif sense == GE:
            a_ub.append([-v for v in row]), b_ub.append(k - b)
        else:
            a_eq.append(row), b_eq.append(b - k)
    res = linprog(
        [0.0] * n,
        A_ub=a_ub or None,
        b_ub=b_ub or None,
        A_eq=a_eq or None,
        b_eq=b_eq or None,
        bounds=[(None if math.isinf(lo) else lo, None if math.isinf(hi) else hi) for lo, hi in boxes],
        method="highs",
    )
    assert res.status in (0, 2), res.message
    return res.status == 0


# --- tests -----------------------------------------------------------------------


def test_random_models_match_reference_and_linprog():
    rng = random.Random(20240611)
    found = feasible = 0
    for _ in range(250):
        boxes, rows = random_model(rng)
        rep = report_of(boxes, rows)
        expected = reference_subsystem(boxes, rows)
        assert rep["constraint_indices"] == expected, (boxes, rows)
        assert rep["num_constraints"] == len(expected)
        if expected:
            found += 1
            # A reported set is infeasible by itself ...
            assert not linprog_feasible(boxes, rows, expected), (boxes, rows, expected)
        if linprog_feasible(boxes, rows, range(len(rows))):
            feasible += 1
            # ... and a feasible model never yields one.
            assert expected == []
            assert rep["explanation"] == "No infeasible subsystem found."
    # The generator exercises both outcomes.
    assert found > 40 and feasible > 40


def test_larger_random_models_match_reference():
    # Longer rows exercise the prefix/suffix sums and the finiteness count.
    rng = random.Random(7)
    for _ in range(40):
        n_vars = rng.randint(6, 12)
        boxes = []
        for _ in range(n_vars):
            lo = -math.inf if rng.random() < 0.1 else float(rng.randint(-4, 0))
            hi = math.inf if rng.random() < 0.1 else float(rng.randint(1, 8))
            boxes.append((lo, hi))
        rows = []
        for _ in range(rng.randint(4, 12)):
            nt = rng.randint(1, min(7, n_vars))
            terms = [(x, rng.choice([-2.5, -1.0, 0.5, 1.0, 2.0, 3.0])) for x in rng.sample(range(n_vars), nt)]
            rows.append((terms, 0.0, rng.choice([LE, GE, EQ, LE, GE]), float(rng.randint(-10, 20))))
        assert report_of(boxes, rows)["constraint_indices"] == reference_subsystem(boxes, rows)


@pytest.mark.parametrize(
    "boxes, rows, expected",
    [
        # One infinite variable may still be bounded by the others' finite ones;
        # afterwards the next term of the row sees only finite terms.
        (
            [(-math.inf, 4.0), (0.0, 1.0), (0.0, 10.0)],
            [([(0, 1.0), (1, 1.0), (2, 1.0)], 0.0, GE, 9.0), ([(2, 1.0)], 0.0, LE, 3.0)],
            [0, 1],
        ),
        # Two infinite variables in a row: nothing follows from it.
        (
            [(-math.inf, math.inf), (-math.inf, math.inf)],
            [([(0, 1.0), (1, 1.0)], 0.0, GE, 3.0), ([(0, 1.0), (1, 1.0)], 0.0, LE, 1.0)],
            [],
        ),
        # A single-term row with a coefficient below the floor is skipped.
        (
            [(0.0, 1.0)],
            [([(0, 1e-16)], 0.0, GE, 5.0), ([(0, 1.0)], 0.0, LE, 1.0)],
            [],
        ),
        # A chain that needs one pass per link (each row is visited before the
        # row it depends on).
        (
            [(0.0, 10.0)] * 4,
            [
                ([(0, 1.0), (1, -1.0)], 0.0, LE, 1.0),
                ([(1, 1.0), (2, -1.0)], 0.0, LE, 1.0),
                ([(2, 1.0), (3, -1.0)], 0.0, LE, 1.0),
                ([(3, 1.0)], 0.0, LE, 2.0),
                ([(0, 1.0)], 0.0, GE, 6.0),
            ],
            [0, 1, 2, 3, 4],
        ),
        # Equality rows only propagate when they have a single term.
        (
            [(0.0, 10.0), (0.0, 10.0)],
            [([(0, 2.0)], 0.0, EQ, 4.0), ([(0, 1.0), (1, 1.0)], 0.0, EQ, 1.0)],
            [0, 1],
        ),
    ],
)
def test_filter_cases(boxes, rows, expected):
    assert reference_subsystem(boxes, rows) == expected
    assert report_of(boxes, rows)["constraint_indices"] == expected
