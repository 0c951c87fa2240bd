"""Sphinx extension: the API reference takes signatures and missing docstrings from the stubs.

The extension module knows its text signatures but not their types, and some of its
methods carry no docstring of their own; ovaline-stubs/__init__.pyi has both. autodoc
still imports the installed module, so the reference lists exactly what it holds, and:

- a function's signature is the stub's, annotations included (a function with several
  overloads keeps the module's own signature, and a property has none);
- an object without a docstring of its own gets the stub's; one with a docstring keeps
  it word for word.
"""

from __future__ import annotations

import ast
import inspect
import pathlib
from dataclasses import dataclass
from typing import Any

from docutils import nodes
from sphinx import addnodes
from sphinx.application import Sphinx


@dataclass
class StubEntry:
    doc: str | None
    signature: str | None = None
    returns: str | None = None
    is_class: bool = False


def _signature(node: ast.FunctionDef) -> tuple[str, str | None]:
    args = node.args
    # The first parameter of a method or class method is the instance or the class.
    if args.posonlyargs:
        args.posonlyargs = args.posonlyargs[1:]
    elif args.args and args.args[0].arg in ("self", "cls"):
        args.args = args.args[1:]
    returns = ast.unparse(node.returns) if node.returns is not None else None
    return f"({ast.unparse(args)})", returns


def read_stubs(path: pathlib.Path) -> dict[str, StubEntry]:
    """Every class and function of the stub file by its dotted name below the module."""
    found: dict[str, StubEntry] = {}
    overloaded: set[str] = set()

    def visit(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, ast.ClassDef):
                name = prefix + node.name
                found[name] = StubEntry(ast.get_docstring(node), is_class=True)
                visit(node.body, name + ".")
            elif isinstance(node, ast.FunctionDef):
                name = prefix + node.name
                decorators = {ast.unparse(d) for d in node.decorator_list}
                if "overload" in decorators:
                    overloaded.add(name)
                    continue
                signature, returns = _signature(node)
                found[name] = StubEntry(ast.get_docstring(node), signature, returns)

    visit(ast.parse(path.read_text()).body, "")
    for name in overloaded:
        found[name] = StubEntry(found[name].doc if name in found else None)
    # A class's signature is that of its __new__ in the stubs.
    for name, entry in list(found.items()):
        new = found.get(name + ".__new__")
        if new is not None and new.signature is not None:
            entry.signature, entry.returns = new.signature, None
    return found


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_config_value("stubdocs_stub", "", "env")
    stubs: dict[str, StubEntry] = {}

    def load(app: Sphinx) -> None:
        stubs.update(read_stubs(pathlib.Path(app.config.stubdocs_stub)))

    def entry(name: str) -> StubEntry | None:
        module, _, rest = name.partition(".")
        return stubs.get(rest) if module == "ovaline" else None

    def docstring(
        app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]
    ) -> None:
        found = entry(name)
        own = getattr(obj, "__doc__", None) if what != "attribute" else None
        if found is not None and found.doc and not (own and own.strip()) and not lines:
            lines[:] = inspect.cleandoc(found.doc).splitlines()

    def signature(
        app: Sphinx,
        what: str,
        name: str,
        obj: Any,
        options: Any,
        signature: str | None,
        return_annotation: str | None,
    ) -> tuple[str | None, str | None] | None:
        found = entry(name)
        # A property's signature is autodoc's own business: it has no parameters.
        if found is None or found.signature is None or not callable(obj):
            return None
        return found.signature, found.returns

    def unlink_lookalikes(app: Sphinx, doctree: nodes.document, docname: str) -> None:
        # A type in a signature may only link to a class: "bytes" in "-> bytes" would
        # otherwise be taken for the attribute PyFs.Usage.bytes.
        classes = {"ovaline." + name for name, found in stubs.items() if found.is_class}
        for ref in list(doctree.findall(nodes.reference)):
            target = ref.get("refid") or ref.get("refuri", "").partition("#")[2]
            inside = ref.parent
            while inside is not None and not isinstance(inside, addnodes.desc_signature):
                inside = inside.parent
            if inside is not None and target.startswith("ovaline.") and target not in classes:
                ref.replace_self(ref.children)

    app.connect("doctree-resolved", unlink_lookalikes)
    app.connect("builder-inited", load)
    app.connect("autodoc-process-docstring", docstring)
    app.connect("autodoc-process-signature", signature)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
