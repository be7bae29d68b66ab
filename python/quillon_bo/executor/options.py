"""An executor's options: time limits, retries and size limits, their defaults,
and the one rule for how long an attempt may last (:func:`deadline_for`)."""

from __future__ import annotations

import math
from collections.abc import Collection, Mapping
from dataclasses import dataclass
from typing import Literal, TypedDict

import httpx

__all__ = [
    "DEADLINE_FACTOR",
    "DEFAULT_BACKOFF",
    "DEFAULT_MAX_RESPONSE_BYTES",
    "DEFAULT_MAX_RETRY_WAIT",
    "DEFAULT_RETRIES",
    "DEFAULT_RETRY_STATUSES",
    "DEFAULT_TIMEOUT",
    "MAX_BACKOFF",
    "MIN_RATE_LIMIT_WAIT",
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
