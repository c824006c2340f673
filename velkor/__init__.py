"""velkor: a native async runtime for Python coroutines."""

from __future__ import annotations

from _velkor import run, sleep

__all__ = ["run", "sleep"]
