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
seeds = st.integers(0, 2**64 - 1)  # outputs are generated from one seed, however large
fuzz = settings(deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Answers with a result event holding what the program was given.
ECHO = """import json, os, sys
seen = {"argv": sys.argv[1:], "cwd": os.getcwd(), "CLAUDECODE": os.environ.get("CLAUDECODE"),
        "OTHER": os.environ.get("OTHER"), "stdin": sys.stdin.read() if "-stdin" in sys.argv else None}
print(json.dumps({"type": "result", "result": json.dumps(seen)}))
"""


@pytest.fixture
def program(tmp_path):
    """program(body, interpreter="/bin/sh"): an executable script's path."""
    count = iter(range(1000))
    return lambda body, interpreter="/bin/sh": write_program(tmp_path / f"p{next(count)}", body,
                                                              interpreter)


@pytest.fixture
def printing(tmp_path, program):
    """printing(stdout, code=0, err=b""): a program that prints exactly that and exits."""
    def make(out, code=0, err=b""):
        (tmp_path / "out").write_bytes(out if isinstance(out, bytes) else out.encode())
        (tmp_path / "err").write_bytes(err)
        return program(f'cat "{tmp_path}/out"\ncat "{tmp_path}/err" >&2\nexit {code}\n')
    return make


@pytest.fixture
def echo(program):
    return program(ECHO, interpreter=sys.executable)


PROMPT = "a line of a long prompt ✓\n"


def live_members(groups):
    """The processes, not yet ended (zombies are), whose process group is one of `groups`."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text()
        except (OSError, ValueError):
            continue
        state, _, group = stat.rpartition(")")[2].split()[:3]
        if int(group) in groups and state != "Z":
            found.append((entry.name, stat))
    return found


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


# ------------------------------------------------------------------ host types


class TestHostTypes:
    def test_brain_result_is_a_data_class(self):
        assert dataclasses.is_dataclass(BrainResult) and BrainResult.__doc__ == "Result from a brain invocation."
        assert [(f.name, f.type) for f in dataclasses.fields(BrainResult)] == [
            ("output", str), ("findings", list[dict]), ("gaps", list[dict]), ("meta", dict),
            ("success", bool), ("cost_usd", float), ("duration_secs", float), ("failure_reason", str)]
        a, b = BrainResult(), BrainResult()
        assert repr(a) == ("BrainResult(output='', findings=[], gaps=[], meta={}, success=False, "
                           "cost_usd=0.0, duration_secs=0.0, failure_reason='')")
        assert a == b and a != BrainResult(success=True) and BrainResult("a", [1]) == BrainResult(output="a", findings=[1])
        a.findings.append(1)
        a.meta["k"] = 1
        assert (b.findings, b.gaps, b.meta) == ([], [], {})

    def test_brain_interface_is_an_abstract_base_class(self):
        assert isinstance(BrainInterface, abc.ABCMeta) and inspect.isabstract(BrainInterface)
        assert [n for n in vars(BrainInterface) if not n.startswith("_")] == \
            ["ask_raw", "is_available", "can_execute", "ask"]
        with pytest.raises(TypeError, match="^Can't instantiate abstract class BrainInterface"):
            BrainInterface()

    @pytest.mark.parametrize("missing", ["ask_raw", "is_available", "can_execute"])
    def test_a_subclass_must_define_all_three(self, missing):
        methods = {name: (lambda self, *a: None)
                   for name in ("ask_raw", "is_available", "can_execute") if name != missing}
        partial = type("Partial", (BrainInterface,), methods)
        with pytest.raises(TypeError, match=f"abstract class Partial .*'{missing}'"):
            partial()

    def test_the_brains_can_be_extended(self):
        assert not inspect.isabstract(ClaudeCodeBrain) and not inspect.isabstract(GenericCLIBrain)

        class Mine(ClaudeCodeBrain):
            def __init__(self):
                super().__init__(binary="mine")
                self.extra = 1

        m = Mine()
        assert isinstance(m, BrainInterface) and (m.binary, m.extra, m.can_execute()) == ("mine", 1, True)


# ------------------------------------------------------------------ ask


class TestAsk:
    @pytest.mark.parametrize("ticks, duration", [((100.0, 112.3456), 12.35), ((0.0, 2.675), 2.67)])
    def test_times_with_the_host_clock_and_round(self, monkeypatch, ticks, duration):
        clock = iter(ticks)
        monkeypatch.setattr(time, "monotonic", lambda: next(clock))
        r = FixedBrain("out", 0.5, True, "").ask("p")
        assert r == BrainResult(output="out", success=True, cost_usd=0.5, duration_secs=duration)
        assert next(clock, "both used") == "both used"

    def test_calls_ask_raw_through_the_instance_and_parses(self):
        calls = []

        class Recording(FixedBrain):
            def ask_raw(self, *args):
                calls.append(args)
                return ("answer", 1.0, True, "")

        r = Recording().ask("the prompt", "/tmp", 7, parser=lambda t: ([{"f": t}], [{"g": 2}], {"m": 3}))
        assert calls == [("the prompt", "/tmp", 7)]
        assert (r.output, r.findings, r.gaps, r.meta) == ("answer", [{"f": "answer"}], [{"g": 2}], {"m": 3})

    def test_never_parses_a_failed_run(self):
        r = FixedBrain("partial", 0.0, False, "timeout").ask("p", parser=lambda t: pytest.fail("parsed"))
        assert (r.output, r.findings, r.success, r.failure_reason) == ("partial", [], False, "timeout")

    @pytest.mark.parametrize("parser", [lambda t: 1 / 0, lambda t: ([], []), lambda t: None,
                                        lambda t: iter([[], [], {}, 4])])
    def test_a_failing_parser_leaves_the_run_as_it_was(self, parser):
        r = FixedBrain("raw", 0.3, True, "").ask("p", parser=parser)
        assert (r.output, r.findings, r.gaps, r.meta, r.success, r.cost_usd) == ("raw", [], [], {}, True, 0.3)

    def test_interrupts_and_bad_runs_reach_the_caller(self):
        def interrupted(text):
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            FixedBrain("raw", 0.0, True, "").ask("p", parser=interrupted)
        for raw, error in [(("a", 0.0, True), "not enough values to unpack (expected 4, got 3)"),
                           (("a", 0.0, True, "", 5), "too many values to unpack (expected 4)")]:
            with pytest.raises(ValueError) as info:
                FixedBrain(*raw).ask("p")
            assert str(info.value) == error
        with pytest.raises(TypeError, match="^cannot unpack non-iterable int object$"):
            type("Five", (FixedBrain,), {"ask_raw": lambda self, *a: 5})().ask("p")
        with pytest.raises(TypeError, match="^Argument 'working_dir' has incorrect type"):
            FixedBrain().ask("p", Path("/tmp"))


# ------------------------------------------------------------------ the factory


class TestLoadBrain:
    def test_claude_brain_with_the_factory_defaults(self):
        b = load_brain({})
        assert type(b) is ClaudeCodeBrain and vars(b) == {
            "binary": "claude", "model": "claude-opus-4-6", "budget_usd": "5.00", "effort": "high"}
        assert [load_brain({"budget_usd": v}).budget_usd for v in (3, 2.5, None)] == ["3", "2.5", "None"]

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


class TestClaudeRun:
    def test_command(self):
        assert ClaudeCodeBrain()._build_command("do it") == [
            "claude", "-p", "do it", "--output-format", "stream-json", "--verbose",
            "--dangerously-skip-permissions", "--max-budget-usd", "2.00", "--effort", "high"]
        b = ClaudeCodeBrain("/bin/c", budget_usd="", effort="")
        b.model = "m"  # attributes are read when called
        assert b._build_command("")[-3:] == ["--dangerously-skip-permissions", "--model", "m"]
        with pytest.raises(TypeError, match=r"^Argument 'budget_usd' has incorrect type \(expected str, got float\)$"):
            ClaudeCodeBrain(budget_usd=2.0)

    def test_prompt_environment_and_working_directory(self, echo, tmp_path, monkeypatch):
        monkeypatch.setenv("CLAUDECODE", "1")
        monkeypatch.setenv("OTHER", "kept")
        b = ClaudeCodeBrain(echo, budget_usd="", effort="")
        for prompt in ["it's \"quoted\" $HOME `id` $(id); rm -rf / | x > y\nline\r\n", "-p", "", "ü 検証 😀 *"]:
            output, cost, success, reason = b.ask_raw(prompt, str(tmp_path))
            assert (cost, success, reason) == (0.0, True, "")
            assert json.loads(output) == {
                "argv": ["-p", prompt, "--output-format", "stream-json", "--verbose",
                         "--dangerously-skip-permissions"],
                "cwd": str(tmp_path), "CLAUDECODE": None, "OTHER": "kept", "stdin": None}
        assert os.environ["CLAUDECODE"] == "1"  # the host's own environment is left alone

    def test_unavailable_starts_nothing(self, monkeypatch, tmp_path, program):
        monkeypatch.setenv("PATH", str(tmp_path))
        monkeypatch.setattr(subprocess, "Popen", lambda *a, **k: pytest.fail("started"))
        assert ClaudeCodeBrain("absent").ask_raw("x") == ("", 0.0, False, "unavailable")
        path = program("exit 0\n")
        assert ClaudeCodeBrain(path).is_available() and ClaudeCodeBrain(Path(path).name).is_available()
        Path(path).chmod(0o644)
        assert not ClaudeCodeBrain(path).is_available()

    def test_launch_errors(self, program, tmp_path):
        assert ClaudeCodeBrain(program("exit 0\n")).ask_raw("x", str(tmp_path / "no")) == ("", 0.0, False, "launch_error")
        no_interpreter = program("exit 0\n", interpreter="/no/such/shell")
        assert ClaudeCodeBrain(no_interpreter).ask_raw("x") == ("", 0.0, False, "launch_error")

    def test_methods_are_looked_up_on_the_instance(self, echo):
        class Wrapped(ClaudeCodeBrain):
            def is_available(self):
                return True

            def _build_command(self, prompt):
                return [echo, "wrapped", prompt]

        assert json.loads(Wrapped("absent").ask("p").output)["argv"] == ["wrapped", "p"]

    def test_a_timeout_kills_and_reaps(self, program):
        sleeper = program("echo '{\"type\":\"result\",\"result\":\"late\"}'\nexec sleep 30\n")
        assert ClaudeCodeBrain(sleeper).ask_raw("x", timeout=1) == ("", 0.0, False, "timeout")

    def test_a_grandchild_holding_the_pipes_does_not_hold_the_call(self, tmp_path):
        # In a child interpreter: should a call hang, the child's time limit fails the test.
        pids = tmp_path / "pids"
        holder = write_program(tmp_path / "holder", f"sleep 60 &\necho $! >> {pids}\nexec sleep 60\n")
        leaver = write_program(tmp_path / "leaver", f"sleep 60 &\necho $! >> {pids}\n"
                                                    "echo '{\"type\":\"result\",\"result\":\"done\"}'\n")
        try:
            out = run_in_child(f"""
                from orvane.brain import ClaudeCodeBrain, GenericCLIBrain
                print(ClaudeCodeBrain({holder!r}).ask_raw("x", timeout=1))
                print(GenericCLIBrain({holder!r}, prompt_via_stdin=True).ask_raw("x", timeout=1))
                print(ClaudeCodeBrain({leaver!r}).ask_raw("x", timeout=1))
            """, timeout=40)
        finally:
            for pid in pids.read_text().split() if pids.exists() else []:
                try:
                    os.kill(int(pid), 9)
                except ProcessLookupError:
                    pass
        # The program that answered and exited while its child held the output: the answer counts.
        assert out.split("\n")[:3] == ["('', 0.0, False, 'timeout')"] * 2 + ["('done', 0.0, True, '')"]

    def test_nothing_the_program_starts_outlives_the_call(self, tmp_path):
        # Each program records its group (its own pid: it leads a session of its own) and
        # leaves children behind: holding the pipes, or not. In a child interpreter: a call
        # that hangs fails on the child's time limit.
        groups = tmp_path / "groups"
        record = f"echo $$ >> {groups}\n"
        holder = write_program(tmp_path / "holder", record + "sleep 1000 &\nexec sleep 1000\n")
        late = write_program(tmp_path / "late", record + (
            "(sleep 0.3; echo '{\"type\":\"result\",\"result\":\"late\"}'; exec sleep 1000) &\n"
            "echo '{\"type\":\"assistant\",\"message\":{\"content\":[{\"type\":\"text\",\"text\":\"early\"}]}}'\n"))
        echoing = write_program(tmp_path / "echoing", record + "cat\nsleep 1000 &\necho answer\n")
        quiet = write_program(tmp_path / "quiet", record + "sleep 1000 >/dev/null 2>&1 &\necho answer\n")
        try:
            out = run_in_child(f"""
                import time
                from orvane.brain import ClaudeCodeBrain, GenericCLIBrain
                def timed(brain, limit, prompt="x"):
                    start = time.monotonic()
                    result = brain.ask_raw(prompt, timeout=limit)
                    print(repr((result, round(time.monotonic() - start, 1))))
                timed(ClaudeCodeBrain({holder!r}), 1)
                timed(ClaudeCodeBrain({late!r}), 60)
                timed(GenericCLIBrain({echoing!r}, prompt_via_stdin=True), 60, {PROMPT!r} * 20000)
                timed(GenericCLIBrain({quiet!r}), 60)
            """, timeout=120)
            results = [eval(row) for row in out.split("\n") if row]
            assert [r for r, _ in results] == [
                ("", 0.0, False, "timeout"),
                ("late", 0.0, True, ""),  # read within the grace after the program exited
                (PROMPT * 20000 + "answer", 0.0, True, ""),  # past any pipe buffer
                ("answer", 0.0, True, "")]
            elapsed = [t for _, t in results]
            assert elapsed[0] < 15 and 1.5 <= elapsed[1] < 15 and 1.5 <= elapsed[2] < 15
            recorded = {int(g) for g in groups.read_text().split()}
            assert len(recorded) == 4
            assert live_members(recorded) == []
        finally:
            for group in groups.read_text().split() if groups.exists() else []:
                try:
                    os.killpg(int(group), 9)
                except (ProcessLookupError, PermissionError):
                    pass


# ------------------------------------------------------------------ the stream reading


@pytest.fixture(scope="module")
def stream_program(tmp_path_factory):
    """stream_program(out, code=0): one program for many outputs, rewritten each time."""
    d = tmp_path_factory.mktemp("stream")
    prog = write_program(d / "prog", f'cat "{d}/out"\nexit $(cat "{d}/code")\n')

    def run(out, code=0):
        (d / "out").write_bytes(out)
        (d / "code").write_text(str(code))
        return prog
    return run


def assistant(*texts):
    return json.dumps({"type": "assistant", "message": {"content": [{"type": "text", "text": t} for t in texts]}})


CASES = [  # (stdout, exit code, expected)
    (assistant("hel") + "\n" + assistant("lo") + "\n", 0, ("hello", 0.0, False, "")),
    (assistant("hel") + "\n" + assistant("lo") + '\n{"type":"result","result":"final"}\n', 0, ("final", 0.0, True, "")),
    (assistant("kept") + '\n{"type":"result","result":""}\n', 3, ("kept", 0.0, True, "")),
    ('{"total_cost_usd":0.1}\n{"type":"x","total_cost_usd":0.25}\n', 1, ("", 0.25, False, "")),
    ("  plain answer\n  \n", 0, ("plain answer", 0.0, True, "")),
    ("  plain answer\n", 2, ("", 0.0, False, "")),
    ('{"type":"result","result":"r","total_cost_usd":"0.5"}', 0, ("r", 0.5, True, "")),
    # Lines end at \n, \r\n and \r only: a JSON string may hold U+2028 or U+0085.
    (assistant("a") + "\r" + assistant("b") + "\r\n" + assistant("c\u2028\x85d"), 1, ("abc\u2028\x85d", 0.0, False, "")),
    ("\xa0\u3000" + assistant("spaced") + "\x0c\x1c \n", 1, ("spaced", 0.0, False, "")),
    # A truthy result that is not text replaces the answer too.
    ('{"type":"result","result":[1]}\n', 0, ([1], 0.0, True, "")),
    # Escaped keys and values count as what they decode to; the last of repeated keys counts.
    ('{"typ\\u0065":"assist\\u0061nt","message":{"content":[{"type":"te\\u0078t","text":"\\ud83d\\ude00\\n"}]}}',
     1, ("\U0001F600\n", 0.0, False, "")),
    ('{"type":"result","type":"assistant","message":{"content":[{"type":"text","text":"A"}]},'
     '"message":{"content":[{"type":"text","text":"B","text":"C"}]}}', 1, ("C", 0.0, False, "")),
    ('{"type":"assistant","message":{"content":"text"}}\n{"type":"assistant","message":{"content":{"type":"text"}}}',
     1, ("", 0.0, False, "")),
    ('warning\n{"type":"result","result":"x",}\n{"type":"result"} junk\n[1,\n', 1, ("", 0.0, False, "")),
]

ERRORS = [  # (stdout, exception, the start of its message)
    ('[1, 2]\n', AttributeError, "'list' object has no attribute 'get'"),
    ('{"type":"assistant","message":null}', AttributeError, "'NoneType' object has no attribute 'get'"),
    ('{"type":"assistant","message":{"content":5}}', TypeError, "'int' object is not iterable"),
    ('{"total_cost_usd":"abc"}', ValueError, "could not convert string to float: 'abc'"),
    ('{"total_cost_usd":[]}', TypeError, "float() argument must be a string or a real number, not 'list'"),
    ('{"type":"assistant","message":{"content":[{"type":"text","text":5}]}}', TypeError,
     'can only concatenate str (not "int") to str'),
    ('{"x":' + "1" * 5000 + "}", ValueError, "Exceeds the limit (4300 digits)"),
    ('{"x":' + "[" * 20000 + "]" * 20000 + "}", RecursionError, "maximum recursion depth exceeded"),
    (b'{"type":"result","result":"\xff"}', UnicodeDecodeError, "'utf-8' codec can't decode byte 0xff in position 27"),
]


class TestStreamReading:
    @pytest.mark.parametrize("out, code, expected", CASES)
    def test_examples(self, stream_program, out, code, expected):
        prog = stream_program(out.encode(), code)
        assert same(ClaudeCodeBrain(prog).ask_raw("x"), expected)
        assert same(reference_ask_raw([prog]), expected)

    @pytest.mark.parametrize("out, error, message", ERRORS)
    def test_the_host_errors_reach_the_caller(self, stream_program, out, error, message):
        prog = stream_program(out if isinstance(out, bytes) else out.encode())
        ours, plain = outcome(ClaudeCodeBrain(prog).ask_raw, "x"), outcome(reference_ask_raw, [prog])
        assert ours[1] is error and ours[2].startswith(message) and same_outcome(ours, plain)

    def test_standard_error_is_decoded_too(self, printing):
        prog = printing(assistant("x"), err=b"warn \xe2\x82\n")
        ours, plain = outcome(ClaudeCodeBrain(prog).ask_raw, "x"), outcome(reference_ask_raw, [prog])
        assert ours[1] is UnicodeDecodeError and same_outcome(ours, plain)

    @fuzz
    @given(seed=seeds, code=st.sampled_from([0, 0, 1, 2]))
    def test_generated_outputs_against_the_plain_reading(self, stream_program, seed, code):
        prog = stream_program(stream_output(random.Random(seed)), code)
        assert same_outcome(outcome(ClaudeCodeBrain(prog).ask_raw, "x"), outcome(reference_ask_raw, [prog]))

    @fuzz
    @given(seed=seeds)
    def test_exactly_the_lines_json_loads_accepts_are_read(self, stream_program, seed):
        # Each line appends its number if, and only if, json.loads accepts it.
        prog = stream_program(acceptance_output(random.Random(seed)), 1)
        ours, plain = outcome(ClaudeCodeBrain(prog).ask_raw, "x"), outcome(reference_ask_raw, [prog])
        assert same_outcome(ours, plain), (ours, plain)

    @settings(fuzz, max_examples=50)
    @given(seed=seeds)
    def test_a_replaced_json_loads_is_called_for_every_line(self, stream_program, seed):
        prog = stream_program(stream_output(random.Random(seed)))
        lines, real = [], json.loads
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(json, "loads", lambda text, **kw: lines.append(text) or real(text, **kw))
            ours = outcome(ClaudeCodeBrain(prog).ask_raw, "x")
            ours_lines, lines[:] = list(lines), []
            plain = outcome(reference_ask_raw, [prog])
        assert same_outcome(ours, plain) and ours_lines == lines

    def test_a_locale_that_is_not_utf8_gets_the_host_text_mode(self, tmp_path):
        rng = random.Random(5)
        outputs = [stream_output(rng) for _ in range(40)] + [assistant("é").encode(), b"plain\r\nanswer\r"]
        (tmp_path / "outputs.json").write_text(json.dumps([o.decode("latin-1") for o in outputs]))
        env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")
        out = run_in_child(f"""
            import json, locale, sys
            sys.path.append({ROOT!r})
            from orvane.brain import ClaudeCodeBrain
            from tests.brain_streams import outcome, reference_ask_raw, same_outcome, write_program
            prog = write_program({str(tmp_path / "prog")!r}, 'cat {tmp_path}/out\\n')
            for text in json.load(open({str(tmp_path / "outputs.json")!r})):
                open({str(tmp_path / "out")!r}, "wb").write(text.encode("latin-1"))
                a, b = outcome(ClaudeCodeBrain(prog).ask_raw, "x"), outcome(reference_ask_raw, [prog])
                assert same_outcome(a, b), (text, a, b)
            print(locale.getencoding())
        """, env=env)
        assert out.strip() not in ("utf-8", "UTF-8")

    def test_hostile_events_from_a_replaced_json_loads(self, tmp_path):
        # Events whose methods run arbitrary code and drop what they held.
        prog = write_program(tmp_path / "prog", "printf 'a\\nb\\nc\\n'\n")
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
                    return {{"message": {{"content": iter([{{"type": "text", "text": Text("t")}}])}},
                            "total_cost_usd": 1}}.get(key, 0)

            events = {{"a": lambda: {{"type": "result", "result": Text("r")}},
                      "b": lambda: Event(type="assistant"), "c": lambda: Event(type="result", result=[])}}
            json.loads = lambda line, **kw: events[line]()  # fresh objects for each reading
            a, b = outcome(ClaudeCodeBrain({prog!r}).ask_raw, "x"), outcome(reference_ask_raw, [{prog!r}])
            assert same_outcome(a, b), (a, b)
            print(a)
        """)
        assert "rt" in out and "1.0" in out


# ------------------------------------------------------------------ the generic brain


class TestGenericCLIBrain:
    def test_construction(self):
        assert vars(GenericCLIBrain("llm")) == {"binary": "llm", "args_before": [], "args_after": [],
                                                "prompt_via_stdin": False, "_has_execute": False}
        assert GenericCLIBrain("llm").can_execute() is False and GenericCLIBrain("llm", has_execute=1).can_execute() is True
        with pytest.raises(TypeError, match=r"^Argument 'args_after' has incorrect type \(expected list, got tuple\)$"):
            GenericCLIBrain("llm", args_after=("x",))

    def test_the_prompt_between_the_argument_lists(self, echo, monkeypatch):
        monkeypatch.setenv("CLAUDECODE", "1")
        output, cost, success, reason = GenericCLIBrain(echo, ["-p"], ["--json"]).ask_raw("a; $(b)\n")
        seen = json.loads(json.loads(output)["result"])
        assert (seen["argv"], seen["CLAUDECODE"], cost, success, reason) == (
            ["-p", "a; $(b)\n", "--json"], None, 0.0, True, "")

    @pytest.mark.parametrize("prompt", ["on standard input\nwith lines ✓", ""])
    def test_the_prompt_on_standard_input(self, echo, prompt):
        # An empty prompt still gets a pipe: the program sees the end of its input at once.
        result = GenericCLIBrain(echo, ["-stdin"], prompt_via_stdin=True).ask_raw(prompt, timeout=20)
        seen = json.loads(json.loads(result[0])["result"])
        assert (seen["argv"], seen["stdin"]) == (["-stdin"], prompt)

    def test_answers_and_failures(self, printing, program, tmp_path, monkeypatch):
        assert GenericCLIBrain(printing("  answer\r\nmore \n", 1)).ask_raw("x") == ("answer\nmore", 0.0, False, "")
        r = GenericCLIBrain(printing("found")).ask("x", parser=lambda t: ([{"t": t}], [], {}))
        assert (r.output, r.findings, r.success, r.cost_usd) == ("found", [{"t": "found"}], True, 0.0)
        sleeper = program("exec sleep 30\n")
        assert GenericCLIBrain(sleeper).ask_raw("x", timeout=1) == ("", 0.0, False, "timeout")
        assert GenericCLIBrain(sleeper).ask_raw("x", str(tmp_path / "no")) == ("", 0.0, False, "launch_error")
        monkeypatch.setenv("PATH", str(tmp_path))
        assert GenericCLIBrain("absent").ask_raw("x") == ("", 0.0, False, "unavailable")
        assert GenericCLIBrain("").is_available() is False
