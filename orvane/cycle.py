"""One evaluation cycle, step by step, and a run of several.

Every step ends with whole records: an event is one appended line, a question one file,
the run state one renamed file. A first Ctrl-C only asks the run to stop; it is honoured
at the next step boundary, so an interrupted run leaves nothing half-written.
"""

from __future__ import annotations

import random
import re
import shutil
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from types import FrameType
from typing import Any, TextIO

from orvane import brain, forge, notify, protocol, seed, temporal, triage, vcsguard
from orvane import actions, brains, processes, selector
from orvane.instance import Instance, UserError, event_generation
from orvane.words import PARTIAL_CHECK, VERIFY_HEADER, plural
from orvane.target import Target, describe, find_capability_map

# "path/to/file.py:12" in an evidence text.
LOCATION = re.compile(r"[^\s:;,()'\"]+:\d+")
# How many lines of a suggested plan the console shows under its finding.
PLAN_LINES = 8
# How many brain failures in a row end a run, and how much of the program's standard
# error a "BRAIN_FAILURE" event keeps.
FAILURES_IN_ROW = 3
STDERR_KEPT = 4000

# How far a notable event must reach to be handed to the bus, by kind.
SEVERITY_OF = {"brain failure": 0.7, "action rolled back": 0.8, "action executed": 0.6,
               "plan queued": 0.5, "plan suggested": 0.5, "question forged": 0.3, "cycle complete": 0.0}


class Interrupted(Exception):
    """The user asked the run to stop; raised at a step boundary. `report` is the cycle
    that was recorded before the stop, when the stop came after its answer."""

    report: CycleReport | None = None


class BudgetSpent(Interrupted):
    """The run's spending reached its budget; raised before the next brain call."""


class Aborted(KeyboardInterrupt):
    """The run was ended at once (a second Ctrl-C, or SIGTERM or SIGHUP after a first
    request); `status` is the exit status the command ends with."""

    def __init__(self, status: int = 130) -> None:
        super().__init__(status)
        self.status = status


class StopRequest:
    """Turns the first Ctrl-C into a request honoured between steps; a second one aborts.

    SIGTERM and SIGHUP end the run like a second Ctrl-C, without tearing a step in half:
    the programs the run started (the brain and everything it started) are killed at
    once, which ends the wait for them, and the run stops at the next step boundary,
    before anything of the cut-short step is recorded. Programs that are not the
    brain's (git) are left to finish, so that no repository is left half-changed."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self, stream: TextIO = sys.stderr) -> None:
        self.requested = False
        self.signal: int | None = None  # the signal that ended the run, other than SIGINT
        self.stream = stream
        self.previous: dict[int, Any] = {}
        self.children = processes.Children()

    def __enter__(self) -> StopRequest:
        self.children.__enter__()
        for number in self.SIGNALS:
            self.previous[number] = signal.signal(number, self.handle)
        return self

    def __exit__(self, kind: type[BaseException] | None, *exc: object) -> None:
        for number, handler in self.previous.items():
            signal.signal(number, handler)
        if kind is not None:
            self.children.end()  # no brain program outlives an aborted run
        self.children.__exit__()

    @property
    def status(self) -> int:
        """The exit status of a run that was asked to stop."""
        return 128 + (self.signal or signal.SIGINT)

    def handle(self, signum: int, frame: FrameType | None) -> None:
        if signum != signal.SIGINT:
            self.signal = signum
            self.requested = True
            self.children.end(spare=("git",))
            return
        if self.requested:
            self.children.end()
            raise Aborted(self.status)
        self.requested = True
        print("\norvane: stopping after the current step (Ctrl-C again to abort)", file=self.stream)

    def check(self) -> None:
        if self.requested:
            raise Interrupted


class Progress:
    """One self-rewriting status line on a terminal; nothing when output is not one.
    While a step runs (`working`), the line names it and keeps ticking, so that a brain
    call of minutes does not look like a hang."""

    TICK = 0.5  # seconds between two redraws during a step

    def __init__(self, total: int, stream: TextIO = sys.stderr) -> None:
        self.total = total
        self.stream = stream
        self.enabled = stream.isatty()
        self.started = time.monotonic()
        self.number, self.question, self.cost = 0, "", 0.0
        self.step = ""
        self.lock = threading.Lock()

    def show(self, number: int, question: str, cost: float) -> None:
        self.number, self.question, self.cost = number, question, cost
        self.draw()

    def draw(self) -> None:
        if self.enabled:
            elapsed = time.monotonic() - self.started
            parts = [f"cycle {self.number} of {self.total}", self.question, self.step,
                     f"{elapsed:.1f}s", f"${self.cost:.4f}"]
            with self.lock:
                self.stream.write("\r\033[K" + " · ".join(part for part in parts if part))
                self.stream.flush()

    @contextmanager
    def working(self, step: str) -> Iterator[None]:
        """Names `step` on the line, redrawn every TICK seconds until the step ends."""
        self.step = step
        self.draw()
        done = threading.Event()
        ticker = None
        if self.enabled:
            def tick() -> None:
                while not done.wait(self.TICK):
                    self.draw()
            ticker = threading.Thread(target=tick, name="orvane-progress", daemon=True)
            ticker.start()
        try:
            yield
        finally:
            done.set()
            if ticker is not None:
                ticker.join()
            self.step = ""

    def clear(self) -> None:
        if self.enabled:
            with self.lock:
                self.stream.write("\r\033[K")
                self.stream.flush()


class ReadableBrain:
    """The brain as the run asks it: an answer the brain cannot read (bytes that are not
    text, a stream line that is JSON but no object), or any other exception out of the
    brain or its parser, comes back as an unsuccessful result whose failure reason is
    the error's text, so that the cycle records it and goes on."""

    def __init__(self, inner: brain.BrainInterface) -> None:
        self.inner = inner

    def ask(self, prompt: str, **options: Any) -> brain.BrainResult:
        try:
            return self.inner.ask(prompt, **options)
        except Exception as error:
            return brain.BrainResult(success=False, failure_reason=f"unreadable answer: "
                                     f"{type(error).__name__}: {error}")

    def can_execute(self) -> bool:
        return bool(self.inner.can_execute())

    def is_available(self) -> bool:
        return bool(self.inner.is_available())

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)


class Notifiers:
    """The instance's notifiers, each on a bus of its own, so that one that fails (an
    unwritable path, a webhook that refuses or never answers) is named once and then
    skipped for the rest of the run: a dead webhook costs one time-out, not one per
    event."""

    def __init__(self, instance: Instance, stream: TextIO = sys.stderr) -> None:
        entries = instance.notifier_entries()  # read (and its mistakes named) once
        try:
            notify.NotificationBus.from_config(entries)  # the whole section checked, with its errors
        except (TypeError, ValueError) as error:
            raise UserError(f"invalid notifiers section in config.yaml: {error}") from None
        self.stream = stream
        self.entries: list[tuple[str, float, Any]] = []
        for entry in entries:
            bus = notify.NotificationBus.from_config([entry])
            if bus.notifier_count:
                self.entries.append((self.name(entry), float(entry.get("min_severity", 0.0)), bus))

    @staticmethod
    def name(entry: dict[str, Any]) -> str:
        where = entry.get("url") or entry.get("path") or ""
        return f"the {entry.get('type', '?')} notifier" + (f" ({where})" if where else "")

    def emit(self, kind: str, payload: dict[str, Any], severity: float) -> None:
        for entry in list(self.entries):
            name, threshold, bus = entry
            if severity < threshold:
                continue
            if not bus.emit(kind, payload, severity):
                self.entries.remove(entry)
                print(f"orvane: warning: {name} failed; it is skipped for the rest of the run",
                      file=self.stream)


class MeteredBrain:
    """The brain as the forge sees it: the same answers, asked in the run's working
    directory within its time limit, their cost added up, and none asked for once the
    user has asked the run to stop or the budget is spent (the forge then makes no more
    questions and its step ends at once)."""

    def __init__(self, inner: brains.Asker, stop: StopRequest,
                 exhausted: Callable[[float], bool] = lambda spent: False, working_dir: str | None = None,
                 timeout: int = 300) -> None:
        self.inner = inner
        self.stop = stop
        self.exhausted = exhausted
        self.working_dir = working_dir
        self.timeout = timeout
        self.spent = 0.0

    def ask(self, prompt: str) -> brain.BrainResult:
        if self.stop.requested:
            return brain.BrainResult(success=False, failure_reason="interrupted")
        if self.exhausted(self.spent):
            return brain.BrainResult(success=False, failure_reason="budget")
        result = self.inner.ask(prompt, working_dir=self.working_dir, timeout=self.timeout)
        self.spent += result.cost_usd
        return result


@dataclass
class CycleReport:
    number: int
    question: str
    findings: list[dict[str, Any]] = field(default_factory=list)
    forged: list[str] = field(default_factory=list)
    planned: int = 0
    queued: int = 0
    executed: int = 0
    verified: int = 0
    cost_usd: float = 0.0
    duration_secs: float = 0.0
    failure: str = ""
    partial: list[str] = field(default_factory=list)  # what the answer says it could not check
    exit_status: int | None = None  # of the brain program, when it failed
    stderr: str = ""  # the tail of its standard error, when it failed
    notes: list[str] = field(default_factory=list)  # one-time lines for the console
    checks: list[dict[str, Any]] = field(default_factory=list)  # the ACTION_VERIFY payloads


def sighting_key(question: Any, finding: dict[str, Any]) -> tuple[str, str, str]:
    """What makes two findings the same finding: its question, category and evidence."""
    return (str(question), str(finding.get("category", "")), " ".join(str(finding.get("evidence", "")).split()))


def parse_answer(output: str) -> tuple[list[dict[str, Any]], list[dict[str, Any]], dict[str, Any]]:
    parsed = seed.parse_question_output(output)
    meta = dict(parsed["meta"])
    # The parser puts "raw" first exactly when it found and read a tagged block.
    meta["block_found"] = next(iter(parsed)) == "raw"
    return parsed["findings"], parsed["gaps"], meta


def verify_prompt(finding: dict[str, Any], plan: dict[str, Any], action_output: str, question: dict[str, Any],
                  description: str, goal_text: str) -> str:
    """The verification prompt: what was found, what was done and what to measure,
    followed by the finding's own question about the target as it is now."""
    def one_line(value: Any) -> str:
        return " ".join(str(value).split())

    lines = [f"{VERIFY_HEADER}: measure whether the finding below still holds after the action taken.", "",
             f"ORIGINAL FINDING: {one_line(finding.get('description', ''))}",
             f"Category: {one_line(finding.get('category', 'unknown'))}",
             f"Evidence: {one_line(finding.get('evidence', ''))}",
             f"ACTION: {one_line(plan.get('plan', ''))}",
             f"MEASURE: {one_line(plan.get('measurement') or 'whether the original finding still holds')}",
             "Report the finding again, with its evidence as it is now, if it still holds; report no "
             "finding for it if it is gone.", ""]
    if action_output.strip():
        lines[-1:-1] = [f"ACTION OUTPUT: {one_line(action_output)[:1000]}"]
    return "\n".join(lines) + "\n" + seed.format_question_prompt(question, description, goal_text)


def same_finding(original: dict[str, Any], found: list[dict[str, Any]]) -> dict[str, Any] | None:
    """The finding of a check that is the original one again: the same category with the
    same description or the same evidence; None when the check did not find it."""
    category = str(original.get("category", ""))
    for candidate in found:
        if str(candidate.get("category", "")) != category:
            continue
        if candidate.get("description") == original.get("description") or (
                original.get("evidence") and candidate.get("evidence") == original.get("evidence")):
            return dict(candidate)
    return None


def git_toplevel(path: Path) -> Path | None:
    """The top of the work tree that holds `path`, or None."""
    import subprocess

    try:
        done = subprocess.run(["git", "rev-parse", "--show-toplevel"], cwd=str(path), capture_output=True,
                              text=True, timeout=30, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return Path(done.stdout.strip()).resolve() if done.returncode == 0 and done.stdout.strip() else None


def scratch_dir(instance: Instance) -> Path:
    """The working directory of the brain's calls outside actions: the instance's own, so
    that a program that writes where it runs writes nothing of the user's."""
    path = instance.path / "scratch"
    path.mkdir(exist_ok=True)
    return path.resolve()


def fixed_finding(execution: dict[str, Any], by_id: dict[Any, dict[str, Any]]) -> tuple[str, str, str] | None:
    """The finding an ACTION_EXEC event's plan was made for, as (question, category,
    evidence): up the parent links, through an approval (to the plan it names), the
    plan and its refinements."""
    seen: set[Any] = set()
    event: dict[str, Any] | None = execution
    while event is not None and event.get("id") not in seen:
        seen.add(event.get("id"))
        payload = event.get("payload")
        payload = payload if isinstance(payload, dict) else {}
        if event.get("type") == "FINDING":
            return (str(payload.get("question")), str(payload.get("finding_type")), str(payload.get("evidence")))
        event = by_id.get(event.get("parent_id")) or by_id.get(payload.get("plan_event"))
    return None


def recorded_fixes(events: list[Any]) -> list[tuple[tuple[str, str, str], str, str]]:
    """The fixes a ledger's events record, as (finding, commit, worktree): successful
    ACTION_EXEC events that left a commit. One whose check still found its finding
    counts too: its commit waits on the branch all the same, for its owner to judge."""
    by_id = {event.get("id"): event for event in events}
    fixes = []
    for event in events:
        payload = event.get("payload")
        if event.get("type") != "ACTION_EXEC" or not isinstance(payload, dict):
            continue
        commit, worktree = payload.get("after"), payload.get("worktree")
        if payload.get("success") is not True or not isinstance(commit, str) or not commit \
                or not isinstance(worktree, str) or not worktree:
            continue
        found = fixed_finding(event, by_id)
        if found is not None:
            fixes.append((found, commit, worktree))
    return fixes


class Runner:
    """Runs cycles of one instance against one target in one execution mode.

    Every brain call but an action's is made in the instance's scratch directory, never
    the user's, with the brain restricted to reading where it can be (orvane.brains);
    actions are carried out by `executor` in the instance's worktree (orvane.actions)."""

    def __init__(self, instance: Instance, target: Target, mode: triage.ExecutionMode,
                 brain_: brain.BrainInterface, stop: StopRequest, *, rng: random.Random | None = None,
                 budget_usd: float | None = None, console: TextIO | None = None) -> None:
        self.instance = instance
        self.target = target
        self.brain = ReadableBrain(brains.for_reading(brain_, [str(target.path)] if target.path is not None else []))
        self.executor = ReadableBrain(brains.for_action(brain_))
        self.stop = stop
        self.console = console if console is not None else sys.stderr
        self.identity: dict[str, str] | None = None  # for the host's commits, found at the first action
        # The fixes recorded on this target (see pending_fixes), read once a run and kept
        # up to date with the run's own.
        self.fixes: list[tuple[tuple[str, str, str], str, str]] | None = None
        self.rng = rng or random.Random()
        execution = instance.config.get("execution")
        execution = dict(execution) if isinstance(execution, dict) else {}
        execution["mode"] = mode.value
        try:
            self.policy = triage.Triage.from_config(execution)
        except (TypeError, ValueError) as error:
            raise UserError(f"invalid execution section in config.yaml: {error}") from None
        self.timeout = instance.timeout()
        self.budget_usd = budget_usd
        self.working_dir = str(scratch_dir(instance))
        # The forge's spending is added to the cycle's once its step ends, so its gate
        # counts what the forge spent so far on top of what was spent before it began.
        self.forge_brain = MeteredBrain(self.brain, stop, lambda spent: self.over_budget(self.forge_base + spent),
                                        self.working_dir, self.timeout)
        self.forge_base = 0.0
        self.forge = forge.Forge(self.forge_brain, instance.ledger, instance.questions_dir)
        self.spent = 0.0  # over the whole run, for the progress line
        # What the planning gate counts, read once a run (see `coverage`).
        self.passes: int | None = None
        self.covered: set[Any] | None = None
        self.progress: Progress | None = None
        self.announced = False  # the branch and worktree are named once a run
        self.seen: dict[tuple[str, str, str], tuple[int, float]] | None = None
        self.failures_in_row = 0
        self.checkpoints = temporal.TemporalManager(str(instance.path), instance.instance_id)
        self.bus = Notifiers(instance)
        self.capability_map = find_capability_map(target, instance.config.get("capability_map"))
        self.description = describe(target, self.capability_map)

    # -- recording ---------------------------------------------------------------------
    def record(self, event_type: str, source: str, payload: dict[str, Any], *,
               parent: dict[str, Any] | None = None, generation: Any = 0) -> dict[str, Any]:
        event = protocol.make_event(
            event_type, source, payload, target=self.target.key,
            parent_id=parent["id"] if parent else None,
            generation=event_generation(generation),
            instance_id=self.instance.instance_id)
        self.instance.ledger.append(event)
        return event

    # -- the cycle ---------------------------------------------------------------------
    def show(self, report: CycleReport) -> None:
        if self.progress is not None:
            self.progress.show(report.number, report.question, self.spent + report.cost_usd)

    def working(self, step: str) -> Any:
        """The progress line names `step` (selecting, asking, forging, planning, acting,
        verifying) while it runs."""
        return self.progress.working(step) if self.progress is not None else nullcontext()

    def over_budget(self, spent: float) -> bool:
        return self.budget_usd is not None and spent >= self.budget_usd

    def before_brain(self, report: CycleReport) -> None:
        """The gate in front of every brain call: a stop asked for, or a budget spent,
        ends the run here, before anything more is paid for."""
        self.stop.check()
        if self.over_budget(self.spent + report.cost_usd):
            raise BudgetSpent

    def run_cycle(self, number: int) -> CycleReport:
        started = time.monotonic()
        questions = self.instance.questions()
        if not questions:
            raise UserError(f"{self.instance.questions_dir} holds no usable question")
        names = [q["name"] for q in questions]
        if self.progress is not None:
            self.progress.show(number, "", self.spent)
        with self.working("selecting"):
            stats = self.instance.statistics(lambda: self.instance.ledger.all_question_stats(names))
            coverage = self.coverage() if self.policy.mode is not triage.ExecutionMode.OBSERVE else None
            index, weight = selector.select(questions, stats, self.rng)
        question = questions[index]
        name, generation = question["name"], question.get("generation", 0)
        report = CycleReport(number, str(name))
        self.show(report)
        self.before_brain(report)

        selection = self.record("SELECTION", "selector", {
            "question": name, "selector": "hebbian", "weight": round(weight, 4),
            "population": len(questions)}, generation=generation)
        prompt = seed.format_question_prompt(question, self.description, self.instance.goal_text)
        self.stop.children.forget_latest()
        with self.working("asking"):
            result = self.brain.ask(prompt, working_dir=self.working_dir, timeout=self.timeout, parser=parse_answer)
        if self.stop.requested and not result.success:
            raise Interrupted  # the stop cut the answer short (a signal ends the brain): no answer
        report.cost_usd += result.cost_usd
        self.show(report)
        # From here on, a stop (Ctrl-C, the budget) still records the cycle: a paid
        # answer is never thrown away.
        notable: list[tuple[str, dict[str, Any]]] = []
        try:
            self.use_answer(report, result, questions, coverage, selection, notable)
        except Interrupted as stopped:
            stopped.report = self.finish_cycle(report, selection, started, notable)
            raise
        return self.finish_cycle(report, selection, started, notable)

    def use_answer(self, report: CycleReport, result: brain.BrainResult, questions: list[dict[str, Any]],
                   coverage: dict[str, int] | None, selection: dict[str, Any],
                   notable: list[tuple[str, dict[str, Any]]]) -> None:
        """Records the answer's findings, forges, triages and surfaces checkpoints."""
        name, generation = selection["payload"]["question"], selection["generation"]
        if not result.success:
            report.failure = result.failure_reason or "the brain program failed"
            report.exit_status, report.stderr = self.stop.children.latest_failure()
            self.failures_in_row += 1
            self.record("BRAIN_FAILURE", "brain", {
                "question": name, "failure_reason": result.failure_reason,
                "output": result.output[:500], "exit_status": report.exit_status,
                "stderr": report.stderr[-STDERR_KEPT:]}, parent=selection, generation=generation)
            notable.append(("brain failure", {"question": name, "reason": report.failure}))
        else:
            self.failures_in_row = 0
            if not result.meta.get("block_found", True):
                self.record("PARSE_FABRICATION", "brain", {
                    "question": name, "reason": "the answer holds no usable tagged block",
                    "output": result.output[:500]}, parent=selection, generation=generation)
            report.findings = list(result.findings)
            report.partial = [line[len(PARTIAL_CHECK):].strip() for line in result.output.splitlines()
                              if line.startswith(PARTIAL_CHECK)]
            self.record_findings(report, name, generation, selection, notable)
            if result.gaps and self.forge.should_forge(result.findings, len(questions), gaps=result.gaps):
                self.before_brain(report)
                spent = self.forge_brain.spent
                self.forge_base = self.spent + report.cost_usd - spent
                with self.working("forging"):
                    forged = self.forge.run(result.findings, questions, self.instance.goal_text, gaps=result.gaps)
                report.forged = [q["name"] for q in forged]
                report.cost_usd += self.forge_brain.spent - spent
                notable.extend(("question forged", {"question": q["name"], "text": q["question"]}) for q in forged)
                self.stop.check()
            self.triage_findings(report, coverage, notable)
        self.surface_checkpoints(report)

    def finish_cycle(self, report: CycleReport, selection: dict[str, Any], started: float,
                     notable: list[tuple[str, dict[str, Any]]]) -> CycleReport:
        """The cycle's "CYCLE" event with its totals, and the notifications."""
        report.duration_secs = round(time.monotonic() - started, 2)
        cycle = self.record("CYCLE", "host", {
            "execution_mode": self.policy.mode.value, "findings_count": len(report.findings),
            "actions_executed": report.executed, "actions_verified": report.verified,
            "cost_usd": round(report.cost_usd, 6), "duration_secs": report.duration_secs,
            "question": selection["payload"]["question"], "cycle": report.number, "forged": report.forged,
            "plans": report.planned, "queued": report.queued, "failure_reason": report.failure,
            "capability_map": self.capability_map},
            parent=selection, generation=selection["generation"])
        if self.passes is not None:
            self.passes += 1
        notable.append(("cycle complete", dict(cycle["payload"])))
        self.notify(notable, report)
        self.spent += report.cost_usd
        return report

    def record_findings(self, report: CycleReport, name: Any, generation: Any,
                        selection: dict[str, Any], notable: list[tuple[str, dict[str, Any]]]) -> None:
        if self.covered is not None:
            self.covered.add(name)  # every branch below records a finding on this target
        if not report.findings:
            self.record("FINDING", "brain", {"question": name, "finding_type": selector.EMPTY_FINDING_TYPE,
                                             "empty": True}, parent=selection, generation=generation)
            return
        pending = self.pending_fixes()
        sightings = self.sightings()
        for finding in report.findings:
            key = sighting_key(name, finding)
            before = sightings.get(key)
            finding["seen_before"] = before[0] if before else 0
            payload = {"question": name, "finding_type": finding["category"], "severity": finding["severity"],
                       "empty": False, "description": finding["description"], "evidence": finding["evidence"]}
            if before:
                payload["seen_before"] = before[0]
            commit = pending.get((str(name), str(finding["category"]), str(finding["evidence"])))
            if commit is not None:
                payload["pending_fix"] = finding["pending_fix"] = commit
            event = self.record("FINDING", "brain", payload, parent=selection, generation=generation)
            finding["event_id"] = event["id"]
            finding["question"] = name
            # A finding is news the first time it is seen, and again when it grows worse.
            if before is None or finding["severity"] > before[1]:
                notable.append(("finding", {"question": name, **{k: finding[k] for k in
                                ("description", "severity", "category", "evidence")}}))
            sightings[key] = (finding["seen_before"] + 1, max(finding["severity"], before[1] if before else 0.0))

    def sightings(self) -> dict[tuple[str, str, str], tuple[int, float]]:
        """How often each finding (question, category, evidence) was recorded on this
        target before, with its highest severity: read from the ledger once a run, then
        kept up to date as the run records its own findings."""
        if self.seen is None:
            self.seen = {}
            for event in self.instance.ledger.events(event_type="FINDING", target=self.target.key):
                payload = event.get("payload")
                if not isinstance(payload, dict) or payload.get("empty", False):
                    continue
                key = sighting_key(payload.get("question"), {"category": payload.get("finding_type"),
                                                             "evidence": payload.get("evidence")})
                count, highest = self.seen.get(key, (0, 0.0))
                severity = payload.get("severity", 0.0)
                if isinstance(severity, bool) or not isinstance(severity, (int, float)):
                    severity = 0.0
                self.seen[key] = (count + 1, max(highest, float(severity)))
        return self.seen

    def pending_fixes(self) -> dict[tuple[str, str, str], str]:
        """The fixes committed on the instance branch that the target's checkout does not
        hold yet, by the finding they fix (question, category, evidence): a finding that
        is found again is not planned again while its fix waits. Only where plans are
        made, on a repository."""
        if self.policy.mode is triage.ExecutionMode.OBSERVE or self.target.path is None \
                or not self.target.is_repository:
            return {}
        if self.fixes is None:
            self.fixes = recorded_fixes(self.instance.ledger.events(target=self.target.key))
        unmerged: dict[str, set[str]] = {}
        pending: dict[tuple[str, str, str], str] = {}
        for found, commit, worktree in self.fixes:
            if worktree not in unmerged:
                unmerged[worktree] = (actions.unmerged_commits(worktree, self.target.path)
                                      if Path(worktree).is_dir() else set())
            if commit in unmerged[worktree]:
                pending[found] = commit
        return pending

    def coverage(self) -> dict[str, int]:
        """How broadly (questions with findings recorded on this target) and how often
        (cycles recorded on it) the instance has evaluated the target: the maturity gate
        for planning. Both are read from the ledger once a run and then kept up to date
        as the run records its own events, since reading the whole ledger each cycle
        would cost more than the rest of the cycle."""
        if self.covered is None or self.passes is None:
            matrix = self.instance.statistics(self.instance.ledger.population_stats)["coverage_matrix"]
            self.covered = {name for name, targets in matrix.items() if self.target.key in targets}
            self.passes = len(self.instance.ledger.events(event_type="CYCLE", target=self.target.key))
        return {"dimensions": len(self.covered), "passes": self.passes}

    def triage_findings(self, report: CycleReport, coverage: dict[str, int] | None,
                        notable: list[tuple[str, dict[str, Any]]]) -> None:
        """Plans, refines, executes or queues, most severe findings first, at most
        ``max_actions_per_cycle`` plans a cycle."""
        ranked = sorted(report.findings, key=lambda f: -f["severity"])
        for finding in ranked:
            if report.planned >= self.policy.max_actions_per_cycle:
                break
            if finding.get("pending_fix") or not self.policy.should_plan(finding, coverage):
                continue
            self.before_brain(report)
            plan, plan_event = self.make_plan(finding, report)
            while self.policy.should_refine(plan):
                self.before_brain(report)
                plan, plan_event = self.make_plan(finding, report, previous=(plan, plan_event))
            report.planned += 1
            if self.policy.should_execute(plan):
                self.before_brain(report)
                self.carry_out(plan, plan_event, finding, report, notable)
            elif self.policy.should_queue(plan):
                self.queue(plan, plan_event, finding, "the policy asks a human to approve it", report, notable)
            else:
                self.record("TRIAGE", "triage", {"question": finding["question"], "decision": "suggested",
                                                 "plan": plan["plan"], "risk_score": plan.get("risk_score")},
                            parent=plan_event)
                finding["plan"] = plan["plan"]
                notable.append(("plan suggested", {
                    "question": finding["question"], "severity": finding["severity"],
                    "description": finding["description"], "evidence": finding["evidence"],
                    "plan": plan["plan"], "risk_score": plan.get("risk_score")}))

    def make_plan(self, finding: dict[str, Any], report: CycleReport,
                  previous: tuple[dict[str, Any], dict[str, Any]] | None = None) -> tuple[dict[str, Any], dict[str, Any]]:
        earlier = previous[0] if previous else None
        with self.working("planning"):
            result = self.brain.ask(actions.plan_prompt(finding, self.instance.goal_text, self.target, earlier),
                                    working_dir=self.working_dir, timeout=self.timeout)
        report.cost_usd += result.cost_usd
        count = earlier["refinement_count"] + 1 if earlier else 0
        if result.success:
            plan = actions.parse_plan(result.output, count)
        else:  # no answer: an unscored plan, which is never executed
            plan = {"plan": f"(no plan: {result.failure_reason or 'the brain failed'})",
                    "refinement_count": count, "blast_radius": "local", "measurement": ""}
        event_type = "ACTION_REFINE" if previous else "ACTION_PLAN"
        event = self.record(event_type, "triage", {"question": finding["question"], **plan,
                                                   "finding": finding["description"]},
                            parent=previous[1] if previous else {"id": finding["event_id"]})
        return plan, event

    def queue(self, plan: dict[str, Any], plan_event: dict[str, Any], finding: dict[str, Any], reason: str,
              report: CycleReport, notable: list[tuple[str, dict[str, Any]]]) -> None:
        report.queued += 1
        # The finding travels with the queued plan, so that the ledger reads on its own.
        self.record("TRIAGE", "triage", {"question": finding["question"], "decision": "queued", "reason": reason,
                                         "plan": plan["plan"], "risk_score": plan.get("risk_score"),
                                         "description": finding.get("description", ""),
                                         "evidence": finding.get("evidence", ""),
                                         "category": finding.get("category", "unknown"),
                                         "severity": finding.get("severity"),
                                         "finding_event": finding.get("event_id")},
                    parent=plan_event)
        notable.append(("plan queued", {"question": finding["question"], "plan": plan["plan"], "reason": reason}))

    def say(self, line: str) -> None:
        """One line on the console, whatever the run prints otherwise."""
        print(f"orvane: {line}", file=self.console, flush=True)

    def commit_identity(self) -> dict[str, str]:
        """The identity of the host's commits in this target, found once a run; the run
        says once when it is the host's own."""
        if self.identity is None:
            assert self.target.path is not None
            self.identity = actions.commit_identity(self.target.path)
            if self.identity:
                self.say(f"git has no identity for {self.target.key}; Orvane's snapshot commits are made as "
                         f"{self.identity['GIT_AUTHOR_NAME']} <{self.identity['GIT_AUTHOR_EMAIL']}> "
                         "(your git configuration is left as it is)")
        return self.identity

    def carry_out(self, plan: dict[str, Any], plan_event: dict[str, Any], finding: dict[str, Any],
                  report: CycleReport, notable: list[tuple[str, dict[str, Any]]]) -> None:
        outcome = self.act(plan, plan_event, finding, report, notable)
        if not outcome.executed:
            self.queue(plan, plan_event, finding, outcome.reason, report, notable)

    def act(self, plan: dict[str, Any], plan_event: dict[str, Any], finding: dict[str, Any],
            report: CycleReport, notable: list[tuple[str, dict[str, Any]]],
            decided: Callable[[], dict[str, Any]] | None = None) -> actions.Outcome:
        """Carries the plan out, records "ACTION_EXEC" and, after a success, the
        verification's "ACTION_VERIFY". `decided` (an approval) is called once the action
        has run, and the event it returns becomes the execution's parent; an action that
        could not be run records nothing."""
        if self.target.path is not None and self.target.is_repository:
            from orvane import branch

            branch.recover(self.target, self.instance.instance_id)  # a worktree deleted by hand
            where = Path(vcsguard.worktree_path(self.instance.instance_id))
            if where.exists() and not branch.belongs(self.target, self.instance.instance_id):
                # One worktree path per instance: never commit one repository's fix on another's branch.
                return actions.Outcome(False, reason=f"the instance's worktree {where} belongs to another "
                                                     "repository (merge or clean it there first)")
        identity = self.commit_identity() if actions.why_not_executable(self.target, self.executor) == "" else {}
        with self.working("acting"):
            outcome = actions.execute(plan, finding, self.instance.goal_text, self.target, self.executor,
                                      self.instance.instance_id, self.timeout, identity=identity)
        if outcome.warning:
            self.say(f"[{finding['question']}] {outcome.warning}")
        if not outcome.executed:
            return outcome
        parent = decided() if decided is not None else plan_event
        report.executed += 1
        report.cost_usd += outcome.cost_usd
        execution = self.record("ACTION_EXEC", "executor", {
            "question": finding["question"], "plan": plan["plan"], "finding": finding.get("description", ""),
            "success": outcome.success, "failure_reason": outcome.reason, "worktree": outcome.worktree,
            "workdir": outcome.workdir, "before": outcome.before, "after": outcome.after,
            "rolled_back": outcome.rolled_back, "output": outcome.output[:1000]}, parent=parent)
        if not outcome.success:
            notable.append(("action rolled back", {"question": finding["question"], "plan": plan["plan"],
                                                    "rolled_back": outcome.rolled_back, "worktree": outcome.worktree}))
            return outcome
        if outcome.after is not None and not self.announced:
            self.announced = True
            report.notes.append(f"fixes are committed on the branch k7/{self.instance.instance_id} in the "
                                f"worktree {outcome.worktree} (see: orvane branch {self.instance.path})")
        # Resolved only when the finding's question, asked again in the worktree, no
        # longer finds it.
        check = self.measure(finding, plan, outcome.output, self.worktree_target(outcome.worktree), report)
        resolved = bool(check["resolved"]) and outcome.after is not None
        report.verified += resolved
        if outcome.after is not None and self.fixes is not None:
            self.fixes.append(((str(finding["question"]), str(finding["category"]), str(finding["evidence"])),
                               outcome.after, outcome.worktree))
        verified = self.record("ACTION_VERIFY", "executor", {
            "question": finding["question"], "resolved": resolved, "commit": outcome.after,
            "checked_in": check["checked_in"], "still_found": check["still_found"],
            "evidence": check["evidence"], "failure_reason": check["failure_reason"]}, parent=execution)
        report.checks.append(verified["payload"])
        notable.append(("action executed", {"question": finding["question"], "plan": plan["plan"],
                                             "commit": outcome.after, "worktree": outcome.worktree,
                                             "resolved": resolved}))
        checkpoint = actions.checkpoint(self.checkpoints, plan, {
            k: finding[k] for k in ("description", "severity", "category", "evidence", "question")},
            outcome.output)
        if checkpoint is not None:
            self.record("TEMPORAL_CHECKPOINT", "temporal", {
                "question": finding["question"], "checkpoint": checkpoint.id,
                "check_after": checkpoint.check_after}, parent=execution)
        return outcome

    def worktree_target(self, worktree: str) -> Target:
        """The worktree seen as the target: for a target inside a repository, the same
        subdirectory of the worktree."""
        root = Path(worktree)
        if self.target.path is not None:
            top, tree_top = git_toplevel(self.target.path), git_toplevel(root)
            if top is not None and tree_top is not None and (tree_top / self.target.path.relative_to(top)).is_dir():
                root = tree_top / self.target.path.relative_to(top)
        return Target("repository", str(root), root)

    def measure(self, finding: dict[str, Any], plan: dict[str, Any], action_output: str, where: Target,
                report: CycleReport) -> dict[str, Any]:
        """Asks the finding's question again about `where`, with a prompt that names the
        finding, the action and what to measure. "resolved" is True only when the
        check ran and did not find the finding again; "still_found" is the matching
        finding of the check, "evidence" the evidence of every finding it gave."""
        check: dict[str, Any] = {"resolved": False, "checked_in": where.key, "still_found": None,
                                 "evidence": [], "failure_reason": ""}
        if self.stop.requested or self.over_budget(self.spent + report.cost_usd):
            # No brain call once the run is to stop; the fix stays unconfirmed.
            check["failure_reason"] = ("not checked: the run was asked to stop" if self.stop.requested
                                       else "not checked: the run's budget is spent")
            return check
        question = self.question_named(finding.get("question"), finding.get("description", ""))
        prompt = verify_prompt(finding, plan, action_output, question, describe(where), self.instance.goal_text)
        # Like every call but an action's, in the scratch directory, reading `where`.
        checker = ReadableBrain(brains.for_reading(self.brain.inner, [str(where.path)] if where.path else []))
        with self.working("verifying"):
            result = checker.ask(prompt, working_dir=self.working_dir, timeout=self.timeout, parser=parse_answer)
        report.cost_usd += result.cost_usd
        if not result.success:
            check["failure_reason"] = result.failure_reason or "the brain failed"
            return check
        if not result.meta.get("block_found", True):
            check["failure_reason"] = "the check's answer holds no usable tagged block"
            return check
        found = list(result.findings)
        check["evidence"] = [f["evidence"] for f in found][:20]
        match = same_finding(finding, found)
        check["still_found"] = match
        check["resolved"] = match is None
        return check

    def question_named(self, name: Any, fallback: str) -> dict[str, Any]:
        for question in self.instance.questions():
            if question.get("name") == name:
                return question
        return {"name": str(name or "verification"), "question": f"Does this still hold? {fallback}"}

    def surface_checkpoints(self, report: CycleReport) -> None:
        """Matured checkpoints are measured against the target as it is now: the brain
        is asked whether the original finding still holds. A checkpoint is resolved with
        the measurement as its finding; when the finding still holds it comes back as a
        finding of its original question. A measurement that could not be made leaves
        the checkpoint pending, to be measured in a later cycle. A checkpoint belongs to
        the target its action was carried out on: a run on another target leaves it
        waiting."""
        matured = self.checkpoints.matured_checkpoints()
        if matured:
            ours = self.scheduled_here()
            matured = [checkpoint for checkpoint in matured if checkpoint.id in ours]
        for checkpoint in matured:
            self.before_brain(report)  # each measurement is a brain call
            finding = self.checkpoints.format_matured_as_finding(checkpoint)
            original = checkpoint.finding
            question = original.get("question") or report.question
            plan = {"plan": checkpoint.plan_text, "measurement": checkpoint.measurement_hint}
            check = self.measure({**original, "question": question}, plan, checkpoint.action_output,
                                 self.target, report)
            if check["failure_reason"]:
                report.notes.append(f"checkpoint {checkpoint.id} could not be measured: {check['failure_reason']}")
                continue
            if self.covered is not None:
                self.covered.add(question)
            result = check["still_found"] or {"description": f"no longer found: {original.get('description', '')}",
                                              "severity": 0.0, "category": original.get("category", "unknown"),
                                              "evidence": "; ".join(check["evidence"][:5])}
            event = self.record("FINDING", "temporal", {
                "question": question, "finding_type": finding["type"], "severity": finding["severity"],
                "empty": False, "description": finding["description"], "checkpoint": checkpoint.id,
                "evidence": result.get("evidence", ""), "resolved": check["resolved"], "measurement": result})
            if not check["resolved"]:
                report.findings.append({"description": finding["description"], "severity": finding["severity"],
                                        "category": finding["type"], "evidence": checkpoint.id,
                                        "question": question, "event_id": event["id"]})
            self.checkpoints.resolve_checkpoint(checkpoint.id, {
                "resolved": check["resolved"], "finding": result, "evidence": check["evidence"],
                "checked_in": check["checked_in"], "surfaced_as": event["id"], "cycle": report.number})

    def scheduled_here(self) -> set[Any]:
        """The checkpoints scheduled on this run's target, as the ledger records them."""
        events = self.instance.ledger.events(event_type="TEMPORAL_CHECKPOINT", target=self.target.key)
        return {event["payload"].get("checkpoint") for event in events if isinstance(event.get("payload"), dict)}

    def notify(self, notable: list[tuple[str, dict[str, Any]]], report: CycleReport) -> None:
        for kind, payload in notable:
            severity = payload.get("severity", SEVERITY_OF.get(kind, 0.0))
            try:
                severity = float(severity)
            except (TypeError, ValueError):
                severity = 0.0
            self.bus.emit(kind, payload, severity)


@dataclass
class RunSummary:
    reports: list[CycleReport]
    interrupted: bool
    budget_spent: bool = False
    gave_up: str = ""  # why the run stopped on a brain that keeps failing


def giving_up(reports: list[CycleReport]) -> str:
    """The one line that ends a run whose last FAILURES_IN_ROW cycles all failed, else ""."""
    last = reports[-FAILURES_IN_ROW:]
    if len(last) < FAILURES_IN_ROW or not all(r.failure for r in last):
        return ""
    final = last[-1]
    status = "unknown" if final.exit_status is None else str(final.exit_status)
    lines = [line.strip() for line in final.stderr.splitlines() if line.strip()][-3:]
    said = fit(" / ".join(lines), 400) if lines else "nothing on standard error"
    return (f"the brain failed {FAILURES_IN_ROW} times in a row ({final.failure}; exit status {status}): "
            f"{said}")


def run_cycles(runner: Runner, cycles: int, out: TextIO | None) -> RunSummary:
    """Runs up to `cycles` cycles, printing each one's result to `out` (None: quiet).
    Stops early, between steps, when asked to."""
    instance = runner.instance
    progress = runner.progress = Progress(cycles)
    reports: list[CycleReport] = []
    if out is not None and runner.capability_map:
        print(f"capability map: {runner.capability_map}", file=out)
    instance.write_state(status="running")

    def finished(report: CycleReport) -> None:
        reports.append(report)
        state = instance.read_state()
        count = state.get("cycle_count", 0)
        instance.write_state(cycle_count=(count if isinstance(count, int) else 0) + 1,
                             last_cycle_at=datetime.now(timezone.utc).isoformat())
        progress.clear()
        if out is not None:
            print_report(report, cycles, out)

    try:
        for number in range(1, cycles + 1):
            runner.stop.check()
            finished(runner.run_cycle(number))
            if number < cycles and (reason := giving_up(reports)):
                progress.clear()
                instance.write_state(status="idle")
                return RunSummary(reports, False, gave_up=reason)
    except Interrupted as stopped:
        # A cycle recorded before the stop counts; a spent budget ends the run as planned.
        if stopped.report is not None:
            finished(stopped.report)
        progress.clear()
        budget = isinstance(stopped, BudgetSpent)
        instance.write_state(status="idle" if budget else "interrupted")
        return RunSummary(reports, not budget, budget_spent=budget)
    except BaseException:
        progress.clear()
        instance.write_state(status="interrupted")
        raise
    instance.write_state(status="idle")
    return RunSummary(reports, False)


def where(evidence: Any) -> str:
    """The first "file:line" an evidence text names, or ""."""
    found = LOCATION.search(str(evidence or ""))
    return found.group(0) if found else ""


def flat(value: Any) -> str:
    return " ".join(str(value).split())


def fit(text: str, width: int) -> str:
    """One line cut to `width` characters, an ellipsis marking the cut."""
    return text if len(text) <= width else text[:max(width - 1, 0)] + "…"


def print_report(report: CycleReport, cycles: int, out: TextIO) -> None:
    head = f"cycle {report.number} of {cycles}: [{report.question}]"
    if report.failure:
        print(f"{head} brain failed: {report.failure}", file=out)
        return
    width = shutil.get_terminal_size().columns
    print(f"{head} {plural(len(report.findings), 'finding')}", file=out)
    for finding in sorted(report.findings, key=lambda f: -f["severity"]):
        seen = finding.get("seen_before", 0)
        again = f"seen again ({plural(seen + 1, 'time')})  " if seen else ""
        location = where(finding.get("evidence"))
        # Put before the description, which is what a narrow terminal cuts.
        pending = f"fix pending ({finding['pending_fix'][:12]})  " if finding.get("pending_fix") else ""
        print(fit(f"  {finding['severity']:.2f}  {flat(finding['category'])[:14]:<14}  {again}{pending}"
                  f"{location + '  ' if location else ''}{flat(finding['description'])}", width), file=out)
        if finding.get("plan"):
            lines = str(finding["plan"]).splitlines() or [""]
            for number, line in enumerate(lines[:PLAN_LINES]):
                print(fit(f"        {'plan: ' if number == 0 else '      '}{line.rstrip()}", width), file=out)
            if len(lines) > PLAN_LINES:
                print(f"              ({plural(len(lines) - PLAN_LINES, 'more line')} in the ledger)", file=out)
    for note in report.partial:
        print(fit(f"  note: the check was partial: {note}", width), file=out)
    if report.forged:
        print(f"  forged: {', '.join(report.forged)}", file=out)
    for note in report.notes:
        print(f"  {note}", file=out)
    if report.planned:
        print(f"  plans: {report.planned}, executed {report.executed}, verified {report.verified}, "
              f"queued {report.queued}", file=out)
    out.flush()
