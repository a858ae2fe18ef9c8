"""The host package reads as layers: a module imports only from its own layer
or below, and no chain of imports (lazy ones inside functions included) comes
back to where it started."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "talvek"

# Lowest first. A subpackage's modules take its rank unless listed by their own name.
LAYERS = (
    ("binding", "_version", "models"),                       # the library and the model table
    ("api", "venue", "columns"),                             # the session, venue and column files
    ("analysis", "room", "system"),                          # prediction, the room, several columns
    ("design", "export", "outputs"),                         # design and what it writes
    ("figures", "report", "editor", "cli", "preload", "__main__", "__init__"),  # presentation
)
RANK = {name: rank for rank, names in enumerate(LAYERS) for name in names}


def module_name(path: Path, root: Path = PACKAGE) -> str:
    parts = path.relative_to(root).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" and len(parts) > 1 else parts)


def rank_of(module: str) -> int:
    head = module.split(".")[0]
    if module in RANK:
        return RANK[module]
    if head not in RANK:
        raise KeyError(f"module talvek.{module} has no layer: add it to LAYERS")
    return RANK[head]


def package_imports(path: Path, module: str, root: Path = PACKAGE) -> set[str]:
    """Modules of the package that ``path`` imports, at any depth of its code."""
    here = module.split(".") if path.name == "__init__.py" else module.split(".")[:-1]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = here[:len(here) - node.level + 1]
            target = ".".join(base + ([node.module] if node.module else []))
            names = [target] if node.module else [".".join(base + [a.name]) for a in node.names]
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("talvek."):
            names = [node.module[len("talvek."):]]
        elif isinstance(node, ast.Import):
            names = [a.name[len("talvek."):] for a in node.names if a.name.startswith("talvek.")]
        else:
            continue
        for name in names:
            # "from .figures import coverage" names a module; "from .api import Talvek" a name in one.
            while name and not ((root / Path(*name.split("."))).with_suffix(".py").exists()
                                or (root / Path(*name.split(".")) / "__init__.py").exists()):
                name = name.rpartition(".")[0]
            if name and name != module:
                found.add(name)
    return found


def import_graph(root: Path = PACKAGE) -> dict[str, set[str]]:
    return {module_name(p, root): package_imports(p, module_name(p, root), root)
            for p in sorted(root.rglob("*.py"))}


def upward_imports(graph) -> list[str]:
    return [f"talvek.{m} imports talvek.{t}, a layer above it"
            for m, targets in graph.items() for t in sorted(targets)
            if m != "__init__" and rank_of(t) > rank_of(m)]


def cycles(graph) -> list[list[str]]:
    """Every import cycle, each as the list of modules around it (Tarjan's components)."""
    index, low, stack, on_stack, out = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1 or v in graph.get(v, ()):
                out.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def test_every_module_has_a_layer_and_imports_none_above_it():
    graph = import_graph()
    for module in graph:
        rank_of(module)  # raises for a module no layer names
    assert upward_imports(graph) == []


def test_the_package_has_no_import_cycle():
    assert cycles(import_graph()) == []


@pytest.mark.parametrize("lazy", [False, True])
def test_the_rules_catch_an_added_cycle_and_an_upward_import(tmp_path, lazy):
    pkg = tmp_path / "talvek"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "binding.py").write_text("")
    (pkg / "venue.py").write_text("from .binding import x\n")
    indent = "def later():\n    " if lazy else ""
    (pkg / "api.py").write_text(f"{indent}from .export import voice\n")
    (pkg / "export.py").write_text("from . import api\nfrom talvek.venue import Venue\n")
    graph = import_graph(pkg)
    assert cycles(graph) == [["api", "export"]]
    assert upward_imports(graph) == ["talvek.api imports talvek.export, a layer above it"]
