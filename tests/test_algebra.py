"""Var and Expr: operators, printed forms, merging and sum()."""
import fractions
import gc
import random

import pytest

import pelora_opt as po
from algebra_support import RefExpr, make_vars, plain


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda x, y, z: x, "Var('x')"),
        (lambda x, y, z: -x, "-x0"),
        (lambda x, y, z: x + y, "x0 + x1"),
        (lambda x, y, z: x - x, "0"),
        (lambda x, y, z: x * 0, "0*x0"),
        (lambda x, y, z: 0 * x + y, "0*x0 + x1"),
        (lambda x, y, z: 3 - x, "-x0 + 3"),
        (lambda x, y, z: x + 1, "x0 + 1"),
        (lambda x, y, z: x - 0.5, "x0 - 0.5"),
        (lambda x, y, z: -y - 0.5, "-x1 - 0.5"),
        (lambda x, y, z: 2 * x - z + 5, "2*x0 - x2 + 5"),
        (lambda x, y, z: x + x, "2*x0"),
        (lambda x, y, z: x + y - x, "x1"),
        (lambda x, y, z: (x + y) - (x + y), "0"),
        (lambda x, y, z: (x + y + 2) - (x + y), "2"),
        (lambda x, y, z: x - y + y, "x0"),
        (lambda x, y, z: y + x - y + y, "x0 + x1"),  # a cancelled entry re-enters at the end
        (lambda x, y, z: x / 4, "0.25*x0"),
        (lambda x, y, z: x / 0.5, "2*x0"),
        (lambda x, y, z: (2 * x + 4) / 4, "0.5*x0 + 1"),
        (lambda x, y, z: 1e-7 * x + 1e-7, "0.0000001*x0 + 0.0000001"),
        (lambda x, y, z: 1e20 * x, "100000000000000000000*x0"),
        (lambda x, y, z: (1 + 1e-16) * x, "x0"),
        (lambda x, y, z: -(1 - 1e-16) * x, "-x0"),
        (lambda x, y, z: x * 1e-16 + y, "0.0000000000000001*x0 + x1"),
        (lambda x, y, z: x + 1e-16 * x, "x0"),
        (lambda x, y, z: x + 1e-16, "x0 + 0.0000000000000001"),
        (lambda x, y, z: -(x + 2 * y - 3), "-x0 - 2*x1 + 3"),
        (lambda x, y, z: -(x - x), "0"),
        (lambda x, y, z: (x + 3) * 0, "0*x0"),
        (lambda x, y, z: (x - 2) * -1.5, "-1.5*x0 + 3"),
        (lambda x, y, z: 2 * (x + y), "2*x0 + 2*x1"),
        (lambda x, y, z: True * x + False, "x0"),
        (lambda x, y, z: x ** 1, "x0"),
        (lambda x, y, z: pow(x, 1, 7), "x0"),
        (lambda x, y, z: x - (y + 1), "x0 - x1 - 1"),
        (lambda x, y, z: x + (y - x), "x1"),
        (lambda x, y, z: 1 - (x + y), "-x0 - x1 + 1"),
        (lambda x, y, z: fractions.Fraction(1, 4) * x, "0.25*x0"),
        (lambda x, y, z: x * float("inf"), "inf*x0"),
        (lambda x, y, z: x / float("inf"), "0*x0"),
    ],
)
def test_linear_repr(xyz, build, text):
    assert repr(build(*xyz)) == text


def test_result_types(xyz):
    x, y, _ = xyz
    assert type(x + 1) is po.Expr
    assert type(x * y) is po.QuadExpr
    assert type(x ** 2) is po.QuadExpr
    assert type(x / y) is po.NlExpr
    assert type(2 / x) is po.NlExpr
    assert type((x + 1) / y) is po.NlExpr
    assert type(x + po.sin(y)) is po.NlExpr
    assert type(x + x * y) is po.QuadExpr
    assert type((x + 1) + x * y) is po.QuadExpr
    assert type((x + 1) - x * y) is po.QuadExpr


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda x, y: 2 / x, "(2 / x0)"),
        (lambda x, y: 0 / x, "(0 / x0)"),
        (lambda x, y: x / y, "(x0 / x1)"),
        (lambda x, y: (x + 1) / y, "((x0 + 1) / x1)"),
        (lambda x, y: x / (2 * y - 1), "(x0 / ((2 * x1) + -1))"),
        (lambda x, y: x / (x * y), "(x0 / (x0 * x1))"),
        (lambda x, y: (x + y) / (x * y), "((x0 + x1) / (x0 * x1))"),
        (lambda x, y: 1 / (x + y), "(1 / (x0 + x1))"),
        (lambda x, y: x * po.sin(y), "(x0 * sin(x1))"),
        (lambda x, y: (2 * x) * po.sin(y), "((2 * x0) * sin(x1))"),
        (lambda x, y: x + po.sin(y), "x0 + sin(x1)"),
        (lambda x, y: x - po.sin(y), "x0 - sin(x1)"),
        (lambda x, y: 1 - x - po.sin(y), "-x0 + 1 - sin(x1)"),
        (lambda x, y: x - x * y, "QuadExpr(linear=x0, quad_terms=1)"),
        (lambda x, y: x + 1 + x * y, "QuadExpr(linear=x0 + 1, quad_terms=1)"),
    ],
)
def test_var_expr_into_nonlinear(build, text):
    x, y = make_vars("x", "y")
    assert repr(build(x, y)) == text


@pytest.mark.parametrize(
    "build, exc, message",
    [
        (lambda x, y: (x + 1) * "a", ValueError, "Expr can be multiplied by a scalar or NlExpr"),
        (lambda x, y: None * (x + 1), ValueError, "Expr can be multiplied by a scalar or NlExpr"),
        (lambda x, y: x * "a", ValueError, "Var can be multiplied by a scalar, Var, or NlExpr"),
        (lambda x, y: "a" * x, ValueError, "Var can be multiplied by a scalar, Var, or NlExpr"),
        (lambda x, y: x * None, ValueError, "Var can be multiplied by a scalar, Var, or NlExpr"),
        (lambda x, y: x / 0, ValueError, "division by zero"),
        (lambda x, y: x / -0.0, ValueError, "division by zero"),
        (lambda x, y: (x + 1) / 0.0, ValueError, "division by zero"),
        (lambda x, y: (x + 1) / False, ValueError, "division by zero"),
        (lambda x, y: x / "a", ValueError, "Expected Var, Expr, NlExpr, or numeric for nonlinear operand"),
        (lambda x, y: "a" / x, ValueError, "Expected Var, Expr, NlExpr, or numeric for nonlinear operand"),
        (lambda x, y: (x + 1) / None, ValueError,
         "Expected Var, Expr, NlExpr, or numeric for nonlinear operand"),
        (lambda x, y: x + "a", ValueError, "Unsupported operand type \u2014 use Var, Expr, or numeric"),
        (lambda x, y: "a" + x, ValueError, "Unsupported operand type \u2014 use Var, Expr, or numeric"),
        (lambda x, y: x - None, ValueError, "Unsupported operand type \u2014 use Var, Expr, or numeric"),
        (lambda x, y: [1] - x, ValueError, "Unsupported operand type \u2014 use Var, Expr, or numeric"),
        (lambda x, y: (x + 1) + "a", ValueError, "Unsupported operand type \u2014 use Var, Expr, or numeric"),
        (lambda x, y: None - (x + 1), ValueError, "Unsupported operand type \u2014 use Var, Expr, or numeric"),
        (lambda x, y: x + 10 ** 400, ValueError, "Unsupported operand type \u2014 use Var, Expr, or numeric"),
        (lambda x, y: x ** 65, ValueError, "Power exponent must be at most 64 in magnitude"),
        (lambda x, y: x ** 2.5, ValueError, "Only integer powers and 0.5 are supported for expressions"),
        (lambda x, y: x ** float("nan"), ValueError, "Only integer powers and 0.5 are supported for expressions"),
        (lambda x, y: x ** (10 ** 30), TypeError, "unsupported operand type(s) for ** or pow()"),
        (lambda x, y: x ** y, TypeError, "unsupported operand type(s) for ** or pow()"),
        (lambda x, y: 2 ** x, TypeError, "unsupported operand type(s) for ** or pow()"),
        (lambda x, y: (x + 1) ** "2", TypeError, "unsupported operand type(s) for ** or pow()"),
        (lambda x, y: pow(x, 2, "m"), TypeError, "unsupported operand type(s)"),
        (lambda x, y: x // 2, TypeError, "unsupported operand type(s) for //"),
        (lambda x, y: +x, TypeError, "bad operand type for unary +"),
        (lambda x, y: hash(x + 1), TypeError, "unhashable type"),
    ],
)
def test_linear_errors(build, exc, message):
    x, y = make_vars("x", "y")
    with pytest.raises(exc) as info:
        build(x, y)
    assert message in str(info.value)
    if exc is ValueError:
        assert str(info.value) == message


def test_number_like_operands(xyz):
    x, _, _ = xyz

    class Idx:
        def __index__(self):
            return 3

    class Flt:
        def __float__(self):
            return 2.5

    assert repr(x * Idx()) == "3*x0"
    assert repr(Flt() + x) == "x0 + 2.5"
    assert repr(x ** Idx.__new__(type("Two", (), {"__index__": lambda s: 2}))) == "QuadExpr(linear=0, quad_terms=1)"

    class Broken:
        def __float__(self):
            raise RuntimeError("no float")

    with pytest.raises(ValueError, match="^Var can be multiplied by a scalar, Var, or NlExpr$"):
        x * Broken()

    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        x + Interrupting()


def test_values_are_immutable_and_plain(xyz):
    x, y, _ = xyz
    e = x + 1
    for obj, name in [(x, "Var"), (e, "Expr")]:
        assert bool(obj)
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            type(obj)()
    assert bool(x - x)
    assert repr(e) == "x0 + 1"


def test_operands_never_change_under_shared_storage():
    vs = make_vars(*[f"v{i}" for i in range(30)])
    base = po.sum(vs[:20])
    text = repr(base)
    a = base + vs[25]          # appends to the shared buffer
    b = base + 2 * vs[26]      # base is no longer the tip: must not see a's term
    c = base - vs[3]           # removal takes a private copy
    d = a + b                  # merges with a buffer it shares
    e = -base
    assert repr(base) == text
    assert repr(a) == text + " + x25"
    assert repr(b) == text + " + 2*x26"
    assert "x3 " not in repr(c) + " " and repr(c).count("x") == 19
    assert repr(d) == " + ".join(f"2*x{i}" for i in range(20)) + " + x25 + 2*x26"
    assert repr(e) == "-" + " - ".join(f"x{i}" for i in range(20))
    assert repr(base) == text


def test_random_linear_arithmetic_matches_reference():
    """Random sums, differences, scalings and sum() calls on expressions that
    share storage, checked against a dictionary model after every step."""
    n = 40
    vs = make_vars(*[f"v{i}" for i in range(n)])
    rng = random.Random(7)
    pool = [(vs[i] + 0, RefExpr({i: 1.0})) for i in range(4)]
    coefs = [-3.0, -2.0, -1.0, -0.5, 0.5, 1.0, 2.0, 3.0]
    for step in range(3000):
        e, r = rng.choice(pool)
        op = rng.randrange(10)
        i = rng.randrange(n)
        c = rng.choice(coefs)
        if op == 0:
            ne, nr = e + c * vs[i], r.copy()
            nr.add_term(i, c)
        elif op == 1:
            ne, nr = e - vs[i], r.copy()
            nr.add_term(i, -1.0)
        elif op == 2:
            f, fr = rng.choice(pool)
            ne, nr = e + f, r.copy()
            nr.add(fr)
        elif op == 3:
            f, fr = rng.choice(pool)
            ne, nr = e - f, r.copy()
            nr.add(fr, -1.0)
        elif op == 4:
            ne, nr = vs[i] + e, RefExpr({i: 1.0})
            nr.add(r)
        elif op == 5:
            ne, nr = c - e, r.scaled(-1.0)
            nr.constant += c
        elif op == 6:
            k = rng.choice([2.0, -1.0, 0.5])
            ne, nr = e * k, r.scaled(k)
        elif op == 7:
            k = rng.choice([2.0, -2.0, 0.5])
            ne, nr = e / k, r.scaled(1.0 / k)
        elif op == 8:
            items = [e, vs[i], c]
            ne, nr = po.sum(items), RefExpr()
            nr.add(r)
            nr.add_term(i, 1.0)
            nr.constant += c
        else:
            ne, nr = e + c, r.copy()
            nr.constant += c
        assert repr(ne) == nr.text(), f"step {step}, op {op}"
        if len(nr.terms) > 25 or abs(nr.constant) > 1e6 or any(abs(v) > 1e6 for v in nr.terms.values()):
            continue
        if len(pool) < 12:
            pool.append((ne, nr))
        else:
            pool[rng.randrange(len(pool))] = (ne, nr)
        if step % 100 == 0:
            for pe, pr in pool:
                assert repr(pe) == pr.text()


def test_large_accumulation_merges_and_cancels():
    n = 300
    vs = make_vars(*[f"v{i}" for i in range(n)])
    e = 0
    for i, v in enumerate(vs):
        e += (i + 1) * v
    for v in vs[::2]:
        e = e - v
    for i, v in enumerate(vs[::2]):
        e -= 2 * i * v  # coefficient of v_{2i} was 2i+1, minus 1, minus 2i -> 0: cancelled
    ref = RefExpr({i: float(i + 1) for i in range(1, n, 2)})
    assert repr(e) == ref.text()


# ---- sum -------------------------------------------------------------------

@pytest.mark.parametrize(
    "items, text",
    [
        (lambda x, y: [], "0"),
        (lambda x, y: [x, x, 2], "2*x0 + 2"),
        (lambda x, y: [x, y, -x], "x1"),
        (lambda x, y: [x + 1, 2 * y, 0.5, True], "x0 + 2*x1 + 2.5"),
        (lambda x, y: [3], "3"),
        (lambda x, y: [fractions.Fraction(1, 2), x], "x0 + 0.5"),
        (lambda x, y: [x * 0], "0"),  # merged through add_term: the zero entry goes
    ],
)
def test_sum(items, text):
    x, y = make_vars("x", "y")
    result = po.sum(items(x, y))
    assert type(result) is po.Expr
    assert repr(result) == text


@pytest.mark.parametrize("bad", [lambda x, y: "a",
                                 lambda x, y: None, lambda x, y: x <= 1])
def test_sum_refuses_other_items(bad):
    x, y = make_vars("x", "y")
    with pytest.raises(ValueError, match="^sum\\(\\) items must be Var, Expr, or numeric$"):
        po.sum([x, bad(x, y)])


def test_sum_result_is_an_ordinary_expression_after_merging():
    # The merged terms become the result's storage: appending to it, changing
    # one of its coefficients and building on it twice must each leave the
    # others intact, and cancelled items must not survive.
    n = 40
    vs = make_vars(*[f"v{i}" for i in range(n)])
    items = []
    ref = RefExpr()
    for i, v in enumerate(vs):
        items += [(i + 1) * v, -(i + 1) * v] if i % 3 == 0 else [v, (i % 5) * v]
        if i % 3:
            ref.add_term(i, 1.0)
            ref.add_term(i, float(i % 5))
    s = po.sum(items)
    assert repr(s) == ref.text()
    grown = s + 7 * vs[0]  # a variable cancelled in the sum comes back at the end
    grown_ref = ref.copy()
    grown_ref.add_term(0, 7.0)
    changed = s - vs[1]  # an existing coefficient (looked up among many terms)
    changed_ref = ref.copy()
    changed_ref.add_term(1, -1.0)
    other = s + 2 * vs[3]  # a second branch from the same sum
    other_ref = ref.copy()
    other_ref.add_term(3, 2.0)
    assert (repr(s), repr(grown), repr(changed), repr(other)) == (
        ref.text(), grown_ref.text(), changed_ref.text(), other_ref.text())
    # one survivor, and none
    assert repr(po.sum([vs[0], 2 * vs[1], -vs[0], -2 * vs[1], vs[2]])) == "x2"
    assert repr(po.sum([vs[0], -vs[0], 1.5])) == "1.5"


def test_sum_names_the_variable_of_another_model():
    a, b = po.Model("a"), po.Model("b")
    x = a.variable("x")
    z, w = b.variable("z"), b.variable("w")
    for items, name in [([2 * z, x + 3], "x"), ([x, 2 * z + w], "z"), ([3, z, w, 1 * x], "x"),
                        ([z * w, x], "x"), ([x * x, w], "w")]:
        with pytest.raises(ValueError, match=f"^variable '{name}' belongs to another model$"):
            po.sum(items)
    assert repr(po.sum([po.sum([1, 2.5]), 2 * z, w])) == "2*x0 + x1 + 3.5"  # numbers: no model


def test_sum_large_and_list_mutated_during_conversion():
    vs = make_vars(*[f"v{i}" for i in range(200)])
    terms = [(i % 7 - 3) * v for i, v in enumerate(vs)] + vs
    ref = RefExpr()
    for i in range(200):
        ref.add_term(i, float(i % 7 - 3))
    for i in range(200):
        ref.add_term(i, 1.0)
    assert repr(po.sum(terms)) == ref.text()

    items = [vs[0], None, vs[1]]

    class Shrinker:
        def __float__(self):
            items.clear()
            gc.collect()
            return 1.0

    items[1] = Shrinker()
    assert repr(po.sum(items)) == "x0 + 1"


def test_sum_takes_items_a_conversion_appends_or_replaces():
    x, y, z = make_vars("x", "y", "z")
    items = [x]

    class Grower:
        def __float__(self):
            items.append(y)
            items.append(2.0)
            return 1.0

    items.append(Grower())
    assert repr(po.sum(items)) == "x0 + x1 + 3"

    later = [x, None, y, 5.0]

    class Replacer:
        def __float__(self):
            later[2] = z  # read after the conversion: z, not y
            later.pop()
            return 1.0

    later[1] = Replacer()
    assert repr(po.sum(later)) == "x0 + x2 + 1"


def test_sum_over_slices_of_a_large_model_merges_like_adding_item_by_item():
    # Sums of variables far from index 0: in order (dense and strided), with
    # repeats and cancellations, in random order, with terms that cancel at
    # once. Each must equal adding its items one by one.
    m = po.Model()
    x = m.variables("v", 50_000)
    rng = random.Random(5)
    cases = [
        x[40_000:40_300],
        x[7::997],
        [3 * v for v in x[30_000:30_050]] + [-3 * v for v in x[30_000:30_050:2]] + x[30_010:30_020],
        [2.5 * x[i] for i in rng.sample(range(50_000), 200)] * 2,
        [(i % 3 - 1) * x[i] for i in range(20_000, 20_400)] + x[20_000:20_400:3],
        [x[45_000], 0 * x[45_001], 1e-16 * x[45_002], x[45_003] + 2],
        [x[49_999], x[10], x[49_998], -x[10]],
        [x[100], x[100]],
    ]
    for items in cases:
        e = po.sum([])
        for it in items:
            e += it
        s = po.sum(items)
        assert repr(s) == repr(e)
        # the sum's storage is an ordinary map afterwards
        assert repr(s + x[0] - x[0]) == repr(e + x[0] - x[0])


def test_plain_number_reference_helper():
    # the helper used above agrees with the module on awkward values
    (x,) = make_vars("x")
    for v in [0.1, 1 / 3, 2.5e-10, 123456789.125, 1e22, 5e-324]:
        assert repr(x + v) == "x0 + " + plain(v)
