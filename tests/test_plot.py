"""pelora_opt.plot draws a run's convergence and a Pareto front on matplotlib
Axes holding the result's own numbers (Agg backend, no display)."""
import math
import sys

import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import pelora_opt as po  # noqa: E402
from pelora_opt import plot  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def test_one_module_by_either_import():
    import pelora_opt.plot as by_path

    assert by_path is plot is po.plot and plot.__name__ == "pelora_opt.plot"
    assert sys.modules["pelora_opt.plot"] is plot


def test_convergence_draws_the_history():
    r = po.solve_de(lambda v: (v[0] - 0.3) ** 2 + 1.0, [(-2, 2)], max_evals=300, seed=3)
    ax = plot.convergence(r, label="de")
    (line,) = ax.lines
    assert list(line.get_ydata()) == r.history and list(line.get_xdata()) == list(range(len(r.history)))
    assert ax.get_yscale() == "log" and line.get_label() == "de"  # every value positive
    _, own = plt.subplots()
    assert plot.convergence([1.0, -2.0, -2.0], ax=own) is own and own.get_yscale() == "linear"
    ys = plot.convergence([math.inf, 4.0, 2.0], ax=own, log=True).lines[-1].get_ydata()
    assert math.isnan(ys[0]) and list(ys[1:]) == [4.0, 2.0]  # a generation with no finite value: a gap
    with pytest.raises(ValueError, match="no iterations"):
        plot.convergence([])


def two(x):
    return x[0] ** 2


def shifted(x):
    return (x[0] - 1) ** 2


def test_front_draws_two_and_three_objectives():
    points = po.pareto_frontier([two, shifted], [(-2, 2)], n_points=5, seed=1)
    ax = plot.front(points)
    assert ax.collections[0].get_offsets().tolist() == [p["objectives"] for p in points]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("objective 1", "objective 2")
    triples = [[1.0, 2.0, 3.0], [2.0, 1.0, 0.5]]
    ax3 = plot.front(triples, labels=["cost", "risk", "time"], color="red")
    assert ax3.name == "3d" and ax3.get_zlabel() == "time"
    xs, ys, zs = ax3.collections[0]._offsets3d
    assert [list(xs), list(ys), list(zs)] == [[1.0, 2.0], [2.0, 1.0], [3.0, 0.5]]


@pytest.mark.parametrize("points, ax, message", [
    ([], None, "at least one point"),
    ([[1.0, 2.0], [1.0]], None, "same number of objectives"),
    ([[1.0, 2.0, 3.0, 4.0]], None, "two or three objectives; the points have 4"),
    ([[1.0, 2.0, 3.0]], "2d", "three objectives need a 3-D Axes"),
])
def test_front_refuses_what_it_cannot_draw(points, ax, message):
    axes = plt.subplots()[1] if ax else None
    with pytest.raises(ValueError, match=message):
        plot.front(points, ax=axes)
