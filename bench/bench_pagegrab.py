"""Page analysis speed: orvane.pagegrab against the same analysis with the host's re.

Run with the installed package: `.venv/bin/python bench/bench_pagegrab.py`.

Both sides run `fetch_url` on a page served from memory (urllib.request.urlopen
and ssl.create_default_context are replaced by in-process stand-ins for both),
so what is measured is decoding and analysis: title, description, links and
the extracted text. The baseline is the straightforward Python rendition with
the host's regular expressions. Targets, all measured in this one run:

- a 500 KB hostile page (unclosed <script>, <nav>, <meta> and <a> tags): at
  least 100x faster; the baseline runs in a child process capped at 60 s, and
  a capped baseline counts as 60 s (so the ratio shown is a lower bound);
- a normal 500 KB page: at least 3x faster;
- time grows linearly from 100 KB to 2 MB, on hostile and normal pages alike:
  the slope of log(time) over log(size) stays near 1 (quadratic time gives 2).

Times are process CPU time (best of several runs), so that other work on a
shared machine disturbs the figures less.
"""

import argparse
import email.message
import math
import random
import ssl
import subprocess
import sys
import time
import urllib.request

from orvane import pagegrab
from timing import best

CAP_SECONDS = 60.0
HEADERS = {
    "User-Agent": "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 "
    "(KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36",
    "Accept": "text/html,application/xhtml+xml,*/*",
    "Accept-Language": "en-US,en;q=0.9",
}

# The baseline, also run on its own in the child process (see hostile_baseline).
BASELINE = r'''
import html, re, ssl, urllib.request

_BLOCKS = ("script", "style", "nav", "header", "footer", "noscript")


def extract_text(html_body):
    for tag in _BLOCKS:
        html_body = re.sub(rf"<{tag}[^>]*>.*?</{tag}>", " ", html_body, flags=re.DOTALL | re.IGNORECASE)
    html_body = re.sub(r"<[^>]+>", " ", html_body)
    html_body = html.unescape(html_body)
    return re.sub(r"\s+", " ", html_body).strip()


def fetch_url(url, timeout=30, max_bytes=500000):
    result = {"url": url, "status": 0, "title": "", "text": "", "meta_description": "",
              "links": [], "success": False, "error": ""}
    try:
        context = ssl.create_default_context()
        request = urllib.request.Request(url, headers=HEADERS)
        with urllib.request.urlopen(request, timeout=timeout, context=context) as response:
            result["status"] = response.status
            raw = response.read(max_bytes)
            charset = response.headers.get_content_charset() or "utf-8"
            try:
                page = raw.decode(charset, errors="replace")
            except Exception:
                page = raw.decode("utf-8", errors="replace")
    except Exception as e:
        result["error"] = str(e)
        return result
    m = re.search(r"<title[^>]*>(.*?)</title>", page, re.DOTALL | re.IGNORECASE)
    if m:
        result["title"] = html.unescape(m.group(1).strip())[:200]
    m = (re.search(r'<meta[^>]*name=["\']description["\'][^>]*content=["\'](.*?)["\']', page, re.IGNORECASE)
         or re.search(r'<meta[^>]*content=["\'](.*?)["\'][^>]*name=["\']description["\']', page, re.IGNORECASE))
    if m:
        result["meta_description"] = html.unescape(m.group(1).strip())[:500]
    links = []
    for m in re.finditer(r'<a[^>]*href=["\'](https?://[^"\']+)["\']', page, re.IGNORECASE):
        links.append(m.group(1))
        if len(links) == 20:
            break
    result["links"] = links
    result["text"] = extract_text(page)[:10000]
    result["success"] = True
    return result
'''


class Page:
    """A response read from memory."""

    def __init__(self, body):
        self.body, self.status, self.url = body, 200, "https://bench.test/"
        self.headers = email.message.Message()
        self.headers["Content-Type"] = "text/html; charset=utf-8"

    def read(self, limit=-1):
        return self.body if limit < 0 else self.body[:limit]

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def serve_from_memory(body):
    """Both fetches read `body`; one TLS context is made once, not per fetch."""
    context = ssl.create_default_context()
    ssl.create_default_context = lambda *a, **k: context
    urllib.request.urlopen = lambda request, **kwargs: Page(body)


# ------------------------------------------------------------------ pages

WORDS = ("the evaluation agent reads a page and finds what deviates from its goal while the "
         "ledger records every step of every cycle with care").split()


def normal_page(size, seed=7):
    """A plausible article page: head, scripts, styles, navigation, many paragraphs with links and
    entity references, a footer; repeated sections up to `size` bytes."""
    r = random.Random(seed)
    head = ('<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
            '<title>  Orvane &amp; the question engine  </title>'
            '<meta name="viewport" content="width=device-width">'
            '<meta name="description" content="How an agent finds gaps &mdash; and forges questions.">'
            '<style>body { font: 14px sans-serif } .nav > a { color: #333 }</style>'
            '<script>window.dataLayer = window.dataLayer || []; function gtag(){dataLayer.push(arguments);}</script>'
            '</head><body><header class="top"><nav><a href="/">Home</a> <a href="/docs">Docs</a></nav></header>\n')
    parts = [head]
    total = len(head)
    section = 0
    while total < size:
        section += 1
        paras = []
        for _ in range(r.randrange(3, 7)):
            words = [r.choice(WORDS) for _ in range(r.randrange(30, 80))]
            for _ in range(r.randrange(1, 4)):
                i = r.randrange(len(words))
                words[i] = f'<a href="https://example.test/{section}/{i}" class="ref">{words[i]}</a>'
            if r.random() < 0.5:
                words.insert(r.randrange(len(words)), "&amp;")
            paras.append("<p>" + " ".join(words) + "</p>")
        block = (f'<section id="s{section}"><h2>Section {section} &ndash; notes</h2>\n'
                 + "\n".join(paras)
                 + f'\n<script type="text/javascript">track({section}, "view");</script></section>\n')
        parts.append(block)
        total += len(block)
    parts.append('<footer><p>&copy; 2026 Orvane</p><noscript>Enable scripts</noscript></footer></body></html>')
    return "".join(parts).encode()[:size]


def hostile_page(size):
    """Unclosed opening tags of every kind the analysis looks for: each one makes the host's lazy
    patterns scan (or backtrack over) the rest of the page."""
    unit = '<script type="x"> <nav class="menu"> <meta name="keywords" <a class="x" <title '
    return (unit * (size // len(unit) + 1)).encode()[:size]


# ------------------------------------------------------------ measuring

def ours(body, repeat):
    serve_from_memory(body)
    result = pagegrab.fetch_url("https://bench.test/", max_bytes=len(body))
    assert result["success"], result
    return best(lambda: pagegrab.fetch_url("https://bench.test/", max_bytes=len(body)), repeat, time.process_time)


def baseline_here(body, repeat):
    namespace = {"HEADERS": HEADERS}
    exec(BASELINE, namespace)
    serve_from_memory(body)
    fetch = namespace["fetch_url"]
    mine = pagegrab.fetch_url("https://bench.test/", max_bytes=len(body))
    theirs = fetch("https://bench.test/", max_bytes=len(body))
    assert mine == theirs, "the two analyses disagree"
    return best(lambda: fetch("https://bench.test/", max_bytes=len(body)), repeat, time.process_time)


def hostile_baseline(size):
    """The baseline on the hostile page in a child process: (seconds, capped)."""
    code = (BASELINE + "\nimport sys, time\nsys.path.insert(0, %r)\nimport bench_pagegrab as b\n"
            "b.serve_from_memory(b.hostile_page(%d))\n"
            "t0 = time.process_time()\nfetch_url('https://bench.test/', max_bytes=%d)\n"
            "print(time.process_time() - t0)\n") % (sys.path[0], size, size)
    code = code.replace("headers=HEADERS", "headers=b.HEADERS")
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=CAP_SECONDS, check=True)
    except subprocess.TimeoutExpired:
        return CAP_SECONDS, True
    return float(out.stdout.strip()), False


def growth_exponent(points):
    """The least-squares slope of log(time) over log(size)."""
    xs = [math.log(size) for size, _ in points]
    ys = [math.log(spent) for _, spent in points]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    kb = 1000

    print("pagegrab analysis (fetch_url on a page served from memory), best of", args.repeat)
    print(f"\n  {'case':34s} {'baseline':>12s} {'pagegrab':>10s} {'ratio':>9s} {'target':>7s}")

    hostile = hostile_page(500 * kb)
    ours_hostile = ours(hostile, args.repeat)
    base_hostile, capped = hostile_baseline(500 * kb)
    shown = f"{'>' if capped else ''}{base_hostile:.2f} s"
    ratio = base_hostile / ours_hostile
    print(f"  {'hostile page, 500 KB':34s} {shown:>12s} {ours_hostile * 1e3:7.2f} ms "
          f"{'>' if capped else ' '}{ratio:7.0f}x {'100x':>7s} {'ok' if ratio >= 100 else 'MISSED'}")

    normal = normal_page(500 * kb)
    base_normal = baseline_here(normal, args.repeat)
    ours_normal = ours(normal, args.repeat)
    ratio = base_normal / ours_normal
    print(f"  {'normal page, 500 KB':34s} {base_normal * 1e3:9.2f} ms {ours_normal * 1e3:7.2f} ms "
          f" {ratio:7.1f}x {'3x':>7s} {'ok' if ratio >= 3 else 'MISSED'}")

    print(f"\n  growth: pagegrab time per KB (flat means linear; best of 3 rounds over the sizes)")
    print(f"  {'size':>8s} {'hostile':>14s} {'normal':>14s}")
    sizes = (100, 250, 500, 1000, 2000)
    pages = {size: (hostile_page(size * kb), normal_page(size * kb)) for size in sizes}
    per_kb = {size: [float("inf"), float("inf")] for size in sizes}
    for _ in range(3):  # rounds over all sizes, so that a busy moment of the machine hits one round
        for size in sizes:
            for column in (0, 1):
                spent = ours(pages[size][column], args.repeat) / size * 1e6
                per_kb[size][column] = min(per_kb[size][column], spent)
    for size in sizes:
        h, n = per_kb[size]
        print(f"  {size:>5d} KB {h:11.2f} us {n:11.2f} us")
    for column, name in ((0, "hostile"), (1, "normal")):
        exponent = growth_exponent([(size, per_kb[size][column] * size) for size in sizes])
        print(f"  {name}: time grows as size^{exponent:.2f} from 100 KB to 2 MB "
              f"(linear 1, quadratic 2; target below 1.25) {'ok' if exponent < 1.25 else 'MISSED'}")

if __name__ == "__main__":
    main()
