"""Sealed entries: the cost of sealing per store read and per store write.

    python bench/bench_sealing.py [--redis URL] [--count 20000] [--runs 9]

Prints, for each store, the microseconds one ``load`` and one ``save`` of a
token record take as they are and wrapped in a ``SealedStore`` (AES-256-GCM),
and the difference: what sealing adds to each store read and write. The best
of ``--runs`` runs of ``--count`` calls each (a twentieth of that for a file,
a tenth for Redis); ``load`` finds the record. The memory store's row is the
cost of sealing itself; with a file or Redis it comes on top of the I/O, and
on a busy machine is lost in its noise. A store is read only when a process's
own copy is missing or has ended, so these costs come once per token lifetime
and process, never on a cached lookup.

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


def best_of(stores: tuple[TokenStore, TokenStore], count: int, runs: int) -> list[float]:
    """Microseconds per load and save, plain then sealed, each the best of
    ``runs``: the two stores take turns, so a busy moment of the machine
    falls on both alike."""
    best = [float("inf")] * 4
    for _ in range(runs):
        for i, store in enumerate(stores):
            started = time.perf_counter_ns()
            for _ in range(count):
                store.save(KEY, RECORD, 3600, None)
            saved = time.perf_counter_ns() - started
            started = time.perf_counter_ns()
            for _ in range(count):
                if store.load(KEY) != RECORD:
                    raise AssertionError(f"{store!r} lost the record")
            loaded = time.perf_counter_ns() - started
            best[i] = min(best[i], loaded / count / 1000)
            best[2 + i] = min(best[2 + i], saved / count / 1000)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--redis", help="a Redis URL (default: a private redis-server)")
    parser.add_argument("--count", type=int, default=20_000, help="calls per run (memory)")
    parser.add_argument("--runs", type=int, default=9, help="runs of each store; the best counts")
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
    print(f"a record of {len(RECORD)} bytes; microseconds per call, best of {args.runs} runs")
    print(f"{'store':8}{'':6}{'plain':>10}{'sealed':>10}{'sealing':>10}")
    try:
        for name, make, count in makers:
            figures = best_of((make(), SealedStore(make(), keys=[key])), count, args.runs)
            for i, op in enumerate(("load", "save")):
                plain, sealed = figures[2 * i], figures[2 * i + 1]
                print(
                    f"{name if i == 0 else '':8}{op:6}{plain:>10.1f}{sealed:>10.1f}"
                    f"{sealed - plain:>+10.1f}"
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
