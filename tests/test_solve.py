"""Model.solve through the real highspy: optima against scipy, statuses,
options and their conversions, clean-ups, the relaxation shortcut."""
import math
import subprocess
import sys

import highspy
import numpy as np
import pytest
from scipy.optimize import Bounds, LinearConstraint, linprog, milp

import pelora_opt as po

INF = math.inf


# --- reference data ------------------------------------------------------------

# min c'x subject to rows (coefficients, sense, rhs) and bounds, with a unique,
# non-degenerate optimum where a <=, a >= and an == row all bind.
LP_COST = [-3.0, -5.0, 1.0, 2.0]
LP_ROWS = [
    ([1.0, 2.0, 1.0, 0.0], "<=", 14.0),
    ([0.0, 1.0, 0.0, 1.0], ">=", 3.0),
    ([1.0, -1.0, 1.0, 0.0], "==", 2.0),
    ([1.0, 0.0, 0.0, 1.0], "<=", 20.0),
]
LP_BOUNDS = [(0.0, 10.0), (0.0, 10.0), (0.0, 10.0), (-5.0, 5.0)]


def build(cost, rows, bounds, sense="min", kinds=None):
    m = po.Model("ref")
    xs = []
    for j, (lo, up) in enumerate(bounds):
        kind = kinds[j] if kinds else "c"
        if kind == "i":
            xs.append(m.integer(f"x{j}", lower=lo, upper=up))
        else:
            xs.append(m.variable(f"x{j}", lower=lo, upper=up))
    for k, (coef, op, rhs) in enumerate(rows):
        lhs = po.sum([a * x for a, x in zip(coef, xs) if a != 0])
        con = {"<=": lhs <= rhs, ">=": lhs >= rhs, "==": lhs == rhs}[op]
        m.add(con, name=f"r{k}")
    obj = po.sum([a * x for a, x in zip(cost, xs) if a != 0])
    (m.minimize if sense == "min" else m.maximize)(obj)
    return m, xs


def linprog_reference(cost, rows, bounds):
    a_ub, b_ub, a_eq, b_eq, kind = [], [], [], [], []
    for coef, op, rhs in rows:
        if op == "<=":
            a_ub.append(coef), b_ub.append(rhs), kind.append(("ub", len(a_ub) - 1, 1.0))
        elif op == ">=":
            a_ub.append([-a for a in coef]), b_ub.append(-rhs), kind.append(("ub", len(a_ub) - 1, -1.0))
        else:
            a_eq.append(coef), b_eq.append(rhs), kind.append(("eq", len(a_eq) - 1, 1.0))
    r = linprog(cost, A_ub=a_ub or None, b_ub=b_ub or None, A_eq=a_eq or None, b_eq=b_eq or None,
                bounds=bounds, method="highs")
    assert r.status == 0
    duals = [s * (r.ineqlin.marginals[i] if k == "ub" else r.eqlin.marginals[i]) for k, i, s in kind]
    return r.fun, list(r.x), duals


# --- LP, MILP and QP optima --------------------------------------------------------


def test_lp_matches_linprog_with_duals():
    m, xs = build(LP_COST, LP_ROWS, LP_BOUNDS)
    fun, x, duals = linprog_reference(LP_COST, LP_ROWS, LP_BOUNDS)
    r = m.solve()
    assert r.status == "optimal" and r.is_optimal and r.solver == "HiGHS"
    assert r.objective == pytest.approx(fun, abs=1e-9)
    assert r.primals == pytest.approx(x, abs=1e-9)
    assert r.duals == pytest.approx(duals, abs=1e-9)
    assert r.nodes is None and r.gap is None and r.iterations >= 0
    assert [r.value(v) for v in xs] == r.primals


def test_maximisation_reports_the_model_sense():
    cost = [3.0, 5.0, -1.0, -2.0]
    m, _ = build(cost, LP_ROWS, LP_BOUNDS, sense="max")
    fun, x, duals = linprog_reference([-c for c in cost], LP_ROWS, LP_BOUNDS)
    r = m.solve()
    assert r.objective == pytest.approx(-fun, abs=1e-9)
    assert r.primals == pytest.approx(x, abs=1e-9)
    # Duals are derivatives of the model's own (maximised) objective.
    assert r.duals == pytest.approx([-d for d in duals], abs=1e-9)


def test_objective_constant_is_added_in_both_senses():
    for sense, expected in (("min", 7.0 + 0.0), ("max", 7.0 + 8.0)):
        m = po.Model()
        x = m.variable("x", lower=0, upper=4)
        (m.minimize if sense == "min" else m.maximize)(2 * x + 7)
        assert m.solve().objective == pytest.approx(expected)


MILP_COST = [-5.0, -4.0, -3.0, -7.0]
MILP_ROWS = [
    ([2.0, 3.0, 1.0, 4.0], "<=", 11.5),
    ([4.0, 1.0, 2.0, 3.0], "<=", 12.3),
    ([3.0, 4.0, 2.0, 1.0], "<=", 10.1),
]
MILP_BOUNDS = [(0, 3), (0, 3), (0, 3), (0, 3)]


def test_milp_matches_scipy_milp():
    m, _ = build(MILP_COST, MILP_ROWS, MILP_BOUNDS, kinds="iiii")
    A = np.array([r[0] for r in MILP_ROWS])
    ref = milp(MILP_COST, constraints=LinearConstraint(A, -np.inf, [r[2] for r in MILP_ROWS]),
               integrality=np.ones(4), bounds=Bounds(0, 3))
    r = m.solve()
    assert r.status == "optimal"
    assert r.objective == pytest.approx(ref.fun, abs=1e-9)
    assert all(abs(v - round(v)) < 1e-9 for v in r.primals)
    # The relaxation is fractional here, so the branch-and-bound result has
    # a node count and a gap and no duals.
    assert r.nodes is not None and r.gap is not None and r.duals is None


def test_mixed_integer_with_continuous_columns():
    m, _ = build(MILP_COST, MILP_ROWS, MILP_BOUNDS, kinds="icic")
    A = np.array([r[0] for r in MILP_ROWS])
    ref = milp(MILP_COST, constraints=LinearConstraint(A, -np.inf, [r[2] for r in MILP_ROWS]),
               integrality=[1, 0, 1, 0], bounds=Bounds(0, 3))
    assert m.solve().objective == pytest.approx(ref.fun, abs=1e-7)


@pytest.mark.parametrize("sense", ["min", "max"])
def test_continuous_qp_through_highs_matches_closed_form(sense):
    # x^2 + x*y + y^2 - 3x has its minimum -3 at (2, -1); the off-diagonal
    # product must count once, not twice.
    m = po.Model()
    x, y = m.variable("x"), m.variable("y")
    f = x * x + x * y + y * y - 3 * x
    if sense == "min":
        m.minimize(f + 1)
        expected = -2.0
    else:
        m.maximize(-1 * f + 1)
        expected = 4.0
    r = m.solve(solver="highs")
    assert r.status == "optimal"
    assert r.primals == pytest.approx([2.0, -1.0], abs=1e-5)
    assert r.objective == pytest.approx(expected, abs=1e-8)


def test_qp_with_reversed_product_and_constraint():
    # min (x-1)^2 + (y-2)^2 + x*y, the product written half in each order,
    # subject to x + y == 2. Stationarity: 2(x-1) + y = 2(y-2) + x, so
    # x - y = -2: x = 0, y = 2, f = 1.
    m = po.Model()
    x, y = m.variable("x"), m.variable("y")
    m.minimize(x * x - 2 * x + 1 + y * y - 4 * y + 4 + 0.5 * (y * x) + 0.5 * (x * y))
    m.add(x + y == 2)
    r = m.solve(solver="highs")
    assert r.primals == pytest.approx([0.0, 2.0], abs=1e-5)
    assert r.objective == pytest.approx(1.0, abs=1e-8)


# --- statuses ----------------------------------------------------------------------


def test_infeasible_model():
    m = po.Model()
    x = m.variable("x", lower=0, upper=1)
    m.add(x >= 2)
    m.minimize(x)
    r = m.solve()
    assert r.status == "infeasible" and not r.is_optimal
    assert r.objective is None and r.duals is None
    assert r.iterations is not None and r.basis() is not None
    with pytest.raises(ValueError, match="No solution available"):
        r.primals
    assert "objective=" not in repr(r)


def test_unbounded_model():
    m = po.Model()
    x = m.variable("x", lower=0)
    m.add(x >= 1)
    m.maximize(x)
    assert m.solve(presolve=False).status == "unbounded"
    assert m.solve().status in ("unbounded", "infeasible_or_unbounded")


def test_time_limit_on_a_mip():
    m, _ = build(MILP_COST, MILP_ROWS, MILP_BOUNDS, kinds="iiii")
    r = m.solve(time_limit=0.0)
    assert r.status == "time_limit"
    assert not r.is_optimal


def test_miqp_handed_to_highs_is_an_error():
    # HiGHS cannot solve mixed-integer quadratic models; the relaxation
    # (x = 1.5) is fractional, so the full solve runs and fails.
    m = po.Model()
    x = m.integer("x", lower=0, upper=5)
    m.minimize(x * x - 3 * x)
    assert m.problem_type == "MIQP"
    r = m.solve(solver="highs")
    assert r.status == "error"
    assert r.objective is None and not r.is_optimal
    with pytest.raises(ValueError, match="No solution available"):
        r.values()


def test_model_without_variables():
    m = po.Model()
    m.maximize(5)
    r = m.solve()
    assert (r.status, r.objective, r.primals, r.values()) == ("optimal", 5.0, [], {})


def test_data_highs_refuses_is_an_error():
    m = po.Model()
    x = m.variable("x", lower=math.nan, upper=1)
    m.minimize(x)
    r = m.solve()
    assert r.status == "error" and r.objective is None


@pytest.mark.parametrize("build_nan, message", [
    (lambda m, x: m.minimize(x * math.nan), r"the objective has a NaN coefficient \(variable index 0\)"),
    (lambda m, x: m.minimize(x * x * math.nan), "NaN"),
    (lambda m, x: (m.minimize(x), m.add(x * math.nan <= 1)),
     r"constraint 0 has a NaN coefficient \(variable index 0\)"),
])
def test_nan_coefficients_are_refused(build_nan, message):
    m = po.Model()
    x = m.variable("x", lower=0, upper=1)
    build_nan(m, x)
    with pytest.raises(ValueError, match=message):
        m.solve()


# --- relaxation shortcut -----------------------------------------------------------


def test_integral_relaxation_is_returned_with_duals():
    m = po.Model()
    x = m.integer("x", lower=0, upper=10)
    y = m.integer("y", lower=0, upper=10)
    m.add(x + y <= 7, name="cap")
    m.add(x <= 3)
    m.maximize(2 * x + y)
    r = m.solve()
    assert r.status == "optimal"
    assert r.primals == [3.0, 4.0]
    assert r.objective == pytest.approx(10.0)
    assert r.duals is not None and len(r.duals) == 2
    assert r.nodes is None and r.gap is None


def test_rounded_relaxation_that_breaks_a_row_is_not_kept():
    # The relaxation's z = 2.9999995 is within 1e-6 of 3, but z = 3 breaks
    # the row by 5e-4: the full MIP solve gives 2.
    m = po.Model()
    z = m.integer("z", lower=0, upper=10)
    m.add(1000 * z <= 2999.9995)
    m.maximize(z)
    r = m.solve()
    assert (r.status, r.primals, r.objective) == ("optimal", [2.0], 2.0)
    assert r.nodes is not None


def test_rounded_relaxation_reports_the_objective_at_the_rounded_point():
    # The relaxation stops at x = 1 + 4e-7 (a row allows it); rounding gives
    # x = 1, and the objective is the model's value there, not the LP's.
    m = po.Model()
    x = m.integer("x", lower=0, upper=5)
    y = m.variable("y", lower=0, upper=1)
    m.add(x - y <= 1.0000004)
    m.add(y <= 0)
    m.maximize(1e6 * x + 3)
    r = m.solve()
    assert r.status == "optimal" and r.primals == [1.0, 0.0]
    assert r.objective == 1e6 + 3


def test_more_than_4000_columns_skip_the_relaxation():
    m = po.Model()
    bs = m.binaries("b", 4001)
    m.add(po.sum(bs) <= 3000)
    m.maximize(po.sum(bs))
    r = m.solve()
    assert r.status == "optimal" and r.objective == pytest.approx(3000)
    assert r.nodes is not None and r.duals is None


# --- options -----------------------------------------------------------------------


@pytest.fixture
def spy(monkeypatch):
    """Records what reaches highspy while the real methods run."""
    calls = []

    def wrap(name):
        real = getattr(highspy.Highs, name)

        def method(self, *args):
            # arrays copied: the ones the adapter hands over borrow its buffers
            calls.append((name, tuple(a.copy() if isinstance(a, np.ndarray) else a for a in args)))
            return real(self, *args)

        monkeypatch.setattr(highspy.Highs, name, method)

    for name in ("setOptionValue", "setSolution", "setBasis", "passModel", "addRows"):
        wrap(name)
    return calls


def options_of(calls):
    return [args for name, args in calls if name == "setOptionValue"]


def small_lp():
    m = po.Model()
    x = m.variable("x", lower=0, upper=4)
    y = m.variable("y", lower=0, upper=4)
    m.add(x + 2 * y <= 6)
    m.maximize(x + y)
    return m


def test_default_options_reach_highs(spy):
    small_lp().solve()
    assert options_of(spy) == [("output_flag", False)]


def test_every_option_reaches_highs_in_order(spy):
    small_lp().solve(verbose=False, time_limit=5, gap=0.01, threads=1, solver_method="simplex",
                     run_crossover="on", parallel="off", simplex_scale_strategy=2, presolve=False)
    assert options_of(spy) == [
        ("output_flag", False), ("time_limit", 5.0), ("mip_rel_gap", 0.01), ("threads", 1),
        ("solver", "simplex"), ("run_crossover", "on"), ("parallel", "off"),
        ("simplex_scale_strategy", 2), ("presolve", "off"),
    ]


def test_verbose_leaves_output_on(spy, capfd):
    small_lp().solve(verbose=True)
    assert ("output_flag", False) not in options_of(spy)


def test_basis_round_trip_switches_presolve_off(spy):
    m = small_lp()
    first = m.solve(presolve=False)
    assert first.iterations > 0
    spy.clear()
    again = m.solve(basis=first.basis(), presolve=True)
    assert ("presolve", "off") in options_of(spy)
    assert [n for n, _ in spy].count("setBasis") == 1
    assert again.objective == pytest.approx(first.objective)
    assert again.iterations == 0


def test_iterations_count_interior_point_and_qp_runs():
    # Without crossover an interior-point run makes no simplex iteration;
    # a QP is solved by HiGHS's QP solver: both used to report 0.
    m, _ = build(LP_COST, LP_ROWS, LP_BOUNDS)
    ipm = m.solve(solver_method="ipm", run_crossover="off", presolve=False)
    assert ipm.status == "optimal" and ipm.iterations > 0
    q = po.Model()
    x = q.variable("x", lower=-10, upper=10)
    y = q.variable("y", lower=-10, upper=10)
    q.add(x + y >= 1)
    q.minimize(x * x + y * y + x)
    r = q.solve(solver="highs", presolve=False)
    assert r.status == "optimal" and r.iterations > 0


def test_warm_start_is_passed_for_mips_and_a_wrong_length_is_refused(spy):
    m, _ = build(MILP_COST, MILP_ROWS, MILP_BOUNDS, kinds="iiii")
    first = m.solve()
    spy.clear()
    r = m.solve(warm_start=first)
    starts = [args for name, args in spy if name == "setSolution"]
    assert len(starts) == 1 and list(starts[0][2]) == first.primals
    assert r.objective == pytest.approx(first.objective)
    spy.clear()
    with pytest.raises(ValueError, match="^warm_start: 2 values for 4 variables"):
        m.solve(warm_start=[1.0, 2.0])  # wrong length: refused, nothing solved
    m.solve(warm_start="abc")  # not numbers: ignored
    assert not [n for n, _ in spy if n == "setSolution"]


def test_interrupt_while_reading_a_warm_start_is_not_swallowed():
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    m, _ = build(MILP_COST, MILP_ROWS, MILP_BOUNDS, kinds="iiii")
    with pytest.raises(KeyboardInterrupt):
        m.solve(warm_start=[Interrupting()] * 4)
    assert m.solve().status == "optimal"


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"time_limit": "a"}, TypeError, "must be real number, not str"),
    ({"time_limit": None}, TypeError, "must be real number, not NoneType"),
    ({"verbose": 1}, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ({"presolve": None}, TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
    ({"threads": -1}, OverflowError, "out of range integral type conversion attempted"),
    ({"threads": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    ({"simplex_scale_strategy": 2**40}, OverflowError, "out of range"),
    ({"solver": 3}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"solver_method": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ({"eliminate_redundant": "yes"}, TypeError, "'str' object cannot be converted to 'PyBool'"),
])
def test_option_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        small_lp().solve(**kwargs)
    assert message in str(info.value)


def test_solve_takes_keywords_only_and_ignores_unknown_ones():
    with pytest.raises(TypeError, match=r"Model.solve\(\) takes 0 positional arguments but 1 was given"):
        small_lp().solve(1)
    assert small_lp().solve(no_such_option=1).status == "optimal"


def test_unknown_options_warn_once_each_with_a_suggestion(capfd):
    m = small_lp()
    assert m.solve(time_limt=5.0, verbos=False, no_such_option=1).status == "optimal"
    lines = [ln for ln in capfd.readouterr().err.splitlines() if ln.startswith("[pelora-opt")]
    assert lines == [
        "[pelora-opt] warning: unknown option 'time_limt' ignored (did you mean 'time_limit'?)",
        "[pelora-opt] warning: unknown option 'verbos' ignored (did you mean 'verbose'?)",
        "[pelora-opt] warning: unknown option 'no_such_option' ignored",
    ]
    # Every option Model.solve reads, including those other adapters read.
    basis = m.solve().basis()
    m.solve(time_limit=5.0, gap=0.1, verbose=False, threads=1, solver="highs", warm_start=None,
            presolve=True, solver_method="simplex", run_crossover="on", parallel="off",
            scale_cleanup=False, simplex_scale_strategy=1, eliminate_redundant=False,
            basis=basis, solver_options={}, ranging=False)
    assert "[pelora-opt" not in capfd.readouterr().err


def test_solver_names():
    m = small_lp()
    assert m.solve(solver="Highs").solver == "HiGHS"
    assert m.solve(solver="OSQP").solver == "OSQP"
    # A misspelt name is refused before anything runs, listing the names.
    for name in ("gurobi", "anything-else", ""):
        with pytest.raises(ValueError) as e:
            m.solve(solver=name)
        assert str(e.value) == (
            f'unknown solver "{name}"; the solvers are "highs", "osqp", "scipy", "slsqp", '
            '"ipopt", "clarabel", "scip"')


# --- thread-count record -------------------------------------------------------------


def test_thread_count_change_warns_only_without_a_scheduler_reset(monkeypatch, capsys):
    m = small_lp()
    m.solve(threads=1)
    m.solve(threads=1)
    assert "[pelora-opt]" not in capsys.readouterr().err

    resets = []
    real_reset = highspy.Highs.resetGlobalScheduler
    monkeypatch.setattr(highspy.Highs, "resetGlobalScheduler",
                        lambda self, flag: (resets.append(flag), real_reset(flag))[1], raising=False)
    assert m.solve(threads=2).status == "optimal"
    assert resets == [True]
    assert "[pelora-opt]" not in capsys.readouterr().err

    def broken(self, flag):
        raise AttributeError("resetGlobalScheduler")

    monkeypatch.setattr(highspy.Highs, "resetGlobalScheduler", broken)
    # HiGHS itself then refuses to run with the other count on a thread whose
    # scheduler has the old one (the solve reports it); a run on a fresh
    # worker thread (the main thread's solves) sizes its own and solves.
    assert m.solve(threads=1).status in ("error", "unknown", "optimal")
    assert capsys.readouterr().err == (
        "[pelora-opt] warning: HiGHS thread count changed (2 -> 1) within this process and "
        "resetGlobalScheduler is unavailable; solve may return status 'unknown'. Keep `threads` "
        "uniform per process.\n")
    m.solve(threads=1)
    assert capsys.readouterr().err == ""
    monkeypatch.undo()
    assert m.solve(threads=2).status == "optimal"  # a real reset again


def test_first_thread_count_after_a_default_solve_works():
    # A solve without `threads` sizes HiGHS's scheduler with its default; the
    # first explicit count must still solve. Needs a fresh process.
    code = (
        "import pelora_opt as po\n"
        "m = po.Model(); x = m.variable('x', lower=0, upper=1); m.maximize(x)\n"
        "print(m.solve().status, m.solve(threads=1).status, m.solve(threads=1).status)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split()[-3:] == ["optimal", "optimal", "optimal"]
    assert "[pelora-opt]" not in out.stderr


# --- clean-ups -----------------------------------------------------------------------


@pytest.mark.parametrize("bound, cleaned", [(1e-10, 0.0), (-5e-10, 0.0), (1e-9, 1e-9)])
def test_scale_cleanup_snaps_tiny_bounds(bound, cleaned):
    m = po.Model()
    x = m.variable("x", lower=bound, upper=1)
    y = m.variable("y", lower=-1, upper=1)
    m.add(y >= bound)
    m.minimize(x + y)
    assert m.solve().objective == pytest.approx(2 * bound, abs=0)
    assert m.solve(scale_cleanup=True).objective == pytest.approx(2 * cleaned, abs=0)


def redundancy_model(upper):
    m = po.Model()
    x = m.variable("x", lower=0, upper=upper)
    y = m.variable("y", lower=0, upper=upper)
    m.add(x + y <= 10, name="cap")
    m.add(x + 3 * y <= 6, name="mix")
    m.maximize(x + 2 * y)
    return m


def test_redundant_row_is_removed_and_duals_stay_aligned(capsys, spy):
    m = redundancy_model(4)
    plain = m.solve()
    spy.clear()
    reduced = m.solve(eliminate_redundant=True, verbose=True)
    rows = [args[0] for name, args in spy if name == "addRows"]  # an LP: rows, then columns
    assert rows[0] == 1  # one row reached HiGHS
    assert reduced.objective == pytest.approx(plain.objective)
    assert reduced.duals == pytest.approx([0.0, plain.duals[1]])
    assert plain.duals[0] == pytest.approx(0.0)
    err = capsys.readouterr().err
    assert "[pelora-opt 18.s.3] eliminated 1 provably-redundant rows (1 remain)\n" in err


def test_integrality_reaches_highs_only_for_integer_models(spy, capfd):
    # A continuous model passes no integrality (an all-zero array makes HiGHS
    # print that the model has no integer variables); a MILP passes its own.
    r = small_lp().solve(verbose=True)
    assert r.status == "optimal" and r.duals is not None
    assert [name for name, _ in spy if name in ("passModel", "addRows")] == ["addRows"]
    assert "integrality" not in capfd.readouterr().out
    spy.clear()
    m = po.Model()
    x = m.variable("x", lower=0, upper=10)
    n = m.integer("n", lower=0, upper=10)
    m.add(2 * x + 3 * n <= 7.5)
    m.add(x <= 1.2)
    m.maximize(x + 2 * n)
    r = m.solve()
    assert (r.objective, r.values()["n"]) == (pytest.approx(4.75), pytest.approx(2.0))
    integrality = [list(args[-1]) for name, args in spy if name == "passModel"]
    assert integrality and all(i == [0, 1] for i in integrality)


FIRST_SOLVE_CLOCK = """
import sys, time
import pelora_opt as po
events = []
def clock():  # readings 0, 1, 2, ... in the order they are taken
    events.append("clock")
    return float(events.count("clock") - 1)
class SeeImport:
    def find_spec(self, name, path=None, target=None):
        if name == "highspy":
            events.append("import highspy")
        return None
sys.meta_path.insert(0, SeeImport())
time.perf_counter = clock
m = po.Model()
x = m.variable("x", lower=0, upper=1)
m.maximize(x)
r = m.solve()
readings = [i for i, e in enumerate(events) if e == "clock"]
start = readings[int(len(readings) - 1 - r.solve_time)]  # the reading the time starts from
print(events.index("import highspy") < start, r.status)
"""


def test_first_solve_time_leaves_out_the_import():
    # A fresh process, so that the solve imports highspy: the clock that
    # solve_time starts from is read after that import.
    out = subprocess.run([sys.executable, "-c", FIRST_SOLVE_CLOCK], capture_output=True,
                         text=True, check=True)
    assert out.stdout.split() == ["True", "optimal"]


def test_row_at_its_bound_is_kept(capsys):
    r = redundancy_model(5).solve(eliminate_redundant=True, verbose=True)
    assert len(r.duals) == 2
    assert "eliminated" not in capsys.readouterr().err


def test_elimination_without_verbose_is_silent(capsys):
    redundancy_model(4).solve(eliminate_redundant=True)
    assert "eliminated" not in capsys.readouterr().err


# --- bad models ----------------------------------------------------------------------


@pytest.mark.parametrize("where", ["constraint", "objective"])
def test_variable_of_another_model_is_refused_before_solving(where):
    other = po.Model()
    for i in range(5):
        z = other.variable(f"z{i}")
    m = po.Model()
    x = m.variable("x", lower=0, upper=1)
    with pytest.raises(ValueError, match="^variable 'z4' belongs to another model$"):
        if where == "constraint":
            m.add(z <= 1)
        else:
            m.minimize(2 * z)
    m.minimize(x)
    assert m.solve().objective == 0.0
    # The model stays usable.
    assert m.num_vars == 1 and repr(m).startswith("Model(")


def test_solve_docstring():
    assert po.Model.solve.__text_signature__ == "($self, **kwargs)"
    doc = po.Model.solve.__doc__
    assert doc.startswith("Solve the model. Auto-detects problem type and selects best solver.\n\nOptions:\n")
    assert (
        "  presolve: bool \u2014 run presolve (default True)\n"
        "  ranging: bool \u2014 LP cost and right-hand-side ranges in sensitivity() (HiGHS, continuous LP)\n"
        "  solver_options: dict \u2014 "
    ) in doc
