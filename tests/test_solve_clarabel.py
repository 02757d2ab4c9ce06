"""The conic adapter through the real clarabel package: SOC and PSD models with
known optima, routing, statuses; a recording stand-in for the row layout and
for status texts a real solve does not produce on demand."""
import math
import sys
import types

import numpy as np
import pytest

import pelora_opt as po

SQRT2 = 1.4142135623730951


def distance_model(sense="min"):
    """Distance from (3, 4) to the half-plane x + y <= 1: 6 / sqrt(2)."""
    m = po.Model("distance")
    t = m.variable("t")
    x = m.variable("x")
    y = m.variable("y")
    dx = m.variable("dx")
    dy = m.variable("dy")
    m.add(x + y <= 1)
    m.add(dx - x == -3)
    m.add(dy - y == -4)
    m.add_soc_cone([t, dx, dy])
    if sense == "min":
        m.minimize(t)
    else:
        m.maximize(-1 * t + 5)
    return m, (t, x, y)


@pytest.mark.parametrize("sense", ["min", "max"])
def test_point_to_half_plane_distance(sense):
    m, (t, x, y) = distance_model(sense)
    r = m.solve()
    assert (r.solver, r.status) == ("Clarabel", "optimal")
    d = 6 / math.sqrt(2)
    assert r.objective == pytest.approx(d if sense == "min" else -d + 5, abs=1e-7)
    assert [r.value(x), r.value(y)] == pytest.approx([0.0, 1.0], abs=1e-6)
    assert r.iterations > 0 and r.basis() is None
    # d(objective)/d(rhs) of each linear row, in the model's sense
    price = -1 / math.sqrt(2) if sense == "min" else 1 / math.sqrt(2)
    assert r.duals == pytest.approx([price] * 3, abs=1e-6)


def eigen_model(matrix, sense="min"):
    """lambda_max(M) = min t  s.t.  t*I - M is PSD."""
    d = len(matrix)
    m = po.Model("eig")
    t = m.variable("t")
    entries = []
    for j in range(d):
        for i in range(j + 1):
            v = m.variable(f"X{i}{j}")
            entries.append(v)
            m.add((v - t if i == j else 1 * v) == -matrix[i][j])
    m.add_psd_cone(entries)
    if sense == "min":
        m.minimize(t)
    else:
        m.maximize(-1 * t)
    return m


@pytest.mark.parametrize("sense", ["min", "max"])
def test_largest_eigenvalue_through_a_psd_cone(sense):
    mat = np.array([[2.0, 1.0, 0.5, 0.0], [1.0, 3.0, 1.0, -1.0], [0.5, 1.0, 4.0, 0.2],
                    [0.0, -1.0, 0.2, 1.0]])
    r = eigen_model(mat.tolist(), sense).solve()
    assert (r.solver, r.status) == ("Clarabel", "optimal")
    top = np.linalg.eigvalsh(mat).max()
    assert r.objective == pytest.approx(top if sense == "min" else -top, abs=1e-6)


def test_nearest_correlation_matrix():
    # The correlation matrix nearest (on the off-diagonals) to one whose
    # off-diagonals are all -0.9 has all of them at -0.5, the PSD limit.
    m = po.Model()
    entries, off = [], []
    for j in range(3):
        for i in range(j + 1):
            v = m.variable(f"X{i}{j}")
            entries.append(v)
            if i == j:
                m.add(v == 1)
            else:
                off.append(v)
    m.add_psd_cone(entries)
    quad = off[0] * off[0] + off[1] * off[1] + off[2] * off[2]
    m.minimize(quad + po.sum([1.8 * v for v in off]) + 2.43)
    r = m.solve()
    assert r.status == "optimal"
    assert [r.value(v) for v in off] == pytest.approx([-0.5] * 3, abs=1e-6)
    assert r.objective == pytest.approx(3 * 0.4 ** 2, abs=1e-7)


def integer_cone_model():
    m = po.Model()
    t = m.variable("t")
    k = m.integer("k", lower=0, upper=5)
    m.add(k >= 1.5)
    m.add_soc_cone([t, k])
    m.minimize(t)
    return m, k


def test_integer_variables_in_a_cone_model_keep_integrality(capfd):
    m, k = integer_cone_model()
    r = m.solve()
    assert r.solver == "SCIP" and r.status == "optimal"
    assert r.value(k) == 2.0 and r.objective == pytest.approx(2.0, abs=1e-6)
    # Naming Clarabel still answers with the relaxation, with a warning.
    r = m.solve(solver="clarabel")
    assert r.solver == "Clarabel" and r.objective == pytest.approx(1.5, abs=1e-6)
    assert "Clarabel ignores integrality" in capfd.readouterr().err


def test_integer_variables_with_a_psd_cone_are_refused(capfd):
    m = po.Model()
    a, b, c = (m.variable(n) for n in "abc")
    k = m.integer("k", lower=0, upper=3)
    m.add(a + c - k == 0.5)
    m.add_psd_cone([a, b, c])
    m.minimize(a + c)
    r = m.solve()
    assert (r.status, r.objective, r.solver) == ("error", None, "none")
    err = capfd.readouterr().err
    assert err.startswith("[pelora-opt] error: no available solver keeps integrality with PSD cones")
    assert m.solve(solver="clarabel").status == "optimal"


def test_integer_soc_model_without_scip_is_refused(capfd, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "pyscipopt", None)  # import raises ImportError
    m, _ = integer_cone_model()
    r = m.solve()
    assert (r.status, r.objective) == ("error", None)
    assert "pyscipopt is not installed" in capfd.readouterr().err


def test_qp_on_request_matches_highs():
    m = po.Model()
    x = m.variable("x", lower=0, upper=3)
    y = m.variable("y", lower=-1)
    m.add(x + y == 2)
    m.add(1 <= x - y)
    m.minimize(x * x + 2 * (y * y) + x * y - x)
    r = m.solve(solver="clarabel")
    ref = m.solve(solver="highs")
    assert r.primals == pytest.approx(ref.primals, abs=1e-6)
    assert r.objective == pytest.approx(ref.objective, abs=1e-7)


@pytest.mark.parametrize("case, status", [("infeasible", "infeasible"), ("unbounded", "unbounded")])
def test_statuses(case, status):
    m = po.Model()
    t = m.variable("t")
    a = m.variable("a")
    m.add_soc_cone([t, a])
    if case == "infeasible":
        m.add(t <= 1)
        m.add(a >= 2)
        m.minimize(t)
    else:
        m.minimize(-1 * t)
    r = m.solve()
    assert (r.status, r.objective) == (status, None)


def test_time_limit():
    m = po.Model()
    xs = m.variables("x", 40)
    for i in range(39):
        m.add_soc_cone([xs[i], xs[i + 1]])
    m.add(xs[39] >= 1)
    m.minimize(po.sum(xs))
    r = m.solve(time_limit=0.0)
    assert (r.status, r.objective) == ("time_limit", None)


@pytest.mark.parametrize("build, message", [
    (lambda m, x: m.add(po.sqrt(x) <= 2), "Clarabel cannot solve a model with nonlinear terms"),
    (lambda m, x: m.add(x >= float("nan")), "constraint 0 has a NaN right-hand side"),
    (lambda m, x: m.variable("w", upper=float("nan")), "variable 'w' has a NaN bound"),
])
def test_models_it_would_misread_are_refused(build, message):
    m = po.Model()
    x = m.variable("x")
    m.add_soc_cone([m.variable("t"), x])
    build(m, x)
    m.minimize(x)
    with pytest.raises(ValueError, match=message):
        m.solve()


# --- the row layout and status texts through a recording stand-in ------------------

class Solution:
    def __init__(self, status, n):
        self.status = StatusText(status)
        self.x = [0.5] * n
        self.obj_val = 2.0
        self.iterations = 9


class StatusText:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class Settings:
    pass


@pytest.fixture
def fake_clarabel(monkeypatch):
    mod = types.ModuleType("clarabel")
    mod.calls = []
    mod.status = "Solved"
    for name in ("ZeroConeT", "NonnegativeConeT", "SecondOrderConeT", "PSDTriangleConeT"):
        setattr(mod, name, (lambda nm: lambda n: (nm, n))(name))
    mod.DefaultSettings = Settings

    class DefaultSolver:
        def __init__(self, *a):
            mod.calls.append(a)

        def solve(self):
            return Solution(mod.status, self_n(mod.calls[-1]))

    def self_n(args):
        return args[1].shape[0]

    mod.DefaultSolver = DefaultSolver
    monkeypatch.setitem(sys.modules, "clarabel", mod)
    return mod


def test_soc_rows_and_bounds(fake_clarabel):
    m = po.Model()
    t = m.variable("t", lower=0)
    x = m.variable("x", upper=3)
    y = m.variable("y")
    m.add_soc_cone([t, x, y])
    m.minimize(t)
    m.solve()
    p, q, a, b, cones, settings = fake_clarabel.calls[0]
    assert cones == [("NonnegativeConeT", 2), ("SecondOrderConeT", 3)]
    # bound rows (t >= 0, x <= 3), then the cone rows -t, -x, -y
    assert a.toarray() == pytest.approx(np.array([[-1, 0, 0], [0, 1, 0], [-1, 0, 0], [0, -1, 0],
                                                  [0, 0, -1]], dtype=float))
    assert b == pytest.approx([0, 3, 0, 0, 0])
    assert (p.shape, p.nnz) == ((3, 3), 0)
    assert q == pytest.approx([1, 0, 0])
    assert (settings.verbose, settings.tol_feas, settings.tol_gap_abs, settings.tol_gap_rel) == (
        False, 1e-9, 1e-9, 1e-9)
    assert not hasattr(settings, "time_limit")
    m.solve(time_limit=4.0)
    assert fake_clarabel.calls[1][5].time_limit == 4.0


def test_psd_rows_ranges_and_equalities(fake_clarabel):
    m = po.Model()
    a, b, c = m.variable("a"), m.variable("b"), m.variable("c")
    m.add(1 <= a + b)
    m.add(a + b <= 3)
    m.add(b - c == 2)
    m.add_psd_cone([a, b, c])
    m.minimize(a * a + a * b + c)
    m.solve()
    p, q, mat, rhs, cones, _ = fake_clarabel.calls[0]
    assert cones == [("ZeroConeT", 1), ("NonnegativeConeT", 2), ("PSDTriangleConeT", 2)]
    assert mat.toarray() == pytest.approx(np.array([
        [0, 1, -1],          # b - c == 2
        [-1, -1, 0],         # a + b >= 1
        [1, 1, 0],           # a + b <= 3
        [-1, 0, 0],          # PSD (0,0)
        [0, -SQRT2, 0],      # PSD (0,1)
        [0, 0, -1],          # PSD (1,1)
    ], dtype=float))
    assert rhs == pytest.approx([2, -1, 3, 0, 0, 0])
    # the upper triangle of Q: diagonal 2c, off-diagonal c
    assert p.toarray() == pytest.approx(np.array([[2, 1, 0], [0, 0, 0], [0, 0, 0]], dtype=float))


def test_ranged_row_gives_two_rows_in_either_order(fake_clarabel):
    m = po.Model()
    x, y = m.variable("x"), m.variable("y")
    m.add(x + y >= 1)
    m.add(x + y <= 3)
    m.add_soc_cone([x, y])
    m.minimize(x)
    m.solve()
    _, _, mat, rhs, cones, _ = fake_clarabel.calls[0]
    rows = {(tuple(r), v) for r, v in zip(mat.toarray()[:2].tolist(), rhs[:2])}
    assert rows == {((1.0, 1.0), 3.0), ((-1.0, -1.0), -1.0)}
    assert cones[0] == ("NonnegativeConeT", 2)


@pytest.mark.parametrize("text, status", [
    ("Solved", "optimal"),
    ("AlmostSolved", "optimal"),
    ("PrimalInfeasible", "infeasible"),
    ("AlmostPrimalInfeasible", "infeasible"),
    ("DualInfeasible", "unbounded"),
    ("MaxIterations", "time_limit"),
    ("MaxTime", "time_limit"),
    ("NumericalError", "unknown"),
    ("InsufficientProgress", "unknown"),
])
def test_status_texts(fake_clarabel, text, status):
    fake_clarabel.status = text
    m, _ = distance_model("max")
    r = m.solve()
    assert (r.status, r.iterations) == (status, 9)
    if status == "optimal":
        assert r.objective == 3.0  # maximising: -(package value 2 + offset -5)
        assert r.primals == [0.5] * 5
