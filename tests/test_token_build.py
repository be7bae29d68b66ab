"""token.build end to end through ``_native.call``: configuration decoding, URL
joining, the Basic credential, the request shape and the build payload forms.

Every case compares the whole result text with the canonical compact JSON of
the expected envelope, so member order and escaping are checked too.
"""

import base64
import json

import pytest

from quillon_bo.core import _native

SANDBOX = "https://api-test.gateway.example/sandbox"
DEVELOPMENT = "https://api-test.gateway.example/desarrollo"
PRODUCTION = "https://api.gateway.example"
PATH = "oauth-client-credentials/access-token?grant_type=client_credentials"
INPUT = '{"now":0}'
CONFIG = '{"client_id":"id","client_secret":"s"}'


def text(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def ok(value):
    return text({"ok": True, "value": value})


def error(kind, message, **members):
    return text({"error": {"kind": kind, "message": message, "retryable": False, **members}, "ok": False})


def invalid(message):
    return error("ffi", "invalid payload: " + message)


def request(authorization, url=SANDBOX + "/" + PATH):
    return ok(
        {
            "body": None,
            "headers": {
                "Accept": "application/json",
                "Authorization": authorization,
                "Content-Type": "application/x-www-form-urlencoded",
            },
            "method": "POST",
            "url": url,
        }
    )


def basic(plain):
    return "Basic " + base64.b64encode(plain.encode()).decode()


def build(config=CONFIG, token=None, input=INPUT):
    members = ['"config":' + config]
    if token is not None:
        members.append('"token":' + token)
    members.append('"input":' + input)
    return "{" + ",".join(members) + "}"


def column(payload, through):
    """The column just after the first occurrence of `through` (a one-line text)."""
    return payload.index(through) + len(through)


def at(payload, through):
    return f" at line 1 column {column(payload, through)}"


def test_typical_request_byte_for_byte():
    assert _native.call("token.build", build()) == (
        '{"ok":true,"value":{"body":null,"headers":{"Accept":"application/json",'
        '"Authorization":"Basic aWQ6cw==","Content-Type":"application/x-www-form-urlencoded"},'
        '"method":"POST","url":"https://api-test.gateway.example/sandbox/oauth-client-credentials'
        '/access-token?grant_type=client_credentials"}}'
    )


@pytest.mark.parametrize(
    ("members", "url"),
    [
        ({}, SANDBOX + "/" + PATH),
        ({"environment": "development"}, DEVELOPMENT + "/" + PATH),
        ({"environment": "production"}, PRODUCTION + "/" + PATH),
        ({"environment": {"development": None}}, DEVELOPMENT + "/" + PATH),
        ({"environment": "production", "base_url": None}, PRODUCTION + "/" + PATH),
        ({"environment": "production", "base_url": "http://127.0.0.1:8080"}, "http://127.0.0.1:8080/" + PATH),
        ({"base_url": "http://h/api///"}, "http://h/api/" + PATH),
        ({"base_url": ""}, "/" + PATH),
        ({"base_url": "//"}, "/" + PATH),
        ({"base_url": "  "}, "  /" + PATH),
        ({"base_url": "h\\"}, "h\\/" + PATH),
        ({"base_url": "h?q=1#f"}, "h?q=1#f/" + PATH),
    ],
)
def test_url_joining(members, url):
    config = json.dumps({"client_id": "id", "client_secret": "s", **members})
    assert _native.call("token.build", build(config)) == request("Basic aWQ6cw==", url)


@pytest.mark.parametrize(
    ("client_id", "client_secret"),
    [
        ("id", ""),
        (" id ", "s"),
        ("a:b", "c:d"),
        ("élan", "秘密🔑"),
        ("x", "y" * 1),
        ("x", "y" * 2),
        ("x", "y" * 3),
        ("x" * 100, "\u00a0" * 70),
    ],
)
def test_basic_credential_from_secret(client_id, client_secret):
    config = json.dumps({"client_id": client_id, "client_secret": client_secret})
    expected = request(basic(client_id + ":" + client_secret))
    assert _native.call("token.build", build(config)) == expected


@pytest.mark.parametrize(
    ("basic_token", "authorization"),
    [
        ("abc", "Basic abc"),
        ("Basic abc", "Basic abc"),
        ("\u00a0 Basic abc\u3000\n", "Basic abc"),
        ("basic abc", "Basic basic abc"),
        ("BASIC abc", "Basic BASIC abc"),
        ("Basic", "Basic Basic"),
        ("Basic ", "Basic Basic"),  # trimmed to "Basic" before the prefix test
        ("Basic  abc", "Basic  abc"),
        ("Basic Basic abc", "Basic Basic abc"),
        ("Basic\tabc", "Basic Basic\tabc"),
        ("", "Basic "),
        (" \t\u2028", "Basic "),
        ("not base64 at all!", "Basic not base64 at all!"),
    ],
)
def test_basic_credential_from_token(basic_token, authorization):
    for secret in ({}, {"client_secret": "ignored"}):
        config = json.dumps({"client_id": "id", "basic_token": basic_token, **secret})
        assert _native.call("token.build", build(config)) == request(authorization)


@pytest.mark.parametrize(
    ("members", "field", "message"),
    [
        ({"client_id": "", "client_secret": "s"}, "client_id", "must not be empty"),
        ({"client_id": " \t\r\n\u00a0\u1680\u2000\u205f\u3000", "basic_token": "t"}, "client_id",
         "must not be empty"),
        ({"client_id": ""}, "client_id", "must not be empty"),
        ({"client_id": "id"}, "client_secret", "either client_secret or basic_token is required"),
        ({"client_id": "id", "client_secret": None, "basic_token": None}, "client_secret",
         "either client_secret or basic_token is required"),
    ],
)
def test_validation_errors(members, field, message):
    assert _native.call("token.build", build(json.dumps(members))) == error(
        "validation", message, field=field
    )


def test_zero_width_space_is_not_white_space():
    config = json.dumps({"client_id": "\u200b", "client_secret": "s"})
    assert _native.call("token.build", build(config)) == request(basic("\u200b:s"))


@pytest.mark.parametrize(
    "config",
    [
        '["id","s"]',
        '["id","s",null,"sandbox",null]',
        '["id","s",null]',
        '{"client_id":"id","client_secret":"s","environment":"sandbox","extra":[[[[{"x":1e400}]]]]}',
        '{"extra":' + "[" * 300 + "]" * 300 + ',"client_id":"id","client_secret":"s"}',
        '{"client_\\u0069d":"id","client_secret":"s"}',
    ],
)
def test_config_forms_agree(config):
    assert _native.call("token.build", build(config)) == request("Basic aWQ6cw==")


def test_config_array_form_positions():
    config = '["id",null,"tok","production","http://b/"]'
    assert _native.call("token.build", build(config)) == request("Basic tok", "http://b/" + PATH)


# Each row: the config text, the message, and the fragment of the payload
# after which the failure is positioned.
CONFIG_FAILURES = [
    ('{"client_secret":"s"}', "missing field `client_id`", '"s"}'),
    ('{"client_id":null}', "invalid type: null, expected a string", "null"),
    ('{"client_id":5}', "invalid type: integer `5`, expected a string", ":5"),
    ('{"client_id":-0}', "invalid type: integer `0`, expected a string", ":-0"),
    ('{"client_id":1.5}', "invalid type: number, expected a string", "1.5"),
    ('{"client_id":"a","client_secret":true}', "invalid type: boolean `true`, expected a string", "true"),
    ('{"client_id":"a","basic_token":["t"]}', "invalid type: sequence, expected a string", '"basic_token":'),
    ('{"client_id":"a","base_url":{}}', "invalid type: map, expected a string", '"base_url":'),
    ('{"client_id":"a","client_id":"b"}', "duplicate field `client_id`", '"a","client_id"'),
    ('{"client_id":"a","base_url":null,"base_url":null}', "duplicate field `base_url`", 'null,"base_url"'),
    ('{"client_id":"a","environment":"Sandbox"}',
     "unknown variant `Sandbox`, expected one of `development`, `sandbox`, `production`", '"Sandbox"'),
    ('{"client_id":"a","environment":" sandbox"}',
     "unknown variant ` sandbox`, expected one of `development`, `sandbox`, `production`", '" sandbox"'),
    ('{"client_id":"a","environment":null}', "expected value", '"environment":n'),
    ('{"client_id":"a","environment":5}', "expected value", '"environment":5'),
    ('{"client_id":"a","environment":["sandbox"]}', "expected value", '"environment":['),
    ('{"client_id":"a","environment":{}}', "expected value", '"environment":{}'),
    ('{"client_id":"a","environment":{"staging":null}}',
     "unknown variant `staging`, expected one of `development`, `sandbox`, `production`", '"staging"'),
    ('{"client_id":"a","environment":{"sandbox":1}}', "invalid type: integer `1`, expected unit", ":1"),
    ('{"client_id":"a","environment":{"sandbox":"x"}}', 'invalid type: string "x", expected unit', '"x"'),
    # After the null of the object form the position stays before the offending byte.
    ('{"client_id":"a","environment":{"sandbox":null,"production":null}}', "expected value", ":null"),
    ('{"client_id":"a","environment":{5:null}}', "key must be a string", "{5"),
    ("[]", "invalid length 0, expected struct Config with 5 elements", '"config":[]'),
    ('["a",null,null,"sandbox",null,1]', "trailing characters", "null,1"),
    ('["a",null,null,"sandbox",null,]', "trailing comma", "null,]"),
    ('"a"', 'invalid type: string "a", expected struct Config', '"config":"a"'),
    ("true", "invalid type: boolean `true`, expected struct Config", "true"),
    ("null", "invalid type: null, expected struct Config", "null"),
    ("7", "invalid type: integer `7`, expected struct Config", ":7"),
]


@pytest.mark.parametrize(("config", "message", "through"), CONFIG_FAILURES)
def test_config_decode_failures(config, message, through):
    payload = build(config)
    assert _native.call("token.build", payload) == invalid(message + at(payload, through))


VALID_TOKEN = '{"access_token":"a","token_type":"Bearer","expires_at":5,"scope":null}'


@pytest.mark.parametrize(
    "token",
    [
        None,
        "null",
        VALID_TOKEN,
        '{"access_token":"a","token_type":"Bearer","expires_at":-5,"other":1}',
        '["a","Bearer",9223372036854775807,"s"]',
        '["a","Bearer",5,null]',
    ],
)
def test_current_token_does_not_change_the_request(token):
    for now in ("-9223372036854775808", "0", "9223372036854775807"):
        payload = build(token=token, input='{"now":' + now + "}")
        assert _native.call("token.build", payload) == request("Basic aWQ6cw==")


TOKEN_FAILURES = [
    ("5", "invalid type: integer `5`, expected struct AccessToken", '"token":5'),
    ('"a"', 'invalid type: string "a", expected struct AccessToken', '"token":"a"'),
    ('{"access_token":"a","token_type":"B"}', "missing field `expires_at`", '"B"}'),
    ('{"token_type":"B","expires_at":1}', "missing field `access_token`", ":1}"),
    ('{"access_token":"a","expires_at":1}', "missing field `token_type`", ":1}"),
    ('{"access_token":"a","token_type":"B","expires_at":1.0}',
     "invalid type: floating point `1.0`, expected i64", "1.0"),
    ('{"access_token":"a","token_type":"B","expires_at":1,"scope":2}',
     "invalid type: integer `2`, expected a string", '"scope":2'),
    ('{"access_token":"a","access_token":"a"}', "duplicate field `access_token`", '"a","access_token"'),
    ('["a","B",1]', "invalid length 3, expected struct AccessToken with 4 elements", '1]'),
    ('["a","B",1,null,null]', "trailing characters", "null,n"),
]


@pytest.mark.parametrize(("token", "message", "through"), TOKEN_FAILURES)
def test_current_token_decode_failures(token, message, through):
    payload = build(token=token)
    assert _native.call("token.build", payload) == invalid(message + at(payload, through))


@pytest.mark.parametrize("input", ["[5]", '{"now":5}', '{"later":[1,{"x":null}],"now":5,"z":"x"}'])
def test_input_forms(input):
    assert _native.call("token.build", build(input=input)) == request("Basic aWQ6cw==")


INPUT_FAILURES = [
    ("{}", "missing field `now`", '"input":{}'),
    ("[]", "invalid length 0, expected struct TokenInput with 1 element", '"input":[]'),
    ("[1,2]", "trailing characters", "[1,2"),
    ('{"now":1,"now":2}', "duplicate field `now`", ':1,"now"'),
    ('{"now":5.5}', "invalid type: floating point `5.5`, expected i64", "5.5"),
    ('{"now":5e0}', "invalid type: floating point `5.0`, expected i64", "5e0"),
    ('{"now":-0}', "invalid type: floating point `-0.0`, expected i64", "-0"),
    ('{"now":"5"}', 'invalid type: string "5", expected i64', '"5"'),
    ('{"now":null}', "invalid type: null, expected i64", "null"),
    ('{"now":9223372036854775808}',
     "invalid value: integer `9223372036854775808`, expected i64", "9223372036854775808"),
    ('{"now":18446744073709551616}',
     "invalid type: floating point `1.8446744073709552e+19`, expected i64", "18446744073709551616"),
    ('{"now":-9223372036854775809}',
     "invalid type: floating point `-9.223372036854776e+18`, expected i64", "-9223372036854775809"),
    ('{"now":1e400}', "number out of range", "1e400"),
    ('{"now":01}', "invalid number", '"now":01'),
    ('"now"', 'invalid type: string "now", expected struct TokenInput', '"now"'),
]


@pytest.mark.parametrize(("input", "message", "through"), INPUT_FAILURES)
def test_input_decode_failures(input, message, through):
    payload = build(input=input)
    assert _native.call("token.build", payload) == invalid(message + at(payload, through))


@pytest.mark.parametrize(
    ("payload", "message"),
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("   ", "EOF while parsing a value at line 1 column 3"),
        ("{}", "missing field `config` at line 1 column 2"),
        ('{"input":{"now":0}}', "missing field `config` at line 1 column 19"),
        ('{"config":' + CONFIG + "}", "missing field `input` at line 1 column 49"),
        ("[]", "invalid length 0, expected struct Build with 3 elements at line 1 column 2"),
        ("[" + CONFIG + "]", "invalid length 2, expected struct Build with 3 elements at line 1 column 40"),
        ("[" + CONFIG + ",null," + INPUT + ",1]", "trailing characters at line 1 column 56"),
        ("5", "invalid type: integer `5`, expected struct Build at line 1 column 1"),
        ("null", "invalid type: null, expected struct Build at line 1 column 4"),
        (build() + " {}", "trailing characters at line 1 column 69"),
        (build() + "\u00a0", "trailing characters at line 1 column 68"),
        ('{"config":' + CONFIG + ',"config":' + CONFIG + "}", "duplicate field `config` at line 1 column 57"),
        ('{"token":null,"token":null}', "duplicate field `token` at line 1 column 21"),
        ('{\n  "config": ' + CONFIG + ',\n  "input": {"now": x}}', "expected value at line 3 column 20"),
    ],
)
def test_build_payload_failures(payload, message):
    assert _native.call("token.build", payload) == invalid(message)


@pytest.mark.parametrize(
    "payload",
    [
        build(),
        " \t\r\n" + build() + "\n ",
        "[" + CONFIG + ",null," + INPUT + "]",
        '{"input":{"now":0},"zzz":[1e400,{"":"\\ud800"}],"config":' + CONFIG + "}",
    ],
)
def test_build_payload_forms_agree(payload):
    assert _native.call("token.build", payload) == request("Basic aWQ6cw==")


@pytest.mark.parametrize(
    "op",
    ["token.Build", "token.BUILD", "token.build ", "token. build", "token.build.x", "token.", "token.bu"],
)
def test_unknown_stage_ignores_the_payload(op):
    stage = op[len("token."):]
    expected = error("ffi", f"unknown stage `{stage}` for `token`")
    assert _native.call(op, build()) == expected
    assert _native.call(op, "not json") == expected


@pytest.mark.parametrize("op", ["token", "Token.build", "tokens.build", "token_build", "", " token.build"])
def test_names_the_token_operation_does_not_claim(op):
    assert _native.call(op, build()) == error("ffi", f"unknown operation `{op}`")
