"""HiGHS only sees linear rows and a quadratic objective: models it would
misread are refused, and a quiet solve prints nothing."""
import os
import subprocess
import sys

import pytest

import pelora_opt as po


def _cone_model():
    m = po.Model()
    t = m.variable("t", 0, 10)
    x = m.variable("x", -1, 1)
    m.add_soc_cone([t, x])
    m.minimize(t)
    return m


def _nonlinear_model():
    m = po.Model()
    a = m.variable("a", 0, 3)
    m.add(po.sin(a) <= 0.5)
    m.minimize(-a)
    return m


@pytest.mark.parametrize("build, words", [(_cone_model, "cones"), (_nonlinear_model, "nonlinear")])
def test_highs_refuses_what_it_would_ignore(build, words):
    m = build()
    with pytest.raises(ValueError, match=f"HiGHS cannot solve a model with .*{words}"):
        m.solve(solver="highs")
    with pytest.raises(ValueError, match=f"PersistentHighs cannot solve a model with .*{words}"):
        po.PersistentHighs.from_model(model=m)
    # The refusal leaves the model usable.
    assert m.problem_type in ("LP", "NLP") and m.num_vars >= 1
    if words == "cones":
        assert m.solve().status == "optimal"  # the automatic choice: Clarabel


def test_quiet_solve_prints_nothing_on_stdout():
    code = (
        "import pelora_opt as po\n"
        "m = po.Model(); x = m.variable('x', 0, 4); m.add(x <= 3); m.maximize(x)\n"
        "r = m.solve()\n"
        "assert r.status == 'optimal'\n"
    )
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout == ""
