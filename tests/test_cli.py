"""The `orvane` command end to end: real processes, real directories, real git."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import yaml

ORVANE = Path(sys.executable).with_name("orvane")


def orvane(*args, cwd, env, check=True):
    command = [str(ORVANE)] if ORVANE.exists() else [sys.executable, "-m", "orvane"]
    result = subprocess.run(command + [str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=300)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def events(instance):
    return [json.loads(line) for line in (Path(instance) / "ledger.jsonl").read_text().splitlines() if line.strip()]


def of_type(instance, event_type):
    return [e for e in events(instance) if e["type"] == event_type]


def set_config(instance, **sections):
    path = Path(instance) / "config.yaml"
    config = yaml.safe_load(path.read_text())
    config.update(sections)
    path.write_text(yaml.dump(config, sort_keys=False))


def git(*args, cwd):
    return subprocess.run(["git", *args], cwd=cwd, capture_output=True, text=True, check=True).stdout.strip()


@pytest.fixture
def env(tmp_path):
    """A home of its own (worktrees go under it) and a git identity."""
    home = tmp_path / "home"
    home.mkdir()
    values = dict(os.environ, HOME=str(home), GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.test",
                  GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.test", GIT_CONFIG_NOSYSTEM="1")
    values.pop("CLAUDECODE", None)
    return values


@pytest.fixture
def project(tmp_path):
    """A small target with true defects: no README, no tests, a marker, broken data files."""
    root = tmp_path / "project"
    (root / "src").mkdir(parents=True)
    (root / "src" / "app.py").write_text("def run():\n    return 1  # TODO: handle errors\n")
    (root / "conf").mkdir()
    (root / "conf" / "settings.json").write_text('{"debug": true,}\n')
    (root / "conf" / "deploy.yaml").write_text("replicas: [1\n")
    return root


FAKE_BRAIN = textwrap.dedent("""\
    #!{python}
    # A brain with tools, for the tests: it finds one thing, plans safely, and carries the
    # plan out by editing notes.txt (failing on purpose when FAIL_ACTION is set).
    import json, os, pathlib, signal, sys
    prompt = sys.stdin.read()
    counter = pathlib.Path(os.environ["CALLS_FILE"])
    calls = int(counter.read_text()) + 1 if counter.exists() else 1
    counter.write_text(str(calls))
    if os.environ.get("PROMPT_LOG"):
        with open(os.environ["PROMPT_LOG"], "a") as log:
            log.write(prompt + "\\n=====\\n")
    if os.environ.get("INTERRUPT_AT") == str(calls):
        os.kill(os.getppid(), signal.SIGINT)
    if prompt.startswith("EXECUTE"):
        if not os.environ.get("SKIP_FIX"):  # SKIP_FIX: claims success, fixes nothing
            pathlib.Path("notes.txt").write_text("rewritten by the action\\n")
        pathlib.Path("added.txt").write_text("new\\n")
        sys.exit(1 if os.environ.get("FAIL_ACTION") else 0)
    if prompt.startswith("You are planning"):
        print('<orvane-plan>{{"plan": "rewrite notes.txt", "risk_score": 0.2, "blast_radius": "local"}}</orvane-plan>')
    elif prompt.startswith("You are the Forge"):
        print("no new question")
    elif prompt.startswith("VERIFY") and not pathlib.Path(
            prompt.split("TARGET: Repository: ", 1)[1].split("\\n", 1)[0], "notes.txt").read_text().startswith("original"):
        print('<orvane-eval>{{"findings": [], "gaps": [], "meta": {{}}}}</orvane-eval>')  # the fix holds
    else:
        gaps = [{{"description": f"gap {{n}}", "dimension": f"d{{n}}"}} for n in range(int(os.environ.get("GAPS", 0)))]
        print('<orvane-eval>{{"findings": [{{"description": "notes.txt is stale", "severity": 0.9, '
              '"category": "docs", "evidence": "notes.txt:1"}}], "gaps": ' + json.dumps(gaps) + ', "meta": {{}}}}</orvane-eval>')
""")


@pytest.fixture
def tool_brain(tmp_path, env):
    path = tmp_path / "fake-brain"
    path.write_text(FAKE_BRAIN.format(python=sys.executable))
    path.chmod(0o755)
    env["CALLS_FILE"] = str(tmp_path / "calls")
    return path


@pytest.fixture
def repository(tmp_path, env):
    root = tmp_path / "repo"
    root.mkdir()
    (root / "notes.txt").write_text("original\n")
    git("init", "-q", "-b", "main", cwd=root)
    git("add", ".", cwd=root)
    git("commit", "-qm", "start", cwd=root, )
    return root


def acting_instance(tmp_path, env, brain, name="agent", mode="auto"):
    orvane("init", name, "--brain", "generic-cli", "--binary", brain, cwd=tmp_path, env=env)
    instance = tmp_path / name
    config = yaml.safe_load((instance / "config.yaml").read_text())
    set_config(instance, brain={**config["brain"], "can_execute": True},
               execution={"mode": mode, "min_dimensions": 0, "min_passes": 0})
    return instance


class TestInit:
    def test_a_pristine_instance_with_the_offline_brain(self, tmp_path, env):
        result = orvane("init", "agent", "--goal", "Every module is tested", "--owner", "ada", cwd=tmp_path, env=env)
        instance = tmp_path / "agent"
        config = yaml.safe_load((instance / "config.yaml").read_text())
        assert result.stdout.startswith(f"created instance {config['instance_id']} at agent (brain: offline)")
        assert config["brain"] == {"type": "offline"} and config["execution"] == {"mode": "observe"}
        assert [p.name for p in (instance / "questions").iterdir()] == ["pressure-test.json"]
        assert (instance / "ledger.jsonl").read_text() == ""
        assert yaml.safe_load((instance / "goal.yaml").read_text())["owner"] == "ada"

    def test_another_program_as_brain(self, tmp_path, env):
        orvane("init", "agent", "--brain", "generic-cli", "--binary", "llm", cwd=tmp_path, env=env)
        brain = yaml.safe_load((tmp_path / "agent" / "config.yaml").read_text())["brain"]
        assert brain == {"type": "generic-cli", "binary": "llm", "args_before": [], "args_after": [],
                         "prompt_via_stdin": True, "can_execute": False}


class TestRun:
    def test_cycles_leave_events_forged_questions_and_statistics(self, tmp_path, env, project):
        result = orvane("run", "agent", "--target", project, "--cycles", 4, "--seed", 7, cwd=tmp_path, env=env)
        instance = tmp_path / "agent"
        assert "created instance" in result.stderr  # made with init's defaults
        assert len(of_type(instance, "SELECTION")) == len(of_type(instance, "CYCLE")) == 4
        findings = of_type(instance, "FINDING")
        assert findings and all(e["target"] == str(project) for e in findings)
        assert all({"question", "finding_type", "empty"} <= e["payload"].keys() for e in findings)
        assert {"cycle 1 of 4", "cycle 4 of 4"} <= {line.split(":")[0] for line in result.stdout.splitlines()}
        # The seed's gaps grew the population: each FORGE event names a question file on disk.
        forged = of_type(instance, "FORGE")
        assert forged
        on_disk = {json.loads(p.read_text())["name"] for p in (instance / "questions").glob("*.json")}
        assert {e["payload"]["question"] for e in forged} <= on_disk
        state = json.loads((instance / "state.json").read_text())
        assert state["cycle_count"] == 4 and state["status"] == "idle"
        assert (instance / "notifications.jsonl").read_text().count("cycle complete") == 4
        # No progress line when the output is not a terminal.
        assert "\r" not in result.stderr and "cycle 1 of" not in result.stderr

        tables = orvane("stats", "agent", cwd=tmp_path, env=env).stdout
        assert "Question productivity" in tables and "Results per execution mode" in tables
        observe = next(line for line in tables.splitlines() if line.startswith("observe "))
        assert observe.split()[1] == "4"
        for event in forged:
            assert any(line.startswith(event["payload"]["question"] + " ") for line in tables.splitlines())
        data = json.loads(orvane("stats", "agent", "--json", cwd=tmp_path, env=env).stdout)
        assert data["modes"]["observe"]["cycle_count"] == 4
        assert sum(r["runs"] for r in data["questions"].values()) == 4

    def test_run_dot_makes_its_instance_inside_the_target_and_ignores_it(self, tmp_path, env, project):
        orvane("run", "--target", ".", "--cycles", 2, "--mode", "suggest", cwd=project, env=env)
        instance = project / ".orvane"
        assert (instance / "config.yaml").exists()
        assert not any(".orvane" in e["payload"].get("evidence", "") for e in of_type(instance, "FINDING"))
        assert of_type(instance, "CYCLE")[0]["payload"]["execution_mode"] == "suggest"

    def test_progress_shows_on_a_terminal_only(self, tmp_path, env, project):
        import pty

        controller, terminal = pty.openpty()
        command = [str(ORVANE)] if ORVANE.exists() else [sys.executable, "-m", "orvane"]
        process = subprocess.Popen(command + ["run", "agent", "--target", str(project), "--cycles", "2"],
                                   cwd=tmp_path, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=terminal)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal closed with the process
                break
            if not chunk:
                break
            shown += chunk
        os.close(controller)
        output, _ = process.communicate(timeout=120)
        assert process.returncode == 0
        status = shown.decode()
        assert "\r\x1b[Kcycle 1 of 2 · " in status and "cycle 2 of 2 · " in status and "s · $0.0000" in status
        # The results themselves go to standard output, a pipe here, without control codes.
        assert b"cycle 1 of 2: [" in output and b"\x1b" not in output

    def test_a_web_page_is_fetched_described_and_judged(self, tmp_path, env):
        import http.server
        import threading

        class Page(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = b"<html><body><p>Under construction</p></body></html>"
                self.send_response(200 if self.path == "/" else 404)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            url = f"http://127.0.0.1:{server.server_address[1]}/"
            orvane("run", "agent", "--target", url, cwd=tmp_path, env=env)
            orvane("run", "agent", "--target", url + "gone", cwd=tmp_path, env=env)
        finally:
            server.shutdown()
            server.server_close()
        findings = of_type(tmp_path / "agent", "FINDING")
        page = {e["payload"]["description"] for e in findings if e["target"] == url}
        assert page == {"The page has no title (or an empty one).", "The page has no description meta tag.",
                        "The page carries little readable text (2 words).",
                        "The page is served over plain HTTP, not HTTPS."}
        missing = {e["payload"]["evidence"] for e in findings if e["target"] == url + "gone"}
        assert "fetch error: HTTP Error 404: Not Found" in missing

    def test_python_m_orvane_is_the_same_command(self, tmp_path, env):
        result = subprocess.run([sys.executable, "-m", "orvane", "run", "--help"], capture_output=True,
                                text=True, env=env, cwd=tmp_path)
        assert result.returncode == 0 and "example" in result.stdout and "--target" in result.stdout


class TestDescription:
    def test_the_brain_sees_a_bounded_listing_and_the_capability_map(self, tmp_path, env, tool_brain, project):
        (project / "capability-map.json").write_text(json.dumps(
            {"cli_tools": {"items": [{"name": "deploy", "type": "cli", "invocation": "make deploy"}]}}))
        for index in range(100):
            (project / "src" / f"module_{index:03}.py").write_text("x = 1\n")
        acting_instance(tmp_path, env, tool_brain, mode="observe")
        env["PROMPT_LOG"] = str(tmp_path / "prompts")
        orvane("run", "agent", "--target", project, cwd=tmp_path, env=env)
        prompt = (tmp_path / "prompts").read_text().split("\n=====\n")[0]
        target = prompt.split("TARGET: ", 1)[1].split("\nQUESTION [", 1)[0]
        assert target.startswith(f"Directory: {project}\nEvaluate only: do not change anything in the target.")
        assert "  conf/settings.json\n" in target and "  (more entries not shown)" in target
        assert sum(line.startswith("  src/module_") for line in target.splitlines()) < 60
        assert "AVAILABLE CAPABILITIES:\n  Cli Tools: deploy (cli)" in target
        assert "EFFECTOR REFERENCE (how to invoke available tools):" in target and "    make deploy" in target

    def test_the_capability_map_can_be_turned_off(self, tmp_path, env, tool_brain, project):
        (project / "capability-map.json").write_text(json.dumps({"cli_tools": {"total": 3}}))
        instance = acting_instance(tmp_path, env, tool_brain, mode="observe")
        set_config(instance, capability_map=False)
        env["PROMPT_LOG"] = str(tmp_path / "prompts")
        orvane("run", "agent", "--target", project, cwd=tmp_path, env=env)
        assert "CAPABILITIES" not in (tmp_path / "prompts").read_text()


class TestActing:
    def test_a_failed_action_is_rolled_back_in_the_worktree_only(self, tmp_path, env, tool_brain, repository):
        instance = acting_instance(tmp_path, env, tool_brain)
        env["FAIL_ACTION"] = "1"
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)
        (execution,) = of_type(instance, "ACTION_EXEC")
        payload = execution["payload"]
        assert payload["success"] is False and payload["rolled_back"] is True
        worktree = Path(payload["worktree"])
        assert worktree.is_relative_to(tmp_path / "home" / ".orvane" / "worktrees")
        assert (worktree / "notes.txt").read_text() == "original\n" and not (worktree / "added.txt").exists()
        assert git("rev-parse", "HEAD", cwd=worktree) == payload["before"]
        # The user's own checkout never moved.
        assert git("status", "--porcelain", cwd=repository) == ""
        assert git("rev-parse", "--abbrev-ref", "HEAD", cwd=repository) == "main"
        assert of_type(instance, "ACTION_VERIFY") == []

    def test_a_successful_action_is_committed_on_the_instance_branch(self, tmp_path, env, tool_brain, repository):
        instance = acting_instance(tmp_path, env, tool_brain)
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)
        (execution,) = of_type(instance, "ACTION_EXEC")
        worktree = Path(execution["payload"]["worktree"])
        assert (worktree / "notes.txt").read_text() == "rewritten by the action\n"
        assert git("log", "-1", "--format=%s", cwd=worktree).startswith("[k7] post-action success")
        (verify,) = of_type(instance, "ACTION_VERIFY")
        assert verify["payload"]["resolved"] is True
        assert (repository / "notes.txt").read_text() == "original\n"
        cycle = of_type(instance, "CYCLE")[0]["payload"]
        assert (cycle["actions_executed"], cycle["actions_verified"]) == (1, 1)

    def test_a_directory_outside_git_is_never_modified(self, tmp_path, env, tool_brain):
        target = tmp_path / "plain"
        target.mkdir()
        (target / "notes.txt").write_text("original\n")
        instance = acting_instance(tmp_path, env, tool_brain)
        orvane("run", instance, "--target", target, cwd=tmp_path, env=env)
        (decision,) = of_type(instance, "TRIAGE")
        assert decision["payload"]["decision"] == "queued"
        assert "not a git repository" in decision["payload"]["reason"]
        assert sorted(p.name for p in target.iterdir()) == ["notes.txt"]
        assert of_type(instance, "ACTION_EXEC") == []

    def test_plans_wait_until_the_target_has_been_evaluated_enough(self, tmp_path, env, tool_brain, project):
        instance = acting_instance(tmp_path, env, tool_brain, mode="suggest")
        set_config(instance, execution={"mode": "suggest", "min_dimensions": 1, "min_passes": 2})
        orvane("run", instance, "--target", project, "--cycles", 3, cwd=tmp_path, env=env)
        cycles = of_type(instance, "CYCLE")
        assert [c["payload"]["plans"] for c in cycles] == [0, 0, 1]
        (plan,) = of_type(instance, "ACTION_PLAN")
        (decision,) = of_type(instance, "TRIAGE")
        assert decision["payload"]["decision"] == "suggested" and decision["parent_id"] == plan["id"]
        finding = next(e for e in of_type(instance, "FINDING") if e["id"] == plan["parent_id"])
        assert finding["parent_id"] == of_type(instance, "SELECTION")[2]["id"]
        # A later run counts the cycles already in the ledger.
        orvane("run", instance, "--target", project, cwd=tmp_path, env=env)
        assert of_type(instance, "CYCLE")[-1]["payload"]["plans"] == 1

    def test_the_offline_brain_queues_plans_and_never_executes(self, tmp_path, env, repository):
        (repository / "tool.py").write_text("x = 1  # TODO\n")  # findings for either seed
        git("add", ".", cwd=repository)
        git("commit", "-qm", "tool", cwd=repository)
        orvane("init", "agent", cwd=tmp_path, env=env)
        set_config(tmp_path / "agent", execution={"mode": "auto", "min_dimensions": 0, "min_passes": 0,
                                                  "severity_threshold": 0.0})
        orvane("run", "agent", "--target", repository, "--cycles", 2, "--seed", 1, cwd=tmp_path, env=env)
        assert of_type(tmp_path / "agent", "ACTION_PLAN")
        assert {e["payload"]["decision"] for e in of_type(tmp_path / "agent", "TRIAGE")} == {"queued"}
        assert of_type(tmp_path / "agent", "ACTION_EXEC") == []
        assert not (tmp_path / "home" / ".orvane").exists()


class TestInterrupt:
    @pytest.mark.parametrize("call", [1, 2])
    def test_ctrl_c_during_a_brain_call_keeps_the_answer_then_stops(self, tmp_path, env, tool_brain, project, call):
        acting_instance(tmp_path, env, tool_brain, mode="observe")
        env["INTERRUPT_AT"] = str(call)
        result = orvane("run", "agent", "--target", project, "--cycles", 3, cwd=tmp_path, env=env, check=False)
        assert result.returncode == 130
        assert result.stderr.splitlines()[-1] == "orvane: interrupted after " + ("1 cycle" if call == 1 else "2 cycles")
        instance = tmp_path / "agent"
        # The answer that was under way is recorded, its cycle closed; nothing more is asked.
        assert len(of_type(instance, "CYCLE")) == call
        assert len(of_type(instance, "FINDING")) == call
        assert (tmp_path / "calls").read_text() == str(call)
        assert json.loads((instance / "state.json").read_text())["status"] == "interrupted"


    def test_ctrl_c_during_the_forge_asks_no_more_questions(self, tmp_path, env, tool_brain, project):
        acting_instance(tmp_path, env, tool_brain, mode="observe")
        env.update(GAPS="3", INTERRUPT_AT="2")  # the first forge call is interrupted
        result = orvane("run", "agent", "--target", project, "--cycles", 2, cwd=tmp_path, env=env, check=False)
        assert result.returncode == 130
        assert (tmp_path / "calls").read_text() == "2"  # three gaps, one forge call
        instance = tmp_path / "agent"
        assert len(of_type(instance, "FINDING")) == 1 and len(of_type(instance, "CYCLE")) == 1


class TestHatchAndLineage:
    def test_a_child_inherits_the_population_and_knows_its_parent(self, tmp_path, env, project):
        orvane("init", "parent", "--goal", "Tidy configs", "--owner", "ada", cwd=tmp_path, env=env)
        orvane("run", "parent", "--target", project, "--cycles", 2, "--seed", 3, cwd=tmp_path, env=env)
        result = orvane("hatch", "parent", "child", "--goal", "Tidy docs", "--owner", "bo", cwd=tmp_path, env=env)
        parent_id = yaml.safe_load((tmp_path / "parent" / "config.yaml").read_text())["instance_id"]
        child = yaml.safe_load((tmp_path / "child" / "config.yaml").read_text())
        assert result.stdout.startswith(f"hatched {child['instance_id']} at child (generation 1, parent {parent_id})")
        assert child["brain"] == {"type": "offline"}
        assert sorted(p.name for p in (tmp_path / "child" / "questions").iterdir()) == \
            sorted(p.name for p in (tmp_path / "parent" / "questions").iterdir())
        lineage = orvane("lineage", "child", cwd=tmp_path, env=env).stdout
        assert f"parent      {parent_id}" in lineage and "generation  1" in lineage
        report = json.loads(orvane("lineage", "parent", "--json", cwd=tmp_path, env=env).stdout)
        assert [c["instance_id"] for c in report["children"]] == [child["instance_id"]]
        assert of_type(tmp_path / "parent", "HATCH")[0]["payload"]["child_id"] == child["instance_id"]
        assert "Tidy docs" in orvane("goal", "child", cwd=tmp_path, env=env).stdout

    def test_only_the_owner_changes_the_goal(self, tmp_path, env):
        orvane("init", "agent", "--goal", "One", "--owner", "ada", cwd=tmp_path, env=env)
        refused = orvane("goal", "agent", "--set", "Two", "--owner", "eve", cwd=tmp_path, env=env, check=False)
        assert refused.returncode == 1
        assert refused.stderr == "orvane: error: goal change refused: 'eve' is not the owner of this goal\n"
        orvane("goal", "agent", "--set", "Two", "--owner", "ada", cwd=tmp_path, env=env)
        saved = yaml.safe_load((tmp_path / "agent" / "goal.yaml").read_text())
        assert saved["goal"] == "Two" and saved["history"][0]["goal"] == "One"
        assert of_type(tmp_path / "agent", "GOAL")[0]["payload"]["previous"] == "One"


class TestMistakes:
    """Each mistake ends with one line on standard error and a non-zero status."""

    @pytest.mark.parametrize("args, status, message", [
        (["stats", "nowhere"], 1, "orvane: error: no Orvane instance at nowhere (create one with: orvane init nowhere)"),
        (["lineage", "plain"], 1, "orvane: error: plain is not an Orvane instance (it has no config.yaml)"),
        (["run", "agent", "--target", "missing"], 1, "orvane: error: target 'missing' does not exist"),
        (["run", "agent", "--target", "plain/file.txt"], 1, "orvane: error: target 'plain/file.txt' is not a directory"),
        (["run", "agent", "--target", ".", "--cycles", "0"], 2, "orvane run: error: argument --cycles: 0 is not at least 1"),
        (["init", "other", "--brain", "gpt"], 2, "orvane init: error: argument --brain: invalid choice: 'gpt'"),
        (["init", "other", "--brain", "generic-cli"], 1, "orvane: error: the generic-cli brain needs --binary PROG"),
        (["init", "agent"], 1, "orvane: error: agent already exists"),
        (["hatch", "agent", "plain"], 1, "orvane: error: plain already exists"),
        (["goal", "agent", "--set", "New"], 1, "orvane: error: changing the goal needs --owner NAME"),
        (["run", "agent"], 2, "orvane run: error: the following arguments are required: --target"),
    ])
    def test_one_line_and_an_exit_status(self, tmp_path, env, args, status, message):
        orvane("init", "agent", "--goal", "g", "--owner", "ada", cwd=tmp_path, env=env)
        (tmp_path / "plain").mkdir()
        (tmp_path / "plain" / "file.txt").write_text("x")
        result = orvane(*args, cwd=tmp_path, env=env, check=False)
        assert result.returncode == status
        assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith(message), result.stderr

    def test_a_ledger_event_the_statistics_cannot_read(self, tmp_path, env):
        orvane("init", "agent", cwd=tmp_path, env=env)
        event = {"id": "e1", "type": "FINDING", "source": "brain", "payload": {"question": "pressure-test", "severity": "high"},
                 "instance_id": "i", "generation": 0, "depth": 0, "timestamp": "2026-01-01T00:00:00+00:00"}
        (tmp_path / "agent" / "ledger.jsonl").write_text(json.dumps(event) + "\n")
        for args in (["stats", "agent"], ["run", "agent", "--target", "."]):
            result = orvane(*args, cwd=tmp_path, env=env, check=False)
            assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
            assert "holds an event its statistics cannot read" in result.stderr

    @pytest.mark.parametrize("brain, message", [
        ({"type": "gpt"}, "orvane: error: Unknown brain type 'gpt'. Supported: 'claude-code', 'generic-cli'. (or 'offline')"),
        ({"type": "generic-cli", "binary": "/nonexistent/llm"}, "orvane: error: the brain program '/nonexistent/llm' was not found"),
    ])
    def test_a_brain_that_cannot_be_used(self, tmp_path, env, brain, message):
        orvane("init", "agent", cwd=tmp_path, env=env)
        set_config(tmp_path / "agent", brain=brain)
        result = orvane("run", "agent", "--target", ".", cwd=tmp_path, env=env, check=False)
        assert result.returncode == 1
        assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith(message), result.stderr
        assert events(tmp_path / "agent") == []
