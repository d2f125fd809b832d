"""The host's own logic in process: the selector's weights, the cycle with a scripted
brain, the actions' guards and the instance's settings, on real instance directories
and real git repositories."""

import io
import json
import random
import subprocess
from collections import Counter
from pathlib import Path

import pytest
import yaml
from hypothesis import given, settings
from hypothesis import strategies as st

from orvane import actions, brain, cycle, instance, selector, target, triage, vcsguard
from orvane.instance import UserError
from orvane.words import PLAN_CLOSE, PLAN_HEADER, PLAN_OPEN

# -- the selector ------------------------------------------------------------------------

records = st.fixed_dictionaries({
    "runs": st.integers(1, 50), "findings_count": st.integers(0, 200),
    "finding_types": st.fixed_dictionaries({"none": st.integers(0, 50)}),
    "avg_severity": st.sampled_from([0.0, 0.1, 0.3, 0.5, 0.8, 1.0]),
    "resolution_rate": st.sampled_from([0.0, 0.2, 0.5, 0.9, 1.0]),
    "consecutive_empty": st.integers(0, 20)})


class TestSelector:
    def test_a_documented_value(self):
        # Two runs with four findings (one of them the empty marker): 1.5 a run.
        record = {"runs": 2, "findings_count": 4, "finding_types": {"none": 1}, "avg_severity": 0.5,
                  "resolution_rate": 0.5, "consecutive_empty": 1}
        assert selector.weight(record) == pytest.approx(selector.FLOOR + 0.6 * 1.0 * 1.5 / 2)
        assert selector.weight({"runs": 0, "findings_count": 9}) is None

    @settings(max_examples=300, deadline=None)
    @given(records, st.sampled_from(["findings_count", "avg_severity", "resolution_rate", "consecutive_empty",
                                     "none", "runs"]))
    def test_the_weight_moves_the_right_way_with_each_measure(self, record, measure):
        base = selector.weight(record)
        assert base >= selector.FLOOR
        more = json.loads(json.dumps(record))
        if measure == "none":
            more["finding_types"]["none"] += 1
        elif isinstance(more[measure], int):
            more[measure] += 1
        else:
            more[measure] = min(1.0, more[measure] + 0.25)
        changed = selector.weight(more)
        productive = record["findings_count"] > record["finding_types"]["none"]
        if measure == "findings_count":
            grows = more["findings_count"] > record["finding_types"]["none"]
            assert changed > base if grows else changed == base
        elif measure in ("avg_severity", "resolution_rate"):
            assert changed > base if productive and more[measure] > record[measure] else changed == base
        else:  # emptiness, and the same findings over more runs, fade a productive question
            assert changed < base if productive else changed == base

    @settings(max_examples=100, deadline=None)
    @given(st.lists(st.one_of(st.none(), records), min_size=1, max_size=6))
    def test_a_question_never_run_gets_the_best_weight(self, known):
        questions = [{"name": f"q{i}"} for i in range(len(known))]
        stats = {f"q{i}": r for i, r in enumerate(known) if r is not None}
        weights = selector.weights(questions, stats)
        ran = [selector.weight(r) for r in known if r is not None]
        best = max(ran, default=1.0)
        for record, value in zip(known, weights):
            assert value == (best if record is None else selector.weight(record))

    def test_draws_follow_the_weights(self):
        questions = [{"name": "strong"}, {"name": "faded"}, {"name": "new"}]
        stats = {"strong": {"runs": 1, "findings_count": 3, "avg_severity": 0.5},
                 "faded": {"runs": 5, "findings_count": 5, "finding_types": {"none": 5}, "consecutive_empty": 5}}
        rng = random.Random(4)
        counts = Counter(questions[selector.select(questions, stats, rng)[0]]["name"] for _ in range(6000))
        weights = dict(zip(["strong", "faded", "new"], selector.weights(questions, stats)))
        total = sum(weights.values())
        for name, value in weights.items():
            assert counts[name] / 6000 == pytest.approx(value / total, abs=0.025)
        assert weights["new"] == weights["strong"] and weights["faded"] == selector.FLOOR
        index, weight = selector.select(questions, stats, random.Random(1))
        assert weight == weights[questions[index]["name"]]
        with pytest.raises(ValueError):
            selector.select([], {}, rng)


# -- the cycle with a scripted brain -------------------------------------------------------

class Scripted(brain.BrainInterface):
    """Answers evaluation prompts with the given findings, plan prompts with a plan of the
    given risk; records every prompt. `fail` is an exception to raise instead."""

    def __init__(self, findings, risk=0.2, executes=False, fail=None):
        self.findings, self.risk, self.executes, self.fail = findings, risk, executes, fail
        self.prompts = []

    def ask_raw(self, prompt, working_dir=None, timeout=300):
        self.prompts.append(prompt)
        if self.fail is not None:
            raise self.fail
        if prompt.startswith(PLAN_HEADER):
            finding = prompt.split("FINDING: ", 1)[1].split("\n", 1)[0]
            text = PLAN_OPEN + json.dumps({"plan": f"fix {finding}", "risk_score": self.risk}) + PLAN_CLOSE
        else:
            text = "<orvane-eval>" + json.dumps({"findings": self.findings, "gaps": [], "meta": {}}) + "</orvane-eval>"
        return text, 0.01, True, ""

    def is_available(self):
        return True

    def can_execute(self):
        return self.executes


def finding(description, severity):
    return {"description": description, "severity": severity, "category": "docs", "evidence": f"{description}:1"}


@pytest.fixture
def agent(tmp_path):
    directory = tmp_path / "agent"
    instance.create(directory, "Keep it sound", "ada", instance.brain_section("offline"))
    return directory


def runner_for(agent, where, thinker, mode, **execution):
    config = yaml.safe_load((agent / "config.yaml").read_text())
    config["execution"] = {"mode": mode, "min_dimensions": 0, "min_passes": 0, **execution}
    config["notifiers"] = [{"type": "log", "path": "notifications.jsonl"}]
    (agent / "config.yaml").write_text(yaml.dump(config, sort_keys=False))
    return cycle.Runner(instance.open_instance(agent), target.resolve(str(where)), triage.ExecutionMode(mode),
                        thinker, cycle.StopRequest(io.StringIO()), rng=random.Random(0))


def ledger_of(agent, event_type):
    return [json.loads(line) for line in (agent / "ledger.jsonl").read_text().splitlines()
            if json.loads(line)["type"] == event_type]


class TestRunner:
    FINDINGS = [finding("low", 0.3), finding("worst", 0.95), finding("middle", 0.7), finding("bad", 0.8),
                finding("edge", 0.6)]

    @pytest.mark.parametrize("mode, most, decisions", [
        ("observe", 0, set()), ("suggest", 3, {"suggested"}), ("supervised", 2, {"queued"})])
    def test_the_most_severe_findings_are_planned_first_up_to_the_limit(self, tmp_path, agent, mode, most, decisions):
        (tmp_path / "plain").mkdir()
        thinker = Scripted(self.FINDINGS)
        runner = runner_for(agent, tmp_path / "plain", thinker, mode, max_actions_per_cycle=most or 3,
                            severity_threshold=0.6)
        report = runner.run_cycle(1)
        plans = ledger_of(agent, "ACTION_PLAN")
        # Findings at or above the threshold, most severe first, no more than the limit.
        expected = ["worst", "bad", "middle", "edge"][:most]
        assert [p["payload"]["finding"] for p in plans] == expected
        assert report.planned == len(expected) == len(ledger_of(agent, "TRIAGE"))
        assert {t["payload"]["decision"] for t in ledger_of(agent, "TRIAGE")} == decisions
        assert report.queued == (len(expected) if "queued" in decisions else 0)
        # Each plan hangs under the FINDING it is for, and the prompt named it.
        by_id = {e["id"]: e for e in ledger_of(agent, "FINDING")}
        assert all(by_id[p["parent_id"]]["payload"]["description"] == p["payload"]["finding"] for p in plans)
        assert [p.split("FINDING: ")[1].split("\n")[0] for p in thinker.prompts[1:]] == expected
        (done,) = ledger_of(agent, "CYCLE")
        assert done["payload"]["findings_count"] == 5 and done["payload"]["plans"] == len(expected)

    def test_a_risky_plan_is_refined_then_never_executed(self, tmp_path, agent):
        (tmp_path / "plain").mkdir()
        thinker = Scripted([finding("worst", 0.9)], risk=0.95, executes=True)
        runner = runner_for(agent, tmp_path / "plain", thinker, "auto", max_refinements=2, risk_threshold=0.7)
        report = runner.run_cycle(1)
        assert len(ledger_of(agent, "ACTION_PLAN")) == 1 and len(ledger_of(agent, "ACTION_REFINE")) == 2
        assert "Previous plan: fix worst" in thinker.prompts[-1]
        assert not any(p.startswith("EXECUTE") for p in thinker.prompts)
        assert report.executed == 0 and ledger_of(agent, "ACTION_EXEC") == []

    @pytest.mark.parametrize("error", [UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
                                       TypeError("Expected dict, got list"), AttributeError("'list' has no 'get'")])
    def test_an_exception_from_the_brain_is_a_recorded_failure(self, tmp_path, agent, error):
        (tmp_path / "plain").mkdir()
        runner = runner_for(agent, tmp_path / "plain", Scripted([], fail=error), "suggest")
        report = runner.run_cycle(1)
        (failure,) = ledger_of(agent, "BRAIN_FAILURE")
        assert failure["payload"]["failure_reason"] == f"unreadable answer: {type(error).__name__}: {error}"
        assert report.failure == failure["payload"]["failure_reason"]
        (done,) = ledger_of(agent, "CYCLE")
        assert done["payload"]["failure_reason"] == report.failure and ledger_of(agent, "FINDING") == []

    def test_a_stop_between_cycles_records_nothing_more(self, tmp_path, agent):
        (tmp_path / "plain").mkdir()
        runner = runner_for(agent, tmp_path / "plain", Scripted([finding("x", 0.2)]), "observe")
        runner.run_cycle(1)
        runner.stop.requested = True
        summary = cycle.run_cycles(runner, 3, None)
        assert summary.interrupted and summary.reports == []
        assert len(ledger_of(agent, "CYCLE")) == 1
        assert json.loads((agent / "state.json").read_text())["status"] == "interrupted"


# -- the actions' guards ---------------------------------------------------------------------

def git(*args, cwd):
    return subprocess.run(["git", *args], cwd=cwd, capture_output=True, text=True, check=True).stdout.strip()


@pytest.fixture
def repository(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    for name in ("GIT_AUTHOR_NAME", "GIT_COMMITTER_NAME"):
        monkeypatch.setenv(name, "t")
    for name in ("GIT_AUTHOR_EMAIL", "GIT_COMMITTER_EMAIL"):
        monkeypatch.setenv(name, "t@example.test")
    (tmp_path / "home").mkdir()
    root = tmp_path / "repo"
    root.mkdir()
    (root / "notes.txt").write_text("original\n")
    git("init", "-q", "-b", "main", cwd=root)
    git("add", ".", cwd=root)
    git("commit", "-qm", "start", cwd=root)
    return root


PLAN = {"plan": "rewrite notes", "risk_score": 0.1, "blast_radius": "local", "measurement": ""}


class TestActions:
    def test_the_rollback_point_is_the_head_of_a_clean_tree_or_a_snapshot_of_changes(self, repository):
        head = git("rev-parse", "HEAD", cwd=repository)
        assert actions.rollback_point(str(repository), "p").commit == head
        (repository / "notes.txt").write_text("changed by the user\n")
        (repository / "new.txt").write_text("new\n")
        point = actions.rollback_point(str(repository), "p")
        assert point.commit not in (None, head)
        # The snapshot holds the changes: returning to it loses none of them.
        assert git("show", f"{point.commit}:notes.txt", cwd=repository) == "changed by the user"
        assert git("show", f"{point.commit}:new.txt", cwd=repository) == "new"
        empty = repository.parent / "empty"
        empty.mkdir()
        git("init", "-q", cwd=empty)
        (empty / "a.txt").write_text("a")
        assert actions.rollback_point(str(empty), "p").commit is None  # nothing to return to

    def test_no_action_outside_a_worktree_of_its_own(self, tmp_path, repository, monkeypatch):
        executor = Scripted([], executes=True)
        repo = target.resolve(str(repository))
        # A worktree that falls back to the user's own checkout is refused before the brain is asked.
        monkeypatch.setattr(vcsguard, "ensure_worktree", lambda path, instance_id: str(repository))
        outcome = actions.execute(PLAN, finding("x", 0.9), "g", repo, executor, "abc", 30)
        assert not outcome.executed and "worktree could not be created" in outcome.reason
        assert executor.prompts == []
        monkeypatch.undo()
        (tmp_path / "plain").mkdir()
        outcome = actions.execute(PLAN, finding("x", 0.9), "g", target.resolve(str(tmp_path / "plain")), executor,
                                  "abc", 30)
        assert not outcome.executed and "never modified" in outcome.reason
        outcome = actions.execute(PLAN, finding("x", 0.9), "g", repo, Scripted([]), "abc", 30)
        assert not outcome.executed and outcome.reason == "the brain cannot execute actions"
        assert executor.prompts == [] and git("status", "--porcelain", cwd=repository) == ""


# -- the instance's settings -------------------------------------------------------------------

class TestInstanceSettings:
    @pytest.mark.parametrize("change, call, message", [
        ({"brain": {"type": "offline", "timeout": 0}}, "timeout", "brain timeout in"),
        ({"brain": {"type": "offline", "timeout": True}}, "timeout", "must be a positive number"),
        ({"brain": {"type": "offline", "timeout": "5"}}, "timeout", "must be a positive number"),
        ({"brain": ["offline"]}, "brain_config", "is not a mapping"),
        ({"budget_usd": -1}, "budget", "must be a number of US dollars of at least 0"),
        ({"budget_usd": "lots"}, "budget", "not 'lots'"),
        ({"notifiers": [{"type": "log", "path": "n.jsonl", "min_severity": "high"}]}, "notification_bus",
         "invalid notifiers section"),
    ])
    def test_a_setting_that_cannot_be_used_is_one_user_error(self, agent, change, call, message):
        config = yaml.safe_load((agent / "config.yaml").read_text())
        config.update(change)
        (agent / "config.yaml").write_text(yaml.dump(config))
        with pytest.raises(UserError, match=message):
            getattr(instance.open_instance(agent), call)()

    def test_usable_settings_and_their_defaults(self, agent):
        opened = instance.open_instance(agent)
        assert opened.timeout() == instance.DEFAULT_TIMEOUT and opened.budget() is None
        assert opened.mode() == "observe" and opened.mode("auto") == "auto"
        config = yaml.safe_load((agent / "config.yaml").read_text())
        config.update(brain={"type": "offline", "timeout": 2.9}, budget_usd=0, execution={"mode": "supervised"})
        (agent / "config.yaml").write_text(yaml.dump(config))
        opened = instance.open_instance(agent)
        assert (opened.timeout(), opened.budget(), opened.mode()) == (2, 0.0, "supervised")

    @pytest.mark.parametrize("text, message", [("- a\n- b\n", "does not hold a mapping"),
                                               ("a: [1\n", "is not valid YAML")])
    def test_a_configuration_that_is_no_mapping(self, agent, text, message):
        (agent / "config.yaml").write_text(text)
        with pytest.raises(UserError, match=message):
            instance.open_instance(agent)

    def test_no_instance_and_a_broken_goal(self, tmp_path, agent):
        with pytest.raises(UserError, match="no Orvane instance at"):
            instance.open_instance(tmp_path / "nowhere")
        (tmp_path / "plain").mkdir()
        with pytest.raises(UserError, match="has no config.yaml"):
            instance.open_instance(tmp_path / "plain")
        (agent / "goal.yaml").write_text("- not a goal\n")
        with pytest.raises(UserError, match="cannot read the goal"):
            instance.open_instance(agent)
        assert instance.open_instance(agent, with_goal=False).goal is None

    def test_relative_notifier_paths_are_inside_the_instance(self, agent):
        config = yaml.safe_load((agent / "config.yaml").read_text())
        config["notifiers"] = [{"type": "log", "path": "a.jsonl"}, {"type": "log", "path": "/elsewhere/b.jsonl"},
                               {"type": "webhook", "url": "http://127.0.0.1:9/"}]
        (agent / "config.yaml").write_text(yaml.dump(config))
        entries = instance.open_instance(agent).notifier_entries()
        assert [e.get("path") for e in entries] == [str(agent / "a.jsonl"), "/elsewhere/b.jsonl", None]
