"""`orvane report`: what an instance's ledger holds, as one self-contained HTML page.

The page carries its own CSS, JavaScript and data; it fetches nothing and needs no
server (its content security policy forbids any request). Everything shown is read in
one pass over the ledger (`replay`), so the page is written in about the time the
ledger takes to load. Text that came from a brain or a target reaches the page only
escaped: through the template engine's autoescaping, or inside the JSON data block,
where ``<``, ``>`` and ``&`` are written as ``\\u003c``, ``\\u003e`` and ``\\u0026`` and
the page's script puts it into the document with ``textContent``.
"""

from __future__ import annotations

import base64
import bisect
import gc
import hashlib
import heapq
import json
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime, timezone
from importlib import resources
from pathlib import Path
from typing import Any

from orvane import hatch, selector
from orvane.instance import Instance, UserError, write_atomic

# Each chart holds at most this many values; longer series are reduced to buckets.
MAX_VALUES = 2000
# The findings table holds the newest findings only, the queue its newest plans.
MAX_ROWS = 5000
QUEUE_SHOWN = 200
# Severity bands, most severe first: a band holds severities from its floor up.
BANDS = (("critical", 0.8), ("high", 0.6), ("medium", 0.4), ("low", float("-inf")))
UNRATED = "unrated"


BAND_NAMES = tuple(name for name, _ in BANDS) + (UNRATED,)


# The bands' floors from the lowest up, but the lowest band's (which has none).
FLOORS = tuple(floor for _, floor in reversed(BANDS[:-1]))


def band_index(severity: float | None) -> int:
    """The position in BAND_NAMES of a (finite) severity's band."""
    if severity is None:
        return len(BANDS)
    return len(BANDS) - 1 - bisect.bisect_right(FLOORS, severity)


def band(severity: float | None) -> str:
    return BAND_NAMES[band_index(severity)]


def number(value: Any) -> float:
    """A payload's amount (cost, duration); what is not a finite number counts as 0."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return 0.0
    try:
        amount = float(value)
    except OverflowError:  # an integer too large for a float
        return 0.0
    return amount if math.isfinite(amount) else 0.0


def severity_of(value: Any) -> float | None:
    """A severity as the statistics read it (numbers and numeric text); None when it has
    none, or one that cannot be read or is not finite."""
    if value is None:
        return None
    try:
        severity = float(value)
    except (TypeError, ValueError, OverflowError):
        return None
    return severity if math.isfinite(severity) else None


def evidence_text(value: Any) -> str:
    """Evidence as one line: a brain's text as it is, a {"file", "line"} map as file:line."""
    if isinstance(value, str):
        return value
    if value is None:
        return ""
    if isinstance(value, dict) and "file" in value:
        line = value.get("line")
        return f"{value['file']}:{line}" if line is not None else str(value["file"])
    return json.dumps(value, sort_keys=True, default=str)


# -- the one pass over the ledger ------------------------------------------------------

# Fields of a question's running record, as all_question_stats would give it so far.
SEL, FOUND, EMPTY, SEV_SUM, SEV_N, VERIFIED, PRODUCTIVE, IDLE = range(8)

# The events that continue a finding's chain (plan, decision, action, verification).
CHAINED = frozenset({"ACTION_PLAN", "ACTION_REFINE", "TRIAGE", "ACTION_EXEC", "ACTION_VERIFY",
                     "TEMPORAL_CHECKPOINT"})

# Columns of a finding row, in the order the page's script reads them.
ROW_COLUMNS = ("time", "severity", "band", "category", "question", "description", "evidence",
               "target", "seen", "action", "verification")


@dataclass
class Replay:
    """What one pass over the events found."""
    events: int = 0
    first: str | None = None
    last: str | None = None
    targets: dict[str, int] = field(default_factory=dict)
    # One entry per CYCLE event, in file order.
    cycle_time: list[str] = field(default_factory=list)
    cycle_cost: list[float] = field(default_factory=list)
    cycle_duration: list[float] = field(default_factory=list)
    # Non-empty findings per cycle, one count per band of BAND_NAMES.
    cycle_bands: list[list[int]] = field(default_factory=list)
    # Question name -> running record (see SEL..IDLE).
    records: dict[str, list[Any]] = field(default_factory=dict)
    cycles: int = 0
    # (cycle ordinal, question, its running record after that cycle) for each question a
    # cycle changed, in cycle order.
    record_changes: list[tuple[int, str, tuple[Any, ...]]] = field(default_factory=list)
    # The cycle ordinal from which a question is part of the population.
    known_from: dict[str, int] = field(default_factory=dict)
    # Forged question -> (the question whose gaps forged it, generation, gap description).
    forged: dict[str, tuple[str | None, int, str]] = field(default_factory=dict)
    # The non-empty findings, in file order: (event, severity, how many times the same
    # finding had been recorded so far), and what followed each one.
    found: list[tuple[Mapping[str, Any], float | None, int]] = field(default_factory=list)
    actions: dict[int, str] = field(default_factory=dict)
    verifications: dict[int, str] = field(default_factory=dict)
    # The repositories actions ran on (ACTION_EXEC targets), in the order first acted on.
    acted: dict[str, None] = field(default_factory=dict)

    def row(self, index: int) -> list[Any]:
        """The finding row of ROW_COLUMNS."""
        event, severity, times = self.found[index]
        payload = event["payload"]
        category = payload.get("finding_type", "unknown")
        description = payload.get("description", "")
        evidence = payload.get("evidence")
        if evidence is None:
            evidence = payload.get("checkpoint")
        target = event.get("target")
        action = self.actions.get(index, "")
        if not action and isinstance(payload.get("pending_fix"), str):
            action = f"fix {payload['pending_fix'][:8]} waits on the branch"
        verification = self.verifications.get(index, "")
        if not verification and "checkpoint" in payload and "resolved" in payload:
            verification = "measured: the fix holds" if payload["resolved"] else "measured: still found"
        return [event["timestamp"], severity, band(severity), category if isinstance(category, str) else str(category),
                payload["question"], description if isinstance(description, str) else str(description),
                evidence_text(evidence), target if isinstance(target, str) else "", times,
                action, verification]
    # Each question's weight now, for questions that have run.
    weights: dict[str, float] = field(default_factory=dict)


def record_of(state: Sequence[Any]) -> dict[str, Any]:
    """The statistics record the selector reads, from a running record."""
    runs = max(state[SEL], 1) if state[FOUND] else state[SEL]
    return {"runs": runs, "findings_count": state[FOUND],
            "finding_types": {selector.EMPTY_FINDING_TYPE: state[EMPTY]},
            "avg_severity": state[SEV_SUM] / state[SEV_N] if state[SEV_N] else 0.0,
            "resolution_rate": state[VERIFIED] / runs if runs else 0.0,
            "consecutive_productive": state[PRODUCTIVE], "consecutive_empty": state[IDLE]}


def replay(events: Sequence[Mapping[str, Any]], on_disk: Sequence[str] = ()) -> Replay:
    """One pass in file order over events as the ledger loads them (validated: "id",
    "type", "payload" and "timestamp" are there). The weights are those the hebbian
    selector computes from the ledger's statistics, brought up to date after each cycle
    for the questions the cycle touched, so the pass stays linear in the events."""
    out = Replay()
    records = out.records
    known_from = out.known_from
    for name in on_disk:
        known_from.setdefault(name, 0)
    changes = out.record_changes
    dirty: set[str] = set()
    seen: dict[tuple[Any, ...], int] = {}
    # Event id -> index of the finding row its chain began with.
    origin: dict[str, int] = {}
    found = out.found
    actions, verifications = out.actions, out.verifications
    zeros = (0,) * len(BAND_NAMES)
    bands = list(zeros)
    # band_index, inline
    bisect_right, floors, lowest, unrated = bisect.bisect_right, FLOORS, len(BANDS) - 1, len(BANDS)
    current: str | None = None  # the question of the cycle in progress, and its record
    current_entry: list[Any] = []
    cycle = 0
    cycle_time, cycle_cost, cycle_duration = out.cycle_time, out.cycle_cost, out.cycle_duration
    cycle_bands, targets, acted = out.cycle_bands, out.targets, out.acted
    chained = CHAINED

    def start(name: str) -> list[Any]:
        """A question's first record; it joins the population with the cycle in progress."""
        entry = records[name] = [0, 0, 0, 0.0, 0, 0, 0, 0]
        known_from.setdefault(name, cycle)
        return entry

    for event in events:
        kind = event["type"]
        payload = event["payload"]
        if kind == "FINDING":
            question = payload.get("question")
            if not question or not isinstance(question, str):
                continue
            if question is current:  # as a rule: found and marked when it was selected
                entry = current_entry
            else:
                entry = records.get(question) or start(question)
                dirty.add(question)
            entry[FOUND] += 1
            severity = payload.get("severity")
            if severity is not None:
                severity = severity if type(severity) is float and severity - severity == 0 \
                    else severity_of(severity)
                if severity is not None:
                    entry[SEV_SUM] += severity
                    entry[SEV_N] += 1
            if payload.get("empty"):
                entry[EMPTY] += 1
                entry[PRODUCTIVE] = 0
                entry[IDLE] += 1
                continue
            entry[IDLE] = 0
            entry[PRODUCTIVE] += 1
            evidence = payload.get("evidence")
            key = (event.get("target"), question, payload.get("finding_type", "unknown"),
                   evidence if evidence is not None else payload.get("checkpoint"))
            try:
                times = seen[key] = seen.get(key, 0) + 1
            except TypeError:  # evidence given as a map or a list
                key = key[:3] + (evidence_text(key[3]),)
                times = seen[key] = seen.get(key, 0) + 1
            bands[unrated if severity is None else lowest - bisect_right(floors, severity)] += 1
            origin[event["id"]] = len(found)
            found.append((event, severity, times))
        elif kind == "SELECTION":
            question = payload.get("question")
            if not question or not isinstance(question, str):
                continue
            current = question
            current_entry = records.get(question) or start(question)
            current_entry[SEL] += 1
            dirty.add(question)
        elif kind == "CYCLE":
            cycle += 1
            cycle_time.append(event["timestamp"])
            cost, duration = payload.get("cost_usd", 0.0), payload.get("duration_secs", 0.0)
            cost = cost if type(cost) is float and cost - cost == 0 else number(cost)
            duration = duration if type(duration) is float and duration - duration == 0 else number(duration)
            cycle_cost.append(cost)
            cycle_duration.append(duration)
            cycle_bands.append(bands)
            bands = list(zeros)
            target = event.get("target")
            if target and type(target) is str:
                targets[target] = targets.get(target, 0) + 1
            question = payload.get("question")
            forged = payload.get("forged")
            if forged and isinstance(forged, list) and question and isinstance(question, str):
                for name in forged:
                    if isinstance(name, str) and name in out.forged and out.forged[name][0] is None:
                        out.forged[name] = (question,) + out.forged[name][1:]
            # The records the cycle changed, as they stand after it; the weights are
            # computed from them only where a chart samples them (weight_chart).
            for name in dirty:
                changes.append((cycle, name, tuple(records[name])))
            dirty.clear()
            current = None
        elif kind in chained:
            parent = event.get("parent_id")
            row = origin.get(parent) if type(parent) is str else None
            if kind == "ACTION_VERIFY":
                question = payload.get("question")
                if payload.get("resolved") and question and isinstance(question, str):
                    (records.get(question) or start(question))[VERIFIED] += 1
                    dirty.add(question)
                if row is not None:
                    verifications[row] = "resolved" if payload.get("resolved") else "not resolved"
            elif kind == "TRIAGE":
                if row is not None:
                    decision = payload.get("decision")
                    actions[row] = str(decision or "triaged")
            elif kind == "ACTION_PLAN":
                if row is not None:
                    actions[row] = "planned"
            elif kind == "ACTION_EXEC":
                target = event.get("target")
                if target and type(target) is str and target not in acted:
                    acted[target] = None
                if row is not None:
                    actions[row] = "executed" if payload.get("success") else (
                        "rolled back" if payload.get("rolled_back") else "failed")
            elif kind == "TEMPORAL_CHECKPOINT" and row is not None:
                due = payload.get("check_after")
                verifications[row] = f"checkpoint {payload.get('checkpoint', '')}" + (
                    f" due {str(due)[:10]}" if due else "")
            if row is not None:
                origin[event["id"]] = row
        elif kind == "FORGE":
            question = payload.get("question")
            if not question or not isinstance(question, str):
                continue
            generation = event.get("generation", 0)
            gap = payload.get("gap_description", "")
            out.forged[question] = (current, generation if isinstance(generation, int) else 0,
                                    gap if isinstance(gap, str) else str(gap))
            known_from.setdefault(question, cycle)
    out.cycles = cycle
    for name, entry in records.items():
        value = selector.weight(record_of(entry))
        if value is not None:
            out.weights[name] = value
    out.events = len(events)
    # The period: the first and last events written, and every cycle between.
    stamps = [s for s in (events[0]["timestamp"], events[-1]["timestamp"]) if isinstance(s, str)] if events else []
    stamps += [s for s in (min(cycle_time, default=None), max(cycle_time, default=None)) if s is not None]
    out.first, out.last = (min(stamps), max(stamps)) if stamps else (None, None)
    return out


# -- series for the charts -------------------------------------------------------------

def spans(count: int, limit: int) -> list[tuple[int, int]]:
    """`count` items cut into at most `limit` consecutive, near-equal [start, end) spans."""
    if count <= 0 or limit <= 0:
        return []
    parts = min(count, limit)
    return [(i * count // parts, (i + 1) * count // parts) for i in range(parts)]


def samples(count: int, limit: int) -> list[int]:
    """At most `limit` indexes of 0..count-1, evenly spread, the first and the last included."""
    if count <= 0:
        return []
    if count <= limit:
        return list(range(count))
    if limit <= 1:
        return [count - 1]
    return sorted({round(i * (count - 1) / (limit - 1)) for i in range(limit)})


def findings_chart(play: Replay) -> dict[str, Any]:
    """Findings per cycle by severity band, summed over buckets of cycles."""
    unrated = any(counts[-1] for counts in play.cycle_bands)
    names = list(BAND_NAMES if unrated else BAND_NAMES[:-1])
    points = []
    for start, end in spans(len(play.cycle_bands), MAX_VALUES // len(names)):
        totals = [sum(column) for column in zip(*play.cycle_bands[start:end])][:len(names)]
        points.append({"from": start + 1, "to": end, "t0": play.cycle_time[start],
                       "t1": play.cycle_time[end - 1], "values": totals})
    return {"bands": names, "points": points}


def cost_chart(play: Replay) -> dict[str, Any]:
    """Cost and duration per cycle, averaged over buckets of cycles."""
    points = []
    for start, end in spans(len(play.cycle_cost), MAX_VALUES // 2):
        size = end - start
        points.append({"from": start + 1, "to": end, "t0": play.cycle_time[start],
                       "t1": play.cycle_time[end - 1],
                       "cost": round(sum(play.cycle_cost[start:end]) / size, 6),
                       "duration": round(sum(play.cycle_duration[start:end]) / size, 3)})
    return {"points": points}


def weight_chart(play: Replay) -> dict[str, Any]:
    """Each question's weight after sampled cycles: its selector weight once it has run,
    before that the best weight of those that have (what the selector gives a question
    never run), and nothing before it joined the population. Weights are computed at
    the sampled cycles only, from the records as they stood then."""
    names = [name for name, _ in sorted(play.known_from.items(), key=lambda item: (item[1], item[0]))]
    # The most weighted questions first when there are too many lines to draw.
    if len(names) * 2 > MAX_VALUES:
        final = play.weights
        names = sorted(names, key=lambda n: -final.get(n, 0.0))[:MAX_VALUES // 2]
    picks = [pick + 1 for pick in samples(play.cycles, max(2, MAX_VALUES // max(1, len(names))))]
    series: dict[str, list[float | None]] = {name: [] for name in names}
    latest: dict[str, tuple[Any, ...]] = {}
    weights: dict[str, float] = {}
    changes = play.record_changes
    position = 0
    for ordinal in picks:
        changed = set()
        while position < len(changes) and changes[position][0] <= ordinal:
            _, name, state = changes[position]
            latest[name] = state
            changed.add(name)
            position += 1
        for name in changed:
            value = selector.weight(record_of(latest[name]))
            if value is not None:
                weights[name] = value
        best = max(weights.values()) if weights else 1.0
        for name in names:
            if play.known_from[name] >= ordinal:  # joined during a later cycle
                series[name].append(None)
            else:
                series[name].append(round(weights.get(name, best), 4))
    return {"cycles": picks, "times": [play.cycle_time[ordinal - 1] for ordinal in picks],
            "series": [{"name": name, "values": series[name]} for name in names],
            "shown": len(names), "questions": len(play.known_from)}


# -- the population --------------------------------------------------------------------

def population(play: Replay, questions: Sequence[Mapping[str, Any]]) -> list[dict[str, Any]]:
    """The question tree: seeds and questions of unknown origin at the top, each forged
    question under the question whose gaps forged it."""
    on_disk = {str(q.get("name")): q for q in questions}
    names = list(dict.fromkeys([*on_disk, *play.records, *play.forged]))
    stats = {name: record_of(entry) for name, entry in play.records.items()}
    current = dict(zip(on_disk, selector.weights([{"name": n} for n in on_disk], stats)))
    nodes: dict[str, dict[str, Any]] = {}
    for name in names:
        entry = play.records.get(name)
        question = on_disk.get(name, {})
        forged = play.forged.get(name)
        generation = question.get("generation", forged[1] if forged else 0)
        weight = current.get(name)
        if weight is None and name in stats:
            weight = selector.weight(stats[name])
        nodes[name] = {
            "name": name, "generation": generation if isinstance(generation, int) else 0,
            "runs": stats[name]["runs"] if name in stats else 0,
            "findings": entry[FOUND] - entry[EMPTY] if entry else 0,
            "weight": weight, "on_disk": name in on_disk, "seed": bool(question.get("immutable")),
            "text": str(question.get("question", "")), "gap": forged[2] if forged else "",
            "children": []}
    roots = []
    for name, node in nodes.items():
        forged = play.forged.get(name)
        parent = forged[0] if forged else None
        if parent is not None and parent in nodes and not loops(play, name):
            nodes[parent]["children"].append(node)
        else:
            roots.append(node)
    roots.sort(key=lambda n: (not n["seed"], n["generation"], n["name"]))
    return roots


def loops(play: Replay, name: str) -> bool:
    """Whether following "forged under" links from `name` comes back to a question
    already passed (a ledger merged from several instances may say so)."""
    passed = {name}
    origin = play.forged.get(name)
    ancestor = origin[0] if origin else None
    while ancestor is not None:
        if ancestor in passed:
            return True
        passed.add(ancestor)
        origin = play.forged.get(ancestor)
        ancestor = origin[0] if origin else None
    return False


# -- the queue, the branch and the checkpoints -----------------------------------------

def short(value: Any, size: int = 200) -> str:
    """A text on one line, cut to `size` characters."""
    text = " ".join(str(value).split())
    return text if len(text) <= size else text[:size - 1] + "…"


def review_state(instance: Instance, acted: Iterable[str]) -> dict[str, Any]:
    """The queued plans (the newest QUEUE_SHOWN), the instance branch on each repository
    the instance acted on (`acted`, as branch.targets gives them), and every checkpoint."""
    from orvane import branch, review
    from orvane.target import resolve

    waiting = sorted(review.pending(instance), key=lambda item: str(item["queued_at"]), reverse=True)
    queue = [{"id": item["short"], "time": item["queued_at"], "question": item["question"],
              "category": item["category"], "severity": item["severity"], "finding": short(item["description"]),
              "evidence": short(item["evidence"], 120), "risk": item["risk_score"], "reason": short(item["reason"]),
              "plan": short(item["plan"], 400)} for item in waiting[:QUEUE_SHOWN]]
    branches = []
    for repository in acted:
        try:
            target = resolve(repository)
        except UserError:
            continue  # the repository is gone
        if not target.is_repository or target.path is None:
            continue
        state = branch.state(instance, target)
        if state["exists"]:
            branches.append({"target": repository, **state})
    points = [{"id": c["id"], "status": c["status"], "due": c["due"], "created": c["created_at"],
               "resolved": c["resolved_at"] or "", "plan": short(c["plan"]), "finding": short(c["finding"]),
               "measure": short(c["measurement"]), "outcome": outcome(c)}
              for c in review.checkpoints(instance, resolved=True)]
    order = {"matured": 0, "pending": 1}
    points.sort(key=lambda c: (order.get(c["status"], 2), str(c["due"])))
    return {"queue": queue, "waiting": len(waiting), "branches": branches, "checkpoints": points}


def outcome(checkpoint: Mapping[str, Any]) -> str:
    resolution = checkpoint.get("resolution")
    if checkpoint.get("status") != "resolved" or not isinstance(resolution, dict) or "resolved" not in resolution:
        return ""
    return "the fix holds" if resolution["resolved"] else "still found"


# -- the page --------------------------------------------------------------------------

# What a finding row carries into the page, at most (the page stays small at any scale).
TEXT_LIMIT = 600
EVIDENCE_LIMIT = 300


def cut(text: str, size: int) -> str:
    return text if len(text) <= size else text[:size - 1] + "…"


def table_rows(play: Replay) -> list[list[Any]]:
    """The newest MAX_ROWS findings, newest first (file order breaks ties)."""
    found = play.found
    stamps = [entry[0]["timestamp"] for entry in found]
    if all(a <= b for a, b in zip(stamps, stamps[1:])):  # as appended: already in time order
        chosen: Iterable[int] = range(len(found) - 1, max(len(found) - MAX_ROWS, 0) - 1, -1)
    else:
        chosen = heapq.nlargest(MAX_ROWS, range(len(found)), key=lambda i: (stamps[i], i))
    out = []
    for index in chosen:
        row = play.row(index)
        row[5], row[6] = cut(row[5], TEXT_LIMIT), cut(row[6], EVIDENCE_LIMIT)
        out.append(row)
    return out


def collect(instance: Instance) -> dict[str, Any]:
    """Everything the page shows."""
    questions = instance.questions()
    events = instance.ledger._load_all()
    # The loaded events live as long as the page is made and hold no garbage: the
    # collector leaves them alone, instead of walking the whole ledger again and again
    # while the pass makes its own small objects.
    gc.freeze()
    try:
        play = replay(events, [str(q.get("name")) for q in questions])
        modes = instance.statistics(instance.ledger.triage_effectiveness)
    finally:
        gc.unfreeze()
    lineage = hatch.get_lineage(str(instance.path))
    current_goal = instance.goal
    owner = current_goal.owner if current_goal is not None else instance.config.get("owner")
    targets = sorted(play.targets.items(), key=lambda item: (-item[1], item[0]))
    header = {
        "instance": instance.instance_id, "path": str(instance.path),
        "goal": current_goal.get() if current_goal is not None else None,
        "owner": str(owner) if owner else None,
        "generation": lineage.get("generation", 0), "parent": lineage.get("parent_id"),
        "targets": [{"target": t, "events": n} for t, n in targets],
        "first": play.first, "last": play.last, "events": play.events,
        "cycles": len(play.cycle_time), "cost": round(sum(play.cycle_cost), 4),
        "findings": len(play.found),
        "generated": datetime.now(timezone.utc).isoformat(timespec="seconds"),
    }
    children = [c for c in lineage.get("children") or [] if isinstance(c, dict)]
    page_data = {
        "bands": [name for name, _ in BANDS] + [UNRATED],
        "findings": findings_chart(play), "weights": weight_chart(play), "cost": cost_chart(play),
        "modes": [{"mode": str(mode), **bucket} for mode, bucket in modes.items()],
        "columns": list(ROW_COLUMNS), "rows": table_rows(play), "total": len(play.found),
        "limit": MAX_ROWS, "max_values": MAX_VALUES,
    }
    return {"header": header, "tree": population(play, questions), "children": children,
            "modes": page_data["modes"], "review": review_state(instance, play.acted), "data": page_data}


def script_json(data: Any) -> str:
    """JSON for a <script type="application/json"> block: nothing in it can end the block
    or open markup."""
    text = json.dumps(data, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def asset(name: str) -> str:
    return resources.files("orvane").joinpath("templates", name).read_text(encoding="utf-8")


def digest(text: str) -> str:
    """The content security policy's hash of an inline script or style."""
    return "sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii")


def render(content: Mapping[str, Any]) -> str:
    # Jinja2 loads with `orvane report` only, so that the other commands start quickly.
    import jinja2
    import markupsafe

    # The compiled template is kept in the template engine's own per-user cache (keyed by
    # the template's checksum, so it is never stale): compiling it is a good part of the
    # fixed cost of a page. Without a usable cache it is compiled each time.
    try:
        cache: jinja2.BytecodeCache | None = jinja2.FileSystemBytecodeCache()
    except (OSError, RuntimeError):
        cache = None
    environment = jinja2.Environment(autoescape=True, trim_blocks=True, lstrip_blocks=True,
                                     undefined=jinja2.StrictUndefined, bytecode_cache=cache,
                                     loader=jinja2.FunctionLoader(lambda name: (asset(name), None, lambda: True)))
    environment.filters["money"] = lambda v: f"{number(v):.4f}"
    environment.filters["weight"] = lambda v: "-" if v is None else f"{v:.3f}"
    environment.filters["severity"] = lambda v: "-" if severity_of(v) is None else f"{severity_of(v):.2f}"
    environment.filters["when"] = lambda v: str(v or "-").replace("T", " ")[:19]
    try:
        template = environment.get_template("report.html.j2")
    except OSError:  # the cache could not be written
        environment.bytecode_cache = None
        template = environment.get_template("report.html.j2")
    script, style = asset("report.js"), asset("report.css")
    # This package's own script and style, and the JSON escaped above, go in as they are.
    return template.render(**content, script=markupsafe.Markup(script), style=markupsafe.Markup(style),
                           script_hash=digest(script),
                           payload=markupsafe.Markup(script_json(content["data"])))


def write(instance: Instance, output: Path) -> Path:
    page = render(collect(instance))
    try:
        output.parent.mkdir(parents=True, exist_ok=True)
        write_atomic(output, page)
    except OSError as error:
        raise UserError(f"cannot write {output}: {error.strerror or error}") from None
    return output
