"""The offline brain's checks on small real trees, its answers read back by the library's
own parsers, and the claim that every finding is true."""

import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane import forge, ledger, offline, seed


def evaluate(root, name="pressure-test", question=None, limits=offline.Limits()):
    """Asks the offline brain one evaluation prompt built by the library and parses the
    answer with the library's parser."""
    questions = {q["name"]: q for q in seed.get_seeds()}
    chosen = questions.get(name) or {"name": name, "question": question or name}
    prompt = seed.format_question_prompt(chosen, f"Directory: {root}\nEntries: ...", "Keep it sound")
    text, status = offline.answer(prompt, limits)
    assert status == 0
    return seed.parse_question_output(text)


def by_category(result, category):
    return [f for f in result["findings"] if f["category"] == category]


def write(root, relative, content=""):
    path = Path(root) / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return path


class TestDocumentationAndTests:
    def test_missing_readme_and_tests_are_reported_with_what_was_seen(self, tmp_path):
        write(tmp_path, "app/main.py", "print(1)\n")
        result = evaluate(tmp_path)
        (readme,) = by_category(result, "documentation")
        assert readme["description"] == "The target has no README file at its top level."
        assert "app" in readme["evidence"]
        (tests,) = by_category(result, "testing")
        assert tests["description"] == "The target has 1 source file and no tests."
        assert "app/main.py" in tests["evidence"]

    @pytest.mark.parametrize("layout", [{"tests/test_a.py": "def test(): pass\n"},
                                        {"pkg/a_test.go": "package a\n"},
                                        {"web/a.spec.ts": "it()\n"},
                                        {"src/lib.rs": "#[cfg(test)]\nmod t {}\n"}])
    def test_any_common_test_layout_counts_as_tests(self, tmp_path, layout):
        write(tmp_path, "README.md", "hello\n")
        write(tmp_path, "src/app.py", "x = 1\n")
        for relative, content in layout.items():
            write(tmp_path, relative, content)
        result = evaluate(tmp_path)
        assert by_category(result, "testing") == [] and by_category(result, "documentation") == []

    def test_an_empty_readme_is_named(self, tmp_path):
        write(tmp_path, "README.md", "  \n\n")
        (finding,) = by_category(evaluate(tmp_path), "documentation")
        assert finding["description"] == "The README file README.md is empty."

    def test_a_tree_without_source_code_needs_no_tests(self, tmp_path):
        write(tmp_path, "README", "notes\n")
        write(tmp_path, "docs/a.md", "text\n")
        assert evaluate(tmp_path)["findings"] == []


class TestMarkers:
    def test_each_marked_line_is_cited_with_its_number(self, tmp_path):
        write(tmp_path, "README.md", "x\n")
        write(tmp_path, "a.txt", "one\ntwo # TODO: finish\nthree\n")
        write(tmp_path, "b/c.py", "# FIXME broken\nok = 1\n# HACK around\n")
        result = evaluate(tmp_path)
        defects, todos = sorted(by_category(result, "markers"), key=lambda f: -f["severity"])
        assert defects["description"] == "FIXME, XXX or HACK markers (known defects) on 2 lines in 1 file."
        assert "b/c.py:1: # FIXME broken" in defects["evidence"] and "b/c.py:3:" in defects["evidence"]
        assert todos["evidence"] == "a.txt:2: two # TODO: finish"

    def test_lower_case_words_are_not_markers(self, tmp_path):
        write(tmp_path, "README.md", "a todo list and a hack day\n")
        assert by_category(evaluate(tmp_path), "markers") == []


class TestSyntax:
    def ask(self, root):
        return by_category(evaluate(root, "syntax-check"), "syntax")

    def test_each_broken_format_is_reported_at_its_line(self, tmp_path):
        write(tmp_path, "ok.json", '{"a": [1, 2]}\n')
        write(tmp_path, "bad.json", '{\n  "a": 1,\n}\n')
        write(tmp_path, "bad.yaml", "a: 1\nb: [2\n")
        write(tmp_path, "bad.toml", "[x]\ny = \n")
        write(tmp_path, "log.jsonl", '{"a":1}\n\n{"b":\n')
        write(tmp_path, "ok.toml", "[x]\ny = 1\n")
        found = {f["description"]: f["evidence"] for f in self.ask(tmp_path)}
        assert set(found) == {"bad.json does not parse as JSON.", "bad.yaml does not parse as YAML.",
                              "bad.toml does not parse as TOML.", "log.jsonl does not parse as JSON."}
        assert found["bad.json does not parse as JSON."].startswith("bad.json:2: Illegal trailing comma")
        assert found["log.jsonl does not parse as JSON."].startswith("log.jsonl:3:")
        assert found["bad.toml does not parse as TOML."].startswith("bad.toml:2:")

    def test_files_read_by_their_tools_in_looser_dialects_are_left_alone(self, tmp_path):
        write(tmp_path, "tsconfig.json", '{ // comments are allowed here\n "a": 1 }\n')
        write(tmp_path, "chart/templates/deploy.yaml", "name: {{ .Values.name }}\n  - x: [\n")
        write(tmp_path, "cfn.yaml", "Value: !Ref Bucket\n")
        assert self.ask(tmp_path) == []

    def test_text_that_is_not_utf8_is_reported(self, tmp_path):
        write(tmp_path, "data.json", b'{"a": "\xff"}\n')
        (finding,) = self.ask(tmp_path)
        assert "not valid UTF-8" in finding["evidence"]


class TestSizeSecretsLinks:
    def test_empty_and_large_files(self, tmp_path):
        write(tmp_path, "pkg/__init__.py")
        write(tmp_path, "notes.txt")
        with open(tmp_path / "blob.bin", "wb") as handle:
            handle.truncate(6 * 1024 * 1024)  # sparse: no real bytes written
        found = by_category(evaluate(tmp_path, "size-check"), "size")
        assert {f["description"] for f in found} == {"Empty files (0 bytes): 1.", "Files larger than 5.0 MiB: 1."}
        assert "notes.txt" in found[0]["evidence"] + found[1]["evidence"]
        assert "pkg/__init__.py" not in found[0]["evidence"] + found[1]["evidence"]

    def test_credentials_are_found_but_never_repeated(self, tmp_path):
        key = "AKIA" + "QWERTYUIOPASDFGH"
        token = "s3cr3t-" + "value-9876"
        write(tmp_path, "deploy/env.py", f'KEY = "{key}"\npassword = "{token}"\napi_key = "your-key-here"\n')
        write(tmp_path, "id_rsa", "-----BEGIN OPENSSH " + "PRIVATE KEY-----\nabc\n")
        write(tmp_path, "conf/app.json", '{\n  "name": "x",\n  "Client_Secret": "' + token + '"\n}\n')
        text, _ = offline.answer(seed.format_question_prompt(
            {"name": "secrets-check", "question": "?"}, f"Directory: {tmp_path}", "g"))
        assert key not in text and token not in text
        found = {f["evidence"].split(":")[0]: f for f in by_category(seed.parse_question_output(text), "secrets")}
        assert set(found) == {"deploy/env.py", "id_rsa", "conf/app.json"}
        assert found["conf/app.json"]["evidence"].startswith("conf/app.json:3: credential assignment")
        assert "2 strings" in found["deploy/env.py"]["description"]
        assert "deploy/env.py:1: AWS access key id" in found["deploy/env.py"]["evidence"]

    def test_only_links_to_nothing_are_broken(self, tmp_path):
        write(tmp_path, "real.txt", "x\n")
        os.symlink("real.txt", tmp_path / "good")
        os.symlink("gone/away.txt", tmp_path / "bad")
        (finding,) = by_category(evaluate(tmp_path, "links-check"), "links")
        assert finding["evidence"] == "bad -> gone/away.txt"


class TestBounds:
    def test_a_cut_walk_makes_no_claim_of_absence(self, tmp_path):
        for index in range(30):
            write(tmp_path, f"src/m{index:02}.py", "# TODO\n")
        write(tmp_path, "zz_tests/test_last.py", "")
        result = evaluate(tmp_path, limits=offline.Limits(max_entries=10))
        assert by_category(result, "testing") == []
        (markers,) = by_category(result, "markers")
        assert markers["description"].startswith("TODO markers (unfinished work) on at least ")
        assert result["meta"]["confidence"] < 0.9

    def test_reading_stops_at_the_byte_budget(self, tmp_path):
        for index in range(5):
            write(tmp_path, f"f{index}.txt", "TODO\n" * 1000)
        result = evaluate(tmp_path, limits=offline.Limits(max_read_bytes=6000))
        (markers,) = by_category(result, "markers")
        assert "at least" in markers["description"]


class TestPrompts:
    def test_gaps_name_unchecked_dimensions_and_the_forge_turns_one_into_a_question(self, tmp_path):
        write(tmp_path, "a.json", "{}\n")
        result = evaluate(tmp_path)
        assert {g["dimension"] for g in result["gaps"]} <= set(offline.DIMENSIONS)
        assert "syntax" in {g["dimension"] for g in result["gaps"]}

        class Brain:
            def ask(self, prompt):
                return offline.answer(prompt)[0]

        maker = forge.Forge(Brain(), ledger.Ledger(str(tmp_path / "l.jsonl")), str(tmp_path / "q"))
        gap = {"description": "not checked", "dimension": "syntax", "evidence": "x"}
        question = maker.forge_question(gap, seed.get_seeds(), "goal")
        assert question["name"] == "syntax-check" and "parse" in question["question"]
        # Once a question covers the dimension, the stand-in proposes none.
        assert maker.forge_question(gap, seed.get_seeds() + [question], "goal") is None
        other = maker.forge_question({"description": "page assets", "dimension": "page-assets"}, [], "goal")
        assert other["name"] == "page-assets-check"

    def test_questions_are_understood_by_their_words(self):
        assert offline.dimensions_for("q", "Which configs fail to parse as YAML?") == (("syntax",), True)
        assert offline.dimensions_for("x", "Is the release notes tone friendly?") == (offline.DIMENSIONS, False)

    def test_a_url_target_is_judged_from_its_description(self):
        description = ("URL: http://example.test\n(Failed to fetch: <urlopen error refused>)\n"
                       "The brain should analyze this URL based on what it knows about the domain.")
        prompt = seed.format_question_prompt(seed.get_seed(), description, "g")
        result = seed.parse_question_output(offline.answer(prompt)[0])
        assert {f["category"] for f in result["findings"]} == {"availability", "security"}

    def test_other_prompts(self):
        assert offline.answer("EXECUTE this plan")[1] == 3
        text, status = offline.answer("hello")
        assert status == 0 and "<orvane" not in text


class TestEveryFindingIsTrue:
    """Builds random trees and checks each finding against an independent reading of the
    files it cites."""

    files = st.dictionaries(
        st.sampled_from(["a.py", "b.json", "c.yaml", "d.toml", "e.txt", "sub/f.json", "sub/g.py", "h.jsonl"]),
        st.lists(st.sampled_from(["x = 1", "# TODO later", "# FIXME now", '{"k": 1}', "{", "k: [1", "a = ",
                                  "", "[t]", "ok: 2", '{"a":1}', "XXX"]), max_size=4).map("\n".join),
        max_size=8)

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(files=files, empty_readme=st.booleans(), broken_link=st.booleans())
    def test_claims_hold(self, files, empty_readme, broken_link):
        with tempfile.TemporaryDirectory() as directory:
            root = Path(directory)
            for relative, content in files.items():
                write(root, relative, content)
            if empty_readme:
                write(root, "README.md", "")
            if broken_link:
                os.symlink("missing", root / "link")
            findings = [f for name in ("pressure-test", "syntax-check", "size-check", "links-check")
                        for f in evaluate(root, name)["findings"]]
            for finding in findings:
                check_claim(root, finding)


def cited(evidence):
    """The items of an evidence list, less its closing "and N more"."""
    return [item for item in evidence.split("; ") if not re.fullmatch(r"and \d+ more", item)]


def check_claim(root, finding):
    category, evidence = finding["category"], finding["evidence"]
    if category == "markers":
        for item in cited(evidence):
            path, number, _ = item.split(":", 2)
            line = (root / path).read_text().splitlines()[int(number) - 1]
            assert re.search(r"\b(TODO|FIXME|XXX|HACK)\b", line)
    elif category == "syntax":
        path = finding["description"].split(" does not parse")[0]
        text = (root / path).read_text()
        if path.endswith(".json"):
            with pytest.raises(ValueError):
                json.loads(text)
        elif path.endswith(".jsonl"):
            with pytest.raises(ValueError):
                [json.loads(line) for line in text.splitlines() if line.strip()]
        elif path.endswith(".toml"):
            import tomllib
            with pytest.raises(tomllib.TOMLDecodeError):
                tomllib.loads(text)
        else:
            import yaml
            with pytest.raises(yaml.YAMLError):
                list(yaml.compose_all(text))
    elif category == "size":
        for path in cited(evidence):
            assert (root / path).stat().st_size == 0
    elif category == "links":
        assert not (root / evidence.split(" -> ")[0]).exists()
    elif category == "documentation":
        readmes = [p for p in root.iterdir() if p.name.lower().startswith("readme")]
        assert not readmes or all(not p.read_text().strip() for p in readmes)
    elif category == "testing":
        assert not any(p.name.startswith("test") for p in root.rglob("*"))
    else:
        raise AssertionError(f"unexpected category {category}")


class TestProgram:
    def run(self, *args, prompt="", cwd=None):
        return subprocess.run([sys.executable, "-P", "-m", "orvane.offline", *args], input=prompt,
                              capture_output=True, text=True, cwd=cwd or tempfile.gettempdir(), timeout=60)

    def test_help_says_it_is_no_language_model(self):
        result = self.run("--help")
        assert result.returncode == 0
        assert "stand-in for a language model, NOT a language" in result.stdout

    def test_answers_a_prompt_on_standard_input(self, tmp_path):
        write(tmp_path, "x.json", "{")
        prompt = seed.format_question_prompt({"name": "syntax-check", "question": "?"}, f"Directory: {tmp_path}", "g")
        result = self.run(prompt=prompt)
        assert result.returncode == 0
        (finding,) = seed.parse_question_output(result.stdout)["findings"]
        assert finding["evidence"].startswith("x.json:1:")

    def test_a_folder_named_orvane_in_the_working_directory_is_not_imported(self, tmp_path):
        write(tmp_path, "orvane/__init__.py", "")
        write(tmp_path, "orvane/offline.py", "print('impostor')\n")
        result = self.run("hello", cwd=tmp_path)
        assert "impostor" not in result.stdout and result.returncode == 0
