"""The folder that holds a FileStore's files, and the only way into it.

Every file is opened, renamed and removed relative to the folder opened (and
checked) at start, where the system allows it (not on Windows), so a folder
on the path replaced later by a link leads nowhere else. Only regular files
are read or written, never through a link, and never one that another user
owns or that group or others can write; opening one never waits on a FIFO or
a device.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
import sys
import weakref
from collections.abc import Callable
from pathlib import Path

from .base import StoreError

__all__ = ["TokenFolder"]

# Without O_NOFOLLOW (Windows) a link is still refused by the lstat check.
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_BINARY = getattr(os, "O_BINARY", 0)
# Opening a FIFO (or a device) must not wait for a writer; fstat then refuses it.
_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
# Where the folder can be held open and named relative to (not on Windows):
# every file is then found in the folder checked at start, whatever becomes
# of the path that led to it.
# (os.replace shares os.rename's entry: the set does not list it.)
_AT_FOLDER = bool(_DIRECTORY) and {os.open, os.stat, os.rename, os.unlink} <= os.supports_dir_fd


def _owner_ids() -> tuple[int, ...] | None:
    geteuid: Callable[[], int] | None = getattr(os, "geteuid", None)
    return None if geteuid is None else (geteuid(),)


def _check(path: str, st: os.stat_result, *, folder: bool) -> None:
    """Refuse what another user could have put there or could change."""
    what = "folder" if folder else "file"
    if stat.S_ISLNK(st.st_mode):
        raise StoreError(f"token {what} {path} is a symbolic link; give the real path")
    if folder and not stat.S_ISDIR(st.st_mode):
        raise StoreError(f"token folder {path} is not a folder")
    if not folder and not stat.S_ISREG(st.st_mode):
        raise StoreError(f"token file {path} is not a regular file")
    owners = _owner_ids()
    if owners is None:  # no owners or mode bits to check (Windows)
        return
    # A folder of root's is safe: root can read everything anyway.
    allowed = (*owners, 0) if folder else owners
    if st.st_uid not in allowed:
        raise StoreError(
            f"token {what} {path} belongs to another user (uid {st.st_uid}, "
            f"this process runs as uid {owners[0]}); tokens are kept only where no "
            "other user can read or replace them"
        )
    if st.st_mode & 0o022:
        raise StoreError(
            f"token {what} {path} can be written by group or others "
            f"(mode {stat.S_IMODE(st.st_mode):04o}); use a {what} only its owner can write"
        )


if sys.platform == "win32":  # pragma: no cover - not exercised on POSIX runners
    import msvcrt

    def _try_lock(fd: int) -> bool:
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        except OSError:
            return False
        return True

    def _unlock(fd: int) -> None:
        os.lseek(fd, 0, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)

else:
    import fcntl

    def _try_lock(fd: int) -> bool:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        return True

    def _unlock(fd: int) -> None:
        fcntl.flock(fd, fcntl.LOCK_UN)


class TokenFolder:
    """The token file ``path`` and its lock file, in a folder only this user
    can write: made (mode 0700) if missing, checked at start and at every use.

    Raises :class:`StoreError` when the folder, or a file already in it, is
    not safe to keep tokens in.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.folder = os.path.dirname(path)
        self.name = os.path.basename(path)
        self._dir_fd: int | None = None
        try:
            Path(self.folder).mkdir(mode=0o700, parents=True, exist_ok=True)
        except FileExistsError:
            raise StoreError(
                f"token folder {self.folder} cannot be made: a file is in its place"
            ) from None
        except OSError as exc:
            raise StoreError(
                f"token folder {self.folder} cannot be made: {exc.strerror or exc}"
            ) from None
        try:
            _check(self.folder, os.lstat(self.folder), folder=True)
            if _AT_FOLDER:
                self._dir_fd = os.open(self.folder, os.O_RDONLY | _DIRECTORY | _NOFOLLOW | _CLOEXEC)
                weakref.finalize(self, os.close, self._dir_fd)
            self._check_folder()
            for name in (self.name, self.name + ".lock"):
                try:
                    st = os.stat(self._at(name), dir_fd=self._dir_fd, follow_symlinks=False)
                except FileNotFoundError:
                    continue
                _check(os.path.join(self.folder, name), st, folder=False)
        except OSError as exc:
            raise StoreError(f"token folder {self.folder}: {exc.strerror or exc}") from None
        if not os.access(self.folder, os.W_OK):
            raise StoreError(f"token folder {self.folder} cannot be written by this user")

    def _at(self, name: str) -> str:
        # Relative to the open folder where there is one, else the full path.
        return name if self._dir_fd is not None else os.path.join(self.folder, name)

    def _check_folder(self) -> None:
        # Looked at on every use: a folder opened to others after the start
        # is refused from then on.
        if self._dir_fd is not None:
            _check(self.folder, os.fstat(self._dir_fd), folder=True)

    def _open(self, name: str, flags: int) -> int:
        """Open a file of the folder; refuse anything but a regular file that
        only this user can write, without waiting on a FIFO or device."""
        path = os.path.join(self.folder, name)
        self._check_folder()
        flags |= _NOFOLLOW | _NONBLOCK | _CLOEXEC | _BINARY
        fd = os.open(self._at(name), flags, 0o600, dir_fd=self._dir_fd)
        try:
            _check(path, os.fstat(fd), folder=False)
        except BaseException:
            os.close(fd)
            raise
        return fd

    def open_file(self) -> int:
        """The token file, open for reading; FileNotFoundError when there is none."""
        return self._open(self.name, os.O_RDONLY)

    def replace(self, data: bytes) -> None:
        """Make ``data`` the token file at once: readers see the old file or
        the new one, never half of one."""
        temp = f".{self.name}.{secrets.token_hex(8)}.tmp"
        # O_EXCL: a new file of ours, never one planted under that name.
        fd = self._open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
        at = self._dir_fd
        try:
            with os.fdopen(fd, "wb") as fh:
                if hasattr(os, "fchmod"):
                    os.fchmod(fh.fileno(), 0o600)  # whatever the umask
                fh.write(data)
            os.replace(self._at(temp), self._at(self.name), src_dir_fd=at, dst_dir_fd=at)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(self._at(temp), dir_fd=at)
            raise

    def open_lock_file(self) -> int:
        """The lock file (made if missing), open for :meth:`lock`."""
        return self._open(self.name + ".lock", os.O_RDWR | os.O_CREAT)

    @staticmethod
    def lock(fd: int) -> bool:
        """Take the lock on the open lock file ``fd`` without waiting; when
        another holder has it (or on any failure), ``fd`` is closed. The lock
        ends when ``fd`` is closed, or its process ends."""
        try:
            if not _try_lock(fd):
                os.close(fd)
                return False
        except BaseException:
            os.close(fd)
            raise
        return True

    @staticmethod
    def unlock(fd: int) -> None:
        """Give back a lock that :meth:`lock` took, and close its file."""
        try:
            _unlock(fd)
        finally:
            os.close(fd)
