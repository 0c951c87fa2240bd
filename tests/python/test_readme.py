import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def needs_root(code):
    return "PyUserPool" in code or "PyTerminalSession" in code or ".mount(" in code


def skip_unless_sessions():
    if os.geteuid() != 0 or shutil.which("useradd") is None:
        pytest.skip("needs root and useradd")


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs_as_pasted(code, tmp_path):
    # Each block on its own, in a fresh interpreter and an empty working directory.
    if needs_root(code):
        skip_unless_sessions()
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
