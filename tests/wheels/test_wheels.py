"""Every built wheel installs into a fresh venv of each Python it is tagged for and works there."""

import pathlib
import subprocess
import tarfile

SMOKE = """
import importlib.metadata, ovaline
fs = ovaline.PyFs()
fs.mkdir("/d")
fs.write_bytes("/d/f", b"hi")
assert fs.read_bytes("/d/f") == b"hi" and "d" in ovaline.PyTerm(fs).exec("ls")
assert ovaline.__version__ == importlib.metadata.version("ovaline")
assert importlib.metadata.metadata("ovaline")["License-Expression"] == "MIT"
print("ok")
"""


def interpreter_tag(python):
    out = subprocess.run(
        [python, "-c", "import sys; print(f'cp{sys.version_info[0]}{sys.version_info[1]}')"],
        check=True,
        capture_output=True,
        text=True,
    )
    return out.stdout.strip()


def supported(tag):
    return tag in {"cp310", "cp311", "cp312", "cp313"}


def targets(config):
    wheels = sorted(pathlib.Path(config.getoption("--wheel-dir")).glob("*.whl"))
    by_tag = {}
    for python in dict.fromkeys(config.getoption("--python")):
        tag = interpreter_tag(python)
        if supported(tag):
            by_tag.setdefault(tag, python)
    return wheels, by_tag


def test_one_manylinux_wheel_for_each_supported_python(pytestconfig):
    wheels, by_tag = targets(pytestconfig)
    tags = sorted(w.name.split("-")[2] for w in wheels)
    assert tags == sorted(by_tag)
    for wheel in wheels:
        assert wheel.name.split("-")[4].startswith("manylinux_"), wheel.name


def test_each_wheel_installs_and_imports_in_a_fresh_venv(pytestconfig, tmp_path):
    wheels, by_tag = targets(pytestconfig)
    assert wheels
    for wheel in wheels:
        python = by_tag[wheel.name.split("-")[2]]
        env = tmp_path / wheel.name
        subprocess.run([python, "-m", "venv", env], check=True)
        py = env / "bin" / "python"
        subprocess.run(
            [py, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel], check=True
        )
        # Run outside the source tree, so the installed module is the one imported.
        out = subprocess.run(
            [py, "-c", SMOKE], cwd=tmp_path, capture_output=True, text=True, timeout=120
        )
        assert out.stdout.strip() == "ok", (wheel.name, out.stderr)
        assert list(env.glob("lib/python*/site-packages/ovaline-stubs/__init__.pyi"))
        assert list(env.glob("lib/python*/site-packages/ovaline_fsspec/__init__.py"))
        assert list(env.glob("lib/python*/site-packages/ovaline_fsspec/py.typed"))


def test_the_sdist_holds_what_a_build_needs_and_nothing_built(pytestconfig):
    sdists = sorted(pathlib.Path(pytestconfig.getoption("--wheel-dir")).glob("*.tar.gz"))
    assert len(sdists) == 1, sdists
    with tarfile.open(sdists[0]) as archive:
        top = sdists[0].name.removesuffix(".tar.gz")
        names = {name.removeprefix(top + "/") for name in archive.getnames()}
    needed = {
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "LICENSE",
        "PKG-INFO",
        "ovaline-stubs/__init__.pyi",
        "python/ovaline_fsspec/__init__.py",
        "python/ovaline_fsspec/py.typed",
        "src/pybinding/module.cpp",
    }
    assert needed <= names, needed - names
    assert not [n for n in names if n.split("/")[0] in {".venv", ".venvs", "build", "dist"}]
