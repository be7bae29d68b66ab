"""Error objects become exceptions; configuration records and their sources."""

from __future__ import annotations

import contextlib
import json
import socket
import threading
from pathlib import Path
from typing import Any

import httpx
import pytest

import quillon_bo as qb
from quillon_bo.core import call_core, core_version, describe
from quillon_bo.errors import error_from_json
from quillon_bo.executor import AsyncExecutor, BaseExecutor, Executor, ExecutorOptions
from quillon_bo.testing import LocalGateway, Reply

SECRET = "s3cr3t-value"


@pytest.mark.parametrize(
    ("obj", "cls", "attrs"),
    [
        (
            {"field": "client_id", "kind": "validation", "message": "must not be empty"},
            qb.ValidationError,
            {"field": "client_id", "retryable": False},
        ),
        (
            {"kind": "authentication", "message": 'bad "client"\n', "status": 401},
            qb.AuthenticationError,
            {"status": 401, "retryable": False},
        ),
        (
            {
                "errors": [
                    {"code": None, "field": "F", "message": "G"},
                    {"code": "c", "field": None, "message": "H"},
                ],
                "kind": "api",
                "message": "M",
                "retryable": True,
                "status": 503,
            },
            qb.ApiError,
            {
                "status": 503,
                "retryable": True,
                "errors": (qb.ApiFieldError("G", field="F"), qb.ApiFieldError("H", code="c")),
            },
        ),
        (
            {"errors": [], "kind": "api", "message": "M", "retryable": False, "status": 500},
            qb.ApiError,
            {"status": 500, "retryable": False, "errors": ()},
        ),
        (
            {
                "errors": [{"code": None, "field": None, "message": "x"}],
                "kind": "ambiguous",
                "message": "two readings",
            },
            qb.AmbiguousError,
            {"errors": (qb.ApiFieldError("x"),), "retryable": False},
        ),
        ({"kind": "decode", "message": "invalid token response: x"}, qb.DecodeError, {}),
        ({"kind": "webhook_auth", "message": "bad signature"}, qb.WebhookAuthError, {}),
        ({"kind": "ffi", "message": "unknown operation `x`"}, qb.FfiError, {}),
    ],
)
def test_each_kind_becomes_its_exception_with_the_message_unchanged(
    obj: dict[str, Any], cls: type[qb.QuillonError], attrs: dict[str, Any]
) -> None:
    exc = error_from_json({**obj, "retryable": obj.get("retryable", False)})
    assert type(exc) is cls and isinstance(exc, qb.QuillonError)
    assert str(exc) == exc.message == obj["message"]
    assert exc.kind == obj["kind"]
    for name, value in attrs.items():
        assert getattr(exc, name) == value


def test_unknown_kind_keeps_the_message() -> None:
    exc = error_from_json({"kind": "new_kind", "message": "something"})
    assert isinstance(exc, qb.FfiError) and "something" in str(exc) and "new_kind" in str(exc)


@pytest.mark.parametrize(
    ("op", "payload", "message"),
    [
        ("nope", "", "unknown operation `nope`"),
        ("Version", "", "unknown operation `Version`"),
        ("token.", "{}", "unknown stage `` for `token`"),
    ],
)
def test_core_refusals_surface_as_ffi_errors(op: str, payload: str, message: str) -> None:
    with pytest.raises(qb.FfiError) as info:
        call_core(op, json.loads(payload) if payload else None)
    assert str(info.value) == message and info.value.retryable is False


def test_introspection() -> None:
    assert core_version() == {"core": "0.1.0", "protocol": 2}
    token = next(op for op in describe() if op.name == "token")
    assert token.idempotent and token.kind == "operation"


# -- configuration ---------------------------------------------------------


def test_config_repr_and_str_hide_both_secrets() -> None:
    config = qb.Config("id", client_secret=SECRET, basic_token="Basic " + SECRET)
    for text in (repr(config), str(config), f"{config}", repr([config])):
        assert SECRET not in text and "<hidden>" in text and "'id'" in text
    assert "client_secret=None" in repr(qb.Config("id"))


def test_config_json_is_what_the_core_reads() -> None:
    config = qb.Config("id", client_secret="", environment="production")  # type: ignore[arg-type]
    assert config.environment is qb.Environment.PRODUCTION
    assert config.to_json() == {
        "client_id": "id",
        "client_secret": "",
        "basic_token": None,
        "environment": "production",
        "base_url": None,
    }


def test_config_from_env_and_file(tmp_path: Path) -> None:
    env = {
        "QUILLON_BO_CLIENT_ID": "cid",
        "QUILLON_BO_CLIENT_SECRET": SECRET,
        "QUILLON_BO_ENVIRONMENT": "development",
        "OTHER": "x",
    }
    from_env = qb.Config.from_env(env)
    assert (from_env.client_id, from_env.client_secret) == ("cid", SECRET)
    assert from_env.environment is qb.Environment.DEVELOPMENT
    path = tmp_path / "c.json"
    path.write_text(json.dumps({"client_id": "cid", "basic_token": "abc", "base_url": "http://h"}))
    from_file = qb.Config.from_file(path)
    assert (from_file.basic_token, from_file.base_url) == ("abc", "http://h")
    assert from_file.environment is qb.Environment.SANDBOX


@pytest.mark.parametrize(
    ("data", "fragment"),
    [
        ({}, "client_id"),
        ({"client_id": 5}, "client_id"),
        ({"client_id": "a", "client_secret": 1}, "client_secret"),
        ({"client_id": "a", "environment": "Sandbox"}, "development, sandbox, production"),
        ({"client_id": "a", "secret": "x"}, "unknown configuration member(s): secret"),
    ],
)
def test_config_from_mapping_refuses_bad_members(data: dict[str, Any], fragment: str) -> None:
    with pytest.raises(ValueError, match=None) as info:
        qb.Config.from_mapping(data)
    assert fragment in str(info.value)
    assert SECRET not in str(info.value)


# -- the executor's options ---------------------------------------------------


@pytest.mark.parametrize(
    ("options", "error", "fragment"),
    [
        ({"retries": -1}, ValueError, "retries must not be negative"),
        ({"retries": 1.5}, TypeError, "retries must be a whole number"),
        ({"backoff": -0.1}, ValueError, "backoff must be"),
        ({"max_response_bytes": 0}, ValueError, "max_response_bytes must be positive"),
        ({"retry": 3}, TypeError, "retry"),
    ],
)
@pytest.mark.parametrize("cls", [qb.Client, qb.AsyncClient, Executor, AsyncExecutor])
def test_every_face_refuses_the_same_bad_options(
    cls: type, options: dict[str, Any], error: type[Exception], fragment: str
) -> None:
    with pytest.raises(error, match=fragment):
        cls(qb.Config("id", client_secret=SECRET), **options)


@pytest.mark.parametrize("cls", [qb.Client, qb.AsyncClient])
def test_a_client_has_an_executor_with_the_options_as_one_record(cls: type) -> None:
    import dataclasses

    client = cls(qb.Config("id", client_secret=SECRET), retries=0, deadline=2.0)
    assert not isinstance(client, BaseExecutor)
    assert isinstance(client.executor, BaseExecutor)
    assert client.options is client.executor.options
    assert client.options == ExecutorOptions(retries=0, deadline=2.0)
    assert client.http_client is client.executor.http_client
    with pytest.raises(dataclasses.FrozenInstanceError):
        client.options.retries = 5


@pytest.mark.parametrize(
    ("base_url", "fragment"),
    [
        ("https://h/sandbox?x=1", "must not have a query"),
        ("https://h/sandbox#frag", "must not have a query"),
        ("h.example/sandbox", "must start with http:// or https://"),
        ("ftp://h/sandbox", "must start with http:// or https://"),
        (" https://h/sandbox", "white space"),
        (f"https://user:{SECRET}@h/sandbox", "must not hold user information"),
        ("https://:443/sandbox", "must name a host"),
        ("https://h:99999/sandbox", "port from 1 to 65535"),
    ],
)
def test_config_refuses_a_base_url_it_cannot_use(base_url: str, fragment: str) -> None:
    with pytest.raises(ValueError) as info:
        qb.Config("id", client_secret="s", base_url=base_url)
    assert "Config base_url" in str(info.value) and fragment in str(info.value)
    assert SECRET not in str(info.value)


@pytest.mark.parametrize(
    ("arguments", "error", "fragment"),
    [
        ({"timeout": 0}, ValueError, "{}: timeout must be a positive"),
        ({"timeout": "5"}, TypeError, "{}: timeout must be a number"),
        ({"verify": False}, TypeError, "{}() got an unexpected keyword argument 'verify'"),
        ({"http_client": object()}, TypeError, "{} http_client must be"),
    ],
)
@pytest.mark.parametrize("cls", [qb.Client, qb.AsyncClient])
def test_clients_name_themselves_and_the_argument(
    cls: type, arguments: dict[str, Any], error: type[Exception], fragment: str
) -> None:
    with pytest.raises(error) as info:
        cls(qb.Config("id", client_secret=SECRET), **arguments)
    assert str(info.value).startswith(fragment.format(cls.__name__))
    with pytest.raises(TypeError, match=f"^{cls.__name__} config must be a quillon_bo.Config"):
        cls("id")


# -- where and how often -------------------------------------------------------


@pytest.mark.parametrize(
    ("replies", "cls", "facts"),
    [
        (
            [Reply.unavailable(503), Reply.oauth_error(401, "invalid_client", "no")],
            qb.AuthenticationError,
            "no (POST {url}; status 401; 2 attempts)",
        ),
        (
            [Reply(status=307, body=b"", headers=(("Location", "https://u:p@other/t?a=1"),))],
            qb.AuthenticationError,
            "empty response body (POST {url}; status 307; Location: https://other/t?a=1; "
            "1 attempt)",
        ),
        (
            [Reply.dropped(), Reply.dropped()],
            qb.TransportError,
            "RemoteProtocolError: Server disconnected without sending a response. "
            "(POST {url}; 2 attempts)",
        ),
    ],
    ids=["status", "redirect", "transport"],
)
def test_the_final_error_names_the_request_and_its_attempts(
    gateway: LocalGateway, replies: list[Reply], cls: type[qb.QuillonError], facts: str
) -> None:
    gateway.enqueue(*replies)
    client = qb.Client(gateway.config(), retries=1, backoff=0.001)
    with client, pytest.raises(cls) as info:
        client.fetch_token()
    exc = info.value
    assert str(exc) == facts.format(url=gateway.token_url)
    assert (exc.method, exc.url, exc.attempts) == ("POST", gateway.token_url, len(replies))
    assert exc.message == str(exc).partition(" (POST")[0]
    assert exc.location == ("https://other/t?a=1" if replies[0].status == 307 else None)


def test_a_proxy_that_wants_credentials_is_final_and_not_retryable() -> None:
    # A CONNECT proxy that answers every tunnel request with 407.
    connects: list[bytes] = []
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(5)

        def serve() -> None:
            with contextlib.suppress(OSError):
                while True:
                    conn, _ = listener.accept()
                    with conn:
                        connects.append(conn.recv(4096).split(b"\r\n")[0])
                        conn.sendall(
                            b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                            b'Proxy-Authenticate: Basic realm="p"\r\nContent-Length: 0\r\n\r\n'
                        )

        threading.Thread(target=serve, daemon=True).start()
        proxy = f"http://127.0.0.1:{listener.getsockname()[1]}"
        config = qb.Config("id", client_secret=SECRET, base_url="https://gateway.invalid/sb")
        http = httpx.Client(proxy=proxy)
        client = qb.Client(config, http_client=http)
        with http, client, pytest.raises(qb.TransportError) as info:
            client.fetch_token()
    exc = info.value
    assert exc.retryable is False and exc.attempts == 1 and "407" in str(exc)
    assert exc.url is not None and exc.url.startswith("https://gateway.invalid/sb/")
    assert connects == [b"CONNECT gateway.invalid:443 HTTP/1.1"]
