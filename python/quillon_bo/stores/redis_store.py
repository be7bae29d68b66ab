"""The store of a fleet: machines share a token through Redis (redis-py)."""

from __future__ import annotations

import asyncio
import logging
import secrets
import weakref
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

from ._redis_clients import AsyncBounded, Bounded, accepted_kind, warn_if_slower
from .base import DEFAULT_STORE_BACKOFF, Lease, StoreError, TokenStore

if TYPE_CHECKING:
    import redis
    import redis.asyncio
    import redis.asyncio.cluster
    import redis.cluster

__all__ = ["DEFAULT_PREFIX", "RedisStore"]

logger = logging.getLogger("quillon_bo.stores")

DEFAULT_PREFIX = "quillon_bo:"
#: Seconds any one command may take, retries included, before the store
#: counts as failing.
DEFAULT_REDIS_TIMEOUT = 1.0

# Deletes KEYS[1] only while it still holds ARGV[1]: a lock's owner releasing
# it, or a refused token leaving the store only if no newer one replaced it.
_COMPARE_AND_DELETE = """
if redis.pcall('GET', KEYS[1]) == ARGV[1] then
  return redis.call('DEL', KEYS[1])
end
return 0
"""

# Takes the lock if free. A lock key without an expiry (left by a hand, a
# restore, or a client that crashed between two commands) would hold every
# waiter back for good: it gets the lease's expiry, and ends with it.
# Answers 1 (taken), 0 (held), or -1 (held, and given an expiry).
_ACQUIRE = """
if redis.call('SET', KEYS[1], ARGV[1], 'NX', 'PX', ARGV[2]) then
  return 1
end
if redis.call('PTTL', KEYS[1]) == -1 then
  redis.call('PEXPIRE', KEYS[1], ARGV[2])
  return -1
end
return 0
"""

# Extends KEYS[1] to ARGV[2] ms only while it still holds ARGV[1]: a lock's
# owner renewing its lease, never one that another owner has taken since.
_COMPARE_AND_EXPIRE = """
if redis.pcall('GET', KEYS[1]) == ARGV[1] then
  return redis.call('PEXPIRE', KEYS[1], ARGV[2])
end
return 0
"""

# Removes a token key that holds something other than a string (GET answers
# WRONGTYPE on it for good); one written meanwhile is kept. Answers the type
# removed, or false.
_REMOVE_WRONG_TYPE = """
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind == 'string' or kind == 'none' then
  return false
end
redis.call('DEL', KEYS[1])
return kind
"""


def _wrong_type(exc: BaseException) -> bool:
    return str(exc).startswith("WRONGTYPE")


def _import_redis() -> Any:
    try:
        import redis
        import redis.asyncio
        import redis.asyncio.cluster
        import redis.cluster
    except ImportError:
        raise ImportError("RedisStore needs redis-py: pip install 'quillon_bo[redis]'") from None
    return redis


def _millis(seconds: float) -> int:
    return max(1, int(seconds * 1000))


def _as_bytes(value: Any) -> bytes | None:
    return value if isinstance(value, bytes) or value is None else str(value).encode()


def _shown(url: str) -> str:
    # The URL may carry a password: only where it points is shown.
    parts = urlsplit(url)
    host = parts.hostname or ""
    port = f":{parts.port}" if parts.port else ""
    return f"{parts.scheme}://{host}{port}{parts.path}"


class RedisStore(TokenStore):
    """Keeps records in Redis under ``prefix``, each expiring with its token.

    Give a URL (``redis://``, ``rediss://`` for TLS, ``unix://``) to have the
    store make its own sync and ``redis.asyncio`` clients, each command held
    to ``timeout`` seconds in all; or give a ``redis.Redis`` (one server, or a
    Sentinel's ``master_for``) or a ``redis.cluster.RedisCluster`` (used by
    :class:`~quillon_bo.Client`, and from a worker thread by
    :class:`~quillon_bo.AsyncClient`), or their ``redis.asyncio`` counterparts
    (for :class:`~quillon_bo.AsyncClient` only). A given client keeps its own
    time-outs and retries; the store logs a warning when they can hold a
    call longer than ``timeout``. Each command touches one key, so a cluster
    needs no hash tags. The lock is a key set only if absent, with the lease
    as its expiry, released only by its owner.

    Records are access tokens in plain text: protect the server with ACLs
    (a user limited to ``prefix*`` keys) and reach it over ``rediss://``.
    """

    def __init__(
        self,
        url_or_client: str
        | redis.Redis
        | redis.asyncio.Redis
        | redis.cluster.RedisCluster
        | redis.asyncio.cluster.RedisCluster,
        *,
        prefix: str = DEFAULT_PREFIX,
        timeout: float = DEFAULT_REDIS_TIMEOUT,
        backoff: float = DEFAULT_STORE_BACKOFF,
    ) -> None:
        super().__init__(backoff=backoff)
        module = _import_redis()
        self.prefix = prefix
        self._timeout = timeout
        self._url: str | None = None
        self._sync: redis.Redis | None = None
        self._async: redis.asyncio.Redis | None = None
        # Clients made from the URL for each event loop: a redis.asyncio
        # connection belongs to the loop that opened it.
        self._per_loop: weakref.WeakKeyDictionary[
            asyncio.AbstractEventLoop, redis.asyncio.Redis
        ] = weakref.WeakKeyDictionary()
        if isinstance(url_or_client, str):
            self._url = url_or_client
            made = module.Redis.from_url(url_or_client, **self._options(module))
            self._sync = Bounded(made, timeout)  # type: ignore[assignment]
        else:
            kind = accepted_kind(module, url_or_client)
            if kind is None:
                raise TypeError(
                    "RedisStore takes a URL, a redis.Redis, a redis.asyncio.Redis or a cluster "
                    "client (redis.cluster.RedisCluster, redis.asyncio.cluster.RedisCluster)"
                )
            warn_if_slower(url_or_client, timeout)
            if kind == "async":
                self._async = url_or_client  # type: ignore[assignment]
            else:
                self._sync = url_or_client  # type: ignore[assignment]
        self.supports_sync = self._sync is not None

    def _options(self, module: Any, *, asynchronous: bool = False) -> dict[str, Any]:
        retry = module.asyncio.retry.Retry if asynchronous else module.retry.Retry
        # One quick retry picks up a server that restarted under a pooled
        # connection; more would only delay the direct fetch.
        return {
            "socket_timeout": self._timeout,
            "socket_connect_timeout": self._timeout,
            "retry": retry(module.backoff.NoBackoff(), 1),
        }

    def __repr__(self) -> str:
        where = _shown(self._url) if self._url is not None else "<client>"
        return f"RedisStore({where}, prefix={self.prefix!r})"

    def _failure(self, exc: BaseException) -> StoreError:
        where = _shown(self._url) if self._url is not None else "Redis"
        text = str(exc)[:200]
        return StoreError(f"{where}: {type(exc).__name__}: {text}" if text else where)

    def _client(self) -> redis.Redis:
        if self._sync is None:
            raise StoreError("this RedisStore holds a redis.asyncio client: use AsyncClient")
        return self._sync

    def _async_client(self) -> redis.asyncio.Redis | None:
        if self._async is not None:
            return self._async
        if self._url is None:
            return None
        loop = asyncio.get_running_loop()
        client = self._per_loop.get(loop)
        if client is None:
            module = _import_redis()
            made = module.asyncio.Redis.from_url(
                self._url, **self._options(module, asynchronous=True)
            )
            client = self._per_loop[loop] = AsyncBounded(made, self._timeout)  # type: ignore[assignment]
        return client

    # -- sync -------------------------------------------------------------

    def load(self, key: str) -> bytes | None:
        client = self._client()
        try:
            try:
                value = client.get(self.prefix + key)
            except Exception as exc:
                if not _wrong_type(exc):
                    raise
                self._removed(key, client.eval(_REMOVE_WRONG_TYPE, 1, self.prefix + key))
                value = None
        except Exception as exc:
            raise self._failure(exc) from None
        return _as_bytes(value)

    def save(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        millis = int(ttl * 1000)
        if millis <= 0:
            return
        try:
            self._client().set(self.prefix + key, value, px=millis)
        except StoreError:
            raise
        except Exception as exc:
            raise self._failure(exc) from None

    def delete_if(self, key: str, value: bytes) -> None:
        try:
            self._client().eval(_COMPARE_AND_DELETE, 1, self.prefix + key, value)
        except StoreError:
            raise
        except Exception as exc:
            raise self._failure(exc) from None

    def acquire(self, key: str, seconds: float) -> Lease | None:
        owner = secrets.token_hex(16)
        client = self._client()
        try:
            got = client.eval(_ACQUIRE, 1, self._lock_key(key), owner, _millis(seconds))
        except Exception as exc:
            raise self._failure(exc) from None
        return self._lease_if(got, key, owner, seconds)

    def release(self, lease: Lease) -> None:
        self.delete_if(lease.key + ":lock", lease.owner.encode())

    def renew(self, lease: Lease) -> bool:
        try:
            renewed = self._client().eval(
                _COMPARE_AND_EXPIRE,
                1,
                self._lock_key(lease.key),
                lease.owner,
                _millis(lease.seconds),
            )
        except StoreError:
            raise
        except Exception as exc:
            raise self._failure(exc) from None
        return bool(renewed)

    def _lock_key(self, key: str) -> str:
        return f"{self.prefix}{key}:lock"

    def _removed(self, key: str, kind: Any) -> None:
        if kind:
            shown = kind.decode() if isinstance(kind, bytes) else str(kind)
            logger.warning(
                "token store %r held a %s at %s, not a token entry; removed it",
                self,
                shown,
                self.prefix + key,
            )

    def _lease_if(self, got: Any, key: str, owner: str, seconds: float) -> Lease | None:
        if got == -1:
            logger.warning(
                "the lock %s of token store %r had no expiry; it now ends with the %.1f s lease",
                self._lock_key(key),
                self,
                seconds,
            )
        return Lease(key, owner, seconds) if got == 1 else None

    # -- async ------------------------------------------------------------

    async def aload(self, key: str) -> bytes | None:
        client = self._async_client()
        if client is None:
            return await asyncio.to_thread(self.load, key)
        try:
            try:
                value = await client.get(self.prefix + key)
            except Exception as exc:
                if not _wrong_type(exc):
                    raise
                self._removed(key, await client.eval(_REMOVE_WRONG_TYPE, 1, self.prefix + key))
                value = None
        except Exception as exc:
            raise self._failure(exc) from None
        return _as_bytes(value)

    async def asave(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        client = self._async_client()
        if client is None:
            return await asyncio.to_thread(self.save, key, value, ttl, lease)
        millis = int(ttl * 1000)
        if millis <= 0:
            return None
        try:
            await client.set(self.prefix + key, value, px=millis)
        except Exception as exc:
            raise self._failure(exc) from None
        return None

    async def adelete_if(self, key: str, value: bytes) -> None:
        client = self._async_client()
        if client is None:
            return await asyncio.to_thread(self.delete_if, key, value)
        try:
            await client.eval(_COMPARE_AND_DELETE, 1, self.prefix + key, value)
        except Exception as exc:
            raise self._failure(exc) from None
        return None

    async def aacquire(self, key: str, seconds: float) -> Lease | None:
        client = self._async_client()
        if client is None:
            return await asyncio.to_thread(self.acquire, key, seconds)
        owner = secrets.token_hex(16)
        try:
            got = await client.eval(_ACQUIRE, 1, self._lock_key(key), owner, _millis(seconds))
        except Exception as exc:
            raise self._failure(exc) from None
        return self._lease_if(got, key, owner, seconds)

    async def arelease(self, lease: Lease) -> None:
        await self.adelete_if(lease.key + ":lock", lease.owner.encode())

    async def arenew(self, lease: Lease) -> bool:
        client = self._async_client()
        if client is None:
            return await asyncio.to_thread(self.renew, lease)
        try:
            renewed = await client.eval(
                _COMPARE_AND_EXPIRE,
                1,
                self._lock_key(lease.key),
                lease.owner,
                _millis(lease.seconds),
            )
        except Exception as exc:
            raise self._failure(exc) from None
        return bool(renewed)

    # -- life cycle -------------------------------------------------------

    def close(self) -> None:
        """Close the sync client this store made from its URL."""
        if self._url is not None and self._sync is not None:
            self._sync.close()

    async def aclose(self) -> None:
        """Close the clients this store made from its URL for the running loop."""
        if self._url is None:
            return
        client = self._per_loop.pop(asyncio.get_running_loop(), None)
        if client is not None:
            await client.aclose()
