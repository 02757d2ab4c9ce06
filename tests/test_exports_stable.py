"""Exports that stay byte for byte what they were, on the public instances
and on numbers of every magnitude; read_model's array hand-over."""
import decimal
import hashlib
import math
import random
import struct

import pytest

import pelora_opt as po

pytest.importorskip("highspy")
from test_model_files import DATA  # noqa: E402  (the public instances, when present)

# The first 16 hex digits of the SHA-256 of to_lp(), to_mps() and
# to_python() of each instance as read by read_model, taken before the
# exports moved to one buffer with no string per name or term.
DIGESTS = {
    "netlib/adlittle.mps.gz": ("6f4f7a2b0204fd60", "32b0bca25fa6017a", "c98cb023d52d5ec3"),
    "netlib/afiro.mps.gz": ("b0df48361f5e42c4", "e47aea3b5e9399b9", "bc25877dd111f3fc"),
    "netlib/blend.mps.gz": ("b457997b48111270", "753320fc39f23c97", "76c40ea17f73566a"),
    "miplib/egout.mps.gz": ("8b8e189b13706700", "5735a11e50016669", "f10147f633220a38"),
    "miplib/flugpl.mps.gz": ("fa5ea2fa07b9d64a", "03475ce6a39d18e9", "63cbac32d867ca31"),
    "infeasible/galenet.mps.gz": ("f1263294a79d28c5", "bec924ace3c829cf", "38239168739e9220"),
    "infeasible/itest2.mps.gz": ("34cf20935e2813e4", "29c8529575afbcc8", "c546f194872bbc47"),
    "infeasible/itest6.mps.gz": ("88f3914a78e83bbe", "935d7036dd272766", "39e69a2ab38ad74e"),
    "netlib/kb2.mps.gz": ("20ca6608b8b86eb5", "ca5fb85b31a0f469", "f556d136bb2463ab"),
    "miplib/lseu.mps.gz": ("b2bcc475ff89d6e7", "bff661b0efa83e60", "59763d4e93397a7f"),
    "miplib/p0033.mps.gz": ("737db9346547f521", "a9a164d08a2d6baa", "e84d71febdda3ecc"),
    "netlib/recipe.mps.gz": ("dcf100e96db7205d", "c120a8793170dbdd", "8952d6e698e27fc6"),
    "infeasible/refinery.mps.gz": ("75bd0ef7bf36f3b9", "d64093c9f8cfdddd", "232f04a468d21cc7"),
    "netlib/sc105.mps.gz": ("ff848794cb9505dc", "ae30bea2c1ac912c", "e7d87d3049cb9931"),
    "netlib/sc50a.mps.gz": ("74f836ca8c67a6fc", "da4c7a8e73e429d5", "5a4969586060e9a6"),
    "netlib/sc50b.mps.gz": ("88514898feac841f", "1ec94eae7f7d3760", "b223fb54e8a081f9"),
    "netlib/share2b.mps.gz": ("11d6173defc42f52", "113cb647370be390", "5b76decf0805dff1"),
    "netlib/stocfor1.mps.gz": ("53e64eb4ad18f315", "e4bc456347062001", "f14c22a987cd7810"),
    "infeasible/woodinfe.mps.gz": ("7de53dc0872828a7", "e3ab33a61202faeb", "a7a69f0aa6c9fa35"),
}


def digest(text):
    return hashlib.sha256(text.encode()).hexdigest()[:16]


@pytest.mark.skipif(DATA is None, reason="public test instances not available")
def test_every_public_instance_exports_as_before():
    files = sorted(str(p.relative_to(DATA)) for p in DATA.rglob("*.mps.gz"))
    assert set(DIGESTS) <= set(files)
    changed = []
    for name in sorted(DIGESTS):
        m = po.read_model(DATA / name)
        got = (digest(m.to_lp()), digest(m.to_mps()), digest(m.to_python()))
        changed += [(name, kind) for kind, a, b in zip(("lp", "mps", "py"), got, DIGESTS[name])
                    if a != b]
    assert changed == []


def plain(v):
    """The shortest round-trip digits (Python's repr), laid out without an exponent."""
    s = format(decimal.Decimal(repr(v)), "f")
    return s.rstrip("0").rstrip(".") if "." in s else s


def every_magnitude(n, seed):
    rng = random.Random(seed)
    values = [0.5, -0.5, 1e23, 2.0 ** 53, 2.0 ** 53 + 2, 2.0 ** 52 + 0.5, 1e15 + 0.3, 123456789.0,
              5e-324, -1.7976931348623157e308, 0.1 + 0.2, 1e-7, 100.0, 1e-300]
    while len(values) < n:
        bits = rng.getrandbits(64)
        v = struct.unpack("<d", struct.pack("<Q", bits))[0]
        if math.isfinite(v):
            values.append(v)
        values.append(round(rng.uniform(-1e6, 1e6), rng.randrange(0, 12)))
    return values


def test_numbers_are_the_shortest_digits_without_exponent():
    values = every_magnitude(3000, 25)
    m = po.Model("n")
    x = m.variable("x", lower=-1, upper=1)
    for v in values:
        m.add(x <= v)
    lines = [ln for ln in m.to_lp().splitlines() if ln.startswith(" c") and " <= " in ln]
    assert [ln.split(" <= ", 1)[1] for ln in lines] == [plain(v) for v in values]
    py = [ln for ln in m.to_python().splitlines() if ln.startswith("m.add(")]
    assert [ln.split(" <= ", 1)[1].split(",")[0] for ln in py] == [plain(v) for v in values]


def test_coefficients_of_every_magnitude_in_all_three_exports():
    # (terms below 1e-15 in magnitude cancel away as a sum is built)
    values = [v for v in every_magnitude(400, 7) if 1e-15 <= abs(v) < 1e300]
    m = po.Model("c")
    xs = m.variables("x", len(values), lower=0, upper=1)
    m.add(po.sum([v * x for v, x in zip(values, xs)]) <= 1)
    lp = m.to_lp()
    row = next(ln for ln in lp.splitlines() if ln.startswith(" c0: "))
    for v, x in zip(values, xs):
        c = "" if abs(v - 1) < 1e-15 else plain(abs(v)) + " "
        assert f" {c}{x.name} " in row + " ", v
    col = {ln.split()[0]: ln.split()[2] for ln in m.to_mps().splitlines()
           if ln.startswith("    x_") and ln.split()[1] == "c0"}
    assert [col[x.name] for x in xs] == [plain(v) for v in values]
    script = m.to_python()
    for v in values:
        if abs(abs(v) - 1) >= 1e-15:
            assert f"{plain(v)} * x_" in script, v


def test_names_that_clash_many_times_stay_unique_and_listed():
    m = po.Model("clash")
    names = ["x_1", "x_1", "x 1", "x_1_1", "free", "Free", "1x"] * 40
    vs = [m.variable(n, lower=0, upper=1) for n in names]
    vs += list(m.variables("x", 50, lower=0, upper=1))  # x_1 again, from a batch
    m.add(po.sum(vs) <= 3, name="obj")
    m.add(po.sum(vs[:5]) >= 1)
    m.add(vs[0] + vs[1] <= 1, name="c1")
    lp = m.to_lp()
    bounds = lp.split("Bounds\n")[1].split("End")[0].splitlines()
    written = [ln.split(" <= ")[1] for ln in bounds]
    assert len(written) == len(vs) == len(set(written))
    assert written[0] == "x_1" and all(w != "x_1" for w in written[1:])
    listed = [ln for ln in lp.splitlines() if ln.startswith("\\ variable ")]
    # Kept: the first x_1, x_1_1 and the batch's names but its x_1.
    assert len(listed) == len(vs) - 2 - 49
    rows = [ln.split(":")[0].strip() for ln in lp.split("Subject To\n")[1].split("Bounds")[0]
            .splitlines()]
    assert len(set(rows)) == 3 and "obj" not in rows
    ids = [ln.split(" = ")[0] for ln in m.to_python().splitlines() if " = m.variable(" in ln]
    assert len(set(ids)) == len(vs) and ids[0] == "x_1"


def test_read_model_takes_integer_heavy_files_whole(tmp_path):
    m = po.Model("ints")
    ks = m.integers("k", 300, lower=-2, upper=9)
    bs = m.binaries("b", 200)
    ys = m.variables("y", 100, lower=-1.5, upper=float("inf"))
    rng = random.Random(3)
    for r in range(80):
        pick = rng.sample(list(ks) + list(bs) + list(ys), 12)
        m.add(po.sum([(1 + (i % 5)) * v for i, v in enumerate(pick)]) <= 40 + r)
    m.maximize(po.sum(ks) + 2 * po.sum(bs) - po.sum(ys))
    for suffix in (".mps", ".lp"):
        path = tmp_path / f"m{suffix}"
        m.write(path)
        back = po.read_model(path)
        assert back.summary().split(":", 1)[1] == m.summary().split(":", 1)[1]
        assert back.to_mps().split("ROWS", 1)[1] == m.to_mps().split("ROWS", 1)[1]
