"""The programs a run starts, and ending them with everything they started.

While a `Children` is active, every ``subprocess.Popen`` made in this process (the
library starts its programs through it, looked up when called) starts in a process
group of its own, unless its caller chose one, and is remembered while it runs. Ending
the run then ends each program's whole group: the brain program, and the shells,
tools and sleepers it started, however they treat SIGTERM.
"""

from __future__ import annotations

import io
import os
import signal
import subprocess
import threading
import weakref
from collections import deque
from pathlib import PurePath
from typing import Any

# Whoever passes one of these has chosen the child's group or session already.
GROUP_KEYWORDS = ("start_new_session", "process_group", "preexec_fn")
# How much of a program's standard error is kept for its failure report.
STDERR_TAIL = 8192


class StderrTail:
    """Relays a program's standard error to whoever reads the Popen's `stderr` (the
    library), byte for byte, and keeps its last STDERR_TAIL bytes: the library
    collects standard error but never uses it, and the host wants it when the program
    fails. The relay is a real pipe, so the reader sees a real descriptor."""

    def __init__(self, process: subprocess.Popen[Any]) -> None:
        self.kept: deque[bytes] = deque()
        self.size = 0
        source = process.stderr
        assert source is not None
        self.source_fd = source.fileno()
        read_end, self.write_fd = os.pipe()
        os.set_inheritable(read_end, False)
        if isinstance(source, io.TextIOWrapper):
            relay: Any = io.TextIOWrapper(io.open(read_end, "rb"), encoding=source.encoding, errors=source.errors)
        else:
            relay = io.open(read_end, "rb")
        self.source = source  # closed once the relay has read it to its end
        process.stderr = relay
        self.thread = threading.Thread(target=self.pump, name="orvane-stderr", daemon=True)
        self.thread.start()

    def pump(self) -> None:
        try:
            while chunk := os.read(self.source_fd, 65536):
                self.kept.append(chunk)
                self.size += len(chunk)
                while self.size - len(self.kept[0]) >= STDERR_TAIL:
                    self.size -= len(self.kept.popleft())
                view = memoryview(chunk)
                while view:
                    view = view[os.write(self.write_fd, view):]
        except OSError:
            pass  # the reader went away: what was kept stays
        finally:
            os.close(self.write_fd)
            try:
                self.source.close()
            except OSError:
                pass

    def text(self) -> str:
        """The last lines of standard error, as text."""
        self.thread.join(timeout=2.0)
        return b"".join(self.kept)[-STDERR_TAIL:].decode("utf-8", "replace")


def is_git(args: Any) -> bool:
    return program_name(args) == "git"


def program_name(args: Any) -> str:
    """The base name of the program a Popen runs."""
    if isinstance(args, (str, bytes, os.PathLike)):
        first = os.fsdecode(args).split()[0] if os.fsdecode(args).split() else ""
    else:
        try:
            first = os.fsdecode(next(iter(args)))
        except (StopIteration, TypeError):
            return ""
    return PurePath(first).name


class Children:
    """Keeps track of the programs started while it is active (a context manager)."""

    def __init__(self) -> None:
        self.live: weakref.WeakSet[subprocess.Popen[Any]] = weakref.WeakSet()
        self.own_group: weakref.WeakSet[subprocess.Popen[Any]] = weakref.WeakSet()
        self.original: Any = None
        # The program started last that is not git (the brain's, during a brain call),
        # with its standard error's tail.
        self.latest: subprocess.Popen[Any] | None = None
        self.latest_stderr: StderrTail | None = None

    def __enter__(self) -> Children:
        original = self.original = subprocess.Popen
        children = self

        class Tracked(original):  # type: ignore[misc, valid-type]
            def __init__(self, args: Any, *rest: Any, **options: Any) -> None:
                grouped = not rest and not any(key in options for key in GROUP_KEYWORDS)
                if grouped:
                    options["start_new_session"] = True
                super().__init__(args, *rest, **options)
                children.live.add(self)
                if not is_git(args):
                    children.latest = self
                    children.latest_stderr = (StderrTail(self) if options.get("stderr") == subprocess.PIPE
                                              and self.stderr is not None else None)
                if grouped or options.get("start_new_session") or options.get("process_group") == 0:
                    children.own_group.add(self)

        subprocess.Popen = Tracked  # type: ignore[misc]
        return self

    def __exit__(self, *exc: object) -> None:
        if self.original is not None:
            subprocess.Popen = self.original  # type: ignore[misc]
            self.original = None

    def forget_latest(self) -> None:
        self.latest = self.latest_stderr = None

    def latest_failure(self) -> tuple[int | None, str]:
        """The exit status and the standard error's tail of the program started last
        (None and "" when none was, or it has not ended)."""
        process = self.latest
        if process is None:
            return None, ""
        tail = self.latest_stderr.text() if self.latest_stderr is not None else ""
        return process.returncode, tail

    def end(self, *, spare: tuple[str, ...] = ()) -> int:
        """Kills every running program (with its group, when it leads one) except those
        named in `spare`; returns how many were killed. Safe inside a signal handler: it
        only sends signals, it never waits."""
        killed = 0
        for process in list(self.live):
            if process.returncode is not None or program_name(process.args) in spare:
                continue
            try:
                if process in self.own_group:
                    os.killpg(process.pid, signal.SIGKILL)
                else:
                    os.kill(process.pid, signal.SIGKILL)
                killed += 1
            except (ProcessLookupError, PermissionError):
                pass
        return killed
