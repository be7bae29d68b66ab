"""The store of one machine: processes share a token through one file."""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import os
import secrets
import stat
import sys
import tempfile
import time
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
    is refused with :class:`StoreError`.
    """

    def __init__(self, path: str | os.PathLike[str], *, backoff: float = DEFAULT_STORE_BACKOFF):
        super().__init__(backoff=backoff)
        self.path = os.path.abspath(os.fspath(path))
        self.lock_path = self.path + ".lock"
        self._folder = os.path.dirname(self.path)
        Path(self._folder).mkdir(mode=0o700, parents=True, exist_ok=True)
        _check(self._folder, os.lstat(self._folder), folder=True)
        if not os.access(self._folder, os.W_OK):
            raise StoreError(f"token folder {self._folder} cannot be written by this user")
        for name in (self.path, self.lock_path):
            try:
                st = os.lstat(name)
            except FileNotFoundError:
                continue
            _check(name, st, folder=False)

    def __repr__(self) -> str:
        return f"FileStore({self.path!r})"

    # -- reading ----------------------------------------------------------

    def load(self, key: str) -> bytes | None:
        record = self._read().get(key)
        if record is None:
            return None
        return json.dumps(record, separators=(",", ":"), sort_keys=True).encode()

    def _read(self) -> dict[str, Any]:
        try:
            fd = os.open(self.path, os.O_RDONLY | _NOFOLLOW | _CLOEXEC | _BINARY)
        except FileNotFoundError:
            return {}
        except OSError as exc:
            raise StoreError(f"token file {self.path}: {exc.strerror or exc}") from exc
        with os.fdopen(fd, "rb") as fh:
            _check(self.path, os.fstat(fh.fileno()), folder=False)
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
        name = os.path.basename(self.path)
        # mkstemp makes the file with mode 0600 whatever the umask.
        fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=self._folder)
        try:
            with os.fdopen(fd, "wb") as fh:
                fh.write(data)
            os.replace(temp, self.path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temp)
            raise

    # -- the lock ---------------------------------------------------------

    def acquire(self, key: str, seconds: float) -> Lease | None:
        flags = os.O_RDWR | os.O_CREAT | _NOFOLLOW | _CLOEXEC | _BINARY
        try:
            fd = os.open(self.lock_path, flags, 0o600)
        except OSError as exc:
            raise StoreError(f"token lock file {self.lock_path}: {exc.strerror or exc}") from exc
        try:
            _check(self.lock_path, os.fstat(fd), folder=False)
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
