"""The host's plan parser and its claude brain, in process."""

import json
import re

from hypothesis import given, settings
from hypothesis import strategies as st

from orvane import actions, brain, brains
from orvane.words import PLAN_CLOSE, PLAN_OPEN


def lazy_expression_plan(output, refinements):
    """The plan parser as a lazy regular expression would read the block: the reference
    the one-pass search must agree with."""
    pattern = re.compile(re.escape(PLAN_OPEN) + r"\s*(.*?)\s*" + re.escape(PLAN_CLOSE), re.DOTALL)
    plan = {"plan": output.strip()[:2000], "refinement_count": refinements, "blast_radius": "local",
            "measurement": ""}
    match = pattern.search(output)
    try:
        data = json.loads(match.group(1)) if match else None
    except ValueError:
        data = None
    if isinstance(data, dict) and str(data.get("plan", "")).strip():
        plan["plan"] = str(data["plan"]).strip()
        if "risk_score" in data:
            plan["risk_score"] = actions.unit(data["risk_score"])
        radius = str(data.get("blast_radius", "local"))
        plan["blast_radius"] = radius if radius in actions.BLAST_RADII else "local"
        plan["measurement"] = str(data.get("measurement", ""))
    return plan


FRAGMENTS = [PLAN_OPEN, PLAN_CLOSE, PLAN_OPEN[:-1], PLAN_CLOSE[1:], " ", "\n", "\t", "\u2003", "\x1c", "\x85",
             '{"plan": "add a README", "risk_score": 0.3}', '{"plan": " ", "risk_score": "high"}',
             '{"plan": "x", "blast_radius": "system", "measurement": 1}', "[1]", "{", "}", '"', "plan", "é"]


class TestParsePlan:
    @settings(max_examples=400, deadline=None)
    @given(st.lists(st.sampled_from(FRAGMENTS), max_size=12), st.integers(0, 3))
    def test_the_one_pass_search_reads_what_the_expression_reads(self, parts, refinements):
        output = "".join(parts)
        assert actions.parse_plan(output, refinements) == lazy_expression_plan(output, refinements)

    def test_an_answer_of_opening_tags_only(self):
        output = PLAN_OPEN * 4000 + '{"plan": "never closed", "risk_score": 0.0}'
        plan = actions.parse_plan(output, 0)
        assert "risk_score" not in plan and plan["plan"] == output[:2000]
        closed = actions.parse_plan(output + PLAN_CLOSE, 1)
        assert "risk_score" not in closed  # the block begins at the first opening tag: not JSON
        assert actions.parse_plan(PLAN_OPEN + '{"plan": "p", "risk_score": 0.4}' + PLAN_CLOSE * 3000, 0)[
            "risk_score"] == 0.4


class TestClaudeBrain:
    @given(st.sampled_from(["", "sonnet"]), st.sampled_from(["", "2.5"]), st.sampled_from(["", "high"]),
           st.lists(st.sampled_from(["/srv/a", "/home/u/b c"]), max_size=2))
    def test_read_only_is_the_librarys_command_with_the_switch_replaced(self, model, budget, effort, readable):
        library = brain.ClaudeCodeBrain("claude", model, budget, effort)
        hosted = brains.from_library(library)
        expected = library._build_command("the prompt")
        assert brains.for_action(hosted)._build_command("the prompt") == expected
        command = brains.for_reading(hosted, readable)._build_command("the prompt")
        assert brains.SKIP_PERMISSIONS not in command
        at = expected.index(brains.SKIP_PERMISSIONS)
        added = list(brains.READ_ONLY) + [part for d in readable for part in ("--add-dir", d)]
        assert command == expected[:at] + added + expected[at + 1:]
        assert hosted.can_execute() and not hosted.writes

    def test_the_factorys_settings_are_kept(self):
        hosted = brains.from_library(brain.load_brain({"type": "claude-code", "binary": "/opt/claude"}))
        assert isinstance(hosted, brains.ClaudeBrain)
        assert (hosted.binary, hosted.model, hosted.budget_usd, hosted.effort) == \
            ("/opt/claude", "claude-opus-4-6", "5.00", "high")
        generic = brain.load_brain({"type": "generic-cli", "binary": "llm", "can_execute": True})
        assert brains.from_library(generic) is generic and brains.for_action(generic) is generic
