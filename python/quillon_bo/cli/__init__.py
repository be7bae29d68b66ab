"""The ``quillon-bo`` command line.

    quillon-bo token [--config FILE] [--client-id ID] [--environment ENV] [--base-url URL]
                     [--client-secret-file FILE|-] [--basic-token-file FILE|-]
                     [--timeout SECONDS] [--retries N] [--access-token]
    quillon-bo gateway [--port PORT] [--client-id ID] [--client-secret-file FILE|-]
                       [--base-path PATH] [--expires-in SECONDS]
    quillon-bo version | describe | demo
    quillon-bo call OP PAYLOAD|-
    quillon-bo --version

Configuration for ``token`` comes from flags, then ``QUILLON_BO_*`` environment
variables, then the JSON file of ``--config``. Secrets are read only from the
environment, a file or standard input: a secret given as a flag value would
stay in the shell history and the process list.

The exit status is 0 when done, 1 when the exchange (or the core's operation)
failed, and 2 when the command line was wrong; a usage error names the flag,
variable or file member at fault, on one line.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Sequence
from typing import Any, TextIO

import httpx

from .._version import VERSION
from ..core import call_core, call_raw, core_version
from ..errors import QuillonError
from ._args import EXIT_FAILED, EXIT_OK, EXIT_USAGE, Usage, build_parser
from ._gateway import run_gateway
from ._token import run_token

__all__ = ["main"]


def _print_json(value: Any, out: TextIO) -> None:
    out.write(json.dumps(value, ensure_ascii=False, sort_keys=True) + "\n")


def _run_call(op: str, payload: str, out: TextIO, stdin: TextIO) -> int:
    text = call_raw(op, stdin.read() if payload == "-" else payload)
    out.write(text + "\n")
    return EXIT_OK if json.loads(text).get("ok") is True else EXIT_FAILED


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status."""
    out, err, stdin = sys.stdout, sys.stderr, sys.stdin
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help and --version are done
            return exc.code if isinstance(exc.code, int) else EXIT_OK
        if args.command == "token":
            return run_token(args, out, stdin)
        if args.command == "gateway":
            return run_gateway(args, out, err, stdin)
        if args.command == "version":
            _print_json({"package": VERSION, **core_version()}, out)
            return EXIT_OK
        if args.command == "describe":
            _print_json(call_core("describe"), out)
            return EXIT_OK
        if args.command == "call":
            return _run_call(args.op, args.payload, out, stdin)
        from ..demo import run_demo

        return run_demo(out)
    except Usage as exc:
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
