import gc
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import ovaline

FINAL_ORDER = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyTerminalSession"]


def test_module_shape():
    assert ovaline.__doc__ == ""
    assert ovaline.__all__ == [name for name in FINAL_ORDER if hasattr(ovaline, name)]
    assert {"PyFs", "PyFileHandle", "Whence"} <= set(ovaline.__all__)
    public = {name for name in vars(ovaline) if not name.startswith("_")}
    assert public == set(ovaline.__all__)


def test_internal_exception_not_exported():
    for value in vars(ovaline).values():
        assert not (isinstance(value, type) and issubclass(value, BaseException))


def instances():
    fs = ovaline.PyFs()
    return [fs, fs.open("/f", "r"), ovaline.Whence.SEEK_SET]


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_class_properties(obj):
    cls = type(obj)
    assert cls.__module__ == "ovaline"
    assert cls.__bases__ == (object,)
    assert not hasattr(obj, "__dict__")
    assert not gc.is_tracked(obj)
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [ovaline.PyFileHandle, ovaline.Whence])
def test_not_constructible(cls):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()


@pytest.mark.parametrize(
    "obj, signature",
    [
        (ovaline.PyFs, "()"),
        (ovaline.PyFileHandle, None),
        (ovaline.Whence, None),
        (ovaline.PyFs.mkdir, "($self, path)"),
        (ovaline.PyFs.touch, "($self, path)"),
        (ovaline.PyFs.listdir, "($self, path)"),
        (ovaline.PyFs.remove, "(recurse=False)"),
        (ovaline.PyFs.tree, "($self, path, ident=None)"),
        (ovaline.PyFs.open, "($self, path, mode)"),
        (ovaline.PyFileHandle.id, "($self)"),
        (ovaline.PyFileHandle.close, "($self)"),
        (ovaline.PyFileHandle.read, "($self, buffer)"),
        (ovaline.PyFileHandle.write, "($self, buffer)"),
        (ovaline.PyFileHandle.seek, "($self, offset, whence)"),
        (ovaline.PyFileHandle.tell, "($self)"),
    ],
)
def test_text_signatures_and_docstrings(obj, signature):
    assert obj.__text_signature__ == signature
    assert obj.__doc__.startswith("\n") and obj.__doc__.endswith("\n")
    if signature is not None:
        inspect.signature(obj)


def test_docstring_texts():
    assert ovaline.PyFs.__doc__.startswith(
        "\nAn highly simplified binding for a simple filesystem written in C++.\n\n"
    )
    assert ovaline.PyFs.remove.__doc__ == "\nRemove a file from the filesystem.\n"
    assert ovaline.Whence.__doc__ == "\nA small enumeration to determine the whence\nwhen seeking in a file.\n"
    assert ovaline.PyFileHandle.id.__doc__ == "\nReturns a string representation of the file handle.\n"
    methods = [name for name in vars(ovaline.PyFileHandle) if not name.startswith("_")]
    assert methods == ["id", "close", "read", "write", "seek", "tell"]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_second_initialisation_returns_first_module():
    result = run_python(
        """
        import sys, ovaline
        first = ovaline
        del sys.modules["ovaline"]
        import ovaline
        assert ovaline is first, "a second module was created"
        """
    )
    assert result.returncode == 0, result.stderr


def test_subinterpreter_refused():
    result = run_python(
        """
        import ovaline
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            raise SystemExit(3)
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import ovaline")
        except Exception as exc:
            print(exc)
        """
    )
    if result.returncode == 3:
        pytest.skip("no subinterpreter support in this Python")
    assert result.returncode == 0, result.stderr
    # From 3.12 on an isolated interpreter refuses the module itself, before its init runs.
    assert "ImportError" in result.stdout
    assert any(
        text in result.stdout
        for text in ("subinterpreters are not supported", "does not support loading in subinterpreters")
    )


@pytest.mark.parametrize(
    "call, exc, words",
    [
        (lambda fs: fs.mkdir(1), TypeError, ["path", "str"]),
        (lambda fs: fs.mkdir(), TypeError, ["path"]),
        (lambda fs: fs.mkdir("/a", "/b"), TypeError, ["mkdir"]),
        (lambda fs: fs.mkdir("/a", path="/b"), TypeError, ["path"]),
        (lambda fs: fs.mkdir(paths="/a"), TypeError, ["paths"]),
        (lambda fs: fs.touch(b"/a"), TypeError, ["path"]),
        (lambda fs: fs.remove("/a", 1), TypeError, ["recurse", "bool"]),
        (lambda fs: fs.remove("/a"), TypeError, ["recurse"]),
        (lambda fs: fs.tree("/", 5), TypeError, ["ident"]),
        (lambda fs: fs.open("/a", None), TypeError, ["mode"]),
        (lambda fs: ovaline.PyFs(1), TypeError, []),
        (lambda fs: ovaline.PyFs(x=1), TypeError, []),
    ],
)
def test_conversion_errors_change_nothing(call, exc, words):
    fs = ovaline.PyFs()
    fs.mkdir("/a")
    before = str(fs)
    with pytest.raises(exc) as info:
        call(fs)
    for word in words:
        assert word in str(info.value)
    assert str(fs) == before


def test_keywords_accepted():
    fs = ovaline.PyFs()
    fs.mkdir(path="/a")
    fs.touch(path="/a/x")
    assert fs.tree(ident="- ", path="/") == "- a/\n-   x\n"
    with fs.open(mode="r", path="/a/x") as handle:
        handle.seek(whence=ovaline.Whence.SEEK_SET, offset=0)
    fs.remove(recurse=True, path="/a")
    assert fs.listdir(path="/") == ([], [])
