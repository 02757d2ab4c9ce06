"""time_limit covers the whole solve: the LP relaxation tried first and the
mixed-integer solve after it share one budget."""
import time

import pytest

import pelora_opt as po

highspy = pytest.importorskip("highspy")


@pytest.fixture
def runs(monkeypatch):
    """(time_limit set, seconds spent in run) for each HiGHS run."""
    out = []
    set_option, run = highspy.Highs.setOptionValue, highspy.Highs.run

    def setting(self, name, value):
        if name == "time_limit":
            out.append([value, None])
        return set_option(self, name, value)

    def running(self):
        t0 = time.perf_counter()
        try:
            return run(self)
        finally:
            if out and out[-1][1] is None:
                out[-1][1] = time.perf_counter() - t0

    monkeypatch.setattr(highspy.Highs, "setOptionValue", setting)
    monkeypatch.setattr(highspy.Highs, "run", running)
    return out


def fractional_mip():
    m = po.Model("frac")
    x, y = m.integer("x", lower=0, upper=5), m.integer("y", lower=0, upper=5)
    m.add(2 * x + 2 * y <= 3)
    m.add(x - y <= 0.5)
    m.maximize(x + y)
    return m


def test_the_mip_solve_gets_what_the_relaxation_left(runs):
    r = fractional_mip().solve(time_limit=30.0)
    assert r.status == "optimal" and r.objective == pytest.approx(1.0)
    (relaxed, spent), (full, _) = runs
    assert relaxed == 30.0
    # Whatever the relaxation took is gone from the second run's limit.
    assert 0.0 <= full <= 30.0 - spent


def test_integral_relaxations_and_lps_keep_the_limit_given(runs):
    m = po.Model("lp")
    x = m.variable("x", lower=0, upper=4)
    m.add(x <= 3)
    m.maximize(x)
    assert m.solve(time_limit=7.0).status == "optimal"
    k = m.integer("k", lower=0, upper=2)
    m.maximize(x + k)
    assert m.solve(time_limit=7.0).nodes is None  # answered by the relaxation
    assert [limit for limit, _ in runs] == [7.0, 7.0]
    # No budget given: nothing is set either way.
    runs.clear()
    fractional_mip().solve()
    assert runs == []
