"""The `orvane` command: init, run, stats, hatch, lineage, goal, report, and the review
loop (queue, approve, reject, branch, merge, clean, checkpoints).

A mistake the user can correct (a missing instance, a bad target, an unknown brain, a
refused goal change) ends with one line on standard error and exit status 1; a
Ctrl-C ends with status 130. Tracebacks are left for faults in Orvane itself.
"""

from __future__ import annotations

import argparse
import contextlib
import getpass
import json
import random
import signal
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

import yaml

from orvane import goal, hatch, instance, lock, protocol, tables, triage
from orvane import __version__
from orvane.instance import DEFAULT_DIR, MODES, UserError
from orvane.words import plural

# Sections the host keeps in config.yaml and passes on to a hatched child, so that the
# child runs as its parent did.
HOST_SECTIONS = ("brain", "execution", "notifiers", "capability_map")
ACTING_MODES = (triage.ExecutionMode.AUTO, triage.ExecutionMode.SUPERVISED)


class Parser(argparse.ArgumentParser):
    """argparse, with its usage errors in one line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def default_owner() -> str:
    try:
        return getpass.getuser()
    except (KeyError, OSError):
        return "unknown"


def dollars(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an amount of US dollars") from None
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not an amount of at least 0")
    return value


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not at least 1")
    return value


def build_parser() -> Parser:
    examples = argparse.RawDescriptionHelpFormatter
    parser = Parser(prog="orvane", formatter_class=examples, description=(
        "Orvane: a goal-driven self-evaluation agent. An instance asks its questions about a\n"
        "target (a directory, a git repository or a URL), records what it finds in its ledger\n"
        "and forges new questions from the gaps it sees."),
        epilog="example:\n  orvane run --target .            # evaluate this directory offline\n"
               "  orvane stats                      # what the instance has learned")
    parser.add_argument("--version", action="version", version=f"orvane {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True

    init = commands.add_parser("init", formatter_class=examples, help="create an instance",
                               description="Create a pristine instance: the seed question, an empty "
                                           "ledger, and a brain.",
                               epilog="examples:\n  orvane init ./agent --goal 'Every module is tested' "
                                      "--owner ada\n  orvane init ./agent --brain generic-cli --binary llm")
    init.add_argument("dir", metavar="DIR", help="the instance directory to create")
    init.add_argument("--goal", help="the owner's goal: what 'right' means for the targets")
    init.add_argument("--owner", default=None, help="the goal's owner (default: your login name)")
    init.add_argument("--brain", choices=instance.BRAIN_TYPES, default="offline",
                      help="who answers: offline (built-in stand-in, the default), claude-code, or "
                           "generic-cli (any prompt-in, text-out program)")
    init.add_argument("--binary", metavar="PROG", help="the program of the claude-code or generic-cli brain")
    init.add_argument("--mode", choices=MODES, default="observe",
                      help="the execution mode written to config.yaml (default observe)")
    init.add_argument("--can-execute", action="store_true",
                      help="the generic-cli program can edit files and run commands (it may carry out "
                           "plans in auto mode, in a worktree of a git target)")

    run = commands.add_parser("run", formatter_class=examples, help="run evaluation cycles on a target",
                              description="Run evaluation cycles of an instance on a target.\n"
                                          f"DIR defaults to {DEFAULT_DIR}, created with init's defaults "
                                          "when missing.",
                              epilog="examples:\n  orvane run --target .\n"
                                     "  orvane run ./agent --target ~/project --cycles 5 --mode suggest\n"
                                     "  orvane run ./agent --target https://example.org")
    run.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR, help=f"instance (default {DEFAULT_DIR})")
    run.add_argument("--target", required=True, help="a directory, a git repository or an http(s) URL")
    run.add_argument("--cycles", type=positive, default=1, help="how many cycles (default 1)")
    run.add_argument("--mode", choices=MODES, help="execution mode (default: the configuration's, else observe)")
    run.add_argument("--seed", type=int, help="seed of the question draw, for a repeatable run")
    run.add_argument("--budget-usd", type=dollars, metavar="X",
                     help="stop before a brain call once the run has spent X US dollars "
                          "(default: config.yaml's budget_usd, else no limit)")
    run.add_argument("--json", action="store_true",
                     help="print one JSON summary of the run instead of the cycle lines")
    run.add_argument("--quiet", action="store_true", help="print nothing but errors")

    stats = commands.add_parser("stats", formatter_class=examples, help="show what the ledger says",
                                description="Question productivity, population shape and results per "
                                            "execution mode.",
                                epilog="examples:\n  orvane stats\n  orvane stats ./agent --json")
    stats.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR)
    stats.add_argument("--json", action="store_true", help="one JSON document instead of tables")

    spawn = commands.add_parser("hatch", formatter_class=examples, help="hatch a child instance",
                                description="Hatch a child that inherits the whole question population.",
                                epilog="example:\n  orvane hatch ./agent ./agent-2 --goal 'Ship the docs' --owner ada")
    spawn.add_argument("src", metavar="SRC")
    spawn.add_argument("dest", metavar="DEST")
    spawn.add_argument("--goal", help="a new goal for the child (default: a copy of the parent's)")
    spawn.add_argument("--owner", help="owner of the new goal")

    lineage = commands.add_parser("lineage", formatter_class=examples, help="show an instance's lineage",
                                  epilog="examples:\n  orvane lineage ./agent\n  orvane lineage --json")
    lineage.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR)
    lineage.add_argument("--json", action="store_true")

    goal_ = commands.add_parser("goal", formatter_class=examples, help="show or change the goal",
                                description="Show the goal; with --set, change it (the owner only).",
                                epilog="examples:\n  orvane goal ./agent\n"
                                       "  orvane goal ./agent --set 'Every module is tested' --owner ada")
    goal_.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR)
    goal_.add_argument("--set", dest="text", metavar="TEXT", help="the new goal")
    goal_.add_argument("--owner", help="who asks for the change (must be the owner)")

    queue = commands.add_parser("queue", formatter_class=examples, help="list the plans waiting for approval",
                                description="The plans queued for a person (in supervised mode, or too risky in "
                                            "auto mode) and not decided yet.\n`queue show ID` prints one plan "
                                            "with its finding.",
                                epilog="examples:\n  orvane queue ./agent\n  orvane queue show 3f2a9c1e ./agent\n"
                                       "  orvane queue --json")
    queue.add_argument("words", metavar="[show ID] [DIR]", nargs="*",
                       help=f"instance (default {DEFAULT_DIR}); `show ID [DIR]` for one plan")
    queue.add_argument("--json", action="store_true", help="a JSON list instead of lines")

    approve = commands.add_parser("approve", formatter_class=examples, help="carry out a queued plan",
                                  description="Carries a queued plan out as auto mode would: in the instance's "
                                              "worktree, between snapshots, rolled back on failure, then verified.",
                                  epilog="example:\n  orvane approve 3f2a9c1e ./agent")
    approve.add_argument("id", metavar="ID", help="the plan's id (as `orvane queue` shows it, or a longer prefix)")
    approve.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR)

    reject = commands.add_parser("reject", formatter_class=examples, help="reject a queued plan",
                                 epilog="example:\n  orvane reject 3f2a9c1e ./agent --reason 'not now'")
    reject.add_argument("id", metavar="ID")
    reject.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR)
    reject.add_argument("--reason", default="", help="why, for the ledger")

    for command, summary, text in (
            ("branch", "show the instance branch and its unmerged fixes",
             "The instance branch, its worktree, the commits it has beyond the target's current branch "
             "(with the finding each one fixed) and a diff stat."),
            ("merge", "merge the instance branch into the target's current branch",
             "Merges the instance branch into the branch checked out in the target, as one merge commit, "
             "only when that checkout has no uncommitted changes. --patch FILE writes the commits as a "
             "patch file instead and changes nothing."),
            ("clean", "remove the instance's worktree and branch",
             "Removes the instance's worktree and branch; refuses while commits are not merged, unless "
             "--force.")):
        sub = commands.add_parser(command, formatter_class=examples, help=summary, description=text,
                                  epilog=f"examples:\n  orvane {command} ./agent\n"
                                         f"  orvane {command} ./agent --target ~/src/project")
        sub.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR)
        sub.add_argument("--target", metavar="REPO",
                         help="the repository (needed when the instance acted on more than one)")
        if command == "branch":
            sub.add_argument("--diff", action="store_true", help="print the whole diff")
            sub.add_argument("--json", action="store_true")
        elif command == "merge":
            sub.add_argument("--patch", metavar="FILE", help="write the commits to FILE instead of merging")
        else:
            sub.add_argument("--force", action="store_true", help="also drop commits that are not merged")

    points = commands.add_parser("checkpoints", formatter_class=examples, help="show the temporal checkpoints",
                                 description="The pending and matured checkpoints (delayed verifications of "
                                             "actions), with the time each is due.",
                                 epilog="examples:\n  orvane checkpoints ./agent\n  orvane checkpoints --all --json")
    points.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR)
    points.add_argument("--all", action="store_true", help="resolved ones too")
    points.add_argument("--json", action="store_true")

    page = commands.add_parser("report", formatter_class=examples, help="write an HTML report",
                               description="Write one self-contained HTML page of what the ledger "
                                           "holds: charts over time, the question population, the "
                                           "findings and what waits for a decision. It opens from "
                                           "disk and fetches nothing.",
                               epilog="examples:\n  orvane report --open\n"
                                      "  orvane report ./agent -o /tmp/agent.html")
    page.add_argument("dir", metavar="DIR", nargs="?", default=DEFAULT_DIR)
    page.add_argument("-o", "--output", metavar="FILE", help="the page to write (default DIR/report.html)")
    page.add_argument("--open", action="store_true", help="open the page in the web browser")
    return parser


# -- commands ---------------------------------------------------------------------------

def cmd_init(args: argparse.Namespace) -> int:
    section = instance.brain_section(args.brain, args.binary, args.can_execute)
    created = instance.create(Path(args.dir), args.goal, args.owner or default_owner(), section, args.mode)
    mode = "" if args.mode == "observe" else f", mode: {args.mode}"
    print(f"created instance {created} at {args.dir} (brain: {args.brain}{mode})")
    print(f"next: orvane run {args.dir} --target PATH")
    return 0


def cmd_run(args: argparse.Namespace) -> int:
    # The evaluation road loads only here, so that the other commands start quickly.
    from orvane import cycle
    from orvane.target import resolve

    directory = Path(args.dir)
    target = resolve(args.target)
    if not directory.exists():
        created = instance.create(directory, None, default_owner(), instance.brain_section("offline"))
        print(f"orvane: created instance {created} at {directory} (offline brain)", file=sys.stderr)
    current = instance.open_instance(directory)
    section = current.brain_config()
    thinker = instance.load_brain(section)
    if not thinker.is_available():
        binary = section.get("binary", "claude")
        raise UserError(f"the brain program {binary!r} was not found (install it, or run "
                        f"`orvane init DIR --brain offline` for the built-in stand-in)")
    mode = triage.ExecutionMode(current.mode(args.mode))
    budget = current.budget(args.budget_usd)
    # A run that may act holds the instance's actor lock throughout; one that only reads
    # runs beside it.
    acting = lock.acting(directory, "run") if mode in ACTING_MODES else contextlib.nullcontext()
    with acting, cycle.StopRequest() as stop:
        runner = cycle.Runner(current, target, mode, thinker, stop, rng=random.Random(args.seed),
                              budget_usd=budget)
        summary = cycle.run_cycles(runner, args.cycles, None if args.quiet or args.json else sys.stdout)
    reports = summary.reports
    failed = [r for r in reports if r.failure]
    spent = sum(r.cost_usd for r in reports)
    if args.json:
        print(json.dumps(run_summary(current, target.key, mode.value, summary), indent=2, default=str))
    elif not args.quiet:
        findings = sum(len(r.findings) for r in reports)
        forged = sum(len(r.forged) for r in reports)
        print(f"{plural(len(reports), 'cycle')}, {plural(findings, 'finding')}, "
              f"{plural(forged, 'question')} forged, ${spent:.4f}; "
              f"ledger: {directory / 'ledger.jsonl'}")
        if current.goal is None:
            print(f"note: no goal is set, so findings were judged without one "
                  f"(set it: orvane goal {directory} --set TEXT --owner NAME)")
    if summary.budget_spent:
        print(f"orvane: stopped before the next brain call: the budget of ${budget:.4f} is spent "
              f"(${spent:.4f} after {plural(len(reports), 'cycle')})", file=sys.stderr)
    if summary.interrupted:
        cause = "interrupted" if stop.signal is None else f"ended by {signal.Signals(stop.signal).name}"
        print(f"orvane: {cause} after {plural(len(reports), 'cycle')}", file=sys.stderr)
        return stop.status
    if summary.gave_up:
        raise UserError(summary.gave_up)
    if failed:
        reasons = ", ".join(sorted({r.failure for r in failed}))
        raise UserError(f"the brain failed in {len(failed)} of {len(reports)} cycles ({reasons}); "
                        "see the BRAIN_FAILURE events in the ledger")
    return 0


def run_summary(current: instance.Instance, target: str, mode: str, summary: Any) -> dict[str, Any]:
    """`orvane run --json`: the run as one document."""
    reports = summary.reports
    return {
        "instance": current.instance_id, "target": target, "mode": mode,
        "cycles": len(reports), "findings": sum(len(r.findings) for r in reports),
        "forged": [name for r in reports for name in r.forged],
        "cost_usd": round(sum(r.cost_usd for r in reports), 6),
        "interrupted": summary.interrupted, "budget_spent": summary.budget_spent,
        "gave_up": summary.gave_up,
        "failures": sum(1 for r in reports if r.failure),
        "ledger": str(current.path / "ledger.jsonl"),
        "reports": [{
            "cycle": r.number, "question": r.question, "failure": r.failure,
            "findings": [{k: f.get(k) for k in ("category", "severity", "description", "evidence")}
                         for f in r.findings],
            "forged": r.forged, "plans": r.planned, "queued": r.queued, "executed": r.executed,
            "verified": r.verified, "cost_usd": r.cost_usd, "duration_secs": r.duration_secs,
        } for r in reports],
    }


def cmd_stats(args: argparse.Namespace) -> int:
    data = tables.collect(instance.open_instance(Path(args.dir), with_goal=False))
    if args.json:
        print(json.dumps(tables.as_json(data), indent=2))
    else:
        print(tables.render(data))
    return 0


def cmd_hatch(args: argparse.Namespace) -> int:
    source, dest = Path(args.src), Path(args.dest)
    parent = instance.open_instance(source, with_goal=False)
    if dest.exists():
        raise UserError(f"{args.dest} already exists")
    # The child's owner: the one named, else the parent's. A new owner takes over the
    # goal too (a goal's owner never changes, so the child gets a fresh goal of the
    # same text); without one the parent's goal file is copied as it is.
    parent_goal = parent_goal_of(source)
    owner = args.owner or owner_of(parent.config, parent_goal)
    goal_text = args.goal or (parent_goal.get() if args.owner and parent_goal is not None else None)
    try:
        hatch.hatch(str(source), str(dest), goal_text, owner)
    except (FileExistsError, FileNotFoundError) as error:
        raise UserError(str(error)) from None
    child_config = instance.read_yaml_mapping(dest / "config.yaml")
    for key in HOST_SECTIONS:
        if key in parent.config:
            child_config[key] = parent.config[key]
    if owner:
        child_config["owner"] = owner
    instance.write_config(dest, child_config)
    child_id = child_config.get("instance_id", "unknown")
    parent.ledger.append(protocol.make_event(
        "HATCH", "host", {"child_id": child_id, "path": str(dest), "goal_changed": bool(args.goal)},
        instance_id=parent.instance_id,
        generation=instance.event_generation(parent.config.get("generation", 0))))
    print(f"hatched {child_id} at {args.dest} (generation {child_config.get('generation')}, "
          f"parent {parent.instance_id})")
    return 0


def parent_goal_of(directory: Path) -> goal.Goal | None:
    """The parent's goal, or None when it has none or its goal file cannot be read
    (hatching then copies the file as it is)."""
    try:
        return goal.Goal.load(str(directory / "goal.yaml"))
    except (OSError, ValueError, yaml.YAMLError):
        return None


def owner_of(config: dict[str, object], current: goal.Goal | None) -> str | None:
    """An instance's owner: its configuration's, else its goal's."""
    for owner in (config.get("owner"), current.owner if current is not None else None):
        if isinstance(owner, str) and owner:
            return owner
    return None


def cmd_lineage(args: argparse.Namespace) -> int:
    directory = Path(args.dir)
    instance.require_instance(directory)
    report = hatch.get_lineage(str(directory))
    if args.json:
        print(json.dumps(report, indent=2, default=str))
        return 0
    rows = [("instance", report["instance_id"]), ("generation", report["generation"]),
            ("parent", report["parent_id"] or "none (pristine)"), ("hatched at", report["hatched_at"]),
            ("seed intact", "yes" if report["seed_intact"] else "NO"),
            ("questions", report["question_population"]), ("children", len(report["children"]))]
    print("\n".join(f"{label:<12}{value}" for label, value in rows))
    for child in report["children"]:
        if isinstance(child, dict):
            print(f"  {child.get('instance_id')}  {child.get('path')}  {child.get('hatched_at')}")
    return 0


def cmd_goal(args: argparse.Namespace) -> int:
    directory = Path(args.dir)
    current = instance.open_instance(directory)
    if args.text is None:
        if args.owner:
            raise UserError("--owner goes with --set TEXT")
        if current.goal is None:
            print(f"no goal set (set it: orvane goal {directory} --set TEXT --owner NAME)")
            return 0
        shown = current.goal
        print(f"goal        {shown.get()}\nowner       {shown.owner}\nset at      {shown.updated_at}\n"
              f"history     {plural(len(shown.history), 'earlier goal')}")
        return 0
    if not args.owner:
        raise UserError("changing the goal needs --owner NAME (only the owner may change it)")
    if not args.text.strip():
        raise UserError("the goal cannot be empty")
    previous = current.goal.get() if current.goal is not None else None
    if current.goal is None:
        owner = current.config.get("owner")
        if isinstance(owner, str) and owner and owner != args.owner:
            raise UserError(f"goal change refused: {args.owner!r} is not this instance's owner")
        changed = goal.Goal(args.text.strip(), args.owner)
    else:
        changed = current.goal
        if not changed.update(args.text.strip(), args.owner):
            raise UserError(f"goal change refused: {args.owner!r} is not the owner of this goal")
    changed.save(str(directory / "goal.yaml"))
    current.ledger.append(protocol.make_event(
        "GOAL", "owner", {"goal": changed.get(), "owner": args.owner, "previous": previous},
        instance_id=current.instance_id))
    print(f"goal set by {args.owner}: {changed.get()}")
    return 0


# -- the review loop ---------------------------------------------------------------------

def severity_text(value: object) -> str:
    return f"{value:.2f}" if isinstance(value, (int, float)) and not isinstance(value, bool) else "-"


def cmd_queue(args: argparse.Namespace) -> int:
    from orvane import review

    words = list(args.words)
    if words and words[0] == "show":
        if len(words) not in (2, 3):
            raise UserError("usage: orvane queue show ID [DIR]")
        current = instance.open_instance(Path(words[2] if len(words) == 3 else DEFAULT_DIR), with_goal=False)
        item = review.find(current, words[1])
        if args.json:
            print(json.dumps(item, indent=2, default=str))
            return 0
        details = item.get("plan_payload") or {}
        rows = [("plan", item["id"]), ("queued", f"{item['queued_at']} ({item['age']} ago): {item['reason']}"),
                ("target", item["target"]), ("question", item["question"]),
                ("finding", item["description"]), ("category", item["category"]),
                ("severity", severity_text(item["severity"])), ("evidence", item["evidence"]),
                ("risk", severity_text(item["risk_score"])), ("blast radius", details.get("blast_radius", "-")),
                ("measurement", details.get("measurement") or "-")]
        print("\n".join(f"{label:<13}{value}" for label, value in rows))
        print(f"\n{item['plan']}\n\napprove: orvane approve {item['short']} {current.path}\n"
              f"reject:  orvane reject {item['short']} {current.path} --reason TEXT")
        return 0
    if len(words) > 1:
        raise UserError("usage: orvane queue [DIR] or orvane queue show ID [DIR]")
    current = instance.open_instance(Path(words[0] if words else DEFAULT_DIR), with_goal=False)
    items = review.pending(current)
    if args.json:
        print(json.dumps(items, indent=2, default=str))
        return 0
    if not items:
        print("no plan is waiting for approval")
        return 0
    for item in items:
        where = item["file"] or "-"
        print(f"{item['short']}  {item['category'][:14]:<14} {severity_text(item['severity'])}  {where[:40]:<40}  "
              f"risk {severity_text(item['risk_score'])}  {item['age']:>4}  {item['reason']}")
    print(f"{plural(len(items), 'plan')} waiting; see one: orvane queue show ID {current.path}")
    return 0


def cmd_approve(args: argparse.Namespace) -> int:
    from orvane import review

    current = instance.open_instance(Path(args.dir))
    done = review.approve(current, args.id, default_owner())
    item, outcome = done["item"], done["outcome"]
    print(f"approved plan {item['short']} ({item['category']}: {item['description']})")
    if not outcome.success:
        print(f"the action failed ({outcome.reason or 'no reason given'}); "
              f"{'rolled back' if outcome.rolled_back else 'NOT rolled back'} in {outcome.worktree}")
        return 1
    if outcome.after is None:
        print(f"the action changed nothing in {outcome.worktree}")
    else:
        print(f"committed {outcome.after[:12]} on k7/{current.instance_id} in {outcome.worktree}")
    checks = done["report"].checks
    payload = checks[-1] if checks else {}
    if payload.get("resolved"):
        print("verified: the check no longer finds it")
    else:
        found = payload.get("still_found")
        reason = payload.get("failure_reason") or (
            f"the check still finds it: {found.get('evidence') or found.get('description')}"
            if isinstance(found, dict) else "no check confirmed it")
        print(f"not verified: {reason}")
    for note in done["report"].notes:
        print(note)
    return 0


def cmd_reject(args: argparse.Namespace) -> int:
    from orvane import review

    current = instance.open_instance(Path(args.dir), with_goal=False)
    item = review.reject(current, args.id, default_owner(), args.reason)
    print(f"rejected plan {item['short']} ({item['category']}: {item['description']})")
    return 0


def cmd_branch(args: argparse.Namespace) -> int:
    from orvane import branch

    current = instance.open_instance(Path(args.dir), with_goal=False)
    target = branch.choose(current, args.target)
    recovered = branch.recover(target, current.instance_id)
    shown = branch.state(current, target, with_diff=args.diff)
    if args.json:
        print(json.dumps({**shown, "target": target.key, "recovered": recovered}, indent=2))
        return 0
    if recovered:
        print(f"the worktree {shown['worktree']} was deleted; git's stale record of it was pruned")
    if not shown["exists"]:
        print(f"no branch {shown['branch']} in {target.key} (no fix committed yet)")
        return 0
    where = shown["worktree"] + ("" if shown["worktree_exists"] else " (missing; made again by the next action)")
    print(f"branch    {shown['branch']}\nworktree  {where}\ntarget    {target.key} "
          f"(on {shown['into'] or 'a detached HEAD'})")
    if shown["worktree_dirty"]:
        print("the worktree holds uncommitted changes (an interrupted action?)")
    commits = shown["commits"]
    if not commits:
        print(f"no commits beyond {shown['into'] or 'HEAD'}: everything is merged")
        return 0
    print(f"{plural(len(commits), 'commit')} beyond {shown['into'] or 'HEAD'}:")
    for commit in commits:
        fixed = f"fixes: {commit['finding']}" if commit["finding"] else commit["subject"]
        print(f"  {commit['short']}  {fixed}")
    print(shown["diffstat"])
    if args.diff:
        print(shown["diff"], end="")
    else:
        print(f"merge: orvane merge {current.path}   the whole diff: orvane branch {current.path} --diff")
    return 0


def instance_event(current: instance.Instance, target: str, payload: dict[str, object]) -> None:
    current.ledger.append(protocol.make_event("OBSERVATION", "host", payload, target=target,
                                              instance_id=current.instance_id))


def cmd_merge(args: argparse.Namespace) -> int:
    from orvane import branch, lock

    current = instance.open_instance(Path(args.dir), with_goal=False)
    target = branch.choose(current, args.target)
    if args.patch:
        count = branch.write_patch(current, target, Path(args.patch))
        print(f"wrote {plural(count, 'commit')} of {branch.name(current)} to {args.patch} (nothing else changed; "
              f"apply with: git am {args.patch})")
        return 0
    with lock.acting(current.path, "merge"):
        merged = branch.merge(current, target)
        if merged["commit"] is None:
            print(f"nothing to merge: {branch.name(current)} has no commits beyond {merged['into']}")
            return 0
        instance_event(current, target.key, {"observation": "branch merged", "branch": branch.name(current),
                                             "into": merged["into"], "commit": merged["commit"],
                                             "commits": merged["commits"]})
    print(f"merged {plural(len(merged['commits']), 'commit')} of {branch.name(current)} into {merged['into']} "
          f"({merged['commit'][:12]})")
    return 0


def cmd_clean(args: argparse.Namespace) -> int:
    from orvane import branch, lock

    current = instance.open_instance(Path(args.dir), with_goal=False)
    target = branch.choose(current, args.target)
    with lock.acting(current.path, "clean"):
        done = branch.clean(current, target, force=args.force)
        instance_event(current, target.key, {"observation": "branch cleaned", "branch": branch.name(current),
                                             "worktree": str(branch.worktree(current)), "forced": args.force,
                                             "dropped_commits": done["unmerged"]})
    parts = [f"worktree {branch.worktree(current)}"] if done["worktree_removed"] else []
    parts += [f"branch {branch.name(current)}"] if done["branch_removed"] else []
    print(f"removed {' and '.join(parts)}" if parts else "nothing to remove")
    if done["unmerged"]:
        print(f"dropped {plural(done['unmerged'], 'unmerged commit')}")
    return 0


def cmd_checkpoints(args: argparse.Namespace) -> int:
    from orvane import review

    current = instance.open_instance(Path(args.dir), with_goal=False)
    found = review.checkpoints(current, resolved=args.all)
    if args.json:
        print(json.dumps(found, indent=2, default=str))
        return 0
    if not found:
        print("no checkpoint is pending" if not args.all else "no checkpoint")
        return 0
    for point in found:
        print(f"{point['id']}  {point['status']:<8}  due {point['due'][:19]}  {point['finding'][:70]}")
        if point["status"] == "resolved" and isinstance(point["resolution"], dict):
            print(f"    resolved {str(point['resolved_at'])[:19]}: "
                  f"{'the finding is gone' if point['resolution'].get('resolved') else 'the finding still holds'}")
    return 0


def cmd_report(args: argparse.Namespace) -> int:
    # The page's template engine loads only here.
    from orvane import report

    directory = Path(args.dir)
    output = Path(args.output) if args.output else directory / "report.html"
    written = report.write(instance.open_instance(directory), output)
    print(f"report: {written} ({written.stat().st_size / 1024:.0f} KiB)")
    if args.open:
        import webbrowser

        if not webbrowser.open(written.resolve().as_uri()):
            print(f"orvane: no web browser could be started; open {written} yourself", file=sys.stderr)
    return 0


COMMANDS = {"init": cmd_init, "run": cmd_run, "stats": cmd_stats, "hatch": cmd_hatch,
            "lineage": cmd_lineage, "goal": cmd_goal, "queue": cmd_queue, "approve": cmd_approve,
            "reject": cmd_reject, "branch": cmd_branch, "merge": cmd_merge, "clean": cmd_clean,
            "checkpoints": cmd_checkpoints, "report": cmd_report}


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except UserError as error:
        print(f"orvane: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as error:
        print("\norvane: aborted", file=sys.stderr)
        return getattr(error, "status", 130)
    except BrokenPipeError:
        # The reader went away (`orvane stats | head`): nothing left to say.
        sys.stderr.close()
        return 1
    except OSError as error:
        print(f"orvane: error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
