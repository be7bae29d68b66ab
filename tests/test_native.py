"""The extension module: its attributes, argument binding and envelopes.

These tests use nothing but the standard library and pytest, so that the one
abi3 build can be checked under every interpreter on the machine.
"""

import json
import sys

import pytest

from quillon_bo.core import _native

VERSION = '{"ok":true,"value":{"core":"0.1.0","protocol":2}}'
HAS_NOTES = sys.version_info >= (3, 11)


def test_module_attributes():
    assert _native.__all__ == ["call", "__version__", "PROTOCOL_VERSION"]
    assert _native.__version__ == "0.1.0"
    assert type(_native.PROTOCOL_VERSION) is int and _native.PROTOCOL_VERSION == 2
    assert _native.__doc__ == ""
    value = json.loads(_native.call("version", ""))["value"]
    assert value == {"core": _native.__version__, "protocol": _native.PROTOCOL_VERSION}


def test_call_metadata():
    call = _native.call
    assert call.__name__ == "call"
    assert call.__text_signature__ == "(op, payload)"
    assert call.__doc__ == (
        "Runs a core operation; `payload` and the result are JSON strings\n"
        "(see `quillon_bo_core::ffi`)."
    )
    assert call.__self__ is _native
    assert call.__module__ == _native.__name__


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        (("version", ""), {}),
        (("version", "x"), {}),
        ((), {"op": "version", "payload": "x"}),
        ((), {"payload": "x", "op": "version"}),
        (("version",), {"payload": "not json at all"}),
    ],
)
def test_binding_forms_agree(args, kwargs):
    assert _native.call(*args, **kwargs) == VERSION


class Text(str):
    pass


def test_str_subclasses_behave_like_str():
    assert _native.call(Text("version"), Text("")) == VERSION
    assert _native.call(Text("nope"), "") == _native.call("nope", "")


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "call() missing 2 required positional arguments: 'op' and 'payload'"),
        (("version",), {}, "call() missing 1 required positional argument: 'payload'"),
        ((), {"payload": "{}"}, "call() missing 1 required positional argument: 'op'"),
        ((), {"op": "version"}, "call() missing 1 required positional argument: 'payload'"),
        (("a", "b", "c"), {}, "call() takes 2 positional arguments but 3 were given"),
        (("a", "b", "c", "d"), {"zz": 1}, "call() takes 2 positional arguments but 4 were given"),
        (("version", "{}"), {"op": "x"}, "call() got multiple values for argument 'op'"),
        (("v",), {"op": "x"}, "call() got multiple values for argument 'op'"),
        (("version", "{}"), {"extra": 1}, "call() got an unexpected keyword argument 'extra'"),
        (("version",), {"Payload": "x"}, "call() got an unexpected keyword argument 'Payload'"),
        # Keywords are walked in order: the unknown one comes first here.
        (("v",), {"bad": 1, "op": "x"}, "call() got an unexpected keyword argument 'bad'"),
        (("v",), {"op": "x", "bad": 1}, "call() got multiple values for argument 'op'"),
        # Binding fails before any value is converted.
        ((5,), {}, "call() missing 1 required positional argument: 'payload'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        _native.call(*args, **kwargs)
    assert str(caught.value) == message
    assert getattr(caught.value, "__notes__", None) is None


def test_unreadable_keyword_name_is_unexpected():
    with pytest.raises(TypeError) as caught:
        _native.call("version", "", **{"op\udc80": 1})
    assert str(caught.value) == "call() got an unexpected keyword argument 'op\udc80'"


@pytest.mark.parametrize(
    ("op", "payload", "message", "note"),
    [
        (5, "{}", "'int' object is not an instance of 'str'", "while processing 'op'"),
        (b"version", "{}", "'bytes' object is not an instance of 'str'", "while processing 'op'"),
        (None, None, "'None' is not an instance of 'str'", "while processing 'op'"),
        ("version", None, "'None' is not an instance of 'str'", "while processing 'payload'"),
        (
            "version",
            1.5,
            "'float' object is not an instance of 'str'",
            "while processing 'payload'",
        ),
        (
            "version",
            Text,
            "'type' object is not an instance of 'str'",
            "while processing 'payload'",
        ),
        (
            "version",
            test_binding_errors,
            "'function' object is not an instance of 'str'",
            "while processing 'payload'",
        ),
    ],
)
def test_conversion_errors_carry_a_note(op, payload, message, note):
    with pytest.raises(TypeError) as caught:
        _native.call(op, payload)
    assert str(caught.value) == message
    expected_notes = [note] if HAS_NOTES else None
    assert getattr(caught.value, "__notes__", None) == expected_notes


class Outer:
    class Inner:
        pass


def test_type_name_is_the_qualified_name():
    with pytest.raises(TypeError) as caught:
        _native.call(Outer.Inner(), "")
    assert str(caught.value) == "'Outer.Inner' object is not an instance of 'str'"


@pytest.mark.parametrize(
    ("op", "payload", "note"),
    [
        ("version", "\udc80", "while processing 'payload'"),
        ("x\ud800", "", "while processing 'op'"),
    ],
)
def test_lone_surrogate_raises_the_interpreters_encode_error(op, payload, note):
    with pytest.raises(UnicodeEncodeError) as caught:
        _native.call(op, payload)
    try:
        op.encode() + payload.encode()
    except UnicodeEncodeError as reference:
        assert str(caught.value) == str(reference)
    assert getattr(caught.value, "__notes__", None) == ([note] if HAS_NOTES else None)


def ffi_error(message):
    return json.dumps(
        {"error": {"kind": "ffi", "message": message, "retryable": False}, "ok": False},
        ensure_ascii=False,
        separators=(",", ":"),
    )


@pytest.mark.parametrize(
    "op",
    [
        "",
        "Version",
        "VERSION",
        " version",
        "version ",
        "Describe",
        "token",
        "tokens.build",
        "Token.build",
        "x\x00y",
        'q"\\\x1f/é\U0001f600',
    ],
)
def test_unknown_operations_are_envelopes_not_exceptions(op):
    assert _native.call(op, "{}") == ffi_error(f"unknown operation `{op}`")


@pytest.mark.parametrize("stage", ["", "Build", "PARSE", "build ", "build.x", "parse.", "é"])
def test_unknown_stages(stage):
    assert _native.call(f"token.{stage}", "not json") == ffi_error(
        f"unknown stage `{stage}` for `token`"
    )


def test_describe():
    assert _native.call("describe", "") == (
        '{"ok":true,"value":[{"idempotent":true,"kind":"operation","name":"token"}]}'
    )


def test_result_is_a_new_str_each_call():
    first = _native.call("version", "")
    second = _native.call("version", "")
    assert first == second and type(first) is str
