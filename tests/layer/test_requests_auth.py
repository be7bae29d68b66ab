"""BearerAuth for requests, against a real resource server on 127.0.0.1."""

from __future__ import annotations

import io
import json
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import pytest
import requests

import quillon_bo as qb
from quillon_bo.requests_auth import BearerAuth
from quillon_bo.testing import LocalGateway, Reply

from .test_faults import CLIENT_ID, SECRET, assert_hidden, texts_of


@dataclass(frozen=True)
class Seen:
    method: str
    authorization: str
    cookie: str
    body: bytes
    chunked: bool


class ResourceServer:
    """An API that takes only tokens the gateway issued and has not revoked,
    and can be told to refuse the next requests whatever they carry."""

    def __init__(self, gateway: LocalGateway) -> None:
        self.gateway = gateway
        self.seen: list[Seen] = []
        self.refusals = 0
        self.lock = threading.Lock()
        outer = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, format: str, *args: Any) -> None:
                pass

            def do_GET(self) -> None:
                outer.handle(self)

            do_POST = do_PUT = do_GET

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(
            target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server.server_address[1]}/v1/items"

    def refuse_next(self, count: int = 1) -> None:
        with self.lock:
            self.refusals = count

    def handle(self, h: BaseHTTPRequestHandler) -> None:
        chunked = h.headers.get("Transfer-Encoding", "").lower() == "chunked"
        body = read_chunked(h) if chunked else h.rfile.read(int(h.headers["Content-Length"] or 0))
        authorization = h.headers.get("Authorization", "")
        with self.lock:
            self.seen.append(
                Seen(h.command, authorization, h.headers.get("Cookie", ""), body, chunked)
            )
            refuse = self.refusals > 0
            self.refusals -= refuse
        if refuse or not self.gateway.accepts(authorization):
            answer(h, 401, {"error": "invalid_token"}, ("Set-Cookie", "seen=401; Path=/"))
        else:
            answer(h, 200, {"ok": True, "length": len(body)})


def read_chunked(h: BaseHTTPRequestHandler) -> bytes:
    out = b""
    while True:
        size = int(h.rfile.readline().split(b";")[0], 16)
        chunk = h.rfile.read(size + 2)[:size]
        if not size:
            return out
        out += chunk


def answer(h: BaseHTTPRequestHandler, status: int, value: Any, *headers: tuple[str, str]) -> None:
    data = json.dumps(value).encode()
    h.send_response(status)
    h.send_header("Content-Type", "application/json")
    h.send_header("Content-Length", str(len(data)))
    for name, text in headers:
        h.send_header(name, text)
    h.end_headers()
    h.wfile.write(data)


class Session(requests.Session):
    """A session that never waits without end on a fault, and takes no proxy
    from the environment between us and 127.0.0.1."""

    def __init__(self) -> None:
        super().__init__()
        self.trust_env = False

    def request(self, *args: Any, **kwargs: Any) -> requests.Response:  # type: ignore[override]
        kwargs.setdefault("timeout", 10)
        return super().request(*args, **kwargs)


@pytest.fixture
def gateway() -> Iterator[LocalGateway]:
    with LocalGateway(CLIENT_ID, SECRET) as gw:
        yield gw


@pytest.fixture
def api(gateway: LocalGateway) -> Iterator[ResourceServer]:
    server = ResourceServer(gateway)
    server.thread.start()
    yield server
    server.server.shutdown()
    server.server.server_close()


@pytest.fixture
def client(gateway: LocalGateway) -> Iterator[qb.Client]:
    with qb.Client(gateway.config(), retries=0) as c:
        yield c


@pytest.fixture
def session(client: qb.Client) -> Iterator[requests.Session]:
    with Session() as s:
        s.auth = BearerAuth(client.token_provider)
        yield s


def test_presents_the_cached_token(
    gateway: LocalGateway, api: ResourceServer, client: qb.Client, session: requests.Session
) -> None:
    assert [session.get(api.url).status_code for _ in range(3)] == [200, 200, 200]
    token = client.token_provider.current
    assert token is not None
    assert {s.authorization for s in api.seen} == {f"Bearer {token.access_token}"}
    assert gateway.token_requests == 1


def file_body() -> io.BytesIO:
    body = io.BytesIO(b"skipped:file-payload")
    body.seek(len(b"skipped:"))  # sent from where it stands, and again from there
    return body


@pytest.mark.parametrize(
    ("send", "body"),
    [
        ({}, b""),
        ({"data": b"\x00raw bytes"}, b"\x00raw bytes"),
        ({"data": "text"}, b"text"),
        ({"data": {"a": "1", "b": "2"}}, b"a=1&b=2"),
        ({"json": {"k": [1, 2]}}, b'{"k": [1, 2]}'),
        ({"data": file_body}, b"file-payload"),
    ],
    ids=["none", "bytes", "text", "form", "json", "file"],
)
def test_a_401_refreshes_and_resends_the_same_request_once(
    gateway: LocalGateway,
    api: ResourceServer,
    client: qb.Client,
    session: requests.Session,
    send: dict[str, Any],
    body: bytes,
) -> None:
    first = client.token()
    gateway.revoke_tokens()
    send = {k: v() if callable(v) else v for k, v in send.items()}
    response = session.post(api.url, **send)
    assert response.status_code == 200 and response.json()["length"] == len(body)
    refused, resent = api.seen
    assert refused.body == resent.body == body
    assert refused.authorization == f"Bearer {first.access_token}"
    assert resent.authorization == f"Bearer {client.token().access_token}" != refused.authorization
    assert resent.cookie == "seen=401"  # what the 401 set goes with the second request
    (old,) = response.history
    assert old.status_code == 401 and old.raw.closed
    assert response.request.headers["Authorization"] == resent.authorization
    assert gateway.token_requests == 2


def test_a_second_401_is_returned_as_it_is(
    gateway: LocalGateway, api: ResourceServer, session: requests.Session
) -> None:
    api.refuse_next(2)
    response = session.get(api.url)
    assert response.status_code == 401 and len(response.history) == 1
    assert len(api.seen) == 2 and gateway.token_requests == 2
    # The next request is a new one, with the token fetched for the resend.
    assert session.get(api.url).status_code == 200
    assert api.seen[-1].authorization == api.seen[-2].authorization


def test_a_body_from_an_iterator_cannot_be_sent_twice(
    gateway: LocalGateway, api: ResourceServer, session: requests.Session
) -> None:
    api.refuse_next(1)
    response = session.post(api.url, data=iter([b"one ", b"shot"]))
    assert response.status_code == 401 and response.history == []
    ((seen),) = api.seen
    assert seen.chunked and seen.body == b"one shot"
    assert gateway.token_requests == 1


def test_a_refresh_that_fails_is_raised_and_nothing_is_resent(
    gateway: LocalGateway, api: ResourceServer, client: qb.Client, session: requests.Session
) -> None:
    client.token()
    gateway.revoke_tokens()
    gateway.enqueue(Reply.oauth_error(401, "invalid_client", "client authentication failed"))
    with pytest.raises(qb.AuthenticationError) as info:
        session.get(api.url)
    assert info.value.status == 401 and len(api.seen) == 1
    assert client.token_provider.current is None
    assert_hidden([*texts_of(info.value), repr(session.auth)])


def test_threads_refused_together_cause_one_refresh(
    gateway: LocalGateway, api: ResourceServer, client: qb.Client
) -> None:
    client.token()
    gateway.revoke_tokens()
    auth = BearerAuth(client.token_provider)
    barrier = threading.Barrier(8)
    statuses: list[int] = []

    def call() -> None:
        with Session() as s:
            barrier.wait()
            statuses.append(s.get(api.url, auth=auth).status_code)

    threads = [threading.Thread(target=call) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert statuses == [200] * 8
    # Each refused token is dropped only if it is still the cached one.
    assert gateway.token_requests == 2


def test_an_async_provider_is_refused() -> None:
    config = qb.Config(CLIENT_ID, client_secret=SECRET)
    with pytest.raises(TypeError, match="requests is synchronous"):
        BearerAuth(qb.AsyncClient(config).token_provider)  # type: ignore[arg-type]
