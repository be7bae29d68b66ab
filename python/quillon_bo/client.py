"""The clients most code needs: an executor, a token cache and an auth flow."""

from __future__ import annotations

import asyncio
import time
from collections.abc import Awaitable, Callable, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any

import httpx

from .auth import BearerAuth
from .config import Config
from .executor import AsyncExecutor, Executor, ExecutorOptions, OptionKeywords
from .tokens import AccessToken, AsyncTokenProvider, Clock, TokenProvider

if TYPE_CHECKING:
    from typing_extensions import Unpack

__all__ = ["AsyncClient", "Client"]


class Client:
    """A synchronous client for the gateway.

    >>> with Client(Config("my-id", client_secret=secret)) as client:
    ...     token = client.token()            # fetched once, then cached
    ...     httpx.get(url, auth=client.auth)  # presents it on your own requests

    It has an :class:`~quillon_bo.executor.Executor` (``executor``), which
    sends the requests, a :class:`~quillon_bo.TokenProvider` (``tokens``),
    which caches the token, and a :class:`~quillon_bo.BearerAuth` (``auth``)
    for your own httpx requests.

    ``http_client`` (yours, not closed by :meth:`close`) or ``transport`` are
    what the executor sends with; ``clock`` (default ``time.time``) gives the
    current time in seconds; ``sleep`` waits between attempts. The other
    keywords are the fields of :class:`~quillon_bo.ExecutorOptions`: among
    them ``retries`` and ``deadline``, which bounds each attempt as a whole
    (connect, send, headers and body).
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.Client | None = None,
        transport: httpx.BaseTransport | None = None,
        clock: Clock | None = None,
        sleep: Callable[[float], None] = time.sleep,
        **options: Unpack[OptionKeywords],
    ) -> None:
        self.executor = Executor(
            config, http_client=http_client, transport=transport, sleep=sleep, **options
        )
        # The token cache and how it refreshes are the provider's; its options
        # are given here and nowhere else.
        self.tokens = TokenProvider(self.executor, clock=clock)
        self.auth = BearerAuth(self.tokens)

    @property
    def config(self) -> Config:
        """The configuration every request is built from."""
        return self.executor.config

    @property
    def options(self) -> ExecutorOptions:
        """The executor's time limits, retries and size limits."""
        return self.executor.options

    @property
    def http_client(self) -> httpx.Client:
        """The httpx client the token requests are sent with."""
        return self.executor.http_client

    def token(self) -> AccessToken:
        """A valid access token, fetched only when none is cached or it has ended."""
        return self.tokens.get()

    def fetch_token(self) -> AccessToken:
        """A newly fetched access token (also replaces the cached one)."""
        return self.tokens.fetch()

    def execute(self, op: str, input: Mapping[str, Any], *, token: Any = None) -> Any:
        """Run one of the core's operations; see :meth:`Executor.execute`."""
        return self.executor.execute(op, input, token=token)

    def close(self) -> None:
        """Close the httpx client, unless it was given by the caller."""
        self.executor.close()

    def __enter__(self) -> Client:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Client({self.config!r})"


class AsyncClient:
    """The asyncio counterpart of :class:`Client`.

    The same keywords, with an ``httpx.AsyncClient`` or async transport, and
    ``sleep`` awaited between attempts (``asyncio.sleep`` by default).
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.AsyncClient | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
        clock: Clock | None = None,
        sleep: Callable[[float], Awaitable[None]] = asyncio.sleep,
        **options: Unpack[OptionKeywords],
    ) -> None:
        self.executor = AsyncExecutor(
            config, http_client=http_client, transport=transport, sleep=sleep, **options
        )
        # As in Client: the provider's options are given here and nowhere else.
        self.tokens = AsyncTokenProvider(self.executor, clock=clock)
        self.auth = BearerAuth(self.tokens)

    @property
    def config(self) -> Config:
        """The configuration every request is built from."""
        return self.executor.config

    @property
    def options(self) -> ExecutorOptions:
        """The executor's time limits, retries and size limits."""
        return self.executor.options

    @property
    def http_client(self) -> httpx.AsyncClient:
        """The httpx client the token requests are sent with."""
        return self.executor.http_client

    async def token(self) -> AccessToken:
        """A valid access token, fetched only when none is cached or it has ended."""
        return await self.tokens.get()

    async def fetch_token(self) -> AccessToken:
        """A newly fetched access token (also replaces the cached one)."""
        return await self.tokens.fetch()

    async def execute(self, op: str, input: Mapping[str, Any], *, token: Any = None) -> Any:
        """Run one of the core's operations; see :meth:`Executor.execute`."""
        return await self.executor.execute(op, input, token=token)

    async def aclose(self) -> None:
        """Close the httpx client, unless it was given by the caller."""
        await self.executor.aclose()

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        return f"AsyncClient({self.config!r})"
