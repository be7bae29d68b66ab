"""A provider's flows, free of I/O: what it does on a miss, ahead of an end, on demand.

Each flow is a generator of typed steps (:class:`Load`, :class:`Acquire`,
:class:`Fetch`, :class:`Sleep`...); the sync and async providers carry each
step out (a store step through the store's sync or async method, a fetch
through their executor) and send back its outcome, or throw in its failure.
So the rules are written once:

- :func:`obtain`: on a miss, the token from the store, or fetched by the one
  holder of the store's lock while the others wait for it;
- :func:`fetch_as_holder`: what the holder does (look once more, fetch, write);
- :func:`refresh_ahead`: a still valid token renewed for the whole fleet;
- :func:`fetch_directly`: a fetch that skips the store's lock.

A caller that finds the lock held, on a miss or ahead of an end, waits for its
holder in the one loop :func:`_wait_for_holder`. A store that fails is never a
caller's failure: the flow reports it and fetches directly.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Callable, Generator
from typing import Any, NamedTuple, TypeAlias

from .. import telemetry
from ..stores import Lease, TokenStore
from ._access_token import AccessToken
from ._base import BaseTokenProvider, Entry

__all__ = [
    "Acquire",
    "Delete",
    "Fetch",
    "Flow",
    "Load",
    "Release",
    "Save",
    "Sleep",
    "Step",
    "fetch_as_holder",
    "fetch_directly",
    "obtain",
    "refresh_ahead",
]

logger = logging.getLogger("quillon_bo.tokens")

#: Waiting for another holder's token: the first and the longest pause.
MIN_POLL = 0.01
MAX_POLL = 0.2


# -- the steps ---------------------------------------------------------------------


class Load(NamedTuple):
    """Read the record under ``key``: the record, or None."""

    key: str

    def run(self, store: TokenStore) -> bytes | None:
        return store.load(self.key)

    async def arun(self, store: TokenStore) -> bytes | None:
        return await store.aload(self.key)


class Save(NamedTuple):
    """Write ``record`` under ``key`` for ``ttl`` seconds (as the lock's holder
    when ``lease`` is given)."""

    key: str
    record: bytes
    ttl: float
    lease: Lease | None

    def run(self, store: TokenStore) -> None:
        store.save(self.key, self.record, self.ttl, self.lease)

    async def arun(self, store: TokenStore) -> None:
        await store.asave(self.key, self.record, self.ttl, self.lease)


class Delete(NamedTuple):
    """Remove the record under ``key`` if it is still ``record``."""

    key: str
    record: bytes

    def run(self, store: TokenStore) -> None:
        store.delete_if(self.key, self.record)

    async def arun(self, store: TokenStore) -> None:
        await store.adelete_if(self.key, self.record)


class Acquire(NamedTuple):
    """Take the lock of ``key`` for ``seconds`` without waiting: a Lease, or
    None when another holds it."""

    key: str
    seconds: float

    def run(self, store: TokenStore) -> Lease | None:
        return store.acquire(self.key, self.seconds)

    async def arun(self, store: TokenStore) -> Lease | None:
        return await store.aacquire(self.key, self.seconds)


class Release(NamedTuple):
    """Give the lock back."""

    lease: Lease

    def run(self, store: TokenStore) -> None:
        store.release(self.lease)

    async def arun(self, store: TokenStore) -> None:
        await store.arelease(self.lease)


class Fetch(NamedTuple):
    """Ask the endpoint for a new token: the :class:`Entry` for it. A holder of
    the store's lock gives its ``lease``, renewed while the fetch lasts."""

    lease: Lease | None = None


class Sleep(NamedTuple):
    """Pause this long, then go on."""

    seconds: float


StoreStep: TypeAlias = Load | Save | Delete | Acquire | Release
Step: TypeAlias = StoreStep | Fetch | Sleep
# What a provider sends back: the outcome of the step (None for those that
# give none); a step's failure is thrown in instead.
Flow: TypeAlias = Generator[Step, Any, AccessToken | None]


# -- the flows ---------------------------------------------------------------------


def obtain(p: BaseTokenProvider) -> Flow:
    """A valid token, from the store or fetched by the one holder of its lock."""
    store = p._store
    if not store.usable():
        return (yield from fetch_directly(p))
    key = p._store_key()
    try:
        refused, p._refused = p._refused, None
        if refused is not None:
            yield Delete(key, refused)
        found = p._decode((yield Load(key)))
    except Exception as exc:
        p._store_failed(exc)
        return (yield from fetch_directly(p))
    store.succeeded()
    if found is not None and p._clock() < found.token.expires_at:
        p._keep(found)
        return found.token
    # A live holder keeps the lock (a file lock is held, a Redis lease
    # renewed) however slow its fetch; a dead one loses it with its lease, and
    # then one waiter takes it. Only a holder slower than any fetch of ours
    # could be is given up on.
    until = time.monotonic() + p._patience
    try:
        waited = yield from _wait_for_holder(p, key, until, _valid_now(p), retake=True)
    except Exception as exc:
        p._store_failed(exc)
        return (yield from fetch_directly(p))
    if isinstance(waited, Entry):
        p._keep(waited)
        return waited.token
    if waited is not None:
        return (yield from fetch_as_holder(p, key, waited, None))
    logger.warning(
        "the lock of token store %r was held for %.1f s, longer than a fetch may take; "
        "fetching directly",
        store,
        p._patience,
    )
    return (yield from fetch_directly(p, save=True))


def fetch_as_holder(p: BaseTokenProvider, key: str, lease: Lease, newer_than: Entry | None) -> Flow:
    """Holding the lock: look once more (a token may have arrived between the
    first look and the lock), else fetch and write; then give the lock back."""
    try:
        try:
            found = p._decode((yield Load(key)))
        except Exception:
            found = None
        if (
            found is not None
            and p._clock() < found.token.expires_at
            and (newer_than is None or found.token.expires_at > newer_than.token.expires_at)
        ):
            p._keep(found)
            return found.token
        entry: Entry = yield Fetch(lease)
        p._keep(entry)
        try:
            yield Save(key, entry.record, entry.token.expires_at - p._clock(), lease)
        except Exception as exc:
            p._store_failed(exc)
        return entry.token
    finally:
        try:
            yield Release(lease)
        except Exception as exc:
            # The lease ends by itself; only the next holder waits for it.
            p._store_failed(exc)


def fetch_directly(p: BaseTokenProvider, *, save: bool = False) -> Flow:
    """Fetch without the store's lock; with ``save``, write the token for the
    others too (when the store can be used)."""
    entry: Entry = yield Fetch()
    p._keep(entry)
    if save and p._store.usable():
        try:
            yield Save(p._store_key(), entry.record, entry.token.expires_at - p._clock(), None)
        except Exception as exc:
            p._store_failed(exc)
    return entry.token


def refresh_ahead(p: BaseTokenProvider, held: Entry) -> Flow:
    """Renew a token that is still valid, for the whole fleet at once.

    Returns the new token, or None when another holder of the store's lock is
    refreshing and its token has not arrived within the lease (a later caller
    tries again; the held token stays meanwhile).
    """
    telemetry.refresh_ahead(held.token.expires_at - p._clock())
    store = p._store
    if not store.usable():
        return (yield from fetch_directly(p))
    key = p._store_key()
    try:
        found = p._decode((yield Load(key)))
        if found is not None and found.token.expires_at > held.token.expires_at:
            p._keep(found)
            return found.token
        lease: Lease | None = yield Acquire(key, p._lease)
    except Exception as exc:
        p._store_failed(exc)
        return (yield from fetch_directly(p))
    store.succeeded()
    if lease is not None:
        return (yield from fetch_as_holder(p, key, lease, held))
    until = time.monotonic() + p._lease
    try:
        waited = yield from _wait_for_holder(p, key, until, _newer_than(held), retake=False)
    except Exception as exc:
        p._store_failed(exc)
        return None
    if isinstance(waited, Entry):
        p._keep(waited)
        return waited.token
    return None


def _wait_for_holder(
    p: BaseTokenProvider,
    key: str,
    until: float,
    wanted: Callable[[Entry], bool],
    *,
    retake: bool,
) -> Generator[Step, Any, Entry | Lease | None]:
    """Wait while another holds the lock of ``key``, until ``until`` (on
    time.monotonic), looking in the store after each pause (each longer than
    the last, up to MAX_POLL).

    Returns the entry the holder wrote, once it is ``wanted``; with
    ``retake``, the lease of the lock once it is free (taken first, and again
    after each look: a dead holder's lease ends by itself); None when the time
    is up. A failure of the store is raised.
    """
    pause = MIN_POLL
    while True:
        if retake:
            lease: Lease | None = yield Acquire(key, p._lease)
            if lease is not None:
                return lease
        left = until - time.monotonic()
        if left <= 0:
            return None
        yield Sleep(min(pause, left))
        pause = min(pause * 2, MAX_POLL)
        found = p._decode((yield Load(key)))
        if found is not None and wanted(found):
            return found


def _valid_now(p: BaseTokenProvider) -> Callable[[Entry], bool]:
    return lambda found: p._clock() < found.token.expires_at


def _newer_than(held: Entry) -> Callable[[Entry], bool]:
    return lambda found: found.token.expires_at > held.token.expires_at
