"""A bearer token follows a redirect only where the HTTP library keeps it.

Two real sites: the API on 127.0.0.1, which takes the gateway's tokens, and
another host on 127.0.0.2, which refuses every request. A 401 from where our
token was not sent must not cost a token, nor bring one there.
"""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, quote, urlsplit

import httpx
import pytest
import requests

import quillon_bo as qb
from quillon_bo.requests_auth import BearerAuth as RequestsBearerAuth
from quillon_bo.testing import LocalGateway


class Site:
    """``/hop?to=URL`` answers 307 to URL; any other path is a resource that
    takes the gateway's tokens (none, without a gateway). Logs what it got."""

    def __init__(self, host: str, gateway: LocalGateway | None) -> None:
        self.seen: list[tuple[str, str]] = []  # (path, Authorization)
        outer = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, format: str, *args: Any) -> None:
                pass

            def do_GET(self) -> None:
                self.rfile.read(int(self.headers.get("Content-Length") or 0))
                parts = urlsplit(self.path)
                authorization = self.headers.get("Authorization", "")
                outer.seen.append((parts.path, authorization))
                if parts.path == "/hop":
                    self.send_response(307)
                    self.send_header("Location", parse_qs(parts.query)["to"][0])
                elif gateway is not None and gateway.accepts(authorization):
                    self.send_response(200)
                else:
                    self.send_response(401)
                    self.send_header("WWW-Authenticate", 'Bearer error="invalid_token"')
                self.send_header("Content-Length", "0")
                self.end_headers()

            do_POST = do_GET

        self.server = ThreadingHTTPServer((host, 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(
            target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        ).start()

    def url(self, path: str) -> str:
        host, port = self.server.server_address[:2]
        return f"http://{host}:{port}{path}"

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()


@dataclass(frozen=True)
class Sites:
    gateway: LocalGateway
    api: Site
    other: Site

    def hops(self, *stops: str) -> str:
        """A URL that redirects through each of ``stops`` in turn."""
        url = stops[-1]
        for stop in reversed(stops[:-1]):
            url = f"{stop}/hop?to={quote(url, safe='')}"
        return url


@pytest.fixture
def sites(gateway: LocalGateway) -> Iterator[Sites]:
    api, other = Site("127.0.0.1", gateway), Site("127.0.0.2", None)
    yield Sites(gateway, api, other)
    api.stop()
    other.stop()


def send(library: str, gateway: LocalGateway, url: str, follow: bool) -> tuple[int, str, str]:
    """One POST with a client's token, as the user would send it, made while
    the gateway has revoked the token held: the status, that token and the
    token held afterwards."""
    if library == "httpx-async":

        async def run() -> tuple[int, str, str]:
            async with (
                qb.AsyncClient(gateway.config()) as client,
                httpx.AsyncClient(auth=client.auth, follow_redirects=follow) as http,
            ):
                held = await client.token()
                gateway.revoke_tokens()
                status = (await http.post(url, content=b"body")).status_code
                return status, held.authorization, (await client.token()).authorization

        return asyncio.run(run())
    with qb.Client(gateway.config()) as client:
        held = client.token()
        gateway.revoke_tokens()
        if library == "requests":
            with requests.Session() as session:
                session.trust_env = False
                auth = RequestsBearerAuth(client.token_provider)
                response = session.post(url, data=b"body", auth=auth, allow_redirects=follow)
        else:
            with httpx.Client(auth=client.auth, follow_redirects=follow) as http:
                response = http.post(url, content=b"body")
        return response.status_code, held.authorization, client.token().authorization


LIBRARIES = ["requests", "httpx", "httpx-async"]


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize(
    ("route", "follow", "status", "api_seen", "other_seen", "fetches"),
    [
        # Away to the other host: it gets no token, and its 401 costs none.
        ("away", True, 401, [("/hop", "held")], [("/elsewhere", "none")], 1),
        ("away", False, 307, [("/hop", "held")], [], 1),
        # Away and back: the token stays removed where the redirect took it.
        ("away-and-back", True, 401, [("/hop", "held"), ("/items", "none")], [("/hop", "none")], 1),
        # Within the origin: the request refused with our token is resent.
        ("within", True, 200, [("/hop", "held"), ("/items", "held"), ("/items", "fresh")], [], 2),
    ],
)
def test_a_401_refreshes_only_where_the_token_went(
    sites: Sites,
    library: str,
    route: str,
    follow: bool,
    status: int,
    api_seen: list[tuple[str, str]],
    other_seen: list[tuple[str, str]],
    fetches: int,
) -> None:
    here, there = sites.api.url(""), sites.other.url("")
    url = {
        "away": sites.hops(here, there + "/elsewhere"),
        "away-and-back": sites.hops(here, there, here + "/items"),
        "within": sites.hops(here, here + "/items"),
    }[route]
    answered, held, fresh = send(library, sites.gateway, url, follow)
    names = {fresh: "fresh", held: "held", "": "none"}  # held, when no refresh
    assert answered == status
    assert [(path, names.get(a, a)) for path, a in sites.api.seen] == api_seen
    assert [(path, names.get(a, a)) for path, a in sites.other.seen] == other_seen
    assert sites.gateway.token_requests == fetches


@pytest.mark.parametrize(
    ("given_at", "sent_to", "refreshes"),
    [
        ("http://api.example/a", "http://API.example:80/b", True),
        ("http://api.example/a", "https://api.example/b", True),
        ("http://api.example:8080/a", "https://api.example/b", False),
        ("http://api.example/a", "https://api.example:8443/b", False),
        ("https://api.example/a", "http://api.example/b", False),
        ("https://api.example/a", "https://api.example:8443/b", False),
        ("https://api.example/a", "https://other.example/a", False),
    ],
)
def test_the_token_is_refreshed_only_for_the_origins_httpx_and_requests_keep_it_on(
    given_at: str, sent_to: str, refreshes: bool
) -> None:
    from quillon_bo.auth import refused_here

    token = qb.AccessToken("abc", "Bearer", 0)
    assert refused_here(401, given_at, (sent_to, "Bearer abc"), token) is refreshes
    assert not refused_here(401, given_at, (given_at, "Bearer other"), token)
