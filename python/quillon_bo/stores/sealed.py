"""Sealed entries: a store whose readers and writers must hold a key of the user's.

A shared store is only as private as its server: whoever can read a Redis
can use the tokens in it, and whoever can write it can plant one. Sealing
each entry with AES-GCM under a key that only the clients hold makes an entry
unreadable without the key, and makes any entry not sealed by a holder of the
key (planted, altered, or copied from another client's key) fail to open.
"""

from __future__ import annotations

import binascii
import contextlib
import logging
import os
from collections.abc import Sequence
from typing import Any

from .base import Lease, TokenStore

__all__ = ["SealedStore"]

logger = logging.getLogger("quillon_bo.stores")

_KEY_SIZES = (16, 24, 32)
_NONCE_BYTES = 12
# Associated data names the format and the entry's key: a sealed entry
# copied under another key (another client's) no longer opens.
_CONTEXT = b"quillon_bo sealed entry v1\n"
# An entry is {"sealed":"<Base64 of nonce and ciphertext>"}: JSON, as a
# FileStore keeps its records, and unchanged by its compact, sorted rewrite.
_HEAD = b'{"sealed":"'
_TAIL = b'"}'


def _ciphers(keys: Sequence[bytes]) -> tuple[Any, ...]:
    if isinstance(keys, (bytes, bytearray, memoryview, str)):
        raise TypeError("SealedStore keys is a list of keys: SealedStore(store, keys=[key])")
    keys = list(keys)
    if not keys:
        raise ValueError("SealedStore needs at least one key")
    for number, key in enumerate(keys, 1):
        # Only the type and the length are ever named: never the key itself.
        if not isinstance(key, (bytes, bytearray)):
            raise TypeError(
                f"SealedStore key {number} of {len(keys)} is a {type(key).__name__}, not bytes "
                "(decode a text form first, e.g. base64.b64decode)"
            )
        if len(key) not in _KEY_SIZES:
            raise ValueError(
                f"SealedStore key {number} of {len(keys)} is {len(key)} bytes long; "
                "AES keys are 16, 24 or 32 bytes"
            )
    try:
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    except ImportError:
        raise ImportError(
            "SealedStore needs cryptography: pip install 'quillon_bo[sealed]'"
        ) from None
    return tuple(AESGCM(bytes(key)) for key in keys)


class SealedStore(TokenStore):
    """Wraps a store so that every entry is sealed (AES-GCM) with a key of yours.

    ``keys`` are AES keys of 16, 24 or 32 bytes; the first seals every entry
    written, and all of them open entries, so a new key goes first and an old
    one stays listed until the entries it sealed have ended. Each entry is
    bound to its place in the store: copied under another client's key, it no
    longer opens. An entry that does not open (altered, written in plain
    text, sealed with a key not listed, or moved) is treated as missing and
    logged once; the next token written replaces it. The lock is the wrapped
    store's, unchanged.
    """

    def __init__(self, store: TokenStore, *, keys: Sequence[bytes]) -> None:
        super().__init__(backoff=store.backoff)
        self._ciphers = _ciphers(keys)
        self.store = store
        self.supports_sync = store.supports_sync
        # The last entry under each key that failed to open: pollers that
        # read it again while a token is fetched add no warning of their own.
        self._unopened: dict[str, bytes] = {}

    def __repr__(self) -> str:
        count = len(self._ciphers)
        return f"SealedStore({self.store!r}, {count} key{'s' if count > 1 else ''})"

    # -- the form of an entry -----------------------------------------------

    def _seal(self, key: str, value: bytes) -> bytes:
        """The entry stored for ``value`` under ``key``: a JSON object, as
        every store can keep it and give it back byte for byte."""
        nonce = os.urandom(_NONCE_BYTES)
        sealed = self._ciphers[0].encrypt(nonce, value, _CONTEXT + key.encode())
        return _HEAD + binascii.b2a_base64(nonce + sealed, newline=False) + _TAIL

    def _open(self, key: str, entry: bytes | None) -> bytes | None:
        """The value sealed in ``entry``, or None when there is none or it
        does not open with any of the keys."""
        if entry is None:
            return None
        raw = b""
        # Parsed by hand: a JSON parser and the URL-safe alphabet would cost
        # more than the decryption itself.
        if entry.startswith(_HEAD) and entry.endswith(_TAIL):
            with contextlib.suppress(binascii.Error):
                raw = binascii.a2b_base64(entry[len(_HEAD) : -len(_TAIL)])
        if len(raw) > _NONCE_BYTES:
            nonce, sealed = raw[:_NONCE_BYTES], raw[_NONCE_BYTES:]
            for cipher in self._ciphers:
                try:
                    value: bytes = cipher.decrypt(nonce, sealed, _CONTEXT + key.encode())
                except Exception:  # InvalidTag: another key, or not ours
                    continue
                self._unopened.pop(key, None)
                return value
        if self._unopened.get(key) != entry:
            self._unopened[key] = entry
            logger.warning(
                "token store %r holds an entry under %s that does not open with its keys "
                "(altered, not sealed, sealed with another key, or moved); treated as missing",
                self,
                key,
            )
        return None

    # -- sync -------------------------------------------------------------

    def load(self, key: str) -> bytes | None:
        return self._open(key, self.store.load(key))

    def save(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        self.store.save(key, self._seal(key, value), ttl, lease)

    def delete_if(self, key: str, value: bytes) -> None:
        # Sealing is randomised: the entry to compare and delete is the one
        # stored now, if it opens to ``value``; one written meanwhile stays.
        entry = self.store.load(key)
        if entry is not None and self._open(key, entry) == value:
            self.store.delete_if(key, entry)

    def acquire(self, key: str, seconds: float) -> Lease | None:
        return self.store.acquire(key, seconds)

    def release(self, lease: Lease) -> None:
        self.store.release(lease)

    # -- async ------------------------------------------------------------

    async def aload(self, key: str) -> bytes | None:
        return self._open(key, await self.store.aload(key))

    async def asave(self, key: str, value: bytes, ttl: float, lease: Lease | None) -> None:
        await self.store.asave(key, self._seal(key, value), ttl, lease)

    async def adelete_if(self, key: str, value: bytes) -> None:
        entry = await self.store.aload(key)
        if entry is not None and self._open(key, entry) == value:
            await self.store.adelete_if(key, entry)

    async def aacquire(self, key: str, seconds: float) -> Lease | None:
        return await self.store.aacquire(key, seconds)

    async def arelease(self, lease: Lease) -> None:
        await self.store.arelease(lease)

    # -- life cycle -------------------------------------------------------

    def close(self) -> None:
        """Close the wrapped store, if it has anything to close."""
        close = getattr(self.store, "close", None)
        if close is not None:
            close()

    async def aclose(self) -> None:
        """Close the wrapped store for the running loop, if it has anything to close."""
        aclose = getattr(self.store, "aclose", None)
        if aclose is not None:
            await aclose()
