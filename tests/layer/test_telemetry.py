"""What the package reports to OpenTelemetry, read back through the SDK's
in-memory exporters, against the real local gateway."""

from __future__ import annotations

import asyncio
import base64
import os
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path
from typing import Any

import pytest
from opentelemetry import metrics, trace
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import ReadableSpan, TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

import quillon_bo as qb
from quillon_bo import telemetry as t
from quillon_bo.executor import AsyncExecutor
from quillon_bo.stores import FileStore, MemoryStore
from quillon_bo.testing import LocalGateway, Reply

from .conftest import FakeClock

Point = tuple[str, frozenset[tuple[str, Any]]]


class Exported:
    """The spans and metrics exported since the test began."""

    def __init__(self, spans: InMemorySpanExporter, reader: InMemoryMetricReader) -> None:
        self._spans = spans
        self._reader = reader
        spans.clear()
        self._before = self._points()

    def spans(self) -> list[ReadableSpan]:
        return list(self._spans.get_finished_spans())

    def _points(self) -> Counter[Point]:
        # A counter's value, or a histogram's count (sums under "sum:<name>").
        found: Counter[Point] = Counter()
        data = self._reader.get_metrics_data()
        for resource in data.resource_metrics if data else ():
            for scope in resource.scope_metrics:
                if scope.scope.name != t.SCOPE:
                    continue
                for metric in scope.metrics:
                    for point in metric.data.data_points:
                        key = frozenset(point.attributes.items())  # type: ignore[union-attr]
                        if hasattr(point, "count"):
                            found[metric.name, key] += point.count
                            found["sum:" + metric.name, key] += point.sum  # type: ignore[operator]
                        else:
                            found[metric.name, key] += point.value
        return found

    def metrics(self) -> dict[Point, Any]:
        after = self._points()
        return {k: after[k] - self._before[k] for k in after if after[k] != self._before[k]}


@pytest.fixture(scope="module")
def otel() -> tuple[InMemorySpanExporter, InMemoryMetricReader]:
    # The global providers can be set once per process: the spans' exporter is
    # added to whichever SDK provider is in place, the metrics need ours.
    trace.set_tracer_provider(TracerProvider())
    provider = trace.get_tracer_provider()
    assert isinstance(provider, TracerProvider)
    spans = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(spans))
    reader = InMemoryMetricReader()
    meters = MeterProvider(metric_readers=[reader])
    metrics.set_meter_provider(meters)
    if metrics.get_meter_provider() is not meters:
        pytest.skip("another test of this process set the global meter provider first")
    return spans, reader


@pytest.fixture
def exported(otel: tuple[InMemorySpanExporter, InMemoryMetricReader]) -> Exported:
    return Exported(*otel)


def _token(gateway: LocalGateway, driver: str, **options: Any) -> qb.AccessToken:
    if driver == "sync":
        with qb.Client(gateway.config(), **options) as client:
            return client.token()

    async def run() -> qb.AccessToken:
        async with qb.AsyncClient(gateway.config(), **options) as client:
            return await client.token()

    return asyncio.run(run())


# (replies, expected attempts as (status, error.type), the call's error.type)
EXCHANGES = {
    "ok": ([], [(200, None)], None),
    "503 then ok": ([Reply.unavailable()], [(503, "503"), (200, None)], None),
    "refused": (
        [Reply.oauth_error(401, "invalid_client", "no")],
        [(401, "401")],
        "AuthenticationError",
    ),
    "reset twice": (
        [Reply.reset(), Reply.reset()],
        [(None, "ReadError"), (None, "ReadError")],
        "TransportError",
    ),
}


@pytest.mark.parametrize("driver", ["sync", "async"])
@pytest.mark.parametrize("case", list(EXCHANGES))
def test_each_attempt_is_a_client_span_of_the_call(
    gateway: LocalGateway, exported: Exported, driver: str, case: str
) -> None:
    replies, attempts, call_error = EXCHANGES[case]
    gateway.enqueue(*replies)
    try:
        _token(gateway, driver, retries=1, backoff=0.001)
    except qb.QuillonError as exc:
        assert type(exc).__name__ == call_error
    *sends, call = exported.spans()
    assert call.name == "quillon_bo.token" and call.kind == trace.SpanKind.INTERNAL
    assert call.attributes is not None and call.attributes.get(t.ERROR_TYPE) == call_error
    where = {t.SERVER_ADDRESS: "127.0.0.1", t.SERVER_PORT: gateway.port}
    seen = []
    for resends, span in enumerate(sends):
        assert (span.name, span.kind) == ("POST", trace.SpanKind.CLIENT)
        assert span.parent is not None and span.parent.span_id == call.context.span_id
        attributes = dict(span.attributes or {})
        assert attributes.pop(t.URL_FULL) == gateway.token_url
        assert attributes.pop(t.HTTP_REQUEST_RESEND_COUNT, 0) == resends
        assert attributes.items() >= {t.HTTP_REQUEST_METHOD: "POST", **where}.items()
        status = attributes.get(t.HTTP_RESPONSE_STATUS_CODE)
        seen.append((status, attributes.get(t.ERROR_TYPE)))
    assert seen == attempts
    durations = Counter(
        (dict(key).get(t.HTTP_RESPONSE_STATUS_CODE), dict(key).get(t.ERROR_TYPE))
        for (name, key), count in exported.metrics().items()
        if name == t.HTTP_CLIENT_REQUEST_DURATION
        for _ in range(count)
    )
    assert durations == Counter(attempts)
    waits = {k: v for k, v in exported.metrics().items() if k[0] == t.RETRY_WAIT}
    assert sum(waits.values()) == len(attempts) - 1


def test_an_abandoned_attempt_ends_its_spans(gateway: LocalGateway, exported: Exported) -> None:
    gateway.enqueue(Reply.slow(5))

    async def run() -> None:
        async with AsyncExecutor(gateway.config()) as executor:
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(executor.execute("token", {"now": 0}), 0.2)

    asyncio.run(run())
    assert [(s.name, (s.attributes or {}).get(t.ERROR_TYPE)) for s in exported.spans()] == [
        ("POST", "_OTHER"),
        ("quillon_bo.token", "_OTHER"),
    ]


def _lookups(exported: Exported) -> dict[str, int]:
    return {
        dict(key)[t.LOOKUP_RESULT]: count
        for (name, key), count in exported.metrics().items()
        if name == t.TOKEN_LOOKUPS
    }


def _cached_twice(gateway: LocalGateway, tmp_path: Path) -> None:
    with qb.Client(gateway.config()) as client:
        client.token()
        client.token()


def _cached_twice_async(gateway: LocalGateway, tmp_path: Path) -> None:
    async def run() -> None:
        async with qb.AsyncClient(gateway.config()) as client:
            await client.token()
            await client.token()

    asyncio.run(run())


def _from_a_shared_store(gateway: LocalGateway, tmp_path: Path) -> None:
    store = MemoryStore()
    with qb.Client(gateway.config(), store=store) as first:
        first.token()
    with qb.Client(gateway.config(), store=store) as second:
        second.token()


def _past_a_failing_store(gateway: LocalGateway, tmp_path: Path) -> None:
    store = FileStore(tmp_path / "tokens" / "t.json")
    os.chmod(tmp_path / "tokens", 0o777)  # refused from now on: others may write
    with qb.Client(gateway.config(), store=store) as client:
        client.token()


@pytest.mark.parametrize(
    ("scenario", "expected"),
    [
        # The first look and the look holding the lock both miss.
        (_cached_twice, {"miss": 1, "store_miss": 2, "hit": 1}),
        (_cached_twice_async, {"miss": 1, "store_miss": 2, "hit": 1}),
        (_from_a_shared_store, {"miss": 2, "store_miss": 2, "store_hit": 1}),
        (_past_a_failing_store, {"miss": 1, "store_fault": 1}),
    ],
    ids=lambda v: getattr(v, "__name__", ""),
)
def test_lookups_are_counted_by_result(
    gateway: LocalGateway, exported: Exported, tmp_path: Path, scenario: Any, expected: Any
) -> None:
    scenario(gateway, tmp_path)
    assert _lookups(exported) == expected


def test_a_refresh_ahead_reports_its_lead_time(
    gateway: LocalGateway, exported: Exported, clock: FakeClock
) -> None:
    with qb.Client(gateway.config(), clock=clock) as client:
        held = client.token()
        clock.now = held.expires_at - 100  # within the last tenth of its life
        assert client.token() is held
        ends = time.monotonic() + 5
        while gateway.token_requests < 2 and time.monotonic() < ends:
            time.sleep(0.01)
    leads = {k[0]: v for k, v in exported.metrics().items() if t.REFRESH_AHEAD_LEAD in k[0]}
    assert leads == {t.REFRESH_AHEAD_LEAD: 1, "sum:" + t.REFRESH_AHEAD_LEAD: 100}


def test_no_attribute_holds_a_secret(gateway: LocalGateway, exported: Exported) -> None:
    # Answers that quote the credentials back, among the ordinary ones.
    gateway.enqueue(Reply.echoing(503))
    issued = [_token(gateway, "sync", backoff=0.001) for _ in range(2)]
    gateway.enqueue(Reply.echoing(401))
    with pytest.raises(qb.AuthenticationError):
        _token(gateway, "async", backoff=0.001)
    basic = base64.b64encode(f"{gateway.client_id}:{gateway.client_secret}".encode()).decode()
    secrets = [gateway.client_secret, basic, *(token.access_token for token in issued)]
    values = [str(v) for span in exported.spans() for v in (span.attributes or {}).values()]
    values += [str(v) for _, key in exported.metrics() for _, v in key]
    assert len(values) > 20
    assert not [v for v in values if any(secret in v for secret in secrets)]


def test_without_opentelemetry_nothing_is_imported_and_tokens_still_come() -> None:
    program = (
        "import sys\n"
        "import quillon_bo\n"
        "assert not [m for m in sys.modules if m.startswith('opentelemetry')]\n"
        "sys.modules['opentelemetry'] = None  # as if it were not installed\n"
        "from quillon_bo.testing import LocalGateway\n"
        "with LocalGateway() as gateway, quillon_bo.Client(gateway.config()) as client:\n"
        "    assert client.token().access_token\n"
        "    assert client.token().access_token\n"
        "from quillon_bo import telemetry\n"
        "assert (telemetry.tally.miss, telemetry.tally.hit) == (1, 1)\n"
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    subprocess.run([sys.executable, "-c", program], check=True, env=env, timeout=60)
