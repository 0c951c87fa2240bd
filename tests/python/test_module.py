import gc
import inspect
import pathlib
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import ovaline

FINAL_ORDER = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyTerminalSession"]
# The types that additions return live on the class that returns them.
NESTED = ["PyFs.Stat", "PyFs.Usage", "PyFs.RawFile", "PyFs.Mount", "PyTerm.ShellResult", "PyTerminalSession.RunResult"]


def nested(qualname):
    owner, name = qualname.split(".")
    return getattr(getattr(ovaline, owner), name)


def test_module_holds_the_six_classes_and_nothing_else():
    assert ovaline.__doc__ == ""
    assert ovaline.__all__ == FINAL_ORDER
    assert [name for name in vars(ovaline) if not name.startswith("_")] == FINAL_ORDER
    assert ovaline.__version__ == "0.2.0"


@pytest.mark.parametrize("qualname", NESTED)
def test_result_types_live_on_their_class(qualname):
    cls = nested(qualname)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("ovaline", qualname, qualname.split(".")[1])
    assert not hasattr(ovaline, cls.__name__)


def test_results_pickle_and_compare():
    fs = ovaline.PyFs()
    fs.write_bytes("/f", b"abc")
    results = [fs.stat("/f"), fs.usage(), ovaline.PyTerm.shell(fs).run("echo hi")]
    results.append(ovaline.PyTerminalSession.RunResult((0, b"out", b"", False, False)))
    for result in results:
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            copy = pickle.loads(pickle.dumps(result, protocol))
            assert type(copy) is type(result) and copy == result
            assert getattr(copy, "mtime_ns", None) == getattr(result, "mtime_ns", None)
    assert repr(results[0]) == "ovaline.PyFs.Stat(id=1, kind='file', size=3, entries=0)"


def test_no_exception_class_in_the_module():
    for value in vars(ovaline).values():
        assert not (isinstance(value, type) and issubclass(value, BaseException))


def instances():
    fs = ovaline.PyFs()
    return [fs, fs.open("/f", "r"), ovaline.PyTerm(fs), ovaline.Whence.SEEK_SET, ovaline.PyUserPool()]


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
    with pytest.raises(AttributeError):
        obj.added = 1


@pytest.mark.parametrize("name", FINAL_ORDER + NESTED)
@pytest.mark.parametrize(
    "change",
    [
        lambda cls: setattr(cls, "added", 1),
        lambda cls: setattr(cls, "__new__", lambda c: object.__new__(c)),
        lambda cls: setattr(cls, "__doc__", "replaced"),
        lambda cls: setattr(cls, "__str__", lambda self: "replaced"),
        lambda cls: delattr(cls, "__new__"),
    ],
    ids=["add", "new", "doc", "str", "del"],
)
def test_classes_are_immutable(name, change):
    cls = nested(name) if "." in name else getattr(ovaline, name)
    before = dict(vars(cls))
    with pytest.raises(TypeError):
        change(cls)
    assert dict(vars(cls)) == before


@pytest.mark.parametrize("member", ["SEEK_SET", "SEEK_CUR", "SEEK_END"])
def test_whence_members_cannot_be_replaced(member):
    original = getattr(ovaline.Whence, member)
    with pytest.raises(TypeError):
        setattr(ovaline.Whence, member, 7)
    with pytest.raises(TypeError):
        delattr(ovaline.Whence, member)
    assert getattr(ovaline.Whence, member) is original


def test_no_instance_without_its_constructor():
    # An instance made past its constructor would hold no filesystem; mkdir on it used
    # to crash the interpreter.
    result = run_python(
        """
        import ovaline
        attempts = [
            lambda: setattr(ovaline.PyFs, "__new__", lambda cls: object.__new__(cls)),
            lambda: object.__new__(ovaline.PyFs),
            lambda: object.__new__(ovaline.PyFileHandle),
        ]
        for attempt in attempts:
            try:
                attempt()
            except TypeError:
                pass
            else:
                ovaline.PyFs().mkdir("/a")
                raise SystemExit("an attempt succeeded")
        ovaline.PyFs().mkdir("/a")
        """
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    "call",
    [
        lambda fs, handle: ovaline.PyFs.mkdir(handle, "/a"),
        lambda fs, handle: ovaline.PyFs.listdir(ovaline.PyUserPool(), "/"),
        lambda fs, handle: ovaline.PyFileHandle.tell(fs),
        lambda fs, handle: ovaline.PyFileHandle.__exit__(fs, None, None, None),
        lambda fs, handle: ovaline.PyFs.__str__(handle),
        lambda fs, handle: ovaline.PyTerm.exec(fs, "ls"),
    ],
)
def test_methods_refuse_another_class_as_self(call):
    fs = ovaline.PyFs()
    handle = fs.open("/f", "w")
    with pytest.raises(TypeError):
        call(fs, handle)
    assert fs.listdir("/") == (["f"], [])


@pytest.mark.parametrize("cls", [ovaline.PyFileHandle, ovaline.Whence])
def test_not_constructible(cls):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()


@pytest.mark.parametrize(
    "obj, signature",
    [
        (ovaline.PyFs, "()"),
        (ovaline.PyTerm, "(fs)"),
        (ovaline.PyUserPool, "()"),
        (ovaline.PyTerminalSession, "(pool)"),
        (ovaline.PyFs.limited, "($type, *, max_bytes=None, max_inodes=None)"),
        (ovaline.PyTerm.shell, "($type, fs, *, max_output=16777216, timeout=None, max_steps=None)"),
        (
            ovaline.PyUserPool.warm,
            "($type, count, *, sandbox=False, memory=1073741824, processes=512, cpu=None,"
            " disk=1073741824, host_paths=None, network=False, cpu_seconds=None,"
            " address_space=None, file_size=None, open_files=None)",
        ),
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


class Unconvertible:
    pass


def test_every_signature_matches_what_the_call_accepts():
    # Each parameter a text signature names is accepted by that keyword: passing an
    # unconvertible value for all of them fails on conversion, never on matching.
    for obj in instances()[:3]:
        calls = [(type(obj).__name__, type(obj), type(obj))]
        calls += [(name, getattr(obj, name), member) for name, member in vars(type(obj)).items()]
        for name, call, member in calls:
            if getattr(member, "__text_signature__", None) is None or name in ("remove", "__exit__", "__new__"):
                continue
            params = [p for p in inspect.signature(member).parameters if p not in ("self", "type")]
            if params:
                with pytest.raises(TypeError, match="must be"):
                    call(**{p: Unconvertible() for p in params})


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


def test_reimport_returns_the_one_module():
    result = run_python(
        """
        import os, sys, ovaline
        first = ovaline
        fs = first.PyFs()
        handle = fs.open("/f", "w")
        del sys.modules["ovaline"]
        import ovaline
        assert ovaline is first and ovaline.PyFs is first.PyFs
        ovaline.PyTerm(fs).exec("ls /")
        handle.seek(0, ovaline.Whence.SEEK_END)
        handle.close()

        def rss():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * 4096

        for _ in range(200):
            del sys.modules["ovaline"]
            import ovaline
        before = rss()
        for _ in range(2000):
            del sys.modules["ovaline"]
            import ovaline
        assert ovaline is first
        # AddressSanitizer holds freed memory back from reuse, so growth says nothing there.
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            assert rss() - before < 1 << 20, rss() - before
        """
    )
    assert result.returncode == 0, result.stderr


SUBINTERPRETER_IMPORT = """
import os
try:
    import ovaline
except ImportError as exc:
    os.write(1, f"refused: {exc}".encode())
else:
    os.write(1, b"loaded")
"""

# Each defines run(code). Shared-GIL subinterpreters let any extension load, so the
# module refuses by itself; for isolated ones CPython may refuse it first.
SUBINTERPRETER_RUNNERS = {
    "shared": "from _testcapi import run_in_subinterp as run",
    "isolated": 'i = __import__("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"); '
    "run = lambda code: i.run_string(i.create(), code)",
}


@pytest.mark.parametrize("kind", SUBINTERPRETER_RUNNERS)
def test_subinterpreter_refused(kind):
    result = run_python(
        f"""
        import sys, ovaline
        try:
            {SUBINTERPRETER_RUNNERS[kind]}
        except ImportError:
            raise SystemExit(3)
        run({SUBINTERPRETER_IMPORT!r})
        ovaline.PyFs().mkdir("/a")
        """
    )
    if result.returncode == 3:
        pytest.skip(f"no {kind} subinterpreters in this Python")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused: "), result.stdout
    assert (
        "subinterpreters are not supported" in result.stdout
        or "does not support loading in subinterpreters" in result.stdout
    ), result.stdout


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
        (lambda fs: ovaline.PyFs(max_bytes=1), TypeError, ["max_bytes"]),
        (lambda fs: ovaline.PyTerm(fs, shell=True), TypeError, ["shell"]),
        (lambda fs: ovaline.PyUserPool(warm=1), TypeError, ["warm"]),
        (lambda fs: ovaline.PyTerminalSession(ovaline.PyUserPool(), network=False), TypeError, ["network"]),
        (lambda fs: fs.mkdir(pathlib.PurePosixPath("/b")), TypeError, ["path", "str"]),
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
