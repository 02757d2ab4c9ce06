"""Module frame: registration order, docstrings, repeated import, argument
matching messages (through sum/sin/cos/sqrt and Model)."""
import importlib
import sys

import pytest

import pelora_opt as po

ORDER = [
    "Model", "Var", "Expr", "QuadExpr", "NlExpr", "Constraint", "Result", "BlackBoxResult",
    "PersistentHighs", "minimize", "maximize", "sum", "sin", "cos", "sqrt", "solve_de",
    "solve_pso", "solve_sa", "solve_cmaes", "pareto_frontier", "stochastic_solve",
    "solve_portfolio", "solve_parallel_de", "solve_admm", "read_model", "exp", "log", "dot",
    "quad_form", "ConstraintRef", "PeloraWarning",
]


def test_all_lists_registered_names_in_order():
    names = list(po.__all__)
    assert len(set(names)) == len(names)
    assert names == [n for n in ORDER if n in names]  # registered ones keep the fixed order
    for n in ["Var", "Expr", "QuadExpr", "NlExpr", "Constraint", "sum", "sin", "cos", "sqrt"]:
        assert n in names
    for n in names:
        assert getattr(po, n) is not None
    if len(names) == len(ORDER):
        assert names == ORDER


def test_repeated_import_gives_the_same_module():
    again = importlib.import_module("pelora_opt")
    assert again is po
    saved = sys.modules.pop("pelora_opt")
    try:
        fresh = importlib.import_module("pelora_opt")
        assert fresh is saved
        assert fresh.Var is po.Var
    finally:
        sys.modules["pelora_opt"] = saved


CLASS_DOCS = {
    "Var": "A variable reference returned to Python. Supports operator overloading\n"
           "to build expressions naturally: `x + 2*y >= 5`.",
    "Expr": "A linear expression in Python. Built by combining Var objects with +, -, *.",
    "QuadExpr": "A quadratic expression: linear + quadratic terms.\n"
                "Supports x**2, x*y, and combinations with linear expressions.",
    "NlExpr": "A nonlinear expression in Python. Produced by `sin`/`cos`/`sqrt` applied\n"
              "to `Var`/`Expr`, or by arithmetic combining a nonlinear operand with a\n"
              "`Var`/`Expr`/scalar. Comparison operators produce nonlinear constraints.",
    "Constraint": "A constraint object returned by comparison operators.",
}


@pytest.mark.parametrize("name", sorted(CLASS_DOCS))
def test_value_classes(name):
    cls = getattr(po, name)
    assert cls.__doc__ == CLASS_DOCS[name]
    assert cls.__name__ == name and cls.__module__ == "pelora_opt"
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls(1, a=2)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})  # not subclassable
    public = [a for a in dir(cls) if not a.startswith("_")]
    model_linked = ["fix", "index", "kind", "lower", "name", "unfix", "upper"]
    assert public == (model_linked if name == "Var" else [])


@pytest.mark.parametrize(
    "fn, signature, body",
    [
        ("sum", "(items)",
         "Summation helper: pelora.sum([expr1, expr2, ...]) \u2014 accepts Var and Expr objects."),
        ("sin", "(obj)", "`sin(x)` \u2014 returns an `NlExpr` wrapping `Sin(x)`."),
        ("cos", "(obj)", "`cos(x)` \u2014 returns an `NlExpr` wrapping `Cos(x)`."),
        ("sqrt", "(obj)", "`sqrt(x)` \u2014 returns an `NlExpr` wrapping `Sqrt(x)`."),
    ],
)
def test_function_docstrings(fn, signature, body):
    f = getattr(po, fn)
    assert f.__text_signature__ == signature
    assert f.__doc__ == body
    assert f.__name__ == fn and f.__module__ == "pelora_opt"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: po.sum(), "sum() missing 1 required positional argument: 'items'"),
        (lambda: po.sum([], []), "sum() takes 1 positional arguments but 2 were given"),
        (lambda: po.sum([], [], []), "sum() takes 1 positional arguments but 3 were given"),
        (lambda: po.sum([], items=[]), "sum() got multiple values for argument 'items'"),
        (lambda: po.sum(items=[], bogus=1), "sum() got an unexpected keyword argument 'bogus'"),
        (lambda: po.sum(bogus=1), "sum() got an unexpected keyword argument 'bogus'"),
        (lambda: po.sum(items=None), "argument 'items': 'NoneType' object cannot be converted to 'PyList'"),
        (lambda: po.sum(5), "argument 'items': 'int' object cannot be converted to 'PyList'"),
        (lambda: po.sin(), "sin() missing 1 required positional argument: 'obj'"),
        (lambda: po.cos(1, 2), "cos() takes 1 positional arguments but 2 were given"),
        (lambda: po.sqrt(x=1), "sqrt() got an unexpected keyword argument 'x'"),
        (lambda: po.sin(1, obj=2), "sin() got multiple values for argument 'obj'"),
    ],
)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_are_accepted_by_name():
    assert repr(po.sum(items=[1, 2])) == "3"
    assert repr(po.sqrt(obj=4)) == "sqrt(4)"
    assert repr(po.sum([], **{})) == "0"


def test_list_subclass_is_a_list():
    class L(list):
        pass

    assert repr(po.sum(L([1, 2.5]))) == "3.5"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda M: M().variable(), "Model.variable() missing 1 required positional argument: 'name'"),
        (lambda M: M().variable("x", bogus=1), "Model.variable() got an unexpected keyword argument 'bogus'"),
        (lambda M: M().variable("x", 0, 1, 2),
         "Model.variable() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda M: M().variable(5), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_model_argument_messages(call, message):
    if not hasattr(po, "Model"):
        pytest.skip("Model is not available in this build")
    with pytest.raises(TypeError) as info:
        call(po.Model)
    assert str(info.value) == message


def test_keyword_with_embedded_nul_names_no_parameter():
    # Matched by its full text: "name\0x" is not "name", and the message keeps it whole.
    with pytest.raises(TypeError) as info:
        po.sum(**{"items\x00x": []})
    assert str(info.value) == "sum() got an unexpected keyword argument 'items\x00x'"
    with pytest.raises(TypeError) as info:
        po.Model().variable("x", **{"lower\x00": 1})
    assert str(info.value) == "Model.variable() got an unexpected keyword argument 'lower\x00'"


def test_counts_accept_integer_like_objects():
    np = pytest.importorskip("numpy")

    class Three:
        def __index__(self):
            return 3

    m = po.Model()
    assert [repr(v) for v in m.variables("a", np.int64(2))] == ["Var('a_0')", "Var('a_1')"]
    assert len(m.binaries("b", Three())) == 3
    for bad, name in [(2.0, "float"), (None, "NoneType"), ("2", "str")]:
        with pytest.raises(TypeError) as info:
            m.variables("c", bad)
        assert str(info.value) == f"argument 'count': '{name}' object cannot be interpreted as an integer"
    with pytest.raises(OverflowError):
        m.integers("d", np.int64(-1))
    assert m.num_vars == 5


def test_internal_failure_type():
    assert issubclass(po.InternalFailure, BaseException)
    assert not issubclass(po.InternalFailure, Exception)


def test_import_in_a_sub_interpreter_is_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    interp = si.create()
    try:
        with pytest.raises(Exception) as info:
            si.run_string(interp, "import pelora_opt")
        assert "ImportError" in str(info.value) and "sub-interpreters" in str(info.value)
    finally:
        si.destroy(interp)
