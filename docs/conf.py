"""Sphinx configuration: the reference is read from the installed module and its stubs."""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

import ovaline  # noqa: E402  (the installed extension, never a copy of the sources)

project = "ovaline"
author = "ovaline developers"
copyright = "ovaline developers, MIT licence"
release = ovaline.__version__
version = release

extensions = ["sphinx.ext.autodoc", "stubdocs"]
# The stubs' signatures carry the annotations; autodoc shows them as written there.
autodoc_typehints = "signature"
# An extension module has no source for "bysource" to read: methods, then attributes,
# then nested classes, each group in name order.
autodoc_member_order = "groupwise"
# fsspec's own docstrings are numpydoc, which plain reStructuredText reads as stray
# section titles: OvalineFileSystem's overrides are described by its class docstring.
autodoc_inherit_docstrings = False
stubdocs_stub = str(HERE.parent / "ovaline-stubs" / "__init__.pyi")

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_title = f"ovaline {release}"
html_theme_options = {
    "description": "An in-memory filesystem, a terminal and real shell sessions for Python",
    "fixed_sidebar": True,
    # Wide enough for the examples, whose comments run to about 95 characters.
    "page_width": "1240px",
    "sidebar_width": "240px",
}
html_static_path: list[str] = []
# Pages carry no "view source" links: the built tree holds only what it links to.
html_show_sourcelink = False
html_copy_source = False
