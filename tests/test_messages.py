"""Warning and error lines: each one is a PeloraWarning for the warnings filters
and a record of the "pelora_opt" logger, while with no configuration the user
sees the single line on stderr and nothing else."""
import logging
import re
import subprocess
import sys
import warnings

import pytest

import pelora_opt as po


def misspelt_option():
    m = po.Model()
    x = m.variable("x", lower=0, upper=1)
    m.maximize(x)
    m.solve(tim_limit=1)


def integrality_dropped():
    m = po.Model()
    n = m.integer("n", lower=0, upper=3)
    m.add(2 * n <= 3)
    m.maximize(n)
    m.solve(solver="clarabel")


def osqp_stopped():
    m = po.Model()
    x = m.variables("x", 3, lower=-5, upper=5)
    m.add(x[0] + x[1] + x[2] == 1)
    m.minimize(x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[0])
    m.solve(solver_options={"max_iter": 5})


def relaxation_refused():
    m = po.Model()
    k = m.integer("k", lower=0, upper=3)
    s = m.variables("s", 3)
    m.add(s[0] + s[2] <= k)
    m.add_psd_cone(s)
    m.maximize(s[0])
    assert m.solve().status == "error"


KINDS = {
    "misspelt option": (misspelt_option, logging.WARNING,
                        "[pelora-opt] warning: unknown option 'tim_limit' ignored "
                        "(did you mean 'time_limit'?)"),
    "integrality": (integrality_dropped, logging.WARNING,
                    "[pelora-opt] warning: Clarabel ignores integrality; the result is the "
                    "continuous relaxation of this mixed-integer model (solver=\"scip\" solves it "
                    "with integrality)"),
    "OSQP limit": (osqp_stopped, logging.WARNING,
                   "[pelora-opt] warning: OSQP stopped at its iteration limit (5 iterations) "
                   "without a solution; raise the limit with solver_options={\"max_iter\": ...} "
                   "or solve with solver=\"clarabel\""),
    "relaxation": (relaxation_refused, logging.ERROR,
                   "[pelora-opt] error: no available solver keeps integrality with PSD cones: "
                   "Clarabel would solve the continuous relaxation. Name solver=\"clarabel\" to "
                   "accept the relaxation"),
}
kinds = pytest.mark.parametrize("kind", list(KINDS))


@kinds
def test_one_line_on_stderr_and_one_log_record(kind, capfd, caplog):
    run, level, line = KINDS[kind]
    with caplog.at_level(logging.DEBUG, logger="pelora_opt"):
        run()
    assert capfd.readouterr().err == line + "\n"
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("pelora_opt", level, line)]
    assert caplog.records[0].pathname == __file__  # the record points at the caller


@kinds
def test_error_filter_raises_it(kind, capfd, caplog):
    run, _, line = KINDS[kind]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(po.PeloraWarning, match=re.escape(line)):
            run()
    assert capfd.readouterr().err == "" and caplog.records == []


@kinds
def test_recorded_by_warnings_once(kind, capfd):
    run, _, line = KINDS[kind]
    with pytest.warns(po.PeloraWarning) as seen:
        run()
    assert [str(w.message) for w in seen if w.category is po.PeloraWarning] == [line]
    assert seen[0].filename == __file__
    assert capfd.readouterr().err == ""  # the warnings machinery showed it, not a second line


def test_ignore_filter_and_logger_level_silence_it(capfd, caplog):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=po.PeloraWarning)
        misspelt_option()
    assert capfd.readouterr().err == ""
    assert len(caplog.records) == 1  # logging still receives it
    logger = logging.getLogger("pelora_opt")
    logger.setLevel(logging.ERROR)
    try:
        misspelt_option()
        relaxation_refused()
    finally:
        logger.setLevel(logging.NOTSET)
    assert capfd.readouterr().err == KINDS["relaxation"][2] + "\n"


def test_an_application_console_handler_shows_it_once(capfd):
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    root = logging.getLogger()
    root.addHandler(handler)
    try:
        misspelt_option()
    finally:
        root.removeHandler(handler)
    assert capfd.readouterr().err == "WARNING pelora_opt: " + KINDS["misspelt option"][2] + "\n"


PLAIN = """
import pelora_opt as po
m = po.Model()
x = m.variable("x", lower=0, upper=1)
m.maximize(x)
try:
    m.solve(tim_limit=1)
except po.PeloraWarning as e:
    print("raised:", e)
"""


def test_importing_the_module_sets_up_nothing_yet():
    # logging is set up by the first message, matplotlib imported by the first picture
    code = ("import sys, pelora_opt, pelora_opt.plot; "
            "print('logging' in sys.modules, 'matplotlib' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


@pytest.mark.parametrize("flags, out, err", [
    ([], "", KINDS["misspelt option"][2] + "\n"),
    (["-W", "error::UserWarning"], "raised: " + KINDS["misspelt option"][2] + "\n", ""),
])
def test_an_unconfigured_interpreter(flags, out, err):
    got = subprocess.run([sys.executable, *flags, "-c", PLAIN], capture_output=True, text=True,
                         check=True)
    assert (got.stdout, got.stderr) == (out, err)
