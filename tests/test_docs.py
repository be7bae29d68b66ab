"""The examples of the documentation site run, against a real local gateway.

Each page under ``docs/`` runs as one script: its ```python blocks in order, in
one namespace, with its ```pycon blocks run as doctests (every output line
compared) in that same namespace. The namespace starts with the names the
pages use for the reader's own values, here pointing at a fresh
``LocalGateway`` on 127.0.0.1: ``gateway``, ``client_id``, ``secret``,
``base_url`` (the gateway's base URL) and ``url`` (a protected resource that
wants the gateway's bearer tokens).

A block right after the line ``<!-- not run: REASON -->`` (one that needs a
production host, say) is only compiled, and reported as skipped with its
reason. A block right after ``<!-- needs redis -->`` runs with ``redis_url``
set to the test command's Redis server (``QB_REDIS_URL``), and without one is
reported as skipped; likewise ``<!-- needs redis cluster -->`` with
``cluster_nodes`` (QB_REDIS_CLUSTER_NODES, as (host, port) pairs) and
``<!-- needs redis sentinel -->`` with ``sentinels`` (QB_REDIS_SENTINELS)
and ``sentinel_service``. In ```console blocks each ``$ quillon-bo ...`` line runs through the
command line's ``main()`` and must print exactly the lines shown below it;
```sh blocks are not run.
"""

from __future__ import annotations

import contextlib
import doctest
import io
import os
import re
import shlex
import textwrap
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from quillon_bo.cli import main
from quillon_bo.testing import LocalGateway

DOCS = Path(__file__).resolve().parent.parent / "docs"
PAGES = sorted(p.relative_to(DOCS).as_posix() for p in DOCS.rglob("*.md"))

_FENCE = re.compile(r"^(?P<indent>[ \t]*)```(?P<lang>[\w-]*)[^\n]*$")
_NOT_RUN = re.compile(r"^\s*<!--\s*not run:\s*(?P<reason>.+?)\s*-->\s*$")
_NEEDS_REDIS = re.compile(r"^\s*<!--\s*needs redis(?: (?P<kind>cluster|sentinel))?\s*-->\s*$")
REDIS_URL = os.environ.get("QB_REDIS_URL")
# The test command's Redis servers, by the kind a block needs.
REDIS = {
    None: ("QB_REDIS_URL", REDIS_URL),
    "cluster": ("QB_REDIS_CLUSTER_NODES", os.environ.get("QB_REDIS_CLUSTER_NODES")),
    "sentinel": ("QB_REDIS_SENTINELS", os.environ.get("QB_REDIS_SENTINELS")),
}


def _addresses(text: str | None) -> list[tuple[str, int]]:
    pairs = (a.rpartition(":") for a in text.split(",")) if text else ()
    return [(host, int(port)) for host, _, port in pairs]


@dataclass(frozen=True)
class Block:
    page: str
    line: int  # of the first line of code, 1-based
    lang: str
    code: str
    not_run: str | None


def blocks(page: str, text: str | None = None) -> list[Block]:
    if text is None:
        text = (DOCS / page).read_text(encoding="utf-8")
    lines = text.splitlines()
    found: list[Block] = []
    i = 0
    while i < len(lines):
        opening = _FENCE.match(lines[i])
        if opening is None:
            i += 1
            continue
        indent = opening["indent"]
        end = i + 1
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        if end == len(lines):
            raise AssertionError(f"docs/{page}:{i + 1}: code block never closed")
        code = textwrap.dedent("\n".join(lines[i + 1 : end])) + "\n"
        if indent and any(line and not line.startswith(indent) for line in lines[i + 1 : end]):
            raise AssertionError(f"docs/{page}:{i + 1}: block less indented than its fence")
        above = lines[i - 1] if i else ""
        marker = _NOT_RUN.match(above)
        not_run = marker["reason"] if marker else None
        needs = _NEEDS_REDIS.match(above)
        if needs and REDIS[needs["kind"]][1] is None:
            what = {None: "a Redis server", "cluster": "a Redis cluster"}.get(
                needs["kind"], "Redis Sentinels"
            )
            not_run = f"needs {what} ({REDIS[needs['kind']][0]} is not set)"
        found.append(Block(page, i + 2, opening["lang"], code, not_run))
        i = end + 1
    return found


def _compiled(block: Block) -> Any:
    # Padding with blank lines puts tracebacks on the page's own line numbers.
    source = "\n" * (block.line - 1) + block.code
    return compile(source, f"docs/{block.page}", "exec")


def _run_pycon(block: Block, namespace: dict[str, Any]) -> None:
    parser = doctest.DocTestParser()
    test = parser.get_doctest(block.code, namespace, block.page, f"docs/{block.page}", 0)
    test.globs = namespace  # not the copy doctest makes: later blocks see these names
    for example in test.examples:
        example.lineno += block.line - 1
    out = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=out.write, clear_globs=False)
    assert runner.failures == 0, out.getvalue()


def _run_console(block: Block) -> None:
    """Each ``$ quillon-bo`` line prints the lines shown under it, exactly."""
    commands: list[tuple[list[str], list[str]]] = []
    for line in block.code.splitlines():
        if line.startswith("$ "):
            commands.append((shlex.split(line[2:]), []))
        elif commands:
            commands[-1][1].append(line)
    assert commands, f"docs/{block.page}:{block.line}: a console block without a command"
    for argv, shown in commands:
        assert argv[0] == "quillon-bo", f"docs/{block.page}:{block.line}: {argv[0]} is not run"
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = main(argv[1:])
        assert status == 0, f"docs/{block.page}:{block.line}: {shlex.join(argv)} -> {status}"
        assert out.getvalue().splitlines() == shown, shlex.join(argv)


@pytest.mark.parametrize("page", PAGES)
def test_page_runs(page: str) -> None:
    with LocalGateway() as gateway:
        namespace: dict[str, Any] = {
            "__name__": "__docs__",
            "gateway": gateway,
            "client_id": gateway.client_id,
            "secret": gateway.client_secret,
            "base_url": gateway.base_url,
            "url": gateway.resource_url,
            "redis_url": REDIS_URL,
            "cluster_nodes": _addresses(REDIS["cluster"][1]),
            "sentinels": _addresses(REDIS["sentinel"][1]),
            "sentinel_service": os.environ.get("QB_REDIS_SENTINEL_SERVICE", "mymaster"),
        }
        for block in blocks(page):
            if block.lang not in ("python", "pycon", "console"):
                continue
            if block.not_run is not None:
                if block.lang == "python":
                    _compiled(block)  # still valid Python; skipped in its own test below
                continue
            if block.lang == "python":
                exec(_compiled(block), namespace)
            elif block.lang == "pycon":
                _run_pycon(block, namespace)
            else:
                _run_console(block)


SKIPPED = [b for page in PAGES for b in blocks(page) if b.not_run is not None]


@pytest.mark.parametrize("block", SKIPPED, ids=[f"{b.page}:{b.line}" for b in SKIPPED])
def test_not_run(block: Block) -> None:
    pytest.skip(f"docs/{block.page}:{block.line} not run: {block.not_run}")


def test_every_page_is_in_the_site() -> None:
    # A page left out of the navigation is built but hard to find; one listed
    # there but missing fails the build.
    nav = (DOCS.parent / "mkdocs.yml").read_text(encoding="utf-8")
    listed = set(re.findall(r":\s*([\w/.-]+\.md)\s*$", nav, re.MULTILINE))
    assert listed == set(PAGES)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("```python\nx = 1\n```\n", [("python", 2, "x = 1\n", None)]),
        (
            "<!-- not run: production -->\n```python\nx\n```\n```sh\nls\n```\n",
            [("python", 3, "x\n", "production"), ("sh", 6, "ls\n", None)],
        ),
        (
            '!!! note\n    ```python title="a"\n    y = 2\n    ```\n',
            [("python", 3, "y = 2\n", None)],
        ),
    ],
)
def test_blocks_are_found(text: str, expected: list[Any]) -> None:
    got = [(b.lang, b.line, b.code, b.not_run) for b in blocks("p.md", text)]
    assert got == expected
