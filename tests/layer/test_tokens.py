"""Token caching and refresh, and one fetch for many concurrent callers."""

from __future__ import annotations

import asyncio
import threading

import pytest

import quillon_bo as qb
from quillon_bo.testing import LocalGateway, Reply
from quillon_bo.tokens import system_clock

from .conftest import FakeClock

CALLERS = 50


def test_token_is_kept_until_expiry_then_refreshed(gateway: LocalGateway, clock: FakeClock) -> None:
    start = clock.now
    # Refresh ahead off: this is the plain cache, refreshed only at the end.
    with qb.Client(gateway.config(), clock=clock, refresh_ahead=0) as client:
        first = client.token()
        assert first.expires_at == start + 3540
        clock.now = start + 3539
        assert client.token() is first
        clock.now = start + 3540  # now == expires_at: no longer valid
        second = client.token()
        assert second.access_token != first.access_token
        assert second.expires_at == clock.now + 3540
        assert client.token() is second
    assert gateway.token_requests == 2


def test_fetch_bypasses_and_replaces_the_cache(gateway: LocalGateway, clock: FakeClock) -> None:
    with qb.Client(gateway.config(), clock=clock) as client:
        cached = client.token()
        fresh = client.fetch_token()
        assert fresh.access_token != cached.access_token
        assert client.token() is fresh
    assert gateway.token_requests == 2


def test_short_lived_token_is_used_once_and_never_cached(
    gateway: LocalGateway, clock: FakeClock
) -> None:
    gateway.always(Reply.token(expires_in=30))
    with qb.Client(gateway.config(), clock=clock) as client:
        token = client.token()
        assert token.expires_at == clock.now
        client.token()
    assert gateway.token_requests == 2


def test_failed_fetch_caches_nothing(gateway: LocalGateway, clock: FakeClock) -> None:
    gateway.enqueue(Reply.oauth_error(401), Reply.dropped(), Reply.dropped(), Reply.dropped())
    with qb.Client(gateway.config(), clock=clock, retries=2, backoff=0.001) as client:
        with pytest.raises(qb.AuthenticationError):
            client.token()
        assert client.token_provider.current is None
        with pytest.raises(qb.TransportError):
            client.token()
        assert client.token_provider.current is None
        client.token()
    assert gateway.token_requests == 1 + 3 + 1


def test_invalidate_drops_only_the_named_token(gateway: LocalGateway, clock: FakeClock) -> None:
    with qb.Client(gateway.config(), clock=clock) as client:
        first = client.token()
        client.token_provider.invalidate(qb.AccessToken("other", "Bearer", 0))
        assert client.token() is first
        client.token_provider.invalidate(first)
        assert client.token() is not first
    assert gateway.token_requests == 2


def _run_threads(client: qb.Client) -> list[qb.AccessToken | BaseException]:
    barrier = threading.Barrier(CALLERS)
    results: list[qb.AccessToken | BaseException] = [None] * CALLERS  # type: ignore[list-item]

    def worker(i: int) -> None:
        barrier.wait()
        try:
            results[i] = client.token()
        except BaseException as exc:
            results[i] = exc

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(CALLERS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    return results


def test_many_threads_cause_one_request(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.slow(0.3))
    with qb.Client(gateway.config()) as client:
        results = _run_threads(client)
    assert gateway.token_requests == 1
    assert all(r is results[0] for r in results) and isinstance(results[0], qb.AccessToken)


def test_many_threads_share_one_failure_and_cache_nothing(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.slow(0.3, then=Reply.oauth_error(401, "invalid_client", "no")))
    with qb.Client(gateway.config()) as client:
        results = _run_threads(client)
        assert gateway.token_requests == 1
        assert all(isinstance(r, qb.AuthenticationError) and r.message == "no" for r in results)
        client.token()
    assert gateway.token_requests == 2


def test_many_tasks_cause_one_request(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.slow(0.3))

    async def run() -> list[qb.AccessToken]:
        async with qb.AsyncClient(gateway.config()) as client:
            tokens = await asyncio.gather(*(client.token() for _ in range(CALLERS)))
            assert await client.token() is tokens[0]
            return tokens

    tokens = asyncio.run(run())
    assert gateway.token_requests == 1 and all(t is tokens[0] for t in tokens)


def test_tasks_share_a_failure_and_a_cancelled_caller_does_not_stop_the_fetch(
    gateway: LocalGateway,
) -> None:
    gateway.enqueue(Reply.slow(0.3, then=Reply.oauth_error(403)), Reply.slow(0.3))

    async def run() -> None:
        async with qb.AsyncClient(gateway.config()) as client:
            results = await asyncio.gather(
                *(client.token() for _ in range(CALLERS)), return_exceptions=True
            )
            assert all(isinstance(r, qb.AuthenticationError) for r in results)
            assert client.token_provider.current is None
            first = asyncio.ensure_future(client.token())
            others = [asyncio.ensure_future(client.token()) for _ in range(3)]
            await asyncio.sleep(0.05)
            first.cancel()
            tokens = await asyncio.gather(*others)
            assert all(t is tokens[0] for t in tokens)
            assert client.token_provider.current is tokens[0]

    asyncio.run(run())
    assert gateway.token_requests == 2


def test_default_clock_is_whole_seconds() -> None:
    assert isinstance(system_clock(), int)
