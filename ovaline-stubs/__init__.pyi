import io
import os
from collections.abc import Callable, Iterable, Iterator
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

    def __new__(cls) -> PyFs: ...
    @classmethod
    def limited(cls, *, max_bytes: int | None = None, max_inodes: int | None = None) -> PyFs: ...
    def mkdir(self, path: str) -> None: ...
    def touch(self, path: str) -> None: ...
    def listdir(self, path: str) -> tuple[list[str], list[str]]:
        """The names of the entries that are not directories, then of the subdirectories."""
    def remove(self, path: str, recurse: bool) -> None: ...
    def tree(self, path: str, ident: str | None = None) -> str: ...
    def open(self, path: str, mode: str) -> PyFileHandle: ...
    def exists(self, path: _Path) -> bool: ...
    def is_file(self, path: _Path) -> bool: ...
    def is_dir(self, path: _Path) -> bool: ...
    def stat(self, path: _Path) -> PyFs.Stat: ...
    def makedirs(self, path: _Path, exist_ok: bool = False) -> None: ...
    def rename(self, src: _Path, dst: _Path, *, replace: bool = False) -> None: ...
    def copy(self, src: _Path, dst: _Path, *, recursive: bool = False) -> None: ...
    def walk(self, path: _Path = "/") -> Iterator[tuple[str, list[str], list[str]]]: ...
    def glob(self, pattern: _Path) -> list[str]: ...
    def read_bytes(self, path: _Path) -> bytes: ...
    def write_bytes(self, path: _Path, data: bytes) -> int: ...
    def read_text(self, path: _Path, encoding: str = "utf-8", errors: str = "strict") -> str: ...
    def write_text(
        self, path: _Path, data: str, encoding: str = "utf-8", errors: str = "strict"
    ) -> int: ...
    def usage(self) -> PyFs.Usage: ...
    def clone(self) -> PyFs:
        """An independent copy of the tree as it stood at one moment; ids are kept."""
    def export_to(self, real_dir: _Path, *, src: _Path = "/", owner: str | None = None) -> None: ...
    def import_from(self, real_dir: _Path, *, dst: _Path = "/") -> None: ...

    @overload
    def open_io(
        self,
        path: _Path,
        mode: OpenTextMode = "r",
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> io.TextIOWrapper: ...
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
        def id(self) -> int: ...
        @property
        def kind(self) -> Literal["file", "directory"]: ...
        @property
        def size(self) -> int: ...
        @property
        def entries(self) -> int: ...

    @final
    class Usage(structseq[int], tuple[int, int]):
        """What PyFs.usage reports about the whole filesystem."""

        __match_args__: ClassVar[tuple[str, ...]]
        @property
        def bytes(self) -> int: ...
        @property
        def inodes(self) -> int: ...

    @final
    class RawFile(io.RawIOBase, BinaryIO):
        """A file of a PyFs as a raw binary stream; made only by PyFs.open_io."""

        def read(self, size: int | None = -1) -> bytes: ...
        def readall(self) -> bytes: ...
        def readinto(self, buffer: WriteableBuffer) -> int: ...
        def readline(self, size: int | None = -1) -> bytes: ...
        def readlines(self, hint: int | None = -1) -> list[bytes]: ...
        def write(self, b: ReadableBuffer) -> int: ...
        def writelines(self, lines: Iterable[ReadableBuffer]) -> None: ...
        def seek(self, offset: int, whence: int = 0) -> int: ...
        def tell(self) -> int: ...
        def truncate(self, size: int | None = None) -> int: ...
        def flush(self) -> None: ...
        def close(self) -> None: ...
        def readable(self) -> bool: ...
        def writable(self) -> bool: ...
        def seekable(self) -> bool: ...
        def fileno(self) -> int: ...
        def isatty(self) -> bool: ...
        @property
        def closed(self) -> bool: ...
        @property
        def name(self) -> str: ...
        @property
        def mode(self) -> str: ...
        def __enter__(self) -> PyFs.RawFile: ...
        def __exit__(
            self,
            exc_type: type[BaseException] | None,
            exc_value: BaseException | None,
            traceback: TracebackType | None,
        ) -> None: ...
        def __iter__(self) -> PyFs.RawFile: ...
        def __next__(self) -> bytes: ...

@final
class PyFileHandle:
    """An open file of a PyFs; made only by PyFs.open."""

    def id(self) -> int: ...
    def close(self) -> None: ...
    def read(self, buffer: int) -> bytes: ...
    def write(self, buffer: bytes) -> int: ...
    def seek(self, offset: int, whence: Whence) -> None: ...
    def tell(self) -> int: ...
    def __enter__(self) -> PyFileHandle: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

@final
class Whence:
    """Where PyFileHandle.seek counts from."""

    SEEK_SET: ClassVar[Whence]
    SEEK_CUR: ClassVar[Whence]
    SEEK_END: ClassVar[Whence]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class PyTerm:
    """
    A structure representing a simple terminal
    """

    def __new__(cls, fs: PyFs) -> PyTerm: ...
    @classmethod
    def shell(
        cls,
        fs: PyFs,
        *,
        max_output: int = 16777216,
        timeout: float | None = None,
        max_steps: int | None = None,
    ) -> PyTerm: ...
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

    def __new__(cls) -> PyUserPool: ...
    @classmethod
    def warm(cls, count: int) -> PyUserPool: ...

@final
class PyTerminalSession:
    """A real shell under an account of a PyUserPool, on three pipes. Needs root."""

    def __new__(cls, pool: PyUserPool) -> PyTerminalSession: ...
    @classmethod
    def sandbox(
        cls,
        pool: PyUserPool,
        *,
        cpu_seconds: int | None = None,
        address_space: int | None = None,
        processes: int | None = None,
        file_size: int | None = None,
        open_files: int | None = None,
        network: bool = True,
    ) -> PyTerminalSession: ...
    def write(self, data: bytes) -> None: ...
    def close(self) -> None: ...
    def read(self, buffer: int, *, timeout: float | None = None) -> bytes: ...
    def read_err(self, buffer: int, *, timeout: float | None = None) -> bytes: ...
    def poll(self) -> int | None: ...
    def wait(self, timeout: float | None = None) -> int: ...
    def run(
        self,
        command: str,
        *,
        timeout: float | None = None,
        input: bytes | None = None,
        cwd: str | None = None,
        max_output: int | None = None,
    ) -> PyTerminalSession.RunResult: ...
    def push(self, fs: PyFs, src: _Path = "/", dst: str | None = None) -> None: ...
    def pull(self, fs: PyFs, src: str | None = None, dst: _Path = "/") -> None: ...
    @property
    def user(self) -> str: ...
    @property
    def home(self) -> str: ...
    def __enter__(self) -> PyTerminalSession: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

    @final
    class RunResult(structseq[Any], tuple[int, bytes, bytes, bool, bool]):
        """How a command run in a terminal session ended."""

        __match_args__: ClassVar[tuple[str, ...]]
        @property
        def returncode(self) -> int: ...
        @property
        def stdout(self) -> bytes: ...
        @property
        def stderr(self) -> bytes: ...
        @property
        def timed_out(self) -> bool: ...
        @property
        def truncated(self) -> bool: ...
