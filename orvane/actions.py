"""Plans for findings, and carrying them out under git safety.

A plan is asked of the brain in the host's own tagged format. Carrying a plan out means
asking a brain that can execute (``can_execute()``) to make the change, and only ever in
the instance's own worktree of a repository target, between a pre-action snapshot and a
post-action commit, rolled back when the brain reports failure. Anything else (a
directory or URL target, a brain without tools, a worktree that could not be made) is
queued for a human instead: a target outside git is never modified.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from orvane import brain, temporal, vcsguard
from orvane.words import PLAN_CLOSE, PLAN_HEADER, PLAN_OPEN
from orvane.target import Target

PLAN_BLOCK = re.compile(re.escape(PLAN_OPEN) + r"\s*(.*?)\s*" + re.escape(PLAN_CLOSE), re.DOTALL)
PLAN_SCHEMA = ('{"plan": "what to change, step by step", "risk_score": 0.0-1.0, '
               '"blast_radius": "local|system|external", "measurement": "how to tell it worked"}')
BLAST_RADII = ("local", "system", "external")


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


def parse_plan(output: str, refinements: int) -> dict[str, Any]:
    """The plan map triage reads. An answer without a usable block keeps its text as the
    plan and no risk score, which triage counts as the highest risk."""
    plan: dict[str, Any] = {"plan": output.strip()[:2000], "refinement_count": refinements,
                            "blast_radius": "local", "measurement": ""}
    match = PLAN_BLOCK.search(output)
    try:
        data = json.loads(match.group(1)) if match else None
    except ValueError:
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
        "EXECUTE this plan for Orvane in the current directory. It is a git worktree of the "
        "target; Orvane commits a snapshot before and after, and rolls back a failure.", "",
        f"GOAL: {one_line(goal_text)}",
        f"FINDING: {one_line(finding.get('description', ''))}",
        f"Evidence: {one_line(finding.get('evidence', ''))}",
        f"PLAN: {plan['plan']}", "",
        "Make the change now, in this directory only. Do not commit. Exit with a failure "
        "status if the change cannot be made."])


@dataclass
class Outcome:
    """What carrying out one plan did."""
    executed: bool
    success: bool = False
    reason: str = ""  # why it was queued instead, or the brain's failure reason
    worktree: str = ""
    before: str | None = None
    after: str | None = None
    rolled_back: bool = False
    output: str = ""
    cost_usd: float = 0.0


def why_not_executable(target: Target, executor: brain.BrainInterface) -> str:
    """"" when a plan may be carried out here, else the reason it is queued."""
    if not executor.can_execute():
        return "the brain cannot execute actions"
    if not target.is_repository:
        return "the target is not a git repository, and is never modified"
    return ""


def execute(plan: dict[str, Any], finding: dict[str, Any], goal_text: str, target: Target,
            executor: brain.BrainInterface, instance_id: str, timeout: int) -> Outcome:
    """Carries the plan out in the instance's worktree, between snapshots; rolls back
    what a failed action left."""
    reason = why_not_executable(target, executor)
    if reason:
        return Outcome(False, reason=reason)
    assert target.path is not None
    worktree = vcsguard.ensure_worktree(str(target.path), instance_id)
    if Path(worktree).resolve() == target.path.resolve():
        # ensure_worktree falls back to the target itself: never act in the user's tree.
        return Outcome(False, reason="the instance worktree could not be created")
    description = one_line(plan["plan"])
    before = vcsguard.snapshot_before(worktree, description) or head_commit(worktree)
    if before is None:
        return Outcome(False, reason="the worktree has no commit to return to", worktree=worktree)
    result = executor.ask(execute_prompt(plan, finding, goal_text), working_dir=worktree, timeout=timeout)
    after = vcsguard.snapshot_after(worktree, description, result.success)
    rolled_back = False if result.success else vcsguard.rollback_to(worktree, before)
    return Outcome(True, success=result.success, reason=result.failure_reason, worktree=worktree,
                   before=before, after=after, rolled_back=rolled_back,
                   output=result.output, cost_usd=result.cost_usd)


def head_commit(worktree: str) -> str | None:
    """The commit a clean worktree stands on: the point to roll back to when the
    pre-action snapshot had nothing to commit."""
    code, output = vcsguard._run_git(worktree, "rev-parse", "HEAD")
    return output if code == 0 and output else None


def checkpoint(manager: temporal.TemporalManager, plan: dict[str, Any], finding: dict[str, Any],
               output: str) -> temporal.TemporalCheckpoint | None:
    """A delayed verification for an action whose effect takes time; None when it needs none."""
    days = temporal.estimate_delay_days(plan.get("blast_radius", "local"), plan["plan"])
    if days <= 0:
        return None
    return manager.schedule_checkpoint(finding, output[:4000], plan["plan"], days, plan.get("measurement", ""))
