"""Token stores: requests per token lifetime, lookup costs, refresh-ahead stalls.

    python bench/bench_stores.py [--redis URL] [--windows 5]

Prints three tables:

1. Token requests per lifetime for 1, 4 and 16 worker processes with each
   store (the aim with a shared store is one, whatever the count). Each worker
   calls ``token()`` without pause from one thread; all follow one shared clock
   that the parent moves through a whole token lifetime in steps, so a
   lifetime of an hour passes in seconds. Refresh ahead is on (the default).
2. The cost of a lookup: the process's own copy (a cached lookup), and a
   lookup that finds the token in each store (the process copy missing).
3. The slowest call in a refresh-ahead window, beside the same run with
   refresh ahead off (callers then wait for the fetch) and the same calls
   with nothing to replace. The gateway answers after ``--delay`` seconds, as
   a remote endpoint would. With more than one caller thread the figures are
   mostly the interpreter lock's hand-overs (milliseconds even with nothing
   to replace), hence one caller by default.

The gateway runs in its own process. Without ``--redis`` a private
redis-server (Debian's) is started on a free port with no persistence; a
Redis cluster (three primaries, three replicas) and a primary with a replica
behind three Sentinels are the test command's (QB_REDIS_CLUSTER_NODES,
QB_REDIS_SENTINELS), else private ones started by ``scripts/redis_ha.py``.
Their clients are built with the stores page's settings.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from multiprocessing.connection import Connection
from typing import Any

import quillon_bo as qb
from quillon_bo.stores import FileStore, MemoryStore, RedisStore, TokenStore
from quillon_bo.testing import LocalGateway, Reply

LIFETIME = 3540  # the gateway's 3600 s, less the 60 s kept in hand
STEPS = 30


def serve_gateway(conn: Connection, delay: float) -> None:
    with LocalGateway() as gateway:
        if delay:
            gateway.always(Reply.slow(delay))
        conn.send(gateway.base_url)
        while True:
            message = conn.recv()
            if message == "count":
                conn.send(gateway.token_requests)
            else:
                break


class Gateway:
    def __init__(self, delay: float) -> None:
        context = mp.get_context("spawn")
        self._conn, theirs = context.Pipe()
        self._process = context.Process(target=serve_gateway, args=(theirs, delay), daemon=True)
        self._process.start()
        self.base_url: str = self._conn.recv()

    def config(self) -> qb.Config:
        from quillon_bo.testing import DEMO_CLIENT_ID, DEMO_CLIENT_SECRET

        return qb.Config(DEMO_CLIENT_ID, client_secret=DEMO_CLIENT_SECRET, base_url=self.base_url)

    @property
    def requests(self) -> int:
        self._conn.send("count")
        count: int = self._conn.recv()
        return count

    def close(self) -> None:
        self._conn.send("stop")
        self._process.join(10)


def ha_client(kind: str, where: str) -> Any:
    """A cluster client, or Sentinel's primary, with the stores page's settings."""
    from redis.backoff import NoBackoff
    from redis.cluster import ClusterNode, RedisCluster
    from redis.retry import Retry
    from redis.sentinel import Sentinel

    timeouts: dict[str, Any] = {"socket_timeout": 0.25, "socket_connect_timeout": 0.25}
    service, _, hosts = where.rpartition("@")
    addresses = [(h, int(p)) for h, _, p in (a.rpartition(":") for a in hosts.split(","))]
    if kind == "cluster":
        nodes = [ClusterNode(h, p) for h, p in addresses]
        return RedisCluster(startup_nodes=nodes, retry=Retry(NoBackoff(), 1), **timeouts)
    watchers = Sentinel(addresses, sentinel_kwargs=timeouts)
    return watchers.master_for(service, retry=Retry(NoBackoff(), 1), **timeouts)


def make_store(kind: tuple[str, ...]) -> TokenStore:
    if kind[0] == "file":
        return FileStore(kind[1])
    if kind[0] == "redis":
        return RedisStore(kind[1], prefix=kind[2])
    if kind[0] in ("cluster", "sentinel"):
        return RedisStore(ha_client(kind[0], kind[1]), prefix=kind[2])
    return MemoryStore()


def worker(kind: tuple[str, ...], base_url: str, clock_value: Any, ready: Any, stop: Any) -> None:
    from quillon_bo.testing import DEMO_CLIENT_ID, DEMO_CLIENT_SECRET

    config = qb.Config(DEMO_CLIENT_ID, client_secret=DEMO_CLIENT_SECRET, base_url=base_url)
    client = qb.Client(config, store=make_store(kind), clock=lambda: int(clock_value.value))
    client.token()
    ready.put(os.getpid())
    while not stop.is_set():
        client.token()
        time.sleep(0.001)
    client.close()


def requests_per_lifetime(
    kind: tuple[str, ...], processes: int, gateway: Gateway
) -> tuple[int, int]:
    context = mp.get_context("spawn")
    clock = context.Value("d", time.time(), lock=False)
    ready, stop = context.Queue(), context.Event()
    before = gateway.requests
    workers = [
        context.Process(target=worker, args=(kind, gateway.base_url, clock, ready, stop))
        for _ in range(processes)
    ]
    for w in workers:
        w.start()
    for _ in workers:
        ready.get(timeout=120)
    cold = gateway.requests - before
    start = gateway.requests
    for _ in range(STEPS):
        clock.value += LIFETIME / STEPS
        time.sleep(0.1)
    time.sleep(0.3)
    per_lifetime = gateway.requests - start
    stop.set()
    for w in workers:
        w.join(30)
    return cold, per_lifetime


def ns_per_call(fn: Any, count: int) -> float:
    best = float("inf")
    for _ in range(3):
        started = time.perf_counter_ns()
        for _ in range(count):
            fn()
        best = min(best, (time.perf_counter_ns() - started) / count)
    return best


def lookup_costs(kind: tuple[str, ...], gateway: Gateway) -> tuple[float, float]:
    client = qb.Client(gateway.config(), store=make_store(kind))
    client.token()
    cached = ns_per_call(client.token, 200_000)
    provider = client.token_provider

    def from_store() -> None:
        provider._entry = None  # the process copy gone: the next call reads the store
        provider.get()

    stored = ns_per_call(from_store, 2_000)
    client.close()
    return cached, stored


def _calls(client: qb.Client, ends: float, worst: list[float]) -> None:
    while time.perf_counter() < ends:
        started = time.perf_counter()
        client.token()
        took = time.perf_counter() - started
        if took > worst[0]:
            worst[0] = took


def slowest_in_window(
    kind: tuple[str, ...], gateway: Gateway, mode: str, windows: int, threads: int
) -> tuple[float, float]:
    """The slowest call seen while a token is replaced, over ``windows`` runs;
    returned as (median of the runs' slowest, worst) in microseconds.

    ``mode``: "ahead" (refresh ahead on, the clock moved into the window),
    "off" (refresh ahead off, the clock moved past the end) or "steady" (the
    same calls with nothing to replace: the slowest cached lookup).
    """
    clock_now = [int(time.time())]
    client = qb.Client(
        gateway.config(),
        store=make_store(kind),
        clock=lambda: clock_now[0],
        refresh_ahead="auto" if mode == "ahead" else 0,
    )
    token = client.token()
    slowest: list[float] = []
    for _ in range(windows):
        if mode == "ahead":
            clock_now[0] = token.expires_at - 100  # inside the last 300 s
        elif mode == "off":
            clock_now[0] = token.expires_at
        worst = [0.0]
        ends = time.perf_counter() + 0.4
        callers = [
            threading.Thread(target=_calls, args=(client, ends, worst)) for _ in range(threads)
        ]
        for t in callers:
            t.start()
        for t in callers:
            t.join()
        time.sleep(0.3)
        token = client.token()
        slowest.append(worst[0] * 1e6)
    client.close()
    return statistics.median(slowest), max(slowest)


def start_redis() -> tuple[str, Any]:
    binary = shutil.which("redis-server")
    if binary is None:
        return "", None
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    folder = tempfile.mkdtemp(prefix="qb-bench-redis-")
    process = subprocess.Popen(
        [binary, "--bind", "127.0.0.1", "--port", str(port), "--dir", folder,
         "--save", "", "--appendonly", "no", "--loglevel", "warning"],
        stdout=subprocess.DEVNULL,
    )  # fmt: skip
    url = f"redis://127.0.0.1:{port}/0"
    import redis

    probe = redis.Redis.from_url(url)
    for _ in range(200):
        try:
            probe.ping()
            break
        except redis.ConnectionError:
            time.sleep(0.025)
    probe.close()
    return url, (process, folder)


def start_ha() -> tuple[dict[str, str], str | None]:
    """The test command's cluster and Sentinels, else ones of our own."""
    found = {k: v for k, v in os.environ.items() if k.startswith("QB_REDIS_")}
    if "QB_REDIS_CLUSTER_NODES" in found and "QB_REDIS_SENTINELS" in found:
        return found, None
    if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
        return {}, None
    folder = tempfile.mkdtemp(prefix="qb-bench-ha-")
    script = os.path.join(os.path.dirname(__file__), "..", "scripts", "redis_ha.py")
    done = subprocess.run(
        [sys.executable, script, "start", folder], capture_output=True, text=True, check=True
    )
    return dict(line.split("=", 1) for line in done.stdout.splitlines()), folder


def stop_ha(folder: str | None) -> None:
    if folder is not None:
        script = os.path.join(os.path.dirname(__file__), "..", "scripts", "redis_ha.py")
        subprocess.run([sys.executable, script, "stop", folder], check=False)


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--redis", help="a Redis URL (default: a private redis-server)")
    parser.add_argument("--windows", type=int, default=5, help="refresh windows per run")
    parser.add_argument("--threads", type=int, default=1, help="caller threads in a window")
    parser.add_argument("--delay", type=float, default=0.05, help="the gateway's answer time")
    parser.add_argument("--counts", default="1,4,16", help="process counts")
    args = parser.parse_args()

    url, started = (args.redis, None) if args.redis else start_redis()
    folder = tempfile.mkdtemp(prefix="qb-bench-file-")
    specs: list[tuple[str, tuple[str, ...]]] = [
        ("memory", ("memory",)),
        ("file", ("file", os.path.join(folder, "tokens.json"))),
    ]
    if url:
        specs.append(("redis", ("redis", url, f"qbbench-{os.getpid()}:")))
    else:
        print("(no redis-server and no --redis: Redis is left out)")
    ha, ha_folder = start_ha() if url else ({}, None)
    if ha:
        service = ha.get("QB_REDIS_SENTINEL_SERVICE", "mymaster")
        specs.append(
            ("cluster", ("cluster", ha["QB_REDIS_CLUSTER_NODES"], f"qbbench-{os.getpid()}:"))
        )
        where = f"{service}@{ha['QB_REDIS_SENTINELS']}"
        specs.append(("sentinel", ("sentinel", where, f"qbbench-{os.getpid()}:")))
    counts = [int(c) for c in args.counts.split(",")]
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, quillon_bo {qb.__version__}")
    gateway = Gateway(delay=0)
    try:
        print("\ntoken requests: at a cold start / per token lifetime")
        print(f"{'store':8}" + "".join(f"{f'{n} proc':>14}" for n in counts))
        for name, kind in specs:
            cells = []
            for n in counts:
                unique = (*kind[:-1], f"{kind[-1]}{n}") if name != "memory" else kind
                cold, per = requests_per_lifetime(unique, n, gateway)
                cells.append(f"{cold:>8} / {per:<3}")
            print(f"{name:8}" + "".join(f"{c:>14}" for c in cells))

        print("\nlookup cost (best of 3)")
        print(f"{'store':8}{'process copy':>16}{'from the store':>18}")
        for name, kind in specs:
            cached, stored = lookup_costs(kind, gateway)
            print(f"{name:8}{cached:>13.0f} ns{stored / 1000:>15.1f} us")
    finally:
        gateway.close()

    slow = Gateway(delay=args.delay)
    try:
        print(
            f"\nslowest call while the token is replaced ({args.threads} caller threads, "
            f"{args.windows} windows, endpoint answers in {args.delay * 1000:.0f} ms)"
        )
        print("(median / worst of the windows' slowest call, in microseconds)")
        print(f"{'store':8}{'no replacement':>20}{'refresh ahead on':>20}{'off':>20}")
        for name, kind in specs:
            cells = [
                slowest_in_window(kind, slow, mode, args.windows, args.threads)
                for mode in ("steady", "ahead", "off")
            ]
            print(f"{name:8}" + "".join(f"{f'{a:.0f} / {b:.0f}':>20}" for a, b in cells))
    finally:
        slow.close()
        shutil.rmtree(folder, ignore_errors=True)
        stop_ha(ha_folder)
        if started is not None:
            started[0].terminate()
            started[0].wait(10)
            shutil.rmtree(started[1], ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
