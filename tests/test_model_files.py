"""Model files: MPS text, Model.write, read_model, and exports that read back to the same model."""
import gzip
import math
import os
import pathlib
import re
import sys

import pytest

import pelora_opt as po

highspy = pytest.importorskip("highspy")


def data_dir():
    here = pathlib.Path(__file__).resolve().parent.parent
    for p in (os.environ.get("PELORA_DATA"), "/work/shared/data", here.parent / "shared" / "data"):
        if p and pathlib.Path(p, "README.md").is_file():
            return pathlib.Path(p)
    return None


DATA = data_dir()


def published_optima():
    """file -> (optimum or None for infeasible, relative tolerance) from the data README."""
    out = {}
    for line in (DATA / "README.md").read_text().splitlines():
        cells = [c.strip() for c in line.split("|")]
        if len(cells) < 4 or not cells[1].endswith(".gz"):
            continue
        value = cells[3].split()[0]
        if value == "-":
            out[cells[1]] = (None, 0.0)
        else:
            # The catalogue's printed precision: half a unit of its last digit.
            digits = len(value.lstrip("-").replace(".", "").split("E")[0].lstrip("0"))
            tol = max(1e-6, 0.5 * 10.0 ** (1 - digits))
            out[cells[1]] = (float(value), tol)
    return out


INSTANCES = sorted(published_optima().items()) if DATA else []


def rebuild_from_script(script):
    """Runs the generated script without its solve section and returns its model."""
    ns = {}
    exec(compile(script.split("\n# Solve\n")[0], "generated", "exec"), ns)
    return ns["m"]


def read_text(text, suffix, tmp_path):
    path = tmp_path / ("model" + suffix)
    path.write_text(text, encoding="utf-8")
    return po.read_model(path)


def highs_reads(text, suffix, tmp_path):
    path = tmp_path / ("highs" + suffix)
    path.write_text(text, encoding="utf-8")
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    assert h.readModel(str(path)) == highspy.HighsStatus.kOk
    return h


def check_optimum(result, optimum, tol):
    if optimum is None:
        assert result.status == "infeasible"
    else:
        assert result.status == "optimal"
        assert result.objective == pytest.approx(optimum, rel=tol)


@pytest.mark.skipif(DATA is None, reason="public test instances not available")
@pytest.mark.parametrize("name, expected", INSTANCES, ids=[n for n, _ in INSTANCES])
def test_public_instance_reads_solves_and_round_trips(name, expected, tmp_path):
    optimum, tol = expected
    m = po.read_model(DATA / name)
    check_optimum(m.solve(), optimum, tol)
    again = [read_text(m.to_lp(), ".lp", tmp_path), read_text(m.to_mps(), ".mps", tmp_path),
             rebuild_from_script(m.to_python())]
    for other in again:
        assert (other.num_vars, other.num_constraints) == (m.num_vars, m.num_constraints)
        assert other.problem_type == m.problem_type
        check_optimum(other.solve(), optimum, tol)


# --- hostile names and a quadratic objective --------------------------------------

HOSTILE = ["a b", "FLAV*1", "5C0ST", "0001", "102000", "x", "x", "", "line\nbreak", "it's",
           'say "hi"', "x:y", "free", "inf", "c1", "größe", "e1", "[q]", "-neg", "obj"]


def hostile_qp():
    m = po.Model("qp 'hostile'\nname")
    vs = [m.variable(n, -5, 5 + i) for i, n in enumerate(HOSTILE)]
    quad = 0.5 * (vs[1] * vs[2])
    for i, v in enumerate(vs):
        quad = quad + (1 + i % 3) * (v * v)
    m.minimize(po.sum([(i % 3 - 1) * v for i, v in enumerate(vs)]) + 2.5 + quad)
    m.add(po.sum(vs[:10]) <= 7, name="x")
    m.add(vs[3] - vs[4] >= -2, name="x")
    m.add(vs[8] + vs[9] == 1, name="obj")
    m.add(vs[10] + 2 * vs[11] <= 4, name="c0")
    m.add(vs[12] - vs[13] <= 3)  # unnamed third row: default name c4 would clash with nothing
    m.add(vs[14] + vs[15] >= -4, name="")
    m.add(vs[16] + vs[17] + vs[18] + vs[19] <= 6, name="a\nb")
    return m


def test_hostile_names_are_legal_unique_and_documented(tmp_path):
    m = hostile_qp()
    lp = m.to_lp()
    lines = lp.splitlines()
    assert lines[0] == "\\ Problem: " + repr("qp 'hostile'\nname")
    h = highs_reads(lp, ".lp", tmp_path)
    cols = h.getLp().col_names_
    rows = h.getLp().row_names_
    assert len(cols) == len(set(cols)) == len(HOSTILE)
    assert len(rows) == len(set(rows)) == m.num_constraints
    for kept in ["FLAV_1", "x", "x_1", "c1", "e1"]:
        assert kept in cols
    assert "\\ variable FLAV_1: 'FLAV*1'" in lines
    assert "\\ variable x_1: 'x'" in lines
    assert "\\ variable _5C0ST: '5C0ST'" in lines
    assert "\\ constraint obj_1: 'obj'" in lines  # the objective's own name stays its own
    assert "\\ constraint a_b: 'a\\nb'" in lines
    # Names already legal and unique are written as they are.
    assert " c0: " in lp and " c4: " in lp
    mps = m.to_mps()
    assert mps.splitlines()[0] == "* Problem: " + repr("qp 'hostile'\nname")
    assert re.findall(r"^\\ (.*)$", lp, re.M)[1:] == re.findall(r"^\* (.*)$", mps, re.M)[1:]


def test_hostile_quadratic_model_round_trips_through_all_three(tmp_path):
    m = hostile_qp()
    base = m.solve()
    assert base.status == "optimal"
    again = [read_text(m.to_lp(), ".lp", tmp_path), read_text(m.to_mps(), ".mps", tmp_path),
             rebuild_from_script(m.to_python())]
    for other in again:
        assert other.problem_type == "QP"
        r = other.solve()
        assert r.status == "optimal"
        assert r.objective == pytest.approx(base.objective, rel=1e-7, abs=1e-7)
    script_model = again[2]
    assert script_model.to_python() == m.to_python()
    assert sorted(script_model.solve().values()) == pytest.approx(sorted(base.values()), abs=1e-6)


def test_quadratic_objective_reaches_highs_as_the_same_hessian(tmp_path):
    m = po.Model("q")
    x, y = m.variable("x"), m.variable("y")
    m.maximize(-(x * x) + (-1) * (x * y) + (-0.5) * (y * x) + (-4) * (y * y) + x + 7)
    assert " obj: x + 7 + [ -2 x ^ 2 - 3 x * y - 8 y ^ 2 ] / 2" in m.to_lp()
    for text, suffix in [(m.to_lp(), ".lp"), (m.to_mps(), ".mps")]:
        model = highs_reads(text, suffix, tmp_path).getModel()
        assert model.lp_.sense_ == highspy.ObjSense.kMaximize
        assert model.lp_.offset_ == 7
        hess = model.hessian_
        dense = [[0.0, 0.0], [0.0, 0.0]]
        for j in range(2):
            for k in range(hess.start_[j], hess.start_[j + 1]):
                dense[hess.index_[k]][j] = hess.value_[k]
        assert dense[0][0] == -2 and dense[1][1] == -8 and dense[1][0] + dense[0][1] == -1.5
        back = po.read_model(tmp_path / ("highs" + suffix))
        assert back.solve().objective == pytest.approx(m.solve().objective, rel=1e-7)


# --- nonlinear content and cones in the script ---------------------------------------

def nonlinear_model():
    m = po.Model("nl")
    x, y = m.variable("x", 0.5, 3), m.variable("y", 0.5, 3)
    t, u, v = m.variable("t", 0, 10), m.variable("u", -5, 5), m.variable("v", -5, 5)
    shared = po.sin(x) * y
    deep = shared
    for _ in range(120):  # deeper than the compiler's nesting limit when written inline
        deep = deep * po.cos(y / 4)
    m.add(deep + shared + po.sqrt(x) - x / y <= 2, name="deep")
    m.add(x * y >= 1)
    m.add(u + v == 1)
    m.add_soc_cone([t, u, v])
    m.add_psd_cone([x, u, y])
    m.minimize(t + (x + 1) * po.sin(y) + x * x)
    return m


def test_script_rebuilds_nonlinear_constraints_objective_and_cones():
    m = nonlinear_model()
    script = m.to_python()
    assert "m.add_soc_cone([t, u, v])" in script and "m.add_psd_cone([x, u, y])" in script
    rebuilt = rebuild_from_script(script)
    assert rebuilt.to_python() == script
    assert repr(rebuilt) == repr(m)


def test_lp_names_what_it_leaves_out_and_files_refuse_it(tmp_path):
    m = nonlinear_model()
    assert m.to_lp().splitlines()[0] == (
        "\\ Left out, not expressible in LP format: the nonlinear objective terms, "
        "2 nonlinear constraints, 1 second-order cone, 1 PSD cone")
    message = ("the model holds the nonlinear objective terms, 2 nonlinear constraints, "
               "1 second-order cone, 1 PSD cone, which LP and MPS files cannot hold")
    with pytest.raises(ValueError, match="^to_mps: " + re.escape(message)):
        m.to_mps()
    for suffix in [".lp", ".mps", ".lp.gz"]:
        with pytest.raises(ValueError, match="^Model.write: " + re.escape(message)):
            m.write(tmp_path / ("nl" + suffix))
        assert not (tmp_path / ("nl" + suffix)).exists()
    m.write(tmp_path / "nl.py")
    assert rebuild_from_script((tmp_path / "nl.py").read_text()).to_python() == m.to_python()


def test_long_sums_and_wide_models_compile():
    m = po.Model("wide")
    xs = m.variables("x", 6000, 0, 1)
    m.add(po.sum([(i % 7 + 1) * v for i, v in enumerate(xs)]) <= 100)
    quad = xs[0] * xs[0]
    for a, b in zip(xs[1:3001], xs[2:3002]):
        quad = quad + 0.5 * (a * b)
    m.minimize(quad + po.sum(xs[:200]) - 3)
    nl = po.sin(xs[0])
    for v in xs[1:2500]:
        nl = nl + po.cos(v)
    m.add(nl <= 4)
    script = m.to_python()
    assert rebuild_from_script(script).to_python() == script


# --- refused exports ---------------------------------------------------------------

@pytest.mark.parametrize("build, message", [
    (lambda m, x, y: m.add(x + y <= math.inf, name="pinf"),
     "right-hand side of constraint 'pinf' is inf"),
    (lambda m, x, y: m.add(math.nan * x >= 1),
     "coefficient of 'x' in constraint 'c0' is nan"),
    (lambda m, x, y: m.minimize(math.inf * x - y), "objective coefficient of 'x' is inf"),
    (lambda m, x, y: m.minimize(x + math.nan), "objective constant is nan"),
    (lambda m, x, y: m.minimize(1e308 * (x * y) * 10),
     "quadratic objective coefficient of 'x' \\* 'y' is inf"),
    (lambda m, x, y: m.variable("z", math.inf), "lower bound of 'z' is inf"),
    (lambda m, x, y: m.variable("w", 0, -math.inf), "upper bound of 'w' is -inf"),
])
def test_non_finite_numbers_are_refused_naming_the_place(model, build, message):
    x, y = model.variable("x"), model.variable("y")
    build(model, x, y)
    with pytest.raises(ValueError, match="^to_lp: " + message + "$"):
        model.to_lp()
    with pytest.raises(ValueError, match="^to_mps: " + message + "$"):
        model.to_mps()
    model.to_python()  # a script can hold every float


def test_write_chooses_the_format_by_suffix(tmp_path):
    m = hostile_qp()
    for suffix, text in [(".lp", m.to_lp()), (".mps", m.to_mps()), (".py", m.to_python())]:
        m.write(tmp_path / ("m" + suffix))
        assert (tmp_path / ("m" + suffix)).read_text(encoding="utf-8") == text
        m.write(str(tmp_path / ("M" + suffix.upper() + ".gz")))
        assert gzip.decompress((tmp_path / ("M" + suffix.upper() + ".gz")).read_bytes()).decode() == text
    base = m.solve().objective
    for name in ["m.lp", "M.LP.gz", "m.mps", "M.MPS.gz"]:
        assert po.read_model(tmp_path / name).solve().objective == pytest.approx(base, rel=1e-7)
    for bad in ["m.txt", "m.gz", "m", "m.lp.zip"]:
        with pytest.raises(ValueError, match="Model.write: unknown file suffix in .*" + re.escape(bad)):
            m.write(tmp_path / bad)
    with pytest.raises(FileNotFoundError):
        m.write(tmp_path / "missing" / "m.lp")
    with pytest.raises(TypeError):
        m.write(3)


# --- reading ---------------------------------------------------------------------

RANGED_MPS = """\
NAME          RANGED
OBJSENSE
    MAX
ROWS
 N  profit
 L  cap
 G  low
 E  bal
COLUMNS
    MARKER                 'MARKER'                 'INTORG'
    n         profit       3.0        cap          1.0
    n         low          1.0
    MARKER                 'MARKER'                 'INTEND'
    b         profit       2.0        cap          1.0
    b         bal          1.0
    y         profit       1.0        bal          1.0
RHS
    RHS       profit       -10.0      cap          8.0
    RHS       low          1.0        bal          2.0
RANGES
    RNG       cap          5.0        bal          -1.0
BOUNDS
 UP BND       n            6
 UI BND       b            1
 MI BND       y
 UP BND       y            4
ENDATA
"""


def test_read_model_keeps_names_kinds_sense_constant_and_ranges(tmp_path):
    path = tmp_path / "ranged.mps"
    path.write_text(RANGED_MPS)
    m = po.read_model(path)
    assert repr(m).endswith("vars=3, constraints=5, type=MILP)")
    lp = m.to_lp()
    assert "\\ constraint cap_1: 'cap'\n\\ constraint bal_1: 'bal'\n" in lp
    assert "\nMaximize\n obj: 3 n + 2 b + y + 10\nSubject To\n" in lp
    # cap: 3 <= n + b <= 8 (L row, range 5); bal: 1 <= b + y <= 2 (E row, negative range).
    assert " cap: n + b >= 3\n cap_1: n + b <= 8\n low: n >= 1\n bal: b + y >= 1\n bal_1: b + y <= 2\n" in lp
    assert "General\n n\nBinary\n b\n" in lp
    assert " -inf <= y <= 4\n" in lp
    r = m.solve()
    assert r.status == "optimal" and r.objective == pytest.approx(3 * 6 + 2 * 1 + 1 + 10)
    assert r.values() == pytest.approx({"n": 6, "b": 1, "y": 1})


def test_read_model_failures_name_the_file(tmp_path, monkeypatch):
    missing = tmp_path / "nowhere.mps"
    with pytest.raises(FileNotFoundError, match="nowhere.mps"):
        po.read_model(missing)
    with pytest.raises(IsADirectoryError):
        po.read_model(tmp_path)
    garbage = tmp_path / "garbage.mps"
    garbage.write_text("this is not\na model file at all\n")
    with pytest.raises(ValueError, match="read_model: cannot read .*garbage.mps"):
        po.read_model(garbage)
    with pytest.raises(TypeError):
        po.read_model(None)
    good = tmp_path / "good.lp"
    good.write_text("Minimize\n obj: x\nSubject To\n c: x >= 1\nEnd\n")
    monkeypatch.setitem(sys.modules, "highspy", None)
    with pytest.raises(ImportError, match="read_model: reading .*good.lp.* needs the highspy package"):
        po.read_model(good)
