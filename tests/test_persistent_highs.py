"""PersistentHighs: loading, in-place updates with their mirrors, re-solves."""
import math

import pytest

import pelora_opt as po
from pelora_opt import PersistentHighs


def lp():
    m = po.Model()
    x = m.variable("x", lower=0, upper=4)
    y = m.variable("y", lower=0, upper=4)
    m.add(x + 2 * y <= 6, name="cap")
    m.add(x - y >= -2)
    m.maximize(x + y)
    return m


def test_from_model_requires_a_model():
    with pytest.raises(ValueError, match="^model keyword required$"):
        PersistentHighs.from_model()
    with pytest.raises(ValueError, match="^model keyword required$"):
        PersistentHighs.from_model(verbose=True)
    with pytest.raises(TypeError, match="argument 'model': 'int' object cannot be converted to 'Model'"):
        PersistentHighs.from_model(model=5)
    with pytest.raises(TypeError, match="No constructor defined for PersistentHighs"):
        PersistentHighs()


def test_loaded_model_matches_model_solve():
    m = lp()
    p = PersistentHighs.from_model(model=m, threads=1, gap=0.0, time_limit=10.0)
    assert (p.num_cols(), p.num_rows()) == (2, 2)
    r = p.resolve()
    ref = m.solve()
    assert r.status == "optimal" and r.solver == "HiGHS"
    assert r.objective == pytest.approx(ref.objective)
    assert r.primals == pytest.approx(ref.primals)
    assert r.duals == pytest.approx(ref.duals)
    assert r.iterations is not None and r.basis() is not None
    assert r.nodes is None and r.gap is None
    # No model snapshot: no names, no values dict.
    assert r.var_names_list == [] and r.values() == {}
    again = p.resolve()
    assert (again.status, again.objective) == (r.status, r.objective)


def test_mirrors_and_updates():
    p = PersistentHighs.from_model(model=lp())
    assert p.col_bounds() == ([0.0, 0.0], [4.0, 4.0])
    assert p.row_bounds() == ([float("-inf"), -2.0], [6.0, float("inf")])
    assert p.col_costs() == [-1.0, -1.0]  # the maximisation is loaded negated

    p.update_col_bounds([0], [1.0], [2.0])
    assert p.col_bounds() == ([1.0, 0.0], [2.0, 4.0])
    assert p.resolve().primals == pytest.approx([2.0, 2.0])

    p.update_row_bounds([0], [float("-inf")], [4.0])
    assert p.row_bounds()[1][0] == 4.0
    assert p.resolve().objective == pytest.approx(3.0)  # x = 2, y = 1

    p.update_col_costs([1], [-3.0])  # maximise x + 3y in the loaded convention
    assert p.col_costs() == [-1.0, -3.0]
    r = p.resolve()
    assert r.primals == pytest.approx([1.0, 1.5]) and r.objective == pytest.approx(5.5)

    p.update_matrix_coeffs([0], [1], [1.0])  # x + y <= 4
    r = p.resolve()
    assert r.objective == pytest.approx(10.0)  # x = 1, y = 3
    assert p.row_bounds()[1][0] == 4.0  # the matrix is not mirrored, bounds unchanged


def test_maximising_objective_with_constant():
    m = po.Model()
    x = m.variable("x", upper=4)
    m.maximize(2 * x + 3)
    p = PersistentHighs.from_model(model=m)
    assert p.col_costs() == [-2.0]
    assert p.resolve().objective == pytest.approx(11.0)


def test_infeasible_resolve():
    p = PersistentHighs.from_model(model=lp())
    p.update_col_bounds([0, 1], [5.0, 5.0], [6.0, 6.0])
    r = p.resolve()
    assert r.status == "infeasible"
    assert r.objective is None and r.duals is None
    assert r.basis() is not None and r.iterations is not None


@pytest.mark.parametrize("call, exc, message", [
    (lambda p: p.update_col_bounds([0, 2], [0.0, 0.0], [1.0, 1.0]), IndexError,
     "column index 2 is out of range"),
    (lambda p: p.update_row_bounds([5], [0.0], [1.0]), IndexError, "row index 5 is out of range"),
    (lambda p: p.update_col_costs([0, 1], [1.0]), ValueError, "costs has 1 values but indices has 2"),
    (lambda p: p.update_col_bounds([0, 1], [1.0, 1.0], [2.0]), ValueError,
     "uppers has 1 values but indices has 2"),
    (lambda p: p.update_matrix_coeffs([0], [7], [1.0]), IndexError, "column index 7"),
    (lambda p: p.update_matrix_coeffs([0, 1], [0], [1.0, 1.0]), ValueError,
     "cols has 1 values but rows has 2"),
    (lambda p: p.update_col_bounds([-1], [0.0], [1.0]), OverflowError, None),
    (lambda p: p.update_col_bounds("ab", [0.0], [1.0]), TypeError,
     "argument 'indices': Can't extract `str` to `Vec`"),
    (lambda p: p.update_col_costs([0], 5), TypeError,
     "argument 'costs': 'int' object cannot be converted to 'Sequence'"),
])
def test_bad_updates_change_nothing(call, exc, message):
    p = PersistentHighs.from_model(model=lp())
    before = (p.col_bounds(), p.row_bounds(), p.col_costs())
    ref = p.resolve().objective
    with pytest.raises(exc, match=message):
        call(p)
    assert (p.col_bounds(), p.row_bounds(), p.col_costs()) == before
    assert p.resolve().objective == pytest.approx(ref)


def test_option_conversion_errors():
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyBool'"):
        PersistentHighs.from_model(model=lp(), verbose=1)
    with pytest.raises(TypeError):
        PersistentHighs.from_model(model=lp(), time_limit=None)


def test_later_model_changes_do_not_reach_the_loaded_model():
    m = lp()
    p = PersistentHighs.from_model(model=m)
    m.variable("z")
    m.add(m.variable("w") <= 1)
    assert (p.num_cols(), p.num_rows()) == (2, 2)


def test_integer_columns_are_loaded():
    m = po.Model()
    x = m.integer("x", lower=0, upper=10)
    m.add(2 * x <= 7)
    m.maximize(x)
    r = PersistentHighs.from_model(model=m).resolve()
    assert r.status == "optimal" and r.primals == pytest.approx([3.0])


def test_docstrings_and_signatures():
    assert PersistentHighs.__doc__ == ""
    assert PersistentHighs.from_model.__text_signature__ == "(**kwargs)"
    assert PersistentHighs.update_col_bounds.__text_signature__ == "($self, indices, lowers, uppers)"
    assert PersistentHighs.update_col_costs.__text_signature__ == "($self, indices, costs)"
    assert PersistentHighs.col_bounds.__doc__ == "Current (lower, upper) column bounds as loaded/updated."
    assert PersistentHighs.row_bounds.__doc__ == (
        "Current (lower, upper) row bounds as loaded/updated \u2014 Phase 18.a.")


@pytest.mark.parametrize("call, message", [
    (lambda p: p.update_col_bounds([0, 1], [0.0, math.nan], [1.0, 1.0]), "^lowers\\[1\\] is NaN$"),
    (lambda p: p.update_row_bounds([0], [0.0], [math.nan]), "^uppers\\[0\\] is NaN$"),
    (lambda p: p.update_col_costs([1, 0], [2.0, math.nan]), "^costs\\[1\\] is NaN$"),
    (lambda p: p.update_matrix_coeffs([0], [1], [math.nan]), "^values\\[0\\] is NaN$"),
])
def test_nan_updates_are_refused_before_any_change(call, message):
    # HiGHS would take a NaN cost or coefficient as it is, or refuse a NaN
    # bound while the mirror recorded it.
    p = PersistentHighs.from_model(model=lp())
    before = (p.col_bounds(), p.row_bounds(), p.col_costs())
    ref = p.resolve().objective
    with pytest.raises(ValueError, match=message):
        call(p)
    assert (p.col_bounds(), p.row_bounds(), p.col_costs()) == before
    assert p.resolve().objective == pytest.approx(ref)


@pytest.mark.parametrize("call, message, mirror", [
    (lambda p: p.update_col_bounds([1, 0], [1.0, math.inf], [1.0, math.inf]),
     r"^HiGHS refused the bounds \(inf, inf\) of column 0$",
     lambda p: p.col_bounds() == ([0.0, 1.0], [4.0, 1.0])),
    (lambda p: p.update_row_bounds([0], [-math.inf], [-math.inf]),
     r"^HiGHS refused the bounds \(-inf, -inf\) of row 0$",
     lambda p: p.row_bounds() == ([-math.inf, -2.0], [6.0, math.inf])),
    (lambda p: p.update_matrix_coeffs([0], [0], [math.inf]),
     r"^HiGHS refused the coefficient inf at row 0, column 0$", lambda p: True),
])
def test_changes_highs_refuses_raise_and_leave_the_mirror_true(call, message, mirror):
    # The entries before the refused one stay applied and mirrored; the
    # refused one reaches neither HiGHS nor the mirror.
    p = PersistentHighs.from_model(model=lp())
    with pytest.raises(ValueError, match=message):
        call(p)
    assert mirror(p)


def test_update_from_inside_a_running_call_is_refused(monkeypatch):
    import highspy

    p = PersistentHighs.from_model(model=lp())
    real_bounds, real_run = highspy.Highs.changeColBounds, highspy.Highs.run
    seen = []

    def nested_update(self, *args):
        try:
            p.update_col_costs([0], [5.0])
        except RuntimeError as e:
            seen.append(str(e))
        return real_bounds(self, *args)

    def nested_during_run(self):
        try:
            p.update_col_bounds([1], [0.0], [1.0])
        except RuntimeError as e:
            seen.append(str(e))
        seen.append(p.col_bounds())  # reading is allowed during a resolve
        return real_run(self)

    monkeypatch.setattr(highspy.Highs, "changeColBounds", nested_update)
    p.update_col_bounds([0], [1.0], [2.0])
    monkeypatch.setattr(highspy.Highs, "run", nested_during_run)
    assert p.resolve().status == "optimal"
    assert seen == ["Already borrowed", "Already borrowed", ([1.0, 0.0], [2.0, 4.0])]
    assert p.col_costs() == [-1.0, -1.0]


def test_updates_take_numpy_arrays():
    np = pytest.importorskip("numpy")
    p = PersistentHighs.from_model(model=lp())
    p.update_col_bounds(np.array([1, 0]), np.array([0.5, 1.0]), np.array([3.0, 2.0]))
    assert p.col_bounds() == ([1.0, 0.5], [2.0, 3.0])
    p.update_col_costs(np.arange(2), np.array([-2.0, -1.0]))
    p.update_matrix_coeffs(np.array([0], dtype=np.int32), [np.int64(1)], np.array([1.0]))
    assert p.col_costs() == [-2.0, -1.0]
    assert p.resolve().objective == pytest.approx(7.0)  # x = 2, y = 3: 2x + y
    with pytest.raises(TypeError, match="argument 'indices': 'float' object cannot be interpreted as an integer"):
        p.update_col_costs([1.0], [0.0])


@pytest.mark.parametrize("sense", ["min", "max"])
def test_quadratic_objective_is_loaded_whole(sense):
    # Loading only the linear part would answer a different problem (here the
    # LP min -3x is unbounded). x^2 + x*y + y^2 - 3x has its minimum -3 at (2, -1).
    m = po.Model()
    x, y = m.variable("x", -10, 10), m.variable("y", -10, 10)
    f = x * x + x * y + y * y - 3 * x
    if sense == "min":
        m.minimize(f + 1)
    else:
        m.maximize(-1 * f + 1)
    p = PersistentHighs.from_model(model=m)
    r = p.resolve()
    assert r.status == "optimal"
    assert r.primals == pytest.approx([2.0, -1.0], abs=1e-6)
    assert r.objective == pytest.approx(-2.0 if sense == "min" else 4.0, abs=1e-8)
    # A cost change re-solves the quadratic model: linear part -3x + 3y in
    # the loaded (minimisation) convention, in both senses, gives x = 3, y = -3.
    assert p.col_costs() == [-3.0, 0.0]
    p.update_col_costs([1], [3.0])
    r = p.resolve()
    assert r.primals == pytest.approx([3.0, -3.0], abs=1e-6)


def test_value_list_changed_by_a_conversion_is_read_safely():
    values = []

    class Shrinking:
        def __float__(self):
            values.clear()
            return -7.0

    values.extend([Shrinking(), Shrinking()])
    p = PersistentHighs.from_model(model=lp())
    p.update_col_costs([0], values)  # reads what the list holds as it goes
    assert p.col_costs() == [-7.0, -1.0]


def test_resolve_after_another_solve_resized_the_thread_scheduler():
    # HiGHS's thread scheduler is shared by the process: a solve with another
    # count in between must not leave a persistent model failing with "error".
    m = po.Model()
    x = m.variable("x", 0, 4)
    m.maximize(x)
    two = po.PersistentHighs.from_model(model=m, threads=2)
    auto = po.PersistentHighs.from_model(model=m)
    assert two.resolve().status == "optimal"
    for threads in (1, 2, 1):
        assert m.solve(threads=threads).status == "optimal"
        assert two.resolve().status == "optimal"
        assert auto.resolve().objective == pytest.approx(4.0)
