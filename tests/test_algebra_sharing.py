"""Quadratic and nonlinear term lists are shared between expressions built from
one another; every expression must still read exactly as if built alone."""
import random

import pelora_opt as po


def _as_text(e):
    # Adding a nonlinear term turns any expression into an NlExpr whose text
    # lists every quadratic and nonlinear term with its coefficient.
    return repr(e + po.sin(1.0))


def test_branches_of_a_shared_prefix_stay_independent():
    m = po.Model()
    x = m.variables("x", 6)
    rng = random.Random(7)
    pieces = [x[i] * x[j] for i in range(6) for j in range(i, 6)] + [po.cos(v) for v in x]
    for _ in range(200):
        t = rng.sample(pieces, 3)
        base = t[0] + t[1] + t[2]
        branches = []
        for _ in range(3):
            extra = rng.sample(pieces, 2)
            k = rng.choice([1, -2.5, 0.5])
            minus = rng.random() < 0.5
            b = base + extra[0] * k
            b = b + extra[1] * -1 if minus else b + extra[1]
            branches.append((b, extra, k, minus))
        scaled = base * 3  # scaling must not touch the shared prefix
        for b, extra, k, minus in branches:
            fresh = t[0] + t[1] + t[2] + extra[0] * k
            fresh = fresh + extra[1] * -1 if minus else fresh + extra[1]
            assert _as_text(b) == _as_text(fresh)
        assert _as_text(base) == _as_text(t[0] + t[1] + t[2])
        assert _as_text(scaled) == _as_text((t[0] + t[1] + t[2]) * 3)


def test_long_accumulation_keeps_every_term_in_order():
    m = po.Model()
    x = m.variables("x", 50)
    q = x[0] * x[0]
    n = po.sin(x[0])
    for v in x[1:]:
        q = q + v * v
        n = n - po.sin(v)
    assert repr(q) == "QuadExpr(linear=0, quad_terms=50)"
    text = repr(n)
    assert text.startswith("sin(x0) - sin(x1) - sin(x2)") and text.endswith("- sin(x49)")
    # x*y + x*y keeps two entries, and the left operand is unchanged by it.
    a = x[0] * x[1]
    b = a + a
    assert repr(a) == "QuadExpr(linear=0, quad_terms=1)"
    assert repr(b) == "QuadExpr(linear=0, quad_terms=2)"
    c = n - n
    assert repr(c).count("sin(x49)") == 2 and repr(n).count("sin(x49)") == 1
