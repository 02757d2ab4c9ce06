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
