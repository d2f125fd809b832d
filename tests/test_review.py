"""The review loop end to end: queued plans and their decisions, the instance branch
(merge, patch, clean, a deleted worktree) and verification that measures, with the
`orvane` command against real git repositories and a fake model program that edits
files."""

import json
import shutil
import subprocess
import sys
import textwrap
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest
import yaml

from tests.test_cli import env, events, git, of_type, orvane, set_config  # noqa: F401  (env is a fixture)

# A model with tools. Every file of the target (named on the prompt's TARGET line)
# holding the word STALE is one finding; a plan names the file, and executing it takes
# the word out of that file in the working directory. SKIP_FIX: the action claims success
# and changes another file; FAIL_ACTION: it fails; RADIUS: the plans' blast radius.
BRAIN = textwrap.dedent("""\
    #!{python}
    import json, os, pathlib, re, sys
    prompt = sys.stdin.read()
    if prompt.startswith("EXECUTE"):
        name = re.search(r"^Evidence: (\\S+?):", prompt, re.M).group(1)
        if os.environ.get("SKIP_FIX"):
            with open("unrelated.txt", "a") as other:
                other.write("touched\\n")
        else:
            path = pathlib.Path(name)
            path.write_text(path.read_text().replace("STALE", "fresh"))
        sys.exit(1 if os.environ.get("FAIL_ACTION") else 0)
    if prompt.startswith("You are planning"):
        name = re.search(r"^Evidence: (\\S+?):", prompt, re.M).group(1)
        plan = {{"plan": f"take STALE out of {{name}}", "risk_score": 0.2,
                "blast_radius": os.environ.get("RADIUS", "local"), "measurement": f"{{name}} holds no STALE"}}
        print("<orvane-plan>" + json.dumps(plan) + "</orvane-plan>")
        sys.exit(0)
    if prompt.startswith("You are the Forge"):
        print("no new question")
        sys.exit(0)
    root = pathlib.Path(re.search(r"^TARGET: (?:Repository|Directory): (.*)$", prompt, re.M).group(1))
    findings = [{{"description": f"{{p.name}} is stale", "severity": 0.9, "category": "docs",
                 "evidence": f"{{p.name}}:1"}}
                for p in sorted(root.glob("*.txt")) if "STALE" in p.read_text()]
    print("<orvane-eval>" + json.dumps({{"findings": findings, "gaps": [], "meta": {{}}}}) + "</orvane-eval>")
""")


@pytest.fixture
def brain(tmp_path):
    path = tmp_path / "tool-brain"
    path.write_text(BRAIN.format(python=sys.executable))
    path.chmod(0o755)
    return path


@pytest.fixture
def repo(tmp_path, env):
    root = tmp_path / "repo"
    root.mkdir()
    (root / "a.txt").write_text("a is STALE\n")
    (root / "b.txt").write_text("b is STALE\n")
    (root / "keep.txt").write_text("fine\n")
    git("init", "-q", "-b", "main", cwd=root)
    git("add", ".", cwd=root)
    git("commit", "-qm", "start", cwd=root)
    return root


def make_instance(tmp_path, env, brain, mode, *, can_execute=True):
    orvane("init", "agent", "--brain", "generic-cli", "--binary", brain, cwd=tmp_path, env=env)
    instance = tmp_path / "agent"
    config = yaml.safe_load((instance / "config.yaml").read_text())
    set_config(instance, brain={**config["brain"], "can_execute": can_execute},
               execution={"mode": mode, "min_dimensions": 0, "min_passes": 0})
    return instance


def queue(instance, tmp_path, env):
    return json.loads(orvane("queue", instance, "--json", cwd=tmp_path, env=env).stdout)


def worktree_of(instance):
    return Path(of_type(instance, "ACTION_EXEC")[-1]["payload"]["worktree"])


def refused(result, text):
    assert result.returncode == 1, result.stdout + result.stderr
    assert len(result.stderr.splitlines()) == 1 and text in result.stderr, result.stderr


class TestQueue:
    def test_queue_show_reject_and_approve(self, tmp_path, env, brain, repo):
        instance = make_instance(tmp_path, env, brain, "supervised")
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        waiting = queue(instance, tmp_path, env)
        assert sorted(item["file"] for item in waiting) == ["a.txt", "b.txt"]
        assert {(i["category"], i["severity"], i["risk_score"]) for i in waiting} == {("docs", 0.9, 0.2)}
        # The queued events read on their own: the finding travels with the plan.
        for event in of_type(instance, "TRIAGE"):
            assert event["payload"]["decision"] == "queued"
            assert event["payload"]["description"].endswith("is stale") and event["payload"]["evidence"]
        a, b = sorted(waiting, key=lambda item: item["file"])
        lines = orvane("queue", instance, cwd=tmp_path, env=env).stdout.splitlines()
        assert any(line.startswith(a["short"]) and "a.txt" in line and "docs" in line for line in lines)
        shown = orvane("queue", "show", a["short"], instance, cwd=tmp_path, env=env).stdout
        assert "a.txt is stale" in shown and "a.txt:1" in shown and "take STALE out of a.txt" in shown

        orvane("reject", b["short"], instance, "--reason", "not this one", cwd=tmp_path, env=env)
        approved = orvane("approve", a["id"][:10], instance, cwd=tmp_path, env=env).stdout
        assert "verified: the check no longer finds it" in approved
        assert queue(instance, tmp_path, env) == []

        login = subprocess.run([sys.executable, "-c", "import getpass; print(getpass.getuser())"],
                               capture_output=True, text=True, env=env).stdout.strip()
        decisions = {e["payload"]["decision"]: e for e in of_type(instance, "TRIAGE")
                     if e["payload"]["decision"] != "queued"}
        assert decisions["rejected"]["payload"]["plan_event"] == b["id"]
        assert decisions["rejected"]["payload"]["reason"] == "not this one"
        assert decisions["approved"]["payload"]["plan_event"] == a["id"] == decisions["approved"]["parent_id"]
        assert {d["payload"]["by"] for d in decisions.values()} == {login}
        (execution,) = of_type(instance, "ACTION_EXEC")
        (verify,) = of_type(instance, "ACTION_VERIFY")
        assert execution["parent_id"] == decisions["approved"]["id"] and verify["parent_id"] == execution["id"]
        assert execution["payload"]["success"] and verify["payload"]["resolved"] is True
        assert verify["payload"]["commit"] == execution["payload"]["after"]
        worktree = Path(execution["payload"]["worktree"])
        assert (worktree / "a.txt").read_text() == "a is fresh\n" and (worktree / "b.txt").read_text() == "b is STALE\n"
        assert (repo / "a.txt").read_text() == "a is STALE\n" and git("status", "--porcelain", cwd=repo) == ""

        # A decided plan is decided once.
        refused(orvane("approve", a["short"], instance, cwd=tmp_path, env=env, check=False), "was already approved by")
        refused(orvane("reject", b["short"], instance, cwd=tmp_path, env=env, check=False), "was already rejected by")
        refused(orvane("approve", "ffffffff", instance, cwd=tmp_path, env=env, check=False), "no queued plan")
        stats = json.loads(orvane("stats", instance, "--json", cwd=tmp_path, env=env).stdout)["review"]
        assert stats["queue"] == 0 and stats["unmerged"] == {str(repo): 1}

    def test_an_approval_waits_for_no_other_actor(self, tmp_path, env, brain, repo):
        instance = make_instance(tmp_path, env, brain, "supervised")
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        first = queue(instance, tmp_path, env)[0]
        holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
            import sys, time
            from pathlib import Path
            from orvane import lock
            with lock.acting(Path({str(instance)!r}), "run"):
                print("held", flush=True)
                sys.stdin.readline()
            """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env, cwd=tmp_path)
        try:
            assert holder.stdout.readline() == "held\n"
            busy = orvane("approve", first["short"], instance, cwd=tmp_path, env=env, check=False)
            refused(busy, f"process {holder.pid}")
        finally:
            holder.communicate("\n", timeout=30)
        assert of_type(instance, "ACTION_EXEC") == [] and len(queue(instance, tmp_path, env)) == 2
        orvane("approve", first["short"], instance, cwd=tmp_path, env=env)

    def test_plans_that_cannot_be_carried_out_stay_queued(self, tmp_path, env, brain, repo):
        plain = tmp_path / "plain"
        plain.mkdir()
        (plain / "a.txt").write_text("STALE\n")
        instance = make_instance(tmp_path, env, brain, "supervised")
        orvane("run", instance, "--target", plain, cwd=tmp_path, env=env)
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        items = {Path(i["target"]).name: i for i in queue(instance, tmp_path, env)}
        refused(orvane("approve", items["plain"]["short"], instance, cwd=tmp_path, env=env, check=False),
                "is not a git repository")
        config = yaml.safe_load((instance / "config.yaml").read_text())
        set_config(instance, brain={**config["brain"], "can_execute": False})
        refused(orvane("approve", items["repo"]["short"], instance, cwd=tmp_path, env=env, check=False),
                "cannot execute actions")
        assert (plain / "a.txt").read_text() == "STALE\n"
        assert len(queue(instance, tmp_path, env)) == 3
        assert [e for e in of_type(instance, "TRIAGE") if e["payload"]["decision"] != "queued"] == []


class TestBranch:
    def test_branch_merge_patch_and_clean(self, tmp_path, env, brain, repo):
        instance = make_instance(tmp_path, env, brain, "auto")
        ran = orvane("run", instance, "--target", repo, "--cycles", 2, cwd=tmp_path, env=env).stdout
        worktree = worktree_of(instance)
        # The console names the branch and the worktree once, when the run first commits.
        assert ran.count(f"in the worktree {worktree}") == 1
        shown = orvane("branch", instance, cwd=tmp_path, env=env).stdout
        assert f"worktree  {worktree}" in shown and "beyond main" in shown
        assert "fixes: a.txt is stale" in shown and "fixes: b.txt is stale" in shown and "2 files changed" in shown
        assert "-a is STALE\n+a is fresh" in orvane("branch", instance, "--diff", cwd=tmp_path, env=env).stdout
        head = git("rev-parse", "HEAD", cwd=repo)

        # A checkout with uncommitted changes is not merged into; nothing moves.
        (repo / "keep.txt").write_text("my own edit\n")
        refused(orvane("merge", instance, cwd=tmp_path, env=env, check=False), "uncommitted changes")
        assert git("rev-parse", "HEAD", cwd=repo) == head and (repo / "keep.txt").read_text() == "my own edit\n"

        # --patch writes the commits and changes nothing; the patch applies elsewhere.
        patch = tmp_path / "fixes.patch"
        orvane("merge", instance, "--patch", patch, cwd=tmp_path, env=env)
        assert git("rev-parse", "HEAD", cwd=repo) == head and git("status", "--porcelain", cwd=repo) == "M keep.txt"
        copy = tmp_path / "copy"
        git("clone", "-q", str(repo), str(copy), cwd=tmp_path)
        subprocess.run(["git", "am", "-q", str(patch)], cwd=copy, env=env, check=True)
        assert (copy / "a.txt").read_text() == "a is fresh\n" and (copy / "b.txt").read_text() == "b is fresh\n"

        refused(orvane("clean", instance, cwd=tmp_path, env=env, check=False), "2 unmerged commits")
        assert worktree.is_dir()

        git("checkout", "keep.txt", cwd=repo)
        orvane("merge", instance, cwd=tmp_path, env=env)
        assert git("log", "-1", "--format=%P", cwd=repo).split()[0] == head  # one merge commit
        assert len(git("log", "-1", "--format=%P", cwd=repo).split()) == 2
        assert git("log", "-1", "--format=%s", cwd=repo).startswith("[k7] merge k7/")
        assert (repo / "a.txt").read_text() == "a is fresh\n" and git("status", "--porcelain", cwd=repo) == ""
        assert "everything is merged" in orvane("branch", instance, cwd=tmp_path, env=env).stdout
        assert json.loads(orvane("stats", instance, "--json", cwd=tmp_path, env=env).stdout)["review"]["unmerged"] \
            == {str(repo): 0}

        orvane("clean", instance, cwd=tmp_path, env=env)
        assert not worktree.exists() and git("branch", "--list", "k7/*", cwd=repo) == ""
        assert [e["payload"]["observation"] for e in of_type(instance, "OBSERVATION")] == \
            ["branch merged", "branch cleaned"]

    def test_clean_force_drops_unmerged_fixes(self, tmp_path, env, brain, repo):
        instance = make_instance(tmp_path, env, brain, "auto")
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        worktree = worktree_of(instance)
        done = orvane("clean", instance, "--force", cwd=tmp_path, env=env).stdout
        assert "dropped 2 unmerged commits" in done
        assert not worktree.exists() and git("branch", "--list", "k7/*", cwd=repo) == ""
        assert (repo / "a.txt").read_text() == "a is STALE\n"

    def test_a_worktree_deleted_by_hand_is_made_again(self, tmp_path, env, brain, repo):
        instance = make_instance(tmp_path, env, brain, "auto")
        limited = {"mode": "auto", "min_dimensions": 0, "min_passes": 0, "max_actions_per_cycle": 1}
        set_config(instance, execution=limited)
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)  # fixes a.txt only
        worktree = worktree_of(instance)
        shutil.rmtree(worktree)
        shown = orvane("branch", instance, cwd=tmp_path, env=env).stdout
        assert "was deleted; git's stale record of it was pruned" in shown and "fixes: a.txt is stale" in shown
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        shutil.rmtree(worktree)  # the next run recovers too, without `branch`
        set_config(instance, execution={**limited, "max_actions_per_cycle": 3})
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        assert not [e for e in of_type(instance, "TRIAGE") if e["payload"]["decision"] == "queued"]
        fixed = [e for e in of_type(instance, "ACTION_EXEC") if e["payload"]["finding"] == "b.txt is stale"]
        assert fixed and fixed[-1]["payload"]["success"] and (worktree / "b.txt").read_text() == "b is fresh\n"
        assert (worktree / "a.txt").read_text() == "a is fresh\n"

    def test_one_worktree_per_repository_and_the_target_named_when_several(self, tmp_path, env, brain, repo):
        other = tmp_path / "other"
        shutil.copytree(repo, other)
        instance = make_instance(tmp_path, env, brain, "auto")
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        # The instance's worktree belongs to repo: a plan for other waits, other is untouched.
        orvane("run", instance, "--target", other, cwd=tmp_path, env=env)
        reasons = {e["payload"]["reason"] for e in of_type(instance, "TRIAGE") if e["target"] == str(other)}
        assert reasons and all("belongs to another repository" in r for r in reasons)
        assert {e["target"] for e in of_type(instance, "ACTION_EXEC")} == {str(repo)}
        refused(orvane("clean", instance, "--target", other, "--force", cwd=tmp_path, env=env, check=False),
                "is not a worktree of")
        orvane("clean", instance, "--force", cwd=tmp_path, env=env)
        orvane("run", instance, "--target", other, cwd=tmp_path, env=env)
        refused(orvane("branch", instance, cwd=tmp_path, env=env, check=False), "give --target REPO")
        assert "fixes: a.txt is stale" in orvane("branch", instance, "--target", other, cwd=tmp_path, env=env).stdout
        assert "no branch" in orvane("branch", instance, "--target", repo, cwd=tmp_path, env=env).stdout
        assert (repo / "a.txt").read_text() == (other / "a.txt").read_text() == "a is STALE\n"


class TestVerification:
    def test_a_fix_that_is_missing_is_not_verified(self, tmp_path, env, brain, repo):
        instance = make_instance(tmp_path, env, brain, "auto")
        env["SKIP_FIX"] = "1"
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        executions = of_type(instance, "ACTION_EXEC")
        assert executions and all(e["payload"]["success"] and e["payload"]["after"] for e in executions)
        checks = of_type(instance, "ACTION_VERIFY")
        assert len(checks) == len(executions) and not any(c["payload"]["resolved"] for c in checks)
        still = {c["payload"]["still_found"]["evidence"] for c in checks}
        assert still == {"a.txt:1", "b.txt:1"}
        assert all(c["payload"]["checked_in"] == str(worktree_of(instance)) for c in checks)
        assert of_type(instance, "CYCLE")[0]["payload"]["actions_verified"] == 0

    def test_a_matured_checkpoint_is_measured_against_the_target(self, tmp_path, env, brain, repo):
        instance = make_instance(tmp_path, env, brain, "auto")
        env["RADIUS"] = "system"  # a day before the effect is measured again
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        listed = json.loads(orvane("checkpoints", instance, "--json", cwd=tmp_path, env=env).stdout)
        assert len(listed) == 2 and {c["status"] for c in listed} == {"pending"}
        assert {c["finding"] for c in listed} == {"a.txt is stale", "b.txt is stale"}
        # a.txt's fix is merged by hand; b.txt stays as it was in the user's checkout.
        (repo / "a.txt").write_text("a is fresh\n")
        git("commit", "-qam", "a fixed", cwd=repo)
        past = (datetime.now(timezone.utc) - timedelta(minutes=1)).isoformat()
        for path in (instance / "checkpoints").glob("CP-*.json"):
            data = json.loads(path.read_text())
            path.write_text(json.dumps({**data, "check_after": past}, indent=2) + "\n")
        assert "matured" in orvane("checkpoints", instance, cwd=tmp_path, env=env).stdout
        env["RADIUS"] = "local"
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        measured = {e["payload"]["checkpoint"]: e for e in of_type(instance, "FINDING")
                    if e["payload"].get("finding_type") == "temporal-verification"}
        assert len(measured) == 2
        files = {c["id"]: json.loads((instance / "checkpoints" / f"{c['id']}.json").read_text()) for c in listed}
        outcome = {data["finding"]["description"]: data for data in files.values()}
        assert outcome["a.txt is stale"]["status"] == outcome["b.txt is stale"]["status"] == "resolved"
        assert outcome["a.txt is stale"]["resolution"]["resolved"] is True
        assert outcome["b.txt is stale"]["resolution"]["resolved"] is False
        assert outcome["b.txt is stale"]["resolution"]["finding"]["evidence"] == "b.txt:1"
        assert measured[outcome["a.txt is stale"]["id"]]["payload"]["resolved"] is True
        assert orvane("checkpoints", instance, cwd=tmp_path, env=env).stdout.strip() == "no checkpoint is pending"
        assert "the finding still holds" in orvane("checkpoints", instance, "--all", cwd=tmp_path, env=env).stdout

    def test_approving_a_plan_whose_action_fails_rolls_it_back(self, tmp_path, env, brain, repo):
        instance = make_instance(tmp_path, env, brain, "supervised")
        orvane("run", instance, "--target", repo, cwd=tmp_path, env=env)
        first = queue(instance, tmp_path, env)[0]
        env["FAIL_ACTION"] = "1"
        failed = orvane("approve", first["short"], instance, cwd=tmp_path, env=env, check=False)
        assert failed.returncode == 1 and "rolled back" in failed.stdout
        (execution,) = of_type(instance, "ACTION_EXEC")
        assert execution["payload"]["success"] is False and execution["payload"]["rolled_back"] is True
        worktree = Path(execution["payload"]["worktree"])
        assert git("status", "--porcelain", cwd=worktree) == "" and (worktree / first["file"]).read_text().endswith(
            "is STALE\n")
        assert of_type(instance, "ACTION_VERIFY") == []
        # Decided: the approval stands in the ledger, the plan has left the queue.
        assert [i["id"] for i in queue(instance, tmp_path, env)] != [first["id"]]
        assert first["id"] not in {i["id"] for i in queue(instance, tmp_path, env)}


# -- in process ---------------------------------------------------------------------------

def offline_check(root, category, evidence, description):
    """Runner.measure with the offline brain against the directory `root`."""
    from orvane import cycle, instance as instances, triage
    from orvane.target import resolve

    directory = root.parent / "agent-offline"
    if not directory.exists():
        instances.create(directory, None, "ada", {"type": "offline"})
    opened = instances.open_instance(directory)
    target = resolve(str(root))
    with cycle.StopRequest() as stop:
        runner = cycle.Runner(opened, target, triage.ExecutionMode.AUTO, instances.load_brain({"type": "offline"}),
                              stop)
        finding = {"description": description, "category": category, "evidence": evidence,
                   "question": "pressure-test", "severity": 0.4}
        report = cycle.CycleReport(1, "pressure-test")
        return runner.measure(finding, {"plan": "fix it", "measurement": "it is gone"}, "", target, report)


class TestOfflineVerification:
    def test_the_offline_brain_re_runs_the_check_behind_the_finding(self, tmp_path):
        from orvane import cycle, offline, seed

        root = tmp_path / "tree"
        root.mkdir()
        (root / "app.py").write_text("x = 1  # TODO: handle errors\n")
        (root / "broken.json").write_text("{,}\n")
        question = seed.get_seed()
        prompt = cycle.verify_prompt({"description": "d", "category": "markers", "evidence": "app.py:1"},
                                     {"plan": "p"}, "", question, f"Directory: {root}", "goal")
        text, status = offline.answer(prompt)
        parsed = seed.parse_question_output(text)
        assert status == 0 and parsed["findings"]
        assert {f["category"] for f in parsed["findings"]} == {"markers"}  # the syntax check did not run
        (before,) = parsed["findings"]
        assert offline_check(root, "markers", before["evidence"], before["description"])["resolved"] is False
        (root / "app.py").write_text("x = 1\n")
        check = offline_check(root, "markers", before["evidence"], before["description"])
        assert check["resolved"] is True and check["still_found"] is None and not check["failure_reason"]


class TestQueueFromTheLedger:
    def test_the_queue_is_what_the_ledger_says(self, tmp_path):
        """Random histories of queued and decided plans, some queued by an older host
        that did not copy the finding into the queued event."""
        import random

        from orvane import instance as instances, protocol, review

        for seed_ in range(6):
            rng = random.Random(seed_)
            directory = tmp_path / f"agent{seed_}"
            instances.create(directory, None, "ada", {"type": "offline"})
            opened = instances.open_instance(directory, with_goal=False)
            expected, plans = {}, []

            def add(kind, payload, parent=None):
                event = protocol.make_event(kind, "test", payload, target="/repo", parent_id=parent,
                                            instance_id="i")
                opened.ledger.append(event)
                return event

            for n in range(40):
                roll = rng.random()
                if roll < 0.5 or not plans:
                    found = add("FINDING", {"question": "q", "finding_type": "docs", "severity": 0.7,
                                            "empty": False, "description": f"f{n}", "evidence": f"src/f{n}.py:2"})
                    plan = add("ACTION_PLAN", {"question": "q", "plan": f"p{n}", "finding": f"f{n}"}, found["id"])
                    payload = {"question": "q", "decision": "queued", "reason": "r", "plan": f"p{n}",
                               "risk_score": 0.5}
                    if rng.random() < 0.5:
                        payload.update(description=f"f{n}", evidence=f"src/f{n}.py:2", category="docs",
                                       severity=0.7)
                    add("TRIAGE", payload, plan["id"])
                    plans.append(plan["id"])
                    expected[plan["id"]] = f"f{n}"
                elif roll < 0.8:
                    chosen = rng.choice(plans)
                    decision = rng.choice(review.DECISIONS)
                    if chosen in expected:
                        add("TRIAGE", {"decision": decision, "plan_event": chosen, "by": "ada"}, chosen)
                        del expected[chosen]
                    else:
                        with pytest.raises(instances.UserError, match="was already"):
                            review.find(opened, chosen)
                else:
                    add("TRIAGE", {"decision": "suggested", "plan": "x"}, rng.choice(plans))  # not a decision
                # Another process reading the same file agrees.
                other = instances.open_instance(directory, with_goal=False)
                waiting = review.pending(other)
                assert [item["id"] for item in waiting] == [p for p in plans if p in expected]
                assert {item["id"]: item["description"] for item in waiting} == expected
                assert all(item["file"].startswith("src/f") and item["category"] == "docs" for item in waiting)
            for plan_id in list(expected)[:1]:
                assert review.find(opened, plan_id[:6])["id"] == plan_id
