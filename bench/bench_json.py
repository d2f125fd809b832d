"""Event line codec speed: orvane.protocol against the host's json and orjson.

Run with the installed package: `.venv/bin/python bench/bench_json.py`
(orjson from the `bench` extra). Prints microseconds per call and the ratio
to the host's json for each case, all measured in this one run.
"""

import argparse
import json
import marshal
import random
import statistics
import sys
import time

from orvane import protocol

try:
    import orjson
except ImportError:  # the comparison column is left empty
    orjson = None

LINE = {"sort_keys": True, "separators": (",", ":"), "ensure_ascii": True}


def events(count, seed=1):
    """Realistic events of the kinds a cycle records, ~300-600 bytes as lines."""
    r = random.Random(seed)
    words = ("retry loop timeout budget cache stale index ledger worktree snapshot rollback probe config "
             "handler fetch parse gap finding question forge goal drift latency").split()
    out = []
    for i in range(count):
        kind = i % 4
        text = " ".join(r.choice(words) for _ in range(r.randrange(8, 20)))
        if kind == 0:
            payload = {"question": "pressure-test", "severity": r.choice(["low", "medium", "high"]),
                       "summary": text.capitalize() + ".", "score": round(r.random(), 3),
                       "tags": r.sample(words, 3), "evidence": {"file": f"src/{r.choice(words)}.py",
                                                                "line": r.randrange(1, 900)}}
            ev = protocol.make_event("FINDING", "brain", payload, target="/srv/repo", generation=r.randrange(3))
        elif kind == 1:
            payload = {"question": r.choice(["pressure-test", "opportunity-scan", "gap-7f3a"]),
                       "weight": r.random() * 4, "candidates": r.randrange(2, 40), "reason": text}
            ev = protocol.make_event("SELECTION", "selector", payload, target="https://example.test/app")
        elif kind == 2:
            payload = {"mode": r.choice(["observe", "suggest", "auto"]), "findings": r.randrange(9),
                       "actions": r.randrange(4), "duration_s": r.random() * 300, "tokens": r.randrange(10**6),
                       "questions": r.sample(words, 4), "ok": r.random() < 0.9}
            ev = protocol.make_event("CYCLE", "host", payload, depth=r.randrange(2))
        else:
            payload = {"gap": text, "note": "Réglage du délai — 設定 ✓", "parent_question": "opportunity-scan",
                       "confidence": r.random()}
            ev = protocol.make_event("FORGE", "forge", payload, parent_id=str(r.getrandbits(64)))
        out.append(ev)
    return out


def per_call(fn, items, repeat):
    """Best-of-`repeat` microseconds per call of fn over items."""
    best = []
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        for x in items:
            fn(x)
        best.append((time.perf_counter_ns() - t0) / len(items) / 1000)
    return min(best), statistics.median(best)


def report(title, rows, repeat):
    print(f"\n{title}")
    print(f"  {'implementation':34s} {'best us':>8s} {'median':>8s} {'vs json':>8s}")
    base = None
    for name, fn, items in rows:
        if fn is None:
            print(f"  {name:34s} {'-':>8s}")
            continue
        best, med = per_call(fn, items, repeat)
        base = base or best
        print(f"  {name:34s} {best:8.2f} {med:8.2f} {base / best:7.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()

    evs = events(args.events)
    lines = [protocol.serialize(e) for e in evs]
    assert all(protocol.deserialize(x) == json.loads(x) for x in lines)
    assert all(protocol.serialize(e) == json.dumps(e, **LINE) for e in evs)
    sizes = [len(x) for x in lines]
    print(f"python {sys.version.split()[0]}, {len(lines)} event lines, "
          f"{min(sizes)}-{max(sizes)} bytes (mean {statistics.mean(sizes):.0f})")

    # marshal builds the same dicts, strs, ints and floats from a binary form
    # with no text to scan: roughly the floor that building host objects puts
    # under any JSON decoder.
    packed = [marshal.dumps(json.loads(x)) for x in lines]
    report("deserialize one line", [
        ("json.loads", json.loads, lines),
        ("orvane.protocol.deserialize", protocol.deserialize, lines),
        ("orjson.loads", orjson and orjson.loads, lines),
        ("marshal.loads (objects only)", marshal.loads, packed),
    ], args.repeat)

    report("serialize one event", [
        ("json.dumps(sort_keys, separators)", lambda e: json.dumps(e, **LINE), evs),
        ("orvane.protocol.serialize", protocol.serialize, evs),
        ("orjson.dumps(OPT_SORT_KEYS)", orjson and (lambda e: orjson.dumps(e, option=orjson.OPT_SORT_KEYS)), evs),
    ], args.repeat)

    # Lines the native decoder hands over: the cost of trying first.
    broken = [x[:-1] for x in lines[:500]]

    def host_error(x):
        try:
            json.loads(x)
        except ValueError:
            pass

    def native_error(x):
        try:
            protocol.deserialize(x)
        except ValueError:
            pass

    report("deserialize a truncated line (declined, host raises)", [
        ("json.loads", host_error, broken),
        ("orvane.protocol.deserialize", native_error, broken),
    ], args.repeat)


if __name__ == "__main__":
    main()
