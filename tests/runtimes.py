"""The same scenario under velkor and under asyncio, which serves as the
reference where the two should agree.

A test takes the `rt` fixture and writes its scenario against it: `rt.run`,
`rt.spawn`, `rt.sleep`, `rt.yield_now` (one trip through the loop), and the
API names that both share (`gather`, `wait_for`, `timeout`, `Lock`, `Queue`,
...).
"""

import asyncio
from types import SimpleNamespace

import pytest

import velkor

ASYNCIO = SimpleNamespace(
    name="asyncio",
    run=asyncio.run,
    spawn=asyncio.create_task,  # also takes name= and context=
    sleep=asyncio.sleep,
    yield_now=lambda: asyncio.sleep(0),
    current_task=asyncio.current_task,
    gather=asyncio.gather,
    wait_for=asyncio.wait_for,
    timeout=asyncio.timeout,
    Lock=asyncio.Lock,
    Event=asyncio.Event,
    Semaphore=asyncio.Semaphore,
    BoundedSemaphore=asyncio.BoundedSemaphore,
    Condition=asyncio.Condition,
    Queue=asyncio.Queue,
    to_thread=asyncio.to_thread,
    TaskGroup=asyncio.TaskGroup,
    shield=asyncio.shield,
    wait=asyncio.wait,
    as_completed=asyncio.as_completed,
    FIRST_COMPLETED=asyncio.FIRST_COMPLETED,
    FIRST_EXCEPTION=asyncio.FIRST_EXCEPTION,
    ALL_COMPLETED=asyncio.ALL_COMPLETED,
    Barrier=asyncio.Barrier,
    BrokenBarrierError=asyncio.BrokenBarrierError,
    PriorityQueue=asyncio.PriorityQueue,
    LifoQueue=asyncio.LifoQueue,
    QueueShutDown=asyncio.QueueShutDown,
)

VELKOR = SimpleNamespace(
    name="velkor",
    run=velkor.run,
    spawn=velkor.spawn,
    sleep=velkor.sleep,
    yield_now=velkor.yield_now,
    current_task=velkor.current_task,
    gather=velkor.gather,
    wait_for=velkor.wait_for,
    timeout=velkor.timeout,
    Lock=velkor.Lock,
    Event=velkor.Event,
    Semaphore=velkor.Semaphore,
    BoundedSemaphore=velkor.BoundedSemaphore,
    Condition=velkor.Condition,
    Queue=velkor.Queue,
    to_thread=velkor.to_thread,
    TaskGroup=velkor.TaskGroup,
    shield=velkor.shield,
    wait=velkor.wait,
    as_completed=velkor.as_completed,
    FIRST_COMPLETED=velkor.FIRST_COMPLETED,
    FIRST_EXCEPTION=velkor.FIRST_EXCEPTION,
    ALL_COMPLETED=velkor.ALL_COMPLETED,
    Barrier=velkor.Barrier,
    BrokenBarrierError=velkor.BrokenBarrierError,
    PriorityQueue=velkor.PriorityQueue,
    LifoQueue=velkor.LifoQueue,
    QueueShutDown=velkor.QueueShutDown,
)


@pytest.fixture(params=[VELKOR, ASYNCIO], ids=lambda rt: rt.name)
def rt(request):
    return request.param


async def let_others_run(rt, trips=3):
    """Lets every runnable task run until it parks (a few loop trips)."""
    for _ in range(trips):
        await rt.yield_now()
