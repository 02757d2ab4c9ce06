import pytest

import pelora_opt as po


@pytest.fixture
def model():
    return po.Model("m")
