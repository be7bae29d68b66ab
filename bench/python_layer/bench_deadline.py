"""How long a call with a deadline lasts when the endpoint stalls it in each phase.

    python bench/python_layer/bench_deadline.py [--deadline 2.0]

For each phase of an attempt (connecting, sending the request, waiting for
the headers, reading the body) a real socket server on 127.0.0.1 holds the
client in that phase: a listener whose backlog is full, a server that reads
the request 1 KiB every 50 ms, headers or a body sent one byte every 0.2 s or
0.05 s. Each row is one call with ``deadline`` and ``retries=0``, sync and
async: the wall time until the call ended, and what it ended with. A deadline
that holds ends every call within it plus a little.
"""

from __future__ import annotations

import argparse
import asyncio
import socket
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import httpx

import quillon_bo as qb
from quillon_bo.testing import LocalGateway, Reply, StalledEndpoint

HEADERS = (
    b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Pad: "
    + b"x" * 200
    + b"\r\nContent-Length: 2\r\n\r\n{}"
)
BODY = Reply.token("AT-bench", extra={"pad": "x" * 400})
# A ready Basic credential of 1 MiB makes a request that a slow reader takes
# minutes to drain.
LARGE_BASIC = "Basic " + "A" * (1 << 20)
SMALL_SEND_BUFFER = [(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)]


@contextmanager
def stage(phase: str, pause: float) -> Iterator[tuple[qb.Config, dict[str, Any]]]:
    """A configuration whose endpoint stalls ``phase``, and the transport options."""
    if phase in StalledEndpoint.PHASES:
        with StalledEndpoint(phase) as endpoint:
            if phase == "send":
                config = qb.Config("id", basic_token=LARGE_BASIC, base_url=endpoint.base_url)
                yield config, {"socket_options": SMALL_SEND_BUFFER}
            else:
                yield qb.Config("id", client_secret="s", base_url=endpoint.base_url), {}
        return
    with LocalGateway() as gateway:
        then = Reply.garbage(HEADERS) if phase == "headers" else BODY
        gateway.always(Reply.trickle(1, pause, then))
        yield gateway.config(), {}


def timed(call: Callable[[], Any]) -> tuple[float, str]:
    started = time.monotonic()
    try:
        call()
        outcome = "answered"
    except qb.TransportError as exc:
        outcome = f"TransportError(timeout={exc.timeout}): {exc}"
    except qb.QuillonError as exc:
        outcome = f"{type(exc).__name__}: {exc}"
    return time.monotonic() - started, outcome


def run_sync(config: qb.Config, transport: dict[str, Any], deadline: float) -> tuple[float, str]:
    with qb.Client(
        config, transport=httpx.HTTPTransport(**transport), retries=0, deadline=deadline
    ) as client:
        return timed(client.fetch_token)


def run_async(config: qb.Config, transport: dict[str, Any], deadline: float) -> tuple[float, str]:
    async def call() -> None:
        async with qb.AsyncClient(
            config, transport=httpx.AsyncHTTPTransport(**transport), retries=0, deadline=deadline
        ) as client:
            await client.fetch_token()

    return timed(lambda: asyncio.run(call()))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--deadline", type=float, default=2.0)
    args = parser.parse_args()
    rows = [
        ("connect", 0.0),
        ("send", 0.0),
        ("headers", 0.2),
        ("headers", 0.05),
        ("body", 0.2),
        ("body", 0.05),
    ]
    print(f"deadline={args.deadline:g} s, retries=0")
    print(f"{'phase':<20}{'flavour':<8}{'seconds':>8}  outcome")
    for phase, pause in rows:
        name = phase if not pause else f"{phase} 1 B/{pause:g} s"
        for flavour, run in (("sync", run_sync), ("async", run_async)):
            with stage(phase, pause) as (config, transport):
                seconds, outcome = run(config, transport, args.deadline)
            print(f"{name:<20}{flavour:<8}{seconds:>8.2f}  {outcome}", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
