"""First calls of the modules that reach the network or git, made from several threads at
once, while the host facilities they use are still being imported by one of them."""
import http.server
import os
import threading

import pytest

from tests.conftest import run_in_child


@pytest.fixture
def server():
    class Handler(http.server.BaseHTTPRequestHandler):
        def answer(self):
            self.rfile.read(int(self.headers.get("Content-Length") or 0))
            body = b'{"tools": {"total": 1}}' if self.path == "/map" else b"<title>t</title>"
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        do_GET = do_POST = answer

        def log_message(self, *args):
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    httpd.daemon_threads = True
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()


def test_eight_threads_wait_for_an_import_in_progress(server, tmp_path):
    """Each round forgets urllib.request, urllib.error and subprocess and makes their import
    slow (the module is in sys.modules, half made, for a while); 8 threads released by one
    barrier then make their first calls. Every call sees whole modules."""
    out = run_in_child(f"""
        import importlib.abc, importlib.machinery, sys, threading, time
        from orvane import capabilities, notify, pagegrab, vcsguard

        SLOW = ("urllib.request", "urllib.error", "subprocess")

        class SlowLoader(importlib.abc.Loader):
            def __init__(self, real):
                self.real = real
            def create_module(self, spec):
                return self.real.create_module(spec)
            def exec_module(self, module):
                time.sleep(0.2)
                self.real.exec_module(module)

        class SlowFinder(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name not in SLOW:
                    return None
                spec = importlib.machinery.PathFinder.find_spec(name, path)
                spec.loader = SlowLoader(spec.loader)
                return spec

        sys.meta_path.insert(0, SlowFinder())
        base = {server!r}
        calls = [
            lambda: capabilities.CapabilityMap(base + "/map").load() == {{"tools": {{"total": 1}}}},
            lambda: pagegrab.fetch_url(base + "/page")["title"] == "t",
            lambda: notify.WebhookNotifier(base + "/hook").notify("t", {{}}, 0) is True,
            lambda: vcsguard._run_git({str(tmp_path)!r}, "--version")[0] == 0,
        ] * 2
        failures = 0
        for round in range(5):
            for name in SLOW:
                sys.modules.pop(name, None)
            barrier = threading.Barrier(len(calls))
            results = [None] * len(calls)

            def run(i):
                barrier.wait()
                try:
                    results[i] = calls[i]()
                except Exception as e:
                    results[i] = repr(e)
            threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            failures += sum(r is not True for r in results)
            if any(r is not True for r in results):
                print(results)
        print("failures", failures)
    """, env={**os.environ, "HOME": str(tmp_path)})
    assert out.splitlines()[-1] == "failures 0", out
