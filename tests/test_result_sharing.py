"""A Result shares the model's stored data until the model is edited: every
kind of edit after a solve leaves each earlier Result reading exactly what it
solved, a copied model and its original stay apart, and repeated solves keep
answering the model as it is now."""
import pickle

import pytest

import pelora_opt as po


def plan():
    m = po.Model("plan")
    x = m.variable("x", 0, 8)
    y = m.variable("y", 0, 20)
    z = m.variable("z", 0, 5)
    m.add(2 * x + 3 * y <= 14, name="wood")
    m.add(x + y + z <= 10, name="time")
    m.add(x - z >= -4)
    m.maximize(3 * x + 4 * y + 1.5 * z)
    return m


def seen(r, m):
    """Everything a Result answers from the model it solved."""
    x, z = m.vars[0], m.vars[2]
    return (r.to_dict(), r.var_names_list, r.duals, r.dual("wood"), r.sensitivity(),
            r.why_detail(x), r.why_detail(z), r.value(x + 2 * z), pickle.loads(pickle.dumps(r)).to_dict())


EDITS = {
    "bound": lambda m: setattr(m.var("x"), "upper", 1.0),
    "lower bound": lambda m: setattr(m.var("y"), "lower", 2.0),
    "kind": lambda m: setattr(m.var("z"), "kind", "binary"),
    "fix": lambda m: m.var("y").fix(1.0),
    "unfix": lambda m: (m.var("y").fix(1.0), m.solve(), m.var("y").unfix()),
    "rhs": lambda m: setattr(m.constraint("wood"), "rhs", 30.0),
    "coefficient": lambda m: m.set_coefficient("wood", m.var("y"), 1.0),
    "new coefficient": lambda m: m.set_coefficient("wood", m.var("z"), 2.0),
    "dropped coefficient": lambda m: m.set_coefficient("time", m.var("x"), 0.0),
    "add row": lambda m: m.add(m.var("x") + m.var("y") <= 3, name="extra"),
    "add rows from arrays": lambda m: m.add_matrix([[1.0, 1.0, 1.0]], m.vars[:3], ["<="], [2.0]),
    "remove row": lambda m: m.remove(m.constraint("wood")),
    "remove last row": lambda m: m.remove(m.constraints[-1]),
    "add variable": lambda m: m.variable("w", 0, 1),
    "add variables": lambda m: m.variables("v", 3, lower=0.0, upper=1.0),
    "objective": lambda m: m.minimize(m.var("x")),
}


@pytest.mark.parametrize("kind", sorted(EDITS))
def test_every_edit_after_a_solve_leaves_earlier_results_as_they_were(kind):
    m = plan()
    first = m.solve()
    second = m.solve()  # two Results sharing one model state
    expected = seen(first, m)
    assert seen(second, m) == expected
    EDITS[kind](m)
    after = m.solve()
    assert seen(first, m) == expected and seen(second, m) == expected
    # the model itself took the edit: it solves like a fresh model built with it
    fresh = plan()
    EDITS[kind](fresh)
    assert after.to_dict() == fresh.solve().to_dict()
    assert m.to_lp().split("\n", 1)[1] == fresh.to_lp().split("\n", 1)[1]


def test_copied_model_and_its_original_are_edited_apart():
    m = plan()
    r = m.solve()
    c = m.copy()
    c.var("x").upper = 1.0
    c.constraint("wood").rhs = 1.0
    c.set_coefficient("time", c.var("z"), 4.0)
    c.variable("extra", 0, 2)
    assert m.solve().to_dict() == r.to_dict()
    assert m.to_lp() == plan().to_lp()
    m.var("y").upper = 0.0
    assert c.var("y").upper == 20.0
    assert c.num_vars == 4 and m.num_vars == 3


def test_repeated_solve_and_edit_rounds_keep_every_result():
    m = plan()
    wood = m.constraint("wood")
    kept = []
    for k in range(6):
        wood.rhs = 10.0 + k
        r = m.solve()
        kept.append((r, r.to_dict(), r.sensitivity()))
    for r, d, s in kept:
        assert r.to_dict() == d and r.sensitivity() == s
    objectives = [r.objective for r, _, _ in kept]
    assert objectives == sorted(objectives) and len(set(objectives)) == 6
