"""Worker processes that each run a client with many threads: a small fleet.

Each worker is a real process (spawned) that keeps its clients between
commands, so a test can warm the fleet, move the shared clock and look again.
The clock is one shared double, read as whole seconds by every worker.
"""

from __future__ import annotations

import contextlib
import multiprocessing as mp
import threading
import time
from collections.abc import Callable
from multiprocessing.connection import Connection
from typing import Any

import httpx

import quillon_bo as qb
from quillon_bo.stores import FileStore, MemoryStore, RedisStore, TokenStore


def make_store(store_kind: tuple[Any, ...]) -> TokenStore:
    kind = store_kind[0]
    if kind == "redis":
        return RedisStore(store_kind[1], prefix=store_kind[2], backoff=0.2)
    if kind == "file":
        return FileStore(store_kind[1], backoff=0.2)
    return MemoryStore()


def _burst(client: qb.Client, threads: int, calls: int, resource: str | None) -> dict[str, Any]:
    tokens: list[str] = []
    errors: list[str] = []
    slowest = [0.0]
    statuses: list[int] = []
    barrier = threading.Barrier(threads)
    lock = threading.Lock()

    def work() -> None:
        http = httpx.Client(auth=client.auth) if resource else None
        barrier.wait()
        for _ in range(calls):
            started = time.perf_counter()
            try:
                if http is not None and resource is not None:
                    status = http.get(resource).status_code
                    with lock:
                        statuses.append(status)
                token = client.token()
            except Exception as exc:
                with lock:
                    errors.append(f"{type(exc).__name__}: {exc}")
                continue
            took = time.perf_counter() - started
            with lock:
                tokens.append(token.access_token)
                slowest[0] = max(slowest[0], took)
        if http is not None:
            http.close()

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    return {"tokens": tokens, "errors": errors, "slowest": slowest[0], "statuses": statuses}


def serve(conn: Connection, clock_value: Any) -> None:
    def clock() -> int:
        return int(clock_value.value)

    clients: dict[str, qb.Client] = {}
    while True:
        message = conn.recv()
        if message is None:
            break
        command, args = message
        try:
            if command == "open":
                name, config, store_kind, ahead, options = args
                clients[name] = qb.Client(
                    qb.Config(**config),
                    clock=clock,
                    store=make_store(store_kind),
                    refresh_ahead=ahead,
                    **{"retries": 0, **options},
                )
                result: Any = "ok"
            elif command == "burst":
                name, threads, calls, resource = args
                result = _burst(clients[name], threads, calls, resource)
            elif command == "close":
                clients.pop(args[0]).close()
                result = "ok"
            else:
                result = f"unknown command {command}"
        except Exception as exc:
            result = {"failed": f"{type(exc).__name__}: {exc}"}
        conn.send(result)


class Fleet:
    """``size`` worker processes and the clock they share."""

    def __init__(self, size: int, now: float) -> None:
        context = mp.get_context("spawn")
        self.clock = context.Value("d", now, lock=False)
        self._conns: list[Connection] = []
        self.processes: list[Any] = []
        for _ in range(size):
            ours, theirs = context.Pipe()
            process = context.Process(target=serve, args=(theirs, self.clock), daemon=True)
            process.start()
            self._conns.append(ours)
            self.processes.append(process)

    def all(
        self, command: str, *args: Any, check: Callable[[Any], None] | None = None
    ) -> list[Any]:
        for conn in self._conns:
            conn.send((command, args))
        results = [conn.recv() for conn in self._conns]
        for result in results:
            assert not (isinstance(result, dict) and "failed" in result), result
        return results

    def close(self) -> None:
        for conn in self._conns:
            with contextlib.suppress(OSError):
                conn.send(None)
        for process in self.processes:
            process.join(10)
            if process.is_alive():
                process.kill()
