"""Exceptions raised by the client.

Every failure the core reports arrives as a JSON error object with a ``kind``;
each kind has its own exception class here, carrying the core's message
unchanged (``str(exc)`` is exactly that message). Failures of the HTTP exchange
itself (refused connection, timeout, TLS, dropped or cut-off connection, an
answer that is not HTTP) never reach the core and are raised as
:class:`TransportError`, wrapping the httpx exception.

None of these exceptions ever holds a credential or a token: their texts come
from the core's messages, which are made from the gateway's answer, never from
the configuration's secrets.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, ClassVar

__all__ = [
    "AmbiguousError",
    "ApiError",
    "ApiFieldError",
    "AuthenticationError",
    "DecodeError",
    "FfiError",
    "QuillonError",
    "TransportError",
    "ValidationError",
    "WebhookAuthError",
    "error_from_json",
]


@dataclass(frozen=True, slots=True)
class ApiFieldError:
    """One field-level error reported by the remote side."""

    message: str
    field: str | None = None
    code: str | None = None


class QuillonError(Exception):
    """Base class of every error raised by this package."""

    kind: ClassVar[str] = ""

    def __init__(self, message: str, *, retryable: bool = False) -> None:
        super().__init__(message)
        self.message = message
        self.retryable = retryable

    def __str__(self) -> str:
        return self.message

    def _details(self) -> str:
        return ""

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.message!r}{self._details()})"


class ValidationError(QuillonError):
    """The configuration or an input was refused before any request was made."""

    kind = "validation"

    def __init__(self, message: str, *, field: str) -> None:
        super().__init__(message)
        self.field = field

    def _details(self) -> str:
        return f", field={self.field!r}"


class AuthenticationError(QuillonError):
    """The token endpoint refused the client (any status outside 200..299)."""

    kind = "authentication"

    def __init__(self, message: str, *, status: int) -> None:
        super().__init__(message)
        self.status = status

    def _details(self) -> str:
        return f", status={self.status}"


class ApiError(QuillonError):
    """The gateway answered an operation with an error."""

    kind = "api"

    def __init__(
        self,
        message: str,
        *,
        status: int,
        errors: tuple[ApiFieldError, ...] = (),
        retryable: bool = False,
    ) -> None:
        super().__init__(message, retryable=retryable)
        self.status = status
        self.errors = errors

    def _details(self) -> str:
        return f", status={self.status}, errors={list(self.errors)!r}, retryable={self.retryable}"


class AmbiguousError(QuillonError):
    """The gateway's answer could be read in more than one way."""

    kind = "ambiguous"

    def __init__(self, message: str, *, errors: tuple[ApiFieldError, ...] = ()) -> None:
        super().__init__(message)
        self.errors = errors

    def _details(self) -> str:
        return f", errors={list(self.errors)!r}"


class DecodeError(QuillonError):
    """A success answer that could not be read as the operation's result."""

    kind = "decode"


class WebhookAuthError(QuillonError):
    """A webhook delivery failed its authenticity check."""

    kind = "webhook_auth"


class FfiError(QuillonError):
    """The core refused the call itself (unknown operation, bad payload, fault)."""

    kind = "ffi"


class TransportError(QuillonError):
    """The HTTP exchange failed before a whole answer was received.

    That is a refused or dropped connection, a time-out, a TLS failure, an
    answer that is not HTTP or is cut off, or a body whose ``Content-Encoding``
    does not decode. The original httpx exception, when there is one, is
    ``__cause__`` and also ``original``. ``timeout`` tells a time-out from the
    other failures; ``retryable`` is false where resending cannot help (TLS, a
    body that does not decode, a request that could not be written).
    """

    kind = "transport"

    def __init__(
        self, message: str, *, original: BaseException | None = None, timeout: bool = False
    ) -> None:
        super().__init__(message, retryable=True)
        self.original = original
        self.timeout = timeout


_BY_KIND: dict[str, type[QuillonError]] = {
    cls.kind: cls
    for cls in (
        ValidationError,
        AuthenticationError,
        ApiError,
        AmbiguousError,
        DecodeError,
        WebhookAuthError,
        FfiError,
    )
}


def _field_errors(items: Any) -> tuple[ApiFieldError, ...]:
    if not isinstance(items, list):
        return ()
    out = []
    for item in items:
        if isinstance(item, Mapping):
            out.append(
                ApiFieldError(
                    message=str(item.get("message", "")),
                    field=item.get("field"),
                    code=item.get("code"),
                )
            )
    return tuple(out)


def error_from_json(obj: Mapping[str, Any]) -> QuillonError:
    """Turn the core's error object into the matching exception (not raised)."""
    kind = obj.get("kind")
    message = obj.get("message")
    if not isinstance(message, str):
        message = ""
    if kind == "validation":
        return ValidationError(message, field=str(obj.get("field", "")))
    if kind == "authentication":
        return AuthenticationError(message, status=int(obj.get("status", 0)))
    if kind == "api":
        return ApiError(
            message,
            status=int(obj.get("status", 0)),
            errors=_field_errors(obj.get("errors")),
            retryable=obj.get("retryable") is True,
        )
    if kind == "ambiguous":
        return AmbiguousError(message, errors=_field_errors(obj.get("errors")))
    cls = _BY_KIND.get(kind) if isinstance(kind, str) else None
    if cls is None:
        # A kind this layer does not know yet: keep the message, never lose it.
        return FfiError(f"unexpected error kind {kind!r}: {message}")
    return cls(message)
