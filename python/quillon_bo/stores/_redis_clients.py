"""The redis-py clients a RedisStore accepts, and the time limit on their commands.

A store that makes its own client from a URL holds every command to its time
limit, whatever redis-py's time-outs and retries add up to: a sync command
runs on a worker thread that the caller waits for at most the limit (past it,
the caller goes on without the store and the command ends on its own), an
async one is cancelled at the limit. A client given by the user keeps its own
settings; the store only says, once, when they can hold a call past its limit.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import logging
import os
import threading
from collections.abc import Callable
from typing import Any

__all__ = ["AsyncBounded", "Bounded", "accepted_kind", "warn_if_slower"]

logger = logging.getLogger("quillon_bo.stores")

# Worker threads per store: a thread is busy for one command (a fraction of a
# millisecond) unless the server stalls, and then the store soon backs off.
_WORKERS = 16


def accepted_kind(module: Any, client: object) -> str | None:
    """Which of the store's sides a client serves, "sync" or "async"; None
    for an object that is no client the store can use."""
    if isinstance(client, (module.asyncio.Redis, module.asyncio.cluster.RedisCluster)):
        return "async"
    if isinstance(client, (module.Redis, module.cluster.RedisCluster)):
        return "sync"
    return None


def _worst_wait(client: Any) -> float | None:
    """A lower bound of the seconds one command can hold its caller: each
    attempt may wait for a connection and then for the reply. None when a
    wait has no bound at all."""
    options = client.get_connection_kwargs()
    read = options.get("socket_timeout")
    connect = options.get("socket_connect_timeout", read)
    if read is None or connect is None:
        return None
    if hasattr(client, "nodes_manager"):
        # A cluster client retries whole commands itself, its nodes never.
        retry = getattr(client, "retry", None)
        unset = getattr(client, "cluster_error_retry_attempts", 0)
    else:
        retry, unset = options.get("retry"), 0
    retries = unset if retry is None else getattr(retry, "_retries", 0)
    return (int(retries) + 1) * (float(read) + float(connect))


def warn_if_slower(client: Any, limit: float) -> None:
    """Log once when ``client``'s own time-outs and retries exceed ``limit``."""
    try:
        worst = _worst_wait(client)
    except Exception:  # a client of a redis-py we do not know: nothing to say
        return
    if worst is not None and worst <= limit:
        return
    held = "without a bound" if worst is None else f"for {worst:g} s or more"
    logger.warning(
        "the Redis client given to RedisStore can hold a call %s (its socket time-outs times "
        "its attempts), past the store's time limit of %g s; give it socket_timeout and "
        "socket_connect_timeout and a retry that fit within the limit (see the stores page)",
        held,
        limit,
    )


class Bounded:
    """A sync client whose every command returns or fails within ``limit``."""

    def __init__(self, client: Any, limit: float) -> None:
        self.client = client
        self._limit = limit
        self._pool: concurrent.futures.ThreadPoolExecutor | None = None
        self._pid = 0
        self._making = threading.Lock()

    def _executor(self) -> concurrent.futures.ThreadPoolExecutor:
        pool = self._pool
        # A forked child has none of its parent's threads: it starts its own.
        if pool is None or self._pid != os.getpid():
            with self._making:
                if self._pool is None or self._pid != os.getpid():
                    self._pool = concurrent.futures.ThreadPoolExecutor(
                        _WORKERS, thread_name_prefix="quillon_bo-redis"
                    )
                    self._pid = os.getpid()
                pool = self._pool
        return pool

    def _run(self, command: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        future = self._executor().submit(command, *args, **kwargs)
        try:
            return future.result(self._limit)
        except concurrent.futures.TimeoutError:
            raise TimeoutError(f"no answer within {self._limit:g} s") from None

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self.client, name)
        if not callable(attribute):
            return attribute
        return functools.partial(self._run, attribute)

    def get_encoder(self) -> Any:
        return self.client.get_encoder()

    def register_script(self, script: str | bytes) -> Any:
        # The script's commands go through this wrapper, not the bare client.
        from redis.commands.core import Script

        return Script(self, script)  # type: ignore[arg-type]

    def close(self) -> None:
        self.client.close()
        pool, self._pool = self._pool, None
        if pool is not None and self._pid == os.getpid():
            pool.shutdown(wait=False)


class AsyncBounded:
    """An asyncio client whose every command returns or fails within ``limit``."""

    def __init__(self, client: Any, limit: float) -> None:
        self.client = client
        self._limit = limit

    async def _run(self, command: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        try:
            return await asyncio.wait_for(command(*args, **kwargs), self._limit)
        except asyncio.TimeoutError:
            raise TimeoutError(f"no answer within {self._limit:g} s") from None

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self.client, name)
        if not callable(attribute):
            return attribute
        return functools.partial(self._run, attribute)

    def get_encoder(self) -> Any:
        return self.client.get_encoder()

    def register_script(self, script: str | bytes) -> Any:
        from redis.commands.core import AsyncScript

        return AsyncScript(self, script)  # type: ignore[arg-type]

    async def aclose(self) -> None:
        await self.client.aclose()
