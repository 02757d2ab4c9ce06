"""Stored linear rows under long runs of edits: coefficients changed, added and
dropped, rows added from expressions and arrays, removed and renamed
positions, with copies, pickles and Results taken along the way. After each
run the model must export and solve exactly like a model built fresh from the
same rows."""
import pickle
import random

import numpy as np
import pytest

import pelora_opt as po

NVARS = 60


def fresh(rows, name="rows"):
    """A model with the reference rows, built from scratch."""
    m = po.Model(name)
    x = m.variables("x", NVARS, lower=0.0, upper=10.0)
    for r in rows:
        e = po.sum([c * x[i] for i, c in r["terms"].items()]) if r["terms"] else po.sum([])
        m.add(e <= r["rhs"] if r["sense"] == "<=" else e >= r["rhs"], name=r["name"])
    m.maximize(po.sum(x))
    return m


def tail(text):
    return text.split("\n", 1)[1]


def same(m, rows):
    f = fresh(rows)
    assert tail(m.to_lp()) == tail(f.to_lp())
    assert tail(m.to_mps()) == tail(f.to_mps())
    assert m.summary() == f.summary() and m.validate() == f.validate()
    assert m.num_constraints == len(rows)
    for pos, r in enumerate(rows):
        assert m.constraints[pos].rhs == r["rhs"]
        assert m.constraints[pos].name == r["name"]


def random_row(rng, k, long=False):
    n = rng.randint(40, NVARS) if long else rng.randint(0, 6)
    picked = rng.sample(range(NVARS), n)
    return {"terms": {i: float(rng.randint(1, 9)) for i in picked},
            "rhs": float(rng.randint(5, 50)), "sense": rng.choice(["<=", ">="]),
            "name": rng.choice([None, f"r{k}"])}


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_long_edit_runs_match_a_fresh_model(seed):
    rng = random.Random(seed)
    rows = [random_row(rng, k, long=k % 3 == 0) for k in range(30)]
    m = fresh(rows)
    x = m.vars
    kept = []  # (Result, its dict) taken along the way
    copies = []  # (copied model, rows at the copy)
    for step in range(400):
        op = rng.random()
        if not rows or op < 0.55:
            if not rows:
                rows.append(random_row(rng, 1000 + step))
                m.add(_expr(x, rows[-1]), name=rows[-1]["name"])
                continue
            pos = rng.randrange(len(rows))
            var = rng.randrange(NVARS)
            value = rng.choice([0.0, 0.0, float(rng.randint(-9, 9)), 2.5])
            m.set_coefficient(m.constraints[pos], x[var], value)
            terms = rows[pos]["terms"]
            if value == 0.0:
                terms.pop(var, None)
            else:
                terms[var] = value
        elif op < 0.65:
            pos = rng.randrange(len(rows))
            m.remove(m.constraints[pos])
            del rows[pos]
        elif op < 0.78:
            r = random_row(rng, 1000 + step, long=rng.random() < 0.3)
            rows.append(r)
            m.add(_expr(x, r), name=r["name"])
        elif op < 0.85:
            # several rows at once from arrays
            batch = [random_row(rng, 2000 + step + j) for j in range(3)]
            A = np.zeros((3, NVARS))
            for j, r in enumerate(batch):
                for i, c in r["terms"].items():
                    A[j, i] = c
                r["name"] = None
                r["terms"] = {i: c for i, c in sorted(r["terms"].items())}
            m.add_matrix(A, x, [r["sense"] for r in batch], [r["rhs"] for r in batch])
            rows.extend(batch)
        elif op < 0.92:
            pos = rng.randrange(len(rows))
            rows[pos]["rhs"] = float(rng.randint(0, 60))
            m.constraints[pos].rhs = rows[pos]["rhs"]
        elif op < 0.96:
            r = m.solve()
            kept.append((r, r.to_dict()))
        else:
            copies.append((m.copy(), [dict(r, terms=dict(r["terms"])) for r in rows]))
        if step % 100 == 99:
            same(m, rows)
    same(m, rows)
    same(pickle.loads(pickle.dumps(m)), rows)
    for r, d in kept:
        assert r.to_dict() == d
    for c, at_copy in copies:
        same(c, at_copy)
    f = fresh(rows)
    assert m.solve().to_dict() == f.solve().to_dict()


def _expr(x, r):
    e = po.sum([c * x[i] for i, c in r["terms"].items()]) if r["terms"] else po.sum([])
    return e <= r["rhs"] if r["sense"] == "<=" else e >= r["rhs"]


def test_growing_rows_that_move_keep_order_names_and_results():
    m = po.Model()
    x = m.variables("x", 400, lower=0.0, upper=1.0)
    first = m.add(po.sum(x[:200]) <= 50, name="first")
    m.add(po.sum(x[200:]) <= 60, name="second")
    m.add(x[0] + x[399] >= 1)
    m.maximize(po.sum(x))
    before = m.solve()
    seen = before.to_dict()
    # the first row grows term by term: each time it moves to the arena's end
    for i in range(200, 400):
        m.set_coefficient(first, x[i], 0.5)
    for i in range(0, 200, 2):
        m.set_coefficient(first, x[i], 0.0)
    assert before.to_dict() == seen
    ref = po.Model()
    y = ref.variables("x", 400, lower=0.0, upper=1.0)
    ref.add(po.sum(y[1:200:2]) + po.sum([0.5 * v for v in y[200:]]) <= 50, name="first")
    ref.add(po.sum(y[200:]) <= 60, name="second")
    ref.add(y[0] + y[399] >= 1)
    ref.maximize(po.sum(y))
    assert tail(m.to_lp()) == tail(ref.to_lp())
    assert m.solve().to_dict() == ref.solve().to_dict()
    assert [c.name for c in m.constraints] == ["first", "second", None]
    m.remove("first")
    assert [c.name for c in m.constraints] == ["second", None]
    assert m.constraint("second").index == 0


def test_a_removed_row_takes_its_name_and_later_names_move_up():
    m = po.Model()
    x = m.variable("x", 0, 10)
    for k in range(6):
        m.add(x <= 10 - k, name=f"n{k}" if k % 2 == 0 else None)
    m.maximize(x)
    m.remove("n2")
    m.remove(m.constraints[0])
    assert [c.name for c in m.constraints] == [None, None, "n4", None]
    assert m.constraint("n4").index == 2
    with pytest.raises(KeyError):
        m.constraint("n2")
    m.add(x <= 1, name="n2")  # a name freed by a removal can be taken again
    assert m.constraint("n2").index == 4 and m.solve().objective == 1.0


# ---- rows written from expressions, against the same rows from arrays --------

def _csr(rows, n):
    import scipy.sparse as sp

    data, cols, ptr = [], [], [0]
    for picked, coefs in rows:
        cols += picked
        data += coefs
        ptr.append(len(cols))
    return sp.csr_matrix((np.array(data, dtype=float), np.array(cols, dtype=np.int64),
                          np.array(ptr, dtype=np.int64)), shape=(len(rows), n))


def _from_arrays(rows, n, names=None, rhs=None, name="rows"):
    """The rows through Model.add_matrix (row r: terms <= rhs[r], default r),
    one call per row where some rows have no name."""
    m = po.Model(name)
    y = m.variables("x", n, lower=0.0, upper=1.0)
    rhs = np.arange(len(rows), dtype=float) if rhs is None else np.asarray(rhs, dtype=float)
    if names is None and rows:
        m.add_matrix(_csr(rows, n), y, "<=", rhs)
    for r, row in enumerate(rows if names is not None else []):
        m.add_matrix(_csr([row], n), y, "<=", rhs[r:r + 1], names=None if names[r] is None else [names[r]])
    return m


# Lengths around the blocks rows are copied in (4 and 8 terms), and long ones.
ROW_LENGTHS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 15, 16, 17, 23, 24, 25, 63, 64, 65, 1000, 1003]


def test_rows_of_every_length_keep_each_coefficient_with_its_variable():
    n = 1100
    rng = random.Random(7)
    m = po.Model("rows")
    x = m.variables("x", n, lower=0.0, upper=1.0)
    rows, lines = [], []
    for r, k in enumerate(ROW_LENGTHS):
        picked = rng.sample(range(n), k)  # not in index order
        coefs = [float(rng.randint(2, 999)) for _ in picked]
        m.add(po.sum([c * x[i] for i, c in zip(picked, coefs)]) <= r)
        rows.append((picked, coefs))
        body = " + ".join(f"{c:g} x_{i}" for i, c in sorted(zip(picked, coefs))) or "0"
        lines.append(f" c{r}: {body} <= {r}")
    lp = m.to_lp()
    for line in lines:
        assert line in lp.split("\n")
    assert tail(lp) == tail(_from_arrays(rows, n).to_lp())
    # coefficients of every magnitude and sign travel with their variables too
    m2 = po.Model("rows")
    x2 = m2.variables("x", n, lower=0.0, upper=1.0)
    rows2 = []
    for r, k in enumerate(ROW_LENGTHS):
        picked = rng.sample(range(n), k)
        coefs = [rng.choice([-1.0, 1.0]) * rng.uniform(1.0, 10.0) * 10.0 ** rng.randint(-12, 12)
                 for _ in picked]
        m2.add(po.sum([c * x2[i] for i, c in zip(picked, coefs)]) <= r)
        rows2.append((picked, coefs))
    ref = _from_arrays(rows2, n)
    assert tail(m2.to_lp()) == tail(ref.to_lp())
    assert tail(m2.to_mps()) == tail(ref.to_mps())


def test_merged_cancelled_and_empty_rows_are_stored_as_their_expressions():
    m = po.Model("rows")
    x = m.variables("x", 20, lower=0.0, upper=1.0)
    m.add(po.sum([x[3], x[3], 2 * x[1], x[3]]) <= 0)  # repeated: 3 x_3 + 2 x_1
    m.add(x[5] + po.sum(x[:12]) - 2 * x[5] <= 1)  # x_5 cancelled out of 12 terms
    m.add(po.sum([]) <= 2)
    m.add(x[0] - x[0] <= 3)
    m.add(po.sum([(i + 2) * x[i] for i in range(9)]) - 4 * x[2] <= 4)  # x_2 cancelled among 9
    rows = [([3, 1], [3.0, 2.0]), ([i for i in range(12) if i != 5], [1.0] * 11), ([], []), ([], []),
            ([i for i in range(9) if i != 2], [float(i + 2) for i in range(9) if i != 2])]
    assert tail(m.to_lp()) == tail(_from_arrays(rows, 20).to_lp())
    assert m.num_constraints == 5


def test_rows_added_one_by_one_across_arena_growth_stay_whole():
    n = 900
    rng = random.Random(11)
    m = po.Model("rows")
    x = m.variables("x", n, lower=0.0, upper=1.0)
    rows, names, copies = [], [], []
    for r in range(150):
        k = rng.choice([0, 1, 3, 7, 8, 9, 40, 257, 900])
        picked = rng.sample(range(n), k)
        coefs = [float(rng.randint(1, 50)) for _ in picked]
        name = f"r{r}" if r % 4 == 0 else None
        m.add(po.sum([c * x[i] for i, c in zip(picked, coefs)]) <= float(r), name=name)
        rows.append((picked, coefs))
        names.append(name)
        if r in (0, 9, 60, 120):
            copies.append((m.copy(), r + 1))  # shares the rows until either side adds
    assert tail(m.to_lp()) == tail(_from_arrays(rows, n, names).to_lp())
    for copy, count in copies:
        assert copy.num_constraints == count
        assert tail(copy.to_lp()) == tail(_from_arrays(rows[:count], n, names[:count]).to_lp())
    # a block from arrays after rows from expressions, then rows from expressions again
    block = [(rng.sample(range(n), 30), [float(rng.randint(1, 9)) for _ in range(30)]) for _ in range(5)]
    m.add_matrix(_csr(block, n), x, "<=", np.arange(150, 155, dtype=float))
    rows += block
    names += [None] * 5
    for r in range(155, 160):
        picked = rng.sample(range(n), 100)
        m.add(po.sum([2.0 * x[i] for i in picked]) <= float(r))
        rows.append((picked, [2.0] * 100))
        names.append(None)
    # edits of an early row (it moves to the arena's end) and a removal
    m.set_coefficient(m.constraints[1], x[n - 1], 7.0)
    picked, coefs = rows[1]
    if n - 1 in picked:
        coefs = [7.0 if i == n - 1 else c for i, c in zip(picked, coefs)]
    else:
        picked, coefs = picked + [n - 1], coefs + [7.0]
    rows[1] = (picked, coefs)
    m.remove(m.constraints[3])
    del rows[3], names[3]
    ref_rhs = [float(r) for r in range(160) if r != 3]
    ref = _from_arrays(rows, n, names, ref_rhs)
    ref.set_coefficient(ref.constraints[0], ref.vars[0], 0.0)  # a gap in the reference too
    m.set_coefficient(m.constraints[0], x[0], 0.0)
    assert [c.rhs for c in m.constraints] == ref_rhs
    assert [c.name for c in m.constraints] == [c.name for c in ref.constraints]
    assert tail(m.to_lp()) == tail(ref.to_lp())
