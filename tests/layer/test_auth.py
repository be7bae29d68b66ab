"""BearerAuth on a user's own requests to the gateway."""

from __future__ import annotations

import asyncio

import httpx

import quillon_bo as qb
from quillon_bo.testing import LocalGateway, Reply


def test_presents_the_cached_token(gateway: LocalGateway) -> None:
    with qb.Client(gateway.config()) as client, httpx.Client(auth=client.auth) as http:
        assert http.get(gateway.resource_url).status_code == 200
        assert http.get(gateway.resource_url).status_code == 200
        token = client.token_provider.current
    assert token is not None
    assert gateway.requests[-1].header("Authorization") == f"Bearer {token.access_token}"
    assert (gateway.token_requests, gateway.resource_requests) == (1, 2)


def test_refreshes_and_resends_once_after_a_401(gateway: LocalGateway) -> None:
    with qb.Client(gateway.config()) as client, httpx.Client(auth=client.auth) as http:
        first = client.token()
        gateway.revoke_tokens()
        response = http.post(gateway.resource_url, content=b"payload")
        assert response.status_code == 200
        assert client.token() is not first
    assert (gateway.token_requests, gateway.resource_requests) == (2, 2)
    assert gateway.requests[-1].body == b"payload"  # the body is sent again too


def test_second_401_is_returned_and_the_token_type_is_used(gateway: LocalGateway) -> None:
    # The resource only takes bearer tokens, so a "MAC" token is refused every time.
    gateway.always(Reply.token("abc", token_type="MAC"))
    with qb.Client(gateway.config()) as client, httpx.Client(auth=client.auth) as http:
        assert http.get(gateway.resource_url).status_code == 401
    assert (gateway.token_requests, gateway.resource_requests) == (2, 2)
    assert gateway.requests[-1].header("Authorization") == "MAC abc"


def test_async_auth_refreshes_after_a_401(gateway: LocalGateway) -> None:
    async def run() -> list[int]:
        async with (
            qb.AsyncClient(gateway.config()) as client,
            httpx.AsyncClient(auth=client.auth) as http,
        ):
            statuses = [(await http.get(gateway.resource_url)).status_code]
            gateway.revoke_tokens()
            statuses.append((await http.get(gateway.resource_url)).status_code)
            return statuses

    assert asyncio.run(run()) == [200, 200]
    assert (gateway.token_requests, gateway.resource_requests) == (2, 3)


def test_empty_token_type_falls_back_to_bearer() -> None:
    assert qb.AccessToken("abc", "", 0).authorization == "Bearer abc"
    assert qb.AccessToken("abc", "bearer", 0).authorization == "bearer abc"
