"""The synchronous driver: :class:`Executor` runs the flow over an ``httpx.Client``."""

from __future__ import annotations

import math
import os
import time
from collections.abc import Callable, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple

import httpx

from .. import telemetry
from ..config import Config
from .failures import SEND_FAILURES, late_timeout
from .flow import (
    NO_AUTH,
    Answer,
    BaseExecutor,
    Outcome,
    Send,
    Wait,
    oversize_error,
    refuse_declared_oversize,
    whole_answer,
)
from .options import DEFAULT_TIMEOUT, ExecutorOptions, OptionKeywords

if TYPE_CHECKING:
    from typing_extensions import Unpack

__all__ = ["Executor"]


class _AttemptClock(NamedTuple):
    """When one attempt must have had its whole answer, on the monotonic clock."""

    request: httpx.Request
    seconds: float
    ends_at: float

    @classmethod
    def start(cls, request: httpx.Request, seconds: float | None) -> _AttemptClock:
        if seconds is None:
            return cls(request, math.inf, math.inf)
        return cls(request, seconds, time.monotonic() + seconds)

    def check(self) -> None:
        if time.monotonic() > self.ends_at:
            raise late_timeout(self.request, self.seconds)

    def late(self, exc: httpx.TimeoutException) -> httpx.TimeoutException:
        """``exc`` as the deadline's time-out, if it was the deadline that cut it."""
        # A socket operation capped at the deadline may wake a hair early.
        if time.monotonic() < self.ends_at - 0.005 or str(exc).startswith("no whole answer"):
            return exc
        return late_timeout(self.request, self.seconds, type(exc))


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
        # httpcore, which the socket deadlines are made of, comes with the
        # first executor rather than with the package: httpx loads it as late.
        from .socket_deadlines import install_socket_deadlines

        #: Whether every socket of the httpx client keeps the attempt's
        #: deadline (httpx's own transports); see :mod:`quillon_bo.executor.socket_deadlines`.
        self.socket_deadlines = install_socket_deadlines(self._http)

    @property
    def http_client(self) -> httpx.Client:
        """The httpx client the requests are sent with.

        In a child of fork(), one made by the executor is replaced by a new one
        at first use; the parent's is dropped without being closed, so that
        nothing is written into connections the parent still uses.
        """
        if self._forked():
            from .socket_deadlines import install_socket_deadlines

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
        flow = telemetry.observed(op, self._flow(op, input, token, self.http_client.timeout))
        outcome: Outcome = None
        while True:
            try:
                step = flow.send(outcome)
            except StopIteration as done:
                return done.value
            if isinstance(step, Wait):
                self._sleep(step.seconds)
                outcome = None
                continue
            try:
                outcome = self._attempt(step)
            except SEND_FAILURES as exc:
                outcome = exc

    def _attempt(self, send: Send) -> Answer:
        """One attempt at ``send``, ended at its deadline."""
        deadline = _AttemptClock.start(send.request, send.seconds)
        if deadline.ends_at == math.inf:
            return self._send_and_read(send.request, deadline)
        from .socket_deadlines import attempt_deadline, end_attempt

        scope = attempt_deadline(deadline.ends_at)
        try:
            return self._send_and_read(send.request, deadline)
        except httpx.TimeoutException as exc:
            late = deadline.late(exc)
            if late is exc:
                raise
            raise late from None
        finally:
            end_attempt(scope)

    def _send_and_read(self, request: httpx.Request, deadline: _AttemptClock) -> Answer:
        response = self.http_client.send(request, stream=True, auth=NO_AUTH, follow_redirects=False)
        try:
            refuse_declared_oversize(response, self._options.max_response_bytes)
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
                    raise oversize_error(self._options.max_response_bytes)
                chunks.append(chunk)
        finally:
            response.close()
        return whole_answer(response, chunks)

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
