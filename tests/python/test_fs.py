import errno
import re
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ovaline

FRESH = (
    'FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: "", data: RwLock { '
    "data: Directory { children: [] }, poisoned: false, .. } }}, next_inode_id: 1 }"
)


def tree_shape(fs):
    """The diagnostic text without the id counter, which failed creations may advance."""
    return re.sub(r"next_inode_id: \d+", "", str(fs))


NOT_A_DIRECTORY = "The specified INode is not a directory"
NOT_EMPTY = "Directory is not empty"


@pytest.fixture
def fs():
    return ovaline.PyFs()


def test_fresh_filesystem(fs):
    assert str(fs) == FRESH
    assert fs.listdir("/") == ([], [])
    assert fs.tree("/") == ""


def test_str_after_mkdir(fs):
    fs.mkdir("/a")
    text = str(fs)
    assert "children: [1]" in text
    assert 'INode { id: 1, parent: 0, depth: 1, name: "a", data: RwLock { data: Directory' in text
    assert text.endswith("next_inode_id: 2 }")


def test_filesystems_are_independent():
    first, second = ovaline.PyFs(), ovaline.PyFs()
    first.mkdir("/a")
    assert second.listdir("/") == ([], [])


@pytest.mark.parametrize(
    "setup, call, message",
    [
        ([], lambda fs: fs.mkdir("/missing/a"), "Inode not found"),
        (["d /a"], lambda fs: fs.mkdir("/a"), "Resource already exists"),
        (["f /a"], lambda fs: fs.touch("/a"), "Resource already exists"),
        ([], lambda fs: fs.mkdir("/.."), "Resource already exists"),
        (["f /f"], lambda fs: fs.touch("/f/x"), NOT_A_DIRECTORY),
        (["f /f"], lambda fs: fs.listdir("/f"), NOT_A_DIRECTORY),
        ([], lambda fs: fs.listdir("/nope"), "Inode not found"),
        (["d /a", "f /a/x"], lambda fs: fs.remove("/a", False), NOT_EMPTY),
        (["d /a"], lambda fs: fs.remove("/", False), NOT_EMPTY),
        ([], lambda fs: fs.remove("/nope", True), "Inode not found"),
        (["f /f"], lambda fs: fs.tree("/f"), NOT_A_DIRECTORY),
        ([], lambda fs: fs.tree("/nope", "> "), "Inode not found"),
    ],
)
def test_failures_raise_exactly_value_error_with_message(fs, setup, call, message):
    for step in setup:
        kind_of_step, path = step.split()
        (fs.mkdir if kind_of_step == "d" else fs.touch)(path)
    before = tree_shape(fs)
    with pytest.raises(ValueError) as info:
        call(fs)
    assert type(info.value) is ValueError and info.value.args == (message,)
    assert tree_shape(fs) == before


def test_depth_limit(fs):
    path = ""
    for _ in range(64):
        path += "/d"
        fs.mkdir(path)
    with pytest.raises(ValueError, match="^Maximum filesystem depth exceeded$"):
        fs.touch(path + "/f")


def test_listdir_splits_files_and_directories_in_creation_order(fs):
    for kind, name in [("f", "z"), ("d", "b"), ("f", "a"), ("d", "a2")]:
        (fs.mkdir if kind == "d" else fs.touch)("/" + name)
    assert fs.listdir("/") == (["z", "a"], ["b", "a2"])
    assert fs.listdir("\\b\\..") == (["z", "a"], ["b", "a2"])


def test_tree_directories_first_with_indent(fs):
    fs.touch("/b")
    fs.mkdir("/a")
    fs.touch("/a/x")
    fs.mkdir("/a/empty")
    assert fs.tree("/") == "a/\n  empty/\n  x\nb\n"
    assert fs.tree("/", "> ") == "> a/\n>   empty/\n>   x\n> b\n"
    assert fs.tree("/", None) == fs.tree("/")
    assert fs.tree("/a") == "empty/\nx\n"


def test_remove(fs):
    fs.mkdir("/a")
    fs.touch("/a/x")
    fs.touch("/y")
    fs.remove("/a/x", False)
    fs.remove("/a", False)
    fs.mkdir("/a")
    fs.touch("/a/x")
    fs.remove("/a", True)
    assert fs.listdir("/") == (["y"], [])


def test_removing_the_root_keeps_it(fs):
    fs.remove("/", False)
    fs.mkdir("/a")
    fs.touch("/a/x")
    fs.remove("/", True)
    assert fs.listdir("/") == ([], [])
    fs.mkdir("/again")
    assert fs.listdir("/") == ([], ["again"])


def test_concurrent_creators_of_one_name(fs):
    results = []

    def create():
        try:
            fs.mkdir("/same")
            results.append("ok")
        except ValueError as exc:
            results.append(str(exc))

    threads = [threading.Thread(target=create) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results.count("ok") == 1
    assert fs.listdir("/") == ([], ["same"])


names = st.sampled_from(["a", "b", "c"])
operations = st.lists(st.tuples(st.sampled_from(["mkdir", "touch", "rm"]), st.lists(names, min_size=1, max_size=3)))


def render(model, ident=""):
    out = ""
    for name, child in model.items():
        if child is not None:
            out += f"{ident}{name}/\n" + render(child, ident + "  ")
    for name, child in model.items():
        if child is None:
            out += f"{ident}{name}\n"
    return out


@settings(max_examples=60, deadline=None)
@given(operations)
def test_tree_matches_a_model(ops):
    fs = ovaline.PyFs()
    model = {}
    for op, parts in ops:
        path = "/" + "/".join(parts)
        parent = model
        for part in parts[:-1]:
            parent = parent.get(part) if isinstance(parent, dict) else None
        name = parts[-1]
        ok = isinstance(parent, dict) and ((op == "rm") == (name in parent))
        if ok and op == "mkdir":
            parent[name] = {}
            fs.mkdir(path)
        elif ok and op == "touch":
            parent[name] = None
            fs.touch(path)
        elif ok:
            del parent[name]
            fs.remove(path, True)
        else:
            with pytest.raises(ValueError):
                getattr(fs, op)(path) if op != "rm" else fs.remove(path, True)
    assert fs.tree("/") == render(model)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(st.sampled_from(["touch", "mkdir", "remove", "rename", "list"]), st.integers(0, 5)),
        max_size=30,
    )
)
def test_listdir_follows_every_change_and_owns_its_lists(steps):
    fs = ovaline.PyFs()
    fs.mkdir("/d")
    model = {}
    for op, n in steps:
        name = f"n{n}"
        if op in ("touch", "mkdir") and name not in model:
            getattr(fs, op)(f"/d/{name}")
            model[name] = op == "mkdir"
        elif op == "remove" and name in model:
            fs.remove(f"/d/{name}", True)
            del model[name]
        elif op == "rename" and name in model:
            fresh = f"m{n}" if name.startswith("n") else f"n{n}"
            if fresh not in model:
                fs.rename(f"/d/{name}", f"/d/{fresh}")
                model[fresh] = model.pop(name)
        files, dirs = fs.listdir("/d")
        assert (files, dirs) == ([k for k, d in model.items() if not d], [k for k, d in model.items() if d])
        files.append("scribble")
        dirs.clear()


def test_listdir_sees_what_another_thread_finished():
    fs = ovaline.PyFs()
    fs.mkdir("/d")
    names = [f"f{i}" for i in range(2000)]
    finished = []
    failures = []

    def writer():
        for name in names:
            fs.touch(f"/d/{name}")
            finished.append(name)

    def reader():
        while len(finished) < len(names):
            done = len(finished)
            files = fs.listdir("/d")[0]
            if files[:done] != names[:done] or files != names[: len(files)]:
                failures.append((done, len(files)))

    threads = [threading.Thread(target=writer), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not failures
    assert fs.listdir("/d")[0] == names


def test_listdir_stays_right_past_what_it_keeps_for_reuse():
    fs = ovaline.PyFs()
    dirs = [f"/d{d}" for d in range(40)]
    for d in dirs:
        fs.mkdir(d)
        for i in range(2000):
            fs.touch(f"{d}/f{i}")
    fs.mkdir("/huge")
    for i in range(70000):
        fs.touch(f"/huge/f{i}")
    for rounds in range(2):
        for d in dirs + ["/huge"]:
            fs.touch(f"{d}/new{rounds}")
            files = fs.listdir(d)[0]
            assert files[-1] == f"new{rounds}" and files == fs.listdir(d)[0]
