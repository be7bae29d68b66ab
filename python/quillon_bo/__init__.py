"""Client for the gateway's HTTP API, on a native core.

The core builds each HTTP request and reads each answer; this package sends the
requests with httpx, keeps tokens, and raises errors as exceptions.

    import quillon_bo

    config = quillon_bo.Config("my-client-id", client_secret=secret,
                               environment=quillon_bo.Environment.PRODUCTION)
    with quillon_bo.Client(config) as client:
        token = client.token()
"""

from __future__ import annotations

from ._version import VERSION as __version__
from .auth import BearerAuth
from .client import AsyncClient, Client
from .config import Config, Environment
from .core import OperationInfo, call_core, call_raw, core_version, describe
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
from .executor import (
    AsyncExecutor,
    BaseExecutor,
    Executor,
    ExecutorOptions,
)
from .tokens import AccessToken, AsyncTokenProvider, TokenProvider, system_clock

__all__ = [
    "AccessToken",
    "AmbiguousError",
    "ApiError",
    "ApiFieldError",
    "AsyncClient",
    "AsyncExecutor",
    "AsyncTokenProvider",
    "AuthenticationError",
    "BaseExecutor",
    "BearerAuth",
    "Client",
    "Config",
    "DecodeError",
    "Environment",
    "Executor",
    "ExecutorOptions",
    "FfiError",
    "OperationInfo",
    "QuillonError",
    "TokenProvider",
    "TransportError",
    "ValidationError",
    "WebhookAuthError",
    "__version__",
    "call_core",
    "call_raw",
    "core_version",
    "describe",
    "system_clock",
]
