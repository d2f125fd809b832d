"""The ledger under host code that raises, mutates or reloads in the middle of a call.

Every case runs in a child interpreter, so that a crash fails the test instead of the run.
"""

import pytest

from tests.conftest import run_in_child

# Shared by every child: a ledger file with events of every kind the statistics read.
PRELUDE = r"""
import gc, itertools, json, logging, os, sys, tempfile
from orvane import ledger as ledger_mod, protocol
from orvane.ledger import Ledger
from orvane.protocol import make_event

DIR = tempfile.mkdtemp()

def stamp(n):
    return f"2026-01-01T00:00:{n % 60:02d}+00:00"

def event(kind, payload, n=0, **fields):
    ev = make_event(kind, "s", payload)
    ev["timestamp"] = stamp(n)
    ev.update(fields)
    return ev

def sample(n=0):
    return [event("SELECTION", {"question": "q"}, n),
            event("FINDING", {"question": "q", "finding_type": "bug", "severity": 2,
                              "empty": False}, n + 1, target="t1"),
            event("FINDING", {"question": "r", "severity": "3", "empty": True}, n, target="t2"),
            event("ACTION_VERIFY", {"question": "q", "resolved": True}, n + 2),
            event("FORGE", {"question": "f"}, n + 3, generation=1),
            event("CYCLE", {"execution_mode": "auto", "findings_count": 2, "cost_usd": 0.5}, n)]

def ledger_file(name, count=2):
    led = Ledger(os.path.join(DIR, name))
    for i in range(count):
        for ev in sample(i):
            led.append(ev)
    return led

def attempt(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except Exception as e:
        return type(e).__name__

def every_read(led, names=None):
    # Every public read of the ledger, each allowed to raise.
    return [attempt(led.size), attempt(led._load_all), attempt(led.events),
            attempt(led.events, limit=2), attempt(led.events, "FINDING", since=stamp(1)),
            attempt(led.events, min_generation=1, max_depth=0),
            attempt(led.export_since, stamp(1)), attempt(led.all_question_stats),
            attempt(led.all_question_stats, names if names is not None else ["q", "zz"]),
            attempt(led.question_stats, "q"), attempt(led.population_stats),
            attempt(led.triage_effectiveness)]
"""


def child(code, timeout=120):
    return run_in_child(PRELUDE + code, timeout=timeout)


class TestReproducers:
    def test_statistics_survive_a_reload_by_a_name_comparison(self):
        """A question name whose __eq__ reloads the ledger leaves the statistics intact."""
        out = child(r"""
p = os.path.join(tempfile.mkdtemp(), "l.jsonl"); L, other = Ledger(p), Ledger(p)
L.append(make_event("FINDING", "s", {"question": "q1"}))
class Name:
    def __hash__(self): return hash("q1")
    def __eq__(self, o):
        other.append(make_event("FINDING", "s", {"question": "q2"})); L.size(); return True
for _ in range(20):
    print(len(L.all_question_stats([Name()])))
""")
        assert out.split() == ["1"] * 20

    def test_ordering_with_inconsistent_comparisons(self):
        """Timestamps whose __lt__ is inconsistent are ordered by the host's sort."""
        out = child(r"""
flip = itertools.count()
class TS(str):
    def __lt__(self, o): return next(flip) % 2 == 1
class Sub(Ledger):
    def _load_all(self): return [{"timestamp": TS(str(i))} for i in range(12)]
L = Sub(os.path.join(tempfile.mkdtemp(), "l.jsonl"))
for _ in range(200):
    assert len(L.events()) == 12 and len(L.events(limit=5)) == 5
    assert len(L.export_since("")) == 12
print("ok")
""")
        assert out == "ok\n"

    def test_a_host_sort_that_answers_any_position(self):
        """A replaced sorted or heapq.nlargest answering positions out of range or of other
        types: every query and statistic gives what `events[position]` gives in Python."""
        out = child(r"""
import builtins, heapq
class TS(str): pass
evs = [{"timestamp": TS(stamp(i)), "type": "FINDING", "payload": {"question": "q"}, "n": i}
       for i in range(6)]
class Sub(Ledger):
    def _load_all(self): return list(evs)
class Index:
    def __index__(self): return 2
def attempt(fn):
    try:
        return fn()
    except Exception as e:
        return f"{type(e).__name__}: {e}"
L = Sub(os.path.join(tempfile.mkdtemp(), "l.jsonl"))
real = builtins.sorted, heapq.nlargest
for positions in ([0, 6], [10**6], [-7], [2**70], [-2**70], ["0"], [1.0], [None], [True, -1, Index()]):
    expected = attempt(lambda: [evs[i]["n"] for i in positions])
    builtins.sorted = heapq.nlargest = lambda *a, **k: iter(positions)
    try:
        got = [attempt(lambda: [e["n"] for e in L.events()]),
               attempt(lambda: [e["n"] for e in L.events(limit=2)]),
               attempt(lambda: [e["n"] for e in L.events("FINDING", since="")]),
               attempt(lambda: [e["n"] for e in L.export_since("")]),
               attempt(lambda: L.all_question_stats()["q"]["findings_count"])]
    finally:
        builtins.sorted, heapq.nlargest = real
    if isinstance(expected, list):
        expected = [expected] * 4 + [len(expected)]
    else:
        expected = [expected] * 5
    print(got == expected, got)
""")
        rows = out.splitlines()
        assert len(rows) == 9 and all(row.startswith("True ") for row in rows), out
        assert "IndexError: list index out of range" in rows[0]
        assert "TypeError: list indices must be integers or slices, not str" in rows[5]
        assert "[1, 5, 2]" in rows[8]

    def test_ordering_with_comparisons_that_rewrite_the_events(self):
        """Timestamps whose __lt__ rewrites the events being ordered cannot free them."""
        out = child(r"""
class Sub(Ledger):
    def _load_all(self):
        self.evs = [{"timestamp": TS(str(i)), "n": i} for i in range(30)]
        return self.evs
class TS(str):
    def __lt__(self, o):
        for e in L.evs:
            e["timestamp"] = "x" * 40
            e.clear()
        L.evs.clear()
        gc.collect()
        return str.__lt__(self, o)
L = Sub(os.path.join(tempfile.mkdtemp(), "l.jsonl"))
for _ in range(20):
    assert len(L.events()) == 30
    L.events(limit=3); L.export_since("")
print("ok")
""", timeout=600)  # a collection at every comparison: slow on a loaded machine
        assert out == "ok\n"

    def test_digest_owns_the_timestamps_it_orders(self):
        """Rewriting returned events' timestamps, then appending, leaves the statistics sound."""
        out = child(r"""
L = ledger_file("digest.jsonl", 3)
print(L.all_question_stats()["q"]["findings_count"])
for e in L.events():
    e["timestamp"] = "z" * 50 + str(id(e))
gc.collect()
junk = ["y" * 60 for _ in range(5000)]
L.append(event("FINDING", {"question": "q"}, 9))
junk = ["w" * 60 for _ in range(5000)]
print(L.all_question_stats()["q"]["findings_count"])
print(L.question_stats("r")["findings_count"], L.population_stats()["total_population"])
""")
        assert out.split() == ["3", "4", "3", "3"]

    def test_digest_build_survives_a_flag_that_reloads(self):
        """A replaced deserialize whose payload flag reloads the ledger from __bool__."""
        out = child(r"""
L = ledger_file("flag.jsonl", 2)
other = Ledger(L._path)
inside = []
class Flag:
    def __bool__(self):
        if not inside:
            inside.append(1)
            other.append(event("FINDING", {"question": "q"}, 5))
            L.size(); L.all_question_stats(); gc.collect()
            inside.pop()
        return True
def deserialize(line):
    ev = json.loads(line)
    if ev["type"] == "FINDING":
        ev["payload"]["empty"] = Flag()
    elif ev["type"] == "ACTION_VERIFY":
        ev["payload"]["resolved"] = Flag()
    return ev
ledger_mod.deserialize = deserialize
for _ in range(3):
    stats = L.all_question_stats()
    print(stats["q"]["findings_count"] >= 2)
ledger_mod.deserialize = protocol.deserialize
inside.append(1)
print(L.all_question_stats()["q"]["findings_count"] == Ledger(L._path).question_stats("q")["findings_count"])
""")
        assert out.split() == ["True"] * 4


# ------------------------------------------------------------- generic pass
#
# Objects whose dunder raises, mutates what the ledger holds, or reloads the
# ledger, fed to every public method through every way in: arguments, events
# a subclass's _load_all returns, cached events a caller changed, and a
# replaced deserialize.

GENERIC = r"""
DUNDER, ACTION = sys.argv[1], sys.argv[2]
L = ledger_file("generic.jsonl", 3)
other = Ledger(L._path)
handed = L.events()
depth = 0
appends = itertools.count()

def act():
    global depth
    if depth:
        return
    depth += 1
    try:
        if ACTION == "raise":
            raise RuntimeError("hostile")
        if ACTION == "mutate":
            cache = L.__dict__.get("_cache")
            if isinstance(cache, list):
                cache.reverse()
                del cache[: len(cache) // 2]
            for e in handed[:3]:
                e["timestamp"] = "mutated"
                e["payload"] = {"question": "m"}
            handed[3:5] = []
        else:
            if next(appends) < 20:
                other.append(event("FINDING", {"question": "q", "severity": 1}, 7))
            L.size()
            L.all_question_stats()
        gc.collect()
    finally:
        depth -= 1

class Text(str):
    def __hash__(self):
        if DUNDER == "__hash__": act()
        return str.__hash__(self)
    def __eq__(self, o):
        if DUNDER == "__eq__": act()
        return str.__eq__(self, o)
    def __ne__(self, o):
        return not self.__eq__(o)
    def __lt__(self, o):
        if DUNDER == "__lt__": act()
        return str.__lt__(self, o)
    def __ge__(self, o):
        if DUNDER == "__lt__": act()
        return str.__ge__(self, o)

class Truth:
    def __bool__(self):
        if DUNDER == "__bool__": act()
        return True

class Number:
    def __init__(self, value): self.value = value
    def __index__(self):
        if DUNDER == "__index__": act()
        return int(self.value)
    def __float__(self):
        if DUNDER == "__float__": act()
        return float(self.value)
    def __add__(self, o):
        act()
        return self.value + o
    __radd__ = __add__
    def __ge__(self, o):
        act()
        return self.value >= o
    def __le__(self, o):
        act()
        return self.value <= o

class Event(dict):
    def __getitem__(self, key):
        if DUNDER == "__getitem__": act()
        return dict.__getitem__(self, key)
    def get(self, key, default=None):
        if DUNDER == "__getitem__": act()
        return dict.get(self, key, default)

def hostile(ev):
    # The event with its fields and payload values replaced by hostile ones
    # (built from plain dicts, so that building it runs none of them).
    p = dict(ev["payload"])
    if "question" in p:
        p["question"] = Text(p["question"])
    for key in ("empty", "resolved"):
        if key in p:
            p[key] = Truth()
    if "severity" in p:
        p["severity"] = Number(2)
    if "findings_count" in p:
        p["findings_count"] = Number(1)
    if "execution_mode" in p:
        p["execution_mode"] = Text(p["execution_mode"])
    out = dict(ev, payload=Event(p), timestamp=Text(ev["timestamp"]), type=Text(ev["type"]))
    if ev.get("target"):
        out["target"] = Text(ev["target"])
    if DUNDER in ("__index__", "__float__"):
        out["generation"] = Number(ev["generation"])
    return Event(out)

class Sub(Ledger):
    def _load_all(self):
        return [hostile(e) for e in Ledger._load_all(self)]

results = []
# Arguments.
names = [Text("q"), Text("r"), Text("zz")]
results += every_read(L, names)
results.append(attempt(L.events, limit=Number(2)))
results.append(attempt(L.events, min_generation=Number(1), max_depth=Number(5)))
results.append(attempt(L.events, "FINDING", limit=Number(-1)))
results.append(attempt(L.append, hostile(sample(4)[1])))
results.append(attempt(L.append, dict(sample(4)[1], type=Text("FINDING"))))
results.append(attempt(L.append, dict(sample(4)[1], payload={"x": Number(1)})))
# Events a subclass's _load_all returns.
sub = Sub(L._path)
results += every_read(sub, names)
results.append(attempt(L.merge, sub))
results.append(attempt(sub.merge, L))
# Cached events changed by a caller.
for e in L.events():
    changed = hostile(e)
    for key in ("payload", "timestamp", "target"):
        if key in changed:
            e[key] = dict.__getitem__(changed, key)
results += every_read(L, names)
# A replaced deserialize that yields hostile events.
ledger_mod.deserialize = lambda line: hostile(json.loads(line))
results += every_read(Ledger(L._path), names)
ledger_mod.deserialize = protocol.deserialize
results += every_read(Ledger(L._path), names)
gc.collect()
print("done", len(results))
"""

DUNDERS = ["__hash__", "__eq__", "__lt__", "__bool__", "__getitem__", "__index__", "__float__"]


class TestGenericPass:
    @pytest.mark.parametrize("action", ["raise", "mutate", "reload"])
    @pytest.mark.parametrize("dunder", DUNDERS)
    def test_every_method_survives(self, dunder, action):
        """Each public method fed objects whose dunder raises, mutates or reloads exits cleanly."""
        code = "import sys; sys.argv[1:] = [%r, %r]\n" % (dunder, action)
        out = child(code + GENERIC)
        assert out.startswith("done ")


class TestReentrantHostCode:
    def test_logging_handler_that_reloads_and_appends(self):
        """A warning handler that reads and appends to the ledger mid-load leaves it exact."""
        out = child(r"""
L = ledger_file("log.jsonl", 2)
with open(L._path, "a") as f:
    f.write("not json\n{broken\n")
for ev in sample(5):
    L.append(ev)
busy = []
class Meddle(logging.Handler):
    def emit(self, record):
        if busy:
            return
        busy.append(1)
        L.size(); L.all_question_stats(); L.events(limit=1)
        L.append(event("SELECTION", {"question": "q"}, 9))
        busy.pop()
logging.getLogger().addHandler(Meddle())
L2 = Ledger(L._path)
print(L2.size() >= 18, L.size() >= 18)
logging.getLogger().handlers.clear()
fresh = Ledger(L._path)
print(L._load_all() == fresh._load_all(), L2._load_all() == fresh._load_all())
print(L.all_question_stats() == fresh.all_question_stats())
""")
        assert out.split() == ["True"] * 5

    def test_patched_flock_that_reloads(self):
        """A lock function that reloads the same ledger while it loads."""
        out = child(r"""
import fcntl
L = ledger_file("flock.jsonl", 2)
real = fcntl.flock
busy = []
def flock(fd, op):
    # Before taking a lock (while one is held, an append would wait for ever).
    if not busy and op != fcntl.LOCK_UN:
        busy.append(1)
        try:
            Ledger(L._path).append(event("FINDING", {"question": "q"}, 3))
            L.size(); L.population_stats()
        finally:
            busy.pop()
    return real(fd, op)
fcntl.flock = flock
for _ in range(5):
    L.all_question_stats(); L.append(event("CYCLE", {}, 1)); L.events(limit=2)
fcntl.flock = real
print(L._load_all() == Ledger(L._path)._load_all())
print(L.triage_effectiveness() == Ledger(L._path).triage_effectiveness())
""")
        assert out.split() == ["True", "True"]
