"""Model.validate: warning records, their order, messages and number formats."""
import math

import pytest

import pelora_opt as po


def found(m):
    return [(w["severity"], w["category"], w["message"]) for w in m.validate()]


def test_records_are_plain_string_dicts(model):
    model.variable("x", 5, 4)
    w, unused = model.validate()
    assert unused["category"] == "unused_variable"
    assert type(w) is dict and set(w) == {"severity", "category", "message"}
    assert all(type(v) is str for v in w.values())
    assert w["severity"] == "ERROR" and w["category"] == "infeasible_bounds"


def test_empty_model(model):
    assert model.validate() == []


def test_infeasible_bounds_and_unused_variables(model):
    model.variable("x", 5, 4)
    model.variable("tight", 1, 1 - 1e-12)  # within the 1e-10 slack
    model.integer("far", 1e5, -2.5)
    assert found(model) == [
        ("ERROR", "infeasible_bounds", "Variable 'x' has infeasible bounds: lower=5.0000 > upper=4.0000"),
        ("ERROR", "infeasible_bounds",
         "Variable 'far' has infeasible bounds: lower=100000.0000 > upper=-2.5000"),
        ("INFO", "unused_variable", "Variable 'x' is not used in any constraint"),
        ("INFO", "unused_variable", "Variable 'tight' is not used in any constraint"),
        ("INFO", "unused_variable", "Variable 'far' is not used in any constraint"),
    ]


def test_zero_coefficient_counts_as_use(model):
    x, y = model.variable("x", 0, 1), model.variable("y", 0, 1)
    model.add(x * 0 <= 1)
    model.minimize(y)  # the objective is not inspected
    assert found(model) == [("INFO", "unused_variable", "Variable 'y' is not used in any constraint")]


@pytest.mark.parametrize("coefs, message", [
    ((1e-3, 1e4), "Coefficient range is 1e7 (min=1.00e-3, max=1.00e4) — may cause numerical issues. "
                  "Consider scaling."),
    ((2.5, -5e9), "Coefficient range is 2e9 (min=2.50e0, max=5.00e9) — may cause numerical issues. "
                  "Consider scaling."),
    ((1.0, 1e6), None),       # exactly 1e6
    ((1e-16, 1e3), None),     # at or below 1e-15: ignored
    ((0.0, 1e9), None),
])
def test_coefficient_range(model, coefs, message):
    x, y = model.variable("x", 0, 1), model.variable("y", 0, 1)
    model.add(coefs[0] * x <= 1)
    model.add(coefs[1] * y <= 1)
    scaling = [w for w in found(model) if w[1] == "scaling"]
    assert scaling == ([("WARN", "scaling", message)] if message else [])


def test_large_rhs_and_empty_constraints(model):
    x = model.variable("x", 0, 1)
    model.add(x <= 1)
    model.add(x >= -1e13, name="deep")
    model.add(x - x <= 1)
    model.add(x <= 2e12)
    model.add(x - x == 1e12)  # not above 1e12
    assert found(model) == [
        ("WARN", "large_rhs", "Constraint 'deep' has very large RHS: -1.00e13"),
        ("WARN", "large_rhs", "Constraint 'constraint_3' has very large RHS: 2.00e12"),
        ("INFO", "empty_constraint", "2 constraint(s) have no variables"),
    ]


@pytest.mark.parametrize("build, message", [
    (lambda x, y: x + y <= -1,
     "Constraint 'unnamed' is trivially infeasible: min activity 0.0000 > RHS -1.0000"),
    (lambda x, y: x + y == -1, None),
    (lambda x, y: x <= -1, None),  # single terms are not tested
    (lambda x, y: x + 2 * y >= 30.5,
     "Constraint 'unnamed' is trivially infeasible: max activity 30.0000 < RHS 30.5000"),
    (lambda x, y: x + 2 * y >= 30 + 1e-7, None),  # within the 1e-6 slack
    (lambda x, y: -x - y >= 0.25,
     "Constraint 'unnamed' is trivially infeasible: max activity 0.0000 < RHS 0.2500"),
    (lambda x, y: 3 - x - y <= -25 + 3,
     "Constraint 'unnamed' is trivially infeasible: min activity -20.0000 > RHS -25.0000"),
    (lambda x, y: 3 - x - y <= -20 + 3, None),
])
def test_trivially_infeasible(model, build, message):
    x, y = model.variable("x", 0, 10), model.variable("y", 0, 10)
    model.add(build(x, y))
    got = [w for w in found(model) if w[1] == "trivially_infeasible"]
    assert got == ([("ERROR", "trivially_infeasible", message)] if message else [])


def test_infinite_bounds_make_that_side_unbounded(model):
    x = model.variable("x", 0)  # unbounded above
    y = model.variable("y", 0, 1)
    f = model.variable("f")
    w = model.variable("w", 0)
    model.add(x + y >= 5, name="open")
    model.add(-x - y >= 1, name="neg")  # x's lower bound is finite: max activity 0
    model.add(f + y <= -1e21, name="huge")
    model.add(f + y <= -1e30, name="huger")
    model.add(w + y >= 1e25, name="far")
    model.add(0 * f + y >= 2, name="zero")  # a zero coefficient leaves the side finite
    assert [w for w in found(model) if w[1] == "trivially_infeasible"] == [
        ("ERROR", "trivially_infeasible",
         "Constraint 'neg' is trivially infeasible: max activity 0.0000 < RHS 1.0000"),
        ("ERROR", "trivially_infeasible",
         "Constraint 'zero' is trivially infeasible: max activity 1.0000 < RHS 2.0000"),
    ]


def test_every_constraint_kind_counts_as_use(model):
    x, y, z, h, t, p = (model.variable(n, 0, 1) for n in "xyzhtp")
    idle = model.variable("idle", 0, 1)
    model.add(x * y <= 1)  # quadratic
    model.add(po.sin(z) * idle <= 0.5)  # nonlinear
    model.add_soc_cone([h, t])
    model.add_psd_cone([p])
    assert found(model) == []


def test_check_order_across_categories(model):
    x, y = model.variable("x", 2, 1), model.variable("y", 0, 1)
    model.variable("idle")
    model.add(1e-4 * x + 1e3 * y <= -1)
    model.add(x - x >= 3e12)
    assert [w[1] for w in found(model)] == ["infeasible_bounds", "unused_variable", "scaling",
                                            "large_rhs", "empty_constraint",
                                            "trivially_infeasible"]


def test_foreign_variables_never_reach_the_model(model):
    fs = po.Model("other").variables("f", 20, 5, 6)
    x = model.variable("x", 0, 1)
    with pytest.raises(ValueError, match="belongs to another model"):
        model.add(1e-9 * fs[18] + x + fs[19] <= -3)
    with pytest.raises(ValueError, match="belongs to another model"):
        model.add(fs[19] >= 0)
    y = model.variable("y", 0, 1)
    model.add(x + y <= -3)
    assert found(model) == [
        ("ERROR", "trivially_infeasible",
         "Constraint 'unnamed' is trivially infeasible: min activity 0.0000 > RHS -3.0000"),
    ]


def test_validate_does_not_change_the_model(model):
    x = model.variable("x", 3, 1)
    model.add(x <= -1)
    before = model.to_lp()
    assert model.validate() == model.validate()
    assert model.to_lp() == before


def test_nan_values_do_not_raise(model):
    x, y = model.variable("x", math.nan, 1), model.variable("y", 0, math.nan)
    model.add(x + y <= math.nan)
    assert found(model) == []
