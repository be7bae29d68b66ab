"""Tokens per second against the local gateway: quillon_bo beside the libraries people use.

    pip install -r bench/python_layer/requirements.txt
    python bench/python_layer/bench_peers.py [--fetches 1000] [--rounds 5]

Each client fetches client-credentials tokens from the same LocalGateway, run
in its own process (so the server does not share the client's interpreter
lock), over keep-alive HTTP/1.1 on 127.0.0.1: quillon_bo's Client, Authlib's
OAuth2Client (httpx), httpx-auth's OAuth2ClientCredentials (given its own
httpx.Client, so that it keeps its connection) and requests-oauthlib's
OAuth2Session. "fresh" makes a new token request each time; "cached" is what
a caller of each library does to reuse a token it holds, the way that
library's own code does it. Rounds alternate between the clients and the best
round of each is reported, which damps the noise of a shared machine. A peer
that is not installed is left out, and the output says so.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import platform
import sys
import time
import warnings
from collections.abc import Callable
from importlib import metadata
from multiprocessing.connection import Connection
from typing import Any

import httpx

import quillon_bo as qb
from quillon_bo.testing import DEMO_CLIENT_ID, DEMO_CLIENT_SECRET, LocalGateway

Contender = tuple[Callable[[], Any], Callable[[], Any], Callable[[], None]]


def serve(conn: Connection) -> None:
    with LocalGateway() as gateway:
        conn.send(gateway.base_url)
        conn.recv()  # until the parent says stop


def rate(fn: Callable[[], Any], count: int) -> tuple[float, float]:
    """Calls per second of wall time, and this process's CPU microseconds per call."""
    started, cpu = time.perf_counter(), time.process_time()
    for _ in range(count):
        fn()
    wall, used = time.perf_counter() - started, time.process_time() - cpu
    return count / wall, used / count * 1e6


def ns_per_call(fn: Callable[[], Any], count: int) -> float:
    started = time.perf_counter_ns()
    for _ in range(count):
        fn()
    return (time.perf_counter_ns() - started) / count


def ours(base_url: str, token_url: str) -> Contender:
    client = qb.Client(
        qb.Config(DEMO_CLIENT_ID, client_secret=DEMO_CLIENT_SECRET, base_url=base_url)
    )
    return client.fetch_token, client.token, client.close


def authlib(base_url: str, token_url: str) -> Contender:
    from authlib.integrations.httpx_client import OAuth2Client

    client = OAuth2Client(
        DEMO_CLIENT_ID, DEMO_CLIENT_SECRET, token_endpoint_auth_method="client_secret_basic"
    )

    def fresh() -> Any:
        return client.fetch_token(token_url, grant_type="client_credentials")

    def cached() -> Any:
        token = client.token
        if token is None or token.is_expired():
            return fresh()
        return token

    return fresh, cached, client.close


def httpx_auth(base_url: str, token_url: str) -> Contender:
    from httpx_auth import OAuth2, OAuth2ClientCredentials

    # The gateway answers only a request that accepts JSON; httpx-auth sends no Accept.
    session = httpx.Client(headers={"Accept": "application/json"})
    auth = OAuth2ClientCredentials(
        token_url, client_id=DEMO_CLIENT_ID, client_secret=DEMO_CLIENT_SECRET, client=session
    )

    def cached() -> Any:
        # What its auth_flow does before each request.
        return OAuth2.token_cache.get_token(
            auth.state, early_expiry=auth.early_expiry, on_missing_token=auth.request_new_token
        )

    return auth.request_new_token, cached, session.close


def requests_oauthlib(base_url: str, token_url: str) -> Contender:
    from oauthlib.oauth2 import BackendApplicationClient
    from requests_oauthlib import OAuth2Session

    os.environ["OAUTHLIB_INSECURE_TRANSPORT"] = "1"  # the local gateway speaks plain HTTP
    session = OAuth2Session(client=BackendApplicationClient(client_id=DEMO_CLIENT_ID))

    def fresh() -> Any:
        return session.fetch_token(
            token_url, client_id=DEMO_CLIENT_ID, client_secret=DEMO_CLIENT_SECRET
        )

    def cached() -> Any:
        token = session.token
        if not token or token["expires_at"] - 60 < time.time():
            return fresh()
        return token

    return fresh, cached, session.close


PEERS: dict[str, tuple[str, Callable[[str, str], Contender]]] = {
    "quillon_bo": ("quillon_bo", ours),
    "authlib": ("authlib", authlib),
    "httpx-auth": ("httpx-auth", httpx_auth),
    "requests-oauthlib": ("requests-oauthlib", requests_oauthlib),
}


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--fetches", type=int, default=1000, help="fresh fetches per round")
    parser.add_argument("--cached", type=int, default=200_000, help="cached lookups per round")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # a peer's deprecation notices are not our figures

    parent, child = mp.Pipe()
    server = mp.Process(target=serve, args=(child,), daemon=True)
    server.start()
    base_url = parent.recv()
    token_url = f"{base_url}/oauth-client-credentials/access-token?grant_type=client_credentials"

    contenders: dict[str, Contender] = {}
    versions: list[str] = []
    for name, (dist, make) in PEERS.items():
        try:
            contenders[name] = make(base_url, token_url)
            versions.append(
                f"{name} {qb.__version__ if name == 'quillon_bo' else metadata.version(dist)}"
            )
        except ImportError:
            print(f"({name} is not installed: left out)")

    # Every client must really get tokens before anything is timed.
    for fresh, _, _ in contenders.values():
        assert fresh()
        for _ in range(50):
            fresh()

    per_second: dict[str, list[float]] = {name: [] for name in contenders}
    cpu_us: dict[str, list[float]] = {name: [] for name in contenders}
    cached_ns: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(args.rounds):
        for name, (fresh, _, _) in contenders.items():
            wall_rate, used = rate(fresh, args.fetches)
            per_second[name].append(wall_rate)
            cpu_us[name].append(used)
    for _ in range(args.rounds):
        for name, (_, cached, _) in contenders.items():
            cached_ns[name].append(ns_per_call(cached, args.cached))

    for _, _, close in contenders.values():
        close()
    parent.send("stop")
    server.join(5)

    print(
        f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {sys.version.split()[0]}, "
        f"httpx {httpx.__version__}, " + ", ".join(versions)
    )
    print(
        f"fresh fetches: {args.rounds} rounds of {args.fetches}; cached: {args.rounds} rounds "
        f"of {args.cached}; gateway in its own process; best round of each"
    )
    print()
    print(f"{'client':20}{'fresh tokens/s':>16}{'CPU us/fetch':>14}{'cached ns':>12}")
    for name in contenders:
        print(
            f"{name:20}{max(per_second[name]):16.0f}{min(cpu_us[name]):14.0f}"
            f"{min(cached_ns[name]):12.0f}"
        )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
