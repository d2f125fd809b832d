"""`orvane report` on a large ledger, side by side with a cold load of that ledger.

Two fresh processes, timed from start to exit and taken in turn each round: one runs
`orvane report` on an instance whose ledger holds N events (shaped like the host's own
cycles, with forged questions on disk), the other loads the same ledger cold with
`Ledger(path)._load_all()`. The report must take at most 2x the load, and the page must
stay under 5 MB. Both wall time and processor time are printed; on a machine shared
with other work, processor time is the one the bound is judged on, since the wall time
of either side then depends on what else runs.

    .venv/bin/python bench/bench_report.py [--events N] [--rounds R]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from report_ledger import events_for, write_ledger  # noqa: E402

from orvane import instance, seed  # noqa: E402

LOAD = "import sys\nfrom orvane.ledger import Ledger\nLedger(sys.argv[1])._load_all()\n"
RATIO_BOUND = 2.0
SIZE_BOUND = 5 * 1000 * 1000


def make_instance(root: Path, count: int) -> Path:
    directory = root / "agent"
    instance.create(directory, "Every module is tested and documented", "ada", {"type": "offline"})
    # Most queued plans are decided on, as they would be by someone following the queue.
    events = events_for(count, decide=0.9)
    for event in events:
        if event["type"] == "FORGE":
            name = event["payload"]["question"]
            seed.save_question({"name": name, "question": f"What does {name} miss?", "description": "",
                                "generation": event["generation"], "parent": "pressure-test",
                                "immutable": False, "tags": [], "forged_at": event["timestamp"],
                                "forged_from": []}, str(directory / "questions"))
    write_ledger(directory / "ledger.jsonl", events)
    return directory


def timed(command: list[str]) -> tuple[float, float]:
    """Wall time and processor time (user and system) of one run of a fresh process."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode:
        raise SystemExit(f"{command[3:5]} failed with status {process.returncode}")
    return wall, usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as temporary:
        root = Path(temporary)
        directory = make_instance(root, args.events)
        ledger_path = directory / "ledger.jsonl"
        page = root / "report.html"
        report = [sys.executable, "-P", "-m", "orvane", "report", str(directory), "-o", str(page)]
        load = [sys.executable, "-P", "-c", LOAD, str(ledger_path)]
        timed(load)  # the file into the page cache, for both alike
        loads, reports = [], []
        for _ in range(args.rounds):
            loads.append(timed(load))
            reports.append(timed(report))
        size = page.stat().st_size
        print(f"ledger: {args.events:,} events, {os.path.getsize(ledger_path) / 1e6:.1f} MB; best of "
              f"{args.rounds} rounds, each a fresh process; load average {os.getloadavg()[0]:.1f} "
              f"on {os.cpu_count()} cores")
        print(f"{'':26}{'wall':>10}{'processor':>12}")
        for label, runs in (("cold Ledger._load_all()", loads), ("orvane report", reports)):
            print(f"{label:26}{min(w for w, _ in runs) * 1000:8.0f} ms{min(c for _, c in runs) * 1000:9.0f} ms")
        wall = min(w for w, _ in reports) / min(w for w, _ in loads)
        cpu = min(c for _, c in reports) / min(c for _, c in loads)
        verdict = "ok" if cpu <= RATIO_BOUND else "OVER"
        print(f"{'ratio':26}{wall:9.2f}x{cpu:11.2f}x   (bound {RATIO_BOUND:.1f}x; processor time: {verdict})")
        print(f"page size: {size / 1e6:.2f} MB (bound {SIZE_BOUND / 1e6:.0f} MB) "
              f"{'ok' if size < SIZE_BOUND else 'OVER'}")


if __name__ == "__main__":
    main()
