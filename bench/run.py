"""What `./dev bench [args]` runs: the benchmark suite (suite.py) with the
given arguments, for instance --quick. `./dev bench aio [args]` runs the
asyncio-API section instead (aio.py): the same asyncio programs under the
default loop, uvloop and velkor.EventLoop.

The older scripts of this directory (run_cost.py, loop_ops.py, tcp.py) still
run on their own; the suite reuses their measuring code.
"""

import sys

if __name__ == "__main__":
    if sys.argv[1:2] == ["aio"]:
        import aio
        sys.argv[1:2] = []
        sys.exit(aio.main())
    import suite
    sys.exit(suite.main(sys.argv[1:]))
