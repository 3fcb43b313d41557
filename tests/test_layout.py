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


def folder(module: str) -> str:
    """The folder a module lies in: "cli", "grid", "iotools", or "klimora"
    for the top-level modules (the package's own __init__ among them);
    ``python -m klimora`` (__main__) is the command line's."""
    parts = module.split(".")
    if module == "klimora.__main__":
        return "cli"
    return parts[1] if len(parts) > 2 or (len(parts) == 2 and
                                          (PACKAGE / parts[1]).is_dir()) else "klimora"


def cycle(graph: dict[str, set[str]]) -> list[str]:
    """A cycle of ``graph`` as the nodes along it, [] if there is none."""
    state: dict[str, int] = {}
    path: list[str] = []

    def visit(node: str) -> list[str]:
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (found := visit(nxt)):
                return found
        state[node] = 2
        path.pop()
        return []

    for node in sorted(graph):
        if node not in state and (found := visit(node)):
            return found
    return []


def folder_graph(graph: dict[str, tuple[set[str], list[str]]]) -> dict[str, set[str]]:
    edges: dict[str, set[str]] = {}
    for a, (found, _) in graph.items():
        for b in found:
            if folder(a) != folder(b):
                edges.setdefault(folder(a), set()).add(folder(b))
    return edges


def test_no_two_folders_import_each_other_even_round_about():
    """The folders import one way, down:

        cli  ->  grid  ->  iotools  ->  klimora's top-level modules  ->  errors

    The command line (``cli``, ``klimora grid``'s command among it) parses
    options and reports errors; the grid and the readers of files
    (``iotools``) run and feed the chain; the top-level modules are the
    chain.  An error shared across folders lives in :mod:`klimora.errors`,
    which imports nothing of klimora, so that no folder has to reach up to
    the command line for it.  A lower floor may skip floors but never import
    a higher one: the folders' graph has no cycle."""
    assert cycle(folder_graph(GRAPH)) == []
    assert GRAPH["klimora.errors"][0] == set()


@pytest.mark.parametrize("graph, loop", [
    ({"klimora.cli.a": ({"klimora.grid.b"}, []), "klimora.grid.b": ({"klimora.x"}, []),
      "klimora.x": ({"klimora.cli.c"}, [])}, True),
    ({"klimora.cli.a": ({"klimora.grid.b"}, []), "klimora.grid.b": ({"klimora.iotools.c"}, []),
      "klimora.iotools.c": ({"klimora.x"}, [])}, False),
    ({"klimora.grid.a": ({"klimora.grid.b"}, []), "klimora.grid.b": ({"klimora.grid.a"}, [])},
     False),
])
def test_a_loop_between_folders_is_found(graph, loop):
    assert bool(cycle(folder_graph(graph))) == loop
