"""What a failed attempt means: whether the request may have reached the
server, whether and how long to wait before sending it again (the back-off,
``Retry-After``), and the :class:`~quillon_bo.errors.TransportError` it becomes
when it is not sent again."""

from __future__ import annotations

import email.utils
import random
import re
import ssl
from datetime import timezone

import httpx

from .._redact import credential_of, excerpt
from ..config import Config
from ..errors import TransportError
from .options import MAX_BACKOFF, MIN_RATE_LIMIT_WAIT, ExecutorOptions

# Failures where the request cannot have reached the server: safe to resend for
# any operation.
NOT_SENT = (httpx.ConnectError, httpx.ConnectTimeout, httpx.PoolTimeout)
# Failures after which the server may have acted on the request: resent only
# for operations that the core describes as idempotent.
MAYBE_SENT = (
    httpx.ReadTimeout,
    httpx.WriteTimeout,
    httpx.ReadError,
    httpx.WriteError,
    httpx.CloseError,
    httpx.RemoteProtocolError,
)


def is_tls_failure(exc: BaseException) -> bool:
    """Whether ``exc`` comes from TLS: a refused certificate, a failed handshake."""
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


def failure_reason(exc: BaseException) -> str:
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


def retry_after_seconds(value: str | None, now: float) -> float | None:
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


class BodyTooLarge(Exception):
    """A body past ``max_response_bytes``: an answer, but not one to keep."""


def transport_error(
    exc: Exception, attempts: int, request: httpx.Request, secrets: tuple[str | None, ...]
) -> TransportError:
    """The error a failed send ends the call with, after ``attempts`` attempts."""
    if isinstance(exc, BodyTooLarge):
        error = TransportError(str(exc), retryable=False, attempts=attempts)
    else:
        # httpx's texts may quote what the server sent (a proxy's answer, a
        # malformed header line): cut to one line and redacted.
        text = excerpt(failure_reason(exc), secrets)
        error = TransportError(
            f"{type(exc).__name__}: {text}" if text else type(exc).__name__,
            original=exc,
            timeout=isinstance(exc, httpx.TimeoutException),
            # Retryable is what a resend may cure, as the flow judges it: never
            # a refused certificate, a body that arrived but does not decode, a
            # request that could not be written, or a proxy that refused the
            # tunnel (its 407 wants credentials, not another try).
            retryable=isinstance(exc, (*NOT_SENT, *MAYBE_SENT)) and not is_tls_failure(exc),
            attempts=attempts,
        )
    error._at(request.method, str(request.url), attempts, secrets=secrets)
    return error


def secrets_of(config: Config, request: httpx.Request | None) -> tuple[str | None, ...]:
    """What an error about ``request`` must never show."""
    authorization = None if request is None else request.headers.get("Authorization")
    return (config.client_secret, credential_of(config.basic_token), credential_of(authorization))


def late_timeout(
    request: httpx.Request, seconds: float, cls: type[httpx.TimeoutException] = httpx.ReadTimeout
) -> httpx.TimeoutException:
    """The time-out an attempt that overran its deadline of ``seconds`` fails with."""
    # Raised as httpx's own time-out of the phase it cut short (a read time-out
    # from the headers on), so that it is reported and retried exactly like
    # one: after a read time-out the request may have reached the server.
    return cls(f"no whole answer within the attempt's {seconds:g} s deadline", request=request)


# What a send may fail with and the flow decides on: transport failures, a body
# whose Content-Encoding does not decode (httpx raises that apart from them),
# and a body too large to keep.
SEND_FAILURES = (httpx.TransportError, httpx.DecodingError, BodyTooLarge)


def status_wait(
    options: ExecutorOptions,
    idempotent: bool,
    attempts: int,
    status: int,
    retry_after: float | None,
) -> float | None:
    """Seconds to wait before resending after an answer, or None to keep it."""
    if status not in options.retry_statuses or not idempotent:
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
        spread = max(MIN_RATE_LIMIT_WAIT, backoff(options, attempts))
        wait = MIN_RATE_LIMIT_WAIT + random.uniform(0.0, spread)
        return min(wait, options.max_retry_wait)
    return random.uniform(0.0, backoff(options, attempts))


def transport_wait(
    options: ExecutorOptions, idempotent: bool, attempts: int, exc: Exception
) -> float | None:
    """Seconds to wait before resending after ``exc``, or None to give up."""
    if attempts > options.retries or is_tls_failure(exc):
        return None
    if isinstance(exc, NOT_SENT) or (isinstance(exc, MAYBE_SENT) and idempotent):
        return backoff(options, attempts)
    return None


def backoff(options: ExecutorOptions, attempts: int) -> float:
    """Seconds of back-off before attempt ``attempts + 1``: doubled each time, capped."""
    # The doubling stops long before a float could overflow: the cap is
    # reached by then whatever the first wait.
    doubled = options.backoff * 2.0 ** min(attempts - 1, 64)
    return min(doubled, MAX_BACKOFF, options.max_retry_wait)
