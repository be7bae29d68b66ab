"""Access tokens and the providers that fetch, cache and refresh them."""

from __future__ import annotations

import asyncio
import math
import threading
import time
from collections.abc import Callable, Mapping
from concurrent.futures import Future
from dataclasses import dataclass
from typing import Any

from .errors import DecodeError
from .executor import AsyncExecutor, Executor

__all__ = ["AccessToken", "AsyncTokenProvider", "Clock", "TokenProvider", "system_clock"]

#: A clock gives the current time in seconds; only its whole seconds are used.
Clock = Callable[[], float]

#: The name of the core's operation that issues tokens.
TOKEN_OPERATION = "token"


def system_clock() -> int:
    """The default clock: ``time.time()`` in whole seconds."""
    return int(time.time())


@dataclass(frozen=True, slots=True, repr=False)
class AccessToken:
    """A bearer credential and the absolute time (seconds) at which it ends.

    ``expires_at`` is already 60 seconds before the end of the lifetime that
    the endpoint stated, so a token is good while ``now < expires_at``. The
    repr never shows the credential itself.
    """

    access_token: str
    token_type: str
    expires_at: int
    scope: str | None = None

    def __repr__(self) -> str:
        return (
            f"AccessToken(access_token=<hidden>, token_type={self.token_type!r}, "
            f"expires_at={self.expires_at}, scope={self.scope!r})"
        )

    __str__ = __repr__

    def is_valid(self, now: float) -> bool:
        return now < self.expires_at

    @property
    def authorization(self) -> str:
        """The value of an Authorization header that presents this token."""
        # An endpoint that names no scheme (an empty or blank token_type) still
        # issues a bearer credential; a header of " <token>" would be refused.
        scheme = self.token_type.strip() or "Bearer"
        return f"{scheme} {self.access_token}"

    def to_json(self) -> dict[str, Any]:
        return {
            "access_token": self.access_token,
            "expires_at": self.expires_at,
            "scope": self.scope,
            "token_type": self.token_type,
        }

    @classmethod
    def from_json(cls, value: Any) -> AccessToken:
        if not isinstance(value, Mapping):
            raise DecodeError(f"access token record is not an object: {type(value).__name__}")
        access_token = value.get("access_token")
        token_type = value.get("token_type")
        expires_at = value.get("expires_at")
        scope = value.get("scope")
        if (
            not isinstance(access_token, str)
            or not isinstance(token_type, str)
            or not isinstance(expires_at, int)
            or isinstance(expires_at, bool)
            or not (scope is None or isinstance(scope, str))
        ):
            raise DecodeError("access token record has missing or mistyped members")
        return cls(access_token, token_type, expires_at, scope)


def _now_input(clock: Clock) -> dict[str, int]:
    return {"now": math.floor(clock())}


class TokenProvider:
    """Fetches a token on first use and keeps it while ``clock() < expires_at``.

    Thread-safe: however many threads ask while no valid token is held, one
    request goes to the token endpoint and every one of them gets its outcome.
    A failed fetch caches nothing; the next call tries again. Retries and
    timeouts are the executor's (transport failures only; an answer from the
    endpoint, such as a refusal of the credentials, is never retried).
    """

    def __init__(
        self,
        executor: Executor,
        *,
        clock: Clock | None = None,
        operation: str = TOKEN_OPERATION,
    ) -> None:
        self._executor = executor
        self._clock: Clock = clock or system_clock
        self._operation = operation
        self._token: AccessToken | None = None
        self._lock = threading.Lock()
        self._flight: Future[AccessToken] | None = None

    @property
    def current(self) -> AccessToken | None:
        """The cached token, valid or not, without fetching."""
        return self._token

    def get(self) -> AccessToken:
        """A valid token: the cached one, or a newly fetched one."""
        token = self._token
        if token is not None and self._clock() < token.expires_at:
            return token
        return self._refresh()

    def invalidate(self, token: AccessToken | None = None) -> None:
        """Drop the cached token (only if it is ``token``, when one is given).

        Passing the token that was refused lets many callers that saw the same
        refusal cause one refresh, not one each.
        """
        with self._lock:
            if token is None or self._token is token:
                self._token = None

    def fetch(self) -> AccessToken:
        """Fetch a new token now, whatever is cached, and cache it."""
        token = self._fetch_once()
        with self._lock:
            self._token = token
        return token

    def _fetch_once(self) -> AccessToken:
        value = self._executor.execute(self._operation, _now_input(self._clock))
        return AccessToken.from_json(value)

    def _refresh(self) -> AccessToken:
        with self._lock:
            token = self._token
            if token is not None and self._clock() < token.expires_at:
                return token
            flight = self._flight
            leader = flight is None
            if flight is None:
                flight = self._flight = Future()
        if not leader:
            return flight.result()
        try:
            token = self._fetch_once()
        except BaseException as exc:
            with self._lock:
                self._flight = None
            flight.set_exception(exc)
            raise
        with self._lock:
            self._token = token
            self._flight = None
        flight.set_result(token)
        return token


class AsyncTokenProvider:
    """The asyncio counterpart of :class:`TokenProvider`.

    Tasks of one event loop that ask at once while no valid token is held share
    one fetch; a caller that is cancelled does not cancel the fetch for the
    others.
    """

    def __init__(
        self,
        executor: AsyncExecutor,
        *,
        clock: Clock | None = None,
        operation: str = TOKEN_OPERATION,
    ) -> None:
        self._executor = executor
        self._clock: Clock = clock or system_clock
        self._operation = operation
        self._token: AccessToken | None = None
        self._flight: asyncio.Task[AccessToken] | None = None

    @property
    def current(self) -> AccessToken | None:
        return self._token

    async def get(self) -> AccessToken:
        token = self._token
        if token is not None and self._clock() < token.expires_at:
            return token
        flight = self._flight
        if flight is None:
            flight = self._flight = asyncio.ensure_future(self._refresh())
            flight.add_done_callback(_retrieve)
        return await asyncio.shield(flight)

    def invalidate(self, token: AccessToken | None = None) -> None:
        if token is None or self._token is token:
            self._token = None

    async def fetch(self) -> AccessToken:
        token = await self._fetch_once()
        self._token = token
        return token

    async def _fetch_once(self) -> AccessToken:
        value = await self._executor.execute(self._operation, _now_input(self._clock))
        return AccessToken.from_json(value)

    async def _refresh(self) -> AccessToken:
        try:
            token = await self._fetch_once()
            self._token = token
            return token
        finally:
            self._flight = None


def _retrieve(task: asyncio.Task[AccessToken]) -> None:
    # When every waiter was cancelled nobody reads a failure; reading it here
    # keeps asyncio from reporting it as never retrieved.
    if not task.cancelled():
        task.exception()
