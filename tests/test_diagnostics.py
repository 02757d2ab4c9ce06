"""Result diagnostics through the Python surface: the infeasibility report's
texts, sensitivity data and the why/why_detail explanations."""


import pytest

import pelora_opt as po

NO_MODEL_DATA = "No model data stored \u2014 use Model.solve() for diagnostics"
REPORT_KEYS = ["constraint_indices", "constraint_names", "explanation", "suggestions", "num_constraints",
               "irreducible"]
EMPTY_REPORT = {
    "constraint_indices": [],
    "constraint_names": [],
    "explanation": "No infeasible subsystem found.",
    "suggestions": [],
    "num_constraints": 0,
    "irreducible": True,
}


def conflict_text(*lines):
    return (
        f"The following {len(lines)} constraints are mutually infeasible \u2014 no solution "
        "satisfies all of them simultaneously:\n  " + "\n  ".join(lines)
    )


# --- infeasibility report ---------------------------------------------------------


def test_report_names_the_conflicting_pair():
    m = po.Model()
    x, y = m.variable("x", 0, 10), m.variable("y", 0, 10)
    m.add(x + y <= 1, name="a")
    m.add(x + y >= 3, name="b")
    m.add(x - y <= 10, name="c")
    r = m.solve()
    assert r.status == "infeasible"
    rep = r.infeasibility_report()
    assert list(rep) == REPORT_KEYS
    assert rep == {
        "constraint_indices": [0, 1],
        "constraint_names": ["a", "b"],
        "explanation": conflict_text("'a' (a: x + y <= 1)", "'b' (b: x + y >= 3)"),
        "suggestions": ["Relax 'a': increase RHS from 1.0000", "Relax 'b': decrease RHS from 3.0000"],
        "num_constraints": 2,
        "irreducible": True,
    }
    # The report comes from the snapshot: changing the model afterwards does not show.
    m.add(x >= 20, name="late")
    assert r.infeasibility_report() == rep


def test_single_term_rows_conflict_through_bounds():
    m = po.Model()
    m.variables("X", 3)  # names that differ from the positions: X_0 .. X_2 come first
    x = m.variable("X3", 0, 10)
    m.add(x <= 1.23456)
    m.add(x >= 2)
    rep = m.solve().infeasibility_report()
    assert rep["constraint_indices"] == [0, 1]
    assert rep["constraint_names"] == ["unnamed", "unnamed"]
    assert rep["explanation"] == conflict_text("'constraint_0' (X3 <= 1.23456)", "'constraint_1' (X3 >= 2)")
    assert rep["suggestions"] == [
        "Relax 'constraint_0': increase RHS from 1.2346",
        "Relax 'constraint_1': decrease RHS from 2.0000",
    ]


def test_unnamed_member_and_equality_suggestion():
    m = po.Model()
    x, y = m.variable("x", 0, 10), m.variable("y", 0, 10)
    for i in range(4):  # harmless rows before the conflict
        m.add(x - y <= 9 + i, name=f"f{i}")
    m.add(x + y >= 15)
    m.add(x + y == 2, name="e")
    rep = m.solve().infeasibility_report()
    assert rep == {
        "constraint_indices": [4, 5],
        "constraint_names": ["unnamed", "e"],
        "explanation": conflict_text("'constraint_4' (x + y >= 15)", "'e' (e: x + y == 2)"),
        "suggestions": [
            "Relax 'constraint_4': decrease RHS from 15.0000",
            "Relax 'e': change from equality to inequality",
        ],
        "num_constraints": 2,
        "irreducible": True,
    }


def feasible_model():
    m = po.Model()
    x, y = m.variable("x", 0, 10), m.variable("y", 0, 10)
    m.add(x + y <= 8, name="a")
    m.add(x - y >= -3, name="b")
    m.maximize(x + y)
    return m


def hidden_conflict_model():
    # Infeasible, but free variables give bound propagation nothing to work
    # with: the solver's own subsystem names the pair.
    m = po.Model()
    x, y = m.variable("x"), m.variable("y")
    m.add(x + y >= 3, name="a")
    m.add(x + y <= 1, name="b")
    return m


def crossed_box_model():
    m = po.Model()
    x, y = m.variable("x", 5, 1), m.variable("y", 0, 1)
    m.add(x + y <= 3, name="a")
    return m


@pytest.mark.parametrize("make", [feasible_model, crossed_box_model])
def test_no_subsystem_unless_proven_infeasible(make):
    # A set that is not proven infeasible is never reported as a conflict.
    rep = make().solve().infeasibility_report()
    assert rep == EMPTY_REPORT
    assert list(rep) == REPORT_KEYS


def test_conflict_between_free_variables_comes_from_the_solver():
    rep = hidden_conflict_model().solve().infeasibility_report()
    assert rep["constraint_indices"] == [0, 1]
    assert rep["suggestions"] == [
        "Relax 'a': decrease RHS from 3.0000",
        "Relax 'b': increase RHS from 1.0000",
    ]


def test_report_needs_model_constraints():
    m = po.Model()
    x = m.variable("x", 0, 1)
    m.minimize(x)
    r = m.solve()
    with pytest.raises(ValueError) as e:
        r.infeasibility_report()
    assert str(e.value) == NO_MODEL_DATA


# --- sensitivity and explanations ------------------------------------------------------


@pytest.fixture(scope="module")
def production():
    """max 3x + 2y - z + w: x at its upper bound 3, y = 1 between its bounds
    (cap and an unnamed row bind), z at its lower bound, w fixed at 2."""
    m = po.Model()
    x = m.variable("x", 0, 3)
    y = m.variable("y", 0, 10)
    z = m.variable("z", 0, 10)
    w = m.variable("w", 2, 2)
    m.add(x + y <= 4, name="cap")
    m.add(x + 3 * y <= 6)
    m.add(x + y + z <= 100, name="slack")
    m.maximize(3 * x + 2 * y - z + w)
    r = m.solve()
    assert r.is_optimal
    return r, (x, y, z, w)


@pytest.mark.parametrize(
    "k, status, text, binding",
    [
        (
            0,
            "at_upper",
            "x = 3.000000 because it is at its upper bound (3.000000). 2 binding constraint(s) push it to this limit.",
            [(0, "cap"), (1, "c1")],
        ),
        (1, "between", "y = 1.000000 is determined by binding constraint(s): cap, unnamed", [(0, "cap"), (1, "c1")]),
        (2, "at_lower", "z = 0.000000 because it is at its lower bound (0.000000). No binding constraints force it higher.", []),
        (3, "fixed", "w = 2.000000 because it is fixed (lower = upper = 2.000000).", []),
    ],
)
def test_why_on_solved_model(production, k, status, text, binding):
    r, vs = production
    v = vs[k]
    assert r.why(v) == text
    d = r.why_detail(var=v)
    assert list(d) == ["variable", "value", "bound_status", "explanation", "binding_constraints"]
    assert d == {
        "variable": "xyzw"[k],
        "value": pytest.approx(r.value(v)),
        "bound_status": status,
        "explanation": text,
        "binding_constraints": binding,
    }


def test_sensitivity_on_solved_model(production):
    r, _ = production
    s = r.sensitivity()
    assert list(s) == ["shadow_prices", "most_impactful", "active_constraints", "variable_bounds"]
    duals = r.duals
    assert s["shadow_prices"] == [(0, "cap", duals[0]), (1, "c1", duals[1]), (2, "slack", duals[2])]
    assert s["most_impactful"][0] == (1, "c1", duals[1])
    assert s["active_constraints"] == [(0, "cap"), (1, "c1")]
    assert s["variable_bounds"] == [("x", "at_upper"), ("y", "between"), ("z", "at_lower"), ("w", "fixed")]


def test_at_bound_suffixes_with_binding_rows():
    m = po.Model()
    x = m.variable("x", 0, 10)
    y = m.variable("y", 0, 10)
    u = m.variable("u", 0, 10)
    m.add(x - y >= 0, name="link")
    m.add(u + y <= 10, name="top")
    m.add(u - 2 * y >= 10)
    m.minimize(x - u)
    r = m.solve()
    assert r.primals == pytest.approx([0, 0, 10])
    assert r.why(x) == (
        "x = 0.000000 because it is at its lower bound (0.000000). 1 binding constraint(s) involve this variable."
    )
    assert r.why(u) == (
        "u = 10.000000 because it is at its upper bound (10.000000). 2 binding constraint(s) push it to this limit."
    )
    assert r.why_detail(u)["binding_constraints"] == [(1, "top"), (2, "c2")]


def test_at_upper_without_binding_rows_has_no_suffix():
    m = po.Model()
    x = m.variable("x", 0, 10)
    m.add(x >= -5, name="loose")
    m.maximize(x)
    assert m.solve().why(x) == "x = 10.000000 because it is at its upper bound (10.000000)."


def test_integer_model_without_duals():
    m = po.Model()
    v = m.integer("v", 0)
    u = m.integer("u", 0)
    m.add(2 * v <= 7, name="half")
    m.add(u <= 2)
    m.maximize(v + u)
    r = m.solve()
    assert r.primals == pytest.approx([3, 2])
    assert r.why(v) == "v = 3.000000 \u2014 it is between its bounds [0.000000, inf] and no constraints are binding."
    assert r.why(u) == "u = 2.000000 is determined by binding constraint(s): unnamed"
    s = r.sensitivity()
    if r.duals is None:
        assert s["shadow_prices"] == [] and s["most_impactful"] == []
    assert s["active_constraints"] == [(1, "c1")]
    assert s["variable_bounds"] == [("v", "between"), ("u", "between")]


def test_most_impactful_keeps_constraint_order_on_ties():
    # min sum(c_i x_i) with one row per variable: each row's dual is its cost.
    m = po.Model()
    costs = [1, -7, 3, 7, 0, 2]
    xs = [m.variable(f"x{i}", 0, 10) for i in range(6)]
    for x, c in zip(xs, costs):
        m.add(x <= 1 if c < 0 else x >= 1)
    m.minimize(po.sum([c * x for c, x in zip(costs, xs)]))
    r = m.solve()
    assert r.duals == pytest.approx(costs)
    s = r.sensitivity()
    assert [p for p, _, _ in s["most_impactful"]] == [1, 3, 2, 5, 0]
    assert s["most_impactful"] == sorted(s["shadow_prices"], key=lambda t: -abs(t[2]))[:5]
    assert [n for _, n, _ in s["shadow_prices"]] == ["c0", "c1", "c2", "c3", "c4", "c5"]


def test_missing_solution():
    m = po.Model()
    x = m.variable("x", 0, 1)
    m.add(x >= 2, name="high")
    r = m.solve()
    assert r.status == "infeasible"
    with pytest.raises(ValueError):
        r.primals
    for method in (r.why, r.why_detail):
        with pytest.raises(ValueError) as e:
            method(x)
        assert str(e.value) == "No solution available"
    s = r.sensitivity()
    assert s["active_constraints"] == [] and s["variable_bounds"] == []
    if r.duals is None:
        assert s["shadow_prices"] == [] and s["most_impactful"] == []


def test_model_without_constraints():
    m = po.Model()
    x = m.variable("x", 0, 10)
    m.minimize(x)
    r = m.solve()
    with pytest.raises(ValueError) as e:
        r.why(x)
    assert str(e.value) == NO_MODEL_DATA
    d = r.why_detail(x)
    assert d["binding_constraints"] == []
    assert d["explanation"] == "x = 0.000000 because it is at its lower bound (0.000000). No binding constraints force it higher."
    assert r.sensitivity()["variable_bounds"] == [("x", "at_lower")]


def test_var_of_another_model(production):
    r, _ = production
    other = po.Model()
    foreign = other.variables("q", 9, 0, 1)[8]
    for method in (r.why, r.why_detail):
        with pytest.raises(ValueError, match="^variable 'q_8' belongs to another model$"):
            method(foreign)


def test_argument_checks(production):
    r, _ = production
    with pytest.raises(TypeError) as e:
        r.why(5)
    assert str(e.value) == "argument 'var': 'int' object cannot be converted to 'Var'"
    with pytest.raises(TypeError) as e:
        r.why_detail()
    assert str(e.value) == "Result.why_detail() missing 1 required positional argument: 'var'"
    with pytest.raises(TypeError):
        r.sensitivity(1)
    with pytest.raises(TypeError):
        r.infeasibility_report(1)


def test_docstrings(production):
    result_class = type(production[0])
    assert result_class.why.__doc__ == "Explain why a variable has its current value at the optimum."
    assert result_class.why_detail.__doc__ == 'Get detailed "why" report as a dict.'
    assert result_class.sensitivity.__doc__ == "Get sensitivity analysis: shadow prices, active constraints, bound status."
    assert result_class.infeasibility_report.__doc__ == (
        'Compute the Irreducible Infeasible Subsystem.\nOnly meaningful when status is "infeasible".'
    )
    assert result_class.why.__text_signature__ == "($self, var)"


def test_persistent_result_has_no_model_data():
    if not hasattr(po, "PersistentHighs"):
        pytest.skip("PersistentHighs is not registered in this build")
    ph = po.PersistentHighs.from_model(model=feasible_model())
    r = ph.resolve()
    with pytest.raises(ValueError) as e:
        r.infeasibility_report()
    assert str(e.value) == NO_MODEL_DATA
    s = r.sensitivity()
    assert s["shadow_prices"] == [] and s["active_constraints"] == [] and s["variable_bounds"] == []


def test_long_cycle_of_free_variables_needs_every_row():
    # x[i+1] >= x[i] + 1 around a cycle that allows only n - 1 in all: every
    # row is needed, and with free variables only the solver can say so (the
    # set is too long for the dual-ray shortcut, so HiGHS's search runs).
    n = 210
    m = po.Model()
    xs = [m.variable(f"x{i}") for i in range(n + 1)]
    for i in range(n):
        m.add(xs[i + 1] - xs[i] >= 1)
    m.add(xs[n] - xs[0] <= n - 1)
    m.minimize(xs[0])
    rep = m.solve().infeasibility_report()
    assert rep["constraint_indices"] == list(range(n + 1))
