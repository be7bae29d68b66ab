"""Eight processes of eight threads each, sharing one token through a store."""

from __future__ import annotations

import os
import time
import uuid
from collections.abc import Iterator
from typing import Any

import pytest

from quillon_bo.testing import LocalGateway, Reply

from .fleet import Fleet

THREADS = 8


@pytest.fixture(params=["redis", "file"])
def store_kind(request: pytest.FixtureRequest, folder: str) -> tuple[Any, ...]:
    if request.param == "redis":
        url = request.getfixturevalue("redis_url")
        return ("redis", url, f"qbfleet-{uuid.uuid4().hex[:12]}:")
    return ("file", os.path.join(folder, "tokens.json"))


@pytest.fixture
def client_name(fleet: Fleet) -> Iterator[str]:
    name = uuid.uuid4().hex
    yield name
    fleet.all("close", name)


def _open(
    fleet: Fleet, name: str, gateway: LocalGateway, store_kind: Any, ahead: Any, **options: Any
) -> None:
    config = {
        "client_id": gateway.client_id,
        "client_secret": gateway.client_secret,
        "base_url": gateway.base_url,
    }
    fleet.clock.value = time.time()
    fleet.all("open", name, config, store_kind, ahead, options)


def _burst(fleet: Fleet, name: str, calls: int, resource: str | None = None) -> dict[str, Any]:
    results = fleet.all("burst", name, THREADS, calls, resource)
    merged: dict[str, Any] = {"tokens": [], "errors": [], "statuses": [], "slowest": 0.0}
    for result in results:
        merged["tokens"] += result["tokens"]
        merged["errors"] += result["errors"]
        merged["statuses"] += result["statuses"]
        merged["slowest"] = max(merged["slowest"], result["slowest"])
    assert merged["errors"] == []
    assert len(merged["tokens"]) == len(results) * THREADS * calls
    return merged


def test_a_cold_fleet_fetches_once_and_once_more_after_expiry(
    fleet: Fleet, gateway: LocalGateway, store_kind: Any, client_name: str
) -> None:
    _open(fleet, client_name, gateway, store_kind, 0)
    # A slow answer keeps every worker waiting while the one fetch is out.
    gateway.enqueue(Reply.slow(0.3))
    first = set(_burst(fleet, client_name, 2)["tokens"])
    assert gateway.token_requests == 1 and len(first) == 1

    fleet.clock.value += 3540  # every worker's copy and the stored one have ended
    gateway.enqueue(Reply.slow(0.3))
    second = set(_burst(fleet, client_name, 2)["tokens"])
    assert gateway.token_requests == 2
    assert len(second) == 1 and second != first


def test_refresh_ahead_across_the_fleet_is_one_request_and_nobody_waits(
    fleet: Fleet, gateway: LocalGateway, store_kind: Any, client_name: str
) -> None:
    _open(fleet, client_name, gateway, store_kind, "auto")
    (old,) = set(_burst(fleet, client_name, 1)["tokens"])
    # 100 s before the end: inside the last 300 s, where the refresh starts.
    fleet.clock.value += 3540 - 100
    gateway.enqueue(Reply.slow(1.0))
    during = _burst(fleet, client_name, 4)  # 256 calls while the refresh is out
    assert set(during["tokens"]) == {old}
    deadline = time.monotonic() + 10
    while gateway.token_requests < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(1.5)  # the refresh's answer and every worker's next look
    after = set(_burst(fleet, client_name, 1)["tokens"])
    assert gateway.token_requests == 2
    assert len(after) == 1 and after != {old}
    print(f"slowest call inside the window: {during['slowest'] * 1e6:.0f} us")


def test_a_refused_token_is_refetched_once_for_the_fleet(
    fleet: Fleet, gateway: LocalGateway, store_kind: Any, client_name: str
) -> None:
    _open(fleet, client_name, gateway, store_kind, 0)
    _burst(fleet, client_name, 1)
    assert gateway.token_requests == 1
    gateway.revoke_tokens()  # every worker still holds the shared token
    result = _burst(fleet, client_name, 1, gateway.resource_url)
    assert result["statuses"] == [200] * len(result["statuses"])
    assert gateway.token_requests == 2
    assert len(set(result["tokens"])) == 1


def test_a_holder_slower_than_its_lease_keeps_the_fleet_waiting(
    fleet: Fleet, gateway: LocalGateway, store_kind: Any, client_name: str
) -> None:
    # A 1 s lease (the deadline's), and a holder that spends 3 s on its fetch:
    # told to come back in 3 s, then answered.
    _open(fleet, client_name, gateway, store_kind, 0, deadline=1.0, retries=1)
    gateway.enqueue(Reply.unavailable(503, retry_after=3))
    tokens = set(_burst(fleet, client_name, 1)["tokens"])
    print(f"token requests with the holder 2 s past its lease: {gateway.token_requests}")
    assert gateway.token_requests == 2  # the holder's 503 and its retry
    assert len(tokens) == 1
