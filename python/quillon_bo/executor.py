"""The generic executor: one operation of the core, sent over HTTP with httpx.

An operation runs in two calls to the core. ``"<op>.build"`` turns the
configuration and the operation's input into the description of one HTTP
request; this module sends exactly that request and hands the status and the
body text to ``"<op>.parse"``, which returns the result or an error. Nothing
here knows any particular operation: what an operation needs beyond its name
and input (whether it is idempotent, its own time limit) is read from the
core's ``describe`` list, so an operation added to the core needs no new code
here.

The sync and async executors share everything but the I/O: :class:`_Engine`
prepares requests, reads results, sets each attempt's deadline and decides on
retries; the two classes only send, read and sleep.

httpx's time-outs bound each single wait (connect, one read, one write), not
the whole answer: a server that sends one byte just before each read time-out
could hold a call without end. So each attempt (connect, send, the headers and
the whole body) also has a deadline; see :class:`Executor`.
"""

from __future__ import annotations

import asyncio
import importlib
import json
import math
import re
import ssl
import sys
import time
from collections.abc import AsyncIterator, Callable, Iterator, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Literal, cast

import httpx

from .config import Config
from .errors import TransportError, error_from_json

__all__ = [
    "DEADLINE_FACTOR",
    "DEFAULT_BACKOFF",
    "DEFAULT_MAX_RESPONSE_BYTES",
    "DEFAULT_RETRIES",
    "DEFAULT_TIMEOUT",
    "AsyncExecutor",
    "Executor",
    "OperationInfo",
    "call_core",
    "call_raw",
    "core_version",
    "describe",
]

#: Used when neither the caller nor the operation states a time limit.
DEFAULT_TIMEOUT = httpx.Timeout(10.0, connect=5.0)
#: Extra attempts after a transport failure (so at most 1 + retries sends).
DEFAULT_RETRIES = 2
#: Seconds before the first retry; doubled before each further one.
DEFAULT_BACKOFF = 0.1
#: Longest wait between two attempts, whatever the backoff.
MAX_BACKOFF = 5.0
#: A body larger than this is refused rather than held in memory.
DEFAULT_MAX_RESPONSE_BYTES = 8 * 1024 * 1024
#: With ``deadline="auto"``, an attempt may last this many times the longest of
#: its time-outs: 30 s with :data:`DEFAULT_TIMEOUT`.
DEADLINE_FACTOR = 3

_native_call: Callable[[str, str], str] = importlib.import_module("quillon_bo.core._native").call

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
# What the exchange can raise besides an answer: transport failures, and a body
# whose Content-Encoding does not decode (httpx raises that apart from them).
_EXCHANGE_ERRORS = (httpx.TransportError, httpx.DecodingError)

# A header value as HTTP/1.1 (and h11, under httpx) accepts it: no NUL, no line
# break, no white space at either end. h11 refuses any other value with a
# message that quotes it whole, and the Authorization value is the credential.
_HEADER_VALUE = re.compile(rb"(?:[^\x00\s]+(?:[ \t]+[^\x00\s]+)*)?")


def call_raw(op: str, payload: str) -> str:
    """The core's ``call`` itself: payload text in, result envelope text out."""
    return _native_call(op, payload)


def call_core(op: str, payload: Any = None) -> Any:
    """Call the core with a JSON-serialisable payload; return its value or raise.

    Errors come back as the :mod:`quillon_bo.errors` exception of their kind.
    """
    return _value_of(_native_call(op, "" if payload is None else _dumps(payload)))


def _value_of(envelope_text: str) -> Any:
    envelope = json.loads(envelope_text)
    if envelope.get("ok") is True:
        return envelope.get("value")
    raise error_from_json(envelope.get("error") or {})


def _dumps(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


@dataclass(frozen=True, slots=True)
class OperationInfo:
    """One entry of the core's ``describe`` list."""

    name: str
    kind: str = "operation"
    idempotent: bool = False
    timeout_secs: int | None = None


def describe() -> list[OperationInfo]:
    """The operations the core offers."""
    out = []
    for item in call_core("describe"):
        timeout = item.get("timeout_secs")
        out.append(
            OperationInfo(
                name=str(item["name"]),
                kind=str(item.get("kind", "operation")),
                idempotent=item.get("idempotent") is True,
                timeout_secs=timeout if isinstance(timeout, int) else None,
            )
        )
    return out


def core_version() -> dict[str, Any]:
    """The core's version record: ``{"core": "0.1.0", "protocol": 2}``."""
    return cast("dict[str, Any]", call_core("version"))


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


def _transport_error(exc: Exception) -> TransportError:
    text = _reason(exc)
    message = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    err = TransportError(message, original=exc, timeout=isinstance(exc, httpx.TimeoutException))
    # A refused certificate does not heal by itself, and a body that arrived
    # but does not decode is an answer, which is never retried.
    err.retryable = isinstance(exc, httpx.TransportError) and not _is_tls_failure(exc)
    err.__cause__ = exc
    return err


class _Engine:
    """Everything the two executors share: requests, results, retry decisions."""

    def __init__(
        self,
        config: Config,
        *,
        timeout: httpx.Timeout | float | None,
        retries: int,
        backoff: float,
        max_response_bytes: int,
        deadline: float | Literal["auto"] | None,
    ) -> None:
        if retries < 0:
            raise ValueError("retries must not be negative")
        if deadline is not None and deadline != "auto":
            if isinstance(deadline, bool) or not isinstance(deadline, (int, float)):
                raise TypeError('deadline must be a number of seconds, "auto" or None')
            if not 0 < deadline < math.inf:
                raise ValueError("deadline must be a positive, finite number of seconds")
        self._deadline = deadline
        self.config = config
        self._config_text = _dumps(config.to_json())
        self._urls: dict[str, httpx.URL] = {}
        self._timeout = None if timeout is None else httpx.Timeout(timeout)
        self.retries = retries
        self.backoff = backoff
        self.max_response_bytes = max_response_bytes
        self._ops = {info.name: info for info in describe() if info.kind == "operation"}

    def info(self, op: str) -> OperationInfo:
        # An operation the core does not list still goes to the core, which
        # answers with its own "unknown operation" error.
        return self._ops.get(op) or OperationInfo(name=op)

    def prepare(self, op: str, input: Mapping[str, Any], token: Any) -> httpx.Request:
        if token is not None and hasattr(token, "to_json"):
            token = token.to_json()
        # The configuration is the same in every call: written once, spliced in.
        payload = (
            f'{{"config":{self._config_text},"token":{_dumps(token)},"input":{_dumps(input)}}}'
        )
        described = _value_of(call_raw(f"{op}.build", payload))
        return self._request(described, self._timeout_for(op))

    def deadline(self, request: httpx.Request, client_timeout: httpx.Timeout) -> float | None:
        """Seconds that each attempt of ``request`` may last, or None for no limit.

        ``"auto"`` derives them from the time-outs the request is sent with
        (its own, else the httpx client's): :data:`DEADLINE_FACTOR` times the
        longest of them, and no limit when the read time-out is off. A deadline
        also caps each of those time-outs, so that no single wait outlasts it.
        """
        if self._deadline is None:
            return None
        described = request.extensions.get("timeout")
        timeouts: dict[str, float | None] = (
            dict(described) if described is not None else client_timeout.as_dict()
        )
        if self._deadline == "auto":
            if timeouts.get("read") is None:
                return None
            seconds = DEADLINE_FACTOR * max(t for t in timeouts.values() if t is not None)
        else:
            seconds = float(self._deadline)
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
        for name, value in headers:
            if _HEADER_VALUE.fullmatch(value) is None:
                # Named, never quoted: the value may be a credential (a ready
                # Basic token with a line break in it, say).
                err = TransportError(
                    f"the request was not sent: its {name.decode('utf-8', 'replace')} header "
                    "holds a line break, a NUL or white space at an end, which HTTP refuses"
                )
                err.retryable = False
                raise err
        try:
            request = httpx.Request(
                described["method"],
                self._url(described["url"]),
                headers=headers,
                content=None if body is None else body.encode("utf-8"),
            )
        except (httpx.InvalidURL, httpx.UnsupportedProtocol) as exc:
            err = _transport_error(exc)
            err.retryable = False
            raise err from exc
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

    def finish(self, op: str, input: Mapping[str, Any], status: int, body: str) -> Any:
        payload = {"input": input, "response": {"status": status, "body": body}}
        return _value_of(call_raw(f"{op}.parse", _dumps(payload)))

    def retry_delay(self, op: str, attempt: int, exc: Exception) -> float | None:
        """Seconds to wait before resending after ``exc``, or None to give up."""
        if attempt >= self.retries or _is_tls_failure(exc):
            return None
        if isinstance(exc, _NOT_SENT) or (
            isinstance(exc, _MAYBE_SENT) and self.info(op).idempotent
        ):
            return float(min(self.backoff * (2**attempt), MAX_BACKOFF))
        return None

    def check_length(self, response: httpx.Response) -> None:
        length = response.headers.get("Content-Length")
        if length is not None and length.isdigit() and int(length) > self.max_response_bytes:
            self.too_large()

    def too_large(self) -> None:
        err = TransportError(f"response body exceeds {self.max_response_bytes} bytes")
        err.retryable = False
        raise err

    @staticmethod
    def text(chunks: list[bytes]) -> str:
        # The core reads text; bytes that are not UTF-8 become U+FFFD rather
        # than failing here, so the core still classifies the answer.
        return b"".join(chunks).decode("utf-8", errors="replace")


def _late(request: httpx.Request, seconds: float) -> httpx.ReadTimeout:
    # Raised as httpx's own read time-out, so that it is reported and retried
    # exactly like one: the request may have reached the server.
    return httpx.ReadTimeout(
        f"no whole answer within the attempt's {seconds:g} s deadline", request=request
    )


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


def _read_sync(engine: _Engine, stream: Iterator[bytes], deadline: _Deadline) -> list[bytes]:
    # A trickle is many small chunks, each within the read time-out: the clock
    # is looked at once the headers are in and again after every chunk.
    chunks: list[bytes] = []
    size = 0
    deadline.check()
    for chunk in stream:
        deadline.check()
        size += len(chunk)
        if size > engine.max_response_bytes:
            engine.too_large()
        chunks.append(chunk)
    return chunks


async def _read_async(engine: _Engine, stream: AsyncIterator[bytes]) -> list[bytes]:
    chunks: list[bytes] = []
    size = 0
    async for chunk in stream:
        size += len(chunk)
        if size > engine.max_response_bytes:
            engine.too_large()
        chunks.append(chunk)
    return chunks


class Executor:
    """Runs the core's operations over a synchronous ``httpx.Client``.

    Pass ``http_client`` to use your own client (proxies, custom CA, HTTP/2);
    it is not closed by :meth:`close`. Otherwise a client is made, over
    ``transport`` if given. ``timeout`` overrides both the operation's own time
    limit and the client's; by default an operation's stated limit applies, else
    the client's (:data:`DEFAULT_TIMEOUT` for a client made here). Transport
    failures are retried up to ``retries`` times with doubling ``backoff``:
    failures before the request was sent for every operation, failures after
    it only for idempotent ones; TLS failures never. Answers are never retried.

    ``deadline`` bounds each attempt as a whole (connect, send, the headers and
    the whole body), which httpx's time-outs, each bounding one wait, do not:
    seconds, or ``"auto"`` (the default) for :data:`DEADLINE_FACTOR` times the
    longest of the attempt's time-outs (30 s with :data:`DEFAULT_TIMEOUT`; no
    limit when the read time-out is off), or None for no limit. No single wait
    is allowed longer than the deadline either. An attempt that overruns it
    fails as an httpx read time-out does (a :class:`TransportError` with
    ``timeout=True``, resent only for idempotent operations). Here the clock is
    looked at as the body arrives, so a sync attempt ends at the first chunk
    after its deadline, or when headers that trickled in are complete.
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.Client | None = None,
        transport: httpx.BaseTransport | None = None,
        timeout: httpx.Timeout | float | None = None,
        retries: int = DEFAULT_RETRIES,
        backoff: float = DEFAULT_BACKOFF,
        max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES,
        deadline: float | Literal["auto"] | None = "auto",
        sleep: Callable[[float], None] = time.sleep,
    ) -> None:
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        self._engine = _Engine(
            config,
            timeout=timeout,
            retries=retries,
            backoff=backoff,
            max_response_bytes=max_response_bytes,
            deadline=deadline,
        )
        self._owns_client = http_client is None
        self._http = http_client or httpx.Client(transport=transport, timeout=DEFAULT_TIMEOUT)
        self._sleep = sleep

    @property
    def config(self) -> Config:
        return self._engine.config

    @property
    def http_client(self) -> httpx.Client:
        return self._http

    def execute(self, op: str, input: Mapping[str, Any], *, token: Any = None) -> Any:
        """Run operation ``op`` with ``input``; return the parse stage's JSON value.

        ``token`` (an :class:`~quillon_bo.AccessToken` or its JSON form) is
        passed to the build stage for operations that need one.
        """
        engine = self._engine
        request = engine.prepare(op, input, token)
        deadline = engine.deadline(request, self._http.timeout)
        attempt = 0
        while True:
            try:
                status, body = self._send(request, deadline)
            except _EXCHANGE_ERRORS as exc:
                delay = engine.retry_delay(op, attempt, exc)
                if delay is None:
                    raise _transport_error(exc) from exc
                attempt += 1
                self._sleep(delay)
                continue
            return engine.finish(op, input, status, body)

    def _send(self, request: httpx.Request, seconds: float | None) -> tuple[int, str]:
        deadline = _Deadline.start(request, seconds)
        response = self._http.send(request, stream=True, auth=_NO_AUTH, follow_redirects=False)
        try:
            self._engine.check_length(response)
            chunks = _read_sync(self._engine, response.iter_bytes(), deadline)
        finally:
            response.close()
        return response.status_code, _Engine.text(chunks)

    def close(self) -> None:
        if self._owns_client:
            self._http.close()

    def __enter__(self) -> Executor:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


class AsyncExecutor:
    """Runs the core's operations over an ``httpx.AsyncClient``; see :class:`Executor`.

    Here the deadline cancels the attempt wherever it is, also part way through
    the headers.
    """

    def __init__(
        self,
        config: Config,
        *,
        http_client: httpx.AsyncClient | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
        timeout: httpx.Timeout | float | None = None,
        retries: int = DEFAULT_RETRIES,
        backoff: float = DEFAULT_BACKOFF,
        max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES,
        deadline: float | Literal["auto"] | None = "auto",
    ) -> None:
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        self._engine = _Engine(
            config,
            timeout=timeout,
            retries=retries,
            backoff=backoff,
            max_response_bytes=max_response_bytes,
            deadline=deadline,
        )
        self._owns_client = http_client is None
        self._http = http_client or httpx.AsyncClient(transport=transport, timeout=DEFAULT_TIMEOUT)

    @property
    def config(self) -> Config:
        return self._engine.config

    @property
    def http_client(self) -> httpx.AsyncClient:
        return self._http

    async def execute(self, op: str, input: Mapping[str, Any], *, token: Any = None) -> Any:
        """Run operation ``op`` with ``input``; see :meth:`Executor.execute`."""
        engine = self._engine
        request = engine.prepare(op, input, token)
        deadline = engine.deadline(request, self._http.timeout)
        attempt = 0
        while True:
            try:
                status, body = await self._send(request, deadline)
            except _EXCHANGE_ERRORS as exc:
                delay = engine.retry_delay(op, attempt, exc)
                if delay is None:
                    raise _transport_error(exc) from exc
                attempt += 1
                await asyncio.sleep(delay)
                continue
            return engine.finish(op, input, status, body)

    async def _send(self, request: httpx.Request, seconds: float | None) -> tuple[int, str]:
        if seconds is None:
            return await self._exchange(request)
        try:
            if sys.version_info >= (3, 11):
                async with asyncio.timeout(seconds):
                    return await self._exchange(request)
            # Before 3.11 the attempt runs as a task of its own.
            return await asyncio.wait_for(self._exchange(request), seconds)
        except asyncio.TimeoutError:
            raise _late(request, seconds) from None

    async def _exchange(self, request: httpx.Request) -> tuple[int, str]:
        response = await self._http.send(
            request, stream=True, auth=_NO_AUTH, follow_redirects=False
        )
        try:
            self._engine.check_length(response)
            chunks = await _read_async(self._engine, response.aiter_bytes())
        finally:
            await response.aclose()
        return response.status_code, _Engine.text(chunks)

    async def aclose(self) -> None:
        if self._owns_client:
            await self._http.aclose()

    async def __aenter__(self) -> AsyncExecutor:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.aclose()
