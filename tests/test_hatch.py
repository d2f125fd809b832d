"""Tests for orvane.hatch: real instance directories, hatched in this process and in racing
child processes."""
import json
import logging
import os
import re
import subprocess
import sys
import textwrap

import pytest
import yaml

from orvane import hatch, seed
from orvane.goal import Goal

STATE = {"cycle_count": 0, "last_cycle_at": None, "status": "initialized"}


def config_of(path):
    return yaml.safe_load((path / "config.yaml").read_text())


def write_question(directory, question, name=None):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / f"{name or question['name']}.json").write_text(json.dumps(question, indent=2) + "\n")


@pytest.fixture
def parent(tmp_path):
    """A pristine instance with a goal, one forged question and an extra config key."""
    path = tmp_path / "parent"
    hatch.hatch0(str(path), "grow", "ann")
    write_question(path / "questions", {"name": "forged-one", "question": "Why?", "generation": 1})
    config = config_of(path)
    config["notify"] = {"file": "reports"}
    hatch._save_config(str(path), config)
    return path


# ---------------------------------------------------------------- configuration


class TestConfiguration:
    def test_missing_and_empty_documents(self, tmp_path):
        assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{3}", hatch._new_instance_id())
        assert hatch._load_config(str(tmp_path / "none")) == {}
        for text in ["", "null", "false", "0", "''", "[]", "{}"]:
            (tmp_path / "config.yaml").write_text(text)
            assert hatch._load_config(str(tmp_path)) == {}, text

    def test_invalid_yaml_warns_and_counts_as_empty(self, tmp_path, caplog):
        (tmp_path / "config.yaml").write_text("a: [1\n")
        with caplog.at_level(logging.WARNING):
            assert hatch._load_config(str(tmp_path)) == {}
        [record] = caplog.records
        assert record.name == "root" and record.msg == "Failed to parse %s, using defaults"
        assert record.getMessage() == f"Failed to parse {tmp_path / 'config.yaml'}, using defaults"

    @pytest.mark.parametrize("text,found", [("- 1\n", "list"), ("word", "str"), ("5", "int")])
    def test_other_documents_raise(self, tmp_path, text, found):
        (tmp_path / "config.yaml").write_text(text)
        with pytest.raises(TypeError, match=f"^Expected dict, got {found}$"):
            hatch._load_config(str(tmp_path))

    def test_save_writes_block_yaml_in_order(self, tmp_path):
        config = {"z": 1, "a": {"k": ["x", "é"]}, "children": []}
        hatch._save_config(str(tmp_path / "new" / "inst"), config)
        path = tmp_path / "new" / "inst" / "config.yaml"
        assert path.read_text() == yaml.dump(config, default_flow_style=False, sort_keys=False)
        path.chmod(0o600)
        hatch._save_config(str(tmp_path / "new" / "inst"), {"b": 2})
        assert path.stat().st_mode & 0o777 == 0o600 and config_of(path.parent) == {"b": 2}
        class Unrepresentable:
            def __reduce_ex__(self, protocol):
                raise TypeError("cannot be represented")
        with pytest.raises(TypeError, match="cannot be represented"):
            hatch._save_config(str(path.parent), {"bad": Unrepresentable()})
        assert config_of(path.parent) == {"b": 2}
        assert os.listdir(path.parent) == ["config.yaml"]


# ----------------------------------------------------------------------- hatch


class TestHatch:
    def test_child_instance(self, parent, tmp_path):
        parent_config = config_of(parent)
        child = tmp_path / "child"
        assert hatch.hatch(str(parent), str(child) + "/", "new goal", "bob") == str(child)
        assert sorted(os.listdir(child)) == ["config.yaml", "goal.yaml", "ledger.jsonl", "questions", "state.json"]
        assert sorted(os.listdir(child / "questions")) == sorted(os.listdir(parent / "questions"))
        for name in os.listdir(parent / "questions"):  # copied with their times
            assert (child / "questions" / name).read_bytes() == (parent / "questions" / name).read_bytes()
            assert (child / "questions" / name).stat().st_mtime_ns == (parent / "questions" / name).stat().st_mtime_ns
        config = config_of(child)
        assert list(config) == ["instance_id", "generation", "parent_id", "hatched_at", "hatched_from",
                                "protocol_version", "selector", "children"]
        assert config["generation"] == 1 and config["parent_id"] == parent_config["instance_id"]
        assert config["hatched_from"] == str(parent) and config["children"] == []
        assert config["selector"] == {"algorithm": "hebbian"} and config["protocol_version"] == "0.1.0"
        assert (child / "ledger.jsonl").read_bytes() == b""
        assert (child / "state.json").read_text() == json.dumps(STATE, indent=2)
        g = Goal.load(str(child / "goal.yaml"))
        assert (g.goal, g.owner) == ("new goal", "bob")

        after = config_of(parent)
        assert after["notify"] == {"file": "reports"}  # other keys survive the rewrite
        assert after["children"] == [{"instance_id": config["instance_id"], "path": str(child),
                                      "hatched_at": after["children"][0]["hatched_at"]}]

    def test_grandchild_and_two_children(self, parent, tmp_path):
        first = hatch.hatch(str(parent), str(tmp_path / "c1"))
        hatch.hatch(str(parent), str(tmp_path / "c2"))
        grandchild = hatch.hatch(first, str(tmp_path / "g"))
        assert [c["path"] for c in config_of(parent)["children"]] == [str(tmp_path / "c1"), str(tmp_path / "c2")]
        lineage = hatch.get_lineage(grandchild)
        assert lineage["generation"] == 2 and lineage["parent_id"] == config_of(tmp_path / "c1")["instance_id"]

    def test_goal_choices(self, parent, tmp_path):
        hatch.hatch(str(parent), str(tmp_path / "copied"))
        assert (tmp_path / "copied" / "goal.yaml").read_bytes() == (parent / "goal.yaml").read_bytes()
        hatch.hatch(str(parent), str(tmp_path / "owned"), "g2", "")
        assert Goal.load(str(tmp_path / "owned" / "goal.yaml")).owner == "ann"
        # a parent made by hatch has no owner of its own
        hatch.hatch(str(tmp_path / "copied"), str(tmp_path / "anon"), "g3")
        assert Goal.load(str(tmp_path / "anon" / "goal.yaml")).owner == "unknown"
        (tmp_path / "bare").mkdir()
        hatch.hatch(str(tmp_path / "bare"), str(tmp_path / "nogoal"))
        assert not (tmp_path / "nogoal" / "goal.yaml").exists()

    def test_parent_without_configuration(self, tmp_path):
        (tmp_path / "bare").mkdir()
        hatch.hatch(str(tmp_path / "bare"), str(tmp_path / "child"))
        config = config_of(tmp_path / "child")
        assert (config["generation"], config["parent_id"]) == (1, "unknown")
        assert os.listdir(tmp_path / "child" / "questions") == []  # the in-memory seed counts
        assert list(config_of(tmp_path / "bare")) == ["children"]

    def test_unparseable_parent_configuration(self, parent, tmp_path, caplog):
        """The child is hatched as from a parent without settings; the parent's file, which
        one stray tab made unreadable, is left byte for byte, and the warning that the child
        went unrecorded names it."""
        text = (parent / "config.yaml").read_bytes() + b"\tlost: [\n"
        (parent / "config.yaml").write_bytes(text)
        child = tmp_path / "child"
        with caplog.at_level(logging.WARNING):
            assert hatch.hatch(str(parent), str(child)) == str(child)
        config_file = parent / "config.yaml"
        assert [r.getMessage() for r in caplog.records] == [
            f"Failed to parse {config_file}, using defaults",
            f"Child {child} was not recorded in {config_file}, which could not be parsed"]
        assert all(r.name == "root" for r in caplog.records)
        assert config_of(child)["parent_id"] == "unknown" and config_of(child)["generation"] == 1
        assert sorted(os.listdir(child)) == ["config.yaml", "goal.yaml", "ledger.jsonl", "questions", "state.json"]
        assert config_file.read_bytes() == text

    def test_a_configuration_mapping_that_is_not_a_dict(self, parent, tmp_path, monkeypatch):
        """A replaced _load_config may give any mutable mapping: the child is recorded through
        the mapping's own item assignment, and the parent's map is what _save_config gets."""
        import collections

        class Recording(dict):
            def __setitem__(self, key, value):
                self.set_keys = [*getattr(self, "set_keys", []), key]
                super().__setitem__(key, value)

        saved = []
        monkeypatch.setattr(hatch, "_save_config", lambda d, config: saved.append((d, config)))
        for n, made in enumerate([collections.UserDict, Recording, collections.OrderedDict]):
            config = made({"instance_id": "p", "generation": 2, "children": None})
            monkeypatch.setattr(hatch, "_load_config", lambda d, config=config: config)
            child = tmp_path / f"c{n}"
            hatch.hatch(str(parent), str(child))
            assert saved[-2][0] == str(child) and saved[-2][1]["parent_id"] == "p"
            assert saved[-1] == (str(parent), config)
            assert saved[-1][1] is config and [c["path"] for c in config["children"]] == [str(child)]
            if made is Recording:
                assert config.set_keys == ["children"]

    def test_null_children_still_records_the_child(self, parent, tmp_path):
        config = config_of(parent)
        config["children"] = None
        hatch._save_config(str(parent), config)
        hatch.hatch(str(parent), str(tmp_path / "child"))
        assert len(config_of(parent)["children"]) == 1

    def test_refusals_write_nothing(self, parent, tmp_path):
        before = (parent / "config.yaml").read_text()
        with pytest.raises(FileNotFoundError, match="^Source instance not found: nowhere$"):
            hatch.hatch("nowhere", str(tmp_path / "x"))
        (tmp_path / "taken").mkdir()
        with pytest.raises(FileExistsError, match=f"^Destination already exists: {tmp_path}/taken$"):
            hatch.hatch(str(parent), str(tmp_path / "taken"))
        assert not (tmp_path / "x").exists() and os.listdir(tmp_path / "taken") == []
        assert (parent / "config.yaml").read_text() == before

    def test_non_numeric_parent_generation(self, parent, tmp_path):
        hatch._save_config(str(parent), {"generation": "3"})
        with pytest.raises(TypeError):
            hatch.hatch(str(parent), str(tmp_path / "child"))
        assert "children" not in config_of(parent)

    @pytest.mark.parametrize("stored", [{"immutable": "true"}, {"generation": None}, {"immutable": 1}])
    def test_corrupted_seed_is_replaced_in_the_child(self, tmp_path, stored):
        question = seed.get_seed() | stored
        if stored.get("generation", 0) is None:
            del question["generation"]
        write_question(tmp_path / "p" / "questions", question)
        (tmp_path / "p" / "questions" / "sub.json").mkdir()  # not a file: not copied
        hatch.hatch(str(tmp_path / "p"), str(tmp_path / "c"))
        assert os.listdir(tmp_path / "c" / "questions") == ["pressure-test.json"]
        assert json.loads((tmp_path / "c" / "questions" / "pressure-test.json").read_text()) == seed.get_seed()

    def test_sibling_functions_are_looked_up_at_call_time(self, parent, tmp_path, monkeypatch):
        calls = []
        original = seed.load_questions
        monkeypatch.setattr(seed, "load_questions", lambda d: calls.append(("seed", d)) or original(d))
        hatch.hatch(str(parent), str(tmp_path / "a"))
        monkeypatch.setattr(hatch, "load_questions", lambda d: calls.append(("hatch", d)) or original(d))
        hatch.hatch(str(parent), str(tmp_path / "b"))
        assert calls == [("seed", str(tmp_path / "a" / "questions")), ("hatch", str(tmp_path / "b" / "questions"))]

    def test_own_helpers_are_looked_up_at_call_time(self, parent, tmp_path, monkeypatch):
        monkeypatch.setattr(hatch, "_now_iso", lambda: "NOW")
        monkeypatch.setattr(hatch, "_new_instance_id", lambda: "child-id")
        hatch.hatch(str(parent), str(tmp_path / "c"))
        assert config_of(tmp_path / "c")["hatched_at"] == "NOW"
        assert config_of(parent)["children"][-1] == {"instance_id": "child-id", "path": str(tmp_path / "c"),
                                                     "hatched_at": "NOW"}


# ---------------------------------------------------------------- concurrency

RACER = r"""
import os, sys, time
from orvane import hatch
go, source, me = sys.argv[1], sys.argv[2], sys.argv[3]
dests = sys.argv[4:]
while not os.path.exists(go):
    time.sleep(0.001)
for dest in dests:
    try:
        hatch.hatch(source, dest.replace("ME", me))
        print("ok", dest.replace("ME", me))
    except FileExistsError as e:
        print("exists", dest.replace("ME", me), e)
"""


def race(tmp_path, source, dests, racers=2):
    go = tmp_path / "go"
    procs = [subprocess.Popen([sys.executable, "-c", RACER, str(go), str(source), str(n), *dests],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
             for n in range(racers)]
    go.touch()
    outs = []
    for p in procs:
        out, err = p.communicate(timeout=300)
        assert p.returncode == 0, err
        outs.extend(line.split(" ", 2) for line in out.splitlines())
    return outs


class TestConcurrency:
    def test_hatches_from_one_parent_keep_every_child(self, parent, tmp_path):
        outs = race(tmp_path, parent, [str(tmp_path / f"child-ME-{i}") for i in range(12)])
        made = sorted(path for outcome, path, *_ in outs if outcome == "ok")
        assert len(made) == 24
        assert sorted(c["path"] for c in config_of(parent)["children"]) == made
        assert config_of(parent)["notify"] == {"file": "reports"}

    def test_one_destination_has_one_winner(self, parent, tmp_path):
        dests = [str(tmp_path / f"same-{i}") for i in range(12)]
        outs = race(tmp_path, parent, dests)
        for dest in dests:
            outcomes = sorted(o[0] for o in outs if o[1] == dest)
            assert outcomes == ["exists", "ok"], dest
            assert [o[2] for o in outs if o[1] == dest and o[0] == "exists"] == [
                f"Destination already exists: {dest}"]
        assert sorted(c["path"] for c in config_of(parent)["children"]) == sorted(dests)


# ---------------------------------------------------------------------- hatch0


class TestHatch0:
    def test_pristine_instance(self, tmp_path):
        path = hatch.hatch0(str(tmp_path / "p"))
        assert os.listdir(tmp_path / "p" / "questions") == ["pressure-test.json"]
        stored = (tmp_path / "p" / "questions" / "pressure-test.json").read_text()
        assert json.loads(stored) == seed.get_seed()
        config = config_of(tmp_path / "p")
        assert list(config) == ["instance_id", "generation", "parent_id", "hatched_at", "hatched_from",
                                "protocol_version", "selector", "children"]
        assert (config["generation"], config["parent_id"], config["hatched_from"]) == (0, None, "pristine")
        assert not (tmp_path / "p" / "goal.yaml").exists()
        assert (tmp_path / "p" / "state.json").read_text() == json.dumps(STATE, indent=2)
        lineage = hatch.get_lineage(path)
        assert lineage["seed_intact"] is True
        assert lineage["question_population"] == len(seed.load_questions(str(tmp_path / "p" / "questions")))

    def test_owner_and_goal(self, tmp_path):
        hatch.hatch0(str(tmp_path / "a"), "g", "ann")
        assert config_of(tmp_path / "a")["owner"] == "ann"
        assert Goal.load(str(tmp_path / "a" / "goal.yaml")).owner == "ann"
        hatch.hatch0(str(tmp_path / "b"), "g")
        assert "owner" not in config_of(tmp_path / "b")
        assert Goal.load(str(tmp_path / "b" / "goal.yaml")).owner == "unknown"
        hatch.hatch0(str(tmp_path / "c"), "", "ann")
        assert not (tmp_path / "c" / "goal.yaml").exists()
        with pytest.raises(FileExistsError, match="^Destination already exists: "):
            hatch.hatch0(str(tmp_path / "c"))


# ------------------------------------------------------------- seed and lineage


class TestSeedAndLineage:
    def test_deleted_seed_file(self, tmp_path):
        hatch.hatch0(str(tmp_path / "p"))
        (tmp_path / "p" / "questions" / "pressure-test.json").unlink()
        assert hatch.extract_seed(str(tmp_path / "p")) == seed.get_seed()
        assert os.listdir(tmp_path / "p" / "questions") == []

    def test_corrupted_seed_is_written_back(self, tmp_path):
        write_question(tmp_path / "p" / "questions", seed.get_seed() | {"immutable": False, "extra": 1})
        assert hatch.extract_seed(str(tmp_path / "p")) == seed.get_seed()
        path = tmp_path / "p" / "questions" / "pressure-test.json"
        assert json.loads(path.read_text()) == seed.get_seed()
        stored = path.read_text()
        again = hatch.extract_seed(str(tmp_path / "p"))
        assert again == seed.get_seed() and path.read_text() == stored

    def test_lineage_of_a_plain_directory(self, tmp_path):
        report = hatch.get_lineage(str(tmp_path))
        assert report == {"instance_id": "unknown", "generation": 0, "parent_id": None, "hatched_at": "unknown",
                          "seed_intact": True, "question_population": len(seed.get_seeds()), "children": []}
        assert list(report) == ["instance_id", "generation", "parent_id", "hatched_at", "seed_intact",
                                "question_population", "children"]
        assert (tmp_path / "questions").is_dir()

    def test_lineage_uses_the_module_loader(self, tmp_path, monkeypatch):
        monkeypatch.setattr(hatch, "_load_config", lambda d: {"instance_id": "x", "children": None})
        monkeypatch.setattr(hatch, "load_questions", lambda d: [{"name": "pressure-test", "generation": 0.0,
                                                                 "immutable": True}])
        report = hatch.get_lineage(str(tmp_path))
        assert (report["instance_id"], report["children"], report["seed_intact"],
                report["question_population"]) == ("x", None, True, 1)
