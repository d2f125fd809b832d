"""Ledger benchmarks: native load, statistics, reads after appends (ours and another
process's), queries on a warm cache, memory, serialize.

Each figure is measured side by side with its baseline in the same run and
printed as a ratio against the target it must meet.

    .venv/bin/python bench/bench_ledger.py [--events N]
"""

import argparse
import gc
import json
import random
import statistics
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import orjson

from orvane import ledger as ledger_mod
from orvane import protocol
from python_stats import population_stats as py_population_stats
from python_stats import triage_effectiveness as py_triage_effectiveness
from timing import best

sys.path.append(str(Path(__file__).resolve().parent.parent))  # after the installed package
from tests.ledger_appender import Appender  # noqa: E402

WORDS = "gap drift latency coverage régression überprüfung 検証 retry budget cache schema".split()


def synthetic_events(n, seed=7):
    """Realistic events, about 400 bytes a line, in append order."""
    rng = random.Random(seed)
    questions = [f"q-{i:03d}-{rng.choice(WORDS)}" for i in range(60)]
    targets = [f"/srv/repos/project-{i}" for i in range(12)]
    modes = ["observe", "suggest", "auto", "supervised"]
    instance = "3f9c2a7be1d4"
    events = []
    for i in range(n):
        kind = rng.choices(["SELECTION", "FINDING", "ACTION_VERIFY", "FORGE", "CYCLE"],
                           weights=[30, 40, 10, 5, 15])[0]
        q = rng.choice(questions)
        text = " ".join(rng.choice(WORDS) for _ in range(8))
        if kind == "SELECTION":
            payload = {"question": q, "selector": "hebbian",
                       "scores": {"weight": rng.random(), "novelty": rng.random()},
                       "reason": text}
        elif kind == "FINDING":
            payload = {"question": q, "finding_type": rng.choice(["gap", "drift", "risk"]),
                       "severity": round(rng.random(), 3), "empty": rng.random() < 0.3,
                       "summary": text, "evidence": {"file": f"src/mod_{i % 97}.py",
                                                     "line": rng.randrange(1, 900)}}
        elif kind == "ACTION_VERIFY":
            payload = {"question": q, "resolved": rng.random() < 0.5, "notes": text}
        elif kind == "FORGE":
            payload = {"question": f"forged-{i}", "parent": q, "gaps": [text, text[::-1]]}
        else:
            payload = {"execution_mode": rng.choice(modes), "findings_count": rng.randrange(5),
                       "actions_executed": rng.randrange(3), "actions_verified": rng.randrange(2),
                       "cost_usd": round(rng.random() / 10, 5),
                       "duration_secs": round(rng.random() * 90, 2), "summary": text}
        ev = protocol.make_event(kind, rng.choice(["selector", "brain", "forge", "host"]),
                                 payload, target=rng.choice(targets), instance_id=instance,
                                 generation=rng.randrange(3), depth=rng.randrange(2))
        ev["timestamp"] = f"2026-12-{1 + i // 40000:02d}T{(i // 3600) % 24:02d}:" \
                          f"{(i // 60) % 60:02d}:{i % 60:02d}.{rng.randrange(10**6):06d}+00:00"
        events.append(ev)
    return events


def newer_events(n, seed=11):
    """Events stamped after every synthetic one, newest last, as live appends are."""
    events = synthetic_events(n, seed=seed)
    for i, ev in enumerate(events):
        ev["timestamp"] = f"2026-12-31T23:{(i // 60000) % 60:02d}:{(i // 1000) % 60:02d}." \
                          f"{i % 1000:03d}000+00:00"
    return events


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def median(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


# Straightforward pure-Python passes computing the same records.

def py_all_question_stats(events):
    sel, found, verified = {}, {}, {}
    for e in events:
        p = e.get("payload", {})
        q = p.get("question")
        if not q:
            continue
        t = e["type"]
        if t == "SELECTION":
            sel[q] = sel.get(q, 0) + 1
        elif t == "FINDING":
            found.setdefault(q, []).append(e)
        elif t == "ACTION_VERIFY" and p.get("resolved", False):
            verified[q] = verified.get(q, 0) + 1
    out = {}
    for q in set(sel) | set(found) | set(verified):
        runs, fs, ok = sel.get(q, 0), found.get(q, []), verified.get(q, 0)
        if not fs and not runs:
            out[q] = {}
            continue
        fs = sorted(fs, key=lambda e: e["timestamp"])
        types, sevs = {}, []
        for f in fs:
            fp = f.get("payload", {})
            ft = fp.get("finding_type", "unknown")
            types[ft] = types.get(ft, 0) + 1
            if fp.get("severity") is not None:
                sevs.append(float(fp["severity"]))
        prod = empty = 0
        for f in reversed(fs):
            if f.get("payload", {}).get("empty", False):
                if prod:
                    break
                empty += 1
            else:
                if empty:
                    break
                prod += 1
        runs = max(runs, 1) if fs else runs
        out[q] = {"runs": runs, "findings_count": len(fs), "finding_types": types,
                  "avg_severity": sum(sevs) / len(sevs) if sevs else 0.0,
                  "resolution_rate": ok / runs if runs else 0.0,
                  "consecutive_productive": prod, "consecutive_empty": empty}
    return out


def row(name, ours, base, target, better_when_lower=True):
    ratio = base / ours if better_when_lower else ours / base
    print(f"  {name:<48} ours {ours * 1e3:9.3f} ms  base {base * 1e3:9.3f} ms  "
          f"ratio {ratio:7.2f}x  target {target}")
    return ratio


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--events", type=int, default=100_000)
    args = ap.parse_args()

    events = synthetic_events(args.events)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "ledger.jsonl"
        with open(path, "w") as f:
            for ev in events:
                f.write(protocol.serialize(ev) + "\n")
        size = path.stat().st_size
        print(f"ledger: {args.events} events, {size / args.events:.0f} bytes a line, "
              f"{size / 1e6:.1f} MB\n")

        def cold_load():
            fresh = ledger_mod.Ledger(path)
            return fresh, fresh._load_all()

        def json_loop():
            with open(path) as f:
                return [json.loads(line) for line in f]

        def orjson_loop():
            with open(path, "rb") as f:
                return [orjson.loads(line) for line in f]

        assert cold_load()[1] == json_loop()
        print("cold _load_all() (fresh Ledger, warm page cache)")
        ours = best(cold_load)
        row("vs json.loads loop (need >= 3x)", ours, best(json_loop), ">= 3x")
        orj = best(orjson_loop)
        print(f"  {'vs orjson.loads loop (need time <= 1.2x orjson)':<48} ours {ours * 1e3:9.3f} ms  "
              f"base {orj * 1e3:9.3f} ms  time/orjson {ours / orj:5.2f}  target <= 1.2")

        led = ledger_mod.Ledger(path)
        cached = led._load_all()
        print("\nstatistics on a warm cache vs a pure-Python pass over the same events")
        for name, py in (("all_question_stats", py_all_question_stats),
                         ("population_stats", py_population_stats),
                         ("triage_effectiveness", py_triage_effectiveness)):
            native = getattr(led, name)
            row(f"{name} (need >= 10x)", best(native), best(lambda: py(cached)), ">= 10x")

        print("\nread after append on the same object")
        extra = synthetic_events(200, seed=11)
        it = iter(extra)
        led.size()

        def append_then_size():
            led.append(next(it))
            led.size()

        per_op = median(append_then_size, 150)
        cold = best(cold_load, 3)
        print(f"  append+size {per_op * 1e6:9.1f} us   cold load {cold * 1e3:9.1f} ms   "
              f"fraction 1/{cold / per_op:,.0f}   target <= 1/500")

        print("\nreads after appends by another process (its own Ledger object)")
        reader = ledger_mod.Ledger(path)
        reader.size()
        newer = iter(newer_events(40 * 1 + 5 * 1000 + 200))
        other = Appender(path)
        one = []
        for _ in range(40):
            other.append([next(newer)])
            one.append(timed(reader.size))
        one = statistics.median(one)
        print(f"  1 event, then size()   {one * 1e6:9.1f} us   cold load {cold * 1e3:9.1f} ms   "
              f"fraction 1/{cold / one:,.0f}   target <= 1/200")
        many = []
        for _ in range(5):
            other.append([next(newer) for _ in range(1000)])
            many.append(timed(reader.size))
        many = statistics.median(many)
        share = cold * 1000 / args.events
        print(f"  1,000 events, then size()   {many * 1e3:7.2f} ms   proportional share "
              f"{share * 1e3:7.2f} ms   ratio {many / share:5.2f}   target <= 3")
        assert reader._load_all() == ledger_mod.Ledger(path)._load_all()

        print("\nevents(limit=20) on a warm cache")
        reader.events(limit=20)
        warm = median(lambda: reader.events(limit=20), 300)
        print(f"  warm                               {warm * 1e3:7.3f} ms   target <= 0.5 ms")
        own, theirs = [], []
        for _ in range(40):
            reader.append(next(newer))
            own.append(timed(lambda: reader.events(limit=20)))
            other.append([next(newer)])
            theirs.append(timed(lambda: reader.events(limit=20)))
        print(f"  right after our own append         {statistics.median(own) * 1e3:7.3f} ms   "
              f"target <= 1 ms")
        print(f"  right after another's append       {statistics.median(theirs) * 1e3:7.3f} ms   "
              f"target <= 1 ms")
        assert reader.events(limit=20) == ledger_mod.Ledger(path).events(limit=20)
        other.close()

        print("\nfirst all_question_stats() after a cold load")
        loads, firsts = [], []
        for _ in range(3):
            gc.collect()
            fresh = ledger_mod.Ledger(path)
            loads.append(timed(fresh._load_all))
            firsts.append(timed(fresh.all_question_stats))
            del fresh
        load, first = min(loads), min(firsts)
        print(f"  first all_question_stats {first * 1e3:7.2f} ms   cold load {load * 1e3:7.1f} ms   "
              f"share {first / load:6.1%}   target <= 5%")

        print("\nmemory of the cache per event vs the json.loads loop's objects")
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        fresh = ledger_mod.Ledger(path)
        fresh._load_all()
        ours_mem = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        held = json_loop()
        base_mem = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        n = len(held)
        print(f"  ours {ours_mem / n:7.0f} B/event   json.loads {base_mem / n:7.0f} B/event   "
              f"ratio {ours_mem / base_mem:5.2f}   target <= 0.7")
        del held, fresh

        print("\nserialize vs json.dumps(sort_keys=True, separators=(',', ':'), ensure_ascii=True)")
        sample = events[:20000]

        def ours_dump():
            for ev in sample:
                protocol.serialize(ev)

        def host_dump():
            for ev in sample:
                json.dumps(ev, sort_keys=True, separators=(",", ":"), ensure_ascii=True)

        row("serialize (need >= 2x)", best(ours_dump), best(host_dump), ">= 2x")


if __name__ == "__main__":
    main()
