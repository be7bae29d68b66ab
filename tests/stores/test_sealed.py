"""Sealed entries over a real file and a real Redis: what opens, what is
treated as missing, and the compare-and-delete of a refused token."""

from __future__ import annotations

import asyncio
import base64
import json
import logging
import os
from collections.abc import Callable

import httpx
import pytest

import quillon_bo as qb
from quillon_bo.stores import FileStore, MemoryStore, RedisStore, SealedStore, TokenStore
from quillon_bo.testing import LocalGateway

from .conftest import Clock

OLD, NEW = bytes([1]) * 32, bytes([2]) * 16


@pytest.fixture(params=["file", "redis"])
def raw_store(request: pytest.FixtureRequest, folder: str, prefix: str) -> Callable[[], TokenStore]:
    """Each call gives a new store object over the same place, unsealed."""
    if request.param == "file":
        path = os.path.join(folder, "tokens.json")
        return lambda: FileStore(path)
    url = request.getfixturevalue("redis_url")
    return lambda: RedisStore(url, prefix=prefix)


def _flip(entry: bytes) -> bytes:
    raw = bytearray(base64.b64decode(json.loads(entry)["sealed"]))
    raw[len(raw) // 2] ^= 1
    return json.dumps({"sealed": base64.b64encode(raw).decode()}).encode()


def _planted(clock: Clock) -> bytes:
    members = {"access_token": "planted", "token_type": "Bearer", "scope": None}
    members.update({"expires_at": 253402300799, "issued_at": clock.now})
    return json.dumps(members).encode()


@pytest.mark.parametrize(
    ("writer_keys", "reader_keys", "spoil", "opens"),
    [
        ([OLD], [OLD], None, True),
        ([OLD], [NEW, OLD], None, True),  # rotation: the old key still opens
        ([NEW, OLD], [NEW], None, True),  # the first key seals
        ([OLD], [NEW], None, False),
        ([OLD], [OLD], "flip", False),
        ([OLD], [OLD], "plain", False),
        ([OLD], [OLD], "moved", False),
    ],
    ids=["same key", "rotated", "first seals", "wrong key", "flipped", "plain", "moved"],
)
def test_an_entry_opens_only_sealed_by_a_listed_key_for_its_own_key(
    gateway: LocalGateway,
    raw_store: Callable[[], TokenStore],
    clock: Clock,
    caplog: pytest.LogCaptureFixture,
    writer_keys: list[bytes],
    reader_keys: list[bytes],
    spoil: str | None,
    opens: bool,
) -> None:
    writer = qb.Client(
        gateway.config(), store=SealedStore(raw_store(), keys=writer_keys), clock=clock
    )
    reader = qb.Client(
        gateway.config(), store=SealedStore(raw_store(), keys=reader_keys), clock=clock
    )
    key = reader.token_provider._store_key()
    written = None
    if spoil == "moved":  # a valid entry of another client's, copied under ours
        with qb.Client(gateway.config(client_id="other")) as other:
            other_key = other.token_provider._store_key()
        SealedStore(raw_store(), keys=writer_keys).save(other_key, _planted(clock), 60, None)
        raw_store().save(key, raw_store().load(other_key) or b"", 60, None)
    else:
        written = writer.token()
        entry = raw_store().load(key)
        assert entry is not None and written.access_token.encode() not in entry
        if spoil is not None:
            spoilt = _flip(entry) if spoil == "flip" else _planted(clock)
            raw_store().save(key, spoilt, 60, None)
    before = gateway.token_requests
    caplog.set_level(logging.WARNING)
    got = reader.token()
    if opens:
        assert written is not None and got.access_token == written.access_token
        assert gateway.token_requests == before and not caplog.records
    else:
        assert got.access_token.startswith("tok-") and gateway.token_requests == before + 1
        warnings = [r.getMessage() for r in caplog.records]
        assert len(warnings) == 1 and "does not open" in warnings[0]
        # The fetched token replaced the entry: a new reader opens it.
        again = qb.Client(
            gateway.config(), store=SealedStore(raw_store(), keys=reader_keys), clock=clock
        )
        assert again.token().access_token == got.access_token
        assert gateway.token_requests == before + 1
        again.close()
    writer.close()
    reader.close()


@pytest.mark.parametrize("flow", ["sync", "async"])
def test_a_refused_sealed_token_leaves_the_store_once(
    gateway: LocalGateway, raw_store: Callable[[], TokenStore], clock: Clock, flow: str
) -> None:
    # Sealing is randomised: the compare and delete must find the stored form.
    def store() -> SealedStore:
        return SealedStore(raw_store(), keys=[NEW, OLD])

    config = gateway.config()
    if flow == "sync":
        a = qb.Client(config, store=store(), clock=clock, refresh_ahead=0)
        b = qb.Client(config, store=store(), clock=clock, refresh_ahead=0)
        old = a.token()
        assert b.token().access_token == old.access_token
        gateway.revoke_tokens()
        with httpx.Client(auth=a.auth) as http_a, httpx.Client(auth=b.auth) as http_b:
            assert http_a.get(gateway.resource_url).status_code == 200
            assert http_b.get(gateway.resource_url).status_code == 200
        a.close()
        b.close()
    else:

        async def run() -> None:
            a = qb.AsyncClient(config, store=store(), clock=clock, refresh_ahead=0)
            b = qb.AsyncClient(config, store=store(), clock=clock, refresh_ahead=0)
            await a.token()
            await b.token()
            gateway.revoke_tokens()
            async with httpx.AsyncClient(auth=a.auth) as ha, httpx.AsyncClient(auth=b.auth) as hb:
                assert (await ha.get(gateway.resource_url)).status_code == 200
                assert (await hb.get(gateway.resource_url)).status_code == 200
            await a.aclose()
            await b.aclose()

        asyncio.run(run())
    assert gateway.token_requests == 2


@pytest.mark.parametrize(
    ("keys", "error"),
    [
        (b"S" * 32, TypeError),
        ([], ValueError),
        (["S" * 32], TypeError),
        ([b"S" * 20], ValueError),
        ([b"S" * 32, b"S" * 31], ValueError),
    ],
    ids=["one bytes", "none", "text", "short", "second short"],
)
def test_bad_keys_are_refused_without_showing_them(keys: object, error: type) -> None:
    with pytest.raises(error) as caught:
        SealedStore(MemoryStore(), keys=keys)  # type: ignore[arg-type]
    assert "SSSS" not in str(caught.value) and "SealedStore" in str(caught.value)
    sealed = SealedStore(RedisStore("redis://127.0.0.1:1/0"), keys=[b"S" * 16, b"T" * 24])
    assert "SSSS" not in repr(sealed) and "TTTT" not in repr(sealed)
