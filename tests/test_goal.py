"""Tests for orvane.goal: the owner's goal, its file and its prompt."""
import builtins
import datetime
import itertools
import re
import threading

import pytest
import yaml

from orvane import goal as goal_module
from orvane.goal import Goal


@pytest.fixture
def clock(monkeypatch):
    """Replaces the module's _now_iso with a clock giving T1, T2, ..."""
    ticks = (f"T{i}" for i in itertools.count(1))
    monkeypatch.setattr(goal_module, "_now_iso", lambda: next(ticks))


def test_now_iso_is_aware_utc():
    """_now_iso gives the isoformat() text of an aware UTC time."""
    text = goal_module._now_iso()
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?\+00:00", text)
    assert datetime.datetime.fromisoformat(text).utcoffset() == datetime.timedelta(0)


# ------------------------------------------------------------------ the goal


def test_new_goal(clock):
    """A new goal is created and updated at the same moment, with no history; empty text is allowed."""
    g = Goal("", "ann")
    assert vars(g) == {"goal": "", "owner": "ann", "created_at": "T1", "updated_at": "T1", "history": []}
    assert g.get() == ""


def test_arguments_must_be_strings(tmp_path):
    """All parameters are exact strings; a path object is refused too."""
    with pytest.raises(TypeError, match=r"^Argument 'owner' has incorrect type \(expected str, got NoneType\)$"):
        Goal("x", None)
    g = Goal("x", "ann")
    with pytest.raises(TypeError, match="Argument 'path'"):
        g.save(tmp_path / "goal.yaml")
    with pytest.raises(TypeError, match="Argument 'claimed_owner'"):
        g.update("y", 1)


def test_update_by_owner(clock):
    """The owner's update moves the old text into the history, even when it is unchanged."""
    g = Goal("ship it", "ann")
    assert g.update("ship it well", "ann") is True
    assert g.update("ship it well", "ann") is True
    assert (g.goal, g.updated_at, g.created_at) == ("ship it well", "T3", "T1")
    assert g.history == [
        {"goal": "ship it", "set_at": "T1", "replaced_at": "T2"},
        {"goal": "ship it well", "set_at": "T2", "replaced_at": "T3"},
    ]
    assert list(g.history[0]) == ["goal", "set_at", "replaced_at"]


@pytest.mark.parametrize("claimed", ["bob", "Ann", "ann ", ""])
def test_update_by_anyone_else(claimed):
    """Any other claimed owner is refused and nothing changes."""
    g = Goal("ship it", "ann")
    before = dict(vars(g))
    assert g.update("stop", claimed) is False
    assert vars(g) == before and g.history == []


def test_to_dict_is_a_detached_copy(clock):
    """to_dict lists the fields in file order, and its history can be changed freely."""
    g = Goal("a", "ann")
    g.update("b", "ann")
    d = g.to_dict()
    assert list(d) == ["goal", "owner", "created_at", "updated_at", "history"]
    d["history"][0]["goal"] = "changed"
    d["history"].append({})
    assert g.history == [{"goal": "a", "set_at": "T1", "replaced_at": "T2"}]


# ---------------------------------------------------------------------- file


def test_save_and_load_round_trip(tmp_path):
    """save creates missing directories and writes block YAML that load reads back."""
    g = Goal("find: the 'gaps'\nall of them", "ann")
    g.update("ünïcode goal", "ann")
    path = tmp_path / "a" / "b" / "goal.yaml"
    g.save(str(path))
    text = path.read_text()
    assert text.startswith("goal: ") and "history:\n- goal: " in text
    loaded = Goal.load(str(path))
    assert type(loaded) is Goal and vars(loaded) == vars(g)


def test_saved_layout(tmp_path, clock):
    """The file keeps the field order and writes an empty history as []."""
    path = tmp_path / "goal.yaml"
    Goal("g", "ann").save(str(path))
    assert path.read_text() == "goal: g\nowner: ann\ncreated_at: T1\nupdated_at: T1\nhistory: []\n"


def test_failed_save_keeps_the_old_file(tmp_path):
    """A goal that cannot be written as YAML raises and leaves the existing file intact."""
    path = tmp_path / "goal.yaml"
    g = Goal("g", "ann")
    g.save(str(path))
    before = path.read_text()
    g.history.append(threading.Lock())
    with pytest.raises(TypeError):
        g.save(str(path))
    assert path.read_text() == before


def test_load_minimal_file(tmp_path, clock):
    """A file with only goal and owner loads as created and updated now, with no history."""
    path = tmp_path / "goal.yaml"
    path.write_text("owner: ann\ngoal: keep it simple\n")
    g = Goal.load(str(path))
    assert vars(g) == {"goal": "keep it simple", "owner": "ann", "created_at": "T1",
                       "updated_at": "T1", "history": []}


@pytest.mark.parametrize("content", ["- goal: a\n- owner: b\n", "goal: a\n", "", "just text\n"])
def test_load_invalid_file(tmp_path, content):
    """Anything but a mapping with goal and owner is an invalid goal file."""
    path = tmp_path / "goal.yaml"
    path.write_text(content)
    with pytest.raises(ValueError, match=f"^Invalid goal file: {re.escape(str(path))}$"):
        Goal.load(str(path))


def test_load_failures(tmp_path):
    """A missing file and broken YAML raise their own errors."""
    with pytest.raises(FileNotFoundError):
        Goal.load(str(tmp_path / "absent.yaml"))
    path = tmp_path / "goal.yaml"
    path.write_text("goal: [unclosed\n")
    with pytest.raises(yaml.YAMLError):
        Goal.load(str(path))


def test_load_takes_values_as_they_are(tmp_path):
    """load skips the constructor and keeps values unchecked; get() then checks its result."""
    class Picky(Goal):
        def __init__(self, *args):
            raise AssertionError("constructor must not run")

    path = tmp_path / "goal.yaml"
    path.write_text("goal: 42\nowner: ann\ncreated_at: null\n")
    g = Picky.load(str(path))
    assert type(g) is Picky and g.goal == 42 and g.created_at is None and g.updated_at is None
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        g.get()


# -------------------------------------------------------------------- prompt


def test_from_prompt(monkeypatch, capsys):
    """The prompt explains the goal, asks for it, strips the answer and builds the calling class."""
    class Mine(Goal):
        pass

    asked = []
    monkeypatch.setattr(builtins, "input", lambda prompt: asked.append(prompt) or "  be useful \n")
    g = Mine.from_prompt("ann")
    assert (type(g), g.goal, g.owner, asked) == (Mine, "be useful", "ann", ["Enter your goal: "])
    assert capsys.readouterr().out == (
        "Orvane needs a GOAL to operate.\n"
        "The goal defines what 'right' means. The system will find deviations from it.\n\n")


def test_from_prompt_refuses_blank_and_eof(monkeypatch):
    """Blanks alone raise ValueError; end of input raises EOFError."""
    monkeypatch.setattr(builtins, "input", lambda prompt: " \t ")
    with pytest.raises(ValueError, match=r"^Goal cannot be empty\.$"):
        Goal.from_prompt("ann")

    def eof(prompt):
        raise EOFError

    monkeypatch.setattr(builtins, "input", eof)
    with pytest.raises(EOFError):
        Goal.from_prompt("ann")



def test_save_reports_a_write_that_fails_on_flush():
    """A full device refuses the buffered text only when the file is flushed and closed:
    the error still reaches the caller."""
    with pytest.raises(OSError):
        Goal("text", "owner").save("/dev/full")


class TestHistoryCopy:
    def test_every_level_is_detached(self, clock):
        g = Goal("a", "ann")
        g.update("b", "ann")
        g.history.append({"goal": ["nested"], "set_at": 1.5, "replaced_at": None})
        d = g.to_dict()
        assert d["history"] == g.history
        d["history"][0]["goal"] = "changed"
        d["history"][1]["goal"].append("more")
        assert g.history[0]["goal"] == "a" and g.history[1]["goal"] == ["nested"]
        assert d["history"][0] is not g.history[0]

    def test_a_replaced_deepcopy_is_called(self, monkeypatch):
        import copy
        calls = []
        monkeypatch.setattr(copy, "deepcopy", lambda x: calls.append(x) or "copied")
        g = Goal("a", "ann")
        assert g.to_dict()["history"] == "copied" and calls == [[]]
