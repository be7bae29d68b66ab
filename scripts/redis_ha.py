"""Highly available Redis for the tests and the benchmark: a cluster and Sentinel.

    python scripts/redis_ha.py start FOLDER   # prints the variables to export
    python scripts/redis_ha.py stop FOLDER

``start`` runs Debian's redis-server on 127.0.0.1, with no persistence, each
server from a config file of its own under FOLDER (a server a test kills is
started again from the same file, which ``INFO server`` names):

- a cluster of six nodes, three primaries and three replicas, made with
  ``redis-cli --cluster create``: QB_REDIS_CLUSTER_NODES=host:port,...
- a primary, its replica and three Sentinels watching them as
  QB_REDIS_SENTINEL_SERVICE: QB_REDIS_SENTINELS=host:port,...

Failures are noticed after a second (``cluster-node-timeout``,
``down-after-milliseconds``), so that a failover takes a few seconds.
Ports are free ones unless given (``--cluster-ports``, ``--sentinel-ports``
for the primary, the replica and the three Sentinels). ``stop`` shuts down
every server under FOLDER, whoever started it.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

HOST = "127.0.0.1"
SERVICE = "mymaster"
COMMON = [
    "bind 127.0.0.1",
    "daemonize yes",
    'save ""',
    "appendonly no",
    "loglevel warning",
    # A replica that joins or comes back is synced at once, not after 5 s.
    "repl-diskless-sync-delay 0",
]


def free_ports(count: int) -> list[int]:
    sockets = [socket.socket() for _ in range(count)]
    try:
        for sock in sockets:
            sock.bind((HOST, 0))
        return [int(sock.getsockname()[1]) for sock in sockets]
    finally:
        for sock in sockets:
            sock.close()


def cli(port: int, *args: str, check: bool = False) -> str:
    done = subprocess.run(
        ["redis-cli", "-h", HOST, "-p", str(port), *args],
        capture_output=True,
        text=True,
        timeout=30,
        check=check,
    )
    return done.stdout


def wait_for(what: str, ready: object, seconds: float = 30.0) -> None:
    ends = time.monotonic() + seconds
    while time.monotonic() < ends:
        if ready():  # type: ignore[operator]
            return
        time.sleep(0.1)
    raise RuntimeError(f"{what}: not ready after {seconds:g} s")


def start_server(folder: Path, port: int, lines: list[str], *, sentinel: bool = False) -> None:
    home = folder / str(port)
    home.mkdir(parents=True)
    config = home / ("sentinel.conf" if sentinel else "redis.conf")
    config.write_text(
        "\n".join(
            [
                f"port {port}",
                f"dir {home}",
                f"pidfile {home / 'redis.pid'}",
                f"logfile {home / 'redis.log'}",
                *COMMON,
                *lines,
            ]
        )
        + "\n"
    )
    command = ["redis-server", str(config)] + (["--sentinel"] if sentinel else [])
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    wait_for(f"redis-server on port {port}", lambda: cli(port, "ping").strip() == "PONG")


def start_cluster(folder: Path, ports: list[int], bus_ports: list[int]) -> str:
    for port, bus in zip(ports, bus_ports, strict=True):
        start_server(
            folder,
            port,
            [
                "cluster-enabled yes",
                "cluster-config-file nodes.conf",
                "cluster-node-timeout 1000",
                f"cluster-port {bus}",
            ],
        )
    nodes = [f"{HOST}:{port}" for port in ports]
    subprocess.run(
        ["redis-cli", "--cluster", "create", *nodes, "--cluster-replicas", "1", "--cluster-yes"],
        check=True,
        stdout=subprocess.DEVNULL,
        timeout=60,
    )
    wait_for(
        "the cluster",
        lambda: all("cluster_state:ok" in cli(port, "cluster", "info") for port in ports),
    )
    return ",".join(nodes)


def start_sentinel(folder: Path, ports: list[int]) -> str:
    primary, replica, *sentinels = ports
    start_server(folder, primary, [])
    start_server(folder, replica, [f"replicaof {HOST} {primary}"])
    wait_for("the replica", lambda: "master_link_status:up" in cli(replica, "info", "replication"))
    watch = [
        f"sentinel monitor {SERVICE} {HOST} {primary} 2",
        f"sentinel down-after-milliseconds {SERVICE} 1000",
        f"sentinel failover-timeout {SERVICE} 3000",
    ]
    for port in sentinels:
        start_server(folder, port, watch, sentinel=True)
    wait_for(
        "the Sentinels",
        lambda: all(
            "num-other-sentinels\n2\n" in cli(port, "sentinel", "master", SERVICE)
            and "num-slaves\n1\n" in cli(port, "sentinel", "master", SERVICE)
            for port in sentinels
        ),
    )
    return ",".join(f"{HOST}:{port}" for port in sentinels)


def stop(folder: Path) -> None:
    for home in sorted(folder.iterdir()) if folder.is_dir() else []:
        pidfile = home / "redis.pid"
        try:
            pid = int(pidfile.read_text())
        except (OSError, ValueError):
            continue
        # A server killed and never started again leaves its pidfile behind:
        # only a process that is still that server is stopped.
        try:
            command = Path(f"/proc/{pid}/cmdline").read_bytes()
            if b"redis-server" in command and f":{home.name}".encode() in command:
                os.kill(pid, signal.SIGKILL)  # nothing to save: no persistence
        except (OSError, ProcessLookupError):
            pass
    shutil.rmtree(folder, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("action", choices=["start", "stop"])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--cluster-ports", help="six ports for the cluster's nodes")
    parser.add_argument("--sentinel-ports", help="primary, replica and three Sentinels")
    args = parser.parse_args()
    if args.action == "stop":
        stop(args.folder)
        return 0
    # The cluster bus takes a second port a node; the usual port + 10000 may
    # be taken, or past 65535 for a port from the ephemeral range.
    free = free_ports(12)
    cluster_ports = (
        [int(p) for p in args.cluster_ports.split(",")] if args.cluster_ports else free[6:]
    )
    sentinel_ports = (
        [int(p) for p in args.sentinel_ports.split(",")] if args.sentinel_ports else free_ports(5)
    )
    assert len(cluster_ports) == 6 and len(sentinel_ports) == 5, "six and five ports"
    args.folder.mkdir(parents=True, exist_ok=True)
    try:
        nodes = start_cluster(args.folder, cluster_ports, free[:6])
        sentinels = start_sentinel(args.folder, sentinel_ports)
    except BaseException:
        stop(args.folder)
        raise
    print(f"QB_REDIS_CLUSTER_NODES={nodes}")
    print(f"QB_REDIS_SENTINELS={sentinels}")
    print(f"QB_REDIS_SENTINEL_SERVICE={SERVICE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
