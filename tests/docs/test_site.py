"""The built documentation site as a reader sees it (`make docs-check`).

Serves build/docs on a loopback port and opens pages in Debian's headless
Chromium (driven through Playwright, which brings no browser of its own):
each page must load its styles, scripts and images from the site itself with
no failed request and no script error, and search must find a function from
its index. A crawl of every built page checks that each internal link,
fragment and image resolves. Screenshots go to build/docs-check/.
"""

from __future__ import annotations

import functools
import http.server
import os
import tempfile
import threading
from collections.abc import Iterator
from html.parser import HTMLParser
from pathlib import Path
from typing import Any
from urllib.parse import unquote, urlsplit

import pytest
from playwright import sync_api as playwright_api  # docs/requirements.txt, installed by make docs

ROOT = Path(__file__).resolve().parents[2]
SITE = Path(os.environ.get("VEXOLIN_DOCS_DIR", ROOT / "build" / "docs"))
SHOTS = Path(os.environ.get("VEXOLIN_DOCS_SHOTS", ROOT / "build" / "docs-check"))
CHROMIUM = os.environ.get("VEXOLIN_CHROMIUM", "/usr/bin/chromium")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]

# A page of each kind: the front page, the quick start, a guide, API pages and
# a gallery example.
PAGES = {
    "index": "index.html",
    "quickstart": "quickstart.html",
    "guide-chords": "guide/chords.html",
    "api-chroma_cqt": "api/generated/vexolin.chroma_cqt.html",
    "api-hcqt": "api/generated/vexolin.hcqt.html",
    "gallery-chroma-and-key": "auto_examples/plot_chroma_and_key.html",
    "gallery-hcqt-channels": "auto_examples/plot_hcqt_channels.html",
}
# The figures each gallery page draws.
GALLERY_FIGURES = {"gallery-chroma-and-key": 2, "gallery-hcqt-channels": 1}
# Pages with a figure drawn by the plot directive when the site is built.
PLOTTED = {"quickstart", "guide-chords", "api-chroma_cqt", "api-hcqt"}
# Pages whose code blocks show every line whole: none wider than its block.
FITTED = {"index", "quickstart", "guide-chords", "api-chroma_cqt", "api-hcqt", "gallery-hcqt-channels"}
# The lines of a page's code blocks that are wider than their block, cut off at its right edge.
_WIDE_LINES = """() => Array.from(document.querySelectorAll('div.highlight pre'))
    .filter(pre => pre.scrollWidth > pre.clientWidth)
    .flatMap(pre => pre.innerText.split('\\n').sort((a, b) => b.length - a.length).slice(0, 1))"""


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        pass


@pytest.fixture(scope="module")
def base_url() -> Iterator[str]:
    if not (SITE / "index.html").is_file():
        pytest.fail(f"no built site at {SITE}: run make docs first")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_Quiet, directory=str(SITE)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    if not os.access(CHROMIUM, os.X_OK):
        pytest.fail(f"no Chromium at {CHROMIUM}: make docs-check installs Debian's chromium")
    with playwright_api.sync_playwright() as p, tempfile.TemporaryDirectory(prefix="vexolin-chromium-") as profile:
        context = p.chromium.launch_persistent_context(
            profile, executable_path=CHROMIUM, headless=True, args=FLAGS, viewport={"width": 1280, "height": 900})
        yield context
        context.close()


class Visit:
    """What a page asked for and what went wrong while it loaded."""

    def __init__(self, page: Any, base: str) -> None:
        self.base = base
        self.requests: list[str] = []
        self.problems: list[str] = []
        page.on("request", lambda r: self.requests.append(r.url))
        page.on("requestfailed", lambda r: self.problems.append(f"failed: {r.url} ({r.failure})"))
        page.on("response", lambda r: r.status >= 400 and self.problems.append(f"HTTP {r.status}: {r.url}"))
        page.on("console", lambda m: m.type == "error" and self.problems.append(f"console: {m.text}"))
        page.on("pageerror", lambda e: self.problems.append(f"script error: {e}"))

    def outside(self) -> list[str]:
        return [u for u in self.requests if not u.startswith(self.base) and not u.startswith("data:")]

    def loaded(self, suffix: str) -> list[str]:
        return [u for u in self.requests if urlsplit(u).path.endswith(suffix)]


@pytest.mark.parametrize("name", list(PAGES))
def test_page_loads_styles_images_and_search_index(browser: Any, base_url: str, name: str) -> None:
    page = browser.new_page()
    visit = Visit(page, base_url)
    page.goto(base_url + PAGES[name], wait_until="networkidle")
    SHOTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(SHOTS / f"{name}.png"), full_page=True)

    assert visit.problems == []
    assert visit.outside() == [], "the site must load nothing from other hosts"
    # The theme's style sheet applied: its header sticks to the top.
    header = page.evaluate("() => getComputedStyle(document.querySelector('header.bd-header')).position")
    assert header == "sticky"
    assert visit.loaded(".css") and visit.loaded("searchindex.js")
    images = page.evaluate("() => Array.from(document.images).map(i => [i.src, i.complete, i.naturalWidth])")
    broken = [src for src, complete, width in images if not (complete and width > 0)]
    assert broken == []
    if name.startswith("gallery"):
        figures = page.locator("img.sphx-glr-single-img, img.sphx-glr-multi-img")
        assert figures.count() == GALLERY_FIGURES[name]
        assert page.locator("div.sphx-glr-script-out").count() >= 1  # the example's printed output
    if name.startswith("api"):
        function = name.removeprefix("api-")
        assert page.locator(f"dl.py.function dt#vexolin\\.{function}").count() == 1
        assert page.locator("section#examples, p.rubric:text('Examples')").count() >= 1
    if name in PLOTTED:
        figures = page.locator("figure img.plot-directive, img.plot-directive")
        assert figures.count() >= 1
        assert all(figures.nth(i).evaluate("i => i.naturalWidth") > 300 for i in range(figures.count()))
    if name in FITTED:
        assert page.evaluate(_WIDE_LINES) == []
    page.close()


def test_search_finds_a_function(browser: Any, base_url: str) -> None:
    page = browser.new_page()
    visit = Visit(page, base_url)
    page.goto(base_url + "search.html?q=estimate_tuning", wait_until="networkidle")
    results = page.locator("#search-results ul.search li a")
    results.first.wait_for(timeout=15000)
    SHOTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(SHOTS / "search.png"), full_page=True)
    hrefs = [results.nth(i).get_attribute("href") or "" for i in range(results.count())]
    assert any("vexolin.estimate_tuning.html" in h for h in hrefs), hrefs
    assert visit.problems == []
    page.close()


class _Links(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()
        self.targets: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        a = dict(attrs)
        for key in ("id", "name"):
            if a.get(key) and (key == "id" or tag == "a"):
                self.ids.add(a[key] or "")
        attribute = {"a": "href", "link": "href", "img": "src", "script": "src", "source": "src"}.get(tag)
        if attribute and a.get(attribute):
            self.targets.append(a[attribute] or "")


def _parse(path: Path) -> _Links:
    links = _Links()
    links.feed(path.read_text(encoding="utf-8"))
    return links


def test_every_internal_link_and_image_resolves() -> None:
    # _static holds the theme's template fragments besides its files: no pages.
    pages = {p: _parse(p) for p in SITE.rglob("*.html") if "_static" not in p.relative_to(SITE).parts}
    assert len(pages) > 20
    broken = []
    for page, links in pages.items():
        for target in links.targets:
            parts = urlsplit(target)
            if parts.scheme or parts.netloc or target.startswith(("mailto:", "javascript:", "data:")):
                continue
            path = (page.parent / unquote(parts.path)).resolve() if parts.path else page
            if path.is_dir():
                path = path / "index.html"
            if not path.is_file() or SITE.resolve() not in path.parents:
                broken.append(f"{page.relative_to(SITE)}: {target}")
            elif parts.fragment and path in pages and unquote(parts.fragment) not in pages[path].ids:
                broken.append(f"{page.relative_to(SITE)}: {target} (no such anchor)")
    assert broken == []
