"""The sync provider: the flows carried out by the calling threads."""

from __future__ import annotations

import os
import threading
import time
from concurrent.futures import Future
from typing import TYPE_CHECKING, Any, Literal

from ..errors import QuillonError
from ..stores import Lease, TokenStore
from ._base import TOKEN_OPERATION, BaseTokenProvider, Entry, lease_of, patience_of
from ._flows import Fetch, Flow, Sleep, Step, fetch_directly, obtain, refresh_ahead
from ._refresh_worker import RefreshWorker
from ._token import AccessToken, Clock

if TYPE_CHECKING:
    from ..executor import Executor

__all__ = ["TokenProvider"]


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
        lease = lease_of(executor) if lease is None else lease
        super().__init__(
            lambda: executor.config,
            clock=clock,
            operation=operation,
            store=store,
            refresh_ahead=refresh_ahead,
            lease=lease,
            patience=patience_of(executor, operation, executor.http_client.timeout, lease),
        )
        self._check_store(sync=True)
        self._executor = executor
        self._lock = threading.Lock()
        # The one obtain or refresh ahead under way, which callers that find
        # no valid token wait for.
        self._flight: Future[AccessToken | None] | None = None
        self._worker: RefreshWorker | None = None
        self._pid = os.getpid()
        self._pending: Entry | None = None

    def __repr__(self) -> str:
        return f"TokenProvider(store={self._store!r})"

    def get(self) -> AccessToken:
        """A valid token: the cached one, or one from the store, or a new one."""
        entry = self._entry
        if entry is not None:
            now = self._clock()
            if now < entry.refresh_at:
                return entry.token
            if now < entry.token.expires_at:
                if self._flight is None:
                    self._start_refresh_ahead(entry)
                return entry.token
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
        """A valid token on a miss: this thread obtains it, or waits for the
        thread that is obtaining (or refreshing) one."""
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

    def _start_refresh_ahead(self, entry: Entry) -> None:
        """Wake the worker to renew ``entry``, unless a flight or the back-off
        after a failed refresh says not now."""
        self._after_fork()
        with self._lock:
            if self._flight is not None or not self._ahead_backoff.due():
                return
            self._flight = Future()
            self._pending = entry
            worker = self._worker
            if worker is None:
                worker = self._worker = RefreshWorker(self)
        worker.wake()

    def _refresh_ahead(self) -> None:
        """On the worker's thread: renew the pending entry."""
        flight, held = self._flight, self._pending
        if flight is None or held is None:
            return
        token: AccessToken | None = None
        try:
            token = self._run(refresh_ahead(self, held))
        except Exception as exc:
            self._refresh_ahead_ended(exc)
        else:
            self._refresh_ahead_ended(None)
        finally:
            with self._lock:
                self._flight = None
            # Callers that found the token ended meanwhile waited for this;
            # with no new token they look again themselves.
            flight.set_result(token)

    # -- carrying out the steps ---------------------------------------------

    def _run(self, flow: Flow) -> AccessToken | None:
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

    def _do(self, step: Step) -> Any:
        if isinstance(step, Sleep):
            return time.sleep(step.seconds)
        if isinstance(step, Fetch):
            return self._fetch(step.lease)
        return step.run(self._store)

    def _fetch(self, lease: Lease | None) -> Entry:
        now = self._fetch_input()
        try:
            if lease is None:
                value = self._executor.execute(self._operation, now)
            else:  # a holder of the lock keeps it while it fetches
                with self._store.renewing(lease):
                    value = self._executor.execute(self._operation, now)
        except QuillonError as exc:
            # The executor redacts the credentials; the tokens are held here.
            exc._redact(self._secrets())
            raise
        return self._entry_from_answer(value, now["now"])
