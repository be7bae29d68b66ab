"""No secret or token in any repr, log record or exception text."""

from __future__ import annotations

import asyncio
import base64
import logging

import httpx
import pytest

import quillon_bo as qb
from quillon_bo.testing import LocalGateway, Reply

SECRET = "Zq9-very-secret-Kx2"
TOKEN = "AT-issued-token-7f3e9b"


def test_nothing_secret_reaches_reprs_logs_or_errors(
    caplog: pytest.LogCaptureFixture, refused_url: str
) -> None:
    caplog.set_level(logging.DEBUG)
    texts: list[str] = []
    with LocalGateway("cid", SECRET) as gw:
        gw.always(Reply.token(TOKEN))
        config = gw.config()
        with qb.Client(config) as client, httpx.Client(auth=client.auth) as http:
            token = client.token()
            http.get(gw.resource_url)
            texts += [repr(x) for x in (config, token, client, client.tokens, client.auth)]
            texts += [str(config), str(token), repr(gw.requests)]
        failures: list[BaseException] = []
        gw.always(Reply.oauth_error(401, "invalid_client", "bad client"))
        ready = base64.b64encode(b"x:" + SECRET.encode()).decode()
        bad_basic = qb.Config("cid", basic_token="Basic " + ready, base_url=gw.base_url)
        unreachable = qb.Config("cid", client_secret=SECRET, base_url=refused_url)
        for cfg in (config, bad_basic, unreachable):
            with qb.Client(cfg, retries=0) as failing:
                try:
                    failing.token()
                except qb.QuillonError as exc:
                    failures.append(exc)

        async def run_async() -> None:
            async with qb.AsyncClient(config) as client:
                try:
                    await client.token()
                except qb.QuillonError as exc:
                    failures.append(exc)
                texts.append(repr(client))

        asyncio.run(run_async())
    assert len(failures) == 4
    for failure in failures:
        texts += [str(failure), repr(failure), str(failure.__cause__), repr(failure.__cause__)]
    texts += [record.getMessage() for record in caplog.records]
    assert caplog.records  # httpx did log the exchanges
    basic = base64.b64encode(f"cid:{SECRET}".encode()).decode()
    for text in texts:
        for secret in (SECRET, TOKEN, basic, ready):
            assert secret not in text, text
