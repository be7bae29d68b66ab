"""The Lua scripts a RedisStore runs, each on one key, and the reading of
what Redis answers; shared by the store's sync and asyncio halves."""

from __future__ import annotations

import logging
from typing import Any

from .base import Lease

__all__ = [
    "ACQUIRE",
    "COMPARE_AND_DELETE",
    "COMPARE_AND_EXPIRE",
    "REMOVE_WRONG_TYPE",
    "as_bytes",
    "lease_if",
    "lock_key",
    "millis",
    "note_removed",
    "wrong_type",
]

logger = logging.getLogger("quillon_bo.stores")

# Deletes KEYS[1] only while it still holds ARGV[1]: a lock's owner releasing
# it, or a refused token leaving the store only if no newer one replaced it.
COMPARE_AND_DELETE = """
if redis.pcall('GET', KEYS[1]) == ARGV[1] then
  return redis.call('DEL', KEYS[1])
end
return 0
"""

# Takes the lock if free. A lock key without an expiry (left by a hand, a
# restore, or a client that crashed between two commands) would hold every
# waiter back for good: it gets the lease's expiry, and ends with it.
# Answers 1 (taken), 0 (held), or -1 (held, and given an expiry).
ACQUIRE = """
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
COMPARE_AND_EXPIRE = """
if redis.pcall('GET', KEYS[1]) == ARGV[1] then
  return redis.call('PEXPIRE', KEYS[1], ARGV[2])
end
return 0
"""

# Removes a token key that holds something other than a string (GET answers
# WRONGTYPE on it for good); one written meanwhile is kept. Answers the type
# removed, or false.
REMOVE_WRONG_TYPE = """
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind == 'string' or kind == 'none' then
  return false
end
redis.call('DEL', KEYS[1])
return kind
"""


def wrong_type(exc: BaseException) -> bool:
    return str(exc).startswith("WRONGTYPE")


def millis(seconds: float) -> int:
    return max(1, int(seconds * 1000))


def as_bytes(value: Any) -> bytes | None:
    return value if isinstance(value, bytes) or value is None else str(value).encode()


def lock_key(prefix: str, key: str) -> str:
    return f"{prefix}{key}:lock"


def note_removed(store: object, name: str, kind: Any) -> None:
    """Log what :data:`REMOVE_WRONG_TYPE` took out of ``store`` at ``name``, if anything."""
    if kind:
        shown = kind.decode() if isinstance(kind, bytes) else str(kind)
        logger.warning(
            "token store %r held a %s at %s, not a token entry; removed it",
            store,
            shown,
            name,
        )


def lease_if(
    store: object, prefix: str, got: Any, key: str, owner: str, seconds: float
) -> Lease | None:
    """The lease that :data:`ACQUIRE`'s answer ``got`` grants, or None."""
    if got == -1:
        logger.warning(
            "the lock %s of token store %r had no expiry; it now ends with the %.1f s lease",
            lock_key(prefix, key),
            store,
            seconds,
        )
    return Lease(key, owner, seconds) if got == 1 else None
