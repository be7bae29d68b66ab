"""Access tokens and the providers that fetch, cache, share and refresh them.

A provider keeps two levels: its own copy in memory, looked at on every call,
and a :mod:`store <quillon_bo.stores>`, read only when that copy is missing or
has ended. What happens on a miss (look in the store, take the store's lock,
look again, fetch, write, release; or wait for the lock's holder) is written
once, as a generator of steps (:func:`_Cache._obtain`); the sync and async
providers only carry the steps out.
"""

from __future__ import annotations

import asyncio
import json
import logging
import math
import os
import threading
import time
import weakref
from collections.abc import Callable, Coroutine, Generator, Mapping
from concurrent.futures import Future
from dataclasses import dataclass
from typing import Any, Literal, cast

import httpx

from . import telemetry as _telemetry
from ._redact import credential_of, excerpt
from .core import call_core
from .errors import DecodeError, QuillonError
from .executor import AsyncExecutor, BaseExecutor, Executor, deadline_for
from .stores import DEFAULT_LEASE, Lease, MemoryStore, TokenStore, store_key

__all__ = [
    "AccessToken",
    "AsyncTokenProvider",
    "Clock",
    "TokenProvider",
    "lease_for",
    "system_clock",
]

logger = logging.getLogger("quillon_bo.tokens")
# Counted on every lookup answered from memory: a plain number, read by the meter.
_tally = _telemetry.tally

#: A clock gives the current time in seconds; only its whole seconds are used.
Clock = Callable[[], float]

#: The name of the core's operation that issues tokens.
TOKEN_OPERATION = "token"
#: With ``refresh_ahead="auto"`` a token is refreshed in its last tenth...
AHEAD_SHARE = 0.1
#: ...but never earlier than this many seconds before its end.
MAX_AHEAD = 300.0
#: Waiting for another holder's token: the first and the longest pause.
MIN_POLL = 0.01
MAX_POLL = 0.2
#: After a failed refresh ahead, seconds before the next one may start
#: (doubled for each failure in a row, up to MAX_AHEAD_RETRY).
AHEAD_RETRY = 1.0
MAX_AHEAD_RETRY = 60.0


def system_clock() -> int:
    """The default clock: ``time.time()`` in whole seconds."""
    # time_ns() and an integer division are cheaper than int(time.time()): this
    # runs on every cached lookup.
    return time.time_ns() // 1_000_000_000


@dataclass(frozen=True, slots=True, repr=False)
class AccessToken:
    """A bearer credential and the absolute time (seconds) at which it ends.

    ``expires_at`` is already 60 seconds before the end of the lifetime that
    the endpoint stated, so a token is good while ``now < expires_at``. The
    repr never shows the credential itself.
    """

    access_token: str
    token_type: str
    expires_at: int
    scope: str | None = None

    def __repr__(self) -> str:
        return (
            f"AccessToken(access_token=<hidden>, token_type={self.token_type!r}, "
            f"expires_at={self.expires_at}, scope={self.scope!r})"
        )

    __str__ = __repr__

    def is_valid(self, now: float) -> bool:
        return now < self.expires_at

    @property
    def authorization(self) -> str:
        """The value of an Authorization header that presents this token."""
        # An endpoint that names no scheme (an empty or blank token_type) still
        # issues a bearer credential; a header of " <token>" would be refused.
        scheme = self.token_type.strip() or "Bearer"
        return f"{scheme} {self.access_token}"

    def to_json(self) -> dict[str, Any]:
        return {
            "access_token": self.access_token,
            "expires_at": self.expires_at,
            "scope": self.scope,
            "token_type": self.token_type,
        }

    @classmethod
    def from_json(cls, value: Any) -> AccessToken:
        if not isinstance(value, Mapping):
            raise DecodeError(f"access token record is not an object: {type(value).__name__}")
        access_token = value.get("access_token")
        token_type = value.get("token_type")
        expires_at = value.get("expires_at")
        scope = value.get("scope")
        if (
            not isinstance(access_token, str)
            or not isinstance(token_type, str)
            or not isinstance(expires_at, int)
            or isinstance(expires_at, bool)
            or not (scope is None or isinstance(scope, str))
        ):
            raise DecodeError("access token record has missing or mistyped members")
        return cls(access_token, token_type, expires_at, scope)


def _now_input(clock: Clock) -> dict[str, int]:
    return {"now": math.floor(clock())}


def _lease_of(executor: BaseExecutor) -> float:
    options = executor.options
    return lease_for(options.deadline, options.timeout)


def _patience_of(
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


def lease_for(deadline: float | str | None, timeout: httpx.Timeout | float | None) -> float:
    """The lock's lease for a client: :data:`DEFAULT_LEASE`, never more than
    one attempt's deadline (``deadline`` and ``timeout`` as the client takes them)."""
    if deadline == "auto" and timeout is None:
        return DEFAULT_LEASE  # the client's own time-outs are not known here
    timeouts = {} if timeout is None else httpx.Timeout(timeout).as_dict()
    seconds = deadline_for(cast("float | Literal['auto'] | None", deadline), timeouts)
    return DEFAULT_LEASE if seconds is None else min(DEFAULT_LEASE, seconds)


@dataclass(frozen=True, slots=True)
class _Entry:
    """A token as a provider holds it: with when it was issued, when to start
    refreshing it, and its record exactly as the store has it."""

    token: AccessToken
    issued_at: int
    refresh_at: float
    record: bytes


#: A step of a flow: ("load", key), ("save", key, record, ttl, lease),
#: ("delete", key, record), ("acquire", key, seconds), ("release", lease),
#: ("fetch",), ("fetch", lease) by a holder of the lock, or ("sleep", seconds).
_Step = tuple[Any, ...]
_Flow = Generator[_Step, Any, "AccessToken | None"]

_RECORD_MEMBERS = frozenset({"access_token", "expires_at", "issued_at", "scope", "token_type"})


def _describe(exc: BaseException, secrets: tuple[str | None, ...]) -> str:
    # This package's errors are redacted already, but a log line also keeps
    # out the tokens held here and is one short line whatever the gateway
    # sent; another store's exception is named by its type alone.
    if isinstance(exc, QuillonError):
        # The message is cut, never where and how often the request failed.
        return f"{type(exc).__name__}: {excerpt(exc.message, secrets)}{exc._facts()}"
    if isinstance(exc, OSError) and exc.strerror:
        return excerpt(f"{type(exc).__name__}: {exc.strerror}", secrets)
    return type(exc).__name__


class _Cache:
    """Everything the two providers share: the entry, the store, and the flows."""

    def __init__(
        self,
        config_of: Callable[[], Any],
        *,
        clock: Clock | None,
        operation: str,
        store: TokenStore | None,
        refresh_ahead: float | Literal["auto"],
        lease: float,
        patience: float,
    ) -> None:
        if refresh_ahead != "auto" and (
            isinstance(refresh_ahead, bool)
            or not isinstance(refresh_ahead, (int, float))
            or not 0 <= refresh_ahead < math.inf
        ):
            raise ValueError('refresh_ahead must be "auto" or a number of seconds (0: off)')
        if not 0 < lease < math.inf:
            raise ValueError("lease must be a positive number of seconds")
        self._config_of = config_of
        self._clock: Clock = clock or system_clock
        self._operation = operation
        self._store: TokenStore = MemoryStore() if store is None else store
        self._ahead_seconds = refresh_ahead
        self._lease = float(lease)
        self._patience = max(self._lease, patience)
        self._entry: _Entry | None = None
        self._key: str | None = None
        # The record of a token that was refused: the next miss takes it out
        # of the store, if the store still holds it.
        self._refused: bytes | None = None
        self._ahead_not_before = 0.0
        self._ahead_failures = 0
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

    # -- entries and records ----------------------------------------------

    def _entry_for(self, token: AccessToken, issued_at: int, record: bytes | None = None) -> _Entry:
        lifetime = token.expires_at - issued_at
        if self._ahead_seconds == "auto":
            ahead = min(AHEAD_SHARE * lifetime, MAX_AHEAD)
        else:
            # A window longer than half the lifetime would refresh every token
            # almost as soon as it arrives.
            ahead = min(float(self._ahead_seconds), lifetime / 2)
        if record is None:
            members = {**token.to_json(), "issued_at": issued_at}
            record = json.dumps(members, separators=(",", ":"), sort_keys=True).encode()
        return _Entry(token, issued_at, token.expires_at - max(ahead, 0.0), record)

    def _decode(self, record: bytes | None) -> _Entry | None:
        entry = self._read_record(record)
        _telemetry.store_lookup(entry is not None and self._clock() < entry.token.expires_at)
        return entry

    def _read_record(self, record: bytes | None) -> _Entry | None:
        if record is None:
            return None
        try:
            members = json.loads(record)
            if not isinstance(members, dict) or set(members) != _RECORD_MEMBERS:
                raise DecodeError("not a token record")
            issued_at = members["issued_at"]
            if not isinstance(issued_at, int) or isinstance(issued_at, bool):
                raise DecodeError("not a token record")
            token = AccessToken.from_json(members)
        except (ValueError, DecodeError):
            logger.warning(
                "token store %r holds an entry that is not a token record; treated as missing",
                self._store,
            )
            return None
        return self._entry_for(token, issued_at, record)

    def _keep(self, entry: _Entry) -> None:
        # Never step back to an older token than the one held.
        with self._changing:
            held = self._entry
            if held is None or entry.token.expires_at >= held.token.expires_at:
                self._entry = entry

    def _store_key(self) -> str:
        key = self._key
        if key is None:
            config = self._config_of()
            described = call_core(
                f"{self._operation}.build",
                {"config": config.to_json(), "token": None, "input": {"now": 0}},
            )
            key = self._key = store_key(str(described["url"]), config.client_id)
        return key

    def _store_failed(self, exc: BaseException) -> None:
        _telemetry.lookup(_telemetry.STORE_FAULT)
        wait = self._store.failed()
        logger.warning(
            "token store %r failed (%s); fetching directly, the store is tried again in %.1f s",
            self._store,
            _describe(exc, self._secrets()),
            wait,
        )

    # -- the flows ----------------------------------------------------------

    def _obtain(self) -> _Flow:
        """A valid token, from the store or fetched by the one holder of its lock."""
        store = self._store
        if not store.usable():
            return (yield from self._direct())
        key = self._store_key()
        try:
            refused, self._refused = self._refused, None
            if refused is not None:
                yield ("delete", key, refused)
            found = self._decode((yield ("load", key)))
        except Exception as exc:
            self._store_failed(exc)
            return (yield from self._direct())
        store.succeeded()
        if found is not None and self._clock() < found.token.expires_at:
            self._keep(found)
            return found.token
        started = time.monotonic()
        pause = MIN_POLL
        while True:
            try:
                lease: Lease | None = yield ("acquire", key, self._lease)
            except Exception as exc:
                self._store_failed(exc)
                return (yield from self._direct())
            if lease is not None:
                return (yield from self._fetch_holding(key, lease, None))
            # A live holder keeps the lock (a file lock is held, a Redis
            # lease renewed) however slow its fetch; a dead one loses it with
            # its lease, and then one waiter takes it. Only a holder slower
            # than any fetch of ours could be is given up on.
            left = self._patience - (time.monotonic() - started)
            if left <= 0:
                logger.warning(
                    "the lock of token store %r was held for %.1f s, longer than a fetch may "
                    "take; fetching directly",
                    store,
                    self._patience,
                )
                return (yield from self._direct(save=True))
            yield ("sleep", min(pause, left))
            pause = min(pause * 2, MAX_POLL)
            try:
                found = self._decode((yield ("load", key)))
            except Exception as exc:
                self._store_failed(exc)
                return (yield from self._direct())
            if found is not None and self._clock() < found.token.expires_at:
                self._keep(found)
                return found.token

    def _fetch_holding(self, key: str, lease: Lease, newer_than: _Entry | None) -> _Flow:
        """Holding the lock: look once more (a token may have arrived between
        the first look and the lock), else fetch and write."""
        try:
            try:
                found = self._decode((yield ("load", key)))
            except Exception:
                found = None
            if (
                found is not None
                and self._clock() < found.token.expires_at
                and (newer_than is None or found.token.expires_at > newer_than.token.expires_at)
            ):
                self._keep(found)
                return found.token
            entry: _Entry = yield ("fetch", lease)
            self._keep(entry)
            try:
                yield ("save", key, entry.record, entry.token.expires_at - self._clock(), lease)
            except Exception as exc:
                self._store_failed(exc)
            return entry.token
        finally:
            try:
                yield ("release", lease)
            except Exception as exc:
                # The lease ends by itself; only the next holder waits for it.
                self._store_failed(exc)

    def _direct(self, *, save: bool = False) -> _Flow:
        entry: _Entry = yield ("fetch",)
        self._keep(entry)
        if save and self._store.usable():
            try:
                yield (
                    "save",
                    self._store_key(),
                    entry.record,
                    entry.token.expires_at - self._clock(),
                    None,
                )
            except Exception as exc:
                self._store_failed(exc)
        return entry.token

    def _fetch_now(self) -> _Flow:
        return (yield from self._direct(save=True))

    def _ahead_flow(self, held: _Entry) -> _Flow:
        """Refresh a token that is still valid, for the whole fleet at once.

        Returns the new token, or None when another holder of the store's
        lock is refreshing and its token has not arrived within the lease (a
        later caller tries again; the held token stays meanwhile).
        """
        _telemetry.refresh_ahead(held.token.expires_at - self._clock())
        store = self._store
        if not store.usable():
            return (yield from self._direct())
        key = self._store_key()
        try:
            found = self._decode((yield ("load", key)))
            if found is not None and found.token.expires_at > held.token.expires_at:
                self._keep(found)
                return found.token
            lease: Lease | None = yield ("acquire", key, self._lease)
        except Exception as exc:
            self._store_failed(exc)
            return (yield from self._direct())
        store.succeeded()
        if lease is not None:
            return (yield from self._fetch_holding(key, lease, held))
        started = time.monotonic()
        pause = MIN_POLL
        while (left := self._lease - (time.monotonic() - started)) > 0:
            yield ("sleep", min(pause, left))
            pause = min(pause * 2, MAX_POLL)
            try:
                found = self._decode((yield ("load", key)))
            except Exception as exc:
                self._store_failed(exc)
                return None
            if found is not None and found.token.expires_at > held.token.expires_at:
                self._keep(found)
                return found.token
        return None

    def _ahead_done(self, exc: BaseException | None) -> None:
        if exc is None:
            self._ahead_failures = 0
            return
        wait = min(AHEAD_RETRY * 2**self._ahead_failures, MAX_AHEAD_RETRY)
        self._ahead_failures = min(self._ahead_failures + 1, 16)
        self._ahead_not_before = time.monotonic() + wait
        logger.warning(
            "refreshing the token ahead of its end failed (%s); the current token is kept "
            "and the refresh tried again in %.0f s at the earliest",
            _describe(exc, self._secrets()),
            wait,
        )

    def _fetched(self, value: Any, issued_at: int) -> _Entry:
        return self._entry_for(AccessToken.from_json(value), issued_at)

    def _check_store(self, *, sync: bool) -> None:
        if sync and not self._store.supports_sync:
            raise TypeError(f"{self._store!r} cannot be used by a sync client")


class TokenProvider(_Cache):
    """Fetches a token on first use and keeps it while ``clock() < expires_at``.

    Thread-safe: however many threads ask while no valid token is held, one
    request goes to the token endpoint and every one of them gets its outcome.
    With a shared ``store`` (:class:`~quillon_bo.stores.FileStore`,
    :class:`~quillon_bo.stores.RedisStore`) that holds across processes and
    machines: one holder of the store's lock fetches and the others read its
    token from the store. A failed fetch caches nothing; the next call tries
    again. Retries and timeouts are the executor's.

    ``refresh_ahead``: in a valid token's last ``refresh_ahead`` seconds
    (``"auto"``: a tenth of its lifetime, at most 300 s; 0: off) the first
    caller that notices wakes a background thread that refreshes it, while
    every caller keeps getting the valid token. ``lease`` (seconds): how long
    the store's lock outlasts a holder that died (by default 10 s, never more
    than the executor's deadline for one attempt); a holder renews it while it
    fetches, and the others wait for a live holder as long as a fetch of
    their own may take, then fetch themselves.
    """

    def __init__(
        self,
        executor: Executor,
        *,
        clock: Clock | None = None,
        operation: str = TOKEN_OPERATION,
        store: TokenStore | None = None,
        refresh_ahead: float | Literal["auto"] = "auto",
        lease: float | None = None,
    ) -> None:
        lease = _lease_of(executor) if lease is None else lease
        super().__init__(
            lambda: executor.config,
            clock=clock,
            operation=operation,
            store=store,
            refresh_ahead=refresh_ahead,
            lease=lease,
            patience=_patience_of(executor, operation, executor.http_client.timeout, lease),
        )
        self._check_store(sync=True)
        self._executor = executor
        self._lock = threading.Lock()
        self._flight: Future[AccessToken | None] | None = None
        self._wake: threading.Event | None = None
        self._pid = os.getpid()
        self._pending: _Entry | None = None

    def __repr__(self) -> str:
        return f"TokenProvider(store={self._store!r})"

    def get(self) -> AccessToken:
        """A valid token: the cached one, or one from the store, or a new one."""
        entry = self._entry
        if entry is not None:
            now = self._clock()
            if now < entry.refresh_at:
                _tally.hit += 1
                return entry.token
            if now < entry.token.expires_at:
                _tally.hit += 1
                if self._flight is None:
                    self._notice(entry)
                return entry.token
        _telemetry.lookup(_telemetry.MISS)
        return self._refresh()

    def invalidate(self, token: AccessToken | None = None) -> None:
        """Drop the cached token (only if it is ``token``, when one is given).

        Passing the token that was refused lets many callers that saw the same
        refusal cause one refresh, not one each; the next miss also takes it
        out of a shared store, if the store still holds that same token.
        """
        self._drop(token)

    def fetch(self) -> AccessToken:
        """Fetch a new token now, whatever is cached, and cache (and store) it."""
        token = self._run(self._fetch_now())
        assert token is not None
        return token

    def _after_fork(self) -> None:
        # A child of fork() has none of its parent's other threads: a fetch or
        # a refresh they were running never ends here, a lock they held is
        # never released, and the parked refresher is gone.
        if self._pid != os.getpid():
            self._pid = os.getpid()
            self._lock = threading.Lock()
            self._flight = None
            self._wake = None

    def _refresh(self) -> AccessToken:
        self._after_fork()
        while True:
            with self._lock:
                entry = self._entry
                if entry is not None and self._clock() < entry.token.expires_at:
                    return entry.token
                flight = self._flight
                leader = flight is None
                if flight is None:
                    flight = self._flight = Future()
            if not leader:
                shared = flight.result()
                if shared is not None:
                    return shared
                continue
            try:
                token = self._run(self._obtain())
            except BaseException as exc:
                with self._lock:
                    self._flight = None
                flight.set_exception(exc)
                raise
            with self._lock:
                self._flight = None
            flight.set_result(token)
            assert token is not None
            return token

    # -- refresh ahead ------------------------------------------------------

    def _notice(self, entry: _Entry) -> None:
        self._after_fork()
        with self._lock:
            if self._flight is not None or time.monotonic() < self._ahead_not_before:
                return
            self._flight = Future()
            self._pending = entry
            wake = self._wake
            if wake is None:
                wake = self._wake = threading.Event()
                worker = threading.Thread(
                    target=_ahead_worker,
                    args=(weakref.ref(self), wake),
                    name="quillon_bo-refresh",
                    daemon=True,
                )
                weakref.finalize(self, wake.set)
                worker.start()
        wake.set()

    def _refresh_ahead(self) -> None:
        flight, held = self._flight, self._pending
        if flight is None or held is None:
            return
        token: AccessToken | None = None
        try:
            token = self._run(self._ahead_flow(held))
        except Exception as exc:
            self._ahead_done(exc)
        else:
            self._ahead_done(None)
        finally:
            with self._lock:
                self._flight = None
            # Callers that found the token ended meanwhile waited for this;
            # with no new token they look again themselves.
            flight.set_result(token)

    # -- carrying out the steps ---------------------------------------------

    def _run(self, flow: _Flow) -> AccessToken | None:
        value: Any = None
        error: BaseException | None = None
        while True:
            try:
                step = flow.send(value) if error is None else flow.throw(error)
            except StopIteration as done:
                result: AccessToken | None = done.value
                return result
            value, error = None, None
            try:
                value = self._do(step)
            except BaseException as exc:
                error = exc

    def _do(self, step: _Step) -> Any:
        op = step[0]
        store = self._store
        if op == "load":
            return store.load(step[1])
        if op == "acquire":
            return store.acquire(step[1], step[2])
        if op == "release":
            return store.release(step[1])
        if op == "save":
            return store.save(step[1], step[2], step[3], step[4])
        if op == "delete":
            return store.delete_if(step[1], step[2])
        if op == "sleep":
            return time.sleep(step[1])
        now = _now_input(self._clock)
        try:
            if len(step) > 1:  # a holder of the lock keeps it while it fetches
                with store.renewing(step[1]):
                    value = self._executor.execute(self._operation, now)
            else:
                value = self._executor.execute(self._operation, now)
        except QuillonError as exc:
            # The executor redacts the credentials; the tokens are held here.
            exc._redact(self._secrets())
            raise
        return self._fetched(value, now["now"])


def _ahead_worker(ref: weakref.ref[TokenProvider], wake: threading.Event) -> None:
    # One parked thread per provider: waking it costs a caller far less than
    # starting a thread would. It holds the provider only while refreshing,
    # and ends when the provider is collected.
    while True:
        wake.wait()
        wake.clear()
        provider = ref()
        if provider is None:
            return
        provider._refresh_ahead()
        del provider


class AsyncTokenProvider(_Cache):
    """The asyncio counterpart of :class:`TokenProvider`.

    Tasks of one event loop that ask at once while no valid token is held share
    one fetch; a caller that is cancelled does not cancel the fetch for the
    others. A refresh ahead runs as a task of the loop.
    """

    def __init__(
        self,
        executor: AsyncExecutor,
        *,
        clock: Clock | None = None,
        operation: str = TOKEN_OPERATION,
        store: TokenStore | None = None,
        refresh_ahead: float | Literal["auto"] = "auto",
        lease: float | None = None,
    ) -> None:
        lease = _lease_of(executor) if lease is None else lease
        super().__init__(
            lambda: executor.config,
            clock=clock,
            operation=operation,
            store=store,
            refresh_ahead=refresh_ahead,
            lease=lease,
            patience=_patience_of(executor, operation, executor.http_client.timeout, lease),
        )
        self._executor = executor
        self._flight: asyncio.Task[AccessToken | None] | None = None

    def __repr__(self) -> str:
        return f"AsyncTokenProvider(store={self._store!r})"

    async def get(self) -> AccessToken:
        entry = self._entry
        if entry is not None:
            now = self._clock()
            if now < entry.refresh_at:
                _tally.hit += 1
                return entry.token
            if now < entry.token.expires_at:
                _tally.hit += 1
                if self._flight is None and time.monotonic() >= self._ahead_not_before:
                    self._start(self._ahead(entry))
                return entry.token
        _telemetry.lookup(_telemetry.MISS)
        while True:
            entry = self._entry
            if entry is not None and self._clock() < entry.token.expires_at:
                return entry.token
            flight = self._flight or self._start(self._obtain_task())
            token = await asyncio.shield(flight)
            if token is not None:
                return token

    def invalidate(self, token: AccessToken | None = None) -> None:
        self._drop(token)

    async def fetch(self) -> AccessToken:
        token = await self._run(self._fetch_now())
        assert token is not None
        return token

    def _start(
        self, work: Coroutine[Any, Any, AccessToken | None]
    ) -> asyncio.Task[AccessToken | None]:
        flight: asyncio.Task[AccessToken | None] = asyncio.ensure_future(work)
        self._flight = flight
        flight.add_done_callback(self._landed)
        return flight

    def _landed(self, task: asyncio.Task[AccessToken | None]) -> None:
        if self._flight is task:
            self._flight = None
        # When every waiter was cancelled nobody reads a failure; reading it
        # here keeps asyncio from reporting it as never retrieved.
        if not task.cancelled():
            task.exception()

    async def _obtain_task(self) -> AccessToken | None:
        return await self._run(self._obtain())

    async def _ahead(self, entry: _Entry) -> AccessToken | None:
        try:
            token = await self._run(self._ahead_flow(entry))
        except Exception as exc:
            self._ahead_done(exc)
            return None
        self._ahead_done(None)
        return token

    async def _run(self, flow: _Flow) -> AccessToken | None:
        value: Any = None
        error: BaseException | None = None
        while True:
            try:
                step = flow.send(value) if error is None else flow.throw(error)
            except StopIteration as done:
                result: AccessToken | None = done.value
                return result
            value, error = None, None
            try:
                value = await self._do(step)
            except BaseException as exc:
                error = exc

    async def _do(self, step: _Step) -> Any:
        op = step[0]
        store = self._store
        if op == "load":
            return await store.aload(step[1])
        if op == "acquire":
            return await store.aacquire(step[1], step[2])
        if op == "release":
            return await store.arelease(step[1])
        if op == "save":
            return await store.asave(step[1], step[2], step[3], step[4])
        if op == "delete":
            return await store.adelete_if(step[1], step[2])
        if op == "sleep":
            return await asyncio.sleep(step[1])
        now = _now_input(self._clock)
        try:
            if len(step) > 1:  # a holder of the lock keeps it while it fetches
                async with store.arenewing(step[1]):
                    value = await self._executor.execute(self._operation, now)
            else:
                value = await self._executor.execute(self._operation, now)
        except QuillonError as exc:
            # The executor redacts the credentials; the tokens are held here.
            exc._redact(self._secrets())
            raise
        return self._fetched(value, now["now"])
