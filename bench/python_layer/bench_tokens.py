"""Tokens per second against the local gateway: quillon_bo beside Authlib.

    pip install -r bench/python_layer/requirements.txt
    python bench/python_layer/bench_tokens.py [--fetches 2000] [--rounds 5]

Both clients talk to the same LocalGateway, which runs in its own process (so
the server does not share the client's interpreter lock), over keep-alive
HTTP/1.1 connections on 127.0.0.1. "fresh" makes a new token request each
time; "cached" asks for a token that is already held. Rounds alternate between
the clients and the best round of each is reported, which damps the noise of
a shared machine.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import platform
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from multiprocessing.connection import Connection
from typing import Any

import quillon_bo as qb
from quillon_bo.core import call_raw
from quillon_bo.testing import DEMO_CLIENT_ID, DEMO_CLIENT_SECRET, LocalGateway


def serve(conn: Connection) -> None:
    with LocalGateway() as gateway:
        conn.send(gateway.base_url)
        conn.recv()  # until the parent says stop


def rate(fn: Callable[[], Any], count: int) -> tuple[float, float]:
    """Calls per second of wall time, and this process's CPU microseconds per call
    (the client's own cost, whatever the server and the machine's load)."""
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fetches", type=int, default=2000, help="fresh fetches per round")
    parser.add_argument("--cached", type=int, default=1_000_000, help="cached lookups per round")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import authlib
        from authlib.integrations.httpx_client import OAuth2Client

    parent, child = mp.Pipe()
    server = mp.Process(target=serve, args=(child,), daemon=True)
    server.start()
    base_url = parent.recv()
    token_url = f"{base_url}/oauth-client-credentials/access-token?grant_type=client_credentials"

    config = qb.Config(DEMO_CLIENT_ID, client_secret=DEMO_CLIENT_SECRET, base_url=base_url)
    ours = qb.Client(config)
    theirs = OAuth2Client(
        DEMO_CLIENT_ID, DEMO_CLIENT_SECRET, token_endpoint_auth_method="client_secret_basic"
    )

    def ours_fresh() -> Any:
        return ours.fetch_token()

    def theirs_fresh() -> Any:
        return theirs.fetch_token(token_url, grant_type="client_credentials")

    # Both must really get tokens before anything is timed.
    assert ours_fresh().access_token and theirs_fresh()["access_token"]
    for _ in range(50):
        ours_fresh()
        theirs_fresh()

    fresh: dict[str, list[float]] = {"quillon_bo": [], "authlib": []}
    cpu: dict[str, list[float]] = {"quillon_bo": [], "authlib": []}
    for _ in range(args.rounds):
        for name, fn in (("quillon_bo", ours_fresh), ("authlib", theirs_fresh)):
            per_second, cpu_us = rate(fn, args.fetches)
            fresh[name].append(per_second)
            cpu[name].append(cpu_us)

    # Cached: a token is held and still valid.
    ours.token()
    theirs.fetch_token(token_url, grant_type="client_credentials")

    def theirs_cached() -> Any:
        # What an Authlib user writes to reuse a held token.
        token = theirs.token
        if token.is_expired():
            raise AssertionError("token expired during the benchmark")
        return token

    cached_ns: dict[str, list[float]] = {"quillon_bo": [], "authlib": []}
    for _ in range(args.rounds):
        cached_ns["quillon_bo"].append(ns_per_call(ours.token, args.cached))
        cached_ns["authlib"].append(ns_per_call(theirs_cached, args.cached))

    # The core's own share of one fetch: one build and one parse call.
    build = (
        '{"config":{"client_id":"demo-client","client_secret":"demo-secret"},'
        '"token":null,"input":{"now":1000}}'
    )
    parse = (
        '{"input":{"now":1000},"response":{"status":200,'
        '"body":"{\\"access_token\\":\\"abc\\",\\"expires_in\\":3600}"}}'
    )
    core_ns = min(
        ns_per_call(
            lambda: (call_raw("token.build", build), call_raw("token.parse", parse)), 100_000
        )
        for _ in range(3)
    )

    ours.close()
    theirs.close()
    parent.send("stop")
    server.join(5)

    print(
        f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {sys.version.split()[0]}, "
        f"httpx {__import__('httpx').__version__}, authlib {authlib.__version__}"
    )
    print(
        f"fresh fetches: {args.rounds} rounds of {args.fetches}; cached: {args.rounds} rounds "
        f"of {args.cached}; gateway in its own process"
    )
    print()
    print(f"{'':28}{'quillon_bo':>14}{'authlib':>14}{'ratio':>9}")
    best_ours, best_theirs = max(fresh["quillon_bo"]), max(fresh["authlib"])
    print(
        f"{'fresh tokens/s (best)':28}{best_ours:14.0f}{best_theirs:14.0f}"
        f"{best_ours / best_theirs:8.2f}x"
    )
    med_ours, med_theirs = (
        statistics.median(fresh["quillon_bo"]),
        statistics.median(fresh["authlib"]),
    )
    print(
        f"{'fresh tokens/s (median)':28}{med_ours:14.0f}{med_theirs:14.0f}"
        f"{med_ours / med_theirs:8.2f}x"
    )
    u_ours, u_theirs = min(cpu["quillon_bo"]), min(cpu["authlib"])
    print(
        f"{'client CPU us/fetch (best)':28}{u_ours:14.0f}{u_theirs:14.0f}{u_theirs / u_ours:8.2f}x"
    )
    c_ours, c_theirs = min(cached_ns["quillon_bo"]), min(cached_ns["authlib"])
    print(f"{'cached lookup ns (best)':28}{c_ours:14.0f}{c_theirs:14.0f}{c_theirs / c_ours:8.2f}x")
    print(f"{'cached tokens/s (best)':28}{1e9 / c_ours:14.0f}{1e9 / c_theirs:14.0f}")
    print()
    print(f"core build+parse per fetch: {core_ns / 1000:.1f} us")
    print(
        f"cached lookup under 1 us: {'yes' if c_ours < 1000 else 'NO'}; "
        f"fresh at least as fast as authlib: {'yes' if best_ours >= best_theirs else 'NO'}"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
