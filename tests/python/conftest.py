import signal

import pytest

from ovaline import PyUserPool
from session_support import open_session

# A runner started in the background by a shell without job control inherits an ignored
# SIGINT, which Python then leaves ignored; the tests of Ctrl-C need it to raise.
signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def pool():
    return PyUserPool()


@pytest.fixture
def running(pool):
    session, pid = open_session(pool)
    yield session, pid
    session.close()
