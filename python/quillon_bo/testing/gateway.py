"""The local gateway: a real token endpoint on 127.0.0.1 for tests and the demo."""

from __future__ import annotations

from typing import Any

from ..config import Config
from .gateway_handler import (
    RESOURCE_PATH,
    TOKEN_PATH,
    GatewayHandler,
    GatewayServer,
    GatewayState,
    RecordedRequest,
)
from .local_server import LocalServer
from .replies import Reply

__all__ = ["DEMO_CLIENT_ID", "DEMO_CLIENT_SECRET", "LocalGateway"]

#: Built-in credentials of the demonstration gateway.
DEMO_CLIENT_ID = "demo-client"
DEMO_CLIENT_SECRET = "demo-secret-3f9a1c"


class LocalGateway(LocalServer):
    """The gateway's token endpoint (and one protected resource) on 127.0.0.1.

    ``base_path`` is put before every endpoint path, as the gateway's
    environments do. Tokens it issues live ``expires_in`` seconds.
    """

    _noun = "gateway"

    def __init__(
        self,
        client_id: str = DEMO_CLIENT_ID,
        client_secret: str = DEMO_CLIENT_SECRET,
        *,
        base_path: str = "/sandbox",
        expires_in: int = 3600,
        port: int = 0,
    ) -> None:
        super().__init__(port=port, base_path=base_path)
        self._state = GatewayState(client_id, client_secret, self._base_path, expires_in)
        self._server: GatewayServer | None = None

    def _listen(self, host: str, port: int) -> int:
        server = GatewayServer((host, port), GatewayHandler)
        server.state = self._state
        server.stopping = self._stopping
        self._server = server
        self._spawn(server.serve_forever, 0.05)
        return int(server.server_address[1])

    def _interrupt(self) -> None:
        if self._server is not None:
            self._server.shutdown()

    def _close(self) -> None:
        server, self._server = self._server, None
        if server is not None:
            server.server_close()

    # -- where it is ------------------------------------------------------

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
        return self._state.accepts(authorization)

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
        return self._requests_to(TOKEN_PATH)

    @property
    def resource_requests(self) -> int:
        return self._requests_to(RESOURCE_PATH)

    def _requests_to(self, path: str) -> int:
        path = self._state.base_path + path
        with self._state.lock:
            return sum(1 for r in self._state.requests if r.path == path)
