"""A fleet on a Redis cluster and on Sentinel, through the loss of a primary.

The test command starts both once for the run (QB_REDIS_CLUSTER_NODES,
QB_REDIS_SENTINELS); the test kills the primary that holds the shared token
and starts it again afterwards, as a replica of the promoted one.
"""

from __future__ import annotations

import threading
import time
import uuid
from typing import Any

import pytest

from quillon_bo.testing import LocalGateway, Reply

from .fleet import Fleet
from .servers import ha_client, ha_from_env, hosts, kill, primary_of, restart

THREADS, TASKS = 4, 8
LIFETIME = 3540
FAILOVER = 6.0  # seconds of calls from the kill on: the promotion takes 2-4 s
# No call may wait longer: a store command's limit, a lock's lease and a fetch.
GENEROUS = 15.0


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
    fleet.all("open", name, config, (kind, where, prefix), 0)
    try:
        cold = [_shared_round(fleet, name, gateway) for _ in range(2)]
        assert [(n, len(seen["tokens"]), seen["errors"]) for n, seen in cold] == [(1, 1, [])] * 2

        address = primary_of(kind, where, _entry_key(kind, where, prefix))
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
            restart(config_file, address, hosts(where) if kind == "cluster" else [])
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
