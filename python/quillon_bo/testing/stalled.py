"""A port that holds an HTTP client in the connect or the send phase of its request."""

from __future__ import annotations

import socket
import threading

from .local_server import LocalServer

__all__ = ["StalledEndpoint"]


class StalledEndpoint(LocalServer):
    """A port on 127.0.0.1 that holds an HTTP client in one phase of its request.

    ``"connect"``: the port listens but its backlog is full and it never
    accepts, so a client's connection attempt waits without an answer.
    ``"send"``: connections are accepted with a small receive buffer and the
    request is read ``piece`` bytes every ``pause`` seconds and never
    answered, so a large request is sent a little at a time, each write of the
    client's making progress well within its time-out. (Headers and bodies
    that trickle in are the gateway's :meth:`~quillon_bo.testing.Reply.trickle`.)

        with StalledEndpoint("send") as endpoint:
            config = quillon_bo.Config("id", client_secret="s", base_url=endpoint.base_url)
    """

    PHASES = ("connect", "send")
    _noun = "endpoint"

    def __init__(self, phase: str, *, piece: int = 1024, pause: float = 0.05) -> None:
        if phase not in self.PHASES:
            raise ValueError(f"phase must be one of {', '.join(self.PHASES)}")
        super().__init__(base_path="/sandbox")
        self.phase = phase
        self.piece = piece
        self.pause = pause
        #: Bytes of requests read so far.
        self.received = 0
        self._listener: socket.socket | None = None
        self._sockets: list[socket.socket] = []
        self._lock = threading.Lock()

    def _repr_args(self) -> list[str]:
        return [repr(self.phase)]

    def _listen(self, host: str, port: int) -> int:
        listener = socket.socket()
        if self.phase == "send":
            # Set before listen, so accepted connections start with it and the
            # client's writes fill the window at once.
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        listener.bind((host, port))
        self._listener = listener
        if self.phase == "connect":
            listener.listen(0)
            # One connection completes and fills the backlog; with nobody
            # accepting, the kernel drops every later handshake's first packet.
            self._sockets.append(socket.create_connection(listener.getsockname(), timeout=5))
        else:
            listener.listen(8)
            listener.settimeout(0.05)
            self._spawn(self._accept, listener)
        return int(listener.getsockname()[1])

    def _interrupt(self) -> None:
        # Its threads look at the stop event at least every 0.05 s.
        pass

    def _close(self) -> None:
        for sock in self._sockets:
            sock.close()
        self._sockets.clear()
        if self._listener is not None:
            self._listener.close()
            self._listener = None

    def _accept(self, listener: socket.socket) -> None:
        while not self._stopping.is_set():
            try:
                conn, _ = listener.accept()
            except (TimeoutError, OSError):
                continue
            self._sockets.append(conn)
            self._spawn(self._read_slowly, conn)

    def _read_slowly(self, conn: socket.socket) -> None:
        conn.settimeout(0.05)
        while not self._stopping.wait(self.pause):
            try:
                data = conn.recv(self.piece)
            except TimeoutError:
                continue
            except OSError:
                return
            if not data:
                return
            with self._lock:
                self.received += len(data)
