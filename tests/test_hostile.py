"""Hostile payloads through the module: each gives a clear answer, never a crash."""

import json
import re

import pytest

from quillon_bo.core import _native

TOKEN_BODY = json.dumps({"access_token": "tok", "expires_in": 3600})
GOOD_PARSE = {"input": {"now": 1000}, "response": {"status": 200, "body": TOKEN_BODY}}
GOOD_TOKEN = {"access_token": "tok", "expires_at": 4540, "scope": None, "token_type": "Bearer"}


def call(op, payload):
    result = _native.call(op, payload)
    return json.loads(result)


def parse_with_extra(extra_text):
    """A valid parse payload with one more member whose value is `extra_text`."""
    return (
        '{"input":{"now":1000},"skipped":'
        + extra_text
        + ',"response":'
        + json.dumps(GOOD_PARSE["response"])
        + "}"
    )


def test_a_100_megabyte_payload():
    payload = parse_with_extra('"' + "x" * (100 * 1024 * 1024) + '"')
    assert call("token.parse", payload) == {"ok": True, "value": GOOD_TOKEN}


def test_a_skipped_member_nested_ten_million_deep():
    depth = 10_000_000
    nested = "[" * depth + "]" * depth
    assert call("token.parse", parse_with_extra(nested)) == {"ok": True, "value": GOOD_TOKEN}
    nested_objects = '{"a":' * depth + "null" + "}" * depth
    assert call("token.parse", parse_with_extra(nested_objects))["ok"] is True
    # Unbalanced: the text ends inside the skipped arrays.
    payload = '{"input":{"now":1},"skipped":' + "[" * depth
    error = call("token.parse", payload)["error"]
    assert (
        error["message"]
        == f"invalid payload: EOF while parsing a list at line 1 column {len(payload)}"
    )


def test_nesting_beyond_the_budget_in_a_decoded_body_is_not_json():
    # The body of a failure answer is read as a JSON value, which has a nesting budget:
    # too deep, and the raw text is the message.
    body = "[" * 200 + "]" * 200
    payload = {"input": {"now": 1}, "response": {"status": 500, "body": body}}
    error = call("token.parse", json.dumps(payload))["error"]
    assert error == {
        "kind": "authentication",
        "message": body[:200],
        "retryable": False,
        "status": 500,
    }


def test_an_object_with_a_million_members():
    members = ",".join(f'"k{i}":{i}' for i in range(1_000_000))
    assert call("token.parse", parse_with_extra("{" + members + "}"))["value"] == GOOD_TOKEN
    # The same members, in reverse order, in an error body read as a JSON value.
    reverse = ",".join(f'"k{i}":{i}' for i in reversed(range(1_000_000)))
    body = "{" + reverse + ',"message":"too many"}'
    payload = {"input": {"now": 1}, "response": {"status": 400, "body": body}}
    assert call("token.parse", json.dumps(payload))["error"]["message"] == "too many"


def test_numbers_of_a_million_digits():
    digits = "9" * 1_000_000
    assert call("token.parse", parse_with_extra(digits))["value"] == GOOD_TOKEN
    assert call("token.parse", parse_with_extra("-0." + digits + "e-99999"))["ok"] is True
    payload = '{"input":{"now":' + digits + "}}"
    assert call("token.parse", payload)["error"]["message"] == (
        f"invalid payload: number out of range at line 1 column {len(payload) - 2}"
    )
    body = "{" + f'"n":{digits}' + "}"
    error_payload = {"input": {"now": 1}, "response": {"status": 401, "body": body}}
    assert call("token.parse", json.dumps(error_payload))["error"]["message"] == body[:200]


def test_strings_of_a_million_escapes():
    token = '\n"\\\u00e9' * 250_000
    body = json.dumps({"access_token": token})
    payload = {"input": {"now": 0}, "response": {"status": 200, "body": body}}
    result = _native.call("token.parse", json.dumps(payload))
    assert json.loads(result)["value"]["access_token"] == token
    skipped = '"' + "\\u12345" * 1_000_000 + '"'
    assert call("token.parse", parse_with_extra(skipped))["value"] == GOOD_TOKEN


BUILD = json.dumps(
    {
        "config": {
            "client_id": "client",
            "client_secret": "s3cr\u00e9t",
            "environment": "sandbox",
            "base_url": None,
        },
        "token": {"access_token": "a", "token_type": "Bearer", "expires_at": 5, "scope": "x y"},
        "input": {"now": 1700000000},
    },
    ensure_ascii=False,
    indent=1,
)
PARSE = json.dumps(
    {"input": [12], "response": [200, json.dumps({"access_token": "t", "scope": None})]}
)

EOF_MESSAGE = re.compile(
    r"invalid payload: EOF while parsing (a value|a list|an object|a string) "
    r"at line (\d+) column (\d+)"
)


@pytest.mark.parametrize(("op", "payload"), [("token.build", BUILD), ("token.parse", PARSE)])
def test_every_truncation_of_a_valid_payload(op, payload):
    assert call(op, payload)["ok"] is True
    data = payload.encode()
    for cut in range(len(data)):
        prefix = data[:cut].decode(errors="ignore")
        result = _native.call(op, prefix)
        envelope = json.loads(result)
        assert envelope["ok"] is False, prefix
        error = envelope["error"]
        assert error["kind"] == "ffi" and error["retryable"] is False
        match = EOF_MESSAGE.fullmatch(error["message"])
        assert match, (prefix, error["message"])
        raw = prefix.encode()
        line = raw.count(b"\n") + 1
        column = len(raw) - (raw.rfind(b"\n") + 1)
        assert (int(match[2]), int(match[3])) == (line, column), prefix
