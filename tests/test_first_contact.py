"""What a new user meets first: the version, a missing package named with the
command that installs it, and the Ctrl-C tests standing aside when SIGINT
cannot be delivered."""
import importlib.metadata
import pathlib
import signal
import subprocess
import sys
import tomllib

import pytest

import pelora_opt as po

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_version_is_the_package_metadata():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert po.__version__ == project["version"]
    assert set(project["dependencies"]) == {"numpy", "highspy"}
    try:
        dist = importlib.metadata.distribution("pelora-opt")
    except importlib.metadata.PackageNotFoundError:
        return
    files = [pathlib.Path(dist.locate_file(f)).resolve() for f in dist.files or []]
    if pathlib.Path(po.__file__).resolve() in files:  # this module is the installed one
        assert po.__version__ == dist.version


def test_module_docstring():
    assert po.__doc__.startswith("Algebraic modelling with fast solver hand-off")


class NotInstalled:
    """An import hook: the named packages are missing, as on a machine without
    them; `missing_dependency` stands for a package whose own dependency is absent."""

    def __init__(self, names, missing_dependency=None):
        self.names, self.missing_dependency = names, missing_dependency

    def find_spec(self, name, path=None, target=None):
        top = name.partition(".")[0]
        if top in self.names:
            missing = self.missing_dependency or name
            raise ModuleNotFoundError(f"No module named {missing!r}", name=missing)
        return None


@pytest.fixture
def not_installed(monkeypatch):
    def hide(*names, missing_dependency=None):
        for mod in list(sys.modules):
            if mod.partition(".")[0] in names:
                monkeypatch.delitem(sys.modules, mod)
        monkeypatch.setattr(sys, "meta_path", [NotInstalled(names, missing_dependency)] + sys.meta_path)
    return hide


def qp():
    m = po.Model()
    x = m.variable("x", lower=-1, upper=1)
    m.minimize(x * x + x)
    return m


def lp():
    m = po.Model()
    x = m.variable("x", lower=0, upper=1)
    m.maximize(x)
    return m


SOLVERS = ' (or pip install "pelora-opt[solvers]")'


@pytest.mark.parametrize("hidden, run, message", [
    ("osqp", lambda: qp().solve(solver="osqp"),
     "solver 'osqp' needs the osqp package: pip install osqp" + SOLVERS),
    ("scipy", lambda: qp().solve(solver="osqp"),
     "solver 'osqp' needs the scipy package: pip install scipy" + SOLVERS),
    ("clarabel", lambda: qp().solve(solver="clarabel"),
     "solver 'clarabel' needs the clarabel package: pip install clarabel" + SOLVERS),
    ("scipy", lambda: qp().solve(solver="slsqp"),
     "solver 'slsqp' needs the scipy package: pip install scipy" + SOLVERS),
    ("highspy", lambda: lp().solve(), "solver 'highs' needs the highspy package: pip install highspy"),
    ("highspy", lambda: po.PersistentHighs.from_model(model=lp()),
     "PersistentHighs needs the highspy package: pip install highspy"),
    ("scipy", lambda: po.solve_de(lambda v: v[0] ** 2, [(-1, 1)], seed=1, polish=True),
     "polish=True needs the scipy package: pip install scipy" + SOLVERS),
])
def test_a_missing_package_is_named_with_its_install_command(not_installed, hidden, run, message):
    not_installed(hidden)
    with pytest.raises(ImportError) as e:
        run()
    assert str(e.value) == message
    assert type(e.value) is ImportError and e.value.name == hidden
    assert isinstance(e.value.__cause__, ModuleNotFoundError)


def test_a_package_missing_its_own_dependency_keeps_the_original_error(not_installed):
    not_installed("osqp", missing_dependency="qdldl")
    with pytest.raises(ModuleNotFoundError, match="No module named 'qdldl'"):
        qp().solve(solver="osqp")


def test_the_plot_module_names_matplotlib(not_installed):
    not_installed("matplotlib")
    with pytest.raises(ImportError) as e:
        po.plot.convergence([3.0, 2.0])
    assert str(e.value) == ("pelora_opt.plot needs the matplotlib package: pip install matplotlib "
                            '(or pip install "pelora-opt[plot]")')


def test_an_lp_a_milp_and_a_qp_need_nothing_beyond_numpy_and_highspy(not_installed):
    not_installed("scipy", "osqp", "clarabel", "casadi", "pyscipopt")
    assert lp().solve().objective == 1.0
    r = qp().solve()  # OSQP's QP goes to HiGHS when OSQP is not there
    assert (r.solver, r.status) == ("HiGHS", "optimal")
    assert r.objective == pytest.approx(-0.25) and r.values()["x"] == pytest.approx(-0.5)
    y = po.Model().variable("y")
    one_line = po.minimize((y - 2) ** 2, [y <= 1])
    assert (one_line.solver, one_line.objective) == ("HiGHS", pytest.approx(1.0))
    m = po.Model()
    n = m.integer("n", lower=0, upper=10)
    x = m.variable("x", lower=0)
    m.add(2 * n + x <= 7.5)
    m.maximize(n + 0.1 * x)
    r = m.solve()
    assert r.status == "optimal" and r.value(n) == 3.0


def test_ctrl_c_tests_skip_when_sigint_is_ignored():
    out = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
         str(ROOT / "tests" / "test_interrupt.py")],
        capture_output=True, text=True, cwd=ROOT, timeout=300,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    assert " skipped" in out.stdout and "passed" not in out.stdout and "failed" not in out.stdout
    assert "SIGINT is ignored in this test run" in out.stdout


def test_signatures_show_their_defaults_and_none_leaves_a_side_free():
    import inspect

    for f in (po.Model.variable, po.Model.integer, po.Model.variables, po.Model.integers):
        params = inspect.signature(f).parameters
        assert (params["lower"].default, params["upper"].default) == (None, None)
    m = po.Model()
    x = m.variable("x", lower=None, upper=2)
    ys = m.integers("y", 2, lower=None, upper=None)
    m.add(x + ys[0] + ys[1] >= 1)
    assert " -inf <= x <= 2\n" in m.to_lp() and " y_0 free\n" in m.to_lp()


def test_a_binary_at_zero_reads_zero_not_minus_zero():
    # The production plan of examples/demo_model.py: HiGHS answers the
    # campaign flag with -0.0.
    m = po.Model("production")
    chairs = m.integer("chairs", lower=0, upper=40)
    tables = m.integer("tables", lower=0, upper=20)
    overtime = m.variable("overtime_hours", lower=0, upper=10)
    campaign = m.binary("campaign")
    m.add(2 * chairs + 4 * tables <= 80 + overtime)
    m.add(3 * chairs + 2 * tables <= 90)
    m.add(overtime - 10 * campaign <= 0)
    m.add(tables >= 2)
    m.maximize(45 * chairs + 80 * tables - 25 * overtime - 100 * campaign)
    values = m.solve().values()
    assert repr(values["campaign"]) == "0.0"
    assert all(repr(v) != "-0.0" for v in values.values())
