"""Number texts of the LP and MPS exports at the edges of the double range,
and the read_model entry check on every way a file reaches it."""
import gzip
import math
import os
import random
import struct
import sys

import pytest

import pelora_opt as po
from test_exports_stable import plain
from test_hostile_inputs import MPS


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def edge_values():
    """Values where a shortest-digits search goes wrong first: powers of two
    (whose interval below is half as wide) and ten with their neighbours,
    the subnormals, the ends of the range and integers past 2**53."""
    values = [1e300, -1e300, 1e-300, 2.0 ** 63, 2.0 ** 64, 2.0 ** 64 * 3, 2.0 ** 53 - 1,
              2.0 ** 53 + 2, 9007199254740993.0, 1.7976931348623157e308, 2.2250738585072014e-308,
              2.225073858507201e-308, 4.9406564584124654e-324, 1e22, 1e21, 1e16, 1e15 + 0.5]
    for e in range(-1074, 1024, 3):
        p = math.ldexp(1.0, e)
        values += [p, math.nextafter(p, 0.0), math.nextafter(p, math.inf)]
    for e in range(-323, 309, 2):
        p = float(f"1e{e}")
        values += [p, math.nextafter(p, 0.0), math.nextafter(p, math.inf)]
    values += [from_bits(t) for t in range(1, 300)]  # the smallest subnormals
    rng = random.Random(11)
    values += [float(rng.getrandbits(rng.randrange(54, 80))) for _ in range(200)]
    values += [from_bits(rng.getrandbits(52)) for _ in range(200)]  # subnormals
    return [v for v in values if v != 0.0]


def test_edge_numbers_print_their_shortest_digits_in_lp_and_mps():
    values = edge_values()
    m = po.Model("edges")
    xs = m.variables("x", len(values), lower=-math.inf, upper=values)
    for v, x in zip(values, xs):
        m.add(x <= v)
    lp = m.to_lp()
    rows = [ln.split(" <= ", 1)[1] for ln in lp.splitlines() if ln.startswith(" c")]
    assert rows == [plain(v) for v in values]
    bounds = [ln.rsplit(" <= ", 1)[1] for ln in lp.split("Bounds\n")[1].splitlines()[:-1]]
    assert bounds == [plain(v) for v in values]
    mps = m.to_mps()
    ups = [ln.split()[3] for ln in mps.splitlines() if ln.startswith(" UP BND ")]
    assert ups == [plain(v) for v in values]
    rhs = [ln.split()[2] for ln in mps.splitlines() if ln.startswith("    RHS ")]
    assert rhs == [plain(v) for v in values]


def test_zero_signs_and_infinite_bounds_in_lp_and_mps():
    m = po.Model("z")
    m.variable("a", lower=-0.0)                       # a >= -0
    m.variable("b", lower=-math.inf, upper=-0.0)      # only an upper side
    m.variable("c", lower=-math.inf, upper=math.inf)  # free
    m.variable("d", lower=2.0 ** 60, upper=math.inf)
    m.variable("e", lower=-0.0, upper=-0.0)           # fixed at -0
    lp = m.to_lp()
    assert lp.split("Bounds\n")[1] == (" a >= -0\n -inf <= b <= -0\n c free\n"
                                       " d >= 1152921504606847000\n -0 <= e <= -0\nEnd\n")
    mps = m.to_mps()
    assert mps.split("BOUNDS\n")[1] == (" MI BND b\n UP BND b -0\n FR BND c\n"
                                        " LO BND d 1152921504606847000\n FX BND e -0\nENDATA\n")


def test_coefficients_of_every_size_read_back_as_the_same_doubles(tmp_path):
    pytest.importorskip("highspy")
    rng = random.Random(5)
    n = 300
    coefs = []
    while len(coefs) < n:
        v = from_bits(rng.getrandbits(64))
        if math.isfinite(v) and 1e-8 < abs(v) < 1e12:  # what HiGHS keeps as given
            coefs.append(v)
    lower = [rng.uniform(-1e6, 1e6) for _ in range(n)]
    m = po.Model("back")
    xs = m.variables("x", n, lower=lower, upper=math.inf)
    m.add(po.sum([c * x for c, x in zip(coefs, xs)]) <= 12.5)
    m.minimize(po.sum([c * x for c, x in zip(lower, xs)]))
    for suffix in (".lp", ".mps"):
        path = tmp_path / ("m" + suffix)
        m.write(path)
        back = po.read_model(path)
        assert [v.lower for v in back.vars] == lower, suffix
        row = back.to_lp().split("Subject To\n")[1].splitlines()[0]
        assert row == m.to_lp().split("Subject To\n")[1].splitlines()[0], suffix


def faulty(text):
    return text.replace("    y         obj", "    x         c9        2.0\n    y         obj")


FAULT = "line 7: column 'x' has an entry in row 'c9', which ROWS does not declare"


@pytest.mark.parametrize("name", ["bad.mps", "bad.MPS", "b\xe9d.mps", "bad.Mps.gz"])
def test_mps_entry_faults_are_refused_however_the_file_is_named(tmp_path, name):
    path = tmp_path / name
    data = faulty(MPS).encode()
    path.write_bytes(gzip.compress(data) if name.lower().endswith(".gz") else data)
    with pytest.raises(ValueError) as info:
        po.read_model(path)
    assert str(info.value) == f"read_model: cannot read {str(path)!r}: {FAULT}"
    good = tmp_path / ("good" + name[3:])
    good.write_bytes(gzip.compress(MPS.encode()) if name.lower().endswith(".gz") else MPS.encode())
    assert po.read_model(good).num_vars == 2


def test_entry_fault_comes_before_a_missing_highspy(tmp_path, monkeypatch):
    path = tmp_path / "bad.mps"
    path.write_text(faulty(MPS))
    monkeypatch.setitem(sys.modules, "highspy", None)
    with pytest.raises(ValueError, match="line 7: column 'x' has an entry in row 'c9'"):
        po.read_model(path)


def test_empty_and_many_times_read_files(tmp_path):
    empty = tmp_path / "empty.mps"
    empty.write_bytes(b"")
    with pytest.raises(ValueError, match="read_model: cannot read .*empty.mps"):
        po.read_model(empty)
    # Each read checks on a thread of its own and waits for it: many reads
    # in a row, good and faulty, leave no thread behind.
    good, bad = tmp_path / "g.mps", tmp_path / "b.mps"
    good.write_text(MPS)
    bad.write_text(faulty(MPS))
    tasks = f"/proc/{os.getpid()}/task"
    assert po.read_model(good).num_vars == 2  # HiGHS starts what it keeps
    before = len(os.listdir(tasks)) if os.path.isdir(tasks) else None
    for _ in range(50):
        assert po.read_model(good).num_vars == 2
        with pytest.raises(ValueError, match="line 7"):
            po.read_model(bad)
    if before is not None:
        assert len(os.listdir(tasks)) <= before


def test_random_doubles_print_their_shortest_digits():
    # Random bit patterns over the whole range: every exponent and mantissa
    # shape the digit search meets, against Python's own shortest repr.
    rng = random.Random(2026)
    values = []
    while len(values) < 20000:
        v = from_bits(rng.getrandbits(64))
        if math.isfinite(v) and v != 0.0:
            values.append(v)
    m = po.Model("random")
    xs = m.variables("x", len(values), lower=-math.inf)
    m.add(po.sum([v * x for v, x in zip(values, xs)]) <= 1.0)
    for v, x in zip(values, xs):
        m.add(x <= v)
    lp = m.to_lp()
    rows = [ln.split(" <= ", 1)[1] for ln in lp.splitlines() if ln.startswith(" c")][1:]
    assert rows == [plain(v) for v in values]
