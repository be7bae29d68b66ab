"""token.build through ``_native.call``: configuration, URL joining, the Basic
credential, the build payload forms and their decode failures. Each case
compares the whole result text with the canonical compact JSON expected."""

import base64
import json

import pytest

from quillon_bo.core import _native

PATH = "oauth-client-credentials/access-token?grant_type=client_credentials"
SANDBOX = "https://api-test.gateway.example/sandbox/" + PATH
CONFIG = '{"client_id":"id","client_secret":"s"}'
BASIC = "Basic aWQ6cw=="


def text(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def error(kind, message, **members):
    return text(
        {"error": {"kind": kind, "message": message, "retryable": False, **members}, "ok": False}
    )


def request(authorization=BASIC, url=SANDBOX):
    headers = {
        "Accept": "application/json",
        "Authorization": authorization,
        "Content-Type": "application/x-www-form-urlencoded",
    }
    return text(
        {"ok": True, "value": {"body": None, "headers": headers, "method": "POST", "url": url}}
    )


def build(config=CONFIG, token=None, input='{"now":0}'):
    token = "" if token is None else f',"token":{token}'
    return f'{{"config":{config}{token},"input":{input}}}'


def call(config=CONFIG, **members):
    return _native.call(
        "token.build", build(config if isinstance(config, str) else json.dumps(config), **members)
    )


def test_request_byte_for_byte():
    assert call() == (
        '{"ok":true,"value":{"body":null,"headers":{"Accept":"application/json","Authorization":'
        '"Basic aWQ6cw==","Content-Type":"application/x-www-form-urlencoded"},"method":"POST",'
        '"url":"https://api-test.gateway.example/sandbox/oauth-client-credentials/access-token'
        '?grant_type=client_credentials"}}'
    )


@pytest.mark.parametrize(
    ("members", "base"),
    [
        ({"environment": "development"}, "https://api-test.gateway.example/desarrollo/"),
        ({"environment": {"production": None}, "base_url": None}, "https://api.gateway.example/"),
        (
            {"environment": "production", "base_url": "http://127.0.0.1:8080///"},
            "http://127.0.0.1:8080/",
        ),
        ({"base_url": ""}, "/"),
        ({"base_url": "//"}, "/"),
        ({"base_url": " b?q#f\\"}, " b?q#f\\/"),
    ],
)
def test_url_joining(members, base):
    assert call({"client_id": "id", "client_secret": "s", **members}) == request(url=base + PATH)


@pytest.mark.parametrize(
    ("client_id", "secret"),
    [
        ("id", ""),
        (" id ", "s"),
        ("a:b", "c:d"),
        ("\u200b", "x"),
        ("élan", "秘密🔑"),
        ("x", "yy"),
        ("x", "y" * 301),
    ],
)
def test_basic_credential_from_secret(client_id, secret):
    expected = "Basic " + base64.b64encode(f"{client_id}:{secret}".encode()).decode()
    assert call({"client_id": client_id, "client_secret": secret}) == request(expected)


@pytest.mark.parametrize(
    ("token", "authorization"),
    [
        ("abc", "Basic abc"),
        ("Basic abc", "Basic abc"),
        ("\u00a0 Basic abc\u3000\n", "Basic abc"),
        ("basic abc", "Basic basic abc"),
        ("Basic", "Basic Basic"),
        ("Basic ", "Basic Basic"),
        ("Basic  abc", "Basic  abc"),
        ("Basic Basic abc", "Basic Basic abc"),
        ("", "Basic "),
        (" \t\u2028", "Basic "),
    ],
)
def test_basic_credential_from_token(token, authorization):
    assert call({"client_id": "id", "basic_token": token}) == request(authorization)
    assert call({"client_id": "id", "basic_token": token, "client_secret": "s"}) == request(
        authorization
    )


@pytest.mark.parametrize(
    ("config", "field", "message"),
    [
        ({"client_id": "", "client_secret": "s"}, "client_id", "must not be empty"),
        (
            {
                "client_id": " \t\r\n\u0085\u00a0\u1680\u2000\u200a\u2028\u202f\u205f\u3000",
                "basic_token": "t",
            },
            "client_id",
            "must not be empty",
        ),
        ({"client_id": ""}, "client_id", "must not be empty"),
        (
            {"client_id": "id", "client_secret": None},
            "client_secret",
            "either client_secret or basic_token is required",
        ),
    ],
)
def test_validation_errors(config, field, message):
    assert call(config) == error("validation", message, field=field)


TOKEN = '{"access_token":"a","token_type":"B","expires_at":5,"scope":null}'


@pytest.mark.parametrize(
    "payload",
    [
        build(),
        f" \n{build()}\t",
        build(token="null"),
        build(token=TOKEN),
        build(token='["a","B",-1,"s"]'),
        build('["id","s",null,"sandbox",null]'),
        build('["id","s"]'),
        build(input="[7]"),
        build(input='{"later":[1e400,{"x":"\\ud800"}],"now":-9223372036854775808}'),
        build('{"client_\\u0069d":"id","extra":' + "[" * 200 + "]" * 200 + ',"client_secret":"s"}'),
        f"[{CONFIG},null,[0]]",
        f'{{"input":[0],"zzz":null,"config":{CONFIG}}}',
    ],
)
def test_payload_forms_agree(payload):
    assert _native.call("token.build", payload) == request()


ENV = "expected one of `development`, `sandbox`, `production`"
# (payload, message, the text just before the failure's position, or its column)
FAILURES = [
    ("", "EOF while parsing a value", 0),
    ("{}", "missing field `config`", "{}"),
    ('{"input":[0]}', "missing field `config`", "[0]}"),
    (f'{{"config":{CONFIG}}}', "missing field `input`", '"s"}}'),
    (f'{{"config":{CONFIG},"config":', "duplicate field `config`", '"s"},"config"'),
    ("[]", "invalid length 0, expected struct Build with 3 elements", "[]"),
    (f"[{CONFIG}]", "invalid length 2, expected struct Build with 3 elements", '"s"}]'),
    (f"[{CONFIG},null,[0],1]", "trailing characters", "[0],1"),
    ("null", "invalid type: null, expected struct Build", "null"),
    (build() + " {}", "trailing characters", "}} {"),
    (build() + "\u00a0", "trailing characters", len(build()) + 1),
    (build('{"basic_token":"t"}'), "missing field `client_id`", '"t"}'),
    (build('{"client_id":null}'), "invalid type: null, expected a string", "null"),
    (build('{"client_id":1.5}'), "invalid type: number, expected a string", "1.5"),
    (
        build('{"client_id":"a","base_url":{}}'),
        "invalid type: map, expected a string",
        '"base_url":',
    ),
    (
        build('{"client_id":"a","base_url":null,"base_url":""}'),
        "duplicate field `base_url`",
        'null,"base_url"',
    ),
    (
        build('{"client_id":"a","environment":"Sandbox"}'),
        f"unknown variant `Sandbox`, {ENV}",
        '"Sandbox"',
    ),
    (build('{"client_id":"a","environment":null}'), "expected value", '"environment":n'),
    (build('{"client_id":"a","environment":5}'), "expected value", '"environment":5'),
    (build('{"client_id":"a","environment":{}}'), "expected value", '"environment":{}'),
    (
        build('{"client_id":"a","environment":{"sandbox":1}}'),
        "invalid type: integer `1`, expected unit",
        '":1',
    ),
    (build('{"client_id":"a","environment":{"sandbox":null,"x":null}}'), "expected value", ":null"),
    (build("[]"), "invalid length 0, expected struct Config with 5 elements", ":[]"),
    (build('["a",null,null,"sandbox",null,1]'), "trailing characters", "null,1"),
    (build('"a"'), 'invalid type: string "a", expected struct Config', ':"a"'),
    (build(token="5"), "invalid type: integer `5`, expected struct AccessToken", ":5"),
    (build(token='{"access_token":"a","token_type":"B"}'), "missing field `expires_at`", '"B"}'),
    (
        build(token='["a","B",1]'),
        "invalid length 3, expected struct AccessToken with 4 elements",
        "1]",
    ),
    (build(input="{}"), "missing field `now`", ":{}"),
    (build(input="[]"), "invalid length 0, expected struct TokenInput with 1 element", ":[]"),
    (build(input='{"now":5.5}'), "invalid type: floating point `5.5`, expected i64", "5.5"),
    (build(input='{"now":"5"}'), 'invalid type: string "5", expected i64', '"5"'),
    (
        build(input='{"now":9223372036854775808}'),
        "invalid value: integer `9223372036854775808`, expected i64",
        "808",
    ),
]


@pytest.mark.parametrize(("payload", "message", "before"), FAILURES)
def test_payload_failures(payload, message, before):
    # An int is the column itself; a text is what the failure stands just after.
    column = (
        before
        if isinstance(before, int)
        else len(payload[: payload.index(before) + len(before)].encode())
    )
    expected = error("ffi", f"invalid payload: {message} at line 1 column {column}")
    assert _native.call("token.build", payload) == expected


def test_failure_positions_count_lines():
    payload = '{\n  "config": ' + CONFIG + ',\n  "input": {"now": x}}'
    assert _native.call("token.build", payload) == error(
        "ffi", "invalid payload: expected value at line 3 column 20"
    )


@pytest.mark.parametrize(
    "op", ["token.Build", "token.build ", "token.build.x", "token.", "token.bu"]
)
def test_unknown_stage_ignores_the_payload(op):
    expected = error("ffi", f"unknown stage `{op[6:]}` for `token`")
    assert _native.call(op, build()) == _native.call(op, "not json") == expected


@pytest.mark.parametrize(
    "op", ["token", "Token.build", "tokens.build", "token_build", "", " token.build"]
)
def test_names_not_claimed(op):
    assert _native.call(op, build()) == error("ffi", f"unknown operation `{op}`")
