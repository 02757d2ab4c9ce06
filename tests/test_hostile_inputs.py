"""Inputs that try to break the library: arrays rewritten while a call reads
them, numbers that are not real, model files with entries for rows that do
not exist, paths of every kind, a full disk, start points of the wrong size,
and a non-convex objective that no search could bound by itself.

The array rewrites run in child processes: a crash there fails the test
instead of ending the suite (under the sanitizer build, so do they)."""
import errno
import gzip
import os
import pathlib
import re

import pytest

import pelora_opt as po
from child_support import run_child

np = pytest.importorskip("numpy")
sp = pytest.importorskip("scipy.sparse")



# --- arrays rewritten during the call -------------------------------------------

REWRITE = """
import collections, math, threading
import numpy as np, scipy.sparse as sp
import pelora_opt as po
m = po.Model()
x = m.variables("x", 3)
def fresh():
    return sp.csr_matrix(np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]))
def terms(e):
    return sorted((k, v) for k, v in e.terms.items()) if hasattr(e, "terms") else repr(e)
"""


def test_indices_and_values_rewritten_by_callbacks_are_never_read_again():
    # names, sense, variables and rhs all run Python code that rewrites A or Q
    # in place (an index far out of range, a NaN value): the call uses what
    # it read before, so the rows hold the original coefficients.
    out = run_child(REWRITE + """
A = fresh()
def spoil():
    A.indices[0] = 10**9
    A.data[1] = math.nan
    A.indptr[-1] = 10**6
class Spoiling(collections.UserList):
    def __getitem__(self, i):
        spoil()
        return super().__getitem__(i)
class SpoilingFloat:
    def __float__(self):
        spoil()
        return 1.0
m.add_matrix(A, Spoiling(x), Spoiling(["<=", "<="]), [SpoilingFloat(), 2.0], Spoiling(["a", "b"]))
print(m.to_lp().split("Subject To")[1].split("Bounds")[0].strip())
Q = sp.csr_matrix(np.eye(3))
class SpoilQ(collections.UserList):
    def __getitem__(self, i):
        Q.indices[0] = 10**9
        Q.data[1] = math.nan
        return super().__getitem__(i)
print(repr(po.quad_form(Q, SpoilQ(x))))
c = np.array([1.0, 2.0, 3.0])
class SpoilC(collections.UserList):
    def __getitem__(self, i):
        c[0] = math.nan
        return super().__getitem__(i)
print(repr(po.dot(c, SpoilC(x))))
""")
    lines = [line.strip() for line in out.splitlines()]
    assert lines[:2] == ["a: x_0 + 2 x_1 + 3 x_2 <= 1", "b: 4 x_0 + 5 x_1 + 6 x_2 <= 2"]
    abc = po.Model()
    assert lines[2] == repr(po.quad_form(sp.eye(3), [abc.variable(n) for n in "abc"]))
    assert lines[3] == "x0 + 2*x1 + 3*x2"


def test_indices_flipped_by_another_thread_never_leave_the_variables_given():
    # A second thread flips A.indices between a valid and an out-of-range
    # value while add_matrix reads a UserList of variables (each item read
    # lets the thread run). Each call either succeeds over the given
    # variables or refuses the out-of-range index; it never crashes.
    out = run_child(REWRITE + """
import sys
sys.setswitchinterval(1e-6)
A = fresh()
stop = threading.Event()
def flip():
    while not stop.is_set():
        A.indices[0] = 10**9
        A.indices[0] = 0
t = threading.Thread(target=flip)
t.start()
outcomes = collections.Counter()
try:
    for _ in range(300):
        try:
            m.add_matrix(A, collections.UserList(x), "<=", 1.0)
            outcomes["added"] += 1
        except ValueError as e:
            assert "index out of range" in str(e), e
            outcomes["refused"] += 1
finally:
    stop.set()
    t.join()
assert m.num_constraints == 2 * outcomes["added"]
assert "?" not in m.to_lp()
print(sum(outcomes.values()))
""")
    assert out.split() == ["300"]


# --- numbers that are not real --------------------------------------------------

NOT_REAL = [
    (np.array([1 + 2j, 1.0, 1.0]), "complex128"),
    (np.array(["2020-01-01"] * 3, dtype="M8[D]"), "datetime64[D]"),
    (np.array([1, 2, 3], dtype="m8[s]"), "timedelta64[s]"),
    (np.array([True, False, True]), "bool"),
    (np.array([1.0, 2.0, 3.0], dtype=object), "object"),
    ([np.complex128(1j), 1.0, 2.0], "complex"),
]


@pytest.mark.parametrize("values, kind", NOT_REAL, ids=[k for _, k in NOT_REAL])
def test_arrays_of_non_real_numbers_are_refused_naming_the_argument(values, kind):
    m = po.Model()
    x = m.variables("x", 3)
    tail = re.escape(f"must hold real numbers, not {kind} values")
    with pytest.raises(TypeError, match="dot: coefficients " + tail):
        po.dot(values, x)
    with pytest.raises(TypeError, match="add_matrix: rhs " + tail):
        m.add_matrix(np.eye(3), x, "<=", values)
    if isinstance(values, np.ndarray):
        with pytest.raises(TypeError, match="add_matrix: A " + tail):
            m.add_matrix(np.array([values]), x, "<=", 1.0)
        with pytest.raises(TypeError, match="quad_form: Q " + tail):
            po.quad_form(np.array([values] * 3), x)
    assert m.num_constraints == 0
    with pytest.raises(TypeError, match="add_matrix: rhs must hold real numbers, not complex"):
        m.add_matrix(np.eye(3), x, "<=", np.complex128(1 + 1j))


def test_complex_scalars_are_refused_where_a_float_is_meant():
    m = po.Model()
    for value in (1j, np.complex128(2.0)):
        with pytest.raises(TypeError, match="argument 'lower': must be real number, not "):
            m.variable("x", lower=value)
        with pytest.raises(TypeError, match="argument 'upper': .*real number"):
            m.variables("y", 2, upper=value)
    assert m.num_vars == 0


def test_sparse_matrices_of_non_real_numbers_are_refused():
    m = po.Model()
    x = m.variables("x", 2)
    for fmt in (sp.csr_matrix, sp.csc_matrix, sp.coo_matrix):
        with pytest.raises(TypeError, match="add_matrix: A must hold real numbers, not complex128"):
            m.add_matrix(fmt(np.array([[1 + 1j, 2.0]])), x, "<=", 1.0)
    with pytest.raises(TypeError, match="add_matrix: A indices must hold integers"):
        a = sp.csr_matrix(np.array([[1.0, 2.0]]))
        a.indices = a.indices.astype(float)
        m.add_matrix(a, x, "<=", 1.0)
    assert m.num_constraints == 0


# --- model files ----------------------------------------------------------------

MPS = """NAME          T
ROWS
 N  obj
 L  c1
COLUMNS
    x         obj       1.0        c1        1.0
    y         obj       1.0        c1        1.0
RHS
    rhs       c1        4.0
BOUNDS
 UP bnd       x         2.0
ENDATA
"""


@pytest.mark.parametrize("old, new, line, message", [
    ("    y         obj", "    x         c9        2.0\n    y         obj", 7,
     "column 'x' has an entry in row 'c9', which ROWS does not declare"),
    ("    y         obj       1.0        c1        1.0",
     "    y         obj       1.0        c1        1.0\n    y         c1        3.0", 8,
     "column 'y' has a second entry in row 'c1'"),
    ("    rhs       c1        4.0", "    rhs       c1        4.0        c7        1.0", 9,
     "RHS names row 'c7', which ROWS does not declare"),
    ("    rhs       c1        4.0", "    rhs       c1        4.0\n    rhs       c1        5.0", 10,
     "RHS gives row 'c1' a second value"),
    (" UP bnd       x         2.0", " UP bnd       x         2.0\n UP bnd       z         2.0", 12,
     "BOUNDS names column 'z', which COLUMNS does not declare"),
])
def test_mps_entries_that_would_vanish_are_refused_with_their_line(tmp_path, old, new, line,
                                                                    message):
    good = tmp_path / "good.mps"
    good.write_text(MPS)
    assert po.read_model(str(good)).num_vars == 2
    bad = tmp_path / "bad.mps.gz"
    bad.write_bytes(gzip.compress(MPS.replace(old, new).encode()))
    with pytest.raises(ValueError) as info:
        po.read_model(str(bad))
    assert str(info.value) == f"read_model: cannot read '{bad}': line {line}: {message}"


def small_model():
    m = po.Model("t")
    x, y = m.variable("x", 0, 4), m.variable("y", 0, 4)
    m.add(x + y <= 6)
    m.maximize(x + 2 * y)
    return m


@pytest.mark.parametrize("suffix", [".MPS.GZ", ".Mps", ".LP", ".lp.GZ", ".mps.gz"])
def test_suffixes_are_read_in_any_letter_case(tmp_path, suffix):
    path = tmp_path / ("m" + suffix)
    small_model().write(str(path))
    assert path.read_bytes()[:2] == b"\x1f\x8b" if suffix.lower().endswith(".gz") else True
    assert po.read_model(str(path)).solve().objective == pytest.approx(10.0)


def test_paths_are_str_bytes_or_path_like_and_need_not_be_utf8(tmp_path):
    raw = os.fsencode(tmp_path) + b"/\xff\xfe model.mps"
    small_model().write(raw)
    for path in (raw, os.fsdecode(raw), pathlib.Path(os.fsdecode(raw))):
        assert po.read_model(path).solve().objective == pytest.approx(10.0)
    assert not [p for p in os.listdir("/tmp") if p.startswith("pelora-read")]
    with pytest.raises(FileNotFoundError):
        po.read_model(os.fsencode(tmp_path) + b"/missing\xff.mps")
    with pytest.raises(TypeError):
        po.read_model(3)


def big_model():
    m = po.Model()
    m.minimize(po.sum(m.variables("x", 3000, 0, 1)))
    return m


def test_a_full_disk_raises_its_os_error(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full on this system")
    link = tmp_path / "full.lp"
    link.symlink_to("/dev/full")
    with pytest.raises(OSError) as info:
        big_model().write(str(link))
    assert info.value.errno == errno.ENOSPC
    assert os.path.exists("/dev/full")  # a device is never removed


def test_a_write_cut_short_leaves_no_half_written_file(tmp_path):
    # A file size limit in a child process stops the write part way.
    out = run_child(f"""
import os, resource, signal
import pelora_opt as po
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
m = po.Model()
m.minimize(po.sum(m.variables("x", 3000, 0, 1)))
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
for name in ("m.lp", "m.mps", "m.py"):
    path = os.path.join({str(tmp_path)!r}, name)
    try:
        m.write(path)
        print("written")
    except OSError as e:
        print(e.errno, os.path.exists(path))
""")
    assert out.split() == [str(errno.EFBIG), "False"] * 3


# --- start points and solves that cannot end by themselves ----------------------

@pytest.mark.parametrize("solver", ["highs", "scip", "ipopt", "osqp", "clarabel", "slsqp"])
def test_a_warm_start_of_the_wrong_length_is_a_value_error_on_every_route(solver):
    m = small_model()
    with pytest.raises(ValueError, match="^warm_start: 3 values for 2 variables"):
        m.solve(solver=solver, warm_start=[1.0, 2.0, 3.0])
    first = po.Model()
    first.maximize(first.variable("z", 0, 1))
    with pytest.raises(ValueError, match="^warm_start: 1 values for 2 variables"):
        m.solve(solver=solver, warm_start=first.solve())


def test_a_non_convex_objective_rising_without_end_is_unbounded_not_endless():
    pytest.importorskip("pyscipopt")
    m = po.Model()
    k = m.integer("k", lower=-1)
    m.maximize(k * k)
    r = m.solve()
    assert (r.solver, r.status) == ("SCIP", "unbounded")
    # Along a pair of variables, and when the rows let it run free.
    m = po.Model()
    x, y = m.integer("x", lower=0), m.integer("y", lower=0)
    m.add(x - y == 0)
    m.add(x + y >= 3)
    m.maximize(x * y)
    assert m.solve(solver="scip").status == "unbounded"
    # A mixed-integer model tries its relaxation with HiGHS first, whose QP
    # method would call a stationary point of x*y optimal (objective 1).
    m2 = po.Model()
    a, b, c = m2.integer("a", lower=0), m2.integer("b", lower=0), m2.binary("c")
    m2.add(a - b == 0)
    m2.maximize(a * b + c)
    r = m2.solve()
    assert (r.solver, r.status) == ("SCIP", "unbounded")
    # The same direction with no feasible point: infeasible.
    m.add(x <= -1)
    assert m.solve(solver="scip").status == "infeasible"
    # A bound or a row that stops the direction: an optimum.
    m = po.Model()
    k = m.integer("k", lower=-1, upper=5)
    m.maximize(k * k)
    assert m.solve().objective == pytest.approx(25.0)
    m = po.Model()
    k, j = m.integer("k", lower=-1), m.integer("j", lower=0)
    m.add(k + j <= 6)
    m.maximize(k * k - j)
    r = m.solve(solver="scip")
    assert r.status == "optimal" and r.objective == pytest.approx(36.0)


def test_scip_searches_with_the_interpreter_lock_released(monkeypatch):
    pyscipopt = pytest.importorskip("pyscipopt")
    if not hasattr(pyscipopt.Model, "optimizeNogil"):
        pytest.skip("this pyscipopt has no optimizeNogil")
    calls = []

    class Recording(pyscipopt.Model):
        def optimize(self):
            calls.append("optimize")
            super().optimize()

        def optimizeNogil(self):
            calls.append("optimizeNogil")
            super().optimizeNogil()

    monkeypatch.setattr(pyscipopt, "Model", Recording)
    m = po.Model()
    x = m.integer("x", 0, 3)
    m.maximize(x * x)
    assert m.solve(solver="scip").objective == pytest.approx(9.0)
    assert calls == ["optimizeNogil"]


# Fixed-format MPS keeps names in columns 5-12, 15-22 and 40-47, so a name may
# hold blanks; the entry check must read such a file by its columns.
FIXED_MPS = """NAME          SPACES
ROWS
 N  COST
 L  LIM A
 G  LIM B
COLUMNS
    X ONE     COST               1.0   LIM A              1.0
    X ONE     LIM B              1.0
    Y TWO     COST               2.0   LIM A              1.0
RHS
    RHS       LIM A              4.0   LIM B              1.0
BOUNDS
 UP BND       Y TWO              3.0
ENDATA
"""


def test_fixed_format_names_with_blanks_are_read_and_checked_whole(tmp_path):
    path = tmp_path / "fixed.mps"
    path.write_text(FIXED_MPS)
    m = po.read_model(str(path))
    assert [v.name for v in m.vars] == ["X ONE", "Y TWO"]
    assert m.var("Y TWO").upper == 3.0
    r = m.solve()
    assert r.objective == pytest.approx(1.0)
    assert r.value(m.var("X ONE")) == pytest.approx(1.0)
    # A real fault in such a file is still refused, and named by its whole name.
    path.write_text(FIXED_MPS.replace("    Y TWO     COST ", "    Y TWO     LIM C"))
    with pytest.raises(ValueError, match="line 9: column 'Y TWO' has an entry in row 'LIM C', "
                                         "which ROWS does not declare"):
        po.read_model(str(path))
