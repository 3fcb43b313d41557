"""tools/check_docs.py's check that nothing is hidden sideways, on pages
made for it in a headless Chromium (Debian's, as `make docs` uses)."""

import importlib.util
import runpy
import shutil
import types
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parent.parent / "tools" / "check_docs.py"

PAGE = """<!doctype html><html><head><title>a page</title><style>
body { margin: 0 } main { width: 600px }
pre { overflow: auto } .wrapper { overflow-x: auto }
.preview { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; width: 80px }
</style></head><body><main>
<section id="code"><pre>CODE</pre></section>
<section id="table"><div class="wrapper"><table><tr>CELLS</tr></table></div></section>
<div class="preview">dask.array&lt;chunksize=(6, 100, 136), meta=np.ndarray&gt;</div>
WIDE</main></body></html>"""

SHORT = "x = 1"
LONG = "x = 1   # " + "a comment that runs on " * 12
CELL = "<td>a</td>"
WIDE_CELL = "<td style='white-space: nowrap'>" + "a wide cell " * 30 + "</td>"
WIDE_BOX = "<div style='width: 2000px'>a box wider than the window</div>"


def check_docs():
    """tools/check_docs.py's functions (it is a script, not a module of the
    package)."""
    return types.SimpleNamespace(**runpy.run_path(str(TOOL)))


#: page -> (its code line, its table's cells, a box or not, what is reported)
CASES = {
    "fits.html": (SHORT, CELL, "", []),
    "code.html": (LONG, CELL, "", ["<pre> in #code cuts off a code line"]),
    "table.html": (SHORT, WIDE_CELL, "", ["<div.wrapper> in #table hides content sideways"]),
    "box.html": (SHORT, CELL, WIDE_BOX, ["<div> reaches past the window's edge"]),
    "both.html": (LONG, WIDE_CELL, "", ["<pre> in #code cuts off a code line",
                                        "<div.wrapper> in #table hides content sideways"]),
}


@pytest.fixture(scope="module")
def problems(tmp_path_factory):
    """The problems check_docs.py finds on each page of CASES, in one
    browser."""
    # The documentation's own tools, which make test does not install: not
    # an extra that --require-extras asks for.
    if importlib.util.find_spec("playwright") is None:
        pytest.skip("needs the documentation's tools: pip install -r requirements-docs.txt")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        pytest.skip("needs Debian's chromium")
    root = tmp_path_factory.mktemp("html")
    pages = []
    for name, (code, cells, wide, _) in CASES.items():
        pages.append(root / name)
        pages[-1].write_text(PAGE.replace("CODE", code).replace("CELLS", cells)
                             .replace("WIDE", wide))
    found, _, _ = check_docs().check_in_browser(root, pages, chromium, root / "shots")
    return found


@pytest.mark.parametrize("name", CASES)
def test_what_is_hidden_sideways_is_named(problems, name):
    """Each hidden part named with its page and element, the cut-off code
    line quoted; xarray's ellipsised preview is not counted."""
    code, _, _, expected = CASES[name]
    here = [p.removeprefix(name + ": ") for p in problems if p.startswith(name + ": ")]
    assert [p.split(" (")[0] for p in here] == expected
    if code == LONG:
        assert "'x = 1   # a comment that runs on" in here[0]
