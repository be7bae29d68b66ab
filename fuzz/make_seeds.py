"""Writes the seed corpora of the fuzz targets into DIR/<target>/.

Usage: make_seeds.py DIR [SUITE_DIR]

Seeds come from the public JSON conformance suite (its test_parsing folder,
when given as SUITE_DIR) and from typical payloads of every operation, so
that the fuzzer starts from inputs that reach deep into each decoder.
"""

import json
import pathlib
import sys

out = pathlib.Path(sys.argv[1])
suite = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else None

CONFIG = {"client_id": "id", "client_secret": "s\u00e9cret", "environment": "production"}
TOKEN = {"access_token": "a", "token_type": "Bearer", "expires_at": 5, "scope": None}
BODY = json.dumps({"access_token": "t", "expires_in": 3600, "scope": "a b"})
PAYLOADS = {
    "token.build": [
        {"config": CONFIG, "input": {"now": 1}},
        {"config": {"client_id": "x", "basic_token": "Basic QQ=="}, "token": TOKEN, "input": [5]},
        [{"client_id": "x", "base_url": "https://h//"}, None, {"now": -1}],
        {"config": ["id", None, "tok", {"sandbox": None}], "input": {"now": 0}},
    ],
    "token.parse": [
        {"input": {"now": 1000}, "response": {"status": 200, "body": BODY}},
        {"input": [1], "response": [401, '{"error":"invalid_client","error_description":"no"}']},
        {"input": {"now": 1}, "response": {"status": 502, "body": "<html>bad gateway</html>"}},
        {"input": {"now": 1}, "response": {"status": 200, "body": '["t","mac",61,null]'}},
    ],
}

records = {
    "Config": [CONFIG, ["id", None, "tok", "development", "https://x"]],
    "HttpResponse": [{"status": 200, "body": ""}, [65535, "x"]],
    "TokenInput": [{"now": 5}, [9223372036854775807]],
    "TokenResponse": [json.loads(BODY), ["t"]],
    "AccessToken": [TOKEN, ["a", "b", -1, "s"]],
    "Build": PAYLOADS["token.build"],
    "Parse": PAYLOADS["token.parse"],
}

names = list(records)


def write(target, name, data):
    folder = out / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


for op in ["version", "describe", "token.build", "token.parse", "token.", "nope"]:
    for i, payload in enumerate(PAYLOADS.get(op, [{}])):
        text = json.dumps(payload, ensure_ascii=False).encode()
        write("call_fuzz", f"{op}-{i}", bytes([len(op.encode())]) + op.encode() + text)

for index, name in enumerate(names):
    for i, value in enumerate(records[name]):
        text = json.dumps(value, ensure_ascii=False).encode()
        # The first byte chooses the record.
        write("record_fuzz", f"{name}-{i}", bytes([index]) + text)

# Every payload and record above is JSON text for the value reader too, so it
# has seeds of its own even where the conformance suite is not at hand.
for op, payloads in PAYLOADS.items():
    for i, payload in enumerate(payloads):
        write("json_value_fuzz", f"{op}-{i}", json.dumps(payload, ensure_ascii=False).encode())
for name in names:
    for i, value in enumerate(records[name]):
        write("json_value_fuzz", f"{name}-{i}", json.dumps(value, ensure_ascii=False).encode())

if suite is not None and suite.is_dir():
    for path in sorted(suite.glob("*.json")):
        data = path.read_bytes()
        write("json_value_fuzz", path.name, data)
        write("record_fuzz", path.name, bytes([0]) + data)
