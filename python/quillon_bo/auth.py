"""An ``httpx.Auth`` that presents the provider's token on a user's own requests."""

from __future__ import annotations

from collections.abc import AsyncGenerator, Generator
from typing import TYPE_CHECKING
from urllib.parse import urlsplit

import httpx

from .tokens import AccessToken, TokenProvider

if TYPE_CHECKING:
    from .tokens import AsyncTokenProvider

__all__ = ["BearerAuth"]


class BearerAuth(httpx.Auth):
    """Adds ``Authorization: <token_type> <access_token>`` to each request.

    On a 401 answer to a request that carried the token, the refused token is
    dropped, a new one fetched and that request sent once more; a second 401
    is returned to the caller as is. A redirect keeps the token only where
    httpx keeps ``Authorization``: within the origin (scheme, host, port) it
    was given for, or on to https on the same host from http. A request that
    a redirect took anywhere else goes without it, and its 401 is returned as
    it is, without fetching a token.
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
        if refused_here(response.status_code, str(request.url), _sent(response), token):
            provider.invalidate(token)
            refused = response.request
            refused.headers["Authorization"] = provider.get().authorization
            yield refused

    async def async_auth_flow(
        self, request: httpx.Request
    ) -> AsyncGenerator[httpx.Request, httpx.Response]:
        """The flow ``httpx.AsyncClient`` drives; the same steps as :meth:`sync_auth_flow`."""
        # Imported here: the async provider brings asyncio, which a sync
        # program never needs.
        from .tokens import AsyncTokenProvider

        provider = self._provider
        if not isinstance(provider, AsyncTokenProvider):
            raise TypeError("BearerAuth over a TokenProvider needs an httpx.Client")
        token = await provider.get()
        request.headers["Authorization"] = token.authorization
        response = yield request
        if refused_here(response.status_code, str(request.url), _sent(response), token):
            provider.invalidate(token)
            refused = response.request
            refused.headers["Authorization"] = (await provider.get()).authorization
            yield refused


def _sent(response: httpx.Response) -> tuple[str, str | None]:
    """Where the request that got ``response`` went, and its ``Authorization``:
    after redirects, the last of them."""
    return str(response.request.url), response.request.headers.get("Authorization")


_DEFAULT_PORTS = {"http": 80, "https": 443}


def _origin(url: str) -> tuple[str, str, int | None]:
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    return scheme, parts.hostname or "", parts.port or _DEFAULT_PORTS.get(scheme)


def refused_here(
    status: int, given_at: str, sent: tuple[str, str | None], token: AccessToken
) -> bool:
    """Whether a 401 is the refusal of ``token`` that a refresh can answer.

    ``given_at`` is the URL the token was put on; ``sent`` is the URL and the
    ``Authorization`` of the request that got the answer. The request must
    have carried the token, to the origin it was given for or to the one move
    beyond it on which httpx and requests keep ``Authorization``: from http to
    https on the same host, on the default ports. Anywhere else the token was
    never sent, and a new one would only be sent where it does not belong.
    """
    url, authorization = sent
    if status != 401 or authorization != token.authorization:
        return False
    origin, there = _origin(given_at), _origin(url)
    scheme, host, port = origin
    return there == origin or ((scheme, port) == ("http", 80) and there == ("https", host, 443))
