"""Refresh ahead: the back-off after a failed refresh, and a sync provider's worker.

A sync provider refreshes a token in its last stretch on a thread of its own,
so that no caller waits for it; the async provider runs the refresh as a task
of its loop and needs only the back-off.
"""

from __future__ import annotations

import logging
import threading
import time
import weakref
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._provider import TokenProvider

__all__ = ["RefreshBackoff", "RefreshWorker"]

logger = logging.getLogger("quillon_bo.tokens")

#: After a failed refresh ahead, seconds before the next one may start
#: (doubled for each failure in a row, up to MAX_AHEAD_RETRY).
AHEAD_RETRY = 1.0
MAX_AHEAD_RETRY = 60.0


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


class RefreshWorker:
    """The parked thread that refreshes a sync provider's token ahead of its end.

    One per provider, started at its first refresh ahead: waking it costs a
    caller far less than starting a thread would. The thread holds the
    provider only while refreshing, and ends when the provider is collected.
    """

    def __init__(self, provider: TokenProvider) -> None:
        self._wake = threading.Event()
        thread = threading.Thread(
            target=_park,
            args=(weakref.ref(provider), self._wake),
            name="quillon_bo-refresh",
            daemon=True,
        )
        weakref.finalize(provider, self._wake.set)
        thread.start()

    def wake(self) -> None:
        self._wake.set()


def _park(ref: weakref.ref[TokenProvider], wake: threading.Event) -> None:
    while True:
        wake.wait()
        wake.clear()
        provider = ref()
        if provider is None:
            return
        provider._refresh_ahead()
        del provider
