"""What a call does when the token endpoint says "not now": requests and waits.

    python bench/python_layer/bench_retries.py

Each row is one token call with the default options (retries=2, backoff
0.1 s, max_retry_wait 30 s) against the local gateway, which answers the
first requests as the row says and then issues a token. The gateway records
when each request arrived; the gaps between them are the waits the client
really made (plus one exchange each, well under a millisecond here).
"""

from __future__ import annotations

import asyncio
import email.utils
import itertools
import time
from collections.abc import Callable
from typing import Any

import quillon_bo as qb
from quillon_bo.testing import LocalGateway, Reply


def http_date(seconds_from_now: float) -> str:
    return email.utils.formatdate(time.time() + seconds_from_now, usegmt=True)


ROWS: list[tuple[str, Callable[[], list[Reply]], dict[str, Any]]] = [
    ("503, 503, token", lambda: [Reply.unavailable(503)] * 2, {}),
    ("429 + Retry-After: 1, token", lambda: [Reply.unavailable(429, 1)], {}),
    ("503 + Retry-After: date +3 s, token", lambda: [Reply.unavailable(503, http_date(3))], {}),
    ("502 html, 504, token", lambda: [Reply.html(502), Reply.unavailable(504)], {}),
    ("429 + Retry-After: 120", lambda: [Reply.unavailable(429, 120)], {}),
    ("503 x3 (budget spent)", lambda: [Reply.unavailable(503)] * 3, {}),
    ("500", lambda: [Reply.oauth_error(500, "server_error")], {}),
    ("503, retry_statuses=()", lambda: [Reply.unavailable(503)], {"retry_statuses": ()}),
]


def outcome(call: Callable[[], Any]) -> str:
    try:
        call()
    except qb.AuthenticationError as exc:
        after = "" if exc.retry_after is None else f", retry_after={exc.retry_after:g}"
        return f"AuthenticationError(status={exc.status}, attempts={exc.attempts}{after})"
    return "token"


def main() -> int:
    header = f"{'endpoint answers':<37}{'flavour':<8}{'requests':>8}  {'gaps (s)':<18}"
    print(f"{header}{'total':>6}  result")
    for name, replies, options in ROWS:
        for flavour in ("sync", "async"):
            with LocalGateway() as gateway:
                gateway.enqueue(*replies())
                started = time.monotonic()
                if flavour == "sync":
                    with qb.Client(gateway.config(), **options) as client:
                        result = outcome(client.fetch_token)
                else:

                    async def fetch(gw: LocalGateway = gateway, opts: Any = options) -> None:
                        async with qb.AsyncClient(gw.config(), **opts) as client:
                            await client.fetch_token()

                    result = outcome(lambda: asyncio.run(fetch()))
                total = time.monotonic() - started
                times = [r.at for r in gateway.requests]
            gaps = " ".join(f"{b - a:.3f}" for a, b in itertools.pairwise(times)) or "-"
            print(f"{name:<37}{flavour:<8}{len(times):>8}  {gaps:<18}{total:>6.2f}  {result}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
