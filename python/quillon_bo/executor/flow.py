"""One call's flow, free of I/O: what both drivers share.

A call is one generator, :meth:`BaseExecutor._flow`, that asks its driver to
send a request (:class:`Send`) or to wait (:class:`Wait`), is told what came of
it (an :class:`Answer` or the failure), and returns the result or raises.
"""

from __future__ import annotations

import os
import time
from collections.abc import Generator, Mapping
from dataclasses import replace
from typing import Any, NamedTuple, TypeAlias

import httpx

from ..config import Config
from ..core import OperationInfo, call_raw, describe, dumps, read_envelope
from ..errors import Exchange, error_from_json
from .failures import (
    BodyTooLarge,
    retry_after_seconds,
    secrets_of,
    status_wait,
    transport_error,
    transport_wait,
)
from .options import ExecutorOptions, deadline_for
from .request_maker import RequestMaker

__all__ = [
    "NO_AUTH",
    "Answer",
    "BaseExecutor",
    "Flow",
    "Outcome",
    "Send",
    "Step",
    "Wait",
    "oversize_error",
    "refuse_declared_oversize",
    "whole_answer",
]

#: Sending with this auth keeps a caller's client-level auth (and credentials in
#: the URL) off the described request: it goes out exactly as described.
NO_AUTH = httpx.Auth()


class Send(NamedTuple):
    """Send ``request``; the attempt may last ``seconds`` (None: no limit)."""

    request: httpx.Request
    seconds: float | None


class Wait(NamedTuple):
    """Sleep this long, then go on with the flow."""

    seconds: float


class Answer(NamedTuple):
    """A whole answer: its status, headers and body text."""

    status: int
    headers: httpx.Headers
    body: str


Step: TypeAlias = Send | Wait
#: What the driver sends back: the answer or the failure of a Send, None after
#: a Wait.
Outcome: TypeAlias = Answer | Exception | None
Flow: TypeAlias = Generator[Step, Outcome, Any]


def oversize_error(limit: int) -> BodyTooLarge:
    """The failure of a body past ``limit`` bytes."""
    return BodyTooLarge(f"response body exceeds {limit} bytes")


def refuse_declared_oversize(response: httpx.Response, limit: int) -> None:
    """Refuse an answer whose ``Content-Length`` is past ``limit`` before reading it."""
    length = response.headers.get("Content-Length")
    if length is not None and length.isdigit() and int(length) > limit:
        raise oversize_error(limit)


def whole_answer(response: httpx.Response, chunks: list[bytes]) -> Answer:
    """The answer whose body arrived as ``chunks``."""
    # The core reads text; bytes that are not UTF-8 become U+FFFD rather than
    # failing here, so the core still classifies the answer.
    body = b"".join(chunks).decode("utf-8", errors="replace")
    return Answer(response.status_code, response.headers, body)


class BaseExecutor:
    """What the sync and async executors share: the options, the operations'
    requests and results, and every decision of a call's flow.

    :class:`~quillon_bo.executor.Executor` and
    :class:`~quillon_bo.executor.AsyncExecutor` drive the flow with their own
    I/O.
    """

    def __init__(self, config: Config, options: ExecutorOptions) -> None:
        self._config = config
        self._options = options
        self._timeout = None if options.timeout is None else httpx.Timeout(options.timeout)
        self._config_text = dumps(config.to_json())
        self._request_maker = RequestMaker(config)
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

    def _flow(
        self, op: str, input: Mapping[str, Any], token: Any, client_timeout: httpx.Timeout
    ) -> Flow:
        request = self._build_request(op, input, token)
        send = Send(request, self._attempt_seconds(request, client_timeout))
        idempotent = self.info(op).idempotent
        attempts = 0
        while True:
            outcome = yield send
            attempts += 1
            if isinstance(outcome, Answer):
                retry_after = None
                if outcome.status >= 300:  # a success has nothing to wait for
                    header = outcome.headers.get("Retry-After")
                    retry_after = retry_after_seconds(header, time.time())
                wait = status_wait(self._options, idempotent, attempts, outcome.status, retry_after)
                if wait is None:
                    exchange = Exchange(attempts, retry_after)
                    return self._read_result(op, input, outcome, exchange, request)
            elif isinstance(outcome, Exception):
                wait = transport_wait(self._options, idempotent, attempts, outcome)
                if wait is None:
                    secrets = secrets_of(self._config, request)
                    raise transport_error(outcome, attempts, request, secrets) from (
                        None if isinstance(outcome, BodyTooLarge) else outcome
                    )
            else:
                raise TypeError("a sent request must be answered with its outcome")
            yield Wait(wait)

    def _read_result(
        self,
        op: str,
        input: Mapping[str, Any],
        answer: Answer,
        exchange: Exchange,
        request: httpx.Request,
    ) -> Any:
        """The parse stage's value for ``answer``, or its error raised."""
        payload = {"input": input, "response": {"status": answer.status, "body": answer.body}}
        ok, value = read_envelope(call_raw(f"{op}.parse", dumps(payload)))
        if ok:
            return value
        # Made only for an error: a success has no use for them.
        location = answer.headers.get("Location") if 300 <= answer.status <= 399 else None
        exchange = replace(exchange, method=request.method, url=str(request.url), location=location)
        raise error_from_json(value, exchange, secrets=secrets_of(self._config, request))

    def _build_request(self, op: str, input: Mapping[str, Any], token: Any) -> httpx.Request:
        """The request that ``op``'s build stage describes for ``input``."""
        if token is not None and hasattr(token, "to_json"):
            token = token.to_json()
        # The configuration is the same in every call: written once, spliced in.
        payload = f'{{"config":{self._config_text},"token":{dumps(token)},"input":{dumps(input)}}}'
        ok, described = read_envelope(call_raw(f"{op}.build", payload))
        if not ok:
            raise error_from_json(described)
        return self._request_maker.make(described, self._timeout_for(op))

    def _attempt_seconds(
        self, request: httpx.Request, client_timeout: httpx.Timeout
    ) -> float | None:
        """Seconds that each attempt of ``request`` may last, or None for no limit.

        The rule is :func:`~quillon_bo.executor.deadline_for`, over the
        time-outs the request is sent with (its own, else the httpx client's).
        A deadline also caps each of those time-outs, so that no single wait
        outlasts it.
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
