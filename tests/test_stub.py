"""The type stub: it names every public entry, and mypy finds it for a
program that uses the modelling API."""
import ast
import os
import pathlib
import subprocess
import sys

import pytest

import pelora_opt as po

STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "pelora_opt.pyi"

EXAMPLE = '''
import numpy as np
import pelora_opt as po

m = po.Model("t")
xs = m.variables("x", 3, lower=np.zeros(3), upper=[1.0, 2.0, 3.0])
x, y = xs[0], xs[1]
q: po.QuadExpr = (x + 1) * y - x ** 2 + 3
e: po.Expr = po.dot(np.array([1.0, 2.0, 3.0]), xs) + np.float64(2.0) * x
s = po.sum(v for v in xs)
n: po.NlExpr = po.exp(x) + po.log(y + 1) + (x * y) * x
keyed: dict[po.Var, float] = {x: 1.0}
label: str = x.name
position: int = x.index
rows: list[int] = m.add_matrix(np.eye(3), xs, "<=", np.ones(3))
m.minimize(po.quad_form(np.eye(3), xs) + e)
r = m.solve()
arr = r.primal_array()
if arr is not None:
    total: float = float(arr.sum())
'''


def test_stub_names_every_public_entry():
    tree = ast.parse(STUB.read_text())
    defined = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert set(po.__all__) <= defined
    stub_all = next(n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(stub_all.value) == list(po.__all__)


def test_mypy_finds_the_stub(tmp_path):
    pytest.importorskip("mypy")
    program = tmp_path / "example.py"
    program.write_text(EXAMPLE)
    env = dict(os.environ)
    env["MYPY_CACHE_DIR"] = str(tmp_path / "cache")
    # the directory the module was imported from (a build tree or site-packages)
    # holds its stub package beside it
    here = str(pathlib.Path(po.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join([here] + [str(pathlib.Path(p).resolve()) for p in
                                                  env.get("PYTHONPATH", "").split(os.pathsep) if p])
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", str(program)],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import pelora_opt as po\nx = po.Model().variable('x')\nbad: po.Expr = x * x\n")
    out = subprocess.run([sys.executable, "-m", "mypy", str(wrong)], capture_output=True, text=True,
                         env=env, cwd=tmp_path, timeout=300)
    assert "Incompatible types in assignment" in out.stdout
