def pytest_addoption(parser):
    parser.addoption("--wheel-dir", required=True, help="the directory of the built wheels")
    parser.addoption(
        "--python", action="append", default=[], help="an interpreter to install the wheels for"
    )
