"""Brain benchmark: ClaudeCodeBrain reading a 20 MB stream-json output.

A fake program prints a long session's stream-json (assistant text, tool calls, tool results,
half of the lines with non-ASCII text escaped, half raw). It is run by ClaudeCodeBrain.ask_raw and
by the plain Python rendition of ask_raw (subprocess.run in text mode, json.loads per line),
side by side in one run; the best of several runs each, interleaved.

    .venv/bin/python bench/bench_brain.py [--mb 20] [--repeat 9]
"""

import argparse
import json
import random
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parent.parent))  # after the installed package

from orvane.brain import ClaudeCodeBrain  # noqa: E402
from tests.brain_streams import reference_ask_raw, write_program  # noqa: E402
from timing import best_of  # noqa: E402

TARGET = 3.0


def large_output(size, seed=1):
    """About `size` bytes of stream-json as the claude program prints it for a long session:
    assistant text, tool calls and tool results (file contents), then a result event."""
    rng = random.Random(seed)
    words = ("the function returns a value when the cache is cold régression überprüfung 検証 "
             "retry budget schema latency drift — coverage `code` \"quoted\" path/to/file.py").split()

    def prose(n):
        out = []
        for _ in range(n):
            out.append(rng.choice(words))
            if rng.random() < 0.08:
                out.append("\n")
            if rng.random() < 0.02:
                out.append("\t")
        return " ".join(out)

    lines = [json.dumps({"type": "system", "subtype": "init", "cwd": "/srv/x", "session_id": "s",
                         "tools": ["Bash", "Read", "Edit"], "model": "m"})]
    total, i = 0, 0
    while total < size:
        i += 1
        r = rng.random()
        if r < 0.45:
            ev = {"type": "assistant", "message": {
                "id": f"msg_{i}", "type": "message", "role": "assistant", "model": "m",
                "content": [{"type": "text", "text": prose(rng.randrange(20, 400))}],
                "stop_reason": None, "usage": {"input_tokens": 12, "output_tokens": 345}},
                "parent_tool_use_id": None, "session_id": "s"}
        elif r < 0.65:
            ev = {"type": "assistant", "message": {
                "id": f"msg_{i}", "type": "message", "role": "assistant",
                "content": [{"type": "tool_use", "id": f"tu_{i}", "name": "Edit",
                             "input": {"file_path": "/srv/x/a.py", "old_string": prose(100),
                                       "new_string": prose(120)}}]}, "session_id": "s"}
        else:
            ev = {"type": "user", "message": {"role": "user", "content": [
                {"tool_use_id": f"tu_{i}", "type": "tool_result",
                 "content": prose(rng.randrange(100, 1500))}]}, "session_id": "s"}
        line = json.dumps(ev, ensure_ascii=rng.random() < 0.5)
        lines.append(line)
        total += len(line.encode()) + 1
    lines.append(json.dumps({"type": "result", "subtype": "success", "result": "",
                             "total_cost_usd": 0.4321, "session_id": "s"}))
    return ("\n".join(lines) + "\n").encode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=20)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        data = large_output(int(args.mb * 1_000_000))
        out = Path(tmp) / "stream.jsonl"
        out.write_bytes(data)
        program = write_program(Path(tmp) / "claude", f'exec cat "{out}"\n')

        brain = ClaudeCodeBrain(program)
        ours, plain = brain.ask_raw("x"), reference_ask_raw([program])
        assert ours == plain, "the two readings differ"

        def pipe_only():
            return subprocess.run([program], capture_output=True).stdout

        t_ours, t_plain, t_pipe = best_of(
            [lambda: brain.ask_raw("x"), lambda: reference_ask_raw([program]), pipe_only],
            args.repeat)

    lines = data.count(b"\n")
    print(f"stream-json output: {len(data) / 1e6:.1f} MB, {lines} lines, "
          f"answer {len(ours[0]) / 1e6:.1f} M characters")
    print(f"{'':34}{'ClaudeCodeBrain':>16}{'plain Python':>14}{'ratio':>9}{'target':>9}")
    ratio = t_plain / t_ours
    verdict = "ok" if ratio >= TARGET else "MISSED"
    print(f"{'ask_raw, whole run':34}{t_ours * 1e3:13.1f} ms{t_plain * 1e3:11.1f} ms"
          f"{ratio:8.2f}x{'>= %.0fx' % TARGET:>9}  {verdict}")
    print(f"{'  of which reading the pipe alone':34}{t_pipe * 1e3:13.1f} ms{t_pipe * 1e3:11.1f} ms")
    print(f"{'  the rest (decoding, reading)':34}{(t_ours - t_pipe) * 1e3:13.1f} ms"
          f"{(t_plain - t_pipe) * 1e3:11.1f} ms{(t_plain - t_pipe) / max(t_ours - t_pipe, 1e-9):8.2f}x")
    return 0 if ratio >= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
