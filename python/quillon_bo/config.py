"""Client configuration: which gateway to talk to and the client's credentials."""

from __future__ import annotations

import enum
import json
import os
import re
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

__all__ = ["ENV_PREFIX", "Config", "Environment"]

#: Prefix of the environment variables read by :meth:`Config.from_env`.
ENV_PREFIX = "QUILLON_BO_"

_HIDDEN = "<hidden>"
_SCHEMES = ("http", "https")


class Environment(str, enum.Enum):
    """The gateway's environments; each has its own default base URL."""

    DEVELOPMENT = "development"
    SANDBOX = "sandbox"
    PRODUCTION = "production"

    def __str__(self) -> str:
        return self.value


@dataclass(frozen=True, slots=True, repr=False)
class Config:
    """Everything the core needs to build a request for this client.

    Give either ``client_secret`` or ``basic_token`` (a ready-made Basic
    credential, with or without the leading ``"Basic "``); when both are given
    the core uses ``basic_token``. ``base_url`` replaces the environment's
    default base URL. The repr never shows either secret.
    """

    client_id: str
    client_secret: str | None = None
    basic_token: str | None = None
    environment: Environment = Environment.SANDBOX
    base_url: str | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.client_id, str):
            raise TypeError(f"Config client_id must be a str, not {type(self.client_id).__name__}")
        for name in ("client_secret", "basic_token"):
            value = getattr(self, name)
            if value is not None and not isinstance(value, str):
                raise TypeError(f"Config {name} must be a str or None, not {type(value).__name__}")
        # Accept the wire name too ("production"), so configuration read from
        # files and environment variables needs no conversion step.
        if not isinstance(self.environment, Environment):
            try:
                environment = Environment(self.environment)
            except ValueError:
                names = ", ".join(e.value for e in Environment)
                raise ValueError(f"Config environment must be one of {names}") from None
            object.__setattr__(self, "environment", environment)
        if self.base_url is not None:
            _check_base_url(self.base_url)

    def __repr__(self) -> str:
        secret = None if self.client_secret is None else _HIDDEN
        basic = None if self.basic_token is None else _HIDDEN
        return (
            f"Config(client_id={self.client_id!r}, client_secret={secret}, "
            f"basic_token={basic}, environment={self.environment.value!r}, "
            f"base_url={self.base_url!r})"
        )

    __str__ = __repr__

    def to_json(self) -> dict[str, Any]:
        """The configuration as the core reads it in a build payload."""
        return {
            "client_id": self.client_id,
            "client_secret": self.client_secret,
            "basic_token": self.basic_token,
            "environment": self.environment.value,
            "base_url": self.base_url,
        }

    @classmethod
    def from_mapping(cls, data: Mapping[str, Any]) -> Config:
        """Build a configuration from wire-named members; unknown names are refused."""
        known = {"client_id", "client_secret", "basic_token", "environment", "base_url"}
        unknown = sorted(set(data) - known)
        if unknown:
            raise ValueError(f"unknown configuration member(s): {', '.join(unknown)}")
        if not isinstance(data.get("client_id"), str):
            raise ValueError("configuration member client_id must be a string")
        for name in ("client_secret", "basic_token", "base_url"):
            value = data.get(name)
            if value is not None and not isinstance(value, str):
                raise ValueError(f"configuration member {name} must be a string or null")
        environment = data.get("environment", Environment.SANDBOX.value)
        try:
            env = Environment(environment)
        except ValueError:
            names = ", ".join(e.value for e in Environment)
            raise ValueError(f"configuration member environment must be one of {names}") from None
        return cls(
            client_id=data["client_id"],
            client_secret=data.get("client_secret"),
            basic_token=data.get("basic_token"),
            environment=env,
            base_url=data.get("base_url"),
        )

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Config:
        """Read a JSON object with the wire-named members from a file."""
        with Path(path).open(encoding="utf-8") as fh:
            data = json.load(fh)
        if not isinstance(data, dict):
            raise ValueError(f"{os.fspath(path)}: expected a JSON object")
        return cls.from_mapping(data)

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None) -> Config:
        """Read ``QUILLON_BO_CLIENT_ID``, ``..._CLIENT_SECRET``, ``..._BASIC_TOKEN``,
        ``..._ENVIRONMENT`` and ``..._BASE_URL`` (``os.environ`` by default)."""
        env = os.environ if environ is None else environ
        data: dict[str, Any] = {}
        for name in ("client_id", "client_secret", "basic_token", "environment", "base_url"):
            value = env.get(ENV_PREFIX + name.upper())
            if value is not None:
                data[name] = value
        if "client_id" not in data:
            raise ValueError(f"{ENV_PREFIX}CLIENT_ID is not set")
        return cls.from_mapping(data)


_UNSAFE = re.compile(r"[\x00-\x20\x7f]")


def _check_base_url(url: object) -> None:
    """Refuse a base URL the token path cannot be appended to.

    The core builds whatever URL it is given; a mistake here would otherwise
    show up only when sending, as a failure that looks worth retrying. No
    message quotes the URL: it may hold a password.
    """
    if not isinstance(url, str):
        raise TypeError(f"Config base_url must be a str or None, not {type(url).__name__}")
    if _UNSAFE.search(url):
        raise ValueError("Config base_url must not hold white space or control characters")
    scheme, sep, rest = url.partition("://")
    if not sep or scheme.lower() not in _SCHEMES:
        raise ValueError("Config base_url must start with http:// or https://")
    authority = re.split(r"[/?#]", rest, maxsplit=1)[0]
    if "@" in authority:
        raise ValueError(
            "Config base_url must not hold user information (user:password@): "
            "give the credentials as client_secret or basic_token"
        )
    if "?" in rest or "#" in rest:
        raise ValueError(
            "Config base_url must not have a query (?...) or a fragment (#...): "
            "the endpoints' paths are appended to it"
        )
    parts = urlsplit(url)
    try:
        port_ok = parts.port is None or parts.port > 0
    except ValueError:
        port_ok = False
    if not parts.hostname or not port_ok:
        raise ValueError("Config base_url must name a host, and a port from 1 to 65535 if any")
