"""``quillon-bo gateway``: the local test gateway in the foreground, until a signal."""

from __future__ import annotations

import argparse
import shlex
import signal
import threading
from types import FrameType
from typing import TYPE_CHECKING, TextIO

from ..config import ENV_PREFIX
from ._args import EXIT_FAILED, EXIT_OK, Usage
from ._token import read_secret

if TYPE_CHECKING:
    from ..testing import LocalGateway

_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def _banner(gateway: LocalGateway, secret_shown: str, secret_word: str) -> str:
    """What to try it with; the secret as shown in the table and as a shell word."""
    base_url, client_id = gateway.base_url, gateway.client_id
    env = (
        f"{ENV_PREFIX}BASE_URL={shlex.quote(base_url)} "
        f"{ENV_PREFIX}CLIENT_ID={shlex.quote(client_id)} "
        f"{ENV_PREFIX}CLIENT_SECRET={secret_word}"
    )
    base = f'"${ENV_PREFIX}BASE_URL'
    resource = base + gateway.resource_url.removeprefix(base_url) + '"'
    token_url = base + gateway.token_url.removeprefix(base_url) + '"'
    lines = [
        "quillon-bo gateway: a local test gateway, on this machine only",
        f"  base URL        {base_url}",
        f"  token endpoint  {gateway.token_url}",
        f"  resource        {gateway.resource_url} (answers 200 to a bearer token it issued)",
        f"  client id       {client_id}",
        f"  client secret   {secret_shown}",
        "These are throwaway test credentials of this local server, shown so that you can use",
        "them; never give it real ones.",
        "",
        "Try it:",
        f"  export {env}",
        "  quillon-bo token",
        f'  curl -H "Authorization: Bearer $(quillon-bo token --access-token)" {resource}',
        f'  curl -u "${ENV_PREFIX}CLIENT_ID:${ENV_PREFIX}CLIENT_SECRET" '
        f"-H 'Accept: application/json' -d grant_type=client_credentials {token_url}",
        "",
        "Press Ctrl-C to stop.",
    ]
    return "\n".join(lines) + "\n"


def _secret_words(path: str | None, secret: str) -> tuple[str, str]:
    """The secret as the banner shows it: the built-in test secret as it is,
    one the user gave only by where it came from."""
    if path is None:
        return secret, shlex.quote(secret)
    if path == "-":
        return "<as given on standard input>", '"<your secret>"'
    return f"<as in {path}>", f'"$(cat {shlex.quote(path)})"'


def run_gateway(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    # Imported here: every other command starts without the test server's modules.
    from ..testing import DEMO_CLIENT_ID, DEMO_CLIENT_SECRET, LocalGateway

    client_id = DEMO_CLIENT_ID if args.client_id is None else args.client_id
    if not client_id:
        raise Usage("--client-id must not be empty")
    secret = DEMO_CLIENT_SECRET
    if args.client_secret_file is not None:
        secret = read_secret("--client-secret-file", args.client_secret_file, stdin)
    if not args.base_path.startswith("/") or any(c.isspace() for c in args.base_path):
        raise Usage("--base-path must start with / and hold no white space")

    stopped = threading.Event()

    def stop(signum: int, frame: FrameType | None) -> None:
        stopped.set()

    gateway = LocalGateway(
        client_id, secret, base_path=args.base_path, expires_in=args.expires_in, port=args.port
    )
    try:
        gateway.start()
    except OSError as exc:
        err.write(f"quillon-bo: gateway: cannot listen on 127.0.0.1:{args.port}: {exc.strerror}\n")
        return EXIT_FAILED
    previous = {signum: signal.signal(signum, stop) for signum in _STOP_SIGNALS}
    try:
        out.write(_banner(gateway, *_secret_words(args.client_secret_file, secret)))
        out.flush()
        # A bounded wait: on Windows an endless one would not see Ctrl-C.
        while not stopped.wait(0.5):
            pass
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        gateway.stop()
    out.write(f"quillon-bo gateway: stopped after {gateway.token_requests} token requests\n")
    return EXIT_OK
