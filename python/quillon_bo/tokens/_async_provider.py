"""The asyncio provider: the flows carried out by tasks of the event loop."""

from __future__ import annotations

import asyncio
from collections.abc import Coroutine
from contextlib import nullcontext
from typing import TYPE_CHECKING, Any, Literal

from .. import telemetry
from ..stores import Lease, TokenStore
from ._access_token import AccessToken, Clock
from ._base import TOKEN_OPERATION, BaseTokenProvider, Entry
from ._flows import Fetch, Flow, Sleep, Step, fetch_directly, obtain, refresh_ahead

if TYPE_CHECKING:
    from ..executor import AsyncExecutor

__all__ = ["AsyncTokenProvider"]


# Counted on every lookup answered from memory: a plain number, read by the meter.
_tally = telemetry.tally


class AsyncTokenProvider(BaseTokenProvider):
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
        super().__init__(
            executor,
            clock=clock,
            operation=operation,
            store=store,
            refresh_ahead=refresh_ahead,
            lease=lease,
        )
        self._executor = executor
        # The one obtain or refresh ahead under way, which callers that find
        # no valid token wait for.
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
                if self._flight is None and self._ahead_backoff.due():
                    self._start_flight(self._refresh_ahead(entry))
                return entry.token
        telemetry.lookup(telemetry.MISS)
        while True:
            entry = self._entry
            if entry is not None and self._clock() < entry.token.expires_at:
                return entry.token
            flight = self._flight or self._start_flight(self._run(obtain(self)))
            token = await asyncio.shield(flight)
            if token is not None:
                return token

    def invalidate(self, token: AccessToken | None = None) -> None:
        self._drop(token)

    async def fetch(self) -> AccessToken:
        token = await self._run(fetch_directly(self, save=True))
        assert token is not None
        return token

    def _start_flight(
        self, work: Coroutine[Any, Any, AccessToken | None]
    ) -> asyncio.Task[AccessToken | None]:
        flight: asyncio.Task[AccessToken | None] = asyncio.ensure_future(work)
        self._flight = flight
        flight.add_done_callback(self._flight_ended)
        return flight

    def _flight_ended(self, task: asyncio.Task[AccessToken | None]) -> None:
        if self._flight is task:
            self._flight = None
        # When every waiter was cancelled nobody reads a failure; reading it
        # here keeps asyncio from reporting it as never retrieved.
        if not task.cancelled():
            task.exception()

    async def _refresh_ahead(self, entry: Entry) -> AccessToken | None:
        try:
            token = await self._run(refresh_ahead(self, entry))
        except Exception as exc:
            self._refresh_ahead_ended(exc)
            return None
        self._refresh_ahead_ended(None)
        return token

    # -- carrying out the steps ---------------------------------------------

    async def _run(self, flow: Flow) -> AccessToken | None:
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

    async def _do(self, step: Step) -> Any:
        if isinstance(step, Sleep):
            return await asyncio.sleep(step.seconds)
        if isinstance(step, Fetch):
            return await self._fetch(step.lease)
        return await step.arun(self._store)

    async def _fetch(self, lease: Lease | None) -> Entry:
        now = self._fetch_input()
        # A holder of the lock keeps it while it fetches.
        renewing = self._store.arenewing(lease) if lease is not None else nullcontext()
        with self._redacting():
            async with renewing:
                value = await self._executor.execute(self._operation, now)
        return self._entry_from_answer(value, now["now"])
