"""Each attempt's whole-answer deadline, against real sockets that stall it.

httpx's time-outs bound one wait each; an endpoint that never accepts, reads
the request slowly, or sends the headers or the body a byte at a time, each
well within them, is cut off by the deadline instead, for both flavours, as a
time-out that follows the retry rules, caches nothing and shows no secret.
"""

from __future__ import annotations

import asyncio
import base64
import math
import socket
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import httpx
import pytest

import quillon_bo as qb
from quillon_bo.core import OperationInfo
from quillon_bo.testing import LocalGateway, Reply, StalledEndpoint

from .test_faults import (
    CLIENT_ID,
    FLAVOURS,
    PARTIAL,
    RECOVERED,
    SECRET,
    TIMEOUT,
    Driver,
    assert_hidden,
    texts_of,
)

DEADLINE = 0.5
# Generous: the deadline is looked at between pieces some 20 ms apart, and a
# loaded machine may be slow to run the test's own threads.
MARGIN = 1.0
PAD = {"pad": "x" * 150}
# About 200 bytes, one every 20 ms (far within the 0.3 s read time-out): at
# least 4 s for the whole body.
TRICKLE = Reply.trickle(1, 0.02, Reply.token(PARTIAL, extra=PAD))


@pytest.fixture
def gateway() -> Iterator[LocalGateway]:
    with LocalGateway(CLIENT_ID, SECRET) as gw:
        yield gw


def timed_failure(driver: Driver) -> tuple[qb.TransportError, float]:
    started = time.monotonic()
    with pytest.raises(qb.TransportError) as info:
        driver.token()
    return info.value, time.monotonic() - started


@pytest.mark.parametrize("flavour", FLAVOURS)
@pytest.mark.parametrize(("idempotent", "attempts"), [(True, 2), (False, 1)])
def test_trickled_body_ends_at_the_deadline_as_a_timeout(
    gateway: LocalGateway,
    monkeypatch: pytest.MonkeyPatch,
    flavour: str,
    idempotent: bool,
    attempts: int,
) -> None:
    gateway.enqueue(*(TRICKLE,) * attempts)
    driver = Driver(flavour, gateway.config(), retries=1, deadline=DEADLINE)
    # The core's one operation is idempotent; an operation that is not must
    # not be resent after a deadline, as after any read time-out.
    engine = driver.client.executor
    monkeypatch.setitem(engine._ops, "token", OperationInfo("token", idempotent=idempotent))
    try:
        exc, elapsed = timed_failure(driver)
        assert (
            exc.message
            == f"ReadTimeout: no whole answer within the attempt's {DEADLINE} s deadline"
        )
        assert exc.timeout is True and exc.retryable is True
        assert isinstance(exc.__cause__, httpx.ReadTimeout) and exc.original is exc.__cause__
        assert attempts * DEADLINE <= elapsed < attempts * DEADLINE + MARGIN
        assert driver.transport.attempts == gateway.token_requests == attempts
        assert driver.token_provider.current is None
        assert_hidden(texts_of(exc))

        # The connection cut off part way is not reused for the next call.
        gateway.enqueue(Reply.token(RECOVERED))
        assert driver.token().access_token == RECOVERED
        assert driver.token_provider.current is not None
    finally:
        driver.close()


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_explicit_deadline_also_caps_a_single_silent_wait(
    gateway: LocalGateway, flavour: str
) -> None:
    # A read time-out of 10 s would hold the call until the answer at 3 s.
    gateway.enqueue(Reply.slow(3.0, then=Reply.token(PARTIAL)))
    driver = Driver(flavour, gateway.config(), timeout=10.0, retries=0, deadline=DEADLINE)
    try:
        exc, elapsed = timed_failure(driver)
    finally:
        driver.close()
    assert exc.timeout is True and isinstance(exc.__cause__, httpx.ReadTimeout)
    assert elapsed < DEADLINE + MARGIN
    assert gateway.token_requests == 1


# Headers one byte every 20 ms: at least 3 s before the body could begin.
TRICKLED_HEADERS = Reply.trickle(
    1,
    0.02,
    Reply.garbage(
        b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Pad: "
        + b"x" * 120
        + b"\r\nContent-Length: 2\r\n\r\n{}"
    ),
)
# A request of 1 MiB that the endpoint reads 1 KiB every 50 ms: some 50 s to
# send, each write of the client's making progress well within its time-out.
LARGE_BASIC = "Basic " + "A" * (1 << 20)
SMALL_SEND_BUFFER = [(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)]


@contextmanager
def stalled(phase: str) -> Iterator[tuple[qb.Config, dict[str, Any]]]:
    """A configuration whose endpoint holds an attempt in ``phase``, and the
    options of the transport to reach it with."""
    if phase in StalledEndpoint.PHASES:
        with StalledEndpoint(phase) as endpoint:
            if phase == "send":
                config = qb.Config(CLIENT_ID, basic_token=LARGE_BASIC, base_url=endpoint.base_url)
                yield config, {"socket_options": SMALL_SEND_BUFFER}
            else:
                yield qb.Config(CLIENT_ID, client_secret=SECRET, base_url=endpoint.base_url), {}
        return
    with LocalGateway(CLIENT_ID, SECRET) as gateway:
        gateway.always(TRICKLED_HEADERS if phase == "headers" else TRICKLE)
        yield gateway.config(), {}


# The time-out each phase is reported as, and so retried as: a connection
# never made is resent for any operation. Over asyncio a large request is
# handed to the event loop's buffer whole, and the attempt is waiting for the
# headers while it still goes out.
PHASE_TIMEOUTS = {
    "connect": {httpx.ConnectTimeout},
    "send": {httpx.WriteTimeout, httpx.ReadTimeout},
    "headers": {httpx.ReadTimeout},
    "body": {httpx.ReadTimeout},
}


@pytest.mark.parametrize("flavour", FLAVOURS)
@pytest.mark.parametrize("phase", list(PHASE_TIMEOUTS))
def test_deadline_holds_in_every_phase_of_an_attempt(phase: str, flavour: str) -> None:
    # Each stall lasts 3 s or more; the socket operations of each (a connect,
    # writes, reads) are each far within httpx's own 0.3 s time-out but one.
    with stalled(phase) as (config, transport):
        if flavour == "sync":
            client: Any = qb.Client(
                config,
                transport=httpx.HTTPTransport(**transport),
                retries=0,
                deadline=DEADLINE,
            )
            assert client.executor.socket_deadlines
            call = client.fetch_token
        else:
            client = qb.AsyncClient(
                config,
                transport=httpx.AsyncHTTPTransport(**transport),
                retries=0,
                deadline=DEADLINE,
            )

            def call() -> Any:
                async def fetch() -> Any:
                    async with client:
                        return await client.fetch_token()

                return asyncio.run(fetch())

        started = time.monotonic()
        try:
            with pytest.raises(qb.TransportError) as info:
                call()
        finally:
            if flavour == "sync":
                client.close()
        elapsed = time.monotonic() - started
    exc = info.value
    assert exc.message.endswith(f"no whole answer within the attempt's {DEADLINE} s deadline")
    assert exc.timeout is True and type(exc.__cause__) in PHASE_TIMEOUTS[phase]
    if flavour == "sync" and phase == "send":
        assert type(exc.__cause__) is httpx.WriteTimeout
    assert DEADLINE - 0.05 <= elapsed < DEADLINE + MARGIN, elapsed
    assert exc.attempts == 1


@pytest.mark.parametrize(
    ("make", "installed"),
    [
        (lambda: {}, True),
        (lambda: {"transport": httpx.HTTPTransport(retries=1)}, True),
        (lambda: {"http_client": httpx.Client(mounts={"http://": httpx.HTTPTransport()})}, True),
        (lambda: {"transport": httpx.MockTransport(lambda r: httpx.Response(500))}, False),
    ],
    ids=["own-client", "callers-transport", "callers-client-with-mounts", "mock-transport"],
)
def test_socket_deadlines_go_wherever_httpx_own_transport_is(make: Any, installed: bool) -> None:
    config = qb.Config(CLIENT_ID, client_secret=SECRET)
    with qb.Client(config, **make()) as client:
        assert client.executor.socket_deadlines is installed


def test_callers_own_requests_over_the_same_client_keep_no_deadline(
    gateway: LocalGateway,
) -> None:
    # Some 1 s of trickled body: past the client's deadline, but this request
    # is the caller's own, not an attempt of the client.
    gateway.enqueue(Reply.trickle(1, 0.005, SLOW_OK))
    basic = base64.b64encode(f"{CLIENT_ID}:{SECRET}".encode()).decode()
    headers = {
        "Accept": "application/json",
        "Authorization": f"Basic {basic}",
        "Content-Type": "application/x-www-form-urlencoded",
    }
    with (
        httpx.Client(timeout=5) as http,
        qb.Client(gateway.config(), http_client=http, deadline=0.3) as client,
    ):
        assert client.executor.socket_deadlines
        response = http.post(gateway.token_url, headers=headers)
        assert response.json()["access_token"] == RECOVERED


SLOW_OK = Reply.token(RECOVERED, extra=PAD)  # some 200 bytes


@pytest.mark.parametrize("flavour", FLAVOURS)
@pytest.mark.parametrize(
    ("reply", "deadline"),
    [
        (SLOW_OK, DEADLINE),
        # 8 bytes every 10 ms: some 0.25 s, well within 2 s.
        (Reply.trickle(8, 0.01, SLOW_OK), 2.0),
        # A byte every 5 ms, over 1 s: past the 0.9 s that "auto" would allow.
        (Reply.trickle(1, 0.005, SLOW_OK), None),
    ],
    ids=["at-once", "trickle-within-deadline", "no-deadline"],
)
def test_answers_within_their_deadline_are_unaffected(
    gateway: LocalGateway, flavour: str, reply: Reply, deadline: float | None
) -> None:
    gateway.enqueue(reply)
    driver = Driver(flavour, gateway.config(), retries=0, deadline=deadline)
    try:
        token = driver.token()
        assert token.access_token == RECOVERED and driver.token_provider.current is token
    finally:
        driver.close()
    assert gateway.token_requests == 1


DEFAULT = qb.executor.DEFAULT_TIMEOUT


@pytest.mark.parametrize(
    ("options", "client_timeout", "seconds", "waits"),
    [
        ({}, DEFAULT, 30.0, None),
        ({"timeout": TIMEOUT}, DEFAULT, 3 * TIMEOUT, None),
        ({"timeout": httpx.Timeout(1.0, connect=4.0)}, DEFAULT, 12.0, None),
        ({}, httpx.Timeout(0.2), 0.6, None),  # the caller's client's
        ({"timeout": httpx.Timeout(5.0, read=None)}, DEFAULT, None, None),
        ({}, httpx.Timeout(None), None, None),
        (
            {"timeout": httpx.Timeout(10.0, connect=0.2), "deadline": DEADLINE},
            DEFAULT,
            DEADLINE,
            {"connect": 0.2, "read": DEADLINE, "write": DEADLINE, "pool": DEADLINE},
        ),
        (
            {"timeout": None, "deadline": 2},
            httpx.Timeout(None),
            2.0,
            dict.fromkeys(DEFAULT.as_dict(), 2.0),
        ),
        ({"deadline": None}, DEFAULT, None, None),
    ],
    ids=[
        "default",
        "from-timeout",
        "longest-part",
        "from-client",
        "read-off",
        "all-off",
        "explicit-caps-waits",
        "explicit-without-timeouts",
        "none",
    ],
)
def test_deadline_rule(
    options: dict[str, Any],
    client_timeout: httpx.Timeout,
    seconds: float | None,
    waits: dict[str, float] | None,
) -> None:
    config = qb.Config(CLIENT_ID, client_secret=SECRET, base_url="http://127.0.0.1:9/sandbox")
    with (
        httpx.Client(timeout=client_timeout) as http,
        qb.Client(config, http_client=http, **options) as client,
    ):
        engine = client.executor
        request = engine._build_request("token", {"now": 1_000_000}, None)
        before = dict(request.extensions.get("timeout") or http.timeout.as_dict())
        got = engine._attempt_seconds(request, http.timeout)
        assert got == (None if seconds is None else pytest.approx(seconds))
    # An explicit deadline caps the single waits; "auto" is never below them.
    assert request.extensions.get("timeout", before) == (waits or before)


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (0, ValueError),
        (-1.0, ValueError),
        (math.inf, ValueError),
        (math.nan, ValueError),
        ("soon", TypeError),
        (True, TypeError),
    ],
)
@pytest.mark.parametrize("cls", [qb.Client, qb.AsyncClient])
def test_deadline_must_be_positive_seconds(cls: type, value: Any, error: type[Exception]) -> None:
    config = qb.Config(CLIENT_ID, client_secret=SECRET)
    with pytest.raises(error, match="deadline must be"):
        cls(config, deadline=value)
