"""Opening an agent instance directory: configuration, goal, ledger, brain, run state.

The instance layout belongs to the library (``orvane.hatch``); this module adds the host's
own sections to "config.yaml" ("brain", "execution", "notifiers") and keeps "state.json"
up to date between cycles.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from collections.abc import Callable
from typing import Any, TypeVar

import yaml

from orvane import brain, brains, goal, hatch, ledger, notify, seed, triage

DEFAULT_DIR = ".orvane"
BRAIN_TYPES = ("offline", "claude-code", "generic-cli")
DEFAULT_TIMEOUT = 300
MODES = tuple(mode.value for mode in triage.ExecutionMode)
NOTIFIER_TYPES = ("file", "log", "webhook")
# Stands in for the goal until the owner sets one; the agent never invents a goal.
NO_GOAL = ("No goal has been set for this instance. Report what is wrong or missing in the "
           "target as it stands.")


class UserError(Exception):
    """A mistake the user can correct: reported as one line, never as a traceback."""


def warn(text: str) -> None:
    """One warning line on standard error: a setting the host does not understand is
    named, never silently replaced."""
    print(f"orvane: warning: {text}", file=sys.stderr)


Result = TypeVar("Result")


def brain_section(kind: str, binary: str | None = None, can_execute: bool = False) -> dict[str, Any]:
    """The "brain" section that `orvane init` writes for a brain type."""
    if can_execute and kind != "generic-cli":
        raise UserError("--can-execute applies to the generic-cli brain only (claude-code always "
                        "has tools; the offline brain never changes files)")
    if kind == "offline":
        if binary:
            raise UserError("--binary applies to the claude-code and generic-cli brains only")
        return {"type": "offline"}
    if kind == "claude-code":
        return {"type": "claude-code", "binary": binary or "claude"}
    if kind == "generic-cli":
        if not binary:
            raise UserError("the generic-cli brain needs --binary PROG (a prompt-in, text-out program)")
        return {"type": "generic-cli", "binary": binary, "args_before": [], "args_after": [],
                "prompt_via_stdin": True, "can_execute": can_execute}
    raise UserError(f"unknown brain {kind!r} (use {', '.join(BRAIN_TYPES)})")


def offline_section() -> dict[str, Any]:
    """The offline brain as the library's generic CLI brain sees it: this interpreter
    running ``orvane.offline`` with the prompt on standard input. ``-P`` keeps a target
    directory that holds its own ``orvane`` folder from shadowing the installed package."""
    return {"type": "generic-cli", "binary": sys.executable,
            "args_before": ["-P", "-m", "orvane.offline"], "args_after": [],
            "prompt_via_stdin": True, "can_execute": False}


def load_brain(section: dict[str, Any]) -> brain.BrainInterface:
    """The brain a "brain" section describes; "offline" is the host's own stand-in. The
    claude program's brain is the host's read-only one (orvane.brains.ClaudeBrain)."""
    if section.get("type", "offline") == "offline":
        return brain.load_brain(offline_section())
    try:
        return brains.from_library(brain.load_brain(section))
    except ValueError as error:
        raise UserError(f"{error} (or 'offline')") from None
    except TypeError as error:
        raise UserError(f"invalid brain section in config.yaml: {error}") from None


def read_yaml_mapping(path: Path) -> dict[str, Any]:
    try:
        with open(path, encoding="utf-8") as handle:
            document = yaml.safe_load(handle)
    except yaml.YAMLError as error:
        raise UserError(f"{path} is not valid YAML: {str(error).splitlines()[0]}") from None
    if document is None:
        return {}
    if not isinstance(document, dict):
        raise UserError(f"{path} does not hold a mapping")
    return document


def write_atomic(path: Path, text: str) -> None:
    """Replaces `path` whole: a reader (or an interrupted writer) never leaves half a file."""
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def write_config(directory: Path, config: dict[str, Any]) -> None:
    # The library's own writer's format: block style, keys in their order.
    write_atomic(directory / "config.yaml", yaml.dump(config, default_flow_style=False, sort_keys=False))


def create(directory: Path, goal_text: str | None, owner: str | None, section: dict[str, Any],
           mode: str = "observe") -> str:
    """A pristine instance with the host's sections; returns its id."""
    try:
        hatch.hatch0(str(directory), goal_text or None, owner or None)
    except FileExistsError:
        raise UserError(f"{directory} already exists") from None
    config = read_yaml_mapping(directory / "config.yaml")
    config["brain"] = section
    config["execution"] = {"mode": mode}
    config["notifiers"] = [{"type": "log", "path": "notifications.jsonl", "min_severity": 0.0}]
    write_config(directory, config)
    return str(config.get("instance_id", "unknown"))


@dataclass
class Instance:
    """An open instance directory."""
    path: Path
    config: dict[str, Any]
    ledger: ledger.Ledger
    goal: goal.Goal | None
    warned: set[str] = field(default_factory=set)  # question files already warned about

    @property
    def instance_id(self) -> str:
        value = self.config.get("instance_id")
        return value if isinstance(value, str) and value else "unknown"

    @property
    def questions_dir(self) -> str:
        return str(self.path / "questions")

    @property
    def goal_text(self) -> str:
        return self.goal.get() if self.goal is not None else NO_GOAL

    def questions(self) -> list[dict[str, Any]]:
        """The population. A question file that cannot be read as a question (not a
        regular file, not UTF-8, numbers past the digit limit, nesting too deep) is
        left out with one warning naming it, once a run; the others still run."""
        directory = Path(self.questions_dir)
        bad = unusable_question_files(directory, check_content=False)
        if not bad:
            try:
                return self.load_questions(self.questions_dir)
            except (ValueError, RecursionError, MemoryError):
                pass  # one of the files: found below, and left out
        bad = unusable_question_files(directory, check_content=True)
        for path, reason in bad.items():
            if path not in self.warned:
                self.warned.add(path)
                print(f"orvane: warning: skipped the question file {path}: {reason}", file=sys.stderr)
        with tempfile.TemporaryDirectory(prefix="orvane-questions.") as usable:
            for entry in os.scandir(directory):
                if entry.name.endswith(".json") and entry.path not in bad:
                    os.symlink(os.path.abspath(entry.path), os.path.join(usable, entry.name))
            return self.load_questions(usable)

    def load_questions(self, directory: str) -> list[dict[str, Any]]:
        try:
            return seed.load_questions(directory)
        except TypeError as error:
            raise UserError(f"cannot read the questions in {self.questions_dir}: {error}") from None

    def statistics(self, compute: Callable[[], Result]) -> Result:
        """Runs a ledger statistic; an event whose payload the statistics cannot read (a
        severity that is no number, a question that is a list) is the user's to mend."""
        try:
            return compute()
        except (TypeError, ValueError) as error:
            raise UserError(f"{self.path / 'ledger.jsonl'} holds an event its statistics cannot "
                            f"read: {error}") from None

    def brain_config(self) -> dict[str, Any]:
        section = self.config.get("brain") or {"type": "offline"}
        if not isinstance(section, dict):
            raise UserError(f"the brain section of {self.path / 'config.yaml'} is not a mapping")
        return section

    def execution_section(self) -> dict[str, Any]:
        """The "execution" section; one that is not a mapping is named and its defaults used."""
        section = self.config.get("execution")
        if section is None:
            return {}
        if not isinstance(section, dict):
            warn(f"the execution section of {self.path / 'config.yaml'} is not a mapping "
                 f"(mode: one of {', '.join(MODES)}); using the defaults")
            return {}
        return section

    def mode(self, override: str | None = None) -> str:
        """The execution mode: the one asked for, else the configuration's, else observe."""
        if override is not None:
            return override
        configured = self.execution_section().get("mode", "observe")
        if configured not in MODES:
            warn(f"execution mode {configured!r} in {self.path / 'config.yaml'} is not one of "
                 f"{', '.join(MODES)}; using observe")
            return "observe"
        return str(configured)

    def budget(self, override: float | None = None) -> float | None:
        """The run's spending cap in US dollars ("budget_usd"), or None for none."""
        if override is not None:
            return override
        value = self.config.get("budget_usd")
        if value is None:
            return None
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
            raise UserError(f"budget_usd in {self.path / 'config.yaml'} must be a number of US dollars "
                            f"of at least 0, not {value!r}")
        return float(value)

    def timeout(self) -> int:
        value = self.brain_config().get("timeout", DEFAULT_TIMEOUT)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or value <= 0:
            raise UserError(f"brain timeout in {self.path / 'config.yaml'} must be a positive number")
        return int(value)

    def notifier_entries(self) -> list[Any]:
        """The "notifiers" section as a list, relative paths taken inside the instance."""
        section = self.config.get("notifiers")
        entries = section if isinstance(section, list) else [section] if isinstance(section, dict) else []
        if section is not None and not entries:
            warn(f"the notifiers section of {self.path / 'config.yaml'} is not a list of mappings; "
                 "no notifications are sent")
        resolved = []
        for position, entry in enumerate(entries, 1):
            kind = entry.get("type") if isinstance(entry, dict) else None
            if kind not in NOTIFIER_TYPES or (kind == "webhook" and not entry.get("url")):
                what = ("has no url" if kind == "webhook" else
                        f"has type {kind!r}" if isinstance(entry, dict) else "is not a mapping")
                warn(f"notifier {position} in {self.path / 'config.yaml'} {what} and is ignored "
                     f"(type: one of {', '.join(NOTIFIER_TYPES)}; a webhook needs a url)")
                continue
            if isinstance(entry.get("path"), str):
                entry = {**entry, "path": str(self.path / entry["path"])}
            resolved.append(entry)
        return resolved

    def notification_bus(self) -> notify.NotificationBus:
        """The bus from the "notifiers" section."""
        try:
            return notify.NotificationBus.from_config(self.notifier_entries())
        except (TypeError, ValueError) as error:
            raise UserError(f"invalid notifiers section in config.yaml: {error}") from None

    def read_state(self) -> dict[str, Any]:
        try:
            state = json.loads((self.path / "state.json").read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return {}
        return state if isinstance(state, dict) else {}

    def write_state(self, **changes: Any) -> None:
        state = {"cycle_count": 0, "last_cycle_at": None, "status": "initialized"}
        state.update(self.read_state())
        state.update(changes)
        write_atomic(self.path / "state.json", json.dumps(state, indent=2))


def unusable_question_files(directory: Path, *, check_content: bool) -> dict[str, str]:
    """The question files of the directory that loading must not open (anything but a
    regular file: a FIFO would block it, a device never end) and, with
    `check_content`, those whose text cannot be decoded as a question; mapped to why.
    Files that are merely not JSON are the loader's to skip, silently."""
    bad: dict[str, str] = {}
    try:
        entries = [entry for entry in os.scandir(directory) if entry.name.endswith(".json")]
    except OSError:
        return bad
    for entry in entries:
        try:
            if not entry.is_file():
                if not entry.is_dir():
                    bad[entry.path] = "not a regular file"
                continue
            if check_content:
                with open(entry.path, "rb") as handle:
                    json.loads(handle.read().decode("utf-8"))
        except json.JSONDecodeError:
            continue
        except OSError:
            continue  # unreadable: the loader skips it
        except (ValueError, RecursionError, MemoryError) as error:
            bad[entry.path] = str(error).splitlines()[0] if str(error) else type(error).__name__
    return bad


def event_generation(value: Any) -> int:
    """The generation an event records: a config's or a caller's value that is not a
    whole number of at least 0 counts as 0."""
    return value if isinstance(value, int) and value >= 0 else 0


def is_instance(directory: Path) -> bool:
    return (directory / "config.yaml").is_file()


def require_instance(directory: Path) -> None:
    if not directory.is_dir():
        raise UserError(f"no Orvane instance at {directory} (create one with: orvane init {directory})")
    if not is_instance(directory):
        raise UserError(f"{directory} is not an Orvane instance (it has no config.yaml)")


def open_instance(directory: Path, *, with_goal: bool = True) -> Instance:
    """The instance in `directory`; its goal is read only when asked for, so that a broken
    goal file does not stand between the user and the statistics."""
    require_instance(directory)
    config = read_yaml_mapping(directory / "config.yaml")
    goal_file = directory / "goal.yaml"
    current_goal = None
    if with_goal and goal_file.exists():
        try:
            current_goal = goal.Goal.load(str(goal_file))
        except (ValueError, yaml.YAMLError, OSError) as error:
            raise UserError(f"cannot read the goal: {str(error).splitlines()[0]}") from None
    return Instance(directory, config, ledger.Ledger(str(directory / "ledger.jsonl")), current_goal)
