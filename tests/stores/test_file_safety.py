"""FileStore on a hostile file system: FIFOs, folders swapped for links,
permissions opened after the start, folders that cannot be made."""

from __future__ import annotations

import json
import logging
import os
import threading
from typing import Any

import pytest

import quillon_bo as qb
from quillon_bo.stores import FileStore, StoreError
from quillon_bo.testing import LocalGateway

from .conftest import Clock


def _token_within(client: qb.Client, seconds: float) -> Any:
    """The client's token, or the failure if it did not answer in time."""
    got: list[Any] = []
    caller = threading.Thread(target=lambda: got.append(client.token()), daemon=True)
    caller.start()
    caller.join(seconds)
    return got[0] if got else None


def test_a_fifo_in_place_of_the_token_file_never_hangs_a_call(
    gateway: LocalGateway, folder: str, clock: Clock, caplog: pytest.LogCaptureFixture
) -> None:
    path = os.path.join(folder, "tokens.json")
    client = qb.Client(gateway.config(), store=FileStore(path), clock=clock)
    os.mkfifo(path, 0o600)
    caplog.set_level(logging.WARNING)
    try:
        token = _token_within(client, 5.0)
    finally:
        # A reader stuck in open() is let go by a writer opening the FIFO.
        fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK) if token is None else -1
        if fd >= 0:
            os.close(fd)
    assert token is not None
    assert gateway.token_requests == 1
    assert any("not a regular file" in r.getMessage() for r in caplog.records)
    client.close()


def test_a_folder_swapped_for_a_link_after_start_leads_nowhere_else(
    gateway: LocalGateway, folder: str, clock: Clock
) -> None:
    real = os.path.join(folder, "real")
    client = qb.Client(
        gateway.config(), store=FileStore(os.path.join(real, "tokens.json")), clock=clock
    )
    client.token()
    moved, elsewhere = os.path.join(folder, "moved"), os.path.join(folder, "elsewhere")
    os.mkdir(elsewhere, 0o700)
    os.rename(real, moved)
    os.symlink(elsewhere, real)
    clock.now += 3540
    token = client.token()
    assert gateway.token_requests == 2
    assert os.listdir(elsewhere) == []
    with open(os.path.join(moved, "tokens.json"), "rb") as fh:
        (record,) = json.load(fh).values()
    assert record["access_token"] == token.access_token
    client.close()


@pytest.mark.parametrize(("target", "mode"), [("folder", 0o777), ("file", 0o666)])
def test_a_store_opened_to_others_after_start_is_refused_at_the_next_use(
    gateway: LocalGateway,
    folder: str,
    clock: Clock,
    caplog: pytest.LogCaptureFixture,
    target: str,
    mode: int,
) -> None:
    path = os.path.join(folder, "tokens.json")
    client = qb.Client(gateway.config(), store=FileStore(path), clock=clock)
    client.token()
    written = os.stat(path).st_ino
    os.chmod(folder if target == "folder" else path, mode)
    caplog.set_level(logging.WARNING)
    clock.now += 3540
    client.token()  # answered all the same, without the store
    assert gateway.token_requests == 2
    assert any("group or others" in r.getMessage() for r in caplog.records)
    assert os.stat(path).st_ino == written  # nothing written where others can
    client.close()


def _construct_without_rights(path: str) -> str:
    """The outcome of FileStore(path) in a child process that lacks root's
    rights: the error's type and text, or "made"."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            if os.geteuid() == 0:
                os.setuid(65534)
            try:
                FileStore(path)
                outcome = "made"
            except Exception as exc:
                outcome = f"{type(exc).__name__}: {exc}"
            os.write(write, outcome.encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as fh:
        outcome = fh.read().decode()
    os.waitpid(pid, 0)
    return outcome


@pytest.mark.parametrize(
    ("case", "words"),
    [("a file in the folder's place", "a file is in its place"),
     ("a parent that cannot be written", "cannot be made")],
)  # fmt: skip
def test_a_folder_that_cannot_be_made_is_a_store_error(folder: str, case: str, words: str) -> None:
    sub = os.path.join(folder, "sub")
    path = os.path.join(sub, "tokens.json")
    if case.startswith("a file"):
        open(sub, "w").close()
        with pytest.raises(StoreError, match=words):
            FileStore(path)
        return
    os.chmod(folder, 0o555)
    outcome = _construct_without_rights(path)
    assert outcome.startswith("StoreError: ") and words in outcome
