"""A sync attempt's deadline on every socket operation it makes.

httpcore gives each blocking socket operation the whole time-out of its phase:
every read of the headers waits up to the read time-out anew, so headers sent
a byte at a time hold a sync attempt for as long as the server cares to go on.
The network backend here wraps httpcore's and caps each operation (connect,
TLS handshake, each write, each read) at what is left of the attempt's
deadline, so the attempt ends within it in every phase. The deadline is set
for the span of one attempt in a context variable: sync httpx runs the whole
exchange in the calling thread, and a request sent outside an attempt (your
own, over the same httpx client) sees no deadline and is left as it was.

The async executor needs none of this: it cancels the attempt at its deadline.
"""

from __future__ import annotations

import time
from collections.abc import Iterable
from contextvars import ContextVar, Token
from typing import Any

import httpcore
import httpx

__all__ = ["attempt_deadline", "end_attempt", "install_socket_deadlines"]

# When the current attempt must end, on the monotonic clock; None outside one.
_ENDS_AT: ContextVar[float | None] = ContextVar("quillon_bo_attempt_ends_at", default=None)

# A write goes out in pieces of this size, each capped anew, so that a peer
# that reads slowly cannot stretch one large write past the deadline.
_WRITE_PIECE = 16 * 1024


def attempt_deadline(ends_at: float) -> Token[float | None]:
    """Cap every socket operation of this thread's context at ``ends_at``
    (``time.monotonic``) until :func:`end_attempt` is given what this returns.

    A pair of calls rather than a context manager: it runs on every attempt.
    """
    return _ENDS_AT.set(ends_at)


def end_attempt(scope: Token[float | None]) -> None:
    """Lift the cap that :func:`attempt_deadline` set."""
    _ENDS_AT.reset(scope)


def _capped_timeout(timeout: float | None, late: type[httpcore.TimeoutException]) -> float | None:
    ends_at = _ENDS_AT.get()
    if ends_at is None:
        return timeout
    left = ends_at - time.monotonic()
    if left <= 0:
        # A zero time-out would make the socket non-blocking, not time out.
        raise late("timed out")
    return left if timeout is None else min(timeout, left)


class _DeadlineStream(httpcore.NetworkStream):
    def __init__(self, inner: httpcore.NetworkStream) -> None:
        self._inner = inner

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        return self._inner.read(max_bytes, _capped_timeout(timeout, httpcore.ReadTimeout))

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        if len(buffer) <= _WRITE_PIECE:
            self._inner.write(buffer, _capped_timeout(timeout, httpcore.WriteTimeout))
            return
        for start in range(0, len(buffer), _WRITE_PIECE):
            piece = buffer[start : start + _WRITE_PIECE]
            self._inner.write(piece, _capped_timeout(timeout, httpcore.WriteTimeout))

    def close(self) -> None:
        self._inner.close()

    def start_tls(
        self,
        ssl_context: Any,
        server_hostname: str | None = None,
        timeout: float | None = None,
    ) -> httpcore.NetworkStream:
        capped = _capped_timeout(timeout, httpcore.ConnectTimeout)
        return _DeadlineStream(self._inner.start_tls(ssl_context, server_hostname, capped))

    def get_extra_info(self, info: str) -> Any:
        return self._inner.get_extra_info(info)


class _DeadlineBackend(httpcore.NetworkBackend):
    def __init__(self, inner: httpcore.NetworkBackend) -> None:
        self._inner = inner

    def connect_tcp(
        self,
        host: str,
        port: int,
        timeout: float | None = None,
        local_address: str | None = None,
        socket_options: Iterable[Any] | None = None,
    ) -> httpcore.NetworkStream:
        capped = _capped_timeout(timeout, httpcore.ConnectTimeout)
        stream = self._inner.connect_tcp(host, port, capped, local_address, socket_options)
        return _DeadlineStream(stream)

    def connect_unix_socket(
        self,
        path: str,
        timeout: float | None = None,
        socket_options: Iterable[Any] | None = None,
    ) -> httpcore.NetworkStream:
        capped = _capped_timeout(timeout, httpcore.ConnectTimeout)
        return _DeadlineStream(self._inner.connect_unix_socket(path, capped, socket_options))

    def sleep(self, seconds: float) -> None:
        self._inner.sleep(seconds)


def install_socket_deadlines(client: httpx.Client) -> bool:
    """Give ``client``'s transports sockets that keep the attempt's deadline.

    Only httpx's own transport (``httpx.HTTPTransport`` and its subclasses,
    with or without a proxy) has an httpcore pool to give a backend to; the
    pool's backend is not public, so it is looked up with care. True when
    every transport of the client now has it; otherwise the deadline of a sync
    attempt is looked at only as the body arrives. Connections the client had
    already opened keep their sockets as they were.
    """
    transports: list[Any] = [getattr(client, "_transport", None)]
    transports += [t for t in getattr(client, "_mounts", {}).values() if t is not None]
    installed = True
    for transport in transports:
        pool = (
            getattr(transport, "_pool", None)
            if isinstance(transport, httpx.HTTPTransport)
            else None
        )
        backend = getattr(pool, "_network_backend", None)
        if isinstance(backend, _DeadlineBackend):
            continue
        if not isinstance(backend, httpcore.NetworkBackend):
            installed = False
            continue
        pool._network_backend = _DeadlineBackend(backend)  # type: ignore[union-attr]
    return installed
