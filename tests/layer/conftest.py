from __future__ import annotations

import socket
from collections.abc import Iterator

import pytest

from quillon_bo.testing import LocalGateway


@pytest.fixture
def gateway() -> Iterator[LocalGateway]:
    with LocalGateway() as gw:
        yield gw


@pytest.fixture
def refused_url() -> str:
    """A loopback URL on which nothing listens."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}/sandbox"


class FakeClock:
    """A clock the test moves by hand."""

    def __init__(self, now: int = 1_000_000) -> None:
        self.now = now

    def __call__(self) -> int:
        return self.now


@pytest.fixture
def clock() -> FakeClock:
    return FakeClock()
