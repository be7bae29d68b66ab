"""The token: its value, its record in a store, and the key the record is kept under.

A token's shape (which members, of which kinds) is checked here, in one
place, whether it comes from the core's answer (:meth:`AccessToken.from_json`)
or from a store's record (:func:`decode_record`). The core checks an answer's
own shape as it parses it; a record was written by another process, so it is
checked again as it is read.
"""

from __future__ import annotations

import json
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ..core import call_core
from ..errors import DecodeError
from ..stores import store_key

if TYPE_CHECKING:
    from ..config import Config

__all__ = [
    "AccessToken",
    "Clock",
    "decode_record",
    "encode_record",
    "record_key",
    "system_clock",
]

#: A clock gives the current time in seconds; only its whole seconds are used.
Clock = Callable[[], float]


def system_clock() -> int:
    """The default clock: ``time.time()`` in whole seconds."""
    # time_ns() and an integer division are cheaper than int(time.time()): this
    # runs on every cached lookup.
    return time.time_ns() // 1_000_000_000


# A token's members and the kinds each may have (a missing member reads as
# None); a stored record adds when the token was issued.
_TOKEN_MEMBERS: dict[str, tuple[type, ...]] = {
    "access_token": (str,),
    "token_type": (str,),
    "expires_at": (int,),
    "scope": (str, type(None)),
}
_RECORD_MEMBERS: dict[str, tuple[type, ...]] = {**_TOKEN_MEMBERS, "issued_at": (int,)}


def _checked(value: object, members: Mapping[str, tuple[type, ...]]) -> Mapping[str, Any]:
    """``value`` when it has the shape that ``members`` names; else DecodeError."""
    if not isinstance(value, Mapping):
        raise DecodeError(f"access token record is not an object: {type(value).__name__}")
    for name, kinds in members.items():
        member = value.get(name)
        # JSON's true and false are ints to Python, never a time here.
        if not isinstance(member, kinds) or isinstance(member, bool):
            raise DecodeError("access token record has missing or mistyped members")
    return value


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
        return cls._of(_checked(value, _TOKEN_MEMBERS))

    @classmethod
    def _of(cls, members: Mapping[str, Any]) -> AccessToken:
        return cls(
            members["access_token"],
            members["token_type"],
            members["expires_at"],
            members.get("scope"),
        )


def encode_record(token: AccessToken, issued_at: int) -> bytes:
    """The record of ``token`` as a store keeps it: compact JSON, sorted members."""
    members = {**token.to_json(), "issued_at": issued_at}
    return json.dumps(members, separators=(",", ":"), sort_keys=True).encode()


def decode_record(record: bytes) -> tuple[AccessToken, int]:
    """The token in a store's record and when it was issued.

    Raises ValueError or DecodeError for anything but a whole record, with
    exactly its members: a store may hold what another program put there.
    """
    members = json.loads(record)
    if not isinstance(members, dict) or members.keys() != _RECORD_MEMBERS.keys():
        raise DecodeError("not a token record")
    checked = _checked(members, _RECORD_MEMBERS)
    return AccessToken._of(checked), checked["issued_at"]


def record_key(config: Config, operation: str) -> str:
    """The store key of the client's tokens: its token URL and its client id.

    Only the core knows the token URL a configuration sends to; a build of the
    operation's request tells it (its time, 0, changes nothing in the URL).
    Keys must stay as they are: a fleet's stored entries are found by them.
    """
    described = call_core(
        f"{operation}.build",
        {"config": config.to_json(), "token": None, "input": {"now": 0}},
    )
    return store_key(str(described["url"]), config.client_id)
