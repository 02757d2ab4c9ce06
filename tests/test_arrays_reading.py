"""Reading variables, coefficients and sparse arrays in bulk: lists in the
order Model.variables gives them and in any other order, lists drawn from
several name blocks or models, and bad entries anywhere in a long array."""
import numpy as np
import pytest

import pelora_opt as po

sp = pytest.importorskip("scipy.sparse")


def test_dot_gives_one_result_for_every_order_and_block_layout():
    m = po.Model()
    x = m.variables("x", 4)
    y = m.variables("y", 3)  # a second name block of the same model
    c = [1.0, -2.0, 0.0, 3.5, 1e-16, 4.0, -1.0]
    both = list(x) + list(y)
    want = po.sum(ci * v for ci, v in zip(c, both) if abs(ci) >= 1e-15)
    assert repr(po.dot(c, both)) == repr(want)
    # decreasing and shuffled orders: distinct, but not increasing
    order = [6, 0, 5, 1, 4, 2, 3]
    got = po.dot([c[k] for k in order], [both[k] for k in order])
    assert sorted(str(got).split(" + ")) == sorted(str(po.sum(c[k] * both[k] for k in order
                                                              if abs(c[k]) >= 1e-15)).split(" + "))
    back = po.dot(c[::-1], both[::-1])
    assert repr(back) == repr(po.sum(ci * v for ci, v in zip(c[::-1], both[::-1]) if abs(ci) >= 1e-15))
    # a repeat after an increasing prefix merges; a repeat that cancels goes
    assert repr(po.dot([1, 2, 3, -1], [x[0], x[1], x[2], x[0]])) == "2*x1 + 3*x2"
    assert repr(po.dot([1, 2, 3], [x[0], x[1], x[1]])) == "x0 + 5*x1"
    # values below the cancel tolerance are left out on both paths
    assert repr(po.dot([1e-16, -0.0, 2.0], [x[0], x[1], x[2]])) == "2*x2"
    assert repr(po.dot([1e-16, -0.0, 2.0], [x[2], x[1], x[0]])) == "2*x0"


def test_reading_variables_stops_at_the_first_bad_element():
    m, other = po.Model(), po.Model()
    x = m.variables("x", 5)
    z = other.variables("z", 3)
    # a foreign variable after several of one block, and before them
    for vs, name in (([x[0], x[1], x[2], z[1], x[3]], "z_1"), ([z[2], x[0], x[1], x[2], x[3]], "x_0")):
        with pytest.raises(ValueError, match=f"^variable '{name}' belongs to another model$"):
            po.dot([1.0] * 5, vs)
        with pytest.raises(ValueError, match="belongs to another model$"):
            m.add_matrix(np.ones((1, 5)), vs, "<=", 1.0)
    # a non-Var after variables of one block, and in a tuple
    for vs in ([x[0], x[1], 3.0, x[3], x[4]], (x[0], x[1], x[2], x[3], "x4"), [x[0], None] + list(x[2:])):
        with pytest.raises(TypeError, match="^dot: variables must be a sequence of Var$"):
            po.dot([1.0] * 5, vs)
        with pytest.raises(TypeError, match="^add_matrix: variables must be a sequence of Var$"):
            m.add_matrix(np.ones((1, 5)), vs, "<=", 1.0)
    assert m.num_constraints == 0


def test_bad_entries_are_found_anywhere_in_a_long_array():
    m = po.Model()
    n = 1000
    x = m.variables("x", n)
    for bad in (np.inf, -np.inf, np.nan):
        for at in (0, n // 2 + 1, n - 1):
            c = np.ones(n)
            c[at] = bad
            with pytest.raises(ValueError, match="^dot: coefficients contains a NaN or infinite entry$"):
                po.dot(c, x)
            a = sp.csr_matrix(np.vstack([np.ones(n), np.arange(n, dtype=float)]))
            a.data[at] = bad
            with pytest.raises(ValueError, match="^add_matrix: A contains a NaN or infinite entry$"):
                m.add_matrix(a, x, "<=", 1.0)
    # bounds-like right-hand sides refuse NaN only
    rhs = np.array([1.0, np.inf])
    assert len(m.add_matrix(sp.csr_matrix(np.ones((2, n))), x, "<=", rhs)) == 2
    rhs[1] = np.nan
    with pytest.raises(ValueError, match="^add_matrix: rhs contains a NaN entry$"):
        m.add_matrix(sp.csr_matrix(np.ones((2, n))), x, "<=", rhs)


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("bad", [-1, 3, 2**31 - 1])
def test_sparse_indices_out_of_range_are_refused(index_dtype, bad):
    m = po.Model()
    x = m.variables("x", 3)
    indices = np.array([0, 2, 1, bad], dtype=index_dtype)
    a = sp.csr_matrix((np.ones(4), indices, np.array([0, 2, 4], dtype=index_dtype)), shape=(2, 3))
    with pytest.raises(ValueError, match="^add_matrix: A has an index out of range$"):
        m.add_matrix(a, x, "<=", 1.0)
    assert m.num_constraints == 0


def test_add_matrix_rows_canonical_or_not_give_the_operator_rows():
    m = po.Model()
    x = m.variables("x", 4)
    # row 0 canonical, row 1 unsorted, row 2 repeats a column, row 3 holds a
    # zero and a value below the tolerance
    data = np.array([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, -7.0, 8.0, 0.0, 1e-16, 9.0])
    indices = np.array([0, 1, 3, 2, 0, 1, 3, 3, 2, 0, 1, 3], dtype=np.int32)
    indptr = np.array([0, 3, 5, 9, 12], dtype=np.int32)
    a = sp.csr_matrix((data, indices, indptr), shape=(4, 4))
    a.has_sorted_indices = True  # as scipy trusts a flag it was told: the rows are read as they are
    m.add_matrix(a, x, "<=", [1, 2, 3, 4], names=["r0", "r1", "r2", "r3"])
    assert _rows(m) == {"r0": {"x_0", "2 x_1", "3 x_3"}, "r1": {"5 x_0", "4 x_2"},
                        "r2": {"6 x_1", "8 x_2"}, "r3": {"9 x_3"}}
    # the same rows over variables given in decreasing order (distinct, not increasing)
    m2 = po.Model()
    y = m2.variables("x", 4)
    m2.add_matrix(a, [y[3], y[2], y[1], y[0]], "<=", [1, 2, 3, 4], names=["r0", "r1", "r2", "r3"])
    assert _rows(m2) == {"r0": {"x_3", "2 x_2", "3 x_0"}, "r1": {"5 x_3", "4 x_1"},
                         "r2": {"6 x_2", "8 x_1"}, "r3": {"9 x_0"}}


def _rows(m):
    """Each named row of the LP text as its set of terms."""
    out = {}
    for line in m.to_lp().splitlines():
        line = line.strip()
        if line[:1] == "r" and ":" in line:
            name, rest = line.split(":", 1)
            out[name] = set(t.strip() for t in rest.split("<=")[0].split(" + "))
    return out


def test_nan_coefficients_are_named_by_their_first_row_and_column():
    # the solve-time checks scan without a branch per entry, then look for
    # the first offender: the message must name the same one as before
    nan = float("nan")
    m = po.Model()
    x = m.variables("x", 40, lower=0.0, upper=1.0)
    m.add_matrix(sp.csr_matrix(np.ones((6, 40))), x, "<=", 40.0)
    m.add(x[0] + nan * x[30] <= 1.0)  # row 6
    m.add(nan * x[2] + x[1] <= 1.0)   # row 7
    m.minimize(po.sum(x))
    with pytest.raises(ValueError, match=r"^constraint 6 has a NaN coefficient \(variable index 30\)$"):
        m.solve()
    m2 = po.Model()
    y = m2.variables("y", 40, lower=0.0, upper=1.0)
    m2.add_matrix(sp.csr_matrix(np.ones((2, 40))), y, "<=", 40.0)
    m2.minimize(po.dot(np.arange(40.0), y) + nan * y[33] + nan * y[17])
    with pytest.raises(ValueError, match=r"^the objective has a NaN coefficient \(variable index 17\)$"):
        m2.solve()
    # without a NaN the same models solve
    m2.minimize(po.dot(np.arange(40.0), y))
    assert m2.solve().status == "optimal"
