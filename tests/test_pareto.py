"""pareto_frontier: engine choice, the weighted-sum sweep, NSGA-II and NSGA-III."""
import math

import pytest

import pelora_opt as po

SWEEP_KEYS = {"x", "weights", "objectives"}
NSGA_KEYS = {"x", "objectives", "rank", "crowding"}


def parabolas():
    # f1 = x^2, f2 = (x - 2)^2: the weighted minimiser is x = 2 (1 - w).
    return [lambda x: x[0] ** 2, lambda x: (x[0] - 2.0) ** 2]


def zdt1():
    def f2(x):
        g = 1.0 + 9.0 * sum(x[1:]) / (len(x) - 1)
        return g * (1.0 - math.sqrt(x[0] / g))

    return [lambda x: x[0], f2]


def dtlz2(m):
    def make(i):
        def f(x):
            value = 1.0 + sum((v - 0.5) ** 2 for v in x[m - 1:])
            for v in x[: m - 1 - i]:
                value *= math.cos(v * math.pi / 2)
            if i > 0:
                value *= math.sin(x[m - 1 - i] * math.pi / 2)
            return value

        return f

    return [make(i) for i in range(m)]


class Counter:
    def __init__(self, f=lambda x: x[0]):
        self.calls = 0
        self.f = f

    def __call__(self, x):
        self.calls += 1
        return self.f(x)


def assert_mutually_non_dominated(items):
    objs = [d["objectives"] for d in items]
    for i, a in enumerate(objs):
        for j, b in enumerate(objs):
            if i != j:
                dominated = all(p <= q for p, q in zip(b, a)) and any(p < q for p, q in zip(b, a))
                assert not dominated, (a, b)


# --- arguments and engine choice ----------------------------------------------

@pytest.mark.parametrize("objectives", [[], [lambda x: x[0]]])
def test_fewer_than_two_objectives(objectives):
    with pytest.raises(ValueError, match=r"^Need at least 2 objectives$"):
        po.pareto_frontier(objectives, [(0.0, 1.0)])


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'objectives': "):
        po.pareto_frontier("ab", [(0.0, 1.0)])
    with pytest.raises(TypeError, match=r"^argument 'bounds': "):
        po.pareto_frontier(parabolas(), "ab")
    with pytest.raises(TypeError, match=r"^argument 'n_points': "):
        po.pareto_frontier(parabolas(), [(0.0, 1.0)], 2.5)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'bounds'"):
        po.pareto_frontier(parabolas())
    with pytest.raises(ValueError, match="empty"):
        po.pareto_frontier(parabolas(), [])
    with pytest.raises(ValueError, match="empty"):
        po.pareto_frontier(dtlz2(3), [])


@pytest.mark.parametrize(
    "m, method, keys",
    [
        (2, None, SWEEP_KEYS),
        (2, "nsga2", NSGA_KEYS),
        (2, "nsga3", NSGA_KEYS),
        (2, "NSGA2", NSGA_KEYS),  # names match whatever their case
        (2, "weighted_sum", SWEEP_KEYS),
        (2, 7, SWEEP_KEYS),  # not a string: ignored, default engine
        (3, None, NSGA_KEYS),
        (4, None, NSGA_KEYS),
        (3, 7, NSGA_KEYS),
    ],
)
def test_engine_choice(m, method, keys):
    kw = {} if method is None else {"method": method}
    items = po.pareto_frontier(dtlz2(m), [(0.0, 1.0)] * 3, n_points=2, pop_size=8,
                               generations=3, **kw)
    assert items and all(set(d) == keys for d in items)


@pytest.mark.parametrize("method", ["weighted_sum", "Weighted-Sum", "WEIGHTED_SUM"])
def test_weighted_sum_with_three_objectives_is_refused(method):
    calls = Counter()
    with pytest.raises(ValueError, match="weighted-sum sweep, which needs exactly 2 objectives, got 3"):
        po.pareto_frontier([calls, calls, calls], [(0.0, 1.0)], method=method)
    assert calls.calls == 0


# --- weighted-sum sweep -----------------------------------------------------------

def test_sweep_weights_and_points():
    items = po.pareto_frontier(parabolas(), [(-5.0, 5.0)], n_points=3)
    assert [d["weights"] for d in items] == [[0.0, 1.0], [0.5, 0.5], [1.0, 0.0]]
    for d in items:
        w = d["weights"][0]
        assert d["x"][0] == pytest.approx(2.0 * (1.0 - w), abs=1e-5)
        assert d["objectives"] == [d["x"][0] ** 2, (d["x"][0] - 2.0) ** 2]
    assert po.pareto_frontier(parabolas(), [(-5.0, 5.0)], n_points=1)[0]["weights"] == [0.0, 1.0]
    assert po.pareto_frontier(parabolas(), [(-5.0, 5.0)], n_points=0) == []
    assert po.pareto_frontier(parabolas(), [], n_points=0) == []


def test_sweep_runs_are_differential_evolution_with_shifted_seeds():
    solve_de = getattr(po, "solve_de", None)
    if solve_de is None:
        pytest.skip("solve_de not built")
    f1, f2 = parabolas()
    bounds = [(-5.0, 5.0), (-1.0, 1.0)]
    items = po.pareto_frontier([f1, f2], bounds, n_points=3, seed=7)
    for i, d in enumerate(items):
        w = i / 2
        ref = solve_de(lambda x: w * f1(x) + (1 - w) * f2(x), bounds, max_generations=200,
                       seed=7 + 100 + i)
        assert d["x"] == ref.x
    # The 64-bit seed wraps; a wrapped 0 acts as 1.
    item = po.pareto_frontier([f1, f2], bounds, n_points=1, seed=2**64 - 100)[0]
    ref = solve_de(lambda x: 0.0 * f1(x) + 1.0 * f2(x), bounds, max_generations=200, seed=1)
    assert item["x"] == ref.x


def test_sweep_calls_both_objectives_per_evaluation():
    a, b = Counter(lambda x: x[0] ** 2), Counter(lambda x: (x[0] - 1) ** 2)
    po.pareto_frontier([a, b], [(-1.0, 1.0)], n_points=2)
    assert a.calls == b.calls > 0


def test_sweep_failing_objective_scores_inf():
    def bad(x):
        raise RuntimeError("boom")

    items = po.pareto_frontier([lambda x: x[0] ** 2, bad], [(-1.0, 1.0)], n_points=2)
    # Both runs score +inf on the second objective; the point with the
    # smaller first objective dominates the other, which is dropped.
    assert [d["objectives"][1] for d in items] == [math.inf]


# --- genetic engines --------------------------------------------------------------

def test_nsga_items_rank_zero_and_non_dominated():
    items = po.pareto_frontier(dtlz2(3), [(0.0, 1.0)] * 5, pop_size=24, generations=30)
    assert 0 < len(items) <= 24
    assert all(d["rank"] == 0 and isinstance(d["rank"], int) for d in items)
    assert all(isinstance(d["crowding"], float) and d["crowding"] >= 0 for d in items)
    assert any(d["crowding"] == math.inf for d in items)
    assert_mutually_non_dominated(items)
    for d in items:
        assert len(d["x"]) == 5 and len(d["objectives"]) == 3
        assert all(0.0 <= v <= 1.0 for v in d["x"])
        assert d["objectives"] == [f(d["x"]) for f in dtlz2(3)]


def test_nsga2_reaches_zdt1_front():
    items = po.pareto_frontier(zdt1(), [(0.0, 1.0)] * 10, method="nsga2", pop_size=40,
                               generations=200, seed=3)
    assert len(items) == 40
    f1 = sorted(d["objectives"][0] for d in items)
    errors = sorted(abs(d["objectives"][1] - (1.0 - math.sqrt(d["objectives"][0]))) for d in items)
    assert errors[int(0.9 * len(errors))] < 0.03 and errors[-1] < 0.2
    assert f1[0] < 0.05 and f1[-1] > 0.9  # spread over the whole front
    assert_mutually_non_dominated(items)


@pytest.mark.parametrize("method, median_tol, max_tol", [(None, 0.015, 0.15), ("nsga3", 0.002, 0.06)])
def test_dtlz2_front_is_the_unit_sphere(method, median_tol, max_tol):
    kw = {"method": method} if method else {}
    items = po.pareto_frontier(dtlz2(3), [(0.0, 1.0)] * 7, pop_size=40, generations=250,
                               das_dennis_divisions=5, **kw)
    radii = sorted(math.sqrt(sum(v * v for v in d["objectives"])) for d in items)
    assert len(items) == 40
    assert radii[0] >= 1.0 - 1e-9
    assert radii[len(radii) // 2] < 1.0 + median_tol and radii[-1] < 1.0 + max_tol
    assert_mutually_non_dominated(items)


def nearest_direction(point, directions):
    def dist(w):
        t = sum(p * q for p, q in zip(point, w)) / sum(q * q for q in w)
        return sum((p - t * q) ** 2 for p, q in zip(point, w))

    return min(range(len(directions)), key=lambda i: dist(directions[i]))


def das_dennis(m, p):
    if m == 1:
        return [[1.0]]
    out = []
    for k in range(p, -1, -1):
        for rest in das_dennis_int(m - 1, p - k):
            out.append([k / p] + [r / p for r in rest])
    return out


def das_dennis_int(m, p):
    if m == 1:
        return [[p]]
    return [[k] + rest for k in range(p, -1, -1) for rest in das_dennis_int(m - 1, p - k)]


def test_nsga3_many_objectives_spread_over_directions():
    m, p = 4, 3
    directions = das_dennis(m, p)
    assert len(directions) == math.comb(p + m - 1, m - 1) == 20
    items = po.pareto_frontier(dtlz2(m), [(0.0, 1.0)] * (m + 3), pop_size=24, generations=120,
                               das_dennis_divisions=p, seed=5)
    assert all(set(d) == NSGA_KEYS and d["rank"] == 0 for d in items)
    # On DTLZ2 the ideal point is 0 and the nadir 1, so normalised objectives are the raw ones.
    hit = {nearest_direction(d["objectives"], directions) for d in items}
    assert len(hit) >= 18


def test_nsga_evaluation_counts_and_keyword_fallbacks():
    # One look at the box centre, P initial points, P children per generation.
    def run(**kw):
        a, b, c = Counter(), Counter(), Counter()
        po.pareto_frontier([a, b, c], [(0.0, 1.0)] * 2, **kw)
        assert a.calls == b.calls == c.calls
        return a.calls

    assert run(pop_size=6, generations=5) == 1 + 6 + 5 * 6
    assert run(pop_size=7, generations=3) == 1 + 7 + 3 * 7  # odd P: P children, not P + 1
    assert run(pop_size=2, generations=1) == 1 + 4 + 4  # below 5 becomes 4
    assert run(n_points=3, generations=0) == 1 + 15  # default P = 5 * max(n_points, 2)
    assert run(n_points=0, generations=0) == 1 + 10
    # Malformed values fall back to their defaults silently.
    assert run(pop_size=4.5, n_points=2, generations="many") == 1 + 10 + 250 * 10
    assert run(pop_size=6, generations=-1, das_dennis_divisions=None, seed="x") == 1 + 6 + 250 * 6


def test_nsga_reproducible_and_seed_rules():
    def run(**kw):
        return po.pareto_frontier(dtlz2(3), [(0.0, 1.0)] * 4, pop_size=12, generations=10, **kw)

    assert run(seed=9) == run(seed=9)
    assert run(seed=0) == run(seed=1)
    assert run(seed=-5) == run() == run(seed=42)
    assert run(seed=9) != run(seed=10)


def test_nsga_failing_objectives_score_inf():
    def bad(x):
        raise ValueError("nope")

    items = po.pareto_frontier([lambda x: x[0], lambda x: None, bad], [(0.0, 1.0)],
                               pop_size=8, generations=4)
    assert items and all(d["objectives"][1:] == [math.inf, math.inf] for d in items)


def test_nsga_nan_objective_never_dominates():
    # A NaN comparison counts as "not worse": only the second objective decides.
    items = po.pareto_frontier([lambda x: math.nan, lambda x: (x[0] - 0.3) ** 2],
                               [(0.0, 1.0)], method="nsga3", pop_size=10, generations=20)
    assert items and all(math.isnan(d["objectives"][0]) for d in items)
    assert len({d["objectives"][1] for d in items}) == 1
    assert all(d["crowding"] == math.inf for d in items) or len(items) > 2


@pytest.mark.parametrize("divisions", [0, 1, 2])
def test_nsga3_few_divisions(divisions):
    # 0 divisions act as 1: the directions are then the unit vectors.
    items = po.pareto_frontier(dtlz2(4), [(0.0, 1.0)] * 5, pop_size=8, generations=10,
                               das_dennis_divisions=divisions)
    assert items and all(d["rank"] == 0 for d in items)
    assert_mutually_non_dominated(items)


def test_nsga_too_many_reference_directions():
    calls = Counter()
    with pytest.raises(ValueError, match="reference directions"):
        po.pareto_frontier([calls] * 12, [(0.0, 1.0)], das_dennis_divisions=40)
    assert calls.calls == 0


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("m, method", [(2, None), (2, "nsga2"), (4, None)])
def test_interrupts_propagate(exc, m, method):
    calls = Counter()

    def stop(x):
        calls(x)
        if calls.calls == 5:
            raise exc()
        return x[0]

    kw = {"method": method} if method else {}
    with pytest.raises(exc):
        po.pareto_frontier([stop] + [lambda x: x[0]] * (m - 1), [(0.0, 1.0)], pop_size=8, **kw)
    assert calls.calls == 5


def test_huge_counts_are_refused_or_run_not_crash():
    # A point count far beyond memory must not surface as an internal failure:
    # the sweep simply runs (and can be interrupted), the genetic engines refuse
    # the population it implies with a ValueError naming n_points.
    calls = Counter()

    def stop(x):
        calls(x)
        if calls.calls == 3:
            raise KeyboardInterrupt
        return x[0]

    with pytest.raises(KeyboardInterrupt):
        po.pareto_frontier([stop, lambda x: -x[0]], [(0.0, 1.0)], 2**62)
    with pytest.raises(ValueError, match=r"n_points=4611686018427387904"):
        po.pareto_frontier([calls, calls], [(0.0, 1.0)], 2**62, method="nsga2")
    assert calls.calls == 3
