#!/usr/bin/env python3
"""Writes orvane/<module>.pyi for every extension module, from the built modules.

Each native callable carries its declared Python signature, so `inspect.signature`
gives parameters, defaults and annotations; classes are host classes whose methods are
those callables. What a declaration cannot show, the public instance attributes that
constructors set, is listed in INSTANCE_ATTRIBUTES below (tests check that real objects
carry them).

    python tools/gen_stubs.py           # rewrite the stubs in orvane/
    python tools/gen_stubs.py --check   # exit 1 and name the stubs that are out of date

Run it with the interpreter of an environment where the package is installed.
"""

from __future__ import annotations

import argparse
import collections.abc
import dataclasses
import enum
import importlib
import inspect
import logging
import sys
import types
import typing
from pathlib import Path
from typing import Any

MODULES = ("protocol", "ledger", "seed", "brain", "forge", "triage", "temporal", "vcsguard", "goal",
           "capabilities", "notify", "pagegrab", "hatch")

# Attributes set by constructors, as the declarations of each class describe them.
INSTANCE_ATTRIBUTES: dict[str, dict[str, str]] = {
    "ledger.Ledger": {"_path": "Path", "_cache": "list[dict[str, Any]] | None",
                      "_cache_key": "tuple[int, int] | None"},
    "brain.ClaudeCodeBrain": {"binary": "str", "model": "str", "budget_usd": "str", "effort": "str"},
    "brain.GenericCLIBrain": {"binary": "str", "args_before": "list[str]", "args_after": "list[str]",
                              "prompt_via_stdin": "bool", "_has_execute": "bool"},
    "forge.Forge": {"_brain": "BrainLike", "_ledger": "Any", "_questions_dir": "str", "_last_run_cost": "float"},
    "triage.Triage": {"mode": "ExecutionMode", "severity_threshold": "float", "risk_threshold": "float",
                      "max_actions_per_cycle": "int", "max_refinements": "int", "min_dimensions": "int",
                      "min_passes": "int"},
    "temporal.TemporalCheckpoint": {"id": "str", "finding": "dict[str, Any]", "action_output": "str",
                                    "plan_text": "str", "check_after": "str", "measurement_hint": "str",
                                    "status": "str", "created_at": "str", "resolved_at": "str | None",
                                    "resolution": "dict[str, Any] | None"},
    "temporal.TemporalManager": {"_dir": "Path", "_instance_id": "str"},
    "goal.Goal": {"goal": "str", "owner": "str", "created_at": "str", "updated_at": "str",
                  "history": "list[dict[str, Any]]"},
    "capabilities.CapabilityMap": {"_source": "str | None", "_data": "dict[str, Any] | None"},
    "notify.FileNotifier": {"_path": "Path", "_min_severity": "float"},
    "notify.LogNotifier": {"_path": "Path", "_min_severity": "float"},
    "notify.WebhookNotifier": {"_url": "str", "_min_severity": "float", "_headers": "dict[str, str]"},
    "notify.NotificationBus": {"_notifiers": "list[NotifierInterface]"},
}
# Class attributes that belong to the host's machinery, not to the declarations.
MACHINERY = {"_abc_impl", "_is_protocol", "__protocol_attrs__", "__parameters__", "__abstractmethods__",
             "__non_callable_proto_members__"}


def public_module(module: str) -> str:
    """Where a stub imports a name from: pathlib's classes live in a private module."""
    return "pathlib" if module == "pathlib._local" else module


class Imports:
    """The import lines a stub needs, gathered while rendering it."""

    def __init__(self, module: str) -> None:
        self.module = module
        self.lines: set[str] = set()

    def name(self, obj: Any) -> str:
        """The text that names a class (or typing object) in the stub, importing it."""
        module, qualname = getattr(obj, "__module__", ""), getattr(obj, "__qualname__", repr(obj))
        if module == "builtins":
            return qualname
        if module == f"orvane.{self.module}":
            return qualname
        self.lines.add(f"from {public_module(module)} import {qualname.split('.')[0]}")
        return qualname

    def add(self, line: str) -> None:
        self.lines.add(line)

    def render(self) -> str:
        lines = set(self.lines)
        for line in self.lines:  # a re-export already brings the plain name in
            if line.startswith("from ") and " as " in line:
                lines.discard(line.split(" as ")[0])
        return "\n".join(sorted(lines))


def annotation(value: Any, imports: Imports) -> str:
    """An annotation object as stub text. Records are string-keyed maps, so a bare `dict`
    reads dict[str, Any]; a bare `list`, list[Any]; a bare `tuple`, tuple[Any, ...]."""
    if value in (dict, list, tuple, set, frozenset):
        imports.add("from typing import Any")
        return {dict: "dict[str, Any]", list: "list[Any]", tuple: "tuple[Any, ...]"}.get(value, f"{value.__name__}[Any]")
    if isinstance(value, str):
        for word in ("Any", "Callable", "Path"):
            if word in value:
                imports.add({"Any": "from typing import Any", "Callable": "from collections.abc import Callable",
                             "Path": "from pathlib import Path"}[word])
        return value
    if value is None or value is type(None):
        return "None"
    if value is typing.Any:
        imports.add("from typing import Any")
        return "Any"
    origin = typing.get_origin(value)
    if origin in (types.UnionType, typing.Union):
        return " | ".join(annotation(arg, imports) for arg in typing.get_args(value))
    if origin is collections.abc.Callable:
        imports.add("from collections.abc import Callable")
        params, result = typing.get_args(value)
        inner = "..." if params is Ellipsis else ", ".join(annotation(p, imports) for p in params)
        return f"Callable[[{inner}], {annotation(result, imports)}]"
    if origin is not None:
        args = ", ".join("..." if a is Ellipsis else annotation(a, imports) for a in typing.get_args(value))
        return f"{imports.name(origin)}[{args}]"
    if isinstance(value, type):
        return imports.name(value)
    return repr(value)


def default(value: Any) -> str:
    """Simple literal defaults as they are; anything else as `...`."""
    if value is None or isinstance(value, bool):
        return repr(value)
    if type(value) in (int, float) or (type(value) is str and len(value) <= 40):
        return repr(value)
    return "..."


def signature(fn: Any, imports: Imports, *, name: str, method_of: type | None = None) -> str:
    sig = inspect.signature(fn)
    parts, star_seen = [], False
    for param in sig.parameters.values():
        text = param.name
        if param.kind is param.VAR_POSITIONAL:
            text, star_seen = "*" + text, True
        elif param.kind is param.VAR_KEYWORD:
            text = "**" + text
        elif param.kind is param.KEYWORD_ONLY and not star_seen:
            parts.append("*")
            star_seen = True
        if param.annotation is not param.empty:
            text += f": {annotation(param.annotation, imports)}"
        elif param.name not in ("self", "cls") and param.kind not in (param.VAR_POSITIONAL, param.VAR_KEYWORD):
            imports.add("from typing import Any")
            text += ": Any"  # not checked on entry: any value is accepted
        if param.default is not param.empty:
            text += f" = {default(param.default)}"
        if param.kind is param.POSITIONAL_ONLY:
            text += ", /"  # rare; the declarations use none
        parts.append(text)
    if sig.return_annotation is not sig.empty:
        result = annotation(sig.return_annotation, imports)
    elif name == "__init__":
        result = "None"
    else:
        imports.add("from typing import Any")
        result = "Any"
    return f"def {name}({', '.join(parts)}) -> {result}: ..."


def constant_type(value: Any, imports: Imports) -> str:
    if isinstance(value, logging.Logger):
        imports.add("import logging")
        return "logging.Logger"
    if isinstance(value, Path):
        imports.add("from pathlib import Path")
        return "Path"
    if isinstance(value, (set, frozenset)):
        return f"{type(value).__name__}[str]"
    if isinstance(value, dict):
        if value and all(isinstance(v, type) for v in value.values()):
            return "dict[str, type]"
        imports.add("from typing import Any")
        return "dict[str, Any]"
    if isinstance(value, list):
        imports.add("from typing import Any")
        return "list[dict[str, Any]]" if all(isinstance(v, dict) for v in value) else "list[Any]"
    return type(value).__name__


def is_callable_declaration(value: Any) -> bool:
    """A native callable (each module has its own `orvane.function` type), as opposed to
    what the host's machinery adds (a Protocol's generic __init__)."""
    return type(value).__name__ == "function" and type(value) is not types.FunctionType


def render_class(module: str, name: str, cls: type, imports: Imports) -> list[str]:
    bases = [b for b in cls.__bases__ if b is not object]
    base_text = []
    for base in bases:
        if base is typing.Protocol:
            imports.add("from typing import Protocol")
            base_text.append("Protocol")
        elif base is enum.Enum:
            imports.add("from enum import Enum")
            base_text.append("Enum")
        else:
            base_text.append(imports.name(base))
    lines = []
    if dataclasses.is_dataclass(cls):
        imports.add("from dataclasses import dataclass, field")
        lines.append("@dataclass")
    lines.append(f"class {name}({', '.join(base_text)}):" if base_text else f"class {name}:")
    body: list[str] = []
    if cls.__doc__ and not dataclasses.is_dataclass(cls):
        body.append(f'"""{cls.__doc__.strip().splitlines()[0]}"""')
    if issubclass(cls, enum.Enum):
        body.extend(f"{member.name} = {member.value!r}" for member in cls)
    if dataclasses.is_dataclass(cls):
        for item in dataclasses.fields(cls):
            text = f"{item.name}: {annotation(item.type, imports)}"
            if item.default is not dataclasses.MISSING:
                text += f" = {default(item.default)}"
            elif item.default_factory is not dataclasses.MISSING:
                text += f" = field(default_factory={item.default_factory.__name__})"
            body.append(text)
    for attr, kind in INSTANCE_ATTRIBUTES.get(f"{module}.{name}", {}).items():
        body.append(f"{attr}: {annotation(kind, imports)}")
    for attr, value in vars(cls).items():
        if attr in MACHINERY or (attr.startswith("__") and attr != "__init__"):
            continue
        if issubclass(cls, enum.Enum) and (attr in cls.__members__ or (attr.startswith("_") and attr.endswith("_"))):
            continue
        if dataclasses.is_dataclass(cls) and attr in cls.__dataclass_fields__:
            continue
        if attr == "__init__" and (dataclasses.is_dataclass(cls) or not is_callable_declaration(value)):
            continue
        if isinstance(value, classmethod):
            body += ["@classmethod", signature(value.__func__, imports, name=attr)]
        elif isinstance(value, staticmethod):
            body += ["@staticmethod", signature(value.__func__, imports, name=attr)]
        elif isinstance(value, property):
            body += ["@property", signature(value.fget, imports, name=attr)]
        elif callable(value):
            if getattr(value, "__isabstractmethod__", False):
                imports.add("from abc import abstractmethod")
                body.append("@abstractmethod")
            body.append(signature(value, imports, name=attr))
        else:
            body.append(f"{attr}: {constant_type(value, imports)}")
    lines.extend("    " + line for line in (body or ["..."]))
    return lines


def render(module: str) -> str:
    mod = importlib.import_module(f"orvane.{module}")
    imports = Imports(module)
    lines: list[str] = []
    for name, value in vars(mod).items():
        if name.startswith("__"):
            continue
        if inspect.ismodule(value):
            parent, _, leaf = value.__name__.rpartition(".")
            imports.add(f"from {parent} import {leaf} as {name}" if parent else f"import {value.__name__} as {name}")
        elif isinstance(value, type) and value.__module__ == mod.__name__:
            lines += ["", ""] + render_class(module, name, value, imports)
        elif isinstance(value, type) or (callable(value) and getattr(value, "__module__", None) != mod.__name__):
            # Taken from elsewhere (a sibling module, the host's library): re-exported under its name.
            source = public_module(getattr(value, "__module__", None) or "typing")
            qualname = getattr(value, "__qualname__", name)
            imports.add(f"from {source} import {qualname} as {name}")
        elif callable(value):
            lines += ["", signature(value, imports, name=name)]
        else:
            lines.append(f"{name}: {constant_type(value, imports)}")
    doc = (mod.__doc__ or f"orvane.{module}").strip().splitlines()[0]
    head = [f'"""{doc}"""', "", "# Generated by tools/gen_stubs.py from the built module; do not edit.", ""]
    text = "\n".join(head + [imports.render(), ""] + lines).rstrip() + "\n"
    while "\n\n\n\n" in text:
        text = text.replace("\n\n\n\n", "\n\n\n")
    return text


def stub_path(root: Path, module: str) -> Path:
    return root / "orvane" / f"{module}.pyi"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("--root", type=Path, default=Path(__file__).resolve().parent.parent)
    args = parser.parse_args(argv)
    stale = []
    for module in MODULES:
        text = render(module)
        path = stub_path(args.root, module)
        if args.check:
            if not path.exists() or path.read_text(encoding="utf-8") != text:
                stale.append(str(path))
        else:
            path.write_text(text, encoding="utf-8")
    if stale:
        print("out of date (run tools/gen_stubs.py): " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
