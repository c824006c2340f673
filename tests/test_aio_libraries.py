"""Real asyncio libraries, unchanged, on velkor.EventLoop: redis.asyncio against
a real redis-server, an aiohttp server queried by aiohttp and httpx clients,
and anyio on its asyncio backend. Each runs under asyncio.run with velkor's
loop, and inside velkor.run, where the library's main coroutine is a velkor
task."""

import asyncio
import os
import shutil
import socket
import subprocess
import time

import pytest

import velkor


async def in_asyncio_task(coro):
    return await asyncio.create_task(coro)


# How the library's main coroutine runs: under asyncio.run, as the main velkor
# task of velkor.run, or as an asyncio task that the main velkor task awaits.
RUNS = {
    "asyncio.run": lambda coro: asyncio.run(coro, loop_factory=velkor.new_event_loop),
    "velkor.run": velkor.run,
    "velkor.run, asyncio task": lambda coro: velkor.run(in_asyncio_task(coro)),
}
# anyio's task groups name and cancel the current task with a message, which
# velkor's Task does not offer yet: anyio code runs in asyncio tasks there.
ANYIO_RUNS = ["asyncio.run", "velkor.run, asyncio task"]


@pytest.fixture(params=list(RUNS))
def run(request):
    return RUNS[request.param]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def redis_port():
    server = shutil.which("redis-server")
    if server is None:
        pytest.skip("redis-server is not installed")
    port = free_port()
    # Sanitizer runs preload their runtime: the server must not inherit it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.Popen(
        [server, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or proc.poll() is not None:
                    pytest.fail("redis-server did not start")
                time.sleep(0.05)
        yield port
    finally:
        proc.terminate()
        proc.wait(10)


def test_redis_commands_pipeline_and_pubsub(redis_port, run):
    redis = pytest.importorskip("redis.asyncio")

    async def main():
        client = redis.Redis(port=redis_port)
        try:
            await client.set("key", "value")
            got = await client.get("key")
            async with client.pipeline() as pipe:
                counts = await pipe.incr("n").incr("n").incrby("n", 5).execute()
            pubsub = client.pubsub()
            await pubsub.subscribe("chan")
            await client.publish("chan", "hello")
            message = None
            async with asyncio.timeout(5):
                while message is None:
                    message = await pubsub.get_message(ignore_subscribe_messages=True, timeout=1)
            await pubsub.aclose()
            big = b"x" * (4 << 20)
            await client.set("big", big)
            return got, counts, message["data"], await client.get("big") == big
        finally:
            await client.aclose()

    assert run(main()) == (b"value", [1, 2, 7], b"hello", True)


@pytest.mark.parametrize("run", ANYIO_RUNS, indirect=True)
def test_aiohttp_server_with_aiohttp_and_httpx_clients(run):
    web = pytest.importorskip("aiohttp.web")
    aiohttp = pytest.importorskip("aiohttp")
    httpx = pytest.importorskip("httpx")

    async def hello(request):
        body = await request.read()
        return web.Response(text=f"hello {request.match_info['name']} {len(body)}")

    async def main():
        app = web.Application()
        app.router.add_route("*", "/{name}", hello)
        runner = web.AppRunner(app)
        await runner.setup()
        site = web.TCPSite(runner, "127.0.0.1", 0)
        await site.start()
        port = site._server.sockets[0].getsockname()[1]
        url = f"http://127.0.0.1:{port}"
        try:
            async with aiohttp.ClientSession() as session:
                async def one(i):
                    async with session.post(f"{url}/a{i}", data=b"z" * i * 1000) as resp:
                        return await resp.text()
                via_aiohttp = await asyncio.gather(*(one(i) for i in range(20)))
            async with httpx.AsyncClient() as client:
                via_httpx = (await client.get(f"{url}/httpx")).text
        finally:
            await runner.cleanup()
        return via_aiohttp, via_httpx

    via_aiohttp, via_httpx = run(main())
    assert via_aiohttp == [f"hello a{i} {i * 1000}" for i in range(20)]
    assert via_httpx == "hello httpx 0"


@pytest.mark.parametrize("run", ANYIO_RUNS, indirect=True)
def test_anyio_on_the_asyncio_backend(run):
    anyio = pytest.importorskip("anyio")

    async def main():
        results = []
        send, receive = anyio.create_memory_object_stream(10)

        async def producer():
            async with send:
                for i in range(5):
                    await send.send(i)
                    await anyio.sleep(0.001)

        async with anyio.create_task_group() as tg:
            tg.start_soon(producer)
            async with receive:
                async for item in receive:
                    results.append(item)
        with anyio.move_on_after(0.05) as scope:
            await anyio.sleep(5)
        thread_result = await anyio.to_thread.run_sync(sum, [1, 2, 3])
        listener = await anyio.create_tcp_listener(local_host="127.0.0.1")
        port = listener.extra(anyio.abc.SocketAttribute.local_port)

        async def serve(stream):
            async with stream:
                await stream.send((await stream.receive()).upper())

        async with anyio.create_task_group() as tg:
            tg.start_soon(listener.serve, serve)
            async with await anyio.connect_tcp("127.0.0.1", port) as conn:
                await conn.send(b"anyio")
                echoed = await conn.receive()
            tg.cancel_scope.cancel()
        await listener.aclose()
        return results, scope.cancelled_caught, thread_result, echoed

    assert run(main()) == ([0, 1, 2, 3, 4], True, 6, b"ANYIO")
