"""`orvane stats`: the ledger's statistics as aligned tables, or as JSON."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from orvane import selector
from orvane.instance import Instance


def table(headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> str:
    """Columns padded to their widest cell; the first column left-aligned, the rest right."""
    cells = [[str(h) for h in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = []
    for row in cells:
        parts = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        lines.append("  ".join(parts).rstrip())
    return "\n".join(lines)


def collect(instance: Instance) -> dict[str, Any]:
    """Question records for the whole population (never-run questions included, with the
    empty record), the population shape and the results per execution mode."""
    questions = instance.questions()
    names = list(dict.fromkeys(q["name"] for q in questions))
    ledger = instance.ledger
    records = instance.statistics(lambda: ledger.all_question_stats(None))
    for name in names:
        records.setdefault(name, empty_record())
    generations = {q["name"]: q.get("generation", 0) for q in questions}
    return {"questions": records, "generations": generations,
            "population": instance.statistics(ledger.population_stats),
            "modes": instance.statistics(ledger.triage_effectiveness), "on_disk": names,
            "review": review_state(instance)}


def review_state(instance: Instance) -> dict[str, Any]:
    """The plans waiting for a person, and the fixes on the instance branch not yet merged
    into each repository acted on (a repository that is gone counts none)."""
    from orvane import branch, review
    from orvane.instance import UserError
    from orvane.target import resolve

    unmerged: dict[str, int] = {}
    for key in branch.targets(instance):
        try:
            target = resolve(key)
        except UserError:
            continue
        if target.is_repository:
            unmerged[key] = len(branch.unmerged(instance, target))
    return {"queue": len(review.pending(instance)), "branch": f"k7/{instance.instance_id}", "unmerged": unmerged}


def non_empty(record: dict[str, Any]) -> int:
    """A question's findings less the runs that found nothing (which the host records
    as findings with "empty" true)."""
    return int(record["findings_count"]) - int(record["finding_types"].get(selector.EMPTY_FINDING_TYPE, 0))


def most_productive(records: dict[str, dict[str, Any]]) -> str | None:
    """The question with the most non-empty findings (the first one on a tie), or None."""
    best, most = None, 0
    for name, record in records.items():
        if non_empty(record) > most:
            best, most = name, non_empty(record)
    return best


def empty_record() -> dict[str, Any]:
    return {"runs": 0, "findings_count": 0, "finding_types": {}, "avg_severity": 0.0,
            "resolution_rate": 0.0, "consecutive_productive": 0, "consecutive_empty": 0}


def render(data: dict[str, Any]) -> str:
    records: dict[str, dict[str, Any]] = data["questions"]
    generations: dict[str, Any] = data["generations"]
    def position(name: Any) -> tuple[bool, str, str]:
        generation = generations.get(name)
        return generation is None, f"{generation:>8}" if isinstance(generation, int) else str(generation), str(name)

    order = sorted(records, key=position)
    weights = dict(zip(order, selector.weights([{"name": n} for n in order], records)))
    rows = []
    for name in order:
        record = records[name]
        empty = record["finding_types"].get(selector.EMPTY_FINDING_TYPE, 0)
        streak = (f"+{record['consecutive_productive']}" if record["consecutive_productive"]
                  else f"-{record['consecutive_empty']}" if record["consecutive_empty"] else "0")
        rows.append([name, generations.get(name, "-"), record["runs"], record["findings_count"] - empty,
                     empty, f"{record['avg_severity']:.2f}", f"{record['resolution_rate']:.2f}", streak,
                     f"{weights[name]:.3f}"])
    population = data["population"]
    distribution = ", ".join(f"generation {g}: {n}" for g, n in sorted(population["generation_distribution"].items(),
                                                                        key=lambda item: str(item[0])))
    coverage = population["coverage_matrix"]
    shape = [
        ["questions on disk (seeds included)", len(data["on_disk"])],
        ["questions with findings or forged", population["total_population"]],
        ["forged, by generation", distribution or "none"],
        ["most productive (non-empty findings)", most_productive(records) or "-"],
        ["least productive", population["least_productive"] or "-"],
        ["targets covered", len({t for targets in coverage.values() for t in targets})],
    ]
    modes = [[mode, b["cycle_count"], b["findings_count"], b["actions_executed"], b["actions_verified"],
              f"{b['cost_usd']:.4f}", f"{b['duration_secs']:.2f}"] for mode, b in data["modes"].items()]
    sections = [
        "Question productivity (weight: the hebbian selector's, see docs/architecture.md)",
        table(["question", "gen", "runs", "findings", "empty", "avg sev", "resolved", "streak", "weight"], rows),
        "",
        "Population",
        "\n".join(f"{label:<38}{value}" for label, value in shape),
        "",
        "Results per execution mode",
        table(["mode", "cycles", "findings", "executed", "verified", "cost usd", "seconds"], modes)
        if modes else "(no cycle recorded yet)",
    ]
    state = data.get("review")
    if state is not None:
        lines = [f"{'plans waiting in the queue':<38}{state['queue']}"]
        lines += [f"{'unmerged fixes on ' + state['branch']:<38}{count} in {target}"
                  for target, count in state["unmerged"].items()]
        if not state["unmerged"]:
            lines.append(f"{'unmerged fixes on ' + state['branch']:<38}0 (no repository acted on)")
        sections += ["", "Review (orvane queue, orvane branch)", "\n".join(lines)]
    return "\n".join(sections)


def as_json(data: dict[str, Any]) -> dict[str, Any]:
    population = dict(data["population"])
    population["generation_distribution"] = {str(k): v for k, v in population["generation_distribution"].items()}
    population["most_productive_non_empty"] = most_productive(data["questions"])
    return {"questions": data["questions"], "population": population, "modes": data["modes"],
            "review": data.get("review")}
