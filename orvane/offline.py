"""The offline brain: a deterministic stand-in for a language model.

Run as ``python -m orvane.offline`` with a prompt on standard input (or as the one
argument). It answers the evaluation prompt and the forge prompt in their tagged
formats, and the host's plan prompts, by running concrete file checks on a directory
target instead of thinking: every finding it reports names the file and line that
makes it true. It needs no model, no network and no account, so that the whole
evaluation road can run on any machine. It is not a language model and does not
pretend to judge what it cannot check.

It deliberately imports nothing from the extension modules: it is a separate program
that the host starts through the generic command-line brain. What it shares with the
host (the plan tags, the skipped directories) it takes from the host's vocabulary,
``orvane.words``.
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import re
import sys
import tomllib
from collections import deque
from collections.abc import Iterable, Sequence
from itertools import islice
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

from orvane.words import (PARTIAL_CHECK, PLAN_CLOSE, PLAN_HEADER, PLAN_OPEN, SKIPPED_DIRS, VERIFY_HEADER,
                          is_instance_dir, plural)

EVAL_OPEN, EVAL_CLOSE = "<orvane-eval>", "</orvane-eval>"
FORGE_OPEN, FORGE_CLOSE = "<orvane-forge>", "</orvane-forge>"
# Files that are empty on purpose.
INTENTIONALLY_EMPTY = frozenset({
    "__init__.py", ".gitkeep", ".keep", "py.typed", ".nojekyll", ".gitignore",
    ".dockerignore", "__init__.pyi",
})
SOURCE_SUFFIXES = frozenset({
    ".py", ".js", ".mjs", ".cjs", ".ts", ".tsx", ".jsx", ".go", ".rs", ".java", ".kt",
    ".c", ".cc", ".cpp", ".cxx", ".h", ".hpp", ".rb", ".php", ".cs", ".swift", ".scala",
    ".m", ".lua", ".pl", ".ex", ".exs", ".hs", ".ml", ".clj", ".dart", ".zig", ".sh",
})
TEST_DIR_NAMES = frozenset({"test", "tests", "spec", "specs", "__tests__", "testing", "t"})
TEST_FILE = re.compile(
    r"^(test_.*\.py|.*_test\.(py|go|rb|exs|cpp|cc|c)|.*\.(test|spec)\.[cm]?[jt]sx?"
    r"|.*Tests?\.(java|kt|cs|swift|scala)|.*_spec\.rb|test.*\.sh)$")
INLINE_TEST = re.compile(r"#\[(cfg\(test\)|test)\]")
JSON_SUFFIXES = frozenset({".json", ".ipynb", ".geojson", ".webmanifest"})
JSON_LINES_SUFFIXES = frozenset({".jsonl", ".ndjson"})
YAML_SUFFIXES = frozenset({".yaml", ".yml"})
# Files read as JSON with comments by their tools: strict JSON would misjudge them.
JSONC_NAMES = re.compile(r"^(tsconfig.*|jsconfig.*|devcontainer|\.?eslintrc.*|settings"
                         r"|launch|tasks|extensions|keybindings)\.json$")
LICENSE_NAMES = re.compile(r"^(licen[cs]e|copying|unlicense)(\..*)?$", re.IGNORECASE)
CI_PATHS = (".github/workflows", ".gitlab-ci.yml", ".circleci", "Jenkinsfile", ".travis.yml",
            "azure-pipelines.yml", ".ci", "bitbucket-pipelines.yml", ".woodpecker.yml")

MARKER = re.compile(r"\b(TODO|FIXME|XXX|HACK)\b")
DEFECT_MARKERS = frozenset({"FIXME", "XXX", "HACK"})
# Each pattern begins with a literal, which the regular expression engine finds fast.
SECRET_PATTERNS: tuple[tuple[str, re.Pattern[str], float], ...] = (
    ("private key block", re.compile(r"-----BEGIN (?:[A-Z0-9]+ )*PRIVATE KEY-----"), 0.9),
    ("AWS access key id", re.compile(r"(?:AKIA|ASIA)[0-9A-Z]{16}\b"), 0.85),
    ("GitHub token", re.compile(r"(?:gh[pousr]_[A-Za-z0-9]{36,}|github_pat_[A-Za-z0-9_]{40,})\b"), 0.85),
    ("Slack token", re.compile(r"xox[abposr]-[A-Za-z0-9-]{10,}\b"), 0.8),
    ("Google API key", re.compile(r"AIza[0-9A-Za-z_\-]{35}\b"), 0.8),
    ("Stripe live key", re.compile(r"[rs]k_live_[0-9A-Za-z]{16,}\b"), 0.85),
)
# A credential assignment is found from its quoted value, then its name is checked just
# before it: searching for the names case-insensitively everywhere would be far slower.
CREDENTIAL_VALUE = re.compile(r"[:=]\s*['\"]([^'\"\s]{8,})['\"]")
CREDENTIAL_NAME = re.compile(r"(?i)\b(password|passwd|pwd|secret|api[_-]?key|access[_-]?token"
                             r"|auth[_-]?token|client[_-]?secret)['\"]?\s*$")
CREDENTIAL_SEVERITY = 0.6
# Every pattern that can start a secret, for the one search over a file's text.
SECRET_SEARCH = tuple(pattern for _, pattern, _ in SECRET_PATTERNS) + (CREDENTIAL_VALUE,)
MAX_SECRET_FILES = 10
# Values that are plainly placeholders, not credentials.
PLACEHOLDER = re.compile(r"(?i)(\$\{|\{\{|<|example|changeme|change_me|placeholder|dummy"
                         r"|your[_-]|xxxx|\*\*\*|redacted|secret_here|test|fake)")

DIMENSIONS = ("documentation", "testing", "markers", "syntax", "size", "secrets", "links", "hygiene")
KEYWORDS: dict[str, tuple[str, ...]] = {
    "documentation": ("readme", "document", "docs", "explain", "onboard"),
    "testing": ("test", "coverage", "verif"),
    "markers": ("todo", "fixme", "marker", "unfinished", "hack", "leftover"),
    "syntax": ("parse", "syntax", "malformed", "json", "yaml", "toml", "corrupt", "structured"),
    "size": ("size", "large", "empty", "bloat", "huge", "oversized"),
    "secrets": ("secret", "credential", "password", "token", "leak"),
    "links": ("symlink", "symbolic", "dangling", "link"),
    "hygiene": ("license", "licence", "gitignore", "continuous", "hygiene", "automation"),
}
# The seeds are broad; each maps to the checks that answer it without a model.
SEED_DIMENSIONS = {
    "pressure-test": ("documentation", "testing", "markers"),
    "opportunity-scan": ("hygiene", "testing"),
}
# The question the forge proposes for a gap in each dimension.
FORGED = {
    "documentation": ("Does the target explain itself with a non-empty README at its top level?",
                      "Look for a README at the top level and check that it is not empty."),
    "testing": ("Does the source code of the target come with tests?",
                "Count source files and look for test files and test directories."),
    "markers": ("Where does the target carry TODO, FIXME, XXX or HACK markers of unfinished work?",
                "Search text files for the markers and name each file and line."),
    "syntax": ("Which structured data files (JSON, YAML, TOML) in the target fail to parse?",
               "Parse every JSON, JSON Lines, YAML and TOML file and report the first error "
               "of each with its line."),
    "size": ("Which files in the target are empty or unusually large?",
             "List files of zero bytes (beyond conventional markers) and files of several "
             "megabytes."),
    "secrets": ("Which files in the target hold strings that look like credentials or private keys?",
                "Search text files for key formats and credential assignments; never repeat "
                "the value itself."),
    "links": ("Which symbolic links in the target point to nothing?",
              "Check every symbolic link and name the ones whose destination is missing."),
    "hygiene": ("Does the target carry a license, an ignore file and automated checks?",
                "Look for a license file, a .gitignore in a repository and a continuous "
                "integration configuration."),
}

LARGE_FILE_BYTES = 5 * 1024 * 1024
CONTENT_READ_BYTES = 512 * 1024  # per file, for markers and secrets
PARSE_READ_BYTES = 2 * 1024 * 1024  # per structured file
YAML_PARSE_BYTES = 512 * 1024  # PyYAML is slow; larger YAML files are left out
EVIDENCE_ITEMS = 8
MAX_GAPS = 3


@dataclass(frozen=True)
class Limits:
    """Bounds that keep one answer fast on a large tree."""
    max_entries: int = 5000
    max_read_bytes: int = 16 * 1024 * 1024


@dataclass
class Finding:
    description: str
    severity: float
    category: str
    evidence: str

    def as_dict(self) -> dict[str, Any]:
        return {"description": self.description, "severity": round(self.severity, 2),
                "category": self.category, "evidence": self.evidence}


@dataclass
class Tree:
    """What one bounded walk saw of a directory."""
    root: Path
    files: list[str] = field(default_factory=list)  # regular files, relative, walk order
    sizes: dict[str, int] = field(default_factory=dict)
    dirs: list[str] = field(default_factory=list)
    symlinks: list[str] = field(default_factory=list)
    skipped_dirs: set[str] = field(default_factory=set)
    complete: bool = True  # False when the entry bound stopped the walk
    unreadable: list[str] = field(default_factory=list)
    bytes_read: int = 0
    partial: bool = False  # some file was read only in part, or not at all, for the budget
    texts: dict[str, str | None] = field(default_factory=dict)  # file heads already read
    instances: list[str] = field(default_factory=list)  # instance directories left out

    def top_level(self) -> list[str]:
        """The names at the top, less the agent's instance directories."""
        try:
            names = os.listdir(self.root)
        except OSError:
            return []
        return sorted(name for name in names if name != ".orvane" and name not in self.instances)

    def read_text(self, rel: str, limit: int, budget: int) -> str | None:
        """The file's first `limit` bytes as text, or None for binary, unreadable or
        over-budget files."""
        if rel in self.texts:
            return self.texts[rel]
        allowed = min(limit, budget - self.bytes_read)
        if allowed <= 0:
            self.partial = True
            return None
        text = None
        try:
            with open(self.root / rel, "rb") as handle:
                data = handle.read(min(allowed, 8192))
                if b"\0" not in data:  # binary files cost only their first block
                    data += handle.read(allowed - len(data))
                    text = data.decode("utf-8", "replace")
        except OSError:
            self.unreadable.append(rel)
            return None
        self.bytes_read += len(data)
        if text is not None and self.sizes.get(rel, 0) > len(data):
            self.partial = True
        self.texts[rel] = text
        return text


def walk(root: Path, limits: Limits) -> Tree:
    """A breadth-first walk in name order that does not follow directory links and stops
    after `limits.max_entries` entries."""
    tree = Tree(root)
    queue: deque[str] = deque([""])
    remaining = limits.max_entries
    while queue:
        rel_dir = queue.popleft()
        try:
            with os.scandir(root / rel_dir) as iterator:
                # One entry past the bound tells that the walk is cut short.
                entries = sorted(islice(iterator, remaining + 1), key=lambda entry: entry.name)
        except OSError:
            tree.unreadable.append(rel_dir or ".")
            continue
        for entry in entries:
            if remaining <= 0:
                tree.complete = False
                return tree
            remaining -= 1
            rel = f"{rel_dir}/{entry.name}" if rel_dir else entry.name
            try:
                if entry.is_symlink():
                    tree.symlinks.append(rel)
                elif entry.is_dir():
                    if entry.name in SKIPPED_DIRS:
                        tree.skipped_dirs.add(entry.name)
                    elif is_instance_dir(entry.path):
                        tree.instances.append(rel)  # the agent's own, not the target's
                    else:
                        tree.dirs.append(rel)
                        queue.append(rel)
                elif entry.is_file():
                    tree.files.append(rel)
                    tree.sizes[rel] = entry.stat().st_size
            except OSError:
                tree.unreadable.append(rel)
    return tree


def listing(items: Sequence[str], more: int = 0) -> str:
    """A short list of evidence items, with how many were left out."""
    shown = list(items[:EVIDENCE_ITEMS])
    rest = len(items) - len(shown) + more
    return "; ".join(shown) + (f"; and {rest} more" if rest > 0 else "")


def human_size(size: int) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size} {unit}" if unit == "bytes" else f"{size:.1f} {unit}"
        size /= 1024  # type: ignore[assignment]
    return str(size)


class Inspector:
    """The checks, one method per dimension, each returning findings that name their
    evidence. A negative claim ("no tests") is made only after a complete walk."""

    def __init__(self, tree: Tree, limits: Limits) -> None:
        self.tree = tree
        self.limits = limits

    # -- what the tree holds, for gaps and for the checks --------------------------
    @functools.cached_property
    def source_files(self) -> list[str]:
        """Computed once: the walk is over, and gaps and checks each ask for it."""
        return [f for f in self.tree.files if Path(f).suffix in SOURCE_SUFFIXES]

    def structured_files(self) -> list[str]:
        suffixes = JSON_SUFFIXES | JSON_LINES_SUFFIXES | YAML_SUFFIXES | {".toml"}
        return [f for f in self.tree.files if Path(f).suffix.lower() in suffixes]

    def text(self, rel: str, limit: int = CONTENT_READ_BYTES) -> str | None:
        return self.tree.read_text(rel, limit, self.limits.max_read_bytes)

    def material(self, dimension: str) -> str:
        """What the target holds that a check of `dimension` would look at, in words for
        a gap; "" when there is nothing to check."""
        files = len(self.tree.files)
        if dimension == "documentation":
            return "The top level of the target was not checked for a README."
        if dimension in ("testing", "hygiene") and (sources := len(self.source_files)):
            what = "tests" if dimension == "testing" else "a license, an ignore file and automation"
            return f"{plural(sources, 'source file')} not checked for {what}."
        if dimension == "markers" and files:
            return f"{plural(files, 'file')} not searched for TODO or FIXME markers."
        if dimension == "syntax" and (count := len(self.structured_files())):
            return f"{plural(count, 'structured data file')} (JSON, YAML, TOML) not checked for syntax."
        if dimension == "size" and files:
            largest = max(self.tree.files, key=lambda f: self.tree.sizes[f])
            return (f"The sizes of {plural(files, 'file')} (largest: {largest}, "
                    f"{human_size(self.tree.sizes[largest])}) not reviewed.")
        if dimension == "secrets" and files:
            return f"{plural(files, 'file')} not searched for credential-looking strings."
        if dimension == "links" and self.tree.symlinks:
            return f"{plural(len(self.tree.symlinks), 'symbolic link')} not checked for a destination."
        return ""

    def run(self, dimension: str) -> list[Finding]:
        checks = {"documentation": self.check_documentation, "testing": self.check_testing,
                  "markers": self.check_markers, "syntax": self.check_syntax, "size": self.check_size,
                  "secrets": self.check_secrets, "links": self.check_links, "hygiene": self.check_hygiene}
        return checks[dimension]()

    # -- checks ---------------------------------------------------------------------
    def check_documentation(self) -> list[Finding]:
        top = self.tree.top_level()
        readmes = [name for name in top if name.lower().startswith("readme")
                   and (self.tree.root / name).is_file()]
        if not readmes:
            return [Finding("The target has no README file at its top level.", 0.5, "documentation",
                            "top-level entries: " + listing(top) if top else "the directory is empty")]
        findings = []
        for name in readmes:
            text = self.text(name)
            if text is not None and not text.strip():
                findings.append(Finding(f"The README file {name} is empty.", 0.45, "documentation",
                                        f"{name}: {self.tree.sizes.get(name, 0)} bytes, no text"))
        return findings

    def check_testing(self) -> list[Finding]:
        sources = self.source_files
        if not sources or not self.tree.complete:
            return []
        if any(Path(d).name.lower() in TEST_DIR_NAMES for d in self.tree.dirs):
            return []
        if any(TEST_FILE.match(Path(f).name) for f in self.tree.files):
            return []
        for rel in sources:
            if rel.endswith(".rs") and (text := self.text(rel)) and INLINE_TEST.search(text):
                return []
        return [Finding(
            f"The target has {plural(len(sources), 'source file')} and no tests.", 0.6, "testing",
            "source files: " + listing(sources) + ". No test directory (tests/, test/, spec/, "
            "__tests__/) and no test file (test_*.py, *_test.*, *.test.*, *.spec.*) was found.")]

    def at_least(self) -> str:
        """The qualifier a count needs when not everything could be read."""
        return "at least " if self.tree.partial or not self.tree.complete else ""

    def check_markers(self) -> list[Finding]:
        hits: dict[str, list[str]] = {"defect": [], "todo": []}
        files: dict[str, set[str]] = {"defect": set(), "todo": set()}
        for rel in self.tree.files:
            text = self.text(rel)
            if not text:
                continue
            for number, line in lines_matching(text, [MARKER]):
                match = MARKER.search(line)
                kind = "defect" if match and match.group(1) in DEFECT_MARKERS else "todo"
                hits[kind].append(f"{rel}:{number}: {line.strip()[:100]}")
                files[kind].add(rel)
        findings = []
        for kind, label, severity in (("defect", "FIXME, XXX or HACK markers (known defects)", 0.5),
                                      ("todo", "TODO markers (unfinished work)", 0.3)):
            if hits[kind]:
                findings.append(Finding(
                    f"{label} on {self.at_least()}{plural(len(hits[kind]), 'line')} in "
                    f"{plural(len(files[kind]), 'file')}.", severity, "markers", listing(hits[kind])))
        return findings

    def check_syntax(self) -> list[Finding]:
        findings = []
        for rel in self.structured_files():
            name, suffix = Path(rel).name, Path(rel).suffix.lower()
            if suffix in JSON_SUFFIXES and JSONC_NAMES.match(name):
                continue
            size = self.tree.sizes[rel]
            limit = YAML_PARSE_BYTES if suffix in YAML_SUFFIXES else PARSE_READ_BYTES
            if size > limit or size == 0:
                continue  # too large to parse within bounds; empty files belong to "size"
            error = self.parse_error(rel, suffix)
            if error:
                kind = {".toml": "TOML"}.get(suffix, "YAML" if suffix in YAML_SUFFIXES else "JSON")
                findings.append(Finding(f"{rel} does not parse as {kind}.", 0.55, "syntax",
                                        f"{rel}:{error}"))
        return findings

    def parse_error(self, rel: str, suffix: str) -> str | None:
        """The first parse error of a structured file as "line: message", or None."""
        if self.tree.bytes_read + self.tree.sizes[rel] > self.limits.max_read_bytes:
            self.tree.partial = True
            return None
        try:
            data = (self.tree.root / rel).read_bytes()
        except OSError:
            self.tree.unreadable.append(rel)
            return None
        self.tree.bytes_read += len(data)
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            line_number = data.count(b"\n", 0, error.start) + 1
            return f"{line_number}: not valid UTF-8 (byte 0x{data[error.start]:02x})"
        if suffix in JSON_SUFFIXES:
            try:
                json.loads(text)
            except json.JSONDecodeError as error:
                return f"{error.lineno}: {error.msg} (column {error.colno})"
        elif suffix in JSON_LINES_SUFFIXES:
            for number, line in enumerate(text.splitlines(), 1):
                if line.strip():
                    try:
                        json.loads(line)
                    except json.JSONDecodeError as error:
                        return f"{number}: {error.msg} (column {error.colno})"
        elif suffix == ".toml":
            try:
                tomllib.loads(text)
            except tomllib.TOMLDecodeError as error:
                where = re.search(r"\(at line (\d+), column (\d+)\)", str(error))
                message = re.sub(r"\s*\(at line.*\)$", "", str(error))
                return (f"{where.group(1)}: {message} (column {where.group(2)})" if where
                        else f"?: {message}")
        else:
            return yaml_error(text)
        return None

    def check_size(self) -> list[Finding]:
        empty = [f for f in self.tree.files
                 if self.tree.sizes[f] == 0 and Path(f).name not in INTENTIONALLY_EMPTY]
        large = sorted((f for f in self.tree.files if self.tree.sizes[f] >= LARGE_FILE_BYTES),
                       key=lambda f: -self.tree.sizes[f])
        findings = []
        if empty:
            findings.append(Finding(f"Empty files (0 bytes): {self.at_least()}{len(empty)}.", 0.2,
                                    "size", listing(empty)))
        if large:
            findings.append(Finding(
                f"Files larger than {human_size(LARGE_FILE_BYTES)}: {self.at_least()}{len(large)}.",
                0.35, "size",
                listing([f"{f} ({human_size(self.tree.sizes[f])})" for f in large])))
        return findings

    def check_secrets(self) -> list[Finding]:
        """One finding per file that holds credential-looking strings; the values are
        never repeated whole."""
        per_file: list[tuple[str, list[str], float]] = []
        for rel in self.tree.files:
            text = self.text(rel)
            if not text:
                continue
            hits, worst = [], 0.0
            for number, line in lines_matching(text, SECRET_SEARCH):
                found = secret_in(line)
                if found:
                    kind, value, severity = found
                    shown = "" if kind == "private key block" else f", value {redact(value)}"
                    hits.append(f"{rel}:{number}: {kind}{shown}")
                    worst = max(worst, severity)
            if hits:
                per_file.append((rel, hits, worst))
        findings = [Finding(f"{rel} holds {plural(len(hits), 'string')} that look like credentials or keys.",
                            worst, "secrets", listing(hits))
                    for rel, hits, worst in per_file[:MAX_SECRET_FILES]]
        if len(per_file) > MAX_SECRET_FILES:
            rest = per_file[MAX_SECRET_FILES:]
            findings.append(Finding(
                f"{plural(len(rest), 'more file')} hold strings that look like credentials or keys.",
                max(worst for _, _, worst in rest), "secrets", listing([rel for rel, _, _ in rest])))
        return findings

    def check_links(self) -> list[Finding]:
        broken = []
        for rel in self.tree.symlinks:
            path = self.tree.root / rel
            if not os.path.exists(path):
                try:
                    broken.append(f"{rel} -> {os.readlink(path)}")
                except OSError:
                    broken.append(rel)
        if not broken:
            return []
        return [Finding(f"Symbolic links that point to nothing: {self.at_least()}{len(broken)}.",
                        0.4, "links", listing(broken))]

    def check_hygiene(self) -> list[Finding]:
        if not self.source_files:
            return []
        top = self.tree.top_level()
        root = self.tree.root
        findings = []
        if not any(LICENSE_NAMES.match(name) for name in top):
            findings.append(Finding("The target has source code and no license file at its top level.",
                                    0.3, "licensing", "top-level entries: " + listing(top)))
        if (root / ".git").exists() and ".gitignore" not in top:
            findings.append(Finding("The repository has no .gitignore at its top level.", 0.2,
                                    "hygiene", "top-level entries: " + listing(top)))
        if not any((root / path).exists() for path in CI_PATHS):
            findings.append(Finding(
                "Nothing in the target configures continuous integration.", 0.3, "automation",
                "none of " + ", ".join(CI_PATHS) + " exists"))
        return findings


def yaml_error(text: str) -> str | None:
    """The first YAML syntax error as "line: message"; None when the text parses or is a
    template (its placeholders are not YAML), or when no YAML library is installed."""
    if "{{" in text or "{%" in text:
        return None
    try:
        import yaml
    except ImportError:
        return None
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    try:
        for _ in yaml.compose_all(text, Loader=loader):  # syntax only: custom tags are fine
            pass
    except yaml.YAMLError as error:
        mark = getattr(error, "problem_mark", None)
        line = mark.line + 1 if mark is not None else "?"
        problem = getattr(error, "problem", None) or str(error).splitlines()[0]
        return f"{line}: {problem}"
    return None


def lines_matching(text: str, patterns: Sequence[re.Pattern[str]]) -> Iterable[tuple[int, str]]:
    """(line number, line) of each line where one of `patterns` matches, in order, each
    line once: one search per pattern over the whole text, not one per line."""
    starts = sorted({match.start() for pattern in patterns for match in pattern.finditer(text)})
    number, counted, line_end = 1, 0, -1
    for start in starts:
        if start <= line_end:
            continue  # this line was given already
        number += text.count("\n", counted, start)
        counted = start
        line_start = text.rfind("\n", 0, start) + 1
        line_end = text.find("\n", start)
        line_end = len(text) if line_end < 0 else line_end
        yield number, text[line_start:line_end]


def secret_in(line: str) -> tuple[str, str, float] | None:
    """The first credential-looking string of a line: (kind, value, severity)."""
    for kind, pattern, severity in SECRET_PATTERNS:
        if match := pattern.search(line):
            return kind, match.group(0), severity
    for match in CREDENTIAL_VALUE.finditer(line):
        if CREDENTIAL_NAME.search(line, 0, match.start()) and not PLACEHOLDER.search(match.group(1)):
            return "credential assignment", match.group(1), CREDENTIAL_SEVERITY
    return None


def redact(value: str) -> str:
    """Enough of a credential to recognise it, never enough to use it."""
    return f"'{value[:4]}…' ({len(value)} characters, redacted)"


# -- prompts ----------------------------------------------------------------------------

@dataclass
class EvalPrompt:
    goal: str
    target: str
    name: str
    question: str
    guidance: str
    depth: int


def parse_eval_prompt(prompt: str) -> EvalPrompt | None:
    """The parts of an evaluation prompt, or None if `prompt` is not one."""
    question = re.search(r"^QUESTION \[(.*?)\]: (.*)$", prompt, re.MULTILINE)
    target = re.search(r"^TARGET: (.*?)(?=^NOTE: You are evaluating|^QUESTION \[)", prompt,
                       re.MULTILINE | re.DOTALL)
    if not question or not target:
        return None
    goal = re.search(r"^GOAL \(what 'right' means\): (.*)$", prompt, re.MULTILINE)
    guidance = re.search(r"^Guidance: (.*)$", prompt, re.MULTILINE)
    depth = re.search(r"^NOTE: You are evaluating PREVIOUS findings \(depth (\d+)\)", prompt,
                      re.MULTILINE)
    return EvalPrompt(goal.group(1) if goal else "", target.group(1).strip(), question.group(1),
                      question.group(2), guidance.group(1) if guidance else "",
                      int(depth.group(1)) if depth else 0)


def target_locator(description: str) -> tuple[str, str]:
    """("url" | "path", value) from the first line of a target description."""
    first = description.splitlines()[0].strip() if description else ""
    if first.startswith("URL: "):
        return "url", first[5:].strip()
    if re.match(r"^https?://", first):
        return "url", first
    match = re.match(r"^(?:Directory|Repository|Path):\s*(.*)$", first)
    return "path", (match.group(1) if match else first)


def dimensions_for(name: str, text: str) -> tuple[tuple[str, ...], bool]:
    """The checks that answer a question, and whether the question was understood (a
    question that names none of them gets every check)."""
    if name in SEED_DIMENSIONS:
        return SEED_DIMENSIONS[name], True
    for dimension in DIMENSIONS:
        if name == dimension or name.startswith(dimension + "-"):
            return (dimension,), True
    words = re.findall(r"[a-z]+", f"{name} {text}".lower().replace("-", " "))
    found = tuple(d for d in DIMENSIONS if any(w.startswith(k) for k in KEYWORDS[d] for w in words))
    return (found, True) if found else (DIMENSIONS, False)


def evaluation_block(findings: Iterable[Finding], gaps: list[dict[str, str]], confidence: float,
                     coverage: float) -> str:
    body = {"findings": [f.as_dict() for f in findings], "gaps": gaps,
            "meta": {"confidence": round(confidence, 2), "coverage_estimate": round(coverage, 2)}}
    return f"{EVAL_OPEN}\n{json.dumps(body, indent=2)}\n{EVAL_CLOSE}"


def answer_evaluation(prompt: EvalPrompt, limits: Limits) -> str:
    kind, where = target_locator(prompt.target)
    dimensions, understood = dimensions_for(prompt.name, f"{prompt.question} {prompt.guidance}")
    if kind == "url":
        return answer_url(prompt, where)
    root = Path(where).expanduser()
    if not root.is_dir():
        return (f"Offline stand-in: {where!r} is not a directory on this machine, so there is "
                "nothing to inspect and nothing is claimed about it.\n\n"
                + evaluation_block([], [], 0.0, 0.0))
    tree = walk(root, limits)
    inspector = Inspector(tree, limits)
    findings = [finding for dimension in dimensions for finding in inspector.run(dimension)]
    # A few gaps per answer: each gap may cost the forge one brain call.
    gaps = [{"description": text, "dimension": dimension} for dimension in DIMENSIONS
            if dimension not in dimensions and (text := inspector.material(dimension))][:MAX_GAPS]
    bounded = not tree.complete or tree.partial
    confidence = (0.9 if understood else 0.5) * (0.6 if bounded else 1.0)
    covered = len(dimensions) / len(DIMENSIONS)
    coverage = covered * (0.5 if bounded else 1.0)
    lines = [
        "Offline stand-in for a language model: file checks, not judgement.",
        f"Inspected {root}: {plural(len(tree.files), 'file')}, "
        f"{plural(len(tree.dirs), 'directory').replace('directorys', 'directories')}, "
        f"{plural(len(tree.symlinks), 'symbolic link')}" + (
            f"; skipped {', '.join(sorted(tree.skipped_dirs))}" if tree.skipped_dirs else "") + ".",
        f"Question [{prompt.name}] answered with the checks: {', '.join(dimensions)}"
        + ("" if understood else " (the question names none of them, so all ran)") + ".",
    ]
    if not tree.complete:
        lines.append(f"{PARTIAL_CHECK}the walk stopped after {limits.max_entries} entries; "
                     "claims of absence were withheld.")
    if tree.partial:
        lines.append(f"{PARTIAL_CHECK}some files were read only in part ({tree.bytes_read} bytes read in all); "
                     "counts are lower bounds.")
    if prompt.depth:
        lines.append(f"At depth {prompt.depth} the checks ran again on the target itself.")
    lines.append(f"{plural(len(findings), 'finding')}, {plural(len(gaps), 'gap')}.")
    lines.extend(f"- [{f.severity:.2f}] {f.description}" for f in findings)
    return "\n".join(lines) + "\n\n" + evaluation_block(findings, gaps, confidence, coverage)


def answer_url(prompt: EvalPrompt, url: str) -> str:
    """Checks on the page description the host fetched: an offline program cannot look
    at the page itself."""
    text = prompt.target
    findings: list[Finding] = []
    failed = re.search(r"^\(Failed to fetch: (.*)\)$", text, re.MULTILINE)
    if failed:
        findings.append(Finding(f"The page at {url} could not be fetched.", 0.6, "availability",
                                f"fetch error: {failed.group(1)}"))
    else:
        if not re.search(r"^Page title: \S", text, re.MULTILINE):
            findings.append(Finding("The page has no title (or an empty one).", 0.4, "metadata",
                                    "the fetched page yields no <title> text"))
        if not re.search(r"^Description: \S", text, re.MULTILINE):
            findings.append(Finding("The page has no description meta tag.", 0.3, "metadata",
                                    "no <meta name=\"description\"> content in the fetched page"))
        content = re.search(r"^Page content \(extracted text\):\n(.*)$", text, re.MULTILINE)
        page_text = content.group(1) if content else ""
        words = len(page_text.split())
        if words < 50:
            findings.append(Finding(f"The page carries little readable text ({words} words).", 0.3,
                                    "content", f"extracted text: {words} words"))
        elif marker := MARKER.search(page_text):
            findings.append(Finding(f"The page text carries a {marker.group(1)} marker.", 0.4,
                                    "markers", page_text[max(0, marker.start() - 40):marker.end() + 40]))
    if url.startswith("http://"):
        findings.append(Finding("The page is served over plain HTTP, not HTTPS.", 0.5, "security",
                                f"URL: {url}"))
    gaps = [{"description": "Only the page's text, title, description and links were available; "
                            "its scripts, styles and images were not examined.",
             "dimension": "page-assets"}] if not failed else []
    return ("Offline stand-in for a language model: checks on the fetched page description.\n"
            f"{plural(len(findings), 'finding')}.\n\n" + evaluation_block(findings, gaps, 0.6, 0.3))


def safe_name(text: str) -> str:
    return re.sub(r"-+", "-", re.sub(r"[^a-z0-9\-]", "-", text.lower())).strip("-")


def answer_forge(prompt: str) -> str:
    """A new question for the gap, or a plain answer without the tagged block when a
    question for that dimension already exists (so the forge makes none)."""
    def field_of(label: str) -> str:
        match = re.search(rf"^  {label}: (.*)$", prompt, re.MULTILINE)
        return match.group(1).strip() if match else ""

    gap, dimension = field_of("Gap"), field_of("Dimension")
    section = re.search(r"Our current questions:\n(.*?)\n\nA gap has been identified", prompt, re.DOTALL)
    existing = []
    for line in (section.group(1).splitlines() if section else []):
        match = re.match(r"^- (.*?): (.*)$", line)
        if match:
            existing.append((match.group(1), match.group(2)))
    if dimension not in DIMENSIONS:
        found, understood = dimensions_for("", f"{dimension} {gap}")
        dimension = found[0] if understood else dimension
    for name, text in existing:
        covered, understood = dimensions_for(name, text)
        if understood and dimension in covered:
            return (f"Offline stand-in: the existing question [{name}] already covers the "
                    f"{dimension} dimension, so no new question is proposed.")
    if dimension in FORGED:
        question, description = FORGED[dimension]
        name, tags = f"{dimension}-check", ["offline", dimension]
    else:
        label = safe_name(dimension or gap)[:40] or "uncovered"
        name, tags = f"{label}-check", ["offline"]
        question = f"What in the target bears on the uncovered area '{dimension or gap}'?"
        description = f"Look for evidence about this gap: {gap}"
    body = {"name": name, "question": question, "description": description, "tags": tags}
    return (f"Offline stand-in: a question for the {dimension or 'unnamed'} gap.\n\n"
            f"{FORGE_OPEN}\n{json.dumps(body, indent=2)}\n{FORGE_CLOSE}")


PLANS = {
    "syntax": ("Correct the syntax error reported in the evidence so that the file parses again.", 0.3),
    "markers": ("Resolve the marked places one by one, or record each as a tracked issue and remove the marker.", 0.25),
    "documentation": ("Write a README at the top level that says what the target is and how to use it.", 0.1),
    "testing": ("Add a first test suite that exercises the main entry points of the source code.", 0.2),
    "secrets": ("Remove the credential from the file, load it from the environment instead, and rotate it.", 0.65),
    "size": ("Review the listed files: delete empty leftovers and move large artefacts out of the tree.", 0.4),
    "links": ("Repoint or remove each symbolic link that points to nothing.", 0.2),
    "licensing": ("Ask the owner which license applies and add it as a LICENSE file.", 0.3),
    "hygiene": ("Add a .gitignore that excludes build output and local state.", 0.15),
    "automation": ("Add a continuous integration configuration that runs the tests on every change.", 0.35),
}


def answer_plan(prompt: str) -> str:
    """A plan for a finding: fixed text per category with a fixed risk, lowered by a
    refinement that narrows the first step."""
    category = re.search(r"^Category: (.*)$", prompt, re.MULTILINE)
    evidence = re.search(r"^Evidence: (.*)$", prompt, re.MULTILINE)
    previous = re.search(r"^Previous risk: ([0-9.]+)$", prompt, re.MULTILINE)
    text, risk = PLANS.get(category.group(1).strip() if category else "",
                           ("Investigate the finding and decide with the owner what to change.", 0.5))
    if previous:
        risk = round(float(previous.group(1)) * 0.8, 2)
        text = "Start with the smallest reversible step: " + text[0].lower() + text[1:]
    body = {"plan": text, "risk_score": risk, "blast_radius": "local",
            "measurement": f"the evidence no longer holds: {evidence.group(1)[:200] if evidence else ''}"}
    return (f"Offline stand-in: a fixed plan for this kind of finding.\n\n"
            f"{PLAN_OPEN}\n{json.dumps(body, indent=2)}\n{PLAN_CLOSE}")


# The check whose findings carry a category that is not a check's own name.
CHECK_OF_CATEGORY = {"licensing": "hygiene", "automation": "hygiene"}


def answer_verification(prompt: str, evaluation: EvalPrompt, limits: Limits) -> str:
    """A verification re-runs the check that produced the finding (the one its category
    names), or the question's checks when the category names none."""
    category = re.search(r"^Category: (.*)$", prompt, re.MULTILINE)
    name = category.group(1).strip() if category else ""
    check = name if name in DIMENSIONS else CHECK_OF_CATEGORY.get(name)
    return answer_evaluation(replace(evaluation, name=check) if check else evaluation, limits)


def answer(prompt: str, limits: Limits = Limits()) -> tuple[str, int]:
    """The answer text and exit status for one prompt."""
    if prompt.startswith("You are the Forge of Orvane"):
        return answer_forge(prompt), 0
    if prompt.startswith(PLAN_HEADER):
        return answer_plan(prompt), 0
    if (evaluation := parse_eval_prompt(prompt)) is not None:
        if prompt.startswith(VERIFY_HEADER):
            return answer_verification(prompt, evaluation, limits), 0
        return answer_evaluation(evaluation, limits), 0
    if prompt.startswith("EXECUTE"):
        return "The offline stand-in cannot carry out actions: it only reads files.", 3
    return ("The offline stand-in answers evaluation, forge and plan prompts only; "
            "this prompt is none of them."), 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m orvane.offline",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "The offline brain: a deterministic stand-in for a language model, NOT a language\n"
            "model. It reads one prompt and answers it with fixed file checks (no README or\n"
            "tests, TODO/FIXME markers, JSON/YAML/TOML files that do not parse, empty or very\n"
            "large files, secret-looking strings, broken symbolic links, missing license or\n"
            "CI), naming the file and line behind every finding. It needs no model, network\n"
            "or account, so Orvane's whole evaluation road runs anywhere."),
        epilog=("examples:\n"
                "  orvane run --target .      # Orvane starts this program as its default brain\n"
                "  printf \"TARGET: Directory: .\\n\\nQUESTION [syntax-check]: What fails to parse?\\n\" \\\n"
                "    | python -m orvane.offline"))
    parser.add_argument("prompt", nargs="?", help="the prompt (default: read standard input)")
    parser.add_argument("--max-entries", type=int, default=Limits.max_entries,
                        help="directory entries to walk at most (default %(default)s)")
    parser.add_argument("--max-read-bytes", type=int, default=Limits.max_read_bytes,
                        help="file bytes to read at most (default %(default)s)")
    args = parser.parse_args(argv)
    try:
        prompt = args.prompt if args.prompt is not None else \
            sys.stdin.buffer.read().decode("utf-8", "replace")
        text, status = answer(prompt, Limits(max(1, args.max_entries), max(0, args.max_read_bytes)))
    except KeyboardInterrupt:
        return 130
    sys.stdout.buffer.write(text.encode("utf-8", "replace") + b"\n")
    sys.stdout.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())
