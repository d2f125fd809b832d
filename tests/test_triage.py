"""Tests for orvane.triage: execution modes and the triage policy."""
import enum
import math
from collections import OrderedDict

import pytest

from orvane.triage import ExecutionMode, Triage

READY = {"dimensions": 3, "passes": 2}


# ---------------------------------------------------------------- ExecutionMode


def test_modes_are_a_plain_enum_in_order():
    """ExecutionMode is an Enum (not a str subclass) with four ordered, case-sensitive values."""
    assert issubclass(ExecutionMode, enum.Enum) and not issubclass(ExecutionMode, str)
    assert [(m.name, m.value) for m in ExecutionMode] == [
        ("OBSERVE", "observe"), ("SUGGEST", "suggest"), ("AUTO", "auto"), ("SUPERVISED", "supervised")]
    assert ExecutionMode("auto") is ExecutionMode.AUTO
    assert ExecutionMode.AUTO != "auto"
    with pytest.raises(ValueError):
        ExecutionMode("Auto")


# ---------------------------------------------------------------- construction


def test_constructor_defaults():
    """Triage() holds observe mode and the documented defaults."""
    assert vars(Triage()) == {
        "mode": ExecutionMode.OBSERVE, "severity_threshold": 0.6, "risk_threshold": 0.7,
        "max_actions_per_cycle": 3, "max_refinements": 2, "min_dimensions": 3, "min_passes": 2}


def test_constructor_converts_numbers():
    """Thresholds become floats and counts truncate to integers, positionally or by keyword."""
    t = Triage(ExecutionMode.AUTO, 1, True, 4.9, max_refinements=2.5, min_dimensions=False, min_passes=7)
    assert (t.severity_threshold, t.risk_threshold) == (1.0, 1.0)
    assert type(t.severity_threshold) is float
    assert (t.max_actions_per_cycle, t.max_refinements, t.min_dimensions, t.min_passes) == (4, 2, 0, 7)
    assert type(t.min_dimensions) is int


def test_constructor_rejects_bad_arguments():
    """Non-numbers, extra positionals and unknown keywords raise TypeError."""
    with pytest.raises(TypeError, match=r"^Argument 'risk_threshold' has incorrect type \(expected float, got str\)$"):
        Triage(risk_threshold="0.5")
    with pytest.raises(TypeError, match="expected int, got NoneType"):
        Triage(min_passes=None)
    with pytest.raises(TypeError):
        Triage(*range(8))
    with pytest.raises(TypeError):
        Triage(threshold=0.5)


# ------------------------------------------------------------------- decisions


@pytest.mark.parametrize("plan", [{}, {"risk_score": 0.0}, {"risk_score": 0.9, "refinement_count": 0}])
def test_default_policy_says_no(plan):
    """In observe mode every decision is False."""
    t = Triage()
    assert not t.should_plan({"severity": 1.0}, {"dimensions": 9, "passes": 9})
    assert not (t.should_refine(plan) or t.should_execute(plan) or t.should_queue(plan))


@pytest.mark.parametrize("finding, coverage, expected", [
    ({"severity": 0.6}, READY, True),
    ({"severity": True}, READY, True),
    ({"severity": 0.59}, READY, False),
    ({"severity": 0.6}, {"dimensions": 2, "passes": 2}, False),
    ({"severity": 0.6}, {"dimensions": 3, "passes": 1}, False),
    ({"severity": 0.6}, {}, False),
    ({"severity": 0.6}, None, False),
    ({}, READY, False),
    ({"severity": "0.9"}, READY, False),
    ({"severity": math.nan}, READY, False),
])
def test_should_plan(finding, coverage, expected):
    """Planning needs coverage meeting both minimums and a numeric severity at the threshold."""
    assert Triage(ExecutionMode.SUGGEST).should_plan(finding, coverage) is expected


@pytest.mark.parametrize("plan, refine, execute, queue", [
    ({"risk_score": 0.71, "refinement_count": 1}, True, False, True),
    ({"risk_score": 0.71, "refinement_count": 2}, False, False, True),
    ({"risk_score": 0.7}, False, True, False),
    ({}, True, False, True),
    ({"risk_score": math.nan}, True, False, True),
])
def test_auto_mode(plan, refine, execute, queue):
    """Auto refines risky plans while refinements remain, executes safe ones and queues the rest."""
    t = Triage(ExecutionMode.AUTO)
    assert (t.should_refine(plan), t.should_execute(plan), t.should_queue(plan)) == (refine, execute, queue)


def test_supervised_and_suggest_modes():
    """Supervised queues every plan and never executes; suggest never refines, executes or queues."""
    supervised = Triage(ExecutionMode.SUPERVISED)
    assert supervised.should_queue({"risk_score": 0}) and not supervised.should_execute({"risk_score": 0})
    assert supervised.should_refine({"risk_score": 0.9})
    suggest = Triage(ExecutionMode.SUGGEST)
    assert not any(f({"risk_score": 0.9}) for f in (suggest.should_refine, suggest.should_execute, suggest.should_queue))


def test_string_mode_matches_no_member():
    """A mode given as the string "auto" plans but never refines, executes or queues."""
    t = Triage("auto")
    assert t.should_plan({"severity": 0.9}, READY)
    assert not (t.should_refine({}) or t.should_execute({"risk_score": 0}) or t.should_queue({}))


def test_decisions_read_current_settings():
    """Decisions use the instance's attributes as they stand at call time."""
    t = Triage(ExecutionMode.AUTO)
    t.risk_threshold = 0.95
    assert t.should_execute({"risk_score": 0.9})
    t.mode = ExecutionMode.SUPERVISED
    assert not t.should_execute({"risk_score": 0.9})


def test_decision_argument_checks():
    """Maps must be exact dicts, coverage may be None, and non-numeric values fail the comparison."""
    t = Triage(ExecutionMode.AUTO)
    with pytest.raises(TypeError, match=r"^Argument 'plan' has incorrect type \(expected dict, got list\)$"):
        t.should_queue([])
    with pytest.raises(TypeError, match="expected dict, got collections.OrderedDict"):
        t.should_plan(OrderedDict(), None)
    with pytest.raises(TypeError, match="Argument 'coverage'"):
        t.should_plan({}, [])
    with pytest.raises(TypeError):
        t.should_refine({"risk_score": "high"})


# ----------------------------------------------------------------- from_config


def test_from_config_defaults():
    """An empty section gives observe mode with three refinements."""
    t = Triage.from_config({})
    assert t.mode is ExecutionMode.OBSERVE and t.max_refinements == 3
    assert vars(t) == {**vars(Triage()), "max_refinements": 3}


@pytest.mark.parametrize("mode, expected", [
    ("auto", ExecutionMode.AUTO), ("AUTO", ExecutionMode.OBSERVE), ("bold", ExecutionMode.OBSERVE),
    (None, ExecutionMode.OBSERVE), (["auto"], ExecutionMode.OBSERVE), ("supervised", ExecutionMode.SUPERVISED),
])
def test_from_config_mode(mode, expected):
    """Known lower-case values select their mode; anything else falls back to observe."""
    assert Triage.from_config({"mode": mode}).mode is expected


def test_from_config_converts_numbers():
    """Thresholds go through float() and counts through int(), text included."""
    t = Triage.from_config({"severity_threshold": "0.25", "risk_threshold": 1, "max_refinements": 5.9,
                            "max_actions_per_cycle": "4", "min_dimensions": 0, "min_passes": True})
    assert (t.severity_threshold, t.risk_threshold) == (0.25, 1.0)
    assert (t.max_refinements, t.max_actions_per_cycle, t.min_dimensions, t.min_passes) == (5, 4, 0, 1)


def test_from_config_rejects_bad_values():
    """Values that do not convert raise ValueError or TypeError; the section must be a dict."""
    with pytest.raises(ValueError):
        Triage.from_config({"risk_threshold": "high"})
    with pytest.raises(TypeError):
        Triage.from_config({"min_passes": [2]})
    with pytest.raises(TypeError, match="Argument 'config'"):
        Triage.from_config(None)


def test_from_config_builds_subclass_by_keyword():
    """from_config calls the subclass with keyword arguments."""
    class Strict(Triage):
        def __init__(self, *, mode, **settings):
            super().__init__(mode, **settings)
            self.built_by_keyword = True

    t = Strict.from_config({"mode": "suggest"})
    assert type(t) is Strict and t.built_by_keyword and t.mode is ExecutionMode.SUGGEST



def enum_lookup(value):
    """What from_config makes of a mode: ExecutionMode(value), observe when it is refused."""
    try:
        return ExecutionMode(value)
    except ValueError:
        return ExecutionMode.OBSERVE


def test_from_config_asks_a_missing_hook_of_the_enum(monkeypatch):
    """A `_missing_` set on ExecutionMode is asked for every string the enum does not know,
    as ExecutionMode(value) asks it; what it refuses falls back to observe, and any other
    error from the lookup is the caller's. Without the hook, nothing is asked."""
    asked = []

    def missing(cls, value):
        asked.append(value)
        if value == "broken":
            return "not a member"
        if value == "refused":
            raise ValueError(value)
        return cls.AUTO if isinstance(value, str) and value.lower() == "auto" else None

    monkeypatch.setattr(ExecutionMode, "_missing_", classmethod(missing))
    for mode in ["AUTO", " Auto", "refused", "suggest", "", ["auto"], None]:
        assert Triage.from_config({"mode": mode}).mode is enum_lookup(mode), mode
    assert Triage.from_config({"mode": "AUTO"}).mode is ExecutionMode.AUTO
    assert "AUTO" in asked and "suggest" not in asked
    with pytest.raises(TypeError):  # the enum's own complaint about the hook's answer
        Triage.from_config({"mode": "broken"})
    monkeypatch.undo()
    asked.clear()
    assert Triage.from_config({"mode": "AUTO"}).mode is ExecutionMode.OBSERVE and asked == []
