"""``quillon-bo demo``: the whole exchange against the package's local gateway.

Needs no network and no configuration: the gateway runs on 127.0.0.1 with
built-in demonstration credentials. Every secret and token is masked in what
is printed.
"""

from __future__ import annotations

import json
from typing import Any, TextIO

import httpx

from .client import Client
from .core import call_core, core_version, describe
from .errors import QuillonError
from .testing import LocalGateway
from .tokens import system_clock


def mask(text: str, keep: int = 4) -> str:
    """The first ``keep`` characters of a secret, then a count of the rest."""
    if len(text) <= keep * 2:
        return f"<{len(text)} chars hidden>"
    return f"{text[:keep]}...<{len(text) - keep} more hidden>"


def _mask_authorization(value: str) -> str:
    scheme, _, credential = value.partition(" ")
    return f"{scheme} {mask(credential)}"


def _shown_headers(headers: dict[str, str]) -> dict[str, str]:
    return {
        k: _mask_authorization(v) if k.lower() == "authorization" else v for k, v in headers.items()
    }


def _shown_body(text: str) -> str:
    try:
        value = json.loads(text)
    except ValueError:
        return text
    if isinstance(value, dict) and isinstance(value.get("access_token"), str):
        value["access_token"] = mask(value["access_token"])
    return json.dumps(value, sort_keys=True)


def run_demo(out: TextIO) -> int:
    def say(text: str = "") -> None:
        out.write(text + "\n")
        out.flush()

    def on_request(request: httpx.Request) -> None:
        say(f"    -> {request.method} {request.url}")
        # The raw list: the names as they go on the wire, in the order sent.
        raw = [(k.decode("latin-1"), v.decode("latin-1")) for k, v in request.headers.raw]
        for name, value in raw:
            shown = _mask_authorization(value) if name.lower() == "authorization" else value
            say(f"       {name}: {shown}")

    def on_response(response: httpx.Response) -> None:
        response.read()
        say(f"    <- {response.status_code} {_shown_body(response.text)}")

    with LocalGateway() as gateway:
        version = core_version()
        say(f"quillon_bo demo (core {version['core']}, protocol {version['protocol']})")
        say(f"local gateway listening at {gateway.base_url}")
        config = gateway.config()
        say(f"configuration: {config!r}")
        say(f"operations offered by the core: {[op.name for op in describe()]}")
        say()

        say("1. The core builds the token request (token.build):")
        payload = {"config": config.to_json(), "token": None, "input": {"now": system_clock()}}
        described = call_core("token.build", payload)
        say(f"    {described['method']} {described['url']}")
        for name, value in _shown_headers(described["headers"]).items():
            say(f"    {name}: {value}")
        say(f"    body: {described['body']!r}")
        say()

        hooks: dict[str, list[Any]] = {"request": [on_request], "response": [on_response]}
        with (
            httpx.Client(event_hooks=hooks, timeout=5.0) as http,
            Client(config, http_client=http) as client,
        ):
            say("2. The client sends it with httpx; the core reads the answer (token.parse):")
            token = client.token()
            left = token.expires_at - system_clock()
            say(f"    got {token!r}, good for {left} s more")
            say()

            say("3. Asking again uses the cached token:")
            again = client.token()
            say(
                f"    same token: {again is token}; token requests so far: {gateway.token_requests}"
            )
            say()

            say("4. BearerAuth presents it on our own request to the gateway:")
            response = http.get(gateway.resource_url, auth=client.auth)
            say(f"    result: {response.status_code} {response.text}")
            say()

            say("5. The gateway revokes the token; BearerAuth refreshes it and resends once:")
            gateway.revoke_tokens()
            response = http.get(gateway.resource_url, auth=client.auth)
            say(
                f"    result: {response.status_code} {response.text}; token requests so far: "
                f"{gateway.token_requests}"
            )
            say()

        say("6. A wrong secret is refused, and the error is raised as an exception:")
        with Client(gateway.config(client_secret="not-the-secret"), retries=0) as bad:
            try:
                bad.token()
            except QuillonError as exc:
                say(f"    {type(exc).__name__}: {exc} (status {getattr(exc, 'status', '-')})")
            else:  # pragma: no cover - the gateway always refuses this
                say("    unexpectedly accepted")
                return 1
        say()
        say(f"done: the gateway served {gateway.request_count} requests.")
    return 0
