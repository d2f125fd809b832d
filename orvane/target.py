"""What an evaluation looks at: a directory, a git repository or a URL, and the text
that describes it to the brain."""

from __future__ import annotations

import os
from dataclasses import dataclass
from itertools import islice
from pathlib import Path

from orvane import capabilities, pagegrab, vcsguard
from orvane.instance import UserError
from orvane.words import SKIPPED_DIRS, is_instance_dir

LISTING_ENTRIES = 60  # bounded, so that a huge tree costs no more than a small one
LISTING_DEPTH = 2
MAP_NAME = "capability-map.json"
MAP_SEARCH_ENTRIES = 20000  # how much of the target's tree the map search reads at most


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
                is_dir = entry.is_dir(follow_symlinks=False)
                if is_dir and is_instance_dir(entry.path):
                    continue  # an instance inside the target is the agent's, not the target's
                if len(shown) >= LISTING_ENTRIES:
                    return shown, True
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
    configuration says false ("capability_map: false"); else the one `search_map` finds
    for a directory target."""
    if isinstance(configured, str) and configured:
        return configured
    if configured is False or target.path is None:
        return None
    return search_map(target.path)


def search_map(root: Path, home: Path | None = None) -> str | None:
    """The nearest "capability-map.json" that belongs to the target: in its own tree
    (breadth first, in name order, bounded, past tools' directories and instances),
    else in one of its ancestors up to the repository root or the home directory,
    whichever is nearer. Nothing is taken from sibling trees, nor from ancestors of a
    target outside any repository and outside the home directory (a map left in /tmp
    by anyone is no map of the target)."""
    found = map_in_tree(root)
    if found is not None:
        return found
    for ancestor in map_ancestors(root, (Path.home() if home is None else home).resolve()):
        candidate = ancestor / MAP_NAME
        if candidate.is_file():
            return str(candidate)
    return None


def map_in_tree(root: Path) -> str | None:
    level = [root]
    remaining = MAP_SEARCH_ENTRIES
    while level and remaining > 0:
        next_level = []
        for directory in level:
            try:
                with os.scandir(directory) as iterator:
                    entries = sorted(islice(iterator, remaining), key=lambda entry: entry.name)
            except OSError:
                continue
            remaining -= len(entries)
            for entry in entries:
                try:
                    if entry.name == MAP_NAME and entry.is_file():
                        return entry.path
                    if (entry.is_dir(follow_symlinks=False) and entry.name not in SKIPPED_DIRS
                            and not is_instance_dir(entry.path)):
                        next_level.append(Path(entry.path))
                except OSError:
                    continue
        level = next_level
    return None


def map_ancestors(root: Path, home: Path) -> list[Path]:
    """The ancestors a map may be taken from, nearest first: up to the first that is a
    repository root (holds ".git") or the home directory; none when neither comes."""
    if (root / ".git").exists() or root == home:
        return []
    chain = []
    for ancestor in root.parents:
        chain.append(ancestor)
        if (ancestor / ".git").exists() or ancestor == home:
            return chain
    return []


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
