"""The fracture's diagrams on several processes.

qhull holds the interpreter lock for the whole of a diagram, so two threads fracture no faster
than one; processes do. Each diagram job (cellprox._fracture.blocks) is a few numpy arrays of the
points it takes in, and its result a few arrays of the cells it built, so little crosses between
the processes. The blocks and their order do not depend on how many processes run them, and
each diagram computes the same cells wherever it runs, so the cells are the same bits for any
``workers``.

The processes are started by forkserver on Linux and spawn elsewhere, never fork: a fork of a
process whose thread team (or any other thread) holds a lock leaves the child that lock held for
ever. The calling process computes diagrams too, so ``workers`` processes take part in all. The
others ignore SIGINT: a Ctrl-C at the terminal reaches the whole process group, and the calling
process alone answers it, by cancelling the jobs not started, waiting for those running (a
block's diagram takes well under a second) and ending the processes. A process that dies (a
script that starts processes at import time, the memory killer) leaves its jobs to this process,
with a warning: the cells come out the same.
"""
from __future__ import annotations

import itertools
import multiprocessing
import signal
import sys
import warnings
from collections.abc import Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from contextlib import contextmanager
from types import TracebackType

from cellprox._fracture import blocks
from cellprox._fracture.blocks import Context, InProcess, Job, Runner, Settled

# Below this many seeds the diagrams are computed in this process alone: another process takes
# about half a second to start (numpy and scipy to import), and there are too few diagrams
# left by then for it to pay.
PROCESSES_FROM = 20_000
# A process is started for at most every this many blocks, so that each has several to do.
BLOCKS_PER_PROCESS = 2


def _start_method() -> str:
    return "forkserver" if sys.platform.startswith("linux") else "spawn"


def _ignore_interrupts() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


class InProcesses:
    """The diagrams on this process and ``others`` more: this one computes diagrams too, between
    handing out jobs and taking in what the others return, so that it starts at once while they
    start up, and its core is not left to a process that mostly waits."""

    def __init__(self, others: int) -> None:
        context = multiprocessing.get_context(_start_method())
        self._others = others
        self._executor: ProcessPoolExecutor | None = ProcessPoolExecutor(
            others, mp_context=context, initializer=_ignore_interrupts)

    def results(self, jobs: Iterator[tuple[Job, Context]]) -> Iterator[tuple[Context, Settled]]:
        if self._executor is None:
            yield from InProcess().results(jobs)
            return
        running: dict[Future[Settled], tuple[Job, Context]] = {}
        try:
            for job, context in jobs:
                # Each other process has a job running and two waiting, so that it does not
                # run dry while this one computes a diagram of its own.
                if len(running) < 3 * self._others:
                    try:
                        running[self._executor.submit(blocks.settle, *job)] = (job, context)
                    except BrokenProcessPool:
                        jobs = itertools.chain([(job, context)], jobs)
                        raise
                    continue
                yield context, blocks.settle(*job)
                yield from self._finished(running, [future for future in running
                                                    if future.done()])
            # No jobs left to hand out: take back those no process has started, and wait.
            for future in list(running):
                if future.cancel():
                    job, context = running.pop(future)
                    yield context, blocks.settle(*job)
            while running:
                done, _ = wait(running, return_when=FIRST_COMPLETED)
                yield from self._finished(running, done)
        except BrokenProcessPool as error:
            warnings.warn(f"voronoi_fracture: a process computing the diagrams ended ({error}); "
                          "this process computes the rest, the same cells", RuntimeWarning,
                          stacklevel=2)
            self.close()
            yield from InProcess().results(itertools.chain(list(running.values()), jobs))

    @staticmethod
    def _finished(running: dict[Future[Settled], tuple[Job, Context]],
                  done: Iterable[Future[Settled]]) -> Iterator[tuple[Context, Settled]]:
        for future in done:
            result = future.result()
            yield running.pop(future)[1], result

    def close(self) -> None:
        if self._executor is not None:
            self._executor.shutdown(wait=True, cancel_futures=True)
            self._executor = None

    def __enter__(self) -> InProcesses:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


@contextmanager
def block_runner(workers: int, seeds: int) -> Iterator[Runner]:
    """What runs the diagrams of a fracture of ``seeds`` seeds with ``workers`` workers: this
    process where more would not pay, processes otherwise, ended when the block closes."""
    processes = min(workers, -(-seeds // (blocks.BLOCK_SEEDS * BLOCKS_PER_PROCESS)))
    if processes < 2 or seeds < PROCESSES_FROM:
        yield InProcess()
        return
    with InProcesses(processes - 1) as runner:
        yield runner
