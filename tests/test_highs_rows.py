"""What HiGHS is handed from the model's row arena: a packed arena, one with
gaps left by edits, a copy sharing either, and the same rows after
eliminate_redundant found nothing to remove (the matrix rebuilt on that path)
must give the same problem: the same values, duals, basis, ranges and
iteration counts, bit for bit. Results kept across later edits stay as they
were."""
import math
import pickle

import numpy as np
import pytest

import pelora_opt as po

scipy_optimize = pytest.importorskip("scipy.optimize")


def outcome(r):
    """Everything a HiGHS run reports, for exact comparison."""
    b = r.basis()
    basis = None if b is None else (list(b.col_status), list(b.row_status))
    return {"status": r.status, "objective": r.objective, "values": r.primals, "duals": r.duals,
            "basis": basis, "iterations": r.iterations}


def column_route(m, **kw):
    # eliminate_redundant scans the rows and rebuilds the matrix; the models
    # below have no redundant row, so the problem handed over is the same.
    return m.solve(eliminate_redundant=True, **kw)


def lp_model(maximize=False, integer=False, quadratic=False, n=12):
    """Rows of every sense, a range written as two rows, negative and
    fractional coefficients, an objective constant; no redundant row."""
    m = po.Model("rows")
    x = m.integers("x", n, lower=0, upper=20) if integer else m.variables("x", n, lower=0.0, upper=20.0)
    y = m.variable("y", lower=-5.0)  # no upper bound: no row is redundant
    for i in range(n - 2):
        m.add(2.5 * x[i] - x[i + 1] + 0.5 * x[i + 2] + y <= 7.0 + i, name=f"le{i}")
    m.add(po.sum(x) - y >= 3.0, name="ge")
    m.add(x[0] + 3 * x[n - 1] - 2 * y == 4.0, name="eq")
    m.add(x[1] - x[2] + y >= -6.0)
    m.add(x[1] - x[2] + y <= 9.0)
    obj = po.sum([(1.0 + 0.25 * i) * x[i] for i in range(n)]) - 0.5 * y + 3.0
    if quadratic:
        obj = obj + po.sum([0.1 * (x[i] * x[i]) for i in range(n)]) + 0.2 * (y * y)
    m.maximize(obj) if maximize and not quadratic else m.minimize(obj)
    return m, x, y


@pytest.mark.parametrize("case", ["min", "max", "milp", "qp"])
def test_row_and_column_handoffs_give_identical_results(case):
    m, _, _ = lp_model(maximize=case == "max", integer=case == "milp", quadratic=case == "qp")
    kw = {"solver": "highs"} if case == "qp" else {}
    rows = m.solve(**kw)
    cols = column_route(m, **kw)
    assert rows.status == "optimal"
    assert outcome(rows) == outcome(cols)
    if case in ("min", "max"):
        a = m.solve(ranging=True).sensitivity()
        b = column_route(m, ranging=True).sensitivity()
        assert a == b and len(a["rhs_ranges"]) == m.num_constraints


def test_large_mixed_integer_model_goes_over_row_wise_with_its_integrality():
    # Beyond the size where the relaxation is tried first: the model goes to
    # HiGHS whole in one passModel call with its integrality.
    n = 4200
    rng = np.random.default_rng(7)
    weight = rng.integers(1, 30, n).astype(float)
    value = weight + rng.integers(0, 10, n)
    m = po.Model("knapsacks")
    x = m.binaries("x", n)
    A = np.vstack([weight, (np.arange(n) % 2 == 0).astype(float)])
    m.add_matrix(A, x, ["<=", "<="], [weight.sum() / 50, 40])
    m.maximize(po.dot(value, x))
    rows = m.solve(gap=0.0)
    cols = column_route(m, gap=0.0)
    assert rows.status == "optimal"
    assert outcome(rows) == outcome(cols)
    ref = scipy_optimize.milp(-value, constraints=scipy_optimize.LinearConstraint(A, -np.inf, [weight.sum() / 50, 40]),
                              integrality=np.ones(n), bounds=scipy_optimize.Bounds(0, 1))
    assert math.isclose(rows.objective, -ref.fun, rel_tol=1e-9)
    assert all(v in (0.0, 1.0) for v in rows.primals)


def test_free_rows_empty_rows_and_infinite_sides_go_over_as_before():
    m = po.Model()
    x = m.variables("x", 3, lower=0.0, upper=4.0)
    m.add(x[0] + x[1] <= 1e30, name="free")  # beyond HiGHS's infinity: no limit
    m.add(po.sum([]) <= 5.0, name="empty")
    m.add(x[0] - x[2] >= -1e21, name="also_free")
    m.add(x[0] + 2 * x[1] + x[2] >= 2.0, name="cover")
    m.minimize(x[0] + x[1] + 3 * x[2])
    r = m.solve()
    assert r.status == "optimal" and math.isclose(r.objective, 1.0)
    assert r.duals == [0.0, 0.0, 0.0, 0.5]
    assert r.values() == {"x[0]": 0.0, "x[1]": 1.0, "x[2]": 0.0} or r.primals == [0.0, 1.0, 0.0]


def rebuilt_with_gaps():
    """lp_model's problem reached through edits that move rows and leave
    gaps in the arena: terms added to early rows, rows removed, terms
    dropped."""
    m = po.Model("rows")
    n = 12
    x = m.variables("x", n, lower=0.0, upper=20.0)
    y = m.variable("y", lower=-5.0)
    junk = m.add(po.sum(x[:6]) <= 100.0, name="junk")
    le = []
    for i in range(n - 2):
        # each row first without y: y is added below, which moves it
        le.append(m.add(2.5 * x[i] - x[i + 1] + 0.5 * x[i + 2] + 9.0 * x[(i + 5) % n] <= 7.0 + i,
                        name=f"le{i}"))
    ge = m.add(po.sum(x) - y >= 3.0, name="ge")
    eq = m.add(x[0] + 3 * x[n - 1] >= 4.0, name="eq")
    m.add(x[1] - x[2] + y >= -6.0)
    m.add(x[1] - x[2] + y <= 9.0)
    for i, c in enumerate(le):
        m.set_coefficient(c, y, 1.0)
        m.set_coefficient(c, x[(i + 5) % n], 0.0)
    m.set_coefficient(eq, y, -2.0)
    m.remove(junk)
    m.remove("eq")
    m.add(x[0] + 3 * x[n - 1] - 2 * y == 4.0, name="eq")
    # the equality goes back to its place: remove and re-add the rows after it
    tail_rows = list(m.constraints)[n - 1:]
    assert [c.name for c in tail_rows] == [None, None, "eq"]
    m.remove(tail_rows[0])
    m.remove(tail_rows[1])
    m.add(x[1] - x[2] + y >= -6.0)
    m.add(x[1] - x[2] + y <= 9.0)
    del ge
    m.minimize(po.sum([(1.0 + 0.25 * i) * x[i] for i in range(n)]) - 0.5 * y + 3.0)
    return m, x, y


def test_an_arena_with_gaps_solves_exactly_like_a_packed_one():
    fresh, _, _ = lp_model()
    gapped, _, _ = rebuilt_with_gaps()
    assert gapped.to_lp().split("\n", 1)[1] == fresh.to_lp().split("\n", 1)[1]
    a, b = gapped.solve(ranging=True), fresh.solve(ranging=True)
    assert outcome(a) == outcome(b)
    assert a.sensitivity() == b.sensitivity()
    # solving again (the arena is packed now) and the column route agree too
    assert outcome(gapped.solve()) == outcome(b)
    assert outcome(column_route(gapped)) == outcome(b)


def test_edits_after_a_solve_reach_the_next_solve_and_spare_the_kept_result():
    m, x, y = lp_model()
    first = m.solve(ranging=True)
    kept = (first.to_dict(), outcome(first), first.sensitivity(), first.values())
    # edits while the Result shares the arena: a row grows (moves to the
    # end), a term goes, a row goes, a right-hand side changes
    c0 = m.constraints[0]
    m.set_coefficient(c0, x[7], 1.5)
    m.set_coefficient(m.constraints[1], x[1], 0.0)
    m.remove(m.constraints[2])
    m.constraint("eq").rhs = 10.0
    # the same rows with no gap: an unpickled model builds its arena afresh
    ref = pickle.loads(pickle.dumps(m))
    second = m.solve(ranging=True)
    assert (first.to_dict(), outcome(first), first.sensitivity(), first.values()) == kept
    assert m.to_lp().split("\n", 1)[1] == ref.to_lp().split("\n", 1)[1]
    assert outcome(second) == outcome(ref.solve(ranging=True))
    assert outcome(second) == outcome(column_route(m))
    assert second.objective != first.objective


def test_a_copy_sharing_a_gapped_arena_keeps_its_rows_when_the_original_solves():
    m, x, _ = rebuilt_with_gaps()
    c = m.copy()  # shares the arena, gaps and all
    before = c.to_lp()
    r = m.solve()
    assert c.to_lp() == before
    # the copy solves alike, and its edits do not reach the original
    assert outcome(c.solve()) == outcome(r)
    c.set_coefficient(c.constraints[0], c.vars[3], 4.0)
    assert outcome(m.solve()) == outcome(r)
    assert c.solve().objective != r.objective or c.to_lp() != m.to_lp()


def test_repeated_solves_leave_the_model_as_it_was():
    m, _, _ = lp_model(integer=True)
    text = m.to_mps()
    results = [outcome(m.solve()) for _ in range(3)]
    assert results[0] == results[1] == results[2]
    assert m.to_mps() == text


def test_nan_coefficient_in_a_moved_row_names_the_row_and_the_variable():
    m = po.Model()
    x = m.variables("x", 3, lower=0.0, upper=1.0)
    m.add(x[0] + x[1] <= 1.0)
    c = m.add(x[0] + x[1] <= 1.0)
    m.add(x[0] + float("nan") * x[2] <= 1.0)
    m.set_coefficient(c, x[2], 1.0)  # moves row 1 behind row 2: a gap, rows out of arena order
    m.minimize(po.sum(x))
    for kw in ({}, {"eliminate_redundant": True}):
        with pytest.raises(ValueError, match=r"^constraint 2 has a NaN coefficient \(variable index 2\)$"):
            m.solve(**kw)


class _Shrinks:
    """An element whose conversion empties the list it sits in."""

    def __float__(self):
        victim.clear()
        return 7.0


victim = []


def test_lists_of_floats_read_with_exact_floats_fast_and_others_converted():
    # exact floats, ints, bools and objects with __float__ mixed; an
    # element whose conversion shrinks the list ends the reading there, as a
    # list iterator would, without reading freed items
    class Num:
        def __float__(self):
            return 2.5

    r = po._restore("BlackBoxResult", [1.0, Num(), True, 3], 0.0, [0.5, -0.0], 4, True, False)
    assert r.x == [1.0, 2.5, 1.0, 3.0] and r.history == [0.5, -0.0]
    victim[:] = [1.5, _Shrinks(), 9.0, 9.0]
    r = po._restore("BlackBoxResult", victim, 0.0, [], 0, False, False)
    assert r.x == [1.5, 7.0] and victim == []
    with pytest.raises(TypeError):
        po._restore("BlackBoxResult", [1.0, "2"], 0.0, [], 0, False, False)


def test_a_large_model_solves_after_the_heap_is_handed_back():
    # Large enough (columns + rows + entries >= 1,000,000) for the free heap
    # to go back to the system before HiGHS runs. Rows x[2i] + x[2i+1] >= 1:
    # the optimum takes the cheaper column of every pair.
    import scipy.sparse as sp

    k = 300_000
    cost = np.random.default_rng(3).uniform(1.0, 2.0, 2 * k)
    m = po.Model("pairs")
    x = m.variables("x", 2 * k, lower=0.0, upper=1.0)
    A = sp.csr_matrix((np.ones(2 * k), (np.repeat(np.arange(k), 2), np.arange(2 * k))), shape=(k, 2 * k))
    m.add_matrix(A, x, ">=", 1.0)
    m.minimize(po.dot(cost, x))
    r = m.solve()
    assert r.status == "optimal"
    assert math.isclose(r.objective, np.minimum(cost[0::2], cost[1::2]).sum(), rel_tol=1e-12)
    assert len(r.primals) == 2 * k and len(r.duals) == k
