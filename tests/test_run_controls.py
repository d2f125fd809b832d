"""What a run takes from its flags and settings: the budget, the JSON summary, the modes
and brains `init` writes, and the warnings for settings the host does not understand."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest
import yaml

from tests.test_cli import ORVANE, env, of_type, orvane, project, set_config  # noqa: F401  (env, project: fixtures)

# A stand-in for the `claude` program: stream-json lines, a cost per answer, one finding.
PAID_BRAIN = textwrap.dedent("""\
    #!{python}
    import json, os, pathlib
    counter = pathlib.Path(os.environ["CALLS_FILE"])
    counter.write_text(str(int(counter.read_text()) + 1 if counter.exists() else 1))
    prompt = __import__("sys").argv[2]
    __import__("time").sleep(float(os.environ.get("SLOW", "0")))
    severity = float(os.environ.get("SEVERITY", "0.4"))
    if prompt.startswith("You are planning"):
        answer = '<orvane-plan>{{"plan": "step one\\\\nstep two", "risk_score": 0.9}}</orvane-plan>'
    else:
        answer = ('<orvane-eval>{{"findings": [{{"description": "stale", "severity": %s, '
                  '"category": "docs", "evidence": "a.txt:1: old text"}}], "gaps": [], "meta": {{}}}}'
                  '</orvane-eval>' % severity)
    print(json.dumps({{"type": "result", "result": answer, "total_cost_usd": 0.4}}))
""")


@pytest.fixture
def paid(tmp_path, env):
    brain = tmp_path / "claude"
    brain.write_text(PAID_BRAIN.format(python=sys.executable))
    brain.chmod(0o755)
    env["CALLS_FILE"] = str(tmp_path / "calls")
    orvane("init", "agent", "--brain", "claude-code", "--binary", brain, cwd=tmp_path, env=env)
    return tmp_path / "agent"


class TestBudget:
    @pytest.mark.parametrize("where", ["flag", "config"])
    def test_the_run_stops_before_the_call_that_would_pass_the_budget(self, tmp_path, env, project, paid, where):
        flag = ["--budget-usd", "1"] if where == "flag" else []
        if where == "config":
            set_config(paid, budget_usd=1)
        result = orvane("run", paid, "--target", project, "--cycles", 5, *flag, cwd=tmp_path, env=env)
        # 0.4 a call: the third call starts at 0.8 spent, the fourth would start at 1.2.
        assert (tmp_path / "calls").read_text() == "3"
        cycles = of_type(paid, "CYCLE")
        assert len(cycles) == 3 and sum(c["payload"]["cost_usd"] for c in cycles) == pytest.approx(1.2)
        assert len(of_type(paid, "SELECTION")) == 3
        assert "budget of $1.0000 is spent ($1.2000 after 3 cycles)" in result.stderr.splitlines()[-1]

    def test_a_budget_the_host_cannot_read_is_one_line(self, tmp_path, env, project, paid):
        set_config(paid, budget_usd="lots")
        result = orvane("run", paid, "--target", project, cwd=tmp_path, env=env, check=False)
        assert result.returncode == 1 and "Traceback" not in result.stderr
        assert result.stderr.strip().splitlines() == [
            f"orvane: error: budget_usd in {paid / 'config.yaml'} must be a number of US dollars of at least 0, "
            "not 'lots'"]
        assert not (tmp_path / "calls").exists()

    def test_json_summary_is_the_whole_standard_output(self, tmp_path, env, project, paid):
        result = orvane("run", paid, "--target", project, "--cycles", 2, "--json", cwd=tmp_path, env=env)
        summary = json.loads(result.stdout)
        assert summary["cycles"] == 2 and summary["findings"] == 2 and summary["cost_usd"] == pytest.approx(0.8)
        assert summary["target"] == str(project) and summary["mode"] == "observe"
        assert [r["findings"][0]["evidence"] for r in summary["reports"]] == ["a.txt:1: old text"] * 2
        assert summary["ledger"] == str(paid / "ledger.jsonl")


class TestInitFlags:
    def test_mode_and_tool_access_are_written(self, tmp_path, env):
        orvane("init", "agent", "--brain", "generic-cli", "--binary", "llm", "--mode", "supervised",
               "--can-execute", cwd=tmp_path, env=env)
        config = yaml.safe_load((tmp_path / "agent" / "config.yaml").read_text())
        assert config["execution"]["mode"] == "supervised" and config["brain"]["can_execute"] is True

    @pytest.mark.parametrize("brain", ["offline", "claude-code"])
    def test_tool_access_is_only_for_a_generic_program(self, tmp_path, env, brain):
        result = orvane("init", "agent", "--brain", brain, "--can-execute", cwd=tmp_path, env=env, check=False)
        assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
        assert not (tmp_path / "agent").exists()

    def test_version(self, tmp_path, env):
        from importlib.metadata import version
        assert orvane("--version", cwd=tmp_path, env=env).stdout.strip() == f"orvane {version('orvane')}"


class TestSettingsWarnings:
    @pytest.mark.parametrize("sections, warning", [
        ({"execution": {"mode": "AUTO"}},
         "execution mode 'AUTO' in {config} is not one of observe, suggest, auto, supervised; using observe"),
        ({"execution": ["auto"]},
         "the execution section of {config} is not a mapping (mode: one of observe, suggest, auto, "
         "supervised); using the defaults"),
        ({"notifiers": [{"type": "email", "to": "ada"}]},
         "notifier 1 in {config} has type 'email' and is ignored (type: one of file, log, webhook; "
         "a webhook needs a url)"),
        ({"notifiers": [{"type": "log"}, {"type": "webhook"}]},
         "notifier 2 in {config} has no url and is ignored (type: one of file, log, webhook; "
         "a webhook needs a url)"),
        ({"notifiers": "log"},
         "the notifiers section of {config} is not a list of mappings; no notifications are sent"),
    ])
    def test_a_setting_the_host_does_not_understand_is_named(self, tmp_path, env, project, sections, warning):
        orvane("init", "agent", cwd=tmp_path, env=env)
        instance = tmp_path / "agent"
        set_config(instance, **sections)
        result = orvane("run", instance, "--target", project, cwd=tmp_path, env=env)
        expected = "orvane: warning: " + warning.format(config=instance / "config.yaml")
        assert [line for line in result.stderr.splitlines() if "warning" in line] == [expected]
        assert of_type(instance, "CYCLE")[0]["payload"]["execution_mode"] == "observe"


def notified(instance, kind):
    path = instance / "notifications.jsonl"
    return [n for n in map(json.loads, path.read_text().splitlines()) if n["type"] == kind] if path.exists() else []


class TestWhatARunShows:
    def test_a_finding_seen_again_is_counted_and_notified_only_when_it_grows_worse(self, tmp_path, env, project, paid):
        wide = {**env, "COLUMNS": "200"}
        shown = [line for _ in range(4) for line in
                 orvane("run", paid, "--target", project, cwd=tmp_path, env=wide).stdout.splitlines() if "stale" in line]
        # The same question, category and evidence make the same finding; the seeds are two questions.
        questions = [f["payload"]["question"] for f in of_type(paid, "FINDING")]
        earlier = [questions[:n].count(q) for n, q in enumerate(questions)]
        assert [f["payload"].get("seen_before", 0) for f in of_type(paid, "FINDING")] == earlier
        assert shown == [f"  0.40  docs            {f'seen again ({n + 1} times)  ' if n else ''}a.txt:1  stale"
                         for n in earlier]
        assert len(notified(paid, "finding")) == len(set(questions))
        for _ in range(2):  # worse: both questions see it grow to 0.8
            orvane("run", paid, "--target", project, cwd=tmp_path, env={**env, "SEVERITY": "0.8"})
        rises = [n["payload"]["severity"] for n in notified(paid, "finding")][len(set(questions)):]
        assert 0.8 in rises and len(rises) <= 2
        # Another target is another finding.
        other = project.parent / "other"
        other.mkdir()
        assert "seen again" not in orvane("run", paid, "--target", other, cwd=tmp_path, env=env).stdout

    def test_a_finding_line_is_cut_to_the_terminal(self, tmp_path, env, project, paid):
        result = orvane("run", paid, "--target", project, cwd=tmp_path, env={**env, "COLUMNS": "30"})
        assert "  0.40  docs            a.txt…" in result.stdout.splitlines()

    def test_suggest_mode_prints_each_plan_under_its_finding_and_notifies_it(self, tmp_path, env, project, paid):
        set_config(paid, execution={"mode": "suggest", "min_dimensions": 0, "min_passes": 0})
        result = orvane("run", paid, "--target", project, cwd=tmp_path, env={**env, "SEVERITY": "0.9"})
        lines = result.stdout.splitlines()
        at = lines.index("  0.90  docs            a.txt:1  stale")
        assert lines[at + 1:at + 3] == ["        plan: step one", "              step two"]
        [suggested] = notified(paid, "plan suggested")
        assert suggested["payload"]["plan"] == "step one\nstep two" and suggested["payload"]["evidence"] == "a.txt:1: old text"

    def test_the_progress_line_ticks_during_a_brain_call_and_names_its_step(self, tmp_path, env, project, paid):
        import pty

        controller, terminal = pty.openpty()
        process = subprocess.Popen([str(ORVANE), "run", str(paid), "--target", str(project)], cwd=tmp_path,
                                   env={**env, "SLOW": "2"}, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=terminal)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        os.close(controller)
        process.communicate(timeout=120)
        assert process.returncode == 0
        asking = re.findall(r"cycle 1 of 1 · [\w-]+ · asking · (\d+\.\d)s · \$0\.0000", shown.decode())
        # Redrawn while the two-second call runs, its clock moving on.
        assert len(set(asking)) >= 3 and float(max(asking)) >= 1.5
        assert "· selecting · " in shown.decode()


FAILING_BRAIN = textwrap.dedent("""\
    #!{python}
    import os, pathlib, sys
    counter = pathlib.Path(os.environ["CALLS_FILE"])
    counter.write_text(str(int(counter.read_text()) + 1 if counter.exists() else 1))
    sys.stdin.read()
    print("loading model", file=sys.stderr)
    print("error: no credentials for the model service", file=sys.stderr)
    print("partial answer")
    sys.exit(3)
""")


class TestFailingBrain:
    def test_three_failures_in_a_row_stop_the_run_with_the_exit_status_and_standard_error(self, tmp_path, env, project):
        program = tmp_path / "llm"
        program.write_text(FAILING_BRAIN.format(python=sys.executable))
        program.chmod(0o755)
        env["CALLS_FILE"] = str(tmp_path / "calls")
        orvane("init", "agent", "--brain", "generic-cli", "--binary", program, cwd=tmp_path, env=env)
        instance = tmp_path / "agent"
        result = orvane("run", instance, "--target", project, "--cycles", 10, cwd=tmp_path, env=env, check=False)
        assert result.returncode == 1 and (tmp_path / "calls").read_text() == "3"
        assert result.stderr.splitlines()[-1] == (
            "orvane: error: the brain failed 3 times in a row (the brain program failed; exit status 3): "
            "loading model / error: no credentials for the model service")
        failures = of_type(instance, "BRAIN_FAILURE")
        assert [f["payload"]["exit_status"] for f in failures] == [3, 3, 3]
        assert failures[0]["payload"]["stderr"] == "loading model\nerror: no credentials for the model service\n"
        assert failures[0]["payload"]["output"] == "partial answer"
        assert len(of_type(instance, "CYCLE")) == 3


class TestStats:
    def test_most_productive_counts_findings_that_found_something(self, tmp_path, env):
        from orvane import instance, protocol, tables

        instance.create(tmp_path / "agent", None, "ada", instance.brain_section("offline"))
        current = instance.open_instance(tmp_path / "agent")

        def finding(question, empty):
            payload = {"question": question, "empty": empty, "finding_type": "none" if empty else "docs",
                       "severity": 0.0 if empty else 0.5}
            current.ledger.append(protocol.make_event("FINDING", "brain", payload, target=str(tmp_path)))

        for _ in range(3):
            finding("quiet", True)
        finding("useful", False)
        data = tables.collect(current)
        assert data["population"]["most_productive"] == "quiet"  # the ledger's count includes empty runs
        assert re.search(r"^most productive \(non-empty findings\) +useful$", tables.render(data), re.M)
        assert tables.as_json(data)["population"]["most_productive_non_empty"] == "useful"


def test_a_partial_offline_check_is_said_on_the_console(tmp_path, env, project):
    orvane("init", "agent", cwd=tmp_path, env=env)
    set_config(tmp_path / "agent", brain={
        "type": "generic-cli", "binary": sys.executable, "prompt_via_stdin": True,
        "args_before": ["-P", "-m", "orvane.offline", "--max-entries", "3"]})
    shown = orvane("run", "agent", "--target", project, cwd=tmp_path, env={**env, "COLUMNS": "200"}).stdout.splitlines()
    assert "  note: the check was partial: the walk stopped after 3 entries; claims of absence were withheld." in shown
