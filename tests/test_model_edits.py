"""Models you can change and inspect: variables of another model are refused,
handles and lookups, edits re-solved against models built fresh with the
edited data, evaluation of expressions on a Result, indexed variables, MIP
start forms."""
import math

import numpy as np
import pytest

import pelora_opt as po


def plan(rhs=(14.0, 10.0), lower=0.0, bound=8.0, coef=3.0, kind="continuous", drop_first=False):
    """A small LP/MILP built from scratch with the given data."""
    m = po.Model("plan")
    x = m.variable("x", lower, bound)
    y = m.variable("y", 0, 20)
    if kind == "integer":
        m.integer("z", 0, 5)
    else:
        m.variable("z", 0, 5)
    z = m.var("z")
    if not drop_first:
        m.add(2 * x + coef * y <= rhs[0], name="wood")
    m.add(x + y + z <= rhs[1], name="time")
    m.maximize(3 * x + 4 * y + 1.5 * z)
    return m


def lp_tail(m):
    # Everything but the comment line that names the model.
    return m.to_lp().split("\n", 1)[1]


# --- variables of another model (fault) ------------------------------------------------


def test_variables_of_another_model_are_refused_everywhere():
    a, b = po.Model("a"), po.Model("b")
    xa = a.variable("x", 0, 10)
    z = b.variable("z", 0, 10)
    b.add(2 * z <= 6)
    b.maximize(z)
    rb = b.solve()
    msg_x, msg_z = "^variable 'x' belongs to another model$", "^variable 'z' belongs to another model$"
    for mixed in (lambda: xa + z, lambda: z * xa, lambda: po.sum([xa, z]), lambda: xa <= z,
                  lambda: (xa + 1) * z, lambda: po.sin(xa) + z, lambda: po.dot([1.0, 1.0], [xa, z])):
        with pytest.raises(ValueError, match="belongs to another model"):
            mixed()
    before = b.to_lp()
    for refused in (lambda: b.add(xa <= 6), lambda: b.minimize(2 * xa), lambda: b.maximize(xa * xa),
                    lambda: b.add(po.sin(xa) <= 1), lambda: b.add_soc_cone([z, xa]),
                    lambda: b.add_matrix(np.ones((1, 1)), [xa], "<=", 1),
                    lambda: b.set_coefficient(b.constraints[0], xa, 1.0),
                    lambda: rb.value(xa), lambda: rb.value(2 * xa + 1), lambda: rb.why(xa),
                    lambda: rb.why_detail(xa), lambda: b.solve(warm_start={xa: 1.0})):
        with pytest.raises(ValueError, match=msg_x):
            refused()
    assert b.to_lp() == before and b.num_constraints == 1
    assert rb.value(z) == 3.0
    # an expression without variables belongs to no model
    b.add(xa - xa + 0 * 1 <= 1)
    assert b.num_constraints == 2
    # a model that is gone is still another model
    gone = po.Model().variables("g", 3)
    with pytest.raises(ValueError, match="^variable 'g_2' belongs to another model$"):
        b.add_matrix(np.ones((1, 1)), [gone[2]], "<=", 1)
    with pytest.raises(ValueError, match=msg_z):
        a.add(z >= 1)


# --- handles ----------------------------------------------------------------------------


def test_handles_lookups_and_positions():
    m = po.Model()
    x, y = m.variable("x"), m.variable("y")
    c0 = m.add(x <= 1, name="c0")
    c1 = m.add(x + y >= 2)
    c2 = m.add(x * y <= 4, name="curve")
    c3 = m.add(y <= 9, name="top")
    assert (c1.name, c1.index, c1.sense, c1.rhs, c1.nonlinear) == (None, 1, ">=", 2.0, False)
    assert (c2.index, c2.nonlinear, c3.index) == (0, True, 2)
    assert m.constraint("top") == c3 and hash(m.constraint("top")) == hash(c3)
    assert {c0: "a", c3: "b"}[m.constraint("top")] == "b"
    assert m.var("y").index == 1 and m.var("y").name == "y"
    assert [(v.name, v.index) for v in m.vars] == [("x", 0), ("y", 1)]
    assert list(m.constraints) == [c0, c1, c3, c2]
    with pytest.raises(KeyError, match="no variable named 'xx'; close names: 'x'"):
        m.var("xx")
    with pytest.raises(KeyError, match="no constraint named 'tpo'; close names: 'top'"):
        m.constraint("tpo")
    m.remove(c0)
    assert (c1.index, c3.index, m.num_constraints) == (0, 1, 2)
    with pytest.raises(ValueError, match="^constraint was removed from the model$"):
        c0.rhs
    with pytest.raises(ValueError, match="^constraint was removed from the model$"):
        m.remove(c0)
    m.remove("curve")
    assert m.problem_type == "LP" and m.num_constraints == 2
    assert repr(c3) == "ConstraintRef('top', index=1)"
    other = po.Model()
    other.variable("x")
    with pytest.raises(ValueError, match="constraint belongs to another model"):
        other.remove(c1)


def test_rows_added_one_by_one_and_in_blocks_keep_their_handles():
    # Rows arrive one at a time and in blocks, interleaved; every handle keeps
    # pointing at its own row through removals.
    m = po.Model()
    x, y = m.variables("x", 2)
    refs = []
    for i in range(3000):
        refs.append(m.add(x + (i + 1) * y <= i, name=f"r{i}"))
        if i % 1000 == 999:
            m.add_matrix(np.array([[1.0, float(i)]]), [x, y], "<=", [float(i)])
    assert m.num_constraints == 3003
    assert [r.index for r in refs[998:1002]] == [998, 999, 1001, 1002]
    for r in refs[::2]:
        m.remove(r)
    kept = refs[1::2]
    assert m.num_constraints == 1503
    assert [r.index for r in kept[:3]] == [0, 1, 2]
    assert all(m.constraint(f"r{2 * k + 1}") == r for k, r in enumerate(kept))
    assert [r.rhs for r in kept[-3:]] == [2995.0, 2997.0, 2999.0]
    assert m.constraints[-2] == kept[-1] and m.constraints[-1].name is None


def test_item_access_looks_up_and_deletes_constraints():
    m = po.Model()
    x = m.variable("x", 0, 10)
    cap = m.add(x <= 4, name="cap")
    m.add(2 * x <= 9, name="half")
    m.maximize(x)
    assert m["cap"] == cap
    del m["cap"]                       # by name
    assert (m.num_constraints, m.solve().objective) == (1, 4.5)
    with pytest.raises(ValueError, match="^constraint was removed from the model$"):
        del m[cap]
    del m[m["half"]]                   # by handle
    assert m.num_constraints == 0 and m.solve().objective == 10.0
    with pytest.raises(KeyError, match="half"):
        m["half"]
    with pytest.raises(TypeError, match="item assignment"):
        m["cap"] = x <= 1
    with pytest.raises(TypeError, match="constraint names"):
        m[0]
    assert m.num_constraints == 0


# --- edits, then re-solve -------------------------------------------------------------------


@pytest.mark.parametrize("edit, fresh", [
    (lambda m: m.constraint("wood").__setattr__("rhs", 20.0), lambda: plan(rhs=(20.0, 10.0))),
    (lambda m: setattr(m.var("x"), "upper", 2.5), lambda: plan(bound=2.5)),
    (lambda m: m.var("x").fix(1.0), lambda: plan(lower=1.0, bound=1.0)),
    (lambda m: m.set_coefficient("wood", m.var("y"), 5.0), lambda: plan(coef=5.0)),
    (lambda m: m.remove(m.constraint("wood")), lambda: plan(drop_first=True)),
    (lambda m: setattr(m.var("z"), "kind", "integer"), lambda: plan(kind="integer")),
])
def test_every_edit_solves_and_exports_like_a_fresh_model(edit, fresh):
    m = plan()
    before = m.solve()
    before_values = before.values()
    edit(m)
    f = fresh()
    r, rf = m.solve(), f.solve()
    assert r.status == rf.status == "optimal"
    assert r.objective == pytest.approx(rf.objective, abs=1e-9)
    assert r.values() == pytest.approx(rf.values(), abs=1e-9)
    assert lp_tail(m) == lp_tail(f)
    assert m.to_python().split("\n", 3)[3] == f.to_python().split("\n", 3)[3]
    assert m.summary() == f.summary() and m.validate() == f.validate()
    # the earlier Result is as it was
    assert before.values() == before_values and before.objective == plan().solve().objective
    hp = po.PersistentHighs.from_model(model=m)
    assert hp.resolve().objective == pytest.approx(rf.objective, abs=1e-9)


def test_fix_unfix_kind_and_bad_edits_leave_the_model_as_it_was():
    m = plan()
    x, z = m.var("x"), m.var("z")
    x.fix(2.0)
    assert (x.lower, x.upper) == (2.0, 2.0)
    x.fix(3.0)
    x.unfix()  # back to the bounds before the first fix
    assert (x.lower, x.upper) == (0.0, 8.0)
    x.unfix()  # not fixed: nothing
    z.kind = "binary"
    assert (z.kind, z.lower, z.upper) == ("binary", 0.0, 1.0)
    z.kind = "continuous"
    assert (z.kind, z.upper) == ("continuous", 1.0)
    before = m.to_lp()
    c = m.constraint("wood")
    for bad, exc, msg in [
        (lambda: setattr(x, "lower", float("nan")), ValueError, "lower bound must not be NaN"),
        (lambda: setattr(c, "rhs", math.nan), ValueError, "rhs must not be NaN"),
        (lambda: m.set_coefficient(c, x, math.nan), ValueError, "coefficient must not be NaN"),
        (lambda: x.fix(math.inf), ValueError, "fix: the value must be a finite number"),
        (lambda: setattr(x, "kind", "real"), ValueError, 'kind must be "continuous"'),
        (lambda: setattr(x, "upper", "a"), TypeError, "upper must be a number"),
        (lambda: m.set_coefficient(m.add(x * x <= 1), x, 2.0), ValueError, "only linear constraints"),
    ]:
        with pytest.raises(exc, match=msg):
            bad()
    m.remove(m.constraints[-1])
    assert m.to_lp() == before
    b = m.binary("b")
    with pytest.raises(ValueError, match="bounds of binary variable 'b' must lie in"):
        b.upper = 2.0
    m.set_coefficient(c, x, 0.0)  # removes the term
    assert "2 x" not in m.to_lp().split("wood")[1].split("\n")[0]


def test_qp_and_nlp_edits_match_fresh_models():
    def qp(upper):
        m = po.Model()
        x = m.variable("x", 0, upper)
        y = m.variable("y", 0, 10)
        m.add(x + y >= 4, name="need")
        m.minimize(x * x + y * y - 2 * x)
        return m
    m = qp(10.0)
    m.solve()
    m.var("x").upper = 1.0
    r, rf = m.solve(), qp(1.0).solve()
    assert r.objective == pytest.approx(rf.objective, abs=1e-4)

    def nlp(rhs):
        m = po.Model()
        x = m.variable("x", 0.1, 5)
        m.add(x * x * x <= rhs, name="cube")
        m.minimize(-x + po.sin(x) * 0.1)
        return m
    m = nlp(8.0)
    m.solve()
    m.constraint("cube").rhs = 2.0
    r, rf = m.solve(), nlp(2.0).solve()
    assert r.objective == pytest.approx(rf.objective, abs=1e-6)
    assert m.var("x") is not None and r.value(m.var("x")) == pytest.approx(2.0 ** (1 / 3), abs=1e-5)


def test_earlier_result_and_its_diagnostics_survive_edits():
    m = po.Model()
    x, y = m.variable("x", 0, 10), m.variable("y", 0, 10)
    a = m.add(x + y <= 1, name="a")
    m.add(x + y >= 3, name="b")
    r = m.solve()
    rep = r.infeasibility_report()
    a.rhs = 5
    m.set_coefficient(a, x, 2.0)
    m.var("x").upper = 0.5
    m.remove("b")
    assert r.infeasibility_report() == rep
    assert m.solve().status == "optimal"


# --- evaluation -------------------------------------------------------------------------------


def test_value_of_every_expression_kind_dual_and_to_dict():
    m = po.Model()
    x, y = m.variable("x", 0, 4), m.variable("y", 0, 4)
    cap = m.add(x + 2 * y <= 6, name="cap")
    m.add(x - y <= 1)
    m.maximize(x + y)
    r = m.solve()
    vx, vy = r.value(x), r.value(y)
    assert r.value(2 * x + y - 1) == pytest.approx(2 * vx + vy - 1)
    assert r.value(x * y + x) == pytest.approx(vx * vy + vx)
    assert r.value(po.sin(x) * y + po.exp(y)) == pytest.approx(math.sin(vx) * vy + math.exp(vy))
    assert r.value(x - x + 5) == 5.0
    assert r.dual(cap) == r.dual("cap") == r.duals[0]
    d = r.to_dict()
    assert d == {"status": "optimal", "objective": r.objective, "values": {"x": vx, "y": vy},
                 "duals": {"cap": r.duals[0], "c1": r.duals[1]}}
    m2 = po.Model()
    u = m2.variable("u", 0, 1)
    m2.add(u <= 1, name="same")
    m2.add(2 * u <= 3, name="same")
    m2.maximize(u)
    assert list(m2.solve().to_dict()["duals"]) == ["same", "same_1"]
    late = m.add(y <= 3)
    with pytest.raises(ValueError, match="not in the model when it was solved"):
        r.dual(late)
    with pytest.raises(KeyError):
        r.dual("nope")
    with pytest.raises(TypeError, match="cannot be converted to 'Var'"):
        r.value("x")


# --- indexed variables ------------------------------------------------------------------------


def test_indexed_variables_by_shape_and_keys():
    m = po.Model()
    X = m.variables("x", (2, 3), lower=0, upper=1)
    assert isinstance(X, np.ndarray) and X.shape == (2, 3) and X.dtype == object
    assert X[1, 2].name == "x[1,2]" and X[0, 0].index == 0 and X[1, 0].index == 3
    K = m.integers("n", ["a", ("b", 2)], lower=0, upper=9)
    assert list(K) == ["a", ("b", 2)] and K[("b", 2)].name == "n[b,2]" and K["a"].kind == "integer"
    B = m.binaries("s", range(2))
    assert [v.name for v in B.values()] == ["s[0]", "s[1]"]
    assert m.variables("e", (0, 4)).shape == (0, 4)
    with pytest.raises(ValueError, match="key 'a' repeated"):
        m.variables("d", ["a", "a"])
    m.add(po.sum(list(X.flat)) <= 4)
    m.maximize(po.sum(list(X.flat)) + K["a"])
    r = m.solve()
    assert r.objective == pytest.approx(13.0)
    assert r.values()["n[a]"] == 9.0


# --- MIP start --------------------------------------------------------------------------------


def knapsack():
    m = po.Model()
    xs = m.integers("x", 30, 0, 10)
    for i in range(29):
        m.add(3 * xs[i] + 5 * xs[i + 1] <= 17 + i % 7)
    m.maximize(po.sum([(1 + i % 3) * v for i, v in enumerate(xs)]))
    return m, xs


def test_mip_start_forms_reach_highs(capfd):
    m, xs = knapsack()
    best = m.solve()
    capfd.readouterr()
    m.solve(warm_start={xs[0]: 1.0}, verbose=True)
    assert "User-supplied values fix only 1 / 30 discrete variables" in capfd.readouterr().out
    full = {v: best.value(v) for v in xs}
    for start in (full, list(best.primals)):
        assert m.solve(warm_start=start, verbose=True).objective == best.objective
        assert "MIP start solution is feasible: objective value is -%d" % best.objective in capfd.readouterr().out
    with pytest.raises(ValueError, match="^warm_start: 2 values for 30 variables"):
        m.solve(warm_start=[1.0, 2.0])
    with pytest.raises(TypeError, match="dict keys must be Var"):
        m.solve(warm_start={"x_0": 1.0})
