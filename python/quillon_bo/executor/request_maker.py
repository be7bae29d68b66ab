"""The ``httpx.Request`` that an operation's build stage describes, made exactly
as described: headers checked as HTTP accepts them, a ``User-Agent`` added when
the core gives none, each URL parsed once."""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any

import httpx

from .._redact import excerpt
from .._version import USER_AGENT
from ..config import Config
from ..errors import TransportError
from .failures import failure_reason, secrets_of

__all__ = ["RequestMaker"]

# A header value as HTTP/1.1 (and h11, under httpx) accepts it: no NUL, no line
# break, no white space at either end. h11 refuses any other value with a
# message that quotes it whole, and the Authorization value is the credential.
_HEADER_VALUE = re.compile(rb"(?:[^\x00\s]+(?:[ \t]+[^\x00\s]+)*)?")

# Parsed URLs kept at most: an operation asks for the same few over and over.
_URLS_KEPT = 64


class RequestMaker:
    """Makes the requests of one configuration's operations."""

    def __init__(self, config: Config) -> None:
        self._config = config
        self._urls: dict[str, httpx.URL] = {}

    def make(self, described: Mapping[str, Any], timeout: httpx.Timeout | None) -> httpx.Request:
        """The request ``described`` (the build stage's value), sent with ``timeout``
        (None: the httpx client's own)."""
        body = described.get("body")
        headers = [
            (name.encode("utf-8"), value.encode("utf-8"))
            for name, value in described.get("headers", {}).items()
        ]
        # httpx adds no User-Agent to a request built on its own, nor does a
        # client's send() add the client's default headers: without this the
        # request carries none, which some gateways and firewalls refuse.
        if all(name.lower() != b"user-agent" for name, _ in headers):
            headers.append((b"User-Agent", USER_AGENT.encode("ascii")))
        for name, value in headers:
            if _HEADER_VALUE.fullmatch(value) is None:
                # Named, never quoted: the value may be a credential (a ready
                # Basic token with a line break in it, say).
                raise TransportError(
                    f"the request was not sent: its {name.decode('utf-8', 'replace')} header "
                    "holds a line break, a NUL or white space at an end, which HTTP refuses",
                    retryable=False,
                    attempts=0,
                )
        try:
            request = httpx.Request(
                described["method"],
                self._parsed_url(described["url"]),
                headers=headers,
                content=None if body is None else body.encode("utf-8"),
            )
        except (httpx.InvalidURL, httpx.UnsupportedProtocol) as exc:
            text = excerpt(failure_reason(exc), secrets_of(self._config, None))
            raise TransportError(
                f"{type(exc).__name__}: {text}",
                original=exc,
                retryable=False,
                attempts=0,
            ) from exc
        if timeout is not None:
            request.extensions["timeout"] = timeout.as_dict()
        return request

    def _parsed_url(self, text: str) -> httpx.URL:
        # Parsing a URL is a good part of making a request.
        url = self._urls.get(text)
        if url is None:
            url = httpx.URL(text)
            if len(self._urls) >= _URLS_KEPT:
                self._urls.clear()
            self._urls[text] = url
        return url
