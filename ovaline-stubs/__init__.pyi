import io
import os
from collections.abc import AsyncIterator, Callable, Coroutine, Iterable, Iterator
from types import TracebackType
from typing import IO, Any, BinaryIO, ClassVar, Literal, final, overload

from _typeshed import (
    OpenBinaryMode,
    OpenBinaryModeReading,
    OpenBinaryModeUpdating,
    OpenBinaryModeWriting,
    OpenTextMode,
    ReadableBuffer,
    WriteableBuffer,
    structseq,
)

__version__: str
__all__ = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyTerminalSession"]

_Path = str | os.PathLike[str]

@final
class PyFs:
    """An in-memory filesystem; handles and terminals made from it share it."""

    def __new__(cls) -> PyFs:
        """An empty filesystem: only its root directory, without limits."""
    @classmethod
    def limited(cls, *, max_bytes: int | None = None, max_inodes: int | None = None) -> PyFs:
        """A new filesystem that holds at most max_bytes bytes of file contents and
        max_inodes inodes (the root included); None for no limit. Past a limit a
        change fails with "No space left" (ENOSPC in the os-like methods).
        """
    def mkdir(self, path: str) -> None:
        """Create a new directory in the filesystem.

        This function creates a new directory in the filesystem. The function will
        return an error if the directory could not be created.
        """
    def touch(self, path: str) -> None:
        """Create a new file in the filesystem.

        This function creates a new file in the filesystem. The function will return
        an error if the file could not be created.
        """
    def listdir(self, path: str) -> tuple[list[str], list[str]]:
        """The names of the entries that are not directories, then of the subdirectories."""
    def remove(self, path: str, recurse: bool) -> None:
        """Remove a file from the filesystem."""
    def tree(self, path: str, ident: str | None = None) -> str:
        """Debug the file system

        This function will return a debug representation of the filesystem as a string.
        """
    def open(self, path: str, mode: str) -> PyFileHandle:
        """Open a file in the filesystem.

        This function opens a file in the filesystem. The function will return a file
        handle that can be used to read and write data to the file. The function will
        return an error if the file could not be opened.
        """
    def exists(self, path: _Path) -> bool:
        """Whether the path leads to anything. Never raises for a missing path."""
    def is_file(self, path: _Path) -> bool:
        """Whether the path leads to a file. Never raises for a missing path."""
    def is_dir(self, path: _Path) -> bool:
        """Whether the path leads to a directory. Never raises for a missing path."""
    def stat(self, path: _Path) -> PyFs.Stat:
        """The inode's id, its kind ("file" or "directory"), a file's size in bytes and a
        directory's number of entries, as a PyFs.Stat.
        """
    def makedirs(self, path: _Path, exist_ok: bool = False) -> None:
        """Create the directory and every missing one above it, all at once. An existing
        directory at the path is an error unless exist_ok is true.
        """
    def rename(self, src: _Path, dst: _Path, *, replace: bool = False) -> None:
        """Move a file or directory to dst in one step; its id and open handles stay valid.
        With replace, an existing file, or empty directory, of the same kind gives way.
        """
    def copy(self, src: _Path, dst: _Path, *, recursive: bool = False) -> None:
        """Copy a file, or with recursive a directory tree, to dst under new ids. The copy
        appears all at once, and each file is copied as one consistent state.
        """
    def walk(self, path: _Path = "/") -> Iterator[tuple[str, list[str], list[str]]]:
        """Walk the tree top-down as os.walk does, yielding (dirpath, dirnames, filenames).
        Removing names from dirnames prunes the walk. Each step lists one directory, so
        other threads may change the tree meanwhile; what vanishes is skipped.
        """
    def glob(self, pattern: _Path) -> list[str]:
        """The paths matching the pattern, sorted: *, ?, [...] within a name, ** for any
        number of directories. Names starting with a dot match only a pattern that does.
        """
    def read_bytes(self, path: _Path) -> bytes:
        """The whole file's contents. Fails while a handle holds the file for writing."""
    def write_bytes(self, path: _Path, data: bytes) -> int:
        """Create the file or replace its contents; returns the number of bytes written.
        Fails while any handle holds the file.
        """
    def read_text(self, path: _Path, encoding: str = "utf-8", errors: str = "strict") -> str:
        """The whole file's contents, decoded."""
    def write_text(
        self, path: _Path, data: str, encoding: str = "utf-8", errors: str = "strict"
    ) -> int:
        """Create the file or replace its contents with the encoded text; returns the
        number of characters written.
        """
    def usage(self) -> PyFs.Usage:
        """The bytes of all files and the inodes (the root included) in use, as a PyFs.Usage."""
    def clone(self) -> PyFs:
        """An independent copy of the tree as it stood at one moment; ids are kept."""
    def export_to(self, real_dir: _Path, *, src: _Path = "/", owner: str | None = None) -> None:
        """Write the directory `src` and everything below it into `real_dir`.

        `real_dir` must be an existing, empty directory on the host. Directories are
        created with mode 0700 and files with mode 0600, and given to the user named
        `owner` when set. No symbolic link is ever followed, not even in `real_dir`
        itself. On failure everything written is removed again and OSError is raised.
        """
    def import_from(self, real_dir: _Path, *, dst: _Path = "/") -> None:
        """Read the host directory `real_dir` and everything below it into `dst`.

        Only directories and regular files are read; a symbolic link, device, fifo or
        socket is refused with OSError naming its path. The whole tree is added to
        `dst` in one step, and nothing is added when any part fails.
        """
    def mount(self, path: _Path, *, read_only: bool = False) -> PyFs.Mount:
        """Serve the tree at path, an existing empty directory, where real programs read and
        write it; returns a PyFs.Mount. Opens the file lock refuses fail with EBUSY; chmod
        and chown succeed without effect. Raises OSError when the mount cannot be made.
        """

    @overload
    def open_io(
        self,
        path: _Path,
        mode: OpenTextMode = "r",
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> io.TextIOWrapper:
        """Open a file of the filesystem as a Python file object.

        Takes the modes and options of the built-in open and returns what it would: a
        PyFs.RawFile (an io.RawIOBase) when buffering is 0, an io.BufferedReader,
        io.BufferedWriter or io.BufferedRandom in binary mode, otherwise an
        io.TextIOWrapper, whose encoding is UTF-8 unless one is given. The file holds its
        lock, shared for reading and exclusive for writing, until it is closed.
        """
    @overload
    def open_io(
        self,
        path: _Path,
        mode: OpenBinaryMode,
        buffering: Literal[0],
        encoding: None = None,
        errors: None = None,
        newline: None = None,
    ) -> PyFs.RawFile: ...
    @overload
    def open_io(
        self,
        path: _Path,
        mode: OpenBinaryModeUpdating,
        buffering: Literal[-1, 1] = -1,
        encoding: None = None,
        errors: None = None,
        newline: None = None,
    ) -> io.BufferedRandom: ...
    @overload
    def open_io(
        self,
        path: _Path,
        mode: OpenBinaryModeWriting,
        buffering: Literal[-1, 1] = -1,
        encoding: None = None,
        errors: None = None,
        newline: None = None,
    ) -> io.BufferedWriter: ...
    @overload
    def open_io(
        self,
        path: _Path,
        mode: OpenBinaryModeReading,
        buffering: Literal[-1, 1] = -1,
        encoding: None = None,
        errors: None = None,
        newline: None = None,
    ) -> io.BufferedReader: ...
    @overload
    def open_io(
        self,
        path: _Path,
        mode: str,
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> IO[Any]: ...

    @final
    class Stat(structseq[Any], tuple[int, str, int, int]):
        """What PyFs.stat reports about one inode."""

        __match_args__: ClassVar[tuple[str, ...]]
        @property
        def id(self) -> int:
            """The inode's id."""
        @property
        def kind(self) -> Literal["file", "directory"]:
            """"file" or "directory"."""
        @property
        def size(self) -> int:
            """A file's size in bytes; 0 for a directory."""
        @property
        def entries(self) -> int:
            """A directory's number of entries; 0 for a file."""
        @property
        def mtime_ns(self) -> int:
            """When the entry's contents last changed, in nanoseconds since the epoch."""

    @final
    class Usage(structseq[int], tuple[int, int]):
        """What PyFs.usage reports about the whole filesystem."""

        __match_args__: ClassVar[tuple[str, ...]]
        @property
        def bytes(self) -> int:
            """The bytes of all files."""
        @property
        def inodes(self) -> int:
            """The inodes, the root included."""

    @final
    class Mount:
        """A PyFs served at a host directory, where real programs read and write it as it
        is, and Python sees what they do at once. Unmounted by unmount(), on leaving a
        with block, when dropped and at interpreter exit."""

        @property
        def path(self) -> str:
            """The host directory the tree is mounted at."""
        @property
        def read_only(self) -> bool:
            """Whether programs may only read."""
        @property
        def mounted(self) -> bool:
            """Whether the tree is still served there."""
        def unmount(self) -> None:
            """Detach the mount and stop serving it. A program still inside it gets ENOTCONN.
            Does nothing once unmounted.
            """
        def __enter__(self) -> PyFs.Mount:
            """The mount itself."""
        def __exit__(
            self,
            exc_type: type[BaseException] | None,
            exc_value: BaseException | None,
            traceback: TracebackType | None,
        ) -> None:
            """Unmount; the exception that ended the block goes on."""

    @final
    class RawFile(io.RawIOBase, BinaryIO):
        """A file of a PyFs as a raw binary stream; made only by PyFs.open_io."""

        def read(self, size: int | None = -1) -> bytes:
            """Read at most size bytes; all that is left when size is negative."""
        def readall(self) -> bytes:
            """Read until the end of the file."""
        def readinto(self, buffer: WriteableBuffer) -> int:
            """Read into a writable bytes-like object; return the count."""
        def readline(self, size: int | None = -1) -> bytes:
            """Read up to and including the next newline, at most size bytes."""
        def readlines(self, hint: int | None = -1) -> list[bytes]:
            """Read lines until the end, or until they total at least hint bytes."""
        def write(self, b: ReadableBuffer) -> int:
            """Write a bytes-like object at the position; return the count."""
        def writelines(self, lines: Iterable[ReadableBuffer]) -> None:
            """Write each bytes-like object of an iterable."""
        def seek(self, offset: int, whence: int = 0) -> int:
            """Move to offset from the start (0), the position (1) or the end
            (2); return the new position. Positions past the end are allowed.
            """
        def tell(self) -> int:
            """Return the position."""
        def truncate(self, size: int | None = None) -> int:
            """Cut or zero-extend the file to size bytes (the position when None); return the
            size. The position does not move.
            """
        def flush(self) -> None:
            """Nothing to do: writes reach the file at once."""
        def close(self) -> None:
            """Close the file and release its lock; closing again does nothing."""
        def readable(self) -> bool:
            """Whether the file was opened for reading."""
        def writable(self) -> bool:
            """Whether the file was opened for writing."""
        def seekable(self) -> bool:
            """Always true."""
        def fileno(self) -> int:
            """Raise io.UnsupportedOperation: the file has no descriptor."""
        def isatty(self) -> bool:
            """Always false."""
        @property
        def closed(self) -> bool:
            """Whether the file is closed."""
        @property
        def name(self) -> str:
            """The path the file was opened with."""
        @property
        def mode(self) -> str:
            """The mode, spelled as io.FileIO spells it."""
        def __enter__(self) -> PyFs.RawFile:
            """Return the file itself."""
        def __exit__(
            self,
            exc_type: type[BaseException] | None,
            exc_value: BaseException | None,
            traceback: TracebackType | None,
        ) -> None:
            """Close the file."""
        def __iter__(self) -> PyFs.RawFile:
            """The file itself: iterating reads it line by line."""
        def __next__(self) -> bytes:
            """The next line, up to and including its newline; StopIteration at the end."""

@final
class PyFileHandle:
    """An open file of a PyFs; made only by PyFs.open."""

    def id(self) -> int:
        """Returns a string representation of the file handle."""
    def close(self) -> None:
        """Close the file handle.

        Notice that the pyobject still holds a reference to the file handle. However
        any subsequent read or write operation will fail.

        Small Note on garbage collection: The file handle will internally be closed
        HOWEVER it will still keep the file system and inode alive. Until the file
        handle is dropped.
        """
    def read(self, buffer: int) -> bytes:
        """Read data from the file handle.

        This function reads data from the file handle. The function will return a
        byte array with the data that was read from the file. The function will
        return an error if the read operation failed.
        """
    def write(self, buffer: bytes) -> int:
        """Write data to the file handle.

        This function writes data to the file handle. The function will return the
        number of bytes that were written to the file. The function will return an
        error if the write operation failed.
        """
    def seek(self, offset: int, whence: Whence) -> None:
        """Seek a certain position in the file.

        This function seeks a certain position in the file. The function will return
        the new position in the file. The function will return an error if the seek
        operation failed.
        """
    def tell(self) -> int:
        """Tell the current position in the file.

        This function returns the current position in the file. The function will
        return an error if the tell operation failed.
        """
    def __enter__(self) -> PyFileHandle:
        """Return the file handle itself."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        """Close the file handle if it is still open."""

@final
class Whence:
    """Where PyFileHandle.seek counts from."""

    SEEK_SET: ClassVar[Whence]
    SEEK_CUR: ClassVar[Whence]
    SEEK_END: ClassVar[Whence]
    def __int__(self) -> int:
        """The origin's number: 0 for SEEK_SET, 1 for SEEK_CUR, 2 for SEEK_END."""
    def __eq__(self, value: object, /) -> bool:
        """Equal to the same origin or to its number."""
    def __ne__(self, value: object, /) -> bool:
        """The opposite of ==: false for the same origin and for its number."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class PyTerm:
    """
    A structure representing a simple terminal
    """

    def __new__(cls, fs: PyFs) -> PyTerm:
        """A terminal with the nine simple commands over the tree of fs, in its root."""
    @classmethod
    def shell(
        cls,
        fs: PyFs,
        *,
        max_output: int = 16777216,
        timeout: float | None = None,
        max_steps: int | None = None,
    ) -> PyTerm:
        """A terminal in the shell mode over the filesystem: the shell grammar (pipelines,
        redirections, conditionals, loops, functions, expansions) and the text tools,
        each line's output capped at max_output bytes per stream. A line that runs
        longer than timeout seconds, or more than max_steps commands, stops with
        status 124.
        """
    def exec(self, command: str) -> str:
        """
        Execute a command in the terminal.
        """
    def run(self, line: str) -> PyTerm.ShellResult:
        """Run a line and return its ShellResult (status, stdout, stderr); a failing command
        gives a non-zero status instead of raising."""
    def register(self, name: str, function: Callable[[list[str], str], str]) -> None:
        """Add a command to a terminal in the shell mode: function(args, stdin) returns the
        output text, or raises ValueError to fail with status 1 (its message goes to stderr)."""

    @final
    class ShellResult(structseq[int | str], tuple[int, str, str]):
        """The exit status and the output streams of one line."""

        __match_args__: ClassVar[tuple[Literal["status"], Literal["stdout"], Literal["stderr"]]]
        @property
        def status(self) -> int:
            """The exit status of the line's last command."""
        @property
        def stdout(self) -> str:
            """What the line wrote to its output."""
        @property
        def stderr(self) -> str:
            """What the line wrote to its error stream."""

@final
class PyUserPool:
    """A pool of throw-away UNIX accounts, shared by the sessions made from it."""

    def __new__(cls) -> PyUserPool:
        """A pool that takes free accounts, creating them with useradd when none is free."""
    @classmethod
    def warm(
        cls,
        count: int,
        *,
        sandbox: bool = False,
        memory: int | None = 1073741824,
        processes: int | None = 512,
        cpu: float | None = None,
        disk: int | None = 1073741824,
        host_paths: list[_Path] | tuple[_Path, ...] | None = None,
        network: bool = False,
        cpu_seconds: int | None = None,
        address_space: int | None = None,
        file_size: int | None = None,
        open_files: int | None = None,
    ) -> PyUserPool:
        """A new pool that keeps `count` sessions started ahead, on a thread of its own,
        so that a PyTerminalSession made from it is ready at once. With sandbox=True it
        keeps sandboxes of the shape the other options give, as
        PyTerminalSession.sandbox takes them, and a sandbox() asking for that shape
        takes one; those options are refused without sandbox=True.
        """

@final
class PyTerminalSession:
    """A real shell under an account of a PyUserPool, on three pipes. Needs root."""

    def __new__(cls, pool: PyUserPool) -> PyTerminalSession:
        """A session with default options: a shell under a free account of pool, in a fresh home."""
    @classmethod
    def sandbox(
        cls,
        pool: PyUserPool,
        *,
        memory: int | None = 1073741824,
        processes: int | None = 512,
        cpu: float | None = None,
        disk: int | None = 1073741824,
        host_paths: list[_Path] | tuple[_Path, ...] | None = None,
        network: bool = False,
        cpu_seconds: int | None = None,
        address_space: int | None = None,
        file_size: int | None = None,
        open_files: int | None = None,
    ) -> PyTerminalSession:
        """A session in a sandbox: a root of its own (the host's programs and libraries
        read-only, its home, private /tmp, /var/tmp and /dev/shm, a minimal /dev, its
        own /proc, and the host_paths named, read-only), its own host name, a filter
        that refuses system calls a tenant never needs, and one cgroup for all its
        processes. memory (bytes), processes and cpu (cores) bound the whole session,
        disk the bytes its home and temporary places hold together; None lifts a
        bound. cpu_seconds, address_space, file_size and open_files bound each
        process. Without network=True it sees only a private loopback interface.
        OSError when the host cannot give it a cgroup limit, a root or its places.
        """
    def write(self, data: bytes) -> None:
        """Write data to the terminal session."""
    def close(self) -> None:
        """Close the terminal session."""
    def read(self, buffer: int, *, timeout: float | None = None) -> bytes:
        """Read data from the terminal session."""
    def read_err(self, buffer: int, *, timeout: float | None = None) -> bytes:
        """Read data from the stderr of the terminal session."""
    def poll(self) -> int | None:
        """Return the shell's exit status, or None while it runs."""
    def wait(self, timeout: float | None = None) -> int:
        """Wait for the shell to end and return its exit status."""
    def run(
        self,
        command: str,
        *,
        timeout: float | None = None,
        input: bytes | None = None,
        cwd: str | None = None,
        max_output: int | None = 16777216,
    ) -> PyTerminalSession.RunResult:
        """Run `bash -c command` as the session's account, without a terminal, and
        return a RunResult. Standard input is `input` or the null device; the
        working directory is `cwd` or the session's home. At the timeout every
        process the command started is killed and the partial output returned
        with timed_out set. Output past max_output bytes per stream (16 MiB
        unless given; None keeps all) is dropped and truncated set. The result
        also carries wall_time, cpu_time, peak_memory and ended_by.
        """
    def execute(
        self, command: str, *, timeout: float | None = None, max_output: int | None = 16777216
    ) -> PyTerminalSession.RunResult:
        """Run the command in the session's own long-lived bash, started on first use as
        the account, beside the interactive shell, so that cd, export, functions, aliases
        and what `source` sets up carry over to the next call. Returns a RunResult as
        run() does, with stdout and stderr exactly as the command wrote them; standard
        input is the null device. At the timeout everything the command started is
        killed and the shell kept. ChildProcessError when the shell itself ended (an
        `exit`, a kill); the next call starts a new one. Calls take turns. Its
        cpu_time and peak_memory are 0: the command's processes are the shell's.
        """
    def start(
        self,
        command: str,
        *,
        cwd: str | None = None,
        input: bytes | None = None,
        max_output: int | None = 16777216,
    ) -> PyTerminalSession.Job:
        """Start `bash -c command` as run() would, in the background, and return a
        PyTerminalSession.Job. Standard input is `input` when given, else a pipe for
        Job.write() and Job.close_stdin(). Unread output past max_output bytes per
        stream is dropped and counted. The job ends with the session.
        """
    def jobs(self) -> list[PyTerminalSession.Job]:
        """The jobs start() made that are still running."""
    def arun(
        self,
        command: str,
        *,
        timeout: float | None = None,
        input: bytes | None = None,
        cwd: str | None = None,
        max_output: int | None = 16777216,
    ) -> Coroutine[Any, Any, PyTerminalSession.RunResult]:
        """A coroutine doing what run() does, waiting on the running event loop without a
        thread. Cancelling it kills what the command started.
        """
    def aexecute(
        self, command: str, *, timeout: float | None = None, max_output: int | None = 16777216
    ) -> Coroutine[Any, Any, PyTerminalSession.RunResult]:
        """A coroutine doing what execute() does, waiting on the running event loop
        without a thread. Cancelling it kills what the command started and keeps the
        shell.
        """
    def aclose(self) -> Coroutine[Any, Any, None]:
        """A coroutine closing the session. Closing waits for its processes to end, so it
        runs in the loop's default executor.
        """
    @classmethod
    def asandbox(
        cls,
        pool: PyUserPool,
        *,
        memory: int | None = 1073741824,
        processes: int | None = 512,
        cpu: float | None = None,
        disk: int | None = 1073741824,
        host_paths: list[_Path] | tuple[_Path, ...] | None = None,
        network: bool = False,
        cpu_seconds: int | None = None,
        address_space: int | None = None,
        file_size: int | None = None,
        open_files: int | None = None,
    ) -> Coroutine[Any, Any, PyTerminalSession]:
        """A coroutine returning sandbox(pool, ...). Starting a session is a short
        blocking host operation, so it runs in the loop's default executor.
        """
    def push(self, fs: PyFs, src: _Path = "/", dst: str | None = None) -> None:
        """Copy the directory `src` of `fs` and everything below it into the home.

        `dst` is a directory inside the home, relative to it or absolute, or None for
        the home itself; it must exist, and no name written may exist in it yet. The
        copies belong to the session's account, directories with mode 0700 and files
        with mode 0600. On failure everything written is removed again and OSError is
        raised.
        """
    def mount(self, fs: PyFs, at: str = "work", *, read_only: bool = False) -> PyFs.Mount:
        """Serve fs at `at`, a path inside the home (made if missing, and empty), in the
        session's own mount namespace only: the shell and every run started from now
        on read and write the tree live, as the session's account; other accounts and
        the host do not see it. Returns a PyFs.Mount; unmounted by its unmount(), and
        at close() at the latest. OSError when the mount cannot be made.
        """
    def pull(self, fs: PyFs, src: str | None = None, dst: _Path = "/") -> None:
        """Copy the home, or the directory `src` inside it, into the directory `dst` of `fs`.

        Only directories and regular files that belong to the session's account are
        read, and no symbolic link is followed; anything else is refused with OSError
        naming its path. The whole tree is added in one step, or nothing is.
        """
    @property
    def user(self) -> str:
        """The name of the session's account."""
    @property
    def home(self) -> str:
        """The canonical path of the session's home directory."""
    def __enter__(self) -> PyTerminalSession:
        """Return the session itself."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the terminal session."""

    @final
    class RunResult(structseq[Any], tuple[int, bytes, bytes, bool, bool]):
        """How a command run in a terminal session ended."""

        __match_args__: ClassVar[tuple[str, ...]]
        @property
        def returncode(self) -> int:
            """The exit status, or minus the number of the signal that ended it."""
        @property
        def stdout(self) -> bytes:
            """What the command wrote to its standard output."""
        @property
        def stderr(self) -> bytes:
            """What the command wrote to its standard error."""
        @property
        def timed_out(self) -> bool:
            """Whether the timeout ended the command."""
        @property
        def truncated(self) -> bool:
            """Whether output past max_output was dropped."""
        @property
        def wall_time(self) -> float:
            """Seconds from the command's start to its end."""
        @property
        def cpu_time(self) -> float:
            """Seconds of CPU time the command's processes used, user and system."""
        @property
        def peak_memory(self) -> int:
            """The most memory, in bytes, that one of the command's processes held."""
        @property
        def ended_by(self) -> Literal["exit", "signal", "timeout", "memory"]:
            """What ended the command: "exit", "signal", "timeout" or "memory"."""
    @final
    class Job:
        """A command running in the background in a session, made by
        PyTerminalSession.start(). Its output is taken off its pipes as it comes, so a
        reader that stops never blocks it: past max_output unread bytes per stream, what
        arrives is dropped and counted (dropped). It ends with its session."""

        def poll(self) -> int | None:
            """The exit status once the command has ended, else None."""
        def wait(self, timeout: float | None = None) -> PyTerminalSession.RunResult:
            """Wait for the command to end and return a RunResult whose stdout and stderr hold
            what the iterators had not taken. At the timeout everything it started is killed
            and the result has timed_out set, as with run().
            """
        def kill(self, signal: int = 15) -> None:
            """Send `signal` to the command; SIGKILL ends everything it started. Does nothing
            once it has ended.
            """
        def write(self, data: bytes) -> None:
            """Write all of data to the command's standard input, waiting while the pipe is
            full. BrokenPipeError once the command stopped reading or the input was closed.
            """
        def close_stdin(self) -> None:
            """Close the command's standard input: it reads its end."""
        def result(
            self, timeout: float | None = None
        ) -> Coroutine[Any, Any, PyTerminalSession.RunResult]:
            """A coroutine: wait on the running event loop, without a thread, for the command
            to end, and return what wait() returns. At the timeout everything it started is
            killed; cancelling the wait leaves the command running.
            """
        @property
        def pid(self) -> int:
            """The command's process id, as this process sees it."""
        @property
        def stdout(self) -> Iterator[bytes]:
            """An iterator of the bytes the command writes to its standard output, in chunks
            as they arrive; it ends with the stream."""
        @property
        def stderr(self) -> Iterator[bytes]:
            """The same for its standard error."""
        @property
        def astdout(self) -> AsyncIterator[bytes]:
            """An async iterator of the standard output's chunks, waiting on the running event
            loop."""
        @property
        def astderr(self) -> AsyncIterator[bytes]:
            """The same for its standard error."""
        @property
        def dropped(self) -> tuple[int, int]:
            """Bytes dropped from standard output and standard error, as a pair, because
            nobody read them before max_output were waiting."""
