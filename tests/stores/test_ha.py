"""Redis clients for high availability: a given client's settings against the
store's time limit, and a fleet on a Redis cluster and on Sentinel through
the loss of a primary.

The test command starts the cluster and the Sentinels once for the run
(QB_REDIS_CLUSTER_NODES, QB_REDIS_SENTINELS); the failover test kills the
primary that holds the shared token and starts it again afterwards, as a
replica of the promoted one.
"""

from __future__ import annotations

import logging
import threading
import time
import uuid
from collections.abc import Callable
from typing import Any

import pytest
import redis
import redis.asyncio.cluster
from redis.asyncio.cluster import RedisCluster as AsyncCluster
from redis.asyncio.retry import Retry as AsyncRetry
from redis.backoff import NoBackoff
from redis.retry import Retry

from quillon_bo.stores import RedisStore
from quillon_bo.testing import LocalGateway, Reply

from .fleet import Fleet
from .servers import ha_client, ha_from_env, hosts, kill, primary_of, restart

THREADS, TASKS = 4, 8
LIFETIME = 3540
FAILOVER = 6.0  # seconds of calls from the kill on: the promotion takes 2-4 s
# No call may wait longer: a store command's limit, a lock's lease and a fetch.
GENEROUS = 15.0


def fitting(retry: type[Any] = Retry) -> dict[str, Any]:
    """The settings the stores page gives for a one-second limit."""
    return {"socket_timeout": 0.25, "socket_connect_timeout": 0.25, "retry": retry(NoBackoff(), 1)}


@pytest.mark.parametrize(
    ("make", "limit", "slower"),
    [
        (lambda: redis.Redis(port=1), 1.0, True),  # no socket time-out: unbounded
        (lambda: redis.Redis(port=1, **fitting()), 1.0, False),
        (lambda: redis.Redis(port=1, **fitting()), 0.9, True),
        (lambda: redis.asyncio.Redis(port=1, **fitting(AsyncRetry)), 1.0, False),
        (lambda: AsyncCluster(host="127.0.0.1", port=1), 1.0, True),  # retries 10 times
        (lambda: AsyncCluster(host="127.0.0.1", port=1, **fitting(AsyncRetry)), 1.0, False),
    ],
)
def test_a_given_client_slower_than_the_limit_is_named_once(
    make: Callable[[], Any], limit: float, slower: bool, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(logging.WARNING)
    RedisStore(make(), timeout=limit)
    said = [r.getMessage() for r in caplog.records if r.name.startswith("quillon_bo")]
    assert len(said) == int(slower)
    assert all(f"limit of {limit:g} s" in text for text in said)


@pytest.fixture(params=["cluster", "sentinel"])
def deployment(request: pytest.FixtureRequest) -> tuple[str, str]:
    where = ha_from_env(request.param)
    if where is None:
        variable = "QB_REDIS_CLUSTER_NODES" if request.param == "cluster" else "QB_REDIS_SENTINELS"
        pytest.skip(f"no Redis {request.param}: {variable} is not set (scripts/test.sh sets it)")
    return request.param, where


def _load(fleet: Fleet, name: str, calls: int = 0, until: float = 0.0) -> dict[str, Any]:
    merged: dict[str, Any] = {"tokens": set(), "errors": [], "slowest": 0.0, "calls": 0}
    for result in fleet.all("load", name, (THREADS, TASKS, calls, until)):
        merged["tokens"] |= result["tokens"]
        merged["errors"] += result["errors"]
        merged["slowest"] = max(merged["slowest"], result["slowest"])
        merged["calls"] += result["calls"]
    return merged


def _shared_round(fleet: Fleet, name: str, gateway: LocalGateway) -> tuple[int, dict[str, Any]]:
    """Every token ends; the fleet calls again. The requests it took, and what it saw."""
    fleet.clock.value += LIFETIME
    before = gateway.token_requests
    gateway.enqueue(Reply.slow(0.3))  # every worker asks while the one fetch is out
    seen = _load(fleet, name, calls=2)
    return gateway.token_requests - before, seen


def _entry_key(kind: str, where: str, prefix: str) -> str:
    client = ha_client(kind, where)
    try:
        keys = [k.decode() for k in client.scan_iter(match=f"{prefix}*")]
    finally:
        client.close()
    (key,) = [k for k in keys if not k.endswith(":lock")]
    return key


def _promoted(kind: str, where: str, key: str, old: tuple[str, int]) -> tuple[str, int] | None:
    ends = time.monotonic() + 30
    while time.monotonic() < ends:
        try:
            now = primary_of(kind, where, key)
        except Exception:  # no primary while the replica is being promoted
            now = old
        if now != old:
            return now
        time.sleep(0.1)
    return None  # never promoted: the killed one comes back as the primary


def test_a_fleet_shares_one_token_through_a_failover(
    fleet: Fleet, gateway: LocalGateway, deployment: tuple[str, str]
) -> None:
    kind, where = deployment
    name, prefix = uuid.uuid4().hex, f"qbha-{uuid.uuid4().hex[:12]}:"
    config = {
        "client_id": gateway.client_id,
        "client_secret": gateway.client_secret,
        "base_url": gateway.base_url,
    }
    fleet.clock.value = time.time()
    fleet.all("open", name, config, (kind, where, prefix), 0, {})
    try:
        cold = [_shared_round(fleet, name, gateway) for _ in range(2)]
        assert [(n, len(seen["tokens"]), seen["errors"]) for n, seen in cold] == [(1, 1, [])] * 2

        key = _entry_key(kind, where, prefix)
        address = primary_of(kind, where, key)
        config_file = kill(address)
        try:
            before = gateway.token_requests
            killed = time.monotonic()
            ends = time.time() + FAILOVER

            lifetimes = [0]

            def tick() -> None:  # tokens keep ending while the primary is gone
                while time.time() < ends - 0.5:
                    time.sleep(0.5)
                    fleet.clock.value += LIFETIME
                    lifetimes[0] += 1

            ticking = threading.Thread(target=tick)
            ticking.start()
            during = _load(fleet, name, until=ends)
            ticking.join()
            during_requests = gateway.token_requests - before
            rounds = []
            while time.monotonic() - killed < 40:
                rounds.append(_shared_round(fleet, name, gateway))
                if rounds[-1][0] == 1 and len(rounds[-1][1]["tokens"]) == 1:
                    break
                time.sleep(0.5)
            resumed = time.monotonic() - killed
        finally:
            if kind == "cluster":
                restart(config_file, address, hosts(where))
            else:
                restart(config_file, address, [], replica_of=_promoted(kind, where, key, address))
        print(
            f"\n{kind}: {during['calls']} calls from the kill on, {len(during['errors'])} failed, "
            f"slowest {during['slowest']:.2f} s, {during_requests} token requests in "
            f"{FAILOVER:g} s ({lifetimes[0]} lifetimes); one request per lifetime "
            f"again {resumed:.1f} s after the kill, after {len(rounds)} round(s) "
            f"of {[n for n, _ in rounds]} requests"
        )
        assert during["errors"] == []
        assert during["slowest"] < GENEROUS
        assert all(seen["errors"] == [] for _, seen in rounds)
        assert rounds[-1][0] == 1 and len(rounds[-1][1]["tokens"]) == 1
    finally:
        fleet.all("close", name)
