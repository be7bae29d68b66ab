"""Exceptions raised by the client.

Every failure the core reports arrives as a JSON error object with a ``kind``;
each kind has its own exception class here, carrying the core's message as
``message``. Failures of the HTTP exchange itself (refused connection,
timeout, TLS, dropped or cut-off connection, an answer that is not HTTP) never
reach the core and are raised as :class:`TransportError`, wrapping the httpx
exception.

An error raised for a call's exchange also says where and how often: its
``method``, ``url`` (without user information), ``attempts`` and, for a
redirect, ``location``; ``str(exc)`` is the message followed by those facts.

None of these exceptions ever holds a credential or a token: a message made
from the gateway's answer may quote what the gateway echoed, so the secrets
the client knows and anything shaped like ``Basic <credential>`` or ``Bearer
<token>`` are redacted from it (:mod:`quillon_bo._redact`).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, ClassVar

from ._redact import excerpt, public_url, redact

__all__ = [
    "AmbiguousError",
    "ApiError",
    "ApiFieldError",
    "AuthenticationError",
    "DecodeError",
    "Exchange",
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


def _field_errors(items: Any) -> tuple[ApiFieldError, ...]:
    if not isinstance(items, list):
        return ()
    return tuple(
        ApiFieldError(
            message=str(item.get("message", "")), field=item.get("field"), code=item.get("code")
        )
        for item in items
        if isinstance(item, Mapping)
    )


def _status(obj: Mapping[str, Any]) -> int:
    status = obj.get("status", 0)
    return status if isinstance(status, int) and not isinstance(status, bool) else 0


class QuillonError(Exception):
    """Base class of every error raised by this package.

    ``message`` is the message alone; ``retryable`` says whether sending the
    same request again may succeed (the core's flag for its own errors). An
    error that ends a call's exchange also has the request's ``method`` and
    ``url``, the ``attempts`` made and, after a redirect answer, its
    ``location``; ``str(exc)`` then names them after the message. They are
    None (``attempts`` 0) on an error raised before any request was made.
    """

    #: The core's name for this kind of error ("" for the base class).
    kind: ClassVar[str] = ""

    def __init__(self, message: str, *, retryable: bool = False) -> None:
        super().__init__(message)
        self.message = message
        self.retryable = retryable
        self.method: str | None = None
        self.url: str | None = None
        self.location: str | None = None
        self.attempts = 0

    def _at(
        self,
        method: str,
        url: str,
        attempts: int,
        location: str | None = None,
        secrets: tuple[str | None, ...] = (),
    ) -> QuillonError:
        """This error, told which exchange it ends (the URLs made fit to show)."""
        self.method = method
        self.url = public_url(url, secrets)
        self.attempts = attempts
        self.location = None if location is None else public_url(location, secrets)
        return self

    @classmethod
    def _from_json(cls, message: str, obj: Mapping[str, Any], exchange: Exchange) -> QuillonError:
        # The members of the core's error object beyond "kind" and "message"
        # are each kind's own; a kind that has none needs nothing more.
        return cls(message)

    def _redact(self, secrets: tuple[str | None, ...]) -> None:
        """Redact more known values (tokens the raiser holds) from the texts."""
        self.message = redact(self.message, secrets)
        self.args = (self.message,)
        if self.url is not None:
            self.url = redact(self.url, secrets)
        if self.location is not None:
            self.location = redact(self.location, secrets)

    def __str__(self) -> str:
        return self.message + self._facts()

    def _facts(self) -> str:
        """Where and how often, as ``str(exc)`` adds them to the message."""
        if self.url is None:
            return ""
        facts = [f"{self.method} {self.url}"]
        status = getattr(self, "status", None)
        if status:
            facts.append(f"status {status}")
        if self.location is not None:
            facts.append(f"Location: {self.location}")
        facts.append(f"{self.attempts} attempt{'' if self.attempts == 1 else 's'}")
        return f" ({'; '.join(facts)})"

    def _details(self) -> str:
        return ""

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.message!r}{self._details()})"


@dataclass(frozen=True, slots=True)
class Exchange:
    """What the client saw of the HTTP exchange behind an answer.

    ``attempts`` is the number of requests sent for the call, the last one
    included; ``retry_after`` the seconds the final answer's ``Retry-After``
    header asked to wait (None when it had none that could be read);
    ``method`` and ``url`` the request's, and ``location`` a redirect
    answer's ``Location`` header.
    """

    attempts: int = 1
    retry_after: float | None = None
    method: str | None = None
    url: str | None = None
    location: str | None = None


class ValidationError(QuillonError):
    """The configuration or an input was refused before any request was made.

    ``field`` names the input that was refused, as the caller knows it
    (``"client_id"``, ``"client_secret"``, ...).
    """

    kind = "validation"

    def __init__(self, message: str, *, field: str) -> None:
        super().__init__(message)
        self.field = field

    @classmethod
    def _from_json(cls, message: str, obj: Mapping[str, Any], exchange: Exchange) -> QuillonError:
        return cls(message, field=str(obj.get("field", "")))

    def _details(self) -> str:
        return f", field={self.field!r}"


class AuthenticationError(QuillonError):
    """The token endpoint refused the client (any status outside 200..299).

    ``status`` is the HTTP status of the final answer and the message is the
    core's reading of its body. ``attempts`` says how many requests the call
    sent (more than one when rate-limit or outage statuses were retried), and
    ``retry_after`` how many seconds the final answer's ``Retry-After`` header
    asked to wait, when it had one: also when that wait was longer than the
    client would wait, which is why the error came without a retry.
    """

    kind = "authentication"

    def __init__(
        self,
        message: str,
        *,
        status: int,
        attempts: int = 1,
        retry_after: float | None = None,
    ) -> None:
        super().__init__(message)
        self.status = status
        self.attempts = attempts
        self.retry_after = retry_after

    @classmethod
    def _from_json(cls, message: str, obj: Mapping[str, Any], exchange: Exchange) -> QuillonError:
        return cls(
            message,
            status=_status(obj),
            attempts=exchange.attempts,
            retry_after=exchange.retry_after,
        )

    def _details(self) -> str:
        after = "" if self.retry_after is None else f", retry_after={self.retry_after:g}"
        return f", status={self.status}, attempts={self.attempts}{after}"


class ApiError(QuillonError):
    """The gateway answered an operation with an error.

    ``status`` is the HTTP status, ``errors`` the field-level errors the
    gateway listed, and ``retryable`` the core's judgement of whether the same
    request may succeed later.
    """

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

    @classmethod
    def _from_json(cls, message: str, obj: Mapping[str, Any], exchange: Exchange) -> QuillonError:
        return cls(
            message,
            status=_status(obj),
            errors=_field_errors(obj.get("errors")),
            retryable=obj.get("retryable") is True,
        )

    def _details(self) -> str:
        return f", status={self.status}, errors={list(self.errors)!r}, retryable={self.retryable}"


class AmbiguousError(QuillonError):
    """The gateway's answer could be read in more than one way."""

    kind = "ambiguous"

    def __init__(self, message: str, *, errors: tuple[ApiFieldError, ...] = ()) -> None:
        super().__init__(message)
        self.errors = errors

    @classmethod
    def _from_json(cls, message: str, obj: Mapping[str, Any], exchange: Exchange) -> QuillonError:
        return cls(message, errors=_field_errors(obj.get("errors")))

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

    That is a refused or dropped connection, a time-out (also the attempt's
    deadline), a TLS failure, an answer that is not HTTP or is cut off, or a
    body whose ``Content-Encoding`` does not decode. The original httpx
    exception, when there is one, is ``__cause__`` and also ``original``.
    ``timeout`` tells a time-out from the other failures; ``retryable`` is
    false where resending cannot help (TLS, a body that does not decode, a
    request that could not be written); ``attempts`` is the number of requests
    the call made, this failed one included (0 when none could be sent).
    """

    kind = "transport"

    def __init__(
        self,
        message: str,
        *,
        original: BaseException | None = None,
        timeout: bool = False,
        retryable: bool = True,
        attempts: int = 1,
    ) -> None:
        super().__init__(message, retryable=retryable)
        self.original = original
        self.timeout = timeout
        self.attempts = attempts


# The one place that ties the core's kinds to the classes; each class reads
# its own members.
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


def error_from_json(
    obj: Mapping[str, Any],
    exchange: Exchange | None = None,
    *,
    secrets: tuple[str | None, ...] = (),
) -> QuillonError:
    """Turn the core's error object into the matching exception (not raised).

    ``exchange`` tells what the client saw of the HTTP exchange behind the
    answer (attempts made, the wait asked for, the request); errors of kinds
    that do not come from an answer ignore it. ``secrets`` are redacted from
    the message, as is any ``Basic``/``Bearer`` credential in it.
    """
    kind = obj.get("kind")
    message = obj.get("message")
    message = redact(message, secrets) if isinstance(message, str) else ""
    cls = _BY_KIND.get(kind) if isinstance(kind, str) else None
    if cls is None:
        # A kind this layer does not know yet: keep the message, never lose it.
        return FfiError(f"unexpected error kind {excerpt(repr(kind), secrets)}: {message}")
    exchange = exchange or Exchange()
    exc = cls._from_json(message, obj, exchange)
    if exchange.method is not None and exchange.url is not None:
        exc._at(exchange.method, exchange.url, exchange.attempts, exchange.location, secrets)
    return exc
