"""Another process appending to a ledger through a Ledger object of its own, for the
ledger's tests and benchmark."""
import json
import subprocess
import sys

# Appends the events it is sent, one JSON document a line, reads its ledger's size and
# says "ok".
APPENDER = r"""
import json, sys
from orvane.ledger import Ledger
led = Ledger(sys.argv[1])
for text in sys.stdin:
    for ev in json.loads(text):
        led.append(ev)
    led.size()
    print("ok", flush=True)
"""


class Appender:
    """The other process; `append` returns once its appends are done."""

    def __init__(self, path):
        self.proc = subprocess.Popen([sys.executable, "-P", "-c", APPENDER, str(path)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def append(self, events):
        self.proc.stdin.write(json.dumps(events) + "\n")
        self.proc.stdin.flush()
        assert self.proc.stdout.readline() == "ok\n"

    def close(self):
        try:
            self.proc.stdin.close()
            code = self.proc.wait(timeout=60)
        finally:
            # Whatever happened, no process or pipe outlives the test.
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdout.close()
        assert code == 0
