"""Real Redis servers for the tests: Debian's redis-server, no persistence."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from typing import Any

import redis


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


class RedisServer:
    """One private redis-server on 127.0.0.1; it can be stopped and started
    again on the same port (empty, as after a restart without persistence)."""

    def __init__(self, port: int | None = None) -> None:
        binary = shutil.which("redis-server")
        if binary is None:
            raise FileNotFoundError("redis-server is not installed")
        self.binary = binary
        self.port = port or free_port()
        self.folder = tempfile.mkdtemp(prefix="qb-redis-")
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> RedisServer:
        self.process = subprocess.Popen(
            [
                self.binary,
                "--bind", "127.0.0.1",
                "--port", str(self.port),
                "--dir", self.folder,
                "--save", "",
                "--appendonly", "no",
                "--daemonize", "no",
                "--loglevel", "warning",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )  # fmt: skip
        client = redis.Redis.from_url(self.url, socket_connect_timeout=0.2)
        try:
            for _ in range(200):
                try:
                    client.ping()
                    return self
                except redis.ConnectionError:
                    if self.process.poll() is not None:
                        break
                    time.sleep(0.025)
        finally:
            client.close()
        self.stop()
        raise RuntimeError(f"redis-server did not start on port {self.port}")

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is not None and process.poll() is None:
            process.terminate()
            process.wait(10)

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def redis_url_from_env() -> str | None:
    return os.environ.get("QB_REDIS_URL") or None


# -- highly available Redis: the test command's cluster and Sentinels ----------------------

# The settings the stores page gives: one command's time-outs times its two
# attempts fit within the store's one-second limit.
TIMEOUTS = {"socket_timeout": 0.25, "socket_connect_timeout": 0.25}


def ha_from_env(kind: str) -> str | None:
    """Where the test command's cluster or Sentinels are: "host:port,..." for
    the cluster, "service@host:port,..." for Sentinel; None without them."""
    if kind == "cluster":
        return os.environ.get("QB_REDIS_CLUSTER_NODES") or None
    sentinels = os.environ.get("QB_REDIS_SENTINELS")
    service = os.environ.get("QB_REDIS_SENTINEL_SERVICE", "mymaster")
    return f"{service}@{sentinels}" if sentinels else None


def hosts(text: str) -> list[tuple[str, int]]:
    return [(host, int(port)) for host, _, port in (a.rpartition(":") for a in text.split(","))]


def ha_client(kind: str, where: str, *, asynchronous: bool = False) -> Any:
    """A client of the cluster or of Sentinel's primary, as the stores page builds it."""
    if asynchronous:
        import redis.asyncio.cluster as cluster
        import redis.asyncio.sentinel as sentinel
        from redis.asyncio.retry import Retry
    else:
        import redis.cluster as cluster  # type: ignore[no-redef]
        import redis.sentinel as sentinel  # type: ignore[no-redef]
        from redis.retry import Retry  # type: ignore[assignment]
    from redis.backoff import NoBackoff

    retry = Retry(NoBackoff(), 1)
    if kind == "cluster":
        nodes = [cluster.ClusterNode(host, port) for host, port in hosts(where)]
        return cluster.RedisCluster(startup_nodes=nodes, retry=retry, **TIMEOUTS)  # type: ignore[arg-type]
    service, _, sentinels = where.partition("@")
    watchers = sentinel.Sentinel(hosts(sentinels), sentinel_kwargs=TIMEOUTS)
    return watchers.master_for(service, retry=retry, **TIMEOUTS)


def primary_of(kind: str, where: str, key: str) -> tuple[str, int]:
    """The primary that holds ``key`` now."""
    client = ha_client(kind, where)
    try:
        if kind == "cluster":
            node = client.get_node_from_key(key)
            return str(node.host), int(node.port)
        host, port = client.connection_pool.get_master_address()
        return str(host), int(port)
    finally:
        client.close()


def kill(address: tuple[str, int]) -> str:
    """SIGKILL the server at ``address``; return its config file, to start it again."""
    probe = redis.Redis(*address, socket_timeout=2)
    try:
        info = probe.info("server")
    finally:
        probe.close()
    os.kill(int(info["process_id"]), signal.SIGKILL)
    return str(info["config_file"])


def _cluster_ok(address: tuple[str, int]) -> bool:
    probe = redis.Redis(*address, socket_timeout=2, socket_connect_timeout=2)
    try:
        answer = probe.execute_command("CLUSTER INFO")  # parsed, or not, by redis-py's version
    finally:
        probe.close()
    if isinstance(answer, dict):
        return bool(answer.get("cluster_state") == "ok")
    return "cluster_state:ok" in (answer.decode() if isinstance(answer, bytes) else str(answer))


def restart(
    config_file: str,
    address: tuple[str, int],
    cluster: list[tuple[str, int]],
    replica_of: tuple[str, int] | None = None,
) -> None:
    """Start a killed server again from its config file and wait until it is
    a replica again, with the ``cluster`` whole. A cluster node learns whose
    replica it is from the cluster; Sentinel would take seconds to say, so
    the promoted primary is given as ``replica_of``."""
    command = ["redis-server", config_file]
    if replica_of is not None:
        command += ["--replicaof", replica_of[0], str(replica_of[1])]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    probe = redis.Redis(*address, socket_timeout=2, socket_connect_timeout=2)
    try:
        for _ in range(600):
            try:
                link = probe.info("replication").get("master_link_status")
                if link == "up" and all(_cluster_ok(node) for node in cluster):
                    return
            except redis.RedisError:
                pass
            time.sleep(0.05)
    finally:
        probe.close()
    raise RuntimeError(f"the server on port {address[1]} did not come back as a replica")
