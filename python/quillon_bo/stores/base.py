"""What every token store offers: keep one record per key, and a lock with a lease.

A store is the second level of the token cache: each provider keeps its own
copy in memory and goes to the store only when that copy is missing or has
ended. Stores hold bytes and know nothing of tokens; the providers in
:mod:`quillon_bo.tokens` write and read the records. Every method may raise;
the providers treat any failure of a store as "no store for a while" (see
:meth:`TokenStore.failed`) and fetch directly, so a store never fails a caller.
"""

from __future__ import annotations

import contextlib
import hashlib
import logging
import threading
import time
from collections.abc import AsyncIterator, Iterator
from dataclasses import dataclass

from ..errors import QuillonError

__all__ = ["DEFAULT_LEASE", "Lease", "StoreError", "TokenStore", "store_key"]

logger = logging.getLogger("quillon_bo.stores")

#: Seconds a lock outlasts a holder that stopped renewing it (one that died).
DEFAULT_LEASE = 10.0
#: A working holder renews its lease each time this share of it has passed,
#: so that a late renewal or two still finds the lock its own.
RENEW_SHARE = 1 / 3
#: First wait after a failure of the store before it is tried again; each
#: further failure in a row doubles it, up to :data:`MAX_STORE_BACKOFF`.
DEFAULT_STORE_BACKOFF = 1.0
MAX_STORE_BACKOFF = 30.0


class StoreError(QuillonError):
    """A token store cannot be used: unsafe permissions, a bad location or URL."""

    kind = "store"


@dataclass(frozen=True, slots=True)
class Lease:
    """A held lock: released only by its owner, and by itself after ``seconds``."""

    key: str
    owner: str
    seconds: float
    handle: object = None


def store_key(token_url: str, client_id: str) -> str:
    """The key of a client's token: different endpoints or clients never meet.

    Only the token URL and the client id go in; the secret never does, so the
    key says nothing about it, and a rotated secret keeps the shared token.
    """
    digest = hashlib.sha256(f"{token_url}\n{client_id}".encode()).hexdigest()
    return f"token:{digest[:40]}"


class TokenStore:
    """The interface of a token store; the async methods (``aload``, ``asave``,
    ``adelete_if``, ``aacquire``, ``arelease``) default to the sync ones.

    ``save`` is given the record's time to live in seconds (the store may keep
    it longer; the providers check the record's own end), and ``lease`` when
    the caller holds the key's lock. ``delete_if`` removes the record only if
    it is still ``value`` (compare and delete). ``acquire`` never waits: it
    returns a :class:`Lease` or None when another holder has the lock.

    A lock whose lease ends by itself (``lease_expires``) is renewed by its
    holder for as long as the holder works (:meth:`renewing`), so waiters can
    tell a slow holder, whose lock stays, from a dead one, whose lock ends
    with its lease. A store whose lock ends with its holder (a file lock)
    needs no renewal.
    """

    #: Whether a lock ends only with its lease, so that its holder renews it.
    lease_expires = True

    def __init__(self, *, backoff: float = DEFAULT_STORE_BACKOFF) -> None:
        if not backoff > 0:
            raise ValueError("backoff must be a positive number of seconds")
        self.backoff = backoff
        self._down_until = 0.0
        self._failures = 0
        self._health = threading.Lock()
        #: Whether the sync providers can use it (a RedisStore over an
        #: asyncio client cannot).
        self.supports_sync = True

    # -- the interface ----------------------------------------------------

    def load(self, key: str) -> bytes | None:
        """The record under ``key``, or None when there is none."""
        raise NotImplementedError

    def save(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        """Keep ``value`` under ``key`` for at least ``ttl`` seconds; ``lease``
        is the caller's hold on the key's lock, when it has one."""
        raise NotImplementedError

    def delete_if(self, key: str, value: bytes) -> None:
        """Remove the record under ``key`` only if it is still ``value``."""
        raise NotImplementedError

    def acquire(self, key: str, seconds: float) -> Lease | None:
        """Take the key's lock for at most ``seconds``, without waiting: a
        :class:`Lease`, or None when another holder has it."""
        raise NotImplementedError

    def release(self, lease: Lease) -> None:
        """Give the lock back, if ``lease`` still holds it."""
        raise NotImplementedError

    def renew(self, lease: Lease) -> bool:
        """Extend the lease to ``lease.seconds`` from now if it still holds the
        lock; False when it no longer does (or the store cannot renew)."""
        return False

    async def aload(self, key: str) -> bytes | None:
        return self.load(key)

    async def asave(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        self.save(key, value, ttl, lease)

    async def adelete_if(self, key: str, value: bytes) -> None:
        self.delete_if(key, value)

    async def aacquire(self, key: str, seconds: float) -> Lease | None:
        return self.acquire(key, seconds)

    async def arelease(self, lease: Lease) -> None:
        self.release(lease)

    async def arenew(self, lease: Lease) -> bool:
        return self.renew(lease)

    # -- renewal while the holder works ----------------------------------------

    @contextlib.contextmanager
    def renewing(self, lease: Lease) -> Iterator[None]:
        """Keep ``lease`` renewed from a thread while the block runs."""
        if not self.lease_expires:
            yield
            return
        stop = threading.Event()
        worker = threading.Thread(
            target=_renew_until, args=(self, lease, stop), name="quillon_bo-lease", daemon=True
        )
        worker.start()
        try:
            yield
        finally:
            # Not joined: a renewal still running finds the lock released or
            # taken by another owner, and leaves it alone.
            stop.set()

    @contextlib.asynccontextmanager
    async def arenewing(self, lease: Lease) -> AsyncIterator[None]:
        """Keep ``lease`` renewed from a task while the block runs."""
        if not self.lease_expires:
            yield
            return
        import asyncio  # here: a sync program never needs it

        task = asyncio.ensure_future(_arenew_until(self, lease))
        try:
            yield
        finally:
            task.cancel()

    def _renew_failed(self, exc: Exception) -> bool:
        # A store that fails now may answer at the next renewal, before the
        # lease ends; the fetch goes on either way.
        logger.debug("renewing a lease of %r failed: %s", self, type(exc).__name__)
        return True

    # -- health: shared by every provider that uses this store -------------

    def usable(self) -> bool:
        """False while the store waits out the back-off after a failure."""
        return time.monotonic() >= self._down_until

    def failed(self) -> float:
        """Note a failure; return the seconds until the store is tried again."""
        with self._health:
            wait = min(self.backoff * float(2**self._failures), MAX_STORE_BACKOFF)
            self._failures = min(self._failures + 1, 16)
            self._down_until = time.monotonic() + wait
        return wait

    def succeeded(self) -> None:
        """Note a success: the back-off starts from the beginning again."""
        if self._failures:
            with self._health:
                self._failures = 0
                self._down_until = 0.0


# The renewal loops, run by a holder's thread or task while it works.


def _renew_until(store: TokenStore, lease: Lease, stop: threading.Event) -> None:
    while not stop.wait(lease.seconds * RENEW_SHARE):
        try:
            renewed = store.renew(lease)
        except Exception as exc:
            renewed = store._renew_failed(exc)
        if not renewed:
            return


async def _arenew_until(store: TokenStore, lease: Lease) -> None:
    import asyncio

    while True:
        await asyncio.sleep(lease.seconds * RENEW_SHARE)
        try:
            renewed = await store.arenew(lease)
        except Exception as exc:
            renewed = store._renew_failed(exc)
        if not renewed:
            return
