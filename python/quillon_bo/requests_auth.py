"""Present the client's token on requests made with ``requests``.

    pip install quillon_bo[requests]

    import requests
    import quillon_bo
    from quillon_bo.requests_auth import BearerAuth

    with quillon_bo.Client(config) as client:
        session = requests.Session()
        session.auth = BearerAuth(client.token_provider)
        session.get(url)          # "Authorization: Bearer ...", refreshed on a 401

It behaves as :class:`quillon_bo.BearerAuth` does for httpx: the token comes
from the (sync) provider, and on a 401 answer to a request that carried it,
that token is dropped, a new one fetched and that request sent once more; a
second 401 is returned as it is. Where requests removes ``Authorization`` on
a redirect (it leaves the origin), no token is put back.
"""

from __future__ import annotations

import functools
from typing import Any

import requests
from requests.cookies import extract_cookies_to_jar

from .auth import refused_here
from .tokens import AccessToken, TokenProvider

__all__ = ["BearerAuth"]


class BearerAuth(requests.auth.AuthBase):
    """Adds ``Authorization: <token_type> <access_token>`` to each request.

    On a 401 answer to a request that carried the token, the refused token is
    dropped, a new one fetched and that request sent once more over the same
    connection adapter, with the cookies the 401 set; the first answer is read
    and closed and stays in the new one's ``history``. A second 401 is
    returned to the caller as it is. A body given as bytes, text or a form is
    sent again as it was; a file is sent again from where it started; a body
    from an iterator cannot be sent twice, so its 401 is returned as it is. A
    failure to fetch the new token is raised from the call, as any token
    failure is.

    A redirect keeps the token only where requests keeps ``Authorization``:
    within the origin (scheme, host, port) it was given for, or on to https on
    the same host from http. A request that a redirect took anywhere else goes
    without it, and its 401 is returned as it is, without fetching a token.

    ``provider`` is a :class:`~quillon_bo.TokenProvider` (``client.token_provider``
    of a :class:`~quillon_bo.Client`); requests is synchronous, so an
    :class:`~quillon_bo.AsyncTokenProvider` is refused.
    """

    def __init__(self, provider: TokenProvider) -> None:
        if not isinstance(provider, TokenProvider):
            raise TypeError(
                "requests is synchronous: give a TokenProvider (Client.token_provider), "
                f"not {type(provider).__name__}"
            )
        self._provider = provider

    def __repr__(self) -> str:
        return f"BearerAuth({type(self._provider).__name__})"

    def __call__(self, request: requests.PreparedRequest) -> requests.PreparedRequest:
        token = self._provider.get()
        request.headers["Authorization"] = token.authorization
        # The hook carries this request's own token and body position, so that
        # threads sharing one auth object never see each other's.
        hook = functools.partial(
            self._resend_once_after_401,
            token=token,
            given_at=request.url or "",
            position=_body_position(request),
        )
        request.register_hook("response", hook)  # type: ignore[no-untyped-call]
        return request

    def _resend_once_after_401(
        self,
        response: requests.Response,
        *,
        token: AccessToken,
        given_at: str,
        position: int | None,
        **send_options: Any,
    ) -> requests.Response:
        # The hook goes with every request a redirect makes of this one, also
        # those that left the origin and so went without the token.
        sent = response.request
        if not refused_here(
            response.status_code,
            given_at,
            (sent.url or "", sent.headers.get("Authorization")),
            token,
        ):
            return response
        body = sent.body
        if position is None and body is not None and not isinstance(body, (bytes, str)):
            return response  # a body from an iterator has been used up
        # Read what is left of the refused answer so the connection can be
        # reused, and give it back to the pool.
        _ = response.content
        response.close()
        if position is not None:
            body.seek(position)  # type: ignore[union-attr]
        self._provider.invalidate(token)
        fresh = self._provider.get()

        resend = sent.copy()
        # Cookies set by the 401 go with the second request, as requests does
        # for its own authentication schemes.
        if resend._cookies is not None:  # type: ignore[attr-defined]
            extract_cookies_to_jar(resend._cookies, sent, response.raw)  # type: ignore[attr-defined,no-untyped-call]
            resend.prepare_cookies(resend._cookies)  # type: ignore[attr-defined]
        resend.headers["Authorization"] = fresh.authorization
        # The copy shares its hooks with the first request; this one is sent
        # without ours, so a second 401 can never start a third request.
        resend.hooks = {
            event: [h for h in hooks if getattr(h, "func", None) != self._resend_once_after_401]
            for event, hooks in sent.hooks.items()
        }
        again: requests.Response = response.connection.send(resend, **send_options)
        again.history.append(response)
        again.request = resend
        return again


def _body_position(request: requests.PreparedRequest) -> int | None:
    """Where a file body starts, so it can be sent again; None for any other."""
    tell = getattr(request.body, "tell", None)
    if tell is None:
        return None
    try:
        return int(tell())
    except OSError:
        return None
