"""Calling a function soon: on a later round of the running loop, outside
any task, as asyncio's `call_soon` does for done callbacks.

Calls made during one round are collected into one batch, and a single
spawned coroutine runs the whole batch in order on the next round; a call
made while a batch runs goes into the next batch. A batch belongs to the
run that was on the thread when it was started: after a run that ended
before its batch ran (interrupted), the next run starts a batch of its own.

An exception that escapes a call is logged through `logging.getLogger("velkor")`
with its traceback and the batch goes on. `KeyboardInterrupt` and `SystemExit`
end the run instead, as they do when a task raises them.
"""

from __future__ import annotations

import asyncio
import contextvars
import logging
import threading
from collections.abc import Callable
from typing import Any

import _velkor

__all__ = ["call_soon"]

logger = logging.getLogger("velkor")

_Call = tuple[Callable[[Any], object], Any, contextvars.Context]


class _Batch(threading.local):
    def __init__(self) -> None:
        self.calls: list[_Call] | None = None
        self.loop: object = None


_batch = _Batch()


def call_soon(callback: Callable[[Any], object], arg: Any, context: contextvars.Context) -> None:
    """Runs `context.run(callback, arg)` on the loop's next round.

    Raises `RuntimeError` when no loop runs on this thread.
    """
    loop = asyncio._get_running_loop()
    calls = _batch.calls
    if calls is not None and _batch.loop is loop:
        calls.append((callback, arg, context))
        return
    if loop is None:
        raise RuntimeError("no running event loop")
    calls = [(callback, arg, context)]
    _velkor._spawn(_run_batch(calls))
    _batch.calls = calls
    _batch.loop = loop


async def _run_batch(calls: list[_Call]) -> None:
    if _batch.calls is calls:
        _batch.calls = None
        _batch.loop = None
    for callback, arg, context in calls:
        try:
            context.run(callback, arg)
        except (KeyboardInterrupt, SystemExit) as exc:
            _end_run(exc)
        except BaseException as exc:  # noqa: BLE001 - reported, the batch goes on
            logger.error("Exception in callback %r(%r)", callback, arg,
                         exc_info=(type(exc), exc, exc.__traceback__))


def _end_run(exc: BaseException) -> None:
    # velkor's loop hands it to whoever runs the loop (velkor.run winds the
    # run down with it); elsewhere it propagates as from any callback.
    on_fatal = getattr(asyncio._get_running_loop(), "_on_fatal", None)
    if on_fatal is None:
        raise exc
    on_fatal(exc)
