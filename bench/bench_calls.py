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

    python bench/bench_calls.py [--repeat N] [--number N] [--compare NAME=PATH ...]

``--compare`` times the three calls of other builds of the module in the same
run, interleaved, beside the installed one: PATH is a ``_native*.so`` file or
a wheel holding one (for example the release wheel against a plain local
build: ``--compare release=dist/quillon_bo-...whl --compare local=local.whl``).

Prints min and median over the repetitions and the ratios of the minimums;
no figure is asserted. orjson is optional.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import json
import pathlib
import statistics
import subprocess
import sysconfig
import tempfile
import timeit
import zipfile
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
    module_spec = importlib.util.spec_from_file_location("floor", target)
    assert module_spec is not None and module_spec.loader is not None
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def load_build(name: str, path: pathlib.Path, directory: pathlib.Path) -> ModuleType:
    """Loads another build of the module from its .so file or from a wheel."""
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as wheel:
            member = next(n for n in wheel.namelist() if "/_native" in n and n.endswith(".so"))
            path = pathlib.Path(wheel.extract(member, directory / name))
    # The init function is found by the last part of the name: keep it `_native`.
    qualified = f"qb_compare_{name}._native"
    loader = importlib.machinery.ExtensionFileLoader(qualified, str(path))
    module_spec = importlib.util.spec_from_file_location(qualified, path, loader=loader)
    assert module_spec is not None
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    return module


def compare(builds: dict[str, ModuleType], repeat: int, number: int) -> None:
    """Times every build's calls in turn, so that load on the machine falls on all alike."""
    best = {(name, op): float("inf") for name in builds for op, _ in CASES}
    for _ in range(repeat):
        for name, module in builds.items():
            for op, payload in CASES:
                low, _ = measure(module.call, op, payload, 1, number)
                best[name, op] = min(best[name, op], low)
    first = next(iter(builds))
    print(f"\nbuilds compared, min ns (ratio to {first}):")
    print(f"{'':<14}" + "".join(f"{name:>22}" for name in builds))
    for op, _ in CASES:
        cells = [
            f"{best[name, op]:>10.0f} ({best[name, op] / best[first, op]:.3f}x)" for name in builds
        ]
        print(f"{op:<14}" + "".join(f"{cell:>22}" for cell in cells))


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
    parser.add_argument("--compare", action="append", default=[], metavar="NAME=PATH")
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

    if args.compare:
        with tempfile.TemporaryDirectory() as directory:
            builds = {"installed": _native}
            for item in args.compare:
                name, _, path = item.partition("=")
                builds[name] = load_build(name, pathlib.Path(path), pathlib.Path(directory))
            for name, module in builds.items():
                for op, payload in CASES:
                    assert module.call(op, payload) == _native.call(op, payload), (name, op)
            compare(builds, args.repeat, args.number)


if __name__ == "__main__":
    main()
