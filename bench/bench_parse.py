"""Parsing the brain's answer: a normal answer, and hostile answers of many opening tags;
then the host's plan parser on the same kind of hostile answer.

Each figure is measured side by side with its baseline in the same run and
printed as a ratio against the target it must meet.

    .venv/bin/python bench/bench_parse.py
"""

import json
import random
import subprocess
import sys
from pathlib import Path

from orvane import actions, seed
from orvane.words import PLAN_OPEN
import timing

# The baseline is the tests' reference: the same algorithm in plain Python
# with the host's re and json.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tests.test_seed import ref_parse as python_parse  # noqa: E402
from tests.test_actions import lazy_expression_plan  # noqa: E402

OPEN, CLOSE = "<orvane-eval>", "</orvane-eval>"
HOST_CAP = 60.0  # seconds the host expression may take on one hostile answer

WORDS = ("the handler retries without backoff so a slow upstream turns into a storm of requests "
         "cache entries are never invalidated after a schema change and stale rows leak into reports "
         "coverage of the import path is thin and the error branch was never exercised").split()


def normal_answer(size=20_000, rng=random.Random(5)):
    """About `size` characters: prose, then a block of findings, gaps and meta."""
    def sentence(n):
        return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + "."
    findings, gaps = [], []
    block = ""
    while len(block) < size // 2:
        findings.append({"description": sentence(18), "severity": round(rng.random(), 2),
                         "category": rng.choice(["reliability", "correctness", "coverage"]),
                         "evidence": f"src/module_{rng.randrange(99)}.py:{rng.randrange(900)} " + sentence(8)})
        if rng.random() < 0.4:
            gaps.append({"description": sentence(10), "dimension": rng.choice(["ops", "tests", "data"])})
        block = json.dumps({"findings": findings, "gaps": gaps,
                            "meta": {"confidence": 0.72, "coverage_estimate": 0.55}}, indent=2)
    prose = []
    while sum(map(len, prose)) < size - len(block) - 40:
        prose.append(sentence(rng.randrange(8, 25)) + ("\n\n" if rng.random() < 0.2 else " "))
    return "".join(prose) + "\n\n" + OPEN + "\n" + block + "\n" + CLOSE + "\n"


def best(fn, arg, loops=1, repeat=5):
    """Best wall time of one call of fn(arg), over `repeat` runs of `loops` calls."""
    def run():
        for _ in range(loops):
            fn(arg)
    return timing.best(run, repeat) / loops


def host_expression_time(text):
    """The host's lazy expression on `text`, in a child so it can be stopped at the cap."""
    code = ("import re, sys, time\n"
            "text = sys.stdin.read()\n"
            "t0 = time.perf_counter()\n"
            f"re.search(re.escape({OPEN!r}) + r'\\s*(.*?)\\s*' + re.escape({CLOSE!r}), text, re.DOTALL)\n"
            "print(time.perf_counter() - t0)\n")
    try:
        done = subprocess.run([sys.executable, "-c", code], input=text, capture_output=True, text=True,
                              timeout=HOST_CAP + 10, check=True)
    except subprocess.TimeoutExpired:
        return None
    return float(done.stdout)


def main():
    answer = normal_answer()
    assert seed.parse_question_output(answer) == python_parse(answer)
    assert len(seed.parse_question_output(answer)["findings"]) > 10
    native = best(seed.parse_question_output, answer, loops=2000)
    python = best(python_parse, answer, loops=2000)
    print(f"normal answer, {len(answer) / 1000:.0f} KB, {len(python_parse(answer)['findings'])} findings")
    print(f"  native {native * 1e6:8.1f} us   python {python * 1e6:8.1f} us   "
          f"speed-up {python / native:5.1f}x   (target >= 3x: {'met' if python / native >= 3 else 'MISSED'})")

    print("hostile answer: opening tags only, no closing tag")
    times = {}
    for size in (100_000, 1_000_000, 4_000_000):
        text = OPEN * (size // len(OPEN))
        times[size] = best(seed.parse_question_output, text, loops=3 if size < 4_000_000 else 1)
        print(f"  {size / 1e6:4.1f} MB  native {times[size] * 1e3:8.3f} ms")
    growth = times[4_000_000] / times[1_000_000]
    print(f"  4 MB / 1 MB time {growth:5.2f}   (target <= 5: {'met' if growth <= 5 else 'MISSED'})")

    host_small = host_expression_time(OPEN * (100_000 // len(OPEN)))
    print(f"  0.1 MB  host expression {host_small:8.2f} s   native {times[100_000] * 1e3:.3f} ms   "
          f"ratio 1/{host_small / times[100_000]:,.0f}" if host_small else "  0.1 MB  host expression over the cap")
    host = host_expression_time(OPEN * (1_000_000 // len(OPEN)))
    ratio = (host if host is not None else HOST_CAP) / times[1_000_000]
    shown = f"{host:8.2f} s" if host is not None else f"> {HOST_CAP:.0f} s (capped)"
    print(f"  1 MB    host expression {shown}   native {times[1_000_000] * 1e3:.3f} ms   "
          f"ratio {'at least ' if host is None else ''}1/{ratio:,.0f}   "
          f"(target < 1/100: {'met' if ratio > 100 else 'MISSED'})")


def plans():
    """The host's plan parser against the lazy expression it replaced, on an answer of
    plan opening tags only, and its growth from 1 MB to 4 MB."""
    print("plan answer: opening tags only, no closing tag")
    text = PLAN_OPEN * (52_000 // len(PLAN_OPEN))
    assert actions.parse_plan(text, 0) == lazy_expression_plan(text, 0)
    one_pass, lazy = timing.best_of([lambda: actions.parse_plan(text, 0), lambda: lazy_expression_plan(text, 0)], 2)
    print(f"  52 KB  parse_plan {one_pass * 1e3:8.3f} ms   lazy expression {lazy * 1e3:8.1f} ms   "
          f"ratio 1/{lazy / one_pass:,.0f}   (target < 1/100: {'met' if lazy / one_pass > 100 else 'MISSED'})")
    small, large = (best(lambda t: actions.parse_plan(t, 0), PLAN_OPEN * (size // len(PLAN_OPEN)), loops=3)
                    for size in (1_000_000, 4_000_000))
    print(f"  4 MB / 1 MB time {large / small:5.2f}   (target <= 5: {'met' if large / small <= 5 else 'MISSED'})")


if __name__ == "__main__":
    main()
    plans()
