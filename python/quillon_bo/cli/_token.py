"""``quillon-bo token``: the configuration gathered from its sources, and one fetch.

Every member remembers where it came from (a flag, an environment variable,
the configuration file), so that a refused value is reported by the name the
user gave it, not by the configuration's member name.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import re
from collections.abc import Mapping
from pathlib import Path
from typing import Any, TextIO

from ..client import Client
from ..config import ENV_PREFIX, Config
from ..errors import ValidationError
from ._args import EXIT_OK, Usage

_MEMBERS = tuple(f.name for f in dataclasses.fields(Config))
_SECRETS = ("client_secret", "basic_token")
# Config's messages start with the member they refuse.
_MEMBER_MESSAGE = re.compile(r"(?:Config|configuration member) (?P<name>\w+) (?P<rest>.+)", re.S)


def flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def read_secret(option: str, path: str, stdin: TextIO) -> str:
    """A secret from a file, or from standard input for ``-``; never empty."""
    try:
        text = stdin.read() if path == "-" else Path(path).read_text(encoding="utf-8")
    except OSError as exc:
        raise Usage(f"{option}: cannot read {path}: {exc.strerror or exc}") from None
    except ValueError:
        raise Usage(f"{option}: {path} is not UTF-8 text") from None
    # A trailing line break comes from editors and echo, never from the secret.
    text = text.rstrip("\r\n")
    if not text:
        raise Usage(f"{option}: {'standard input' if path == '-' else path} is empty")
    return text


def _read_config_file(path: str) -> dict[str, Any]:
    try:
        data = json.loads(Path(path).read_text(encoding="utf-8"))
    except OSError as exc:
        raise Usage(f"--config: cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise Usage(f"--config: {path} is not JSON: {exc}") from None
    if not isinstance(data, dict):
        raise Usage(f"--config: {path}: expected a JSON object")
    unknown = sorted(set(data) - set(_MEMBERS))
    if unknown:
        raise Usage(f"--config: {path}: unknown member(s): {', '.join(unknown)}")
    return data


def gather_config(
    args: argparse.Namespace, environ: Mapping[str, str], stdin: TextIO
) -> tuple[Config, dict[str, str]]:
    """Merge the flags, then the environment, then the file; return the
    configuration and where each of its members came from."""
    data: dict[str, Any] = {}
    source: dict[str, str] = {}
    if args.config:
        for name, value in _read_config_file(args.config).items():
            data[name], source[name] = value, f"{name} in {args.config}"
    for name in _MEMBERS:
        value = environ.get(ENV_PREFIX + name.upper())
        if value is not None:
            data[name], source[name] = value, ENV_PREFIX + name.upper()
    for name in ("client_id", "environment", "base_url"):
        value = getattr(args, name)
        if value is not None:
            data[name], source[name] = value, flag(name)
    for name in _SECRETS:
        path = getattr(args, name + "_file")
        if path is not None:
            option = flag(name) + "-file"
            data[name], source[name] = read_secret(option, path, stdin), option
    if "client_id" not in data:
        raise Usage(f"no client id: give --client-id, {ENV_PREFIX}CLIENT_ID or --config")
    # An empty identifier or secret only earns a puzzling 401 from the gateway.
    for name in ("client_id", *_SECRETS):
        if data.get(name) == "":
            raise Usage(f"{source[name]} must not be empty")
    if all(data.get(name) is None for name in _SECRETS):
        raise Usage(
            f"no client secret: give --client-secret-file FILE, {ENV_PREFIX}CLIENT_SECRET, "
            "--basic-token-file FILE or --config"
        )
    try:
        return Config.from_mapping(data), source
    except (TypeError, ValueError) as exc:
        raise Usage(_named(str(exc), source)) from None


def _named(message: str, source: Mapping[str, str]) -> str:
    match = _MEMBER_MESSAGE.fullmatch(message)
    if match is None or match["name"] not in source:
        return message
    return f"{source[match['name']]} {match['rest']}"


def run_token(args: argparse.Namespace, out: TextIO, stdin: TextIO) -> int:
    config, source = gather_config(args, os.environ, stdin)
    try:
        client = Client(config, timeout=args.timeout, retries=args.retries)
    except (TypeError, ValueError) as exc:
        raise Usage(str(exc)) from None
    with client:
        try:
            token = client.fetch_token()
        except ValidationError as exc:
            # Refused before any request was sent: the command line is at fault.
            raise Usage(f"{source.get(exc.field, exc.field)}: {exc.message}") from None
    if args.access_token:
        out.write(token.access_token + "\n")
    else:
        out.write(json.dumps(token.to_json(), ensure_ascii=False, sort_keys=True) + "\n")
    return EXIT_OK
