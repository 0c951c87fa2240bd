"""PyTerm's shell mode as Python sees it: results, failures, registered commands, bounds.

The commands and the grammar are checked in the C++ tests and against bash in
test_shell_bash.py; here only what the binding adds.
"""

import threading

import pytest

from ovaline import PyFs, PyTerm


@pytest.fixture
def fs():
    return PyFs()


@pytest.fixture
def shell(fs):
    return PyTerm.shell(fs)


def test_default_mode_keeps_its_words_and_commands(fs):
    term = PyTerm(fs)
    assert term.exec("echo a > b | c") == "a > b | c"
    assert "grep" not in term.exec("help")
    with pytest.raises(ValueError, match="grep: command not found"):
        term.exec("grep a b")
    assert fs.listdir("/") == ([], [])
    assert term.run("cat nope") == (1, "", "nope: Inode not found\n")


def test_run_returns_a_result_and_never_raises_for_a_command(shell):
    result = shell.run("echo out; echo err >&2; false")
    assert type(result) is PyTerm.ShellResult
    assert (result.status, result.stdout, result.stderr) == (1, "out\n", "err\n")
    assert result == (1, "out\n", "err\n")
    assert shell.run("nope").status == 127
    assert shell.run("echo 'open").status == 2


@pytest.mark.parametrize(
    "line, message",
    [
        ("cat nope", "cat: nope: No such file or directory"),
        ("false", "exit status 1"),
        ("echo a |", "syntax error: unexpected end of line"),
    ],
)
def test_exec_raises_the_error_output_of_a_failing_line(shell, line, message):
    with pytest.raises(ValueError) as info:
        shell.exec(line)
    assert info.value.args == (message,)


def test_exec_and_run_share_the_shell_state(shell, fs):
    shell.exec("mkdir -p a/b && cd a/b && X=hi")
    assert shell.exec("echo $X > f; pwd") == "/a/b\n"
    assert fs.read_text("/a/b/f") == "hi\n"
    assert shell.run("cat f").stdout == "hi\n"


def test_registered_command_in_pipes_and_redirections(shell, fs):
    calls = []

    def upper(args, stdin):
        calls.append((args, stdin))
        return stdin.upper() + " ".join(args)

    shell.register("upper", upper)
    assert shell.exec("echo abc | upper x 'y z' > f; cat f; echo") == "ABC\nx y z\n"
    assert calls == [(["x", "y z"], "abc\n")]
    assert shell.exec("upper < f") == "ABC\nX Y Z"
    assert "upper" in shell.exec("help")


def test_registered_command_failures(shell):
    def fail(args, stdin):
        raise ValueError("fail: " + " ".join(args))

    def broken(args, stdin):
        raise KeyError("k")

    shell.register("fail", fail)
    shell.register("broken", broken)
    shell.register("number", lambda args, stdin: 3)
    assert shell.run("fail a b || echo next") == (0, "next\n", "fail: a b\n")
    with pytest.raises(KeyError):
        shell.run("broken; echo never > f")
    assert shell.run("cat f").status == 1
    with pytest.raises(TypeError, match="must return str, not int"):
        shell.exec("number")
    # The terminal stays usable after an exception stopped a line.
    assert shell.exec("echo ok") == "ok\n"


def test_registered_command_cannot_reenter_its_terminal(shell):
    def inner(args, stdin):
        return shell.exec("echo inner")

    shell.register("inner", inner)
    result = shell.run("inner")
    assert result.status == 1
    assert "cannot use the terminal that is running it" in result.stderr
    other = PyTerm.shell(PyFs())
    shell.register("other", lambda args, stdin: other.exec("echo elsewhere"))
    assert shell.exec("other") == "elsewhere\n"


def test_another_thread_waits_for_a_running_command(shell):
    started = threading.Event()
    release = threading.Event()
    seen = []

    def block(args, stdin):
        started.set()
        seen.append(release.wait(timeout=30))
        return "blocked\n"

    shell.register("block", block)
    first = threading.Thread(target=lambda: seen.append(shell.exec("block")))
    first.start()
    assert started.wait(timeout=30)
    second = threading.Thread(target=lambda: seen.append(shell.exec("echo second")))
    second.start()
    # The waiting thread holds no interpreter lock, so this one still runs.
    release.set()
    first.join(timeout=30)
    second.join(timeout=30)
    assert seen[0] is True
    assert sorted(seen[1:]) == ["blocked\n", "second\n"]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda fs: PyTerm(fs).register("x", print), ValueError),
        (lambda fs: PyTerm.shell(fs).register("a b", print), ValueError),
        (lambda fs: PyTerm.shell(fs).register("x>y", print), ValueError),
        (lambda fs: PyTerm.shell(fs).register("x", "print"), TypeError),
        (lambda fs: PyTerm.shell(fs, max_output=0), ValueError),
        (lambda fs: PyTerm(fs, True), TypeError),
    ],
)
def test_argument_errors(fs, call, error):
    with pytest.raises(error):
        call(fs)


def test_output_limit_stops_a_growing_line(fs):
    shell = PyTerm.shell(fs, max_output=1000)
    shell.exec("echo 0123456789 > f")
    result = shell.run("cat f f > g; cat g g > f; cat f f > g; cat g g > f; cat f f f f f f > g; echo no")
    assert result.status == 1
    assert result.stdout == ""
    assert "output limit of 1000 bytes exceeded" in result.stderr
    # Truncated before it is read, as in bash: the file ends empty, nothing grows.
    assert shell.run("cat f f > f; cat f") == (0, "", "")


@pytest.mark.parametrize(
    "line, status, stdout, error",
    [
        # Between stages the data may pass the limit; what the line returns may not.
        ("seq 2000 | cat | wc -l", 0, "2000\n", ""),
        ("seq 2000 | sort -r | tail -n 1; seq 3000 2>&1 | grep -c 0", 0, "1\n723\n", ""),
        ("seq 2000 | cat; echo no", 1, "", "output limit of 1000 bytes exceeded"),
        ("x=$(seq 2000); echo no", 1, "", "output limit of 1000 bytes exceeded"),
        ("seq 2000 | cat > f; echo no", 1, "", "output limit of 1000 bytes exceeded"),
        ("seq 2000 | { cat >&2; } 2>&1 | wc -l", 0, "2000\n", ""),
        ("seq 2000 | { cat >&2; } | wc -l; echo no", 1, "", "output limit of 1000 bytes exceeded"),
    ],
)
def test_the_output_limit_bounds_what_a_line_returns_not_its_pipes(fs, line, status, stdout, error):
    result = PyTerm.shell(fs, max_output=1000).run(line)
    assert (result.status, result.stdout) == (status, stdout), result.stderr
    assert error in result.stderr


@pytest.mark.parametrize(
    "bounds, message",
    [({"timeout": 0.05}, "time limit"), ({"max_steps": 1000}, "more than 1000 steps")],
)
def test_a_line_past_its_bounds_stops_with_124(fs, bounds, message):
    shell = PyTerm.shell(fs, **bounds)
    result = shell.run("echo before; while :; do :; done; echo after")
    assert (result.status, result.stdout) == (124, "before\n")
    assert message in result.stderr
    # The next line gets a budget of its own.
    assert shell.run("for i in 1 2 3; do echo $i; done").stdout == "1\n2\n3\n"


def test_ctrl_c_stops_an_endless_line_and_other_threads_run_meanwhile(shell, fs):
    import signal

    main = threading.get_ident()
    done = threading.Event()
    seen = []

    def interrupt():
        # The loop runs without the interpreter lock, so this thread can look at the
        # tree while it does.
        while not done.is_set() and "started" not in fs.listdir("/")[0]:
            done.wait(0.001)
        seen.append(fs.listdir("/")[0])
        signal.pthread_kill(main, signal.SIGINT)

    helper = threading.Thread(target=interrupt)
    helper.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            shell.run("touch started; while :; do :; done")
    finally:
        done.set()
        helper.join(timeout=30)
    assert seen == [["started"]]
    assert shell.exec("echo again") == "again\n"


def test_registered_commands_run_inside_the_grammar(shell):
    calls = []

    def record(args, stdin):
        calls.append(args)
        return "".join(args) + "\n"

    shell.register("rec", record)
    result = shell.run('for i in 1 2; do rec "$i" x; done | sort -r; f() { rec "$@"; }; f a b')
    assert result == (0, "2x\n1x\nab\n", "")
    assert calls == [["1", "x"], ["2", "x"], ["a", "b"]]


@pytest.mark.parametrize(
    "kwargs, error",
    [({"timeout": -1}, ValueError), ({"timeout": "1"}, TypeError), ({"max_steps": -1}, OverflowError)],
)
def test_bound_argument_errors(fs, kwargs, error):
    with pytest.raises(error):
        PyTerm.shell(fs, **kwargs)


def test_a_registered_commands_error_follows_its_output_under_2_to_1(shell):
    def fail(args, stdin):
        raise ValueError("bad input")

    shell.register("fail", fail)
    assert shell.run("echo a; fail 2>&1; echo b") == (0, "a\nbad input\nb\n", "")
