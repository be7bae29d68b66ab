"""The redis-py clients a RedisStore accepts, and the time limit on their commands.

A store that makes its own client from a URL holds every command to its time
limit, whatever redis-py's time-outs and retries add up to: a sync command
runs on a worker thread that the caller waits for at most the limit (past it,
the caller goes on without the store and the command ends on its own), an
async one is cancelled at the limit. A client given by the user keeps its own
settings; the store only says, once, when they can hold a call past its limit.
:class:`StoreClients` makes or takes a store's clients and closes what it made.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import logging
import os
import threading
import weakref
from collections.abc import Callable
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

from .base import StoreError

if TYPE_CHECKING:
    import redis
    import redis.asyncio

__all__ = [
    "AsyncBounded",
    "Bounded",
    "StoreClients",
    "accepted_kind",
    "import_redis",
    "warn_if_slower",
]

logger = logging.getLogger("quillon_bo.stores")

# Worker threads per store: a thread is busy for one command (a fraction of a
# millisecond) unless the server stalls, and then the store soon backs off.
_WORKERS = 16


def import_redis() -> Any:
    try:
        import redis
        import redis.asyncio
        import redis.asyncio.cluster
        import redis.cluster
    except ImportError:
        raise ImportError("RedisStore needs redis-py: pip install 'quillon_bo[redis]'") from None
    return redis


def shown(url: str) -> str:
    # The URL may carry a password: only where it points is shown.
    parts = urlsplit(url)
    host = parts.hostname or ""
    port = f":{parts.port}" if parts.port else ""
    return f"{parts.scheme}://{host}{port}{parts.path}"


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


class StoreClients:
    """The clients of one store: made from a URL (a sync one, and an asyncio
    one for each event loop, each command held to ``timeout``), or the one
    client given, which keeps its own settings."""

    def __init__(self, url_or_client: Any, timeout: float) -> None:
        module = import_redis()
        self._timeout = timeout
        self.url: str | None = None
        #: The sync client; None when the store was given an asyncio one.
        self.sync: redis.Redis | None = None
        self._async: redis.asyncio.Redis | None = None
        # Clients made from the URL for each event loop: a redis.asyncio
        # connection belongs to the loop that opened it.
        self._per_loop: weakref.WeakKeyDictionary[
            asyncio.AbstractEventLoop, redis.asyncio.Redis
        ] = weakref.WeakKeyDictionary()
        if isinstance(url_or_client, str):
            self.url = url_or_client
            made = module.Redis.from_url(url_or_client, **self._options(module))
            self.sync = Bounded(made, timeout)  # type: ignore[assignment]
        else:
            kind = accepted_kind(module, url_or_client)
            if kind is None:
                raise TypeError(
                    "RedisStore takes a URL, a redis.Redis, a redis.asyncio.Redis or a cluster "
                    "client (redis.cluster.RedisCluster, redis.asyncio.cluster.RedisCluster)"
                )
            warn_if_slower(url_or_client, timeout)
            if kind == "async":
                self._async = url_or_client
            else:
                self.sync = url_or_client

    def _options(self, module: Any, *, asynchronous: bool = False) -> dict[str, Any]:
        retry = module.asyncio.retry.Retry if asynchronous else module.retry.Retry
        # One quick retry picks up a server that restarted under a pooled
        # connection; more would only delay the direct fetch.
        return {
            "socket_timeout": self._timeout,
            "socket_connect_timeout": self._timeout,
            "retry": retry(module.backoff.NoBackoff(), 1),
        }

    def where(self, unnamed: str) -> str:
        """Where the URL points (never its password), or ``unnamed``."""
        return shown(self.url) if self.url is not None else unnamed

    def failure(self, exc: BaseException) -> StoreError:
        """``exc`` of a command as the store reports it."""
        where = self.where("Redis")
        text = str(exc)[:200]
        return StoreError(f"{where}: {type(exc).__name__}: {text}" if text else where)

    def sync_client(self) -> redis.Redis:
        if self.sync is None:
            raise StoreError("this RedisStore holds a redis.asyncio client: use AsyncClient")
        return self.sync

    def async_client(self) -> redis.asyncio.Redis | None:
        """The asyncio client for the running loop; None when there is only
        a sync client, given by the user."""
        if self._async is not None:
            return self._async
        if self.url is None:
            return None
        loop = asyncio.get_running_loop()
        client = self._per_loop.get(loop)
        if client is None:
            module = import_redis()
            made = module.asyncio.Redis.from_url(
                self.url, **self._options(module, asynchronous=True)
            )
            client = self._per_loop[loop] = AsyncBounded(made, self._timeout)  # type: ignore[assignment]
        return client

    def close(self) -> None:
        if self.url is not None and self.sync is not None:
            self.sync.close()

    async def aclose(self) -> None:
        if self.url is None:
            return
        client = self._per_loop.pop(asyncio.get_running_loop(), None)
        if client is not None:
            await client.aclose()
