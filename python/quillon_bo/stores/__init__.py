"""Where providers share tokens: in the process, in a file, or in Redis.

Pick one by how far the token must reach:

- :class:`MemoryStore` (the default): one process; nothing is shared.
- :class:`FileStore`: the processes of one machine, through one file.
- :class:`RedisStore`: every machine of a fleet, through Redis.

Wrap a shared store in :class:`SealedStore` to keep its entries sealed with a
key of yours, when others can read or write where it keeps them.

Every provider also keeps its own copy in memory and reads the store only when
that copy is missing or has ended, so a cached lookup never leaves the process.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from .base import DEFAULT_LEASE, Lease, StoreError, TokenStore, store_key
from .memory import MemoryStore

if TYPE_CHECKING:
    from .file import FileStore
    from .redis_store import RedisStore
    from .sealed import SealedStore

__all__ = [
    "DEFAULT_LEASE",
    "FileStore",
    "Lease",
    "MemoryStore",
    "RedisStore",
    "SealedStore",
    "StoreError",
    "TokenStore",
    "store_key",
]

# The stores a program names are loaded when it first names them: most use
# only the default MemoryStore, and RedisStore brings redis with it.
_LOADED_ON_USE = {"FileStore": "file", "RedisStore": "redis_store", "SealedStore": "sealed"}


def __getattr__(name: str) -> Any:
    module = _LOADED_ON_USE.get(name)
    if module is None:
        raise AttributeError(f"module 'quillon_bo.stores' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
