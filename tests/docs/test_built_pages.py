"""The built pages: every internal link leads somewhere, and a real browser renders them."""

import html.parser
import pathlib
import shutil
import subprocess
import urllib.parse

import pytest

PAGES = ["index", "filesystem", "terminal", "sessions", "performance", "deployment", "reference"]


class Page(html.parser.HTMLParser):
    """The links and the ids of one HTML page."""

    def __init__(self):
        super().__init__()
        self.links = []
        self.ids = set()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        if tag == "a" and "name" in attrs:
            self.ids.add(attrs["name"])
        for key in ("href", "src"):
            if attrs.get(key):
                self.links.append(attrs[key])


def parse(path):
    page = Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


def test_every_page_is_built(html_dir):
    assert [p for p in PAGES if not (html_dir / f"{p}.html").is_file()] == []


def test_no_internal_link_is_broken(html_dir):
    pages = {path: parse(path) for path in html_dir.rglob("*.html")}
    broken = []
    for path, page in pages.items():
        for link in page.links:
            parts = urllib.parse.urlsplit(link)
            if parts.scheme or parts.netloc:
                # Only links out of the site have a scheme; no page may need the network.
                assert parts.scheme in ("http", "https", "mailto"), (path.name, link)
                continue
            target = (path.parent / urllib.parse.unquote(parts.path)).resolve() if parts.path else path
            if target.is_dir():
                target = target / "index.html"
            if not target.is_file() or html_dir not in target.parents:
                broken.append((path.relative_to(html_dir), link))
            elif parts.fragment and target.suffix == ".html":
                ids = pages[target].ids if target in pages else parse(target).ids
                if parts.fragment not in ids:
                    broken.append((path.relative_to(html_dir), link))
    assert broken == []


def test_the_index_links_every_page(html_dir):
    links = {urllib.parse.urlsplit(link).path for link in parse(html_dir / "index.html").links}
    assert {f"{p}.html" for p in PAGES if p != "index"} <= links


def browser():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return name
    pytest.skip("no headless Chromium here (make docs installs Debian's chromium as root)")


def headless(tmp_path, *args):
    # --no-sandbox: the browser's own sandbox cannot start as root, which make test is.
    return subprocess.run(
        [browser(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         f"--user-data-dir={tmp_path / 'profile'}", *args],
        capture_output=True, text=True, timeout=120,
    )


def test_a_headless_browser_renders_the_index(html_dir, tmp_path):
    url = (html_dir / "index.html").as_uri()
    dom = headless(tmp_path, "--dump-dom", url)
    assert dom.returncode == 0, dom.stderr
    # The DOM after the page's scripts ran: the title, the first example and the sidebar.
    assert "<title>ovaline" in dom.stdout
    assert "PyTerm.shell" in dom.stdout and 'href="deployment.html"' in dom.stdout
    shot = tmp_path / "index.png"
    done = headless(tmp_path, f"--screenshot={shot}", "--window-size=1280,900", url)
    assert done.returncode == 0, done.stderr
    data = shot.read_bytes()
    assert data.startswith(b"\x89PNG") and len(data) > 20_000, len(data)
