"""A real local gateway for tests and demonstrations.

:class:`LocalGateway` is a threaded HTTP server on 127.0.0.1 (any free port)
with the gateway's token endpoint and one protected resource. The token
endpoint checks what a correct client sends (method, path, query, headers,
Basic credentials) and then answers with a fresh token, or with whatever
:class:`Reply` objects it was told to give: success bodies of any shape,
RFC 6749 error bodies, HTML error pages, empty or malformed bodies, slow
answers, answers trickled a few bytes at a time, dropped or reset
connections, answers cut off part way and bytes that are not HTTP at all. It
counts and records every request.

    with LocalGateway() as gateway:
        client = quillon_bo.Client(gateway.config())
        gateway.enqueue(Reply.oauth_error(401, "invalid_client"))
        ...
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import itertools
import json
import socket
import struct
import sys
import threading
import time
from collections import deque
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import Any
from urllib.parse import parse_qsl, urlsplit

from .config import Config

__all__ = [
    "DEMO_CLIENT_ID",
    "DEMO_CLIENT_SECRET",
    "RESOURCE_PATH",
    "TOKEN_PATH",
    "LocalGateway",
    "RecordedRequest",
    "Reply",
    "StalledEndpoint",
]

#: Built-in credentials of the demonstration gateway.
DEMO_CLIENT_ID = "demo-client"
DEMO_CLIENT_SECRET = "demo-secret-3f9a1c"

#: The token endpoint's path below the base URL, and its one accepted query.
TOKEN_PATH = "/oauth-client-credentials/access-token"
TOKEN_QUERY = [("grant_type", "client_credentials")]
#: A protected resource that wants "Authorization: Bearer <issued token>".
RESOURCE_PATH = "/v1/ping"

_FORM = "application/x-www-form-urlencoded"

#: Why a token request was refused, and the answer: status, body, extra headers.
_Refusal = tuple[str, int, dict[str, str], tuple[tuple[str, str], ...]]


@dataclass(frozen=True)
class Reply:
    """One scripted answer of the token endpoint.

    ``delay`` seconds pass before it is sent; ``drop`` closes the connection
    without any answer (after the delay). ``cut`` sends the status line, the
    headers (with the full ``Content-Length``) and only the first ``cut`` bytes
    of the body, then closes the connection. ``rst`` ends a dropped or cut
    connection with a TCP reset instead of an orderly close. ``raw`` bytes are
    the whole answer, sent as they are with no status line or headers added,
    before the connection is closed. ``piece`` sends the body (after the
    headers, which go at once), or the ``raw`` answer, ``piece`` bytes at a
    time with ``pause`` seconds before each piece but the first. A body of
    ``None`` with status 200 means "a newly issued token", as the endpoint
    answers by default. ``echo`` shows the request line and every request
    header, ``Authorization`` included, in the answer (see :meth:`echoing`).
    """

    status: int = 200
    body: bytes | None = None
    content_type: str = "application/json"
    headers: tuple[tuple[str, str], ...] = ()
    delay: float = 0.0
    drop: bool = False
    cut: int | None = None
    rst: bool = False
    raw: bytes | None = None
    piece: int | None = None
    pause: float = 0.0
    #: Members of a newly issued token's body (see :meth:`token`).
    shape: Mapping[str, Any] | None = None
    echo: bool = False

    @classmethod
    def token(
        cls,
        access_token: str | None = None,
        *,
        token_type: str | None = "Bearer",
        expires_in: Any = 3600,
        scope: str | None = None,
        extra: Mapping[str, Any] | None = None,
        status: int = 200,
    ) -> Reply:
        """A success body; ``None`` leaves a member out (``access_token=None``
        issues a fresh one). ``expires_in`` may be any JSON value."""
        if access_token is None:
            shape = {
                "token_type": token_type,
                "expires_in": expires_in,
                "scope": scope,
                "extra": dict(extra or {}),
            }
            return cls(status=status, shape=shape)
        return cls.json(status, _token_body(access_token, token_type, expires_in, scope, extra))

    @classmethod
    def json(cls, status: int, value: Any) -> Reply:
        return cls(status=status, body=json.dumps(value).encode())

    @classmethod
    def oauth_error(
        cls, status: int = 401, error: str = "invalid_client", description: str | None = None
    ) -> Reply:
        """An RFC 6749 error body: ``{"error": ..., "error_description": ...}``."""
        value: dict[str, str] = {"error": error}
        if description is not None:
            value["error_description"] = description
        return cls.json(status, value)

    @classmethod
    def unavailable(
        cls, status: int = 503, retry_after: str | float | None = None, *, text: str | None = None
    ) -> Reply:
        """An answer that says "not now" rather than "no": ``status`` (429 too
        many requests, 502, 503, 504) with an RFC 6749 error body and, when
        given, a ``Retry-After`` header (seconds, or an HTTP date, sent as
        given). ``text`` replaces the error description."""
        error = "slow_down" if status == 429 else "temporarily_unavailable"
        reply = cls.oauth_error(status, error, text or f"try again later ({status})")
        if retry_after is None:
            return reply
        value = f"{retry_after:g}" if isinstance(retry_after, (int, float)) else retry_after
        return dataclasses.replace(reply, headers=(("Retry-After", value),))

    @classmethod
    def html(cls, status: int = 502, title: str = "Bad Gateway") -> Reply:
        page = (
            f"<html>\r\n<head><title>{status} {title}</title></head>\r\n<body>\r\n"
            f"<center><h1>{status} {title}</h1></center>\r\n</body>\r\n</html>\r\n"
        )
        return cls(status=status, body=page.encode(), content_type="text/html")

    @classmethod
    def echoing(cls, status: int = 500, content_type: str = "application/json") -> Reply:
        """An error answer that shows the request's headers, credentials and
        all, as a debugging server does: the ``error_description`` of an RFC
        6749 error body, or the lines of a text page."""
        return cls(status=status, body=b"", content_type=content_type, echo=True)

    @classmethod
    def text(cls, status: int, text: str | bytes, content_type: str = "text/plain") -> Reply:
        data = text.encode() if isinstance(text, str) else text
        return cls(status=status, body=data, content_type=content_type)

    @classmethod
    def empty(cls, status: int = 200) -> Reply:
        return cls(status=status, body=b"")

    @classmethod
    def malformed(cls, status: int = 200) -> Reply:
        """A body cut off in the middle of a JSON object."""
        return cls(status=status, body=b'{"access_token": "tok", "expires_in": 36')

    @classmethod
    def slow(cls, seconds: float, then: Reply | None = None) -> Reply:
        base = then or cls()
        return dataclasses.replace(base, delay=seconds)

    @classmethod
    def dropped(cls, after: float = 0.0) -> Reply:
        return cls(delay=after, drop=True)

    @classmethod
    def reset(cls, after: float = 0.0) -> Reply:
        """No answer: the connection is ended with a TCP reset."""
        return cls(delay=after, drop=True, rst=True)

    @classmethod
    def cut_short(cls, body_bytes: int, then: Reply | None = None, *, rst: bool = False) -> Reply:
        """``then`` (a newly issued token by default) with only the first
        ``body_bytes`` bytes of its body sent before the connection ends."""
        if body_bytes < 0:
            raise ValueError("body_bytes must not be negative")
        return dataclasses.replace(then or cls(), cut=body_bytes, rst=rst)

    @classmethod
    def trickle(cls, piece: int = 1, pause: float = 0.05, then: Reply | None = None) -> Reply:
        """``then`` (a newly issued token by default) with its body sent
        ``piece`` bytes at a time, ``pause`` seconds apart: each read of the
        client's gets something well within its read time-out, however long
        the whole body takes."""
        if piece < 1 or pause < 0:
            raise ValueError("piece must be positive and pause not negative")
        return dataclasses.replace(then or cls(), piece=piece, pause=pause)

    @classmethod
    def garbage(cls, data: bytes) -> Reply:
        """``data`` as the whole answer, in place of any HTTP response."""
        return cls(raw=data)


def _token_body(
    access_token: str,
    token_type: str | None,
    expires_in: Any,
    scope: str | None,
    extra: Mapping[str, Any] | None,
) -> dict[str, Any]:
    value: dict[str, Any] = {"access_token": access_token}
    if token_type is not None:
        value["token_type"] = token_type
    if expires_in is not None:
        value["expires_in"] = expires_in
    if scope is not None:
        value["scope"] = scope
    value.update(extra or {})
    return value


@dataclass(frozen=True)
class RecordedRequest:
    """What the gateway received; ``rejected`` says why a check refused it,
    ``at`` when the whole request was in (``time.monotonic()``)."""

    method: str
    path: str
    query: str
    headers: tuple[tuple[str, str], ...]
    body: bytes
    rejected: str | None = None
    at: float = 0.0

    def header(self, name: str) -> str | None:
        lower = name.lower()
        return next((v for k, v in self.headers if k.lower() == lower), None)

    def __repr__(self) -> str:
        # Recorded credentials stay out of test output.
        shown = tuple(
            (k, "<hidden>" if k.lower() == "authorization" else v) for k, v in self.headers
        )
        return (
            f"RecordedRequest(method={self.method!r}, path={self.path!r}, "
            f"query={self.query!r}, headers={shown!r}, body=<{len(self.body)} bytes>, "
            f"rejected={self.rejected!r})"
        )


@dataclass
class _State:
    client_id: str
    client_secret: str
    base_path: str
    expires_in: int
    lock: threading.Lock = field(default_factory=threading.Lock)
    replies: deque[Reply] = field(default_factory=deque)
    default: Reply | None = None
    requests: list[RecordedRequest] = field(default_factory=list)
    issued: set[str] = field(default_factory=set)
    counter: itertools.count[int] = field(default_factory=lambda: itertools.count(1))
    stopping: threading.Event = field(default_factory=threading.Event)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    state: _State

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (a time-out, a closed connection) leaves its
        # handler writing to a dead socket; that is what the fault tests want,
        # not something to print a traceback for. Anything else is a fault of
        # the gateway itself and is reported as usual.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LocalGateway/1"
    sys_version = ""
    # An idle keep-alive connection ends after this many seconds.
    timeout = 30
    # Headers and body leave in two writes; with Nagle's algorithm the second
    # waits for the client's delayed ACK (some 40 ms on Linux).
    disable_nagle_algorithm = True
    server: _Server

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_GET(self) -> None:
        self._handle()

    do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_GET

    # -- one request ------------------------------------------------------

    def _handle(self) -> None:
        state = self.server.state
        parts = urlsplit(self.path)
        body = self._read_body()
        if body is None:
            return
        headers = tuple((k, v) for k, v in self.headers.items())
        base = state.base_path
        if parts.path == base + TOKEN_PATH:
            refusal = self._check_token_request(parts.query, body)
            # Recorded before any answer leaves: a client that has its answer
            # finds its request among the recorded ones.
            self._record(parts.path, parts.query, headers, body, refusal and refusal[0])
            if refusal is None:
                self._answer_token()
            else:
                self._send(refusal[1], refusal[2], extra=refusal[3])
        elif parts.path == base + RESOURCE_PATH:
            self._record(parts.path, parts.query, headers, body, None)
            self._answer_resource()
        else:
            self._record(parts.path, parts.query, headers, body, "unknown path")
            self._send(404, {"error": "not_found", "error_description": "no such endpoint"})

    def _read_body(self) -> bytes | None:
        if self.headers.get("Transfer-Encoding"):
            self._send(411, {"error": "invalid_request", "error_description": "length required"})
            self.close_connection = True
            return None
        length = self.headers.get("Content-Length", "0")
        if not length.isdigit() or int(length) > 1 << 20:
            self._send(400, {"error": "invalid_request", "error_description": "bad length"})
            self.close_connection = True
            return None
        return self.rfile.read(int(length))

    def _record(
        self,
        path: str,
        query: str,
        headers: tuple[tuple[str, str], ...],
        body: bytes,
        rejected: str | None,
    ) -> None:
        state = self.server.state
        with state.lock:
            state.requests.append(
                RecordedRequest(
                    self.command, path, query, headers, body, rejected, time.monotonic()
                )
            )

    def _check_token_request(self, query: str, body: bytes) -> _Refusal | None:
        """What was wrong with a token request, and the real endpoint's answer to it."""
        state = self.server.state
        if self.command != "POST":
            return "method", 405, _oauth("invalid_request", "the token endpoint takes POST"), ()
        if parse_qsl(query, keep_blank_values=True) != TOKEN_QUERY:
            refused = _oauth("unsupported_grant_type", "grant_type=client_credentials")
            return "query", 400, refused, ()
        accept = self.headers.get("Accept", "")
        if "application/json" not in accept:
            return "accept", 406, _oauth("invalid_request", "the endpoint answers in JSON"), ()
        content_type = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
        if content_type != _FORM:
            return "content-type", 415, _oauth("invalid_request", "form content type expected"), ()
        # No body is the usual request; a form body may repeat the grant type.
        form = parse_qsl(body.decode("latin-1"), keep_blank_values=True)
        if any(k != "grant_type" or v != "client_credentials" for k, v in form):
            return "body", 400, _oauth("invalid_request", "unexpected form members"), ()
        if not self._basic_ok(state):
            refused = _oauth("invalid_client", "client authentication failed")
            return "credentials", 401, refused, (("WWW-Authenticate", 'Basic realm="gateway"'),)
        return None

    def _basic_ok(self, state: _State) -> bool:
        header = self.headers.get("Authorization", "")
        scheme, _, encoded = header.partition(" ")
        if scheme != "Basic":
            return False
        try:
            decoded = base64.b64decode(encoded.strip(), validate=True).decode("utf-8")
        except (binascii.Error, UnicodeDecodeError):
            return False
        return decoded == f"{state.client_id}:{state.client_secret}"

    def _answer_token(self) -> None:
        state = self.server.state
        with state.lock:
            reply = state.replies.popleft() if state.replies else state.default
        reply = reply or Reply()
        if reply.delay and state.stopping.wait(reply.delay):
            reply = Reply(drop=True)
        if reply.raw is not None:
            if reply.piece is None:
                self.wfile.write(reply.raw)
            else:
                self._write_trickled(reply.raw, reply.piece, reply.pause)
            self.close_connection = True
            return
        if reply.drop:
            self._end_connection(reply.rst)
            return
        if reply.body is None and reply.status == 200:
            self._issue(reply)
            return
        body = reply.body or b""
        if reply.echo:
            lines = [self.requestline, *(f"{k}: {v}" for k, v in self.headers.items())]
            shown = "\r\n".join(lines) + "\r\n"
            if reply.content_type == "application/json":
                body = json.dumps(_oauth("server_error", shown)).encode()
            else:
                body += shown.encode("latin-1")
        # A token whose body is cut off never reaches the client whole, so it
        # is not one the resource accepts.
        if reply.status == 200 and body and reply.cut is None:
            self._remember_token(body)
        self._send_raw(reply.status, body, reply.content_type, reply.headers, reply)

    def _end_connection(self, rst: bool) -> None:
        """Close the connection now: an orderly close, or a TCP reset."""
        self.close_connection = True
        if not rst:
            return
        # With a zero linger time, close() discards anything unsent and sends
        # RST; the reading side of the socket holds its own reference, which
        # must go too before the socket really closes.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.rfile.close()
        self.connection.close()

    def _issue(self, reply: Reply) -> None:
        state = self.server.state
        shape = reply.shape or {
            "token_type": "Bearer",
            "expires_in": state.expires_in,
            "scope": None,
            "extra": {},
        }
        with state.lock:
            token = f"tok-{next(state.counter)}-{id(state):x}"
            if reply.cut is None:
                state.issued.add(token)
        value = _token_body(
            token, shape["token_type"], shape["expires_in"], shape["scope"], shape["extra"]
        )
        self._send(200, value, extra=(("Cache-Control", "no-store"), *reply.headers), reply=reply)

    def _remember_token(self, body: bytes) -> None:
        try:
            value = json.loads(body)
        except ValueError:
            return
        if isinstance(value, dict) and isinstance(value.get("access_token"), str):
            with self.server.state.lock:
                self.server.state.issued.add(value["access_token"])

    def _answer_resource(self) -> None:
        if _accepts(self.server.state, self.headers.get("Authorization", "")):
            self._send(200, {"ok": True})
        else:
            self._send(
                401,
                _oauth("invalid_token", "the access token is missing, unknown or revoked"),
                extra=(("WWW-Authenticate", 'Bearer error="invalid_token"'),),
            )

    def _send(
        self,
        status: int,
        value: Any,
        extra: tuple[tuple[str, str], ...] = (),
        reply: Reply | None = None,
    ) -> None:
        self._send_raw(status, json.dumps(value).encode(), "application/json", extra, reply)

    def _send_raw(
        self,
        status: int,
        body: bytes,
        content_type: str,
        extra: Iterable[tuple[str, str]] = (),
        reply: Reply | None = None,
    ) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        cut = None if reply is None else reply.cut
        if self.command != "HEAD":
            data = body if cut is None else body[:cut]
            if reply is not None and reply.piece is not None:
                if not self._write_trickled(data, reply.piece, reply.pause):
                    return
            else:
                self.wfile.write(data)
        if cut is not None and reply is not None:
            self._end_connection(reply.rst)

    def _write_trickled(self, data: bytes, piece: int, pause: float) -> bool:
        """Write ``data`` in pieces; False if the gateway stopped part way."""
        stopping = self.server.state.stopping
        for start in range(0, len(data), piece):
            if start and stopping.wait(pause):
                self.close_connection = True
                return False
            # The write socket is unbuffered: each piece leaves as it is.
            self.wfile.write(data[start : start + piece])
        return True


def _accepts(state: _State, authorization: str) -> bool:
    scheme, _, token = authorization.partition(" ")
    with state.lock:
        return scheme.lower() == "bearer" and token in state.issued


def _oauth(error: str, description: str) -> dict[str, str]:
    return {"error": error, "error_description": description}


class LocalGateway:
    """The gateway's token endpoint (and one protected resource) on 127.0.0.1.

    ``base_path`` is put before every endpoint path, as the gateway's
    environments do. Tokens it issues live ``expires_in`` seconds.
    """

    def __init__(
        self,
        client_id: str = DEMO_CLIENT_ID,
        client_secret: str = DEMO_CLIENT_SECRET,
        *,
        base_path: str = "/sandbox",
        expires_in: int = 3600,
        port: int = 0,
    ) -> None:
        self._state = _State(client_id, client_secret, base_path.rstrip("/"), expires_in)
        self._port = port
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None

    def __repr__(self) -> str:
        where = self.base_url if self._server else "stopped"
        return f"LocalGateway({where})"

    # -- life cycle -------------------------------------------------------

    def start(self) -> LocalGateway:
        if self._server is not None:
            return self
        server = _Server(("127.0.0.1", self._port), _Handler)
        server.state = self._state
        self._state.stopping.clear()
        self._server = server
        self._thread = threading.Thread(
            target=server.serve_forever,
            kwargs={"poll_interval": 0.05},
            daemon=True,
            name="LocalGateway",
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        server, self._server = self._server, None
        if server is None:
            return
        self._state.stopping.set()
        server.shutdown()
        server.server_close()
        if self._thread is not None:
            self._thread.join()

    def __enter__(self) -> LocalGateway:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()

    # -- where it is ------------------------------------------------------

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("the gateway is not running")
        return int(self._server.server_address[1])

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}{self._state.base_path}"

    @property
    def token_url(self) -> str:
        return f"{self.base_url}{TOKEN_PATH}?grant_type=client_credentials"

    @property
    def resource_url(self) -> str:
        return self.base_url + RESOURCE_PATH

    @property
    def client_id(self) -> str:
        return self._state.client_id

    @property
    def client_secret(self) -> str:
        return self._state.client_secret

    def config(self, **overrides: Any) -> Config:
        """A configuration that reaches this gateway with its credentials."""
        values: dict[str, Any] = {
            "client_id": self._state.client_id,
            "client_secret": self._state.client_secret,
            "base_url": self.base_url,
        }
        values.update(overrides)
        return Config(**values)

    # -- what it answers --------------------------------------------------

    def enqueue(self, *replies: Reply) -> None:
        """Answer the next correct token requests with these, in order."""
        with self._state.lock:
            self._state.replies.extend(replies)

    def always(self, reply: Reply | None) -> None:
        """Answer every correct token request with ``reply`` once the queue is
        empty (``None``: issue fresh tokens again)."""
        with self._state.lock:
            self._state.default = reply

    def accepts(self, authorization: str) -> bool:
        """Whether the protected resource takes this ``Authorization`` value:
        a bearer token that this gateway issued and has not revoked. Your own
        test servers can ask the same."""
        return _accepts(self._state, authorization)

    def revoke_tokens(self) -> None:
        """Forget every issued token: the resource answers 401 to them."""
        with self._state.lock:
            self._state.issued.clear()

    def reset(self) -> None:
        """Forget requests, scripted replies and issued tokens."""
        with self._state.lock:
            self._state.replies.clear()
            self._state.default = None
            self._state.requests.clear()
            self._state.issued.clear()

    # -- what it got ------------------------------------------------------

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._state.lock:
            return list(self._state.requests)

    @property
    def request_count(self) -> int:
        with self._state.lock:
            return len(self._state.requests)

    @property
    def token_requests(self) -> int:
        """Requests that reached the token endpoint's path, accepted or not."""
        path = self._state.base_path + TOKEN_PATH
        with self._state.lock:
            return sum(1 for r in self._state.requests if r.path == path)

    @property
    def resource_requests(self) -> int:
        path = self._state.base_path + RESOURCE_PATH
        with self._state.lock:
            return sum(1 for r in self._state.requests if r.path == path)


class StalledEndpoint:
    """A port on 127.0.0.1 that holds an HTTP client in one phase of its request.

    ``"connect"``: the port listens but its backlog is full and it never
    accepts, so a client's connection attempt waits without an answer.
    ``"send"``: connections are accepted with a small receive buffer and the
    request is read ``piece`` bytes every ``pause`` seconds and never
    answered, so a large request is sent a little at a time, each write of the
    client's making progress well within its time-out. (Headers and bodies
    that trickle in are the gateway's :meth:`Reply.trickle`.)

        with StalledEndpoint("send") as endpoint:
            config = quillon_bo.Config("id", client_secret="s", base_url=endpoint.base_url)
    """

    PHASES = ("connect", "send")

    def __init__(self, phase: str, *, piece: int = 1024, pause: float = 0.05) -> None:
        if phase not in self.PHASES:
            raise ValueError(f"phase must be one of {', '.join(self.PHASES)}")
        self.phase = phase
        self.piece = piece
        self.pause = pause
        #: Bytes of requests read so far.
        self.received = 0
        self._sockets: list[socket.socket] = []
        self._listener: socket.socket | None = None
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []
        self._lock = threading.Lock()

    def __repr__(self) -> str:
        where = self.base_url if self._listener else "stopped"
        return f"StalledEndpoint({self.phase!r}, {where})"

    def start(self) -> StalledEndpoint:
        if self._listener is not None:
            return self
        self._stopping.clear()
        listener = socket.socket()
        if self.phase == "send":
            # Set before listen, so accepted connections start with it and the
            # client's writes fill the window at once.
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        listener.bind(("127.0.0.1", 0))
        self._listener = listener
        if self.phase == "connect":
            listener.listen(0)
            # One connection completes and fills the backlog; with nobody
            # accepting, the kernel drops every later handshake's first packet.
            self._sockets.append(socket.create_connection(listener.getsockname(), timeout=5))
        else:
            listener.listen(8)
            listener.settimeout(0.05)
            self._spawn(self._accept)
        return self

    def stop(self) -> None:
        listener, self._listener = self._listener, None
        if listener is None:
            return
        self._stopping.set()
        for thread in self._threads:
            thread.join()
        self._threads.clear()
        for sock in self._sockets:
            sock.close()
        self._sockets.clear()
        listener.close()

    def __enter__(self) -> StalledEndpoint:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._listener is None:
            raise RuntimeError("the endpoint is not running")
        return int(self._listener.getsockname()[1])

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}/sandbox"

    def _spawn(self, target: Any, *args: Any) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True, name="StalledEndpoint")
        self._threads.append(thread)
        thread.start()

    def _accept(self) -> None:
        listener = self._listener
        assert listener is not None
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
