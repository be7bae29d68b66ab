"""Cost of one ``_native.call`` from Python, in nanoseconds per call.

In one run, each written directly as the timed statement:

- floor: ``floor.call("version", "")``, a C function of the same shape as
  ``_native.call`` under the same stable ABI that does nothing but bind and
  read its arguments and return a new str of the version envelope
  (bench/floor/floor.c, built here with the interpreter's C compiler);
- version: ``_native.call("version", "")``;
- token.parse with a parse payload of about 300 bytes (a token answer of about
  200 bytes inside), beside ``orjson.loads`` of the same payload text;
- token.build with a build payload of about 300 bytes.

    python bench/bench_calls.py [--repeat N] [--number N]

Prints min and median over the repetitions and the ratios of the minimums;
no figure is asserted. orjson is optional.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import pathlib
import statistics
import subprocess
import sysconfig
import tempfile
import timeit
from types import ModuleType

from quillon_bo.core import _native

BUILD = json.dumps(
    {
        "config": {
            "client_id": "3f9c2a7e-51d4-4b8e-9a0c-6d2e8f1b7c45",
            "client_secret": "Zq8rT2vX9mK4pL7wN3bY6cH1jF5dS0gA",
            "environment": "production",
        },
        "token": {
            "access_token": "eyJhbGciOiJSUzI1NiJ9.eyJzdWIiOiJjIn0.c2ln",
            "token_type": "Bearer",
            "expires_at": 1767225600,
            "scope": "payments:read",
        },
        "input": {"now": 1767222000},
    },
    separators=(",", ":"),
)

TOKEN_ANSWER = json.dumps(
    {
        "access_token": "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCJ9.eyJzdWIiOiJjbGllbnQiLCJleHAiOjE3Njc"
        "yMjU2MDB9.c2lnbmF0dXJlLXNpZ25hdHVyZQ",
        "token_type": "Bearer",
        "expires_in": 3600,
        "scope": "payments:read payments:write",
    },
    separators=(",", ":"),
)
PARSE = json.dumps(
    {"input": {"now": 1767222000}, "response": {"status": 200, "body": TOKEN_ANSWER}},
    separators=(",", ":"),
)

CASES = [("version", ""), ("token.build", BUILD), ("token.parse", PARSE)]
FLOOR_SOURCE = pathlib.Path(__file__).resolve().parent / "floor" / "floor.c"


def build_floor(directory: pathlib.Path) -> ModuleType:
    """Compiles floor.c into an extension module of this interpreter and loads it."""
    target = directory / f"floor{sysconfig.get_config_var('EXT_SUFFIX')}"
    compiler = (sysconfig.get_config_var("CC") or "cc").split()
    include = f"-I{sysconfig.get_paths()['include']}"
    flags = ["-shared", "-fPIC", "-O2", include]
    subprocess.run([*compiler, *flags, str(FLOOR_SOURCE), "-o", str(target)], check=True)
    spec = importlib.util.spec_from_file_location("floor", target)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def measure(call: object, op: str, payload: str, repeat: int, number: int) -> tuple[float, float]:
    timer = timeit.Timer("call(op, payload)", globals={"call": call, "op": op, "payload": payload})
    runs = [t / number * 1e9 for t in timer.repeat(repeat=repeat, number=number)]
    return min(runs), statistics.median(runs)


def measure_loads(loads: object, text: str, repeat: int, number: int) -> tuple[float, float]:
    timer = timeit.Timer("loads(text)", globals={"loads": loads, "text": text})
    runs = [t / number * 1e9 for t in timer.repeat(repeat=repeat, number=number)]
    return min(runs), statistics.median(runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=25)
    parser.add_argument("--number", type=int, default=50_000)
    args = parser.parse_args()

    for op, payload in CASES:
        # A failed call would measure the error path: make sure each one succeeds.
        assert json.loads(_native.call(op, payload))["ok"] is True, op
    with tempfile.TemporaryDirectory() as directory:
        floor = build_floor(pathlib.Path(directory))
    assert floor.call("version", "") == _native.call("version", "")
    try:
        import orjson
    except ImportError:
        orjson = None

    rows: dict[str, tuple[float, float]] = {}
    rows["floor"] = measure(floor.call, "version", "", args.repeat, args.number)
    for op, payload in CASES:
        rows[op] = measure(_native.call, op, payload, args.repeat, args.number)
    if orjson is not None:
        rows["orjson.loads"] = measure_loads(orjson.loads, PARSE, args.repeat, args.number)

    print(f"build payload {len(BUILD)} bytes, parse payload {len(PARSE)} bytes")
    print(f"(token answer {len(TOKEN_ANSWER)} bytes)")
    print(f"{'':<14}{'min ns':>10}{'median ns':>12}")
    for name, (low, mid) in rows.items():
        print(f"{name:<14}{low:>10.0f}{mid:>12.0f}")
    print(f"version / floor          {rows['version'][0] / rows['floor'][0]:.2f}x")
    if orjson is not None:
        ratio = rows["token.parse"][0] / rows["orjson.loads"][0]
        print(f"token.parse / orjson.loads {ratio:.2f}x")


if __name__ == "__main__":
    main()
