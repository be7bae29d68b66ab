"""Sealed entries: the cost of sealing per store read and per store write.

    python bench/bench_sealing.py [--redis URL] [--count 20000]

Prints, for each store, the microseconds one ``load`` and one ``save`` of a
token record take as they are and wrapped in a ``SealedStore`` (AES-256-GCM),
and the difference: what sealing adds to each store read and write. The best
of five runs of ``--count`` calls each; ``load`` finds the record. A store is
read only when a process's own copy is missing or has ended, so these costs
come once per token lifetime and process, never on a cached lookup.

Without ``--redis`` a private redis-server (Debian's) is started on a free
port with no persistence (as ``bench_stores.py`` does).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Callable

import quillon_bo as qb
from quillon_bo.stores import FileStore, MemoryStore, RedisStore, SealedStore, TokenStore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_stores import start_redis

KEY = "token:" + "ab" * 20
RECORD = json.dumps(
    {
        "access_token": "tok-" + "x" * 200,  # the size of a typical opaque or JWT token
        "token_type": "Bearer",
        "scope": "read write",
        "expires_at": int(time.time()) + 3600,
        "issued_at": int(time.time()),
    },
    separators=(",", ":"),
    sort_keys=True,
).encode()


def us_per_call(fn: Callable[[], object], count: int) -> float:
    best = float("inf")
    for _ in range(5):
        started = time.perf_counter_ns()
        for _ in range(count):
            fn()
        best = min(best, (time.perf_counter_ns() - started) / count)
    return best / 1000


def costs(store: TokenStore, count: int) -> tuple[float, float]:
    def save() -> None:
        store.save(KEY, RECORD, 3600, None)

    def load() -> None:
        assert store.load(KEY) == RECORD

    saved = us_per_call(save, count)
    return us_per_call(load, count), saved


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--redis", help="a Redis URL (default: a private redis-server)")
    parser.add_argument("--count", type=int, default=20_000, help="calls per run (memory)")
    args = parser.parse_args()

    url, started = (args.redis, None) if args.redis else start_redis()
    folder = tempfile.mkdtemp(prefix="qb-bench-sealing-")
    makers: list[tuple[str, Callable[[], TokenStore], int]] = [
        ("memory", MemoryStore, args.count),
        ("file", lambda: FileStore(os.path.join(folder, "tokens.json")), args.count // 20),
    ]
    if url:
        prefix = f"qbbench-sealing-{os.getpid()}:"
        makers.append(("redis", lambda: RedisStore(url, prefix=prefix), args.count // 10))
    else:
        print("(no redis-server and no --redis: Redis is left out)")
    key = os.urandom(32)
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, quillon_bo {qb.__version__}")
    print(f"a record of {len(RECORD)} bytes; microseconds per call, best of 5 runs")
    print(f"{'store':8}{'':6}{'plain':>10}{'sealed':>10}{'sealing':>10}")
    try:
        for name, make, count in makers:
            plain = costs(make(), count)
            sealed = costs(SealedStore(make(), keys=[key]), count)
            for i, op in enumerate(("load", "save")):
                print(
                    f"{name if i == 0 else '':8}{op:6}{plain[i]:>10.1f}{sealed[i]:>10.1f}"
                    f"{sealed[i] - plain[i]:>+10.1f}"
                )
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        if started is not None:
            started[0].terminate()
            started[0].wait(10)
            shutil.rmtree(started[1], ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
