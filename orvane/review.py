"""Queued plans and the decisions a person makes on them, as the ledger says.

The queue is never stored on its own: a plan is pending while the ledger holds a
"TRIAGE" event that queued it (decision "queued", its parent the plan's event) and no
later "TRIAGE" decision ("approved" or "rejected") that names the plan's event id under
"plan_event". Two processes reading the same ledger therefore always see the same queue.

Public functions (plain data, for the command and for reports):
- ``pending(instance)``: the pending plans, oldest first;
- ``decisions(instance)``: the decisions taken so far, oldest first;
- ``find(instance, ident)``: one pending plan by an id or a prefix of one;
- ``checkpoints(instance)``: the instance's temporal checkpoints and when each is due.
"""

from __future__ import annotations

import json
import re
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, NoReturn

from orvane.instance import Instance, UserError

DECISIONS = ("approved", "rejected")
PLAN_EVENTS = ("ACTION_PLAN", "ACTION_REFINE")
SHORT = 8  # characters of an event id shown as a plan's short id

# The finding's fields that a queued TRIAGE event carries, so the ledger reads on its own.
FINDING_FIELDS = ("description", "evidence", "category", "severity")


def _text(value: Any) -> str:
    return value if isinstance(value, str) else "" if value is None else str(value)


def file_named(evidence: Any) -> str:
    """The file an evidence text names ("src/app.py:12: ..." gives "src/app.py"), or ""."""
    match = re.match(r"\s*([^\s:]+)", _text(evidence))
    if not match:
        return ""
    name = match.group(1).strip("'\"`,;()")
    return name if "/" in name or "." in name else ""


def age(timestamp: Any, now: datetime | None = None) -> str:
    """How long ago an event's timestamp was: "45s", "12m", "3h", "2d"; "?" when unreadable."""
    try:
        then = datetime.fromisoformat(_text(timestamp))
        seconds = ((now or datetime.now(timezone.utc)) - then).total_seconds()
    except (TypeError, ValueError):
        return "?"
    seconds = max(0, int(seconds))
    for unit, size in (("d", 86400), ("h", 3600), ("m", 60)):
        if seconds >= size:
            return f"{seconds // size}{unit}"
    return f"{seconds}s"


def chronological(instance: Instance, event_type: str) -> list[dict[str, Any]]:
    """The events of one type, oldest first (the ledger's query gives the newest first)."""
    found = instance.statistics(lambda: instance.ledger.events(event_type=event_type))
    found.reverse()
    return found


def _by_id(instance: Instance) -> dict[str, dict[str, Any]]:
    return {e["id"]: e for e in instance.ledger.events() if isinstance(e.get("id"), str)}


def _scan(instance: Instance) -> tuple[dict[str, dict[str, Any]], dict[str, dict[str, Any]]]:
    """(queued TRIAGE events by plan event id, latest decision by plan event id)."""
    queued: dict[str, dict[str, Any]] = {}
    decided: dict[str, dict[str, Any]] = {}
    for event in chronological(instance, "TRIAGE"):
        payload = event.get("payload")
        if not isinstance(payload, dict):
            continue
        decision = payload.get("decision")
        if decision == "queued" and isinstance(event.get("parent_id"), str):
            queued.setdefault(event["parent_id"], event)
        elif decision in DECISIONS and isinstance(payload.get("plan_event"), str):
            decided[payload["plan_event"]] = event
    return queued, decided


def _item(plan_id: str, event: dict[str, Any], lookup: dict[str, dict[str, Any]] | None) -> dict[str, Any]:
    payload = event["payload"]
    finding: dict[str, Any] = {k: payload.get(k) for k in FINDING_FIELDS}
    plan_payload: dict[str, Any] = {}
    if lookup is not None:
        plan_event = lookup.get(plan_id)
        plan_payload = plan_event.get("payload", {}) if plan_event else {}
        if any(finding[k] is None for k in FINDING_FIELDS) and plan_event is not None:
            # An older queued event: the finding is the plan event's parent.
            found = lookup.get(_text(plan_event.get("parent_id")))
            source = found.get("payload", {}) if found else {}
            finding = {"description": source.get("description", plan_payload.get("finding")),
                       "evidence": source.get("evidence"), "category": source.get("finding_type"),
                       "severity": source.get("severity")}
    severity = finding.get("severity")
    return {
        "id": plan_id, "short": plan_id[:SHORT], "queued_event": event["id"],
        "queued_at": event.get("timestamp"), "age": age(event.get("timestamp")),
        "target": event.get("target"), "question": payload.get("question"),
        "description": _text(finding.get("description")), "evidence": _text(finding.get("evidence")),
        "file": file_named(finding.get("evidence")), "category": _text(finding.get("category")) or "unknown",
        "severity": severity if isinstance(severity, (int, float)) and not isinstance(severity, bool) else None,
        "plan": _text(payload.get("plan") or plan_payload.get("plan")), "risk_score": payload.get("risk_score"),
        "reason": _text(payload.get("reason")),
        "finding_event": payload.get("finding_event"),
    }


def pending(instance: Instance, *, details: bool = False) -> list[dict[str, Any]]:
    """The plans waiting for a person, oldest first. Each is a map with "id" (the plan's
    event id, which decisions name), "short" (its first 8 characters), "queued_event",
    "queued_at" and "age", "target", "question", the finding's "description",
    "evidence", "file" (the file the evidence names, or ""), "category" and "severity",
    the "plan" text, its "risk_score" and the "reason" it was queued. With ``details``
    each also gets "plan_payload": the plan event's whole payload (the plan's risk,
    blast radius and measurement)."""
    queued, decided = _scan(instance)
    waiting = [(plan_id, event) for plan_id, event in queued.items() if plan_id not in decided]
    lookup = None
    if details or any(any(k not in event["payload"] for k in FINDING_FIELDS) for _, event in waiting):
        lookup = _by_id(instance)
    items = []
    for plan_id, event in waiting:
        item = _item(plan_id, event, lookup)
        if details and lookup is not None:
            plan_event = lookup.get(plan_id)
            item["plan_payload"] = dict(plan_event.get("payload", {})) if plan_event else {}
            if item["finding_event"] is None and plan_event is not None:
                item["finding_event"] = plan_event.get("parent_id")
        items.append(item)
    return items


def decisions(instance: Instance) -> list[dict[str, Any]]:
    """The decisions taken on queued plans, oldest first: maps with "id" (the decision's
    event id), "plan_event", "decision" ("approved" or "rejected"), "by" (the person),
    "reason" (a rejection's, or "") and "timestamp"."""
    result = []
    for event in chronological(instance, "TRIAGE"):
        payload = event.get("payload")
        if isinstance(payload, dict) and payload.get("decision") in DECISIONS:
            result.append({"id": event["id"], "plan_event": payload.get("plan_event"),
                           "decision": payload["decision"], "by": payload.get("by"),
                           "reason": _text(payload.get("reason")), "timestamp": event.get("timestamp")})
    return result


def find(instance: Instance, ident: str) -> dict[str, Any]:
    """The pending plan whose plan event id (or queued event id) starts with `ident`,
    with its details; UserError when none or several match, or it was decided already."""
    ident = ident.strip().lower()
    if len(ident) < 4:
        raise UserError(f"plan id {ident!r} is too short (give at least 4 characters, as `orvane queue` shows)")
    matches = [item for item in pending(instance, details=True)
               if item["id"].startswith(ident) or item["queued_event"].startswith(ident)]
    if len(matches) > 1:
        raise UserError(f"plan id {ident!r} matches {len(matches)} queued plans; give more characters")
    if matches:
        return matches[0]
    for decision in reversed(decisions(instance)):
        if _text(decision["plan_event"]).startswith(ident):
            return _decided(decision)
    raise UserError(f"no queued plan {ident!r} (see `orvane queue`)")


def _decided(decision: dict[str, Any]) -> NoReturn:
    raise UserError(f"plan {_text(decision['plan_event'])[:SHORT]} was already {decision['decision']} by "
                    f"{decision['by']} at {decision['timestamp']}")


def decision_payload(item: dict[str, Any], decision: str, person: str, reason: str = "") -> dict[str, Any]:
    """The payload of a decision's TRIAGE event."""
    payload = {"question": item["question"], "decision": decision, "plan_event": item["id"],
               "queued_event": item["queued_event"], "by": person, "plan": item["plan"],
               "risk_score": item["risk_score"]}
    if reason:
        payload["reason"] = reason
    return payload


# -- checkpoints ------------------------------------------------------------------------

def checkpoints(instance: Instance, *, resolved: bool = False) -> list[dict[str, Any]]:
    """The temporal checkpoints on disk, the soonest due first: maps with "id", "status"
    ("pending", "matured" or "resolved"), "due" (the time it matures), "created_at",
    "finding" (the original finding's description), "question", "plan", "measurement"
    and, once resolved, "resolved_at" and "resolution". Resolved ones only when asked."""
    directory = Path(instance.path) / "checkpoints"
    now = datetime.now(timezone.utc)
    found = []
    try:
        files = sorted(directory.glob("CP-*.json"))
    except OSError:
        files = []
    for path in files:
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            continue
        if not isinstance(data, dict):
            continue
        status = _text(data.get("status")) or "pending"
        if status == "pending":
            try:
                if datetime.fromisoformat(_text(data.get("check_after"))) <= now:
                    status = "matured"
            except (TypeError, ValueError):
                pass  # no readable due time: it never matures
        if status == "resolved" and not resolved:
            continue
        held = data.get("finding")
        finding: dict[str, Any] = held if isinstance(held, dict) else {}
        found.append({"id": _text(data.get("id")) or path.stem, "status": status,
                      "due": _text(data.get("check_after")), "created_at": _text(data.get("created_at")),
                      "finding": _text(finding.get("description")), "question": finding.get("question"),
                      "plan": _text(data.get("plan_text")), "measurement": _text(data.get("measurement_hint")),
                      "resolved_at": data.get("resolved_at"), "resolution": data.get("resolution")})
    found.sort(key=lambda c: (c["due"], c["id"]))
    return found


# -- decisions --------------------------------------------------------------------------

def person() -> str:
    """Who decides: the login name."""
    import getpass

    try:
        return getpass.getuser()
    except (KeyError, OSError):
        return "unknown"


def _record(instance: Instance, item: dict[str, Any], payload: dict[str, Any]) -> dict[str, Any]:
    from orvane import protocol

    event = protocol.make_event("TRIAGE", "owner", payload, target=item["target"] if isinstance(item["target"], str)
                                else None, parent_id=item["id"], instance_id=instance.instance_id)
    instance.ledger.append(event)
    return event


def reject(instance: Instance, ident: str, by: str, reason: str = "") -> dict[str, Any]:
    """Rejects a pending plan: records its "TRIAGE" decision "rejected". Returns the plan."""
    from orvane import lock

    with lock.acting(instance.path, "reject"):
        item = find(instance, ident)
        _record(instance, item, decision_payload(item, "rejected", by, reason))
    return item


def approve(instance: Instance, ident: str, by: str) -> dict[str, Any]:
    """Carries a pending plan out as an auto run would: under the instance's actor lock,
    in its worktree, between snapshots, rolled back on failure, then verified. Records
    the "TRIAGE" decision "approved" (once the action has run), "ACTION_EXEC" below it
    and "ACTION_VERIFY" below that. A plan that cannot be carried out here (its target
    is no git repository, the brain cannot execute, no rollback point) is refused with
    UserError and stays queued. Returns {"item", "outcome", "report"}."""
    from orvane import cycle, instance as instances, lock, triage
    from orvane.target import resolve

    with lock.acting(instance.path, "approve"):
        item = find(instance, ident)
        short = item["short"]
        target_key = item["target"]
        if not isinstance(target_key, str) or not target_key:
            raise UserError(f"plan {short} names no target, so it cannot be carried out")
        target = resolve(target_key)
        if not target.is_repository:
            raise UserError(f"plan {short} cannot be carried out: its target {target.key} is not a git "
                            "repository, and is never modified")
        section = instance.brain_config()
        thinker = instances.load_brain(section)
        if not thinker.can_execute():
            raise UserError(f"plan {short} cannot be carried out: the {section.get('type', 'offline')} brain cannot "
                            "execute actions (a program with tools and can_execute: true can)")
        if not thinker.is_available():
            raise UserError(f"the brain program {section.get('binary', 'claude')!r} was not found")
        details = item.get("plan_payload") or {}
        plan = {"plan": details.get("plan", item["plan"]), "risk_score": details.get("risk_score", item["risk_score"]),
                "blast_radius": details.get("blast_radius", "local"), "measurement": details.get("measurement", ""),
                "refinement_count": details.get("refinement_count", 0)}
        finding = {"description": item["description"], "severity": item["severity"] if item["severity"] is not None
                   else 0.5, "category": item["category"], "evidence": item["evidence"],
                   "question": item["question"], "event_id": item["finding_event"]}
        with cycle.StopRequest() as stop:
            runner = cycle.Runner(instance, target, triage.ExecutionMode.AUTO, thinker, stop)
            report = cycle.CycleReport(0, str(item["question"]))
            notable: list[tuple[str, dict[str, Any]]] = []
            outcome = runner.act(plan, {"id": item["id"]}, finding, report, notable,
                                 decided=lambda: _record(instance, item, decision_payload(item, "approved", by)))
            if not outcome.executed:
                raise UserError(f"plan {short} was not carried out ({outcome.reason}); it stays queued")
            runner.notify(notable, report)
    return {"item": item, "outcome": outcome, "report": report}
