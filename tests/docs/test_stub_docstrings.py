"""The reference describes every method: each one in the stubs carries a docstring."""

import ast
import pathlib

STUBS = pathlib.Path(__file__).resolve().parents[2] / "ovaline-stubs" / "__init__.pyi"


def test_every_stub_method_and_class_has_a_docstring():
    described, bare = set(), set()

    def visit(body, prefix):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                name = prefix + node.name
                # Of several overloads, one docstring describes them all.
                (described if ast.get_docstring(node) else bare).add(name)
                if isinstance(node, ast.ClassDef):
                    visit(node.body, name + ".")

    visit(ast.parse(STUBS.read_text()).body, "")
    assert sorted(bare - described) == []
