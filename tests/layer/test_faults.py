"""The layer under faults of the token endpoint, over real sockets.

Each fault is played by the local gateway (or by a port where nothing listens)
against both the sync and the async client: the exception and its text, the
number of requests the gateway counted, an empty cache afterwards, the right
token once the endpoint recovers, and no secret or token in any text made on
the way (exceptions with their chain, reprs, DEBUG logs, the command line).
"""

from __future__ import annotations

import asyncio
import base64
import json
import logging
import os
import re
import socket
import subprocess
import sys
import traceback
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import httpx
import pytest

import quillon_bo as qb
from quillon_bo.testing import LocalGateway, Reply

from .conftest import FakeClock

CLIENT_ID = "cid-faults"
SECRET = "Sx-faults-8c1d-secret"
#: Only ever sent cut off, malformed or too late: never a token to hand out.
PARTIAL = "AT-partial-5e0b"
#: What the endpoint issues once it has recovered.
RECOVERED = "AT-recovered-91fa"

FORBIDDEN = (
    SECRET,
    base64.b64encode(f"{CLIENT_ID}:{SECRET}".encode()).decode(),
    base64.b64encode(SECRET.encode()).decode(),
    PARTIAL,
    RECOVERED,
)

RETRIES = 2
TIMEOUT = 0.3
# Five times the client's time limit: a late answer is late whatever the load.
LATE = 1.5
TRANSPORT = 1 + RETRIES  # requests of one call that meets only transport failures


def exact(text: str) -> str:
    return re.escape(text)


@dataclass(frozen=True)
class Fault:
    id: str
    #: The answers to one failing call's requests, in order ((): nothing listens).
    replies: tuple[Reply, ...]
    error: type[qb.QuillonError]
    #: Matched whole against str() of the exception.
    message: str
    cause: type[BaseException] | None = None
    status: int | None = None

    @property
    def requests(self) -> int:
        return len(self.replies) or TRANSPORT

    @property
    def retryable(self) -> bool:
        return self.error is qb.TransportError and self.cause is not httpx.DecodingError


def times(reply: Reply, n: int = TRANSPORT) -> tuple[Reply, ...]:
    return (reply,) * n


PARTIAL_TOKEN = Reply.token(PARTIAL)
CHUNKED_CUT = (
    b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
    b'40\r\n{"access_token": "' + PARTIAL.encode()
)
CLOSE_DELIMITED_CUT = (
    b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
    b'{"access_token": "' + PARTIAL.encode()
)
RESET = exact("ReadError: [Errno 104] Connection reset by peer")
NO_ANSWER = exact("RemoteProtocolError: Server disconnected without sending a response.")
HTML_502 = (Reply.html(502).body or b"").decode().strip()

FAULTS = [
    Fault(
        "refused",
        (),
        qb.TransportError,
        r"ConnectError: (\[Errno 111\] Connection refused|All connection attempts failed)",
        httpx.ConnectError,
    ),
    Fault("reset-before-answer", times(Reply.reset()), qb.TransportError, RESET, httpx.ReadError),
    Fault(
        "reset-mid-body",
        times(Reply.cut_short(20, PARTIAL_TOKEN, rst=True)),
        qb.TransportError,
        RESET,
        httpx.ReadError,
    ),
    Fault(
        "closed-mid-body",
        times(Reply.cut_short(20, PARTIAL_TOKEN)),
        qb.TransportError,
        r"RemoteProtocolError: peer closed connection without sending complete message body "
        r"\(received 20 bytes, expected \d+\)",
        httpx.RemoteProtocolError,
    ),
    Fault(
        "closed-mid-chunk",
        times(Reply.garbage(CHUNKED_CUT)),
        qb.TransportError,
        exact(
            "RemoteProtocolError: peer closed connection without sending complete message body "
            "(incomplete chunked read)"
        ),
        httpx.RemoteProtocolError,
    ),
    Fault(
        "closed-mid-headers",
        times(Reply.garbage(b"HTTP/1.1 200 OK\r\nContent-Le")),
        qb.TransportError,
        NO_ANSWER,
        httpx.RemoteProtocolError,
    ),
    Fault(
        "dropped", times(Reply.dropped()), qb.TransportError, NO_ANSWER, httpx.RemoteProtocolError
    ),
    Fault(
        "after-the-timeout",
        times(Reply.slow(LATE, then=PARTIAL_TOKEN)),
        qb.TransportError,
        exact("ReadTimeout: timed out"),
        httpx.ReadTimeout,
    ),
    Fault(
        "not-http",
        times(Reply.garbage(b"\x00\x01SSH-2.0-nothing-like-http\r\n\r\n")),
        qb.TransportError,
        exact(
            "RemoteProtocolError: illegal status line: "
            r"bytearray(b'\x00\x01SSH-2.0-nothing-like-http')"
        ),
        httpx.RemoteProtocolError,
    ),
    Fault(
        "gzip-that-does-not-decode",
        (Reply(body=b"\x1f\x8b not gzip at all", headers=(("Content-Encoding", "gzip"),)),),
        qb.TransportError,
        r"DecodingError: .+",
        httpx.DecodingError,
    ),
    Fault(
        "malformed-json",
        (Reply.text(200, f'{{"access_token": "{PARTIAL}", "expires_in": }}', "application/json"),),
        qb.DecodeError,
        exact("invalid token response: expected value at line 1 column 51"),
    ),
    Fault(
        "truncated-json",
        (Reply.text(200, f'{{"access_token": "{PARTIAL}', "application/json"),),
        qb.DecodeError,
        exact("invalid token response: EOF while parsing a string at line 1 column 33"),
    ),
    Fault(
        "truncated-close-delimited",
        (Reply.garbage(CLOSE_DELIMITED_CUT),),
        qb.DecodeError,
        exact("invalid token response: EOF while parsing a string at line 1 column 33"),
    ),
    Fault(
        "mistyped-lifetime",
        (Reply.token(PARTIAL, expires_in="3600"),),
        qb.DecodeError,
        exact(
            'invalid token response: invalid type: string "3600", expected i64 at line 1 column 80'
        ),
    ),
    Fault(
        "html-on-200",
        (Reply.html(200, "Sign in"),),
        qb.DecodeError,
        exact("invalid token response: expected value at line 1 column 1"),
    ),
    # An outage answer is retried within the budget; the last one is raised.
    Fault("html-502", times(Reply.html(502)), qb.AuthenticationError, exact(HTML_502), status=502),
    Fault(
        "server-error-500",
        (Reply.oauth_error(500, "server_error", "try again later"),),
        qb.AuthenticationError,
        exact("try again later"),
        status=500,
    ),
    Fault(
        "invalid-client-401",
        (Reply.oauth_error(401, "invalid_client", "Client authentication failed"),),
        qb.AuthenticationError,
        exact("Client authentication failed"),
        status=401,
    ),
    Fault(
        "access-denied-403",
        (Reply.oauth_error(403, "access_denied"),),
        qb.AuthenticationError,
        exact("access_denied"),
        status=403,
    ),
]
TRANSPORT_FAULTS = [f for f in FAULTS if f.replies and f.requests == TRANSPORT]


# -- both flavours behind one face ---------------------------------------------


class CountingTransport(httpx.HTTPTransport):
    """The real transport, counting the attempts the client makes."""

    attempts = 0

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        self.attempts += 1
        return super().handle_request(request)


class CountingAsyncTransport(httpx.AsyncHTTPTransport):
    attempts = 0

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        self.attempts += 1
        return await super().handle_async_request(request)


class Driver:
    """One client of either flavour, called synchronously by the tests."""

    def __init__(self, flavour: str, config: qb.Config, **options: Any) -> None:
        options = {"retries": RETRIES, "backoff": 0.01, "timeout": TIMEOUT, **options}
        self.loop: asyncio.AbstractEventLoop | None = None
        self.client: qb.Client | qb.AsyncClient
        self.transport: CountingTransport | CountingAsyncTransport
        if flavour == "sync":
            self.transport = CountingTransport()
            self.client = qb.Client(config, transport=self.transport, **options)
        else:
            self.loop = asyncio.new_event_loop()
            self.transport = CountingAsyncTransport()
            self.client = qb.AsyncClient(config, transport=self.transport, **options)

    def _run(self, value: Any) -> Any:
        return value if self.loop is None else self.loop.run_until_complete(value)

    @property
    def token_provider(self) -> qb.TokenProvider | qb.AsyncTokenProvider:
        return self.client.token_provider

    def token(self) -> qb.AccessToken:
        return self._run(self.client.token())  # type: ignore[no-any-return]

    def resource_status(self, url: str) -> int:
        """Our own request to the resource, with the client's BearerAuth."""
        if isinstance(self.client, qb.Client):
            with httpx.Client(auth=self.client.auth, timeout=5) as http:
                return http.get(url).status_code

        async def get() -> int:
            async with httpx.AsyncClient(auth=self.client.auth, timeout=5) as http:
                return (await http.get(url)).status_code

        return self._run(get())  # type: ignore[no-any-return]

    def close(self) -> None:
        if isinstance(self.client, qb.Client):
            self.client.close()
        elif self.loop is not None:
            self.loop.run_until_complete(self.client.aclose())
            self.loop.close()


FLAVOURS = ["sync", "async"]


@pytest.fixture
def gateway() -> Iterator[LocalGateway]:
    with LocalGateway(CLIENT_ID, SECRET) as gw:
        yield gw


@pytest.fixture
def logs(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    for name in ("quillon_bo", "httpx", "httpcore"):
        caplog.set_level(logging.DEBUG, logger=name)
    return caplog


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def texts_of(exc: BaseException) -> list[str]:
    """Every text an exception shows: its own, its chain's, the traceback's."""
    out = ["".join(traceback.format_exception(type(exc), exc, exc.__traceback__))]
    seen: BaseException | None = exc
    while seen is not None:
        out += [str(seen), repr(seen)]
        request = getattr(seen, "_request", None)  # httpx's, when it has one
        if isinstance(request, httpx.Request):
            out += [repr(request), repr(request.headers)]
        seen = seen.__cause__ or seen.__context__
    return out


def assert_hidden(texts: list[str]) -> None:
    for text in texts:
        for secret in FORBIDDEN:
            assert secret not in text, (secret, text)


def log_texts(logs: pytest.LogCaptureFixture) -> list[str]:
    return [logs.text, *(record.getMessage() for record in logs.records)]


# -- one failing call, then recovery -------------------------------------------


@pytest.mark.parametrize("flavour", FLAVOURS)
@pytest.mark.parametrize("fault", FAULTS, ids=[f.id for f in FAULTS])
def test_fault_is_raised_clearly_caches_nothing_and_the_next_call_recovers(
    gateway: LocalGateway, logs: pytest.LogCaptureFixture, fault: Fault, flavour: str
) -> None:
    port = free_port() if not fault.replies else gateway.port
    config = qb.Config(CLIENT_ID, client_secret=SECRET, base_url=f"http://127.0.0.1:{port}/sandbox")
    gateway.enqueue(*fault.replies)
    driver = Driver(flavour, config)
    texts = [repr(config), str(config), repr(driver.client), repr(driver.token_provider)]
    recovered = gateway
    try:
        with pytest.raises(qb.QuillonError) as info:
            driver.token()
        exc = info.value
        assert type(exc) is fault.error
        assert re.fullmatch(fault.message, exc.message), exc.message
        assert exc.retryable is fault.retryable
        if fault.cause is None:
            assert exc.__cause__ is None
        else:
            assert isinstance(exc, qb.TransportError)
            assert isinstance(exc.__cause__, fault.cause) and exc.original is exc.__cause__
            assert exc.timeout is (fault.cause is httpx.ReadTimeout)
        if fault.status is not None:
            assert exc.status == fault.status  # type: ignore[attr-defined]
        if isinstance(exc, (qb.TransportError, qb.AuthenticationError)):
            assert exc.attempts == fault.requests
        assert driver.transport.attempts == fault.requests  # retries only for transport
        assert gateway.token_requests == (len(fault.replies) and fault.requests)
        assert driver.token_provider.current is None
        texts += texts_of(exc)

        if not fault.replies:  # the endpoint comes up where nothing listened
            recovered = LocalGateway(CLIENT_ID, SECRET, port=port).start()
        recovered.enqueue(Reply.token(RECOVERED, scope="faults"))
        token = driver.token()
        assert (token.access_token, token.scope) == (RECOVERED, "faults")
        assert driver.token_provider.current is token and driver.token() is token
        assert driver.resource_status(recovered.resource_url) == 200
        assert recovered.token_requests == (len(fault.replies) and fault.requests) + 1
        texts += [repr(token), str(token), repr(driver.client.auth), repr(recovered.requests)]
    finally:
        driver.close()
        if recovered is not gateway:
            recovered.stop()
    assert any(r.name.startswith("httpcore") for r in logs.records)
    assert_hidden(texts + log_texts(logs))


@pytest.mark.parametrize("flavour", FLAVOURS)
@pytest.mark.parametrize("fault", TRANSPORT_FAULTS, ids=[f.id for f in TRANSPORT_FAULTS])
def test_transport_faults_within_the_retry_budget_are_absorbed(
    gateway: LocalGateway, fault: Fault, flavour: str
) -> None:
    gateway.enqueue(*fault.replies[:RETRIES], Reply.token(RECOVERED))
    driver = Driver(flavour, gateway.config())
    try:
        token = driver.token()
        assert token.access_token == RECOVERED and driver.token_provider.current is token
    finally:
        driver.close()
    assert gateway.token_requests == driver.transport.attempts == TRANSPORT


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_errors_for_a_while_then_success(gateway: LocalGateway, flavour: str) -> None:
    failing = times(Reply.oauth_error(500, "server_error", "try again later"), 3)
    gateway.enqueue(*failing, Reply.token(RECOVERED))
    driver = Driver(flavour, gateway.config(), retries=5)
    try:
        for n, reply in enumerate(failing, 1):
            with pytest.raises(qb.AuthenticationError) as info:
                driver.token()
            assert info.value.status == reply.status
            assert gateway.token_requests == n  # a 500 is never resent
            assert driver.token_provider.current is None
        assert driver.token().access_token == RECOVERED
    finally:
        driver.close()
    assert gateway.token_requests == len(failing) + 1


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_refresh_that_fails_hands_out_neither_the_old_token_nor_a_broken_one(
    gateway: LocalGateway, clock: FakeClock, flavour: str
) -> None:
    driver = Driver(flavour, gateway.config(), clock=clock)
    try:
        first = driver.token()
        gateway.revoke_tokens()
        gateway.enqueue(*times(Reply.cut_short(20, PARTIAL_TOKEN, rst=True)))
        # The resource refuses the revoked token; BearerAuth's refresh fails,
        # and the refused token is not sent a second time.
        with pytest.raises(qb.TransportError):
            driver.resource_status(gateway.resource_url)
        assert gateway.resource_requests == 1 and driver.token_provider.current is None
        gateway.enqueue(Reply.token(RECOVERED))
        assert driver.resource_status(gateway.resource_url) == 200
        assert driver.token_provider.current is not None
        assert driver.token_provider.current.access_token == RECOVERED != first.access_token

        clock.now += 7200  # the recovered token has expired
        expired = driver.token_provider.current
        gateway.enqueue(Reply.malformed())
        with pytest.raises(qb.DecodeError):
            driver.token()
        assert driver.token_provider.current is expired  # nothing new cached, the old one not given
        assert driver.token().access_token.startswith("tok-")
    finally:
        driver.close()
    assert gateway.token_requests == 1 + TRANSPORT + 1 + 1 + 1


BASIC = base64.b64encode(f"{CLIENT_ID}:{SECRET}".encode()).decode()


@pytest.mark.parametrize("flavour", FLAVOURS)
@pytest.mark.parametrize(
    "basic_token",
    [f"Basic {BASIC}\r\nX-Injected: 1", f"{BASIC[:6]}\n{BASIC[6:]}", f"{BASIC}\x00"],
    ids=["crlf", "line-break", "nul"],
)
def test_credential_http_refuses_is_not_sent_nor_quoted(
    gateway: LocalGateway, logs: pytest.LogCaptureFixture, basic_token: str, flavour: str
) -> None:
    # h11 refuses such a header with a message that quotes the value whole.
    driver = Driver(flavour, gateway.config(client_secret=None, basic_token=basic_token))
    try:
        with pytest.raises(qb.TransportError) as info:
            driver.token()
    finally:
        driver.close()
    assert str(info.value).startswith("the request was not sent: its Authorization header")
    assert info.value.retryable is False and driver.transport.attempts == 0
    assert gateway.request_count == 0
    assert_hidden([*texts_of(info.value), *log_texts(logs), BASIC[6:], BASIC[:6] + "\n"])


# -- the command line ----------------------------------------------------------


def run_cli(*args: str, env: dict[str, str], stdin: str = "") -> subprocess.CompletedProcess[str]:
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("QUILLON_BO_")}
    full_env.update(env)
    return subprocess.run(
        [sys.executable, "-m", "quillon_bo", "token", *args],
        input=stdin,
        capture_output=True,
        text=True,
        env=full_env,
        timeout=60,
    )


def test_cli_prints_the_token_and_nothing_secret(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.token(RECOVERED))
    env = {"QUILLON_BO_CLIENT_ID": CLIENT_ID, "QUILLON_BO_BASE_URL": gateway.base_url}
    result = run_cli("--client-secret-file", "-", env=env, stdin=SECRET + "\n")
    assert (result.returncode, result.stderr) == (0, "")
    # The one thing the command prints is the token it was asked for.
    assert json.loads(result.stdout)["access_token"] == RECOVERED
    assert_hidden([result.stdout.replace(RECOVERED, ""), result.stderr])


@pytest.mark.parametrize(
    ("replies", "args", "stderr", "requests"),
    [
        (
            (Reply.oauth_error(401, "invalid_client", "Client authentication failed"),),
            (),
            "authentication error: Client authentication failed",
            1,
        ),
        (times(Reply.cut_short(20, PARTIAL_TOKEN, rst=True)), (), f"transport error: {RESET}", 3),
        (
            (Reply.slow(LATE, then=PARTIAL_TOKEN),),
            ("--timeout", str(TIMEOUT), "--retries", "0"),
            "transport error: ReadTimeout: timed out",
            1,
        ),
        (
            (Reply.garbage(b"SSH-2.0-nothing\r\n\r\n"),),
            ("--retries", "0"),
            r"transport error: RemoteProtocolError: illegal status line: .+",
            1,
        ),
        (
            (Reply.text(200, f'{{"access_token": "{PARTIAL}', "application/json"),),
            (),
            "decode error: invalid token response: EOF while parsing a string at line 1 column 33",
            1,
        ),
        (
            (Reply(body=b"\x1f\x8b not gzip", headers=(("Content-Encoding", "gzip"),)),),
            (),
            "transport error: DecodingError: .+",
            1,
        ),
    ],
    ids=["401", "reset", "timeout", "not-http", "truncated-json", "bad-gzip"],
)
def test_cli_failures_are_one_clear_line_without_secrets(
    gateway: LocalGateway,
    replies: tuple[Reply, ...],
    args: tuple[str, ...],
    stderr: str,
    requests: int,
) -> None:
    gateway.enqueue(*replies)
    env = {
        "QUILLON_BO_CLIENT_ID": CLIENT_ID,
        "QUILLON_BO_CLIENT_SECRET": SECRET,
        "QUILLON_BO_BASE_URL": gateway.base_url,
    }
    result = run_cli(*args, env=env)
    assert (result.returncode, result.stdout) == (1, "")
    where = r" \(POST http://\S+; (status \d+; )?\d attempts?\)"
    assert re.fullmatch(f"quillon-bo: {stderr}{where}\n", result.stderr), result.stderr
    assert gateway.token_requests == requests
    assert_hidden([result.stderr])
