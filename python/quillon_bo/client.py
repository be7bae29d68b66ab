"""The clients most code needs: an executor, a token cache and an auth flow."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Awaitable, Callable, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal

import httpx

from .auth import BearerAuth
from .config import Config
from .executor import AsyncExecutor, Executor, ExecutorOptions, OptionKeywords
from .stores import TokenStore
from .tokens import AccessToken, Clock, TokenProvider

if TYPE_CHECKING:
    from typing_extensions import Unpack


__all__ = ["AsyncClient", "Client"]

_OPTION_NAMES = frozenset(f.name for f in dataclasses.fields(ExecutorOptions))


def _check(
    owner: str,
    config: object,
    options: Mapping[str, Any],
    given: tuple[tuple[str, object, type | tuple[type, ...]], ...],
) -> None:
    """Refuse a mistake in a client's arguments where it is made, naming the
    client and the argument (the executor's own checks know neither)."""
    if not isinstance(config, Config):
        raise TypeError(f"{owner} config must be a quillon_bo.Config, not {type(config).__name__}")
    for name, value, expected in given:
        if value is not None and not isinstance(value, expected):
            names = " or ".join(
                f"{t.__module__}.{t.__qualname__}"
                for t in (expected if isinstance(expected, tuple) else (expected,))
            )
            raise TypeError(f"{owner} {name} must be a {names}, not {type(value).__name__}")
    unknown = sorted(set(options) - _OPTION_NAMES)
    if unknown:
        raise TypeError(
            f"{owner}() got an unexpected keyword argument {unknown[0]!r} "
            f"(its options are {', '.join(sorted(_OPTION_NAMES))})"
        )
    try:
        ExecutorOptions(**options)
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"{owner}: {exc}") from None


class Client:
    """A synchronous client for the gateway.

    Examples:
        >>> with Client(Config("my-id", client_secret=secret)) as client:
        ...     token = client.token()            # fetched once, then cached
        ...     httpx.get(url, auth=client.auth)  # presents it on your own requests

    It has an :class:`~quillon_bo.executor.Executor` (``executor``), which
    sends the requests, a :class:`~quillon_bo.TokenProvider`
    (``token_provider``), which fetches and caches the token that
    :meth:`token` returns, and a :class:`~quillon_bo.BearerAuth` (``auth``)
    for your own httpx requests.

    ``http_client`` (yours, not closed by :meth:`close`) or ``transport`` are
    what the executor sends with; ``clock`` (default ``time.time``) gives the
    current time in seconds; ``sleep`` waits between attempts. ``store`` shares
    the token beyond this client (:mod:`quillon_bo.stores`; by default it stays
    in the client) and ``refresh_ahead`` refreshes it in the background before
    it ends (see :class:`~quillon_bo.TokenProvider`). The other
    keywords are the fields of :class:`~quillon_bo.executor.ExecutorOptions`: among
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
        store: TokenStore | None = None,
        refresh_ahead: float | Literal["auto"] = "auto",
        **options: Unpack[OptionKeywords],
    ) -> None:
        given = (
            ("http_client", http_client, httpx.Client),
            ("transport", transport, httpx.BaseTransport),
        )
        _check("Client", config, options, given)
        self.executor = Executor(
            config, http_client=http_client, transport=transport, sleep=sleep, **options
        )
        # The token cache and how it refreshes are the provider's; its options
        # are given here and nowhere else.
        self.token_provider = TokenProvider(
            self.executor, clock=clock, store=store, refresh_ahead=refresh_ahead
        )
        self.auth = BearerAuth(self.token_provider)

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
        return self.token_provider.get()

    def fetch_token(self) -> AccessToken:
        """A newly fetched access token (also replaces the cached one)."""
        return self.token_provider.fetch()

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
    ``sleep`` awaited between attempts (``asyncio.sleep`` when None, the
    default).
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.AsyncClient | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
        clock: Clock | None = None,
        sleep: Callable[[float], Awaitable[None]] | None = None,
        store: TokenStore | None = None,
        refresh_ahead: float | Literal["auto"] = "auto",
        **options: Unpack[OptionKeywords],
    ) -> None:
        given = (
            ("http_client", http_client, httpx.AsyncClient),
            ("transport", transport, httpx.AsyncBaseTransport),
        )
        _check("AsyncClient", config, options, given)
        self.executor = AsyncExecutor(
            config, http_client=http_client, transport=transport, sleep=sleep, **options
        )
        # As in Client: the provider's options are given here and nowhere else.
        # The async provider is imported here, as it brings asyncio.
        from .tokens import AsyncTokenProvider

        self.token_provider = AsyncTokenProvider(
            self.executor, clock=clock, store=store, refresh_ahead=refresh_ahead
        )
        self.auth = BearerAuth(self.token_provider)

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
        return await self.token_provider.get()

    async def fetch_token(self) -> AccessToken:
        """A newly fetched access token (also replaces the cached one)."""
        return await self.token_provider.fetch()

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
