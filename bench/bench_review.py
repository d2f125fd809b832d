"""The review commands against a cold load of the same ledger: `orvane queue`,
`orvane branch` and `orvane stats`, each a whole command in its own process, beside a
process that only does a cold `Ledger(path)._load_all()` of that ledger. Each side's best
of several rounds, taken in turn, in one run.

    .venv/bin/python bench/bench_review.py [--events 100000] [--rounds 5]

Target: each command at most 1.5x the cold load (processor time, user and system, the
process's own cost; wall time is shown beside it).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import yaml
from bench_host import make_instance

QUEUED, DECIDED, FIXES = 400, 150, 6


def git(where: Path, *args: str, env: dict[str, str]) -> str:
    return subprocess.run(["git", *args], cwd=where, env=env, check=True, capture_output=True,
                          text=True).stdout.strip()


def review_lines(instance_id: str, target: str, commits: list[str], seed: int = 9):
    """Plans queued and decided, and the actions that made the branch's commits."""
    rng = random.Random(seed)
    base = time.time() - 10_000
    stamp = lambda n: time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(base + n)) + "+00:00"  # noqa: E731

    def event(n: int, kind: str, payload: dict, parent: str | None = None) -> tuple[str, str]:
        ident = f"{n:08x}-1111-4000-8000-{rng.getrandbits(48):012x}"
        return ident, json.dumps({"depth": 0, "generation": 0, "id": ident, "instance_id": instance_id,
                                  "parent_id": parent, "payload": payload, "source": "triage", "target": target,
                                  "timestamp": stamp(n), "type": kind}, sort_keys=True) + "\n"

    lines, plans = [], []
    for n in range(QUEUED):
        plan_id, line = event(3 * n, "ACTION_PLAN", {"question": "pressure-test", "plan": f"fix {n}",
                                                     "risk_score": 0.3, "finding": f"finding {n}"})
        lines.append(line)
        plans.append(plan_id)
        lines.append(event(3 * n + 1, "TRIAGE", {
            "question": "pressure-test", "decision": "queued", "reason": "the policy asks a human to approve it",
            "plan": f"fix {n}", "risk_score": 0.3, "description": f"finding {n}", "evidence": f"src/m{n}.py:3",
            "category": "markers", "severity": 0.7}, plan_id)[1])
    for n, plan_id in enumerate(plans[:DECIDED]):
        lines.append(event(2000 + n, "TRIAGE", {"decision": "rejected", "plan_event": plan_id, "by": "bench"},
                           plan_id)[1])
    for n, commit in enumerate(commits):
        lines.append(event(3000 + n, "ACTION_EXEC", {"question": "pressure-test", "plan": f"fix {n}",
                                                     "finding": f"finding {n}", "success": True, "after": commit},
                           plans[n])[1])
    return lines


def build(root: Path, events: int, env: dict[str, str]) -> Path:
    repo = root / "repo"
    repo.mkdir()
    (repo / "notes.txt").write_text("start\n")
    git(repo, "init", "-q", "-b", "main", env=env)
    git(repo, "add", ".", env=env)
    git(repo, "commit", "-qm", "start", env=env)
    directory = make_instance(root, events - 2 * QUEUED - DECIDED - FIXES, repo)
    instance_id = yaml.safe_load((directory / "config.yaml").read_text())["instance_id"]
    worktree = Path(env["HOME"]) / ".orvane" / "worktrees" / instance_id
    git(repo, "worktree", "add", "-q", "-b", f"k7/{instance_id}", str(worktree), env=env)
    commits = []
    for n in range(FIXES):
        (worktree / f"fix{n}.txt").write_text(f"fix {n}\n")
        git(worktree, "add", ".", env=env)
        git(worktree, "commit", "-qm", f"[k7] post-action success: fix {n}", env=env)
        commits.append(git(worktree, "rev-parse", "HEAD", env=env))
    with open(directory / "ledger.jsonl", "a") as handle:
        handle.writelines(review_lines(instance_id, str(repo), commits))
    return directory


def command(args: list[str], env: dict[str, str]) -> tuple[float, float]:
    """(wall, processor) of one process, its children (git) included."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.perf_counter()
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, env=env, stdin=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.perf_counter() - wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        home = root / "home"
        home.mkdir()
        env = dict(os.environ, HOME=str(home), GIT_AUTHOR_NAME="bench", GIT_AUTHOR_EMAIL="bench@example.test",
                   GIT_COMMITTER_NAME="bench", GIT_COMMITTER_EMAIL="bench@example.test")
        directory = build(root, args.events, env)
        ledger = directory / "ledger.jsonl"
        count = sum(1 for _ in open(ledger))
        print(f"ledger of {count:,} events, {ledger.stat().st_size / 1e6:.0f} MB; "
              f"{QUEUED - DECIDED} plans waiting, {FIXES} unmerged fixes; best of {args.rounds} rounds")
        load = [sys.executable, "-c", f"from orvane.ledger import Ledger; Ledger({str(ledger)!r})._load_all()"]
        commands = {"orvane queue": ["queue", str(directory)], "orvane branch": ["branch", str(directory)],
                    "orvane stats": ["stats", str(directory)]}
        best = {name: (float("inf"), float("inf")) for name in ["cold _load_all()", *commands]}
        for _ in range(args.rounds):
            best["cold _load_all()"] = tuple(map(min, best["cold _load_all()"], command(load, env)))
            for name, rest in commands.items():
                best[name] = tuple(map(min, best[name], command([sys.executable, "-m", "orvane", *rest], env)))
        base_wall, base_cpu = best["cold _load_all()"]
        print(f"  {'cold _load_all() (the base)':<30} processor {base_cpu * 1e3:7.0f} ms   wall {base_wall * 1e3:7.0f} ms")
        for name in commands:
            wall, cpu = best[name]
            verdict = "ok" if cpu <= 1.5 * base_cpu else "MISSED"
            print(f"  {name:<30} processor {cpu * 1e3:7.0f} ms   wall {wall * 1e3:7.0f} ms   "
                  f"ratio {cpu / base_cpu:4.2f}x (wall {wall / base_wall:4.2f}x)  target <= 1.5x  {verdict}")


if __name__ == "__main__":
    main()
