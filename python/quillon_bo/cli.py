"""The ``quillon-bo`` command line.

    quillon-bo token [--config FILE] [--client-id ID] [--environment ENV] [--base-url URL]
                     [--client-secret-file FILE|-] [--basic-token-file FILE|-]
    quillon-bo version
    quillon-bo describe
    quillon-bo call OP PAYLOAD|-
    quillon-bo demo

Configuration for ``token`` comes from flags, then ``QUILLON_BO_*`` environment
variables, then the JSON file of ``--config``. Secrets are read only from the
environment, a file or standard input: a secret given as a flag value would
stay in the shell history and the process list.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn, TextIO

import httpx

from . import __version__
from .client import Client
from .config import ENV_PREFIX, Config, Environment
from .core import call_core, call_raw, core_version
from .errors import QuillonError

__all__ = ["main"]

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2


class _Usage(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    """argparse's parser, with its errors reported as one line, as ours are."""

    def error(self, message: str) -> NoReturn:
        command = self.prog.removeprefix("quillon-bo").strip()
        raise _Usage(f"{command}: {message}" if command else message)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a number of seconds") from None
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError("must be a positive, finite number of seconds")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


class _RefuseSecretFlag(argparse.Action):
    """Refuses ``--client-secret VALUE`` without echoing the value anywhere."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> NoReturn:
        name = (option_string or "").lstrip("-").replace("-", "_")
        raise _Usage(
            f"{option_string} is not accepted: give the value in {ENV_PREFIX}{name.upper()} "
            f"or with {option_string}-file FILE (use - for standard input)"
        )


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quillon-bo",
        description="Client for the gateway's HTTP API.",
        allow_abbrev=False,
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    tok = sub.add_parser(
        "token", help="fetch an access token and print it as JSON", allow_abbrev=False
    )
    tok.add_argument("--config", metavar="FILE", help="JSON file with the configuration")
    tok.add_argument("--client-id", metavar="ID")
    tok.add_argument("--environment", choices=[e.value for e in Environment])
    tok.add_argument("--base-url", metavar="URL", help="replaces the environment's base URL")
    tok.add_argument(
        "--client-secret-file", metavar="FILE", help="read the client secret (- for stdin)"
    )
    tok.add_argument(
        "--basic-token-file", metavar="FILE", help="read a ready Basic credential (- for stdin)"
    )
    for flag in ("--client-secret", "--basic-token"):
        tok.add_argument(flag, nargs="?", action=_RefuseSecretFlag, help=argparse.SUPPRESS)
    tok.add_argument("--timeout", type=_seconds, metavar="SECONDS", help="per-request time limit")
    tok.add_argument(
        "--retries",
        type=_count,
        default=2,
        metavar="N",
        help="resends after a transport failure or a 429, 502, 503 or 504 answer (default 2)",
    )

    sub.add_parser("version", help="print the package, core and protocol versions")
    sub.add_parser("describe", help="print the operations the core offers")
    call = sub.add_parser("call", help="call the core directly and print its raw answer")
    call.add_argument("op", metavar="OP", help='operation name, e.g. "token.build"')
    call.add_argument("payload", metavar="PAYLOAD", help="JSON payload text (- for stdin)")
    sub.add_parser("demo", help="run a whole exchange against a built-in local gateway")
    return parser


def _read_secret(path: str, stdin: TextIO) -> str:
    text = stdin.read() if path == "-" else Path(path).read_text(encoding="utf-8")
    # A trailing line break comes from editors and echo, never from the secret.
    return text.rstrip("\r\n")


def config_from_args(
    args: argparse.Namespace, environ: dict[str, str] | os._Environ[str], stdin: TextIO
) -> Config:
    """Merge the ``token`` command's sources: flags, then environment, then file."""
    data: dict[str, Any] = {}
    if args.config:
        try:
            data.update(json.loads(Path(args.config).read_text(encoding="utf-8")))
        except (OSError, ValueError) as exc:
            raise _Usage(f"cannot read the configuration file {args.config}: {exc}") from None
        if not isinstance(data, dict):
            raise _Usage(f"{args.config}: expected a JSON object")
    for name in ("client_id", "client_secret", "basic_token", "environment", "base_url"):
        value = environ.get(ENV_PREFIX + name.upper())
        if value is not None:
            data[name] = value
    for name in ("client_id", "environment", "base_url"):
        value = getattr(args, name)
        if value is not None:
            data[name] = value
    for name in ("client_secret", "basic_token"):
        path = getattr(args, name + "_file")
        if path is not None:
            try:
                data[name] = _read_secret(path, stdin)
            except OSError as exc:
                raise _Usage(f"cannot read {name} from {path}: {exc.strerror}") from None
    if "client_id" not in data:
        raise _Usage(f"no client id: give --client-id, {ENV_PREFIX}CLIENT_ID or --config")
    try:
        return Config.from_mapping(data)
    except (TypeError, ValueError) as exc:
        raise _Usage(str(exc)) from None


def _print_json(value: Any, out: TextIO) -> None:
    out.write(json.dumps(value, ensure_ascii=False, sort_keys=True) + "\n")


def _cmd_token(args: argparse.Namespace, out: TextIO, stdin: TextIO) -> int:
    config = config_from_args(args, os.environ, stdin)
    try:
        client = Client(config, timeout=args.timeout, retries=args.retries)
    except (TypeError, ValueError) as exc:
        raise _Usage(str(exc)) from None
    with client:
        token = client.fetch_token()
    _print_json(token.to_json(), out)
    return EXIT_OK


def _cmd_call(args: argparse.Namespace, out: TextIO, stdin: TextIO) -> int:
    payload = stdin.read() if args.payload == "-" else args.payload
    text = call_raw(args.op, payload)
    out.write(text + "\n")
    return EXIT_OK if json.loads(text).get("ok") is True else EXIT_FAILED


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status."""
    out, err = sys.stdout, sys.stderr
    try:
        args = _parser().parse_args(argv)
        if args.command == "token":
            return _cmd_token(args, out, sys.stdin)
        if args.command == "version":
            _print_json({"package": __version__, **core_version()}, out)
            return EXIT_OK
        if args.command == "describe":
            _print_json(call_core("describe"), out)
            return EXIT_OK
        if args.command == "call":
            return _cmd_call(args, out, sys.stdin)
        from .demo import run_demo

        return run_demo(out)
    except _Usage as exc:
        err.write(f"quillon-bo: {exc}\n")
        return EXIT_USAGE
    except QuillonError as exc:
        err.write(f"quillon-bo: {exc.kind} error: {exc}\n")
        return EXIT_FAILED
    except httpx.HTTPError as exc:  # pragma: no cover - the executor wraps these
        err.write(f"quillon-bo: transport error: {type(exc).__name__}\n")
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
