"""What the package reports to OpenTelemetry: its requests, lookups and retries.

With ``opentelemetry-api`` installed (the package's ``otel`` extra) the
package emits spans and metrics through the global tracer and meter providers,
as instrumentation libraries do: configure an SDK (exporters, sampling) and
they are exported; without one, the API's no-op providers drop them. Without
``opentelemetry-api`` nothing is emitted and nothing is imported.

OpenTelemetry is imported the first time a token is missing from a
provider's memory or a request is sent, never by ``import quillon_bo``. A
lookup answered from the provider's memory only adds one to a plain counter,
which the meter reads when it collects.

Spans:

- :data:`OPERATION_SPAN` (``quillon_bo.token`` for a token request; kind
  INTERNAL): one call of an operation as a whole, every attempt and every wait
  between them. Attributes: :data:`OPERATION`, and :data:`ERROR_TYPE` when it
  failed.
- One span per HTTP attempt, named for its method (``POST``), of kind CLIENT,
  a child of the operation's span, with OpenTelemetry's HTTP attributes:
  :data:`HTTP_REQUEST_METHOD`, :data:`SERVER_ADDRESS`, :data:`SERVER_PORT`,
  :data:`URL_FULL`, :data:`HTTP_REQUEST_RESEND_COUNT` (on resends),
  :data:`HTTP_RESPONSE_STATUS_CODE` (when answered) and :data:`ERROR_TYPE`.

Metrics: :data:`HTTP_CLIENT_REQUEST_DURATION`, :data:`OPERATION_DURATION`,
:data:`RETRY_WAIT`, :data:`TOKEN_LOOKUPS` and :data:`REFRESH_AHEAD_LEAD`.

No attribute ever holds the client secret, the Basic credential or a token:
``url.full`` carries no user info and no query value but ``grant_type``'s, and
an error is named by its type or status, never by its message.
"""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Generator, Iterable
from typing import TYPE_CHECKING, Any, Literal

from ._version import VERSION

if TYPE_CHECKING:
    import httpx
    from opentelemetry.metrics import CallbackOptions, Histogram, Observation
    from opentelemetry.trace import Span, Tracer

__all__ = [
    "ERROR_TYPE",
    "HTTP_CLIENT_REQUEST_DURATION",
    "HTTP_REQUEST_METHOD",
    "HTTP_REQUEST_RESEND_COUNT",
    "HTTP_RESPONSE_STATUS_CODE",
    "LOOKUP_RESULT",
    "LOOKUP_RESULTS",
    "OPERATION",
    "OPERATION_DURATION",
    "OPERATION_SPAN",
    "REFRESH_AHEAD_LEAD",
    "RETRY_WAIT",
    "SCOPE",
    "SERVER_ADDRESS",
    "SERVER_PORT",
    "TOKEN_LOOKUPS",
    "URL_FULL",
]

#: The instrumentation scope: the tracer's and the meter's name (with the
#: package's version).
SCOPE = "quillon_bo"

# -- spans ---------------------------------------------------------------------

#: One call of an operation, all its attempts and waits: ``quillon_bo.token``.
OPERATION_SPAN = "quillon_bo.{operation}"

# -- metrics -------------------------------------------------------------------

#: Histogram (s): how long each HTTP attempt took, to the whole body or the
#: failure. Attributes as the attempt's span: method, server, status, error.
HTTP_CLIENT_REQUEST_DURATION = "http.client.request.duration"
#: Histogram (s): how long a call of an operation took, retries included.
#: Attributes: :data:`OPERATION`, and :data:`ERROR_TYPE` when it failed.
OPERATION_DURATION = "quillon_bo.operation.duration"
#: Histogram (s): each wait before a resend; its count is the number of
#: retries. Attributes: :data:`OPERATION`, and :data:`ERROR_TYPE` of the
#: attempt that is retried (``"503"``, ``"ConnectError"``).
RETRY_WAIT = "quillon_bo.retry.wait"
#: Counter ({lookup}): token lookups by :data:`LOOKUP_RESULT`.
TOKEN_LOOKUPS = "quillon_bo.token.lookups"
#: Histogram (s): when a refresh ahead starts, how long the held token still
#: had before it ends (its ``expires_at``).
REFRESH_AHEAD_LEAD = "quillon_bo.token.refresh_ahead.lead_time"

# -- attributes ----------------------------------------------------------------

HTTP_REQUEST_METHOD = "http.request.method"
SERVER_ADDRESS = "server.address"
SERVER_PORT = "server.port"
#: The request's URL without user info; query values other than
#: ``grant_type``'s are written ``REDACTED``.
URL_FULL = "url.full"
HTTP_RESPONSE_STATUS_CODE = "http.response.status_code"
#: The attempt's resends before it (set from the first resend on).
HTTP_REQUEST_RESEND_COUNT = "http.request.resend_count"
#: What failed: an answer's status of 400 or more (``"401"``), else the
#: exception's class name (``"ConnectError"``, ``"AuthenticationError"``), or
#: ``"_OTHER"`` for an attempt abandoned before its outcome (cancelled).
ERROR_TYPE = "error.type"
#: The core's operation: ``"token"``.
OPERATION = "quillon_bo.operation"
#: Of :data:`TOKEN_LOOKUPS`: one of :data:`LOOKUP_RESULTS`.
LOOKUP_RESULT = "quillon_bo.lookup.result"

HIT = "hit"
MISS = "miss"
STORE_HIT = "store_hit"
STORE_MISS = "store_miss"
STORE_FAULT = "store_fault"
#: ``hit``: a provider answered from its memory (a held token, also one being
#: refreshed ahead). ``miss``: it held no valid token and had to wait for one.
#: ``store_hit`` / ``store_miss``: a look into the shared store found a valid
#: token / none (or an ended one). ``store_fault``: the store failed (a look,
#: its lock or a write) and the provider went on without it.
LOOKUP_RESULTS = (HIT, MISS, STORE_HIT, STORE_MISS, STORE_FAULT)

logger = logging.getLogger("quillon_bo.telemetry")

# Query parameters whose values are no secret and say what was asked.
_PLAIN_PARAMS = frozenset({"grant_type"})
_DEFAULT_PORTS = {"http": 80, "https": 443}
_ABANDONED = "_OTHER"
# The buckets OpenTelemetry advises for http.client.request.duration.
_HTTP_BUCKETS = [0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.25, 0.5, 0.75, 1.0, 2.5, 5.0, 7.5, 10.0]


class _Tally:
    """Lookups counted as plain numbers: the meter reads them when it
    collects, so a lookup answered from memory never calls OpenTelemetry."""

    __slots__ = ("hit", "miss", "store_fault", "store_hit", "store_miss")

    def __init__(self) -> None:
        self.hit = self.miss = self.store_hit = self.store_miss = self.store_fault = 0


#: The counts behind :data:`TOKEN_LOOKUPS`, for this process. The token
#: providers add to ``tally.hit`` on their fast path: without a lock, as the
#: providers read their token without one, so a hit now and then may go
#: uncounted when threads collide on the same instant.
tally = _Tally()


class _Instruments:
    """The tracer and the instruments, made once OpenTelemetry is imported."""

    def __init__(self) -> None:
        from opentelemetry import metrics, trace

        self.trace = trace
        self.tracer: Tracer = trace.get_tracer(SCOPE, VERSION)
        meter = metrics.get_meter(SCOPE, VERSION)
        self.observation = metrics.Observation
        self.http_duration: Histogram = meter.create_histogram(
            HTTP_CLIENT_REQUEST_DURATION,
            unit="s",
            description="Duration of HTTP client requests.",
            explicit_bucket_boundaries_advisory=_HTTP_BUCKETS,
        )
        self.operation_duration: Histogram = meter.create_histogram(
            OPERATION_DURATION, unit="s", description="Duration of a call, retries included."
        )
        self.retry_wait: Histogram = meter.create_histogram(
            RETRY_WAIT, unit="s", description="Wait before each resend."
        )
        self.ahead_lead: Histogram = meter.create_histogram(
            REFRESH_AHEAD_LEAD,
            unit="s",
            description="Time left on the held token when a refresh ahead starts.",
        )
        meter.create_observable_counter(
            TOKEN_LOOKUPS,
            callbacks=[self._lookups],
            unit="{lookup}",
            description="Token lookups by result.",
        )
        self._urls: dict[str, str] = {}

    def _lookups(self, options: CallbackOptions) -> Iterable[Observation]:
        for name in LOOKUP_RESULTS:
            yield self.observation(getattr(tally, name), {LOOKUP_RESULT: name})

    def url_full(self, url: httpx.URL) -> str:
        text = str(url)
        full = self._urls.get(text)
        if full is None:
            if url.userinfo:
                url = url.copy_with(username=None, password=None)
            if url.query:
                params = [
                    (name, value if name in _PLAIN_PARAMS else "REDACTED")
                    for name, value in url.params.multi_items()
                ]
                url = url.copy_with(params=params)
            full = str(url)
            if len(self._urls) >= 64:
                self._urls.clear()
            self._urls[text] = full
        return full


_lock = threading.Lock()
# None: not looked for yet; False: OpenTelemetry is not installed.
_found: _Instruments | Literal[False] | None = None


def _instruments() -> _Instruments | None:
    global _found
    found = _found
    if found is None:
        with _lock:
            found = _found
            if found is None:
                try:
                    found = _Instruments()
                except ImportError:
                    found = False
                except Exception as exc:
                    # An API too old for what is asked of it: the tokens
                    # matter more than their telemetry.
                    logger.warning(
                        "OpenTelemetry could not be set up (%s); nothing is reported",
                        type(exc).__name__,
                    )
                    found = False
                _found = found
    return found or None


def _error_type(outcome: Any) -> str | None:
    if isinstance(outcome, BaseException):
        # Private classes of ours are named without their underscore.
        return type(outcome).__qualname__.lstrip("_")
    status: int = outcome.status
    return str(status) if status >= 400 else None


# -- what the executor and the providers call ------------------------------------


def observed(operation: str, flow: Generator[Any, Any, Any]) -> Generator[Any, Any, Any]:
    """``flow`` (an executor's call, as its steps), reported as it runs; or
    ``flow`` itself when OpenTelemetry is not installed."""
    found = _instruments()
    if found is None:
        return flow
    return _observe(found, operation, flow)


def _observe(
    found: _Instruments, operation: str, flow: Generator[Any, Any, Any]
) -> Generator[Any, Any, Any]:
    # The flow yields a send (it has a request) or a wait (only seconds), and
    # is sent back an answer (it has a status) or a failure, or None.
    trace = found.trace
    started = time.perf_counter()
    span = found.tracer.start_span(
        OPERATION_SPAN.format(operation=operation), attributes={OPERATION: operation}
    )
    parent = trace.set_span_in_context(span)
    attempt: Span | None = None
    sends = 0
    failed: str | None = None
    outcome: Any = None
    try:
        while True:
            try:
                step = flow.send(outcome)
            except StopIteration as done:
                found.operation_duration.record(
                    time.perf_counter() - started, {OPERATION: operation}
                )
                return done.value
            request = getattr(step, "request", None)
            if request is None:
                waited = {OPERATION: operation, ERROR_TYPE: failed or _ABANDONED}
                found.retry_wait.record(step.seconds, waited)
                outcome = yield step
                continue
            url = request.url
            metric: dict[str, Any] = {
                HTTP_REQUEST_METHOD: request.method,
                SERVER_ADDRESS: url.host,
                SERVER_PORT: url.port or _DEFAULT_PORTS.get(url.scheme, 0),
            }
            attributes = dict(metric)
            attributes[URL_FULL] = found.url_full(url)
            if sends:
                attributes[HTTP_REQUEST_RESEND_COUNT] = sends
            attempt = found.tracer.start_span(
                request.method,
                context=parent,
                kind=trace.SpanKind.CLIENT,
                attributes=attributes,
            )
            attempt_started = time.perf_counter()
            outcome = yield step
            sends += 1
            failed = _error_type(outcome)
            if not isinstance(outcome, BaseException):
                metric[HTTP_RESPONSE_STATUS_CODE] = outcome.status
                attempt.set_attribute(HTTP_RESPONSE_STATUS_CODE, outcome.status)
            if failed is not None:
                metric[ERROR_TYPE] = failed
                attempt.set_attribute(ERROR_TYPE, failed)
                attempt.set_status(trace.StatusCode.ERROR)
            found.http_duration.record(time.perf_counter() - attempt_started, metric)
            attempt.end()
            attempt = None
    except BaseException as exc:
        # GeneratorExit: the driver gave up on the call (cancelled, or an
        # error of its own) and the flow is being closed.
        error = _ABANDONED if isinstance(exc, GeneratorExit) else _error_type(exc) or _ABANDONED
        if attempt is not None:
            attempt.set_attribute(ERROR_TYPE, _ABANDONED)
            attempt.set_status(trace.StatusCode.ERROR)
            attempt.end()
        span.set_attribute(ERROR_TYPE, error)
        span.set_status(trace.StatusCode.ERROR)
        found.operation_duration.record(
            time.perf_counter() - started, {OPERATION: operation, ERROR_TYPE: error}
        )
        raise
    finally:
        span.end()


def lookup(result: str) -> None:
    """Count a lookup other than a hit (those are added to ``tally.hit``
    directly); the first one brings OpenTelemetry in, if it is installed."""
    _instruments()
    setattr(tally, result, getattr(tally, result) + 1)


def store_lookup(found: bool) -> None:
    """Count a look into the shared store: a valid token ``found``, or none."""
    lookup(STORE_HIT if found else STORE_MISS)


def refresh_ahead(lead: float) -> None:
    """A refresh ahead starts, ``lead`` seconds before the held token ends."""
    found = _instruments()
    if found is not None:
        found.ahead_lead.record(max(lead, 0.0))
