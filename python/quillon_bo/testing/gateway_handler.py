"""The local gateway's HTTP side: the requests it takes and what it answers.

The token endpoint checks a request as the real one does and refuses it with
the real endpoint's answer; a correct one gets the next scripted
:class:`~quillon_bo.testing.replies.Reply`, or a fresh token. The protected
resource takes the tokens the gateway issued. Every request is recorded
before any answer leaves.
"""

from __future__ import annotations

import base64
import binascii
import itertools
import json
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from email.message import Message
from typing import Any, NamedTuple
from urllib.parse import parse_qsl, urlsplit

from .replies import Reply, TokenShape, token_body
from .reply_writer import ReplyServer, ReplyWriter

__all__ = [
    "RESOURCE_PATH",
    "TOKEN_PATH",
    "TOKEN_QUERY",
    "GatewayHandler",
    "GatewayServer",
    "GatewayState",
    "RecordedRequest",
]

#: The token endpoint's path below the base URL, and its one accepted query.
TOKEN_PATH = "/oauth-client-credentials/access-token"
TOKEN_QUERY = [("grant_type", "client_credentials")]
#: A protected resource that wants ``Authorization: Bearer <token>``, with a
#: token the gateway issued.
RESOURCE_PATH = "/v1/ping"

_FORM = "application/x-www-form-urlencoded"


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
class GatewayState:
    """What the gateway and its handlers' threads share, under ``lock``."""

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

    def record(self, request: RecordedRequest) -> None:
        with self.lock:
            self.requests.append(request)

    def next_reply(self) -> Reply:
        with self.lock:
            reply = self.replies.popleft() if self.replies else self.default
        return reply or Reply()

    def new_token(self, *, accepted: bool) -> str:
        """A token never issued before; ``accepted``: the resource takes it."""
        with self.lock:
            token = f"tok-{next(self.counter)}-{id(self):x}"
            if accepted:
                self.issued.add(token)
        return token

    def accept(self, token: str) -> None:
        with self.lock:
            self.issued.add(token)

    def accepts(self, authorization: str) -> bool:
        scheme, _, token = authorization.partition(" ")
        with self.lock:
            return scheme.lower() == "bearer" and token in self.issued


class GatewayServer(ReplyServer):
    state: GatewayState


class Refusal(NamedTuple):
    """Why a token request was refused, and the real endpoint's answer."""

    reason: str
    status: int
    error: dict[str, str]
    headers: tuple[tuple[str, str], ...] = ()


def oauth_error(error: str, description: str) -> dict[str, str]:
    return {"error": error, "error_description": description}


def token_request_refusal(
    method: str, headers: Message, query: str, body: bytes, state: GatewayState
) -> Refusal | None:
    """What is wrong with a token request, checked in the real endpoint's order."""
    if method != "POST":
        error = oauth_error("invalid_request", "the token endpoint takes POST")
        return Refusal("method", 405, error)
    if parse_qsl(query, keep_blank_values=True) != TOKEN_QUERY:
        error = oauth_error("unsupported_grant_type", "grant_type=client_credentials")
        return Refusal("query", 400, error)
    if "application/json" not in headers.get("Accept", ""):
        error = oauth_error("invalid_request", "the endpoint answers in JSON")
        return Refusal("accept", 406, error)
    content_type = headers.get("Content-Type", "").split(";")[0].strip().lower()
    if content_type != _FORM:
        error = oauth_error("invalid_request", "form content type expected")
        return Refusal("content-type", 415, error)
    # No body is the usual request; a form body may repeat the grant type.
    form = parse_qsl(body.decode("latin-1"), keep_blank_values=True)
    if any(k != "grant_type" or v != "client_credentials" for k, v in form):
        return Refusal("body", 400, oauth_error("invalid_request", "unexpected form members"))
    if not _basic_ok(headers.get("Authorization", ""), state):
        error = oauth_error("invalid_client", "client authentication failed")
        return Refusal("credentials", 401, error, (("WWW-Authenticate", 'Basic realm="gateway"'),))
    return None


def _basic_ok(authorization: str, state: GatewayState) -> bool:
    scheme, _, encoded = authorization.partition(" ")
    if scheme != "Basic":
        return False
    try:
        decoded = base64.b64decode(encoded.strip(), validate=True).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError):
        return False
    return decoded == f"{state.client_id}:{state.client_secret}"


class GatewayHandler(ReplyWriter):
    """One connection to the gateway: routes, checks, records and answers."""

    protocol_version = "HTTP/1.1"
    server_version = "LocalGateway/1"
    sys_version = ""
    # An idle keep-alive connection ends after this many seconds.
    timeout = 30
    server: GatewayServer

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_GET(self) -> None:
        self._handle()

    do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_GET

    def _handle(self) -> None:
        state = self.server.state
        parts = urlsplit(self.path)
        body = self._read_body()
        if body is None:
            return
        headers = tuple((k, v) for k, v in self.headers.items())

        def record(rejected: str | None) -> None:
            # Before any answer leaves: a client that has its answer finds its
            # request among the recorded ones.
            state.record(
                RecordedRequest(
                    self.command, parts.path, parts.query, headers, body, rejected, time.monotonic()
                )
            )

        if parts.path == state.base_path + TOKEN_PATH:
            refusal = token_request_refusal(self.command, self.headers, parts.query, body, state)
            record(None if refusal is None else refusal.reason)
            if refusal is None:
                self._answer_token()
            else:
                self.send_json(refusal.status, refusal.error, refusal.headers)
        elif parts.path == state.base_path + RESOURCE_PATH:
            record(None)
            self._answer_resource()
        else:
            record("unknown path")
            self.send_json(404, oauth_error("not_found", "no such endpoint"))

    def _read_body(self) -> bytes | None:
        if self.headers.get("Transfer-Encoding"):
            self.send_json(411, oauth_error("invalid_request", "length required"))
            self.close_connection = True
            return None
        length = self.headers.get("Content-Length", "0")
        if not length.isdigit() or int(length) > 1 << 20:
            self.send_json(400, oauth_error("invalid_request", "bad length"))
            self.close_connection = True
            return None
        return self.rfile.read(int(length))

    def _answer_token(self) -> None:
        state = self.server.state
        reply = state.next_reply()
        if reply.delay and self.server.stopping.wait(reply.delay):
            reply = Reply.dropped()
        if reply.raw is not None:
            self.send_raw(reply)
            return
        if reply.hangup is not None and reply.hangup.body_bytes is None:
            self.hang_up(reset=reply.hangup.reset)
            return
        # A token whose body is cut off never reaches the client whole, so it
        # is not one the resource accepts.
        whole = reply.hangup is None
        if reply.body is None and reply.status == 200:
            shape = reply.shape or TokenShape(expires_in=state.expires_in)
            value = token_body(state.new_token(accepted=whole), shape)
            headers = (("Cache-Control", "no-store"), *reply.headers)
            self.send_body(200, json.dumps(value).encode(), "application/json", headers, reply)
            return
        body = reply.body or b""
        if reply.echo:
            body = self._echoed(body, reply.content_type)
        if reply.status == 200 and body and whole:
            self._accept_token_in(body)
        self.send_body(reply.status, body, reply.content_type, reply.headers, reply)

    def _echoed(self, body: bytes, content_type: str) -> bytes:
        """``body`` showing the request line and headers, as a debugging server does."""
        lines = [self.requestline, *(f"{k}: {v}" for k, v in self.headers.items())]
        shown = "\r\n".join(lines) + "\r\n"
        if content_type == "application/json":
            return json.dumps(oauth_error("server_error", shown)).encode()
        return body + shown.encode("latin-1")

    def _accept_token_in(self, body: bytes) -> None:
        """A scripted success body's token is one the resource takes."""
        try:
            value = json.loads(body)
        except ValueError:
            return
        if isinstance(value, dict) and isinstance(value.get("access_token"), str):
            self.server.state.accept(value["access_token"])

    def _answer_resource(self) -> None:
        if self.server.state.accepts(self.headers.get("Authorization", "")):
            self.send_json(200, {"ok": True})
        else:
            self.send_json(
                401,
                oauth_error("invalid_token", "the access token is missing, unknown or revoked"),
                (("WWW-Authenticate", 'Bearer error="invalid_token"'),),
            )
