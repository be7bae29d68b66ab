"""Answers that say "not now" (429, 502, 503, 504): retried within the budget,
after what ``Retry-After`` asks or a jittered back-off, never waiting longer
than ``max_retry_wait``; every other answer is raised as it came."""

from __future__ import annotations

import asyncio
import email.utils
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

import pytest

import quillon_bo as qb
from quillon_bo.core import OperationInfo
from quillon_bo.executor import ExecutorOptions
from quillon_bo.testing import LocalGateway, Reply

from .test_faults import CLIENT_ID, FLAVOURS, RECOVERED, SECRET, Driver, assert_hidden, texts_of

BACKOFF = 0.1


@pytest.fixture
def gateway() -> Iterator[LocalGateway]:
    with LocalGateway(CLIENT_ID, SECRET) as gw:
        yield gw


class Waits:
    """Records the waits a client asks for instead of sleeping them."""

    def __init__(self) -> None:
        self.seconds: list[float] = []

    def sync(self, seconds: float) -> None:
        self.seconds.append(seconds)

    async def async_(self, seconds: float) -> None:
        self.seconds.append(seconds)


def driver(flavour: str, gateway: LocalGateway, waits: Waits, **options: Any) -> Driver:
    sleep = waits.sync if flavour == "sync" else waits.async_
    options = {"retries": 2, "backoff": BACKOFF, "sleep": sleep, **options}
    return Driver(flavour, gateway.config(), **options)


def http_date(seconds_from_now: float) -> str:
    return email.utils.formatdate(time.time() + seconds_from_now, usegmt=True)


@dataclass(frozen=True)
class Case:
    id: str
    #: A callable is called when the case runs (an HTTP date made then).
    replies: tuple[Reply | Callable[[], Reply], ...]
    #: Each wait's bounds, in order.
    waits: tuple[tuple[float, float], ...]
    #: None when the call gets a token; else the status of the error raised.
    status: int | None = None
    retry_after: float | None = None
    options: dict[str, Any] = field(default_factory=dict)

    @property
    def requests(self) -> int:
        return len(self.waits) + 1


UNAVAILABLE = Reply.unavailable(503)
CASES = [
    Case(
        "503-503-then-token",
        (UNAVAILABLE, UNAVAILABLE),
        # Full jitter: anywhere from nothing to the doubling back-off.
        ((0.0, BACKOFF), (0.0, 2 * BACKOFF)),
    ),
    Case(
        "each-status-once",
        (Reply.unavailable(429), Reply.html(502), Reply.unavailable(504)),
        # A limiter that names no wait is given at least a second, and up to
        # another second of jitter.
        ((1.0, 2.0), (0.0, 2 * BACKOFF), (0.0, 4 * BACKOFF)),
        options={"retries": 3},
    ),
    Case("429-429-then-token", (Reply.unavailable(429),) * 2, ((1.0, 2.0), (1.0, 2.0))),
    Case(
        "429-max-retry-wait-caps-the-second",
        (Reply.unavailable(429),),
        ((0.3, 0.3),),
        options={"max_retry_wait": 0.3},
    ),
    Case("retry-after-seconds", (Reply.unavailable(429, 7),), ((7.0, 7.0),)),
    Case(
        "retry-after-http-date",
        (lambda: Reply.unavailable(503, http_date(4)),),
        # The date has whole seconds: between 3 and 4 s from now.
        ((2.5, 4.0),),
    ),
    Case("retry-after-unreadable", (Reply.unavailable(503, "soon"),), ((0.0, BACKOFF),)),
    Case(
        "retry-after-in-the-past", (lambda: Reply.unavailable(503, http_date(-60)),), ((0.0, 0.0),)
    ),
    Case(
        "budget-spent",
        (UNAVAILABLE,) * 3,
        ((0.0, BACKOFF), (0.0, 2 * BACKOFF)),
        status=503,
    ),
    Case(
        "budget-spent-keeps-the-last-retry-after",
        (Reply.unavailable(429, 1),) * 2,
        ((1.0, 1.0),),
        status=429,
        retry_after=1.0,
        options={"retries": 1},
    ),
    Case(
        "asks-longer-than-max-retry-wait",
        (Reply.unavailable(429, 120),),
        (),
        status=429,
        retry_after=120.0,
    ),
    Case(
        "asks-longer-than-a-lowered-max",
        (Reply.unavailable(503, 2),),
        (),
        status=503,
        retry_after=2.0,
        options={"max_retry_wait": 1.5},
    ),
    Case(
        "max-retry-wait-caps-the-back-off",
        (UNAVAILABLE, UNAVAILABLE),
        ((0.0, 0.05), (0.0, 0.05)),
        options={"backoff": 10.0, "max_retry_wait": 0.05},
    ),
    Case("no-retries", (UNAVAILABLE,), (), status=503, options={"retries": 0}),
    Case("status-retries-off", (UNAVAILABLE,), (), status=503, options={"retry_statuses": ()}),
    Case(
        "own-statuses",
        (Reply.oauth_error(500, "server_error"), UNAVAILABLE),
        ((0.0, BACKOFF),),
        status=503,
        options={"retry_statuses": {500}},
    ),
    # Answers that say "no" are never retried, Retry-After or not.
    Case("500", (Reply.unavailable(500, 1),), (), status=500, retry_after=1.0),
    Case("401", (Reply.oauth_error(401),), (), status=401),
    Case("403", (Reply.oauth_error(403, "access_denied"),), (), status=403),
    Case("400", (Reply.oauth_error(400, "invalid_request"),), (), status=400),
]


@pytest.mark.parametrize("flavour", FLAVOURS)
@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_retry_decisions(gateway: LocalGateway, case: Case, flavour: str) -> None:
    replies = [r if isinstance(r, Reply) else r() for r in case.replies]
    gateway.enqueue(*replies, Reply.token(RECOVERED))
    waits = Waits()
    client = driver(flavour, gateway, waits, **case.options)
    try:
        if case.status is None:
            assert client.token().access_token == RECOVERED
        else:
            with pytest.raises(qb.AuthenticationError) as info:
                client.token()
            exc = info.value
            assert exc.status == case.status and exc.retryable is False
            assert exc.attempts == case.requests
            if case.retry_after is None:
                assert exc.retry_after is None
            else:
                assert exc.retry_after == pytest.approx(case.retry_after)
            assert f"attempts={case.requests}" in repr(exc)
            assert client.token_provider.current is None
            assert_hidden(texts_of(exc))
    finally:
        client.close()
    assert gateway.token_requests == case.requests
    assert len(waits.seconds) == len(case.waits)
    for wait, (low, high) in zip(waits.seconds, case.waits, strict=True):
        assert low <= wait <= high, (waits.seconds, case.waits)


def test_the_final_error_is_the_cores_reading_of_the_last_answer(gateway: LocalGateway) -> None:
    gateway.enqueue(
        Reply.unavailable(503, text="first"),
        Reply.unavailable(503, text="second"),
        Reply.unavailable(503, text="third"),
    )
    client = qb.Client(gateway.config(), backoff=0.001)
    with client, pytest.raises(qb.AuthenticationError) as info:
        client.token()
    assert (info.value.message, info.value.attempts) == ("third", 3)


def test_jitter_spreads_the_waits(gateway: LocalGateway) -> None:
    # Clients turned away together must not all come back together.
    waits = Waits()
    gateway.always(UNAVAILABLE)
    with qb.Client(gateway.config(), retries=1, backoff=1.0, sleep=waits.sync) as client:
        for _ in range(20):
            with pytest.raises(qb.AuthenticationError):
                client.token()
    assert len(set(waits.seconds)) == 20 and all(0 <= w <= 1.0 for w in waits.seconds)


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_an_operation_that_is_not_idempotent_is_not_resent_after_an_answer(
    gateway: LocalGateway, monkeypatch: pytest.MonkeyPatch, flavour: str
) -> None:
    gateway.enqueue(UNAVAILABLE, Reply.token(RECOVERED))
    waits = Waits()
    client = driver(flavour, gateway, waits)
    monkeypatch.setitem(client.client.executor._ops, "token", OperationInfo("token"))
    try:
        with pytest.raises(qb.AuthenticationError) as info:
            client.token()
    finally:
        client.close()
    assert info.value.attempts == 1 and gateway.token_requests == 1 and waits.seconds == []


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_the_waits_really_pass_between_requests(gateway: LocalGateway, flavour: str) -> None:
    gateway.enqueue(Reply.unavailable(429, 1), UNAVAILABLE, Reply.token(RECOVERED))
    client = Driver(flavour, gateway.config(), retries=2, backoff=0.2)
    try:
        assert client.token().access_token == RECOVERED
    finally:
        client.close()
    first, second, third = (r.at for r in gateway.requests)
    assert second - first >= 1.0 - 0.01  # Retry-After: 1
    assert third - second < 1.0  # a jittered 0 to 0.4 s, and the exchange itself


@pytest.mark.parametrize(
    ("options", "error", "fragment"),
    [
        ({"retry_statuses": {200}}, ValueError, "only 400 to 599"),
        ({"retry_statuses": [503, "429"]}, ValueError, "only 400 to 599"),
        ({"max_retry_wait": -1}, ValueError, "max_retry_wait"),
        ({"max_retry_wait": float("inf")}, ValueError, "max_retry_wait"),
    ],
)
def test_retry_options_are_checked(options: dict[str, Any], error: type, fragment: str) -> None:
    with pytest.raises(error, match=fragment):
        ExecutorOptions(**options)
    assert ExecutorOptions(retry_statuses=[429, 429]).retry_statuses == frozenset({429})


def test_async_sleep_is_awaited_between_attempts(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.unavailable(503, 0), Reply.token(RECOVERED))
    waits = Waits()

    async def run() -> qb.AccessToken:
        async with qb.AsyncClient(gateway.config(), sleep=waits.async_) as client:
            return await client.token()

    assert asyncio.run(run()).access_token == RECOVERED
    assert waits.seconds == [0.0]
