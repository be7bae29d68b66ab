"""Many calls, many threads: same answers, flat memory."""

import json
import threading

from quillon_bo.core import _native

CONFIG = {"client_id": "id", "client_secret": "secret"}
CALLS = [
    ("version", ""),
    ("describe", ""),
    ("token.x", ""),
    ("nope", "{}"),
    ("token.build", json.dumps({"config": CONFIG, "input": {"now": 1}})),
    ("token.build", json.dumps({"config": {"client_id": ""}, "input": {"now": 1}})),
    (
        "token.parse",
        json.dumps(
            {
                "input": {"now": 9},
                "response": {"status": 200, "body": '{"access_token":"t","expires_in":100}'},
            }
        ),
    ),
    ("token.parse", json.dumps({"input": {"now": 9}, "response": {"status": 403, "body": "no"}})),
    ("token.parse", '{"input":{"now":9},"response":{"status":200,"body":"{"}}'),
    ("token.parse", "{}"),
]


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def test_eight_threads_agree_with_one():
    expected = [_native.call(op, payload) for op, payload in CALLS]
    rounds = 100_000 // len(CALLS)
    mismatches = [0] * 8

    def work(index):
        for _ in range(rounds):
            for k, (op, payload) in enumerate(CALLS):
                if _native.call(op, payload) != expected[k]:
                    mismatches[index] += 1

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == [0] * 8


def test_a_million_calls_leave_memory_flat():
    for op, payload in CALLS:  # warm up allocator pools and caches
        _native.call(op, payload)
    before = resident_kib()
    for _ in range(1_000_000 // len(CALLS)):
        for op, payload in CALLS:
            _native.call(op, payload)
    growth = resident_kib() - before
    print(f"resident memory: {before} KiB before, growth {growth} KiB after 1,000,000 calls")
    assert growth < 4096
