"""Tests for orvane.notify: report files, the JSON-lines log, webhooks and the bus."""
import builtins
import datetime
import errno
import fcntl
import http.server
import json
import os
import pathlib
import re
import subprocess
import sys
import threading
import urllib.request

import pytest
from hypothesis import given, settings, strategies as st

from orvane.notify import (FileNotifier, LogNotifier, NotificationBus, NotifierInterface,
                           WebhookNotifier)
from tests.conftest import run_in_child

FROZEN = datetime.datetime(2026, 12, 7, 9, 13, 3, 123456, tzinfo=datetime.timezone.utc)
FROZEN_ISO = "2026-12-07T09:13:03.123456+00:00"
STAMP = "2026-12-07T09-13-03"


class FrozenDatetime(datetime.datetime):
    """A datetime whose now() is always FROZEN, so that reports fall in one second."""

    @classmethod
    def now(cls, tz=None):
        return FROZEN.astimezone(tz)


@pytest.fixture
def frozen(monkeypatch):
    monkeypatch.setattr(datetime, "datetime", FrozenDatetime)


def reference_report(event_type, payload, severity):
    """The report text as the documented algorithm builds it, in plain Python."""
    lines = [f"# {event_type}", "", f"**Severity:** {float(severity):.2f}", f"**Time:** {FROZEN_ISO}", ""]
    for key, value in payload.items():
        if isinstance(value, (dict, list)):
            lines += [f"**{key}:**", "```json", json.dumps(value, indent=2), "```"]
        else:
            lines.append(f"**{key}:** {value}")
    return "\n".join(lines + [""])


def record(event_type, payload, severity):
    return {"type": event_type, "severity": float(severity), "timestamp": FROZEN_ISO, "payload": payload}


def run_writers(code, tmp_path, *args, count=4):
    """Runs `count` copies of `code` at once (argv: *args, writer number); all must succeed."""
    procs = [subprocess.Popen([sys.executable, "-c", code, *map(str, args), str(w)], cwd=tmp_path)
             for w in range(count)]
    assert [p.wait(timeout=120) for p in procs] == [0] * count


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=8)


# -------------------------------------------------------------- report files


class TestReportFiles:
    @settings(max_examples=200)
    @given(event_type=st.text(max_size=12),
           payload=st.dictionaries(st.text(max_size=6) | st.integers(), json_values, max_size=5),
           severity=st.floats() | st.integers(-10**6, 10**6))
    def test_text_matches_reference(self, event_type, payload, severity):
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(datetime, "datetime", FrozenDatetime)
            assert FileNotifier._format_report(event_type, payload, severity) == \
                reference_report(event_type, payload, severity)

    def test_name_and_content(self, tmp_path, frozen):
        """Named from the UTC second and the event type; the directory is created; an empty
        list is a fenced "[]"."""
        directory = tmp_path / "a" / "reports"
        notifier = FileNotifier(str(directory))
        assert notifier._path == directory and notifier._min_severity == 0.0
        assert notifier.notify("cycle complete/ok", {"gaps": [], "n": None}, 0.7) is True
        (report,) = directory.iterdir()
        assert report.name == f"{STAMP}_cycle-complete-ok.md"
        assert report.read_text() == (f"# cycle complete/ok\n\n**Severity:** 0.70\n**Time:** {FROZEN_ISO}\n\n"
                                      "**gaps:**\n```json\n[]\n```\n**n:** None\n")

    def test_same_second_reports_get_suffixes(self, tmp_path, frozen):
        """Reports of one type in one second are all kept (-2, -3 before ".md"); a file
        already holding a name is never overwritten."""
        (tmp_path / f"{STAMP}_t-2.md").write_text("by hand")
        notifier = FileNotifier(str(tmp_path))
        for i in range(4):
            assert notifier.notify("t", {"i": i}, 0) is True
        assert (tmp_path / f"{STAMP}_t-2.md").read_text() == "by hand"
        for suffix, i in [("", 0), ("-3", 1), ("-4", 2), ("-5", 3)]:
            assert (tmp_path / f"{STAMP}_t{suffix}.md").read_text() == reference_report("t", {"i": i}, 0)
        assert len(list(tmp_path.iterdir())) == 5

    def test_processes_in_one_second_lose_nothing(self, tmp_path):
        code = r"""
import datetime, sys
fixed = datetime.datetime(2026, 12, 7, 9, 13, 3, tzinfo=datetime.timezone.utc)
class Frozen(datetime.datetime):
    @classmethod
    def now(cls, tz=None):
        return fixed
datetime.datetime = Frozen
from orvane.notify import FileNotifier
notifier = FileNotifier(sys.argv[1])
for i in range(40):
    assert notifier.notify("burst", {"writer": sys.argv[2], "i": i}, 1) is True
"""
        reports = tmp_path / "reports"
        run_writers(code, tmp_path, reports)
        seen = set()
        for report in reports.iterdir():
            assert re.fullmatch(rf"{STAMP}_burst(-\d+)?\.md", report.name)
            seen.add(tuple(report.read_text().splitlines()[-2:]))
        assert seen == {(f"**writer:** {w}", f"**i:** {i}") for w in range(4) for i in range(40)}

    def test_failed_write_returns_false_and_leaves_nothing(self, tmp_path, monkeypatch):
        """A full disk mid-write gives False and no partial report."""
        real_open = builtins.open

        class FullDisk:
            def __init__(self, *args, **kwargs):
                self.file = real_open(*args, **kwargs)

            def write(self, text):
                self.file.write(text[:5])
                raise OSError(errno.ENOSPC, "No space left on device")

            def close(self):
                self.file.close()

        monkeypatch.setattr(builtins, "open", FullDisk)
        assert FileNotifier(str(tmp_path)).notify("t", {}, 0) is False
        assert list(tmp_path.iterdir()) == []

    def test_failures_that_raise(self, tmp_path, frozen):
        """A directory that cannot be made and an unserialisable value inside a list raise (no
        file is left); an unserialisable plain value is written with str()."""
        (tmp_path / "file").write_text("")
        with pytest.raises(OSError):
            FileNotifier(str(tmp_path / "file" / "r")).notify("t", {}, 0)
        notifier = FileNotifier(str(tmp_path / "r"))
        with pytest.raises(TypeError):
            notifier.notify("t", {"x": [{1, 2}]}, 0)
        assert list((tmp_path / "r").iterdir()) == []
        assert notifier.notify("t", {"x": {1, 2}}, 0) is True

    def test_format_report_is_looked_up_on_the_instance(self, tmp_path):
        class Plain(FileNotifier):
            @staticmethod
            def _format_report(event_type, payload, severity):
                return f"{event_type}|{payload}|{severity!r}"

        assert Plain(str(tmp_path)).notify("t", {"a": 1}, 2) is True
        assert [p.read_text() for p in tmp_path.iterdir()] == ["t|{'a': 1}|2.0"]


# ----------------------------------------------------------------- the log


class TestLog:
    def test_line(self, tmp_path, frozen):
        """Compact JSON, members in order, severity as a float, non-ASCII escaped, one line end;
        missing directories are created."""
        path = tmp_path / "a" / "b" / "log.jsonl"
        notifier = LogNotifier(str(path))
        assert notifier._path == path
        payload = {"z": "\u00e9\u6f22", "a": [1, {"k": None}]}
        assert notifier.notify("cycle/done", payload, 1) is True
        assert notifier.notify("second", {}, True) is True
        first, second = path.read_bytes().decode("ascii").splitlines()
        assert first == json.dumps(record("cycle/done", payload, 1), separators=(",", ":"))
        assert '"severity":1.0' in first and " " not in first
        assert json.loads(second) == record("second", {}, 1.0)

    def test_line_is_written_under_the_lock(self, tmp_path, monkeypatch):
        """The line goes out whole between LOCK_EX and LOCK_UN, through the host's fcntl; a lock
        that fails gives False and writes nothing."""
        path = tmp_path / "log.jsonl"
        path.write_text("{}\n")
        real_flock = fcntl.flock
        seen = []

        def flock(fd, operation):
            seen.append((operation, path.read_bytes().count(b"\n")))
            return real_flock(fd, operation)

        monkeypatch.setattr(fcntl, "flock", flock)
        assert LogNotifier(str(path)).notify("t", {}, 0) is True
        assert seen == [(fcntl.LOCK_EX, 1), (fcntl.LOCK_UN, 2)]

        def broken(fd, operation):
            if operation == fcntl.LOCK_EX:
                raise OSError(errno.ENOLCK, "No locks available")

        monkeypatch.setattr(fcntl, "flock", broken)
        assert LogNotifier(str(path)).notify("t", {}, 0) is False
        assert path.read_bytes().count(b"\n") == 2

    def test_failures(self, tmp_path):
        (tmp_path / "dir").mkdir()
        assert LogNotifier(str(tmp_path / "dir")).notify("t", {}, 0) is False
        with pytest.raises(TypeError):
            LogNotifier(str(tmp_path / "log")).notify("t", {"x": object()}, 0)

    def test_torn_line_is_ended_first(self, tmp_path, frozen):
        """A line left unfinished by a failed writer does not swallow the next one."""
        path = tmp_path / "log.jsonl"
        path.write_bytes(b'{"type":"t","sev')
        assert LogNotifier(str(path)).notify("t", {}, 0) is True
        assert path.read_text().splitlines()[1] == json.dumps(record("t", {}, 0), separators=(",", ":"))

    def test_processes_never_interleave(self, tmp_path):
        """Several processes appending large and small lines at once: every line whole, none lost."""
        code = r"""
import os, sys, time
from orvane.notify import LogNotifier
path, start, writer = sys.argv[1:]
while not os.path.exists(start):
    time.sleep(0.001)
notifier = LogNotifier(path)
for i in range(60):
    fill = "x\u00e9" * ((i * 7919 + int(writer) * 104729) % 40000)
    assert notifier.notify("burst", {"writer": writer, "i": i, "fill": fill}, 1) is True
"""
        path, start = tmp_path / "log.jsonl", tmp_path / "start"
        threading.Timer(0.2, start.touch).start()
        run_writers(code, tmp_path, path, start)
        seen = []
        for line in path.read_bytes().split(b"\n")[:-1]:
            payload = json.loads(line)["payload"]
            writer, i = payload["writer"], payload["i"]
            assert payload["fill"] == "x\u00e9" * ((i * 7919 + int(writer) * 104729) % 40000)
            seen.append((writer, i))
        assert sorted(seen) == sorted((str(w), i) for w in range(4) for i in range(60))


# ---------------------------------------------------------------- webhooks


class Server:
    """An HTTP server on 127.0.0.1 that answers /status/N with N, /redirect/N with N to
    /status/200 (or `location`), and /slow once released."""

    def __init__(self):
        self.requests, self.location = [], "/status/200"
        self.release = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def answer(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                server.requests.append((self.command, self.path, dict(self.headers), body))
                kind, _, number = self.path.rpartition("/")
                if self.path == "/slow":
                    server.release.wait(30)
                self.send_response(int(number) if number.isdigit() else 200)
                if kind == "/redirect":
                    self.send_header("Location", server.location)
                self.send_header("Content-Length", "0")
                self.end_headers()

            do_GET = do_POST = answer

        class Quiet(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass  # a client that gave up on a slow answer

        self.httpd = Quiet(("127.0.0.1", 0), Handler)
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


@pytest.fixture
def server():
    s = Server()
    yield s
    s.close()


class TestWebhook:
    def test_body_and_headers(self, server, frozen, monkeypatch):
        """The body is the record with default separators, as UTF-8; environment references are
        expanded once, at construction; a configured Content-Type replaces the default."""
        monkeypatch.setenv("HOOK_TOKEN", "s3cret")
        monkeypatch.setenv("HOOK_PATH", "status/200")
        hook = WebhookNotifier(server.base + "/${HOOK_PATH}", 0, {"X-Token": "Bearer ${HOOK_TOKEN}",
                                                                 "X-Keep": "${NOT_SET_ANYWHERE}"})
        assert hook._url == server.base + "/status/200"
        assert hook._headers == {"X-Token": "Bearer s3cret", "X-Keep": "${NOT_SET_ANYWHERE}"}
        monkeypatch.setenv("HOOK_TOKEN", "changed")
        payload = {"text": "\u00e9", "n": [1, 2]}
        assert hook.notify("ping", payload, 1) is True
        ((method, path, headers, body),) = server.requests
        assert (method, path, headers["Content-Type"], headers["X-Token"]) == \
            ("POST", "/status/200", "application/json", "Bearer s3cret")
        assert body == json.dumps(record("ping", payload, 1)).encode("utf-8")
        assert WebhookNotifier(server.base + "/status/204", headers={"Content-Type": "text/plain"}) \
            .notify("t", {}, 0) is True
        assert server.requests[1][2]["Content-Type"] == "text/plain"

    @pytest.mark.parametrize("status", [199, 300, 404, 500])
    def test_other_statuses_are_failures(self, server, status):
        hook = WebhookNotifier(f"{server.base}/status/{status}")
        assert hook.notify("t", {}, 0) is False
        assert NotificationBus([hook]).emit("t", {}) == 0

    @pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
    def test_redirects_are_no_delivery(self, server, status):
        """A POST is never re-sent elsewhere: the 3xx answer is a failure, and the headers
        (with their expanded secrets) reach no other origin."""
        other = Server()
        try:
            server.location = other.base + "/status/200"
            target = server.base + f"/redirect/{status}"
            hook = WebhookNotifier(target, 0, {"Authorization": "Bearer ${HOME}"})
            assert hook.notify("t", {"x": 1}, 0) is False
            assert NotificationBus([hook]).emit("t", {}) == 0
        finally:
            other.close()
        assert [r[:2] for r in server.requests] == [("POST", f"/redirect/{status}")] * 2
        assert other.requests == []

    def test_timeout_and_refused_connection(self, server, monkeypatch):
        """Requests carry a 10-second limit; a server slower than the limit, or none, gives False."""
        real_urlopen = urllib.request.urlopen
        limits = []

        def urlopen(request, *args, timeout, **kwargs):
            limits.append(timeout)
            return real_urlopen(request, *args, timeout=0.2, **kwargs)

        monkeypatch.setattr(urllib.request, "urlopen", urlopen)
        assert WebhookNotifier(server.base + "/slow").notify("t", {}, 0) is False
        assert limits == [10]
        server.release.set()
        closed = http.server.HTTPServer(("127.0.0.1", 0), http.server.BaseHTTPRequestHandler)
        closed.server_close()
        assert WebhookNotifier(f"http://127.0.0.1:{closed.server_address[1]}/").notify("t", {}, 0) is False

    def test_unusable_url_raises_but_not_through_the_bus(self):
        for url in ["", "no-scheme"]:
            with pytest.raises(ValueError):
                WebhookNotifier(url).notify("t", {}, 0)
            assert NotificationBus([WebhookNotifier(url)]).emit("t", {}) == 0


class TestExpandEnv:
    NAMES = {"HOME_DIR": "/h", "x": "", "\u00e9t\u00e9": "summer", "n_\u0663": "3"}

    @settings(max_examples=300)
    @given(st.lists(st.sampled_from(list("${}_-x ") + ["HOME_DIR", "\u00e9t\u00e9", "n_\u0663", "\u2160",
                                                      "\u00b2", "\U0001d7d9", "\ud800"]),
                    max_size=30).map("".join))
    def test_matches_host_regex(self, text):
        """Replacements agree with re.sub over the host's \\w for any text."""
        with pytest.MonkeyPatch.context() as mp:
            for name, value in self.NAMES.items():
                mp.setenv(name, value)
            expected = re.sub(r"\$\{(\w+)\}", lambda m: os.environ.get(m.group(1), m.group(0)), text)
            assert WebhookNotifier._expand_env(text) == expected

    def test_set_unset_and_lone_dollar(self, monkeypatch):
        monkeypatch.setenv("ORV_SET", "yes")
        monkeypatch.delenv("ORV_UNSET", raising=False)
        assert WebhookNotifier._expand_env("$ ${ORV_SET} ${ORV_UNSET} $${ORV_SET}}") == "$ yes ${ORV_UNSET} $yes}"
        monkeypatch.setattr(os, "environ", {"ORV_UNSET": "patched"})
        assert WebhookNotifier._expand_env("${ORV_UNSET}") == "patched"


# ---------------------------------------------------------------- thresholds


@pytest.mark.parametrize("kind", ["file", "log", "webhook"])
def test_severity_gate(kind, tmp_path, server):
    """Equal to the threshold passes; below it nothing is written or sent."""
    target = {"file": str(tmp_path / "r"), "log": str(tmp_path / "d" / "log"),
              "webhook": server.base + "/status/200"}[kind]
    notifier = {"file": FileNotifier, "log": LogNotifier, "webhook": WebhookNotifier}[kind](target, 0.5)
    assert notifier.notify("t", {}, 0.49) is False
    assert list(tmp_path.iterdir()) == [] and server.requests == []
    assert notifier.notify("t", {}, 0.5) is True
    with pytest.raises(TypeError, match="Argument 'severity'"):
        notifier.notify("t", {}, "1")


# --------------------------------------------------------------------- bus


class Recorder(NotifierInterface):
    """A notifier written in Python, as a host would add one."""

    def __init__(self, result=True, kinds=None):
        self.result, self.kinds, self.calls = result, kinds, []

    def notify(self, event_type, payload, severity):
        self.calls.append((event_type, payload, severity))
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def supports(self, event_type):
        return self.kinds is None or event_type in self.kinds


class TestBus:
    def test_list_and_count(self):
        bus = NotificationBus()
        assert bus.emit("t", {}) == 0 and bus.notifier_count == 0
        with pytest.raises(AttributeError):
            bus.notifier_count = 3
        notifiers, empty = [Recorder()], []
        assert NotificationBus(notifiers)._notifiers is notifiers
        assert NotificationBus(empty)._notifiers is not empty
        with pytest.raises(TypeError, match="Argument 'notifiers'"):
            NotificationBus((Recorder(),))

    def test_python_notifiers_on_the_bus(self):
        """A Python subclass works on the bus; failures and refusals never stop the others."""
        payload = {"k": 1}
        good, failing, refusing, other, truthy = (Recorder(), Recorder(ValueError("boom")),
                                                  Recorder(False), Recorder(kinds={"x"}), Recorder("yes"))
        bus = NotificationBus([good, failing, refusing, other, truthy])
        assert bus.emit("t", payload, 2) == 2
        assert good.calls == [("t", payload, 2.0)] and good.calls[0][1] is payload
        assert type(good.calls[0][2]) is float
        assert failing.calls and refusing.calls and truthy.calls and other.calls == []
        assert bus.emit("x", {}) == 3

    def test_abstract_interface(self):
        class Silent(NotifierInterface):
            def notify(self, event_type, payload, severity):
                return True

        assert Silent().supports("anything") is True

        class Incomplete(NotifierInterface):
            pass

        with pytest.raises(TypeError, match="abstract"):
            Incomplete()

    def test_what_escapes_the_bus(self):
        """Exceptions from supports() and non-ordinary exceptions from notify() reach the caller."""
        class BadSupports(Recorder):
            def supports(self, event_type):
                raise LookupError("no")

        after = Recorder()
        with pytest.raises(LookupError):
            NotificationBus([BadSupports(), after]).emit("t", {})
        assert after.calls == []
        with pytest.raises(KeyboardInterrupt):
            NotificationBus([Recorder(KeyboardInterrupt())]).emit("t", {})

    def test_notify_is_looked_up_at_call_time(self, tmp_path):
        log = LogNotifier(str(tmp_path / "log"))
        log.notify = lambda *args: "replaced"

        class WithoutNotify:
            def supports(self, event_type):
                return True

        assert NotificationBus([WithoutNotify(), log]).emit("t", {}) == 1


class TestFromConfig:
    @pytest.mark.parametrize("config", [None, [], {}, "", 0])
    def test_empty(self, config):
        assert NotificationBus.from_config(config).notifier_count == 0

    def test_single_map(self):
        (notifier,) = NotificationBus.from_config({"type": "file"})._notifiers
        assert type(notifier) is FileNotifier and notifier._path == pathlib.Path("reports/")
        assert notifier._min_severity == 0.0

    def test_skips_what_it_does_not_know(self):
        bus = NotificationBus.from_config([{"type": "file"}, {"type": "pager"}, {"type": "webhook"},
                                           {"type": "log"}, ["type", "log"], "log"])
        assert [type(n) for n in bus._notifiers] == [FileNotifier, LogNotifier]
        assert str(bus._notifiers[1]._path) == "notifications.jsonl"

    def test_values_and_iterables(self, monkeypatch):
        monkeypatch.setenv("ORV_HOOK", "example.invalid")

        class Bus(NotificationBus):
            pass

        entries = ({"type": "webhook", "url": "https://${ORV_HOOK}/x", "min_severity": "0.5",
                    "headers": {"A": "${ORV_HOOK}"}},
                   {"type": "log", "path": 7, "min_severity": 1})
        bus = Bus.from_config(e for e in entries)
        assert type(bus) is Bus
        hook, log = bus._notifiers
        assert (hook._url, hook._min_severity, hook._headers) == \
            ("https://example.invalid/x", 0.5, {"A": "example.invalid"})
        assert (str(log._path), log._min_severity, type(log._min_severity)) == ("7", 1.0, float)

    @pytest.mark.parametrize("entry, error", [
        ({"type": "file", "min_severity": "high"}, ValueError),
        ({"type": "log", "min_severity": None}, TypeError),
        ({"type": "webhook", "url": "http://x", "headers": ["A"]}, TypeError),
        ({"type": "webhook", "url": "http://x", "headers": {"A": 1}}, TypeError),
    ])
    def test_values_that_do_not_convert(self, entry, error):
        with pytest.raises(error):
            NotificationBus.from_config([entry])


class TestHostileObjects:
    def test_callbacks_that_change_what_is_being_read(self, tmp_path):
        """Payloads, notifier lists and clocks changed from inside the calls that read them."""
        reports = tmp_path / "reports"
        out = run_in_child(f"""
            import datetime, gc
            from orvane.notify import FileNotifier, NotificationBus

            payload = {{}}
            class Growing:
                def __str__(self):
                    payload.clear(); gc.collect()
                    return "g"
            payload["a"] = Growing()
            payload["b"] = [1]
            try:
                FileNotifier._format_report("t", payload, 0)
            except RuntimeError as error:
                print("payload:", error)

            class Clearing:
                def __init__(self, bus_list):
                    self.bus_list = bus_list
                def supports(self, event_type):
                    return True
                def notify(self, *args):
                    self.bus_list.clear(); gc.collect()
                    return True
            notifiers = []
            notifiers += [Clearing(notifiers), Clearing(notifiers)]
            print("emit:", NotificationBus(notifiers).emit("t", {{}}))

            class Odd:
                def strftime(self, fmt):
                    return 20261207
                def isoformat(self):
                    return "then"
            class Clock(datetime.datetime):
                @classmethod
                def now(cls, tz=None):
                    return Odd()
            datetime.datetime = Clock
            print("report:", FileNotifier({str(reports)!r}).notify("t", {{}}, 0))
        """)
        assert out.splitlines() == ["payload: dictionary changed size during iteration", "emit: 1",
                                    "report: True"]
        assert [p.name for p in reports.iterdir()] == ["20261207_t.md"]

    def test_payload_changed_during_the_report_fails_as_a_python_loop_does(self):
        """A value's str() that swaps, adds, removes or rewrites members of the payload being
        reported: the report raises what `for key, value in payload.items()` raises, or reads
        what it reads."""
        out = run_in_child("""
            from orvane.notify import FileNotifier

            def python_loop(payload):
                return [f"{key}: {value}" for key, value in payload.items()]

            def outcome(read, payload):
                try:
                    read(payload)
                    return "read", sorted(map(str, payload))
                except Exception as error:
                    return type(error).__name__, str(error)

            changes = {
                "swap": lambda p: (p.pop("a"), p.__setitem__("c", 3)),
                "grow": lambda p: p.__setitem__("z", 0),
                "shrink": lambda p: p.pop("b", None),
                "rewrite": lambda p: p.__setitem__("b", 9),
            }
            for name, change in changes.items():
                results = []
                for read in (lambda p: FileNotifier._format_report("t", p, 0), python_loop):
                    payload = {}
                    class Changing:
                        def __str__(self, payload=payload):
                            change(payload)
                            return "v"
                    payload.update(a=Changing(), b=2)
                    results.append(outcome(read, payload))
                print(name, results[0] == results[1], results[0])
        """)
        lines = out.splitlines()
        assert [line.split()[:2] for line in lines] == [
            ["swap", "True"], ["grow", "True"], ["shrink", "True"], ["rewrite", "True"]], out
        assert "keys changed" in lines[0]
