"""The asyncio driver: :class:`AsyncExecutor` runs the flow over an
``httpx.AsyncClient``.

asyncio is imported on first use, not with this module: a program that only
ever sends synchronously never pays for it.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Awaitable, Callable, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any

import httpx

from .. import telemetry
from ..config import Config
from .failures import SEND_FAILURES, late_timeout
from .flow import (
    NO_AUTH,
    Answer,
    BaseExecutor,
    Outcome,
    Send,
    Wait,
    oversize_error,
    refuse_declared_oversize,
    whole_answer,
)
from .options import DEFAULT_TIMEOUT, ExecutorOptions, OptionKeywords

if TYPE_CHECKING:
    from typing_extensions import Unpack

__all__ = ["AsyncExecutor"]


class _PhaseTrace:
    """The phase of an async attempt that began last, as httpcore traces it."""

    __slots__ = ("name",)

    def __init__(self) -> None:
        self.name = ""

    async def trace(self, name: str, info: Mapping[str, Any]) -> None:
        if name.endswith(".started"):
            self.name = name

    def timeout_type(self) -> type[httpx.TimeoutException]:
        """The time-out httpx raises when this phase takes too long."""
        if not self.name:
            return httpx.PoolTimeout  # still waiting for a connection
        if ".connect_" in self.name or ".start_tls" in self.name:
            return httpx.ConnectTimeout
        if ".send_" in self.name:
            return httpx.WriteTimeout
        return httpx.ReadTimeout


class AsyncExecutor(BaseExecutor):
    """Runs the core's operations over an ``httpx.AsyncClient``; see :class:`Executor`.

    ``sleep`` is awaited between attempts (``asyncio.sleep`` when None, the
    default). Here the deadline cancels the attempt wherever it is, also part
    way through the headers.
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.AsyncClient | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
        sleep: Callable[[float], Awaitable[None]] | None = None,
        **options: Unpack[OptionKeywords],
    ) -> None:
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        super().__init__(config, ExecutorOptions(**options))
        self._owns_client = http_client is None
        self._http = http_client or httpx.AsyncClient(transport=transport, timeout=DEFAULT_TIMEOUT)
        if http_client is None and transport is None:
            self._pool_pid = os.getpid()
        if sleep is None:
            import asyncio

            sleep = asyncio.sleep
        self._sleep = sleep

    @property
    def http_client(self) -> httpx.AsyncClient:
        """The httpx client the requests are sent with; see :attr:`Executor.http_client`."""
        if self._forked():
            # The new client first, as in Executor.
            self._http = httpx.AsyncClient(timeout=DEFAULT_TIMEOUT)
            self._pool_pid = os.getpid()
        return self._http

    async def execute(self, op: str, input: Mapping[str, Any], *, token: Any = None) -> Any:
        """Run operation ``op`` with ``input``; see :meth:`Executor.execute`."""
        flow = telemetry.observed(op, self._flow(op, input, token, self.http_client.timeout))
        outcome: Outcome = None
        while True:
            try:
                step = flow.send(outcome)
            except StopIteration as done:
                return done.value
            if isinstance(step, Wait):
                await self._sleep(step.seconds)
                outcome = None
                continue
            try:
                outcome = await self._attempt(step)
            except SEND_FAILURES as exc:
                outcome = exc

    async def _attempt(self, send: Send) -> Answer:
        """One attempt at ``send``, ended at its deadline."""
        seconds = send.seconds
        if seconds is None:
            return await self._send_and_read(send.request)
        import asyncio

        # httpcore names each phase as it begins; the deadline's time-out is
        # that phase's, as the sync executor's sockets report it.
        phase = _PhaseTrace()
        send.request.extensions["trace"] = phase.trace
        try:
            if sys.version_info >= (3, 11):
                async with asyncio.timeout(seconds):
                    return await self._send_and_read(send.request)
            # Before 3.11 the attempt runs as a task of its own.
            return await asyncio.wait_for(self._send_and_read(send.request), seconds)
        except asyncio.TimeoutError:
            raise late_timeout(send.request, seconds, phase.timeout_type()) from None

    async def _send_and_read(self, request: httpx.Request) -> Answer:
        response = await self.http_client.send(
            request, stream=True, auth=NO_AUTH, follow_redirects=False
        )
        try:
            refuse_declared_oversize(response, self._options.max_response_bytes)
            chunks: list[bytes] = []
            size = 0
            async for chunk in response.aiter_bytes():
                size += len(chunk)
                if size > self._options.max_response_bytes:
                    raise oversize_error(self._options.max_response_bytes)
                chunks.append(chunk)
        finally:
            await response.aclose()
        return whole_answer(response, chunks)

    async def aclose(self) -> None:
        """Close the httpx client, if the executor made it."""
        if self._owns_client:
            await self.http_client.aclose()

    async def __aenter__(self) -> AsyncExecutor:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.aclose()
