#!/usr/bin/env python3
"""Check the built documentation as a reader's browser sees it.

    python tools/check_docs.py [--chromium PATH] [--screenshots DIR] docs/_build/html

- Every internal reference of every HTML page (links, stylesheets, scripts,
  images, downloads) names a file that exists, and a link with an anchor
  (``page.html#section``) an element of that page with that id or name.
- Every page loads in a headless Chromium (Debian's ``chromium``, driven
  by Playwright; Playwright's own browsers are not used) without a script
  error and without a local file failing to load, and every ``<img>`` on
  it has loaded (``naturalWidth`` > 0).
- Nothing is hidden sideways at 1280 px: no ``<pre>`` whose lines are
  longer than its box (a code line cut off, to be scrolled to), no table,
  formula or other box whose content scrolls or is clipped sideways, and no
  page wider than the window.  Deliberate truncation with an ellipsis
  (``text-overflow: ellipsis``, as in xarray's HTML repr) is not counted.
- Screenshots of the start page, the glossary, the chain's API page and a
  gallery page with a plot go to DIR (by default ``screenshots/`` beside
  the HTML folder).

Exit status 0 when all is well, 1 with one line per problem, 2 when the
browser cannot be started.  Links to other sites are counted, not followed.
"""

from __future__ import annotations

import argparse
import shutil
import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

#: Folders of the build that hold no pages of their own.
SKIP_DIRS = {"_static", "_sources", "_images", "_downloads", "_modules"}
#: The gallery page whose plot is photographed.
GALLERY_PAGE = "examples/plot_day_mrt.html"
#: Pages photographed from the top: page -> screenshot's name.
SCREENSHOTS = {"index.html": "index.png", "glossary.html": "glossary.png",
               "api/chain.html": "api-chain.png"}
#: The width of the window the pages are checked in, px.
WINDOW_WIDTH = 1280

#: Run in each page: make lazy images load now, wait for every image, and
#: report each one's address and natural width.
IMAGES_JS = """async () => {
  const images = Array.from(document.images);
  for (const img of images) { img.loading = "eager"; }
  await Promise.all(images.map(img => img.complete ? null : new Promise(done => {
    img.addEventListener("load", done, {once: true});
    img.addEventListener("error", done, {once: true});
    setTimeout(done, 5000);
  })));
  return images.map(img => ({src: img.currentSrc || img.src, width: img.naturalWidth,
                             alt: img.alt}));
}"""


#: Run in each page: what is wider than its box and hidden sideways.  Each
#: box whose overflow is not visible (scrolled or clipped) and whose content
#: is wider than it; for a ``<pre>`` its longest line.  Then, if the page is
#: wider than the window, the outermost elements reaching past its edge.
OVERFLOW_JS = """() => {
  const found = [];
  const where = el => {
    const section = el.closest("section[id], dl[id], dt[id], div[id]");
    const cls = (el.getAttribute("class") || "").trim().split(/\\s+/).filter(Boolean);
    return {tag: el.tagName.toLowerCase(), cls: cls.slice(0, 2).join("."),
            section: section ? section.id : ""};
  };
  for (const el of document.querySelectorAll("body *")) {
    if (!el.getClientRects().length) continue;
    const style = getComputedStyle(el);
    if (style.overflowX === "visible" || style.textOverflow === "ellipsis") continue;
    if (el.scrollWidth <= el.clientWidth + 1) continue;
    let line = "";
    if (el.tagName === "PRE") {
      line = el.innerText.split("\\n").reduce((a, b) => b.length > a.length ? b : a, "");
    }
    found.push({...where(el), content: el.scrollWidth, box: el.clientWidth, line: line});
  }
  const width = document.documentElement.clientWidth;
  if (document.documentElement.scrollWidth > width + 1) {
    for (const el of document.querySelectorAll("body *")) {
      const right = el.getBoundingClientRect().right + window.scrollX;
      const parent = el.parentElement.getBoundingClientRect().right + window.scrollX;
      if (right > width + 1 && parent <= width + 1) {
        found.push({...where(el), content: Math.round(right), box: width, line: "",
                    page: true});
      }
    }
  }
  return found;
}"""


def overflow_problem(name: str, found: dict[str, object]) -> str:
    """One line for an element of page ``name`` that hides content sideways."""
    element = f"<{found['tag']}{'.' + str(found['cls']) if found['cls'] else ''}>"
    place = f" in #{found['section']}" if found["section"] else ""
    sizes = f"{found['content']} px wide in {found['box']} px"
    if found.get("page"):
        return f"{name}: {element}{place} reaches past the window's edge ({sizes})"
    if found["tag"] == "pre":
        line = str(found["line"]).strip()
        line = line if len(line) <= 60 else line[:57] + "..."
        return f"{name}: {element}{place} cuts off a code line ({sizes}): {line!r}"
    return f"{name}: {element}{place} hides content sideways ({sizes})"


class PageParser(HTMLParser):
    """The ids and names of a page, and every address it refers to."""

    REFERENCES = {("a", "href"), ("link", "href"), ("img", "src"), ("script", "src"),
                  ("source", "src"), ("iframe", "src")}

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.anchors: set[str] = set()
        self.references: list[tuple[str, str]] = []   # (tag, address)

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = {name: value for name, value in attrs if value is not None}
        if "id" in values:
            self.anchors.add(values["id"])
        if tag == "a" and "name" in values:
            self.anchors.add(values["name"])
        for attribute in ("href", "src"):
            if (tag, attribute) in self.REFERENCES and attribute in values:
                self.references.append((tag, values[attribute]))
        if "srcset" in values:
            for part in values["srcset"].split(","):
                if part.strip():
                    self.references.append((tag, part.split()[0]))


def parse(path: Path) -> PageParser:
    parser = PageParser()
    parser.feed(path.read_text(encoding="utf-8", errors="replace"))
    return parser


def pages_of(root: Path) -> list[Path]:
    return sorted(p for p in root.rglob("*.html")
                  if not SKIP_DIRS & set(p.relative_to(root).parts[:-1]))


def check_references(root: Path, pages: list[Path]) -> tuple[list[str], dict[str, int]]:
    """Problems with internal references, and counts of what was checked."""
    parsed = {page: parse(page) for page in pages}
    anchors_of: dict[Path, set[str]] = {page: p.anchors for page, p in parsed.items()}
    problems: list[str] = []
    counts = {"internal": 0, "anchors": 0, "external": 0}
    for page, parser in parsed.items():
        name = page.relative_to(root).as_posix()
        for tag, address in parser.references:
            parts = urlsplit(address)
            if parts.scheme in ("http", "https", "mailto", "ftp", "data", "javascript") \
                    or address.startswith("//"):
                counts["external"] += parts.scheme not in ("data", "javascript")
                continue
            if parts.scheme:
                problems.append(f"{name}: <{tag}> {address}: unexpected scheme")
                continue
            target = page if not parts.path else (page.parent / unquote(parts.path)).resolve()
            if target.is_dir():
                target = target / "index.html"
            counts["internal"] += 1
            if not target.exists():
                problems.append(f"{name}: <{tag}> {address}: no such file")
                continue
            fragment = unquote(parts.fragment)
            if fragment and target.suffix == ".html" and tag == "a":
                counts["anchors"] += 1
                known = anchors_of.get(target)
                if known is None:
                    known = anchors_of.setdefault(target, parse(target).anchors)
                if fragment not in known:
                    problems.append(f"{name}: <a> {address}: no anchor #{fragment} there")
    return problems, counts


def check_in_browser(root: Path, pages: list[Path], chromium: str,
                     screenshots: Path) -> tuple[list[str], int, list[Path]]:
    """Problems seen in the browser, the number of images checked, and the
    screenshots taken."""
    from playwright.sync_api import Error as PlaywrightError
    from playwright.sync_api import sync_playwright

    problems: list[str] = []
    images = 0
    shots: list[Path] = []
    screenshots.mkdir(parents=True, exist_ok=True)
    with sync_playwright() as playwright:
        try:
            browser = playwright.chromium.launch(executable_path=chromium,
                                                 args=["--no-sandbox", "--disable-gpu"])
        except PlaywrightError as e:
            print(f"check_docs: cannot start {chromium}: {str(e).splitlines()[0]}",
                  file=sys.stderr)
            raise SystemExit(2) from None
        context = browser.new_context(viewport={"width": WINDOW_WIDTH, "height": 900},
                                      device_scale_factor=1)
        page = context.new_page()
        failed: list[str] = []
        errors: list[str] = []
        page.on("requestfailed", lambda request: failed.append(
            f"{request.url} ({request.failure})") if request.url.startswith("file:") else None)
        page.on("pageerror", lambda error: errors.append(str(error).splitlines()[0]))
        for path in pages:
            name = path.relative_to(root).as_posix()
            failed.clear()
            errors.clear()
            try:
                response = page.goto(path.resolve().as_uri(), wait_until="load", timeout=30000)
            except PlaywrightError as e:
                problems.append(f"{name}: does not load: {str(e).splitlines()[0]}")
                continue
            if response is not None and not response.ok:
                problems.append(f"{name}: status {response.status}")
            if not page.title():
                problems.append(f"{name}: no title")
            for image in page.evaluate(IMAGES_JS):
                images += 1
                if not image["width"]:
                    problems.append(f"{name}: image did not load: {image['src']}")
            problems += [f"{name}: failed to load {what}" for what in failed]
            problems += [f"{name}: script error: {what}" for what in errors]
            problems += [overflow_problem(name, found) for found in page.evaluate(OVERFLOW_JS)]
            if name in SCREENSHOTS:
                shots.append(screenshot(page, screenshots / SCREENSHOTS[name]))
            if name == GALLERY_PAGE:
                figure = page.locator("img.sphx-glr-single-img").first
                if figure.count():
                    # The figure at the top of the window, under its heading's line.
                    top = figure.evaluate("e => e.getBoundingClientRect().top + window.scrollY")
                    page.evaluate(f"window.scrollTo(0, {max(0, top - 24)})")
                shots.append(screenshot(page, screenshots / "gallery-plot_day_mrt.png"))
        browser.close()
    return problems, images, shots


def screenshot(page: object, path: Path) -> Path:
    page.screenshot(path=str(path))   # type: ignore[attr-defined]
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("html", type=Path, help="the built HTML folder")
    parser.add_argument("--chromium", default=shutil.which("chromium") or
                        shutil.which("chromium-browser"),
                        help="the Chromium to drive (default: chromium on PATH)")
    parser.add_argument("--screenshots", type=Path, default=None,
                        help="where the screenshots go (default: HTML/../screenshots)")
    args = parser.parse_args()
    root = args.html.resolve()
    if not (root / "index.html").is_file():
        print(f"check_docs: no index.html in {args.html}", file=sys.stderr)
        return 2
    if not args.chromium:
        print("check_docs: no Chromium found: apt-get install -y chromium, or give --chromium",
              file=sys.stderr)
        return 2
    try:
        import playwright  # noqa: F401
    except ImportError:
        print("check_docs: needs Playwright: pip install -r requirements-docs.txt",
              file=sys.stderr)
        return 2
    pages = pages_of(root)
    problems, counts = check_references(root, pages)
    if not (root / GALLERY_PAGE).is_file():
        problems.append(f"{GALLERY_PAGE}: missing: the gallery page to photograph")
    screenshots = args.screenshots or root.parent / "screenshots"
    seen, images, shots = check_in_browser(root, pages, args.chromium, screenshots)
    problems += seen
    for problem in problems:
        print(f"check_docs: {problem}", file=sys.stderr)
    print(f"check_docs: {len(pages)} pages loaded, {counts['internal']} internal references "
          f"({counts['anchors']} with anchors), {images} images, {counts['external']} links "
          f"to other sites not followed; {len(problems)} problems")
    for shot in shots:
        print(f"check_docs: screenshot {shot}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
