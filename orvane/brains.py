"""The brains as the host runs them: a model with tools reads only, except inside an
approved action.

A brain whose ``can_execute()`` is true may edit files and run commands. The host asks
it to do so only when it carries a plan out, in the instance's worktree (see
orvane.actions); every other call (evaluation, forge, plan, refinement) runs in a
scratch directory of the instance. For the claude program that is enforced: the host's
``ClaudeBrain`` leaves out the library's switch that turns permission prompts off, and
passes the program's read-only settings instead (planning mode, the editing and shell
tools taken away, the target added as a directory it may read). Only the copy that
``for_action`` makes has the switch. A generic program cannot be told to stay
read-only: it is trusted to do what the prompt says.
"""

from __future__ import annotations

import copy
from collections.abc import Sequence
from typing import Any, Protocol
from orvane import brain

class Asker(Protocol):
    """What the cycle and the actions ask of a brain: a library brain, or a wrapper of one."""

    def ask(self, prompt: str, *, working_dir: str | None = ..., timeout: int = ...,
            parser: Any = ...) -> brain.BrainResult: ...

    def can_execute(self) -> bool: ...


# The library's switch that lets the claude program use every tool without asking.
SKIP_PERMISSIONS = "--dangerously-skip-permissions"
# The claude program's own settings for a call that may read and nothing else: planning
# mode runs no tool that changes anything, and the tools that write or run commands are
# not offered at all (a denial outranks any "allow" of the user's own settings).
WRITING_TOOLS = ("Bash", "Edit", "MultiEdit", "Write", "NotebookEdit")
READ_ONLY = ("--permission-mode", "plan", "--disallowedTools", ",".join(WRITING_TOOLS))


class ClaudeBrain(brain.ClaudeCodeBrain):
    """The claude program, read-only unless made for an action (for_action)."""

    def __init__(self, binary: str = "claude", model: str = "", budget_usd: str = "2.00",
                 effort: str = "high", *, writes: bool = False, readable: Sequence[str] = ()) -> None:
        super().__init__(binary, model, budget_usd, effort)
        self.writes = writes
        self.readable = tuple(readable)  # directories besides its working directory it may read

    def _build_command(self, prompt: str) -> list[str]:
        command = list(super()._build_command(prompt))
        if self.writes:
            return command
        at = command.index(SKIP_PERMISSIONS) if SKIP_PERMISSIONS in command else len(command)
        command = [part for part in command if part != SKIP_PERMISSIONS]
        extra = list(READ_ONLY)
        for directory in self.readable:
            extra += ["--add-dir", directory]
        return command[:at] + extra + command[at:]

    def with_access(self, *, writes: bool, readable: Sequence[str] = ()) -> ClaudeBrain:
        other = copy.copy(self)
        other.writes = writes
        other.readable = tuple(readable)
        return other


def from_library(made: brain.BrainInterface) -> brain.BrainInterface:
    """The host's brain for one the library's factory made: its claude brain becomes a
    ClaudeBrain with the same settings; any other brain is used as it is."""
    if isinstance(made, brain.ClaudeCodeBrain) and not isinstance(made, ClaudeBrain):
        return ClaudeBrain(made.binary, made.model, made.budget_usd, made.effort)
    return made


def for_reading(thinker: brain.BrainInterface, readable: Sequence[str] = ()) -> brain.BrainInterface:
    """The brain for every call but an action's, allowed to read `readable` too."""
    if isinstance(thinker, ClaudeBrain):
        return thinker.with_access(writes=False, readable=readable)
    return thinker


def for_action(thinker: brain.BrainInterface) -> brain.BrainInterface:
    """The brain that carries out an approved plan: with write access where it has any."""
    if isinstance(thinker, ClaudeBrain):
        return thinker.with_access(writes=True)
    return thinker

