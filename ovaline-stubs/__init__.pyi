from collections.abc import Callable
from types import TracebackType
from typing import ClassVar, Literal, final

from _typeshed import structseq

__all__ = [
    "PyFs",
    "PyFileHandle",
    "PyTerm",
    "ShellResult",
    "Whence",
    "PyUserPool",
    "PyTerminalSession",
]

@final
class PyFs:
    """An in-memory filesystem; handles and terminals made from it share it."""

    def __new__(cls) -> PyFs: ...
    def mkdir(self, path: str) -> None: ...
    def touch(self, path: str) -> None: ...
    def listdir(self, path: str) -> tuple[list[str], list[str]]:
        """The names of the entries that are not directories, then of the subdirectories."""
    def remove(self, path: str, recurse: bool) -> None: ...
    def tree(self, path: str, ident: str | None = None) -> str: ...
    def open(self, path: str, mode: str) -> PyFileHandle: ...

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

    def __new__(cls, fs: PyFs, *, shell: bool = False, max_output: int = 16777216) -> PyTerm: ...
    def exec(self, command: str) -> str:
        """
        Execute a command in the terminal.
        """
    def run(self, line: str) -> ShellResult:
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

@final
class PyTerminalSession:
    """A real shell under an account of a PyUserPool, on three pipes. Needs root."""

    def __new__(cls, pool: PyUserPool) -> PyTerminalSession: ...
    def write(self, data: bytes) -> None: ...
    def close(self) -> None: ...
    def read(self, buffer: int, *, timeout: float | None = None) -> bytes: ...
    def read_err(self, buffer: int, *, timeout: float | None = None) -> bytes: ...
    def poll(self) -> int | None: ...
    def wait(self, timeout: float | None = None) -> int: ...
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
