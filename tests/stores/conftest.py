from __future__ import annotations

import os
import shutil
import tempfile
import time
import uuid
from collections.abc import Iterator

import pytest
import redis

from quillon_bo.testing import LocalGateway

from .fleet import Fleet
from .servers import RedisServer, redis_url_from_env


@pytest.fixture(scope="session")
def redis_url() -> Iterator[str]:
    """The test command's server (QB_REDIS_URL), else one of our own."""
    url = redis_url_from_env()
    if url is not None:
        yield url
        return
    if shutil.which("redis-server") is None:
        pytest.skip("no Redis: QB_REDIS_URL is not set and redis-server is not installed")
    server = RedisServer().start()
    try:
        yield server.url
    finally:
        server.close()


@pytest.fixture
def prefix() -> str:
    """A key prefix of this test's own, so tests never see each other's keys."""
    return f"qbtest-{uuid.uuid4().hex[:12]}:"


@pytest.fixture
def redis_client(redis_url: str) -> Iterator[redis.Redis]:
    client = redis.Redis.from_url(redis_url)
    yield client
    client.close()


@pytest.fixture
def folder() -> Iterator[str]:
    path = tempfile.mkdtemp(prefix="qb-store-")
    os.chmod(path, 0o700)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def gateway() -> Iterator[LocalGateway]:
    with LocalGateway() as gw:
        yield gw


@pytest.fixture(scope="session")
def fleet() -> Iterator[Fleet]:
    """Eight worker processes, started once: spawning is the slow part."""
    workers = Fleet(8, time.time())
    try:
        yield workers
    finally:
        workers.close()


class Clock:
    """A clock the test moves by hand."""

    def __init__(self, now: float | None = None) -> None:
        self.now = int(now if now is not None else time.time())

    def __call__(self) -> int:
        return self.now


@pytest.fixture
def clock() -> Clock:
    return Clock()
