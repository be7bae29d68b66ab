"""What both providers share: the token held in memory, the store, and their limits.

A provider holds an :class:`Entry` (the token, when to refresh it, its record)
and a store. How long the store's lock outlasts a holder that died is its
lease (:func:`lease_for`); how long a caller waits for a live holder before it
fetches itself is its patience (:func:`patience_of`). Both follow from the
executor's deadline for one attempt, the one rule in
:func:`~quillon_bo.executor.deadline_for`. After a refresh ahead fails, the
next waits a while (:class:`RefreshBackoff`), whichever provider runs it.
"""

from __future__ import annotations

import logging
import math
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, cast

import httpx

from .. import telemetry
from .._redact import credential_of, excerpt
from ..errors import DecodeError, QuillonError
from ..executor import deadline_for
from ..stores import DEFAULT_LEASE, MemoryStore, TokenStore
from ._access_token import (
    AccessToken,
    Clock,
    decode_record,
    encode_record,
    record_key,
    system_clock,
)

if TYPE_CHECKING:
    from ..executor import AsyncExecutor, BaseExecutor, Executor

__all__ = [
    "TOKEN_OPERATION",
    "BaseTokenProvider",
    "Entry",
    "RefreshBackoff",
    "ahead_window",
    "lease_for",
    "lease_of",
    "patience_of",
]

logger = logging.getLogger("quillon_bo.tokens")

#: The name of the core's operation that issues tokens.
TOKEN_OPERATION = "token"
#: With ``refresh_ahead="auto"`` a token is refreshed in its last tenth...
AHEAD_SHARE = 0.1
#: ...but never earlier than this many seconds before its end.
MAX_AHEAD = 300.0
#: After a failed refresh ahead, seconds before the next one may start
#: (doubled for each failure in a row, up to MAX_AHEAD_RETRY).
AHEAD_RETRY = 1.0
MAX_AHEAD_RETRY = 60.0


def lease_for(deadline: float | str | None, timeout: httpx.Timeout | float | None) -> float:
    """The lock's lease for a client: :data:`DEFAULT_LEASE`, never more than
    one attempt's deadline (``deadline`` and ``timeout`` as the client takes them)."""
    if deadline == "auto" and timeout is None:
        return DEFAULT_LEASE  # the client's own time-outs are not known here
    timeouts = {} if timeout is None else httpx.Timeout(timeout).as_dict()
    seconds = deadline_for(cast("float | Literal['auto'] | None", deadline), timeouts)
    return DEFAULT_LEASE if seconds is None else min(DEFAULT_LEASE, seconds)


def lease_of(executor: BaseExecutor) -> float:
    """The lease for a provider over ``executor``, by its options."""
    options = executor.options
    return lease_for(options.deadline, options.timeout)


def patience_of(
    executor: BaseExecutor, operation: str, client: httpx.Timeout, lease: float
) -> float:
    """How long a caller waits for a live holder of the store's lock before it
    fetches itself: as long as one fetch of its own may take (every attempt to
    its deadline, every wait between attempts at its longest), never less
    than the lease."""
    options = executor.options
    timeout = executor._timeout_for(operation) or client
    attempt = deadline_for(options.deadline, timeout.as_dict())
    if attempt is None:
        attempt = lease
    longest = (options.retries + 1) * attempt + options.retries * options.max_retry_wait
    return max(lease, longest)


def ahead_window(refresh_ahead: float | Literal["auto"], lifetime: float) -> float:
    """How long before its end a token of ``lifetime`` seconds is refreshed."""
    if refresh_ahead == "auto":
        return min(AHEAD_SHARE * lifetime, MAX_AHEAD)
    # A window longer than half the lifetime would refresh every token
    # almost as soon as it arrives.
    return min(float(refresh_ahead), lifetime / 2)


def describe_failure(exc: BaseException, secrets: tuple[str | None, ...]) -> str:
    """``exc`` as a log line shows it."""
    # This package's errors are redacted already, but a log line also keeps
    # out the tokens held here and is one short line whatever the gateway
    # sent; another store's exception is named by its type alone.
    if isinstance(exc, QuillonError):
        # The message is cut, never where and how often the request failed.
        return f"{type(exc).__name__}: {excerpt(exc.message, secrets)}{exc._facts()}"
    if isinstance(exc, OSError) and exc.strerror:
        return excerpt(f"{type(exc).__name__}: {exc.strerror}", secrets)
    return type(exc).__name__


class RefreshBackoff:
    """When the next refresh ahead may start: at once, or a while after failures.

    A refresh ahead that fails leaves the valid token in place; trying again on
    every call until it ends would send the endpoint a request per call.
    """

    def __init__(self) -> None:
        self._not_before = 0.0
        self._failures = 0

    def due(self) -> bool:
        return time.monotonic() >= self._not_before

    def succeeded(self) -> None:
        self._failures = 0

    def failed(self, why: str) -> None:
        wait = min(AHEAD_RETRY * 2**self._failures, MAX_AHEAD_RETRY)
        self._failures = min(self._failures + 1, 16)
        self._not_before = time.monotonic() + wait
        logger.warning(
            "refreshing the token ahead of its end failed (%s); the current token is kept "
            "and the refresh tried again in %.0f s at the earliest",
            why,
            wait,
        )


@dataclass(frozen=True, slots=True)
class Entry:
    """A token as a provider holds it: with when it was issued, when to start
    refreshing it, and its record exactly as the store has it."""

    token: AccessToken
    issued_at: int
    refresh_at: float
    record: bytes


class BaseTokenProvider:
    """The state the two providers share: the entry held, the store, the limits.

    The flows in :mod:`._flows` read and change it; the providers carry the
    flows out, with threads or with tasks.
    """

    def __init__(
        self,
        executor: Executor | AsyncExecutor,
        *,
        clock: Clock | None,
        operation: str,
        store: TokenStore | None,
        refresh_ahead: float | Literal["auto"],
        lease: float | None,
    ) -> None:
        lease = lease_of(executor) if lease is None else lease
        if refresh_ahead != "auto" and (
            isinstance(refresh_ahead, bool)
            or not isinstance(refresh_ahead, (int, float))
            or not 0 <= refresh_ahead < math.inf
        ):
            raise ValueError('refresh_ahead must be "auto" or a number of seconds (0: off)')
        if not 0 < lease < math.inf:
            raise ValueError("lease must be a positive number of seconds")
        self._config_of: Callable[[], Any] = lambda: executor.config
        self._clock: Clock = clock or system_clock
        self._operation = operation
        self._store: TokenStore = MemoryStore() if store is None else store
        self._ahead_seconds = refresh_ahead
        self._lease = float(lease)
        timeout = executor.http_client.timeout
        self._patience = max(self._lease, patience_of(executor, operation, timeout, self._lease))
        self._entry: Entry | None = None
        self._key: str | None = None
        # The record of a token that was refused: the next miss takes it out
        # of the store, if the store still holds it.
        self._refused: bytes | None = None
        self._ahead_backoff = RefreshBackoff()
        # Orders the changes of the entry made by callers and by a refresh
        # running in the background; reading it needs no lock.
        self._changing = threading.Lock()

    @property
    def store(self) -> TokenStore:
        return self._store

    @property
    def current(self) -> AccessToken | None:
        """The cached token, valid or not, without fetching."""
        entry = self._entry
        return None if entry is None else entry.token

    def _secrets(self) -> tuple[str | None, ...]:
        """What a log line must never show: the credentials and the token held."""
        config = self._config_of()
        entry = self._entry
        return (
            getattr(config, "client_secret", None),
            credential_of(getattr(config, "basic_token", None)),
            None if entry is None else entry.token.access_token,
        )

    def _drop(self, token: AccessToken | None) -> None:
        with self._changing:
            entry = self._entry
            if entry is None or (token is not None and entry.token is not token):
                return
            self._entry = None
            self._refused = entry.record

    def _keep(self, entry: Entry) -> None:
        # Never step back to an older token than the one held.
        with self._changing:
            held = self._entry
            if held is None or entry.token.expires_at >= held.token.expires_at:
                self._entry = entry

    def _entry_for(self, token: AccessToken, issued_at: int, record: bytes | None = None) -> Entry:
        ahead = ahead_window(self._ahead_seconds, token.expires_at - issued_at)
        if record is None:
            record = encode_record(token, issued_at)
        return Entry(token, issued_at, token.expires_at - max(ahead, 0.0), record)

    def _entry_from_answer(self, value: Any, issued_at: int) -> Entry:
        """The entry for the endpoint's token that the core read from its answer."""
        return self._entry_for(AccessToken.from_json(value), issued_at)

    def _decode(self, record: bytes | None) -> Entry | None:
        """The entry for a store's record; None for none, or one that is not a record."""
        entry = self._read_record(record)
        telemetry.store_lookup(entry is not None and self._clock() < entry.token.expires_at)
        return entry

    def _read_record(self, record: bytes | None) -> Entry | None:
        if record is None:
            return None
        try:
            token, issued_at = decode_record(record)
        except (ValueError, DecodeError):
            logger.warning(
                "token store %r holds an entry that is not a token record; treated as missing",
                self._store,
            )
            return None
        return self._entry_for(token, issued_at, record)

    def _store_key(self) -> str:
        key = self._key
        if key is None:
            key = self._key = record_key(self._config_of(), self._operation)
        return key

    def _store_failed(self, exc: BaseException) -> None:
        telemetry.lookup(telemetry.STORE_FAULT)
        wait = self._store.failed()
        logger.warning(
            "token store %r failed (%s); fetching directly, the store is tried again in %.1f s",
            self._store,
            describe_failure(exc, self._secrets()),
            wait,
        )

    def _refresh_ahead_ended(self, exc: BaseException | None) -> None:
        if exc is None:
            self._ahead_backoff.succeeded()
        else:
            self._ahead_backoff.failed(describe_failure(exc, self._secrets()))

    @contextmanager
    def _redacting(self) -> Iterator[None]:
        """Around a fetch: its error shows none of the tokens held here (the
        executor already redacts the credentials)."""
        try:
            yield
        except QuillonError as exc:
            exc._redact(self._secrets())
            raise

    def _fetch_input(self) -> dict[str, int]:
        """The token operation's input: the time it is issued at."""
        return {"now": math.floor(self._clock())}

    def _check_store(self, *, sync: bool) -> None:
        if sync and not self._store.supports_sync:
            raise TypeError(f"{self._store!r} cannot be used by a sync client")
