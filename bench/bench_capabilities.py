"""Capability map benchmarks: auto-detection and prompt rendering.

Each figure is measured side by side with its baseline, a plain-Python
rendition (tests/capabilities_reference.py), in the same run and printed as a
ratio against the target it must meet.

    .venv/bin/python bench/bench_capabilities.py [--entries N] [--items N]

Detection: a generated tree of N entries (a tenth of them directories) with
the target 8 levels deep and no map file anywhere. Half of the entries lie in
the target's tree, the rest in sibling trees hanging off each of its 8
ancestors. The target is given relative to the tree's root, so both walks end
there. The baseline searches the target's tree and then each ancestor's whole
tree with Path.rglob, as the walk is described; the module walks each
directory once.
"""

import argparse
import os
import random
import sys
import tempfile
import time
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parent.parent))

from orvane import capabilities  # noqa: E402
from tests import capabilities_reference as ref  # noqa: E402
from timing import best_of, best_wall_and_cpu  # noqa: E402

DEPTH = 8


def grow(root, count, rng, tag):
    """`count` entries below `root`: directories hung under random earlier ones
    (a random recursive tree, as deep as real trees get), files spread over them."""
    dirs = [root]
    ndirs = count // 10
    for i in range(ndirs):
        path = os.path.join(rng.choice(dirs), f"{tag}d{i}")
        os.mkdir(path)
        dirs.append(path)
    for i in range(count - ndirs):
        fd = os.open(os.path.join(rng.choice(dirs), f"{tag}f{i}.py"), os.O_CREAT | os.O_WRONLY)
        os.close(fd)


def make_tree(base, entries, seed=7):
    """The benchmark tree under `base`; returns the target, relative to base."""
    rng = random.Random(seed)
    chain = [base]
    for level in range(1, DEPTH + 1):
        chain.append(os.path.join(chain[-1], f"level{level}"))
        os.mkdir(chain[-1])
    rest = entries - DEPTH
    grow(chain[-1], rest // 2, rng, "t")
    for level, ancestor in enumerate(chain[:-1]):
        grow(ancestor, (rest - rest // 2) // DEPTH, rng, f"s{level}")
    return os.path.relpath(chain[-1], base)


def row(name, ours, base, target):
    ratio = base / ours
    verdict = "ok" if ratio >= target else "BELOW TARGET"
    print(f"  {name:<44} ours {ours * 1e3:10.2f} ms  base {base * 1e3:10.2f} ms  "
          f"ratio {ratio:7.2f}x  target {target}x  {verdict}")
    return ratio


def bench_detection(entries):
    with tempfile.TemporaryDirectory() as base:
        started = time.perf_counter()
        target = make_tree(base, entries)
        print(f"detection: {entries} entries, {entries // 10} directories, target {DEPTH} levels "
              f"deep (tree made in {time.perf_counter() - started:.1f} s)")
        cwd = os.getcwd()
        os.chdir(base)
        try:
            ours = capabilities.auto_detect_capability_map(target)  # also warms the directory caches
            theirs = ref.auto_detect(target)
            assert ours is None and theirs is None, (ours, theirs)
            [(base_wall, base_cpu)] = best_wall_and_cpu([lambda: ref.auto_detect(target)], 2)
            [(ours_wall, ours_cpu)] = best_wall_and_cpu(
                [lambda: capabilities.auto_detect_capability_map(target)], 5)
        finally:
            os.chdir(cwd)
        row("auto_detect_capability_map (wall)", ours_wall, base_wall, 10)
        row("auto_detect_capability_map (CPU)", ours_cpu, base_cpu, 10)


WORDS = ("deploy build lint measure latency cache probe trace report queue replay "
         "snapshot verify métrique données").split()


def make_map(items, seed=11):
    """A capability map of `items` items over sections of 50 to 200 items, with
    invocation and measurement fields as strings, lists and maps, plus counted
    and fact sections and metadata."""
    rng = random.Random(seed)
    data = {"generated_at": "2026-12-07T09:13:03+00:00", "_source": "inventory"}
    made = section = 0
    while made < items:
        count = min(rng.randint(50, 200), items - made)
        entries = []
        for i in range(count):
            item = {"name": f"{rng.choice(WORDS)}-{made + i}", "type": rng.choice(["cli", "mcp", "api", ""]),
                    "description": " ".join(rng.choices(WORDS, k=8))}
            form = rng.random()
            if form < 0.4:
                item["invocation"] = f"{rng.choice(WORDS)} --target {{target}}\n  --verbose {i}"
            elif form < 0.6:
                item["usage"] = [f"{rng.choice(WORDS)} {j}" for j in range(3)]
            elif form < 0.75:
                item["invoke"] = {"command": rng.choice(WORDS), "timeout": 30, "retries": 2.5}
            if rng.random() < 0.5:
                item["measurement"] = f"check {rng.choice(WORDS)} < {rng.random():.3f}"
            entries.append(item)
        data[f"tool_group-{section}"] = {"items": entries, "total": count + rng.randint(0, 9)}
        made += count
        section += 1
    for i in range(10):
        data[f"database_{i}"] = {"total": i + 1, "engine": "pg", "replicas": 2, "managed": True}
        data[f"host-facts_{i}"] = {"os": "linux", "cores": 64, "load": 0.75}
    return data


def bench_rendering(items):
    data = make_map(items)
    m = capabilities.CapabilityMap()
    m._data = data
    print(f"rendering: a map of {items} items in {len(data)} sections")
    cases = [
        ("format_for_prompt", m.format_for_prompt, lambda: ref.format_for_prompt(data)),
        ("effector_reference", m.effector_reference,
         lambda: ref.render_item_field(data, *ref.EFFECTOR)),
        ("measurement_reference", m.measurement_reference,
         lambda: ref.render_item_field(data, *ref.MEASUREMENT)),
    ]
    total_ours = total_base = 0.0
    for name, ours, base in cases:
        assert ours() == base(), name
        # Best of many short runs, alternating, so that load from other
        # processes weighs on both sides alike.
        ours_wall, base_wall = best_of([ours, base], 200)
        total_ours += ours_wall
        total_base += base_wall
        row(name, ours_wall, base_wall, 5)
    row("all three", total_ours, total_base, 5)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=200_000)
    parser.add_argument("--items", type=int, default=5_000)
    args = parser.parse_args()
    bench_rendering(args.items)
    bench_detection(args.entries)


if __name__ == "__main__":
    main()
