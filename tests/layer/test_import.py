"""What importing the package loads: only what a sync program needs.

Every serverless cold start and command line call pays for the import; the
async machinery, Redis, requests and the installed-package metadata come only
when first used. (Its cost is printed by bench/bench_import.py, never timed
here.)
"""

from __future__ import annotations

import subprocess
import sys

import pytest

UNUSED = ["asyncio", "redis", "requests", "importlib.metadata"]


@pytest.mark.parametrize(
    "code",
    [
        "import quillon_bo",
        # A sync client made and closed: still none of them.
        "import quillon_bo as qb\nqb.Client(qb.Config('id', client_secret='s')).close()",
    ],
    ids=["import", "sync-client"],
)
def test_import_leaves_unused_machinery_unloaded(code: str) -> None:
    probe = f"{code}\nimport sys\nprint(*(m for m in {UNUSED!r} if m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    assert out.stdout.split() == []


def test_async_provider_loads_when_asked_for() -> None:
    import quillon_bo
    from quillon_bo.tokens import AsyncTokenProvider

    assert quillon_bo.AsyncTokenProvider is AsyncTokenProvider
