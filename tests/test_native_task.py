"""What the native task object itself can get wrong: reference cycles that
run through its coroutine's frame, being freed while parked, and done
callbacks that raise."""

import asyncio
import contextvars
import gc
import logging
import weakref

import pytest

import velkor


async def holds_itself(end):
    me = velkor.current_task()  # a frame local: task -> coro -> frame -> task
    await velkor.sleep(0.001)
    if end == "fails":
        raise ValueError(me)
    if end == "cancelled":
        await velkor.sleep(10)
    return [me]


@pytest.mark.parametrize("end", ["returns", "fails", "cancelled"])
def test_a_cycle_through_the_coroutine_frame_is_collected(end):
    refs = []

    async def main():
        task = velkor.spawn(holds_itself(end))
        refs.append(weakref.ref(task))
        await velkor.sleep(0.005)
        task.cancel()
        await velkor.wait([task])
        task.exception() if not task.cancelled() else None

    velkor.run(main())
    gc.collect()
    assert refs[0]() is None


@pytest.mark.parametrize("parked_on", ["future", "event", "task"])
def test_a_task_dropped_while_parked_is_freed_with_its_loop(parked_on):
    refs = []

    async def parked():
        me = velkor.current_task()  # keeps the task in a cycle of its own
        if parked_on == "future":
            await asyncio.get_running_loop().create_future()
        elif parked_on == "event":
            await velkor.Event().wait()
        else:
            await velkor.spawn(velkor.sleep(10))
        return me

    async def main():
        refs.append(weakref.ref(velkor.spawn(parked())))
        await asyncio.sleep(0.005)  # an asyncio task: run_until_complete's

    loop = velkor.new_event_loop()
    loop.run_until_complete(main())
    assert refs[0]() is not None  # still parked in the engine
    loop.close()
    del loop
    gc.collect()
    assert refs[0]() is None


@pytest.mark.parametrize("kind", ["public", "internal"])
def test_a_raising_done_callback_is_logged_and_the_rest_still_run(caplog, kind):
    seen = []

    def boom(task):
        raise ValueError("callback failed")

    async def main():
        task = velkor.spawn(asyncio.sleep(0.001, "value"))
        add = task.add_done_callback if kind == "public" else task._add_done_callback
        add(boom)
        add(lambda t: seen.append(t.result()))
        waiter = velkor.spawn(task)  # woken by the task's end all the same
        assert await waiter == "value"
        await velkor.sleep(0.005)

    with caplog.at_level(logging.ERROR, logger="velkor"):
        velkor.run(main())
    assert seen == ["value"]
    (record,) = [r for r in caplog.records if r.name == "velkor"]
    assert "Exception in callback" in record.getMessage()
    assert record.exc_info[0] is ValueError


def recording_running_task():
    """A property over the loop's _running_task slot that records each store."""
    slot = velkor.EventLoop.__dict__["_running_task"]

    def store(loop, value):
        loop.__dict__.setdefault("stores", []).append(value)
        slot.__set__(loop, value)

    return property(slot.__get__, store)


class ShadowingLoop(velkor.EventLoop):
    _running_task = recording_running_task()


def shadow_in_class(loop):
    type(loop)._running_task = recording_running_task()


def swap_class(loop):
    loop.__class__ = ShadowingLoop


@pytest.mark.parametrize("change", [None, shadow_in_class, swap_class])
def test_steps_store_the_running_task_through_the_loop_class_of_the_moment(change):
    # A loop class of its own per case: the steps remember where each class
    # keeps _running_task, and must notice a class changed under them.
    loop = (ShadowingLoop if change is None else type("PlainLoop", (velkor.EventLoop,), {}))()
    loop.stores = []
    seen = []

    async def grandchild():
        await velkor.yield_now()

    async def child():
        me = velkor.current_task()
        if change:
            change(loop)  # from now on, stores go through the property
        inner = velkor.spawn(grandchild())
        seen.append(inner in loop._velkor_tasks)
        await velkor.yield_now()
        seen.append(loop._running_task is me)
        await inner
        seen.append(inner in loop._velkor_tasks)
        return me, inner

    async def main():
        return await velkor.spawn(child())

    try:
        me, inner = loop.run_until_complete(main())
    finally:
        loop.close()
    assert seen == [True, True, False]
    # Each step stores the task, then what was there before it (None).
    steps = [me, None, inner, None, me, None, inner, None, me, None]
    assert loop.stores == (steps if change is None else steps[1:])


def spawn(coro, *, name=None, context=None):
    """The signature velkor.spawn has, as a Python function."""


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((1, 2), {}), ((1,), {"loop": None}), ((1,), {"coro": 1}), ((), {"name": "x"}),
])
def test_spawn_refuses_a_bad_call_in_the_words_of_a_python_function(args, kwargs):
    with pytest.raises(TypeError) as expected:
        spawn(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        velkor.spawn(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_spawn_makes_package_tasks_whatever_the_argument_form():
    async def child(n):
        return n

    async def main():
        tasks = [velkor.spawn(child(0)), velkor.spawn(coro=child(1), name="one"),
                 velkor.spawn(child(2), context=contextvars.copy_context(), name=None)]
        assert [type(t) for t in tasks] == [velkor.Task] * 3
        return [await t for t in tasks], tasks[1].get_name()

    assert velkor.run(main()) == ([0, 1, 2], "one")


class Annotated(velkor.Task):
    """A subclass with a __dict__ of its own."""


@pytest.mark.parametrize("make", [velkor.spawn, Annotated, velkor.Task])
def test_cycles_through_the_task_of_any_class_are_collected(make):
    refs = []

    async def main():
        task = make(holds_itself("returns"))
        if hasattr(task, "__dict__"):
            task.me = task  # a cycle through the instance dict as well
        refs.append(weakref.ref(task))
        await task

    velkor.run(main())
    gc.collect()
    assert refs[0]() is None
