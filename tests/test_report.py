"""`orvane report`: what the page holds, checked against the ledger it was made from.

The replay's numbers are compared with independent computations: the library's own
statistics on each prefix of the ledger (the weights the selector would have computed
after each cycle), and plain counts of the events. Escaping is checked on the page's
structure: whatever text a brain or a target wrote, the page has the same elements.
"""

from __future__ import annotations

import html.parser
import json
import math
import os
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from orvane import branch, instance, protocol, report, temporal, vcsguard

sys.path.insert(0, str(Path(__file__).resolve().parent))
from report_ledger import (HOSTILE, expected_cycles, host_events, hostile_ledger, make_instance,  # noqa: E402
                           prefix_weights)

class TestReplay:
    def test_charts_match_the_ledger_cycle_by_cycle(self, tmp_path):
        events = host_events(45, seed=11)
        play = report.replay(events, ["pressure-test", "opportunity-scan"])
        cycles = expected_cycles(events)

        findings = report.findings_chart(play)
        assert [p["from"] for p in findings["points"]] == list(range(1, len(cycles) + 1))
        for point, (bands, _, _) in zip(findings["points"], cycles):
            assert dict((b, v) for b, v in zip(findings["bands"], point["values"]) if v) == bands

        amounts = report.cost_chart(play)["points"]
        assert [(p["cost"], p["duration"]) for p in amounts] == [(c, d) for _, c, d in cycles]

        weights = report.weight_chart(play)
        oracle = prefix_weights(tmp_path, events, ["pressure-test", "opportunity-scan"])
        assert weights["cycles"] == list(range(1, len(cycles) + 1))
        for series in weights["series"]:
            for cycle, value in zip(weights["cycles"], series["values"]):
                expected = oracle[cycle - 1].get(series["name"])
                if expected is None:
                    assert value is None, (series["name"], cycle)
                else:
                    assert value == pytest.approx(expected, abs=1e-4), (series["name"], cycle)

    def test_population_and_current_weights_agree_with_the_statistics(self, tmp_path):
        events = host_events(80, seed=5)
        current = make_instance(tmp_path, events)
        data = report.collect(current)
        stats = current.ledger.all_question_stats(None)
        forged = {e["payload"]["question"]: e for e in events if e["type"] == "FORGE"}
        by_cycle = {name: e["payload"]["question"] for e in events if e["type"] == "CYCLE"
                    for name in e["payload"]["forged"]}

        def walk(nodes, parent):
            for node in nodes:
                yield node, parent
                yield from walk(node["children"], node["name"])

        seen = dict((node["name"], (node, parent)) for node, parent in walk(data["tree"], None))
        assert set(seen) == set(stats) | set(forged) | {"pressure-test", "opportunity-scan"}
        for name, (node, parent) in seen.items():
            assert parent == by_cycle.get(name)
            record = stats.get(name, report.record_of([0] * 8))
            assert node["runs"] == record["runs"]
            assert node["findings"] == record["findings_count"] - record["finding_types"].get("none", 0)
            if name in forged:
                assert node["generation"] == forged[name]["generation"]
        assert data["modes"] == [{"mode": m, **b} for m, b in current.ledger.triage_effectiveness().items()]
        assert data["header"]["cycles"] == sum(e["type"] == "CYCLE" for e in events)
        assert data["header"]["cost"] == pytest.approx(
            sum(e["payload"]["cost_usd"] for e in events if e["type"] == "CYCLE"), abs=1e-4)

    def test_long_series_are_reduced_and_conserve_their_totals(self, tmp_path, monkeypatch):
        # The bounds at a tenth, on a ledger a tenth the size that reaching them takes.
        monkeypatch.setattr(report, "MAX_VALUES", 200)
        monkeypatch.setattr(report, "MAX_ROWS", 500)
        events = host_events(700, seed=2)
        current = make_instance(tmp_path, events)
        data = report.collect(current)["data"]
        cycles = expected_cycles(events)
        findings = data["findings"]
        assert len(findings["points"]) * len(findings["bands"]) <= report.MAX_VALUES
        totals = Counter()
        for point in findings["points"]:
            totals.update(dict(zip(findings["bands"], point["values"])))
        assert +totals == sum((Counter(b) for b, _, _ in cycles), Counter())
        assert [(p["from"], p["to"]) for p in findings["points"]][-1][1] == len(cycles)

        cost = data["cost"]["points"]
        assert len(cost) * 2 <= report.MAX_VALUES
        assert sum(p["cost"] * (p["to"] - p["from"] + 1) for p in cost) == pytest.approx(
            sum(c for _, c, _ in cycles), rel=1e-4)
        weights = data["weights"]
        assert sum(len(s["values"]) for s in weights["series"]) <= report.MAX_VALUES
        assert weights["cycles"][-1] == len(cycles)

        found = [e for e in events if e["type"] == "FINDING" and not e["payload"]["empty"]]
        assert len(found) > report.MAX_ROWS and data["total"] == len(found)
        assert [r[0] for r in data["rows"]] == sorted((e["timestamp"] for e in found), reverse=True)[:report.MAX_ROWS]

    def test_actions_verifications_and_repeats_follow_the_finding(self, tmp_path):
        events = host_events(60, seed=9, decide=0.5)
        assert {"approved", "rejected"} <= {e["payload"].get("decision") for e in events}
        play = report.replay(events)
        by_id = {e["id"]: e for e in events}
        children = {}
        for event in events:
            children.setdefault(event["parent_id"], []).append(event)
        repeats = Counter()
        rows = [play.row(i) for i in range(len(play.found))]
        for row, finding in zip(rows, [e for e in events if e["type"] == "FINDING" and not e["payload"]["empty"]]):
            p = finding["payload"]
            key = (finding["target"], p["question"], p["finding_type"], p["evidence"])
            repeats[key] += 1
            assert row[report.ROW_COLUMNS.index("seen")] == repeats[key]
            chain = protocol.event_chain(events, finding["id"])
            kinds = {e["type"]: e for e in chain}
            action, verification = row[9], row[10]
            if "ACTION_VERIFY" in kinds:
                assert verification == ("resolved" if kinds["ACTION_VERIFY"]["payload"]["resolved"] else "not resolved")
            if "ACTION_EXEC" in kinds:
                assert action in ("executed", "rolled back")
            elif "TRIAGE" in kinds:
                assert action == kinds["TRIAGE"]["payload"]["decision"]
            elif "ACTION_PLAN" in kinds:
                assert action == "planned"
            else:
                assert action == "" and verification == ""
        assert by_id  # the ledger had events to follow


class PageShape(html.parser.HTMLParser):
    """The elements of a page and the JSON of its data block."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags = Counter()
        self.attributes = Counter()
        self.scripts = []
        self.links = []
        self.inside = None

    def handle_starttag(self, tag, attrs):
        self.tags[tag] += 1
        for name, value in attrs:
            self.attributes[name] += 1
            if name in ("src", "href", "action", "srcset", "poster", "data"):
                self.links.append(value or "")
        if tag == "script":
            self.inside = dict(attrs).get("type", "text/javascript")
            self.scripts.append([self.inside, ""])

    def handle_endtag(self, tag):
        if tag == "script":
            self.inside = None

    def handle_data(self, data):
        if self.inside is not None:
            self.scripts[-1][1] += data


def shape(page: str) -> PageShape:
    parsed = PageShape()
    parsed.feed(page)
    parsed.close()
    return parsed


class TestEscaping:
    def test_hostile_text_leaves_the_page_structure_unchanged(self, tmp_path):
        plain, _ = hostile_ledger("a plain finding", tmp_path / "plain")
        hostile, _ = hostile_ledger(HOSTILE, tmp_path / "hostile")
        benign, evil = report.render(report.collect(plain)), report.render(report.collect(hostile))
        a, b = shape(benign), shape(evil)
        assert b.tags == a.tags and b.attributes == a.attributes
        assert [kind for kind, _ in b.scripts] == ["application/json", "text/javascript"]
        assert "onerror" not in b.attributes and b.tags["img"] == 0
        data = json.loads(b.scripts[0][1])
        assert HOSTILE in [row[report.ROW_COLUMNS.index("description")] for row in data["rows"]]
        # The data block holds no character that could end it or open markup.
        assert not set("<>&") & set(b.scripts[0][1])
        # The script in the page is the one the content security policy names.
        policy = report.digest(b.scripts[1][1])
        assert f"script-src '{policy}'" in evil and "default-src 'none'" in evil

    @settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(text=st.text(alphabet=st.sampled_from(list("<>&\"'/=!-[]{}%$ \\\u2028\ue000é\x00\n\tascriptimg")),
                        min_size=1, max_size=40),
           severity=st.one_of(st.none(), st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=5),
                              st.integers(min_value=-10**30, max_value=10**30)))
    def test_any_text_and_odd_values_round_trip_as_data(self, tmp_path_factory, text, severity):
        events = host_events(3, seed=1)
        odd = protocol.make_event("FINDING", "brain", {
            "question": text, "finding_type": text, "severity": severity, "empty": False,
            "description": text, "evidence": {"file": text, "line": text}}, target=text,
            instance_id="a1b2c3d4e5f6")
        events.insert(1, odd)
        current = make_instance(tmp_path_factory.mktemp("odd"), events)
        parsed = shape(report.render(report.collect(current)))
        assert [kind for kind, _ in parsed.scripts] == ["application/json", "text/javascript"]
        data = json.loads(parsed.scripts[0][1])
        row = next(r for r in data["rows"] if r[report.ROW_COLUMNS.index("question")] == text)
        assert row[report.ROW_COLUMNS.index("description")] == text
        value = row[report.ROW_COLUMNS.index("severity")]
        assert value is None or math.isfinite(value)


class TestReview:
    def test_queue_branch_and_checkpoints(self, tmp_path, monkeypatch):
        monkeypatch.setenv("HOME", str(tmp_path))
        repo = tmp_path / "repo"
        repo.mkdir()
        for args in (["init", "-q", "-b", "main"], ["config", "user.email", "t@t.invalid"],
                     ["config", "user.name", "t"]):
            subprocess.run(["git", *args], cwd=repo, check=True)
        (repo / "a.txt").write_text("one\n")
        subprocess.run(["git", "add", "-A"], cwd=repo, check=True)
        subprocess.run(["git", "commit", "-qm", "start"], cwd=repo, check=True)
        events = host_events(30, seed=8, target=str(repo))
        queued = [e for e in events if e["type"] == "TRIAGE" and e["payload"]["decision"] == "queued"]
        assert len(queued) >= 2
        # A person approves the first queued plan: it leaves the queue, and the finding's
        # row says so.
        plan_id = queued[0]["parent_id"]
        decision = protocol.make_event("TRIAGE", "owner", {"decision": "approved", "plan_event": plan_id,
                                                           "question": queued[0]["payload"]["question"], "by": "ada"},
                                       instance_id="a1b2c3d4e5f6", parent_id=plan_id, target=str(repo))
        current = make_instance(tmp_path, events + [decision])
        worktree = vcsguard.ensure_worktree(str(repo), current.instance_id)
        (Path(worktree) / "a.txt").write_text("two\n")
        commit = vcsguard.snapshot_after(worktree, "Fix the <b>first</b> finding", True)
        current.ledger.append(protocol.make_event("ACTION_EXEC", "executor", {
            "question": "pressure-test", "plan": "p", "success": True, "worktree": worktree, "after": commit,
            "finding": "the <i>first</i> finding"}, instance_id=current.instance_id, parent_id=decision["id"],
            target=str(repo)))
        manager = temporal.TemporalManager(str(current.path))
        due = manager.schedule_checkpoint({"description": "due now"}, "out", "deploy it", 0)
        later = manager.schedule_checkpoint({"description": "later"}, "out", "publish it", 7)
        done = manager.schedule_checkpoint({"description": "done"}, "out", "launch it", 0)
        manager.resolve_checkpoint(done.id, {"resolved": True})

        content = report.collect(current)
        review = content["review"]
        assert [p["id"] for p in review["queue"]] == [e["parent_id"][:8] for e in reversed(queued[1:])]
        assert review["waiting"] == len(queued) - 1
        [state] = review["branches"]
        assert state["into"] == "main" and [c["commit"] for c in state["commits"]] == [commit]
        assert state["commits"][0]["finding"] == "the <i>first</i> finding"
        assert {c["id"]: (c["status"], c["outcome"]) for c in review["checkpoints"]} == {
            due.id: ("matured", ""), later.id: ("pending", ""), done.id: ("resolved", "the fix holds")}
        # The approved plan's finding: planned, queued, approved, then executed.
        play = report.replay(current.ledger._load_all())
        approved = next(i for i, (event, *_) in enumerate(play.found)
                        if event["id"] == queued[0]["payload"]["finding_event"])
        assert play.row(approved)[report.ROW_COLUMNS.index("action")] == "executed"
        assert list(play.acted) == branch.targets(current)
        page = report.render(content)
        assert "Fix the &lt;b&gt;first&lt;/b&gt;" in page and "the &lt;i&gt;first&lt;/i&gt; finding" in page


def orvane(*args, env=None, cwd=None):
    return subprocess.run([sys.executable, "-P", "-m", "orvane", *args], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=300)


class TestCommand:
    def test_a_real_run_reported_from_disk(self, tmp_path):
        target = tmp_path / "project"
        (target / "src").mkdir(parents=True)
        (target / "src" / "app.py").write_text("def main():\n    pass  # TODO: <b>handle</b> errors\n")
        (target / "config.json").write_text("{not json")
        agent = tmp_path / "agent"
        assert orvane("init", str(agent), "--goal", "Ship <it>", "--owner", "ada").returncode == 0
        run = orvane("run", str(agent), "--target", str(target), "--cycles", "4", "--seed", "1", "--quiet")
        assert run.returncode == 0, run.stderr
        written = orvane("report", str(agent))
        assert written.returncode == 0 and written.stderr == ""
        page_path = agent / "report.html"
        assert written.stdout.startswith(f"report: {page_path} (")
        page = page_path.read_text(encoding="utf-8")
        parsed = shape(page)
        data = json.loads(parsed.scripts[0][1])
        events = instance.open_instance(agent).ledger._load_all()
        assert len(data["cost"]["points"]) == 4 == sum(e["type"] == "CYCLE" for e in events)
        assert data["total"] == sum(e["type"] == "FINDING" and not e["payload"]["empty"] for e in events) > 0
        assert "Ship &lt;it&gt;" in page and "Ship <it>" not in page
        # "Seen again" agrees with what the run itself counted when it recorded each finding.
        column = report.ROW_COLUMNS.index("seen")
        recorded = {e["timestamp"]: e["payload"].get("seen_before", 0) + 1 for e in events
                    if e["type"] == "FINDING" and not e["payload"]["empty"]}
        assert {row[0]: row[column] for row in data["rows"]} == recorded
        # Nothing on the page points anywhere but into itself.
        assert all(value.startswith(("#", "data:")) for value in parsed.links), parsed.links

    def test_output_file_open_and_mistakes(self, tmp_path):
        agent = tmp_path / "agent"
        assert orvane("init", str(agent)).returncode == 0
        record = tmp_path / "opened.txt"
        browser = tmp_path / "browser.py"
        browser.write_text(f"import sys\nopen({str(record)!r}, 'a').write(sys.argv[1] + '\\n')\n")
        env = {**os.environ, "BROWSER": f"{sys.executable} {browser} %s"}
        nested = tmp_path / "out" / "deep" / "page.html"
        written = orvane("report", str(agent), "-o", str(nested), "--open", env=env)
        assert written.returncode == 0, written.stderr
        assert nested.is_file() and record.read_text() == nested.resolve().as_uri() + "\n"
        assert "no cycle recorded yet" in nested.read_text()

        missing = orvane("report", str(tmp_path / "nowhere"))
        assert missing.returncode == 1 and missing.stderr.count("\n") == 1
        assert missing.stderr.startswith("orvane: error: no Orvane instance at")
        into_directory = orvane("report", str(agent), "-o", str(tmp_path))
        assert into_directory.returncode == 1 and into_directory.stderr.startswith("orvane: error: cannot write")
        assert "Traceback" not in missing.stderr + into_directory.stderr
