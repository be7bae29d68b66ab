"""The clients most code needs: an executor with a token cache and an auth flow."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Literal

import httpx

from .auth import BearerAuth
from .config import Config
from .executor import (
    DEFAULT_BACKOFF,
    DEFAULT_MAX_RESPONSE_BYTES,
    DEFAULT_RETRIES,
    AsyncExecutor,
    Executor,
)
from .stores import TokenStore
from .tokens import AccessToken, AsyncTokenProvider, Clock, TokenProvider, lease_for

__all__ = ["AsyncClient", "Client"]


class Client(Executor):
    """A synchronous client for the gateway.

    >>> with Client(Config("my-id", client_secret=secret)) as client:
    ...     token = client.token()            # fetched once, then cached
    ...     httpx.get(url, auth=client.auth)  # presents it on your own requests

    ``clock`` (default ``time.time``) gives the current time in seconds;
    ``sleep`` waits between retries. ``store`` shares the token beyond this
    client (see :mod:`quillon_bo.stores`; by default it stays in the client),
    and ``refresh_ahead`` refreshes it in the background before it ends (see
    :class:`~quillon_bo.tokens.TokenProvider`). The other arguments are those of
    :class:`~quillon_bo.executor.Executor`, among them ``deadline``, which
    bounds each attempt as a whole (connect, send, headers and body).
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.Client | None = None,
        transport: httpx.BaseTransport | None = None,
        timeout: httpx.Timeout | float | None = None,
        retries: int = DEFAULT_RETRIES,
        backoff: float = DEFAULT_BACKOFF,
        max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES,
        deadline: float | Literal["auto"] | None = "auto",
        clock: Clock | None = None,
        sleep: Callable[[float], None] = time.sleep,
        store: TokenStore | None = None,
        refresh_ahead: float | Literal["auto"] = "auto",
    ) -> None:
        super().__init__(
            config,
            http_client=http_client,
            transport=transport,
            timeout=timeout,
            retries=retries,
            backoff=backoff,
            max_response_bytes=max_response_bytes,
            deadline=deadline,
            sleep=sleep,
        )
        self.tokens = TokenProvider(
            self,
            clock=clock,
            store=store,
            refresh_ahead=refresh_ahead,
            lease=lease_for(deadline, timeout),
        )
        self.auth = BearerAuth(self.tokens)

    def token(self) -> AccessToken:
        """A valid access token, fetched only when none is cached or it has ended."""
        return self.tokens.get()

    def fetch_token(self) -> AccessToken:
        """A newly fetched access token (also replaces the cached one)."""
        return self.tokens.fetch()

    def __enter__(self) -> Client:
        return self

    def __repr__(self) -> str:
        return f"Client({self.config!r})"


class AsyncClient(AsyncExecutor):
    """The asyncio counterpart of :class:`Client`."""

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.AsyncClient | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
        timeout: httpx.Timeout | float | None = None,
        retries: int = DEFAULT_RETRIES,
        backoff: float = DEFAULT_BACKOFF,
        max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES,
        deadline: float | Literal["auto"] | None = "auto",
        clock: Clock | None = None,
        store: TokenStore | None = None,
        refresh_ahead: float | Literal["auto"] = "auto",
    ) -> None:
        super().__init__(
            config,
            http_client=http_client,
            transport=transport,
            timeout=timeout,
            retries=retries,
            backoff=backoff,
            max_response_bytes=max_response_bytes,
            deadline=deadline,
        )
        self.tokens = AsyncTokenProvider(
            self,
            clock=clock,
            store=store,
            refresh_ahead=refresh_ahead,
            lease=lease_for(deadline, timeout),
        )
        self.auth = BearerAuth(self.tokens)

    async def token(self) -> AccessToken:
        return await self.tokens.get()

    async def fetch_token(self) -> AccessToken:
        return await self.tokens.fetch()

    async def __aenter__(self) -> AsyncClient:
        return self

    def __repr__(self) -> str:
        return f"AsyncClient({self.config!r})"
