"""Tests for orvane.forge: new questions from gaps, saved as files and recorded in a real ledger."""
import datetime
import inspect
import json
import re
import subprocess
import sys
import typing
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from orvane import forge as forge_module, protocol, seed
from orvane.forge import BrainLike, Forge
from orvane.ledger import Ledger
from tests.conftest import same

OPEN, CLOSE = "<orvane-forge>", "</orvane-forge>"


class Answer:
    def __init__(self, output, cost_usd=None):
        self.output = output
        if cost_usd is not None:
            self.cost_usd = cost_usd


class FakeBrain:
    """Answers each prompt with the next of `answers` (a dict becomes a forge block)."""

    def __init__(self, *answers, cost=0.0):
        self.answers = list(answers)
        self.prompts = []
        self.cost = cost

    def ask(self, prompt):
        self.prompts.append(prompt)
        answer = self.answers.pop(0)
        if isinstance(answer, dict):
            answer = f"Here you go.\n{OPEN}\n{json.dumps(answer)}\n{CLOSE}\n"
        return Answer(answer, self.cost) if isinstance(answer, str) else answer


@pytest.fixture
def make(tmp_path):
    """A forge over a real ledger and questions directory in tmp_path."""
    def build(*answers, cost=0.0):
        brain = FakeBrain(*answers, cost=cost)
        return Forge(brain, Ledger(tmp_path / "ledger.jsonl"), str(tmp_path / "questions")), brain
    return build


def questions(n, generation=0):
    return [{"name": f"q{i}", "question": f"Q{i}?", "generation": generation} for i in range(n)]


def ref_parse_forge(raw):
    m = re.search(re.escape(OPEN) + r"\s*(.*?)\s*" + re.escape(CLOSE), raw, re.DOTALL)
    if not m:
        return None
    try:
        data = json.loads(m.group(1).strip())
    except (ValueError, RecursionError):
        return None
    if not isinstance(data, dict):
        return None
    name, question = data.get("name", ""), data.get("question", "")
    if not name or not question:
        return None
    safe = re.sub(r"[^a-z0-9\-]", "-", str(name).lower()).strip("-")
    if not safe:
        return None
    tags = data.get("tags", [])
    return {"name": safe, "question": str(question), "description": str(data.get("description", "")),
            "tags": [t for t in tags if isinstance(t, str)] if isinstance(tags, list) else []}


class TestHostTypes:
    def test_brain_like_is_a_protocol(self):
        assert BrainLike.__mro__[1] is typing.Protocol and BrainLike._is_protocol
        assert BrainLike.__doc__ == "Minimal interface the forge needs from a brain."
        assert "ask" in typing.get_protocol_members(BrainLike)
        assert str(inspect.signature(BrainLike.ask)) == "(self, prompt: str) -> Any"

    def test_class_and_instance_attributes(self, make, tmp_path):
        assert (Forge.__dict__["MAX_POPULATION"], Forge.__dict__["MIN_GAPS_TO_FORGE"]) == (50, 2)
        assert isinstance(Forge.__dict__["_parse_forge_output"], staticmethod)
        f, brain = make()
        assert vars(f) == {"_brain": brain, "_ledger": f._ledger, "_questions_dir": str(tmp_path / "questions"),
                           "_last_run_cost": 0.0}
        assert (forge_module._FORGE_TAG, forge_module._FORGE_OPEN, forge_module._FORGE_CLOSE) == (
            "orvane-forge", OPEN, CLOSE)

    def test_argument_types(self, make, tmp_path):
        f, _ = make()
        with pytest.raises(TypeError, match=r"^Argument 'questions_dir' has incorrect type \(expected str, got PosixPath\)$"):
            Forge(None, None, tmp_path)
        with pytest.raises(TypeError, match="Argument 'gaps'"):
            f.should_forge([], 0, ())
        with pytest.raises(TypeError, match="Argument 'raw'"):
            Forge._parse_forge_output(None)


class TestAnalyzeGaps:
    def test_brain_gaps_then_finding_gaps(self, make):
        f, _ = make()
        gaps = [{"area": "perf"}, {"description": "d", "area": "a"}, {"dimension": 7}, {"description": ""},
                "text", {"description": None, "dimension": 0}]
        findings = [{"description": "F1", "gaps": [{"description": "x"}, {"dimension": 2}, {}, 5]},
                    {"gaps": [{"description": ["l"]}]}, {"description": "no gaps"}]
        assert f.analyze_gaps(findings, gaps) == [
            {"description": "perf", "dimension": "perf", "evidence": "brain gap analysis"},
            {"description": "d", "dimension": "a", "evidence": "brain gap analysis"},
            {"description": "", "dimension": "7", "evidence": "brain gap analysis"},
            {"description": "x", "dimension": "", "evidence": "F1"},
            {"description": "", "dimension": 2, "evidence": "F1"},
            {"description": ["l"], "dimension": "", "evidence": ""},
        ]
        assert f.analyze_gaps([], None) == [] and f.analyze_gaps([], []) == []


class TestShouldForge:
    @pytest.mark.parametrize("findings, population, gaps, expected", [
        ([], 0, [{"x": 1}], False),
        ([], 0, [{}, {}], True),
        ([{"gaps": [1]}, {}], 49, [{}], True),
        ([{"gaps": [1, 2, 3]}], 50, [{}] * 9, False),
        ([{"gaps": [1, 2]}], 49.9, None, True),
    ])
    def test_cases(self, make, findings, population, gaps, expected):
        f, _ = make()
        assert f.should_forge(findings, population, gaps) is expected

    def test_reads_the_constants_through_self(self, make):
        f, _ = make()
        f.MIN_GAPS_TO_FORGE = 1
        f.MAX_POPULATION = 3
        assert f.should_forge([], 2, [{}]) is True and f.should_forge([], 3, [{}] * 5) is False


class TestParseForgeOutput:
    @pytest.mark.parametrize("raw, expected", [
        (f'{OPEN}{{"name": "New Question", "question": "Q?", "tags": ["a", 1, "b"]}}{CLOSE}',
         {"name": "new-question", "question": "Q?", "description": "", "tags": ["a", "b"]}),
        (f'{OPEN} {{"name": 12, "question": 3, "description": null, "tags": "ab"}} {CLOSE}',
         {"name": "12", "question": "3", "description": "None", "tags": []}),
        (f'{OPEN}{{"name": "???", "question": "Q?"}}{CLOSE}', None),
        (f'{OPEN}{{"name": "n", "question": ""}}{CLOSE}', None),
        (f'{OPEN}{{"question": "Q?"}}{CLOSE}', None),
        (f'{OPEN}["n"]{CLOSE}', None),
        (f'{OPEN}{{"name": "n"{CLOSE}', None),
        (f'{OPEN}...{CLOSE} {OPEN}{{"name": "n", "question": "q"}}{CLOSE}', None),
        (f'{OPEN}{{"name": "n", "question": "q", "x": {"[" * 100000}{CLOSE}', None),
        (OPEN * 1000, None),
        ("no block", None),
    ])
    def test_cases(self, raw, expected):
        assert Forge._parse_forge_output(raw) == expected == ref_parse_forge(raw)

    pieces = st.one_of(
        st.sampled_from([OPEN, CLOSE, OPEN[:-1], " ", "\u2003", "\n", "x", "<", "\U0001F600"]),
        st.builds(lambda n, q: json.dumps({"name": n, "question": q, "tags": [n, 1]}),
                  st.text(st.sampled_from("aZ_é -?"), max_size=4), st.sampled_from(["", "q?"])),
    )

    @settings(max_examples=300)
    @given(st.lists(pieces, max_size=12).map("".join))
    def test_matches_the_reference(self, raw):
        assert same(Forge._parse_forge_output(raw), ref_parse_forge(raw))


def forge_prompt(goal, existing, gap):
    summary = "\n".join(f"- {q.get('name', '')}: {q.get('question', '(no question text)')}" for q in existing)
    return (
        f"You are the Forge of Orvane, a question engine.\n\nGOAL: {goal}\n\nOur current questions:\n{summary}"
        f"\n\nA gap has been identified in our evaluation coverage:\n  Gap: {gap['description']}"
        f"\n  Dimension: {gap.get('dimension', 'unspecified')}\n  Evidence: {gap.get('evidence', 'none')}"
        "\n\nCreate a NEW evaluation question that would catch this type of issue proactively. The question "
        "must be different from all existing ones.\n\nRespond with structured output inside "
        "<orvane-forge>...</orvane-forge> tags as valid JSON:\n{\n  \"name\": \"short-kebab-case-name\",\n"
        "  \"question\": \"the core question (one sentence)\",\n  \"description\": \"how to apply this "
        "question (2-3 sentences)\",\n  \"tags\": [\"tag1\", \"tag2\"]\n}")


class TestForgeQuestion:
    def test_new_question(self, make):
        f, brain = make({"name": "Cache Rot", "question": "Q?", "description": "D", "tags": ["t", 2]}, cost=0.25)
        existing = [{"name": "a", "question": "A?", "generation": 1}, {"name": "b", "generation": 3}, {"name": 5}]
        gap = {"description": "slow", "dimension": 9}
        q = f.forge_question(gap, existing, "goal")
        assert brain.prompts == [forge_prompt("goal", existing, gap)]
        assert "- b: (no question text)\n- 5: " in brain.prompts[0]
        assert list(q) == ["name", "question", "description", "generation", "parent", "immutable", "tags",
                           "forged_at", "forged_from"]
        forged_at = q.pop("forged_at")
        assert q == {"name": "cache-rot", "question": "Q?", "description": "D", "generation": 4,
                     "parent": "pressure-test", "immutable": False, "tags": ["t"], "forged_from": []}
        assert datetime.datetime.fromisoformat(forged_at).utcoffset() == datetime.timedelta(0)
        assert f._last_run_cost == 0.25

    def test_answers_without_attributes_and_unusable_answers(self, make):
        class Plain:
            def __str__(self):
                return f'{OPEN}{{"name": "x", "question": "q"}}{CLOSE}'
        f, _ = make(Plain(), "no block", cost=1.0)
        assert f.forge_question({"description": "d", "evidence": "e"}, [], "g")["parent"] == "e"
        assert f.forge_question({"description": "d"}, [], "g") is None
        assert f._last_run_cost == 1.0

    def test_gap_without_description(self, make):
        f, brain = make({"name": "x", "question": "q"})
        with pytest.raises(KeyError, match="description"):
            f.forge_question({"dimension": "d"}, [], "g")
        assert brain.prompts == []

    def test_a_clashing_name_gets_the_generation(self, make):
        f, _ = make({"name": "pressure-test", "question": "q"})
        assert f.forge_question({"description": "d"}, seed.get_seeds(), "g")["name"] == "pressure-test-g1"


class TestNeverReplacesAStoredQuestion:
    """A forged name stays clear of existing questions and of files already in the directory."""

    def test_stored_file_with_the_proposed_name(self, make, tmp_path):
        f, _ = make({"name": "New Q", "question": "q"}, {"name": "new-q", "question": "q"})
        seed.save_question({"name": "new-q", "keep": True}, f._questions_dir)
        seed.save_question({"name": "new-q-2", "keep": True}, f._questions_dir)
        assert f.forge_question({"description": "d"}, [], "g")["name"] == "new-q-3"
        assert f.forge_question({"description": "d"}, [{"name": "new-q-3"}], "g")["name"] == "new-q-4"

    def test_clash_then_stored_files(self, make):
        f, _ = make(*[{"name": "a", "question": "q"}] * 2)
        existing = [{"name": "a", "generation": 2}, {"name": "a-g3-2"}]
        assert f.forge_question({"description": "d"}, existing, "g")["name"] == "a-g3"
        seed.save_question({"name": "a-g3"}, f._questions_dir)
        assert f.forge_question({"description": "d"}, existing, "g")["name"] == "a-g3-3"

    def test_run_keeps_every_stored_file(self, make, tmp_path):
        f, _ = make(*[{"name": "pressure-test", "question": f"q{i}"} for i in range(3)])
        stored = seed.save_question({"name": "pressure-test", "mine": 1}, f._questions_dir)
        (tmp_path / "questions" / "pressure-test-g1.json").symlink_to(tmp_path / "nowhere")
        forged = f.run([], seed.get_seeds(), "g", gaps=[{"area": "a"}, {"area": "b"}, {"area": "c"}])
        assert [q["name"] for q in forged] == ["pressure-test-g1-2", "pressure-test-g2", "pressure-test-g3"]
        assert json.loads(Path(stored).read_text()) == {"name": "pressure-test", "mine": 1}
        assert not (tmp_path / "nowhere").exists()


    def test_a_name_taken_after_it_was_chosen(self, make, tmp_path):
        """Another writer takes the chosen file between forge_question and the save: the
        question claims the next free suffix, and the other file is left as it was."""
        class Raced(Forge):
            def forge_question(self, gap, existing, goal):
                question = super().forge_question(gap, existing, goal)
                seed.save_question({"name": question["name"], "other": gap["description"]}, self._questions_dir)
                if gap["description"] == "y":
                    seed.save_question({"name": question["name"] + "-2", "other": "y2"}, self._questions_dir)
                return question
        f, brain = make()
        r = Raced(FakeBrain({"name": "n", "question": "q1"}, {"name": "n", "question": "q2"}), f._ledger,
                  f._questions_dir)
        forged = r.run([], [{"name": "n-3", "generation": 0}], "g", [{"area": "x"}, {"area": "y"}])
        # the second proposal passes n (a file), n-2 and n-3 (questions): n-4 is chosen
        assert [q["name"] for q in forged] == ["n-2", "n-4-3"]
        questions_dir = Path(r._questions_dir)
        assert {p.name: json.loads(p.read_text()) for p in questions_dir.iterdir()} == {
            "n.json": {"name": "n", "other": "x"},
            "n-2.json": forged[0],
            "n-4.json": {"name": "n-4", "other": "y"},
            "n-4-2.json": {"name": "n-4-2", "other": "y2"},
            "n-4-3.json": forged[1],
        }
        assert [e["payload"]["question"] for e in r._ledger.events()[::-1]] == ["n-2", "n-4-3"]

    def test_a_question_text_that_is_not_a_str_is_refused(self, make, monkeypatch):
        class Text:
            def __add__(self, other):
                return b"bytes"
        f, _ = make({"name": "a", "question": "q"})
        real = json.dumps
        monkeypatch.setattr(json, "dumps", lambda q, indent=None: Text() if indent else real(q))
        with pytest.raises(TypeError, match="^data must be str, not bytes$"):
            f.run([], [], "g", [{"area": "x"}, {"area": "y"}])
        assert list(Path(f._questions_dir).iterdir()) == [] and f._ledger.size() == 0

    def test_the_name_search_is_bounded(self, make):
        f, _ = make({"name": "a", "question": "q"})
        taken = [{"name": "a"}, {"name": "a-g1"}] + [{"name": f"a-g1-{i}"} for i in range(2, 1001)]
        with pytest.raises(FileExistsError, match="'a-g1'"):
            f.forge_question({"description": "d"}, taken, "g")


RACER = r"""
import json, os, sys, time
from orvane.forge import Forge
from orvane.ledger import Ledger
go, root, tag, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

class Brain:
    def ask(self, prompt):
        gap = prompt.split("  Gap: ", 1)[1].split("\n", 1)[0]
        return "<orvane-forge>" + json.dumps({"name": "same", "question": gap}) + "</orvane-forge>"

forge = Forge(Brain(), Ledger(os.path.join(root, "ledger.jsonl")), os.path.join(root, "questions"))
while not os.path.exists(go):
    time.sleep(0.001)
for i in range(rounds):
    forge.run([], [], "g", gaps=[{"description": f"{tag}-{i}-a"}, {"description": f"{tag}-{i}-b"}])
"""


class TestTwoProcesses:
    def test_forging_one_name_at_once(self, tmp_path):
        """Two processes forge the same proposed name into one directory as fast as they can:
        each FORGE event names a file that holds that very question, so none replaced another."""
        go, rounds = tmp_path / "go", 150
        procs = [subprocess.Popen([sys.executable, "-c", RACER, str(go), str(tmp_path), tag, str(rounds)],
                                  stderr=subprocess.PIPE, text=True, cwd=tmp_path) for tag in ("p", "q")]
        go.touch()
        for p in procs:
            _, err = p.communicate(timeout=600)
            assert p.returncode == 0, err
        events = Ledger(str(tmp_path / "ledger.jsonl")).events()
        assert len(events) == 2 * 2 * rounds
        for event in events:
            stored = json.loads((tmp_path / "questions" / f"{event['payload']['question']}.json").read_text())
            assert (stored["name"], stored["question"]) == (event["payload"]["question"],
                                                            event["payload"]["gap_description"])


class TestRun:
    def test_full_cycle(self, make, tmp_path):
        f, brain = make({"name": "one", "question": "Q1?"}, "garbage", {"name": "two", "question": "Q2?"}, cost=0.5)
        f._last_run_cost = 9.0
        findings = [{"description": "F", "gaps": [{"description": "g2", "dimension": "dim"}, {"description": "g3"}]}]
        forged = f.run(findings, seed.get_seeds(), "goal", gaps=[{"description": "g1"}])
        assert [q["name"] for q in forged] == ["one", "two"]
        assert [q["generation"] for q in forged] == [1, 2]
        assert "- one: Q1?" in brain.prompts[1] and "- one: Q1?" in brain.prompts[2]
        assert f._last_run_cost == 1.5
        on_disk = seed.load_questions(str(tmp_path / "questions"))
        assert [q["name"] for q in on_disk] == ["opportunity-scan", "pressure-test", "one", "two"]
        assert same(on_disk[2], forged[0])
        events = f._ledger.events()[::-1]
        assert [(e["type"], e["source"], e["generation"], e["payload"]) for e in events] == [
            ("FORGE", "forge", 1, {"question": "one", "gap_description": "g1", "gap_dimension": ""}),
            ("FORGE", "forge", 2, {"question": "two", "gap_description": "g3", "gap_dimension": ""}),
        ]

    def test_full_population_asks_nothing(self, make):
        f, brain = make()
        assert f.run([{"gaps": [1, 2, 3]}], questions(50), "g", [{"area": "a"}] * 3) == []
        assert brain.prompts == [] and f._ledger.size() == 0

    def test_room_for_one(self, make):
        f, brain = make(*[{"name": f"n{i}", "question": "q"} for i in range(3)])
        assert len(f.run([], questions(49), "g", [{"area": "a"}, {"area": "b"}, {"area": "c"}])) == 1
        assert len(brain.prompts) == 1

    def test_too_few_gaps(self, make):
        f, brain = make()
        assert f.run([], [], "g", [{"area": "a"}]) == [] and brain.prompts == []

    def test_replacements_are_called(self, make, monkeypatch):
        """seed.save_question, forge.save_question, protocol.make_event and overridden methods are
        looked up when called."""
        saved, made = [], []
        real_make = protocol.make_event

        def make_event(*args, **kwargs):
            made.append((args, sorted(kwargs)))
            return real_make(*args, **kwargs)
        monkeypatch.setattr(protocol, "make_event", make_event)
        monkeypatch.setattr(seed, "save_question", lambda q, d: saved.append(("seed", q["name"])))
        f, _ = make({"name": "a", "question": "q"}, {"name": "b", "question": "q"})
        f.run([], [], "g", [{"area": "x"}, {"area": "y"}])
        monkeypatch.setattr(forge_module, "save_question", lambda q, d: saved.append(("forge", q["name"])))
        f._brain.answers = [{"name": "c", "question": "q"}, {"name": "d", "question": "q"}]
        f.run([], [], "g", [{"area": "x"}, {"area": "y"}])
        assert saved == [("seed", "a"), ("seed", "b"), ("forge", "c"), ("forge", "d")]
        assert made[0] == (("FORGE",), ["generation", "payload", "source"]) and len(made) == 4

        class Picky(Forge):
            def forge_question(self, gap, existing, goal):
                return None if gap["description"] == "x" else super().forge_question(gap, existing, goal)
        p = Picky(FakeBrain({"name": "e", "question": "q"}), f._ledger, f._questions_dir)
        assert [q["name"] for q in p.run([], [], "g", [{"area": "x"}, {"area": "y"}])] == ["e"]

    def test_failures_end_the_run(self, make):
        class Broken:
            def ask(self, prompt):
                raise RuntimeError("down")
        f, _ = make()
        f._brain = Broken()
        with pytest.raises(RuntimeError, match="down"):
            f.run([], [], "g", [{"area": "x"}, {"area": "y"}])
        f, _ = make({"name": "a", "question": "q"})
        f._ledger = None
        with pytest.raises(AttributeError):
            f.run([], [], "g", [{"area": "x"}, {"area": "y"}])
