"""How a scripted reply goes on the wire: paced, cut short, or hung up on.

:class:`ReplyServer` is a threaded HTTP server whose handlers, built on
:class:`ReplyWriter`, write what a :class:`~quillon_bo.testing.replies.Reply`
says. What to answer is the handler's own choice.
"""

from __future__ import annotations

import json
import socket
import struct
import sys
import threading
from collections.abc import Iterable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from .replies import Reply

__all__ = ["ReplyServer", "ReplyWriter"]


class ReplyServer(ThreadingHTTPServer):
    """A threaded HTTP server, one daemon thread a connection."""

    daemon_threads = True
    #: Set when the server stops: a delay or a paced write ends at once.
    stopping: threading.Event

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (a time-out, a closed connection) leaves its
        # handler writing to a dead socket; that is what the fault tests want,
        # not something to print a traceback for. Anything else is a fault of
        # the server itself and is reported as usual.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)


class ReplyWriter(BaseHTTPRequestHandler):
    """A request handler that writes answers as a :class:`Reply` paces and cuts them."""

    # Headers and body leave in two writes; with Nagle's algorithm the second
    # waits for the client's delayed ACK (some 40 ms on Linux).
    disable_nagle_algorithm = True
    server: ReplyServer

    def send_json(self, status: int, value: Any, headers: Iterable[tuple[str, str]] = ()) -> None:
        self.send_body(status, json.dumps(value).encode(), "application/json", headers)

    def send_body(
        self,
        status: int,
        body: bytes,
        content_type: str,
        headers: Iterable[tuple[str, str]] = (),
        reply: Reply | None = None,
    ) -> None:
        """The status line, the headers and ``body``, paced and cut as ``reply`` says."""
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        hangup = None if reply is None else reply.hangup
        if self.command != "HEAD":
            data = body if hangup is None else body[: hangup.body_bytes]
            if not self.write_paced(data, reply):
                return
        if hangup is not None:
            self.hang_up(reset=hangup.reset)

    def send_raw(self, reply: Reply) -> None:
        """``reply.raw`` as the whole answer, then the connection closes."""
        assert reply.raw is not None
        self.write_paced(reply.raw, reply)
        self.close_connection = True

    def write_paced(self, data: bytes, reply: Reply | None) -> bool:
        """Write ``data`` in ``reply``'s pieces, or at once; False if the
        server stopped part way."""
        if reply is None or reply.piece is None:
            self.wfile.write(data)
            return True
        for start in range(0, len(data), reply.piece):
            if start and self.server.stopping.wait(reply.pause):
                self.close_connection = True
                return False
            # The write socket is unbuffered: each piece leaves as it is.
            self.wfile.write(data[start : start + reply.piece])
        return True

    def hang_up(self, *, reset: bool) -> None:
        """Close the connection now: an orderly close, or a TCP reset."""
        self.close_connection = True
        if not reset:
            return
        # With a zero linger time, close() discards anything unsent and sends
        # RST; the reading side of the socket holds its own reference, which
        # must go too before the socket really closes.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.rfile.close()
        self.connection.close()
