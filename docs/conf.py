"""Sphinx configuration of klimora's documentation (`make docs`).

The package is imported from the project's venv (installed from src/); the
gallery under docs/gallery/ is run at build time into docs/examples/, and
the API pages are made from the docstrings.  Pages that another part of the
project may or may not hold yet (the glossary, klimora.radiation) are
listed only when they are there.
"""

from __future__ import annotations

import importlib
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

import klimora  # noqa: E402

project = "klimora"
author = "the klimora developers"
copyright = "the klimora developers, MIT licence"
version = release = klimora.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx_gallery.gen_gallery",
    "klimora_docs",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "Thumbs.db", ".DS_Store", "gallery/README.rst",
                    "**/*.ipynb", "examples/*.md5", "examples/*.zip"]


def _module_present(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


#: Pages listed only when what they show is there: docname -> present?
OPTIONAL_PAGES = {
    "glossary": (HERE / "glossary.md").is_file(),
    "api/radiation": _module_present("klimora.radiation"),
}
exclude_patterns += [f"{name}.*" for name, present in OPTIONAL_PAGES.items() if not present]
klimora_optional_pages = OPTIONAL_PAGES

# -- MyST --------------------------------------------------------------------
myst_enable_extensions = ["dollarmath", "colon_fence", "deflist", "attrs_inline"]
myst_heading_anchors = 3
myst_dmath_double_inline = True

# -- autodoc -----------------------------------------------------------------
autodoc_default_options = {"members": True, "member-order": "bysource"}
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
autodoc_preserve_defaults = True
# Annotations are strings (from __future__ import annotations): keep the
# aliases' names rather than their long expansions.
autodoc_type_aliases = {"ArrayLike": "numpy.typing.ArrayLike",
                        "Float64Result": "klimora.radiation.Float64Result"}
autodoc_inherit_docstrings = False
napoleon_google_docstring = False
napoleon_numpy_docstring = True

# -- sphinx-gallery ----------------------------------------------------------
sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "klimora_docs.GalleryOrder",
    "download_all_examples": False,
    "remove_config_comments": True,
    "show_memory": False,
    "min_reported_time": 0,
    # The tables of execution times need jQuery, which Sphinx no longer ships.
    "write_computation_times": False,
    "abort_on_example_error": False,
    # Run every example at every build, so that the figures are those of
    # the package as it is, not of the last time a script changed.
    "run_stale_examples": True,
    "reset_modules": ("matplotlib",),
    "matplotlib_animations": False,
    "image_srcset": [],
    "capture_repr": ("_repr_html_", "__repr__"),
    "ignore_repr_types": r"matplotlib[text, axes]|dict|list|tuple",
}

# -- HTML --------------------------------------------------------------------
html_theme = "furo"
html_title = f"klimora {release}"
html_short_title = "klimora"
html_static_path = ["_static"]
html_css_files = ["klimora.css"]
html_show_sourcelink = False
html_copy_source = False
html_last_updated_fmt = None
html_theme_options = {
    "sidebar_hide_name": False,
    "navigation_with_keys": True,
    "light_css_variables": {
        "color-brand-primary": "#b3541e",
        "color-brand-content": "#9a4418",
    },
    "dark_css_variables": {
        "color-brand-primary": "#f0a05a",
        "color-brand-content": "#f0a05a",
    },
}
html_math_renderer = "klimora_mathml"
pygments_style = "friendly"
pygments_dark_style = "monokai"

# Warnings are errors in `make docs` (sphinx-build -W); keep the build quiet
# about what is no fault of the pages.
suppress_warnings: list[str] = []

os.environ.setdefault("MPLBACKEND", "agg")
