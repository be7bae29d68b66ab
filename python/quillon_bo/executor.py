"""The generic executor: one operation of the core, sent over HTTP with httpx.

An operation runs in two calls to the core. ``"<op>.build"`` turns the
configuration and the operation's input into the description of one HTTP
request; this module sends exactly that request and hands the status and the
body text to ``"<op>.parse"``, which returns the result or an error. Nothing
here knows any particular operation: what an operation needs beyond its name
and input (whether it is idempotent, its own time limit) is read from the
core's ``describe`` list, so an operation added to the core needs no new code
here.

The sync and async executors share everything but the I/O, as httpx's clients
do: :class:`ExecutorOptions` is the one record of the options, and one call's
flow (build the request, decide after each attempt whether to wait and send
again, read the result) is one generator, free of I/O, in
:class:`BaseExecutor`. :class:`Executor` and :class:`AsyncExecutor` only drive
it: they send, read and sleep.

httpx's time-outs bound each single wait (connect, one read, one write), not
the whole answer: a server that sends one byte just before each read time-out
could hold a call without end. So each attempt (connect, send, the headers and
the whole body) also has a deadline; see :class:`ExecutorOptions`.
"""

from __future__ import annotations

import asyncio
import email.utils
import math
import os
import random
import re
import ssl
import sys
import time
from collections.abc import Awaitable, Callable, Collection, Generator, Mapping
from dataclasses import dataclass, replace
from datetime import timezone
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, TypedDict

import httpx

from . import telemetry as _telemetry
from ._deadline import attempt_deadline, end_attempt, install_socket_deadlines
from ._redact import credential_of, excerpt
from ._version import USER_AGENT
from .config import Config
from .core import OperationInfo, call_raw, describe, dumps, read_envelope
from .errors import Exchange, TransportError, error_from_json

if TYPE_CHECKING:
    from typing_extensions import Unpack

__all__ = [
    "DEADLINE_FACTOR",
    "DEFAULT_BACKOFF",
    "DEFAULT_MAX_RESPONSE_BYTES",
    "DEFAULT_MAX_RETRY_WAIT",
    "DEFAULT_RETRIES",
    "DEFAULT_RETRY_STATUSES",
    "DEFAULT_TIMEOUT",
    "AsyncExecutor",
    "BaseExecutor",
    "Executor",
    "ExecutorOptions",
    "OptionKeywords",
    "deadline_for",
]

#: Used when neither the caller nor the operation states a time limit.
DEFAULT_TIMEOUT = httpx.Timeout(10.0, connect=5.0)
#: Extra attempts after a transport failure (so at most 1 + retries sends).
DEFAULT_RETRIES = 2
#: Seconds before the first retry; doubled before each further one.
DEFAULT_BACKOFF = 0.1
#: Longest wait between two attempts, whatever the backoff.
MAX_BACKOFF = 5.0
#: Shortest wait after a 429 without ``Retry-After`` (unless ``max_retry_wait``
#: is shorter): rate limits mostly count per second.
MIN_RATE_LIMIT_WAIT = 1.0
#: Answers that say "not now" (rate limited, or a gateway or service that is
#: down for a while) rather than "no": retried within the retry budget.
DEFAULT_RETRY_STATUSES = frozenset({429, 502, 503, 504})
#: No wait between two attempts is longer than this, also when ``Retry-After``
#: asks for more.
DEFAULT_MAX_RETRY_WAIT = 30.0
#: A body larger than this is refused rather than held in memory.
DEFAULT_MAX_RESPONSE_BYTES = 8 * 1024 * 1024
#: With ``deadline="auto"``, an attempt may last this many times the longest of
#: its time-outs: 30 s with :data:`DEFAULT_TIMEOUT`.
DEADLINE_FACTOR = 3

# Sending with this auth keeps a caller's client-level auth (and credentials in
# the URL) off the described request: it goes out exactly as described.
_NO_AUTH = httpx.Auth()

# Failures where the request cannot have reached the server: safe to resend for
# any operation.
_NOT_SENT = (httpx.ConnectError, httpx.ConnectTimeout, httpx.PoolTimeout)
# Failures after which the server may have acted on the request: resent only
# for operations that the core describes as idempotent.
_MAYBE_SENT = (
    httpx.ReadTimeout,
    httpx.WriteTimeout,
    httpx.ReadError,
    httpx.WriteError,
    httpx.CloseError,
    httpx.RemoteProtocolError,
)
# A header value as HTTP/1.1 (and h11, under httpx) accepts it: no NUL, no line
# break, no white space at either end. h11 refuses any other value with a
# message that quotes it whole, and the Authorization value is the credential.
_HEADER_VALUE = re.compile(rb"(?:[^\x00\s]+(?:[ \t]+[^\x00\s]+)*)?")


def _is_tls_failure(exc: BaseException) -> bool:
    # A refused certificate or a failed handshake does not heal by itself;
    # httpx reports it as a ConnectError caused (through httpcore) by ssl's error.
    seen: BaseException | None = exc
    for _ in range(8):
        if seen is None:
            return False
        if isinstance(seen, ssl.SSLError):
            return True
        seen = seen.__cause__ or seen.__context__
    return False


def _reason(exc: BaseException) -> str:
    """The text that says what went wrong, also where httpx's own is empty.

    Over asyncio, httpx's read and time-out errors carry no text; the system
    error beneath them does ("[Errno 104] Connection reset by peer"). Only
    system errors are looked at: their texts never hold data that was sent.
    """
    text = str(exc)
    seen: BaseException | None = exc.__cause__ or exc.__context__
    for _ in range(8):
        if text or seen is None:
            break
        if isinstance(seen, OSError) and not isinstance(seen, TimeoutError):
            text = str(seen)
        seen = seen.__cause__ or seen.__context__
    if not text and isinstance(exc, httpx.TimeoutException):
        text = "timed out"
    return text


_DELAY_SECONDS = re.compile(r"[0-9]+")


def _retry_after(value: str | None, now: float) -> float | None:
    """The seconds a ``Retry-After`` value asks to wait from ``now`` (Unix
    time), or None when there is none or it cannot be read."""
    if value is None:
        return None
    value = value.strip()
    if _DELAY_SECONDS.fullmatch(value):
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError):
        return None
    if when.tzinfo is None:  # "-0000": UTC, the only zone HTTP dates use
        when = when.replace(tzinfo=timezone.utc)
    return max(0.0, when.timestamp() - now)


class _BodyTooLarge(Exception):
    """A body past ``max_response_bytes``: an answer, but not one to keep."""


def _transport_error(
    exc: Exception, attempts: int, request: httpx.Request, secrets: tuple[str | None, ...]
) -> TransportError:
    if isinstance(exc, _BodyTooLarge):
        error = TransportError(str(exc), retryable=False, attempts=attempts)
    else:
        # httpx's texts may quote what the server sent (a proxy's answer, a
        # malformed header line): cut to one line and redacted.
        text = excerpt(_reason(exc), secrets)
        error = TransportError(
            f"{type(exc).__name__}: {text}" if text else type(exc).__name__,
            original=exc,
            timeout=isinstance(exc, httpx.TimeoutException),
            # Retryable is what a resend may cure, as the flow judges it: never
            # a refused certificate, a body that arrived but does not decode, a
            # request that could not be written, or a proxy that refused the
            # tunnel (its 407 wants credentials, not another try).
            retryable=isinstance(exc, (*_NOT_SENT, *_MAYBE_SENT)) and not _is_tls_failure(exc),
            attempts=attempts,
        )
    error._at(request.method, str(request.url), attempts, secrets=secrets)
    return error


def _secrets_of(config: Config, request: httpx.Request | None) -> tuple[str | None, ...]:
    """What an error about ``request`` must never show."""
    authorization = None if request is None else request.headers.get("Authorization")
    return (config.client_secret, credential_of(config.basic_token), credential_of(authorization))


def deadline_for(
    deadline: float | Literal["auto"] | None, timeouts: Mapping[str, float | None]
) -> float | None:
    """Seconds one attempt may last under the ``deadline`` option, given the
    time-outs it is sent with (httpx's ``Timeout.as_dict()``), or None for no
    limit: ``"auto"`` is :data:`DEADLINE_FACTOR` times the longest time-out,
    and no limit when the read time-out is off."""
    if deadline is None:
        return None
    if deadline == "auto":
        if timeouts.get("read") is None:
            return None
        return DEADLINE_FACTOR * max(t for t in timeouts.values() if t is not None)
    return float(deadline)


# -- the options ---------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class ExecutorOptions:
    """How an executor sends: time limits, retries and size limits.

    Every executor and client takes these as keywords (``Client(config,
    retries=0, deadline=2.0)``) and keeps them as ``options``.

    Attributes:
        timeout: httpx's time-outs for each request (an ``httpx.Timeout`` or
            seconds). It overrides both the operation's own time limit and the
            httpx client's; None (the default) lets an operation's stated limit
            apply, else the client's (:data:`DEFAULT_TIMEOUT` for a client made
            by the executor).
        retries: how many times a failed attempt may be followed by another,
            so at most ``1 + retries`` requests per call. Transport failures
            before the request was sent are retried for every operation, those
            after it only for idempotent ones; TLS failures never. Answers are
            retried only when their status is one of ``retry_statuses``, and
            only for idempotent operations (the token request is one).
        backoff: seconds before the first retry, doubled before each further
            one, never more than 5 s (nor ``max_retry_wait``). After a
            transport failure the wait is exactly that; after a status that
            says "not now" it is a random time between 0 and that ("full
            jitter"), so that many clients turned away at once do not all come
            back at once. After a 429 without ``Retry-After`` it is at least
            1 s (unless ``max_retry_wait`` is less), with up to another second,
            or the back-off when that is longer, of jitter on top.
        retry_statuses: the statuses of answers that are retried: by default
            429 (too many requests), 502, 503 and 504. An answer that carries
            ``Retry-After`` (seconds, or an HTTP date) is retried after that
            wait instead of the back-off. An empty set retries no answer.
        max_retry_wait: the longest wait between two attempts, in seconds
            (default 30). When ``Retry-After`` asks for longer, the answer is
            not retried: its error is raised at once and carries the wait
            asked for (:attr:`~quillon_bo.AuthenticationError.retry_after`).
        max_response_bytes: a body larger than this is refused rather than
            held in memory.
        deadline: how long each attempt may last as a whole (connect, send,
            the headers and the whole body), which httpx's time-outs, each
            bounding one wait, do not: seconds, or ``"auto"`` (the default)
            for :data:`DEADLINE_FACTOR` times the longest of the attempt's
            time-outs (30 s with :data:`DEFAULT_TIMEOUT`; no limit when the
            read time-out is off), or None for no limit. No single wait may
            last longer than the deadline either. An attempt that overruns it
            fails as a time-out (a :class:`~quillon_bo.TransportError` with
            ``timeout=True``) of the phase it cut short, and is resent as that
            time-out would be: a connection that was never made for every
            operation, a request that may have arrived only for idempotent
            ones.
    """

    timeout: httpx.Timeout | float | None = None
    retries: int = DEFAULT_RETRIES
    backoff: float = DEFAULT_BACKOFF
    max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES
    deadline: float | Literal["auto"] | None = "auto"
    retry_statuses: Collection[int] = DEFAULT_RETRY_STATUSES
    max_retry_wait: float = DEFAULT_MAX_RETRY_WAIT

    def __post_init__(self) -> None:
        timeout = self.timeout
        if timeout is not None and not isinstance(timeout, httpx.Timeout):
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError("timeout must be a number of seconds, an httpx.Timeout or None")
            if not 0 < timeout < math.inf:
                raise ValueError("timeout must be a positive, finite number of seconds")
        if isinstance(self.retries, bool) or not isinstance(self.retries, int):
            raise TypeError("retries must be a whole number")
        if self.retries < 0:
            raise ValueError("retries must not be negative")
        if not 0 <= self.backoff < math.inf:
            raise ValueError("backoff must be a finite number of seconds, not negative")
        if self.max_response_bytes < 1:
            raise ValueError("max_response_bytes must be positive")
        if not 0 <= self.max_retry_wait < math.inf:
            raise ValueError("max_retry_wait must be a finite number of seconds, not negative")
        statuses = frozenset(self.retry_statuses)
        for status in statuses:
            if isinstance(status, bool) or not isinstance(status, int) or not 400 <= status <= 599:
                raise ValueError(f"retry_statuses holds {status!r}: only 400 to 599 can be retried")
        # Kept as a frozenset, whatever collection was given: the record is
        # frozen, and is looked up once per answer.
        object.__setattr__(self, "retry_statuses", statuses)
        deadline = self.deadline
        if deadline is not None and deadline != "auto":
            if isinstance(deadline, bool) or not isinstance(deadline, (int, float)):
                raise TypeError('deadline must be a number of seconds, "auto" or None')
            if not 0 < deadline < math.inf:
                raise ValueError("deadline must be a positive, finite number of seconds")


class OptionKeywords(TypedDict, total=False):
    """The fields of :class:`ExecutorOptions` as keyword arguments."""

    timeout: httpx.Timeout | float | None
    retries: int
    backoff: float
    max_response_bytes: int
    deadline: float | Literal["auto"] | None
    retry_statuses: Collection[int]
    max_retry_wait: float


# -- one call's flow, free of I/O --------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Send:
    """Send ``request``; the attempt may last ``seconds`` (None: no limit)."""

    request: httpx.Request
    seconds: float | None


@dataclass(frozen=True, slots=True)
class _Wait:
    """Sleep this long, then go on with the flow."""

    seconds: float


@dataclass(frozen=True, slots=True)
class _Answer:
    """A whole answer: its status, headers and body text."""

    status: int
    headers: httpx.Headers
    body: str


_Step: TypeAlias = _Send | _Wait
# What the driver sends back: the answer or the failure of a _Send, None after
# a _Wait.
_Outcome: TypeAlias = _Answer | Exception | None
_Flow: TypeAlias = Generator[_Step, _Outcome, Any]


def _late(
    request: httpx.Request, seconds: float, cls: type[httpx.TimeoutException] = httpx.ReadTimeout
) -> httpx.TimeoutException:
    # Raised as httpx's own time-out of the phase it cut short (a read time-out
    # from the headers on), so that it is reported and retried exactly like
    # one: after a read time-out the request may have reached the server.
    return cls(f"no whole answer within the attempt's {seconds:g} s deadline", request=request)


class BaseExecutor:
    """What the sync and async executors share: the options, the operations'
    requests and results, and every decision of a call's flow.

    A call is one generator, :meth:`_flow`, that asks its driver to send a
    request or to wait, is told what came of it, and returns the result or
    raises; :class:`Executor` and :class:`AsyncExecutor` drive it with their
    own I/O.
    """

    def __init__(self, config: Config, options: ExecutorOptions) -> None:
        self._config = config
        self._options = options
        self._timeout = None if options.timeout is None else httpx.Timeout(options.timeout)
        self._config_text = dumps(config.to_json())
        self._urls: dict[str, httpx.URL] = {}
        self._ops = {info.name: info for info in describe() if info.kind == "operation"}
        # The process whose connections the driver's own client holds; None
        # when the caller gave the client or its transport.
        self._pool_pid: int | None = None

    def _forked(self) -> bool:
        """Whether this is a child of fork() still holding its parent's client.

        The child has copies of its parent's sockets: a request written into a
        pooled keep-alive connection mixes with the parent's (and the other
        children's), and each answer goes to whichever process reads first.
        A client the caller gave is theirs to replace; one made here is
        replaced by the driver.
        """
        return self._pool_pid is not None and self._pool_pid != os.getpid()

    @property
    def config(self) -> Config:
        """The configuration every request is built from."""
        return self._config

    @property
    def options(self) -> ExecutorOptions:
        """The time limits, retries and size limits in force."""
        return self._options

    def info(self, op: str) -> OperationInfo:
        """What the core says of operation ``op`` (a bare entry if it lists none)."""
        # An operation the core does not list still goes to the core, which
        # answers with its own "unknown operation" error.
        return self._ops.get(op) or OperationInfo(name=op)

    # -- the flow ----------------------------------------------------------

    def _flow(
        self, op: str, input: Mapping[str, Any], token: Any, client_timeout: httpx.Timeout
    ) -> _Flow:
        request = self._prepare(op, input, token)
        send = _Send(request, self._deadline(request, client_timeout))
        attempts = 0
        while True:
            outcome = yield send
            attempts += 1
            if isinstance(outcome, _Answer):
                retry_after = None
                if outcome.status >= 300:  # a success has nothing to wait for
                    retry_after = _retry_after(outcome.headers.get("Retry-After"), time.time())
                wait = self._status_wait(op, attempts, outcome.status, retry_after)
                if wait is None:
                    exchange = Exchange(attempts, retry_after)
                    return self._finish(op, input, outcome, exchange, request)
            elif isinstance(outcome, Exception):
                wait = self._transport_wait(op, attempts, outcome)
                if wait is None:
                    secrets = _secrets_of(self._config, request)
                    raise _transport_error(outcome, attempts, request, secrets) from (
                        None if isinstance(outcome, _BodyTooLarge) else outcome
                    )
            else:
                raise TypeError("a sent request must be answered with its outcome")
            yield _Wait(wait)

    def _status_wait(
        self, op: str, attempts: int, status: int, retry_after: float | None
    ) -> float | None:
        """Seconds to wait before resending after an answer, or None to keep it."""
        options = self._options
        if status not in options.retry_statuses or not self.info(op).idempotent:
            return None
        if retry_after is not None and retry_after > options.max_retry_wait:
            # Waiting less than asked would only be turned away again; the
            # caller gets the answer now and can decide.
            return None
        if attempts > options.retries:
            return None
        if retry_after is not None:
            return retry_after
        if status == 429:
            # Coming back within the limiter's second is only turned away
            # again; up to another second on top spreads the clients it
            # turned away together over the next one.
            spread = max(MIN_RATE_LIMIT_WAIT, self._backoff(attempts))
            wait = MIN_RATE_LIMIT_WAIT + random.uniform(0.0, spread)
            return min(wait, options.max_retry_wait)
        return random.uniform(0.0, self._backoff(attempts))

    def _transport_wait(self, op: str, attempts: int, exc: Exception) -> float | None:
        """Seconds to wait before resending after ``exc``, or None to give up."""
        if attempts > self._options.retries or _is_tls_failure(exc):
            return None
        if isinstance(exc, _NOT_SENT) or (
            isinstance(exc, _MAYBE_SENT) and self.info(op).idempotent
        ):
            return self._backoff(attempts)
        return None

    def _backoff(self, attempts: int) -> float:
        # The doubling stops long before a float could overflow: the cap is
        # reached by then whatever the first wait.
        doubled = self._options.backoff * 2.0 ** min(attempts - 1, 64)
        return min(doubled, MAX_BACKOFF, self._options.max_retry_wait)

    def _finish(
        self,
        op: str,
        input: Mapping[str, Any],
        answer: _Answer,
        exchange: Exchange,
        request: httpx.Request | None = None,
    ) -> Any:
        payload = {"input": input, "response": {"status": answer.status, "body": answer.body}}
        ok, value = read_envelope(call_raw(f"{op}.parse", dumps(payload)))
        if ok:
            return value
        if request is not None:
            # Made only for an error: a success has no use for them.
            location = None
            if 300 <= answer.status <= 399:
                location = answer.headers.get("Location")
            exchange = replace(
                exchange, method=request.method, url=str(request.url), location=location
            )
        secrets = _secrets_of(self._config, request)
        raise error_from_json(value, exchange, secrets=secrets)

    # -- requests ----------------------------------------------------------

    def _prepare(self, op: str, input: Mapping[str, Any], token: Any) -> httpx.Request:
        if token is not None and hasattr(token, "to_json"):
            token = token.to_json()
        # The configuration is the same in every call: written once, spliced in.
        payload = f'{{"config":{self._config_text},"token":{dumps(token)},"input":{dumps(input)}}}'
        ok, described = read_envelope(call_raw(f"{op}.build", payload))
        if not ok:
            raise error_from_json(described)
        return self._request(described, self._timeout_for(op))

    def _deadline(self, request: httpx.Request, client_timeout: httpx.Timeout) -> float | None:
        """Seconds that each attempt of ``request`` may last, or None for no limit.

        ``"auto"`` derives them from the time-outs the request is sent with
        (its own, else the httpx client's): :data:`DEADLINE_FACTOR` times the
        longest of them, and no limit when the read time-out is off. A deadline
        also caps each of those time-outs, so that no single wait outlasts it.
        """
        described = request.extensions.get("timeout")
        timeouts: dict[str, float | None] = (
            dict(described) if described is not None else client_timeout.as_dict()
        )
        seconds = deadline_for(self._options.deadline, timeouts)
        if seconds is None:
            return None
        request.extensions["timeout"] = {
            name: seconds if t is None else min(t, seconds) for name, t in timeouts.items()
        }
        return seconds

    def _timeout_for(self, op: str) -> httpx.Timeout | None:
        # None leaves the request to the httpx client's own timeout.
        if self._timeout is not None:
            return self._timeout
        limit = self.info(op).timeout_secs
        return httpx.Timeout(float(limit)) if limit else None

    def _request(
        self, described: Mapping[str, Any], timeout: httpx.Timeout | None
    ) -> httpx.Request:
        body = described.get("body")
        headers = [
            (name.encode("utf-8"), value.encode("utf-8"))
            for name, value in described.get("headers", {}).items()
        ]
        # httpx adds no User-Agent to a request built on its own, nor does a
        # client's send() add the client's default headers: without this the
        # request carries none, which some gateways and firewalls refuse.
        if all(name.lower() != b"user-agent" for name, _ in headers):
            headers.append((b"User-Agent", USER_AGENT.encode("ascii")))
        for name, value in headers:
            if _HEADER_VALUE.fullmatch(value) is None:
                # Named, never quoted: the value may be a credential (a ready
                # Basic token with a line break in it, say).
                raise TransportError(
                    f"the request was not sent: its {name.decode('utf-8', 'replace')} header "
                    "holds a line break, a NUL or white space at an end, which HTTP refuses",
                    retryable=False,
                    attempts=0,
                )
        try:
            request = httpx.Request(
                described["method"],
                self._url(described["url"]),
                headers=headers,
                content=None if body is None else body.encode("utf-8"),
            )
        except (httpx.InvalidURL, httpx.UnsupportedProtocol) as exc:
            raise TransportError(
                f"{type(exc).__name__}: {excerpt(_reason(exc), _secrets_of(self._config, None))}",
                original=exc,
                retryable=False,
                attempts=0,
            ) from exc
        if timeout is not None:
            request.extensions["timeout"] = timeout.as_dict()
        return request

    def _url(self, text: str) -> httpx.URL:
        # Parsing a URL is a good part of making a request, and an operation
        # asks for the same few URLs over and over.
        url = self._urls.get(text)
        if url is None:
            url = httpx.URL(text)
            if len(self._urls) >= 64:
                self._urls.clear()
            self._urls[text] = url
        return url

    # -- answers -----------------------------------------------------------

    def _check_length(self, response: httpx.Response) -> None:
        length = response.headers.get("Content-Length")
        if (
            length is not None
            and length.isdigit()
            and int(length) > self._options.max_response_bytes
        ):
            raise self._too_large()

    def _too_large(self) -> _BodyTooLarge:
        return _BodyTooLarge(f"response body exceeds {self._options.max_response_bytes} bytes")

    def _answer(self, response: httpx.Response, chunks: list[bytes]) -> _Answer:
        # The core reads text; bytes that are not UTF-8 become U+FFFD rather
        # than failing here, so the core still classifies the answer.
        body = b"".join(chunks).decode("utf-8", errors="replace")
        return _Answer(response.status_code, response.headers, body)


@dataclass(frozen=True, slots=True)
class _Deadline:
    """When one attempt must have had its whole answer, on the monotonic clock."""

    request: httpx.Request
    seconds: float
    ends_at: float

    @classmethod
    def start(cls, request: httpx.Request, seconds: float | None) -> _Deadline:
        if seconds is None:
            return cls(request, math.inf, math.inf)
        return cls(request, seconds, time.monotonic() + seconds)

    def check(self) -> None:
        if time.monotonic() > self.ends_at:
            raise _late(self.request, self.seconds)

    def late(self, exc: httpx.TimeoutException) -> httpx.TimeoutException:
        """``exc`` as the deadline's time-out, if it was the deadline that cut it."""
        # A socket operation capped at the deadline may wake a hair early.
        if time.monotonic() < self.ends_at - 0.005 or str(exc).startswith("no whole answer"):
            return exc
        return _late(self.request, self.seconds, type(exc))


class _Phase:
    """The phase of an async attempt that began last, as httpcore traces it."""

    __slots__ = ("name",)

    def __init__(self) -> None:
        self.name = ""

    async def trace(self, name: str, info: Mapping[str, Any]) -> None:
        if name.endswith(".started"):
            self.name = name

    def timeout(self) -> type[httpx.TimeoutException]:
        if not self.name:
            return httpx.PoolTimeout  # still waiting for a connection
        if ".connect_" in self.name or ".start_tls" in self.name:
            return httpx.ConnectTimeout
        if ".send_" in self.name:
            return httpx.WriteTimeout
        return httpx.ReadTimeout


# What a send may fail with and the flow decides on: transport failures, a body
# whose Content-Encoding does not decode (httpx raises that apart from them),
# and a body too large to keep.
_SEND_FAILURES = (httpx.TransportError, httpx.DecodingError, _BodyTooLarge)


class Executor(BaseExecutor):
    """Runs the core's operations over a synchronous ``httpx.Client``.

    Pass ``http_client`` to use your own client (proxies, custom CA, HTTP/2);
    it is not closed by :meth:`close`. Otherwise a client is made, over
    ``transport`` if given. ``sleep`` waits between attempts. The other
    keywords are the fields of :class:`ExecutorOptions`.

    The sockets of httpx's own transports (of your client too) are made to
    keep the attempt's deadline; your own requests over the same client, sent
    outside an attempt, see no difference.

    The deadline holds in every phase of an attempt (connecting, sending,
    waiting for and reading the headers, reading the body): over httpx's own
    transport, which this executor's client and most callers' clients use,
    each socket operation is capped at what is left of it (see
    :attr:`socket_deadlines`). Over any other transport it is looked at only
    as the body arrives, so such an attempt ends at the first chunk after its
    deadline, or when headers that trickled in are complete.
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.Client | None = None,
        transport: httpx.BaseTransport | None = None,
        sleep: Callable[[float], None] = time.sleep,
        **options: Unpack[OptionKeywords],
    ) -> None:
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        super().__init__(config, ExecutorOptions(**options))
        self._owns_client = http_client is None
        self._http = http_client or httpx.Client(transport=transport, timeout=DEFAULT_TIMEOUT)
        if http_client is None and transport is None:
            self._pool_pid = os.getpid()
        self._sleep = sleep
        #: Whether every socket of the httpx client keeps the attempt's
        #: deadline (httpx's own transports); see :mod:`quillon_bo._deadline`.
        self.socket_deadlines = install_socket_deadlines(self._http)

    @property
    def http_client(self) -> httpx.Client:
        """The httpx client the requests are sent with.

        In a child of fork(), one made by the executor is replaced by a new one
        at first use; the parent's is dropped without being closed, so that
        nothing is written into connections the parent still uses.
        """
        if self._forked():
            client = httpx.Client(timeout=DEFAULT_TIMEOUT)
            self.socket_deadlines = install_socket_deadlines(client)
            # The new client first: a thread that sees the new pid must also
            # see the new client.
            self._http = client
            self._pool_pid = os.getpid()
        return self._http

    def execute(self, op: str, input: Mapping[str, Any], *, token: Any = None) -> Any:
        """Run operation ``op`` with ``input``; return the parse stage's JSON value.

        ``token`` (an :class:`~quillon_bo.AccessToken` or its JSON form) is
        passed to the build stage for operations that need one. Failures are
        raised as :mod:`quillon_bo.errors` exceptions.
        """
        flow = _telemetry.observed(op, self._flow(op, input, token, self.http_client.timeout))
        outcome: _Outcome = None
        while True:
            try:
                step = flow.send(outcome)
            except StopIteration as done:
                return done.value
            if isinstance(step, _Wait):
                self._sleep(step.seconds)
                outcome = None
                continue
            try:
                outcome = self._send(step)
            except _SEND_FAILURES as exc:
                outcome = exc

    def _send(self, send: _Send) -> _Answer:
        deadline = _Deadline.start(send.request, send.seconds)
        if deadline.ends_at == math.inf:
            return self._exchange(send.request, deadline)
        scope = attempt_deadline(deadline.ends_at)
        try:
            return self._exchange(send.request, deadline)
        except httpx.TimeoutException as exc:
            late = deadline.late(exc)
            if late is exc:
                raise
            raise late from None
        finally:
            end_attempt(scope)

    def _exchange(self, request: httpx.Request, deadline: _Deadline) -> _Answer:
        response = self.http_client.send(
            request, stream=True, auth=_NO_AUTH, follow_redirects=False
        )
        try:
            self._check_length(response)
            # Where the sockets keep the deadline themselves this only names
            # the failure; over another transport, a trickle is many small
            # chunks, each within the read time-out, and the clock is looked
            # at once the headers are in and after every chunk.
            deadline.check()
            chunks: list[bytes] = []
            size = 0
            for chunk in response.iter_bytes():
                deadline.check()
                size += len(chunk)
                if size > self._options.max_response_bytes:
                    raise self._too_large()
                chunks.append(chunk)
        finally:
            response.close()
        return self._answer(response, chunks)

    def close(self) -> None:
        """Close the httpx client, if the executor made it."""
        if self._owns_client:
            self.http_client.close()

    def __enter__(self) -> Executor:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


class AsyncExecutor(BaseExecutor):
    """Runs the core's operations over an ``httpx.AsyncClient``; see :class:`Executor`.

    ``sleep`` is awaited between attempts (``asyncio.sleep`` by default). Here
    the deadline cancels the attempt wherever it is, also part way through the
    headers.
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.AsyncClient | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
        sleep: Callable[[float], Awaitable[None]] = asyncio.sleep,
        **options: Unpack[OptionKeywords],
    ) -> None:
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        super().__init__(config, ExecutorOptions(**options))
        self._owns_client = http_client is None
        self._http = http_client or httpx.AsyncClient(transport=transport, timeout=DEFAULT_TIMEOUT)
        if http_client is None and transport is None:
            self._pool_pid = os.getpid()
        self._sleep = sleep

    @property
    def http_client(self) -> httpx.AsyncClient:
        """The httpx client the requests are sent with; see :attr:`Executor.http_client`."""
        if self._forked():
            # The new client first, as in Executor.
            self._http = httpx.AsyncClient(timeout=DEFAULT_TIMEOUT)
            self._pool_pid = os.getpid()
        return self._http

    async def execute(self, op: str, input: Mapping[str, Any], *, token: Any = None) -> Any:
        """Run operation ``op`` with ``input``; see :meth:`Executor.execute`."""
        flow = _telemetry.observed(op, self._flow(op, input, token, self.http_client.timeout))
        outcome: _Outcome = None
        while True:
            try:
                step = flow.send(outcome)
            except StopIteration as done:
                return done.value
            if isinstance(step, _Wait):
                await self._sleep(step.seconds)
                outcome = None
                continue
            try:
                outcome = await self._send(step)
            except _SEND_FAILURES as exc:
                outcome = exc

    async def _send(self, send: _Send) -> _Answer:
        seconds = send.seconds
        if seconds is None:
            return await self._exchange(send.request)
        # httpcore names each phase as it begins; the deadline's time-out is
        # that phase's, as the sync executor's sockets report it.
        phase = _Phase()
        send.request.extensions["trace"] = phase.trace
        try:
            if sys.version_info >= (3, 11):
                async with asyncio.timeout(seconds):
                    return await self._exchange(send.request)
            # Before 3.11 the attempt runs as a task of its own.
            return await asyncio.wait_for(self._exchange(send.request), seconds)
        except asyncio.TimeoutError:
            raise _late(send.request, seconds, phase.timeout()) from None

    async def _exchange(self, request: httpx.Request) -> _Answer:
        response = await self.http_client.send(
            request, stream=True, auth=_NO_AUTH, follow_redirects=False
        )
        try:
            self._check_length(response)
            chunks: list[bytes] = []
            size = 0
            async for chunk in response.aiter_bytes():
                size += len(chunk)
                if size > self._options.max_response_bytes:
                    raise self._too_large()
                chunks.append(chunk)
        finally:
            await response.aclose()
        return self._answer(response, chunks)

    async def aclose(self) -> None:
        """Close the httpx client, if the executor made it."""
        if self._owns_client:
            await self.http_client.aclose()

    async def __aenter__(self) -> AsyncExecutor:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.aclose()
