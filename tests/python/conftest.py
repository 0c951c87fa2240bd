import pytest

from ovaline import PyUserPool
from session_support import open_session


@pytest.fixture
def pool():
    return PyUserPool()


@pytest.fixture
def running(pool):
    session, pid = open_session(pool)
    yield session, pid
    session.close()
