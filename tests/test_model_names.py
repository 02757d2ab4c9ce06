"""Batch variables keep their names as one shared block: every name-based
behaviour must match variables added one by one under the same names."""
import gc

import pelora_opt as po


def build(batch):
    """The same model, its variables made by batches or one at a time."""
    m = po.Model("names")
    if batch:
        x = m.variables("x", 3, lower=0, upper=4)
        n = m.integers("n", 2, lower=0, upper=9)
        b = m.binaries("b", 2)
        again = m.variables("x", 2, lower=5, upper=1)  # duplicates x_0, x_1; bad bounds
    else:
        x = [m.variable(f"x_{i}", lower=0, upper=4) for i in range(3)]
        n = [m.integer(f"n_{i}", lower=0, upper=9) for i in range(2)]
        b = [m.binary(f"b_{i}") for i in range(2)]
        again = [m.variable(f"x_{i}", lower=5, upper=1) for i in range(2)]
    lone = m.variable("y", lower=-1, upper=1)
    m.add(x[0] + 2 * x[1] + n[0] + b[1] + lone <= 8, name="cap")
    m.add(x[2] - n[1] >= -3)
    m.maximize(x[0] + x[1] + x[2] + n[0] + n[1] + b[0] + b[1] + lone)
    return m, x + n + b + again + [lone]


def test_batch_names_match_single_names_everywhere():
    lazy, lv = build(batch=True)
    eager, ev = build(batch=False)
    assert [repr(v) for v in lv] == [repr(v) for v in ev]
    assert repr(lv[7]) == "Var('x_0')" and repr(lv[-1]) == "Var('y')"
    assert lazy.to_lp() == eager.to_lp()
    assert lazy.to_python() == eager.to_python()
    assert lazy.summary() == eager.summary()
    assert lazy.validate() == eager.validate()
    messages = [w["message"] for w in lazy.validate()]
    assert "Variable 'x_0' has infeasible bounds: lower=5.0000 > upper=1.0000" in messages
    assert "Variable 'b_0' is not used in any constraint" in messages
    assert repr(lv[0] + 2 * lv[8]) == repr(ev[0] + 2 * ev[8])


def test_batch_names_in_results():
    m2 = po.Model()
    xs = m2.variables("z", 4, lower=0, upper=1)
    m2.add(xs[0] + xs[1] <= 1.5)
    m2.maximize(po.sum(xs))
    r = m2.solve()
    assert r.var_names_list == ["z_0", "z_1", "z_2", "z_3"]
    assert r.values()["z_2"] == 1.0 and sorted(r.values()) == ["z_0", "z_1", "z_2", "z_3"]
    assert r.why(xs[2]).startswith("z_2 = 1")
    assert r.why_detail(xs[3])["variable"] == "z_3"
    # Duplicates: values() makes the repeated name unique (as the exports do),
    # the list keeps every name as given.
    m3 = po.Model()
    a = m3.variables("d", 2, lower=1, upper=1)
    c = m3.variables("d", 1, lower=2, upper=2)
    m3.add(a[0] + c[0] >= 0)
    m3.minimize(a[0] + a[1] + c[0])
    r3 = m3.solve()
    assert r3.var_names_list == ["d_0", "d_1", "d_0"]
    assert r3.values() == {"d_0": 1.0, "d_1": 1.0, "d_0_1": 2.0}


def test_var_keeps_its_name_after_its_model_is_gone():
    m = po.Model()
    xs = m.variables("w", 1000)
    single = m.variable("only")
    del m
    gc.collect()
    assert repr(xs[999]) == "Var('w_999')" and repr(single) == "Var('only')"
    keep = xs[500]
    del xs
    gc.collect()
    assert repr(keep) == "Var('w_500')"
    assert po.Model().variables("e", 0) == []


def test_names_of_many_blocks_and_a_large_batch():
    m = po.Model()
    parts = []
    for k in range(50):
        parts += m.variables(f"p{k}", k % 4)
        parts.append(m.variable(f"s{k}"))
    big = m.variables("big", 200_000)
    assert m.num_vars == len(parts) + 200_000
    assert repr(big[123_456]) == "Var('big_123456')"
    lp = m.to_lp()
    assert " big_199999 free" in lp and " p49_0 free" in lp and " s0 free" in lp
    assert [repr(v) for v in parts[:6]] == ["Var('s0')", "Var('p1_0')", "Var('s1')", "Var('p2_0')",
                                            "Var('p2_1')", "Var('s2')"]
