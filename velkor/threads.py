"""Blocking calls on the runtime's pool of worker threads."""

from __future__ import annotations

import contextvars
import functools
from collections.abc import Callable
from typing import Any, TypeVar

import _velkor

__all__ = ["to_thread"]

_T = TypeVar("_T")


async def to_thread(func: Callable[..., _T], /, *args: Any, **kwargs: Any) -> _T:
    """Runs `func(*args, **kwargs)` on a worker thread and returns its result.

    The awaiting task is parked meanwhile; the event loop keeps running. The
    call itself cannot be interrupted: cancelling the awaiting task abandons
    the result, but the call runs to its end on the worker.

    The call runs on a worker of the runtime's pool; when all of them are
    busy for a few milliseconds, it runs on an extra thread instead, which
    ends after a second without work. Calls that wait for each other (at a
    `threading.Barrier`, say) therefore never wait for a worker, however many
    there are.

    The call runs in a copy of the caller's `contextvars` context: it sees
    the caller's context variables, and what it sets stays with the copy.
    """
    run_in_copy = contextvars.copy_context().run
    if kwargs:
        return await _velkor._defer_growing(functools.partial(run_in_copy, func, *args, **kwargs))
    return await _velkor._defer_growing(run_in_copy, func, *args)
