"""Model building API: constructor, variables, constraints, objective, cones,
getters, repr, classification, argument matching and the model lock."""
import math
import os
import sys

import pytest

import pelora_opt as po


def bounds_lines(m):
    lines = m.to_lp().splitlines()
    return lines[lines.index("Bounds") + 1:]


# --- construction, repr, docstrings ------------------------------------------


def test_constructor_and_repr():
    assert repr(po.Model()) == "Model('model', vars=0, constraints=0, type=LP)"
    assert repr(po.Model(None)) == repr(po.Model(name=None)) == repr(po.Model())
    assert repr(po.Model("m")) == "Model('m', vars=0, constraints=0, type=LP)"
    m = po.Model("plan")
    x = m.integer("x", 0, 5)
    m.variable("y")
    m.add(x <= 3)
    m.add(x * x <= 3)  # nonlinear: not counted
    assert repr(m) == "Model('plan', vars=2, constraints=1, type=NLP)"
    assert (m.num_vars, m.num_constraints) == (2, 1)


def test_class_and_getter_docstrings():
    assert po.Model.__doc__ == "The main Model class exposed to Python."
    assert po.Model.__text_signature__ == "(name=None)"
    assert po.Model.num_vars.__doc__ == "Number of variables."
    assert po.Model.num_constraints.__doc__ == "Number of constraints."
    assert po.Model.problem_type.__doc__ == "Detected problem type."


@pytest.mark.parametrize("method, signature, body", [
    ("variable", "($self, name, lower=None, upper=None)", "Add a continuous variable."),
    ("integer", "($self, name, lower=None, upper=None)", "Add an integer variable."),
    ("binary", "($self, name)", "Add a binary variable."),
    ("minimize", "($self, expr)", "Set the objective to minimize. Accepts Var, Expr, or QuadExpr."),
    ("maximize", "($self, expr)", "Set the objective to maximize. Accepts Var, Expr, or QuadExpr."),
    ("add", "($self, constraint, name=None)",
     "Add a constraint. Accepts a Constraint object, with optional name."),
    ("variables", "($self, prefix, count, lower=None, upper=None)",
     "Batch-add continuous variables. Returns a list of Var objects.\n"
     "Much faster than calling variable() in a loop for large models."),
    ("integers", "($self, prefix, count, lower=None, upper=None)", "Batch-add integer variables."),
    ("binaries", "($self, prefix, count, lower=0.0, upper=1.0)",
     "Batch-add binary variables.\n`lower` / `upper` (numbers or per-variable sequences within [0, 1]) may fix some of them."),
    ("to_lp", "($self)", "Export the model to LP format string."),
    ("to_python", "($self)", "Generate standalone Python code that recreates this model."),
    ("summary", "($self)", "Get a human-readable model summary."),
    ("validate", "($self)", "Validate the model before solving. Returns list of warning dicts."),
    ("add_soc_cone", "($self, vars)",
     "Declare a first-class second-order (Lorentz) cone (Ql_Ar_Phase 10.5).\n\n"
     "``vars = [head, x_1, …, x_k]`` imposes ``head >= ||(x_1,…,x_k)||_2``.\n"
     "A model with any cone is conic and is solved through Clarabel\n"
     "(``SecondOrderConeT``) automatically — no explicit ``solver=\"clarabel\"``\n"
     "needed. Combine with a quadratic/linear objective for SOCP."),
    ("add_psd_cone", "($self, entries)",
     "Declare a first-class positive-semidefinite cone (Ql_Opt_17): ``X ⪰ 0``.\n\n"
     "``entries`` are the variables of the **upper-triangle, column-major**\n"
     "svec of the symmetric d×d matrix ``X``, in the order\n"
     "``[X00, X01, X11, X02, X12, X22, …]`` (length ``d(d+1)/2``). A model with\n"
     "any cone auto-routes to Clarabel (``PSDTriangleConeT(d)``). The off-\n"
     "diagonal entries are √2-scaled internally per Clarabel's convention."),
])
def test_method_docstrings(method, signature, body):
    f = getattr(po.Model, method)
    assert f.__text_signature__ == signature
    assert f.__doc__ == body


def test_no_instance_dict_and_read_only_getters(model):
    with pytest.raises(AttributeError):
        model.num_vars = 3
    with pytest.raises(AttributeError):
        model.anything = 1


# --- variables ---------------------------------------------------------------------


def test_variable_kinds_and_bounds(model):
    x = model.variable("x")
    b = model.binary("b")
    n = model.integer("n", lower=0)
    c = model.variable("c", 1.5, upper=2)
    assert [repr(v) for v in (x, b, n, c)] == ["Var('x')", "Var('b')", "Var('n')", "Var('c')"]
    assert bounds_lines(model)[:4] == [" x free", " 0 <= b <= 1", " n >= 0", " 1.5 <= c <= 2"]
    assert repr(c + 0) == "x3"
    # bounds are stored unchecked, and accept anything float() accepts
    model.variable("r", lower=True, upper=2**3)
    model.variable("bad", 5, 4)
    assert bounds_lines(model)[4:6] == [" 1 <= r <= 8", " 5 <= bad <= 4"]


def test_batch_variables_continue_indices(model):
    model.variable("first")
    xs = model.variables("x", 3, lower=0)
    ns = model.integers("n", 2, 1, 9)
    bs = model.binaries("b", 2)
    assert [repr(v) for v in xs] == ["Var('x_0')", "Var('x_1')", "Var('x_2')"]
    assert [repr(v + 0) for v in xs + ns + bs] == [f"x{i}" for i in range(1, 8)]
    assert model.variables("empty", 0) == []
    assert model.num_vars == 8
    lp = model.to_lp()
    assert " x_2 >= 0" in lp and " 1 <= n_1 <= 9" in lp and " 0 <= b_1 <= 1" in lp
    assert lp.endswith("General\n n_0\n n_1\nBinary\n b_0\n b_1\nEnd\n")


def test_large_batch(model):
    xs = model.variables("x", 100_000, 0, 1)
    assert len(xs) == model.num_vars == 100_000
    assert repr(xs[-1]) == "Var('x_99999')" and repr(xs[-1] + 0) == "x99999"


def test_duplicate_names_both_exist(model):
    a = model.variable("x", 0, 1)
    b = model.variable("x", 2, 3)
    assert model.num_vars == 2
    assert repr(a + b) == "x0 + x1"
    assert bounds_lines(model)[:2] == [" 0 <= x <= 1", " 2 <= x_1 <= 3"]  # LP names stay unique


# --- constraints, objective, cones --------------------------------------------------


def test_add_stores_a_named_copy(model):
    x, y = model.variable("x"), model.variable("y")
    c = x + y <= 4
    model.add(c, name="cap")
    model.add(c)
    model.add(c, None)
    assert repr(c) == "x0 + x1 <= 4"  # the Constraint itself is unchanged
    assert model.num_constraints == 3
    lp = model.to_lp()
    assert " cap: x + y <= 4\n c1: x + y <= 4\n c2: x + y <= 4\n" in lp


def test_model_copy_is_independent_of_growing_expression(model):
    xs = model.variables("x", 50)
    e = xs[0] + xs[1]
    model.add(e <= 1, name="two")
    model.minimize(e)
    for v in xs[2:]:
        e = e + v  # grows the buffer the comparison was built from
    assert " obj: x_0 + x_1\n" in model.to_lp()
    assert " two: x_0 + x_1 <= 1\n" in model.to_lp()
    assert model.summary().endswith("2 nonzeros, type=LP")


@pytest.mark.parametrize("build, kind", [
    (lambda m, x, y: None, "LP"),
    (lambda m, x, y: m.minimize(x * y), "QP"),
    (lambda m, x, y: (m.minimize(x * y), m.binary("b")), "MIQP"),
    (lambda m, x, y: (m.minimize(x + y), m.integer("n")), "MILP"),
    (lambda m, x, y: m.binaries("b", 1), "MILP"),
    (lambda m, x, y: m.maximize(5), "LP"),
    (lambda m, x, y: m.minimize((x + y) * 1.0), "LP"),
    (lambda m, x, y: m.minimize(po.sin(x)), "NLP"),
    (lambda m, x, y: (m.minimize(po.sin(x)), m.binary("b")), "NLP"),
    (lambda m, x, y: m.minimize(po.sin(x) - po.sin(x) * 1 + x + 0 * po.cos(y)), "NLP"),
    (lambda m, x, y: m.add(x * y <= 1), "NLP"),
    (lambda m, x, y: m.add(po.sin(x) + y <= 1), "NLP"),
    (lambda m, x, y: (m.add(x * 1.0 + y <= 1), m.add_soc_cone([x, y])), "LP"),
    (lambda m, x, y: (m.minimize(x * x), m.add_psd_cone([x])), "QP"),
])
def test_classification(model, build, kind):
    x, y = model.variable("x"), model.variable("y")
    build(model, x, y)
    assert model.problem_type == kind
    assert repr(model).endswith(f"type={kind})")
    assert model.summary().endswith(f"type={kind}")


def test_objective_replaced_as_a_whole(model):
    x = model.variable("x")
    model.minimize(po.sin(x) * 0)  # zero-weighted nonlinear terms still count
    assert model.problem_type == "NLP"
    model.maximize((x + 1) * 1.0)
    assert model.problem_type == "LP"
    assert model.to_lp().startswith("\\ Problem: m\nMaximize\n obj: x + 1\n")


def test_quadratic_constraint_goes_to_nonlinear_list(model):
    x, y = model.variable("x"), model.variable("y")
    model.add(x * y <= 4, name="q")
    assert model.num_constraints == 0
    assert model.problem_type == "NLP"
    assert model.summary().startswith("Model 'm': 2 vars (2 cont, 0 int, 0 bin), 0 constraints")


def test_objective_kinds(model):
    x, y = model.variable("x"), model.variable("y")
    model.minimize(x)
    assert " obj: x\n" in model.to_lp()
    model.maximize(2 * x - y + 3)
    assert model.to_lp().startswith("\\ Problem: m\nMaximize\n obj: 2 x - y + 3\n")
    model.minimize(5)
    assert " obj: + 5\n" in model.to_lp() and "Minimize" in model.to_lp()
    model.minimize(True)
    assert " obj: + 1\n" in model.to_lp()


@pytest.mark.parametrize("cone, items, result", [
    ("soc", 2, 0), ("soc", 5, 0), ("psd", 1, 0), ("psd", 3, 0), ("psd", 6, 0), ("psd", 10, 0),
])
def test_cones_accepted(model, cone, items, result):
    xs = model.variables("x", items)
    add = model.add_soc_cone if cone == "soc" else model.add_psd_cone
    assert add(xs) == result
    assert add(tuple(xs)) == result + 1  # any sequence
    assert model.problem_type == "LP"


SOC_MSG = ("add_soc_cone: need at least 2 variables [head, x_1, …]; "
           "the cone imposes head >= ||(x_1,…)||_2.")
PSD_MSG = ("add_psd_cone: entry count must equal d(d+1)/2 for some d>=1 "
           "(upper-triangle, column-major svec of a symmetric matrix).")


@pytest.mark.parametrize("cone, items, msg", [
    ("soc", 0, SOC_MSG), ("soc", 1, SOC_MSG),
    ("psd", 0, PSD_MSG), ("psd", 2, PSD_MSG), ("psd", 4, PSD_MSG), ("psd", 7, PSD_MSG),
])
def test_cone_sizes_refused(model, cone, items, msg):
    xs = model.variables("x", items)
    add = model.add_soc_cone if cone == "soc" else model.add_psd_cone
    with pytest.raises(ValueError) as e:
        add(xs)
    assert str(e.value) == msg


@pytest.mark.parametrize("method, param", [("add_soc_cone", "vars"), ("add_psd_cone", "entries")])
def test_cone_argument_conversion(model, method, param):
    x = model.variable("x")
    add = getattr(model, method)
    cases = [
        ("xy", "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({"a": x}, "'dict' object cannot be converted to 'Sequence'"),
        (set(), "'set' object cannot be converted to 'Sequence'"),
        ([x, 2.5], "'float' object cannot be converted to 'Var'"),
        ([x, x + 1], "'Expr' object cannot be converted to 'Var'"),
    ]
    for value, msg in cases:
        with pytest.raises(TypeError) as e:
            add(value)
        assert str(e.value) == f"argument '{param}': {msg}"
    assert add([x] if method == "add_psd_cone" else [x, x]) == 0


# --- argument matching --------------------------------------------------------


@pytest.mark.parametrize("call, exc, msg", [
    (lambda m: m.variable(), TypeError,
     "Model.variable() missing 1 required positional argument: 'name'"),
    (lambda m: m.variable("x", bogus=1), TypeError,
     "Model.variable() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.variable("x", 0, 1, 2), TypeError,
     "Model.variable() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda m: m.variable(5), TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda m: m.integer("n", 0, upper=1, lower=2), TypeError,
     "Model.integer() got multiple values for argument 'lower'"),
    (lambda m: m.binary("b", 1), TypeError,
     "Model.binary() takes 1 positional arguments but 2 were given"),
    (lambda m: m.variables(), TypeError,
     "Model.variables() missing 2 required positional arguments: 'prefix' and 'count'"),
    (lambda m: m.binaries(prefix="b"), TypeError,
     "Model.binaries() missing 1 required positional argument: 'count'"),
    (lambda m: m.integers(None, 2), TypeError,
     "argument 'prefix': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda m: m.add(), TypeError, "Model.add() missing 1 required positional argument: 'constraint'"),
    (lambda m: m.add(5), TypeError,
     "argument 'constraint': 'int' object cannot be converted to 'Constraint'"),
    (lambda m: m.add(m.variable("z")), TypeError,
     "argument 'constraint': 'Var' object cannot be converted to 'Constraint'"),
    (lambda m: m.minimize(), TypeError, "Model.minimize() missing 1 required positional argument: 'expr'"),
    (lambda m: m.maximize(1, expr=2), TypeError, "Model.maximize() got multiple values for argument 'expr'"),
    (lambda m: m.minimize("a"), ValueError, "Expected Var, Expr, QuadExpr, NlExpr, or numeric value"),
    (lambda m: m.maximize(None), ValueError, "Expected Var, Expr, QuadExpr, NlExpr, or numeric value"),
    (lambda m: m.add_soc_cone(), TypeError,
     "Model.add_soc_cone() missing 1 required positional argument: 'vars'"),
    (lambda m: m.add_psd_cone([], []), TypeError,
     "Model.add_psd_cone() takes 1 positional arguments but 2 were given"),
    (lambda m: po.Model(1), TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda m: po.Model("a", "b"), TypeError,
     "Model.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda m: po.Model(title="a"), TypeError,
     "Model.__new__() got an unexpected keyword argument 'title'"),
])
def test_argument_errors(model, call, exc, msg):
    with pytest.raises(exc) as e:
        call(model)
    assert str(e.value) == msg


def test_conversion_errors_of_numbers(model):
    with pytest.raises(TypeError, match=r"^argument 'lower': "):
        model.variable("x", lower="a")
    with pytest.raises(TypeError, match=r"^argument 'upper': "):
        model.integers("x", 2, 0, upper="a")
    with pytest.raises(TypeError, match=r"^argument 'count': "):
        model.variables("x", 2.0)
    with pytest.raises(OverflowError):
        model.variables("x", -1)
    with pytest.raises(OverflowError):
        model.binaries("x", 2**64)
    with pytest.raises(OverflowError):
        model.variables("x", 2**40)  # beyond the index range, refused before anything is built
    with pytest.raises(TypeError):
        model.to_lp(1)
    with pytest.raises(TypeError):
        model.validate(strict=True)

    class Bad:
        def __float__(self):
            raise KeyError("boom")
    with pytest.raises(KeyError):  # a user's own failure passes through
        model.minimize(Bad())
    assert model.num_vars == 0


def test_failed_calls_leave_model_unchanged(model):
    x, y = model.variable("x", 0, 4), model.variable("y")
    model.maximize(x + 2 * y)
    model.add(x + y <= 3, name="c")
    assert model.add_soc_cone([x, y]) == 0
    before = (model.to_lp(), model.summary(), repr(model))
    failing = [
        lambda: model.minimize("a"),
        lambda: model.variable("z", lower="0"),  # (None is the default: unbounded)
        lambda: model.variables("z", 3, upper="x"),
        lambda: model.binaries("z", -2),
        lambda: model.add("c"),
        lambda: model.add(x <= 1, name=7),
        lambda: model.add_soc_cone([x, y, "z"]),
        lambda: model.add_soc_cone([x]),
        lambda: model.add_psd_cone([x, y]),
        lambda: model.variables("z", 2**40),
    ]
    for f in failing:
        with pytest.raises((TypeError, ValueError, OverflowError)):
            f()
    assert (model.to_lp(), model.summary(), repr(model)) == before
    assert model.add_soc_cone([y, x]) == 1  # the failed cones were not stored


# --- foreign variables and references --------------------------------------------


def test_var_from_another_model_is_refused(model):
    other = po.Model("big")
    far = other.variables("f", 10)[-1]
    x = model.variable("x", 0, 1)
    message = "^variable 'f_9' belongs to another model$"
    with pytest.raises(ValueError, match="^variable 'f_9' belongs to another model$"):
        x + 3 * far
    for refused in (lambda: model.add(far >= 1, name="only_far"), lambda: model.minimize(far),
                    lambda: model.add_soc_cone([far, x])):
        with pytest.raises(ValueError, match=message):
            refused()
    assert model.summary() == ("Model 'm': 1 vars (1 cont, 0 int, 0 bin), 0 constraints "
                               "(0 <=, 0 >=, 0 ==), 0 nonzeros, type=LP")
    assert [w["category"] for w in model.validate()] == ["unused_variable"]


def test_reference_counts_are_stable(model):
    x = model.variable("x")
    c = x <= 1
    e = x + 1
    name = "a-constraint-name"
    counts = [sys.getrefcount(o) for o in (x, c, e, name)]
    for _ in range(1000):
        model.add(c, name=name)
        model.minimize(e)
        model.maximize(x)
        model.add_soc_cone([x, x])
        with pytest.raises(TypeError):
            model.add_soc_cone([x, name])
    assert [sys.getrefcount(o) for o in (x, c, e, name)] == counts


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def _build_and_render():
    m = po.Model("leak")
    xs = m.variables("x", 40, 0, 10)
    ns = m.integers("n", 5, 0)
    bs = m.binaries("b", 5)
    for i in range(39):
        m.add(xs[i] + 2 * xs[i + 1] - ns[i % 5] <= i, name=f"c{i}")
    m.add(po.sum(xs) >= 1)
    m.add(xs[0] * xs[1] <= 4)
    m.maximize(po.sum(xs + bs))
    m.minimize(xs[0] * xs[1] + xs[2])
    m.add_soc_cone(xs[:3])
    m.add_psd_cone(xs[:6])
    for f in (lambda: m.minimize("bad"), lambda: m.add_psd_cone(xs[:2]),
              lambda: m.add_soc_cone("ab"), lambda: m.variable(3)):
        try:
            f()
        except (TypeError, ValueError):
            pass
    return repr(m), m.to_lp(), m.to_python(), m.summary(), m.validate(), m.problem_type


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer quarantines freed memory")
def test_repeated_builds_do_not_leak():
    for _ in range(100):
        _build_and_render()
    before = _rss_kib()
    for _ in range(5000):
        _build_and_render()
    grown = _rss_kib() - before
    assert grown < 2 * 1024, f"RSS grew by {grown} KiB over 5000 model builds"


def test_infinite_and_nan_bounds_round_trip(model):
    model.variable("x", -math.inf, math.inf)
    model.variable("y", math.nan, 1)
    with pytest.raises(ValueError, match="^to_lp: lower bound of 'y' is nan$"):
        model.to_lp()
    assert "y = m.variable('y', lower=float('nan'), upper=1)" in model.to_python()
