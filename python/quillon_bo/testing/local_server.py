"""What the local test servers share: a port on 127.0.0.1 served by threads.

A :class:`LocalServer` starts and stops by hand or as a context manager, says
where it listens while it runs, and on stop wakes and joins the threads it
started. What it serves is its subclass's: an HTTP server, or a bare socket
that never answers.
"""

from __future__ import annotations

import threading
from abc import ABC, abstractmethod
from collections.abc import Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any, ClassVar

if TYPE_CHECKING:
    from typing_extensions import Self

__all__ = ["LOOPBACK", "LocalServer"]

#: The only address the test servers listen on: nothing off the machine
#: reaches them.
LOOPBACK = "127.0.0.1"


class LocalServer(ABC):
    """A server on a port of 127.0.0.1 (``port=0``: any free one), run by
    background threads, with ``base_path`` before every path it serves."""

    #: What the server is called in the error of a stopped one's :attr:`port`.
    _noun: ClassVar[str] = "server"

    def __init__(self, *, port: int = 0, base_path: str = "") -> None:
        self._requested_port = port
        self._base_path = base_path.rstrip("/")
        self._port: int | None = None
        # Set on stop: a thread that waits (a delay, a pause between pieces)
        # waits on this, so stopping ends its wait at once.
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []

    def __repr__(self) -> str:
        where = self.base_url if self._port is not None else "stopped"
        return f"{type(self).__name__}({', '.join([*self._repr_args(), where])})"

    # -- life cycle -------------------------------------------------------

    def start(self) -> Self:
        """Listen and serve; a running server stays as it is."""
        if self._port is None:
            self._stopping.clear()
            self._port = self._listen(LOOPBACK, self._requested_port)
        return self

    def stop(self) -> None:
        """Stop serving and wait for the server's threads; again, nothing."""
        if self._port is None:
            return
        self._port = None
        self._stopping.set()
        self._interrupt()
        for thread in self._threads:
            thread.join()
        self._threads.clear()
        self._close()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()

    # -- where it is ------------------------------------------------------

    @property
    def port(self) -> int:
        """The port it listens on; :class:`RuntimeError` while it is stopped."""
        if self._port is None:
            raise RuntimeError(f"the {self._noun} is not running")
        return self._port

    @property
    def base_url(self) -> str:
        """``http://127.0.0.1:<port>`` and the base path: what a client's
        ``base_url`` is set to."""
        return f"http://{LOOPBACK}:{self.port}{self._base_path}"

    # -- for subclasses ---------------------------------------------------

    def _spawn(self, target: Callable[..., object], *args: Any) -> None:
        """Run ``target`` in a daemon thread that :meth:`stop` joins."""
        thread = threading.Thread(target=target, args=args, daemon=True, name=type(self).__name__)
        self._threads.append(thread)
        thread.start()

    @abstractmethod
    def _listen(self, host: str, port: int) -> int:
        """Bind, listen and start serving (:meth:`_spawn`); the bound port."""

    @abstractmethod
    def _interrupt(self) -> None:
        """Wake threads that the stop event does not reach, before the joins."""

    @abstractmethod
    def _close(self) -> None:
        """Close what :meth:`_listen` opened, once every thread has ended."""

    def _repr_args(self) -> list[str]:
        return []
