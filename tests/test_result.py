"""The Result object: properties, value/values/basis, repr and the snapshot."""
import re

import pytest

import pelora_opt as po


def solved():
    m = po.Model("r")
    x = m.variable("x", lower=0, upper=4)
    y = m.variable("y", lower=0, upper=4)
    m.add(x + 2 * y <= 6, name="cap")
    m.maximize(x + y)
    return m, x, y, m.solve()


def test_properties_of_an_optimal_lp():
    m, x, y, r = solved()
    assert r.status == "optimal" and r.is_optimal is True
    assert r.objective == pytest.approx(5.0)
    assert r.solver == "HiGHS"
    assert isinstance(r.solve_time, float) and r.solve_time >= 0
    assert isinstance(r.iterations, int)
    assert r.nodes is None and r.gap is None
    assert r.primals == pytest.approx([4.0, 1.0])
    assert r.var_names_list == ["x", "y"]
    assert len(r.duals) == 1
    assert r.value(x) == pytest.approx(4.0)
    assert r.values() == pytest.approx({"x": 4.0, "y": 1.0})
    assert type(r.basis()).__name__ == "HighsBasis"
    assert r.basis() is r.basis()


def test_returned_lists_are_fresh_copies():
    _, _, _, r = solved()
    r.primals.append(1.0)
    r.duals.clear()
    r.var_names_list.pop()
    assert len(r.primals) == 2 and len(r.duals) == 1 and len(r.var_names_list) == 2


def test_properties_are_read_only_and_there_is_no_constructor():
    _, _, _, r = solved()
    with pytest.raises(AttributeError):
        r.status = "x"
    with pytest.raises(TypeError, match="No constructor defined for Result"):
        po.Result()
    assert po.Result.__doc__ == "The solve result returned to Python."
    assert po.Result.status.__doc__ == "Solution status as a string."
    assert po.Result.value.__doc__ == "Get the value of a variable by its Var reference."


def test_snapshot_does_not_see_later_model_changes():
    m, x, y, r = solved()
    z = m.variable("z", lower=0, upper=1)
    m.add(x + y + z <= 1)
    m.minimize(z)
    assert r.var_names_list == ["x", "y"]
    assert r.values() == pytest.approx({"x": 4.0, "y": 1.0})
    with pytest.raises(ValueError, match="No solution available"):
        r.value(z)  # index 2 is beyond the two primal values
    del m
    assert r.value(y) == pytest.approx(1.0)


def test_value_argument_rules():
    _, _, _, r = solved()
    with pytest.raises(TypeError, match="argument 'var': 'int' object cannot be converted to 'Var'"):
        r.value(5)
    with pytest.raises(TypeError, match=r"Result.value\(\) missing 1 required positional argument: 'var'"):
        r.value()


def test_duplicate_names_get_unique_keys():
    m = po.Model()
    a = m.variable("v", lower=1, upper=1)
    b = m.variable("v", lower=2, upper=2)
    m.variable("v_1", lower=3, upper=3)  # a taken suffix is skipped
    m.minimize(a + b)
    r = m.solve()
    assert r.values() == {"v": 1.0, "v_2": 2.0, "v_1": 3.0}
    assert r.var_names_list == ["v", "v", "v_1"]
    m = po.Model()
    a = m.variable("v", lower=1, upper=1)
    b = m.variable("v", lower=2, upper=2)
    m.minimize(a + b)
    r = m.solve()
    assert r.values() == {"v": 1.0, "v_1": 2.0}
    assert r.var_names_list == ["v", "v"]


def test_result_without_solution():
    m = po.Model()
    x = m.variable("x", lower=0, upper=1)
    m.add(x >= 3)
    r = m.solve()
    assert r.objective is None and r.duals is None and r.is_optimal is False
    for access in (lambda: r.primals, lambda: r.value(x), r.values):
        with pytest.raises(ValueError, match="^No solution available$"):
            access()
    assert re.fullmatch(r"SolveResult\(status=infeasible, solver=HiGHS, time=\d+\.\d{3}s\)", repr(r))


def test_repr_with_objective():
    _, _, _, r = solved()
    assert re.fullmatch(r"SolveResult\(status=optimal, objective=5\.000000, solver=HiGHS, "
                        r"time=\d+\.\d{3}s\)", repr(r))


def test_repr_of_a_huge_objective_uses_fixed_notation():
    m = po.Model()
    x = m.variable("x", lower=1, upper=1)
    m.minimize(1e15 * x)
    assert "objective=1000000000000000.000000," in repr(m.solve())
