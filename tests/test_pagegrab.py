"""orvane.pagegrab: pages fetched from a real HTTP server on 127.0.0.1, the refusal of every
scheme but http and https, the description text, and the page analysis against the host's re."""

import email.message
import html
import http.server
import re
import socket
import ssl
import sys
import threading
import urllib.error
import urllib.request

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane import pagegrab
from tests.conftest import Listener

# ------------------------------------------------------------------ reference

BLOCKS = ("script", "style", "nav", "header", "footer", "noscript")


def reference_text(page):
    for tag in BLOCKS:
        page = re.sub(rf"<{tag}[^>]*>.*?</{tag}>", " ", page, flags=re.DOTALL | re.IGNORECASE)
    page = re.sub(r"<[^>]+>", " ", page)
    return re.sub(r"\s+", " ", html.unescape(page)).strip()


def reference_analysis(page):
    """Title, description, links and text as the host's re finds them."""
    title = re.search(r"<title[^>]*>(.*?)</title>", page, re.DOTALL | re.IGNORECASE)
    meta = (re.search(r'<meta[^>]*name=["\']description["\'][^>]*content=["\'](.*?)["\']', page, re.I)
            or re.search(r'<meta[^>]*content=["\'](.*?)["\'][^>]*name=["\']description["\']', page, re.I))
    links = re.finditer(r'<a[^>]*href=["\'](https?://[^"\']+)["\']', page, re.IGNORECASE)
    return {
        "title": html.unescape(title.group(1).strip())[:200] if title else "",
        "meta_description": html.unescape(meta.group(1).strip())[:500] if meta else "",
        "links": [m.group(1) for m in links][:20],
        "text": reference_text(page)[:10000],
    }


ANALYSED = ("title", "meta_description", "links", "text")
MEMBERS = ["url", "status", "title", "text", "meta_description", "links", "success", "error"]


class MemoryResponse:
    """A response read from memory, for the analysis tests and the scheme checks."""

    def __init__(self, body, url="http://page.test/"):
        self.body, self.url, self.status, self.reads, self.closed = body, url, 200, 0, False
        self.headers = email.message.Message()
        self.headers["Content-Type"] = "text/html; charset=utf-8"

    def read(self, limit=-1):
        self.reads += 1
        return self.body if limit < 0 else self.body[:limit]

    def close(self):
        self.closed = True


@pytest.fixture
def one_context(monkeypatch):
    """The host's ssl.create_default_context made once: loading certificates per fetch is slow."""
    context = ssl.create_default_context()
    monkeypatch.setattr(ssl, "create_default_context", lambda *a, **k: context)
    return context


@pytest.fixture
def serve(monkeypatch, one_context):
    """Replaces the host's urlopen by one answering with the given response."""
    def install(response):
        monkeypatch.setattr(urllib.request, "urlopen", lambda request, **kwargs: response)
        return response
    return install


def analysed(serve, page):
    serve(MemoryResponse(page.encode("utf-8", "surrogatepass")))
    result = pagegrab.fetch_url("http://page.test/", max_bytes=10**9)
    assert result["success"], result
    return {key: result[key] for key in ANALYSED}


# --------------------------------------------------------------------- server

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        self.server.requests.append((self.path, self.headers))
        route = self.server.routes.get(self.path)
        if route is None:
            self.send_error(404)
        else:
            route(self)

    def log_message(self, *args):
        pass

    def send_page(self, body, content_type="text/html; charset=utf-8"):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that gave up on a slow answer


@pytest.fixture(scope="module")
def server():
    srv = Server(("127.0.0.1", 0), Handler)
    srv.routes, srv.requests, srv.release = {}, [], threading.Event()
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.release.set()
    srv.shutdown()
    srv.server_close()
    thread.join()


class Site:
    def __init__(self, srv):
        self.srv = srv

    def url(self, path):
        return f"http://127.0.0.1:{self.srv.server_address[1]}{path}"

    def page(self, path, body, content_type="text/html; charset=utf-8"):
        self.srv.routes[path] = lambda h: h.send_page(body, content_type)
        return self.url(path)

    def route(self, path, handler):
        self.srv.routes[path] = handler
        return self.url(path)


@pytest.fixture
def site(server, one_context):
    server.routes.clear()
    server.requests.clear()
    server.release.clear()
    yield Site(server)
    server.release.set()  # lets slow handlers finish


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


FULL_PAGE = (
    "<html><head><title>\n  Gaps &amp; goals\n</title>"
    '<meta name="description" content=" The engine &lt;finds&gt; gaps ">'
    "<style>p { color: red }</style><script>var hidden = 1;</script></head>"
    "<body><header>Site header</header><nav>Menu</nav>"
    '<p>First <b>bold</b> &amp; more</p><a href="https://a.test/1">one</a>'
    '<a href="/relative">rel</a><A HREF=\'http://b.test/2\'>two</A>'
    "<noscript>Enable</noscript><footer>Footer text</footer></body></html>"
)


# ---------------------------------------------------------------------- tests

class TestIsUrl:
    @pytest.mark.parametrize("target, expected", [
        ("http://example.com", True), ("https://example.com/x", True), ("http://", True),
        ("", False), ("HTTP://example.com", False), ("Https://example.com", False),
        (" http://example.com", False), ("ftp://example.com", False),
    ])
    def test_prefixes(self, target, expected):
        assert pagegrab.is_url(target) is expected


class TestArguments:
    @pytest.mark.parametrize("call, message", [
        (lambda: pagegrab.fetch_url(b"http://x"), "Argument 'url' has incorrect type (expected str, got bytes)"),
        (lambda: pagegrab.fetch_url("http://x", timeout=1.5),
         "Argument 'timeout' has incorrect type (expected int, got float)"),
        (lambda: pagegrab.fetch_url("http://x", 5, 10.0),
         "Argument 'max_bytes' has incorrect type (expected int, got float)"),
        (lambda: pagegrab._extract_text(["<p>"]),
         "Argument 'html_body' has incorrect type (expected str, got list)"),
    ])
    def test_wrong_types(self, call, message):
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == message

    def test_result_members_in_order(self, serve):
        serve(MemoryResponse(b"<p>x</p>"))
        assert list(pagegrab.fetch_url("http://page.test/")) == MEMBERS
        assert pagegrab.fetch_url("ftp://page.test/") == {
            "url": "ftp://page.test/", "status": 0, "title": "", "text": "", "meta_description": "",
            "links": [], "success": False, "error": "<urlopen error unknown url type: ftp>"}


class TestFetch:
    def test_page_is_analysed(self, site):
        url = site.page("/page", FULL_PAGE.encode())
        result = pagegrab.fetch_url(url)
        assert result == {"url": url, "status": 200, "title": "Gaps & goals",
                          "text": "Gaps & goals First bold & more one rel two",
                          "meta_description": "The engine <finds> gaps",
                          "links": ["https://a.test/1", "http://b.test/2"], "success": True, "error": ""}
        (_, headers), = site.srv.requests
        assert (headers["User-Agent"], headers["Accept"], headers["Accept-Language"]) == (
            "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
            "Chrome/131.0.0.0 Safari/537.36", "text/html,application/xhtml+xml,*/*", "en-US,en;q=0.9")

    @pytest.mark.parametrize("status, text", [(404, "Not Found"), (500, "Internal Server Error")])
    def test_error_status(self, site, status, text):
        url = site.route("/err", lambda h: h.send_error(status))
        result = pagegrab.fetch_url(url)
        assert (result["success"], result["status"], result["error"]) == (False, 0, f"HTTP Error {status}: {text}")

    def test_error_status_response_is_closed(self, site, monkeypatch):
        url = site.route("/err", lambda h: h.send_error(404))
        raised, real = [], urllib.request.urlopen

        def recording(request, **kwargs):
            try:
                return real(request, **kwargs)
            except urllib.error.HTTPError as error:
                raised.append(error)
                raise

        monkeypatch.setattr(urllib.request, "urlopen", recording)
        assert pagegrab.fetch_url(url)["error"] == "HTTP Error 404: Not Found"
        [error] = raised
        assert error.fp.closed

    def test_redirect_is_followed(self, site):
        site.page("/new", b"<title>Moved here</title>")

        def moved(h):
            h.send_response(301)
            h.send_header("Location", "/new")
            h.send_header("Content-Length", "0")
            h.end_headers()
        result = pagegrab.fetch_url(site.route("/old", moved))
        assert (result["success"], result["status"], result["title"]) == (True, 200, "Moved here")

    def test_slow_answer_times_out(self, site):
        def slow(h):
            h.server.release.wait(10)
            h.send_page(b"late")
        result = pagegrab.fetch_url(site.route("/slow", slow), timeout=1)
        assert (result["success"], result["status"], result["text"]) == (False, 0, "")
        assert "timed out" in result["error"]

    def test_slow_body_keeps_status(self, site):
        def slow_body(h):
            h.send_response(200)
            h.send_header("Content-Length", "100")
            h.end_headers()
            h.wfile.flush()
            h.server.release.wait(10)
        result = pagegrab.fetch_url(site.route("/slow-body", slow_body), timeout=1)
        assert (result["success"], result["status"], result["error"]) == (False, 200, "timed out")

    def test_only_max_bytes_are_analysed(self, site):
        url = site.page("/big", b"a" * 1000 + b"<title>after the limit</title>" + b"b" * 100000)
        assert (pagegrab.fetch_url(url, max_bytes=1000)["title"], pagegrab.fetch_url(url, max_bytes=1000)["text"]
                ) == ("", "a" * 1000)
        url = site.page("/cut", "é€".encode() * 10)  # a character cut at the limit
        assert pagegrab.fetch_url(url, max_bytes=4)["text"] == "é\ufffd"

    @pytest.mark.parametrize("content_type, body, text", [
        ("text/html; charset=x-no-such-charset", "é".encode() + b"\xff", "é\ufffd"),
        ("text/html; charset=rot13", b"caf\xc3\xa9", "café"),
        ("text/html; charset=iso-8859-1", b"caf\xe9", "café"),
        ("text/html", "日本".encode(), "日本"),
    ])
    def test_character_sets(self, site, content_type, body, text):
        assert pagegrab.fetch_url(site.page("/cs", body, content_type))["text"] == text

    def test_host_proxy_applies(self, site, monkeypatch):
        for name in ("no_proxy", "NO_PROXY", "HTTP_PROXY"):
            monkeypatch.delenv(name, raising=False)
        monkeypatch.setenv("http_proxy", site.url(""))
        site.page("http://page.test/via-proxy", b"<title>proxied</title>")
        assert pagegrab.fetch_url("http://page.test/via-proxy")["title"] == "proxied"

    def test_timeout_and_tls_context_reach_urlopen(self, site, monkeypatch, one_context):
        seen = {}
        real = urllib.request.urlopen

        def spy(request, **kwargs):
            seen.update(kwargs, full_url=request.full_url)
            return real(request, **kwargs)
        monkeypatch.setattr(urllib.request, "urlopen", spy)
        url = site.page("/p", b"ok")
        assert pagegrab.fetch_url(url, timeout=7)["success"]
        assert seen == {"timeout": 7, "context": one_context, "full_url": url}

class TestOnlyWebSchemes:
    """Only http and https are fetched: a URL from a page or a user never reads local files."""

    @pytest.mark.parametrize("prefix, scheme", [("file://", "file"), ("FILE://", "file"), ("File:", "file"),
                                                ("ftp://127.0.0.1", "ftp"), ("data:,", "data")])
    def test_refused_before_anything_is_opened(self, tmp_path, monkeypatch, prefix, scheme):
        calls = []
        monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: calls.append(a))
        secret = tmp_path / "secret.html"
        secret.write_text("<title>secret</title>")
        url = prefix + str(secret)
        error = f"<urlopen error unknown url type: {scheme}>"
        result = pagegrab.fetch_url(url)
        assert (result["success"], result["status"], result["title"], result["error"]) == (False, 0, "", error)
        assert pagegrab.describe_url(url).split("\n")[1] == f"(Failed to fetch: {error})"
        assert calls == []

    @pytest.mark.parametrize("url", ["example.com/page", "", "//example.com"])
    def test_no_scheme_keeps_the_host_error(self, url):
        with pytest.raises(ValueError) as host:
            urllib.request.Request(url)
        result = pagegrab.fetch_url(url)
        assert (result["success"], result["error"]) == (False, str(host.value))

    def test_redirect_to_another_scheme_is_refused_before_it_is_followed(self, site):
        ftp = Listener()
        location = f"ftp://127.0.0.1:{ftp.port}/page"

        def moved(h):
            h.send_response(302)
            h.send_header("Location", location)
            h.send_header("Content-Length", "0")
            h.end_headers()
        try:
            result = pagegrab.fetch_url(site.route("/old", moved))
        finally:
            ftp.close()
        assert (result["success"], result["status"], result["title"]) == (False, 0, "")
        assert result["error"] == f"HTTP Error 302: Found - Redirection to url '{location}' is not allowed"
        assert ftp.connections == 0

    def test_redirect_to_another_scheme_is_not_read(self, serve):
        response = serve(MemoryResponse(b"<title>ftp page</title>", url="FTP://127.0.0.1/page"))
        result = pagegrab.fetch_url("http://page.test/")
        assert (result["success"], result["status"], result["title"]) == (False, 0, "")
        assert result["error"] == "<urlopen error unknown url type: ftp>"
        assert (response.reads, response.closed) == (0, True)

    def test_web_schemes_in_any_case(self, serve):
        serve(MemoryResponse(b"<title>t</title>"))
        assert pagegrab.fetch_url("HTTPS://page.test/")["title"] == "t"


class TestDescribe:
    def test_everything_present(self, site):
        links = "".join(f'<a href="https://l.test/{i}">{i}</a>' for i in range(25))
        body = f'<title>T</title><meta content="D" name="description"><p>{"w " * 3000}</p>{links}'
        url = site.page("/full", body.encode())
        text = "T " + ("w " * 3000) + " ".join(str(i) for i in range(25))
        expected = "\n".join([f"URL: {url}", "Page title: T", "Description: D", "",
                              "Page content (extracted text):", text[:4000], "", "Outbound links (20):"]
                             + [f"  https://l.test/{i}" for i in range(10)])
        assert pagegrab.describe_url(url) == expected

    def test_sections_left_out(self, site):
        url = site.page("/bare", b'<p>Only <a href="/rel">text</a></p>')
        assert pagegrab.describe_url(url) == f"URL: {url}\n\nPage content (extracted text):\nOnly text"
        url = site.page("/empty", b"<script>x</script>")
        assert pagegrab.describe_url(url) == f"URL: {url}"

    def test_uses_the_module_fetch(self, monkeypatch):
        calls = []

        def fake(url):
            calls.append(url)
            return {"success": False, "error": "offline"}
        monkeypatch.setattr(pagegrab, "fetch_url", fake)
        assert pagegrab.describe_url("https://x.test/") == (
            "URL: https://x.test/\n(Failed to fetch: offline)\n"
            "The brain should analyze this URL based on what it knows about the domain.")
        assert calls == ["https://x.test/"]

    def test_network_unavailable(self):
        url = f"http://127.0.0.1:{closed_port()}/"
        lines = pagegrab.describe_url(url).split("\n")
        assert lines[0] == f"URL: {url}" and lines[1].startswith("(Failed to fetch: <urlopen error")
        assert lines[2:] == ["The brain should analyze this URL based on what it knows about the domain."]


class TestLookedUpAtCallTime:
    def test_text_uses_the_module_extractor(self, serve, monkeypatch):
        serve(MemoryResponse(b"<p>x</p>"))
        monkeypatch.setattr(pagegrab, "_extract_text", lambda page: "E" * 20000)
        assert pagegrab.fetch_url("http://page.test/")["text"] == "E" * 10000

    def test_unescape_is_the_host_one(self, monkeypatch):
        monkeypatch.setattr(html, "unescape", lambda s: s.replace("&x;", "  X  "))
        assert pagegrab._extract_text("<b>a&x;b</b>") == "a X b"


# ----------------------------------------------------- against the host's re

_EVERY_CHARACTER = "".join(map(chr, range(sys.maxunicode + 1)))


def _equivalents(letter):
    """Every character the host's re matches against `letter` under IGNORECASE."""
    return re.findall(letter, _EVERY_CHARACTER, re.IGNORECASE)


WORDS = ("script", "style", "nav", "header", "footer", "noscript", "title", "meta", "name", "content",
         "description", "href", "http", "https", "a")
EQUIVALENTS = {letter: _equivalents(letter) for letter in sorted(set("".join(WORDS)))}


def spelled(word):
    """`word` with each letter any of its case-insensitive equivalents (S, ſ, İ, ı, ...)."""
    return st.tuples(*(st.sampled_from(EQUIVALENTS[c]) for c in word)).map("".join)


PIECES = ["<", "</", ">", "<>", "=", '"', "'", "/", "://", " ", "\n", "\t", "\x85", "\xa0", "\u2028",
          "\u3000", "&amp;", "&lt;b&gt;", "&#65;", "&eacute", "x", "é", "\u212a", "\xb5", "\U0001F600",
          '<meta name="description" content="', '<a href="https://t.test/', '<title>', "</title>"]

fragment = st.one_of(
    st.sampled_from(PIECES),
    st.sampled_from(WORDS).flatmap(spelled),
    st.sampled_from(WORDS).flatmap(lambda w: spelled(w).map(lambda s: "<" + s)),
    st.sampled_from(WORDS).flatmap(lambda w: spelled(w).map(lambda s: "</" + s + ">")),
    st.sampled_from(["name=", "content=", "href="]).flatmap(lambda w: spelled(w[:-1]).map(lambda s: s + "=")),
    st.text(max_size=3),
)
pages = st.lists(fragment, max_size=60).map("".join)


def hostile(unit, count, tail=""):
    return unit * count + tail


HOSTILE = [
    hostile("<script", 3000), hostile("<script>", 3000, "</script>"), hostile("<nav x", 3000, ">"),
    hostile("<meta ", 2000, 'name="description"'), hostile('<meta content="a" ', 40),
    hostile('<meta content="a"\n', 300, 'name="description">'), hostile("<a ", 3000, 'href="http://x.test"'),
    hostile('<a href="http://x.test" ', 300), hostile("<title", 3000, "></title>"), hostile("<", 5000, ">"),
    hostile('<meta name="description" content="', 300), hostile("<a href='https://q.test/'>", 30),
]


class TestAnalysisMatchesHost:
    @settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(page=pages)
    def test_generated_pages(self, serve, page):
        assert pagegrab._extract_text(page) == reference_text(page)
        assert analysed(serve, page) == reference_analysis(page)

    @pytest.mark.parametrize("page", HOSTILE, ids=range(len(HOSTILE)))
    def test_hostile_pages(self, serve, page):
        assert analysed(serve, page) == reference_analysis(page)

    @pytest.mark.parametrize("page, field, value", [
        ("<title>Line one\nline two</title>", "title", "Line one\nline two"),
        ('<meta content="By content" name="description">', "meta_description", "By content"),
        ("<meta name=\"description\" content=\"It's cut\">", "meta_description", "It"),
        ("<title>" + "t" * 300 + "</title>", "title", "t" * 200),
    ])
    def test_examples(self, serve, page, field, value):
        assert analysed(serve, page)[field] == value
