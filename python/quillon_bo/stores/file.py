"""The store of one machine: processes share a token through one file."""

from __future__ import annotations

import contextlib
import json
import logging
import os
import secrets
import stat
import sys
import time
import weakref
from collections.abc import Callable
from pathlib import Path
from typing import Any

from .base import DEFAULT_STORE_BACKOFF, Lease, StoreError, TokenStore

__all__ = ["FileStore"]

logger = logging.getLogger("quillon_bo.stores")

# Without O_NOFOLLOW (Windows) a link is still refused by the lstat check.
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_BINARY = getattr(os, "O_BINARY", 0)
# Opening a FIFO (or a device) must not wait for a writer; fstat then refuses it.
_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
# Where the folder can be held open and named relative to (not on Windows):
# every file is then found in the folder checked at start, whatever becomes
# of the path that led to it.
# (os.replace shares os.rename's entry: the set does not list it.)
_AT_FOLDER = bool(_DIRECTORY) and {os.open, os.stat, os.rename, os.unlink} <= os.supports_dir_fd
#: A token file larger than this is not ours: it is refused unread.
MAX_FILE_BYTES = 1 << 20
#: How long a compare-and-delete waits for the file's lock. A holder is
#: either checking the file (milliseconds) or fetching a token, which will
#: replace the refused one anyway.
DELETE_WAIT = 1.0


def _owner_ids() -> tuple[int, ...] | None:
    geteuid: Callable[[], int] | None = getattr(os, "geteuid", None)
    return None if geteuid is None else (geteuid(),)


def _check(path: str, st: os.stat_result, *, folder: bool) -> None:
    """Refuse what another user could have put there or could change."""
    what = "folder" if folder else "file"
    if stat.S_ISLNK(st.st_mode):
        raise StoreError(f"token {what} {path} is a symbolic link; give the real path")
    if folder and not stat.S_ISDIR(st.st_mode):
        raise StoreError(f"token folder {path} is not a folder")
    if not folder and not stat.S_ISREG(st.st_mode):
        raise StoreError(f"token file {path} is not a regular file")
    owners = _owner_ids()
    if owners is None:  # no owners or mode bits to check (Windows)
        return
    # A folder of root's is safe: root can read everything anyway.
    allowed = (*owners, 0) if folder else owners
    if st.st_uid not in allowed:
        raise StoreError(
            f"token {what} {path} belongs to another user (uid {st.st_uid}, "
            f"this process runs as uid {owners[0]}); tokens are kept only where no "
            "other user can read or replace them"
        )
    if st.st_mode & 0o022:
        raise StoreError(
            f"token {what} {path} can be written by group or others "
            f"(mode {stat.S_IMODE(st.st_mode):04o}); use a {what} only its owner can write"
        )


if sys.platform == "win32":  # pragma: no cover - not exercised on POSIX runners
    import msvcrt

    def _try_lock(fd: int) -> bool:
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        except OSError:
            return False
        return True

    def _unlock(fd: int) -> None:
        os.lseek(fd, 0, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)

else:
    import fcntl

    def _try_lock(fd: int) -> bool:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        return True

    def _unlock(fd: int) -> None:
        fcntl.flock(fd, fcntl.LOCK_UN)


class FileStore(TokenStore):
    """Keeps records in one JSON file that the processes of one machine share.

    The lock is the operating system's lock on ``<path>.lock``, so a holder
    that dies releases it at once. Writes replace the file atomically (a new
    file, mode 0600, renamed over the old one), so readers never see half a
    file and need no lock. The folder is created (mode 0700) if missing; a
    file or folder that another user owns, or that group or others can write,
    is refused with :class:`StoreError`: at construction, and at every later
    use (the call then goes on without the store). Only regular files are
    read or written. The folder is opened once, and every file is opened,
    renamed and removed relative to it (not on Windows), so a folder on the
    path replaced later by a link leads nowhere else.
    """

    lease_expires = False  # the lock ends with its holder's process

    def __init__(self, path: str | os.PathLike[str], *, backoff: float = DEFAULT_STORE_BACKOFF):
        super().__init__(backoff=backoff)
        self.path = os.path.abspath(os.fspath(path))
        self.lock_path = self.path + ".lock"
        self._folder = os.path.dirname(self.path)
        self._name = os.path.basename(self.path)
        self._dir_fd: int | None = None
        try:
            Path(self._folder).mkdir(mode=0o700, parents=True, exist_ok=True)
        except FileExistsError:
            raise StoreError(
                f"token folder {self._folder} cannot be made: a file is in its place"
            ) from None
        except OSError as exc:
            raise StoreError(
                f"token folder {self._folder} cannot be made: {exc.strerror or exc}"
            ) from None
        try:
            _check(self._folder, os.lstat(self._folder), folder=True)
            if _AT_FOLDER:
                self._dir_fd = os.open(
                    self._folder, os.O_RDONLY | _DIRECTORY | _NOFOLLOW | _CLOEXEC
                )
                weakref.finalize(self, os.close, self._dir_fd)
            self._check_folder()
            for name in (self._name, self._name + ".lock"):
                try:
                    st = os.stat(self._at(name), dir_fd=self._dir_fd, follow_symlinks=False)
                except FileNotFoundError:
                    continue
                _check(os.path.join(self._folder, name), st, folder=False)
        except OSError as exc:
            raise StoreError(f"token folder {self._folder}: {exc.strerror or exc}") from None
        if not os.access(self._folder, os.W_OK):
            raise StoreError(f"token folder {self._folder} cannot be written by this user")

    def __repr__(self) -> str:
        return f"FileStore({self.path!r})"

    def _at(self, name: str) -> str:
        # Relative to the open folder where there is one, else the full path.
        return name if self._dir_fd is not None else os.path.join(self._folder, name)

    def _check_folder(self) -> None:
        # Looked at on every use: a folder opened to others after the start
        # is refused from then on.
        if self._dir_fd is not None:
            _check(self._folder, os.fstat(self._dir_fd), folder=True)

    def _open(self, name: str, flags: int) -> int:
        """Open a file of the folder; refuse anything but a regular file that
        only this user can write, without waiting on a FIFO or device."""
        path = os.path.join(self._folder, name)
        self._check_folder()
        flags |= _NOFOLLOW | _NONBLOCK | _CLOEXEC | _BINARY
        fd = os.open(self._at(name), flags, 0o600, dir_fd=self._dir_fd)
        try:
            _check(path, os.fstat(fd), folder=False)
        except BaseException:
            os.close(fd)
            raise
        return fd

    # -- reading ----------------------------------------------------------

    def load(self, key: str) -> bytes | None:
        record = self._read().get(key)
        if record is None:
            return None
        return json.dumps(record, separators=(",", ":"), sort_keys=True).encode()

    def _read(self) -> dict[str, Any]:
        try:
            fd = self._open(self._name, os.O_RDONLY)
        except FileNotFoundError:
            return {}
        except OSError as exc:
            raise StoreError(f"token file {self.path}: {exc.strerror or exc}") from exc
        with os.fdopen(fd, "rb") as fh:
            data = fh.read(MAX_FILE_BYTES + 1)
        try:
            records = json.loads(data) if len(data) <= MAX_FILE_BYTES else None
        except ValueError:
            records = None
        if not isinstance(records, dict):
            # Someone else's file or one cut short: its records are lost, and
            # the next token written replaces it.
            logger.warning("token file %s is not a record file; treated as empty", self.path)
            return {}
        return records

    # -- writing ----------------------------------------------------------

    def save(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        record = json.loads(value)

        def put(records: dict[str, Any]) -> bool:
            records[key] = record
            return True

        self._update(put, lease, wait=0.0)

    def delete_if(self, key: str, value: bytes) -> None:
        refused = json.loads(value)

        def drop(records: dict[str, Any]) -> bool:
            if records.get(key) != refused:
                return False
            del records[key]
            return True

        self._update(drop, None, wait=DELETE_WAIT)

    async def adelete_if(self, key: str, value: bytes) -> None:
        # The only call that may wait for the lock: away from the event loop.
        import asyncio  # here: a sync program never needs it

        await asyncio.to_thread(self.delete_if, key, value)

    def _update(
        self, change: Callable[[dict[str, Any]], bool], lease: Lease | None, *, wait: float
    ) -> None:
        # Every writer holds the file's lock (the caller's lease, or its own),
        # which also orders the threads of one process: each takes its own.
        own = None
        if lease is None:
            # Without the lock someone else holds it and is about to write
            # a newer record than this one: leaving it to them is right.
            own = self._lock_within(wait)
            if own is None:
                return
        try:
            records = self._read()
            if change(records):
                self._write(records)
        finally:
            if own is not None:
                self.release(own)

    def _write(self, records: dict[str, Any]) -> None:
        data = json.dumps(records, separators=(",", ":"), sort_keys=True).encode()
        temp = f".{self._name}.{secrets.token_hex(8)}.tmp"
        # O_EXCL: a new file of ours, never one planted under that name.
        fd = self._open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
        at = self._dir_fd
        try:
            with os.fdopen(fd, "wb") as fh:
                if hasattr(os, "fchmod"):
                    os.fchmod(fh.fileno(), 0o600)  # whatever the umask
                fh.write(data)
            os.replace(self._at(temp), self._at(self._name), src_dir_fd=at, dst_dir_fd=at)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(self._at(temp), dir_fd=at)
            raise

    # -- the lock ---------------------------------------------------------

    def acquire(self, key: str, seconds: float) -> Lease | None:
        try:
            fd = self._open(self._name + ".lock", os.O_RDWR | os.O_CREAT)
        except OSError as exc:
            raise StoreError(f"token lock file {self.lock_path}: {exc.strerror or exc}") from exc
        try:
            if not _try_lock(fd):
                os.close(fd)
                return None
        except BaseException:
            os.close(fd)
            raise
        return Lease(key, secrets.token_hex(8), seconds, fd)

    def _lock_within(self, seconds: float) -> Lease | None:
        ends = time.monotonic() + seconds
        pause = 0.005
        while True:
            lease = self.acquire("", seconds)
            if lease is not None or time.monotonic() >= ends:
                return lease
            time.sleep(pause)
            pause = min(pause * 2, 0.1)

    def release(self, lease: Lease) -> None:
        fd = lease.handle
        if not isinstance(fd, int):
            return
        try:
            _unlock(fd)
        finally:
            os.close(fd)
