"""The "hebbian" selector: which question runs next.

Questions that fire (produce findings) wire in (are chosen more often); questions that
keep coming back empty fade; a question never run gets the same chance as the best
one. docs/architecture.md states the rule; `weight` is that rule, one question at a
time, from the record that ``Ledger.all_question_stats`` gives for it.
"""

from __future__ import annotations

import random
from collections.abc import Mapping, Sequence
from typing import Any

# Every question keeps a floor, so that a faded question can come back.
FLOOR = 0.05
# The type under which the host records a run that found nothing (payload "empty" true).
EMPTY_FINDING_TYPE = "none"


def weight(record: Mapping[str, Any]) -> float | None:
    """The weight of a question that has run, or None for one that never has."""
    runs = int(record.get("runs", 0))
    if not runs:
        return None
    empty = int(record.get("finding_types", {}).get(EMPTY_FINDING_TYPE, 0))
    productive = max(int(record.get("findings_count", 0)) - empty, 0) / runs
    reward = productive / (1.0 + productive)  # diminishing: many findings a run is not many times better
    severity = 0.5 + float(record.get("avg_severity", 0.0))
    resolved = 1.0 + float(record.get("resolution_rate", 0.0))
    fading = 1.0 + int(record.get("consecutive_empty", 0))  # each empty run in a row divides once more
    return FLOOR + reward * severity * resolved / fading


def weights(questions: Sequence[Mapping[str, Any]], stats: Mapping[str, Mapping[str, Any]]) -> list[float]:
    """One weight per question, in order; never-run questions get the best weight (1.0
    when nothing has run yet)."""
    known = [weight(stats.get(q["name"], {})) for q in questions]
    best = max((w for w in known if w is not None), default=1.0)
    return [best if w is None else w for w in known]


def select(questions: Sequence[Mapping[str, Any]], stats: Mapping[str, Mapping[str, Any]],
           rng: random.Random) -> tuple[int, float]:
    """The index of the chosen question and its weight: a draw proportional to weight."""
    if not questions:
        raise ValueError("no questions to select from")
    chances = weights(questions, stats)
    index = rng.choices(range(len(questions)), weights=chances)[0]
    return index, chances[index]
