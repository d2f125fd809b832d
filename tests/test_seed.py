"""Tests for orvane.seed: seed questions, question files, the evaluation prompt and its parser."""
import copy
import json
import math
import os
import re
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from orvane import seed
from tests.conftest import run_in_child, same

OPEN, CLOSE = "<orvane-eval>", "</orvane-eval>"


# ---------------------------------------------------------------- references
# The algorithms as plain Python over the host's re and json: the native
# module must give the same values, key order and float bits.


def ref_block(text, open_tag=OPEN, close_tag=CLOSE):
    m = re.search(re.escape(open_tag) + r"\s*(.*?)\s*" + re.escape(close_tag), text, re.DOTALL)
    return m.group(1) if m else None


def ref_clamp(value, lo=0.0, hi=1.0):
    try:
        return max(lo, min(hi, float(value)))
    except (TypeError, ValueError, OverflowError):
        return lo


def ref_parse(output, open_tag=OPEN, close_tag=CLOSE):
    default = {"findings": [], "gaps": [], "meta": {"confidence": 0.0, "coverage_estimate": 0.0},
               "raw": output}
    block = ref_block(output, open_tag, close_tag)
    if block is None:
        return default
    try:
        data = json.loads(block.strip())
    except (ValueError, RecursionError):
        return default
    if not isinstance(data, dict):
        return default
    findings = data.get("findings", [])
    gaps = data.get("gaps", [])
    meta = data.get("meta", {})
    return {
        "raw": output,
        "findings": [{"description": str(f.get("description", "")),
                      "severity": ref_clamp(f.get("severity", 0.5)),
                      "category": str(f.get("category", "unknown")),
                      "evidence": str(f.get("evidence", ""))}
                     for f in (findings if isinstance(findings, list) else []) if isinstance(f, dict)],
        "gaps": [{"description": str(g.get("description", "")), "dimension": str(g.get("dimension", ""))}
                 for g in (gaps if isinstance(gaps, list) else []) if isinstance(g, dict)],
        "meta": ({"confidence": ref_clamp(meta.get("confidence", 0.0)),
                  "coverage_estimate": ref_clamp(meta.get("coverage_estimate", 0.0))}
                 if isinstance(meta, dict) else {"confidence": 0.0, "coverage_estimate": 0.0}),
    }


def ref_load(questions_dir):
    path = Path(questions_dir)
    path.mkdir(parents=True, exist_ok=True)
    out, seen = [], set()
    for f in sorted(path.glob("*.json")):
        try:
            data = json.loads(f.read_text())
        except (json.JSONDecodeError, OSError):
            continue
        if isinstance(data, dict) and "name" in data:
            seen.add(data["name"])
            out.append(data)
    out += [copy.deepcopy(s) for s in seed._ALL_SEEDS if s["name"] not in seen]
    out.sort(key=lambda q: (q.get("generation", 0), q.get("name", "")))
    return out


# --------------------------------------------------------------------- seeds


class TestSeeds:
    def test_constants(self):
        assert list(seed.SEED_QUESTION) == ["name", "question", "description", "generation", "parent",
                                            "immutable", "tags"]
        assert seed.SEED_QUESTION["tags"] == ["seed", "meta", "recursive"]
        assert seed.GENERATIVE_SEED["description"].endswith("Not what is broken \u2014 what is possible.")
        assert seed._ALL_SEEDS[0] is seed.SEED_QUESTION and seed._ALL_SEEDS[1] is seed.GENERATIVE_SEED
        assert (seed._EVAL_TAG, seed._EVAL_OPEN, seed._EVAL_CLOSE) == ("orvane-eval", OPEN, CLOSE)

    def test_copies_are_deep(self):
        """Changing what get_seed or get_seeds handed out never reaches the seeds."""
        a = seed.get_seed()
        a["tags"].append("x")
        b = seed.get_seeds()
        b[0]["tags"].clear()
        b[1]["name"] = "other"
        assert seed.get_seed() == seed.SEED_QUESTION and seed.SEED_QUESTION["tags"] == ["seed", "meta", "recursive"]
        assert [s["name"] for s in seed.get_seeds()] == ["pressure-test", "opportunity-scan"]

    def test_get_seed_reads_the_module_constant(self, monkeypatch):
        monkeypatch.setattr(seed, "SEED_QUESTION", {"name": "patched", "tags": []})
        assert seed.get_seed() == {"name": "patched", "tags": []}

    @pytest.mark.parametrize("change, expected", [
        ({}, True), ({"generation": 0.0}, True), ({"name": "opportunity-scan"}, True),
        ({"generation": 1}, False), ({"immutable": 1}, False), ({"immutable": "yes"}, False),
        ({"name": "other"}, False), ({"name": None}, False), ({"name": ["pressure-test"]}, False),
    ])
    def test_is_seed(self, change, expected):
        assert seed.is_seed({**seed.get_seed(), **change}) is expected

    @pytest.mark.parametrize("missing", ["name", "generation", "immutable"])
    def test_is_seed_needs_every_mark(self, missing):
        q = seed.get_seed()
        del q[missing]
        assert seed.is_seed(q) is False


# --------------------------------------------------------------------- files


def write(path, text):
    path.write_text(text)
    return path


class TestLoadQuestions:
    def test_missing_directory_gives_the_seeds(self, tmp_path):
        d = tmp_path / "a" / "questions"
        assert [q["name"] for q in seed.load_questions(str(d))] == ["opportunity-scan", "pressure-test"]
        assert d.is_dir()

    def test_stored_files(self, tmp_path):
        """A stored seed name replaces the seed; duplicates stay in file-name order; bad entries
        are skipped; a question without generation sorts as generation 0."""
        write(tmp_path / "b.json", json.dumps({"name": "pressure-test", "description": "mine"}))
        write(tmp_path / "z.json", json.dumps({"name": "dup", "generation": 1, "n": 2}))
        write(tmp_path / "y.json", json.dumps({"name": "dup", "generation": 1, "n": 1}))
        write(tmp_path / ".hidden.json", json.dumps({"name": "aaa", "generation": 0}))
        write(tmp_path / "list.json", "[1]")
        write(tmp_path / "noname.json", "{}")
        write(tmp_path / "empty.json", "")
        write(tmp_path / "bad.json", "{")
        write(tmp_path / "other.txt", json.dumps({"name": "txt"}))
        (tmp_path / "dir.json").mkdir()
        (tmp_path / "dangling.json").symlink_to(tmp_path / "nowhere")
        got = seed.load_questions(str(tmp_path))
        assert [(q["name"], q.get("n")) for q in got] == [
            ("aaa", None), ("opportunity-scan", None), ("pressure-test", None), ("dup", 1), ("dup", 2)]
        assert got[2] == {"name": "pressure-test", "description": "mine"}

    def test_only_regular_files_are_read(self, tmp_path):
        """A FIFO, a link to one, a link to an endless device and a directory named *.json are
        skipped as unreadable (opening or reading them would block or never end); a link to a
        regular file is read. In a child, so that a hang fails the test instead of the run."""
        kept = write(tmp_path / "elsewhere", json.dumps({"name": "linked", "generation": 1}))
        d = tmp_path / "questions"
        d.mkdir()
        os.mkfifo(d / "fifo.json")
        (d / "to-fifo.json").symlink_to(d / "fifo.json")
        (d / "zero.json").symlink_to("/dev/zero")
        (d / "dir.json").mkdir()
        (d / "link.json").symlink_to(kept)
        out = run_in_child(f"""
            from orvane import seed
            print([q["name"] for q in seed.load_questions({str(d)!r})])
        """, timeout=60)
        assert out.strip() == "['opportunity-scan', 'pressure-test', 'linked']"

    def test_incomparable_keys_raise(self, tmp_path):
        write(tmp_path / "a.json", json.dumps({"name": "a", "generation": "one"}))
        with pytest.raises(TypeError):
            seed.load_questions(str(tmp_path))

    def test_undecodable_bytes_reach_the_caller(self, tmp_path):
        (tmp_path / "a.json").write_bytes(b'{"name": "\xff"}')
        with pytest.raises(UnicodeDecodeError):
            seed.load_questions(str(tmp_path))

    def test_uses_the_hosts_json_loads(self, tmp_path, monkeypatch):
        write(tmp_path / "a.json", "{}")
        monkeypatch.setattr(json, "loads", lambda text: {"name": "from-patch", "generation": 3})
        assert seed.load_questions(str(tmp_path))[-1] == {"name": "from-patch", "generation": 3}

    def test_argument_types(self, tmp_path):
        with pytest.raises(TypeError, match=r"^Argument 'questions_dir' has incorrect type \(expected str, got PosixPath\)$"):
            seed.load_questions(tmp_path)
        with pytest.raises(TypeError, match=r"expected dict, got NoneType"):
            seed.save_question(None, str(tmp_path))

    names = st.text(st.sampled_from("ab.-é\U0001F600"), max_size=4)
    contents = st.one_of(
        st.builds(lambda n, g: json.dumps({"name": n, "generation": g}, ensure_ascii=False),
                  st.text(st.sampled_from("ab-é"), max_size=3) | st.sampled_from(["pressure-test", "opportunity-scan"]),
                  st.integers(0, 2)),
        st.sampled_from(["", "{", "[]", "{}", "null", '{"name": "x"} x', '{"generation": 1}']),
    )

    @settings(max_examples=60, deadline=None)
    @given(st.dictionaries(st.tuples(names, st.sampled_from([".json", ".txt"])), contents, max_size=6))
    def test_matches_the_reference(self, files):
        with tempfile.TemporaryDirectory() as d:
            for (stem, suffix), text in files.items():
                write(Path(d) / (stem + suffix), text)
            assert same(seed.load_questions(d), ref_load(d))


class TestSaveQuestion:
    @pytest.mark.parametrize("name, file_name", [
        ("My Question!", "my-question.json"), ("a_b.c", "a-b-c.json"), ("???", ".json"),
        ("--x--y--", "x--y.json"), ("\u0130stanbul", "i-stanbul.json"), (None, None),
    ])
    def test_file_names(self, tmp_path, name, file_name):
        q = {"x": 1} if name is None else {"name": name}
        path = seed.save_question(q, str(tmp_path))
        assert path == str(tmp_path / (file_name or "unnamed.json"))
        assert os.listdir(tmp_path) == [file_name or "unnamed.json"]

    def test_content_and_path(self, tmp_path, monkeypatch):
        """indent 2, keys in map order, non-ASCII escaped, one newline; the path is normalised."""
        q = {"name": "z", "question": "\u00e9\U0001F600?", "a": [], "b": {}, "tags": ["x", 1.5, None]}
        monkeypatch.chdir(tmp_path)
        path = seed.save_question(q, "./q//")
        assert path == "q/z.json"
        assert Path(path).read_text() == json.dumps(q, indent=2) + "\n"
        assert "\\ud83d\\ude00" in Path(path).read_text()
        assert seed.load_questions("q")[-1] == q

    def test_rewrite_replaces_the_file_whole_and_keeps_its_mode(self, tmp_path):
        path = Path(seed.save_question({"name": "a", "v": 1}, str(tmp_path)))
        path.chmod(0o640)
        inode = path.stat().st_ino
        seed.save_question({"name": "A", "v": 2}, str(tmp_path))
        assert json.loads(path.read_text()) == {"name": "A", "v": 2}
        assert path.stat().st_ino != inode and path.stat().st_mode & 0o777 == 0o640
        assert os.listdir(tmp_path) == ["a.json"]

    def test_failures_leave_the_old_file(self, tmp_path):
        path = Path(seed.save_question({"name": "a"}, str(tmp_path)))
        with pytest.raises(TypeError):
            seed.save_question({"name": "a", "bad": {1, 2}}, str(tmp_path))
        with pytest.raises(AttributeError, match="'int' object has no attribute 'lower'"):
            seed.save_question({"name": 5}, str(tmp_path))
        assert path.read_text() == '{\n  "name": "a"\n}\n' and os.listdir(tmp_path) == ["a.json"]

    def test_file_names_from_a_replaced_re_sub(self, tmp_path):
        """The host's re.sub makes the safe name of a name that lowers to something other than
        a str; whatever a replaced re.sub gives, the file name is what `safe + ".json"` makes
        of it, or the error Python code meets (in a child: a crash must not end the run)."""
        out = run_in_child(f"""
            import collections, re
            from pathlib import Path
            from orvane import seed

            class Name(str):
                def lower(self):
                    return Name(str.lower(self))

            class Odd:
                def strip(self, chars):
                    return 7

            class Sub(str):
                pass

            def reference(name, directory):
                safe = re.sub(r"[^a-z0-9\\-]", "-", name.lower()).strip("-")
                return str(Path(directory) / (safe + ".json"))

            def outcome(call):
                try:
                    return call()
                except Exception as e:
                    return type(e).__name__, str(e)

            real = re.sub
            for made in [collections.UserString("u-s"), Sub("-sub-"), Odd(), b"-b-", 5, "plain"]:
                re.sub = lambda pattern, repl, text, made=made: made
                got = outcome(lambda: seed.save_question({{"name": Name("X")}}, {str(tmp_path)!r}))
                re.sub = lambda pattern, repl, text, made=made: made
                want = outcome(lambda: reference(Name("X"), {str(tmp_path)!r}))
                re.sub = real
                print(got == want, got)
        """)
        lines = out.splitlines()
        assert all(line.startswith("True") for line in lines), out
        assert "TypeError" in lines[0] and lines[1] == f"True {tmp_path / 'sub.json'}"

    def test_text_that_is_not_a_str_is_refused_as_write_text_refuses_it(self, tmp_path, monkeypatch):
        class Text:
            def __add__(self, other):
                return 5
        monkeypatch.setattr(json, "dumps", lambda q, indent: Text())
        with pytest.raises(TypeError, match="^data must be str, not int$"):
            seed.save_question({"name": "a"}, str(tmp_path))
        assert os.listdir(tmp_path) == []

    def test_uses_the_hosts_json_dumps(self, tmp_path, monkeypatch):
        monkeypatch.setattr(json, "dumps", lambda q, indent: "patched")
        assert Path(seed.save_question({}, str(tmp_path))).read_text() == "patched\n"


# ------------------------------------------------------------------- numbers


class TestClamp:
    @pytest.mark.parametrize("value, args, expected", [
        ("0.7", (), 0.7), (None, (), 0.0), ("abc", (), 0.0), (1.5, (), 1.0), (-3, (), 0.0), (True, (), 1.0),
        (0.5, (0.6, 0.9), 0.6), (math.nan, (), 1.0), (math.inf, (), 1.0), (-math.inf, (), 0.0),
        (10 ** 400, (), 0.0), ([], (), 0.0), ({}, (0.25,), 0.25), (" 1e-1 ", (), 0.1), (2, (0, 5), 2.0),
    ])
    def test_cases(self, value, args, expected):
        result = seed._clamp(value, *args)
        assert type(result) is float and result == expected

    @given(st.one_of(st.floats(), st.integers(), st.text(max_size=8), st.booleans(), st.none()),
           st.floats(allow_nan=False), st.floats(allow_nan=False))
    def test_matches_the_reference(self, value, lo, hi):
        assert same(seed._clamp(value, lo, hi), ref_clamp(value, lo, hi))

    def test_bounds_must_be_numbers(self):
        with pytest.raises(TypeError, match="Argument 'lo'"):
            seed._clamp(0.5, "0")


# -------------------------------------------------------------------- prompt


class TestPrompt:
    SCHEMA = (
        '{\n  "findings": [\n    {"description": "...", "severity": 0.0-1.0, "category": "...", '
        '"evidence": "..."}\n  ],\n  "gaps": [\n    {"description": "...", "dimension": "..."}\n  ],\n'
        '  "meta": {\n    "confidence": 0.0-1.0,\n    "coverage_estimate": 0.0-1.0\n  }\n}')

    def test_full_prompt(self):
        q = {"name": "n", "question": "Why?", "description": "Look closely."}
        got = seed.format_question_prompt(q, "repo", "ship", context="- f1\n- f2", depth=2)
        assert got == (
            "GOAL (what 'right' means): ship\n\nTARGET: repo\n\n"
            "NOTE: You are evaluating PREVIOUS findings (depth 2), not the original target. "
            "The findings from depth 1 were:\n- f1\n- f2\n\n"
            "QUESTION [n]: Why?\nGuidance: Look closely.\n\n"
            "Respond with your analysis, then provide structured output inside "
            "<orvane-eval>...</orvane-eval> tags as valid JSON with this schema:\n" + self.SCHEMA)

    @pytest.mark.parametrize("context, depth", [("", 2), ("ctx", 0), ("ctx", -1)])
    def test_no_note(self, context, depth):
        got = seed.format_question_prompt({"name": 1, "question": None, "description": ""}, "t", "g",
                                          context, depth)
        assert got == ("GOAL (what 'right' means): g\n\nTARGET: t\n\nQUESTION [1]: None\n\n"
                       "Respond with your analysis, then provide structured output inside "
                       "<orvane-eval>...</orvane-eval> tags as valid JSON with this schema:\n" + self.SCHEMA)

    def test_depth_converts_numbers(self):
        got = seed.format_question_prompt({"name": "n", "question": "q"}, "t", "g", "c", 3.9)
        assert "(depth 3)" in got and "from depth 2 were:\nc\n\n" in got

    @pytest.mark.parametrize("missing", ["name", "question"])
    def test_missing_keys(self, missing):
        q = {"name": "n", "question": "q"}
        del q[missing]
        with pytest.raises(KeyError, match=missing):
            seed.format_question_prompt(q, "t", "g")


# ------------------------------------------------------------------- parsing


def block(obj):
    return f"prose {OPEN}\n{json.dumps(obj)}\n{CLOSE} more"


class TestParse:
    def test_default_results(self):
        for text in ["no tags", f"{OPEN} {{}}", f"{OPEN}...{CLOSE} {block({'gaps': [{}]})}",
                     f"{OPEN}[1]{CLOSE}", f"{OPEN}{{'a': 1}}{CLOSE}", "", f"{OPEN}{'1' * 5000}{CLOSE}",
                     f"{OPEN}{'[' * 100000}{CLOSE}"]:
            got = seed.parse_question_output(text)
            assert list(got) == ["findings", "gaps", "meta", "raw"] and got["raw"] is text
            assert same(got, ref_parse(text))

    def test_findings_gaps_and_meta(self):
        text = block({
            "findings": [{"severity": 1.7}, {"severity": -1}, {"severity": "0.3", "category": None},
                         {"description": 5, "evidence": [1, "a"]}, {"severity": None}, "plain", 3],
            "gaps": [{"dimension": "d", "x": 1}, [], {"description": {"a": True}}],
            "meta": {"confidence": "high", "coverage_estimate": 0.4, "other": 1},
            "extra": 1,
        })
        got = seed.parse_question_output(text)
        assert list(got) == ["raw", "findings", "gaps", "meta"]
        assert [f["severity"] for f in got["findings"]] == [1.0, 0.0, 0.3, 0.5, 0.0]
        assert got["findings"][2]["category"] == "None" and got["findings"][0]["category"] == "unknown"
        assert got["findings"][3] == {"description": "5", "severity": 0.5, "category": "unknown",
                                      "evidence": "[1, 'a']"}
        assert got["gaps"] == [{"description": "", "dimension": "d"}, {"description": "{'a': True}", "dimension": ""}]
        assert got["meta"] == {"confidence": 0.0, "coverage_estimate": 0.4}
        assert same(got, ref_parse(text))

    @pytest.mark.parametrize("obj", [{"findings": {"a": 1}, "gaps": [{"description": "g"}]},
                                     {"meta": [0.5, 0.5]}, {"meta": None, "findings": None}])
    def test_wrong_shapes(self, obj):
        assert same(seed.parse_question_output(block(obj)), ref_parse(block(obj)))

    def test_uses_the_modules_clamp(self, monkeypatch):
        monkeypatch.setattr(seed, "_clamp", lambda v: ("clamped", v))
        got = seed.parse_question_output(block({"findings": [{}], "meta": {}}))
        assert got["findings"][0]["severity"] == ("clamped", 0.5)
        assert got["meta"] == {"confidence": ("clamped", 0.0), "coverage_estimate": ("clamped", 0.0)}

    def test_hostile_decoded_values(self):
        """A patched json.loads handing out values whose str() empties the containers being read."""
        run_in_child("""
            import json
            from orvane import seed
            data = {}
            class Evil:
                def __str__(self):
                    data.clear(); findings.clear(); return "evil"
            findings = [{"description": Evil(), "category": Evil()}, {"description": Evil()}]
            data.update(findings=findings, gaps=[{"dimension": Evil()}], meta={"confidence": 0.5})
            json.loads = lambda text: data
            got = seed.parse_question_output("<orvane-eval>{}</orvane-eval>")
            assert got["findings"] == [{"description": "evil", "severity": 0.5, "category": "evil", "evidence": ""}], got
            print("ok")
        """)


# The differential test of the block search: texts built from tags, broken
# tags, white space of every kind \\s knows, and JSON objects that tell which
# block was taken.
WHITESPACE = " \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2028\u2029\u202f\u3000"
pieces = st.one_of(
    st.sampled_from([OPEN, CLOSE, OPEN[:-1], CLOSE[1:], "<", "</", "...", "x", "\u200b", "\U0001F600"]),
    st.text(st.sampled_from(WHITESPACE), min_size=1, max_size=3),
    st.builds(lambda i: json.dumps({"gaps": [{"description": str(i)}], "meta": {"confidence": i / 10}}),
              st.integers(0, 9)),
)
texts = st.lists(pieces, max_size=14).map("".join)


class TestBlockSearch:
    @settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
    @given(texts)
    def test_parse_matches_the_host_expression(self, text):
        assert same(seed.parse_question_output(text), ref_parse(text))

    @settings(max_examples=200)
    @given(texts, st.sampled_from(["<a>", "", "x", " <a>", "\u3000", OPEN]),
           st.sampled_from(["</a>", "", " </a>", "\u3000x", "x", CLOSE, "\n"]))
    def test_any_tags(self, text, open_tag, close_tag):
        """Patched tags, including ones the one-pass search leaves to the host's re."""
        text = text.replace(OPEN, open_tag).replace(CLOSE, close_tag)
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(seed, "_EVAL_OPEN", open_tag)
            mp.setattr(seed, "_EVAL_CLOSE", close_tag)
            assert same(seed.parse_question_output(text), ref_parse(text, open_tag, close_tag))

    @pytest.mark.parametrize("text", [
        OPEN * 1000,
        (OPEN + " \u3000") * 500 + "</orvane-eva",
        OPEN * 1000 + CLOSE + OPEN + '{"meta": {"confidence": 1}}' + CLOSE,
        (OPEN + "\u0101") * 1000 + "\n\u2028" + CLOSE,
        "\U0001F600" + OPEN + ' {"gaps": [{}]}\u3000' + CLOSE * 1000,
    ])
    def test_hostile_texts(self, text):
        assert same(seed.parse_question_output(text), ref_parse(text))
