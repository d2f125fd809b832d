"""Ledger statistics, and the whole ledger against a plain Python reference."""

import contextlib
import copy
import heapq
import json
import logging
import math
import pickle
import re
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane import protocol
from orvane.ledger import Ledger
from tests.conftest import WARNING_FORMAT, canonical, ts

EMPTY = {"runs": 0, "findings_count": 0, "finding_types": {}, "avg_severity": 0.0,
         "resolution_rate": 0.0, "consecutive_productive": 0, "consecutive_empty": 0}


@pytest.fixture
def led(tmp_path):
    return Ledger(tmp_path / "ledger.jsonl")


def add(led, event_type, payload=None, *, at=0, **fields):
    """Appends an event of `event_type` stamped ts(at); returns it."""
    ev = protocol.make_event(event_type, "tester", payload if payload is not None else {})
    ev["timestamp"] = ts(at)
    ev.update(fields)
    led.append(ev)
    return ev


def same(a, b):
    """Equal values of the same types, floats bit for bit (NaN equals NaN), maps in order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, dict):
        return (same(list(a), list(b))
                and all(same(x, y) for x, y in zip(a.values(), b.values())))
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


# ----------------------------------------------------------------- reference
#
# A plain rendition of the ledger's reads: the load of a file's bytes and the
# queries and statistics over the loaded events.

REQUIRED = (("id", str), ("type", str), ("source", str), ("payload", dict),
            ("instance_id", str), ("generation", int), ("depth", int), ("timestamp", str))


def ref_valid(ev):
    if not isinstance(ev, dict):
        return False
    for name, kind in REQUIRED:
        if name not in ev or not isinstance(ev[name], kind):
            return False
    if ev["type"] not in protocol.event_types():
        return False
    if ev["generation"] < 0 or ev["depth"] < 0:
        return False
    return all(ev.get(name) is None or isinstance(ev[name], str)
               for name in ("target", "parent_id"))


def ref_load(data):
    """(events, warnings) of a ledger file's bytes; a warning is (line, error, text)
    with error and text None for a line that is not UTF-8."""
    events, warnings = [], []
    for n, raw in enumerate(re.split(rb"\r\n|\r|\n", data), 1):
        try:
            text = raw.decode("utf-8").strip()
        except UnicodeDecodeError:
            warnings.append((n, None, None))
            continue
        if not text:
            continue
        try:
            ev = json.loads(text)
        except ValueError as e:
            warnings.append((n, str(e), text[:200]))
            continue
        if ev is not None and not isinstance(ev, dict):
            warnings.append((n, f"Expected dict, got {type(ev).__name__}", text[:200]))
            continue
        if ref_valid(ev):
            events.append(ev)
    return events, warnings


def ref_events(events, event_type=None, source=None, target=None, since=None, limit=0,
               min_generation=None, max_depth=None):
    out = list(events)
    if event_type is not None:
        out = [e for e in out if e["type"] == event_type]
    if source is not None:
        out = [e for e in out if e.get("source") == source]
    if target is not None:
        out = [e for e in out if e.get("target") == target]
    if since is not None:
        out = [e for e in out if e["timestamp"] >= since]
    if min_generation is not None:
        out = [e for e in out if e["generation"] >= int(min_generation)]
    if max_depth is not None:
        out = [e for e in out if e["depth"] <= int(max_depth)]
    if limit > 0:
        return heapq.nlargest(limit, out, key=lambda e: e["timestamp"])
    out.sort(key=lambda e: e["timestamp"], reverse=True)
    return out


def ref_export_since(events, timestamp):
    return sorted((e for e in events if e["timestamp"] >= timestamp),
                  key=lambda e: e["timestamp"])


def ref_question_record(runs, findings, verified):
    if not findings and runs == 0:
        return dict(EMPTY, finding_types={})
    findings = sorted(findings, key=lambda e: e["timestamp"])
    types, severities = {}, []
    for f in findings:
        p = f.get("payload") or {}
        ft = p.get("finding_type", "unknown")
        types[ft] = types.get(ft, 0) + 1
        if p.get("severity") is not None:
            severities.append(float(p["severity"]))
    productive = empty = 0
    for f in reversed(findings):
        if (f.get("payload") or {}).get("empty", False):
            if productive:
                break
            empty += 1
        else:
            if empty:
                break
            productive += 1
    if findings:
        runs = max(runs, 1)
    return {"runs": runs, "findings_count": len(findings), "finding_types": types,
            "avg_severity": sum(severities) / len(severities) if severities else 0.0,
            "resolution_rate": verified / runs if runs else 0.0,
            "consecutive_productive": productive, "consecutive_empty": empty}


def ref_all_question_stats(events, names=None):
    wanted = set(names) if names is not None else None
    runs, findings, resolved, seen = {}, {}, {}, {}
    for e in events:
        p = e.get("payload") or {}
        q = p.get("question")
        if not q or (wanted is not None and q not in wanted):
            continue
        if e["type"] == "SELECTION":
            seen.setdefault(q)
            runs[q] = runs.get(q, 0) + 1
        elif e["type"] == "FINDING":
            seen.setdefault(q)
            findings.setdefault(q, []).append(e)
        elif e["type"] == "ACTION_VERIFY" and p.get("resolved", False):
            seen.setdefault(q)
            resolved[q] = resolved.get(q, 0) + 1
    report = dict.fromkeys(names) if names is not None else seen
    return {q: ref_question_record(runs.get(q, 0), findings.get(q, []), resolved.get(q, 0))
            for q in report}


def ref_population_stats(events):
    names, generations, counts, targets = set(), {}, {}, {}
    for e in events:
        if e["type"] not in ("FORGE", "FINDING"):
            continue
        q = (e.get("payload") or {}).get("question")
        if not q:
            continue
        names.add(q)
        if e["type"] == "FORGE":
            generations[e["generation"]] = generations.get(e["generation"], 0) + 1
        else:
            counts[q] = counts.get(q, 0) + 1
            if e.get("target"):
                targets.setdefault(q, set()).add(e["target"])
    return {"total_population": len(names), "generation_distribution": generations,
            "most_productive": max(counts, key=counts.get) if counts else None,
            "least_productive": min(counts, key=counts.get) if counts else None,
            "coverage_matrix": {q: sorted(t) for q, t in targets.items()}}


def ref_triage_effectiveness(events):
    buckets = {}
    for e in events:
        if e["type"] != "CYCLE":
            continue
        p = e.get("payload") or {}
        mode = p.get("execution_mode", "unknown")
        if mode not in buckets:
            buckets[mode] = {"findings_count": 0, "actions_executed": 0,
                             "actions_verified": 0, "cost_usd": 0.0, "duration_secs": 0.0,
                             "cycle_count": 0}
        b = buckets[mode]
        b["findings_count"] += p.get("findings_count", 0)
        b["actions_executed"] += p.get("actions_executed", 0)
        b["actions_verified"] += p.get("actions_verified", 0)
        b["cost_usd"] += p.get("cost_usd", 0.0)
        b["duration_secs"] += p.get("duration_secs", 0.0)
        b["cycle_count"] += 1
    for b in buckets.values():
        b["cost_usd"] = round(b["cost_usd"], 4)
        b["duration_secs"] = round(b["duration_secs"], 2)
    return buckets


def outcome(fn, *args):
    """('ok', value) or ('raised', exception type)."""
    try:
        return "ok", fn(*args)
    except (ValueError, TypeError, OverflowError) as e:
        return "raised", type(e)


def same_outcome(native, ref, ordered=True):
    """Same result, or the same exception type; `ordered` False for a map of no order."""
    if native[0] != ref[0]:
        return False
    if native[0] == "raised":
        return native[1] is ref[1]
    if ordered:
        return same(native[1], ref[1])
    a, b = native[1], ref[1]
    return (type(a) is dict and type(b) is dict and a.keys() == b.keys()
            and all(same(x, next(y for y in b if y == x)) for x in a)
            and all(same(a[k], b[k]) for k in a))


# ------------------------------------------------------- random ledger files

QUESTIONS = ["alpha", "beta", "\u00e9t\u00e9", "g\U0001f600", "alpha "]
STAMPS = [ts(0), ts(1), ts(2), "2026-01-01T00:00:01.500000+00:00", "2026", "",
          "\u00e9t\u00e9", "\U0001f600", "2026-01-01T00:00:01+00:00\u00e9"]
NUMERIC_TEXT = ["4", " 4 ", "1_0", "-0.0", "1e3", "inf", "-Infinity", "nan", "\u0663", "0.1"]

finite_or_not = st.floats(allow_nan=True, allow_infinity=True)
number = st.one_of(st.integers(-10**6, 10**6), finite_or_not, st.booleans(),
                   st.sampled_from([10**20, -0.0, 1e308]))
odd_value = st.sampled_from([None, "x", [1], {"a": 1}, "", 10**400])


def mostly(common, rare, one_in=12):
    """`common`, and now and then `rare`."""
    return st.integers(1, one_in).flatmap(lambda n: rare if n == 1 else common)


def maybe(strategy):
    """A value for an optional key, or the marker that leaves the key out."""
    return st.one_of(st.just(KeyError), strategy)


question = mostly(st.sampled_from(QUESTIONS),
                  st.sampled_from([None, "", 0, False, 1, 1.0, True, [1], {"q": 1}]), 8)
severity = st.one_of(number, st.sampled_from(NUMERIC_TEXT), st.none())

payload_keys = {
    "question": maybe(question),
    "finding_type": maybe(st.sampled_from(["bug", "gap", "", None, "\u00fc", "unknown", 1, True])),
    "severity": maybe(mostly(severity, odd_value, 40)),
    "empty": maybe(st.one_of(st.booleans(), st.sampled_from([0, 1, "", "no", None]))),
    "resolved": maybe(st.one_of(st.booleans(), st.sampled_from([0, 1, None, "y"]))),
    "execution_mode": maybe(st.sampled_from(["observe", "auto", "unknown", "", None, "\u00e9",
                                             1, 1.0, True])),
    "findings_count": maybe(mostly(number, odd_value, 40)),
    "actions_executed": maybe(st.integers(-3, 10**9)),
    "actions_verified": maybe(st.one_of(st.integers(0, 5), st.booleans())),
    "cost_usd": maybe(st.one_of(finite_or_not, st.floats(0, 10), st.integers(0, 10))),
    "duration_secs": maybe(st.one_of(st.floats(0, 1e6), st.sampled_from([2.675, 0.005]))),
    "text": maybe(st.text(max_size=8)),
}


@st.composite
def payloads(draw):
    chosen = draw(st.fixed_dictionaries(payload_keys))
    return {k: v for k, v in chosen.items() if v is not KeyError}


@st.composite
def events(draw):
    """Mostly valid events, some of them not."""
    ev = {
        "id": draw(st.sampled_from(["a", "b", "c", "d"])) + str(draw(st.integers(0, 3))),
        "type": draw(mostly(st.sampled_from(["SELECTION", "FINDING", "FINDING", "ACTION_VERIFY",
                                             "FORGE", "CYCLE", "CYCLE", "OBSERVATION"]),
                            st.just("UNREGISTERED_IN_TESTS"))),
        "source": draw(st.sampled_from(["brain", "forge", "\u00e9"])),
        "target": draw(maybe(mostly(st.sampled_from([None, "", "t1", "t2", "\u00fc"]),
                                    st.just(5)))),
        "payload": draw(mostly(payloads(), st.just([]))),
        "parent_id": draw(maybe(mostly(st.sampled_from([None, "a0"]), st.just(3)))),
        "instance_id": "inst",
        "generation": draw(mostly(st.integers(0, 3),
                                  st.sampled_from([-1, True, False, 1.0, 10**30]), 6)),
        "depth": draw(mostly(st.integers(0, 3), st.sampled_from([-2, False, 2.5]))),
        "timestamp": draw(st.sampled_from(STAMPS)),
    }
    if draw(st.integers(1, 12)) == 1:
        del ev[draw(st.sampled_from(sorted(ev)))]
    return {k: v for k, v in ev.items() if v is not KeyError}


def render(ev, style):
    if style == 0:
        return json.dumps(ev, sort_keys=True, separators=(",", ":")).encode()
    if style == 1:
        return json.dumps(ev).encode()
    try:
        text = json.dumps(ev, ensure_ascii=False, indent=None)
        return ("\u00a0 " + text + "\t\u3000").encode()
    except UnicodeEncodeError:
        return json.dumps(ev).encode()


BROKEN = [b"{", b"[1, 2]", b"null", b"42", b"\"s\"", b"true", b"{\"a\":}", b"\xff",
          b"\xc3(", b"\xef\xbb\xbf{}", b"{\"id\": \"\xed\xa0\x80\"}", b"   ", b"",
          b"{\"type\": \"FINDING\"} x", b"NaN", b"[", b"\x0c{}\x1f", b"{\"a\": 1e400}"]


@st.composite
def ledger_bytes(draw):
    lines = []
    for _ in range(draw(st.integers(0, 14))):
        kind = draw(st.integers(0, 9))
        if kind < 7:
            lines.append(render(draw(events()), draw(st.integers(0, 2))))
        elif kind == 7:
            text = render(draw(events()), 0)
            lines.append(text[:draw(st.integers(0, len(text)))])
        else:
            lines.append(draw(st.sampled_from(BROKEN)))
    ends = draw(st.lists(st.sampled_from([b"\n", b"\n", b"\r\n", b"\r"]),
                         min_size=len(lines), max_size=len(lines)))
    data = b"".join(text + end for text, end in zip(lines, ends))
    if data and draw(st.booleans()):
        data = data.rstrip(b"\r\n")
    return data


@contextlib.contextmanager
def warnings_logged():
    """The malformed-line warnings logged meanwhile, as (line, error, text)."""
    got = []

    class Collect(logging.Handler):
        def emit(self, record):
            if record.msg == WARNING_FORMAT:
                n, _, err, text = record.args
                got.append((n, str(err), text))

    handler = Collect(logging.WARNING)
    logging.getLogger().addHandler(handler)
    try:
        yield got
    finally:
        logging.getLogger().removeHandler(handler)


fuzz = settings(max_examples=300, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class TestAgainstReference:
    @fuzz
    @given(data=ledger_bytes(), names=st.lists(st.sampled_from(QUESTIONS + ["zeta"]),
                                                max_size=3))
    def test_load_and_statistics(self, data, names):
        """Loading and the four statistics agree with the reference on random files."""
        ref, ref_warnings = ref_load(data)
        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "ledger.jsonl"
            path.write_bytes(data)
            led = Ledger(path)
            with warnings_logged() as got:
                loaded = led._load_all()
            assert canonical(loaded) == canonical(ref)
            assert [w[0] for w in got] == [w[0] for w in ref_warnings]
            for mine, theirs in zip(got, ref_warnings):
                if theirs[1] is not None:
                    assert mine == theirs
            assert led.size() == len(ref)

            checks = [
                (led.all_question_stats, ref_all_question_stats, (), False),
                (led.all_question_stats, ref_all_question_stats, (names,), False),
                (led.population_stats, ref_population_stats, (), True),
                (led.triage_effectiveness, ref_triage_effectiveness, (), True),
            ]
            for native, reference, args, ordered in checks:
                assert same_outcome(outcome(native, *args), outcome(reference, ref, *args),
                                    ordered)
            for name in names:
                got_one = outcome(led.question_stats, name)
                want = outcome(ref_all_question_stats, ref, [name])
                if want[0] == "ok":
                    want = ("ok", want[1][name])
                assert same_outcome(got_one, want)

    @fuzz
    @given(data=ledger_bytes(),
           event_type=st.sampled_from([None, "FINDING", "CYCLE", "NOPE"]),
           source=st.sampled_from([None, "brain", "\u00e9"]),
           target=st.sampled_from([None, "", "t1", "\u00fc"]),
           since=st.sampled_from([None] + STAMPS),
           limit=st.one_of(st.integers(-2, 8), st.sampled_from([2.5, True, 10**20])),
           min_generation=st.sampled_from([None, 0, 1, 2.9, 4]),
           max_depth=st.sampled_from([None, 0, 1, 1.5, 3]))
    def test_events_and_export(self, data, event_type, source, target, since, limit,
                               min_generation, max_depth):
        """Filtered queries and exports agree with the reference, ties included."""
        ref, _ = ref_load(data)
        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "ledger.jsonl"
            path.write_bytes(data)
            led = Ledger(path)
            with warnings_logged():
                got = led.events(event_type, source, target, since, limit, min_generation,
                                 max_depth)
            want = ref_events(ref, event_type, source, target, since, int(limit),
                              min_generation, max_depth)
            assert canonical(got) == canonical(want)
            stamp = since if since is not None else ""
            assert canonical(led.export_since(stamp)) == canonical(ref_export_since(ref, stamp))

    @fuzz
    @given(data=ledger_bytes(), extra=st.lists(events(), max_size=5),
           names=st.lists(st.sampled_from(QUESTIONS), max_size=2))
    def test_appends_read_back_as_a_fresh_load(self, data, extra, names):
        """After appends, reads and statistics equal those of a fresh load of the file."""
        def results(led):
            return [outcome(led.all_question_stats), outcome(led.all_question_stats, names),
                    outcome(led.population_stats), outcome(led.triage_effectiveness)]

        def expected(events):
            return [outcome(ref_all_question_stats, events),
                    outcome(ref_all_question_stats, events, names),
                    outcome(ref_population_stats, events),
                    outcome(ref_triage_effectiveness, events)]

        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "ledger.jsonl"
            path.write_bytes(data)
            led = Ledger(path)
            with warnings_logged():
                results(led)
                for ev in extra:
                    try:
                        led.append(ev)
                    except ValueError:
                        assert not protocol.validate_event(ev)
                    ref = ref_load(path.read_bytes())[0]
                    assert canonical(led._load_all()) == canonical(ref)
                    for mine, theirs, ordered in zip(results(led), expected(ref),
                                                     (False, False, True, True)):
                        assert same_outcome(mine, theirs, ordered)


    @pytest.mark.parametrize("cut", [b"\r\n", b"\r", b"\n", b"\n\r"])
    @pytest.mark.parametrize("at", [(1 << 20) - 2, (1 << 20) - 1, 1 << 20, 3 << 20])
    def test_large_files(self, tmp_path, cut, at):
        """Line ends falling on any byte of a large file, and lines longer than a read, load right."""
        events = []
        for i in range(40):
            ev = protocol.make_event("FINDING", "brain", {"question": "q", "n": i})
            ev["timestamp"] = ts(i % 7)
            events.append(ev)
        lines = [protocol.serialize(e).encode() for e in events]
        lines[5] = lines[5][:-1] + b", \"huge\": \"" + b"x" * (5 << 20) + b"\"}"
        lines[9] = b"{not json"
        body = b"\r\n".join(lines[3:20]) + b"\r" + b"\n".join(lines[20:])
        head = b"\n".join(lines[:3]) + b"\n"
        filler = b"{\"pad\": \"" + b"p" * (at - len(head) - 11) + b"\"}"
        data = head + filler + cut + body
        assert data[at:at + len(cut)] == cut
        path = tmp_path / "ledger.jsonl"
        path.write_bytes(data)
        ref, ref_warnings = ref_load(data)
        with warnings_logged() as got:
            led = Ledger(path)
            assert canonical(led._load_all()) == canonical(ref)
        assert got == ref_warnings and len(ref) == 39
        assert same(led.all_question_stats(), ref_all_question_stats(ref))

    def test_keys_that_compare_equal_across_types(self, tmp_path):
        """Names, types and generations like 1, 1.0 and true stay the keys the host would keep."""
        path = tmp_path / "ledger.jsonl"
        rows = [("OBSERVATION", {"question": 1.0}, 0), ("SELECTION", {"question": 1}, 0),
                ("FINDING", {"question": True, "finding_type": 1}, 0),
                ("FINDING", {"question": "x", "finding_type": True}, 0),
                ("FORGE", {}, True), ("FORGE", {"question": "q"}, 1),
                ("CYCLE", {"execution_mode": 1.0}, 0), ("CYCLE", {"execution_mode": True}, 0)]
        led = Ledger(path)
        for kind, payload, generation in rows:
            add(led, kind, payload, generation=generation)
        ref = ref_load(path.read_bytes())[0]
        assert same_outcome(outcome(led.all_question_stats), outcome(ref_all_question_stats, ref),
                            False)
        assert same(led.population_stats(), ref_population_stats(ref))
        assert same(led.triage_effectiveness(), ref_triage_effectiveness(ref))


# ------------------------------------------------------------ exact numbers


class TestExactness:
    @settings(max_examples=300, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(values=st.lists(st.one_of(st.floats(allow_nan=False),
                                     st.sampled_from([-0.0, 1e308, -1e308, 1e-320, 0.1])),
                           min_size=1, max_size=12))
    def test_avg_severity_is_the_host_mean(self, tmp_path_factory, values):
        """avg_severity is sum(values) / len(values) as the host computes it."""
        led = Ledger(tmp_path_factory.mktemp("sev") / "l.jsonl")
        for i, v in enumerate(values):
            add(led, "FINDING", {"question": "q", "severity": v}, at=i % 60)
        assert same(led.question_stats("q")["avg_severity"], sum(values) / len(values))

    def test_avg_severity_with_infinities_and_nan(self, led):
        """Infinite and NaN severities average as the host's sum does."""
        for v in (math.inf, -math.inf, 1.0):
            add(led, "FINDING", {"question": "q", "severity": v})
        add(led, "FINDING", {"question": "r", "severity": math.inf})
        add(led, "FINDING", {"question": "r", "severity": 1e308})
        add(led, "FINDING", {"question": "s", "severity": 1e308})
        add(led, "FINDING", {"question": "s", "severity": 1e308})
        add(led, "FINDING", {"question": "s", "severity": -1e308})
        stats = led.all_question_stats()
        assert math.isnan(stats["q"]["avg_severity"])
        assert stats["r"]["avg_severity"] == math.inf
        assert stats["s"]["avg_severity"] == sum([1e308, 1e308, -1e308]) / 3

    @settings(max_examples=200, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(cycles=st.lists(st.tuples(st.floats(-1e6, 1e6), st.floats(0, 1e7),
                                     st.integers(-5, 5)), min_size=1, max_size=8))
    def test_cycle_totals_add_one_event_at_a_time(self, tmp_path_factory, cycles):
        """Cycle totals add event by event and round with the host's round."""
        led = Ledger(tmp_path_factory.mktemp("cyc") / "l.jsonl")
        cost, duration, found = 0.0, 0.0, 0
        for c, t, n in cycles:
            add(led, "CYCLE", {"execution_mode": "auto", "cost_usd": c, "duration_secs": t,
                               "findings_count": n})
            cost, duration, found = cost + c, duration + t, found + n
        bucket = led.triage_effectiveness()["auto"]
        assert same(bucket["cost_usd"], round(cost, 4))
        assert same(bucket["duration_secs"], round(duration, 2))
        assert same(bucket["findings_count"], found)


# ----------------------------------------------------------- question stats


class TestQuestionStats:
    def test_selections_only(self, led):
        """Three selections and no findings: runs 3, rate from resolved verifications."""
        for _ in range(3):
            add(led, "SELECTION", {"question": "q"})
        assert same(led.question_stats("q"), dict(EMPTY, runs=3))
        add(led, "ACTION_VERIFY", {"question": "q", "resolved": True})
        add(led, "ACTION_VERIFY", {"question": "q", "resolved": "yes"})
        add(led, "ACTION_VERIFY", {"question": "q", "resolved": False})
        add(led, "ACTION_VERIFY", {"question": "q"})
        assert same(led.question_stats("q"), dict(EMPTY, runs=3, resolution_rate=2 / 3))

    def test_findings_without_selection_count_one_run(self, led):
        """Two findings and no selection give runs 1; the rate is not capped."""
        add(led, "FINDING", {"question": "q", "finding_type": "bug"}, at=1)
        add(led, "FINDING", {"question": "q"}, at=2)
        for _ in range(2):
            add(led, "ACTION_VERIFY", {"question": "q", "resolved": True})
        assert same(led.question_stats("q"), {
            "runs": 1, "findings_count": 2, "finding_types": {"bug": 1, "unknown": 1},
            "avg_severity": 0.0, "resolution_rate": 2.0, "consecutive_productive": 2,
            "consecutive_empty": 0})

    def test_only_resolved_verifications(self, led):
        """A question with only resolved verifications is listed with the empty record."""
        add(led, "ACTION_VERIFY", {"question": "q", "resolved": True})
        add(led, "ACTION_VERIFY", {"question": "r", "resolved": False})
        assert same(led.all_question_stats(), {"q": EMPTY})

    def test_unknown_names_get_the_empty_record(self, led):
        """Names no event mentions get the empty record; only they are reported."""
        add(led, "SELECTION", {"question": "q"})
        add(led, "SELECTION", {"question": "other"})
        assert same(led.question_stats("nobody"), EMPTY)
        got = led.all_question_stats(["nobody", "q", "q"])
        assert same(got["nobody"], EMPTY) and got["q"]["runs"] == 1
        assert sorted(got) == ["nobody", "q"]
        assert led.all_question_stats([]) == {}
        assert led.all_question_stats(None) == led.all_question_stats()
        assert sorted(led.all_question_stats()) == ["other", "q"]

    def test_trailing_runs_follow_timestamps(self, led):
        """Runs are counted from the newest finding by timestamp, not file order."""
        add(led, "FINDING", {"question": "q", "empty": True}, at=3)
        add(led, "FINDING", {"question": "q"}, at=1)
        add(led, "FINDING", {"question": "q", "empty": True}, at=2)
        stats = led.question_stats("q")
        assert (stats["consecutive_productive"], stats["consecutive_empty"]) == (0, 2)
        add(led, "FINDING", {"question": "r", "empty": True}, at=1)
        add(led, "FINDING", {"question": "r", "empty": False}, at=2)
        stats = led.question_stats("r")
        assert (stats["consecutive_productive"], stats["consecutive_empty"]) == (1, 0)

    def test_finding_types_in_order_of_first_appearance(self, led):
        """Types are counted in order of first appearance among findings by timestamp."""
        add(led, "FINDING", {"question": "q", "finding_type": "late"}, at=5)
        add(led, "FINDING", {"question": "q", "finding_type": "early"}, at=1)
        add(led, "FINDING", {"question": "q", "finding_type": None}, at=3)
        add(led, "FINDING", {"question": "q"}, at=3)
        add(led, "FINDING", {"question": "q", "finding_type": "early"}, at=4)
        assert list(led.question_stats("q")["finding_types"].items()) == [
            ("early", 2), (None, 1), ("unknown", 1), ("late", 1)]

    def test_severities_convert_as_the_host_does(self, led):
        """3, "4" and a missing severity average to 3.5; text converts like float()."""
        add(led, "FINDING", {"question": "q", "severity": 3})
        add(led, "FINDING", {"question": "q", "severity": "4"})
        add(led, "FINDING", {"question": "q"})
        add(led, "FINDING", {"question": "q", "severity": None})
        assert same(led.question_stats("q")["avg_severity"], 3.5)
        for i, text in enumerate([" 4 ", "1_0", "1e1", "\u0664", True]):
            add(led, "FINDING", {"question": "r", "severity": text}, at=i)
        assert same(led.question_stats("r")["avg_severity"], (4 + 10 + 10 + 4 + 1) / 5)

    def test_empty_question_names_are_ignored(self, led):
        """Events whose question is missing, empty or null count for no one."""
        add(led, "SELECTION", {"question": ""})
        add(led, "SELECTION", {"question": None})
        add(led, "SELECTION", {})
        add(led, "FINDING", {"question": 0})
        assert led.all_question_stats() == {}
        assert same(led.question_stats(""), EMPTY)

    def test_unconvertible_payloads_raise(self, led):
        """Severities float() rejects, and question names that are no keys, raise."""
        add(led, "FINDING", {"question": "q", "severity": "high"})
        with pytest.raises(ValueError):
            led.question_stats("q")
        add(led, "FINDING", {"question": "r", "severity": [3]})
        with pytest.raises(TypeError):
            led.question_stats("r")
        add(led, "OBSERVATION", {"question": ["not", "a", "key"]})
        with pytest.raises(TypeError):
            led.all_question_stats(["s"])
        add(led, "SELECTION", {"question": {"a": 1}})
        with pytest.raises(TypeError):
            led.all_question_stats()

    def test_argument_checks(self, led):
        """The name must be a str and the names a list or None."""
        with pytest.raises(TypeError, match=r"^Argument 'question_name' has incorrect type "
                                            r"\(expected str, got NoneType\)$"):
            led.question_stats(None)
        with pytest.raises(TypeError, match=r"^Argument 'question_names' has incorrect type "
                                            r"\(expected list, got tuple\)$"):
            led.all_question_stats(("q",))
        with pytest.raises(TypeError):
            led.all_question_stats([], None)
        assert led.all_question_stats(question_names=["q"]) == {"q": EMPTY}

    def test_question_stats_goes_through_all_question_stats(self, tmp_path):
        """question_stats asks the object's own all_question_stats for one name."""
        class Asked(Ledger):
            def all_question_stats(self, question_names=None):
                return {"q": {"asked": question_names}}

        led = Asked(tmp_path / "l.jsonl")
        assert led.question_stats("q") == {"asked": ["q"]}
        assert same(led.question_stats("r"), EMPTY)


# --------------------------------------------------------- population stats


class TestPopulationStats:
    def test_empty_ledger(self, led):
        """An empty ledger has no population."""
        assert same(led.population_stats(), {
            "total_population": 0, "generation_distribution": {}, "most_productive": None,
            "least_productive": None, "coverage_matrix": {}})

    def test_population_shape(self, led):
        """Forged and productive questions count; selections do not."""
        add(led, "FORGE", {"question": "f1"}, generation=1)
        add(led, "FORGE", {"question": "f2"}, generation=2)
        add(led, "FORGE", {"question": "f3"}, generation=1)
        add(led, "FORGE", {}, generation=7)
        add(led, "SELECTION", {"question": "s"})
        add(led, "FINDING", {"question": "f1"}, target="b")
        add(led, "FINDING", {"question": "p"}, target="a")
        add(led, "FINDING", {"question": "f1"}, target="a")
        add(led, "FINDING", {"question": "f1"}, target="b")
        add(led, "FINDING", {"question": "p"}, target="")
        add(led, "FINDING", {"question": "z"})
        got = led.population_stats()
        assert same(got, {
            "total_population": 5, "generation_distribution": {1: 2, 2: 1},
            "most_productive": "f1", "least_productive": "z",
            "coverage_matrix": {"f1": ["a", "b"], "p": ["a"]}})

    def test_ties_go_to_the_earliest_first_finding(self, led):
        """With equal counts, the question whose first finding is older wins both ways."""
        add(led, "FINDING", {"question": "late"}, at=0)
        add(led, "FINDING", {"question": "early"}, at=9)
        add(led, "FINDING", {"question": "late"}, at=0)
        add(led, "FINDING", {"question": "early"}, at=9)
        got = led.population_stats()
        assert (got["most_productive"], got["least_productive"]) == ("late", "late")

    def test_coverage_in_order_of_first_target(self, led):
        """Coverage lists questions in order of their first finding with a target."""
        add(led, "FINDING", {"question": "a"})
        add(led, "FINDING", {"question": "b"}, target="\u00e9")
        add(led, "FINDING", {"question": "a"}, target="z")
        add(led, "FINDING", {"question": "b"}, target="e")
        assert list(led.population_stats()["coverage_matrix"].items()) == [
            ("b", ["e", "\u00e9"]), ("a", ["z"])]

    def test_unhashable_question_raises(self, led):
        """A question name that cannot be a key raises TypeError."""
        add(led, "FINDING", {"question": ["x"]})
        with pytest.raises(TypeError):
            led.population_stats()


# ------------------------------------------------------ triage effectiveness


class TestTriageEffectiveness:
    def test_buckets_per_mode(self, led):
        """Cycles are totalled per mode, in order of first appearance, keys in order."""
        add(led, "CYCLE", {"execution_mode": "auto", "findings_count": 2, "actions_executed": 1,
                           "actions_verified": 1, "cost_usd": 0.12345, "duration_secs": 1.5})
        add(led, "CYCLE", {"findings_count": 1})
        add(led, "FINDING", {"execution_mode": "auto", "cost_usd": 100})
        add(led, "CYCLE", {"execution_mode": "auto", "cost_usd": 0.1, "duration_secs": 1.175})
        got = led.triage_effectiveness()
        assert same(got, {
            "auto": {"findings_count": 2, "actions_executed": 1, "actions_verified": 1,
                     "cost_usd": 0.2235, "duration_secs": 2.67, "cycle_count": 2},
            "unknown": {"findings_count": 1, "actions_executed": 0, "actions_verified": 0,
                        "cost_usd": 0.0, "duration_secs": 0.0, "cycle_count": 1}})

    def test_rounding_is_the_host_round(self, led):
        """A duration total of 2.675 rounds to 2.67, as its binary value lies below the tie."""
        add(led, "CYCLE", {"execution_mode": "x", "duration_secs": 2.675, "cost_usd": 0.00005})
        bucket = led.triage_effectiveness()["x"]
        assert same(bucket["duration_secs"], 2.67)
        assert same(bucket["cost_usd"], round(0.00005, 4))

    def test_empty_ledger(self, led):
        """No cycles, no buckets."""
        add(led, "SELECTION", {"question": "q"})
        assert led.triage_effectiveness() == {}

    def test_values_that_do_not_add_raise(self, led):
        """A null or text total raises TypeError."""
        add(led, "CYCLE", {"findings_count": None})
        with pytest.raises(TypeError):
            led.triage_effectiveness()


# ------------------------------------------------------------- result state


class TestResultState:
    def test_ledger_copies_and_pickles_after_statistics(self, led):
        """A ledger that has computed statistics still pickles and copies, results intact."""
        def results(ledger):
            return [ledger.triage_effectiveness(), ledger.population_stats(),
                    ledger.all_question_stats()]

        add(led, "CYCLE", {"execution_mode": "auto", "findings_count": 1})
        add(led, "FINDING", {"question": "q"})
        results(led)
        twins = [pickle.loads(pickle.dumps(led)), copy.deepcopy(led), copy.copy(led)]
        for twin in twins:
            assert twin._path == led._path and twin._load_all() == led._load_all()
            assert results(twin) == results(led)
            add(twin, "FINDING", {"question": "q"})
            assert results(twin) == results(led)
        assert led.question_stats("q")["findings_count"] == 4

    def test_computed_afresh_each_call(self, led):
        """Results are new maps each call; changing one does not leak into the next."""
        add(led, "CYCLE", {"execution_mode": "auto", "findings_count": 1})
        first = led.triage_effectiveness()
        first["auto"]["findings_count"] = 99
        assert led.triage_effectiveness()["auto"]["findings_count"] == 1
        stats = led.all_question_stats(["q"])
        stats["q"]["finding_types"]["x"] = 1
        assert led.question_stats("q") == EMPTY
