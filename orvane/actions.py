"""Plans for findings, and carrying them out under git safety.

A plan is asked of the brain in the host's own tagged format. Carrying a plan out means
asking a brain that can execute (``can_execute()``) to make the change, and only ever in
the instance's own worktree of a repository target, between a pre-action point and a
post-action commit, rolled back when the action fails. Anything else (a directory or
URL target, a brain without tools, a worktree that could not be made, a worktree whose
changes could not be committed before the action) is queued for a human instead: a
target outside git is never modified, and no action runs without a point to return to.

The host runs git itself (``git``) for what the library's git safety does not answer:
the commit a tree stands on, whether it is clean, why git refused a commit.
"""

from __future__ import annotations

import json
import os
import filecmp
import shutil
import stat
import subprocess
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from orvane import brains, temporal, vcsguard
from orvane.words import PLAN_CLOSE, PLAN_HEADER, PLAN_OPEN
from orvane.target import Target

PLAN_SCHEMA = ('{"plan": "what to change, step by step", "risk_score": 0.0-1.0, '
               '"blast_radius": "local|system|external", "measurement": "how to tell it worked"}')
BLAST_RADII = ("local", "system", "external")
GIT_TIMEOUT = 30
# Up to this many bytes of the files git does not hold (ignored ones) are copied aside
# before an action, so that a rollback puts back what the action changed among them.
KEEP_LIMIT = 64 * 1024 * 1024
# Who the host's own commits are by when git knows no one: set in the environment of
# the git commands the host runs, never written into any git configuration.
HOST_IDENTITY = {"GIT_AUTHOR_NAME": "Orvane", "GIT_AUTHOR_EMAIL": "orvane@localhost",
                 "GIT_COMMITTER_NAME": "Orvane", "GIT_COMMITTER_EMAIL": "orvane@localhost"}


def unit(value: Any) -> float:
    """A risk score in [0, 1]; what is not a number counts as the highest risk."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        return 1.0
    return 1.0 if number != number else max(0.0, min(1.0, number))


def one_line(value: Any) -> str:
    return " ".join(str(value).split())


def plan_prompt(finding: dict[str, Any], goal_text: str, target: Target,
                previous: dict[str, Any] | None = None) -> str:
    lines = [
        f"{PLAN_HEADER}.", "",
        f"GOAL: {one_line(goal_text)}",
        f"TARGET: {target.key}",
        f"FINDING: {one_line(finding.get('description', ''))}",
        f"Severity: {finding.get('severity', 0.5)}",
        f"Category: {one_line(finding.get('category', 'unknown'))}",
        f"Evidence: {one_line(finding.get('evidence', ''))}",
    ]
    if previous is not None:
        lines += [f"Previous plan: {one_line(previous['plan'])}",
                  f"Previous risk: {previous.get('risk_score', 1.0)}",
                  "The previous plan is too risky: propose a safer, smaller plan."]
    lines += ["", "Write a short plan that would resolve the finding, then give structured output "
              f"inside {PLAN_OPEN}...{PLAN_CLOSE} tags as valid JSON:", PLAN_SCHEMA]
    return "\n".join(lines)


def tagged_block(text: str, open_tag: str, close_tag: str) -> str | None:
    """The text between the first opening tag and the first closing tag after it, without
    the white space around it; None when there is no such pair. One pass over the text,
    the way the library reads its own tagged blocks: a closing tag that does not begin
    with white space cannot begin inside the white space after the opening tag, and when
    the first opening tag has no closing tag after it, no later one has."""
    start = text.find(open_tag)
    if start < 0:
        return None
    start += len(open_tag)
    end = text.find(close_tag, start)
    return None if end < 0 else text[start:end].strip()


def parse_plan(output: str, refinements: int) -> dict[str, Any]:
    """The plan map triage reads. An answer without a usable block keeps its text as the
    plan and no risk score, which triage counts as the highest risk."""
    plan: dict[str, Any] = {"plan": output.strip()[:2000], "refinement_count": refinements,
                            "blast_radius": "local", "measurement": ""}
    block = tagged_block(output, PLAN_OPEN, PLAN_CLOSE)
    try:
        data = json.loads(block) if block is not None else None
    except (ValueError, RecursionError):
        data = None
    if isinstance(data, dict) and str(data.get("plan", "")).strip():
        plan["plan"] = str(data["plan"]).strip()
        if "risk_score" in data:
            plan["risk_score"] = unit(data["risk_score"])
        radius = str(data.get("blast_radius", "local"))
        plan["blast_radius"] = radius if radius in BLAST_RADII else "local"
        plan["measurement"] = str(data.get("measurement", ""))
    return plan


def execute_prompt(plan: dict[str, Any], finding: dict[str, Any], goal_text: str) -> str:
    return "\n".join([
        "EXECUTE this plan for Orvane in the current directory. It is in a git worktree of the "
        "target; Orvane commits a snapshot before and after, and rolls back a failure.", "",
        f"GOAL: {one_line(goal_text)}",
        f"FINDING: {one_line(finding.get('description', ''))}",
        f"Evidence: {one_line(finding.get('evidence', ''))}",
        f"PLAN: {plan['plan']}", "",
        "Make the change now, in this directory only. Do not commit. Exit with a failure "
        "status if the change cannot be made."])


# -- git, as the host runs it -------------------------------------------------------------

def git(directory: str | Path, *args: str) -> tuple[int, str]:
    """Runs one git command in `directory`: its exit code and its output (standard output
    and then standard error, stripped). A git that cannot be started or does not answer
    in time answers 1 and a reason."""
    try:
        done = subprocess.run(["git", *args], cwd=directory, capture_output=True, text=True,
                              errors="replace", stdin=subprocess.DEVNULL, timeout=GIT_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as error:
        return 1, f"git could not be run: {error}"
    return done.returncode, (done.stdout + done.stderr).strip()


def git_reason(output: str) -> str:
    """The line of git's output that says why: its "fatal:" or "error:" line, else its
    last line."""
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    for line in lines:
        if line.startswith(("fatal:", "error:")):
            return line
    return lines[-1] if lines else "git gave no reason"


def head_commit(directory: str | Path) -> str | None:
    """The commit a tree stands on; None when it has none."""
    code, output = git(directory, "rev-parse", "--verify", "-q", "HEAD")
    return output if code == 0 and output else None


def is_clean(directory: str | Path) -> bool:
    """True when git sees nothing to commit: no change to tracked files and no untracked
    file outside the ignored ones."""
    code, output = git(directory, "status", "--porcelain", "--untracked-files=all")
    return code == 0 and output == ""


def repository_root(directory: Path) -> Path | None:
    code, output = git(directory, "rev-parse", "--show-toplevel")
    return Path(output).resolve() if code == 0 and output else None


def commit_identity(directory: str | Path) -> dict[str, str]:
    """The environment the host's commits need in `directory`: nothing when git knows
    who commits there, else the host's own identity (HOST_IDENTITY)."""
    for variable in ("GIT_AUTHOR_IDENT", "GIT_COMMITTER_IDENT"):
        if git(directory, "var", variable)[0] != 0:
            return dict(HOST_IDENTITY)
    return {}


@contextmanager
def committing_as(identity: dict[str, str] | None) -> Iterator[None]:
    """Puts `identity` (see commit_identity) into this process's environment for the body,
    which git commands inherit, the library's included; the earlier values come back after."""
    saved = {name: os.environ.get(name) for name in identity or {}}
    os.environ.update(identity or {})
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def unmerged_commits(worktree: str | Path, target: str | Path) -> set[str]:
    """Commits of the worktree's branch that the target's checkout does not hold yet."""
    merged_into = head_commit(target)
    if merged_into is None:
        return set()
    code, output = git(worktree, "rev-list", "HEAD", f"^{merged_into}", "--")
    return set(output.split()) if code == 0 else set()


# -- the rollback point and exact rollback --------------------------------------------------

@dataclass
class RollbackPoint:
    commit: str | None  # None: there is none, and the action must not run
    reason: str = ""


def rollback_point(worktree: str, description: str) -> RollbackPoint:
    """The commit to return to after the action: the head of a clean worktree, or the
    pre-action snapshot of a worktree with changes. Never the head of a worktree whose
    changes could not be committed: rolling back to it would throw them away."""
    head = head_commit(worktree)
    if head is None:
        return RollbackPoint(None, "the worktree has no commit to return to")
    if is_clean(worktree):
        return RollbackPoint(head)
    snapshot = vcsguard.snapshot_before(worktree, description)
    if snapshot is not None and snapshot != head and is_clean(worktree):
        return RollbackPoint(snapshot)
    refusal = commit_refusal(worktree, f"[k7] pre-action snapshot "
                                       f"{datetime.now(timezone.utc):%Y%m%d-%H%M%S}: {description[:100]}")
    if refusal is None and is_clean(worktree):  # it went through the second time
        return RollbackPoint(head_commit(worktree))
    return RollbackPoint(None, f"no rollback point: the changes in the worktree {worktree} could not be "
                               f"committed before the action ({refusal or 'they are still there'})")


def commit_refusal(directory: str, message: str) -> str | None:
    """Tries the commit once more to hear git's reason for refusing it; None when it went
    through."""
    code, output = git(directory, "add", "-A")
    if code != 0:
        return git_reason(output)
    for variable in ("GIT_AUTHOR_IDENT", "GIT_COMMITTER_IDENT"):
        code, output = git(directory, "var", variable)
        if code != 0:
            return git_reason(output)
    code, output = git(directory, "commit", "-q", "-m", message)
    return None if code == 0 else git_reason(output)


def tree_entries(root: str | Path) -> set[str]:
    """Every path under `root` (files, directories, links; ignored ones too) but git's
    own ".git", relative to `root`."""
    found: set[str] = set()
    pending = [""]
    while pending:
        relative = pending.pop()
        try:
            with os.scandir(os.path.join(root, relative)) as iterator:
                entries = list(iterator)
        except OSError:
            continue
        for entry in entries:
            if not relative and entry.name == ".git":
                continue
            path = os.path.join(relative, entry.name)
            found.add(path)
            if entry.is_dir(follow_symlinks=False):
                pending.append(path)
    return found


def remove_new_entries(root: str | Path, before: set[str]) -> bool:
    """Removes what is under `root` now and was not in `before` (tree_entries): the files
    an action left where git does not look, in ignored paths too. True when all are gone."""
    new = tree_entries(root) - before
    for path in sorted(new):
        parts = path.split(os.sep)
        if any(os.sep.join(parts[:depth]) in new for depth in range(1, len(parts))):
            continue  # inside a new directory, removed with it
        try:
            remove(os.path.join(root, path))
        except FileNotFoundError:
            pass
        except OSError:
            return False
    return not (tree_entries(root) - before)


def remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    else:
        os.unlink(path)


def tracked_files(root: str | Path) -> set[str] | None:
    """The paths git holds in the worktree at `root`, as the file system names them."""
    try:
        done = subprocess.run(["git", "ls-files", "-z"], cwd=root, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=GIT_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if done.returncode != 0:
        return None
    return {os.fsdecode(name).replace("/", os.sep) for name in done.stdout.split(b"\0") if name}


class Untracked:
    """A worktree as git does not see it, taken before an action: every path in it, and a
    copy of the files git does not hold (ignored ones) unless they pass KEEP_LIMIT.
    `restore` after git's reset removes what is new and puts the copies back, so that
    the worktree holds exactly the tree it held before."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.entries = tree_entries(root)
        self.files: list[str] = []
        self.copies: str | None = None
        tracked = tracked_files(root)
        if tracked is None:
            return
        size = 0
        for path in sorted(self.entries - tracked):
            try:
                info = os.lstat(os.path.join(root, path))
            except OSError:
                continue
            if not stat.S_ISDIR(info.st_mode):
                self.files.append(path)
                size += info.st_size
        if not self.files or size > KEEP_LIMIT:
            return
        self.copies = tempfile.mkdtemp(prefix="orvane-kept-")
        try:
            for path in self.files:
                os.makedirs(os.path.dirname(os.path.join(self.copies, path)), exist_ok=True)
                shutil.copy2(os.path.join(root, path), os.path.join(self.copies, path), follow_symlinks=False)
        except OSError:
            self.discard()

    def restore(self) -> bool:
        """True when the worktree holds every path it held and nothing more, and every
        copied file as it was."""
        removed = remove_new_entries(self.root, self.entries)
        if self.copies is None:
            return removed
        try:
            for path in self.files:
                kept, here = os.path.join(self.copies, path), os.path.join(self.root, path)
                if os.path.lexists(here):
                    if same_file(kept, here):
                        continue
                    remove(here)
                os.makedirs(os.path.dirname(here), exist_ok=True)
                shutil.copy2(kept, here, follow_symlinks=False)
        except OSError:
            return False
        return removed

    def discard(self) -> None:
        if self.copies is not None:
            shutil.rmtree(self.copies, ignore_errors=True)
            self.copies = None


def same_file(kept: str, here: str) -> bool:
    if os.path.islink(kept) or os.path.islink(here):
        return os.path.islink(kept) and os.path.islink(here) and os.readlink(kept) == os.readlink(here)
    return os.path.isfile(here) and filecmp.cmp(kept, here, shallow=False)


# -- carrying a plan out --------------------------------------------------------------------

@dataclass
class Outcome:
    """What carrying out one plan did."""
    executed: bool
    success: bool = False
    reason: str = ""  # why it was queued instead, or why the action failed
    worktree: str = ""  # the instance's worktree (its root)
    workdir: str = ""  # where the action ran: the target's directory inside the worktree
    before: str | None = None  # the rollback point
    after: str | None = None  # the post-action commit; None when the action changed nothing
    rolled_back: bool = False
    output: str = ""
    cost_usd: float = 0.0
    warning: str = ""  # a line for the console when the user must hear why


def why_not_executable(target: Target, executor: brains.Asker) -> str:
    """"" when a plan may be carried out here, else the reason it is queued."""
    if not executor.can_execute():
        return "the brain cannot execute actions"
    if not target.is_repository:
        return "the target is not a git repository, and is never modified"
    return ""


def execute(plan: dict[str, Any], finding: dict[str, Any], goal_text: str, target: Target,
            executor: brains.Asker, instance_id: str, timeout: int, *,
            identity: dict[str, str] | None = None) -> Outcome:
    """Carries the plan out in the instance's worktree of a repository target, in the
    target's own directory there, and returns what happened.

    `executor` is asked once, with write access (see brains.for_action), in that
    directory. Before it runs there is a rollback point: the head of a clean worktree or
    the pre-action snapshot; when there is none, nothing runs and the outcome is not
    executed, with the reason (and a console warning). After it, the post-action commit;
    a failed action, or one whose commit git refused, is rolled back to the point
    exactly: tracked files reset, and files created where git does not look (ignored
    paths too) removed. `identity` is the environment the commits need (commit_identity).
    The caller holds the instance's actor lock (orvane.lock) around the call."""
    reason = why_not_executable(target, executor)
    if reason:
        return Outcome(False, reason=reason)
    assert target.path is not None
    root = repository_root(target.path)
    if root is None:
        return Outcome(False, reason="the target's repository root could not be found")
    worktree = vcsguard.ensure_worktree(str(target.path), instance_id)
    if Path(worktree).resolve() in (target.path.resolve(), root):
        # ensure_worktree falls back to the target itself: never act in the user's tree.
        return Outcome(False, reason="the instance worktree could not be created")
    try:
        relative = target.path.resolve().relative_to(root)
    except ValueError:
        return Outcome(False, reason=f"the target is not inside its repository's work tree {root}")
    workdir = Path(worktree) / relative
    if not workdir.is_dir():
        return Outcome(False, worktree=worktree, reason=f"the target's directory {relative} is not in "
                       "the repository's commits, so not in the instance's worktree")
    description = one_line(plan["plan"])
    with committing_as(identity):
        point = rollback_point(worktree, description)
    if point.commit is None:
        return Outcome(False, reason=point.reason, worktree=worktree, workdir=str(workdir),
                       warning=f"not carried out: {point.reason}; the plan is queued")
    before = point.commit
    untracked = Untracked(worktree)
    try:
        return carry(plan, finding, goal_text, executor, timeout, identity, worktree, workdir, description,
                     before, untracked)
    finally:
        untracked.discard()


def carry(plan: dict[str, Any], finding: dict[str, Any], goal_text: str, executor: brains.Asker,
          timeout: int, identity: dict[str, str] | None, worktree: str, workdir: Path, description: str,
          before: str, untracked: Untracked) -> Outcome:
    """The action itself, from its rollback point on (see execute). An action cut short
    (Ctrl-C, a signal) is rolled back before the interruption goes on."""
    try:
        result = executor.ask(execute_prompt(plan, finding, goal_text), working_dir=str(workdir), timeout=timeout)
    except BaseException:
        vcsguard.rollback_to(worktree, before)
        untracked.restore()
        raise
    success, reason, warning = result.success, result.failure_reason, ""
    with committing_as(identity):
        after = vcsguard.snapshot_after(worktree, description, success)
        if success and (after == before or not is_clean(worktree)):
            refusal = commit_refusal(worktree, f"[k7] post-action success "
                                               f"{datetime.now(timezone.utc):%Y%m%d-%H%M%S}: {description[:100]}")
            if refusal is None and is_clean(worktree):
                after = head_commit(worktree)
            else:
                success, after = False, None
                reason = f"the post-action commit failed ({refusal or 'changes are left'})"
                warning = f"rolled back: {reason}"
        rolled_back = False
        if not success:
            rolled_back = vcsguard.rollback_to(worktree, before) and untracked.restore()
    return Outcome(True, success=success, reason=reason, worktree=worktree, workdir=str(workdir),
                   before=before, after=after, rolled_back=rolled_back,
                   output=result.output, cost_usd=result.cost_usd, warning=warning)


def checkpoint(manager: temporal.TemporalManager, plan: dict[str, Any], finding: dict[str, Any],
               output: str) -> temporal.TemporalCheckpoint | None:
    """A delayed verification for an action whose effect takes time; None when it needs none."""
    days = temporal.estimate_delay_days(plan.get("blast_radius", "local"), plan["plan"])
    if days <= 0:
        return None
    return manager.schedule_checkpoint(finding, output[:4000], plan["plan"], days, plan.get("measurement", ""))
