"""The stores against the local gateway and a real Redis: sharing, keys,
invalidation, broken entries and broken stores."""

from __future__ import annotations

import asyncio
import json
import logging
import multiprocessing as mp
import os
import shutil
import signal
import socket
import time
import uuid
from collections.abc import Callable, Iterator
from typing import Any

import httpx
import pytest
import redis

import quillon_bo as qb
from quillon_bo.stores import FileStore, MemoryStore, RedisStore, StoreError, TokenStore
from quillon_bo.testing import LocalGateway, Reply

from .conftest import Clock
from .fleet import Fleet
from .servers import RedisServer, free_port

RECORD_MEMBERS = {"access_token", "expires_at", "issued_at", "scope", "token_type"}
StoreMaker = Callable[[], TokenStore]


@pytest.fixture(params=["memory", "file", "redis"])
def make_store(request: pytest.FixtureRequest, folder: str, prefix: str) -> StoreMaker:
    """Each call gives a new store object over the same place, as another
    process would make."""
    if request.param == "memory":
        shared = MemoryStore()
        return lambda: shared
    if request.param == "file":
        path = os.path.join(folder, "tokens.json")
        return lambda: FileStore(path)
    url = request.getfixturevalue("redis_url")
    return lambda: RedisStore(url, prefix=prefix)


def stored_records(store: TokenStore, redis_client: redis.Redis | None = None) -> dict[str, Any]:
    """Every key the store holds, read raw."""
    if isinstance(store, FileStore):
        if not os.path.exists(store.path):
            return {}
        with open(store.path, "rb") as fh:
            records: dict[str, Any] = json.load(fh)
        return records
    if isinstance(store, RedisStore):
        assert redis_client is not None
        out = {}
        for key in redis_client.scan_iter(match=store.prefix + "*"):
            out[key.decode()] = json.loads(redis_client.get(key) or b"null")
        return out
    return {}


# -- sharing ------------------------------------------------------------------


def test_clients_on_one_store_share_one_token_and_refetch_once(
    gateway: LocalGateway, make_store: StoreMaker, clock: Clock
) -> None:
    config = gateway.config()
    clients = [qb.Client(config, store=make_store(), clock=clock, refresh_ahead=0) for _ in "abc"]
    first = {c.token().access_token for c in clients}
    assert len(first) == 1 and gateway.token_requests == 1
    clock.now += 3540
    second = {c.token().access_token for c in clients}
    assert len(second) == 1 and second != first and gateway.token_requests == 2
    for c in clients:
        c.close()


def test_async_clients_share_through_the_store(
    gateway: LocalGateway, make_store: StoreMaker, clock: Clock
) -> None:
    async def run() -> set[str]:
        clients = [
            qb.AsyncClient(gateway.config(), store=make_store(), clock=clock) for _ in range(4)
        ]
        tokens = await asyncio.gather(*(c.token() for c in clients for _ in range(10)))
        for c in clients:
            await c.aclose()
        return {t.access_token for t in tokens}

    gateway.enqueue(Reply.slow(0.2))
    assert len(asyncio.run(run())) == 1
    assert gateway.token_requests == 1


def test_async_waiters_wait_for_a_holder_slower_than_its_lease(
    gateway: LocalGateway, make_store: StoreMaker, clock: Clock
) -> None:
    async def run() -> set[str]:
        # 0.5 s leases (the deadline's), renewed by the holder while it is
        # told to come back in 2 s.
        options: Any = {"clock": clock, "deadline": 0.5, "retries": 1}
        clients = [
            qb.AsyncClient(gateway.config(), store=make_store(), **options) for _ in range(3)
        ]
        tokens = await asyncio.gather(*(c.token() for c in clients))
        for c in clients:
            await c.aclose()
        return {t.access_token for t in tokens}

    gateway.enqueue(Reply.unavailable(503, retry_after=2))
    assert len(asyncio.run(run())) == 1
    assert gateway.token_requests == 2  # the holder's 503 and its retry


@pytest.mark.parametrize(
    "other",
    [
        {"client_id": "another-client"},
        {"base_url_suffix": "/production"},
    ],
    ids=["other client", "other environment"],
)
def test_different_clients_or_environments_never_share(
    make_store: StoreMaker, clock: Clock, other: dict[str, str]
) -> None:
    with LocalGateway() as one, LocalGateway(base_path="/production") as two:
        if "client_id" in other:
            second_config = one.config(client_id=other["client_id"])
            two = one
        else:
            second_config = two.config()
        store = make_store()
        a = qb.Client(one.config(), store=store, clock=clock, retries=0)
        b = qb.Client(second_config, store=make_store(), clock=clock, retries=0)
        first = a.token()
        try:
            second = b.token()
        except qb.AuthenticationError:
            second = None  # the gateway refuses the other id; it still asked itself
        assert second is None or second.access_token != first.access_token
        assert one.token_requests + (two.token_requests if two is not one else 0) == 2
        a.close()
        b.close()


# -- invalidation ---------------------------------------------------------------


def test_a_refused_token_leaves_the_store_once(
    gateway: LocalGateway, make_store: StoreMaker, clock: Clock
) -> None:
    config = gateway.config()
    a = qb.Client(config, store=make_store(), clock=clock, refresh_ahead=0)
    b = qb.Client(config, store=make_store(), clock=clock, refresh_ahead=0)
    old = a.token()
    assert b.token().access_token == old.access_token
    gateway.revoke_tokens()
    with httpx.Client(auth=a.auth) as http_a, httpx.Client(auth=b.auth) as http_b:
        assert http_a.get(gateway.resource_url).status_code == 200
        # b still holds the refused token: its 401 must not remove a's new one.
        assert http_b.get(gateway.resource_url).status_code == 200
    assert gateway.token_requests == 2
    assert a.token().access_token == b.token().access_token != old.access_token
    a.close()
    b.close()


def test_async_refused_token_leaves_the_store_once(
    gateway: LocalGateway, make_store: StoreMaker, clock: Clock
) -> None:
    async def run() -> None:
        config = gateway.config()
        a = qb.AsyncClient(config, store=make_store(), clock=clock, refresh_ahead=0)
        b = qb.AsyncClient(config, store=make_store(), clock=clock, refresh_ahead=0)
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


# -- what the store holds ---------------------------------------------------------


@pytest.mark.parametrize(
    "garbage",
    [b"not json at all", b'{"access_token": 5}', b"[1, 2]", None],
    ids=["text", "mistyped", "array", "foreign members"],
)
def test_a_corrupt_entry_is_treated_as_missing_and_replaced(
    gateway: LocalGateway,
    make_store: StoreMaker,
    clock: Clock,
    garbage: bytes | None,
    caplog: pytest.LogCaptureFixture,
) -> None:
    store = make_store()
    if isinstance(store, MemoryStore):
        pytest.skip("nothing outside the process can write a memory store")
    client = qb.Client(gateway.config(), store=store, clock=clock)
    key = client.token_provider._store_key()
    record = garbage
    if record is None:
        members = {"access_token": "x", "token_type": "Bearer", "expires_at": clock.now + 999}
        members.update({"issued_at": clock.now, "scope": None, "owner": "someone"})
        record = json.dumps(members).encode()
    if isinstance(store, FileStore):
        with open(store.path, "wb") as fh:
            fh.write(
                record if garbage == b"not json at all" else b'{"%s": %s}' % (key.encode(), record)
            )
    else:
        store.save(key, record, 60, None)
    caplog.set_level(logging.WARNING)
    token = client.token()
    assert gateway.token_requests == 1 and token.access_token.startswith("tok-")
    assert any("treated as" in r.getMessage() for r in caplog.records)
    # The fetched token replaced the broken entry: a new client reads it.
    other = qb.Client(gateway.config(), store=make_store(), clock=clock)
    assert other.token().access_token == token.access_token
    assert gateway.token_requests == 1
    client.close()
    other.close()


def test_the_store_holds_token_records_only_and_nothing_secret_is_logged(
    make_store: StoreMaker,
    clock: Clock,
    caplog: pytest.LogCaptureFixture,
    redis_client_or_none: Any,
) -> None:
    secret = "Sx-very-secret-8812"
    caplog.set_level(logging.DEBUG)
    with LocalGateway("fleet-client", secret) as gw:
        store = make_store()
        client = qb.Client(gw.config(), store=store, clock=clock)
        token = client.token()
        gw.revoke_tokens()
        with httpx.Client(auth=client.auth) as http:
            assert http.get(gw.resource_url).status_code == 200
        # A failed refresh ahead and a failing store both log.
        gw.always(Reply.oauth_error(500, "server_error"))
        clock.now += 3540 - 10
        client.token()
        time.sleep(0.3)
        refreshed = client.token_provider.current
        assert refreshed is not None
        records = stored_records(store, redis_client_or_none)
        client.close()
    if not isinstance(store, MemoryStore):
        assert records, "the token was not stored"
    for key, record in records.items():
        assert "lock" not in key
        assert set(record) == RECORD_MEMBERS
    basic = "ZmxlZXQtY2xpZW50OlN4LXZlcnktc2VjcmV0LTg4MTI="
    texts = [json.dumps(records)] + [r.getMessage() for r in caplog.records]
    texts += [repr(store), repr(client.token_provider)]
    assert any("ahead" in t for t in texts), "the failed refresh was not logged"
    for text in texts:
        assert secret not in text and basic not in text
    for text in texts[1:]:
        assert token.access_token not in text and refreshed.access_token not in text


@pytest.fixture
def redis_client_or_none(make_store: StoreMaker, request: pytest.FixtureRequest) -> Any:
    if isinstance(make_store(), RedisStore):
        return request.getfixturevalue("redis_client")
    return None


# -- file permissions -------------------------------------------------------------


def _chown(path: str, uid: int) -> None:
    if os.geteuid() != 0:
        pytest.skip("changing a file's owner needs root")
    os.chown(path, uid, -1)


@pytest.mark.parametrize(
    "spoil",
    [
        ("folder mode", lambda folder, path: os.chmod(folder, 0o770), "group or others"),
        ("file mode", lambda folder, path: (open(path, "w").close(), os.chmod(path, 0o622)),
         "group or others"),
        ("lock mode", lambda folder, path: (open(path + ".lock", "w").close(),
                                            os.chmod(path + ".lock", 0o666)), "group or others"),
        ("file owner", lambda folder, path: (open(path, "w").close(), _chown(path, 65534)),
         "another user"),
        ("folder owner", lambda folder, path: _chown(folder, 65534), "another user"),
        ("link", lambda folder, path: os.symlink("/etc/hostname", path), "symbolic link"),
    ],
    ids=lambda case: case[0] if isinstance(case, tuple) else None,
)  # fmt: skip
def test_unsafe_files_and_folders_are_refused(folder: str, spoil: Any) -> None:
    _, act, words = spoil
    path = os.path.join(folder, "tokens.json")
    act(folder, path)
    with pytest.raises(StoreError, match=words):
        FileStore(path)


def test_the_token_file_is_private_and_replaced_whole(
    gateway: LocalGateway, folder: str, clock: Clock
) -> None:
    path = os.path.join(folder, "sub", "tokens.json")
    old_umask = os.umask(0)
    try:
        client = qb.Client(gateway.config(), store=FileStore(path), clock=clock)
        client.token()
    finally:
        os.umask(old_umask)
    assert os.stat(path).st_mode & 0o777 == 0o600
    assert os.stat(os.path.dirname(path)).st_mode & 0o777 == 0o700
    inode = os.stat(path).st_ino
    clock.now += 3540
    client.token()
    assert os.stat(path).st_ino != inode  # a new file renamed over the old one
    assert sorted(os.listdir(os.path.dirname(path))) == ["tokens.json", "tokens.json.lock"]
    client.close()


# -- broken stores ------------------------------------------------------------------


@pytest.fixture
def silent_port() -> Iterator[int]:
    """A port that accepts connections and never answers: a hung server."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        yield listener.getsockname()[1]


@pytest.mark.parametrize("kind", ["refused", "silent"])
def test_an_unreachable_or_hung_redis_never_fails_a_call(
    gateway: LocalGateway,
    clock: Clock,
    caplog: pytest.LogCaptureFixture,
    kind: str,
    request: pytest.FixtureRequest,
) -> None:
    caplog.set_level(logging.WARNING)
    port = free_port() if kind == "refused" else request.getfixturevalue("silent_port")
    store = RedisStore(f"redis://:pw-123@127.0.0.1:{port}/0", timeout=0.2, backoff=30)
    client = qb.Client(gateway.config(), store=store, clock=clock)
    client.token()
    clock.now += 3540
    client.token()  # within the back-off: straight to the endpoint
    assert gateway.token_requests == 2
    warnings = [r.getMessage() for r in caplog.records if r.name.startswith("quillon_bo")]
    assert len(warnings) == 1 and "failed" in warnings[0]
    assert "pw-123" not in warnings[0]
    client.close()


@pytest.mark.parametrize("asynchronous", [False, True])
def test_a_store_made_client_never_holds_a_caller_past_the_limit(
    silent_port: int, asynchronous: bool
) -> None:
    # redis-py alone would wait the socket time-out once per attempt (two).
    store = RedisStore(f"redis://127.0.0.1:{silent_port}/0", timeout=0.3)
    started = time.monotonic()
    with pytest.raises(StoreError, match=r"no answer within 0\.3 s"):
        if asynchronous:
            asyncio.run(store.aload("token:x"))
        else:
            store.load("token:x")
    assert time.monotonic() - started < 0.3 + 0.2
    store.close()


@pytest.fixture
def private_redis() -> Iterator[RedisServer]:
    if shutil.which("redis-server") is None:
        pytest.skip("redis-server is not installed: no private server to stop and start")
    server = RedisServer().start()
    yield server
    server.close()


def test_redis_stopped_mid_run_then_back(
    gateway: LocalGateway, clock: Clock, private_redis: RedisServer
) -> None:
    server = private_redis
    config = gateway.config()
    a = qb.Client(config, store=RedisStore(server.url, backoff=0.1, timeout=0.5), clock=clock)
    b = qb.Client(config, store=RedisStore(server.url, backoff=0.1, timeout=0.5), clock=clock)
    assert a.token().access_token == b.token().access_token
    assert gateway.token_requests == 1
    server.stop()
    clock.now += 3540
    a.token()
    b.token()  # each on its own now, and neither fails
    assert gateway.token_requests == 3
    server.start()
    time.sleep(0.5)  # past both stores' back-off
    clock.now += 3540
    assert a.token().access_token == b.token().access_token
    assert gateway.token_requests == 4
    a.close()
    b.close()


@pytest.mark.parametrize("planted", ["list", "hash"])
def test_redis_heals_a_wrong_type_token_key_and_a_lock_without_expiry(
    gateway: LocalGateway,
    redis_url: str,
    redis_client: redis.Redis,
    prefix: str,
    clock: Clock,
    caplog: pytest.LogCaptureFixture,
    planted: str,
) -> None:
    caplog.set_level(logging.WARNING)
    lease = 0.3
    is_async = planted == "hash"  # one of each flow

    def token(store: RedisStore) -> str:
        if not is_async:
            with qb.Client(gateway.config(), store=store, clock=clock, deadline=lease) as c:
                return c.token().access_token

        async def run() -> str:
            async with qb.AsyncClient(
                gateway.config(), store=store, clock=clock, deadline=lease
            ) as c:
                return (await c.token()).access_token

        return asyncio.run(run())

    key = prefix + qb.Client(gateway.config()).token_provider._store_key()
    if planted == "list":
        redis_client.rpush(key, "x")
    else:
        redis_client.hset(key, "x", "y")
    redis_client.set(key + ":lock", "stuck")  # no expiry
    first = token(RedisStore(redis_url, prefix=prefix))
    assert gateway.token_requests == 1
    assert redis_client.type(key) == b"string" and redis_client.pttl(key + ":lock") != -1
    messages = [r.getMessage() for r in caplog.records]
    assert sum(f"held a {planted}" in m for m in messages) == 1
    assert sum("no expiry" in m for m in messages) == 1
    assert token(RedisStore(redis_url, prefix=prefix)) == first  # read from the store
    caplog.clear()
    time.sleep(lease)
    clock.now += 3540
    assert token(RedisStore(redis_url, prefix=prefix)) != first
    # The lock ended with its lease: the next miss took it at once, saved its token.
    assert gateway.token_requests == 2 and not caplog.records
    assert token(RedisStore(redis_url, prefix=prefix)) != first
    assert gateway.token_requests == 2


def _hold_the_lock(store_kind: tuple[Any, ...], config: dict[str, Any]) -> None:
    from .fleet import make_store

    # A 3 s lease (the deadline's): how long the lock outlasts this holder.
    client = qb.Client(qb.Config(**config), store=make_store(store_kind), retries=0, deadline=3)
    client.token()  # the gateway holds the answer back: the lock stays taken


@pytest.mark.parametrize("kind", ["redis", "file"])
def test_a_killed_lock_holder_costs_the_fleet_one_more_fetch(
    gateway: LocalGateway,
    kind: str,
    folder: str,
    prefix: str,
    request: pytest.FixtureRequest,
    fleet: Fleet,
) -> None:
    if kind == "redis":
        store_kind: tuple[Any, ...] = ("redis", request.getfixturevalue("redis_url"), prefix)
    else:
        store_kind = ("file", os.path.join(folder, "tokens.json"))
    gateway.enqueue(Reply.slow(60))
    config = {"client_id": gateway.client_id, "client_secret": gateway.client_secret,
              "base_url": gateway.base_url}  # fmt: skip
    holder = mp.get_context("spawn").Process(target=_hold_the_lock, args=(store_kind, config))
    holder.start()
    name = uuid.uuid4().hex
    try:
        deadline = time.monotonic() + 30
        while gateway.token_requests == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
        assert gateway.token_requests == 1  # it holds the lock and waits for its answer
        os.kill(holder.pid or 0, signal.SIGKILL)
        holder.join(10)
        fleet.clock.value = time.time()
        # Leases of 0.5 s, and some 30 s (a fetch of their own) for a live holder.
        fleet.all("open", name, config, store_kind, 0, {"deadline": 0.5, "retries": 1})
        started = time.monotonic()
        results = fleet.all("burst", name, 4, 1, None)
        waited = time.monotonic() - started
        print(f"token requests with a killed holder: {gateway.token_requests}")
        # The OS frees a file lock at once; a Redis lock ends with its lease.
        assert waited < 3 + 3.0
        assert [r["errors"] for r in results] == [[]] * len(results)
        assert len({t for r in results for t in r["tokens"]}) == 1
        assert gateway.token_requests == 2
    finally:
        fleet.all("close", name)
        if holder.is_alive():
            holder.kill()


# -- refresh ahead ---------------------------------------------------------------


def test_callers_in_the_window_keep_the_valid_token_while_one_refresh_runs(
    gateway: LocalGateway, make_store: StoreMaker, clock: Clock
) -> None:
    client = qb.Client(gateway.config(), store=make_store(), clock=clock)
    old = client.token()
    clock.now = old.expires_at - 100  # inside the last 300 s
    gateway.enqueue(Reply.slow(0.5))
    seen = set()
    ends = time.monotonic() + 0.3
    while time.monotonic() < ends:  # the refresh is out all this time
        seen.add(client.token().access_token)
    assert seen == {old.access_token}
    assert gateway.token_requests == 2  # the one refresh reached the endpoint
    deadline = time.monotonic() + 5
    while client.token() is old and time.monotonic() < deadline:
        time.sleep(0.01)
    new = client.token()
    assert new.access_token != old.access_token and gateway.token_requests == 2
    client.close()


def test_a_failed_refresh_ahead_keeps_the_token_and_is_tried_later(
    gateway: LocalGateway, clock: Clock, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(logging.WARNING)
    client = qb.Client(gateway.config(), clock=clock, retries=0)
    old = client.token()
    clock.now = old.expires_at - 10
    gateway.enqueue(Reply.oauth_error(503, "temporarily_unavailable"))
    assert client.token() is old
    deadline = time.monotonic() + 5
    while gateway.token_requests < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)
    for _ in range(50):
        assert client.token() is old  # kept, and no new attempt within the back-off
    assert gateway.token_requests == 2
    assert any("ahead" in r.getMessage() for r in caplog.records)
    time.sleep(1.1)  # past the back-off: the next caller tries again
    client.token()
    deadline = time.monotonic() + 5
    while client.token() is old and time.monotonic() < deadline:
        time.sleep(0.01)
    assert client.token() is not old and gateway.token_requests == 3
    client.close()


def test_async_refresh_ahead_answers_at_once(gateway: LocalGateway, clock: Clock) -> None:
    async def run() -> None:
        client = qb.AsyncClient(gateway.config(), clock=clock)
        old = await client.token()
        clock.now = old.expires_at - 100
        gateway.enqueue(Reply.slow(0.3))
        tokens = await asyncio.gather(*(client.token() for _ in range(100)))
        assert all(t is old for t in tokens)
        await asyncio.sleep(0.6)
        assert (await client.token()).access_token != old.access_token
        await client.aclose()

    asyncio.run(run())
    assert gateway.token_requests == 2


@pytest.mark.parametrize(
    ("ahead", "lifetime", "window"),
    [("auto", 3540, 300), ("auto", 1000, 100), (0, 3540, 0), (60, 3540, 60), (900, 1000, 500)],
)
def test_the_window(
    gateway: LocalGateway, clock: Clock, ahead: Any, lifetime: int, window: int
) -> None:
    gateway.always(Reply.token(expires_in=lifetime + 60))
    client = qb.Client(gateway.config(), clock=clock, refresh_ahead=ahead)
    token = client.token()
    assert client.token_provider._entry is not None
    assert token.expires_at - client.token_provider._entry.refresh_at == window
    client.close()


def test_an_asyncio_redis_client_is_refused_by_a_sync_client(
    gateway: LocalGateway, redis_url: str
) -> None:
    import redis.asyncio

    with pytest.raises(TypeError, match="sync"):
        qb.Client(gateway.config(), store=RedisStore(redis.asyncio.Redis.from_url(redis_url)))


class CountingStore(MemoryStore):
    def __init__(self) -> None:
        super().__init__()
        self.loads = 0

    def load(self, key: str) -> bytes | None:
        self.loads += 1
        return super().load(key)


def test_the_store_is_read_only_when_the_process_copy_is_missing_or_ended(
    gateway: LocalGateway, clock: Clock
) -> None:
    store = CountingStore()
    client = qb.Client(gateway.config(), store=store, clock=clock, refresh_ahead=0)
    for _ in range(1000):
        client.token()
    # One look before the lock, one after it; then every call stays in the process.
    assert store.loads == 2
    other = qb.Client(gateway.config(), store=store, clock=clock, refresh_ahead=0)
    for _ in range(1000):
        other.token()
    assert store.loads == 3 and gateway.token_requests == 1
    clock.now += 3540
    client.token()
    assert store.loads == 5 and gateway.token_requests == 2


@pytest.mark.parametrize(
    ("deadline", "timeout", "lease"),
    [
        ("auto", None, 10.0),  # 30 s deadline: the default lease
        ("auto", 1.0, 3.0),  # three times the longest time-out
        ("auto", httpx.Timeout(2.0, read=None), 10.0),  # no read time-out: no deadline
        (4.0, None, 4.0),
        (60.0, None, 10.0),
        (None, 1.0, 10.0),
    ],
)
def test_the_lease_never_outlasts_the_deadline(deadline: Any, timeout: Any, lease: float) -> None:
    from quillon_bo.tokens import lease_for

    assert lease_for(deadline, timeout) == lease


@pytest.mark.skipif(not hasattr(os, "fork"), reason="fork() is POSIX only")
def test_a_forked_child_does_not_wait_for_its_parents_refresh(
    gateway: LocalGateway, clock: Clock
) -> None:
    # A pre-fork server: the parent holds a token and is refreshing it when
    # the workers are forked; the refresh's thread does not exist in them.
    client = qb.Client(gateway.config(), clock=clock)
    old = client.token()
    clock.now = old.expires_at - 100
    gateway.enqueue(Reply.slow(2.0))
    client.token()  # starts the refresh in the background
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through its exit code
        code = 1
        try:
            clock.now = old.expires_at  # ended: the child must fetch itself
            code = 0 if client.token().access_token != old.access_token else 2
        finally:
            os._exit(code)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.02)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the forked child waited for a refresh that runs only in its parent")
    assert os.waitstatus_to_exitcode(status) == 0
    client.close()
