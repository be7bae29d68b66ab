"""An ``httpx.Auth`` that presents the provider's token on a user's own requests."""

from __future__ import annotations

from collections.abc import AsyncGenerator, Generator

import httpx

from .tokens import AsyncTokenProvider, TokenProvider

__all__ = ["BearerAuth"]


class BearerAuth(httpx.Auth):
    """Adds ``Authorization: <token_type> <access_token>`` to each request.

    On a 401 answer the refused token is dropped, a new one fetched and the
    request sent once more; a second 401 is returned to the caller as is.
    Give a :class:`TokenProvider` for ``httpx.Client`` and an
    :class:`AsyncTokenProvider` for ``httpx.AsyncClient``. For requests, see
    :class:`quillon_bo.requests_auth.BearerAuth`.
    """

    # The request may have to be sent twice, so its body must be replayable.
    requires_request_body = True

    def __init__(self, provider: TokenProvider | AsyncTokenProvider) -> None:
        self._provider = provider

    def __repr__(self) -> str:
        return f"BearerAuth({type(self._provider).__name__})"

    def sync_auth_flow(
        self, request: httpx.Request
    ) -> Generator[httpx.Request, httpx.Response, None]:
        """The flow ``httpx.Client`` drives: present, and on a 401 refresh and resend once."""
        provider = self._provider
        if not isinstance(provider, TokenProvider):
            raise TypeError("BearerAuth over an AsyncTokenProvider needs an httpx.AsyncClient")
        token = provider.get()
        request.headers["Authorization"] = token.authorization
        response = yield request
        if response.status_code == 401:
            provider.invalidate(token)
            request.headers["Authorization"] = provider.get().authorization
            yield request

    async def async_auth_flow(
        self, request: httpx.Request
    ) -> AsyncGenerator[httpx.Request, httpx.Response]:
        """The flow ``httpx.AsyncClient`` drives; the same steps as :meth:`sync_auth_flow`."""
        provider = self._provider
        if not isinstance(provider, AsyncTokenProvider):
            raise TypeError("BearerAuth over a TokenProvider needs an httpx.Client")
        token = await provider.get()
        request.headers["Authorization"] = token.authorization
        response = yield request
        if response.status_code == 401:
            provider.invalidate(token)
            request.headers["Authorization"] = (await provider.get()).authorization
            yield request
