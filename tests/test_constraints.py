"""Comparisons build Constraint records: normalisation, printed form, errors."""
import pytest

import pelora_opt as po
from algebra_support import NL_OPERAND, make_vars

RHS = "RHS must be a number, Var, or Expr"


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda x, y, z: x >= 0, "x0 >= 0"),
        (lambda x, y, z: x >= -1, "x0 >= -1"),
        (lambda x, y, z: x + 3 <= 5, "x0 <= 2"),
        (lambda x, y, z: 2 * x + y <= 10, "2*x0 + x1 <= 10"),
        (lambda x, y, z: x == y, "x0 - x1 == 0"),
        (lambda x, y, z: x <= y, "x0 - x1 <= 0"),
        (lambda x, y, z: x - x == 0, "0 == 0"),
        (lambda x, y, z: 5 <= x, "x0 >= 5"),
        (lambda x, y, z: 5 >= x, "x0 <= 5"),
        (lambda x, y, z: 5 == x, "x0 == 5"),
        (lambda x, y, z: 0.5 * x == 0.25, "0.5*x0 == 0.25"),
        (lambda x, y, z: x + 1 >= y + 4, "x0 - x1 >= 3"),
        (lambda x, y, z: x + y >= y, "x0 >= 0"),
        (lambda x, y, z: x + y + 2 == x + y + 2, "0 == 0"),
        (lambda x, y, z: 2 * x + 1 <= 2 * x, "0 <= -1"),
        (lambda x, y, z: x * 0 <= 1, "0*x0 <= 1"),
        (lambda x, y, z: x + y - 1e-16 * x <= 1, "x0 + x1 <= 1"),
        (lambda x, y, z: (x + 1e-16) <= y, "x0 - x1 <= -0.0000000000000001"),
        (lambda x, y, z: x <= True, "x0 <= 1"),
        (lambda x, y, z: x - 1 >= 1e-7, "x0 >= 1.0000001"),
        (lambda x, y, z: x <= float("inf"), "x0 <= inf"),
        (lambda x, y, z: (x + 0 * z) + 1 <= 4, "x0 <= 3"),  # the zero entry is merged away
        # quadratic left sides are nonlinear records
        (lambda x, y, z: x * x <= 4, "(x0 * x0) <= 4"),
        (lambda x, y, z: x * y + x + 1 >= 2, "x0 + (x0 * x1) >= 1"),
        (lambda x, y, z: x * y + 3 == y, "-x1 + (x0 * x1) == -3"),
        (lambda x, y, z: x * y <= x * y, "(x0 * x1) - (x0 * x1) <= 0"),
        (lambda x, y, z: x * y >= po.sin(z), "(x0 * x1) - sin(x2) >= 0"),
        # nonlinear sides
        (lambda x, y, z: po.sin(x) <= 0, "sin(x0) <= 0"),
        (lambda x, y, z: po.sin(x) + 1 <= 0.5, "sin(x0) <= -0.5"),
        (lambda x, y, z: po.sin(x) == y, "-x1 + sin(x0) == 0"),
        (lambda x, y, z: po.sin(x) >= y + 2, "-x1 + sin(x0) >= 2"),
        (lambda x, y, z: po.sin(x) <= x * y, "sin(x0) - (x0 * x1) <= 0"),
        (lambda x, y, z: 2 >= po.sqrt(x), "sqrt(x0) <= 2"),
        (lambda x, y, z: x <= po.sin(y), "x0 - sin(x1) <= 0"),
        (lambda x, y, z: x + 1 <= po.sin(y) + 3, "x0 - sin(x1) <= 2"),
        (lambda x, y, z: po.sin(x) - po.sin(x) == 0, "sin(x0) - sin(x0) == 0"),
        (lambda x, y, z: po.sin(x) + y - y <= 1, "sin(x0) <= 1"),
        (lambda x, y, z: x / y <= 1, "(x0 / x1) <= 1"),
    ],
)
def test_constraint_repr(xyz, build, text):
    c = build(*xyz)
    assert type(c) is po.Constraint
    assert repr(c) == text


def test_quadratic_entries_are_never_dropped(xyz):
    x, y, _ = xyz
    assert repr((x * y) * 0 <= 1) == "0*(x0 * x1) <= 1"
    assert repr((x * y + x) - x <= 2) == "(x0 * x1) <= 2"


@pytest.mark.parametrize(
    "build, exc, message",
    [
        (lambda x, y: (x + 1) <= "a", ValueError, RHS),
        (lambda x, y: x <= None, ValueError, RHS),
        (lambda x, y: x == x * y, ValueError, RHS),
        (lambda x, y: x + 1 >= x * y, ValueError, RHS),
        (lambda x, y: x <= [1], ValueError, RHS),
        (lambda x, y: x != "a", ValueError, RHS),
        (lambda x, y: x * y <= "a", ValueError, NL_OPERAND),
        (lambda x, y: po.sin(x) >= None, ValueError, NL_OPERAND),
        (lambda x, y: po.sin(x) == (x <= 1), ValueError, NL_OPERAND),
        (lambda x, y: x < 3, TypeError, "'<' not supported"),
        (lambda x, y: x > y, TypeError, "'>' not supported"),
        (lambda x, y: 3 < x + 1, TypeError, "not supported between instances"),
        (lambda x, y: x * y < 1, TypeError, "'<' not supported"),
        (lambda x, y: po.sin(x) > 0, TypeError, "'>' not supported"),
    ],
)
def test_comparison_errors(build, exc, message):
    x, y = make_vars("x", "y")
    with pytest.raises(exc) as info:
        build(x, y)
    if exc is ValueError:
        assert str(info.value) == message
    else:
        assert message in str(info.value)


def test_not_equal_and_truth(xyz):
    x, y, _ = xyz
    assert (x != 3) is False
    assert (3 != x) is False
    assert (x + 1 != y) is False
    assert (x * y != 1) is False
    assert (po.sin(x) != y) is False
    # A constraint has no truth value, so chained comparisons and membership
    # tests (which would otherwise silently keep one half, or see any
    # expression as present) fail loudly instead.
    for case in (lambda: bool(x <= 1), lambda: 0 <= x <= 1, lambda: y in [x],
                 lambda: [x].index(y)):
        with pytest.raises(TypeError, match="a Constraint has no truth value: a chained comparison"):
            case()


def test_mirrored_number_comparison_is_the_same_constraint(xyz):
    x, _, _ = xyz
    assert repr(5 <= x) == repr(x >= 5)
    assert repr(5 >= x + 1) == repr(x + 1 <= 5)


def test_operands_unchanged_by_comparison(xyz):
    x, y, _ = xyz
    e = x + 2 * y + 1
    n = po.sin(x) + y + 3
    _ = e <= y
    _ = e == x + y
    _ = n >= x
    with pytest.raises(ValueError):
        _ = e <= "a"
    assert repr(e) == "x0 + 2*x1 + 1"
    assert repr(n) == "x1 + 3 + sin(x0)"


def test_constraint_object_is_plain(xyz):
    x, _, _ = xyz
    c = x <= 1
    assert not hasattr(c, "__dict__")
    with pytest.raises(AttributeError):
        c.name = "a"
    with pytest.raises(TypeError, match="^No constructor defined for Constraint$"):
        po.Constraint()
    assert po.Constraint.__doc__ == "A constraint object returned by comparison operators."
    assert c == c and c != (x <= 1)  # identity comparison
    assert {c: 1}[c] == 1


def test_model_name_stays_in_the_model_copy(xyz):
    x, y, _ = xyz
    m = po.Model()
    if not hasattr(m, "add"):
        pytest.skip("Model.add is not available in this build")
    x = m.variable("x")
    c = 2 * x <= 4
    m.add(c, name="cap")
    assert repr(c) == "2*x0 <= 4"
