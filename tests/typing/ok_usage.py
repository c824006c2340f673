"""Correct use of the package and the native module: `mypy --strict` must
accept this file, and each `assert_type` pins what a caller gets back.

It is type-checked only, never run.
"""

import asyncio
from typing import Any, assert_type

import _velkor
import velkor


async def child(n: int) -> str:
    await velkor.sleep(0.01)
    return str(n)


async def handler(stream: velkor.Stream) -> None:
    while data := await stream.read(65536):
        await stream.write(data)


async def tasks_and_time() -> int:
    task = velkor.spawn(child(1))
    assert_type(task, velkor.Task[str])
    assert_type(await task, str)
    assert_type(task.result(), str)
    velkor.spawn(child(2))  # a task may run unawaited
    assert_type(velkor.current_task(), velkor.Task[Any] | None)
    assert_type(await velkor.gather(child(3), velkor.sleep(0)), list[Any])
    assert_type(await velkor.wait_for(child(4), 1.0), str)
    assert_type(await velkor.to_thread(len, "abc"), int)
    await velkor.yield_now()
    async with velkor.timeout(1.0) as scope:
        assert_type(scope, velkor.Timeout)
    return 0


async def primitives() -> None:
    queue: velkor.Queue[int] = velkor.Queue(maxsize=2)
    await queue.put(1)
    assert_type(await queue.get(), int)
    lock = velkor.Lock()
    async with lock:
        pass
    assert_type(await velkor.Semaphore(2).acquire(), bool)
    event = velkor.Event()
    event.set()
    assert_type(await event.wait(), bool)
    condition = velkor.Condition(lock)
    async with condition:
        assert_type(await condition.wait_for(lambda: 3), int)


async def networking() -> None:
    server = await velkor.start_server(handler, "127.0.0.1", 0)
    async with server:
        assert_type(server.port, int | None)
        stream = await velkor.open_connection("127.0.0.1", server.port or 0)
        async with stream:
            assert_type(await stream.write(b"ping\n"), int)
            await stream.drain()
            assert_type(await stream.read(10), bytes)
            assert_type(await stream.readline(), bytes)


async def native() -> None:
    assert_type(await _velkor.defer(len, "ab"), int)
    _velkor.defer(print, "fire and forget")  # a deferred call may run unawaited
    await _velkor.sleep(0.001)
    conn = await _velkor.connect_tcp("127.0.0.1", 1)
    assert_type(await conn.read(10), bytes)
    conn.close()
    await conn.wait_closed()


def entry_points() -> None:
    assert_type(velkor.run(tasks_and_time()), int)
    assert_type(asyncio.run(tasks_and_time(), loop_factory=velkor.new_event_loop), int)
    loop = velkor.EventLoop()
    assert_type(loop.call_soon(print, "x"), asyncio.Handle)
    assert_type(loop.call_at(loop.time() + 1, print, "x"), asyncio.TimerHandle)
    loop.close()
