"""One actor per instance: the exclusive lock that a command holds for as long as it may
change the worktree or the instance branch of an instance.

The lock is an advisory ``flock`` on the file "actor.lock" in the instance directory,
held on an open descriptor, so that it goes away with the process however the process
ends. The file names the holder (its pid and start time) for the message the next
actor gets; it is only ever read for that message, never trusted for the lock itself.
"""

from __future__ import annotations

import fcntl
import json
import os
import time
from collections.abc import Iterator
from contextlib import contextmanager
from datetime import datetime, timezone
from pathlib import Path

from orvane.instance import UserError

LOCK_FILE = "actor.lock"


class InstanceBusy(UserError):
    """Another process holds the instance's actor lock."""


def holder(directory: Path, attempts: int = 10) -> str:
    """Who holds the lock, as the lock file says: "process 123 (started ...)". A holder
    that has just taken the lock may not have named itself yet: the file is read again
    for a moment before the answer is "another process"."""
    for attempt in range(attempts):
        try:
            record = json.loads((directory / LOCK_FILE).read_text(encoding="utf-8"))
            return f"process {int(record['pid'])} (started {record['started']})"
        except (OSError, ValueError, KeyError, TypeError):
            if attempt + 1 < attempts:
                time.sleep(0.05)
    return "another process"


@contextmanager
def acting(directory: Path, command: str = "run") -> Iterator[None]:
    """Holds the instance's actor lock for the body; raises InstanceBusy at once (no
    waiting) when another process holds it."""
    path = directory / LOCK_FILE
    descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise InstanceBusy(f"the instance {directory} is in use by {holder(directory)}; "
                               "one command at a time may act on it") from None
        record = {"pid": os.getpid(), "command": command,
                  "started": datetime.now(timezone.utc).isoformat(timespec="seconds")}
        os.ftruncate(descriptor, 0)
        os.pwrite(descriptor, json.dumps(record).encode() + b"\n", 0)
        yield
    finally:
        os.close(descriptor)  # releases the lock
