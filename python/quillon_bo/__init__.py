"""Client for the gateway's HTTP API, on a native core.

The core builds each HTTP request and reads each answer; this package sends the
requests with httpx, keeps tokens, and raises errors as exceptions.

    import quillon_bo

    config = quillon_bo.Config("my-client-id", client_secret=secret,
                               environment=quillon_bo.Environment.PRODUCTION)
    with quillon_bo.Client(config) as client:
        token = client.token()

The top level holds what a program writes; the machinery lives in its own
modules: :mod:`quillon_bo.executor` (how requests are sent and retried),
:mod:`quillon_bo.core` (the native core's ``call``), :mod:`quillon_bo.tokens`,
:mod:`quillon_bo.requests_auth` (auth for requests) and
:mod:`quillon_bo.testing`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import stores
from ._version import VERSION as __version__
from .auth import BearerAuth
from .client import AsyncClient, Client
from .config import Config, Environment
from .errors import (
    AmbiguousError,
    ApiError,
    ApiFieldError,
    AuthenticationError,
    DecodeError,
    FfiError,
    QuillonError,
    TransportError,
    ValidationError,
    WebhookAuthError,
)
from .stores import StoreError
from .tokens import AccessToken, TokenProvider

if TYPE_CHECKING:
    from .tokens import AsyncTokenProvider

__all__ = [
    "AccessToken",
    "AmbiguousError",
    "ApiError",
    "ApiFieldError",
    "AsyncClient",
    "AsyncTokenProvider",
    "AuthenticationError",
    "BearerAuth",
    "Client",
    "Config",
    "DecodeError",
    "Environment",
    "FfiError",
    "QuillonError",
    "StoreError",
    "TokenProvider",
    "TransportError",
    "ValidationError",
    "WebhookAuthError",
    "__version__",
    "stores",
]


def __getattr__(name: str) -> Any:
    # The async provider comes with asyncio: loaded when first asked for, so
    # that a program that never awaits does not pay for it.
    if name == "AsyncTokenProvider":
        from .tokens import AsyncTokenProvider

        return AsyncTokenProvider
    raise AttributeError(f"module 'quillon_bo' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
