"""The command line, run as a subprocess."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from quillon_bo.testing import DEMO_CLIENT_SECRET, LocalGateway


def run(
    *args: str, env: dict[str, str] | None = None, stdin: str = ""
) -> subprocess.CompletedProcess[str]:
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("QUILLON_BO_")}
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", "quillon_bo", *args],
        input=stdin,
        capture_output=True,
        text=True,
        env=full_env,
        timeout=60,
    )


def test_version_and_describe() -> None:
    version = run("version")
    assert version.returncode == 0
    value = json.loads(version.stdout)
    assert (value["core"], value["protocol"]) == ("0.1.0", 2) and value["package"]
    described = run("describe")
    assert described.returncode == 0
    assert any(op["name"] == "token" for op in json.loads(described.stdout))


@pytest.mark.parametrize(
    ("args", "stdin", "stdout", "code"),
    [
        (("version", ""), "", '{"ok":true,"value":{"core":"0.1.0","protocol":2}}\n', 0),
        (
            ("nope", "{}"),
            "",
            '{"error":{"kind":"ffi","message":"unknown operation `nope`",'
            '"retryable":false},"ok":false}\n',
            1,
        ),
        (
            ("token.", "-"),
            "{}",
            '{"error":{"kind":"ffi","message":"unknown stage `` for '
            '`token`","retryable":false},"ok":false}\n',
            1,
        ),
    ],
)
def test_call_prints_the_raw_envelope(
    args: tuple[str, str], stdin: str, stdout: str, code: int
) -> None:
    result = run("call", *args, stdin=stdin)
    assert (result.stdout, result.returncode) == (stdout, code)


@pytest.mark.parametrize(
    "form",
    [
        ["--client-secret", "hunter2-xyz"],
        ["--client-secret=hunter2-xyz"],
        ["--basic-token", "hunter2-xyz"],
    ],
)
def test_secret_flag_values_are_refused_without_echo(form: list[str]) -> None:
    result = run("token", "--client-id", "id", *form)
    assert result.returncode == 2
    assert "hunter2" not in result.stdout + result.stderr
    assert "QUILLON_BO_" in result.stderr


def test_token_without_client_id_is_a_usage_error() -> None:
    result = run("token")
    assert result.returncode == 2 and "client id" in result.stderr


@pytest.mark.parametrize(
    ("args", "fragment"),
    [
        (("--timeout", "0"), "--timeout: must be a positive"),
        (("--timeout", "soon"), "--timeout: expected a number"),
        (("--retries", "-3"), "--retries: must not be negative"),
        (("--base-url", "ftp://h/x"), "base_url must start with http:// or https://"),
        (("--base-url", "https://u:pw-98@h/x"), "base_url must not hold user information"),
        (("--base-url", "https://h/x#frag"), "base_url must not have a query"),
    ],
)
def test_configuration_mistakes_are_one_line_usage_errors(
    args: tuple[str, str], fragment: str
) -> None:
    env = {"QUILLON_BO_CLIENT_SECRET": "s3cret-value"}
    result = run("token", "--client-id", "id", *args, env=env)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("quillon-bo: ") and result.stderr.count("\n") == 1
    assert fragment in result.stderr and "pw-98" not in result.stderr


def test_token_from_environment_file_and_stdin(gateway: LocalGateway, tmp_path: Path) -> None:
    secret = gateway.client_secret
    by_env = run(
        "token",
        env={
            "QUILLON_BO_CLIENT_ID": gateway.client_id,
            "QUILLON_BO_CLIENT_SECRET": secret,
            "QUILLON_BO_BASE_URL": gateway.base_url,
        },
    )
    config = tmp_path / "config.json"
    config.write_text(json.dumps({"client_id": gateway.client_id, "base_url": gateway.base_url}))
    secret_file = tmp_path / "secret"
    secret_file.write_text(secret + "\n")
    by_file = run("token", "--config", str(config), "--client-secret-file", str(secret_file))
    by_stdin = run(
        "token",
        "--client-id",
        gateway.client_id,
        "--base-url",
        gateway.base_url,
        "--client-secret-file",
        "-",
        stdin=secret,
    )
    for result in (by_env, by_file, by_stdin):
        assert result.returncode == 0, result.stderr
        record = json.loads(result.stdout)
        assert set(record) == {"access_token", "expires_at", "scope", "token_type"}
        assert record["access_token"].startswith("tok-")
        assert secret not in result.stdout + result.stderr
    assert gateway.token_requests == 3


def test_token_failures_are_reported_without_the_secret(
    gateway: LocalGateway, refused_url: str
) -> None:
    env = {"QUILLON_BO_CLIENT_ID": "id", "QUILLON_BO_CLIENT_SECRET": "wrong-secret-123"}
    refused = run("token", "--base-url", gateway.base_url, env=env)
    assert refused.returncode == 1
    assert refused.stderr == (
        "quillon-bo: authentication error: client authentication failed "
        f"(POST {gateway.token_url}; status 401; 1 attempt)\n"
    )
    unreachable = run("token", "--base-url", refused_url, "--retries", "0", env=env)
    assert unreachable.returncode == 1 and "transport error: ConnectError" in unreachable.stderr
    for result in (refused, unreachable):
        assert "wrong-secret-123" not in result.stdout + result.stderr


def test_demo_runs_the_whole_exchange_with_secrets_masked() -> None:
    result = run("demo")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    for step in (
        "token.build",
        "POST http://127.0.0.1:",
        "<- 200",
        "same token: True",
        "result: 200",
        "token requests so far: 2",
        "AuthenticationError",
    ):
        assert step in out
    assert DEMO_CLIENT_SECRET not in out
    assert not re.search(r"tok-\d+-[0-9a-f]{6,}", out)  # issued tokens are masked
    assert "Authorization: Basic ZGVt..." in out
