"""A short tour of velkor: coroutines with timed steps on the native event
loop, printed as a timeline of measured times.

    ./dev demo
"""

import sys
import threading
import time
from pathlib import Path

try:
    import velkor
except ImportError:  # run straight from a checkout with a release build
    root = Path(__file__).resolve().parent.parent
    sys.path[:0] = [str(root), str(root / "build" / "release")]
    import velkor


class Timeline:
    def __init__(self):
        self.start = time.monotonic()
        self.lock = threading.Lock()

    def ms(self):
        return (time.monotonic() - self.start) * 1000

    def mark(self, who, what):
        with self.lock:
            print(f"  {self.ms():7.1f} ms  {who:<8} {what}")


async def make_tea(timeline):
    steps = [("fill the kettle", 0.02), ("boil the water", 0.12),
             ("steep the leaves", 0.08), ("pour", 0.0)]
    planned = sum(seconds for _, seconds in steps)
    timeline.mark("tea", "start")
    for what, seconds in steps:
        await velkor.sleep(seconds)
        timeline.mark("tea", f"{what} ({seconds * 1000:.0f} ms)")
    return planned


async def fixed_deadline(timeline):
    # A sleep's deadline is fixed when sleep() is called, not when awaited.
    reminder = velkor.sleep(0.05)
    time.sleep(0.06)  # blocking work that outlasts the reminder
    before = timeline.ms()
    await reminder
    timeline.mark("reminder", f"awaited after its deadline: done in {timeline.ms() - before:.1f} ms")


def loop_on_thread(name, seconds, timeline, results):
    async def worker():
        timeline.mark(name, f"loop started on {threading.current_thread().name}")
        await velkor.sleep(seconds)
        timeline.mark(name, f"woke after {seconds * 1000:.0f} ms")
        return seconds

    results[name] = velkor.run(worker())


async def kitchen(timeline):
    # Spawned tasks share a queue; a blocking call runs on a worker thread.
    orders = velkor.Queue(maxsize=2)

    async def waiter():
        for dish in ("soup", "bread", "salad"):
            await orders.put(dish)
            timeline.mark("waiter", f"ordered {dish}")
        await orders.put(None)

    async def cook():
        served = []
        while (dish := await orders.get()) is not None:
            await velkor.sleep(0.03)
            served.append(dish)
            timeline.mark("cook", f"served {dish}")
        return served

    def weigh_flour():
        time.sleep(0.05)  # blocking: runs on the pool, the loop keeps going
        return 250

    flour, served, _ = await velkor.gather(velkor.to_thread(weigh_flour), cook(), waiter())
    timeline.mark("kitchen", f"served {served}, weighed {flour} g of flour on a worker")


def echo_server():
    import socket

    server = socket.create_server(("127.0.0.1", 0))

    def serve():
        conn, _ = server.accept()
        with conn:
            while data := conn.recv(65536):
                conn.sendall(data.upper())
        server.close()

    threading.Thread(target=serve, daemon=True).start()
    return server.getsockname()[1]


async def talk(timeline, port):
    async with await velkor.open_connection("127.0.0.1", port) as stream:
        for line in (b"hello\n", b"velkor\n"):
            start = timeline.ms()
            await stream.write(line)
            reply = await stream.readline()
            timeline.mark("tcp", f"{line.strip().decode()} -> {reply.strip().decode()} "
                          f"in {timeline.ms() - start:.2f} ms")


def main():
    print("velkor demo: one coroutine with timed steps")
    timeline = Timeline()
    planned = velkor.run(make_tea(timeline))
    took = timeline.ms()
    print(f"  planned {planned * 1000:.0f} ms, measured {took:.1f} ms "
          f"(overshoot {took - planned * 1000:.1f} ms)\n")
    if took < planned * 1000:
        print("error: the steps ended before their deadlines", file=sys.stderr)
        return 1

    print("a deadline is fixed at the call")
    velkor.run(fixed_deadline(Timeline()))
    print()

    print("two threads, each running its own loop at the same time")
    timeline = Timeline()
    results = {}
    threads = [threading.Thread(target=loop_on_thread, name=f"thread-{i}",
                                args=(f"loop {i}", seconds, timeline, results))
               for i, seconds in ((1, 0.15), (2, 0.1))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = timeline.ms()
    print(f"  both done in {took:.1f} ms (the sleeps add up to "
          f"{sum(results.values()) * 1000:.0f} ms; they overlapped)\n")

    print("tasks, a bounded queue and a call on a worker thread")
    velkor.run(kitchen(Timeline()))
    print()

    print("a TCP round trip to a local echo server")
    velkor.run(talk(Timeline(), echo_server()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
