"""Black-box frame, differential evolution, particle swarm, annealing,
portfolio and stochastic solving."""
import math
import signal
import sys
import os

import pytest

import pelora_opt as po

sys.path.insert(0, os.path.dirname(__file__))
import blackbox_reference as ref  # noqa: E402
from leak_support import tracked_objective


def sphere(x):
    return sum((v - 0.5) ** 2 for v in x)


def rosenbrock(x):
    return sum(100.0 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(len(x) - 1))


def rastrigin(x):
    return 10 * len(x) + sum(v * v - 10 * math.cos(2 * math.pi * v) for v in x)


def same(result, expected):
    x, f, history, evals, converged = expected
    assert result.x == x
    assert result.objective == f or (math.isnan(f) and math.isnan(result.objective))
    assert len(result.history) == len(history)
    assert all(a == b or (a != a and b != b) for a, b in zip(result.history, history))
    assert result.evaluations == evals
    assert result.iterations == len(history)
    assert result.converged is converged


BOUNDS3 = [(-2.0, 3.0), (-1.0, 1.0), (0.0, 4.0)]


# --- registration and the result class ----------------------------------------

def test_registration_order_and_docstrings():
    names = [n for n in po.__all__ if n in {
        "BlackBoxResult", "solve_de", "solve_pso", "solve_sa", "solve_cmaes", "stochastic_solve",
        "solve_portfolio", "solve_parallel_de"}]
    assert names == ["BlackBoxResult", "solve_de", "solve_pso", "solve_sa", "solve_cmaes",
                     "stochastic_solve", "solve_portfolio", "solve_parallel_de"]
    assert po.BlackBoxResult.__doc__ == "Black-box result returned from metaheuristic solvers."
    assert po.solve_de.__doc__ == (
        "Solve a black-box optimisation problem using Differential Evolution.\n"
        "obj_func: callable(x: list[float]) -> float\nbounds: list of (lower, upper) tuples")
    assert po.solve_de.__text_signature__ == "(obj_func, bounds, **kwargs)"
    assert po.solve_portfolio.__text_signature__ == (
        "(obj_func, bounds, max_evals=5000, *, max_time=None, callback=None, verbose=False, "
        "workers=None, vectorized=False)")
    assert po.solve_cmaes.__doc__.startswith("Solve using CMA-ES.\nvariant=\"simple\" (default)")
    assert "simplified" not in po.solve_cmaes.__doc__ and '"ipop"' in po.solve_cmaes.__doc__
    assert po.solve_parallel_de.__doc__.startswith("Enhanced DE with larger population.\n")
    assert po.stochastic_solve.__doc__.startswith("Scenario-based stochastic optimisation.\n")


def test_result_is_immutable_and_copies_lists():
    r = po.solve_de(sphere, [(0, 1)] * 2, max_generations=0)
    with pytest.raises(TypeError, match="No constructor defined for BlackBoxResult"):
        po.BlackBoxResult()
    with pytest.raises(AttributeError):
        r.objective = 1.0
    a, b = r.x, r.x
    assert a == b and a is not b
    assert r.history is not r.history
    assert isinstance(r.iterations, int) and isinstance(r.evaluations, int)
    assert isinstance(r.converged, bool)
    assert not hasattr(r, "__dict__")


@pytest.mark.parametrize("value, text", [
    (math.inf, "BlackBoxResult(obj=inf, evals={}, converged=false)"),
    (math.nan, "BlackBoxResult(obj=NaN, evals={}, converged=false)"),
    (-1.25, "BlackBoxResult(obj=-1.250000, evals={}, converged=false)"),
    (2.0 / 3.0, "BlackBoxResult(obj=0.666667, evals={}, converged=false)"),
])
def test_repr(value, text):
    r = po.solve_de(lambda x: value, [(0, 1)], pop_size=4, max_generations=0)
    assert repr(r) == text.format(4)


def test_repr_converged_true():
    r = po.solve_de(lambda x: 1.0, [(0, 1)], pop_size=4)
    assert repr(r) == "BlackBoxResult(obj=1.000000, evals=44, converged=true)"


# --- objective evaluation ------------------------------------------------------

@pytest.mark.parametrize("bad", [
    lambda x: 1 / 0,
    lambda x: None,
    lambda x: "1.0",
    lambda x: [1.0],
    "not callable",
])
def test_failing_objective_scores_inf(bad):
    r = po.solve_de(bad, [(0, 1)] * 2, pop_size=5, max_generations=12)
    assert r.objective == math.inf
    # Ten +inf entries give an undefined spread: the run goes to the limit.
    assert r.evaluations == 5 + 5 * 12 and not r.converged


def test_objective_receives_fresh_lists_and_numeric_conversions():
    seen = []

    class Num:
        def __float__(self):
            return -1.0

    def f(x):
        seen.append(x)
        assert type(x) is list and all(type(v) is float for v in x)
        x.append(99.0)  # mutation must not leak into the run
        return Num() if len(seen) == 2 else len(seen)

    r = po.solve_de(f, [(0, 1)] * 3, pop_size=4, max_generations=1)
    assert len({id(x) for x in seen}) == len(seen) == r.evaluations == 8
    assert r.objective == -1.0 and len(r.x) == 3  # -1.0 is a value, not a failure
    assert all(len(x) == 4 for x in seen)


def test_nan_is_passed_through_and_never_wins():
    # A NaN first member does not become the best: any number beats a NaN.
    vals = iter([math.nan, 3.0, 2.0, math.nan] + [math.nan] * 100)
    r = po.solve_de(lambda x: next(vals), [(0, 1)], pop_size=4, max_generations=3)
    assert r.objective == 2.0
    assert r.history == [2.0] * 4


@pytest.mark.parametrize("fn", [po.solve_de, po.solve_parallel_de])
def test_de_member_scoring_nan_yields_to_a_number(fn):
    # Members 1-3 start on NaN. NaN is not better than anything, so a numeric
    # trial replaces such a member, and no evaluated value better than the
    # reported best is dropped.
    seen = []

    def f(x):
        seen.append(x)
        if 2 <= len(seen) <= 4:
            return math.nan
        return (x[0] - 0.3) ** 2 + (5.0 if len(seen) == 1 else 0.0)

    r = fn(f, [(-1, 1)], pop_size=4, max_generations=5)
    numbers = [(x[0] - 0.3) ** 2 + (5.0 if i == 0 else 0.0)
               for i, x in enumerate(seen) if not 1 <= i <= 3]
    assert r.objective == min(numbers) and r.evaluations == 24
    seen.clear()
    same(r, ref.de(f, [(-1, 1)], pop_size=4, max_generations=5))


@pytest.mark.parametrize("fn, kw", [
    (po.solve_de, {"pop_size": 4}), (po.solve_pso, {"pop_size": 1}), (po.solve_sa, {}),
    (po.solve_cmaes, {}), (po.solve_cmaes, {"variant": "full"}),
])
def test_nan_start_does_not_lock_the_run(fn, kw):
    calls = []

    def f(x):
        calls.append(1)
        return math.nan if len(calls) <= 1 else sphere(x)

    it = "max_iterations" if fn in (po.solve_pso, po.solve_sa) else "max_generations"
    r = fn(f, [(-3, 3)] * 2, **{it: 200}, **kw)
    assert math.isfinite(r.objective) and r.objective == sphere(r.x)


@pytest.mark.parametrize("name", ["de", "pso", "sa"])
def test_nan_start_matches_reference(name):
    # The reference carries the same rule: a NaN current/best value yields to
    # any number (annealing accepts the first numeric candidate).
    def make():
        calls = []

        def f(x):
            calls.append(1)
            return math.nan if len(calls) == 1 else rastrigin(x)
        return f

    native = {"de": po.solve_de, "pso": po.solve_pso, "sa": po.solve_sa}[name]
    it = "max_generations" if name == "de" else "max_iterations"
    kw = {it: 40}
    if name != "sa":
        kw["tol"] = 0.0
    same(native(make(), BOUNDS3, **kw), getattr(ref, name)(make(), BOUNDS3, **kw))


@pytest.mark.parametrize("fn, kw", [
    (po.solve_de, {}), (po.solve_parallel_de, {}), (po.solve_pso, {}), (po.solve_sa, {}),
    (po.solve_cmaes, {}), (po.solve_cmaes, {"variant": "full"}),
])
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_end_the_run(fn, kw, exc):
    calls = []

    def f(x):
        calls.append(1)
        if len(calls) == 7:
            raise exc()
        return sum(x)

    with pytest.raises(exc):
        fn(f, [(0, 1)] * 2, **kw)
    assert len(calls) == 7


def test_interrupt_propagates_from_portfolio_and_stochastic():
    def f(x, *rest):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        po.solve_portfolio(f, [(0, 1)])
    with pytest.raises(KeyboardInterrupt):
        po.stochastic_solve(f, [(0, 1)], [{}])


def test_exception_raised_by_float_conversion_follows_the_same_rule():
    class Bad:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        po.solve_sa(lambda x: Bad(), [(0, 1)], max_iterations=3)


def test_pending_signal_stops_a_run_over_a_builtin_objective():
    # `sum` is C code: the interpreter never gets to run the handler on its own.
    calls = []
    old = signal.signal(signal.SIGALRM, lambda *a: (_ for _ in ()).throw(KeyboardInterrupt))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            po.solve_sa(sum, [(0, 1)] * 2, max_iterations=10**9, cooling_rate=1.0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    del calls


# --- generator and reproducibility --------------------------------------------

@pytest.mark.parametrize("seed", [0, 1, 42, 12345, 2**63, 2**64 - 1])
def test_generator_uniform_draws_step_by_step(seed):
    # The annealing start is one uniform draw per coordinate: on [0, 1] boxes
    # its point is the generator's first 64 draws themselves.
    r = po.solve_sa(lambda x: 0.0, [(0.0, 1.0)] * 64, max_iterations=0, seed=seed)
    g = ref.XorShift(seed)
    assert r.x == [g.uniform() for _ in range(64)]
    assert all(0.0 <= v < 1.0 for v in r.x)


def test_generator_reference_known_values():
    g = ref.XorShift(1)
    assert [g.step() for _ in range(3)] == [1082269761, 1152992998833853505, 11177516664432764457]


@pytest.mark.parametrize("seed", [0, 1, 7, 2**64 - 1])
def test_de_matches_reference_draw_for_draw(seed):
    got = po.solve_de(rosenbrock, BOUNDS3, seed=seed, pop_size=6, max_generations=40, tol=0.0)
    same(got, ref.de(rosenbrock, BOUNDS3, pop_size=6, max_generations=40, seed=seed, tol=0.0))


def test_de_options_match_reference():
    got = po.solve_de(sphere, BOUNDS3, f=0.5, cr=0.3, pop_size=8, max_generations=30, tol=1e-3)
    same(got, ref.de(sphere, BOUNDS3, pop_size=8, max_generations=30, F=0.5, CR=0.3, tol=1e-3))


@pytest.mark.parametrize("seed", [0, 5])
def test_pso_matches_reference(seed):
    got = po.solve_pso(rastrigin, BOUNDS3, seed=seed, max_iterations=30, tol=0.0)
    same(got, ref.pso(rastrigin, BOUNDS3, max_iterations=30, seed=seed, tol=0.0))


@pytest.mark.parametrize("kw", [{}, {"temp_init": 0.5, "cooling_rate": 0.9}, {"temp_init": 0.0},
                                {"temp_init": -1.0}])
def test_sa_matches_reference(kw):
    got = po.solve_sa(rastrigin, BOUNDS3, max_iterations=300, seed=3, **kw)
    same(got, ref.sa(rastrigin, BOUNDS3, max_iterations=300, seed=3, **kw))


def test_seed_zero_equals_seed_one_and_runs_repeat():
    a = po.solve_pso(sphere, BOUNDS3, seed=0, max_iterations=20)
    b = po.solve_pso(sphere, BOUNDS3, seed=1, max_iterations=20)
    c = po.solve_pso(sphere, BOUNDS3, seed=1, max_iterations=20)
    d = po.solve_pso(sphere, BOUNDS3, seed=2, max_iterations=20)
    assert (a.x, a.history) == (b.x, b.history) == (c.x, c.history)
    assert d.x != a.x


# --- keywords -----------------------------------------------------------------

@pytest.mark.parametrize("fn, kw, exc, msg", [
    (po.solve_de, {"seed": None}, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    (po.solve_de, {"pop_size": 2.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    (po.solve_de, {"seed": -1}, OverflowError, None),
    (po.solve_de, {"max_generations": 2**64}, OverflowError, None),
    (po.solve_de, {"f": "x"}, TypeError, "must be real number, not str"),
    (po.solve_de, {"tol": None}, TypeError, None),
    (po.solve_pso, {"max_iterations": 1.0}, TypeError, None),
    (po.solve_sa, {"temp_init": []}, TypeError, None),
    (po.solve_cmaes, {"variant": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
    (po.solve_cmaes, {"restarts": -2}, OverflowError, None),
    (po.stochastic_solve, {"pop_size": "4"}, TypeError, None),
])
def test_keyword_conversion_errors(fn, kw, exc, msg):
    calls = []
    args = ([(0, 1)], [{}]) if fn is po.stochastic_solve else ([(0, 1)],)
    with pytest.raises(exc) as info:
        fn(lambda *a: calls.append(1) or 0.0, *args, **kw)
    if msg is not None:
        assert str(info.value) == msg
    assert calls == []


def test_keywords_are_read_in_order():
    # pop_size comes before seed for DE; seed before temp_init for SA.
    with pytest.raises(TypeError, match="float"):
        po.solve_de(sphere, [(0, 1)], seed=None, pop_size=1.5)
    with pytest.raises(TypeError, match="NoneType"):
        po.solve_sa(sphere, [(0, 1)], temp_init="hot", seed=None)
    # Keys a function does not know, and f/cr/tol for the parallel DE, are ignored.
    r = po.solve_parallel_de(sphere, [(0, 1)], f="x", cr=None, tol=[], bogus=1,
                             max_generations=0)
    assert r.evaluations == 15


def test_keyword_index_protocol_and_bool():
    class Idx:
        def __index__(self):
            return 5

    assert po.solve_de(sphere, [(0, 1)], pop_size=Idx(), max_generations=0).evaluations == 5
    assert po.solve_de(sphere, [(0, 1)], pop_size=4, max_generations=True).iterations == 2


@pytest.mark.parametrize("bounds, msg", [
    ("ab", "argument 'bounds': Can't extract `str` to `Vec`"),
    (5, "argument 'bounds': 'int' object cannot be converted to 'Sequence'"),
    ([[0, 1]], "argument 'bounds': 'list' object cannot be converted to 'PyTuple'"),
    ([(0, 1, 2)], "argument 'bounds': expected tuple of length 2, but got tuple of length 3"),
    ([(0, "1")], "argument 'bounds': must be real number, not str"),
])
def test_bounds_conversion_errors(bounds, msg):
    with pytest.raises(TypeError) as info:
        po.solve_de(sphere, bounds)
    assert str(info.value) == msg


def test_bounds_accepts_any_sequence_of_pairs():
    class Half:
        def __float__(self):
            return 0.5

    r = po.solve_de(sphere, ((0, Half()), (True, 2.0)), pop_size=4, max_generations=2)
    assert 0 <= r.x[0] <= 0.5 and 1 <= r.x[1] <= 2


def test_argument_matching():
    with pytest.raises(TypeError, match=r"solve_de\(\) missing 1 required positional argument: 'bounds'"):
        po.solve_de(sphere)
    with pytest.raises(TypeError, match="solve_portfolio\\(\\) got an unexpected keyword argument 'seed'"):
        po.solve_portfolio(sphere, [(0, 1)], seed=1)
    with pytest.raises(TypeError, match="argument 'max_evals': 'float' object cannot be interpreted"):
        po.solve_portfolio(sphere, [(0, 1)], max_evals=1.5)
    with pytest.raises(OverflowError):
        po.solve_portfolio(sphere, [(0, 1)], max_evals=-1)
    with pytest.raises(TypeError, match="argument 'scenarios': Can't extract `str` to `Vec`"):
        po.stochastic_solve(sphere, [(0, 1)], "abc")
    with pytest.raises(TypeError, match="argument 'scenarios': 'int' object cannot be converted to 'Sequence'"):
        po.stochastic_solve(sphere, [(0, 1)], 3)


# --- inputs that cannot run -----------------------------------------------------

@pytest.mark.parametrize("fn, bounds, kw, msg", [
    (po.solve_de, [], {}, "bounds is empty"),
    (po.solve_parallel_de, [], {}, "bounds is empty"),
    (po.solve_pso, [], {}, "bounds is empty"),
    (po.solve_cmaes, [], {}, "bounds is empty"),
    (po.solve_cmaes, [], {"variant": "full"}, "bounds is empty"),
    (po.solve_portfolio, [], {}, "bounds is empty"),
    (po.solve_de, [(0, 1)], {"pop_size": 3}, "pop_size must be at least 4 for differential evolution"),
    (po.solve_parallel_de, [(0, 1)], {"pop_size": 2}, "pop_size must be at least 4"),
    (po.solve_cmaes, [(0, 1)], {"pop_size": 1}, "pop_size must be at least 2 for the simple CMA-ES"),
    (po.solve_de, [(1, 0)], {}, r"bounds\[0\] = \(1, 0\): the lower bound exceeds the upper bound"),
    (po.solve_sa, [(0, 1), (0, math.inf)], {}, r"bounds\[1\] = \(0, inf\): both bounds must be finite"),
    (po.solve_pso, [(math.nan, 1)], {}, "both bounds must be finite"),
    (po.solve_de, [(0, 1)] * 4, {"pop_size": 2**62},
     "pop_size 4611686018427387904 is too large for 4 dimensions"),
    (po.solve_pso, [(0, 1)] * 2, {"pop_size": 2**63}, "pop_size .* is too large"),
    (po.solve_cmaes, [(0, 1)] * 2, {"pop_size": 2**63, "variant": "full"}, "is too large"),
])
def test_unusable_inputs_raise_before_any_evaluation(fn, bounds, kw, msg):
    calls = []
    with pytest.raises(ValueError, match=msg):
        fn(lambda x: calls.append(1) or 0.0, bounds, **kw)
    assert calls == []


def test_stochastic_rejects_empty_bounds_and_sa_accepts_empty_box():
    with pytest.raises(ValueError, match="bounds is empty"):
        po.stochastic_solve(lambda x, s: 0.0, [], [{}])
    r = po.solve_sa(lambda x: len(x), [], max_iterations=3)
    assert (r.x, r.objective, r.evaluations) == ([], 0.0, 4)
    # The full CMA-ES raises any population below 5 to 4; 1 is fine there.
    assert po.solve_cmaes(sphere, [(0, 1)], variant="full", pop_size=1,
                          max_generations=1).evaluations == 5


# --- counters and stopping --------------------------------------------------------

@pytest.mark.parametrize("fn, kw, evals", [
    (po.solve_de, {"max_generations": 0}, 30),
    (po.solve_de, {"max_generations": 0, "pop_size": 0}, 30),
    (po.solve_parallel_de, {"max_generations": 0}, 45),
    (po.solve_parallel_de, {"max_generations": 0, "pop_size": 0}, 30),
    (po.solve_pso, {"max_iterations": 0}, 20),
    (po.solve_sa, {"max_iterations": 0}, 1),
])
def test_zero_generations(fn, kw, evals):
    r = fn(sphere, BOUNDS3, **kw)
    assert r.evaluations == evals and r.iterations == 1 and len(r.history) == 1
    assert r.converged is False
    assert r.history == [r.objective]


def test_pso_default_swarm_size():
    assert po.solve_pso(sphere, [(0, 1)], max_iterations=0).evaluations == 10
    assert po.solve_pso(sphere, [(0, 1)] * 2, max_iterations=0).evaluations == 20
    assert po.solve_pso(sphere, [(0, 1)] * 5, max_iterations=0).evaluations == 20
    assert po.solve_pso(sphere, [(0, 1)] * 5, max_iterations=0, pop_size=33).evaluations == 33


@pytest.mark.parametrize("fn, per_gen", [(po.solve_de, 30), (po.solve_pso, 20),
                                          (po.solve_parallel_de, 45)])
def test_constant_objective_stops_after_generation_ten(fn, per_gen):
    r = fn(lambda x: 3.0, BOUNDS3)
    assert r.converged is True and r.iterations == 11 and r.evaluations == 11 * per_gen
    assert r.history == [3.0] * 11


def test_nan_window_counts_as_converged():
    r = po.solve_de(lambda x: math.nan, [(0, 1)], pop_size=4)
    assert r.converged and r.iterations == 11 and math.isnan(r.objective)


def test_sa_temperature_rules():
    r = po.solve_sa(sphere, BOUNDS3, max_iterations=0, temp_init=0.0)
    assert r.converged is True and r.evaluations == 1
    r = po.solve_sa(sphere, BOUNDS3, max_iterations=50, temp_init=0.0)
    assert r.converged is True and r.iterations == 2 and r.evaluations == 2
    r = po.solve_sa(sphere, BOUNDS3, max_iterations=500, cooling_rate=1.0)
    assert r.converged is False and r.evaluations == 501
    r = po.solve_sa(sphere, BOUNDS3, max_iterations=10**6, temp_init=1.0, cooling_rate=0.5)
    assert r.converged is True and r.iterations == 28  # 0.5**27 < 1e-8 <= 0.5**26
    r = po.solve_sa(sphere, BOUNDS3, max_iterations=1000, temp_init=-5.0)
    assert r.converged is True and r.iterations == 2
    assert po.solve_sa(sphere, BOUNDS3, max_iterations=200).converged is False


def test_pinned_coordinate_stays_on_its_value():
    b = [(0.0, 1.0), (0.25, 0.25)]
    for fn in (po.solve_de, po.solve_pso, po.solve_sa, po.solve_cmaes):
        seen = set()

        def f(x):
            seen.add(x[1])
            return sphere(x)

        fn(f, b, **({"max_iterations": 50} if fn is po.solve_sa else {}))
        assert seen == {0.25}


def test_pso_clamps_to_the_bound():
    # Optimum far outside the box: the swarm piles up on the upper bound.
    r = po.solve_pso(lambda x: -x[0] - x[1], [(0, 1), (-1, 2)], max_iterations=40)
    assert r.x == [1.0, 2.0]


# --- convergence ---------------------------------------------------------------

@pytest.mark.parametrize("fn, kw", [
    (po.solve_de, {"tol": 0.0, "max_generations": 300}),
    (po.solve_pso, {"max_iterations": 300, "tol": 0.0}),
])
def test_population_methods_find_known_optima(fn, kw):
    r = fn(sphere, [(-5, 5)] * 3, **kw)
    assert r.objective < 1e-6 and all(abs(v - 0.5) < 1e-3 for v in r.x)
    r = fn(rastrigin, [(-5.12, 5.12)] * 2, seed=3, **kw)
    assert r.objective < 1e-6
    r = fn(rosenbrock, [(-2, 2)] * 2, seed=1, **kw)
    assert r.objective < 1e-4


def test_parallel_de_on_sphere():
    r = po.solve_parallel_de(sphere, [(-5, 5)] * 3, max_generations=200)
    assert r.objective < 1e-6


def test_sa_gets_near_the_optimum():
    r = po.solve_sa(sphere, [(-5, 5)] * 2, max_iterations=5000)
    assert r.objective < 1e-2


# --- portfolio ----------------------------------------------------------------------

@pytest.mark.parametrize("max_evals, g", [(100, 50), (500, 50), (510, 51), (5000, 500)])
def test_portfolio_generation_count(max_evals, g):
    # dim 1: G = max_evals // 10, raised to 50 when 50 or less; SA runs 10 * G iterations.
    calls = []

    def f(x):
        calls.append(1)
        return (x[0] - 0.3) ** 2 + 1.0

    b = [(-1, 1)]
    po.solve_portfolio(f, b, max_evals=max_evals)
    total = len(calls)
    members = [
        po.solve_de(f, b, max_generations=g, seed=42),
        po.solve_pso(f, b, max_iterations=g, seed=137),
        po.solve_cmaes(f, b, max_generations=g, seed=271),
        po.solve_sa(f, b, max_iterations=10 * g, seed=314),
    ]
    assert members[3].evaluations == 10 * g + 1
    assert total == sum(m.evaluations for m in members)


def test_portfolio_ties_keep_differential_evolution():
    r = po.solve_portfolio(lambda x: 1.0, [(0, 1)], max_evals=10)
    de = po.solve_de(lambda x: 1.0, [(0, 1)], max_generations=50)
    assert (r.x, r.evaluations, r.history) == (de.x, de.evaluations, de.history)


def test_portfolio_returns_the_best_member_unchanged():
    f = rastrigin
    b = [(-5.12, 5.12)] * 2
    r = po.solve_portfolio(f, b, max_evals=600)
    members = [
        po.solve_de(f, b, max_generations=50, seed=42),
        po.solve_pso(f, b, max_iterations=50, seed=137),
        po.solve_cmaes(f, b, max_generations=50, seed=271),
        po.solve_sa(f, b, max_iterations=500, seed=314),
    ]
    best = members[0]
    for m in members[1:]:
        if m.objective < best.objective:
            best = m
    assert (r.x, r.objective, r.history, r.evaluations, r.converged) == (
        best.x, best.objective, best.history, best.evaluations, best.converged)


def test_portfolio_prefers_a_number_to_a_nan_result():
    calls = []

    def f(x):
        calls.append(1)
        return math.nan if len(calls) <= 110 else (x[0] - 0.25) ** 2

    r = po.solve_portfolio(f, [(-1, 1)], max_evals=10)
    assert math.isfinite(r.objective) and r.objective == (r.x[0] - 0.25) ** 2


def test_objective_may_run_a_nested_optimisation():
    def outer(x):
        inner = po.solve_de(lambda y: (y[0] - x[0]) ** 2, [(-1, 1)], pop_size=4,
                            max_generations=3)
        return inner.objective + x[0] ** 2

    r = po.solve_pso(outer, [(-1, 1)], pop_size=3, max_iterations=3)
    assert math.isfinite(r.objective) and r.evaluations == 12


# --- stochastic -------------------------------------------------------------------

def test_stochastic_averages_scenarios_and_counts_points():
    calls = []
    scenarios = [{"a": 1.0, "probability": 0.9}, {"a": 2.0}, {"a": 6.0}]

    def g(x, s):
        calls.append(s)
        return (x[0] - s["a"]) ** 2

    r = po.stochastic_solve(g, [(-10, 10)], scenarios, max_generations=60, pop_size=8)
    assert len(calls) == 3 * r.evaluations
    assert all(c is s for c, s in zip(calls, scenarios * r.evaluations))
    assert abs(r.x[0] - 3.0) < 1e-3  # unweighted mean of 1, 2, 6
    expected = ref.de(lambda x: sum((x[0] - s["a"]) ** 2 for s in scenarios) / 3,
                      [(-10, 10)], pop_size=8, max_generations=60)
    assert r.history == pytest.approx(expected[2], rel=1e-12)
    assert r.evaluations == expected[3]


def test_stochastic_failures_and_empty_scenarios():
    def g(x, s):
        if s == "bad" and x[0] < 0:
            raise ValueError
        return abs(x[0] - 0.5) if s != "none" else None

    r = po.stochastic_solve(g, [(-1, 1)], ["ok", "bad"], max_generations=30, pop_size=6)
    assert r.x[0] >= 0
    r = po.stochastic_solve(g, [(-1, 1)], ["none"], max_generations=3, pop_size=4)
    assert r.objective == math.inf
    r = po.stochastic_solve(g, [(-1, 1)], [], pop_size=4)
    assert math.isnan(r.objective) and r.converged and r.iterations == 11
    assert r.evaluations == 44


# --- references ----------------------------------------------------------------------

def test_no_reference_leaks():
    alive, Tracked, f = tracked_objective()

    scenario = {"w": Tracked(1.0)}
    refs = (sys.getrefcount(f), sys.getrefcount(scenario))
    for fn in (po.solve_de, po.solve_pso, po.solve_cmaes):
        fn(f, [(0, 1)], max_generations=5, max_iterations=5)
    po.solve_sa(f, [(0, 1)], max_iterations=50)
    po.stochastic_solve(lambda x, s: f(x), [(0, 1)], [scenario, scenario], max_generations=5)
    assert (sys.getrefcount(f), sys.getrefcount(scenario)) == refs
    assert alive[0] == 1  # only the scenario's own
