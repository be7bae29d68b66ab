"""Access tokens and the providers that fetch, cache, share and refresh them.

A provider keeps two levels: its own copy in memory, looked at on every call,
and a :mod:`store <quillon_bo.stores>`, read only when that copy is missing or
has ended. What happens on a miss (look in the store, take the store's lock,
look again, fetch, write, release; or wait for the lock's holder) is written
once, as a flow of typed steps free of I/O; :class:`TokenProvider` carries the
steps out with threads and :class:`AsyncTokenProvider` with asyncio tasks.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._access_token import AccessToken, Clock, system_clock
from ._base import lease_for
from ._provider import TokenProvider

if TYPE_CHECKING:
    from ._async_provider import AsyncTokenProvider

# Inside, by concern: _access_token (the token, its record in a store and the
# record's key), _base (what both providers hold: the entry, the store, the
# lock's lease, a waiter's patience, the back-off of refresh ahead), _flows
# (the steps and the flows), _refresh_worker (the thread on which a sync
# provider refreshes ahead), _provider and _async_provider. The async
# provider is imported when first asked for: sync code never imports asyncio
# on its account.

__all__ = [
    "AccessToken",
    "AsyncTokenProvider",
    "Clock",
    "TokenProvider",
    "lease_for",
    "system_clock",
]


def __getattr__(name: str) -> Any:
    if name == "AsyncTokenProvider":
        from ._async_provider import AsyncTokenProvider

        globals()[name] = AsyncTokenProvider
        return AsyncTokenProvider
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
