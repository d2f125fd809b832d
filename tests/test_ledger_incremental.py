"""Reads after anyone's appends: what changed is read, and every result equals a fresh load.

A differential state machine drives ledger objects in this process and another process
through appends, torn and malformed lines, truncation, replacement, rewrites and type
registrations, and compares every query and statistic with a fresh full load after each step.
"""

import fcntl
import heapq
import json
import logging
import os
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, invariant, precondition, rule,
                                 run_state_machine_as_test)

from orvane import protocol
from orvane.ledger import Ledger
from tests.conftest import WARNING_FORMAT, canonical, line, same, ts
from tests.ledger_appender import Appender


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except (ValueError, TypeError) as e:
        return "raised", type(e)


def results(led):
    """Every query and statistic of a ledger object, in comparable form."""
    stamp = ts(3)
    return [
        canonical(led._load_all()), led.size(), canonical(led.events()),
        canonical(led.events(limit=3)), canonical(led.events(limit=1)),
        canonical(led.events("FINDING")), canonical(led.events(source="other", limit=2)),
        canonical(led.events(since=stamp)), canonical(led.events(min_generation=1, max_depth=0)),
        canonical(led.export_since(stamp)), canonical(led.export_since("")),
        outcome(led.all_question_stats), outcome(led.all_question_stats, ["a", "zz"]),
        outcome(led.question_stats, "b"), outcome(led.population_stats),
        outcome(led.triage_effectiveness),
    ]


def assert_as_fresh(led, path):
    fresh = Ledger(path)
    got, want = results(led), results(fresh)
    for mine, theirs in zip(got, want):
        if isinstance(mine, tuple) and mine[0] == "ok":
            assert mine[0] == theirs[0] and same(mine[1], theirs[1]) or mine == theirs
        else:
            assert mine == theirs
    assert led._cache_key == fresh._cache_key
    assert (led._cache is None) == (fresh._cache is None)


STAMPS = [ts(n) for n in range(6)]
LATE_TYPES = ["LEDGER_LATE_A", "LEDGER_LATE_B"]

payloads = st.fixed_dictionaries({}, optional={
    "question": st.sampled_from(["a", "b", "", "c"]),
    "finding_type": st.sampled_from(["bug", "gap"]),
    "severity": st.one_of(st.integers(0, 5), st.sampled_from(["2.5", 1.5])),
    "empty": st.booleans(),
    "resolved": st.booleans(),
    "execution_mode": st.sampled_from(["auto", "observe"]),
    "cost_usd": st.floats(0, 1),
    "findings_count": st.integers(0, 3),
})


@st.composite
def events(draw, types=("SELECTION", "FINDING", "FINDING", "ACTION_VERIFY", "FORGE", "CYCLE",
                        "OBSERVATION")):
    ev = protocol.make_event("OBSERVATION", draw(st.sampled_from(["me", "other", "x"])),
                             draw(payloads), target=draw(st.sampled_from([None, "t1", "t2"])),
                             generation=draw(st.integers(0, 2)), depth=draw(st.integers(0, 1)))
    ev["type"] = draw(st.sampled_from(types))
    ev["timestamp"] = draw(st.sampled_from(STAMPS))
    return ev


raw_lines = st.one_of(
    events(types=tuple(LATE_TYPES)).map(line),
    st.sampled_from(["{broken\n", "[1, 2]\n", "null\n", "\n", "  \r\n", "42\r", "{\"id\": 1}\n",
                     "[" * 3000 + "\n"]))


class LedgerMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = tempfile.TemporaryDirectory()
        self.path = Path(self.dir.name) / "ledger.jsonl"
        self.mine = [Ledger(self.path), Ledger(self.path)]
        self.other = Appender(self.path)
        self.torn = None  # the rest of a line written in part
        self.registered = []
        self.tick = 1_700_000_000_000_000_000

    def teardown(self):
        try:
            self.other.close()
        finally:
            for name in self.registered:
                protocol._EVENT_TYPES.discard(name)
            self.dir.cleanup()

    def changed(self):
        # Every change gets a modification time of its own, as changes a clock tick
        # apart do: two contents under one (mtime, size) key are the cache key's limit,
        # not what is tested here.
        self.tick += 1_000_000
        os.utime(self.path, ns=(self.tick, self.tick))

    def write(self, text, mode="a"):
        with open(self.path, mode + "b") as f:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX)
            f.write(text.encode())
            fcntl.flock(f.fileno(), fcntl.LOCK_UN)
        self.changed()

    # ------------------------------------------------------------ the steps

    @rule(which=st.integers(0, 1), evs=st.lists(events(), min_size=1, max_size=3))
    def append_here(self, which, evs):
        for ev in evs:
            self.mine[which].append(ev)
        self.changed()

    @rule(evs=st.lists(events(), min_size=1, max_size=4))
    def append_by_another_process(self, evs):
        self.other.append(evs)
        self.changed()

    @rule(lines=st.lists(raw_lines, min_size=1, max_size=3))
    def append_raw_lines(self, lines):
        self.write("".join(lines))

    @precondition(lambda self: self.torn is None)
    @rule(ev=events(), cut=st.floats(0.05, 0.95), whole=st.booleans())
    def write_a_torn_line(self, ev, cut, whole):
        text = line(ev)
        at = len(text) - 1 if whole else max(1, int(len(text) * cut))
        self.write(text[:at])
        self.torn = text[at:]

    @precondition(lambda self: self.torn is not None)
    @rule(then=st.lists(events(), max_size=2))
    def complete_the_torn_line(self, then):
        self.write(self.torn + "".join(map(line, then)))
        self.torn = None

    @rule(keep=st.floats(0, 1))
    def truncate(self, keep):
        size = self.path.stat().st_size
        with open(self.path, "r+b") as f:
            f.truncate(int(size * keep))
        self.torn = None
        self.changed()

    @rule(evs=st.lists(events(), max_size=4))
    def replace_by_rename(self, evs):
        new = self.path.with_name("next.jsonl")
        new.write_text("".join(map(line, evs)))
        os.replace(new, self.path)
        self.torn = None
        self.changed()

    @rule(evs=st.lists(events(), min_size=1, max_size=6))
    def rewrite_in_place(self, evs):
        old = self.path.read_bytes()
        text = "".join(map(line, evs)).encode()
        while len(text) <= len(old):
            text += line(evs[0]).encode()
        with open(self.path, "r+b") as f:
            f.write(text)
        self.torn = None
        self.changed()

    @precondition(lambda self: len(self.registered) < len(LATE_TYPES))
    @rule(evs=st.lists(events(), min_size=1, max_size=2))
    def register_a_type_then_append(self, evs):
        # A registration alone leaves the file's key, and so the cache, as they
        # are; the appends after it must not be read as if nothing else changed.
        name = LATE_TYPES[len(self.registered)]
        protocol.register_event_type(name)
        self.registered.append(name)
        self.other.append(evs)
        self.changed()

    @rule()
    def read_with_the_second_object(self):
        assert_as_fresh(self.mine[1], self.path)

    @invariant()
    def reads_equal_a_fresh_load(self):
        assert_as_fresh(self.mine[0], self.path)


@pytest.fixture
def quiet_warnings():
    """Malformed-line warnings are expected by the thousand here; keep them out of the report."""
    root = logging.getLogger()
    level = root.level
    root.setLevel(logging.ERROR)
    try:
        yield
    finally:
        root.setLevel(level)


@pytest.mark.usefixtures("quiet_warnings")
class TestAgainstFreshLoads:
    def test_state_machine(self):
        """After every step by anyone, every query and statistic equals a fresh full load."""
        run_state_machine_as_test(LedgerMachine, settings=settings(
            max_examples=40, stateful_step_count=25, deadline=None,
            suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much]))


# ---------------------------------------------------------------- warnings


def warned(caplog):
    """The line numbers of the malformed-line warnings logged, in order."""
    return [r.args[0] for r in caplog.records if r.msg == WARNING_FORMAT]


def event(n=0, kind="OBSERVATION"):
    ev = protocol.make_event(kind, "tester", {"question": "q"})
    ev["timestamp"] = ts(n)
    return ev


class TestWarnings:
    def test_one_object_warns_once_per_malformed_line(self, path, caplog):
        """Incremental reads warn only for the malformed lines they read."""
        path.write_text(line(event(1)) + "oops\n" + line(event(2)))
        led = Ledger(path)
        assert led.size() == 2 and warned(caplog) == [2]
        caplog.clear()
        led.append(event(3))
        assert led.size() == 3 and warned(caplog) == []
        with open(path, "a") as f:
            f.write("{bad\n" + line(event(4)))
        assert led.size() == 4 and warned(caplog) == [5]
        caplog.clear()
        other = Appender(path)
        other.append([event(5)])
        other.close()
        assert led.size() == 5 and warned(caplog) == []

    def test_full_reloads_warn_for_every_line(self, path, caplog):
        """A new object, or a file that was not merely grown, warns for every malformed line."""
        text = line(event(1)) + "oops\n" + line(event(2)) + "[1]\n"
        path.write_text(text)
        led = Ledger(path)
        assert led.size() == 2 and warned(caplog) == [2, 4]
        caplog.clear()
        assert Ledger(path).size() == 2 and warned(caplog) == [2, 4]
        caplog.clear()
        # Rewritten in place, longer: the last line before the old end changed.
        path.write_text("oops\n" + text)
        assert led.size() == 2 and warned(caplog) == [1, 3, 5]
        caplog.clear()
        # Truncated, then grown again.
        path.write_text(text[: len(text) - 4])
        assert led.size() == 2 and warned(caplog) == [2]
        caplog.clear()
        with open(path, "a") as f:
            f.write("junk\n")
        assert led.size() == 2 and warned(caplog) == [4]
        caplog.clear()
        # Replaced by a rename.
        new = path.with_name("new.jsonl")
        new.write_text(text + "junk\n")
        os.replace(new, path)
        assert led.size() == 2 and warned(caplog) == [2, 4, 5]

    def test_torn_line_is_read_again_once_complete(self, path, caplog):
        """A last line without its line end is read whole when it is completed."""
        full = line(event(2))
        path.write_text(line(event(1)) + full[:30])
        led = Ledger(path)
        assert led.size() == 1 and warned(caplog) == [2]
        caplog.clear()
        with open(path, "a") as f:
            f.write(full[30:])
        assert led.size() == 2 and warned(caplog) == []
        assert led._load_all() == Ledger(path)._load_all()

    def test_line_ends_split_across_reads(self, path, caplog):
        """A CR at the end of one read and the LF after it make one line end."""
        path.write_text(line(event(1))[:-1] + "\r")
        led = Ledger(path)
        assert led.size() == 1
        with open(path, "a") as f:
            f.write("\nnope\n")
        assert led.size() == 1 and warned(caplog) == [2]
        caplog.clear()
        assert Ledger(path).size() == 1 and warned(caplog) == [2]


class TestAppendAfterRewrite:
    @pytest.mark.parametrize("shorter", [True, False], ids=["shorter-by-the-line", "same-size"])
    def test_the_read_after_an_append_gives_the_file(self, tmp_path, shorter):
        """Another program rewrites the file within one tick of the clock, to the same size or
        shorter by the line this object then appends, so that the file comes back to the
        (mtime, size) key the object read it under: the read after the append is the file's."""
        path = tmp_path / "ledger.jsonl"
        led = Ledger(path)
        for n in range(4):
            led.append(event(n))
        before = canonical(led.events())
        st = path.stat()
        new = event(9, "FINDING")
        size = st.st_size - (len(line(new).encode()) if shorter else 0)
        text = line(event(7, "CYCLE")).encode()
        text += b" " * (size - len(text) - 1) + b"\n"  # a blank line pads it to the size
        with open(path, "r+b") as f:
            f.write(text)
            f.truncate(size)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        led.append(new)
        if shorter:
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
            assert path.stat().st_size == st.st_size
        fresh = Ledger(path)
        assert canonical(led.events()) == canonical(fresh.events()) != before
        assert results(led) == results(fresh)


class TestDeepNesting:
    def test_line_nested_too_deeply_is_skipped(self, path, caplog):
        """A line the host's decoder cannot nest into is skipped with its error; the rest loads."""
        deep = "[" * 100_000
        try:
            json.loads(deep)
        except RecursionError as e:
            message = str(e)
        path.write_text(line(event(1)) + deep + "\n" + line(event(2)))
        led = Ledger(path)
        assert led.size() == 2
        got = [r.args for r in caplog.records if r.msg == WARNING_FORMAT]
        assert [(n, str(err), text) for n, _, err, text in got] == [(2, message, "[" * 200)]
        with open(path, "a") as f:
            f.write("{\"a\": " * 100_000 + "\n")
        assert led.size() == 2 and len(warned(caplog)) == 2

    def test_deserialize_still_raises(self):
        """The protocol's deserialize raises RecursionError, as json.loads does."""
        with pytest.raises(RecursionError):
            protocol.deserialize("[" * 100_000)


class TestOrderIndex:
    @settings(max_examples=25, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(first=st.lists(st.integers(0, 40), min_size=0, max_size=300),
           then=st.lists(st.lists(st.integers(0, 40), max_size=150), max_size=3),
           limits=st.lists(st.integers(-1, 30), min_size=1, max_size=4))
    def test_queries_follow_the_stable_sort(self, tmp_path_factory, first, then, limits):
        """Newest-first and oldest-first orders, ties in file order, over loads and appends of
        many events in any timestamp order: as the stable sort and nlargest give them."""
        path = tmp_path_factory.mktemp("order") / "ledger.jsonl"
        stamp = "2026-01-01T00:{:02d}:00+00:00".format

        def batch(stamps, start):
            out = []
            for i, n in enumerate(stamps):
                ev = event()
                ev["timestamp"] = stamp(n)
                ev["payload"] = {"n": start + i}
                out.append(ev)
            return out

        written = batch(first, 0)
        path.write_text("".join(map(line, written)))
        led = Ledger(path)
        led.size()
        for more in then:
            evs = batch(more, len(written))
            with open(path, "a") as f:
                f.write("".join(map(line, evs)))
            written += evs
            newest = [e["payload"]["n"] for e in sorted(written, key=lambda e: e["timestamp"],
                                                        reverse=True)]
            assert [e["payload"]["n"] for e in led.events()] == newest
            for limit in limits:
                want = [e["payload"]["n"] for e in heapq.nlargest(
                    limit, written, key=lambda e: e["timestamp"])] if limit > 0 else newest
                assert [e["payload"]["n"] for e in led.events(limit=limit)] == want
            since = stamp(20)
            assert [e["payload"]["n"] for e in led.export_since(since)] == [
                e["payload"]["n"] for e in sorted(written, key=lambda e: e["timestamp"])
                if e["timestamp"] >= since]
