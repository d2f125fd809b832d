"""Tests for orvane.capabilities: loading a capability map, finding it, rendering it."""
import http.server
import inspect
import json
import logging
import os
import textwrap
import threading
import urllib.error
import urllib.request

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvane import capabilities as cap
from orvane.capabilities import CapabilityMap
from tests import capabilities_reference as ref
from tests.conftest import Listener, run_in_child

FAILED = "Failed to load capability map from %s: %s"
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def loaded(data):
    """A map object already holding `data`."""
    m = CapabilityMap()
    m._data = data
    return m


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return (type(e), str(e))


def warnings_of(caplog):
    return [r for r in caplog.records if r.levelno == logging.WARNING]


# ------------------------------------------------------------------ interface

class TestInterface:
    def test_class_shape(self):
        assert isinstance(CapabilityMap.__dict__["_load_file"], staticmethod)
        assert isinstance(CapabilityMap.__dict__["_load_url"], staticmethod)
        assert isinstance(CapabilityMap.__dict__["available"], property)
        assert str(inspect.signature(CapabilityMap)) == "(source: str | None = None) -> None"
        m = CapabilityMap("x.json")
        assert vars(m) == {"_source": "x.json", "_data": None}
        with pytest.raises(AttributeError):
            m.available = True

    @pytest.mark.parametrize("call, message", [
        (lambda: CapabilityMap(3), "Argument 'source' has incorrect type (expected str, got int)"),
        (lambda: CapabilityMap._load_file(b"x"), "Argument 'path' has incorrect type"),
        (lambda: CapabilityMap._load_url(None), "Argument 'url' has incorrect type"),
        (lambda: cap.auto_detect_capability_map(os.curdir.encode()), "Argument 'target'"),
        (lambda: cap._humanize(1), "Argument 'key' has incorrect type (expected str, got int)"),
        (lambda: cap._item_label([]), "Argument 'item' has incorrect type (expected dict"),
        (lambda: loaded({"s": {}})._render_item_field(["a"], "h"), "Argument 'field_names'"),
        (lambda: loaded({"s": {}})._render_item_field(("a",), 1), "Argument 'header'"),
    ])
    def test_argument_types(self, call, message):
        with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
            call()

    def test_calls_go_through_attributes(self, monkeypatch):
        calls = []

        class Sub(CapabilityMap):
            def load(self):
                return {"tools": {"items": [{"name": "deploy", "usage": "run it"}]}}

            def _render_item_field(self, field_names, header):
                calls.append((field_names, header))
                return super()._render_item_field(field_names=field_names, header=header)

        m = Sub()
        assert m.available
        monkeypatch.setattr(cap, "_humanize", lambda key: key.upper())
        monkeypatch.setattr(cap, "_item_label", lambda item: "<" + item["name"] + ">")
        monkeypatch.setattr(cap, "_format_field", lambda content: 42)
        assert m.format_for_prompt() == "AVAILABLE CAPABILITIES:\n  TOOLS: <deploy>"
        monkeypatch.setattr(cap, "_item_label", lambda item: 7)
        with pytest.raises(TypeError, match="^sequence item 0: expected str instance, int found$"):
            m.format_for_prompt()
        assert m.effector_reference() == ("EFFECTOR REFERENCE (how to invoke available tools):"
                                          "\n\n  deploy:\n42")
        assert calls == [(ref.EFFECTOR[0], ref.EFFECTOR[1])]

    def test_loaders_are_looked_up_on_the_object(self):
        class Sub(CapabilityMap):
            _load_file = staticmethod(lambda path: {"from": path})

        assert Sub("some/file.json").load() == {"from": "some/file.json"}


# -------------------------------------------------------------------- loading

class TestLoadFile:
    def test_no_source_and_missing_file(self, tmp_path, caplog):
        assert CapabilityMap().load() == {} and not CapabilityMap().available
        path = tmp_path / "capability-map.json"
        m = CapabilityMap(str(path))
        first = m.load()
        assert first == {} and not m.available
        path.write_text('{"tools": {}}')
        assert m.load() is first  # a missing source is not looked at again
        assert CapabilityMap(str(path)).available
        assert warnings_of(caplog) == []

    @pytest.mark.parametrize("content", [None, b"{not json", b'{"a": "\xff"}'])
    def test_unreadable_sources_warn_once_and_stay_empty(self, tmp_path, monkeypatch, caplog,
                                                         content):
        monkeypatch.chdir(tmp_path)
        source = ""  # the current directory: it exists but cannot be read as a file
        if content is not None:
            source = str(tmp_path / "map.json")
            (tmp_path / "map.json").write_bytes(content)
        m = CapabilityMap(source)
        assert m.load() == {}
        (tmp_path / "map.json").write_text('{"a": 1}')
        assert m.load() == {}
        [record] = warnings_of(caplog)
        assert record.name == "root" and record.msg == FAILED
        assert record.args[0] == source and str(record.args[1]) in record.getMessage()

    def test_documents(self, tmp_path, caplog):
        path = tmp_path / "map.json"
        path.write_text("[]")
        m = CapabilityMap(str(path))
        for call in (m.load, lambda: m.available, m.format_for_prompt, m.effector_reference):
            with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
                call()
        assert m._data is None
        path.write_text("null")
        assert m.load() is None and not m.available and m._data is None
        path.write_text('{"s": {}}')
        assert m.load() is m.load() == {"s": {}} and m.available
        assert warnings_of(caplog) == []

    def test_file_url_is_a_path(self, tmp_path, caplog):
        (tmp_path / "map.json").write_text('{"a": 1}')
        assert CapabilityMap(f"file://{tmp_path}/map.json").load() == {}
        assert warnings_of(caplog) == []


class Server:
    """A real HTTP server on 127.0.0.1 serving canned answers per path."""

    def __init__(self):
        self.routes, self.requests = {}, []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.requests.append((self.path, dict(self.headers)))
                status, body = outer.routes.get(self.path, (404, b"missing"))
                if status is None:  # hang up without an answer
                    self.close_connection = True
                    return
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def server():
    s = Server()
    yield s
    s.close()


class TestLoadUrl:
    def test_fetch(self, server, monkeypatch):
        server.routes["/map"] = (200, json.dumps({"tools": {"total": 2}}).encode())
        opened = []
        real = urllib.request.urlopen

        def recording(request, *args, **kwargs):
            opened.append((request.get_method(), request.header_items(), args, kwargs))
            return real(request, *args, **kwargs)

        monkeypatch.setattr(urllib.request, "urlopen", recording)
        m = CapabilityMap(server.url.replace("http", "HTTP") + "/map")
        assert m.load() == {"tools": {"total": 2}} and m.available
        [(method, headers, args, kwargs)] = opened
        assert method == "GET" and headers == [("Accept", "application/json")]
        assert args == () and kwargs == {"timeout": 10}
        assert server.requests[0][1]["Accept"] == "application/json"

    @pytest.mark.parametrize("status, body, error", [
        (404, b"{}", "HTTP Error 404"),
        (500, b"{}", "HTTP Error 500"),
        (200, b"{oops", "Expecting property name"),
        (200, b'{"a": "\xe9"}', "codec can't decode"),
        (200, b"[1]", "Expected dict, got list"),
        (None, b"", "Remote end closed connection"),
    ])
    def test_failures_warn_and_are_cached(self, server, caplog, status, body, error):
        server.routes["/map"] = (status, body)
        m = CapabilityMap(server.url + "/map")
        assert m.load() == {} and m.load() == {}
        assert len(server.requests) == 1
        [record] = warnings_of(caplog)
        assert record.msg == FAILED and record.args[0] == server.url + "/map"
        assert error in record.getMessage()

    def test_error_response_closed_quietly(self, monkeypatch, caplog):
        # The response an error status holds is closed; a close that fails
        # still leaves an empty map and the one warning.
        closes = []

        class FailingClose(urllib.error.HTTPError):
            def close(self):
                closes.append(self)
                raise OSError("cannot close")

        error = FailingClose("http://caps.test/map", 503, "Unavailable", {}, None)

        def refuse(request, **kwargs):
            raise error

        monkeypatch.setattr(urllib.request, "urlopen", refuse)
        assert CapabilityMap("http://caps.test/map").load() == {}
        assert closes == [error]
        [record] = warnings_of(caplog)
        assert record.getMessage().endswith("HTTP Error 503: Unavailable")

    def test_null_is_fetched_again(self, server):
        server.routes["/map"] = (200, b"null")
        m = CapabilityMap(server.url + "/map")
        assert m.load() is None and not m.available
        server.routes["/map"] = (200, b'{"a": {}}')
        assert m.load() == {"a": {}}
        assert len(server.requests) == 3


# ------------------------------------------------------------------ detection

def build(base, layout, anchor=None):
    """Makes the tree `layout` under `base`: a dict maps names to subtrees, a
    str is file content, ("link", target) a symbolic link (a target "@x" is
    x below `anchor`), ("mode", m, dict) a directory whose mode is set once it
    is filled. Returns the modes to set, innermost first."""
    anchor = anchor or base
    modes = []
    for name, node in layout.items():
        path = os.path.join(base, name)
        if isinstance(node, str):
            with open(path, "w") as f:
                f.write(node)
        elif isinstance(node, tuple) and node[0] == "link":
            target = node[1]
            os.symlink(os.path.join(anchor, target[1:]) if target[0] == "@" else target, path)
        else:
            mode, node = (node[1], node[2]) if isinstance(node, tuple) else (None, node)
            os.mkdir(path)
            modes += build(path, node, anchor)
            if mode is not None:
                modes.append((path, mode))
    return modes


class TestAutoDetect:
    def test_cases(self, tmp_path, monkeypatch):
        # The map at the top ends every walk inside tmp_path.
        monkeypatch.setenv("HOME", str(tmp_path / "home"))
        build(tmp_path, {
            "home": {"t": {}},
            "r": {"a": {"deep": {}}, "b": {"capability-map.json": "{}"}},
            "repo": {".git": "gitdir: elsewhere", "sub": {}},
            "dirmap": {"capability-map.json": {}, "x": {"capability-map.json": "{}"}},
            "capability-map.json": "{}",
            "file": "",
        })
        detect = cap.auto_detect_capability_map
        assert detect(str(tmp_path / "file")) is None
        assert detect(str(tmp_path / "nowhere")) is None
        assert detect(str(tmp_path / "r/a/deep")) == str(tmp_path / "r/b/capability-map.json")
        assert detect(str(tmp_path / "repo")) is None  # a repository root: nothing above
        assert detect(str(tmp_path / "repo/sub")) is None  # stops after the repository root
        assert detect(str(tmp_path / "dirmap")) == str(tmp_path / "dirmap/x/capability-map.json")
        assert detect(str(tmp_path / "home/t")) is None  # the home directory is the last searched
        monkeypatch.setenv("HOME", "/nonexistent")
        assert detect(str(tmp_path / "home/t")) == str(tmp_path / "capability-map.json")
        monkeypatch.chdir(tmp_path / "r")
        assert detect("a/deep/") == "b/capability-map.json"
        assert detect("a/../a") == "a/../b/capability-map.json"  # found from "a/.."
        monkeypatch.chdir(tmp_path)
        assert detect(".") == "capability-map.json"

    def test_paths_too_long_for_the_system(self, tmp_path, monkeypatch):
        """A map the target's own (long-winded) path cannot reach is found from
        the ancestor whose path can, as the host's walk finds it."""
        monkeypatch.chdir(tmp_path)
        fd = os.open(".", os.O_RDONLY)
        os.mkdir("t")
        names = ["t"] + [f"{i:02d}" + "d" * 198 for i in range(15)]
        for name in names:
            if name != "t":
                os.mkdir(name, dir_fd=fd)
            fd, old = os.open(name, os.O_RDONLY, dir_fd=fd), fd
            os.close(old)
        os.close(os.open("capability-map.json", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
        os.close(fd)
        target = "t" + "/../t" * 250
        below = "/".join(names[1:]) + "/capability-map.json"
        assert len(target) + len(below) > 4096 > len(below) + 2
        found = cap.auto_detect_capability_map(target)
        assert found == ref.auto_detect(target)
        assert found.endswith("/t/" + below) and len(found) < len(target) + len(below)

    def test_walk_matches_rglob(self):
        """Generated trees, walked where file modes apply (so that permissions
        bite), give what the host's rglob walk gives."""
        run_in_child(UNPRIVILEGED + textwrap.dedent("""
            from tests.test_capabilities import differential_walks
            differential_walks()
        """), timeout=600)

    def test_permission_error_ends_the_search(self):
        """A map that cannot be looked at ends the search of every tree that
        holds it: a later search of the same directories must end there too."""
        run_in_child(UNPRIVILEGED + textwrap.dedent("""
            import os, tempfile
            from tests.test_capabilities import build, unlock
            from tests import capabilities_reference as ref
            from orvane.capabilities import auto_detect_capability_map as detect
            base = tempfile.mkdtemp()
            try:
                walked = {f"z{i}": {"y": {"capability-map.json": "{}"}} for i in range(12)}
                walked["u"] = {"sub": {"capability-map.json": ("link", "@locked/f")}}
                layout = {"locked": ("mode", 0o000, {"f": "{}"}),
                        "a": {"t": {"capability-map.json": ("link", "@locked/f"),
                                    "sub": {"capability-map.json": "{}"}}},
                        "b": walked}
                for path, mode in build(base, layout):
                    os.chmod(path, mode)
                # Keep only the siblings walked after "u" in the search of "b"
                # (listed before it): that search must end in "u" first.
                listed = os.listdir(os.path.join(base, "b"))
                for name in listed[listed.index("u"):]:
                    if name != "u":
                        unlock(os.path.join(base, "b", name))
                assert len(os.listdir(os.path.join(base, "b"))) > 1
                os.environ["HOME"] = base
                for target in ("a/t", "b/u", "b/u/sub"):
                    target = os.path.join(base, target)
                    assert detect(target) is None, target
                    assert ref.auto_detect(target) is None, target
                with open(os.path.join(base, "capability-map.json"), "w") as f:
                    f.write("{}")
                assert detect(os.path.join(base, "a/t")) == os.path.join(base, "capability-map.json")
            finally:
                unlock(base)
        """))


# A child's start: this repository's tests importable (after the installed
# package, which the source tree must not shadow).
CHILD = f"""
import sys
sys.path.append({REPO!r})
"""

# A child in which file modes apply: root drops the capabilities that let it
# pass every permission check.
UNPRIVILEGED = CHILD + """
import ctypes, os
if os.geteuid() == 0:
    class Header(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]
    class Sets(ctypes.Structure):
        _fields_ = [(n, ctypes.c_uint32) for n in ("effective", "permitted", "inheritable")]
    libc = ctypes.CDLL(None, use_errno=True)
    header, sets = Header(0x20080522, 0), (Sets * 2)()
    assert libc.capget(ctypes.byref(header), sets) == 0, ctypes.get_errno()
    for bit in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        sets[0].effective &= ~(1 << bit)
        sets[0].permitted &= ~(1 << bit)
    assert libc.capset(ctypes.byref(header), sets) == 0, ctypes.get_errno()
"""


NAMES = ["a", "b", ".hidden", ".git", "é x"] + ["capability-map.json"] * 3
LINKS = [".", "..", "a", "capability-map.json", "a/capability-map.json", "missing",
         "@top/locked", "@top/g"] + ["@top/locked/capability-map.json"] * 3
MODES = [None, None, None, 0o000, 0o311, 0o644, 0o555]


def tree_specs():
    leaf = st.one_of(st.just("{}"), st.tuples(st.just("link"), st.sampled_from(LINKS)))
    return st.recursive(
        leaf,
        lambda sub: st.tuples(st.just("mode"), st.sampled_from(MODES),
                              st.dictionaries(st.sampled_from(NAMES), sub, max_size=4)),
        max_leaves=24)


def unlock(base):
    for root, dirs, _ in os.walk(base):
        for d in dirs:
            path = os.path.join(root, d)
            if not os.path.islink(path):
                os.chmod(path, 0o755)
    import shutil
    shutil.rmtree(base)


def differential_walks():
    """Compares detection with the rglob rendition on generated trees.

    Each tree hangs below a directory "top" holding "locked" (mode 000, with a
    map inside) and the generated part; targets are every directory of it and
    paths through links and "..", written relative (the walk ends at ".") and
    absolute (the walk ends at HOME). Links reach at most two levels above
    "top", which stay inside the temporary directory."""
    import tempfile

    @settings(max_examples=150, deadline=None, derandomize=True, database=None)
    @given(tree_specs(), st.booleans(), st.sampled_from(["none", "file", "dir"]))
    def check(layout, relative, git):
        base = tempfile.mkdtemp()
        sandbox = os.path.join(base, "home", "work")
        os.makedirs(sandbox)
        try:
            root = {"locked": ("mode", 0o000, {"capability-map.json": "{}"}), "g": layout}
            if git != "none":
                root[".git"] = "" if git == "file" else {}
            for path, mode in build(sandbox, {"top": root}):
                os.chmod(path, mode)
            os.environ["HOME"] = base
            os.chdir(sandbox)
            targets = {"top"}
            for walk_root, dirs, _ in os.walk("top", followlinks=False):
                targets.update(os.path.join(walk_root, d) for d in dirs)
            targets.update(t + suffix for t in list(targets) for suffix in ("/..", "/../g/a", "/a"))
            for target in sorted(targets):
                if not relative:
                    target = os.path.join(sandbox, target)
                ours = cap.auto_detect_capability_map(target)
                theirs = ref.auto_detect(target)
                assert ours == theirs, (layout, target, ours, theirs)
        finally:
            os.chdir("/")
            unlock(base)

    check()


# ------------------------------------------------------------------ rendering

KEYS = st.sampled_from(["items", "total", "name", "title", "type", "invocation", "invoke",
                        "usage", "measurement", "measure", "verify", "_meta", "generated_at",
                        "mcp_servers", "CLI-tools", "ǆemo_ﬁx", "3d_models", "", "engine"])
TEXT = st.text(st.characters(exclude_categories=[]), max_size=6)  # lone surrogates too
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-3, 30), st.integers(), st.floats(),
                    TEXT)
VALUES = st.recursive(SCALARS, lambda sub: st.lists(sub, max_size=4)
                      | st.dictionaries(KEYS, sub, max_size=4), max_leaves=12)
ITEMS = st.dictionaries(KEYS, VALUES, max_size=5)
BODIES = st.dictionaries(KEYS, VALUES | st.lists(ITEMS | SCALARS, max_size=14), max_size=5)
MAPS = st.dictionaries(KEYS | TEXT, BODIES | VALUES, max_size=5)


class TestRendering:
    def test_examples(self):
        m = loaded({"generated_at": "2026-01-01",
                    "mcp_servers": {"items": [{"name": c} for c in "abcdefghijkl"]},
                    "databases": {"total": 2, "engine": "pg"},
                    "_private": {"items": [{"name": "deploy", "type": "cli",
                                            "invocation": "make deploy\nmake verify"}]}})
        assert m.format_for_prompt() == (
            "AVAILABLE CAPABILITIES:\n  Mcp Servers: a, b, c, d, e, f, g, h, i, j (+2 more)\n"
            "  Databases: 2 total (Engine: pg)")
        assert m.effector_reference() == (
            "EFFECTOR REFERENCE (how to invoke available tools):\n\n  deploy (cli):\n"
            "    make deploy\n    make verify")
        assert m.measurement_reference() == ""
        assert loaded({"_a": {"items": [{}]}, "generated_at": "x"}).format_for_prompt() == ""
        assert [cap._humanize(k) for k in ("mcp-servers", "CLI_tools", "3d_models")] == [
            "Mcp Servers", "Cli Tools", "3D Models"]

    @settings(max_examples=400, deadline=None)
    @given(MAPS)
    def test_renderers_match_the_rendition(self, data):
        m = loaded(data)
        assert outcome(m.format_for_prompt) == outcome(ref.format_for_prompt, data)
        for method, (fields, header) in ((m.effector_reference, ref.EFFECTOR),
                                         (m.measurement_reference, ref.MEASUREMENT)):
            assert outcome(method) == outcome(ref.render_item_field, data, fields, header)

    @settings(max_examples=300, deadline=None)
    @given(st.text(st.characters(exclude_categories=[])), ITEMS, VALUES)
    def test_helpers_match_the_rendition(self, key, item, value):
        assert cap._humanize(key) == ref.humanize(key)
        assert outcome(cap._item_label, item) == outcome(ref.item_label, item)
        assert cap._format_field(value) == ref.format_field(value)

    def test_hostile_values(self):
        """Values whose str() changes the map being rendered: the same results
        and errors as the rendition, and no crash."""
        run_in_child(CHILD + textwrap.dedent("""
            from orvane.capabilities import CapabilityMap, _format_field
            from tests import capabilities_reference as ref
            from tests.test_capabilities import loaded, outcome

            class Clears(str):
                def __str__(self):
                    self.victim.clear()
                    return "gone"

            def hostile(victim_of):
                s = Clears("x")
                data = {"f": {"a": s, "b": 1},
                         "s": {"items": [{"name": "n", "usage": [s, 2]},
                                        {"name": "m", "usage": "u"}]}}
                s.victim = victim_of(data)
                return data

            for victim in (lambda d: d["f"], lambda d: d["s"]["items"],
                           lambda d: d["s"]["items"][0]["usage"], lambda d: d):
                for ours, theirs in (
                        (lambda d: loaded(d).format_for_prompt(), ref.format_for_prompt),
                        (lambda d: loaded(d).effector_reference(),
                         lambda d: ref.render_item_field(d, *ref.EFFECTOR)),
                        (lambda d: _format_field(d["s"]["items"][0]["usage"]),
                         lambda d: ref.format_field(d["s"]["items"][0]["usage"]))):
                    got = outcome(ours, hostile(victim))
                    want = outcome(theirs, hostile(victim))
                    assert got == want, (got, want)
        """))


class StreamingServer:
    """Answers /redirect with a redirect to `location`, /slow with a byte every 20 ms and
    /endless with as much as it may send (both bounded, so the test ends either way)."""

    def __init__(self):
        self.sent, self.location = 0, None
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path == "/redirect":
                    self.send_response(302)
                    self.send_header("Location", outer.location)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                self.send_response(200)
                self.end_headers()
                chunk, limit = (b" ", 200) if self.path == "/slow" else (b" " * 65536, 64 << 20)
                try:
                    while outer.sent < limit:
                        self.wfile.write(chunk)
                        self.wfile.flush()
                        outer.sent += len(chunk)
                        if self.path == "/slow":
                            threading.Event().wait(0.02)
                except OSError:
                    pass  # the client went away

            def log_message(self, *args):
                pass

        class Quiet(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass

        self.httpd = Quiet(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def streaming():
    s = StreamingServer()
    yield s
    s.close()


class TestFetchesThatMustStop:
    def test_a_redirect_to_another_scheme_is_not_followed(self, streaming, caplog):
        ftp = Listener()
        try:
            streaming.location = f"ftp://127.0.0.1:{ftp.port}/capability-map.json"
            m = CapabilityMap(streaming.url + "/redirect")
            assert m.load() == {} and m.load() == {}
            [record] = warnings_of(caplog)
            assert record.getMessage().endswith(
                f"HTTP Error 302: Found - Redirection to url '{streaming.location}' is not allowed")
        finally:
            ftp.close()
        assert ftp.connections == 0

    def test_a_slow_stream_ends_at_the_time_limit(self, streaming, caplog, monkeypatch):
        """The clock is the host's time.monotonic; here it runs a second per look."""
        import time
        ticks = iter(range(10**6))
        monkeypatch.setattr(time, "monotonic", lambda: float(next(ticks)))
        m = CapabilityMap(streaming.url + "/slow")
        assert m.load() == {} and m.load() == {}
        [record] = warnings_of(caplog)
        assert record.getMessage().endswith("capability map not received within 10 seconds")
        assert streaming.sent < 200

    def test_an_endless_stream_ends_at_the_size_cap(self, streaming, caplog):
        m = CapabilityMap(streaming.url + "/endless")
        assert m.load() == {} and not m.available
        [record] = warnings_of(caplog)
        assert record.getMessage().endswith(f"capability map larger than {16 << 20} bytes")
        assert streaming.sent < 64 << 20


@pytest.mark.parametrize("document", [
    "[" * 100_000 + "]" * 100_000,
    '{"s": {"total": 1' + "0" * 5000 + "}}",
], ids=["nested", "long-integer"])
def test_a_document_the_decoder_refuses_is_invalid_json(tmp_path, caplog, document):
    path = tmp_path / "capability-map.json"
    path.write_text(document)
    with pytest.raises((RecursionError, ValueError)):
        json.loads(document)
    m = CapabilityMap(str(path))
    assert m.format_for_prompt() == m.effector_reference() == m.measurement_reference() == ""
    assert m.load() == {} and not m.available
    [record] = warnings_of(caplog)
    assert record.msg == FAILED and record.args[0] == str(path)
