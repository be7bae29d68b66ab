"""The cost of ``import quillon_bo``, beside httpx alone and the peers installed.

    python bench/bench_import.py [--runs 20] [--python PATH]

Each module is imported in ``--runs`` fresh interpreters, and a bare
interpreter (``pass``) is timed as many times; a module's figure is the median
of its interpreters minus the bare interpreter's median, so what is left is
what the import itself costs, as every serverless cold start and every
command line call pays it. Two figures are given: wall time, and the CPU time
(user and system) the interpreter used, which a busy machine inflates far
less, as it leaves out the time spent waiting for a processor. The runs of all
modules are interleaved, so that a machine that slows down part way through
slows every module alike.

quillon_bo is imported from this source tree (``python/``) unless it is
installed. The peers (Authlib, httpx-auth, requests-oauthlib, MSAL,
google-auth) that are not installed are skipped, and named as such.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent / "python"
OURS = "quillon_bo"
BASELINE = "httpx"
PEERS = ("authlib", "httpx_auth", "requests_oauthlib", "msal", "google.auth")


def installed(python: str, module: str, env: dict[str, str]) -> bool:
    # find_spec of "google.auth" imports "google", which may itself be missing.
    probe = (
        "import importlib.util, sys\n"
        f"try:\n    found = importlib.util.find_spec({module!r}) is not None\n"
        "except ImportError:\n    found = False\n"
        "sys.exit(0 if found else 1)"
    )
    return subprocess.run([python, "-c", probe], env=env, check=False).returncode == 0


def timed(python: str, code: str, env: dict[str, str]) -> tuple[float, float]:
    """Wall and CPU seconds of one interpreter that runs ``code``."""
    start = time.perf_counter()
    child = subprocess.Popen([python, "-c", code], env=env)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{code!r} failed with exit status {child.returncode}")
    return wall, usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=20, help="fresh interpreters per module")
    parser.add_argument("--python", default=sys.executable, help="the interpreter to time")
    args = parser.parse_args()

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(SOURCE), env.get("PYTHONPATH")]))
    env.pop("PYTHONSTARTUP", None)
    # Byte code as an installed package has it (pip compiles it on install):
    # without it each run would time the compiler.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    # A warm file cache for every module, and byte code compiled, before timing.
    modules = [OURS, BASELINE]
    skipped = []
    for peer in PEERS:
        (modules if installed(args.python, peer, env) else skipped).append(peer)
    for module in modules:
        timed(args.python, f"import {module}", env)

    walls: dict[str, list[float]] = {name: [] for name in ["", *modules]}
    cpus: dict[str, list[float]] = {name: [] for name in ["", *modules]}
    for _ in range(args.runs):
        for name in walls:
            wall, cpu = timed(args.python, f"import {name}" if name else "pass", env)
            walls[name].append(wall)
            cpus[name].append(cpu)
    bare_wall = statistics.median(walls[""])
    bare_cpu = statistics.median(cpus[""])
    wall_ms = {name: (statistics.median(walls[name]) - bare_wall) * 1000 for name in modules}
    cpu_ms = {name: (statistics.median(cpus[name]) - bare_cpu) * 1000 for name in modules}

    version = subprocess.run(
        [args.python, "-c", "import sys; print(sys.version.split()[0])"],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    print(f"import time, median of {args.runs} fresh interpreters (Python {version}),")
    print(
        f"minus a bare interpreter's start ({bare_wall * 1000:.1f} ms wall, "
        f"{bare_cpu * 1000:.1f} ms CPU):"
    )
    print()
    print(
        f"| {'module':<18} | {'wall ms':>8} | {'vs httpx':>9} | {'CPU ms':>7} | {'vs httpx':>9} |"
    )
    print(f"|{'-' * 20}|{'-' * 10}|{'-' * 11}|{'-' * 9}|{'-' * 11}|")
    for name in modules:
        versus_wall = versus_cpu = ""
        if name != BASELINE:
            versus_wall = f"{wall_ms[name] - wall_ms[BASELINE]:+.1f} ms"
            versus_cpu = f"{cpu_ms[name] - cpu_ms[BASELINE]:+.1f} ms"
        print(
            f"| {name:<18} | {wall_ms[name]:8.1f} | {versus_wall:>9} "
            f"| {cpu_ms[name]:7.1f} | {versus_cpu:>9} |"
        )
    if skipped:
        print()
        print(f"not installed, skipped: {', '.join(skipped)}")


if __name__ == "__main__":
    main()
