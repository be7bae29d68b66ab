"""token.parse end to end through ``_native.call``: status classes, messages
drawn from error bodies, the token answer with its decode failures, the
expiry arithmetic and the parse payload forms.

Every case compares the whole result text with the canonical compact JSON of
the expected envelope, so member order and escaping are checked too.
"""

import json

import pytest

from quillon_bo.core import _native

I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


def text(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def ok(value):
    return text({"ok": True, "value": value})


def error(kind, message, **members):
    return text({"error": {"kind": kind, "message": message, "retryable": False, **members}, "ok": False})


def token(access_token="t", expires_at=4540, scope=None, token_type="Bearer"):
    return ok({"access_token": access_token, "expires_at": expires_at, "scope": scope, "token_type": token_type})


def parse(status, body, now=1000):
    return _native.call(
        "token.parse", text({"input": {"now": now}, "response": {"status": status, "body": body}})
    )


def test_typical_answer_byte_for_byte():
    body = '{"access_token":"abc","token_type":"Bearer","expires_in":3600,"scope":"read"}'
    assert parse(200, body) == (
        '{"ok":true,"value":{"access_token":"abc","expires_at":4540,"scope":"read","token_type":"Bearer"}}'
    )


@pytest.mark.parametrize("status", [0, 100, 199, 300, 301, 304, 400, 401, 403, 429, 500, 503, 65535])
def test_statuses_outside_2xx_are_authentication_errors(status):
    body = '{"error":"invalid_client","error_description":"Client authentication failed"}'
    assert parse(status, body) == error("authentication", "Client authentication failed", status=status)


@pytest.mark.parametrize("status", [200, 201, 204, 299])
def test_statuses_inside_2xx_are_read_as_tokens(status):
    assert parse(status, '{"access_token":"t"}') == token()
    assert parse(status, "") == error(
        "decode", "invalid token response: EOF while parsing a value at line 1 column 0"
    )


HTML = (
    "\n  <!DOCTYPE html>\n<html><head><title>401 Authorization Required</title></head>"
    "<body><h1>Authorization Required</h1><p>This server could not verify that you are authorized "
    "to access the document requested.</p><hr><address>gateway</address></body></html>\n"
)
NESTED = '{"message":"M","x":' + "[" * 130 + "]" * 130 + "}"

ERROR_BODIES = [
    ('{"error":"E","error_description":"D"}', "D"),
    ('{"error":"E"}', "E"),
    ('{"message":"  M\\n"}', "M"),
    ('{"error_description":"\\u00a0D\\u3000"}', "D"),
    ('{"error_description":"   ","message":"M"}', "M"),
    ('{"error_description":"\\t\\r\\n","message":"","error":"E"}', "E"),
    ('{"error_description":42,"error":"E"}', "E"),
    ('{"error_description":null,"message":["M"],"error":"E"}', "E"),
    ('{"message":"line\\nbreak \\u00e9 \\"q\\""}', 'line\nbreak é "q"'),
    ('{"message":"M","message":"T"}', "T"),
    ('{"error":" "}', '{"error":" "}'),
    ('{"error":{"message":"M"}}', '{"error":{"message":"M"}}'),
    ('{"Message":"M"}', '{"Message":"M"}'),
    ('{"data":{"error_description":"D"}}', '{"data":{"error_description":"D"}}'),
    ('["M"]', '["M"]'),
    ('  "quoted"\n', '"quoted"'),
    (" 42 ", "42"),
    ("null", "null"),
    ('{"message":"M"} and more', '{"message":"M"} and more'),
    ('{"message":"M"', '{"message":"M"'),
    ('\u00a0{"message":"M"}', '{"message":"M"}'),
    ('{"message":"M"}\u3000', '{"message":"M"}'),
    ("Unauthorized", "Unauthorized"),
    (HTML, HTML.strip()[:200]),
    (NESTED, NESTED[:200]),
    ("a" * 500, "a" * 200),
    ("   " + "b" * 300, "b" * 200),
    ("é" * 300, "é" * 200),
    ("€" * 201, "€" * 200),
    ("🔑" * 250, "🔑" * 200),
    ("x" * 199 + "🔑" * 3, "x" * 199 + "🔑"),
    ('{"message":"' + "é" * 1000 + '"}', "é" * 1000),
    ("", "empty response body"),
    (" \t\r\n\u00a0\u2028\u3000", "empty response body"),
]


@pytest.mark.parametrize(("body", "message"), ERROR_BODIES)
def test_error_body_messages(body, message):
    assert parse(401, body) == error("authentication", message, status=401)


@pytest.mark.parametrize(
    ("body", "expected"),
    [
        ('{"access_token":"t"}', token()),
        ('{"access_token":"t","token_type":"bearer"}', token(token_type="bearer")),
        ('{"access_token":"t","token_type":""}', token(token_type="")),
        ('{"access_token":"t","scope":null}', token()),
        ('{"access_token":"t","scope":""}', token(scope="")),
        ('{"scope":"a b","expires_in":100,"token_type":"mac","access_token":" t "}',
         token(" t ", 1040, "a b", "mac")),
        ('{"access_token":"t","refresh_token":"r","extra":[{"deep":[1e400]}]}', token()),
        ('{"access_token":"t\\u00e9\\ud83d\\ude00"}', token("té😀")),
        ('["t"]', token()),
        ('["t","mac"]', token(token_type="mac")),
        ('["t","mac",100]', token(expires_at=1040, token_type="mac")),
        ('["t","mac",100,"s"]', token(expires_at=1040, scope="s", token_type="mac")),
        ('["t","mac",100,null]', token(expires_at=1040, token_type="mac")),
        ('\n {"access_token":"t"} \r\n', token()),
        ('{"access_token":"   "}', token("   ")),
    ],
)
def test_token_answers(body, expected):
    assert parse(200, body) == expected


TOKEN_FAILURES = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("{}", "missing field `access_token` at line 1 column 2"),
    ('{"error":"x"}', "missing field `access_token` at line 1 column 13"),
    ('{"token_type":null,"access_token":"t"}', "invalid type: null, expected a string at line 1 column 18"),
    ('{"access_token":null}', "invalid type: null, expected a string at line 1 column 20"),
    ('{"access_token":5}', "invalid type: integer `5`, expected a string at line 1 column 17"),
    ('{"access_token":"t","expires_in":null}', "invalid type: null, expected i64 at line 1 column 37"),
    ('{"access_token":"t","expires_in":3600.5}',
     "invalid type: floating point `3600.5`, expected i64 at line 1 column 39"),
    ('{"access_token":"t","expires_in":"3600"}',
     'invalid type: string "3600", expected i64 at line 1 column 39'),
    ('{"access_token":"t","expires_in":9223372036854775808}',
     "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 52"),
    ('{"access_token":"t","expires_in":1e400}', "number out of range at line 1 column 38"),
    ('{"access_token":"t","scope":5}', "invalid type: integer `5`, expected a string at line 1 column 29"),
    ('{"access_token":"t","access_token":"u"}', "duplicate field `access_token` at line 1 column 34"),
    ("[]", "invalid length 0, expected struct TokenResponse with 4 elements at line 1 column 2"),
    ('["t","B",1,null,1]', "trailing characters at line 1 column 17"),
    ('"t"', 'invalid type: string "t", expected struct TokenResponse at line 1 column 3'),
    ('{"access_token":"t"} x', "trailing characters at line 1 column 22"),
    ("<html>", "expected value at line 1 column 1"),
    ('{\n  "access_token": 5\n}', "invalid type: integer `5`, expected a string at line 2 column 19"),
]


@pytest.mark.parametrize(("body", "message"), TOKEN_FAILURES)
def test_token_answer_decode_failures(body, message):
    assert parse(200, body) == error("decode", "invalid token response: " + message)


@pytest.mark.parametrize("body", ['{"access_token":""}', '[""]', '["","Bearer",3600,null]'])
def test_empty_access_token(body):
    assert parse(200, body) == error("decode", "token response has an empty access_token")


# Expiry: 60 seconds before the stated end, never before now, saturating at
# the ends of the signed 64-bit range instead of wrapping around.
@pytest.mark.parametrize(
    ("now", "expires_in", "expires_at"),
    [
        (1000, None, 4540),
        (1000, 61, 1001),
        (1000, 60, 1000),
        (1000, 0, 1000),
        (1000, -3600, 1000),
        (-1, 61, 0),
        (-1000, 3600, 2540),
        (0, I64_MAX, I64_MAX - 60),
        # Wrapping arithmetic would make this token valid for ever.
        (1000, I64_MIN, 1000),
        (I64_MIN, I64_MIN, I64_MIN),
        (I64_MIN, 3600, I64_MIN + 3540),
        (I64_MIN, I64_MAX, -61),
        # Wrapping arithmetic would put these expiries far in the past.
        (100, I64_MAX, I64_MAX),
        (I64_MAX, 3600, I64_MAX),
        (I64_MAX - 3540, 3600, I64_MAX),
        (I64_MAX - 3541, 3600, I64_MAX - 1),
        (I64_MAX, 0, I64_MAX),
    ],
)
def test_expiry(now, expires_in, expires_at):
    body = {"access_token": "t"} if expires_in is None else {"access_token": "t", "expires_in": expires_in}
    assert parse(200, text(body), now=now) == token(expires_at=expires_at)


@pytest.mark.parametrize(
    "payload",
    [
        '{"input":{"now":1000},"response":{"status":200,"body":"[\\"t\\"]"}}',
        '{"response":{"body":"[\\"t\\"]","status":200},"input":{"now":1000}}',
        '[{"now":1000},{"status":200,"body":"[\\"t\\"]"}]',
        '[[1000],[200,"[\\"t\\"]"]]',
        '{"input":[1000],"response":{"status":200,"body":"[\\"t\\"]","headers":{"a":"b"}},"x":null}',
        ' \n{"input":{"now":1000,"zone":"UTC"},"response":[200,"[\\"t\\"]"]}\t',
    ],
)
def test_parse_payload_forms_agree(payload):
    assert _native.call("token.parse", payload) == token()


RESPONSE = '{"status":200,"body":""}'
PARSE_FAILURES = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("{}", "missing field `input` at line 1 column 2"),
    ('{"response":' + RESPONSE + "}", "missing field `input` at line 1 column 37"),
    ('{"input":[0]}', "missing field `response` at line 1 column 13"),
    ("[]", "invalid length 0, expected struct Parse with 2 elements at line 1 column 2"),
    ("[[0]]", "invalid length 1, expected struct Parse with 2 elements at line 1 column 5"),
    ("[[0]," + RESPONSE + ",1]", "trailing characters at line 1 column 31"),
    ("[[0]," + RESPONSE + ",]", "trailing comma at line 1 column 31"),
    ("5", "invalid type: integer `5`, expected struct Parse at line 1 column 1"),
    ('"x"', 'invalid type: string "x", expected struct Parse at line 1 column 3'),
    ('{"input":[0],"input":[0]}', "duplicate field `input` at line 1 column 20"),
    ('{"input":[0],"response":' + RESPONSE + ',"response":1}', "duplicate field `response` at line 1 column 59"),
    ('{"input":{},"response":' + RESPONSE + "}", "missing field `now` at line 1 column 11"),
    ('{"input":[0],"response":{}}', "missing field `status` at line 1 column 26"),
    ('{"input":[0],"response":{"body":""}}', "missing field `status` at line 1 column 35"),
    ('{"input":[0],"response":{"status":200}}', "missing field `body` at line 1 column 38"),
    ('{"input":[0],"response":[200]}', "invalid length 1, expected struct HttpResponse with 2 elements at line 1 column 29"),
    ('{"input":[0],"response":[]}', "invalid length 0, expected struct HttpResponse with 2 elements at line 1 column 26"),
    ('{"input":[0],"response":[200,"",""]}', "trailing characters at line 1 column 33"),
    ('{"input":[0],"response":"x"}', 'invalid type: string "x", expected struct HttpResponse at line 1 column 27'),
    ('{"input":[0],"response":{"status":65536,"body":"<html>"}}',
     "invalid value: integer `65536`, expected u16 at line 1 column 39"),
    ('{"input":[0],"response":{"status":-1,"body":""}}', "invalid value: integer `-1`, expected u16 at line 1 column 36"),
    ('{"input":[0],"response":{"status":-0,"body":""}}',
     "invalid type: floating point `-0.0`, expected u16 at line 1 column 36"),
    ('{"input":[0],"response":{"status":200.0,"body":""}}',
     "invalid type: floating point `200.0`, expected u16 at line 1 column 39"),
    ('{"input":[0],"response":{"status":2e2,"body":""}}',
     "invalid type: floating point `200.0`, expected u16 at line 1 column 37"),
    ('{"input":[0],"response":{"status":1e20,"body":""}}',
     "invalid type: floating point `1e+20`, expected u16 at line 1 column 38"),
    ('{"input":[0],"response":{"status":1e400,"body":""}}', "number out of range at line 1 column 39"),
    ('{"input":[0],"response":{"status":"200","body":""}}',
     'invalid type: string "200", expected u16 at line 1 column 39'),
    ('{"input":[0],"response":{"status":true,"body":""}}',
     "invalid type: boolean `true`, expected u16 at line 1 column 38"),
    ('{"input":[0],"response":{"status":null,"body":""}}', "invalid type: null, expected u16 at line 1 column 38"),
    ('{"input":[0],"response":{"status":200,"body":null}}', "invalid type: null, expected a string at line 1 column 49"),
    ('{"input":[0],"response":{"status":200,"body":{}}}', "invalid type: map, expected a string at line 1 column 45"),
    ('{"input":[0],"response":{"status":200,"status":200}}', "duplicate field `status` at line 1 column 46"),
]


@pytest.mark.parametrize(("payload", "message"), PARSE_FAILURES)
def test_parse_payload_failures(payload, message):
    assert _native.call("token.parse", payload) == error("ffi", "invalid payload: " + message)


@pytest.mark.parametrize("op", ["token.Parse", "token.parse ", "token.parse.", "token.response"])
def test_unknown_parse_stages(op):
    stage = op[len("token."):]
    assert _native.call(op, '{"input":[0],"response":[200,"[\\"t\\"]"]}') == error(
        "ffi", f"unknown stage `{stage}` for `token`"
    )


def test_parse_result_feeds_the_next_build():
    value = json.loads(parse(200, '{"access_token":"t","scope":"s"}'))["value"]
    config = {"client_id": "id", "client_secret": "s"}
    with_token = _native.call("token.build", text({"config": config, "token": value, "input": {"now": 0}}))
    without = _native.call("token.build", text({"config": config, "input": {"now": 0}}))
    assert with_token == without
    assert json.loads(with_token)["ok"] is True
