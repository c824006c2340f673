"""Awaitables left without `await`: `mypy --strict` must report exactly the
lines marked `# E: code`, with that error code, and nothing else.

It is type-checked only, never run.
"""

import _velkor
import velkor


async def forgotten(stream: velkor.Stream, queue: velkor.Queue[int], lock: velkor.Lock,
                    event: velkor.Event, server: velkor.Server, conn: _velkor.Connection) -> None:
    velkor.sleep(1)  # E: unused-coroutine
    velkor.yield_now()  # E: unused-coroutine
    velkor.gather()  # E: unused-coroutine
    velkor.wait_for(velkor.sleep(1), 1.0)  # E: unused-coroutine
    velkor.to_thread(print)  # E: unused-coroutine
    stream.read(10)  # E: unused-coroutine
    stream.write(b"x")  # E: unused-coroutine
    stream.drain()  # E: unused-coroutine
    stream.wait_closed()  # E: unused-coroutine
    queue.put(1)  # E: unused-coroutine
    queue.get()  # E: unused-coroutine
    lock.acquire()  # E: unused-coroutine
    event.wait()  # E: unused-coroutine
    server.wait_closed()  # E: unused-coroutine
    velkor.open_connection("127.0.0.1", 1)  # E: unused-coroutine
    _velkor.sleep(1)  # E: unused-coroutine
    conn.drain()  # E: unused-coroutine


async def used_without_await(stream: velkor.Stream) -> None:
    data: bytes = stream.read(10)  # E: assignment
    count: int = velkor.to_thread(len, "ab")  # E: assignment
    print(data, count)
