"""The generic executor: one operation of the core, sent over HTTP with httpx.

An operation runs in two calls to the core. ``"<op>.build"`` turns the
configuration and the operation's input into the description of one HTTP
request; the executor sends exactly that request and hands the status and the
body text to ``"<op>.parse"``, which returns the result or an error. Nothing
here knows any particular operation: what an operation needs beyond its name
and input (whether it is idempotent, its own time limit) is read from the
core's ``describe`` list, so an operation added to the core needs no new code
here.

The sync and async executors share everything but the I/O, as httpx's clients
do: :class:`ExecutorOptions` is the one record of the options, and one call's
flow (build the request, decide after each attempt whether to wait and send
again, read the result) is one generator, free of I/O, in
:class:`BaseExecutor`. :class:`Executor` and :class:`AsyncExecutor` only drive
it: they send, read and sleep.

httpx's time-outs bound each single wait (connect, one read, one write), not
the whole answer: a server that sends one byte just before each read time-out
could hold a call without end. So each attempt (connect, send, the headers and
the whole body) also has a deadline; see :class:`ExecutorOptions`.

The package's rooms: ``options`` (the options, their defaults and
:func:`deadline_for`), ``failures`` (what a failed attempt means and how long
to wait before the next), ``request_maker`` (the described request made an
``httpx.Request``), ``flow`` (:class:`BaseExecutor`, free of I/O),
``sync_driver`` and ``async_driver`` (the two drivers), and
``socket_deadlines`` (how a sync attempt keeps its deadline in every phase).
"""

from __future__ import annotations

from .async_driver import AsyncExecutor
from .flow import BaseExecutor
from .options import (
    DEADLINE_FACTOR,
    DEFAULT_BACKOFF,
    DEFAULT_MAX_RESPONSE_BYTES,
    DEFAULT_MAX_RETRY_WAIT,
    DEFAULT_RETRIES,
    DEFAULT_RETRY_STATUSES,
    DEFAULT_TIMEOUT,
    MAX_BACKOFF,
    MIN_RATE_LIMIT_WAIT,
    ExecutorOptions,
    OptionKeywords,
    deadline_for,
)
from .sync_driver import Executor

__all__ = [
    "DEADLINE_FACTOR",
    "DEFAULT_BACKOFF",
    "DEFAULT_MAX_RESPONSE_BYTES",
    "DEFAULT_MAX_RETRY_WAIT",
    "DEFAULT_RETRIES",
    "DEFAULT_RETRY_STATUSES",
    "DEFAULT_TIMEOUT",
    "MAX_BACKOFF",
    "MIN_RATE_LIMIT_WAIT",
    "AsyncExecutor",
    "BaseExecutor",
    "Executor",
    "ExecutorOptions",
    "OptionKeywords",
    "deadline_for",
]
