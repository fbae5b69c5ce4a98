"""Where the players' moves run: bounded pools of threads of the server's own, never the event loop.

A search cannot be interrupted once it runs, so the server bounds how many it accepts rather than how long
they take: a lane runs `threads` jobs at once and keeps at most `backlog` more waiting; past that, the
request is refused at once with 503 and a Retry-After, and changes nothing. Games against players that
move at once go on a lane of their own, so they never wait behind searches.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
from collections.abc import Callable
from typing import TypeVar

from tegulo_rl.web.answers import Refused

T = TypeVar("T")


class Lane:
    """A pool of threads with a bound on the jobs it holds (running and waiting). Used from the event loop."""

    def __init__(self, name: str, threads: int, backlog: int, retry_after: int = 1):
        if threads < 1 or backlog < 0:
            raise ValueError(f"a lane needs at least one thread and a backlog of at least 0, got {threads}, {backlog}")
        self.name = name
        self.limit = threads + backlog
        self.retry_after = retry_after
        self.held = 0  # jobs submitted and not yet finished; changed on the event loop only
        self.pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix=f"tegulo-{name}")

    def check(self) -> None:
        """Refuses with 503 when the lane holds all it may."""
        if self.held >= self.limit:
            raise Refused(
                503,
                f"the server is busy with {self.held} {self.name}: try again in {self.retry_after} s",
                {"Retry-After": str(self.retry_after)},
            )

    def submit(self, job: Callable[[], T]) -> asyncio.Future[T]:
        """Runs `job` on the lane (Refused 503 when full). The job counts until it has finished on its thread,
        even if whoever awaits it stops waiting."""
        self.check()
        loop = asyncio.get_running_loop()
        future = self.pool.submit(job)
        self.held += 1
        future.add_done_callback(lambda _: self._finished(loop))
        return asyncio.wrap_future(future, loop=loop)

    def _finished(self, loop: asyncio.AbstractEventLoop) -> None:
        try:
            loop.call_soon_threadsafe(self._release)
        except RuntimeError:  # the loop has closed: the server stopped, nobody counts any more
            pass

    def _release(self) -> None:
        self.held -= 1

    def close(self) -> None:
        self.pool.shutdown(wait=False, cancel_futures=True)
