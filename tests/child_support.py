"""Running a test's code in a child Python process, so that a crash there
fails the test instead of ending the suite. The child sees the same module
path (and, under the sanitizer target, the same preloaded runtime)."""
import os
import subprocess
import sys
import textwrap

CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def run_child(code, timeout=300):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=CHILD_ENV)
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout
