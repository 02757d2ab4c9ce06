"""Models from numpy / scipy.sparse data: dot, add_matrix, quad_form,
per-variable bounds, and the result vectors as numpy arrays."""
import array

import numpy as np
import pytest

import pelora_opt as po

sp = pytest.importorskip("scipy.sparse")


def test_dot_reads_buffers_and_sequences():
    m = po.Model()
    x = m.variables("x", 3)
    for coefs in ([1, 0, -2.5], (1.0, 0.0, -2.5), np.array([1, 0, -2.5]), array.array("d", [1, 0, -2.5]),
                  np.array([1, 0, -2.5], dtype=np.float32), np.array([1, 9, 0, 9, -2.5, 9])[::2]):
        assert repr(po.dot(coefs, x)) == "x0 - 2.5*x2"
    assert repr(po.dot(np.array([1, 2, 3], dtype=np.int64), np.array(x, dtype=object))) == "x0 + 2*x1 + 3*x2"
    assert repr(po.dot([1, 2, 3], [x[0], x[1], x[0]])) == "4*x0 + 2*x1"  # repeated variables merge
    assert repr(po.dot([], [])) == "0"


@pytest.mark.parametrize("coefs, variables, exc, message", [
    ([1, 2], "xy", TypeError, "dot: variables must be a sequence of Var"),
    ([1, 2], [1.0, 2.0], TypeError, "dot: variables must be a sequence of Var"),
    ([1, float("nan"), 3], None, ValueError, "dot: coefficients contains a NaN or infinite entry"),
    (np.array([1, np.inf, 3]), None, ValueError, "dot: coefficients contains a NaN or infinite entry"),
    ([1, "a", 3], None, TypeError, "dot: coefficients must hold numbers"),
    (np.array(["a", "b", "c"]), None, TypeError, "dot: coefficients must hold numbers"),
    ([1, 2], None, ValueError, "dot: 2 coefficients for 3 variables"),
    (np.ones((3, 1)), None, ValueError, "dot: coefficients must be 1-dimensional"),
])
def test_dot_refuses_bad_input(coefs, variables, exc, message):
    m = po.Model()
    x = m.variables("x", 3)
    with pytest.raises(exc) as info:
        po.dot(coefs, x if variables is None else variables)
    assert str(info.value) == message


A = np.array([[1.0, 0.0, 2.0, 0.0], [0.0, -3.0, 0.0, 0.5], [0.0, 0.0, 0.0, 0.0], [4.0, 1.0, 0.0, 1.0]])


def _operator_model():
    m = po.Model("t")
    x = m.variables("x", 4, lower=0, upper=10)
    for i, (sense, rhs) in enumerate(zip(["<=", ">=", "<=", "=="], [3, -1, 2, 4])):
        row = po.sum(A[i, j] * x[j] for j in range(4) if A[i, j] != 0)
        m.add(row <= rhs if sense == "<=" else row >= rhs if sense == ">=" else row == rhs, name=f"r{i}")
    m.maximize(po.dot([1, 1, 1, 1], x))
    return m


@pytest.mark.parametrize("make", [
    lambda a: a, lambda a: a.tolist(), np.asfortranarray, sp.csr_matrix, sp.csc_matrix, sp.coo_matrix,
    sp.csr_array, sp.coo_array, sp.lil_matrix, sp.dok_matrix,
    lambda a: sp.csr_matrix(a).astype(np.float32),
    lambda a: sp.csr_matrix((sp.csr_matrix(a).data, sp.csr_matrix(a).indices.astype(np.int64),
                             sp.csr_matrix(a).indptr.astype(np.int64)), shape=a.shape),
])
def test_add_matrix_formats_build_the_operator_model(make):
    A_in = make(A)
    ref = _operator_model()
    m = po.Model("t")
    x = m.variables("x", 4, lower=0, upper=10)
    idx = m.add_matrix(A_in, x, ["<=", ">=", "<=", "=="], np.array([3, -1, 2, 4]), names=[f"r{i}" for i in range(4)])
    assert idx == [0, 1, 2, 3]
    m.maximize(po.dot(np.ones(4), x))
    assert m.to_lp() == ref.to_lp()
    r, rr = m.solve(), ref.solve()
    assert r.objective == pytest.approx(rr.objective)
    assert r.primal_array() == pytest.approx(np.array(rr.primals))


def test_refused_arrays_are_released():
    # a buffer export left behind by an error keeps a reference to its array
    import sys

    m = po.Model()
    x = m.variables("x", 2)
    data, indices = np.array([1.0, np.nan]), np.array([0, 1], dtype=np.int32)
    csr = sp.csr_matrix((data, indices, np.array([0, 2], dtype=np.int32)), shape=(1, 2), copy=False)
    cases = [(np.array([1.0, np.nan]), lambda a: po.dot(a, x)),
             (np.array([[1.0, np.inf]]), lambda a: m.add_matrix(a, x, "<=", 1)),
             (np.array([np.nan, 1.0]), lambda a: m.add_matrix(np.eye(2), x, "<=", a)),
             (csr.data, lambda a: m.add_matrix(csr, x, "<=", 1))]
    for arr, call in cases:
        before = sys.getrefcount(arr)
        for _ in range(3):
            with pytest.raises(ValueError):
                call(arr)
        assert sys.getrefcount(arr) == before


def test_add_matrix_merges_duplicates_and_appends():
    m = po.Model()
    x = m.variables("x", 2)
    m.add(x[0] >= 0)
    coo = sp.coo_matrix(([1.0, 2.0, 5.0], ([0, 0, 0], [1, 1, 0])), shape=(1, 2))
    assert m.add_matrix(coo, x, "<=", 7) == [1]
    assert m.add_matrix(np.array([[1.0, 1.0]]), [x[0], x[0]], ">=", 1.0) == [2]
    text = m.to_lp()
    assert "5 x_0 + 3 x_1 <= 7" in text and "2 x_0 >= 1" in text


def test_add_matrix_and_dot_agree_with_operators_on_random_rows():
    # canonical rows over distinct variables take a shortcut; unsorted or
    # repeated columns, explicit zeros, cancelling pairs and repeated
    # variables take the merging path: both must give the operator model
    rng = np.random.default_rng(7)
    for trial in range(30):
        rows, cols = int(rng.integers(1, 6)), int(rng.integers(1, 8))
        nnz = int(rng.integers(0, rows * cols + 4))
        r, c = rng.integers(0, rows, nnz), rng.integers(0, cols, nnz)
        v = rng.choice([0.0, 1e-17, 1.5, -2.0, 3.25], nnz)
        coo = sp.coo_matrix((v, (r, c)), shape=(rows, cols))
        csr = coo.tocsr()
        csr.sum_duplicates()
        unsorted = sp.csr_matrix((csr.data[::-1].copy(), csr.indices[::-1].copy(),
                                  (csr.indptr[-1] - csr.indptr[::-1]).copy()), shape=(rows, cols))
        unsorted = sp.csr_matrix(unsorted[::-1])  # same matrix, reversed entries inside each row
        dense = coo.toarray()
        m0 = po.Model()
        x0 = m0.variables("x", cols)
        pick = [int(k) for k in rng.integers(0, cols, cols)] if trial % 3 == 0 else list(range(cols))
        for i in range(rows):
            m0.add(po.sum(float(dense[i, j]) * x0[pick[j]] for j in range(cols)) <= float(i))
        m0.minimize(po.sum(float(k + 1) * x0[pick[k]] for k in range(cols)))
        for A_in in (coo, csr, unsorted, dense):
            for wrap in (list, tuple):
                m = po.Model()
                x = m.variables("x", cols)
                m.add_matrix(A_in, wrap(x[k] for k in pick), "<=", np.arange(rows, dtype=float))
                m.minimize(po.dot(np.arange(1.0, cols + 1), wrap(x[k] for k in pick)))
                assert m.to_lp() == m0.to_lp(), (trial, type(A_in), wrap)


@pytest.mark.parametrize("args, exc, message", [
    ((np.ones((2, 3)), "<=", 1), ValueError, "add_matrix: A has 3 columns but 2 variables were given"),
    ((np.ones(2), "<=", 1), ValueError, "add_matrix: A must be 2-dimensional"),
    ((np.array([[1.0, np.nan]]), "<=", 1), ValueError, "add_matrix: A contains a NaN or infinite entry"),
    ((sp.csr_matrix([[1.0, np.inf]]), "<=", 1), ValueError, "add_matrix: A contains a NaN or infinite entry"),
    ((np.array([["a", "b"]]), "<=", 1), TypeError, "add_matrix: A must hold numbers"),
    ((np.ones((1, 2)), "<", 1), ValueError,
     "add_matrix: sense must be '<=', '>=' or '==' (or a sequence of them, one per row)"),
    ((np.ones((2, 2)), ["<="], 1), ValueError, "add_matrix: 1 senses for 2 rows"),
    ((np.ones((2, 2)), "<=", [1, 2, 3]), ValueError, "add_matrix: 3 rhs values for 2 rows"),
    ((np.ones((1, 2)), "<=", float("nan")), ValueError, "add_matrix: rhs contains a NaN entry"),
    ((np.ones((1, 2)), "<=", [float("nan")]), ValueError, "add_matrix: rhs contains a NaN entry"),
])
def test_add_matrix_refuses_bad_input_and_leaves_the_model(args, exc, message):
    m = po.Model()
    x = m.variables("x", 2)
    with pytest.raises(exc) as info:
        m.add_matrix(args[0], x, *args[1:])
    assert str(info.value) == message
    assert m.num_constraints == 0
    with pytest.raises(ValueError, match="^add_matrix: 1 names for 2 rows$"):
        m.add_matrix(np.eye(2), x, "<=", 1, names=["a"])
    other = po.Model().variables("y", 5)
    with pytest.raises(ValueError, match="^variable 'y_4' belongs to another model$"):
        m.add_matrix(np.ones((1, 1)), [other[4]], "<=", 1)
    assert m.num_constraints == 0


def test_least_squares_three_ways_agree_with_numpy():
    rng = np.random.default_rng(3)
    M = rng.normal(size=(8, 4))
    b = rng.normal(size=8)
    expected = np.linalg.lstsq(M, b, rcond=None)[0]

    def fresh():
        m = po.Model()
        return m, m.variables("x", 4)

    m1, x1 = fresh()  # operators
    m1.minimize(po.sum((po.sum(M[i, j] * x1[j] for j in range(4)) - b[i]) ** 2 for i in range(8)))
    m2, x2 = fresh()  # quad_form: x'M'Mx - 2 b'Mx + b'b
    m2.minimize(po.quad_form(M.T @ M, x2) - 2 * po.dot(M.T @ b, x2) + float(b @ b))
    m3, x3 = fresh()  # residual variables tied by add_matrix
    r = m3.variables("r", 8)
    m3.add_matrix(sp.hstack([sp.csr_matrix(M), -sp.identity(8)]), x3 + r, "==", b)
    m3.minimize(po.quad_form(sp.identity(8, format="csr"), r))
    best = float(np.sum((M @ expected - b) ** 2))
    for m in (m1, m2, m3):
        res = m.solve()
        assert res.status == "optimal"
        assert res.primal_array()[:4] == pytest.approx(expected, abs=1e-5)
        assert res.objective == pytest.approx(best, abs=1e-6)


def test_markowitz_three_ways_agree_with_the_closed_form():
    # min w'Sw subject to sum(w) == 1: w = S^-1 1 / (1' S^-1 1)
    rng = np.random.default_rng(5)
    F = rng.normal(size=(5, 5))
    S = F @ F.T + 0.5 * np.eye(5)
    inv1 = np.linalg.solve(S, np.ones(5))
    w_star = inv1 / inv1.sum()
    results = []
    for way in ("operators", "quad_form", "arrays"):
        m = po.Model()
        w = m.variables("w", 5)
        if way == "operators":
            m.minimize(po.sum(S[i][j] * w[i] * w[j] for i in range(5) for j in range(5)))
            m.add(po.sum(w) == 1)
        elif way == "quad_form":
            m.minimize(po.quad_form(sp.coo_matrix(S), w))
            m.add(po.dot(np.ones(5), w) == 1)
        else:
            m.minimize(po.quad_form(S, w))
            m.add_matrix(np.ones((1, 5)), w, "==", 1.0)
        r = m.solve()
        results.append(r.primal_array())
        assert r.objective == pytest.approx(1 / inv1.sum(), rel=1e-6)
    for got in results:
        assert got == pytest.approx(w_star, abs=1e-5)


def test_quad_form_checks_its_matrix():
    m = po.Model()
    x = m.variables("x", 2)
    assert repr(po.quad_form(np.array([[1.0, 2.0], [0.0, 3.0]]), x)) == "QuadExpr(linear=0, quad_terms=3)"
    with pytest.raises(ValueError, match="^quad_form: Q is 2x3 but 2 variables were given$"):
        po.quad_form(np.ones((2, 3)), x)
    with pytest.raises(ValueError, match="^quad_form: Q contains a NaN or infinite entry$"):
        po.quad_form(np.array([[np.nan, 0.0], [0.0, 1.0]]), x)
    with pytest.raises(TypeError, match="^quad_form: variables must be a sequence of Var$"):
        po.quad_form(np.eye(2), [x[0], 1.0])


def test_per_variable_bounds():
    m = po.Model()
    lo = np.array([0.0, 1.5, -2.0])
    x = m.variables("x", 3, lower=lo, upper=[1.0, float("inf"), 3.0])
    k = m.integers("k", 2, lower=(1, 2), upper=5)
    m.minimize(po.sum(x) + po.sum(k))
    r = m.solve()
    assert r.primal_array() == pytest.approx([0.0, 1.5, -2.0, 1.0, 2.0])
    m.maximize(x[0] + x[2] + po.sum(k))
    assert m.solve().primal_array()[[0, 2, 3, 4]] == pytest.approx([1.0, 3.0, 5.0, 5.0])
    z = m.variables("z", 2, lower=np.float64(-1), upper=np.array(4.0))  # numpy scalars are one bound
    m.add_matrix(np.ones((2, 2)), z, ">=", np.float64(-1.5))
    with pytest.raises(ValueError, match="^lower: 2 bounds for 3 variables$"):
        m.variables("y", 3, lower=[0, 1])
    with pytest.raises(ValueError, match="^upper contains a NaN entry$"):
        m.variables("y", 2, upper=np.array([1.0, np.nan]))
    assert m.num_vars == 7
    assert "-1 <= z_0 <= 4" in m.to_lp() and "z_0 + z_1 >= -1.5" in m.to_lp()


def test_binaries_take_bounds_that_fix_them_and_keep_them_through_exports():
    m = po.Model("fix")
    b = m.binaries("b", 4, lower=[0, 1, 0, 0], upper=np.array([1.0, 1.0, 0.0, 1.0]))
    c = m.binaries("c", 2, upper=0)
    m.maximize(po.dot([1, 1, 1, 1], b) + po.sum(c))
    m.add(b[0] + b[3] <= 1.5)
    r = m.solve()
    assert r.objective == pytest.approx(2.0)
    assert r.primal_array()[1:3] == pytest.approx([1.0, 0.0])
    assert "6 bin" in m.summary()
    text = m.to_lp()
    assert "1 <= b_1 <= 1" in text and "General\n b_1\n b_2\n c_0\n c_1\nBinary\n b_0\n b_3\n" in text
    assert "b_1 = m.integer('b_1', lower=1, upper=1)" in m.to_python()
    assert "b_0 = m.binary('b_0')" in m.to_python()
    for fmt in ("lp", "mps"):
        back = po.read_model(_written(m, fmt))
        assert back.solve().objective == pytest.approx(2.0)
    scope = {}
    exec(m.to_python(), scope)
    assert scope["m"].solve().objective == pytest.approx(2.0)
    assert po.Model().binaries("d", 2) and "0 <= d_0 <= 1" in _lp_of_binaries()
    for bad in ({"lower": -1}, {"upper": 2}, {"lower": [0, 1.5]}, {"upper": float("nan")}):
        with pytest.raises(ValueError, match=r"^binaries: bounds must lie in \[0, 1\]$"):
            m.binaries("e", 2, **bad)
    with pytest.raises(ValueError, match="^upper contains a NaN entry$"):
        m.binaries("e", 2, upper=[float("nan"), 1])
    assert m.num_vars == 6


def _written(m, fmt):
    import os
    import tempfile

    path = os.path.join(tempfile.mkdtemp(), "model." + fmt)
    m.write(path)
    return path


def _lp_of_binaries():
    m = po.Model()
    m.binaries("d", 2)
    return m.to_lp()


def test_result_arrays():
    m = po.Model()
    x = m.variables("x", 3, lower=0)
    m.add(po.sum(x) >= 2)
    m.add(x[0] - x[1] <= 0.5)
    m.minimize(po.dot([1, 2, 3], x))
    r = m.solve()
    p, d = r.primal_array(), r.dual_array()
    assert isinstance(p, np.ndarray) and p.dtype == np.float64 and p.shape == (3,)
    assert p.tolist() == r.primals
    assert d.dtype == np.float64 and d.tolist() == r.duals
    p[0] = 99.0  # a private copy
    assert r.primal_array()[0] != 99.0
    bad = po.Model()
    y = bad.variable("y", lower=0)
    bad.add(y <= -1)
    bad.minimize(y)
    rb = bad.solve()
    assert rb.status == "infeasible"
    assert rb.primal_array() is None and rb.dual_array() is None
