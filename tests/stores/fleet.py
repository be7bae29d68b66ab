"""Worker processes that each run a client with many threads: a small fleet.

Each worker is a real process (spawned) that keeps its clients between
commands, so a test can warm the fleet, move the shared clock and look again.
The clock is one shared double, read as whole seconds by every worker.
"""

from __future__ import annotations

import asyncio
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

from .servers import ha_client


def make_store(store_kind: tuple[Any, ...], *, asynchronous: bool = False) -> TokenStore:
    kind = store_kind[0]
    if kind == "redis":
        return RedisStore(store_kind[1], prefix=store_kind[2], backoff=0.2)
    if kind in ("cluster", "sentinel"):
        client = ha_client(kind, store_kind[1], asynchronous=asynchronous)
        return RedisStore(client, prefix=store_kind[2], backoff=0.2)
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


class _Tally:
    """What a load saw: the tokens, the failures, the slowest call."""

    def __init__(self) -> None:
        self.tokens: set[str] = set()
        self.errors: list[str] = []
        self.slowest = 0.0
        self.calls = 0
        self.lock = threading.Lock()

    def add(self, started: float, token: Any, error: BaseException | None) -> None:
        took = time.perf_counter() - started
        with self.lock:
            if error is not None:
                self.errors.append(f"{type(error).__name__}: {error}")
            else:
                self.tokens.add(token.access_token)
            self.slowest = max(self.slowest, took)
            self.calls += 1

    def result(self) -> dict[str, Any]:
        return {
            "tokens": self.tokens,
            "errors": self.errors,
            "slowest": self.slowest,
            "calls": self.calls,
        }


def _more(done: int, calls: int, until: float) -> bool:
    return done < calls or time.time() < until


async def _tasks(
    client: qb.AsyncClient, tasks: int, calls: int, until: float, tally: _Tally
) -> None:
    async def work() -> None:
        done = 0
        while _more(done, calls, until):
            started = time.perf_counter()
            try:
                tally.add(started, await client.token(), None)
            except Exception as exc:
                tally.add(started, None, exc)
            done += 1
            await asyncio.sleep(0.01 if until else 0)

    await asyncio.gather(*(work() for _ in range(tasks)))


def _load(
    client: qb.Client,
    aclient: tuple[qb.AsyncClient, asyncio.AbstractEventLoop] | None,
    shape: tuple[int, int, int, float],
) -> dict[str, Any]:
    """``threads`` threads and ``tasks`` asyncio tasks calling ``token()`` at
    once: ``calls`` times each, or until the wall clock reaches ``until``."""
    threads, tasks, calls, until = shape
    tally = _Tally()
    with_tasks = None
    if aclient is not None and tasks:
        coroutine = _tasks(aclient[0], tasks, calls, until, tally)
        with_tasks = asyncio.run_coroutine_threadsafe(coroutine, aclient[1])

    def work() -> None:
        done = 0
        while _more(done, calls, until):
            started = time.perf_counter()
            try:
                tally.add(started, client.token(), None)
            except Exception as exc:
                tally.add(started, None, exc)
            done += 1
            if until:
                time.sleep(0.01)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    if with_tasks is not None:
        with_tasks.result()
    return tally.result()


def serve(conn: Connection, clock_value: Any) -> None:
    def clock() -> int:
        return int(clock_value.value)

    clients: dict[str, qb.Client] = {}
    # Each process's asyncio clients live on one loop of their own thread,
    # so that tasks run beside the sync client's threads.
    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()
    aclients: dict[str, qb.AsyncClient] = {}

    async def aopen(config: dict[str, Any], store_kind: Any, ahead: Any) -> qb.AsyncClient:
        store = make_store(store_kind, asynchronous=True)
        return qb.AsyncClient(
            qb.Config(**config), clock=clock, store=store, refresh_ahead=ahead, retries=0
        )

    def on_loop(coroutine: Any) -> Any:
        return asyncio.run_coroutine_threadsafe(coroutine, loop).result()

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
                if store_kind[0] in ("cluster", "sentinel"):
                    aclients[name] = on_loop(aopen(config, store_kind, ahead))
                result: Any = "ok"
            elif command == "load":
                name, shape = args
                aclient = aclients.get(name)
                result = _load(clients[name], (aclient, loop) if aclient else None, shape)
            elif command == "burst":
                name, threads, calls, resource = args
                result = _burst(clients[name], threads, calls, resource)
            elif command == "close":
                clients.pop(args[0]).close()
                if args[0] in aclients:
                    on_loop(aclients.pop(args[0]).aclose())
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
