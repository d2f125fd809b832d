"""Helpers shared by the test modules (`from tests.conftest import same, ts, run_in_child`),
and the fixtures they share."""
import json
import math
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest

from orvane import protocol

# The message the ledger logs for each line it skips, as log records carry it.
WARNING_FORMAT = "Skipping malformed line %d in %s: %s \u2014 %s"


def ts(n):
    """A timestamp n seconds into 2026, in the events' ISO form."""
    return f"2026-01-01T00:00:{n:02d}+00:00"


def line(ev):
    """An event as the ledger file holds it."""
    return protocol.serialize(ev) + "\n"


def canonical(events):
    """Events in a form that compares equal whatever their keys' order."""
    return [json.dumps(e, sort_keys=True) for e in events]


def same(a, b):
    """Equal values of identical types: floats bit for bit (NaN equals NaN, -0.0 is not 0.0),
    maps with their keys in the same order."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if type(a) is dict:
        return same(list(a), list(b)) and all(same(x, y) for x, y in zip(a.values(), b.values()))
    if type(a) in (list, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def run_in_child(code, *, timeout=120, env=None, cwd=None):
    """Runs `code` in a fresh interpreter and returns its standard output.

    For code that may crash the interpreter (hostile objects, native faults): a crash
    fails the test with the child's output instead of taking the test run down. The child
    starts outside the source tree (`cwd`, else the temporary directory), so that it
    imports the installed package.
    """
    proc = subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout, env=env,
                          stdin=subprocess.DEVNULL, cwd=cwd or tempfile.gettempdir())
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}")
    return proc.stdout


class Listener:
    """A TCP port on 127.0.0.1 that only counts who connects (an FTP server that never
    answers)."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port, self.connections, self.stop = self.sock.getsockname()[1], 0, False
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while not self.stop:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.connections += 1
            conn.close()

    def close(self):
        self.stop = True
        self.thread.join()
        self.sock.close()


@pytest.fixture
def path(tmp_path):
    """Where a test's ledger file goes."""
    return tmp_path / "ledger.jsonl"


@pytest.fixture
def registry(monkeypatch):
    """A private copy of the event type registry, so that registrations end with the test."""
    types = set(protocol._EVENT_TYPES)
    monkeypatch.setattr(protocol, "_EVENT_TYPES", types)
    return types
