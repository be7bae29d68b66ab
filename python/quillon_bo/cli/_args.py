"""The command line's grammar: every command, flag and its help, in one parser."""

from __future__ import annotations

import argparse
import math
from typing import Any, NoReturn, TypeAlias

from .._version import VERSION
from ..config import ENV_PREFIX, Environment
from ..core import core_version

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

_EPILOG = f"""\
exit status: {EXIT_OK} done, {EXIT_FAILED} the exchange or operation failed, \
{EXIT_USAGE} the command line was wrong, 130 interrupted.
Run "quillon-bo COMMAND --help" for a command's options."""


_Commands: TypeAlias = "argparse._SubParsersAction[_Parser]"


class Usage(Exception):
    """A mistake in the command line; its text names the flag or variable at fault."""


class _Parser(argparse.ArgumentParser):
    """argparse's parser, with its errors reported as one line, as ours are."""

    def error(self, message: str) -> NoReturn:
        command = self.prog.removeprefix("quillon-bo").strip()
        raise Usage(f"{command}: {message}" if command else message)


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


def _lifetime(text: str) -> int:
    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1 second")
    return value


def _port(text: str) -> int:
    value = _count(text)
    if value > 65535:
        raise argparse.ArgumentTypeError("must be from 0 to 65535")
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
        raise Usage(
            f"{option_string} is not accepted: give the value in {ENV_PREFIX}{name.upper()} "
            f"or with {option_string}-file FILE (use - for standard input)"
        )


def version_line() -> str:
    core = core_version()
    return f"quillon-bo {VERSION} (core {core['core']}, protocol {core['protocol']})"


def _add_token(sub: _Commands) -> None:
    tok = sub.add_parser(
        "token",
        help="fetch an access token and print its record as JSON",
        description="Fetch an access token and print its record as JSON. Configuration comes "
        f"from the flags, then the {ENV_PREFIX}* environment variables, then --config FILE. "
        "Secrets are read from a file, standard input or the environment, never from a flag.",
        allow_abbrev=False,
    )
    tok.add_argument("--config", metavar="FILE", help="JSON file with the configuration's members")
    tok.add_argument("--client-id", metavar="ID", help="the client identifier")
    tok.add_argument(
        "--environment",
        choices=[e.value for e in Environment],
        metavar="ENV",
        help="the gateway's environment: development, sandbox (the default) or production",
    )
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
    tok.add_argument(
        "--access-token",
        action="store_true",
        help="print only the access token and a newline, for shell scripts",
    )


def _add_gateway(sub: _Commands) -> None:
    gw = sub.add_parser(
        "gateway",
        help="run a local test gateway in the foreground until Ctrl-C",
        description="Run the package's local test gateway on 127.0.0.1 in the foreground and "
        "print its base URL and test credentials, to try the package, your scripts and curl "
        "against. It stops on Ctrl-C or SIGTERM.",
        allow_abbrev=False,
    )
    gw.add_argument(
        "--port", type=_port, default=0, metavar="PORT", help="port to listen on (default: any)"
    )
    gw.add_argument(
        "--client-id",
        metavar="ID",
        help="the client identifier it accepts (default: a built-in test client)",
    )
    gw.add_argument(
        "--client-secret-file",
        metavar="FILE",
        help="read the client secret it accepts (- for stdin; default: a built-in test secret)",
    )
    gw.add_argument(
        "--base-path",
        default="/sandbox",
        metavar="PATH",
        help="path before every endpoint, as the gateway's environments have (default /sandbox)",
    )
    gw.add_argument(
        "--expires-in",
        type=_lifetime,
        default=3600,
        metavar="SECONDS",
        help="lifetime of the tokens it issues (default 3600)",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quillon-bo",
        description="Client for the gateway's HTTP API.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument(
        "--version",
        action="version",
        version=version_line(),
        help="print the package's and the core's versions and exit",
    )
    sub = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, title="commands", help="one of:"
    )
    _add_token(sub)
    _add_gateway(sub)
    sub.add_parser(
        "version",
        help="print the package, core and protocol versions as JSON",
        description="Print the package, core and protocol versions as JSON.",
    )
    sub.add_parser(
        "describe",
        help="print the operations the core offers",
        description="Print the operations the core offers, as JSON.",
    )
    call = sub.add_parser(
        "call",
        help="call the core directly and print its raw answer",
        description="Call the core's call(OP, PAYLOAD) and print the result envelope as the "
        "core wrote it; the exit status is 1 for an error envelope.",
    )
    call.add_argument("op", metavar="OP", help='operation name, e.g. "token.build"')
    call.add_argument("payload", metavar="PAYLOAD", help="JSON payload text (- for stdin)")
    sub.add_parser(
        "demo",
        help="run a whole exchange against a built-in local gateway",
        description="Run a whole exchange against a built-in local gateway, secrets masked.",
    )
    return parser
