"""The executor end to end: the core's requests over real sockets, answers back
through the core, failures as exceptions."""

from __future__ import annotations

import asyncio
import time
from typing import Any

import httpx
import pytest

import quillon_bo as qb
from quillon_bo.executor import Executor
from quillon_bo.testing import LocalGateway, Reply

from .conftest import FakeClock

# The described request's headers, what httpx itself must add and the package's
# User-Agent; nothing else may appear.
EXPECTED_HEADERS = {
    "accept",
    "authorization",
    "content-type",
    "content-length",
    "host",
    "user-agent",
}
USER_AGENT = f"quillon_bo/{qb.__version__}"


def test_sends_exactly_the_described_request(gateway: LocalGateway, clock: FakeClock) -> None:
    with qb.Client(gateway.config(), clock=clock) as client:
        token = client.fetch_token()
    assert token.expires_at == clock.now + 3600 - 60 and token.token_type == "Bearer"
    (seen,) = gateway.requests
    assert seen.rejected is None and seen.method == "POST" and seen.body == b""
    assert seen.query == "grant_type=client_credentials"
    assert {k.lower() for k, _ in seen.headers} == EXPECTED_HEADERS
    assert seen.header("Content-Length") == "0"
    assert seen.header("User-Agent") == USER_AGENT


def test_callers_client_is_used_but_adds_nothing(gateway: LocalGateway) -> None:
    sent: list[httpx.Request] = []
    http = httpx.Client(
        headers={"User-Agent": "mine", "X-Extra": "1"},
        auth=httpx.BasicAuth("someone", "else"),
        event_hooks={"request": [sent.append]},
    )
    with http, qb.Client(gateway.config(), http_client=http) as client:
        client.fetch_token()
        client.close()
        assert not http.is_closed  # the caller's client stays the caller's
    assert len(sent) == 1
    (seen,) = gateway.requests
    assert seen.rejected is None  # the gateway's own credentials, not the client's auth
    assert {k.lower() for k, _ in seen.headers} == EXPECTED_HEADERS
    assert seen.header("User-Agent") == USER_AGENT  # not the client's default


def test_a_user_agent_the_core_describes_is_kept() -> None:
    described = {"method": "POST", "url": "https://x.example/t", "headers": {"user-agent": "c/2"}}
    with Executor(qb.Config("id", client_secret="s")) as executor:
        request = executor._request_maker.make(described, None)
    assert request.headers.get_list("User-Agent") == ["c/2"]


def test_own_transport_is_used(gateway: LocalGateway) -> None:
    calls: list[str] = []

    class Counting(httpx.HTTPTransport):
        def handle_request(self, request: httpx.Request) -> httpx.Response:
            calls.append(request.method)
            return super().handle_request(request)

    with qb.Client(gateway.config(), transport=Counting()) as client:
        client.fetch_token()
    assert calls == ["POST"]


BODY_502 = Reply.html(502).body or b""


@pytest.mark.parametrize(
    ("reply", "cls", "message", "status"),
    [
        (
            Reply.oauth_error(401, "invalid_client", "Client authentication failed"),
            qb.AuthenticationError,
            "Client authentication failed",
            401,
        ),
        (Reply.oauth_error(403, "access_denied"), qb.AuthenticationError, "access_denied", 403),
        (Reply.html(502), qb.AuthenticationError, BODY_502.decode().strip()[:200], 502),
        (Reply.empty(401), qb.AuthenticationError, "empty response body", 401),
        (Reply.text(500, b"\xff\xfeoops"), qb.AuthenticationError, "\ufffd\ufffdoops", 500),
        (
            Reply(status=302, body=b"", headers=(("Location", "http://127.0.0.1:9/"),)),
            qb.AuthenticationError,
            "empty response body",
            302,
        ),
        (
            Reply.empty(200),
            qb.DecodeError,
            "invalid token response: EOF while parsing a value at line 1 column 0",
            None,
        ),
        (Reply.token(""), qb.DecodeError, "token response has an empty access_token", None),
        (Reply.token("t", token_type=None, extra={"token_type": None}), qb.DecodeError, None, None),
    ],
)
def test_answers_become_exceptions_with_the_cores_message(
    gateway: LocalGateway,
    reply: Reply,
    cls: type[qb.QuillonError],
    message: str | None,
    status: int | None,
) -> None:
    gateway.enqueue(reply)
    # With status retries off, the 502 is read like any other refusal.
    client = qb.Client(gateway.config(), retry_statuses=())
    with client, pytest.raises(cls) as info:
        client.fetch_token()
    if message is not None:
        assert info.value.message == message
    else:
        assert str(info.value).startswith("invalid token response: ")
    if status is not None:
        assert info.value.status == status  # type: ignore[attr-defined]
    assert info.value.retryable is False
    assert gateway.token_requests == 1


def test_malformed_success_body_is_a_decode_error(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.malformed())
    with qb.Client(gateway.config()) as client, pytest.raises(qb.DecodeError) as info:
        client.fetch_token()
    assert str(info.value).startswith("invalid token response: EOF while parsing")


def test_wrong_secret_is_refused_by_the_gateway(gateway: LocalGateway) -> None:
    gateway.always(None)
    config = gateway.config(client_secret="wrong")
    with qb.Client(config, retries=3) as client, pytest.raises(qb.AuthenticationError) as info:
        client.fetch_token()
    assert (info.value.status, info.value.message) == (401, "client authentication failed")
    assert gateway.token_requests == 1


@pytest.mark.parametrize(
    ("overrides", "field", "message"),
    [
        ({"client_id": " \t"}, "client_id", "must not be empty"),
        (
            {"client_secret": None},
            "client_secret",
            "either client_secret or basic_token is required",
        ),
    ],
)
def test_invalid_configuration_sends_nothing(
    gateway: LocalGateway, overrides: dict[str, Any], field: str, message: str
) -> None:
    with (
        qb.Client(gateway.config(**overrides)) as client,
        pytest.raises(qb.ValidationError) as info,
    ):
        client.fetch_token()
    assert (info.value.field, str(info.value)) == (field, message)
    assert gateway.request_count == 0


def test_basic_token_configuration_is_sent(gateway: LocalGateway) -> None:
    import base64

    ready = base64.b64encode(f"{gateway.client_id}:{gateway.client_secret}".encode()).decode()
    config = gateway.config(client_secret=None, basic_token="Basic " + ready)
    with qb.Client(config) as client:
        client.fetch_token()
    assert gateway.requests[0].rejected is None


@pytest.mark.parametrize(
    ("op", "input", "start"),
    [
        ("nope", {}, "unknown operation `nope.build`"),
        ("token", {}, "invalid payload: missing field `now`"),
    ],
)
def test_core_refusals_of_the_call(gateway: LocalGateway, op: str, input: Any, start: str) -> None:
    with Executor(gateway.config()) as ex, pytest.raises(qb.FfiError) as info:
        ex.execute(op, input)
    assert str(info.value).startswith(start)
    assert gateway.request_count == 0


def test_generic_execute_returns_the_parse_value(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.token("abc", scope="read write", expires_in=61))
    with Executor(gateway.config()) as ex:
        value = ex.execute("token", {"now": 50})
    assert value == {
        "access_token": "abc",
        "expires_at": 51,
        "scope": "read write",
        "token_type": "Bearer",
    }


# -- transport failures ------------------------------------------------------


def test_timeout_is_a_transport_error(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.slow(5.0))
    started = time.monotonic()
    client = qb.Client(gateway.config(), timeout=0.1, retries=0)
    with client, pytest.raises(qb.TransportError) as info:
        client.fetch_token()
    assert time.monotonic() - started < 4
    assert info.value.timeout and isinstance(info.value.__cause__, httpx.ReadTimeout)


def test_refused_connection_is_retried_with_backoff_then_raised(refused_url: str) -> None:
    slept: list[float] = []
    config = qb.Config("id", client_secret="s", base_url=refused_url)
    client = qb.Client(config, retries=3, backoff=0.01, sleep=slept.append)
    with client, pytest.raises(qb.TransportError) as info:
        client.fetch_token()
    assert slept == [0.01, 0.02, 0.04]
    assert isinstance(info.value.__cause__, httpx.ConnectError) and not info.value.timeout


def test_backoff_doubles_up_to_its_cap_however_many_retries(refused_url: str) -> None:
    slept: list[float] = []
    config = qb.Config("id", client_secret="s", base_url=refused_url)
    client = qb.Client(config, retries=1100, backoff=0.01, sleep=slept.append)
    with client, pytest.raises(qb.TransportError) as info:
        client.fetch_token()
    assert slept[:3] == [0.01, 0.02, 0.04] and set(slept[10:]) == {5.0}
    assert len(slept) == 1100 and info.value.attempts == 1101


def test_tls_failure_is_not_retried(gateway: LocalGateway) -> None:
    slept: list[float] = []
    config = gateway.config(base_url=gateway.base_url.replace("http:", "https:"))
    client = qb.Client(config, retries=3, sleep=slept.append)
    with client, pytest.raises(qb.TransportError) as info:
        client.fetch_token()
    assert isinstance(info.value.__cause__, httpx.ConnectError) and slept == []


@pytest.mark.parametrize(
    ("drops", "retries", "succeeds"), [(2, 2, True), (3, 2, False), (1, 0, False)]
)
def test_dropped_connections_are_retried_a_bounded_number_of_times(
    gateway: LocalGateway, drops: int, retries: int, succeeds: bool
) -> None:
    gateway.enqueue(*[Reply.dropped()] * drops)
    with qb.Client(gateway.config(), retries=retries, backoff=0.001) as client:
        if succeeds:
            client.fetch_token()
        else:
            with pytest.raises(qb.TransportError) as info:
                client.fetch_token()
            assert isinstance(info.value.__cause__, httpx.RemoteProtocolError)
    assert gateway.token_requests == min(drops + 1, retries + 1)


def test_oversized_body_is_refused(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.text(200, "x" * 5000))
    client = qb.Client(gateway.config(), max_response_bytes=1000)
    with client, pytest.raises(qb.TransportError, match="exceeds 1000 bytes"):
        client.fetch_token()
    assert gateway.token_requests == 1


# -- the async flavour -------------------------------------------------------


def test_async_client_sends_the_same_request_and_raises_the_same_errors(
    gateway: LocalGateway, clock: FakeClock
) -> None:
    gateway.enqueue(Reply.oauth_error(401, "invalid_client", "no"), Reply.dropped())

    async def run() -> qb.AccessToken:
        async with qb.AsyncClient(gateway.config(), clock=clock, backoff=0.001) as client:
            where = r"\(POST http://127\.0\.0\.1:\d+/sandbox/\S+; status 401; 1 attempt\)"
            with pytest.raises(qb.AuthenticationError, match=rf"^no {where}$"):
                await client.fetch_token()
            return await client.fetch_token()  # after one dropped connection

    token = asyncio.run(run())
    assert token.expires_at == clock.now + 3540
    assert gateway.token_requests == 3
    assert {k.lower() for k, _ in gateway.requests[-1].headers} == EXPECTED_HEADERS
    assert gateway.requests[-1].header("User-Agent") == USER_AGENT


def test_async_timeout_and_refusal(gateway: LocalGateway, refused_url: str) -> None:
    gateway.enqueue(Reply.slow(2.0))

    async def run() -> tuple[qb.TransportError, qb.TransportError]:
        async with qb.AsyncClient(gateway.config(), timeout=0.1, retries=0) as slow:
            with pytest.raises(qb.TransportError) as timed_out:
                await slow.fetch_token()
        config = qb.Config("id", client_secret="s", base_url=refused_url)
        async with qb.AsyncClient(config, retries=1, backoff=0.001) as refused:
            with pytest.raises(qb.TransportError) as not_connected:
                await refused.fetch_token()
        return timed_out.value, not_connected.value

    timed_out, refused = asyncio.run(run())
    assert timed_out.timeout and isinstance(refused.__cause__, httpx.ConnectError)
