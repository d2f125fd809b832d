"""Tests for orvane.temporal: checkpoint files in a real instance directory."""
import datetime
import json
import os
import uuid

import pytest
from hypothesis import given, strategies as st

from orvane import protocol, temporal
from orvane.temporal import TemporalCheckpoint, TemporalManager
from tests.conftest import run_in_child

UTC = datetime.timezone.utc


def file_text(data):
    return json.dumps(data, indent=2) + "\n"


def write(path, data):
    path.write_text(data if isinstance(data, str) else file_text(data))


@pytest.fixture
def manager(tmp_path):
    return TemporalManager(str(tmp_path / "inst"), "i1")


@pytest.fixture
def cpdir(manager):
    return manager._dir


def test_import_registers_the_checkpoint_event_type():
    assert "TEMPORAL_CHECKPOINT" in protocol.event_types()
    out = run_in_child("""
        from orvane import protocol
        before = "TEMPORAL_CHECKPOINT" in protocol.event_types()
        from orvane import temporal
        e = protocol.make_event("TEMPORAL_CHECKPOINT", "temporal", {})
        print(before, protocol.validate_event(e))
    """)
    assert out.split() == ["False", "True"]


# -------------------------------------------------------------------- delay


def reference_delay(blast_radius, action_text):
    text = action_text.lower()
    if blast_radius == "external":
        for words, days in ((("campaign", "marketing", "advertis", "outreach"), 14),
                            (("deploy", "launch", "publish", "release"), 7),
                            (("email", "post", "content"), 3)):
            if any(w in text for w in words):
                return days
        return 7
    return 1 if blast_radius == "system" else 0


WORDS = ["Campaign", "MARKETING", "advertising", "outreach", "deploy", "Launch", "publish",
         "release", "eMail", "repost", "postgres", "content", "page", "İ", "ß", " ", "x"]


class TestDelay:
    @given(st.sampled_from(["external", "system", "External", "EXTERNAL", "", "local"]),
           st.lists(st.sampled_from(WORDS) | st.text(max_size=5), max_size=6).map("".join))
    def test_matches_the_rule_table(self, radius, text):
        assert temporal.estimate_delay_days(radius, text) == reference_delay(radius, text)


# --------------------------------------------------------------- checkpoint


class TestCheckpoint:
    def test_defaults_and_created_at(self):
        cp = TemporalCheckpoint("CP-1", {}, "out", "plan", "2020-01-01T00:00:00+00:00")
        assert (cp.measurement_hint, cp.status, cp.resolved_at, cp.resolution) == ("", "pending", None, None)
        created = datetime.datetime.fromisoformat(cp.created_at)
        assert created.utcoffset() == datetime.timedelta(0)
        assert TemporalCheckpoint("CP-1", {}, "", "", "", created_at="").created_at != ""
        assert TemporalCheckpoint("CP-1", {}, "", "", "", created_at="then").created_at == "then"

    def test_to_dict_holds_the_maps_themselves(self):
        finding, resolution = {"a": 1}, {"b": 2}
        cp = TemporalCheckpoint("CP-1", finding, "o", "p", "c", "h", "resolved", "t", "r", resolution)
        d = cp.to_dict()
        assert list(d) == ["id", "finding", "action_output", "plan_text", "check_after",
                           "measurement_hint", "status", "created_at", "resolved_at", "resolution"]
        assert d["finding"] is finding and d["resolution"] is resolution

    def test_from_dict(self):
        cp = TemporalCheckpoint.from_dict({"id": "CP-x"})
        assert (cp.id, cp.finding, cp.plan_text, cp.check_after, cp.status) == ("CP-x", {}, "", "", "pending")
        assert cp.created_at
        with pytest.raises(KeyError):
            TemporalCheckpoint.from_dict({})
        with pytest.raises(TypeError, match="Argument 'finding'"):
            TemporalCheckpoint.from_dict({"id": "CP-x", "finding": None})

        class Sub(TemporalCheckpoint):
            pass
        assert type(Sub.from_dict({"id": "CP-x"})) is Sub

    @pytest.mark.parametrize("check_after,matured", [
        ("2000-01-01T00:00:00+00:00", True),
        ("2000-01-01T00:00:00+05:00", True),
        ("2999-01-01T00:00:00+00:00", False),
        ("2000-01-01T00:00:00", False),  # no offset: cannot be compared, never matures
        ("soon", False),
        ("", False),
    ])
    def test_is_matured(self, check_after, matured):
        assert TemporalCheckpoint("CP-1", {}, "", "", check_after).is_matured() is matured

    def test_is_matured_follows_a_replaced_clock(self, monkeypatch):
        class Frozen(datetime.datetime):
            @classmethod
            def now(cls, tz=None):
                return datetime.datetime(2030, 1, 1, tzinfo=tz)
        cp = TemporalCheckpoint("CP-1", {}, "", "", "2029-12-31T23:59:59+00:00")
        assert cp.is_matured() is False
        monkeypatch.setattr(temporal, "datetime", Frozen)
        assert cp.is_matured() is True
        assert cp.__class__("CP-2", {}, "", "", "").created_at == "2030-01-01T00:00:00+00:00"


# ----------------------------------------------------------------- schedule


class TestSchedule:
    def test_file_format(self, manager, cpdir):
        cp = manager.schedule_checkpoint({"description": "café ☕ \U0001f600"}, "out", "plan", 3, "hint")
        path = cpdir / f"{cp.id}.json"
        assert len(cp.id) == 11 and cp.id.startswith("CP-") and int(cp.id[3:], 16) >= 0
        text = path.read_text()
        assert text == file_text(cp.to_dict()) and text.isascii() and not text.endswith("\n\n")
        assert sorted(os.listdir(cpdir)) == [path.name]  # no temporary file left behind
        created = datetime.datetime.fromisoformat(cp.created_at)
        assert datetime.datetime.fromisoformat(cp.check_after) - created == datetime.timedelta(days=3)

    def test_delays(self, manager):
        now = manager.schedule_checkpoint({}, "", "", 0)
        later = manager.schedule_checkpoint({}, "", "")
        truncated = manager.schedule_checkpoint({}, "", "", 2.9)
        assert [c.id for c in manager.matured_checkpoints()] == [now.id]
        assert manager.pending_count() == 3
        assert (datetime.datetime.fromisoformat(later.check_after)
                - datetime.datetime.fromisoformat(later.created_at)).days == 7
        assert (datetime.datetime.fromisoformat(truncated.check_after)
                - datetime.datetime.fromisoformat(truncated.created_at)) == datetime.timedelta(days=2)
        with pytest.raises(TypeError, match="Argument 'delay_days'"):
            manager.schedule_checkpoint({}, "", "", "3")

    def test_unencodable_finding_writes_nothing(self, manager, cpdir):
        with pytest.raises(TypeError):
            manager.schedule_checkpoint({"x": object()}, "", "")
        assert os.listdir(cpdir) == []

    def test_never_overwrites_an_existing_checkpoint(self, manager, cpdir, monkeypatch):
        """An id whose file exists is skipped, and another of the same form is drawn."""
        taken = uuid.UUID("aaaaaaaa-0000-4000-8000-000000000000")
        fresh = uuid.UUID("bbbbbbbb-0000-4000-8000-000000000000")
        write(cpdir / "CP-aaaaaaaa.json", "keep me")
        ids = iter([taken, taken, fresh])
        monkeypatch.setattr(uuid, "uuid4", lambda: next(ids))
        cp = manager.schedule_checkpoint({}, "", "", 0)
        assert cp.id == "CP-bbbbbbbb"
        assert (cpdir / "CP-aaaaaaaa.json").read_text() == "keep me"
        assert json.loads((cpdir / "CP-bbbbbbbb.json").read_text())["id"] == "CP-bbbbbbbb"

    def test_uses_the_module_checkpoint_class(self, manager, monkeypatch):
        class Mine(TemporalCheckpoint):
            pass
        monkeypatch.setattr(temporal, "TemporalCheckpoint", Mine)
        assert type(manager.schedule_checkpoint({}, "", "", 0)) is Mine
        assert [type(c) for c in manager.matured_checkpoints()] == [Mine]


# -------------------------------------------------------------------- scans


class TestScans:
    def test_bad_files_are_skipped(self, manager, cpdir):
        good = manager.schedule_checkpoint({}, "", "", 0)
        write(cpdir / "CP-broken.json", "{not json")
        write(cpdir / "CP-empty.json", "")
        (cpdir / "CP-latin.json").write_bytes(b'{"id": "\xe9"}')
        write(cpdir / "CP-noid.json", {"status": "pending"})
        (cpdir / "CP-dir.json").mkdir()
        write(cpdir / "other.json", {"id": "other", "check_after": "2000-01-01T00:00:00+00:00"})
        assert [c.id for c in manager.matured_checkpoints()] == [good.id]
        assert manager.pending_count() == 2  # the good one and the one without an id

    def test_wrong_shapes_reach_the_caller(self, manager, cpdir):
        write(cpdir / "CP-list.json", [1])
        with pytest.raises(TypeError):
            manager.matured_checkpoints()
        with pytest.raises(AttributeError):
            manager.pending_count()

    def test_resolved_files_are_left_out(self, manager, cpdir):
        write(cpdir / "CP-r.json", {"id": "CP-r", "status": "resolved", "check_after": "2000-01-01T00:00:00+00:00"})
        assert manager.matured_checkpoints() == [] and manager.pending_count() == 0

    def test_directory_is_read_at_call_time(self, manager, tmp_path):
        manager.schedule_checkpoint({}, "", "", 0)
        manager._dir = tmp_path / "elsewhere"
        manager._dir.mkdir()
        assert manager.pending_count() == 0


# ------------------------------------------------------------------ resolve


class TestResolve:
    def test_rewrites_the_file_as_read(self, manager, cpdir):
        path = cpdir / "CP-1.json"
        write(path, {"id": "CP-1", "resolution": None, "extra": "é", "status": "pending",
                     "check_after": "2000-01-01T00:00:00+00:00"})
        path.chmod(0o640)
        resolution = {"visits": 10}
        assert manager.pending_count() == 1
        assert manager.resolve_checkpoint("CP-1", resolution) is None
        data = json.loads(path.read_text())
        assert list(data) == ["id", "resolution", "extra", "status", "check_after", "resolved_at"]
        assert data["status"] == "resolved" and data["resolution"] == resolution
        assert data["resolved_at"].endswith("+00:00")
        assert path.read_text() == file_text(data)
        assert path.stat().st_mode & 0o777 == 0o640
        assert os.listdir(cpdir) == ["CP-1.json"]
        assert manager.pending_count() == 0 and manager.matured_checkpoints() == []

    def test_missing_and_invalid_files_are_ignored(self, manager, cpdir):
        assert manager.resolve_checkpoint("CP-none", {}) is None
        assert os.listdir(cpdir) == []
        write(cpdir / "CP-bad.json", "{")
        manager.resolve_checkpoint("CP-bad", {})
        assert (cpdir / "CP-bad.json").read_text() == "{"

    @pytest.mark.parametrize("checkpoint_id", ["", ".", "..", "../outside", "sub/CP-1", "/tmp/x", "CP-1\0"])
    def test_ids_that_are_not_plain_names_are_missing(self, manager, cpdir, checkpoint_id):
        """Nothing outside the checkpoints directory is read or written."""
        outside = cpdir.parent / "outside.json"
        write(outside, {"id": "outside"})
        (cpdir / "sub").mkdir()
        write(cpdir / "sub" / "CP-1.json", {"id": "CP-1"})
        write(cpdir / ".json", {"id": ""})
        before = {p: p.read_text() for p in (outside, cpdir / "sub" / "CP-1.json", cpdir / ".json")}
        assert manager.resolve_checkpoint(checkpoint_id, {"x": 1}) is None
        assert {p: p.read_text() for p in before} == before


# ------------------------------------------------------------------ finding


class TestFinding:
    def test_matured_finding(self, manager):
        finding = {"description": "ü" * 150, "severity": 0.8}
        cp = TemporalCheckpoint("CP-1", finding, "", "é" * 120, "", "measure visits",
                                created_at="2026-03-04T05:06:07+00:00")
        f = manager.format_matured_as_finding(cp)
        assert list(f) == ["description", "severity", "type", "_checkpoint_id", "_original_finding"]
        assert f["description"] == (
            f"Temporal checkpoint matured: action '{'é' * 100}' was executed on 2026-03-04. "
            f"Original issue: '{'ü' * 100}'. Verify if the action achieved its intended effect. "
            "measure visits")
        assert (f["severity"], f["type"], f["_checkpoint_id"]) == (0.8, "temporal-verification", "CP-1")
        assert f["_original_finding"] is finding

    def test_finding_without_description_or_severity(self, manager):
        f = manager.format_matured_as_finding(TemporalCheckpoint("CP-1", {}, "", "p", "", created_at="2026"))
        assert f["description"].endswith("on 2026. Original issue: ''. Verify if the action "
                                         "achieved its intended effect. ")
        assert f["severity"] == 0.5


class TestHostValuesThatAreNotText:
    def test_a_dumps_that_gives_no_str_writes_nothing(self, manager, cpdir, monkeypatch):
        """The file text is `json.dumps(...) + "\\n"` by the host's operator; anything but a str
        is then refused as Path.write_text refuses it."""
        done = manager.schedule_checkpoint({}, "", "")
        before = (cpdir / f"{done.id}.json").read_text()

        class Odd(str):
            def __add__(self, other):
                return b"{}"

        for dumped, message in [(5, "unsupported operand type(s) for +: 'int' and 'str'"),
                                (Odd("{}"), "data must be str, not bytes")]:
            monkeypatch.setattr(json, "dumps", lambda *a, value=dumped, **k: value)
            with pytest.raises(TypeError) as raised:
                manager.schedule_checkpoint({}, "", "")
            assert str(raised.value) == message
            with pytest.raises(TypeError) as raised:
                manager.resolve_checkpoint(done.id, {})
            assert str(raised.value) == message
        assert os.listdir(cpdir) == [f"{done.id}.json"]
        assert (cpdir / f"{done.id}.json").read_text() == before

    def test_a_clock_whose_isoformat_is_not_text(self, tmp_path):
        """Every module that stamps times, under a datetime whose isoformat gives an int: each
        call raises the TypeError its declared types give, or stores the value as it is."""
        out = run_in_child(f"""
            import datetime, json
            from orvane import goal, protocol, temporal
            manager = temporal.TemporalManager({str(tmp_path)!r})
            done = manager.schedule_checkpoint({{}}, "", "", 0)
            class Frozen(datetime.datetime):
                @classmethod
                def now(cls, tz=None):
                    return cls(2020, 1, 2, tzinfo=tz)
                def isoformat(self, *a, **k):
                    return 5
            datetime.datetime = Frozen
            def attempt(fn):
                try:
                    return repr(fn())
                except Exception as e:
                    return f"{{type(e).__name__}}: {{e}}"
            print(attempt(lambda: protocol.make_event("OBSERVATION", "s", {{}})))
            print(attempt(lambda: goal.Goal("g", "o")))
            print(attempt(lambda: temporal.TemporalCheckpoint("CP-1", {{}}, "", "", "").created_at))
            print(attempt(lambda: manager.schedule_checkpoint({{}}, "", "")))
            print(attempt(lambda: manager.resolve_checkpoint(done.id, {{}})))
            print(json.load(open(manager._dir / (done.id + ".json")))["resolved_at"])
        """)
        assert out.splitlines() == [
            "TypeError: Expected str, got int", "TypeError: Expected str, got int", "5",
            "TypeError: Argument 'check_after' has incorrect type (expected str, got int)",
            "None", "5"]
