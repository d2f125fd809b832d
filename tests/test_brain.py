"""Tests for orvane.brain: the result record, the abstract brain, the two brains and the factory.

The brains run small fake programs written here: scripts that print stream-json, echo their
arguments, working directory, environment or standard input, exit non-zero, sleep past the
time limit or leave a grandchild behind. The stream reading is compared with the plain Python
reading of the same program's output (tests/brain_streams.py).
"""
import abc
import dataclasses
import inspect
import json
import os
import random
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane import brain
from orvane.brain import BrainInterface, BrainResult, ClaudeCodeBrain, GenericCLIBrain, load_brain
from tests.brain_streams import (acceptance_output, outcome, reference_ask_raw, same_outcome,
                                 stream_output, write_program)
from tests.conftest import run_in_child, same

ROOT = str(Path(__file__).resolve().parent.parent)
# Outputs are generated from a seed: one draw, so any size of output stays cheap to generate.
seeds = st.integers(0, 2**64 - 1)


@pytest.fixture
def program(tmp_path):
    """program(body, interpreter="/bin/sh") writes an executable script and returns its path."""
    count = iter(range(1000))
    return lambda body, interpreter="/bin/sh": write_program(tmp_path / f"prog{next(count)}", body,
                                                              interpreter)


@pytest.fixture
def printing(tmp_path, program):
    """printing(stdout_bytes, code=0, stderr=b"") is a program that prints exactly that and exits."""
    count = iter(range(1000))

    def make(out, code=0, err=b""):
        n = next(count)
        (tmp_path / f"out{n}").write_bytes(out if isinstance(out, bytes) else out.encode())
        (tmp_path / f"err{n}").write_bytes(err)
        return program(f'cat "{tmp_path}/out{n}"\ncat "{tmp_path}/err{n}" >&2\nexit {code}\n')
    return make


@pytest.fixture
def echo(program):
    """A program that answers with a result event holding its arguments, working directory,
    CLAUDECODE and OTHER variables and standard input (None when standard input is a terminal or
    absent)."""
    return program(
        "import json, os, sys\n"
        "stdin = None if sys.stdin is None or sys.stdin.isatty() else sys.stdin.read()\n"
        "seen = {'argv': sys.argv[1:], 'cwd': os.getcwd(), 'stdin': stdin,\n"
        "        'CLAUDECODE': os.environ.get('CLAUDECODE'), 'OTHER': os.environ.get('OTHER')}\n"
        "print(json.dumps({'type': 'result', 'result': json.dumps(seen)}))\n",
        interpreter=sys.executable)


class FixedBrain(BrainInterface):
    """A Python brain whose ask_raw returns what it is given."""

    def __init__(self, *raw):
        self.raw = raw

    def ask_raw(self, prompt, working_dir=None, timeout=300):
        return self.raw

    def is_available(self):
        return True

    def can_execute(self):
        return False


# ------------------------------------------------------------------ BrainResult


class TestBrainResult:
    def test_is_a_data_class_with_the_fields_in_order(self):
        assert dataclasses.is_dataclass(BrainResult)
        assert [(f.name, f.type) for f in dataclasses.fields(BrainResult)] == [
            ("output", str), ("findings", list[dict]), ("gaps", list[dict]), ("meta", dict),
            ("success", bool), ("cost_usd", float), ("duration_secs", float),
            ("failure_reason", str)]
        assert BrainResult.__doc__ == "Result from a brain invocation."
        assert BrainResult.__module__ == "orvane.brain"

    def test_defaults_repr_and_equality(self):
        r = BrainResult()
        assert repr(r) == ("BrainResult(output='', findings=[], gaps=[], meta={}, success=False, "
                           "cost_usd=0.0, duration_secs=0.0, failure_reason='')")
        assert r == BrainResult() and r != BrainResult(success=True)
        assert BrainResult("a", [1]) == BrainResult(output="a", findings=[1])
        r.output = "changed"
        assert r.output == "changed"

    def test_each_record_has_its_own_lists_and_map(self):
        a, b = BrainResult(), BrainResult()
        a.findings.append({"x": 1})
        a.meta["k"] = 1
        assert b.findings == [] and b.gaps == [] and b.meta == {}
        assert a.gaps is not b.gaps


# ------------------------------------------------------------------ the abstract brain


class TestBrainInterface:
    def test_is_an_abstract_base_class(self):
        assert isinstance(BrainInterface, abc.ABCMeta) and issubclass(BrainInterface, abc.ABC)
        assert inspect.isabstract(BrainInterface)
        assert BrainInterface.__abstractmethods__ == {"ask_raw", "is_available", "can_execute"}
        assert [n for n in vars(BrainInterface) if not n.startswith("_")] == \
            ["ask_raw", "is_available", "can_execute", "ask"]
        with pytest.raises(TypeError, match="^Can't instantiate abstract class BrainInterface"):
            BrainInterface()

    @pytest.mark.parametrize("missing", ["ask_raw", "is_available", "can_execute"])
    def test_a_subclass_must_define_all_three(self, missing):
        methods = {name: (lambda self, *a, **k: None)
                   for name in ("ask_raw", "is_available", "can_execute") if name != missing}
        Partial = type("Partial", (BrainInterface,), methods)
        assert inspect.isabstract(Partial)
        with pytest.raises(TypeError, match=f"abstract class Partial .*'{missing}'"):
            Partial()

    def test_the_brains_are_concrete_and_extensible(self):
        assert not inspect.isabstract(ClaudeCodeBrain) and not inspect.isabstract(GenericCLIBrain)

        class Mine(ClaudeCodeBrain):
            def __init__(self):
                super().__init__(binary="mine")
                self.extra = 1

        m = Mine()
        assert isinstance(m, BrainInterface) and (m.binary, m.extra, m.can_execute()) == ("mine", 1, True)


class TestAsk:
    def test_times_with_the_host_clock(self, monkeypatch):
        ticks = iter([100.0, 112.3456])
        monkeypatch.setattr(time, "monotonic", lambda: next(ticks))
        r = FixedBrain("out", 0.5, True, "").ask("p")
        assert r == BrainResult(output="out", success=True, cost_usd=0.5, duration_secs=12.35)
        assert next(ticks, "used") == "used"

    def test_rounds_the_stored_value_ties_to_even(self, monkeypatch):
        ticks = iter([0.0, 2.675])  # stored just below 2.675
        monkeypatch.setattr(time, "monotonic", lambda: next(ticks))
        assert FixedBrain("", 0.0, False, "x").ask("p").duration_secs == 2.67

    def test_calls_ask_raw_through_the_instance(self):
        calls = []

        class Recording(FixedBrain):
            def ask_raw(self, *args):
                calls.append(args)
                return ("o", 1.0, False, "timeout")

        r = Recording().ask("the prompt", "/tmp", 7)
        assert calls == [("the prompt", "/tmp", 7)]
        assert (r.output, r.cost_usd, r.success, r.failure_reason) == ("o", 1.0, False, "timeout")

    def test_parses_a_successful_answer(self):
        seen = []

        def parser(text):
            seen.append(text)
            return [{"f": 1}], [{"g": 2}], {"m": 3}

        r = FixedBrain("answer", 0.0, True, "").ask("p", parser=parser)
        assert seen == ["answer"]
        assert (r.findings, r.gaps, r.meta) == ([{"f": 1}], [{"g": 2}], {"m": 3})

    def test_never_parses_a_failed_run(self):
        def parser(text):
            raise AssertionError("parser called")

        r = FixedBrain("partial", 0.0, False, "timeout").ask("p", parser=parser)
        assert (r.output, r.findings, r.success) == ("partial", [], False)

    @pytest.mark.parametrize("parser", [
        lambda text: 1 / 0,
        lambda text: ([], []),
        lambda text: ([], [], {}, []),
        lambda text: None,
        lambda text: iter([[], [], {}, 4]),
    ])
    def test_a_failing_parser_leaves_the_run_as_it_was(self, parser):
        r = FixedBrain("raw", 0.3, True, "").ask("p", parser=parser)
        assert (r.output, r.findings, r.gaps, r.meta, r.success, r.cost_usd) == \
            ("raw", [], [], {}, True, 0.3)

    def test_interrupts_are_not_swallowed(self):
        def parser(text):
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            FixedBrain("raw", 0.0, True, "").ask("p", parser=parser)

    @pytest.mark.parametrize("raw, message", [
        (("a", 0.0, True), "not enough values to unpack (expected 4, got 3)"),
        (("a", 0.0, True, "", 5), "too many values to unpack (expected 4)"),
        ((), "not enough values to unpack (expected 4, got 0)"),
    ])
    def test_a_bad_ask_raw_result_raises_as_unpacking_does(self, raw, message):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            FixedBrain(*raw).ask("p")

    def test_ask_raw_errors_reach_the_caller(self):
        class Broken(FixedBrain):
            def ask_raw(self, *args):
                return 5

        with pytest.raises(TypeError, match="^cannot unpack non-iterable int object$"):
            Broken().ask("p")

    def test_arguments_are_checked(self):
        b = FixedBrain("", 0.0, True, "")
        with pytest.raises(TypeError, match=r"^Argument 'prompt' has incorrect type \(expected str, got int\)$"):
            b.ask(1)
        with pytest.raises(TypeError, match="Argument 'working_dir'"):
            b.ask("p", Path("/tmp"))
        assert str(inspect.signature(BrainInterface.ask)).startswith(
            "(self, prompt: str, working_dir: str | None = None, timeout: int = 300, parser:")


# ------------------------------------------------------------------ the factory


class TestLoadBrain:
    def test_defaults_to_the_claude_brain_with_the_factory_values(self):
        b = load_brain({})
        assert type(b) is ClaudeCodeBrain
        assert vars(b) == {"binary": "claude", "model": "claude-opus-4-6", "budget_usd": "5.00",
                           "effort": "high"}

    @pytest.mark.parametrize("budget, text", [(3, "3"), (2.5, "2.5"), ("7", "7"), (None, "None")])
    def test_the_budget_becomes_text(self, budget, text):
        assert load_brain({"budget_usd": budget}).budget_usd == text

    def test_generic_brain(self):
        b = load_brain({"type": "generic-cli", "binary": "llm", "args_before": ["-p"],
                        "prompt_via_stdin": 1, "can_execute": True})
        assert type(b) is GenericCLIBrain and b.can_execute() is True
        assert vars(b) == {"binary": "llm", "args_before": ["-p"], "args_after": [],
                           "prompt_via_stdin": True, "_has_execute": True}
        assert load_brain({"type": "generic-cli"}).can_execute() is False

    @pytest.mark.parametrize("kind", ["openai", "Claude-Code", " generic-cli", 5, None])
    def test_unknown_types(self, kind):
        with pytest.raises(ValueError) as info:
            load_brain({"type": kind})
        assert str(info.value) == f"Unknown brain type {kind!r}. Supported: 'claude-code', 'generic-cli'."

    def test_constructor_errors_and_patched_classes(self, monkeypatch):
        with pytest.raises(TypeError, match="Argument 'model'"):
            load_brain({"model": 4})
        with pytest.raises(TypeError, match=r"Argument 'config' has incorrect type \(expected dict, got list\)"):
            load_brain([])
        monkeypatch.setattr(brain, "ClaudeCodeBrain", lambda **kw: ("made", kw["effort"]))
        assert load_brain({"effort": "low"}) == ("made", "low")


# ------------------------------------------------------------------ the claude brain


class TestClaudeCommand:
    def test_arguments_in_order(self):
        assert ClaudeCodeBrain()._build_command("do it") == [
            "claude", "-p", "do it", "--output-format", "stream-json", "--verbose",
            "--dangerously-skip-permissions", "--max-budget-usd", "2.00", "--effort", "high"]
        b = ClaudeCodeBrain("/bin/c", model="m", budget_usd="", effort="")
        assert b._build_command("") == ["/bin/c", "-p", "", "--output-format", "stream-json",
                                        "--verbose", "--dangerously-skip-permissions", "--model", "m"]

    def test_attributes_are_read_when_called(self):
        b = ClaudeCodeBrain()
        b.model, b.effort = "opus", ""
        assert b._build_command("x")[-4:] == ["--model", "opus", "--max-budget-usd", "2.00"]

    def test_arguments_must_be_strings(self):
        with pytest.raises(TypeError, match=r"^Argument 'budget_usd' has incorrect type \(expected str, got float\)$"):
            ClaudeCodeBrain(budget_usd=2.0)

    @pytest.mark.parametrize("prompt", [
        "plain", "two words", "it's \"quoted\" $HOME `id` $(id) ; rm -rf / | cat > x",
        "line one\nline two\r\n", "-p", "--verbose", "", "ünïcödé 検証 😀", "*", "\\n \\"])
    def test_the_prompt_is_one_argument(self, echo, prompt):
        output, cost, success, reason = ClaudeCodeBrain(echo, budget_usd="", effort="").ask_raw(prompt)
        seen = json.loads(output)
        assert seen["argv"] == ["-p", prompt, "--output-format", "stream-json", "--verbose",
                                "--dangerously-skip-permissions"]
        assert (success, reason) == (True, "")

    def test_environment_and_working_directory(self, echo, tmp_path, monkeypatch):
        monkeypatch.setenv("CLAUDECODE", "1")
        monkeypatch.setenv("OTHER", "kept")
        seen = json.loads(ClaudeCodeBrain(echo).ask_raw("x", str(tmp_path))[0])
        assert (seen["CLAUDECODE"], seen["OTHER"], seen["cwd"]) == (None, "kept", str(tmp_path))
        assert os.environ["CLAUDECODE"] == "1"  # the host's own environment is left alone


class TestClaudeRun:
    def test_unavailable_starts_nothing(self, monkeypatch, tmp_path):
        monkeypatch.setenv("PATH", str(tmp_path))
        monkeypatch.setattr(subprocess, "Popen", lambda *a, **k: pytest.fail("started"))
        b = ClaudeCodeBrain("no-such-brain-program")
        assert b.is_available() is False
        assert b.ask_raw("x") == ("", 0.0, False, "unavailable")
        assert b.ask("x").failure_reason == "unavailable"

    def test_found_on_path_or_as_a_path(self, program, monkeypatch):
        path = program("exit 0\n")
        assert ClaudeCodeBrain(path).is_available()
        monkeypatch.setenv("PATH", str(Path(path).parent))
        assert ClaudeCodeBrain(Path(path).name).is_available()
        Path(path).chmod(0o644)
        assert not ClaudeCodeBrain(path).is_available()

    def test_launch_errors(self, program, tmp_path):
        ok = program("exit 0\n")
        assert ClaudeCodeBrain(ok).ask_raw("x", str(tmp_path / "missing")) == ("", 0.0, False, "launch_error")
        bad_interpreter = write_program(tmp_path / "bad", "exit 0\n", interpreter="/no/such/shell")
        assert ClaudeCodeBrain(bad_interpreter).ask_raw("x") == ("", 0.0, False, "launch_error")

    def test_methods_are_looked_up_on_the_instance(self, echo, tmp_path):
        class Wrapped(ClaudeCodeBrain):
            def is_available(self):
                return True

            def _build_command(self, prompt):
                return [echo, "wrapped", prompt]

        assert json.loads(Wrapped("absent").ask_raw("p")[0])["argv"] == ["wrapped", "p"]
        missing = Wrapped("absent")
        missing._build_command = lambda prompt: [str(tmp_path / "absent")]
        assert missing.ask_raw("p") == ("", 0.0, False, "launch_error")

    def test_a_timeout_kills_and_reaps(self, program):
        sleeper = program("echo '{\"type\":\"result\",\"result\":\"late\"}'\nexec sleep 30\n")
        assert ClaudeCodeBrain(sleeper).ask_raw("x", timeout=1) == ("", 0.0, False, "timeout")

    def test_a_grandchild_holding_the_pipes_does_not_hold_the_call(self, tmp_path):
        # In a child interpreter: should the call hang, the child's time limit fails the test.
        pid_file = tmp_path / "grandchild.pid"
        fake = write_program(tmp_path / "fake", f"sleep 60 &\necho $! > {pid_file}\nexec sleep 60\n")
        early = write_program(tmp_path / "early", f"sleep 60 &\necho $! > {pid_file}.2\n"
                                                  "echo '{\"type\":\"result\",\"result\":\"done\"}'\n")
        try:
            out = run_in_child(f"""
                from orvane.brain import ClaudeCodeBrain, GenericCLIBrain
                print(ClaudeCodeBrain({fake!r}).ask_raw("x", timeout=1))
                print(GenericCLIBrain({fake!r}, prompt_via_stdin=True).ask_raw("x", timeout=1))
                print(ClaudeCodeBrain({early!r}).ask_raw("x", timeout=1))
            """, timeout=40)
        finally:
            for f in (pid_file, Path(f"{pid_file}.2")):
                if f.exists():
                    try:
                        os.kill(int(f.read_text()), 9)
                    except ProcessLookupError:
                        pass
        assert out.split("\n")[:3] == ["('', 0.0, False, 'timeout')"] * 3


# The stream-json reading: the Part's examples, then generated outputs against the plain reading.

@pytest.fixture(scope="module")
def stream_program(tmp_path_factory):
    """stream_program(out, err=b"", code=0): one program for many outputs, rewritten each time."""
    d = tmp_path_factory.mktemp("stream")
    prog = write_program(d / "prog", f'cat "{d}/out"\ncat "{d}/err" >&2\nexit $(cat "{d}/code")\n')

    def run(out, err=b"", code=0):
        (d / "out").write_bytes(out)
        (d / "err").write_bytes(err)
        (d / "code").write_text(str(code))
        return prog
    return run


def assistant(*texts):
    return json.dumps({"type": "assistant", "message": {"content": [
        {"type": "text", "text": t} for t in texts]}})


CASES = [
    # (stdout, exit code, expected)
    (assistant("hel") + "\n" + assistant("lo") + "\n", 0, ("hello", 0.0, False, "")),
    (assistant("hel") + "\n" + assistant("lo") + '\n{"type":"result","result":"final"}\n', 0,
     ("final", 0.0, True, "")),
    (assistant("kept") + '\n{"type":"result","result":""}\n', 3, ("kept", 0.0, True, "")),
    ('{"total_cost_usd":0.1}\n{"type":"x","total_cost_usd":0.25}\n', 1, ("", 0.25, False, "")),
    ("  plain answer\n  \n", 0, ("plain answer", 0.0, True, "")),
    ("  plain answer\n", 2, ("", 0.0, False, "")),
    ("", 0, ("", 0.0, True, "")),
    ('{"type":"result","result":"r","total_cost_usd":"0.5"}', 0, ("r", 0.5, True, "")),
    # Lines end at \n, \r\n and \r; a JSON string may hold U+2028 and other separators.
    (assistant("a") + "\r" + assistant("b") + "\r\n" + assistant("c\u2028\x85d"), 1,
     ("abc\u2028\x85d", 0.0, False, "")),
    ("\xa0\u3000" + assistant("spaced") + "\x0c\x1c \n", 1, ("spaced", 0.0, False, "")),
    # A result that is not text replaces the answer when it is truthy.
    ('{"type":"result","result":[1]}\n', 0, ([1], 0.0, True, "")),
    ('{"type":"result","result":0}\n' + assistant("x"), 0, ("x", 0.0, True, "")),
    # Escaped keys and values are what they decode to; the last of repeated keys counts.
    ('{"typ\\u0065":"assist\\u0061nt","message":{"content":[{"type":"te\\u0078t","text":"\\ud83d\\ude00\\n"}]}}',
     1, ("\U0001F600\n", 0.0, False, "")),
    ('{"type":"result","type":"assistant","message":{"content":[{"type":"text","text":"A"}]},'
     '"message":{"content":[{"type":"text","text":"B","text":"C"}]}}', 1, ("C", 0.0, False, "")),
    ('{"type":"assistant","message":{"content":"text"}}\n{"type":"assistant","message":{"content":{"type":"text"}}}',
     1, ("", 0.0, False, "")),
    # Lines that are not JSON, or not valid JSON, are skipped.
    ('warning\n{"type":"result","result":"x",}\n{"type":"result"} junk\n[1,\n', 1, ("", 0.0, False, "")),
]


class TestStreamReading:
    @pytest.mark.parametrize("out, code, expected", CASES)
    def test_examples(self, printing, out, code, expected):
        prog = printing(out, code)
        assert same(ClaudeCodeBrain(prog).ask_raw("x"), expected)
        assert same(reference_ask_raw([prog]), expected)

    @pytest.mark.parametrize("out, error, message", [
        ('[1, 2]\n', AttributeError, "'list' object has no attribute 'get'"),
        ('"text"\n', AttributeError, "'str' object has no attribute 'get'"),
        ('{"type":"assistant","message":[1]}', AttributeError, "'list' object has no attribute 'get'"),
        ('{"type":"assistant","message":null}', AttributeError, "'NoneType' object has no attribute 'get'"),
        ('{"type":"assistant","message":{"content":5}}', TypeError, "'int' object is not iterable"),
        ('{"type":"assistant","message":{"content":null}}', TypeError, "'NoneType' object is not iterable"),
        ('{"total_cost_usd":"abc"}', ValueError, "could not convert string to float: 'abc'"),
        ('{"total_cost_usd":[]}', TypeError, "float() argument must be a string or a real number, not 'list'"),
        ('{"type":"assistant","message":{"content":[{"type":"text","text":5}]}}', TypeError,
         'can only concatenate str (not "int") to str'),
        ('{"x":' + "1" * 5000 + "}", ValueError, "Exceeds the limit (4300 digits)"),
        ('{"x":' + "[" * 20000 + "]" * 20000 + "}", RecursionError, "maximum recursion depth exceeded"),
        (b'{"type":"result","result":"\xff"}', UnicodeDecodeError,
         "'utf-8' codec can't decode byte 0xff in position 27: invalid start byte"),
    ])
    def test_the_host_errors_reach_the_caller(self, printing, out, error, message):
        prog = printing(out)
        with pytest.raises(error) as ours:
            ClaudeCodeBrain(prog).ask_raw("x")
        with pytest.raises(error) as plain:
            reference_ask_raw([prog])
        assert str(ours.value) == str(plain.value) and str(ours.value).startswith(message)

    def test_standard_error_is_decoded_too(self, printing):
        prog = printing(assistant("x"), err=b"warn \xe2\x82\n")
        assert same_outcome(outcome(ClaudeCodeBrain(prog).ask_raw, "x"), outcome(reference_ask_raw, [prog]))
        assert outcome(reference_ask_raw, [prog])[1] is UnicodeDecodeError

    @settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(seed=seeds, code=st.sampled_from([0, 0, 1, 2]))
    def test_generated_outputs_against_the_plain_reading(self, stream_program, seed, code):
        prog = stream_program(stream_output(random.Random(seed)), code=code)
        assert same_outcome(outcome(ClaudeCodeBrain(prog).ask_raw, "x"),
                            outcome(reference_ask_raw, [prog]))

    @settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(seed=seeds)
    def test_exactly_the_lines_json_loads_accepts_are_read(self, stream_program, seed):
        prog = stream_program(acceptance_output(random.Random(seed)), code=1)
        ours, plain = outcome(ClaudeCodeBrain(prog).ask_raw, "x"), outcome(reference_ask_raw, [prog])
        assert same_outcome(ours, plain), (ours, plain)

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(seed=seeds)
    def test_a_replaced_json_loads_is_called_for_every_line(self, stream_program, seed):
        prog = stream_program(stream_output(random.Random(seed)))
        lines = []
        real = json.loads

        def loads(text, **kw):
            lines.append(text)
            return real(text, **kw)

        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(json, "loads", loads)
            ours = outcome(ClaudeCodeBrain(prog).ask_raw, "x")
            ours_lines, lines[:] = list(lines), []
            plain = outcome(reference_ask_raw, [prog])
        assert same_outcome(ours, plain) and ours_lines == lines

    def test_a_locale_that_is_not_utf8_gets_the_host_text_mode(self, tmp_path):
        rng = random.Random(5)
        outputs = [stream_output(rng) for _ in range(40)]
        outputs += [assistant("ascii only").encode(), assistant("é").encode(), b"plain\r\nanswer\r"]
        data = tmp_path / "outputs.json"
        data.write_text(json.dumps([o.decode("latin-1") for o in outputs]))
        env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")
        out = run_in_child(f"""
            import json, locale, sys
            sys.path.append({ROOT!r})
            from orvane.brain import ClaudeCodeBrain
            from tests.brain_streams import outcome, reference_ask_raw, same_outcome, write_program
            assert locale.getencoding() != "utf-8", locale.getencoding()
            prog = write_program({str(tmp_path / "prog")!r}, 'cat {tmp_path}/out\\n')
            for text in json.load(open({str(data)!r})):
                open({str(tmp_path / "out")!r}, "wb").write(text.encode("latin-1"))
                a = outcome(ClaudeCodeBrain(prog).ask_raw, "x")
                b = outcome(reference_ask_raw, [prog])
                assert same_outcome(a, b), (text, a, b)
            print("ok", locale.getencoding())
        """, env=env)
        assert out.startswith("ok")

    def test_hostile_events_from_a_replaced_json_loads(self, tmp_path):
        # Events whose methods run arbitrary code: the reading keeps its own references.
        prog = write_program(tmp_path / "prog", "printf 'a\\nb\\nc\\nd\\n'\n")
        out = run_in_child(f"""
            import gc, json, sys
            sys.path.append({ROOT!r})
            from orvane.brain import ClaudeCodeBrain
            from tests.brain_streams import outcome, reference_ask_raw, same_outcome

            class Text(str):
                def __radd__(self, other):
                    gc.collect()
                    return other + "+" + str(self)

            class Event(dict):
                def get(self, key, default=None):
                    value = dict.get(self, key, default)
                    self.clear()
                    gc.collect()
                    return value

                def __contains__(self, key):
                    return True

                def __getitem__(self, key):
                    return {{"type": "assistant", "message": {{"content": [{{"type": "text", "text": Text("t")}}]}},
                            "total_cost_usd": 1}}.get(key, 0)

            def loads(line, **kw):
                if line == "a":
                    return {{"type": "result", "result": Text("r")}}
                if line == "b":
                    return Event(type="assistant")
                if line == "c":
                    return {{"type": "assistant", "message": {{"content": iter([{{"type": "text", "text": Text("u")}}])}}}}
                return Event(type="result", result=[])

            json.loads = loads
            a = outcome(ClaudeCodeBrain({prog!r}).ask_raw, "x")
            b = outcome(reference_ask_raw, [{prog!r}])
            assert same_outcome(a, b), (a, b)
            print(a)
        """)
        assert "rt+u" in out


# ------------------------------------------------------------------ the generic brain


class TestGenericCLIBrain:
    def test_construction(self):
        b = GenericCLIBrain("llm")
        assert vars(b) == {"binary": "llm", "args_before": [], "args_after": [],
                           "prompt_via_stdin": False, "_has_execute": False}
        assert b.can_execute() is False and GenericCLIBrain("llm", has_execute=1).can_execute() is True
        with pytest.raises(TypeError, match=r"^Argument 'args_after' has incorrect type \(expected list, got tuple\)$"):
            GenericCLIBrain("llm", args_after=("x",))
        with pytest.raises(TypeError, match="Argument 'binary'"):
            GenericCLIBrain(None)

    def test_the_prompt_between_the_argument_lists(self, echo, monkeypatch):
        monkeypatch.setenv("CLAUDECODE", "1")
        b = GenericCLIBrain(echo, args_before=["-p"], args_after=["--json"])
        output, cost, success, reason = b.ask_raw("a prompt; with $(stuff)\n")
        seen = json.loads(json.loads(output)["result"])
        assert seen["argv"] == ["-p", "a prompt; with $(stuff)\n", "--json"]
        assert (seen["CLAUDECODE"], cost, success, reason) == (None, 0.0, True, "")

    @pytest.mark.parametrize("prompt", ["on standard input\nwith lines ✓", ""])
    def test_the_prompt_on_standard_input(self, echo, prompt):
        b = GenericCLIBrain(echo, args_before=["-q"], prompt_via_stdin=True)
        seen = json.loads(json.loads(b.ask_raw(prompt)[0])["result"])
        assert seen["argv"] == ["-q"] and seen["stdin"] == prompt

    def test_the_answer_is_the_stripped_output_and_success_the_exit_code(self, printing, tmp_path):
        assert GenericCLIBrain(printing("  answer\r\nmore \n", 1)).ask_raw("x") == ("answer\nmore", 0.0, False, "")
        assert GenericCLIBrain(printing("ok", 0)).ask_raw("x") == ("ok", 0.0, True, "")

    def test_failures(self, program, tmp_path, monkeypatch):
        sleeper = program("exec sleep 30\n")
        assert GenericCLIBrain(sleeper).ask_raw("x", timeout=1) == ("", 0.0, False, "timeout")
        assert GenericCLIBrain(sleeper).ask_raw("x", str(tmp_path / "no")) == ("", 0.0, False, "launch_error")
        monkeypatch.setenv("PATH", str(tmp_path))
        assert GenericCLIBrain("absent-llm").ask_raw("x") == ("", 0.0, False, "unavailable")
        assert GenericCLIBrain("").is_available() is False

    def test_ask_times_and_parses(self, printing):
        r = GenericCLIBrain(printing("found it")).ask("x", parser=lambda t: ([{"t": t}], [], {}))
        assert (r.output, r.findings, r.success, r.cost_usd) == ("found it", [{"t": "found it"}], True, 0.0)
        assert r.duration_secs >= 0.0
