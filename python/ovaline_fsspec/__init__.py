"""An fsspec filesystem over an ovaline PyFs, registered as the protocol "ovaline".

    import fsspec, ovaline
    tree = ovaline.PyFs()
    fs = fsspec.filesystem("ovaline", fs=tree)

Paths are absolute within the PyFs; "ovaline://a/b" and "/a/b" name the same file.
The PyFs must be given: without fs= the filesystem refuses to be made (TypeError), since
each "ovaline://" URL opened without it would otherwise write into a new, empty PyFs that
nothing else can reach, and its data would be lost without a word.
Failures are instances of the built-in exceptions fsspec's callers catch
(FileNotFoundError, FileExistsError, IsADirectoryError, NotADirectoryError, OSError).
Every change inside a transaction is refused with NotImplementedError: nothing is
deferred, so nothing could be rolled back.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Callable
from typing import Any, TypeVar

import fsspec  # type: ignore[import-untyped]
import ovaline

__all__ = ["OvalineFileSystem"]

_T = TypeVar("_T")

# The errno of each message the original PyFs methods (mkdir, remove) fail with.
_ERRNO_OF_MESSAGE = {
    "Inode not found": errno.ENOENT,
    "The specified INode is not a directory": errno.ENOTDIR,
    "The specified INode is not a file": errno.EISDIR,
    "Resource already exists": errno.EEXIST,
    "Directory is not empty": errno.ENOTEMPTY,
    "Resource is currently in use": errno.EBUSY,
    "No space left in the filesystem": errno.ENOSPC,
    "Maximum filesystem depth exceeded": errno.ENAMETOOLONG,
}


def _as_os_error(call: Callable[[], _T], path: str) -> _T:
    """Runs an original PyFs method, which fails with ValueError and a message, and
    fails as os would instead."""
    try:
        return call()
    except ValueError as error:
        number = _ERRNO_OF_MESSAGE.get(str(error), errno.EINVAL)
        raise OSError(number, os.strerror(number), path) from error


class OvalineFileSystem(fsspec.AbstractFileSystem):  # type: ignore[misc]
    """fsspec's view of one PyFs, which ``fs`` must give.

    With ``auto_mkdir`` (the default) writing a file makes its missing parent
    directories, as fsspec's other in-memory filesystem does.
    """

    protocol = "ovaline"
    root_marker = "/"
    # Instances are cached by the text of their arguments, and two different PyFs
    # may print alike: each call wraps exactly the PyFs it is given.
    cachable = False

    def __init__(
        self, fs: ovaline.PyFs | None = None, *, auto_mkdir: bool = True, **kwargs: Any
    ) -> None:
        if not isinstance(fs, ovaline.PyFs):
            raise TypeError(
                "ovaline_fsspec needs the PyFs to work on: pass fs=ovaline.PyFs(), or "
                "storage_options={'fs': tree} through a library that takes fsspec URLs; "
                f"got {'nothing' if fs is None else type(fs).__name__}. Without it an "
                "ovaline:// URL would open a new empty PyFs that nothing else can see."
            )
        super().__init__(**kwargs)
        self.pyfs = fs
        self.auto_mkdir = auto_mkdir

    @classmethod
    def _strip_protocol(cls, path: Any) -> str:
        text = os.fsdecode(os.fspath(path)).removeprefix("ovaline://")
        return "/" + text.strip("/")

    def _entry(self, path: str) -> dict[str, Any]:
        found = self.pyfs.stat(path)
        return {"name": path, "size": found.size, "type": found.kind, "ino": found.id}

    def info(self, path: Any, **kwargs: Any) -> dict[str, Any]:
        return self._entry(self._strip_protocol(path))

    def ls(self, path: Any, detail: bool = True, **kwargs: Any) -> list[Any]:
        path = self._strip_protocol(path)
        top = self._entry(path)
        if top["type"] != "directory":
            entries = [top]
        else:
            files, dirs = self.pyfs.listdir(path)
            entries = []
            for name in sorted(files + dirs):
                try:
                    entries.append(self._entry(path.rstrip("/") + "/" + name))
                except FileNotFoundError:
                    # Removed by another thread since the listing: not there any more.
                    continue
        return entries if detail else [entry["name"] for entry in entries]

    def exists(self, path: Any, **kwargs: Any) -> bool:
        return self.pyfs.exists(self._strip_protocol(path))

    def _refuse_in_transaction(self) -> None:
        if self._intrans:
            raise NotImplementedError("ovaline changes are not deferred to a transaction")

    def mkdir(self, path: Any, create_parents: bool = True, **kwargs: Any) -> None:
        self._refuse_in_transaction()
        path = self._strip_protocol(path)
        if create_parents:
            self.pyfs.makedirs(path)
        else:
            _as_os_error(lambda: self.pyfs.mkdir(path), path)

    def makedirs(self, path: Any, exist_ok: bool = False) -> None:
        self._refuse_in_transaction()
        self.pyfs.makedirs(self._strip_protocol(path), exist_ok=exist_ok)

    def _remove(self, path: str) -> None:
        _as_os_error(lambda: self.pyfs.remove(path, False), path)

    def rmdir(self, path: Any) -> None:
        self._refuse_in_transaction()
        path = self._strip_protocol(path)
        if self._entry(path)["type"] != "directory":
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), path)
        self._remove(path)

    def rm_file(self, path: Any) -> None:
        self._refuse_in_transaction()
        self._remove(self._strip_protocol(path))

    def _rm(self, path: Any) -> None:
        self.rm_file(path)

    def rm(self, path: Any, recursive: bool = False, maxdepth: int | None = None) -> None:
        self._refuse_in_transaction()
        # Deepest first, so that each directory is empty when its turn comes.
        for each in reversed(self.expand_path(path, recursive=recursive, maxdepth=maxdepth)):
            self._remove(self._strip_protocol(each))

    def _make_parent(self, path: str) -> None:
        if self.auto_mkdir:
            self.pyfs.makedirs(self._parent(path), exist_ok=True)

    def cp_file(self, path1: Any, path2: Any, **kwargs: Any) -> None:
        self._refuse_in_transaction()
        src, dst = self._strip_protocol(path1), self._strip_protocol(path2)
        if self._entry(src)["type"] == "directory":
            self.pyfs.makedirs(dst, exist_ok=True)
            return
        self._make_parent(dst)
        self.pyfs.write_bytes(dst, self.pyfs.read_bytes(src))

    def cat_file(
        self, path: Any, start: int | None = None, end: int | None = None, **kwargs: Any
    ) -> bytes:
        return self.pyfs.read_bytes(self._strip_protocol(path))[start:end]

    def pipe_file(self, path: Any, value: bytes, mode: str = "overwrite", **kwargs: Any) -> None:
        self._refuse_in_transaction()
        path = self._strip_protocol(path)
        self._make_parent(path)
        if mode == "create":
            with self.pyfs.open_io(path, "xb") as file:
                file.write(value)
        else:
            self.pyfs.write_bytes(path, bytes(value))

    def touch(self, path: Any, truncate: bool = True, **kwargs: Any) -> None:
        self._refuse_in_transaction()
        path = self._strip_protocol(path)
        self._make_parent(path)
        # Appending nothing makes a missing file and keeps what an existing one holds.
        with self.pyfs.open_io(path, "wb" if truncate else "ab", buffering=0):
            pass

    def _open(
        self,
        path: Any,
        mode: str = "rb",
        block_size: int | None = None,
        autocommit: bool = True,
        cache_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> Any:
        if not autocommit:
            raise NotImplementedError("ovaline changes are not deferred to a transaction")
        path = self._strip_protocol(path)
        if "r" not in mode:
            self._make_parent(path)
        return self.pyfs.open_io(path, mode)
