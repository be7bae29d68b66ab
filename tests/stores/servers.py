"""Real Redis servers for the tests: Debian's redis-server, no persistence."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time

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
