"""Cost of one ``_native.call`` from Python, in nanoseconds per call.

Measures "version" (the floor: argument binding, the envelope, the result
str), a typical token.build (a build payload of about 300 bytes) and a typical
token.parse (a parse payload whose body is a token answer of about 200 bytes).

    python bench/bench_calls.py [--repeat N] [--number N]

Prints min and median over the repetitions; no figure is asserted.
"""

from __future__ import annotations

import argparse
import json
import statistics
import timeit

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


def measure(op: str, payload: str, repeat: int, number: int) -> tuple[float, float]:
    timer = timeit.Timer(
        "call(op, payload)", globals={"call": _native.call, "op": op, "payload": payload}
    )
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
    print(f"build payload {len(BUILD)} bytes, token answer {len(TOKEN_ANSWER)} bytes")
    print(f"{'op':<14}{'min ns':>10}{'median ns':>12}")
    for op, payload in CASES:
        low, mid = measure(op, payload, args.repeat, args.number)
        print(f"{op:<14}{low:>10.0f}{mid:>12.0f}")


if __name__ == "__main__":
    main()
