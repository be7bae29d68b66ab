"""The store of a fleet: machines share a token through Redis (redis-py)."""

from __future__ import annotations

import secrets
from typing import TYPE_CHECKING

from ._redis_async import AsyncCommands
from ._redis_clients import StoreClients
from ._redis_scripts import (
    ACQUIRE,
    COMPARE_AND_DELETE,
    COMPARE_AND_EXPIRE,
    REMOVE_WRONG_TYPE,
    as_bytes,
    lease_if,
    lock_key,
    millis,
    note_removed,
    wrong_type,
)
from .base import DEFAULT_STORE_BACKOFF, Lease, StoreError, TokenStore

if TYPE_CHECKING:
    import redis
    import redis.asyncio
    import redis.asyncio.cluster
    import redis.cluster

__all__ = ["DEFAULT_PREFIX", "RedisStore"]

DEFAULT_PREFIX = "quillon_bo:"
#: Seconds any one command may take, retries included, before the store
#: counts as failing.
DEFAULT_REDIS_TIMEOUT = 1.0


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
        self.prefix = prefix
        self._clients = StoreClients(url_or_client, timeout)
        # The async methods' work; the sync ones answer them on a worker
        # thread when the store has a sync client only.
        self._asynchronous = AsyncCommands(self, self._clients)
        self.supports_sync = self._clients.sync is not None

    def __repr__(self) -> str:
        return f"RedisStore({self._clients.where('<client>')}, prefix={self.prefix!r})"

    # -- sync -------------------------------------------------------------

    def load(self, key: str) -> bytes | None:
        client = self._clients.sync_client()
        name = self.prefix + key
        try:
            try:
                value = client.get(name)
            except Exception as exc:
                if not wrong_type(exc):
                    raise
                note_removed(self, name, client.eval(REMOVE_WRONG_TYPE, 1, name))
                value = None
        except Exception as exc:
            raise self._clients.failure(exc) from None
        return as_bytes(value)

    def save(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        ms = int(ttl * 1000)
        if ms <= 0:
            return
        try:
            self._clients.sync_client().set(self.prefix + key, value, px=ms)
        except StoreError:
            raise
        except Exception as exc:
            raise self._clients.failure(exc) from None

    def delete_if(self, key: str, value: bytes) -> None:
        try:
            self._clients.sync_client().eval(COMPARE_AND_DELETE, 1, self.prefix + key, value)
        except StoreError:
            raise
        except Exception as exc:
            raise self._clients.failure(exc) from None

    def acquire(self, key: str, seconds: float) -> Lease | None:
        owner = secrets.token_hex(16)
        client = self._clients.sync_client()
        try:
            got = client.eval(ACQUIRE, 1, lock_key(self.prefix, key), owner, millis(seconds))
        except Exception as exc:
            raise self._clients.failure(exc) from None
        return lease_if(self, self.prefix, got, key, owner, seconds)

    def release(self, lease: Lease) -> None:
        self.delete_if(lease.key + ":lock", lease.owner.encode())

    def renew(self, lease: Lease) -> bool:
        try:
            renewed = self._clients.sync_client().eval(
                COMPARE_AND_EXPIRE,
                1,
                lock_key(self.prefix, lease.key),
                lease.owner,
                millis(lease.seconds),
            )
        except StoreError:
            raise
        except Exception as exc:
            raise self._clients.failure(exc) from None
        return bool(renewed)

    # -- async ------------------------------------------------------------

    async def aload(self, key: str) -> bytes | None:
        return await self._asynchronous.load(key)

    async def asave(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        await self._asynchronous.save(key, value, ttl, lease)

    async def adelete_if(self, key: str, value: bytes) -> None:
        await self._asynchronous.delete_if(key, value)

    async def aacquire(self, key: str, seconds: float) -> Lease | None:
        return await self._asynchronous.acquire(key, seconds)

    async def arelease(self, lease: Lease) -> None:
        await self.adelete_if(lease.key + ":lock", lease.owner.encode())

    async def arenew(self, lease: Lease) -> bool:
        return await self._asynchronous.renew(lease)

    # -- life cycle -------------------------------------------------------

    def close(self) -> None:
        """Close the sync client this store made from its URL."""
        self._clients.close()

    async def aclose(self) -> None:
        """Close the clients this store made from its URL for the running loop."""
        await self._clients.aclose()
