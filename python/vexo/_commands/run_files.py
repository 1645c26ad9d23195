"""Running the conversion of many files: one by one, in worker processes or on a Dask
cluster.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Tuple

from vexo._archive.convert import Outcome
from vexo._archive.outputs import alive
from vexo._names import shown_name

Task = Callable[[str, str], Outcome]  # (path, label) -> what became of it


class StartError(Exception):
    """The run cannot start (a cluster that cannot be reached or has no worker)."""


def one_by_one(files: List[Tuple[str, str]], task: Task) -> Iterator[Outcome]:
    """The files one after another, in this process."""
    for path, label in files:
        yield task(path, label)


def _end_with(run: int) -> None:
    """Makes a worker end when the run that started it ends, however it ends (kill -9
    included): on Linux the system ends it with its parent (the fork server), and a thread
    ends it when the run is gone or its parent changes."""
    if sys.platform.startswith("linux"):
        import ctypes

        try:
            ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass
    if os.name == "posix":  # elsewhere os.kill(pid, 0) would end the run
        threading.Thread(target=_watch, args=(run, os.getppid()), daemon=True).start()


def _watch(run: int, parent: int, seconds: float = 0.5) -> None:
    while alive(run) and os.getppid() == parent:
        time.sleep(seconds)
    os._exit(1)


def in_processes(files: List[Tuple[str, str]], task: Task, jobs: int) -> Iterator[Outcome]:
    """The files in a pool of processes. When a process dies (killed, out of memory), the
    files it took down with it are tried once more in a new pool, then reported."""
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, as_completed
    from concurrent.futures.process import BrokenProcessPool

    context = multiprocessing.get_context("forkserver" if os.name == "posix" else "spawn")
    pending, tries = list(files), 0
    while pending:
        tries += 1
        broken = []
        with ProcessPoolExecutor(max_workers=min(jobs, len(pending)), mp_context=context,
                                 initializer=_end_with, initargs=(os.getpid(),)) as pool:
            futures = {pool.submit(task, path, label): (path, label) for path, label in pending}
            for future in as_completed(futures):
                path, label = futures[future]
                try:
                    yield future.result()
                except BrokenProcessPool:
                    broken.append((path, label))
                except Exception as e:  # noqa: BLE001 - the file's failure, not the run's
                    yield Outcome(shown_name(label), failure=f"{type(e).__name__}: {e}")
        pending = broken if tries < 2 else []
        for _, label in broken if tries >= 2 else []:
            yield Outcome(shown_name(label), failure="the process converting it ended "
                                                     "unexpectedly, twice")


def _connect(address: str, seconds: float = 30) -> Any:
    """A client of the scheduler at address that has a worker, or StartError."""
    import threading

    from distributed import Client
    from distributed.comm import parse_address, parse_host_port

    try:
        parse_host_port(parse_address(address, strict=True)[1])
    except (ValueError, TypeError):
        raise StartError(f"{address}: not a scheduler address such as tcp://HOST:PORT") \
            from None
    got: Dict[str, Any] = {}

    def attempt() -> None:
        try:
            got["client"] = Client(address, timeout=f"{seconds}s", set_as_default=False)
        except BaseException as e:  # noqa: BLE001 - said in one line below
            got["error"] = e

    thread = threading.Thread(target=attempt, daemon=True)
    thread.start()
    thread.join(seconds + 5)
    if thread.is_alive():
        raise StartError(f"{address}: no scheduler answered within {seconds:.0f} s")
    if "error" in got:
        e = got["error"]
        raise StartError(f"{address}: cannot connect to a scheduler: {type(e).__name__}: {e}")
    client = got["client"]
    try:
        client.wait_for_workers(1, timeout=seconds)
    except Exception:  # noqa: BLE001 - a timeout, or the scheduler gone meanwhile
        client.close()
        raise StartError(f"{address}: the scheduler has no worker (waited {seconds:.0f} s)") \
            from None
    return client


def on_cluster(files: List[Tuple[str, str]], task: Task, address: str) -> Iterator[Outcome]:
    """One task per file on a Dask distributed cluster; a task the cluster loses (a worker
    died, the scheduler went away) is that file's failure."""
    from distributed import as_completed

    client = _connect(address)
    with client:
        futures = {client.submit(task, path, label, pure=False): label
                   for path, label in files}
        for future in as_completed(futures, loop=client.loop):
            try:
                yield future.result()
            except Exception as e:  # noqa: BLE001 - the file's failure, not the run's
                yield Outcome(shown_name(futures[future]),
                              failure=f"the cluster lost it: {type(e).__name__}: {e}")
