"""The store of one machine: processes share a token through one file."""

from __future__ import annotations

import json
import logging
import os
import secrets
import time
from collections.abc import Callable
from typing import Any

from ._folder import TokenFolder
from .base import DEFAULT_STORE_BACKOFF, Lease, StoreError, TokenStore

__all__ = ["FileStore"]

logger = logging.getLogger("quillon_bo.stores")

#: A token file larger than this is not ours: it is refused unread.
MAX_FILE_BYTES = 1 << 20
#: How long a compare-and-delete waits for the file's lock. A holder is
#: either checking the file (milliseconds) or fetching a token, which will
#: replace the refused one anyway.
DELETE_WAIT = 1.0


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
        self._folder = TokenFolder(self.path)

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
            fd = self._folder.open_file()
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
        self._folder.replace(json.dumps(records, separators=(",", ":"), sort_keys=True).encode())

    # -- the lock ---------------------------------------------------------

    def acquire(self, key: str, seconds: float) -> Lease | None:
        try:
            fd = self._folder.open_lock_file()
        except OSError as exc:
            raise StoreError(f"token lock file {self.lock_path}: {exc.strerror or exc}") from exc
        if not self._folder.lock(fd):
            return None
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
        self._folder.unlock(fd)
