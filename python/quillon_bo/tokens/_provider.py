"""The sync provider: the flows carried out by the calling threads."""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable
from concurrent.futures import Future
from contextlib import nullcontext
from typing import TYPE_CHECKING, Any, Literal

from .. import telemetry
from ..stores import Lease, TokenStore
from ._access_token import AccessToken, Clock
from ._base import TOKEN_OPERATION, BaseTokenProvider, Entry
from ._flows import Fetch, Flow, Sleep, Step, fetch_directly, obtain
from ._refresh_worker import RefreshWorker, start_refresh_ahead

if TYPE_CHECKING:
    from ..executor import Executor

__all__ = ["TokenProvider"]


# Counted on every lookup answered from memory: a plain number, read by the meter.
_tally = telemetry.tally


def _drive(flow: Flow, do: Callable[[Step], Any]) -> AccessToken | None:
    """Carry ``flow`` out, each step by ``do``, on the calling thread."""
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
            value = do(step)
        except BaseException as exc:
            error = exc


class TokenProvider(BaseTokenProvider):
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
        super().__init__(
            executor,
            clock=clock,
            operation=operation,
            store=store,
            refresh_ahead=refresh_ahead,
            lease=lease,
        )
        self._check_store(sync=True)
        self._executor = executor
        self._lock = threading.Lock()
        self._flight: Future[AccessToken | None] | None = None
        self._worker: RefreshWorker | None = None
        self._pid = os.getpid()

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
                    start_refresh_ahead(self, entry)
                return entry.token
        telemetry.lookup(telemetry.MISS)
        return self._obtain_shared()

    def invalidate(self, token: AccessToken | None = None) -> None:
        """Drop the cached token (only if it is ``token``, when one is given).

        Passing the token that was refused lets many callers that saw the same
        refusal cause one refresh, not one each; the next miss also takes it
        out of a shared store, if the store still holds that same token.
        """
        self._drop(token)

    def fetch(self) -> AccessToken:
        """Fetch a new token now, whatever is cached, and cache (and store) it."""
        token = self._run(fetch_directly(self, save=True))
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
            self._worker = None

    def _obtain_shared(self) -> AccessToken:
        """On a miss: obtain a token, or wait for the thread obtaining (or refreshing) one."""
        self._after_fork()
        while True:
            with self._lock:
                entry = self._entry
                if entry is not None and self._clock() < entry.token.expires_at:
                    return entry.token
                flight = self._flight
                if flight is None:  # this thread leads the flight
                    flight = self._flight = Future()
                    break
            shared = flight.result()
            if shared is not None:
                return shared
        try:
            token = self._run(obtain(self))
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

    # -- carrying out the steps ---------------------------------------------

    def _run(self, flow: Flow) -> AccessToken | None:
        return _drive(flow, self._do)

    def _do(self, step: Step) -> Any:
        if isinstance(step, Sleep):
            return time.sleep(step.seconds)
        if isinstance(step, Fetch):
            return self._fetch(step.lease)
        return step.run(self._store)

    def _fetch(self, lease: Lease | None) -> Entry:
        now = self._fetch_input()
        # A holder of the lock keeps it while it fetches.
        renewing = self._store.renewing(lease) if lease is not None else nullcontext()
        with self._redacting(), renewing:
            value = self._executor.execute(self._operation, now)
        return self._entry_from_answer(value, now["now"])
