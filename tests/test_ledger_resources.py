"""What the ledger leaves behind: no objects or references after a call, on success and on
error paths, and the garbage collector as it was found after a load, failed or not."""

import contextlib
import fcntl
import gc
import json
import logging
import sys
import weakref

import pytest

from orvane import protocol
from orvane.ledger import Ledger
from tests.conftest import ts


def event(kind="FINDING", payload=None, n=0, **fields):
    ev = protocol.make_event(kind, "tester", payload if payload is not None else {"question": "q"})
    ev["timestamp"] = ts(n % 60)
    ev.update(fields)
    return ev


class Payload:
    """A value JSON cannot carry; weakly referenceable, so its survival shows."""


@contextlib.contextmanager
def quiet():
    """Malformed-line warnings are not recorded meanwhile (a recorded one would count)."""
    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(logging.NOTSET)


def growth(call, runs=300):
    """Memory blocks left allocated by `runs` calls after a warm-up: the least of three
    rounds, since caches settle in the first ones while a leak shows in every one."""
    rounds = []
    with quiet():
        for _ in range(30):
            call()
        for _ in range(3):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(runs):
                call()
            gc.collect()
            rounds.append(sys.getallocatedblocks() - before)
    return min(rounds)


def raises(exc, fn, *args):
    def call():
        with pytest.raises(exc):
            fn(*args)
    return call


@pytest.fixture
def filled(path):
    """A ledger of every kind of event, some lines malformed, one nested past the decoder."""
    led = Ledger(path)
    for i in range(40):
        for kind, payload in (("SELECTION", {"question": f"q{i % 3}"}),
                              ("FINDING", {"question": f"q{i % 3}", "severity": i % 5,
                                           "empty": i % 2 == 0}),
                              ("ACTION_VERIFY", {"question": "q0", "resolved": True}),
                              ("FORGE", {"question": f"f{i}"}),
                              ("CYCLE", {"execution_mode": "auto", "cost_usd": 0.25})):
            led.append(event(kind, payload, i, target=f"t{i % 4}"))
    with open(path, "a") as f:
        f.write("{broken\n[1, 2]\n" + "[" * 300 + "]" * 300 + "\n")
    led.append(event(n=59))
    return led


class TestNoLeaks:
    def test_decode(self):
        """deserialize keeps nothing, whether it decodes or raises."""
        good = protocol.serialize(event(payload={"question": "q", "n": [1, 2.5, None]}))
        assert growth(lambda: protocol.deserialize(good)) < 50
        assert growth(raises(json.JSONDecodeError, protocol.deserialize, "{\"a\": [1, ")) < 50
        assert growth(raises(TypeError, protocol.deserialize, "[1]")) < 50

    def test_serialize(self):
        """serialize keeps nothing, whether it encodes or raises; the event is not held."""
        ev = event(payload={"question": "q", "n": [1, 2.5, None]})
        refs = sys.getrefcount(ev)
        assert growth(lambda: protocol.serialize(ev)) < 50
        bad = event(payload={"x": Payload()})
        held = weakref.ref(bad["payload"]["x"])
        assert growth(raises(TypeError, protocol.serialize, bad)) < 50
        del bad
        gc.collect()
        assert held() is None and sys.getrefcount(ev) == refs

    def test_append(self, path):
        """append keeps neither the event nor anything per call, refused events included."""
        led = Ledger(path)
        ev = event()
        refs = sys.getrefcount(ev)
        assert growth(lambda: led.append(ev), runs=200) < 60
        assert sys.getrefcount(ev) == refs
        invalid = event(generation=-1)
        unserialisable = event(payload={"x": Payload()})
        held = weakref.ref(unserialisable["payload"]["x"])
        assert growth(raises(ValueError, led.append, invalid)) < 50
        assert growth(raises(TypeError, led.append, unserialisable)) < 50
        del unserialisable
        gc.collect()
        assert held() is None

    def test_load(self, filled):
        """Full loads by fresh objects and loads after appends free what they replace."""
        path = filled._path
        assert growth(lambda: Ledger(path)._load_all(), runs=60) < 60

        # Appends and reads, carried past our appends (a clean file) or reloaded in full
        # (one with malformed lines): once the object is gone, nothing of it stays.
        clean = path.with_name("clean.jsonl")
        Ledger(clean).append(event())
        for target in (clean, path):
            def session():
                led = Ledger(target)
                led.size()
                for i in range(20):
                    led.append(event(n=i))
                    led.size()
                    led.all_question_stats()

            assert growth(session, runs=50) < 30

    def test_ledger_objects_are_freed(self, filled):
        """A ledger that loaded and computed statistics is freed with its last reference."""
        led = Ledger(filled._path)
        led.all_question_stats()
        led.events(limit=3)
        gone = weakref.ref(led)
        del led
        assert gone() is None

    def test_statistics(self, filled, monkeypatch):
        """The statistics keep nothing, from the digest, straight, or raising."""
        led = Ledger(filled._path)
        names = ["q0", "nobody"]
        refs = sys.getrefcount(names)
        for call in (led.all_question_stats, lambda: led.all_question_stats(names),
                     lambda: led.question_stats("q1"), led.population_stats,
                     led.triage_effectiveness, lambda: led.events(limit=5),
                     lambda: led.events(source="tester"), lambda: led.export_since(ts(30))):
            assert growth(call) < 50
        assert sys.getrefcount(names) == refs

        class Straight(Ledger):
            def _load_all(self):
                return Ledger._load_all(self)

        sub = Straight(filled._path)
        for call in (sub.all_question_stats, sub.population_stats, sub.triage_effectiveness,
                     lambda: sub.events(limit=5)):
            assert growth(call, runs=100) < 50

        led.append(event(payload={"question": "q0", "severity": "high"}))
        led.append(event("CYCLE", {"findings_count": None}))
        assert growth(raises(ValueError, led.all_question_stats), runs=100) < 50
        assert growth(raises(TypeError, led.triage_effectiveness), runs=100) < 50


# ------------------------------------------------------------ the collector


def failing_reads(path, monkeypatch):
    """Ways a load can fail part way: an error from deserialize, from the lock, from the read."""
    def deserialize(text):
        raise KeyError("boom")

    real_flock = fcntl.flock

    def flock(fd, op):
        if op == fcntl.LOCK_SH:
            raise OSError("no lock today")
        return real_flock(fd, op)

    return {"deserialize": (lambda: monkeypatch.setattr(protocol, "deserialize", deserialize),
                            KeyError),
            "lock": (lambda: monkeypatch.setattr(fcntl, "flock", flock), OSError)}


class TestCollectorState:
    @pytest.mark.parametrize("enabled", [True, False])
    @pytest.mark.parametrize("failure", ["deserialize", "lock", "none"])
    def test_load_leaves_the_collector_as_it_was(self, path, monkeypatch, enabled, failure):
        """Enabled stays enabled and disabled stays disabled, whether the load fails or not."""
        led = Ledger(path)
        led.append(event())
        Ledger(path).append(event(n=1))
        if failure != "none":
            patch, error = failing_reads(path, monkeypatch)[failure]
            patch()
        was = gc.isenabled()
        try:
            gc.enable() if enabled else gc.disable()
            if failure == "none":
                assert led.size() == 2
            else:
                with pytest.raises(error):
                    led.size()
                assert led._cache is None
            assert gc.isenabled() is enabled
        finally:
            gc.enable() if was else gc.disable()

    @pytest.mark.parametrize("enabled", [True, False])
    def test_failed_read_of_a_directory(self, tmp_path, enabled):
        """A read that the system refuses leaves the collector as it was."""
        d = tmp_path / "ledger.jsonl"
        d.mkdir()
        led = Ledger(d)
        if d.stat().st_size == 0:
            pytest.skip("directories have no size on this file system")
        was = gc.isenabled()
        try:
            gc.enable() if enabled else gc.disable()
            with pytest.raises(OSError):
                led.size()
            assert gc.isenabled() is enabled
        finally:
            gc.enable() if was else gc.disable()
