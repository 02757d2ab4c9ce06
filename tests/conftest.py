import signal

import pytest

import pelora_opt as po


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "needs_sigint: the test delivers SIGINT (Ctrl-C) to a process; skipped when "
        "this test run ignores SIGINT")


def pytest_runtest_setup(item):
    # A run started in the background by a shell (`pytest &`) inherits SIGINT
    # ignored, and so do the processes it starts: Ctrl-C cannot reach them.
    if item.get_closest_marker("needs_sigint") and signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        pytest.skip("SIGINT is ignored in this test run (inherited from the process that started "
                    "it, e.g. a shell's `&`), so Ctrl-C cannot be delivered")


@pytest.fixture
def model():
    return po.Model("m")


@pytest.fixture
def xyz():
    """Three fresh variables x0, x1, x2 of one model."""
    from algebra_support import make_vars

    return make_vars("x", "y", "z")
