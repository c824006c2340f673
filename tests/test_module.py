"""Module registration: names, order, docstrings and signatures."""

import ast
import importlib
import os
import subprocess
import sys
from pathlib import Path

import _velkor

FUNCTIONS = ["run", "_run_with_signals", "sleep", "defer", "_defer_growing", "_spawn", "_spawn_fair",
             "open_connection", "start_server",
             "connect_tcp", "connect_unix", "adopt_socket", "adopt_listener", "_spawn_task"]
CLASSES = ["PyEventLoop", "PyTaskHandle", "PyTaskIter", "PySpawnedTask", "PySpawnedTaskIter",
           "PyTcpStream", "PyTcpListener", "TaskWakerCallback", "PyWakerQueue",
           "Connection", "Listener", "_WaitList", "_Wait", "StreamCore", "TaskBase"]
STANDARD = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def exported():
    return [n for n in vars(_velkor) if n not in STANDARD]


def test_names_are_registered_in_order():
    names = exported()
    functions = [n for n in names if n in FUNCTIONS]
    classes = [n for n in names if n in CLASSES]
    assert set(names) == set(functions) | set(classes), "unexpected module attributes"
    # Functions come first, then classes, each in their documented order.
    assert names == functions + classes
    assert functions == [n for n in FUNCTIONS if n in functions]
    assert classes == [n for n in CLASSES if n in classes]
    assert {"run", "sleep"} <= set(functions)


def test_module_doc_and_signatures():
    assert _velkor.__doc__ == ""
    assert _velkor.run.__text_signature__ == "(coro)"
    assert _velkor.run.__doc__ == (
        "velkor.run(coro) \u2014 run a Python coroutine to completion on our event loop.")
    assert _velkor.sleep.__text_signature__ == "(duration)"
    assert _velkor.sleep.__doc__ is None
    assert _velkor.run.__self__ is _velkor


def test_awaitable_classes_are_not_module_attributes():
    for hidden in ("SleepAwaitable", "SleepIter", "ReadAwaitable", "ReadIter",
                   "WriteAwaitable", "WriteIter", "PanicException"):
        assert not hasattr(_velkor, hidden)
    sleeper = _velkor.sleep(0)
    assert type(sleeper).__name__ == "SleepAwaitable"
    assert type(sleeper).__text_signature__ == "(duration)"


def test_reimport_gives_a_working_module_with_shared_classes():
    old = sys.modules.pop("_velkor")
    try:
        fresh = importlib.import_module("_velkor")
        assert fresh is not old
        assert exported() == [n for n in vars(fresh) if n not in STANDARD]
        for name in CLASSES:
            if hasattr(old, name):
                assert getattr(fresh, name) is getattr(old, name)

        async def main():
            await fresh.sleep(0.001)
            return "again"

        assert fresh.run(main()) == "again"
    finally:
        sys.modules["_velkor"] = old


def test_import_starts_no_thread_and_opens_no_descriptor():
    code = (
        "import os, sys\n"
        "sys.path[:0] = sys.argv[1:]\n"
        "fds = len(os.listdir('/proc/self/fd')); threads = len(os.listdir('/proc/self/task'))\n"
        "import _velkor\n"
        "assert len(os.listdir('/proc/self/fd')) == fds\n"
        "assert len(os.listdir('/proc/self/task')) == threads\n"
        "print('ok')\n")
    build = os.path.dirname(_velkor.__file__)
    out = subprocess.run([sys.executable, "-c", code, build], capture_output=True, text=True,
                         timeout=60)
    assert out.stdout.strip() == "ok", out.stderr


def test_stub_lists_what_the_module_exports():
    stub = Path(__file__).resolve().parent.parent / "_velkor.pyi"
    tree = ast.parse(stub.read_text())
    declared = {node.name for node in tree.body
                if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))}
    assert declared == set(exported())


def test_only_the_init_symbol_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", _velkor.__file__],
                         capture_output=True, text=True)
    if out.returncode != 0:
        import pytest
        pytest.skip("nm is not available")
    symbols = {line.split()[-1] for line in out.stdout.splitlines()
               if line.split()[1:2] and line.split()[1] in "TDBRW"}
    assert "PyInit__velkor" in symbols
    assert symbols - {"PyInit__velkor", "_init", "_fini"} == set()


SUBINTERPRETER_RUN = '''
import sys
sys.path[:0] = {paths!r}
import asyncio, velkor

seen = []

async def child():
    seen.append((velkor.current_task(), asyncio.current_task()))
    async with velkor.timeout(30):  # needs velkor.current_task()
        await velkor.sleep(0.001)
    return "child"

async def main():
    task = velkor.spawn(child())
    return await task, task

result, task = velkor.run(main())
assert result == "child"
assert seen == [(task, task)], seen
'''


def test_each_interpreter_steps_its_tasks_with_its_own_modules():
    # The main interpreter has stepped tasks first, so anything cached for
    # the process would be its modules; a legacy subinterpreter's tasks must
    # still be published in that subinterpreter's velkor and asyncio.
    code = (
        "import sys\n"
        "sys.path[:0] = sys.argv[1:]\n"
        "import _interpreters, asyncio, velkor\n"
        "from velkor import _compat\n"
        "async def main():\n"
        "    return await velkor.spawn(velkor.sleep(0)), velkor.current_task()\n"
        "assert velkor.run(main())[1] is not None\n"
        "interp = _interpreters.create('legacy')\n"
        "try:\n"
        "    failure = _interpreters.exec(interp, sys.stdin.read())\n"
        "finally:\n"
        "    _interpreters.destroy(interp)\n"
        "assert failure is None, failure.formatted\n"
        "assert _compat.current_holder() == [None]\n"
        "assert velkor.run(main())[1] is not None\n"
        "print('ok')\n")
    paths = [str(Path(__file__).resolve().parent.parent), os.path.dirname(_velkor.__file__)]
    out = subprocess.run([sys.executable, "-c", code, *paths], capture_output=True, text=True,
                         input=SUBINTERPRETER_RUN.format(paths=paths), timeout=60)
    assert out.stdout.strip() == "ok", out.stderr
