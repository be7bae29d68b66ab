"""The asyncio half of a RedisStore: its commands sent by a ``redis.asyncio``
client of the running loop, or, with a sync client only, by a worker thread."""

from __future__ import annotations

import asyncio
import secrets
from typing import TYPE_CHECKING

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
from .base import Lease

if TYPE_CHECKING:
    from ._redis_clients import StoreClients
    from .redis_store import RedisStore

__all__ = ["AsyncCommands"]


class AsyncCommands:
    """What :class:`~quillon_bo.stores.RedisStore`'s async methods do, over
    the store's ``clients``; ``store`` answers them when it has no asyncio
    client."""

    def __init__(self, store: RedisStore, clients: StoreClients) -> None:
        self._store = store
        self._clients = clients

    async def load(self, key: str) -> bytes | None:
        client = self._clients.async_client()
        if client is None:
            return await asyncio.to_thread(self._store.load, key)
        name = self._store.prefix + key
        try:
            try:
                value = await client.get(name)
            except Exception as exc:
                if not wrong_type(exc):
                    raise
                note_removed(self._store, name, await client.eval(REMOVE_WRONG_TYPE, 1, name))
                value = None
        except Exception as exc:
            raise self._clients.failure(exc) from None
        return as_bytes(value)

    async def save(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        client = self._clients.async_client()
        if client is None:
            return await asyncio.to_thread(self._store.save, key, value, ttl, lease)
        ms = int(ttl * 1000)
        if ms <= 0:
            return None
        try:
            await client.set(self._store.prefix + key, value, px=ms)
        except Exception as exc:
            raise self._clients.failure(exc) from None
        return None

    async def delete_if(self, key: str, value: bytes) -> None:
        client = self._clients.async_client()
        if client is None:
            return await asyncio.to_thread(self._store.delete_if, key, value)
        try:
            await client.eval(COMPARE_AND_DELETE, 1, self._store.prefix + key, value)
        except Exception as exc:
            raise self._clients.failure(exc) from None
        return None

    async def acquire(self, key: str, seconds: float) -> Lease | None:
        client = self._clients.async_client()
        if client is None:
            return await asyncio.to_thread(self._store.acquire, key, seconds)
        owner = secrets.token_hex(16)
        prefix = self._store.prefix
        try:
            got = await client.eval(ACQUIRE, 1, lock_key(prefix, key), owner, millis(seconds))
        except Exception as exc:
            raise self._clients.failure(exc) from None
        return lease_if(self._store, prefix, got, key, owner, seconds)

    async def renew(self, lease: Lease) -> bool:
        client = self._clients.async_client()
        if client is None:
            return await asyncio.to_thread(self._store.renew, lease)
        try:
            renewed = await client.eval(
                COMPARE_AND_EXPIRE,
                1,
                lock_key(self._store.prefix, lease.key),
                lease.owner,
                millis(lease.seconds),
            )
        except Exception as exc:
            raise self._clients.failure(exc) from None
        return bool(renewed)
