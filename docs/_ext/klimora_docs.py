"""What klimora's documentation builds from the package itself.

- ``klimora-quantities``: a table of one group of the registry
  (:mod:`klimora.quantities`: WEATHER, SITE, COLUMNS, UTCI or INDICES).
- ``klimora-assumptions``: the chain's assumptions,
  :data:`klimora.model.ASSUMPTIONS`, as a list.
- ``klimora-surfaces``: the grounds of ``surface=`` and their Bowen ratios.
- ``klimora-options``: the values of the chain's options and their defaults.
- ``autoufunc``: autodoc for NumPy ufuncs (``klimora.ufuncs``), with the
  parameter names of the Strahlkit function they come from.
- The docstrings of ``klimora.Strahlkit``'s functions are the lines of
  Python the system carries with each function: shown as code.
- Math is rendered to MathML at build time (docutils' converter), so that
  the pages need nothing from outside to show it.
- Toctree lines of optional pages that are absent (conf.py's
  ``klimora_optional_pages``) are dropped before the page is read.
- Code in tables may break between the parts of a name (after ``_``, and
  ``-``, ``.``, ``/`` before a letter, and before a capital that follows a
  small letter), so that wide tables fit the column without cutting a name
  at any letter.
"""

from __future__ import annotations

import math
import posixpath
import re
from typing import Any

from docutils import nodes
from docutils.utils.math import latex2mathml
from sphinx.application import Sphinx
from sphinx.ext.autodoc import FunctionDocumenter
from sphinx.util.docutils import SphinxDirective


# -- tables from the registry ---------------------------------------------------


def _cell(content: Any) -> nodes.entry:
    entry = nodes.entry()
    if isinstance(content, nodes.Node):
        entry += content
    else:
        entry += nodes.paragraph(text=str(content))
    return entry


def _literal(text: str) -> nodes.paragraph:
    para = nodes.paragraph()
    para += nodes.literal(text=text)
    return para


def make_table(headers: list[str], rows: list[list[Any]], widths: list[int] | None = None,
               classes: tuple[str, ...] = ()) -> nodes.table:
    """A docutils table of ``headers`` and ``rows`` (text or nodes)."""
    table = nodes.table(classes=["klimora-table", *classes])
    group = nodes.tgroup(cols=len(headers))
    table += group
    for width in widths or [1] * len(headers):
        group += nodes.colspec(colwidth=width)
    head = nodes.thead()
    row = nodes.row()
    for title in headers:
        row += _cell(title)
    head += row
    group += head
    body = nodes.tbody()
    for values in rows:
        row = nodes.row()
        for value in values:
            row += _cell(value)
        body += row
    group += body
    return table


def _number(x: float) -> str:
    if x is None:
        return ""
    if math.isinf(x):
        return "∞" if x > 0 else "−∞"
    return f"{x:g}".replace("-", "−")


def _range(q: Any) -> str:
    low, high = q.valid_range
    if math.isinf(low) and math.isinf(high):
        return "any"
    if math.isinf(high):
        return f"≥ {_number(low)}"
    if math.isinf(low):
        return f"≤ {_number(high)}"
    return f"{_number(low)} … {_number(high)}"


class QuantitiesTable(SphinxDirective):
    """``klimora-quantities GROUP``: the registry's group as a table."""

    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        from klimora import quantities as Q

        group = self.arguments[0]
        found = getattr(Q, group, None)
        if found is None:
            raise self.error(f"klimora.quantities has no {group!r}")
        quantities = list(found.values()) if isinstance(found, dict) else \
            [Q.RESULTS[name] for name in found] if isinstance(found, tuple) else [found]
        inputs = group in ("WEATHER", "SITE")
        headers = ["name", "unit", "meaning", "range"] + (["default"] if inputs else [])
        rows = []
        for q in quantities:
            unit = nodes.paragraph(text=q.symbol)
            if q.units != q.symbol:
                unit += nodes.inline(text=" ")
                unit += nodes.literal(text=q.units, classes=["klimora-udunits"])
            meaning = nodes.container()
            meaning += nodes.paragraph(text=q.long_name)
            if q.standard_name:
                cf = nodes.paragraph(classes=["klimora-cf"])
                cf += nodes.inline(text="CF ")
                cf += nodes.literal(text=q.standard_name)
                meaning += cf
            row: list[Any] = [_literal(q.name), unit, meaning, _range(q)]
            if inputs:
                row.append(_number(q.default) if q.default is not None
                           else (q.worked_out or "–"))
            rows.append(row)
        widths = [14, 12, 46, 12] + ([22] if inputs else [])
        return [make_table(headers, rows, widths, classes=("klimora-quantities",))]


class AssumptionsList(SphinxDirective):
    """``klimora-assumptions``: klimora.model.ASSUMPTIONS as a bullet list."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        from klimora.model import ASSUMPTIONS

        listing = nodes.bullet_list(classes=["klimora-assumptions"])
        for text in ASSUMPTIONS:
            item = nodes.list_item()
            item += nodes.paragraph(text=text)
            listing += item
        return [listing]


class SurfacesTable(SphinxDirective):
    """``klimora-surfaces``: klimora.model.SURFACES as a table."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        from klimora.model import SURFACES

        default = dict(__import__("klimora.quantities", fromlist=["WEATHER"])
                       .WEATHER)["bowen"].default
        rows = [[_literal(name), _number(ratio), "the default" if ratio == default else ""]
                for name, ratio in SURFACES.items()]
        return [make_table(["surface", "Bowen ratio", ""], rows, [12, 10, 10])]


class OptionsTable(SphinxDirective):
    """``klimora-options``: the chain's options, their values and defaults,
    from klimora.model."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        from klimora import model as M

        defaults = M.Options()
        rows = []
        for name, values in (("projection_factor", M.PROJECTION_FACTORS),
                             ("turbidity", M.TURBIDITIES),
                             ("diffuse_model", M.DIFFUSE_MODELS),
                             ("time_label", M.TIME_LABELS)):
            default = getattr(defaults, name, "instant")
            rows.append([_literal(name), ", ".join(values), _literal(str(default))])
        rows.append([_literal("min_wind"), "0 … 5 m/s, or None (the wind as given)",
                     _literal(f"{M.MIN_WIND:g}")])
        rows.append([_literal("surface"), ", ".join(M.SURFACES), _literal("None")])
        rows.append([_literal("utci"), "True, False", _literal("False")])
        return [make_table(["option of chain()", "values", "default"], rows, [14, 30, 10])]


#: The model's constants shown by ``klimora-constants``: (name in
#: klimora.model, symbol, unit, meaning).
CONSTANTS = (
    ("SIGMA", "σ", "W m⁻² K⁻⁴", "Stefan-Boltzmann constant, the value the module uses"),
    ("EPS_GROUND", "ε", "1", "long-wave emissivity of the ground"),
    ("VIEW_SKY", "", "1", "share of a person's surroundings taken by the sky"),
    ("VIEW_GROUND", "", "1", "share taken by the ground"),
    ("MIN_WIND", "u_min", "m/s", "lowest wind of the ground's energy balance and UTCI "
     "(min_wind=)"),
    ("TURBIDITY_BEYOND_CLIMATOLOGY", "", "1", "a Linke turbidity above it is beyond any "
     "climatology: the default takes the dry-air value there, and with "
     "turbidity=\"model\" a warning counts the steps"),
    ("CLEAR_SKY_DIFFUSE_FLOOR", "", "1", "share of the global below which the separation "
     "model takes Engerer's diffuse"),
    ("SOLAR_CONSTANT", "E_sc", "W/m²", "solar constant of the clearness index"),
)


class ConstantsTable(SphinxDirective):
    """``klimora-constants``: the model's constants, read from klimora.model."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        from klimora import model as M

        rows = [[_literal(name), symbol, f"{getattr(M, name):g}", unit, meaning]
                for name, symbol, unit, meaning in CONSTANTS if hasattr(M, name)]
        return [make_table(["klimora.model", "symbol", "value", "unit", "meaning"], rows,
                           [22, 6, 8, 8, 40])]


# -- the gallery's order ---------------------------------------------------------


class GalleryOrder:
    """sphinx-gallery's sort key: the worked examples in the order a reader
    meets the subjects (a day, a year, a grid, heat stress, the caveats);
    scripts not named here after them, by name."""

    ORDER = ("plot_day_mrt.py", "plot_station_year.py", "plot_grid_map.py",
             "plot_utci_heat_stress.py", "plot_turbidity_diffuse.py")

    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        name = posixpath.basename(filename)
        return (self.ORDER.index(name) if name in self.ORDER else len(self.ORDER), name)

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"


# -- ufuncs in autodoc --------------------------------------------------------


def _ufunc_parameters(name: str, nin: int) -> list[str]:
    """The parameter names of the Strahlkit function a ufunc comes from
    (MittlStrTemp's ufunc drops the two unused ones)."""
    from klimora import Strahlkit

    function = getattr(Strahlkit, name, None)
    if function is None:
        return ["dayofyear"] if nin == 1 else [f"x{i + 1}" for i in range(nin)]
    code = function.__code__
    names = [p for p in code.co_varnames[:code.co_argcount] if p not in ("ReflStr", "albedo_env")]
    return names if len(names) == nin else [f"x{i + 1}" for i in range(nin)]


class UfuncDocumenter(FunctionDocumenter):
    """autodoc for :class:`numpy.ufunc` objects."""

    objtype = "ufunc"
    directivetype = "function"
    priority = FunctionDocumenter.priority + 10

    @classmethod
    def can_document_member(cls, member: Any, membername: str, isattr: bool,
                            parent: Any) -> bool:
        import numpy as np

        return isinstance(member, np.ufunc)

    def format_args(self, **kwargs: Any) -> str:
        names = _ufunc_parameters(self.object.__name__, self.object.nin)
        inputs = ", ".join(f"{name}: ArrayLike" for name in names)
        return f"({inputs}, /, out=None, *, where=True, ...)"

    def format_signature(self, **kwargs: Any) -> str:
        return self.format_args() + " -> numpy.ndarray | numpy.float64"

    def get_doc(self) -> list[list[str]]:
        name = self.object.__name__
        if self.objpath and self.objpath[-1] != name:
            # A second name of the same ufunc object (the English names).
            return [[f"The same ufunc object as :func:`{name}`, under a second name.", ""]]
        lines = (self.object.__doc__ or "").splitlines()
        # The first line is NumPy's generic signature; format_args gives it
        # with the parameters' names.
        if lines and lines[0].startswith(self.object.__name__ + "("):
            lines = lines[1:]
        return [[line.rstrip() for line in lines]]


def _strahlkit_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any,
                         lines: list[str]) -> None:
    """A Strahlkit function's docstring is lines of Python: show it as code."""
    if not name.startswith("klimora.Strahlkit.") or what != "function" or not lines:
        return
    code = [line for line in lines]
    while code and not code[0].strip():
        code.pop(0)
    while code and not code[-1].strip():
        code.pop()
    if not code:
        lines[:] = []
        return
    indent = min(len(line) - len(line.lstrip()) for line in code if line.strip())
    lines[:] = ["The docstring the function carries:", "", ".. code-block:: python",
                "   :class: klimora-wrap", ""] + \
        ["   " + line[indent:] if line.strip() else "" for line in code] + [""]


# -- math as MathML -----------------------------------------------------------


def _mathml(tex: str, block: bool) -> str:
    return latex2mathml.tex2mathml(tex, as_block=block)


def _visit_inline_math(self: Any, node: nodes.Node) -> None:
    self.body.append(f'<span class="math">{_mathml(node.astext(), False)}</span>')
    raise nodes.SkipNode


def _visit_block_math(self: Any, node: nodes.Node) -> None:
    if node.get("label"):
        self.body.append(f'<span class="eqno">({node["number"]})</span>')
    self.body.append(f'<div class="math">{_mathml(node.astext(), True)}</div>')
    raise nodes.SkipNode


# -- optional pages -----------------------------------------------------------


def _drop_absent_pages(app: Sphinx, docname: str, source: list[str]) -> None:
    """Drop toctree lines naming optional pages that are absent."""
    absent = [name for name, present in app.config.klimora_optional_pages.items()
              if not present]
    if not absent:
        return
    here = posixpath.dirname(docname)
    names = {posixpath.relpath(name, here or ".") for name in absent} | set(absent) | \
        {"/" + name for name in absent}
    kept = [line for line in source[0].split("\n") if line.strip() not in names]
    source[0] = "\n".join(kept)


# -- names in tables that may break -------------------------------------------

#: Where a name in a table's code may break: after ``_``, after ``-``, ``.`` or
#: ``/`` before a letter (not within a number), and between a small letter
#: and a capital (``MaxDirekte|Strahlung``); never at its end.
_NAME_BREAKS = re.compile(r"(?<=_)(?=.)|(?<=[-./])(?=[A-Za-z])|(?<=[a-z])(?=[A-Z])")


def _breakable_table_code(app: Sphinx, doctree: nodes.document, docname: str) -> None:
    """A ``<wbr>`` between the parts of each name in a table's code: the
    browser may break the line there, and a copied name stays whole."""
    if app.builder.format != "html":
        return
    for table in doctree.findall(nodes.table):
        for literal in list(table.findall(nodes.literal)):
            for text in list(literal.findall(nodes.Text)):
                parts = _NAME_BREAKS.split(str(text))
                if len(parts) < 2:
                    continue
                pieces: list[nodes.Node] = [nodes.Text(parts[0])]
                for part in parts[1:]:
                    pieces += [nodes.raw("", "<wbr>", format="html"), nodes.Text(part)]
                text.parent.replace(text, pieces)


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_config_value("klimora_optional_pages", {}, "env")
    app.add_directive("klimora-quantities", QuantitiesTable)
    app.add_directive("klimora-assumptions", AssumptionsList)
    app.add_directive("klimora-surfaces", SurfacesTable)
    app.add_directive("klimora-options", OptionsTable)
    app.add_directive("klimora-constants", ConstantsTable)
    app.setup_extension("sphinx.ext.autodoc")
    app.add_autodocumenter(UfuncDocumenter)
    app.connect("autodoc-process-docstring", _strahlkit_docstring)
    app.connect("source-read", _drop_absent_pages)
    app.connect("doctree-resolved", _breakable_table_code)
    app.add_html_math_renderer("klimora_mathml",
                               (_visit_inline_math, None), (_visit_block_math, None))
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
