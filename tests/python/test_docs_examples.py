"""Every Python example of the documentation's pages runs as pasted, as the README's do."""

import pathlib
import re
import subprocess
import sys

import pytest
from test_readme import needs_root, skip_unless_sessions

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
BLOCK = re.compile(r"^\.\. code-block:: python\n\n((?:(?:   .*)?\n)+)", re.M)


def examples():
    for page in sorted(DOCS.glob("*.rst")):
        for number, match in enumerate(BLOCK.finditer(page.read_text())):
            code = "\n".join(line[3:] for line in match.group(1).splitlines())
            yield pytest.param(code, id=f"{page.stem}-{number}")


@pytest.mark.parametrize("code", list(examples()))
def test_docs_example_runs_as_pasted(code, tmp_path):
    if needs_root(code):
        skip_unless_sessions()
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr


def test_every_page_has_examples_found():
    # A page whose blocks the pattern missed would pass without running anything.
    found = {param.id.rsplit("-", 1)[0] for param in examples()}
    assert {"index", "filesystem", "terminal", "sessions", "deployment"} <= found
