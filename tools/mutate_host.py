#!/usr/bin/env python3
"""A small mutation run over the host's Python: does its test suite catch realistic
mistakes?

Each mutant changes one thing in one module: a comparison flipped (< for <=, == for !=,
in for not in, is for is not), a `not` dropped, a whole number off by one, an `and`
swapped for an `or` (or the reverse). A sample of them is applied one at a time, in
place, and the module's tests are run: first the fast in-process ones, then, for a
mutant they miss, the end-to-end ones. A mutant is killed when a test fails (or the
tests do not finish in time). The original file is always put back.

    .venv/bin/python tools/mutate_host.py                 # about 30 mutants
    .venv/bin/python tools/mutate_host.py --sample 10 --seed 3 --module selector.py

Only the standard library's `ast` is used to make the mutants; the tests run under the
interpreter that runs this script.
"""

from __future__ import annotations

import argparse
import ast
import random
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Each module with the tests that speak for it: fast ones first, end-to-end ones second.
TESTS: dict[str, tuple[list[str], list[str]]] = {
    "selector.py": (["tests/test_host_logic.py"], ["tests/test_cli.py"]),
    "cycle.py": (["tests/test_host_logic.py", "tests/test_host_guards.py"],
                 ["tests/test_host_run.py", "tests/test_acting.py", "tests/test_cli.py"]),
    "actions.py": (["tests/test_host_logic.py", "tests/test_host_guards.py", "tests/test_actions.py"],
                   ["tests/test_acting.py"]),
    "instance.py": (["tests/test_host_logic.py"], ["tests/test_host_run.py"]),
    "target.py": (["tests/test_host_logic.py"], ["tests/test_host_run.py", "tests/test_cli.py"]),
}
FLIPS = {ast.Lt: ast.LtE, ast.LtE: ast.Lt, ast.Gt: ast.GtE, ast.GtE: ast.Gt, ast.Eq: ast.NotEq,
         ast.NotEq: ast.Eq, ast.In: ast.NotIn, ast.NotIn: ast.In, ast.Is: ast.IsNot, ast.IsNot: ast.Is}
SYMBOL = {ast.Lt: "<", ast.LtE: "<=", ast.Gt: ">", ast.GtE: ">=", ast.Eq: "==", ast.NotEq: "!=",
          ast.In: "in", ast.NotIn: "not in", ast.Is: "is", ast.IsNot: "is not"}


@dataclass
class Site:
    module: str
    index: int  # position in ast.walk order of the mutated node
    kind: str
    line: int
    detail: str


def parents(tree: ast.AST) -> dict[ast.AST, ast.AST]:
    return {child: node for node in ast.walk(tree) for child in ast.iter_child_nodes(node)}


def in_annotation(node: ast.AST, up: dict[ast.AST, ast.AST]) -> bool:
    while node in up:
        parent = up[node]
        if isinstance(parent, (ast.arg, ast.AnnAssign)) and node is getattr(parent, "annotation", None):
            return True
        if isinstance(parent, (ast.FunctionDef, ast.AsyncFunctionDef)) and node is parent.returns:
            return True
        node = parent
    return False


def sites(module: str, tree: ast.AST) -> list[Site]:
    up = parents(tree)
    found = []
    for index, node in enumerate(ast.walk(tree)):
        line = getattr(node, "lineno", 0)
        if isinstance(node, ast.Compare):
            for position, op in enumerate(node.ops):
                if type(op) in FLIPS:
                    found.append(Site(module, index, f"compare:{position}", line,
                                      f"{SYMBOL[type(op)]} -> {SYMBOL[FLIPS[type(op)]]}"))
        elif isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Not):
            found.append(Site(module, index, "drop-not", line, "not x -> x"))
        elif isinstance(node, ast.BoolOp):
            name = "and" if isinstance(node.op, ast.And) else "or"
            found.append(Site(module, index, "boolop", line, f"{name} -> {'or' if name == 'and' else 'and'}"))
        elif (isinstance(node, ast.Constant) and type(node.value) is int and not in_annotation(node, up)
              and isinstance(up.get(node), (ast.Compare, ast.BinOp, ast.AugAssign, ast.Slice))):
            found.append(Site(module, index, "off-by-one", line, f"{node.value} -> {node.value + 1}"))
    return found


def replace(parent: ast.AST, old: ast.AST, new: ast.AST) -> None:
    for field, value in ast.iter_fields(parent):
        if value is old:
            setattr(parent, field, new)
            return
        if isinstance(value, list):
            for position, item in enumerate(value):
                if item is old:
                    value[position] = new
                    return
    raise ValueError("node not found under its parent")


def mutant(source: str, site: Site) -> str:
    tree = ast.parse(source)
    up = parents(tree)
    node = list(ast.walk(tree))[site.index]
    if site.kind.startswith("compare:"):
        position = int(site.kind.split(":")[1])
        assert isinstance(node, ast.Compare)
        node.ops[position] = FLIPS[type(node.ops[position])]()
    elif site.kind == "drop-not":
        assert isinstance(node, ast.UnaryOp)
        replace(up[node], node, node.operand)
    elif site.kind == "boolop":
        assert isinstance(node, ast.BoolOp)
        node.op = ast.Or() if isinstance(node.op, ast.And) else ast.And()
    elif site.kind == "off-by-one":
        assert isinstance(node, ast.Constant)
        node.value += 1
    return ast.unparse(ast.fix_missing_locations(tree)) + "\n"


def run_tests(files: list[str], timeout: float) -> str:
    """"killed", "timeout" or "survived"."""
    command = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:randomly", "-p", "no:cacheprovider", *files]
    try:
        done = subprocess.run(command, cwd=ROOT, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timeout"
    return "survived" if done.returncode == 0 else "killed"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=int, default=30, help="how many mutants (default 30)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--module", action="append", choices=sorted(TESTS), help="only these modules")
    parser.add_argument("--timeout", type=float, default=900, help="seconds per test run (default 900)")
    parser.add_argument("--list", action="store_true", help="print the sampled mutants and stop")
    args = parser.parse_args(argv)
    # Ended from outside, the run still puts the module back (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

    modules = args.module or sorted(TESTS)
    every = {m: sites(m, ast.parse((ROOT / "orvane" / m).read_text())) for m in modules}
    rng = random.Random(args.seed)
    # Each module gets its share of the sample, in proportion to its sites, at least 3.
    total = sum(len(s) for s in every.values())
    chosen: list[Site] = []
    for module in modules:
        share = max(3, round(args.sample * len(every[module]) / max(total, 1)))
        chosen += rng.sample(every[module], min(share, len(every[module])))
    chosen.sort(key=lambda s: (s.module, s.line))
    if args.list:
        for site in chosen:
            print(f"{site.module}:{site.line}  {site.kind:<12} {site.detail}")
        return 0

    # The fast tests must pass on the modules as they are, or every mutant would look
    # killed (a mutant killed only by the end-to-end tests is named as such below).
    fast = sorted({name for module in modules for name in TESTS[module][0]})
    if run_tests(fast, args.timeout) != "survived":
        print(f"the tests {' '.join(fast)} fail without any mutant: fix them first")
        return 1
    results: list[tuple[Site, str, str]] = []
    for number, site in enumerate(chosen, 1):
        path = ROOT / "orvane" / site.module
        original = path.read_text()
        started = time.monotonic()
        try:
            path.write_text(mutant(original, site))
            fast, slow = TESTS[site.module]
            outcome, by = run_tests(fast, args.timeout), "in-process"
            if outcome == "survived":
                outcome, by = run_tests(slow, args.timeout), "end-to-end"
        finally:
            path.write_text(original)
        results.append((site, outcome, by))
        print(f"[{number}/{len(chosen)}] {site.module}:{site.line} {site.kind} ({site.detail}): {outcome}"
              f"{'' if outcome == 'survived' else ' by the ' + by + ' tests'} "
              f"({time.monotonic() - started:.0f}s)", flush=True)

    killed = sum(outcome != "survived" for _, outcome, _ in results)
    print(f"\n{killed} of {len(results)} mutants killed ({100 * killed / max(len(results), 1):.0f}%)")
    for module in modules:
        mine = [r for r in results if r[0].module == module]
        print(f"  {module:<12} {sum(o != 'survived' for _, o, _ in mine)} of {len(mine)} killed")
    survivors = [site for site, outcome, _ in results if outcome == "survived"]
    if survivors:
        print("survivors:")
        for site in survivors:
            print(f"  {site.module}:{site.line}  {site.kind} ({site.detail})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
