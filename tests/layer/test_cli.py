"""The command line, run as a subprocess."""

from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import signal
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import httpx
import pytest

from quillon_bo import __version__
from quillon_bo.cli import main
from quillon_bo.cli._args import build_parser
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
    assert run("--version").stdout == f"quillon-bo {__version__} (core 0.1.0, protocol 2)\n"
    described = run("describe")
    assert described.returncode == 0
    assert any(op["name"] == "token" for op in json.loads(described.stdout))


def _commands(
    parser: argparse.ArgumentParser, path: tuple[str, ...] = ()
) -> Iterator[tuple[tuple[str, ...], argparse.ArgumentParser]]:
    yield path, parser
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            listed = {choice.dest: choice.help for choice in action._choices_actions}
            for name, sub in action.choices.items():
                assert listed.get(name), f"{name} has no help"
                yield from _commands(sub, (*path, name))


COMMANDS = list(_commands(build_parser()))


@pytest.mark.parametrize(
    ("path", "parser"), COMMANDS, ids=[" ".join(p) or "-" for p, _ in COMMANDS]
)
def test_every_command_and_flag_has_help(
    path: tuple[str, ...], parser: argparse.ArgumentParser, capsys: pytest.CaptureFixture[str]
) -> None:
    assert parser.description, path
    # Only the refused secret flags are hidden: they exist to say why they are refused.
    hidden = {"--client-secret", "--basic-token"}
    shown = [a for a in parser._actions if not hidden & set(a.option_strings)]
    assert all(a.help and a.help != argparse.SUPPRESS for a in shown), path
    assert main([*path, "--help"]) == 0
    text = capsys.readouterr().out
    assert all(o in text for a in shown for o in a.option_strings), text


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


SECRET_ENV = {"QUILLON_BO_CLIENT_SECRET": "s3cret-value"}


@pytest.mark.parametrize(
    ("command", "env", "message"),
    [
        ("", {}, "the following arguments are required: COMMAND"),
        ("nope", {}, "argument COMMAND: invalid choice: 'nope'"),
        ("token", SECRET_ENV, "no client id: give --client-id"),
        ("token --client-id id", {}, "no client secret: give --client-secret-file"),
        ("token --client-id ''", SECRET_ENV, "--client-id must not be empty"),
        ("token", {**SECRET_ENV, "QUILLON_BO_CLIENT_ID": ""}, "QUILLON_BO_CLIENT_ID must not be"),
        ("token --client-id id", {"QUILLON_BO_CLIENT_SECRET": ""}, "CLIENT_SECRET must not be"),
        ("token --client-id id --client-secret-file /dev/null", {}, "/dev/null is empty"),
        ("token --config {config}", SECRET_ENV, "base_url in {config} must be a string"),
        ("token --config {config}.gone", SECRET_ENV, "--config: cannot read {config}.gone"),
        ("token --client-id id --timeout 0", SECRET_ENV, "--timeout: must be a positive"),
        ("token --client-id id --timeout soon", SECRET_ENV, "--timeout: expected a number"),
        ("token --client-id id --retries -3", SECRET_ENV, "--retries: must not be negative"),
        ("token --client-id id --base-url ftp://h/x", SECRET_ENV, "--base-url must start with"),
        (
            "token --client-id id --base-url https://u:pw-98@h/x",
            SECRET_ENV,
            "--base-url must not hold user information",
        ),
        ("token --client-id id --base-url https://h/x#f", SECRET_ENV, "--base-url must not have"),
        (
            "token --client-id id",
            {**SECRET_ENV, "QUILLON_BO_ENVIRONMENT": "moon"},
            "QUILLON_BO_ENVIRONMENT must be one of",
        ),
        ("gateway --port 70000", {}, "--port: must be from 0 to 65535"),
        ("gateway --expires-in 0", {}, "--expires-in: must be at least 1"),
        ("gateway --client-id ''", {}, "--client-id must not be empty"),
    ],
)
def test_usage_errors_are_one_line_naming_the_flag(
    command: str,
    env: dict[str, str],
    message: str,
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
) -> None:
    for name in [n for n in os.environ if n.startswith("QUILLON_BO_")]:
        monkeypatch.delenv(name)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    config = tmp_path / "config.json"
    config.write_text('{"client_id": "id", "base_url": 5}')
    assert main(shlex.split(command.format(config=config))) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("quillon-bo: ") and err.count("\n") == 1
    assert message.format(config=config) in err
    assert "pw-98" not in err and "s3cret" not in err


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


@pytest.mark.parametrize(
    ("args", "stop"),
    [
        ((), signal.SIGINT),
        (("--client-id", "me", "--client-secret-file", "{secret}", "--port", "0"), signal.SIGTERM),
    ],
)
def test_gateway_serves_what_it_prints_until_a_signal(
    args: tuple[str, ...], stop: signal.Signals, tmp_path: Path
) -> None:
    secret_file = tmp_path / "secret"
    secret_file.write_text("local-test-secret\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUILLON_BO_")}
    argv = [sys.executable, "-m", "quillon_bo", "gateway"]
    argv += [a.format(secret=secret_file) for a in args]
    proc = subprocess.Popen(
        argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env
    )
    try:
        assert proc.stdout is not None
        banner = []
        for line in proc.stdout:
            banner.append(line)
            if line.startswith("Press Ctrl-C"):
                break
        text = "".join(banner)
        # The printed export line, run by a shell as a user would paste it.
        export = next(line for line in banner if line.startswith("  export "))
        script = f"{export}\n{shlex.quote(sys.executable)} -m quillon_bo token --access-token"
        shell = subprocess.run(["bash", "-ec", script], capture_output=True, text=True, env=env)
        token = shell.stdout.removesuffix("\n")
        assert (shell.returncode, shell.stdout) == (0, token + "\n"), shell.stderr
        shown = dict(
            re.findall(r"^  (base URL|token endpoint|client id|client secret) +(\S+)", text, re.M)
        )
        resource = httpx.get(
            shown["base URL"] + "/v1/ping", headers={"Authorization": "Bearer " + token}
        )
        assert resource.json() == {"ok": True}
        secret = "local-test-secret" if args else shown["client secret"]
        issued = httpx.post(
            shown["token endpoint"],
            auth=(shown["client id"], secret),
            headers={"Accept": "application/json"},
            data={"grant_type": "client_credentials"},
        )
        assert issued.status_code == 200 and issued.json()["access_token"].startswith("tok-")
        assert ("throwaway test credentials" in text) and ("local-test-secret" not in text)
        proc.send_signal(stop)
        rest, errors = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert (proc.returncode, errors) == (0, "")
    assert rest == "quillon-bo gateway: stopped after 2 token requests\n"
