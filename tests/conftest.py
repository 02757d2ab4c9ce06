import pytest

import pelora_opt as po


@pytest.fixture
def model():
    return po.Model("m")


@pytest.fixture
def xyz():
    """Three fresh variables x0, x1, x2 of one model."""
    from algebra_support import make_vars

    return make_vars("x", "y", "z")
