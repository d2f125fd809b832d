"""The ledger store: file format, loading, cache, queries, merge and export."""

import collections
import fcntl
import json
import re
import logging
import os
import pathlib
import subprocess
import sys

import pytest

from orvane import ledger as ledger_mod
from orvane import protocol
from orvane.ledger import Ledger
from tests.conftest import WARNING_FORMAT, line, ts


def event(event_type="OBSERVATION", payload=None, *, ts="2026-01-01T00:00:00+00:00", **fields):
    """A valid event with a chosen timestamp and any fields overridden."""
    ev = protocol.make_event(event_type, fields.pop("source", "tester"), payload or {})
    ev["timestamp"] = ts
    ev.update(fields)
    return ev


def ids(events):
    return [e["id"] for e in events]


def malformed(caplog):
    """The (line number, error text, line) of each malformed-line warning."""
    out = []
    for rec in caplog.records:
        if rec.msg == WARNING_FORMAT:
            assert rec.levelno == logging.WARNING and rec.name == "root"
            n, path, err, text = rec.args
            out.append((n, path, str(err), text))
    return out


@pytest.fixture
def flock_calls(monkeypatch):
    """Every fcntl.flock call as (operation name, file size at the call)."""
    names = {fcntl.LOCK_EX: "EX", fcntl.LOCK_SH: "SH", fcntl.LOCK_UN: "UN"}
    calls = []
    real = fcntl.flock

    def recording(fd, op):
        calls.append((names.get(op, op), os.fstat(fd).st_size))
        return real(fd, op)

    monkeypatch.setattr(fcntl, "flock", recording)
    return calls


# --------------------------------------------------------------- construction


class TestConstruction:
    def test_creates_missing_directories_and_empty_file(self, tmp_path):
        """A path in a missing directory gets the directory and an empty file."""
        p = tmp_path / "a" / "b" / "ledger.jsonl"
        led = Ledger(str(p))
        assert p.is_file() and p.stat().st_size == 0
        assert led.size() == 0 and led.events() == []
        assert led._cache is None and led._cache_key is None

    def test_path_is_a_pathlib_path(self, path):
        """`_path` is a pathlib.Path built from a string or a path."""
        for arg in (str(path), path):
            led = Ledger(arg)
            assert type(led._path) is type(pathlib.Path(path)) and led._path == path

    def test_existing_file_is_kept(self, path):
        """Opening an existing ledger neither truncates nor rewrites it."""
        ev = event()
        path.write_text(line(ev))
        before = path.stat().st_mtime_ns
        assert ids(Ledger(path).events()) == [ev["id"]]
        assert path.stat().st_mtime_ns == before

    def test_read_only_ledger_can_be_opened_and_read(self, path):
        """A ledger file that cannot be written can still be opened and read."""
        ev = event()
        path.write_text(line(ev))
        path.chmod(0o444)
        immutable = False
        try:
            if os.access(path, os.W_OK):  # privileged: only an immutable file is unwritable
                immutable = subprocess.run(["chattr", "+i", str(path)],
                                           capture_output=True).returncode == 0
                if not immutable:
                    pytest.skip("cannot make a file unwritable here")
            led = Ledger(path)
            assert ids(led.events()) == [ev["id"]]
            with pytest.raises(PermissionError):
                led.append(event())
        finally:
            if immutable:
                subprocess.run(["chattr", "-i", str(path)], check=True)
            path.chmod(0o644)

    def test_process_exits_cleanly(self, tmp_path):
        """A process that used a ledger exits cleanly, even with its modules torn down first."""
        script = ("import sys; from orvane import ledger, protocol; "
                  "led = ledger.Ledger(sys.argv[1]); "
                  "led.append(protocol.make_event('QUESTION', 's', {})); led.size(); "
                  "del led; protocol.__dict__.clear(); ledger.__dict__.clear()")
        done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "l.jsonl")],
                              capture_output=True, text=True, cwd=tmp_path)
        assert (done.returncode, done.stderr) == (0, "")

# --------------------------------------------------------------------- append


class TestAppend:
    def test_writes_one_canonical_line(self, path):
        """An event is written as its serialised form and one newline."""
        led = Ledger(path)
        ev = event(payload={"text": "caf\u00e9 \u2603 \"q\"\n"}, target="x")
        led.append(ev)
        data = path.read_bytes()
        assert data == (protocol.serialize(ev) + "\n").encode("ascii")
        assert data.count(b"\n") == 1
        assert led.events() == [ev]

    def test_appends_in_order_and_never_rewrites(self, path):
        """Each append adds a line after the existing bytes."""
        led = Ledger(path)
        evs = [event(ts=ts(i)) for i in range(3)]
        for i, ev in enumerate(evs):
            before = path.read_bytes()
            led.append(ev)
            assert path.read_bytes() == before + line(ev).encode()
        assert ids(led._load_all()) == ids(evs)

    def test_invalid_event_is_refused(self, path):
        """An invalid event raises ValueError with its text; the file stays as it was."""
        led = Ledger(path)
        led.append(event())
        before = path.read_bytes()
        led.size()
        key = led._cache_key
        bad = event(generation=-1)
        with pytest.raises(ValueError) as info:
            led.append(bad)
        assert str(info.value) == "Invalid event: " + str(bad)
        assert path.read_bytes() == before
        assert led._cache_key == key

    def test_unserialisable_payload(self, path):
        """A payload JSON cannot carry raises the encoder's TypeError before the file is touched."""
        led = Ledger(path)
        with pytest.raises(TypeError):
            led.append(event(payload={"s": {1, 2}}))
        assert path.read_bytes() == b""

    def test_clears_cache(self, path):
        """An append clears the cache, and the next read shows the event."""
        led = Ledger(path)
        led.append(event(ts=ts(1)))
        led.size()
        assert led._cache is not None
        ev = event(ts=ts(2))
        led.append(ev)
        assert led._cache is None and led._cache_key is None
        assert led.events()[0] is not ev and led.events()[0] == ev
        assert led.size() == 2

    def test_new_event_visible_even_if_mtime_is_unchanged(self, path):
        """A read after an append sees the event although mtime was set back."""
        led = Ledger(path)
        led.append(event(ts=ts(1)))
        st = path.stat()
        assert led.size() == 1
        ev = event(ts=ts(2))
        led.append(ev)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        assert led.size() == 2 and led.events()[0] == ev

    def test_after_torn_last_line(self, path, caplog):
        """An append after a torn last line starts on a line of its own."""
        led = Ledger(path)
        first = event(ts=ts(1))
        led.append(first)
        led.size()
        torn = line(event(ts=ts(2)))[:40]
        with open(path, "a") as f:
            f.write(torn)
        ev = event(ts=ts(3))
        led.append(ev)
        assert path.read_text().splitlines() == [line(first)[:-1], torn, line(ev)[:-1]]
        caplog.clear()
        assert ids(Ledger(path).events()) == [ev["id"], first["id"]]
        assert [w[0] for w in malformed(caplog)] == [2]

    def test_after_last_line_ending_in_cr(self, path):
        """A file ending in a lone CR gets no extra line break."""
        first = event(ts=ts(1))
        path.write_text(line(first)[:-1] + "\r")
        led = Ledger(path)
        ev = event(ts=ts(2))
        led.append(ev)
        assert path.read_bytes() == (line(first)[:-1] + "\r" + line(ev)).encode()
        assert ids(led.events()) == [ev["id"], first["id"]]

    def test_takes_exclusive_lock_around_the_write(self, path, flock_calls):
        """The write happens under LOCK_EX, the whole line in before LOCK_UN."""
        led = Ledger(path)
        ev = event()
        led.append(ev)
        n = len(line(ev))
        assert flock_calls == [("EX", 0), ("UN", n)]

    def test_releases_lock_when_the_write_fails(self, flock_calls):
        """A failing write propagates its OSError after the lock is released."""
        led = Ledger("/dev/full")
        with pytest.raises(OSError):
            led.append(event())
        assert [c[0] for c in flock_calls] == ["EX", "UN"]

    def test_argument_types(self, path):
        """`event` must be exactly a dict."""
        led = Ledger(path)

        class EventMap(dict):
            pass

        for bad, name in ((EventMap(event()), "EventMap"),
                          (collections.OrderedDict(event()), "collections.OrderedDict"),
                          (None, "NoneType"), ([], "list")):
            with pytest.raises(TypeError) as info:
                led.append(bad)
            assert str(info.value) == (
                f"Argument 'event' has incorrect type (expected dict, got {name})")
        with pytest.raises(TypeError):
            led.append()
        with pytest.raises(TypeError):
            led.append(event(), event())
        led.append(event=event())
        assert led.size() == 1


# ----------------------------------------------------------------------- load


class TestLoad:
    def test_blank_lines_whitespace_and_line_ends(self, path, caplog):
        """CR, LF and CRLF all end lines; blank lines and surrounding whitespace are ignored."""
        a, b, c, d = (event(ts=ts(i)) for i in range(4))
        text = ("\n  \t\n" + protocol.serialize(a) + "\r\n\r\n"
                + " \x0b" + protocol.serialize(b) + "\x0c \r"
                + "\u00a0" + protocol.serialize(c) + "\u3000\n"
                + protocol.serialize(d))
        path.write_bytes(text.encode())
        assert ids(Ledger(path)._load_all()) == ids([a, b, c, d])
        assert malformed(caplog) == []

    def test_malformed_lines_are_skipped_with_warning(self, path, caplog):
        """Broken lines are logged with their physical line number and skipped."""
        a, b = event(ts=ts(1)), event(ts=ts(2))
        long_garbage = "{" + "x" * 300
        text = (line(a) + "\n" + "{\"id\": \r\n" + "[1, 2]\n" + "\"text\"\n" + "42\n"
                + "true\n" + long_garbage + "\n" + line(b) + line(a)[:30])
        path.write_text(text, newline="")
        led = Ledger(path)
        assert ids(led._load_all()) == ids([a, b])
        got = malformed(caplog)
        assert [g[0] for g in got] == [3, 4, 5, 6, 7, 8, 10]
        assert all(g[1] is led._path for g in got)
        assert got[0][2] == "Expecting value: line 1 column 7 (char 6)"
        assert got[0][3] == "{\"id\":"
        assert got[1][2:] == ("Expected dict, got list", "[1, 2]")
        assert got[2][2:] == ("Expected dict, got str", "\"text\"")
        assert got[3][2:] == ("Expected dict, got int", "42")
        assert got[4][2:] == ("Expected dict, got bool", "true")
        assert got[5][3] == long_garbage[:200]
        assert got[6][3] == line(a)[:30]
        rec = [r for r in caplog.records if r.msg == WARNING_FORMAT][1]
        assert rec.getMessage() == (
            f"Skipping malformed line 4 in {path}: Expected dict, got list \u2014 [1, 2]")

    def test_invalid_utf8_line_is_skipped_with_warning(self, path, caplog):
        """A line that is not UTF-8 is skipped with a warning; the rest loads."""
        a, b = event(ts=ts(1)), event(ts=ts(2))
        path.write_bytes(line(a).encode() + b"{\"x\": \"\xff\xfe\"}\n" + b"\xc3\n"
                         + b"\xed\xa0\x80\n" + line(b).encode())
        assert ids(Ledger(path).events()) == ids([b, a])
        got = malformed(caplog)
        assert [g[0] for g in got] == [2, 3, 4]
        assert all("utf-8" in g[2] for g in got)

    def test_null_and_invalid_events_skipped_silently(self, path, caplog):
        """null, unregistered types and invalid events are dropped without a warning."""
        good = event()
        unregistered = dict(event(), type="REGISTERED_LATER_ELSEWHERE")
        no_payload = event()
        del no_payload["payload"]
        bool_target = event(target=True)
        float_gen = dict(event(), generation=1.0)
        path.write_text("null\n" + "{}\n" + "".join(json.dumps(e) + "\n" for e in (
            unregistered, no_payload, bool_target, float_gen)) + line(good))
        led = Ledger(path)
        assert led._load_all() == [good]
        assert malformed(caplog) == []
        assert path.read_text().count("\n") == 7

    def test_type_registered_later_loads_then(self, path, registry):
        """An event of a type registered after it was written loads once registered."""
        name = "LEDGER_TEST_LATE_TYPE"
        ev = dict(event(), type=name)
        path.write_text(json.dumps(ev) + "\n")
        assert Ledger(path).size() == 0
        protocol.register_event_type(name)
        assert Ledger(path)._load_all() == [ev]

    def test_extra_fields_and_bool_generation_kept(self, path):
        """Fields beyond the schema ride along; a bool counts as an integer."""
        ev = dict(event(), extra=[1, {"b": None}], generation=True)
        path.write_text(json.dumps(ev) + "\n")
        assert Ledger(path)._load_all() == [ev]

    def test_takes_shared_lock_while_reading(self, path, flock_calls):
        """A full load holds LOCK_SH; a cached read takes no lock."""
        led = Ledger(path)
        led.size()
        assert flock_calls == []
        led.append(event())
        flock_calls.clear()
        led2 = Ledger(path)
        led2.size()
        assert [c[0] for c in flock_calls] == ["SH", "UN"]
        led2.events()
        led2.size()
        assert len(flock_calls) == 2

    def test_releases_lock_when_the_read_fails(self, tmp_path, flock_calls):
        """A failing read propagates its OSError and leaves no lock behind."""
        d = tmp_path / "ledger.jsonl"
        d.mkdir()
        led = Ledger(d)
        if d.stat().st_size == 0:
            pytest.skip("directories have no size on this file system")
        with pytest.raises(OSError):
            led.size()
        taken = [c[0] for c in flock_calls]
        assert taken.count("UN") == len(taken) - taken.count("UN")
        assert led._cache is None

    def test_returns_new_list_each_time(self, path):
        """Mutating a returned list does not change what the next read returns."""
        led = Ledger(path)
        for i in range(3):
            led.append(event(ts=ts(i)))
        first = led._load_all()
        first.clear()
        got = led.events()
        got.reverse()
        got.pop()
        assert led.size() == 3 and len(led.events()) == 3 and len(led._load_all()) == 3


class TestCache:
    def test_key_is_mtime_ns_and_size(self, path):
        """A full load stores the events and (st_mtime_ns, st_size)."""
        led = Ledger(path)
        led.append(event())
        evs = led._load_all()
        st = path.stat()
        assert led._cache_key == (st.st_mtime_ns, st.st_size)
        assert type(led._cache) is list and led._cache == evs
        assert [a is b for a, b in zip(led._cache, led._load_all())] == [True]

    def test_unchanged_file_is_not_read_again(self, path, monkeypatch):
        """Repeated reads of an unchanged file decode nothing."""
        led = Ledger(path)
        led.append(event())
        Ledger(path).size()
        led.size()
        calls = []
        real = json.loads
        monkeypatch.setattr(json, "loads", lambda s, *a, **k: calls.append(s) or real(s, *a, **k))
        for _ in range(3):
            led.events(), led.size(), led.export_since(""), led.population_stats()
        assert calls == []

    def test_cleared_when_file_missing_or_empty(self, path):
        """A load finding no file or an empty one clears the cache."""
        led = Ledger(path)
        led.append(event())
        led.size()
        path.write_text("")
        assert led.events() == []
        assert led._cache is None and led._cache_key is None
        led.append(event())
        led.size()
        path.unlink()
        assert led.size() == 0 and led._cache is None and led._cache_key is None

    def test_other_object_sees_appends(self, path):
        """A second Ledger on the same file sees the first one's appends."""
        one, two = Ledger(path), Ledger(path)
        one.append(event(ts=ts(1)))
        assert two.size() == 1
        for i in range(2, 5):
            one.append(event(ts=ts(i)))
            assert two.size() == i and ids(two.events()) == ids(one.events())

    def test_foreign_write_is_picked_up(self, path):
        """Lines written by another writer appear on the next read."""
        led = Ledger(path)
        led.append(event(ts=ts(1)))
        assert led.size() == 1
        ev = event(ts=ts(2))
        with open(path, "a") as f:
            f.write(line(ev))
        assert led.events()[0] == ev

    def test_reads_after_own_appends_stay_exact(self, path):
        """Interleaved appends from two objects always read back as the file holds them."""
        one, two = Ledger(path), Ledger(path)
        one.size()
        two.size()
        written = []
        for i in range(12):
            writer = (one, two)[i % 3 == 1]
            ev = event(ts=ts(i % 5), payload={"n": i})
            writer.append(ev)
            written.append(ev)
            if i % 2:
                assert one._load_all() == written
            if i % 4 == 3:
                assert two._load_all() == written
        assert one._load_all() == two._load_all() == written

    def test_read_after_append_when_another_process_wrote(self, path):
        """An append then a read are right when another process wrote in between."""
        led = Ledger(path)
        led.append(event(ts=ts(1)))
        assert led.size() == 1
        script = ("import sys; from orvane import ledger, protocol; "
                  "ledger.Ledger(sys.argv[1]).append("
                  "protocol.make_event('OBSERVATION', 'other', {}))")
        subprocess.run([sys.executable, "-c", script, str(path)], check=True, cwd=path.parent)
        led.append(event(ts=ts(2)))
        assert led.size() == 3
        led.append(event(ts=ts(3)))
        subprocess.run([sys.executable, "-c", script, str(path)], check=True, cwd=path.parent)
        assert led.size() == 5
        assert [e["source"] for e in led._load_all()] == [
            "tester", "other", "tester", "tester", "other"]

    def test_read_after_append_by_patched_serializer(self, path, monkeypatch, caplog):
        """What an append wrote is read back as the file holds it, not as the event was."""
        led = Ledger(path)
        led.append(event(ts=ts(1)))
        assert led.size() == 1
        monkeypatch.setattr(protocol, "serialize", lambda e: json.dumps(e, indent=1))
        led.append(event(ts=ts(2)))
        assert led.size() == 1
        assert len(malformed(caplog)) > 10
        monkeypatch.setattr(protocol, "serialize", lambda e: "[1]")
        led.append(event(ts=ts(3)))
        caplog.clear()
        assert led.size() == 1
        assert malformed(caplog)[-1][2:] == ("Expected dict, got list", "[1]")
        monkeypatch.setattr(protocol, "serialize", lambda e: " " + json.dumps(e) + "\r")
        ev = event(ts=ts(4))
        led.append(ev)
        assert led.events()[0] == ev and led.size() == 2

    def test_a_serialized_line_that_is_not_text(self, path, monkeypatch):
        """A replaced serializer's line goes through the host's `+ "\\n"`, and what is not a str
        then is refused as a text file's write() refuses it, with nothing written."""
        class Odd(str):
            def __add__(self, other):
                return 5

        led = Ledger(path)
        for line_text, message in [(b"{}", "can't concat str to bytes"),
                                   (Odd("{}"), "write() argument must be str, not int")]:
            monkeypatch.setattr(protocol, "serialize", lambda e, text=line_text: text)
            with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
                led.append(event())
        assert path.read_bytes() == b""

    def test_read_after_append_sees_types_registered_since(self, path, registry):
        """After an append, events of a type registered since the last read load too."""
        name = "LEDGER_TEST_REGISTERED_BETWEEN"
        late = dict(event(ts=ts(1)), type=name)
        path.write_text(json.dumps(late) + "\n" + line(event(ts=ts(2))))
        led = Ledger(path)
        assert led.size() == 1
        protocol.register_event_type(name)
        led.append(event(ts=ts(3)))
        assert led.size() == 3 and late in led._load_all()

    def test_read_after_append_reads_only_the_new_line(self, path, caplog):
        """A read after an append reads what was appended: earlier malformed lines, reported
        by the load that read them, are not reported again; a new object reports them."""
        path.write_text("oops\n" + line(event(ts=ts(1))))
        led = Ledger(path)
        assert led.size() == 1 and [w[0] for w in malformed(caplog)] == [1]
        for n in (2, 3):
            caplog.clear()
            led.append(event(ts=ts(n)))
            assert led.size() == n
            assert malformed(caplog) == []
        assert Ledger(path).size() == 3 and [w[0] for w in malformed(caplog)] == [1]

    def test_subclass_load_all_is_used_everywhere(self, path):
        """A subclass overriding _load_all is what every read sees."""
        evs = [event("FINDING", {"question": "q", "finding_type": "bug"}, ts=ts(2), target="t"),
               event("SELECTION", {"question": "q"}, ts=ts(1)),
               event("CYCLE", {"execution_mode": "auto", "cost_usd": 0.5}, ts=ts(3)),
               event("FORGE", {"question": "r"}, ts=ts(4), generation=2)]

        class Fixed(Ledger):
            def _load_all(self):
                return list(evs)

        led = Fixed(path)
        assert led.size() == 4
        assert ids(led.events()) == ids([evs[3], evs[2], evs[0], evs[1]])
        assert ids(led.events(limit=1)) == [evs[3]["id"]]
        assert ids(led.export_since(ts(2))) == ids([evs[0], evs[2], evs[3]])
        assert led.question_stats("q")["runs"] == 1
        assert led.all_question_stats()["q"]["finding_types"] == {"bug": 1}
        assert led.population_stats()["generation_distribution"] == {2: 1}
        assert led.triage_effectiveness()["auto"]["cost_usd"] == 0.5
        target = Ledger(path.with_name("other.jsonl"))
        assert target.merge(led) == 4
        assert led.merge(target) == 0
        assert path.read_bytes() == b""

    def test_instance_patched_load_all(self, path, monkeypatch):
        """An instance attribute _load_all replaces the method for that object."""
        led = Ledger(path)
        led.append(event())
        monkeypatch.setattr(led, "_load_all", lambda: [])
        assert led.size() == 0 and led.events() == []


# -------------------------------------------------------------- patched names


class TestPatchedFunctions:
    def test_protocol_validate_event_is_used_at_call_time(self, path):
        """A replaced orvane.protocol.validate_event governs appends and loads."""
        led = Ledger(path)
        odd = dict(event(), type="NEVER_REGISTERED_TYPE")
        mp = pytest.MonkeyPatch()
        try:
            mp.setattr(protocol, "validate_event", lambda e: isinstance(e, dict))
            led.append(odd)
            assert led._load_all() == [odd]
        finally:
            mp.undo()
        assert Ledger(path).size() == 0
        ev = event()
        led.append(ev)
        assert led._load_all() == [ev]

    def test_ledger_validate_event_is_used_at_call_time(self, path, monkeypatch):
        """A replaced orvane.ledger.validate_event governs appends and loads."""
        keep, drop = event(source="keep"), event(source="drop")
        path.write_text(line(keep) + line(drop))
        monkeypatch.setattr(ledger_mod, "validate_event",
                            lambda e: protocol.validate_event(e) and e["source"] == "keep")
        led = Ledger(path)
        assert led._load_all() == [keep]
        with pytest.raises(ValueError, match="^Invalid event: "):
            led.append(drop)

    def test_deserialize_is_called_per_line(self, path, monkeypatch, caplog):
        """A replaced orvane.protocol.deserialize decodes each non-blank stripped line."""
        a = event()
        path.write_text(" " + line(a) + "\n" + "oops\n" + line(a))
        seen = []

        def deserialize(text):
            seen.append(text)
            if text == "oops":
                raise ValueError("not an event")
            return json.loads(text)

        monkeypatch.setattr(protocol, "deserialize", deserialize)
        assert Ledger(path)._load_all() == [a, a]
        assert seen == [line(a)[:-1], "oops", line(a)[:-1]]
        assert [g[0::2] for g in malformed(caplog)] == [(3, "not an event")]

    def test_other_errors_of_deserialize_propagate(self, path, monkeypatch):
        """Only ValueError and TypeError mark a line as malformed."""
        path.write_text(line(event()))

        def deserialize(text):
            raise KeyError("boom")

        monkeypatch.setattr(protocol, "deserialize", deserialize)
        led = Ledger(path)
        with pytest.raises(KeyError):
            led.size()
        assert led._cache is None

    def test_patched_json_loads_decodes_lines(self, path, monkeypatch):
        """A replaced json.loads decodes each line."""
        a = event(payload={"n": 1})
        path.write_text(line(a) * 2)
        real = json.loads
        monkeypatch.setattr(json, "loads", lambda s, *x, **k: dict(real(s), source="json"))
        assert [e["source"] for e in Ledger(path).events()] == ["json", "json"]

    def test_required_fields_table_is_read_at_call_time(self, path, monkeypatch):
        """Loads use the protocol's table of required fields as it stands."""
        ev = event()
        del ev["instance_id"]
        path.write_text(line(ev))
        assert Ledger(path).size() == 0
        table = {k: v for k, v in protocol._REQUIRED_FIELDS.items() if k != "instance_id"}
        monkeypatch.setattr(protocol, "_REQUIRED_FIELDS", table)
        assert Ledger(path).size() == 1


# --------------------------------------------------------------------- events


@pytest.fixture
def populated(path):
    led = Ledger(path)
    rows = [
        ("FINDING", "brain", "x", ts(3), 0, 0),
        ("FINDING", "brain", None, ts(1), 1, 2),
        ("SELECTION", "selector", "x", ts(3), 2, 1),
        ("CYCLE", "host", "y", ts(5), 0, 0),
        ("FINDING", "forge", "x", ts(1), 3, 3),
        ("OBSERVATION", "brain", "", ts(4), 1, 0),
    ]
    evs = []
    for i, (kind, source, target, when, gen, depth) in enumerate(rows):
        ev = event(kind, {"n": i}, ts=when, source=source, target=target, generation=gen,
                   depth=depth)
        led.append(ev)
        evs.append(ev)
    no_target = event(payload={"n": 6}, ts=ts(2))
    del no_target["target"], no_target["parent_id"]
    led.append(no_target)
    evs.append(no_target)
    return led, evs


def ns(events):
    return [e["payload"]["n"] for e in events]


class TestEvents:
    def test_newest_first_ties_in_file_order(self, populated):
        """All events, newest first; equal timestamps keep file order."""
        led, _ = populated
        assert ns(led.events()) == [3, 5, 0, 2, 6, 1, 4]

    @pytest.mark.parametrize("limit, expected", [
        (1, [3]), (2, [3, 5]), (3, [3, 5, 0]), (4, [3, 5, 0, 2]), (6, [3, 5, 0, 2, 6, 1]),
        (7, [3, 5, 0, 2, 6, 1, 4]), (100, [3, 5, 0, 2, 6, 1, 4]),
        (0, [3, 5, 0, 2, 6, 1, 4]), (-5, [3, 5, 0, 2, 6, 1, 4]),
        (2.9, [3, 5]), (True, [3]), (10**30, [3, 5, 0, 2, 6, 1, 4]),
        (-10**30, [3, 5, 0, 2, 6, 1, 4])])
    def test_limit(self, populated, limit, expected):
        """A positive limit keeps the newest events; 0 or less keeps all."""
        led, _ = populated
        assert ns(led.events(limit=limit)) == expected

    def test_filters(self, populated):
        """Each filter narrows the list; filters combine."""
        led, _ = populated
        assert ns(led.events("FINDING")) == [0, 1, 4]
        assert ns(led.events(source="brain")) == [5, 0, 1]
        assert ns(led.events(target="x")) == [0, 2, 4]
        assert ns(led.events(target="")) == [5]
        assert ns(led.events(since=ts(3))) == [3, 5, 0, 2]
        assert ns(led.events(since="2026-01-01T00:00:03")) == [3, 5, 0, 2]
        assert ns(led.events(min_generation=2)) == [2, 4]
        assert ns(led.events(min_generation=1.7)) == [5, 2, 1, 4]
        assert ns(led.events(max_depth=1)) == [3, 5, 0, 2, 6]
        assert ns(led.events(max_depth=0, min_generation=0)) == [3, 5, 0, 6]
        assert ns(led.events("FINDING", "brain", "x", ts(1), 1, 0, 5)) == [0]
        assert led.events(event_type="NOPE") == []

    def test_none_means_no_filter(self, populated):
        """None for any optional filter keeps everything."""
        led, _ = populated
        assert ns(led.events(None, None, None, None, 0, None, None)) == ns(led.events())

    def test_returns_the_loaded_events(self, populated):
        """The events handed out are the loaded maps themselves."""
        led, _ = populated
        a, b = led.events(), led.events()
        assert a is not b and all(x is y for x, y in zip(a, b))

    def test_argument_checks(self, populated):
        """Strings must be str or None, numbers numbers; others raise TypeError."""
        led, _ = populated
        msg = "Argument '{}' has incorrect type (expected {}, got {})"
        for kw, value, expected in [
                ("event_type", 1, "str"), ("source", b"brain", "str"),
                ("target", ["x"], "str"), ("since", 0, "str"),
                ("limit", None, "int"), ("limit", "2", "int"),
                ("min_generation", "1", "int"), ("max_depth", [], "int")]:
            with pytest.raises(TypeError) as info:
                led.events(**{kw: value})
            assert str(info.value) == msg.format(kw, expected, type(value).__name__)

        class Text(str):
            pass

        with pytest.raises(TypeError, match="expected str, got Text"):
            led.events(Text("FINDING"))
        with pytest.raises(TypeError):
            led.events(None, None, None, None, 0, None, None, None)
        with pytest.raises(TypeError):
            led.events(None, event_type="FINDING")
        with pytest.raises(TypeError):
            led.events(kind="FINDING")


class TestExportSince:
    def test_oldest_first_ties_in_file_order(self, populated):
        """Events at or after the timestamp, oldest first, ties in file order."""
        led, _ = populated
        assert ns(led.export_since(ts(1))) == [1, 4, 6, 0, 2, 5, 3]
        assert ns(led.export_since(ts(3))) == [0, 2, 5, 3]
        assert led.export_since("9") == []

    def test_argument_checks(self, populated):
        """The timestamp must be a str."""
        led, _ = populated
        with pytest.raises(TypeError, match=r"^Argument 'timestamp' has incorrect type "
                                            r"\(expected str, got NoneType\)$"):
            led.export_since(None)
        with pytest.raises(TypeError):
            led.export_since()
        assert len(led.export_since(timestamp="")) == 7


class TestMerge:
    def test_adds_missing_events_in_file_order(self, tmp_path):
        """Events of the other ledger that are missing are appended in its order."""
        mine, theirs = Ledger(tmp_path / "a.jsonl"), Ledger(tmp_path / "b.jsonl")
        shared = event(ts=ts(5))
        mine.append(shared)
        new = [event(ts=ts(9)), event(ts=ts(1))]
        for ev in (new[0], shared, new[1]):
            theirs.append(ev)
        assert mine.merge(theirs) == 2
        assert mine._load_all() == [shared] + new
        assert mine.merge(theirs) == 0

    def test_self_merge_adds_nothing(self, path):
        """A ledger merged with itself, or another object on its file, gains nothing."""
        led = Ledger(path)
        for i in range(3):
            led.append(event(ts=ts(i)))
        before = path.read_bytes()
        assert led.merge(led) == 0
        assert Ledger(path).merge(led) == 0
        assert path.read_bytes() == before

    def test_duplicates_added_once(self, tmp_path):
        """An event held twice by the other ledger is added once."""
        mine, theirs = Ledger(tmp_path / "a.jsonl"), Ledger(tmp_path / "b.jsonl")
        ev = event()
        theirs.append(ev)
        theirs.append(dict(ev, source="changed"))
        assert mine.merge(theirs) == 1
        assert mine._load_all() == [ev]

    def test_goes_through_append(self, tmp_path):
        """merge appends through the object's own append."""
        class Counting(Ledger):
            seen = []

            def append(self, ev):
                self.seen.append(ev["id"])
                return super().append(ev)

        theirs = Ledger(tmp_path / "b.jsonl")
        evs = [event(ts=ts(i)) for i in range(2)]
        for ev in evs:
            theirs.append(ev)
        mine = Counting(tmp_path / "a.jsonl")
        assert mine.merge(theirs) == 2 and Counting.seen == ids(evs)
        assert mine.size() == 2

