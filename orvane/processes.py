"""The programs a run starts, and ending them with everything they started.

While a `Children` is active, every ``subprocess.Popen`` made in this process (the
library starts its programs through it, looked up when called) starts in a process
group of its own, unless its caller chose one, and is remembered while it runs. Ending
the run then ends each program's whole group: the brain program, and the shells,
tools and sleepers it started, however they treat SIGTERM.
"""

from __future__ import annotations

import os
import signal
import subprocess
import weakref
from pathlib import PurePath
from typing import Any

# Whoever passes one of these has chosen the child's group or session already.
GROUP_KEYWORDS = ("start_new_session", "process_group", "preexec_fn")


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
                if grouped or options.get("start_new_session") or options.get("process_group") == 0:
                    children.own_group.add(self)

        subprocess.Popen = Tracked  # type: ignore[misc]
        return self

    def __exit__(self, *exc: object) -> None:
        if self.original is not None:
            subprocess.Popen = self.original  # type: ignore[misc]
            self.original = None

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
