import pathlib

import pytest


def pytest_addoption(parser):
    parser.addoption("--html-dir", required=True, help="the directory of the built HTML pages")


@pytest.fixture(scope="session")
def html_dir(pytestconfig):
    found = pathlib.Path(pytestconfig.getoption("--html-dir")).resolve()
    assert (found / "index.html").is_file(), f"no built pages in {found}: run make docs"
    return found
