"""The instance branch: where an instance's fixes wait for their owner.

An acting run commits each fix on the branch "k7/<instance id>" of the target's
repository, in the instance's own worktree under ~/.orvane/worktrees. This module shows
that branch, merges it into the branch the user has checked out (or writes it out as a
patch), removes it, and recovers when the worktree directory was deleted by hand.

Public functions (plain data, for the command and for reports):
- ``targets(instance)``: the repositories the instance has acted on;
- ``choose(instance, given)``: the one target a branch command works on;
- ``unmerged(instance, target)``: the branch's commits not yet on the target's branch;
- ``state(instance, target)``: the branch, its worktree and those commits, with a diff stat;
- ``recover(target, instance_id)``: prunes git's record of a deleted worktree.
"""

from __future__ import annotations

import os
import subprocess
from pathlib import Path
from typing import Any

from orvane import actions, vcsguard
from orvane.instance import Instance, UserError
from orvane.review import chronological
from orvane.target import Target, resolve

GIT_TIMEOUT = 30


def git(where: str | Path, *args: str, env: dict[str, str] | None = None) -> tuple[int, str]:
    """(exit status, standard output and error) of one git command; status 1 when git
    cannot be run or runs too long."""
    try:
        done = subprocess.run(["git", *args], cwd=str(where), capture_output=True, timeout=GIT_TIMEOUT,
                              env=env, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired) as error:
        return 1, f"git could not be run: {error}"
    output = (done.stdout + done.stderr).decode("utf-8", "replace")
    return done.returncode, output.strip()


def git_out(where: str | Path, *args: str) -> str | None:
    """Standard output of a git command that succeeded (not stripped), else None."""
    try:
        done = subprocess.run(["git", *args], cwd=str(where), capture_output=True, timeout=GIT_TIMEOUT,
                              stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return done.stdout.decode("utf-8", "replace") if done.returncode == 0 else None


def identity_env(where: str | Path) -> dict[str, str] | None:
    """The environment for a commit: the user's own when git knows who they are, else
    the host's identity through git's environment (the user's configuration is never
    written)."""
    identity = actions.commit_identity(where)
    return {**os.environ, **identity} if identity else None


def name(instance: Instance) -> str:
    return f"k7/{instance.instance_id}"


def worktree(instance: Instance) -> Path:
    return Path(vcsguard.worktree_path(instance.instance_id))


def targets(instance: Instance) -> list[str]:
    """The repositories the instance has acted on (the targets of its "ACTION_EXEC"
    events), in the order first acted on."""
    seen: dict[str, None] = {}
    for event in chronological(instance, "ACTION_EXEC"):
        target = event.get("target")
        if isinstance(target, str) and target:
            seen.setdefault(target, None)
    return list(seen)


def choose(instance: Instance, given: str | None) -> Target:
    """The repository a branch command works on: `given`, else the one the instance has
    acted on. UserError when there is none, or several and none was given."""
    if given:
        target = resolve(given)
    else:
        acted = targets(instance)
        if not acted:
            raise UserError(f"the instance {instance.path} has not acted on a repository yet "
                            "(give --target REPO)")
        if len(acted) > 1:
            raise UserError(f"the instance has acted on {len(acted)} repositories ({', '.join(acted)}); "
                            "give --target REPO")
        if not Path(acted[0]).is_dir():
            raise UserError(f"the repository {acted[0]} the instance acted on is gone")
        target = resolve(acted[0])
    if not target.is_repository or target.path is None:
        raise UserError(f"the target {target.key} is not a git repository")
    return target


def _common_dir(where: str | Path) -> Path | None:
    out = git_out(where, "rev-parse", "--path-format=absolute", "--git-common-dir")
    return Path(out.strip()).resolve() if out else None


def belongs(target: Target, instance_id: str) -> bool:
    """Whether the instance's worktree directory is a worktree of the target's repository."""
    path = vcsguard.worktree_path(instance_id)
    if not Path(path).is_dir():
        return False
    mine = _common_dir(path)
    return mine is not None and mine == _common_dir(str(target.path))


def recover(target: Target, instance_id: str) -> bool:
    """When the instance's worktree directory is gone but git still records it (it was
    deleted by hand), prunes git's stale record so that the worktree can be made again.
    True when a stale record was pruned."""
    if target.path is None:
        return False
    path = Path(vcsguard.worktree_path(instance_id))
    if path.exists():
        return False
    listing = git_out(str(target.path), "worktree", "list", "--porcelain") or ""
    recorded = {line[len("worktree "):] for line in listing.splitlines() if line.startswith("worktree ")}
    if str(path) not in recorded and str(path.resolve()) not in recorded:
        return False
    return git(str(target.path), "worktree", "prune")[0] == 0


def branch_exists(target: Target, branch: str) -> bool:
    return git(str(target.path), "rev-parse", "--verify", "--quiet", f"refs/heads/{branch}")[0] == 0


def current(target: Target) -> str:
    """The branch the user's checkout is on, or "" when detached."""
    out = git_out(str(target.path), "symbolic-ref", "--quiet", "--short", "HEAD")
    return out.strip() if out else ""


def _fixes(instance: Instance) -> dict[str, dict[str, Any]]:
    """What each commit an action made fixed: commit -> {"question", "finding", "event"}."""
    executions = chronological(instance, "ACTION_EXEC")
    found: dict[str, dict[str, Any]] = {}
    missing = []
    for event in executions:
        payload = event.get("payload")
        if not isinstance(payload, dict) or not isinstance(payload.get("after"), str):
            continue
        entry = {"question": payload.get("question"), "finding": payload.get("finding"), "event": event.get("id"),
                 "parent": event.get("parent_id")}
        found[payload["after"]] = entry
        if not isinstance(entry["finding"], str):
            missing.append(entry)
    if missing:  # older events: the finding is named by the plan event above the action
        by_id = {e["id"]: e for e in instance.ledger.events() if isinstance(e.get("id"), str)}
        def payload_of(event: dict[str, Any]) -> dict[str, Any]:
            held = event.get("payload")
            return held if isinstance(held, dict) else {}

        for entry in missing:
            parent = by_id.get(entry["parent"]) or {}
            if parent.get("type") == "TRIAGE":
                parent = by_id.get(payload_of(parent).get("plan_event")) or {}
            entry["finding"] = payload_of(parent).get("finding")
    return found


def unmerged(instance: Instance, target: Target) -> list[dict[str, Any]]:
    """The commits on the instance branch that the target's checked-out branch does not
    have, oldest first: maps with "commit", "short", "subject", "date" and what the
    action that made it fixed: "question", "finding" (its description; None for a
    commit no recorded action made) and "event" (the ACTION_EXEC event's id)."""
    branch = name(instance)
    if target.path is None or not branch_exists(target, branch):
        return []
    out = git_out(str(target.path), "log", "--reverse", "--format=%H%x1f%h%x1f%cI%x1f%s", f"HEAD..{branch}")
    if not out:
        return []
    fixes = _fixes(instance)
    commits = []
    for line in out.splitlines():
        parts = line.split("\x1f", 3)
        if len(parts) != 4:
            continue
        fix = fixes.get(parts[0], {})
        commits.append({"commit": parts[0], "short": parts[1], "date": parts[2], "subject": parts[3],
                        "question": fix.get("question"), "finding": fix.get("finding"), "event": fix.get("event")})
    return commits


def state(instance: Instance, target: Target, *, with_diff: bool = False) -> dict[str, Any]:
    """The instance branch on the target: "branch", "exists", "worktree" (its path),
    "worktree_exists", "worktree_dirty" (uncommitted changes left in it), "into" (the
    user's checked-out branch, "" when detached), "commits" (``unmerged``), "diffstat"
    and, when asked for, "diff"."""
    branch = name(instance)
    path = worktree(instance)
    exists = branch_exists(target, branch)
    own = belongs(target, instance.instance_id)
    dirty = bool(own and (git_out(path, "status", "--porcelain") or "").strip())
    result: dict[str, Any] = {"branch": branch, "exists": exists, "worktree": str(path),
                              "worktree_exists": own, "worktree_dirty": dirty, "into": current(target),
                              "commits": unmerged(instance, target) if exists else [], "diffstat": ""}
    if result["commits"]:
        result["diffstat"] = (git_out(str(target.path), "diff", "--stat", f"HEAD...{branch}") or "").rstrip()
        if with_diff:
            result["diff"] = git_out(str(target.path), "diff", f"HEAD...{branch}") or ""
    elif with_diff:
        result["diff"] = ""
    return result


def merge(instance: Instance, target: Target) -> dict[str, Any]:
    """Merges the instance branch into the user's checked-out branch as one merge
    commit; refuses (UserError) when the checkout has uncommitted changes, is detached
    or is the instance branch itself. A merge that fails is undone, so the user's
    checkout is as it was. Returns {"into", "commit" (the merge commit), "commits"}."""
    branch = name(instance)
    root = str(target.path)
    into = current(target)
    if not into:
        raise UserError(f"the checkout of {target.key} is not on a branch (detached HEAD); check out "
                        "the branch to merge into first")
    if into == branch:
        raise UserError(f"the checkout of {target.key} is on the instance branch {branch} itself")
    commits = unmerged(instance, target)
    if not commits:
        return {"into": into, "commit": None, "commits": []}
    changes = (git_out(root, "status", "--porcelain", "--untracked-files=no") or "").strip()
    if changes or git_out(root, "status", "--porcelain") is None:
        count = len(changes.splitlines())
        raise UserError(f"the checkout of {target.key} has uncommitted changes ({count} "
                        f"file{'s' if count != 1 else ''}); commit or stash them, then merge")
    code, output = git(root, "merge", "--no-ff", "-m", f"[k7] merge {branch}", branch, env=identity_env(root))
    if code != 0:
        git(root, "merge", "--abort")
        reason = next((line for line in output.splitlines() if line.strip()), "git merge failed")
        raise UserError(f"merging {branch} into {into} failed, nothing was changed: {reason}")
    head = (git_out(root, "rev-parse", "HEAD") or "").strip()
    return {"into": into, "commit": head, "commits": [c["commit"] for c in commits]}


def write_patch(instance: Instance, target: Target, file: Path) -> int:
    """Writes the unmerged commits as one patch file (mail format, `git am` reads it);
    changes nothing else. Returns the number of commits written."""
    commits = unmerged(instance, target)
    if not commits:
        raise UserError(f"{name(instance)} has no commits beyond {current(target) or 'HEAD'}: no patch to write")
    out = git_out(str(target.path), "format-patch", "--stdout", f"HEAD..{name(instance)}")
    if out is None:
        raise UserError("git format-patch failed")
    file.write_text(out, encoding="utf-8")
    return len(commits)


def clean(instance: Instance, target: Target, *, force: bool = False) -> dict[str, Any]:
    """Removes the instance's worktree and its branch. Refuses (UserError) while the
    branch holds unmerged commits or the worktree uncommitted changes, unless `force`;
    refuses always when the worktree directory belongs to another repository.
    Returns {"worktree_removed", "branch_removed", "unmerged" (commits dropped)}."""
    branch = name(instance)
    path = worktree(instance)
    root = str(target.path)
    recover(target, instance.instance_id)
    if path.exists() and not belongs(target, instance.instance_id):
        raise UserError(f"the worktree {path} is not a worktree of {target.key}; left as it is")
    current_state = state(instance, target)
    commits = current_state["commits"]
    if not force and (commits or current_state["worktree_dirty"]):
        what = [f"{len(commits)} unmerged commit{'s' if len(commits) != 1 else ''}"] if commits else []
        if current_state["worktree_dirty"]:
            what.append("uncommitted changes in the worktree")
        raise UserError(f"{branch} holds {' and '.join(what)}; merge first (orvane merge), or "
                        "clean --force to drop them")
    removed_tree = False
    if path.exists():
        code, output = git(root, "worktree", "remove", "--force", str(path))
        if code != 0:
            raise UserError(f"could not remove the worktree {path}: {output.splitlines()[0] if output else code}")
        removed_tree = True
    git(root, "worktree", "prune")
    removed_branch = False
    if branch_exists(target, branch):
        if current(target) == branch:
            raise UserError(f"the checkout of {target.key} is on {branch}; check out another branch first")
        code, output = git(root, "branch", "-D", branch)
        if code != 0:
            raise UserError(f"could not delete the branch {branch}: {output.splitlines()[0] if output else code}")
        removed_branch = True
    return {"worktree_removed": removed_tree, "branch_removed": removed_branch, "unmerged": len(commits)}
