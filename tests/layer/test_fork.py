"""A pre-forking server: children of a parent that fetched over a keep-alive
connection fetch at once, each over connections of its own."""

from __future__ import annotations

import asyncio
import os
from collections.abc import Callable

import httpx
import pytest

import quillon_bo as qb
from quillon_bo.testing import LocalGateway

from .test_faults import FLAVOURS

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="fork() is POSIX only")

CHILDREN = 20


def in_children(count: int, work: Callable[[], str]) -> list[str]:
    """What ``work`` returned in each of ``count`` forked children, all let go at once."""
    go_r, go_w = os.pipe()
    out_r, out_w = os.pipe()
    pids = []
    for _ in range(count):
        pid = os.fork()
        if pid == 0:  # pragma: no cover - the child reports through the pipe
            try:
                os.close(go_w)
                os.read(go_r, 1)  # returns once the parent closes its end
                try:
                    line = work()
                except Exception as exc:
                    line = f"!{type(exc).__name__}"
                os.write(out_w, f"{line}\n".encode())
            finally:
                os._exit(0)
        pids.append(pid)
    os.close(go_r)
    os.close(out_w)
    os.close(go_w)
    data = b""
    while chunk := os.read(out_r, 1 << 16):
        data += chunk
    os.close(out_r)
    for pid in pids:
        os.waitpid(pid, 0)
    return data.decode().splitlines()


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_forked_children_never_use_the_parents_connections(
    gateway: LocalGateway, flavour: str
) -> None:
    # No retries and a short time limit: a child that reads another's answer,
    # or waits for one that another read, fails at once.
    options = {"retries": 0, "timeout": 3.0}
    if flavour == "sync":
        client = qb.Client(gateway.config(), **options)
        parents = client.fetch_token()
        tokens = in_children(CHILDREN, lambda: client.fetch_token().access_token)
        again = client.fetch_token()  # its own connection is as it left it
        client.close()
    else:
        async_client = qb.AsyncClient(gateway.config(), **options)
        loop = asyncio.new_event_loop()
        parents = loop.run_until_complete(async_client.fetch_token())
        tokens = in_children(CHILDREN, lambda: asyncio.run(async_client.fetch_token()).access_token)
        again = loop.run_until_complete(async_client.fetch_token())
        loop.run_until_complete(async_client.aclose())
        loop.close()
    assert len(tokens) == CHILDREN
    assert [t for t in tokens if t.startswith("!")] == []
    assert len({*tokens, parents.access_token, again.access_token}) == CHILDREN + 2
    assert gateway.token_requests == CHILDREN + 2


def test_a_client_the_caller_gave_stays_theirs_in_a_child(gateway: LocalGateway) -> None:
    with httpx.Client() as given, qb.Client(gateway.config(), http_client=given) as client:
        (kept,) = in_children(1, lambda: str(client.http_client is given))
    assert kept == "True"
