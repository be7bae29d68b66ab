"""Refresh ahead for a sync provider: the worker thread that renews its token.

A sync provider refreshes a token in its last stretch on a thread of its own,
so that no caller waits for it: :func:`start_refresh_ahead` wakes it, and it
runs the :func:`~._flows.refresh_ahead` flow as the provider's one flight, so
that callers who find the token ended meanwhile wait for it rather than fetch
again. The async provider runs the same flow as a task of its loop.
"""

from __future__ import annotations

import threading
import weakref
from concurrent.futures import Future
from typing import TYPE_CHECKING

from ._flows import refresh_ahead

if TYPE_CHECKING:
    from ._access_token import AccessToken
    from ._base import Entry
    from ._provider import TokenProvider

__all__ = ["RefreshWorker", "start_refresh_ahead"]


def start_refresh_ahead(provider: TokenProvider, entry: Entry) -> None:
    """Wake the provider's worker to renew ``entry``, unless a flight is under
    way or the back-off after a failed refresh says not yet."""
    provider._after_fork()
    with provider._lock:
        if provider._flight is not None or not provider._ahead_backoff.due():
            return
        provider._flight = Future()
        worker = provider._worker
        if worker is None:
            worker = provider._worker = RefreshWorker(provider)
        worker.pending = entry
    worker.wake()


class RefreshWorker:
    """The parked thread that refreshes a sync provider's token ahead of its end.

    One per provider, started at its first refresh ahead: waking it costs a
    caller far less than starting a thread would. The thread holds the
    provider only while refreshing, and ends when the provider is collected.
    """

    def __init__(self, provider: TokenProvider) -> None:
        #: The entry to renew, set before each wake.
        self.pending: Entry | None = None
        self._wake = threading.Event()
        thread = threading.Thread(
            target=_park,
            args=(weakref.ref(provider), self),
            name="quillon_bo-refresh",
            daemon=True,
        )
        weakref.finalize(provider, self._wake.set)
        thread.start()

    def wake(self) -> None:
        self._wake.set()


def _park(ref: weakref.ref[TokenProvider], worker: RefreshWorker) -> None:
    while True:
        worker._wake.wait()
        worker._wake.clear()
        provider = ref()
        if provider is None:
            return
        _refresh(provider, worker.pending)
        del provider


def _refresh(provider: TokenProvider, held: Entry | None) -> None:
    flight = provider._flight
    if flight is None or held is None:
        return
    token: AccessToken | None = None
    try:
        token = provider._run(refresh_ahead(provider, held))
    except Exception as exc:
        provider._refresh_ahead_ended(exc)
    else:
        provider._refresh_ahead_ended(None)
    finally:
        with provider._lock:
            provider._flight = None
        # Callers that found the token ended meanwhile waited for this; with
        # no new token they look again themselves.
        flight.set_result(token)
