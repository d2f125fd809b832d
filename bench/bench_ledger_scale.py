"""Ledger at scale: a 1,000,000-event ledger side by side with a 100,000-event one.

Cold load time per event, and memory per event: the host objects as tracemalloc sees
them, and the resident memory the load adds to the process, which includes the native
order index and statistics digest. Each measurement runs in a fresh process. A
json.loads loop over the same files is timed alongside: how the machine itself copes with
ten times the objects. The other ledger ratios at this scale:
`bench/bench_ledger.py --events 1000000`.

    .venv/bin/python bench/bench_ledger_scale.py [--events N] [--base M]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_ledger import synthetic_events  # noqa: E402

from orvane import protocol  # noqa: E402

# Measures one ledger file in a fresh process and prints the figures as JSON.
MEASURE = r"""
import gc, json, os, sys, time, tracemalloc
from orvane.ledger import Ledger
path, what, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3])

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

if what == "json":
    import json
    gc.disable()  # as the ledger's load pauses it
    walls, cpus = [], []
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        with open(path) as f:
            events = [json.loads(line) for line in f]
        walls.append(time.perf_counter() - t0)
        cpus.append(time.process_time() - c0)
        n = len(events)
        del events
    print(json.dumps({"seconds": min(walls), "cpu": min(cpus), "events": n}))
elif what == "time":
    walls, cpus = [], []
    for _ in range(repeat):
        gc.collect()
        led = Ledger(path)
        t0, c0 = time.perf_counter(), time.process_time()
        events = led._load_all()
        walls.append(time.perf_counter() - t0)
        cpus.append(time.process_time() - c0)
        n = len(events)
        del led, events
    print(json.dumps({"seconds": min(walls), "cpu": min(cpus), "events": n}))
elif what == "resident":
    gc.collect()
    before = resident()
    led = Ledger(path)
    n = led.size()
    gc.collect()
    print(json.dumps({"bytes": resident() - before, "events": n}))
else:
    gc.collect()
    tracemalloc.start()
    led = Ledger(path)
    n = led.size()
    print(json.dumps({"bytes": tracemalloc.get_traced_memory()[0], "events": n}))
"""


def measure(path, what, repeat=1):
    out = subprocess.run([sys.executable, "-P", "-c", MEASURE, str(path), what, str(repeat)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--events", type=int, default=1_000_000)
    ap.add_argument("--base", type=int, default=100_000)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        big, small = Path(tmp) / "big.jsonl", Path(tmp) / "small.jsonl"
        with open(big, "w") as f_big, open(small, "w") as f_small:
            for i, ev in enumerate(synthetic_events(args.events)):
                text = protocol.serialize(ev) + "\n"
                f_big.write(text)
                if i < args.base:
                    f_small.write(text)
        print(f"ledgers: {args.base:,} events ({small.stat().st_size / 1e6:.0f} MB) and "
              f"{args.events:,} events ({big.stat().st_size / 1e6:.0f} MB)\n")

        for what, label, target in (("time", "cold _load_all() (fresh Ledger, warm page cache)",
                                     "target <= 1.2x"),
                                    ("json", "json.loads loop (the machine's own scaling)", "")):
            base, big_run = measure(small, what, 5), measure(big, what, 3)
            print(f"{label}, per event (wall; process CPU time)")
            for run, n in ((base, args.base), (big_run, args.events)):
                wall, cpu = run["seconds"] / run["events"], run["cpu"] / run["events"]
                print(f"  {n:>9,} events {run['seconds'] * 1e3:9.1f} ms   {wall * 1e6:6.3f} us/event"
                      f"   cpu {cpu * 1e6:6.3f} us/event")
            wall_ratio = (big_run["seconds"] / big_run["events"]) / (base["seconds"] / base["events"])
            cpu_ratio = (big_run["cpu"] / big_run["events"]) / (base["cpu"] / base["events"])
            print(f"  ratio per event: wall {wall_ratio:5.2f}x   cpu {cpu_ratio:5.2f}x   {target}")

        print("\nmemory per event of the loaded cache")
        for what, label in (("traced", "host objects (tracemalloc)"),
                            ("resident", "resident, native indexes included")):
            a, b = measure(small, what), measure(big, what)
            per_a, per_b = a["bytes"] / a["events"], b["bytes"] / b["events"]
            print(f"  {label:<36} {per_a:7.0f} B/event at {args.base:,}   {per_b:7.0f} B/event at "
                  f"{args.events:,}   ratio {per_b / per_a:5.2f}   target <= 1.0")


if __name__ == "__main__":
    main()
