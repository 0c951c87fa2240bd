from types import TracebackType
from typing import ClassVar, Literal, final

__all__ = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyTerminalSession"]

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

    def __new__(cls, fs: PyFs) -> PyTerm: ...
    def exec(self, command: str) -> str:
        """
        Execute a command in the terminal.
        """

@final
class PyUserPool:
    """A pool of throw-away UNIX accounts, shared by the sessions made from it."""

    def __new__(cls) -> PyUserPool: ...

@final
class PyTerminalSession:
    """A real shell under an account of a PyUserPool, on three pipes. Needs root."""

    def __new__(
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
    ) -> RunResult: ...
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
class RunResult(tuple[int, bytes, bytes, bool, bool]):
    """How a command run in a terminal session ended; reached as type(result) only."""

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
