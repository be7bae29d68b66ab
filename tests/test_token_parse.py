"""token.parse through ``_native.call``: status classes, messages drawn from
error bodies, token answers and their decode failures, the expiry arithmetic
and the parse payload forms. Each case compares the whole result text with the
canonical compact JSON expected."""

import json

import pytest

from quillon_bo.core import _native

MAX, MIN = 2**63 - 1, -(2**63)


def text(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def error(kind, message, **members):
    return text(
        {"error": {"kind": kind, "message": message, "retryable": False, **members}, "ok": False}
    )


def token(access_token="t", expires_at=4540, scope=None, token_type="Bearer"):
    value = {
        "access_token": access_token,
        "expires_at": expires_at,
        "scope": scope,
        "token_type": token_type,
    }
    return text({"ok": True, "value": value})


def parse(status, body, now=1000):
    return _native.call(
        "token.parse", text({"input": {"now": now}, "response": {"status": status, "body": body}})
    )


def test_answer_byte_for_byte():
    body = '{"access_token":"abc","token_type":"Bearer","expires_in":3600,"scope":"read"}'
    assert parse(200, body) == (
        '{"ok":true,"value":{"access_token":"abc","expires_at":4540,"scope":"read","token_type":"Bearer"}}'
    )


@pytest.mark.parametrize("status", [0, 199, 300, 304, 401, 429, 500, 503, 65535])
def test_statuses_outside_2xx_are_authentication_errors(status):
    body = '{"error":"invalid_client","error_description":"Client authentication failed"}'
    assert parse(status, body) == error(
        "authentication", "Client authentication failed", status=status
    )


@pytest.mark.parametrize("status", [200, 201, 299])
def test_statuses_inside_2xx_are_read_as_tokens(status):
    assert parse(status, '{"access_token":"t"}') == token()
    assert parse(status, "") == error(
        "decode", "invalid token response: EOF while parsing a value at line 1 column 0"
    )


HTML = (
    "\n <html><head><title>401 Authorization Required</title></head><body>"
    + "<p>denied</p>" * 20
    + "</html>"
)
NESTED = '{"message":"M","x":' + "[" * 130 + "]" * 130 + "}"


@pytest.mark.parametrize(
    ("body", "message"),
    [
        ('{"error":"E","message":"M","error_description":"D"}', "D"),
        ('{"error":"E","message":"M"}', "M"),
        ('{"message":"  M\\n"}', "M"),
        ('{"error_description":"\\u00a0D\\u3000"}', "D"),
        ('{"error_description":" \\t","message":"","error":"E"}', "E"),
        ('{"error_description":42,"message":["M"],"error":"E"}', "E"),
        ('{"message":"M","message":"T"}', "T"),
        ('{"message":"a\\nb \\u00e9 \\"q\\""}', 'a\nb é "q"'),
        ('{"message":"' + "é" * 1000 + '"}', "é" * 1000),
        ('{"error":" "}', '{"error":" "}'),
        ('{"error":{"message":"M"}}', '{"error":{"message":"M"}}'),
        ('{"Message":"M"}', '{"Message":"M"}'),
        ('  ["M"]\n', '["M"]'),
        ('"quoted"', '"quoted"'),
        (" 42 ", "42"),
        ('{"message":"M"} more', '{"message":"M"} more'),
        ('{"message":"M"', '{"message":"M"'),
        ('\u00a0{"message":"M"}', '{"message":"M"}'),
        (HTML, HTML.strip()[:200]),
        (NESTED, NESTED[:200]),
        ("a" * 500, "a" * 200),
        ("\u3000" + "é" * 300, "é" * 200),
        ("x" * 199 + "🔑" * 3, "x" * 199 + "🔑"),
        ("", "empty response body"),
        (" \t\r\n\u00a0\u2028\u3000", "empty response body"),
    ],
)
def test_error_body_messages(body, message):
    assert parse(401, body) == error("authentication", message, status=401)


@pytest.mark.parametrize(
    ("body", "expected"),
    [
        ('{"access_token":"t","scope":null}', token()),
        (
            '{"scope":"","expires_in":100,"token_type":"","access_token":" t ","more":[1e400]}',
            token(" t ", 1040, "", ""),
        ),
        (
            '{"access_token":"t\\u00e9\\ud83d\\ude00","token_type":"bearer"}',
            token("té😀", token_type="bearer"),
        ),
        ('["t"]', token()),
        ('["t","mac",100]', token(expires_at=1040, token_type="mac")),
        ('\n ["t","mac",100,"s"] \r\n', token(expires_at=1040, scope="s", token_type="mac")),
    ],
)
def test_token_answers(body, expected):
    assert parse(200, body) == expected


@pytest.mark.parametrize(
    ("body", "message"),
    [
        ("{}", "missing field `access_token` at line 1 column 2"),
        (
            '{"token_type":null,"access_token":"t"}',
            "invalid type: null, expected a string at line 1 column 18",
        ),
        (
            '{"access_token":"t","expires_in":null}',
            "invalid type: null, expected i64 at line 1 column 37",
        ),
        (
            '{"access_token":"t","expires_in":3600.5}',
            "invalid type: floating point `3600.5`, expected i64 at line 1 column 39",
        ),
        (
            '{"access_token":"t","expires_in":"3600"}',
            'invalid type: string "3600", expected i64 at line 1 column 39',
        ),
        (
            '{"access_token":"t","scope":5}',
            "invalid type: integer `5`, expected a string at line 1 column 29",
        ),
        (
            '{"access_token":"t","access_token":"u"}',
            "duplicate field `access_token` at line 1 column 34",
        ),
        (
            "[]",
            "invalid length 0, expected struct TokenResponse with 4 elements at line 1 column 2",
        ),
        ('["t","B",1,null,1]', "trailing characters at line 1 column 17"),
        ('"t"', 'invalid type: string "t", expected struct TokenResponse at line 1 column 3'),
        # Unassigned code points (U+FFFF, U+0378) are shown escaped like other
        # invisible characters; an assigned neighbour (U+0377) as it is.
        (
            '{"access_token":"t","expires_in":"\\uffff\u0377\u0378"}',
            'invalid type: string "\\u{ffff}\u0377\\u{378}", expected i64 at line 1 column 45',
        ),
        ('{"access_token":"t"} x', "trailing characters at line 1 column 22"),
        (
            '{\n  "access_token": 5\n}',
            "invalid type: integer `5`, expected a string at line 2 column 19",
        ),
    ],
)
def test_token_answer_decode_failures(body, message):
    assert parse(200, body) == error("decode", "invalid token response: " + message)


@pytest.mark.parametrize("body", ['{"access_token":""}', '["","Bearer",3600,null]'])
def test_empty_access_token(body):
    assert parse(200, body) == error("decode", "token response has an empty access_token")


# 60 seconds before the stated end, never before now; saturating at the ends of
# the 64-bit range where wrapping would give a past expiry or an endless token.
@pytest.mark.parametrize(
    ("now", "expires_in", "expires_at"),
    [
        (1000, None, 4540),
        (1000, 61, 1001),
        (1000, 60, 1000),
        (1000, -3600, 1000),
        (-1000, 3600, 2540),
        (0, MAX, MAX - 60),
        (1000, MIN, 1000),
        (MIN, MIN, MIN),
        (MIN, MAX, -61),
        (100, MAX, MAX),
        (MAX, 3600, MAX),
        (MAX - 3540, 3600, MAX),
        (MAX - 3541, 3600, MAX - 1),
    ],
)
def test_expiry(now, expires_in, expires_at):
    body = (
        {"access_token": "t"}
        if expires_in is None
        else {"access_token": "t", "expires_in": expires_in}
    )
    assert parse(200, text(body), now=now) == token(expires_at=expires_at)


@pytest.mark.parametrize(
    "payload",
    [
        '[{"now":1000},{"status":200,"body":"[\\"t\\"]"}]',
        '[[1000],[200,"[\\"t\\"]"]]',
        ' {"response":{"body":"[\\"t\\"]","status":200,"headers":{}},"input":{"now":1000,"z":1}}\n',
    ],
)
def test_parse_payload_forms_agree(payload):
    assert _native.call("token.parse", payload) == token()


R = '{"status":200,"body":""}'


def with_response(response):
    return '{"input":[0],"response":' + response + "}"


# (payload, message, the text that the failure's position stands just after)
@pytest.mark.parametrize(
    ("payload", "message", "before"),
    [
        ("{}", "missing field `input`", "{}"),
        (f'{{"response":{R}}}', "missing field `input`", '""}}'),
        ('{"input":[0]}', "missing field `response`", "]}"),
        ("[[0]]", "invalid length 1, expected struct Parse with 2 elements", "]]"),
        (f"[[0],{R},]", "trailing comma", "},]"),
        ('{"input":[0],"input":[0]}', "duplicate field `input`", ',"input"'),
        (with_response('{"body":""}'), "missing field `status`", '""}'),
        (with_response('{"status":200}'), "missing field `body`", "200}"),
        (
            with_response("[200]"),
            "invalid length 1, expected struct HttpResponse with 2 elements",
            "200]",
        ),
        (with_response('[200,"",""]'), "trailing characters", '"","'),
        (with_response('"x"'), 'invalid type: string "x", expected struct HttpResponse', '"x"'),
        (with_response('[65536,"<"]'), "invalid value: integer `65536`, expected u16", "65536"),
        (with_response('[-1,""]'), "invalid value: integer `-1`, expected u16", "-1"),
        (with_response('["200",""]'), 'invalid type: string "200", expected u16', '"200"'),
        (with_response("[200,null]"), "invalid type: null, expected a string", "null"),
    ],
)
def test_parse_payload_failures(payload, message, before):
    column = payload.index(before) + len(before)
    expected = error("ffi", f"invalid payload: {message} at line 1 column {column}")
    assert _native.call("token.parse", payload) == expected


def test_parse_result_feeds_the_next_build():
    value = json.loads(parse(200, '{"access_token":"t","scope":"s"}'))["value"]
    payload = {"config": {"client_id": "id", "client_secret": "s"}, "input": {"now": 0}}
    without = _native.call("token.build", text(payload))
    assert _native.call("token.build", text({**payload, "token": value})) == without
    assert json.loads(without)["ok"] is True


@pytest.mark.parametrize("size", [0, 255, 511, 512, 513, 1023, 1024, 1025, 5000, 70000])
def test_long_texts_with_escapes(size):
    # Past the room the core keeps on the stack for decoded texts and for
    # writing, whichever way the build writes.
    piece = 'a"\\/\n\t\x01\u00e9\U0001f600z'
    long = (piece * (size // len(piece) + 1))[:size]
    answer = {"access_token": "t" + long, "scope": long, "expires_in": 120}
    if long:
        answer["token_type"] = long
    expected = token("t" + long, 1060, long, long or "Bearer")
    assert parse(200, text(answer)) == expected
    build = {"config": {"client_id": "id", "client_secret": long, "base_url": "h/" + long}}
    value = json.loads(_native.call("token.build", text({**build, "input": {"now": 0}})))["value"]
    path = "oauth-client-credentials/access-token?grant_type=client_credentials"
    assert value["url"] == ("h/" + long).rstrip("/") + "/" + path
