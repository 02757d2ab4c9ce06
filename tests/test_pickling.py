"""Copying and shipping: copy, deepcopy and pickle of every modelling object,
including solved Results whose diagnostics run after the trip, and a Dask
scenario run that ships one model per task and returns Results."""
import copy
import pickle

import pytest

import pelora_opt as po


def production():
    m = po.Model("production")
    chairs = m.integer("chairs", 0, 40)
    tables = m.integer("tables", 0, 30)
    overtime = m.variable("overtime", 0, 10)
    m.add(2 * chairs + 4 * tables - overtime <= 80, name="cutting")
    m.add(chairs + 3 * tables <= 60, name="assembly")
    m.add(chairs >= 20, name="chairs_contract")
    m.maximize(30 * chairs + 70 * tables - 45 * overtime)
    return m, chairs, tables, overtime


def test_model_round_trips_solve_and_export_the_same():
    m, chairs, _, overtime = production()
    m.add(po.sqrt(overtime + 1) <= 4, name="soft")  # nonlinear rows and trees travel too
    m.remove("soft")
    m.var("overtime").fix(2.0)
    for proto in (2, 4, 5):
        twin = pickle.loads(pickle.dumps(m, protocol=proto))
        assert twin.to_lp() == m.to_lp() and twin.to_python() == m.to_python()
        assert twin.solve().objective == m.solve().objective
    twin.var("overtime").unfix()  # the fix travelled
    wide = po.Model("modèle")
    a, b = wide.variable("√x"), wide.variable("🙂")
    wide.add(a + b <= 1, name="ünï")
    back = pickle.loads(pickle.dumps(wide))
    assert back.to_lp() == wide.to_lp() and [v.name for v in back.vars] == ["√x", "🙂"]
    assert twin.var("overtime").upper == 10.0
    for twin in (m.copy(), copy.copy(m), copy.deepcopy(m)):
        assert twin is not m and twin.to_lp() == m.to_lp()
        twin.var("chairs").upper = 1.0
        assert m.var("chairs").upper == 40.0  # independent
    # a copy accepts the original's variables and handles as they were at the copy
    c = m.copy()
    c.add(chairs <= 25, name="cap")
    c.constraint("cutting").rhs = 90
    c.remove(m.constraint("assembly"))
    assert m.constraint("cutting").rhs == 80 and m.num_constraints == 3 and c.num_constraints == 3
    late = m.variable("late")
    with pytest.raises(ValueError, match="^variable 'late' belongs to another model$"):
        c.add(late <= 1)


def test_out_of_band_buffers_and_no_per_nonzero_objects():
    m = po.Model()
    xs = m.variables("x", 200)
    import numpy as np
    m.add_matrix(np.arange(1.0, 2001.0).reshape(10, 200), xs, "<=", 1.0)
    buffers = []
    data = pickle.dumps(m, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(data) < 200  # the arrays travel out of band
    assert len(buffers[0].raw()) < 2000 * 12 + 10 * 40 + 200 * 17 + 500
    twin = pickle.loads(data, buffers=buffers)
    assert twin.to_lp() == m.to_lp()


def test_vars_and_handles_with_and_without_their_model():
    m, chairs, tables, _ = production()
    cut = m.constraint("cutting")
    twin, c2, t2, cut2 = pickle.loads(pickle.dumps((m, chairs, tables, cut)))
    assert c2.name == "chairs" and (c2.index, t2.index) == (0, 1)
    c2.upper = 5.0  # the unpickled model's own variable
    assert twin.var("chairs").upper == 5.0 and chairs.upper == 40.0
    cut2.rhs = 100
    assert twin.constraint("cutting").rhs == 100 and cut.rhs == 80
    alone = pickle.loads(pickle.dumps(tables))  # a Var alone carries its model
    assert alone.upper == 30.0 and alone.name == "tables"
    d_model, d_var = copy.deepcopy((m, chairs))
    d_var.lower = 3.0
    assert d_model.var("chairs").lower == 3.0 and chairs.lower == 0.0
    assert copy.copy(chairs) is chairs
    orphan = po.Model().variable("orphan")
    back = pickle.loads(pickle.dumps(orphan))
    assert back.name == "orphan"
    with pytest.raises(ValueError, match="no longer exists"):
        back.upper
    with pytest.raises(ValueError, match="belongs to another model"):
        m.add(back <= 1)  # still not m's variable at index 0


def test_expressions_and_constraints_round_trip():
    m = po.Model()
    x, y = m.variable("x"), m.variable("y")
    shared = po.sin(x) * y
    values = [x + 2 * y - 1, x * y + 3 * x, shared + shared * 2 + po.exp(x) / (y + 1),
              x + y <= 4, po.cos(x) * y >= 1]
    for v in values:
        for back in (pickle.loads(pickle.dumps(v, protocol=5)), copy.deepcopy(v)):
            assert type(back) is type(v) and repr(back) == repr(v)
    # an unpickled expression still belongs to its model
    e = pickle.loads(pickle.dumps(2 * x + y))
    m.add(e <= 3)
    other = po.Model()
    other.variable("q")
    with pytest.raises(ValueError, match="^variable 'x' belongs to another model$"):
        other.add(e <= 3)
    with pytest.raises(ValueError, match="pickled data is damaged"):
        po._restore("Value", b"\x00\x01\x02")
    with pytest.raises(ValueError, match="pickled data is damaged"):
        po._restore("Model", pickle.dumps(m)[10:40])


def test_result_round_trips_with_its_diagnostics():
    m, chairs, tables, overtime = production()
    m.add(chairs + tables >= 50, name="too_many")
    bad = m.solve()
    assert bad.status == "infeasible"
    m.remove("too_many")
    good = m.solve()
    for r in (bad, good):
        back = pickle.loads(pickle.dumps(r, protocol=5))
        assert repr(back) == repr(r) and back.status == r.status and back.duals == r.duals
        assert copy.deepcopy(r) is r
    back = pickle.loads(pickle.dumps(bad))
    assert back.infeasibility_report() == bad.infeasibility_report()
    back = pickle.loads(pickle.dumps(good))
    assert back.values() == good.values() and back.value(2 * chairs + tables) == good.value(2 * chairs + tables)
    assert back.why(chairs) == good.why(chairs) and back.why_detail(tables) == good.why_detail(tables)
    assert back.to_dict() == good.to_dict()
    lp = po.Model()
    u = lp.variable("u", 0, 3)
    lp.add(u <= 2, name="cap")
    lp.maximize(u)
    r = lp.solve(ranging=True)
    back = pickle.loads(pickle.dumps(r))
    assert back.sensitivity() == r.sensitivity() and back.dual("cap") == r.dual("cap")


def test_blackbox_result_round_trips():
    r = po.solve_de(lambda v: (v[0] - 1) ** 2, [(-2.0, 2.0)], max_evals=200, seed=3)
    for back in (pickle.loads(pickle.dumps(r)), copy.deepcopy(r)):
        assert (back.x, back.objective, back.history, back.evaluations, back.converged) == \
               (r.x, r.objective, r.history, r.evaluations, r.converged)


def solve_scenario(model, demand):
    # runs on a worker: the model arrives pickled (or, on an in-process worker,
    # shared: hence the copy), the Result goes back pickled
    model = model.copy()
    model.constraint("assembly").rhs = demand
    return model.solve()


def test_dask_scenarios_return_results():
    distributed = pytest.importorskip("distributed")
    m, chairs, tables, _ = production()
    with distributed.LocalCluster(n_workers=2, processes=False, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        futures = [client.submit(solve_scenario, m, d, pure=False) for d in (45, 60, 75)]
        results = client.gather(futures)
    for demand, r in zip((45, 60, 75), results):
        local = m.copy()
        local.constraint("assembly").rhs = demand
        expected = local.solve()
        assert r.objective == expected.objective
        assert r.value(chairs) == expected.value(local.var("chairs"))  # the client's own Var


def test_persistent_highs_results_read_only_their_models_variables():
    m, chairs, _, _ = production()
    other = po.Model()
    stranger = other.variable("stranger")
    p = po.PersistentHighs.from_model(model=m)
    r = p.resolve()
    assert r.value(chairs) == m.solve().value(chairs)
    with pytest.raises(ValueError, match="^variable 'stranger' belongs to another model$"):
        r.value(stranger)
    back = pickle.loads(pickle.dumps(r))
    assert back.primals == r.primals and back.value(chairs) == r.value(chairs)


def test_damaged_pickles_raise_and_never_crash():
    import random
    m, chairs, tables, overtime = production()
    m.add(po.sin(chairs) * tables + po.sqrt(overtime + 1) <= 40, name="nl")
    m.add_soc_cone([overtime, chairs])
    m.var("tables").fix(3.0)
    _, (_, blob) = m.__reduce_ex__(2)
    result = production()[0].solve()
    _, (_, rblob, _) = result.__reduce_ex__(2)
    for kind, data in (("Model", blob), ("Result", rblob)):
        for k in range(0, len(data), 7):  # every truncation refuses
            with pytest.raises(ValueError, match="pickled data is damaged"):
                po._restore(kind, data[:k]) if kind == "Model" else po._restore(kind, data[:k], None)
        rng = random.Random(5)
        for _ in range(300):  # flipped bytes: refused, or a record that stays in range
            b = bytearray(data)
            for _ in range(3):
                b[rng.randrange(len(b))] = rng.randrange(256)
            try:
                back = po._restore(kind, bytes(b)) if kind == "Model" else po._restore(kind, bytes(b), None)
            except (ValueError, OverflowError, MemoryError):
                continue
            if kind == "Model":
                back.num_vars, back.summary(), back.validate()
            else:
                repr(back), back.status


def test_deep_trees_and_shared_nodes_survive():
    m = po.Model()
    x = m.variable("x", 0.5, 1.5)
    e = x
    for _ in range(20000):  # a product nested once per step
        e = e * x
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is po.NlExpr
    m.add(back <= 2)
    assert m.num_constraints == 0 and m.problem_type == "NLP"
    shared = po.sin(x)
    many = shared
    for _ in range(200):
        many = many + shared  # one node referenced 201 times
    data = pickle.dumps(many)
    assert len(data) < 201 * 40 + 200  # each term one reference, the node stored once
    assert repr(pickle.loads(data)) == repr(many)


def test_handles_follow_a_chain_of_copies_up_to_eight_steps():
    m, chairs, tables, _ = production()
    cut = m.constraint("cutting")
    step = m
    for k in range(8):  # pickles and copies in turn
        step = pickle.loads(pickle.dumps(step)) if k % 2 == 0 else step.copy()
        r = step.solve()
        assert r.value(chairs) == step.solve().value(step.var("chairs"))
        assert r.dual(cut) == r.dual("cutting")
        step.add(chairs <= 40 - k)  # the original's variables are the copy's
    step = step.copy()  # a ninth step: the original is too far back
    with pytest.raises(ValueError, match="^variable 'chairs' belongs to another model$"):
        step.add(chairs <= 1)
    with pytest.raises(ValueError, match="constraint belongs to another model"):
        step.remove(cut)
    # a copy does not take the rows its origin added after the copy
    base = production()[0]
    twin = base.copy()
    late = base.add(base.var("chairs") <= 3, name="late")
    twin.add(twin.var("chairs") <= 4, name="own")
    with pytest.raises(ValueError, match="constraint belongs to another model"):
        twin.remove(late)
