"""The store of one process: today's behaviour, and the default."""

from __future__ import annotations

import secrets
import threading
import time

from .base import Lease, TokenStore

__all__ = ["MemoryStore"]


class MemoryStore(TokenStore):
    """Keeps records in this process only.

    Each client gets its own by default, so nothing is shared; give one
    instance to several clients of the same process to let them share a token.
    """

    def __init__(self) -> None:
        super().__init__()
        self._lock = threading.Lock()
        # key -> (value, monotonic end); key -> (owner, monotonic end)
        self._records: dict[str, tuple[bytes, float]] = {}
        self._locks: dict[str, tuple[str, float]] = {}

    def __repr__(self) -> str:
        return "MemoryStore()"

    def load(self, key: str) -> bytes | None:
        with self._lock:
            found = self._records.get(key)
            if found is None:
                return None
            if time.monotonic() >= found[1]:
                del self._records[key]
                return None
            return found[0]

    def save(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        with self._lock:
            self._records[key] = (value, time.monotonic() + ttl)

    def delete_if(self, key: str, value: bytes) -> None:
        with self._lock:
            found = self._records.get(key)
            if found is not None and found[0] == value:
                del self._records[key]

    def acquire(self, key: str, seconds: float) -> Lease | None:
        now = time.monotonic()
        with self._lock:
            held = self._locks.get(key)
            if held is not None and now < held[1]:
                return None
            owner = secrets.token_hex(8)
            self._locks[key] = (owner, now + seconds)
        return Lease(key, owner, seconds)

    def renew(self, lease: Lease) -> bool:
        with self._lock:
            held = self._locks.get(lease.key)
            if held is None or held[0] != lease.owner:
                return False
            self._locks[lease.key] = (lease.owner, time.monotonic() + lease.seconds)
        return True

    def release(self, lease: Lease) -> None:
        with self._lock:
            held = self._locks.get(lease.key)
            if held is not None and held[0] == lease.owner:
                del self._locks[lease.key]
