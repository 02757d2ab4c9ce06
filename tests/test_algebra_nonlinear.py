"""QuadExpr and NlExpr: operators, conversions, printed forms, deep trees."""
import pytest

import pelora_opt as po
from algebra_support import NL_OPERAND, make_vars


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda x, y, z: x * y, "QuadExpr(linear=0, quad_terms=1)"),
        (lambda x, y, z: x * y + x * y, "QuadExpr(linear=0, quad_terms=2)"),
        (lambda x, y, z: x * y + (-1) * (x * y), "QuadExpr(linear=0, quad_terms=2)"),
        (lambda x, y, z: (x * y) * 0, "QuadExpr(linear=0, quad_terms=1)"),
        (lambda x, y, z: (x * y) / 2, "QuadExpr(linear=0, quad_terms=1)"),
        (lambda x, y, z: x * y + x + 1, "QuadExpr(linear=x0 + 1, quad_terms=1)"),
        (lambda x, y, z: 1 + x * y, "QuadExpr(linear=1, quad_terms=1)"),
        (lambda x, y, z: x * y - 2, "QuadExpr(linear=-2, quad_terms=1)"),
        (lambda x, y, z: x * y - x, "QuadExpr(linear=-x0, quad_terms=1)"),
        (lambda x, y, z: x * y + (x - y) - (x + 2), "QuadExpr(linear=-x1 - 2, quad_terms=1)"),
        (lambda x, y, z: -(x * y + x - 3), "QuadExpr(linear=-x0 + 3, quad_terms=1)"),
        (lambda x, y, z: x + x * y, "QuadExpr(linear=x0, quad_terms=1)"),
        (lambda x, y, z: (x + 1) + x * y, "QuadExpr(linear=x0 + 1, quad_terms=1)"),
        (lambda x, y, z: (x * y + y) + (z * z + x), "QuadExpr(linear=x1 + x0, quad_terms=2)"),
        (lambda x, y, z: (x * y + 2) * 3, "QuadExpr(linear=6, quad_terms=1)"),
        (lambda x, y, z: 2 * (x * y + z), "QuadExpr(linear=2*x2, quad_terms=1)"),
        (lambda x, y, z: (x * y + 2 * z) / 4, "QuadExpr(linear=0.5*x2, quad_terms=1)"),
        (lambda x, y, z: x ** 2 + y ** 2 - 2 * x, "QuadExpr(linear=-2*x0, quad_terms=2)"),
        (lambda x, y, z: (x * y) * z, "((x0 * x1) * x2)"),
        (lambda x, y, z: (x * y + 1) * z, "((1 + (x0 * x1)) * x2)"),  # linear part first
        (lambda x, y, z: (x * y) * (z * z), "((x0 * x1) * (x2 * x2))"),
        (lambda x, y, z: (x * y) * (x + 1), "((x0 * x1) * (x0 + 1))"),
        (lambda x, y, z: 2 * (x * y) / z, "((2 * (x0 * x1)) / x2)"),
        (lambda x, y, z: 1 / (x * y), "(1 / (x0 * x1))"),
        (lambda x, y, z: (x * y) + po.sin(z), "(x0 * x1) + sin(x2)"),
        (lambda x, y, z: (x * y + x) - po.sin(z), "x0 + (x0 * x1) - sin(x2)"),
        (lambda x, y, z: (x * y) * po.sin(z), "((x0 * x1) * sin(x2))"),
    ],
)
def test_quadratic(xyz, build, text):
    assert repr(build(*xyz)) == text


def test_quadratic_pair_order_and_coefficients(xyz):
    x, y, _ = xyz
    # y * x stores the smaller index first; (-1) * q keeps both entries
    assert repr(po.cos(y * x)) == "cos((x0 * x1))"
    assert repr(po.sin(x * y + (-1) * (x * y))) == "sin(((x0 * x1) + (-1 * (x0 * x1))))"
    assert repr(po.sin((x * y) * 0)) == "sin((0 * (x0 * x1)))"
    assert repr(po.sin((x * y) / 2)) == "sin((0.5 * (x0 * x1)))"
    assert repr(po.sin(x ** 2)) == "sin((x0 * x0))"


@pytest.mark.parametrize(
    "build, exc, message",
    [
        (lambda x, y: x * y + "a", ValueError, "Unsupported operand type for QuadExpr"),
        (lambda x, y: "a" + x * y, ValueError, "Unsupported operand type for QuadExpr"),
        (lambda x, y: x * y - None, ValueError, "Unsupported operand type for QuadExpr"),
        (lambda x, y: None - x * y, ValueError, "Unsupported operand type for QuadExpr"),
        (lambda x, y: x * y * "a", ValueError, NL_OPERAND),
        (lambda x, y: (x * y) / 0, ValueError, "division by zero"),
        (lambda x, y: (x * y) / "a", ValueError, NL_OPERAND),
        (lambda x, y: (x * y) ** y, TypeError, "unsupported operand type(s) for ** or pow()"),
        (lambda x, y: hash(x * y), TypeError, "unhashable type"),
        (lambda x, y: po.sin("a"), ValueError, NL_OPERAND),
        (lambda x, y: po.sqrt(None), ValueError, NL_OPERAND),
        (lambda x, y: po.sin(x <= 1), ValueError, NL_OPERAND),
        (lambda x, y: po.sin(x) / 0, ValueError, "division by zero"),
        (lambda x, y: po.sin(x) / 0.0, ValueError, "division by zero"),
        (lambda x, y: po.sin(x) + "a", ValueError, NL_OPERAND),
        (lambda x, y: "a" - po.sin(x), ValueError, NL_OPERAND),
        (lambda x, y: po.sin(x) * [1], ValueError, NL_OPERAND),
        (lambda x, y: po.sin(x) / None, ValueError, NL_OPERAND),
        (lambda x, y: 2 ** po.sin(x), TypeError, "unsupported operand type(s) for ** or pow()"),
        (lambda x, y: hash(po.sin(x)), TypeError, "unhashable type"),
    ],
)
def test_nonlinear_errors(build, exc, message):
    x, y = make_vars("x", "y")
    with pytest.raises(exc) as info:
        build(x, y)
    if exc is ValueError:
        assert str(info.value) == message
    else:
        assert message in str(info.value)


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda x, y, z: po.sin(x), "sin(x0)"),
        (lambda x, y, z: po.cos(x), "cos(x0)"),
        (lambda x, y, z: po.sqrt(x), "sqrt(x0)"),
        (lambda x, y, z: po.sin(0), "sin(0)"),
        (lambda x, y, z: po.sqrt(5), "sqrt(5)"),
        (lambda x, y, z: po.sqrt(-2.5), "sqrt(-2.5)"),
        (lambda x, y, z: po.sin(True), "sin(1)"),
        (lambda x, y, z: po.sin(x - x), "sin(0)"),
        (lambda x, y, z: 2 * po.cos(x) - 1, "-1 + 2*cos(x0)"),
        (lambda x, y, z: po.sin(x + 1), "sin((x0 + 1))"),
        (lambda x, y, z: po.sin(2 * x - y + 3), "sin((((2 * x0) + (-1 * x1)) + 3))"),
        (lambda x, y, z: po.sin((1 + 1e-16) * x), "sin(x0)"),
        (lambda x, y, z: x * po.sin(y), "(x0 * sin(x1))"),
        (lambda x, y, z: po.sin(y) * x, "(sin(x1) * x0)"),
        (lambda x, y, z: -po.sqrt(x), "-sqrt(x0)"),
        (lambda x, y, z: po.sin(x) - po.sin(x), "sin(x0) - sin(x0)"),
        (lambda x, y, z: po.sin(x) * 2, "2*sin(x0)"),
        (lambda x, y, z: 2 * po.sin(x), "2*sin(x0)"),
        (lambda x, y, z: po.sin(x) / 2, "0.5*sin(x0)"),
        (lambda x, y, z: po.sin(x) * 0, "0*sin(x0)"),
        (lambda x, y, z: po.cos(x * y), "cos((x0 * x1))"),
        (lambda x, y, z: po.sin(x) + (x * y), "sin(x0) + (x0 * x1)"),
        (lambda x, y, z: po.sin(x) + 2 * (x * y), "sin(x0) + 2*(x0 * x1)"),
        (lambda x, y, z: po.sin(x) + x + 1, "x0 + 1 + sin(x0)"),
        (lambda x, y, z: x + 1 + po.sin(x), "x0 + 1 + sin(x0)"),
        (lambda x, y, z: 1 - po.sin(x), "1 - sin(x0)"),
        (lambda x, y, z: -po.sin(x) - po.cos(y), "-sin(x0) - cos(x1)"),
        (lambda x, y, z: po.sin(x) - (x + 1), "-x0 - 1 + sin(x0)"),
        (lambda x, y, z: (po.sin(x) + y) - y, "sin(x0)"),
        (lambda x, y, z: (po.sin(x) + y) - y + 0, "sin(x0)"),
        (lambda x, y, z: (po.sin(x) + 1) - 1, "sin(x0)"),
        (lambda x, y, z: po.sin(x) * po.cos(y), "(sin(x0) * cos(x1))"),
        (lambda x, y, z: po.sin(x) / po.cos(y), "(sin(x0) / cos(x1))"),
        (lambda x, y, z: 1 / po.sin(x), "(1 / sin(x0))"),
        (lambda x, y, z: (x + 1) / po.sin(x), "((x0 + 1) / sin(x0))"),
        (lambda x, y, z: po.sin(x) / (y + 2), "(sin(x0) / (x1 + 2))"),
        (lambda x, y, z: (2 * po.sin(x) + 1) * y, "((1 + (2 * sin(x0))) * x1)"),
        (lambda x, y, z: po.sqrt(po.sin(x) - 1), "sqrt((-1 + sin(x0)))"),
        (lambda x, y, z: po.sqrt(1 - po.sin(x)), "sqrt((1 + (-1 * sin(x0))))"),
        (lambda x, y, z: po.sin(po.cos(po.sqrt(x))), "sin(cos(sqrt(x0)))"),
        (lambda x, y, z: po.sin(0.1 * x), "sin((0.1 * x0))"),
        (lambda x, y, z: po.sin(x) * 1e-7, "0.0000001*sin(x0)"),
        (lambda x, y, z: po.sin(x) + (1e-16 * x), "sin(x0)"),  # merged: below 1e-15 goes
    ],
)
def test_nonlinear(xyz, build, text):
    n = build(*xyz)
    assert type(n) is po.NlExpr
    assert repr(n) == text


def test_function_keyword_and_operands(xyz):
    x, y, _ = xyz
    assert repr(po.sin(obj=x)) == "sin(x0)"
    assert repr(po.cos(po.sin(x) * y)) == "cos((sin(x0) * x1))"
    n = po.sin(x)
    m = n + y
    assert repr(n) == "sin(x0)"  # operands unchanged
    assert repr(m) == "x1 + sin(x0)"
    assert repr(-m) == "-x1 - sin(x0)"
    assert repr(m) == "x1 + sin(x0)"


def test_deep_trees_do_not_exhaust_the_stack():
    (x,) = make_vars("x")
    n = po.sin(x)
    for _ in range(200_000):
        n = n * x  # each step nests the previous tree one level deeper
    text = repr(n)
    assert text.startswith("(" * 200_000 + "sin(x0) * x0)")
    assert text.endswith(" * x0)")
    chain = po.sin(po.sum(make_vars(*[f"v{i}" for i in range(100_000)])))
    assert repr(chain).startswith("sin(" + "(" * 99_999 + "x0 + x1)")
    del n, chain  # releasing the trees must not recurse either


def test_values_are_immutable_and_plain(xyz):
    x, y, _ = xyz
    for obj, name in [(x * y, "QuadExpr"), (po.sin(x), "NlExpr")]:
        assert bool(obj)
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            type(obj)()
