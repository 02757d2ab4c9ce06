"""Every solve tests whole arrays of the model at once (bounds beyond the
solvers' infinity, bounds no value meets, integer columns, NaN entries),
blocks of entries at a time with a tail one by one. One offending entry
must be found at every position, inside a block and in the tail."""
import math

import numpy as np
import pytest

import pelora_opt as po

INF = math.inf
# lengths around the block sizes (8 doubles, 16 ints) and their tails
LENGTHS = (1, 7, 8, 9, 16, 17, 33)
CASES = [(n, at) for n in LENGTHS for at in range(n)]


def box_model(n, at, lower=0.0, upper=1.0, integer=False):
    """n variables in [0, 1] except variable `at`; maximise their sum."""
    m = po.Model()
    xs = []
    for k in range(n):
        if k == at:
            add = m.integer if integer else m.variable
            xs.append(add(f"x{k}", lower, upper))
        else:
            xs.append(m.variable(f"x{k}", 0.0, 1.0))
    m.maximize(po.sum(xs))
    return m, xs


@pytest.mark.parametrize("n, at", CASES)
def test_one_entry_anywhere_decides_the_answer(n, at):
    # a lower side of 1e25 is +inf to the solvers: no point meets it
    m, _ = box_model(n, at, lower=1e25, upper=INF)
    assert m.solve().status == "infeasible"
    # an upper side of -1e21 likewise, and lower above upper
    m, _ = box_model(n, at, lower=-INF, upper=-1e21)
    assert m.solve().status == "infeasible"
    m, _ = box_model(n, at, lower=0.75, upper=0.5)
    assert m.solve().status == "infeasible"
    # an upper side of 1e21 constrains nothing: the sum is unbounded
    m, _ = box_model(n, at, lower=0.0, upper=1e21)
    assert m.solve().status in ("unbounded", "infeasible_or_unbounded")
    # one integer column makes the model a MILP: 2.5 rounds down to 2
    m, _ = box_model(n, at, lower=0.0, upper=2.5, integer=True)
    r = m.solve()
    assert r.status == "optimal"
    assert r.primals[at] == 2.0
    assert r.objective == pytest.approx(2.0 + (n - 1))


@pytest.mark.parametrize("n, at", [(n, at) for n in (9, 17, 33) for at in (0, n // 2, n - 1)])
def test_nan_entries_anywhere_are_named(n, at):
    m = po.Model()
    x = m.variables("x", n)
    # one row holding every variable: the NaN lies at entry `at` of the matrix
    a = [1.0] * n
    a[at] = math.nan
    m.add(po.sum(ak * xk for ak, xk in zip(a, x)) <= 1.0)
    m.maximize(po.sum(x))
    with pytest.raises(ValueError, match=rf"^constraint 0 has a NaN coefficient \(variable index {at}\)$"):
        m.solve()
    # and in the objective's costs
    m = po.Model()
    x = m.variables("x", n, upper=1.0)
    c = [1.0] * n
    c[at] = math.nan
    m.maximize(po.sum(ck * xk for ck, xk in zip(c, x)))
    with pytest.raises(ValueError, match=rf"^the objective has a NaN coefficient \(variable index {at}\)$"):
        m.solve()
    # an array of coefficients refuses NaN and infinity wherever they stand
    for bad in (math.nan, INF, -INF):
        c = np.ones(n)
        c[at] = bad
        with pytest.raises(ValueError, match="contains a NaN or infinite entry"):
            po.dot(c, x)
