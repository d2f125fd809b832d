"""What an evaluation looks at: a directory, a git repository or a URL, and the text
that describes it to the brain."""

from __future__ import annotations

import os
from dataclasses import dataclass
from itertools import islice
from pathlib import Path

from orvane import capabilities, pagegrab, vcsguard
from orvane.instance import UserError
from orvane.words import SKIPPED_DIRS

LISTING_ENTRIES = 60  # bounded, so that a huge tree costs no more than a small one
LISTING_DEPTH = 2


@dataclass(frozen=True)
class Target:
    kind: str  # "url", "directory" or "repository"
    key: str  # what events record as their target: the URL, or the absolute directory path
    path: Path | None = None

    @property
    def is_repository(self) -> bool:
        return self.kind == "repository"


def resolve(text: str) -> Target:
    if pagegrab.is_url(text):
        return Target("url", text)
    path = Path(text).expanduser()
    if not path.exists():
        raise UserError(f"target {text!r} does not exist (give a directory, a git repository or an http(s) URL)")
    if not path.is_dir():
        raise UserError(f"target {text!r} is not a directory (give a directory, a git repository or an http(s) URL)")
    path = path.resolve()
    return Target("repository" if vcsguard.has_git(str(path)) else "directory", str(path), path)


def listing(root: Path) -> tuple[list[str], bool]:
    """Up to LISTING_ENTRIES entries of the top LISTING_DEPTH levels, in name order
    (directories end in "/"), and whether entries were left out."""
    shown: list[str] = []
    level = [Path()]
    for _ in range(LISTING_DEPTH):
        next_level = []
        for relative in level:
            try:
                with os.scandir(root / relative) as iterator:
                    # Reading one directory is bounded too: a huge one costs no more.
                    entries = sorted(islice(iterator, 4 * LISTING_ENTRIES), key=lambda entry: entry.name)
            except OSError:
                continue
            for entry in entries:
                if entry.name in SKIPPED_DIRS:
                    continue
                if len(shown) >= LISTING_ENTRIES:
                    return shown, True
                is_dir = entry.is_dir(follow_symlinks=False)
                shown.append(f"{(relative / entry.name).as_posix()}{'/' if is_dir else ''}")
                if is_dir:
                    next_level.append(relative / entry.name)
        level = next_level
    return shown, False


def capability_texts(source: str | None) -> list[str]:
    """The capability map's prompt texts, those that are not empty."""
    if not source:
        return []
    try:
        found = capabilities.CapabilityMap(source)
        texts = [found.format_for_prompt(), found.effector_reference(), found.measurement_reference()]
    except TypeError:
        return []  # a map file that is not an object: the map is unusable, the run goes on
    return [text for text in texts if text]


def find_capability_map(target: Target, configured: object = None) -> str | None:
    """The capability map to use: the configured path or URL; none when the
    configuration says false ("capability_map: false"); else the one auto-detection
    finds in or above a directory target. Detection searches whole trees up to the
    repository root or the home directory, which a large home makes slow: naming the
    map, or turning it off, avoids it."""
    if isinstance(configured, str) and configured:
        return configured
    if configured is False or target.path is None:
        return None
    return capabilities.auto_detect_capability_map(str(target.path))


def describe(target: Target, capability_source: str | None = None) -> str:
    """The TARGET text of the evaluation prompt. Its first line names the target so that
    a program (the offline brain) can find it again."""
    if target.kind == "url":
        text = pagegrab.describe_url(target.key)
        blocks = capability_texts(capability_source)
        return "\n\n".join([text, *blocks])
    assert target.path is not None
    lines = [f"{'Repository' if target.is_repository else 'Directory'}: {target.path}"]
    if target.is_repository:
        lines.append(f"Git branch: {vcsguard.current_branch(str(target.path)) or '(detached or none)'}")
    entries, truncated = listing(target.path)
    lines.append("Evaluate only: do not change anything in the target.")
    lines.append(f"Entries (top {LISTING_DEPTH} levels; directories end in /):")
    lines.extend(f"  {entry}" for entry in entries or ["(empty)"])
    if truncated:
        lines.append("  (more entries not shown)")
    return "\n\n".join(["\n".join(lines), *capability_texts(capability_source)])
