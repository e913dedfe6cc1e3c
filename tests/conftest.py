import pytest

import marrowfen


@pytest.fixture
def mf():
    return marrowfen
