"""The native core's Python face: ``call(op, payload)``, JSON text in and out.

:func:`call_raw` is the core's ``call`` itself. Everything else here reads its
result envelope (``{"ok": true, "value": ...}`` or ``{"ok": false, "error":
{...}}``) in one place, :func:`read_envelope`, and raises an error as the
:mod:`quillon_bo.errors` exception of its kind.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, cast

from ..errors import error_from_json
from ._native import call as _native_call

__all__ = [
    "OperationInfo",
    "call_core",
    "call_raw",
    "core_version",
    "describe",
    "dumps",
    "read_envelope",
]


def call_raw(op: str, payload: str) -> str:
    """The core's ``call`` itself: payload text in, result envelope text out."""
    return _native_call(op, payload)


def dumps(value: Any) -> str:
    """``value`` as the core reads a payload: compact JSON, UTF-8 kept as it is."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def read_envelope(text: str) -> tuple[bool, Any]:
    """``(True, value)`` for a result, ``(False, error member)`` for an error."""
    envelope = json.loads(text)
    if envelope.get("ok") is True:
        return True, envelope.get("value")
    return False, envelope.get("error") or {}


def call_core(op: str, payload: Any = None) -> Any:
    """Call the core with a JSON-serialisable payload; return its value or raise.

    Errors come back as the :mod:`quillon_bo.errors` exception of their kind.
    """
    ok, value = read_envelope(_native_call(op, "" if payload is None else dumps(payload)))
    if ok:
        return value
    raise error_from_json(value)


@dataclass(frozen=True, slots=True)
class OperationInfo:
    """One entry of the core's ``describe`` list."""

    name: str
    kind: str = "operation"
    idempotent: bool = False
    timeout_secs: int | None = None


def describe() -> list[OperationInfo]:
    """The operations the core offers."""
    out = []
    for item in call_core("describe"):
        timeout = item.get("timeout_secs")
        out.append(
            OperationInfo(
                name=str(item["name"]),
                kind=str(item.get("kind", "operation")),
                idempotent=item.get("idempotent") is True,
                timeout_secs=timeout if isinstance(timeout, int) else None,
            )
        )
    return out


def core_version() -> dict[str, Any]:
    """The core's version record: ``{"core": "0.1.0", "protocol": 2}``."""
    return cast("dict[str, Any]", call_core("version"))
