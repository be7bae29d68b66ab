"""Scripted answers of the local gateway's token endpoint.

A :class:`Reply` says what the endpoint sends (a newly issued token, a body
of any shape, the request echoed back, or bytes that are not HTTP at all) and
how it sends it: after a delay, a few bytes at a time, or cut off by a closed
or reset connection. Its class methods build the usual cases; fields the
methods leave alone keep their defaults, so ``then`` replies combine.
"""

from __future__ import annotations

import dataclasses
import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

__all__ = ["Hangup", "Reply", "TokenShape", "token_body"]


@dataclass(frozen=True)
class TokenShape:
    """The members of a newly issued token's body; ``None`` leaves one out."""

    token_type: str | None = "Bearer"
    #: Any JSON value, a wrong one included.
    expires_in: Any = 3600
    scope: str | None = None
    #: Further members, added as they are.
    extra: Mapping[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Hangup:
    """How a reply ends its connection before the answer is complete."""

    #: Bytes of the body sent, after the status line and the headers (with
    #: the full ``Content-Length``), before the connection ends; ``None``: it
    #: ends before any answer at all.
    body_bytes: int | None = None
    #: A TCP reset rather than an orderly close.
    reset: bool = False


@dataclass(frozen=True)
class Reply:
    """One scripted answer of the token endpoint.

    A status of 200 with no ``body`` is a newly issued token, as the endpoint
    answers by default.
    """

    # What is sent.
    status: int = 200
    body: bytes | None = None
    content_type: str = "application/json"
    headers: tuple[tuple[str, str], ...] = ()
    #: The members of a newly issued token (see :meth:`token`); ``None``: the
    #: gateway's usual token.
    shape: TokenShape | None = None
    #: The request line and every request header, ``Authorization``
    #: included, shown in the body (see :meth:`echoing`).
    echo: bool = False
    #: The whole answer, sent as it is with no status line or headers added,
    #: before the connection is closed.
    raw: bytes | None = None

    # How it is sent.
    #: Seconds that pass before anything is sent.
    delay: float = 0.0
    #: Bytes at a time in which the body (after the headers, which go at
    #: once), or the ``raw`` answer, is sent.
    piece: int | None = None
    #: Seconds before each piece but the first.
    pause: float = 0.0
    #: The connection ends early (see :meth:`dropped`, :meth:`cut_short`).
    hangup: Hangup | None = None

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
        shape = TokenShape(token_type, expires_in, scope, dict(extra or {}))
        if access_token is None:
            return cls(status=status, shape=shape)
        return cls.json(status, token_body(access_token, shape))

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
        return dataclasses.replace(then or cls(), delay=seconds)

    @classmethod
    def dropped(cls, after: float = 0.0) -> Reply:
        """No answer: the connection is closed after ``after`` seconds."""
        return cls(delay=after, hangup=Hangup())

    @classmethod
    def reset(cls, after: float = 0.0) -> Reply:
        """No answer: the connection is ended with a TCP reset."""
        return cls(delay=after, hangup=Hangup(reset=True))

    @classmethod
    def cut_short(cls, body_bytes: int, then: Reply | None = None, *, rst: bool = False) -> Reply:
        """``then`` (a newly issued token by default) with only the first
        ``body_bytes`` bytes of its body sent before the connection ends."""
        if body_bytes < 0:
            raise ValueError("body_bytes must not be negative")
        return dataclasses.replace(then or cls(), hangup=Hangup(body_bytes, rst))

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


def token_body(access_token: str, shape: TokenShape) -> dict[str, Any]:
    """A token answer's JSON members: ``access_token`` and what ``shape`` keeps."""
    value: dict[str, Any] = {"access_token": access_token}
    if shape.token_type is not None:
        value["token_type"] = shape.token_type
    if shape.expires_in is not None:
        value["expires_in"] = shape.expires_in
    if shape.scope is not None:
        value["scope"] = shape.scope
    value.update(shape.extra)
    return value
