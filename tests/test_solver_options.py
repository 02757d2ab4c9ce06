"""solver_options: the chosen package's own settings, applied after the
options Model.solve sets itself, and refused keys named with the solver."""
import pytest

import pelora_opt as po


def lp():
    m = po.Model("lp")
    x = m.variables("x", 3, lower=0)
    m.add(x[0] + x[1] + x[2] >= 1)
    m.add(x[0] - x[1] <= 2)
    m.add(x[1] + 2 * x[2] >= 1.5)
    m.minimize(x[0] + 2 * x[1] + 3 * x[2])
    return m


def qp():
    m = po.Model("qp")
    x = m.variables("x", 3, lower=-5, upper=5)
    m.add(x[0] + x[1] + x[2] == 1)
    m.minimize(x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[0])
    return m


def knapsack():
    m = po.Model("knap")
    w = [12, 7, 11, 8, 9, 6, 14, 5]
    v = [24, 13, 23, 15, 16, 11, 28, 9]
    b = m.binaries("b", len(w))
    m.add(po.sum([wi * bi for wi, bi in zip(w, b)]) <= 26)
    m.maximize(po.sum([vi * bi for vi, bi in zip(v, b)]))
    return m


def test_settings_reach_each_package():
    # Each limit is observable in the result: the package really got it.
    r = lp().solve(solver_options={"simplex_iteration_limit": 0})
    assert r.status == "iteration_limit" and r.iterations == 0
    r = qp().solve(solver="osqp", solver_options={"max_iter": 5})
    assert r.iterations == 5 and r.status != "optimal"
    r = qp().solve(solver="clarabel", solver_options={"max_iter": 1})
    assert r.iterations == 1 and r.status != "optimal"
    r = qp().solve(solver="ipopt", solver_options={"max_iter": 1})
    assert r.iterations == 1 and r.status == "iteration_limit"
    r = qp().solve(solver="slsqp", solver_options={"maxiter": 1})
    assert r.iterations == 1 and r.status == "iteration_limit"
    r = knapsack().solve(solver="scip", solver_options={"limits/nodes": 1, "presolving/maxrounds": 0,
                                                         "separating/maxrounds": 0})
    assert r.nodes is not None and r.nodes <= 1
    # Without settings the same models solve.
    assert qp().solve(solver="clarabel").status == "optimal"
    assert knapsack().solve(solver="scip").objective == pytest.approx(52)


def test_settings_override_the_solve_options():
    # HiGHS: time_limit=100 is set first, the user's 0 replaces it.
    r = lp().solve(time_limit=100.0, solver_options={"time_limit": 0.0})
    assert r.status == "time_limit"
    # SLSQP: maxiter from time_limit (250) is replaced by the user's 2.
    r = qp().solve(solver="slsqp", time_limit=2.5, solver_options={"maxiter": 2})
    assert r.iterations == 2
    # OSQP: looser tolerances than the adapter's 1e-8 need fewer iterations.
    tight = qp().solve(solver="osqp")
    loose = qp().solve(solver="osqp", solver_options={"eps_abs": 1e-2, "eps_rel": 1e-2})
    assert tight.is_optimal and loose.is_optimal and loose.iterations < tight.iterations
    # Clarabel: its verbose setting replaces the adapter's False.
    m = qp()
    assert m.solve(solver="clarabel", solver_options={"verbose": False}).objective == pytest.approx(
        tight.objective, abs=1e-6)


@pytest.mark.parametrize(
    "solver, display, key, value",
    [
        ("highs", "HiGHS", "no_such_option", 1),
        ("highs", "HiGHS", "time_limit", "soon"),
        ("osqp", "OSQP", "no_such_setting", 1),
        ("osqp", "OSQP", "max_iter", "many"),
        ("osqp", "OSQP", "P", 1),
        ("clarabel", "Clarabel", "no_such_setting", 1),
        ("clarabel", "Clarabel", "max_iter", "many"),
        ("ipopt", "Ipopt", "no_such_option", 1),
        ("ipopt", "Ipopt", "max_iter", "many"),
        ("scip", "SCIP", "no/such/param", 1),
        ("scip", "SCIP", "limits/time", "soon"),
        ("slsqp", "SciPy/SLSQP", "no_such_option", 1),
        ("slsqp", "SciPy/SLSQP", "maxiter", "many"),
    ],
)
def test_refused_setting_names_key_and_solver(solver, display, key, value):
    m = qp() if solver != "highs" else lp()
    settings = {"good" if solver == "none" else key: value}
    with pytest.raises(ValueError, match=rf"^solver_options: {display} refused the setting '{key}' = "):
        m.solve(solver=solver, solver_options=settings)
    assert settings == {key: value}  # the caller's dict is left as it was
    assert m.solve(solver=solver).status == "optimal"  # and the model still solves


def test_refusal_is_found_among_accepted_settings():
    # Packages taking all settings in one call: the bad key is singled out.
    for solver, good in [("osqp", {"max_iter": 50}), ("ipopt", {"tol": 1e-6}), ("slsqp", {"ftol": 1e-9})]:
        with pytest.raises(ValueError, match="refused the setting 'bogus' = 3"):
            qp().solve(solver=solver, solver_options={**good, "bogus": 3})


def test_solver_options_value_checks():
    m = lp()
    with pytest.raises(TypeError, match="solver_options must be a dict of the solver's own settings, not list"):
        m.solve(solver_options=[("time_limit", 1)])
    with pytest.raises(TypeError, match="solver_options keys must be str, not int"):
        m.solve(solver_options={1: 2})
    assert m.solve(solver_options=None).is_optimal
    assert m.solve(solver_options={}).is_optimal


def test_osqp_iteration_limit_warning(capsys):
    r = qp().solve(solver_options={"max_iter": 5})
    assert r.status != "optimal" and r.iterations == 5
    err = capsys.readouterr().err
    assert "OSQP stopped at its iteration limit (5 iterations) without a solution" in err
    assert 'solver_options={"max_iter": ...}' in err and 'solver="clarabel"' in err
    # Named explicitly, or solved: no advice.
    qp().solve(solver="osqp", solver_options={"max_iter": 5})
    qp().solve()
    assert "iteration limit" not in capsys.readouterr().err


def test_settings_for_scip_leave_the_relaxation_shortcut_alone():
    # An MIQP goes to SCIP, first trying its relaxation with HiGHS: SCIP's
    # parameters are not handed to HiGHS, so an integral relaxation still wins.
    m = po.Model()
    n = m.integers("n", 2, lower=0, upper=10)
    m.minimize(n[0] * n[0] - 6 * n[0] + n[1] * n[1])
    plain = m.solve()
    r = m.solve(solver_options={"limits/nodes": 100})
    assert r.solver == plain.solver == "HiGHS"
    assert r.primals == pytest.approx([3.0, 0.0])
    with pytest.raises(ValueError, match="SCIP refused the setting 'no/such'"):
        m.solve(solver="scip", solver_options={"no/such": 1})
