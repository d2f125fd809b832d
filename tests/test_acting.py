"""Acting on a repository, end to end: real `orvane` processes, real git, and small fake
model programs that really edit files. What is checked is what the user would find
afterwards: their checkout, the instance's worktree and branch, the ledger, the console."""

import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
import yaml

from tests.test_cli import ORVANE, events, git, of_type, orvane, set_config

TOOL_BRAIN = textwrap.dedent("""\
    #!{python}
    # A generic program with tools. Every call leaves a mark in its working directory
    # and a line in CALL_LOG; an EXECUTE prompt edits tracked, untracked and ignored
    # files, and fails when its number is listed in FAIL_EXECUTES.
    import json, os, pathlib, signal, sys, time
    prompt = sys.stdin.read()
    log = pathlib.Path(os.environ["CALL_LOG"])
    calls = len(log.read_text().splitlines()) + 1 if log.exists() else 1
    kind = prompt.split(None, 1)[0] if prompt else ""
    with open(log, "a") as stream:
        stream.write(json.dumps({{"cwd": os.getcwd(), "kind": kind}}) + "\\n")
    here = pathlib.Path(".")
    if prompt.startswith("EXECUTE"):
        number = sum(1 for line in log.read_text().splitlines() if '"EXECUTE"' in line)
        if os.environ.get("HOLD"):
            pathlib.Path(os.environ["HOLD"] + ".held").write_text(str(os.getpid()))
            while not pathlib.Path(os.environ["HOLD"]).exists():
                time.sleep(0.05)
        with open("notes.txt", "a") as stream:
            stream.write(f"action {{number}}\\n")
        pathlib.Path(f"added-{{number}}.txt").write_text("new\\n")
        pathlib.Path("build/deep").mkdir(parents=True, exist_ok=True)
        pathlib.Path(f"build/out-{{number}}.o").write_text("object\\n")
        pathlib.Path(f"build/deep/{{number}}.o").write_text("object\\n")
        pathlib.Path(f"trace-{{number}}.log").write_text("log\\n")
        if os.path.exists("keep.log"):  # ignored files that were there before
            os.unlink("keep.log")
        for built in pathlib.Path(".").glob("build/out-*.o"):
            with open(built, "a") as stream:
                stream.write("changed in place\\n")
        if os.environ.get("ABORT"):  # the user presses Ctrl-C twice during the action
            for _ in range(2):
                os.kill(os.getppid(), signal.SIGINT)
                time.sleep(0.5)
            time.sleep(5)
        sys.exit(1 if str(number) in os.environ.get("FAIL_EXECUTES", "").split(",") else 0)
    here.joinpath(f"mark-{{calls}}").write_text("a brain call ran here\\n")
    if prompt.startswith("You are planning"):
        print('<orvane-plan>{{"plan": "rewrite notes.txt", "risk_score": 0.2, "blast_radius": "local"}}</orvane-plan>')
    elif prompt.startswith("You are the Forge"):
        print("no new question")
    else:
        evidence = os.environ.get("EVIDENCE", "notes.txt:1").replace("N", str(calls))
        print('<orvane-eval>{{"findings": [{{"description": "notes.txt is stale", "severity": 0.9, '
              '"category": "docs", "evidence": "' + evidence + '"}}], "gaps": [], "meta": {{}}}}</orvane-eval>')
""")

FAKE_CLAUDE = textwrap.dedent("""\
    #!{python}
    # Stands in for the claude program: records its arguments and working directory, and
    # unless the read-only settings are there, writes into its working directory and
    # into every directory the prompt names as the target.
    import json, os, pathlib, sys
    argv = sys.argv[1:]
    with open(os.environ["CLAUDE_LOG"], "a") as log:
        log.write(json.dumps({{"argv": argv, "cwd": os.getcwd()}}) + "\\n")
    prompt = argv[argv.index("-p") + 1]
    def value(flag):
        return argv[argv.index(flag) + 1] if flag in argv else ""
    read_only = ("--dangerously-skip-permissions" not in argv and value("--permission-mode") == "plan"
                 and {{"Bash", "Edit", "Write"}} <= set(value("--disallowedTools").split(",")))
    if not read_only:
        pathlib.Path("claude-was-here.txt").write_text("written\\n")
        for line in prompt.splitlines():
            for head in ("TARGET: ", "Directory: ", "Repository: "):
                line = line[len(head):] if line.startswith(head) else line
            if line.startswith("/") and os.path.isdir(line):
                pathlib.Path(line, "claude-was-here.txt").write_text("written\\n")
    if prompt.startswith("EXECUTE"):
        answer = "done"
        if not read_only:
            pathlib.Path("notes.txt").write_text("fixed by claude\\n")
    elif prompt.startswith("You are planning"):
        answer = '<orvane-plan>{{"plan": "rewrite notes.txt", "risk_score": 0.1, "blast_radius": "local"}}</orvane-plan>'
    elif prompt.startswith("You are the Forge"):
        answer = "no new question"
    else:
        answer = ('<orvane-eval>{{"findings": [{{"description": "notes.txt is stale", "severity": 0.9, '
                  '"category": "docs", "evidence": "notes.txt:1"}}], "gaps": [], "meta": {{}}}}</orvane-eval>')
    print(json.dumps({{"type": "result", "result": answer, "total_cost_usd": 0.01}}))
""")


@pytest.fixture
def env(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    values = dict(os.environ, HOME=str(home), GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.test",
                  GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.test", GIT_CONFIG_NOSYSTEM="1",
                  CALL_LOG=str(tmp_path / "calls.jsonl"), CLAUDE_LOG=str(tmp_path / "claude.jsonl"))
    for name in ("CLAUDECODE", "XDG_CONFIG_HOME"):
        values.pop(name, None)
    return values


def program(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text.format(python=sys.executable))
    path.chmod(0o755)
    return path


def make_repository(root, files, env):
    root.mkdir(parents=True)
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    git("init", "-q", "-b", "main", cwd=root)
    git("add", ".", cwd=root)
    subprocess.run(["git", "-c", "user.name=u", "-c", "user.email=u@example.test", "commit", "-qm", "start"],
                   cwd=root, env=env, check=True, capture_output=True)
    return root


@pytest.fixture
def repository(tmp_path, env):
    return make_repository(tmp_path / "repo", {"notes.txt": "original\n", ".gitignore": "build/\n*.log\n"}, env)


def tool_instance(tmp_path, env, mode="auto", name="agent"):
    brain = program(tmp_path, "tool-brain", TOOL_BRAIN)
    orvane("init", name, "--brain", "generic-cli", "--binary", brain, cwd=tmp_path, env=env)
    instance = tmp_path / name
    section = yaml.safe_load((instance / "config.yaml").read_text())["brain"]
    set_config(instance, brain={**section, "can_execute": True},
               execution={"mode": mode, "min_dimensions": 0, "min_passes": 0})
    return instance


def calls(tmp_path):
    log = tmp_path / "calls.jsonl"
    return [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []


def tree(root):
    """Every file under `root` but git's own, with its content."""
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(Path(root).rglob("*"))
            if p.is_file() and ".git" not in p.relative_to(root).parts}


def worktree_of(instance):
    return Path(of_type(instance, "ACTION_EXEC")[0]["payload"]["worktree"])


class TestRollbackPoint:
    """No action runs unless there is a commit to return to that holds the worktree's changes."""

    @pytest.mark.parametrize("obstacle", ["hook", "index lock"])
    def test_changes_that_cannot_be_committed_stop_the_action(self, tmp_path, env, repository, obstacle):
        instance = tool_instance(tmp_path, env)
        env["FAIL_EXECUTES"] = "1,2"
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)
        worktree = worktree_of(instance)
        # Work in progress in the worktree, which the next action's rollback would destroy
        # if it went back to the head commit.
        (worktree / "notes.txt").write_text("edited by hand\n")
        (worktree / "draft.txt").write_text("unsaved thoughts\n")
        if obstacle == "hook":
            hook = repository / ".git" / "hooks" / "pre-commit"
            hook.write_text("#!/bin/sh\necho 'policy: no commits on Fridays' >&2\nexit 1\n")
            hook.chmod(0o755)
            expected = "policy: no commits on Fridays"
        else:
            gitdir = Path(git("rev-parse", "--absolute-git-dir", cwd=worktree))
            (gitdir / "index.lock").write_text("")
            expected = "index.lock': File exists."
        env["EVIDENCE"] = "notes.txt:N"  # a new finding, planned anew
        result = orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)

        assert len(of_type(instance, "ACTION_EXEC")) == 1  # the first run's only
        assert sum(c["kind"] == "EXECUTE" for c in calls(tmp_path)) == 1
        decision = of_type(instance, "TRIAGE")[-1]["payload"]
        assert decision["decision"] == "queued" and "no rollback point" in decision["reason"]
        assert expected in decision["reason"]
        said = [line for line in result.stderr.splitlines() if "not carried out" in line]
        assert len(said) == 1 and expected in said[0] and "queued" in said[0]
        assert (worktree / "notes.txt").read_text() == "edited by hand\n"
        assert (worktree / "draft.txt").read_text() == "unsaved thoughts\n"
        assert git("status", "--porcelain", cwd=repository) == ""

    def test_a_refused_post_action_commit_is_not_a_success(self, tmp_path, env, repository):
        instance = tool_instance(tmp_path, env)
        env["FAIL_EXECUTES"] = "1"
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)  # makes the worktree
        worktree = worktree_of(instance)
        before = tree(worktree)
        hook = repository / ".git" / "hooks" / "pre-commit"
        hook.write_text("#!/bin/sh\necho 'refused by the test' >&2\nexit 1\n")
        hook.chmod(0o755)
        env.update(FAIL_EXECUTES="", EVIDENCE="notes.txt:N")
        result = orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)
        execution = of_type(instance, "ACTION_EXEC")[-1]["payload"]
        assert execution["success"] is False and execution["rolled_back"] is True
        assert "refused by the test" in execution["failure_reason"]
        assert of_type(instance, "ACTION_VERIFY") == []
        assert tree(worktree) == before
        assert any("rolled back" in line and "refused by the test" in line for line in result.stderr.splitlines())


class TestIdentity:
    def test_without_a_git_identity_the_host_commits_as_itself_and_keeps_every_commit(
            self, tmp_path, env, repository):
        for name in ("GIT_AUTHOR_NAME", "GIT_AUTHOR_EMAIL", "GIT_COMMITTER_NAME", "GIT_COMMITTER_EMAIL"):
            env.pop(name)
        # Nothing to guess an identity from, whatever the machine's host name.
        env.update(GIT_CONFIG_COUNT="1", GIT_CONFIG_KEY_0="user.useConfigOnly", GIT_CONFIG_VALUE_0="true")
        instance = tool_instance(tmp_path, env)
        env.update(EVIDENCE="notes.txt:N", FAIL_EXECUTES="3")
        result = orvane("run", instance, "--target", repository, "--cycles", 3, cwd=tmp_path, env=env)

        executions = [e["payload"] for e in of_type(instance, "ACTION_EXEC")]
        assert [e["success"] for e in executions] == [True, True, False]
        worktree = Path(executions[0]["worktree"])
        # The failed third action was rolled back to the second's commit, which stays.
        assert executions[2]["before"] == executions[1]["after"] == git("rev-parse", "HEAD", cwd=worktree)
        log = git("log", "--format=%an <%ae>|%cn|%s", cwd=worktree).splitlines()
        assert [line.split("|")[2].startswith("[k7] post-action success") for line in log[:2]] == [True, True]
        assert {line.split("|")[0] for line in log[:2]} == {"Orvane <orvane@localhost>"}
        assert (worktree / "notes.txt").read_text() == "original\naction 1\naction 2\n"
        said = [line for line in result.stderr.splitlines() if "git has no identity" in line]
        assert len(said) == 1 and "Orvane <orvane@localhost>" in said[0]
        # No git configuration was written, the user's or the repository's.
        assert not (tmp_path / "home" / ".gitconfig").exists()
        assert not (tmp_path / "home" / ".config" / "git").exists()
        config = subprocess.run(["git", "config", "--get-regexp", "^user\\.(name|email)$"], cwd=repository,
                                capture_output=True, text=True, env=env)
        assert config.stdout == ""
        assert git("status", "--porcelain", cwd=repository) == ""


class TestOneActor:
    def test_a_second_actor_exits_at_once_and_readers_run_beside_it(self, tmp_path, env, repository):
        instance = tool_instance(tmp_path, env)
        hold = tmp_path / "release"
        first = subprocess.Popen([str(ORVANE), "run", str(instance), "--target", str(repository)], cwd=tmp_path,
                                 env={**env, "HOLD": str(hold)}, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 120
            while not Path(str(hold) + ".held").exists():  # the first run is inside its action
                assert first.poll() is None and time.monotonic() < deadline
                time.sleep(0.05)
            for mode in ("auto", "supervised"):
                started = time.monotonic()
                second = orvane("run", instance, "--target", repository, "--mode", mode, cwd=tmp_path,
                                env=env, check=False)
                assert time.monotonic() - started < 30
                assert second.returncode == 1
                (line,) = second.stderr.splitlines()
                assert f"in use by process {first.pid} (started 20" in line
            for mode in ("observe", "suggest"):
                orvane("run", instance, "--target", repository, "--mode", mode, cwd=tmp_path, env=env)
        finally:
            hold.write_text("")
            first.communicate(timeout=120)
        assert first.returncode == 0
        assert len(of_type(instance, "ACTION_EXEC")) == 1 and of_type(instance, "ACTION_EXEC")[0]["payload"]["success"]
        # Once the first is done, the next actor runs.
        env["EVIDENCE"] = "notes.txt:N"
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)
        assert len(of_type(instance, "ACTION_EXEC")) == 2


class TestExactRollback:
    def test_a_failed_action_leaves_exactly_the_tree_it_found(self, tmp_path, env, repository):
        instance = tool_instance(tmp_path, env)
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)  # succeeds
        worktree = worktree_of(instance)
        (worktree / "keep.log").write_text("ignored, there before\n")
        (worktree / "build" / "mine").mkdir()  # an empty ignored directory
        before, head = tree(worktree), git("rev-parse", "HEAD", cwd=worktree)
        assert "build/out-1.o" in before and "added-1.txt" in before
        env.update(FAIL_EXECUTES="2", EVIDENCE="notes.txt:N")
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)
        execution = of_type(instance, "ACTION_EXEC")[-1]["payload"]
        assert execution["success"] is False and execution["rolled_back"] is True
        assert git("rev-parse", "HEAD", cwd=worktree) == head
        after = tree(worktree)
        # What the action created (tracked, untracked, ignored, in new and old directories)
        # is gone; the ignored files that were there stay.
        assert after == before
        assert (worktree / "build" / "mine").is_dir() and not (worktree / "build" / "deep" / "2.o").exists()


    def test_an_action_cut_short_is_rolled_back(self, tmp_path, env, repository):
        instance = tool_instance(tmp_path, env)
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)  # succeeds
        worktree = worktree_of(instance)
        before, head = tree(worktree), git("rev-parse", "HEAD", cwd=worktree)
        env.update(ABORT="1", EVIDENCE="notes.txt:N")
        result = orvane("run", instance, "--target", repository, cwd=tmp_path, env=env, check=False)
        assert result.returncode == 130
        assert git("rev-parse", "HEAD", cwd=worktree) == head and tree(worktree) == before
        assert len(of_type(instance, "ACTION_EXEC")) == 1


class TestSubdirectory:
    def test_the_action_runs_in_the_targets_directory_of_the_worktree(self, tmp_path, env):
        repository = make_repository(tmp_path / "mono", {"README": "top\n", "notes.txt": "top notes\n",
                                                         "pkg/app/notes.txt": "original\n"}, env)
        instance = tool_instance(tmp_path, env)
        orvane("run", instance, "--target", repository / "pkg" / "app", cwd=tmp_path, env=env)
        (execution,) = of_type(instance, "ACTION_EXEC")
        worktree = Path(execution["payload"]["worktree"])
        assert Path(execution["payload"]["workdir"]) == worktree / "pkg" / "app"
        assert (worktree / "pkg" / "app" / "notes.txt").read_text() == "original\naction 1\n"
        assert (worktree / "notes.txt").read_text() == "top notes\n"
        assert not (worktree / "added-1.txt").exists()
        assert "pkg/app/added-1.txt" in git("show", "--name-only", "--format=", "HEAD", cwd=worktree).splitlines()
        assert git("status", "--porcelain", cwd=repository) == ""


class TestPendingFix:
    def test_a_fix_waiting_on_the_branch_is_not_made_again_until_merged(self, tmp_path, env, repository):
        def check(recorded):
            """Each finding is fixed once; found again, it names the waiting fix and gets no plan."""
            fixed, planned = {}, set()
            for event in recorded:
                payload = event["payload"]
                key = (payload["question"], payload.get("evidence"))
                if event["type"] == "FINDING":
                    assert payload.get("pending_fix") == fixed.get(key)
                    finding = key
                elif event["type"] == "ACTION_PLAN":
                    assert finding not in fixed
                    planned.add(finding)
                elif event["type"] == "ACTION_EXEC":
                    assert payload["success"]
                    fixed[finding] = payload["after"]
            return fixed

        instance = tool_instance(tmp_path, env)
        shown = orvane("run", instance, "--target", repository, "--seed", 5, "--cycles", 4, cwd=tmp_path, env=env)
        fixed = check(events(instance))
        assert len(fixed) < 4
        pending = [f["payload"]["pending_fix"] for f in of_type(instance, "FINDING") if "pending_fix" in f["payload"]]
        assert shown.stdout.count("fix pending (") == len(pending)
        assert all(f"fix pending ({commit[:12]})" in shown.stdout for commit in pending)
        # The evaluation still reads the user's tree, which does not have the fix.
        assert (repository / "notes.txt").read_text() == "original\n"
        # Later runs know it too; a finding with other evidence is planned.
        env["EVIDENCE"] = "notes.txt:N"
        orvane("run", instance, "--target", repository, "--seed", 5, cwd=tmp_path, env=env)
        env.pop("EVIDENCE")
        orvane("run", instance, "--target", repository, "--seed", 5, "--cycles", 2, cwd=tmp_path, env=env)
        fixed = check(events(instance))
        # Once the user merges the branch, no fix is pending.
        worktree = of_type(instance, "ACTION_EXEC")[0]["payload"]["worktree"]
        git("-c", "user.name=u", "-c", "user.email=u@example.test", "merge", "-q", "--no-edit",
            git("rev-parse", "--abbrev-ref", "HEAD", cwd=worktree), cwd=repository)
        plans = len(of_type(instance, "ACTION_PLAN"))
        orvane("run", instance, "--target", repository, "--seed", 5, cwd=tmp_path, env=env)
        last = of_type(instance, "FINDING")[-1]["payload"]
        assert (last["question"], last["evidence"]) in fixed and "pending_fix" not in last
        assert len(of_type(instance, "ACTION_PLAN")) == plans + 1


class TestToolAccess:
    """A model with tools writes only inside an approved action, in the worktree."""

    def claude_instance(self, tmp_path, env, mode="auto"):
        claude = program(tmp_path, "claude", FAKE_CLAUDE)
        orvane("init", "agent", "--brain", "claude-code", "--binary", claude, cwd=tmp_path, env=env)
        set_config(tmp_path / "agent", execution={"mode": mode, "min_dimensions": 0, "min_passes": 0})
        return tmp_path / "agent"

    def claude_calls(self, tmp_path):
        return [json.loads(line) for line in (tmp_path / "claude.jsonl").read_text().splitlines()]

    @pytest.mark.parametrize("mode", ["observe", "suggest", "auto"])
    def test_claude_never_modifies_a_directory_outside_git(self, tmp_path, env, mode):
        target = tmp_path / "plain"
        target.mkdir()
        (target / "notes.txt").write_text("original\n")
        instance = self.claude_instance(tmp_path, env, mode)
        orvane("run", instance, "--target", target, "--cycles", 2, cwd=tmp_path, env=env)
        assert tree(target) == {"notes.txt": b"original\n"}
        assert not (tmp_path / "claude-was-here.txt").exists()
        recorded = self.claude_calls(tmp_path)
        assert len(recorded) >= 2
        for call in recorded:
            argv = call["argv"]
            assert "--dangerously-skip-permissions" not in argv
            assert argv[argv.index("--permission-mode") + 1] == "plan"
            assert argv[argv.index("--add-dir") + 1] == str(target.resolve())
            assert Path(call["cwd"]) == (instance / "scratch").resolve()
        if mode == "auto":
            assert {e["payload"]["decision"] for e in of_type(instance, "TRIAGE")} == {"queued"}

    def test_claude_writes_only_in_the_action_in_the_worktree(self, tmp_path, env, repository):
        instance = self.claude_instance(tmp_path, env)
        orvane("run", instance, "--target", repository, cwd=tmp_path, env=env)
        (execution,) = of_type(instance, "ACTION_EXEC")
        worktree = Path(execution["payload"]["worktree"])
        recorded = self.claude_calls(tmp_path)
        writing = [c for c in recorded if "--dangerously-skip-permissions" in c["argv"]]
        assert len(writing) == 1 and writing[0]["argv"][1].startswith("EXECUTE")
        assert Path(writing[0]["cwd"]) == worktree
        for call in recorded:
            if call is not writing[0]:
                argv = call["argv"]
                assert "--permission-mode" in argv and Path(call["cwd"]) == (instance / "scratch").resolve()
                # The check of the action reads the worktree; every other call the user's tree.
                readable = worktree if argv[1].startswith("VERIFY") else repository
                assert argv[argv.index("--add-dir") + 1] == str(readable)
        assert sum(c["argv"][1].startswith("VERIFY") for c in recorded) == 1
        assert (worktree / "notes.txt").read_text() == "fixed by claude\n"
        assert (worktree / "claude-was-here.txt").exists()  # given write access, it writes
        assert git("status", "--porcelain", cwd=repository) == ""
        assert tree(repository) == {".gitignore": b"build/\n*.log\n", "notes.txt": b"original\n"}

    def test_a_generic_program_runs_away_from_the_users_directories(self, tmp_path, env, repository):
        instance = tool_instance(tmp_path, env)
        elsewhere = tmp_path / "cwd"
        elsewhere.mkdir()
        orvane("run", instance, "--target", repository, "--cycles", 2, cwd=elsewhere, env=env)
        worktree = worktree_of(instance)
        places = {(c["kind"], c["cwd"]) for c in calls(tmp_path)}
        scratch = str((instance / "scratch").resolve())
        assert places == {("GOAL", scratch), ("You", scratch), ("VERIFY", scratch), ("EXECUTE", str(worktree))}
        assert list(elsewhere.iterdir()) == [] and git("status", "--porcelain", cwd=repository) == ""
        assert events(instance)
