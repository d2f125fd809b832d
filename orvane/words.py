"""The host's vocabulary: the words and names that the command, the cycle, the actions
and the offline brain must agree on. Pure Python with no imports of the extension
modules, so that the offline brain (a separate program) can use it too."""

from __future__ import annotations

import os

# The host's own tagged format for plans, and how its plan prompt begins.
PLAN_OPEN, PLAN_CLOSE = "<orvane-plan>", "</orvane-plan>"
PLAN_HEADER = "You are planning an action for Orvane"

# Directories that hold tools' state, vendored code or build output rather than the
# target's own work; ".orvane" is the agent's default instance.
SKIPPED_DIRS = frozenset({
    ".git", ".hg", ".svn", ".orvane", "node_modules", "__pycache__", ".venv", "venv",
    ".tox", ".nox", ".mypy_cache", ".pytest_cache", ".ruff_cache", ".hypothesis",
    ".idea", ".gradle", "target", "dist", "build", ".eggs",
})


# How an answer of the offline brain says that its bounded walk or reading stopped
# early; the console passes such lines on.
PARTIAL_CHECK = "Partial check: "


def plural(count: int, noun: str) -> str:
    """ "1 file", "2 files"; the noun's plural is the noun and an s."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"

# How the host's verification prompt begins: the same question asked again, to measure
# whether one finding still holds after an action.
VERIFY_HEADER = "VERIFY a finding for Orvane"

# What makes a directory an instance of the agent: it holds both of these files. An
# instance inside a target (the default .orvane, or any other) is never part of it.
INSTANCE_FILES = ("config.yaml", "ledger.jsonl")


def is_instance_dir(path: str | os.PathLike[str]) -> bool:
    return all(os.path.isfile(os.path.join(path, name)) for name in INSTANCE_FILES)
