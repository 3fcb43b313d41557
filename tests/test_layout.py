"""The Python package's layout: modules of a readable size, imports one way
only, and no module reaching into another's private names."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "src" / "klimora"
MODULES = sorted(PACKAGE.rglob("*.py"))


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports(path: Path) -> tuple[set[str], list[str]]:
    """The klimora modules ``path`` imports (at any depth of its code) and
    the private names it takes from them."""
    tree = ast.parse(path.read_text())
    known = {module_name(p) for p in MODULES}
    found, private, aliases = set(), [], {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for a in node.names:
                if a.name.startswith("klimora"):
                    found.add(a.name)
                    aliases[a.asname or a.name] = a.name
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("klimora"):
            for a in node.names:
                whole = f"{node.module}.{a.name}"
                if whole in known:
                    found.add(whole)
                    aliases[a.asname or a.name] = whole
                else:
                    found.add(node.module)
                    if a.name.startswith("_") and not a.name.startswith("__"):
                        private.append(whole)
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and \
                node.value.id in aliases and node.attr.startswith("_") and \
                not node.attr.startswith("__"):
            private.append(f"{aliases[node.value.id]}.{node.attr}")
    return found & known, private


GRAPH = {module_name(p): imports(p) for p in MODULES}


@pytest.mark.parametrize("path", MODULES, ids=lambda p: module_name(p))
def test_no_module_is_over_400_lines(path):
    assert len(path.read_text().splitlines()) <= 400


def test_no_two_modules_import_each_other():
    pairs = sorted({tuple(sorted((a, b))) for a, (found, _) in GRAPH.items() for b in found
                    if a != b and a in GRAPH.get(b, (set(), []))[0]})
    assert pairs == []


def test_no_module_takes_another_modules_private_names():
    taken = {name: private for name, (_, private) in GRAPH.items() if private}
    assert taken == {}
