"""Every Python block of the README runs as written: each as a script of its
own, in an empty directory, with a time limit (a block that needs a guard for
its worker processes must have it)."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)
TIME_LIMIT = 120  # seconds per block; together they take well under a minute


def first_line(block):
    return next(line for line in block.splitlines() if line.strip() and not line.startswith("#"))


def test_the_readme_has_its_blocks():
    assert len(BLOCKS) >= 8


@pytest.mark.parametrize("block", BLOCKS, ids=[f"{i}:{first_line(b)[:40]}" for i, b in enumerate(BLOCKS)])
def test_readme_block_runs(block, tmp_path):
    # the optional packages of the test extra (a run without them skips their blocks)
    for package in ("dask", "matplotlib"):
        if re.search(rf"^\s*(from|import) {package}\b", block, flags=re.M):
            pytest.importorskip(package)
    script = tmp_path / "snippet.py"
    script.write_text(block)
    env = dict(os.environ, MPLBACKEND="Agg")
    # the module this test run imports, wherever it comes from (a build tree or site-packages)
    import pelora_opt

    here = str(pathlib.Path(pelora_opt.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    out = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True,
                         text=True, timeout=TIME_LIMIT)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "Traceback" not in out.stderr
