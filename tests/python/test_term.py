import shlex
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

from ovaline import PyFs, PyTerm


@pytest.fixture
def fs():
    return PyFs()


@pytest.fixture
def term(fs):
    return PyTerm(fs)


def test_class_and_method_docs():
    assert PyTerm.__text_signature__ == "(fs)"
    assert PyTerm.shell.__text_signature__ == (
        "($type, fs, *, max_output=16777216, timeout=None, max_steps=None)"
    )
    assert PyTerm.__doc__ == "\nA structure representing a simple terminal\n"
    assert PyTerm.exec.__text_signature__ == "($self, command)"
    assert PyTerm.exec.__doc__ == "\nExecute a command in the terminal.\n"


def test_fresh_terminal(term):
    assert term.exec("pwd") == "/"
    assert term.exec("") == ""
    assert term.exec("ls") == ""


def test_keywords(fs):
    term = PyTerm(fs=fs)
    assert term.exec(command="pwd") == "/"


@pytest.mark.parametrize(
    "line, message",
    [
        ("cd nope", "cd: cannot access 'nope': nope: Inode not found"),
        ("echo 'x", "The command was not correctly formatted"),
        ("foo", "foo: command not found"),
        ("cd", "cd: missing argument"),
        ("rm /nope", "nope: Inode not found"),
    ],
)
def test_failures_raise_value_error_and_keep_the_terminal(term, line, message):
    with pytest.raises(ValueError) as info:
        term.exec(line)
    assert info.value.args == (message,)
    assert term.exec("pwd") == "/"


@pytest.mark.parametrize(
    "call",
    [
        lambda fs: PyTerm("fs"),
        lambda fs: PyTerm(),
        lambda fs: PyTerm(fs, fs),
        lambda fs: PyTerm(fs).exec(),
        lambda fs: PyTerm(fs).exec("pwd", "ls"),
    ],
)
def test_argument_errors(fs, call):
    with pytest.raises(TypeError):
        call(fs)


def test_exec_names_command_on_wrong_type(term):
    with pytest.raises(TypeError, match="command"):
        term.exec(1)


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (PyTerm,), {})


def test_terminal_and_pyfs_see_each_other(fs, term):
    fs.mkdir("/a")
    assert term.exec("ls") == "a/\n"
    term.exec("touch a/f")
    assert fs.listdir("/a") == (["f"], [])
    term.exec("rm -r a")
    assert fs.listdir("/") == ([], [])


def test_two_terminals_keep_their_own_directory(fs):
    first, second = PyTerm(fs), PyTerm(fs)
    first.exec("mkdir a")
    first.exec("cd a")
    assert first.exec("pwd") == "/a"
    assert second.exec("pwd") == "/"
    second.exec("touch a/f")
    assert first.exec("ls") == "f\n"


def test_open_handle_is_seen_by_every_terminal(fs):
    first, second = PyTerm(fs), PyTerm(fs)
    first.exec("touch f")
    handle = fs.open("/f", "w")
    handle.write(b"hi\n")
    for term in (first, second):
        with pytest.raises(ValueError) as info:
            term.exec("cat f")
        assert info.value.args == ("cat: cannot access 'f': Resource is currently in use",)
        with pytest.raises(ValueError) as info:
            term.exec("rm f")
        assert info.value.args == ("rm: cannot remove 'f': Resource is currently in use",)
    handle.close()
    assert first.exec("cat f") == "hi\n"
    assert second.exec("cat /f") == "hi\n"
    second.exec("rm f")
    with pytest.raises(ValueError, match="^f: Inode not found$"):
        first.exec("cat f")


def test_terminal_keeps_the_filesystem_alive():
    fs = PyFs()
    fs.mkdir("/kept")
    term = PyTerm(fs)
    del fs
    assert term.exec("ls") == "kept/\n"


def test_help_lists_the_nine_commands(term):
    out = term.exec("help")
    assert out.endswith("\n")
    assert sorted(out.splitlines()) == sorted(
        ["cd", "ls", "pwd", "cat", "mkdir", "touch", "echo", "rm", "help"]
    )


def test_rm_parser_outcomes_are_failures(term):
    with pytest.raises(ValueError) as info:
        term.exec("rm --version")
    assert str(info.value).startswith("rm: ovaline 0.2.0")
    for line in ("rm --help", "rm -f x", "rm a b", "rm -r"):
        with pytest.raises(ValueError) as info:
            term.exec(line)
        assert str(info.value).startswith("rm: ")
        assert "TARGET" in str(info.value)


def test_threads_share_one_terminal(fs, term):
    def work(n):
        for i in range(20):
            term.exec(f"mkdir d{n}_{i}")

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(fs.listdir("/")[1]) == 80


words = st.lists(st.text(alphabet=st.characters(blacklist_categories=("Cs",))))


@given(words)
def test_quoted_words_come_back_intact(words):
    term = PyTerm(PyFs())
    assert term.exec("echo " + shlex.join(words)) == " ".join(words)


@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",))))
def test_splitter_never_breaks_on_any_text(line):
    term = PyTerm(PyFs())
    try:
        term.exec("echo " + line)
    except ValueError as error:
        # Only splitting can fail for echo.
        assert error.args == ("The command was not correctly formatted",)
