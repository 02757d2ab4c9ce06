"""Infeasibility report: reported subsystems checked infeasible and
irreducible with scipy's linprog, with and without the LP package's help."""

import math
import os
import random
import sys

import pytest

import pelora_opt as po

LE, GE, EQ = "<=", ">=", "=="

# A model is (boxes, rows): boxes a list of (lower, upper), rows a list of
# (terms, constant, sense, rhs) with terms a list of (variable, coefficient)
# in stored order.


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
    # scipy's default HiGHS method may stall on badly scaled sets ("unknown");
    # the interior point method and the dual simplex then decide.
    for method in ("highs", "highs-ipm", "highs-ds"):
        res = linprog(
            [0.0] * n,
            A_ub=a_ub or None,
            b_ub=b_ub or None,
            A_eq=a_eq or None,
            b_eq=b_eq or None,
            bounds=[(None if math.isinf(lo) else lo, None if math.isinf(hi) else hi) for lo, hi in boxes],
            method=method,
        )
        if res.status in (0, 2):
            break
    assert res.status in (0, 2), res.message
    return res.status == 0


def assert_irreducible(boxes, rows, subset):
    """The set admits no point, and dropping any one member makes it feasible."""
    assert not linprog_feasible(boxes, rows, subset), (boxes, rows, subset)
    for drop in subset:
        rest = [r for r in subset if r != drop]
        assert linprog_feasible(boxes, rows, rest), (boxes, rows, subset, drop)


def propagation_only(result):
    """The report computed without the LP package (bound propagation alone)."""
    saved = sys.modules.get("highspy")
    sys.modules["highspy"] = None
    try:
        return result.infeasibility_report()
    finally:
        sys.modules["highspy"] = saved


# --- tests -----------------------------------------------------------------------


@pytest.mark.parametrize("seed, count, size", [(20240611, 250, None), (7, 40, (6, 12))])
def test_random_models_get_irreducible_subsystems(seed, count, size):
    rng = random.Random(seed)
    found = feasible = by_propagation = 0
    for _ in range(count):
        if size:
            boxes, rows = random_model(rng, rng.randint(*size), rng.randint(4, 12))
        else:
            boxes, rows = random_model(rng)
        result = build(boxes, rows).solve()
        rep = result.infeasibility_report()
        alone = propagation_only(result)["constraint_indices"]
        if linprog_feasible(boxes, rows, range(len(rows))):
            feasible += 1
            # A feasible model never yields a subsystem, with or without the LP check.
            assert rep["constraint_indices"] == [] and alone == []
            assert rep["explanation"] == "No infeasible subsystem found."
            continue
        found += 1
        assert result.status == "infeasible"
        assert rep["num_constraints"] == len(rep["constraint_indices"]) > 0, (boxes, rows)
        assert_irreducible(boxes, rows, rep["constraint_indices"])
        assert rep["irreducible"] is True
        if alone:
            by_propagation += 1
            assert not linprog_feasible(boxes, rows, alone), (boxes, rows, alone)
    assert found > 10 and feasible > 10
    # Propagation proves most of these small models on its own.
    assert by_propagation > found // 2


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
        # Two free variables: propagation proves nothing, the solver's own
        # subsystem names both rows.
        (
            [(-math.inf, math.inf), (-math.inf, math.inf)],
            [([(0, 1.0), (1, 1.0)], 0.0, GE, 3.0), ([(0, 1.0), (1, 1.0)], 0.0, LE, 1.0)],
            [0, 1],
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
        # Equality rows bound their terms from both sides.
        (
            [(0.0, 10.0), (0.0, 10.0)],
            [([(0, 2.0)], 0.0, EQ, 4.0), ([(0, 1.0), (1, 1.0)], 0.0, EQ, 1.0)],
            [0, 1],
        ),
        # y is unbounded above, which the upper bound x gets from row 0 does
        # not need; the negative coefficient of x in row 1 then caps z below
        # its own lower bound.
        (
            [(0.0, math.inf), (0.0, math.inf), (2.0, 5.0)],
            [
                ([(0, 1.0), (1, 1.0)], 0.0, LE, 1.0),
                ([(2, 1.0), (0, -1.0)], 0.0, LE, 0.0),
                ([(2, 1.0), (1, 1.0)], 0.0, LE, 9.0),
            ],
            [0, 1],
        ),
    ],
)
def test_filter_cases(boxes, rows, expected):
    result = build(boxes, rows).solve()
    assert result.infeasibility_report()["constraint_indices"] == expected
    assert_irreducible(boxes, rows, expected)


def test_propagation_alone_finds_the_simple_contradictions():
    # Equalities as both sides, negative coefficients, and a variable
    # unbounded on the side that does not matter, without any LP package.
    cases = [
        ([(0.0, 10.0)] * 2, [([(0, 1.0), (1, 1.0)], 0.0, EQ, 1.0), ([(0, 1.0), (1, 1.0)], 0.0, EQ, 3.0)]),
        ([(0.0, 10.0)] * 2, [([(0, -1.0), (1, -1.0)], 0.0, GE, -1.0), ([(0, -1.0), (1, -1.0)], 0.0, LE, -3.0)]),
        (
            [(0.0, math.inf), (0.0, math.inf), (2.0, 5.0)],
            [([(0, 1.0), (1, 1.0)], 0.0, LE, 1.0), ([(2, 1.0), (0, -1.0)], 0.0, LE, 0.0)],
        ),
    ]
    for boxes, rows in cases:
        result = build(boxes, rows).solve()
        assert propagation_only(result)["constraint_indices"] == [0, 1]


def test_rounding_never_proves_a_feasible_model_infeasible():
    # Large magnitudes: x + y == 1e9 + 0.1 with y == 0.1 fixed by a row; the
    # propagated bounds carry rounding far above an absolute 1e-8.
    m = po.Model()
    x = m.variable("x", 0, 2e9)
    y = m.variable("y", 0, 1)
    z = m.variable("z", -1e9, 1e9)
    m.add(x + y == 1e9 + 0.1)
    m.add(10 * y == 1)
    m.add(x - 3 * z == 1e9 - 3 * 0.7)
    m.add(z + y <= 0.8)
    m.minimize(x)
    result = m.solve()
    assert result.status == "optimal"
    assert result.infeasibility_report()["constraint_indices"] == []
    assert propagation_only(result)["constraint_indices"] == []


def data_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    for d in (os.environ.get("PELORA_DATA"), "/work/shared/data", os.path.join(here, "..", "..", "shared", "data")):
        if d and os.path.isdir(d):
            return d
    return None


def read_lp(path):
    """(boxes, rows) of an MPS file read by highspy; a ranged row becomes a
    `>=` row and a `<=` row."""
    highspy = pytest.importorskip("highspy")
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(path)
    lp = h.getLp()
    big = 1e30

    def side(v):
        return v if abs(v) < big else math.copysign(math.inf, v)

    boxes = [(side(lo), side(hi)) for lo, hi in zip(lp.col_lower_, lp.col_upper_)]
    terms = [[] for _ in range(lp.num_row_)]
    a = lp.a_matrix_
    start, index, value = list(a.start_), list(a.index_), list(a.value_)
    for j in range(lp.num_col_):
        for p in range(start[j], start[j + 1]):
            terms[index[p]].append((j, value[p]))
    rows = []
    for t, lo, hi in zip(terms, lp.row_lower_, lp.row_upper_):
        lo, hi = side(lo), side(hi)
        if lo == hi:
            rows.append((t, 0.0, EQ, lo))
            continue
        if math.isfinite(lo):
            rows.append((t, 0.0, GE, lo))
        if math.isfinite(hi):
            rows.append((t, 0.0, LE, hi))
    return boxes, rows


# refinery: HiGHS's simplex answers "unknown" for the set without one member
# of the subsystem propagation finds; the check then tries its interior
# point method, which proves that set infeasible, so the member goes.
@pytest.mark.parametrize("name", ["galenet", "itest2", "itest6", "woodinfe", "refinery"])
def test_infeasible_netlib_models(name):
    d = data_dir()
    path = d and os.path.join(d, "infeasible", name + ".mps.gz")
    if not path or not os.path.exists(path):
        pytest.skip("public test data not available")
    boxes, rows = read_lp(path)
    result = build(boxes, rows).solve()
    assert result.status == "infeasible"
    rep = result.infeasibility_report()
    assert rep["num_constraints"] > 0
    assert_irreducible(boxes, rows, rep["constraint_indices"])
    assert rep["irreducible"] is True


# --- an LP check that cannot decide ------------------------------------------------


def stubborn_highspy(decides):
    """highspy whose run() leaves the status unset ("unknown") unless the
    options set so far satisfy `decides`."""
    import types

    highspy = pytest.importorskip("highspy")
    fake = types.ModuleType("highspy")
    fake.__dict__.update({k: v for k, v in vars(highspy).items() if not k.startswith("__")})

    class Highs(highspy.Highs):
        def __init__(self):
            super().__init__()
            self.seen = {}

        def setOptionValue(self, name, value):
            self.seen[name] = value
            return super().setOptionValue(name, value)

        def run(self):
            return super().run() if decides(self.seen) else highspy.HighsStatus.kOk

    fake.Highs = Highs
    return fake


THREE_ROWS = (
    [(0.0, 10.0)] * 2,
    [
        ([(0, 1.0), (1, 1.0)], 0.0, LE, 1.0),
        ([(0, 1.0), (1, 1.0)], 0.0, GE, 3.0),
        ([(0, 1.0), (1, -1.0)], 0.0, GE, 2.0),
    ],
)


def test_undecided_members_are_kept_and_said_so(monkeypatch):
    result = build(*THREE_ROWS).solve()
    monkeypatch.setitem(sys.modules, "highspy", stubborn_highspy(lambda seen: False))
    rep = result.infeasibility_report()
    # Propagation's set stands, but nothing shows it cannot shrink.
    assert rep["constraint_indices"] == [0, 2] and rep["irreducible"] is False
    assert list(rep)[-1] == "irreducible"


def test_undecided_sets_go_to_the_interior_point_method(monkeypatch):
    result = build(*THREE_ROWS).solve()
    tried = []

    def decides(seen):
        tried.append(dict(seen))
        return seen.get("solver") == "ipm"

    monkeypatch.setitem(sys.modules, "highspy", stubborn_highspy(decides))
    rep = result.infeasibility_report()
    assert rep["constraint_indices"] == [0, 2] and rep["irreducible"] is True
    assert any(t.get("solver") == "ipm" for t in tried)
    assert_irreducible(*THREE_ROWS, [0, 2])
