"""Several processes sharing one ledger file."""

import json
import subprocess
import sys
import time

from orvane import protocol
from orvane.ledger import Ledger
from tests.conftest import WARNING_FORMAT

# Appends `count` events of varied, often large sizes once the start file
# exists; every few appends checks that its own reads hold all it wrote.
WRITER = r"""
import os, sys, time
from orvane import ledger, protocol
path, name, count, start = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
while not os.path.exists(start):
    time.sleep(0.001)
led = ledger.Ledger(path)
for i in range(count):
    fill = "\u00e9" * ((i * 7919 + len(name) * 104729) % 20000)
    led.append(protocol.make_event("OBSERVATION", name, {"seq": i, "fill": fill}))
    if i % 5 == 4:
        mine = [e["payload"]["seq"] for e in led._load_all() if e["source"] == name]
        assert mine == list(range(i + 1)), (name, i, mine)
print("done")
"""

# Loads the ledger with fresh objects until the stop file exists; reports
# the sizes seen and any malformed-line warnings.
READER = r"""
import json, logging, os, sys
from orvane import ledger
path, stop = sys.argv[1], sys.argv[2]
warnings = []
class Collect(logging.Handler):
    def emit(self, record):
        warnings.append(record.getMessage()[:200])
logging.getLogger().addHandler(Collect())
sizes = []
while True:
    last = os.path.exists(stop)
    sizes.append(ledger.Ledger(path).size())
    if last:
        break
print(json.dumps({"sizes": sizes, "warnings": warnings}))
"""


def spawn(tmp_path, script, *args):
    return subprocess.Popen([sys.executable, "-c", script, *map(str, args)], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc, timeout=300):
    out, err = proc.communicate(timeout=timeout)
    assert proc.returncode == 0, err
    return out


class TestConcurrentProcesses:
    def test_appends_from_several_processes_all_survive(self, tmp_path, caplog):
        """Concurrent appenders lose nothing and never interleave, and readers see whole lines."""
        path, start, stop = tmp_path / "ledger.jsonl", tmp_path / "start", tmp_path / "stop"
        Ledger(path)
        writers = [spawn(tmp_path, WRITER, path, f"w{n}", 30, start) for n in range(4)]
        readers = [spawn(tmp_path, READER, path, stop) for _ in range(2)]
        time.sleep(0.2)
        start.touch()
        for w in writers:
            assert finish(w) == "done\n"
        stop.touch()
        for r in readers:
            seen = json.loads(finish(r))
            assert seen["warnings"] == []
            assert seen["sizes"] == sorted(seen["sizes"]) and seen["sizes"][-1] == 120

        lines = path.read_bytes().split(b"\n")
        assert lines.pop() == b""
        assert len(lines) == 120
        decoded = [json.loads(text) for text in lines]
        assert all(protocol.serialize(e).encode() == text for e, text in zip(decoded, lines))
        for n in range(4):
            assert [e["payload"]["seq"] for e in decoded if e["source"] == f"w{n}"] == list(
                range(30))
        led = Ledger(path)
        assert led.size() == 120
        assert [r for r in caplog.records if r.msg == WARNING_FORMAT] == []

    def test_own_reads_stay_exact_while_others_append(self, tmp_path):
        """An object appending and reading while other processes append sees every event."""
        path, start = tmp_path / "ledger.jsonl", tmp_path / "start"
        led = Ledger(path)
        writers = [spawn(tmp_path, WRITER, path, f"w{n}", 25, start) for n in range(2)]
        start.touch()
        mine = []
        for i in range(40):
            ev = protocol.make_event("OBSERVATION", "main", {"seq": i})
            led.append(ev)
            mine.append(ev["id"])
            got = led._load_all()
            assert [e["id"] for e in got if e["source"] == "main"] == mine
            # The writers may append between the two reads, never take away.
            assert led.size() >= len(got)
        for w in writers:
            finish(w)
        assert led.size() == 90
        assert [e["id"] for e in led._load_all()] == [e["id"] for e in Ledger(path)._load_all()]


# Takes the lock named by argv[2] on the ledger, says so, then does what
# argv[3] asks while holding it.
HOLDER = r"""
import fcntl, os, sys, time
path, mode, action = sys.argv[1], sys.argv[2], sys.argv[3]
with open(path, "ab+") as f:
    fcntl.flock(f.fileno(), getattr(fcntl, mode))
    print("locked", flush=True)
    if action == "write-slowly":
        line = sys.stdin.readline().encode()
        f.write(line[:20]); f.flush()
        time.sleep(0.5)
        f.write(line[20:]); f.flush()
    else:
        time.sleep(0.5)
        print(os.fstat(f.fileno()).st_size, flush=True)
    fcntl.flock(f.fileno(), fcntl.LOCK_UN)
"""


class TestLocking:
    def test_load_waits_for_a_writer_holding_the_lock(self, tmp_path, caplog):
        """A load started during another process's locked write sees the whole line."""
        path = tmp_path / "ledger.jsonl"
        led = Ledger(path)
        led.append(protocol.make_event("OBSERVATION", "first", {}))
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(path), "LOCK_EX",
                                   "write-slowly"], cwd=tmp_path, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        ev = protocol.make_event("OBSERVATION", "second", {"x": "y" * 100})
        holder.stdin.write(protocol.serialize(ev) + "\n")
        holder.stdin.flush()
        assert holder.stdout.readline() == "locked\n"
        time.sleep(0.05)
        assert led._load_all()[-1] == ev
        holder.communicate(timeout=30)
        assert [r for r in caplog.records if r.msg == WARNING_FORMAT] == []

    def test_append_waits_for_a_reader_holding_the_lock(self, tmp_path):
        """An append does not touch the file while another process holds a shared lock."""
        path = tmp_path / "ledger.jsonl"
        led = Ledger(path)
        led.append(protocol.make_event("OBSERVATION", "first", {}))
        before = path.stat().st_size
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(path), "LOCK_SH", "hold"],
                                  cwd=tmp_path, stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline() == "locked\n"
        led.append(protocol.make_event("OBSERVATION", "second", {}))
        out, _ = holder.communicate(timeout=30)
        assert int(out) == before
        assert led.size() == 2

