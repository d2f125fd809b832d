"""A ledger shaped like the host's own runs, for the report's tests and bench_report.

Each cycle is what the cycle records: a SELECTION, its FINDINGs (or one empty one), now
and then a FORGE of a new question from the cycle's gaps, in suggest, supervised and
auto mode plans with their TRIAGE, ACTION_EXEC and ACTION_VERIFY, and the CYCLE totals.
"""

from __future__ import annotations

import random
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

from collections import Counter

from orvane import instance, protocol, report, selector, temporal
from orvane.ledger import Ledger

SEEDS = ("pressure-test", "opportunity-scan")
CATEGORIES = ("missing-tests", "todo", "syntax", "secret", "broken-link", "large-file")
MODES = ("observe", "suggest", "supervised", "auto")
WORDS = ("module", "parser", "cache", "config", "handler", "docs", "ledger", "retry", "timeout",
         "schema", "index", "report", "worker", "client")


def host_events(cycles: int, *, seed: int = 3, instance_id: str = "a1b2c3d4e5f6",
                target: str = "/srv/project", start: datetime | None = None,
                hostile: str | None = None, max_population: int = 50,
                decide: float = 0.0) -> list[dict[str, Any]]:
    """The events of `cycles` cycles, in append order. With `hostile`, that text is
    the description of one finding in three and of the forge's gaps. Before each cycle,
    each queued plan in turn is decided on with the chance `decide`, until one is not."""
    rng = random.Random(seed)
    clock = start or datetime(2026, 11, 2, 8, 0, tzinfo=timezone.utc)
    population = list(SEEDS)
    generation = {name: 0 for name in population}
    events: list[dict[str, Any]] = []

    def add(kind: str, source: str, payload: dict[str, Any], parent: dict[str, Any] | None = None,
            gen: int = 0) -> dict[str, Any]:
        nonlocal clock
        clock += timedelta(seconds=rng.randint(1, 40), microseconds=rng.randint(1, 999999))
        event = protocol.make_event(kind, source, payload, target=target, instance_id=instance_id,
                                    parent_id=parent["id"] if parent else None, generation=gen)
        event["timestamp"] = clock.isoformat()
        events.append(event)
        return event

    waiting: list[dict[str, Any]] = []  # queued TRIAGE events no one has decided on yet
    for number in range(1, cycles + 1):
        # Between runs a person decides on most queued plans, as `orvane approve` and
        # `orvane reject` record it; an approved plan is carried out and checked.
        while waiting and rng.random() < decide:
            queued = waiting.pop(0)
            plan_id = queued["parent_id"]
            approved = rng.random() < 0.6
            decision = add("TRIAGE", "owner", {
                "question": queued["payload"]["question"], "decision": "approved" if approved else "rejected",
                "plan_event": plan_id, "queued_event": queued["id"], "by": "ada",
                "plan": queued["payload"]["plan"]}, {"id": plan_id})
            if approved:
                execution = add("ACTION_EXEC", "executor", {
                    "question": queued["payload"]["question"], "plan": queued["payload"]["plan"],
                    "finding": queued["payload"]["description"], "success": True, "worktree": "",
                    "rolled_back": False}, decision)
                add("ACTION_VERIFY", "executor", {"question": queued["payload"]["question"],
                                                  "resolved": rng.random() < 0.5}, execution)
        mode = MODES[(number // 7) % len(MODES)]
        question = rng.choice(population)
        gen = generation[question]
        selection = add("SELECTION", "selector", {"question": question, "selector": "hebbian",
                                                  "weight": 0.5, "population": len(population)}, gen=gen)
        count = rng.choice((0, 0, 1, 1, 2, 3))
        findings = []
        if not count:
            add("FINDING", "brain", {"question": question, "finding_type": "none", "empty": True},
                selection, gen)
        for _ in range(count):
            text = hostile if hostile is not None and rng.random() < 0.34 else \
                f"The {rng.choice(WORDS)} {rng.choice(WORDS)} lacks a check"
            finding = add("FINDING", "brain", {
                "question": question, "finding_type": rng.choice(CATEGORIES),
                "severity": round(rng.random(), 2), "empty": False, "description": text,
                "evidence": f"src/{rng.choice(WORDS)}.py:{rng.randint(1, 400)}"}, selection, gen)
            findings.append(finding)
        forged = []
        if len(population) < max_population and rng.random() < 0.15:
            name = f"{rng.choice(WORDS)}-{rng.choice(WORDS)}-{number}"
            population.append(name)
            generation[name] = max(generation.values()) + 1
            add("FORGE", "forge", {"question": name, "gap_description": hostile or "untested paths",
                                   "gap_dimension": "testing"}, gen=generation[name])
            forged.append(name)
        executed = verified = plans = queued = 0
        cost = round(rng.random() / 20, 5)
        if mode != "observe" and findings:
            finding = max(findings, key=lambda f: f["payload"]["severity"])
            plan = add("ACTION_PLAN", "triage", {"question": question, "plan": "Add the missing check",
                                                 "risk_score": round(rng.random(), 2),
                                                 "finding": finding["payload"]["description"]}, finding)
            plans = 1
            if mode == "auto" and rng.random() < 0.6:
                success = rng.random() < 0.8
                execution = add("ACTION_EXEC", "executor", {
                    "question": question, "plan": "Add the missing check", "success": success,
                    "worktree": "", "rolled_back": not success}, plan)
                executed = 1
                if success:
                    resolved = rng.random() < 0.7
                    verified = int(resolved)
                    add("ACTION_VERIFY", "executor", {"question": question, "resolved": resolved}, execution)
            elif mode == "suggest":
                add("TRIAGE", "triage", {"question": question, "decision": "suggested",
                                         "plan": "Add the missing check"}, plan)
            else:
                queued = 1
                found = finding["payload"]
                waiting.append(add("TRIAGE", "triage", {"question": question, "decision": "queued",
                                         "reason": "the policy asks a human to approve it",
                                         "plan": "Add the missing check", "risk_score": 0.4,
                                         "description": found["description"], "evidence": found["evidence"],
                                         "category": found["finding_type"], "severity": found["severity"],
                                         "finding_event": finding["id"]}, plan))
        add("CYCLE", "host", {"execution_mode": mode, "findings_count": max(count, 0),
                              "actions_executed": executed, "actions_verified": verified,
                              "cost_usd": cost, "duration_secs": round(rng.random() * 30, 2),
                              "question": question, "cycle": number, "forged": forged, "plans": plans,
                              "queued": queued, "failure_reason": ""}, selection, gen)
    return events


def events_for(total: int, **options: Any) -> list[dict[str, Any]]:
    """About `total` events: whole cycles, cut to exactly `total`."""
    cycles = max(1, total // 5)
    events = host_events(cycles, **options)
    while len(events) < total:
        cycles = cycles + max(1, (total - len(events)) // 4)
        events = host_events(cycles, **options)
    return events[:total]


def write_ledger(path: Path, events: list[dict[str, Any]]) -> Path:
    """The events as the ledger stores them, one line each."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="utf-8") as stream:
        for event in events:
            stream.write(protocol.serialize(event) + "\n")
    return path


# -- what a page made from these events must show, computed without the report ---------

def band_of(severity):
    return report.band(report.severity_of(severity))


def expected_cycles(events):
    """Per CYCLE event: the non-empty findings since the previous one, by band; the cost."""
    cycles, current = [], Counter()
    for event in events:
        payload = event["payload"]
        if event["type"] == "FINDING" and not payload.get("empty"):
            current[band_of(payload.get("severity"))] += 1
        elif event["type"] == "CYCLE":
            cycles.append((dict(current), payload["cost_usd"], payload["duration_secs"]))
            current = Counter()
    return cycles


def prefix_weights(tmp_path: Path, events, on_disk):
    """After each cycle: the weight the selector gives each question of the population,
    from the library's statistics over the ledger as it stood then."""
    path = tmp_path / "prefix.jsonl"
    known = list(on_disk)
    result = []
    for index, event in enumerate(events):
        if event["type"] in ("SELECTION", "FINDING", "FORGE"):
            name = event["payload"].get("question")
            if name not in known:
                known.append(name)
        if event["type"] != "CYCLE":
            continue
        write_ledger(path, events[:index + 1])
        stats = Ledger(path).all_question_stats(known)
        result.append(dict(zip(known, selector.weights([{"name": n} for n in known], stats))))
    return result


HOSTILE = ("</script><script>window.__pwned=1</script><img src=x onerror=\"window.__pwned=2\">"
           "<!-- & &amp; \u2028 ]]> {{ 7*7 }} ${x} '\" -->")


def make_instance(root: Path, events: list[dict], goal: str = "Every module is tested",
                  owner: str = "ada") -> instance.Instance:
    directory = root / "agent"
    instance.create(directory, goal, owner, {"type": "offline"})
    write_ledger(directory / "ledger.jsonl", events)
    return instance.open_instance(directory)


def hostile_ledger(text: str, root: Path) -> tuple[instance.Instance, list[dict]]:
    """Text in every place a brain or a target can put it: findings, evidence, question
    and category names, plans, targets, forge gaps, the goal, checkpoints."""
    events = host_events(24, seed=4, hostile=text, target=text)
    extra = protocol.make_event("FINDING", "brain", {
        "question": text, "finding_type": text, "severity": 0.9, "empty": False,
        "description": text, "evidence": text}, target=text, instance_id="a1b2c3d4e5f6")
    queued = protocol.make_event("TRIAGE", "triage", {"question": text, "decision": "queued", "reason": text,
                                                      "plan": text, "risk_score": 0.3, "description": text,
                                                      "evidence": text, "category": text, "severity": 0.9},
                                 instance_id="a1b2c3d4e5f6", parent_id=extra["id"])
    events += [extra, queued]
    current = make_instance(root, events, goal=text, owner="ada")
    temporal.TemporalManager(str(current.path)).schedule_checkpoint(
        {"description": text}, text, text, 0, text)
    return current, events
