"""The shape of the package: its public surface, its one engine boundary, no import cycles, no reads of
another module's private names, and the README's rule table from the rules' own table."""

import ast
from pathlib import Path

import pytest

import korvel

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "korvel"
MODULES = {
    ".".join(path.relative_to(PACKAGE.parent).with_suffix("").parts).removesuffix(".__init__"): path
    for path in PACKAGE.rglob("*.py")
    if "core" not in path.relative_to(PACKAGE).parts[:1]
}
TREES = {name: ast.parse(path.read_text(), str(path)) for name, path in MODULES.items()}


def test_the_public_surface_is_exactly_the_users_names():
    assert korvel.__all__ == [
        "Market",
        "backtest",
        "Result",
        "RULES",
        "sweep",
        "grid",
        "Sweep",
        "walk_forward",
        "WalkForward",
        "check_lookahead",
        "KorvelWarning",
        "__version__",
    ]
    for name in korvel.__all__:
        assert getattr(korvel, name) is not None
    # What type checkers see is what the table resolves to.
    block = next(n for n in TREES["korvel"].body if isinstance(n, ast.If) and "TYPE_CHECKING" in ast.unparse(n.test))
    seen = {alias.asname: node.module for node in block.body for alias in node.names}
    assert seen == korvel.PUBLIC
    from korvel.executors import Processes

    assert Processes.__module__ == "korvel.sweeps.backends._processes"


def _imports(tree, *, top_level_only):
    """(module imported, line) pairs; with `top_level_only`, those run when the module is imported."""
    nodes = tree.body if top_level_only else list(ast.walk(tree))
    for node in nodes:
        if isinstance(node, ast.If) and top_level_only:
            continue  # TYPE_CHECKING blocks
        if isinstance(node, ast.Import):
            yield from ((alias.name, node.lineno) for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            yield node.module, node.lineno
            yield from ((f"{node.module}.{alias.name}", node.lineno) for alias in node.names)


def test_only_the_engine_boundary_imports_the_core():
    importers = {
        name
        for name, tree in TREES.items()
        for module, _ in _imports(tree, top_level_only=False)
        if module.startswith("korvel.core")
    }
    assert importers == {"korvel._engine"}


def test_internal_modules_carry_no_all():
    internal = [
        name
        for name in MODULES
        if any(part.startswith("_") and part != "__init__" for part in name.split(".")) or name.count(".") > 1
    ]
    assert internal
    for name in internal:
        assert not any(
            isinstance(n, ast.Assign) and any(getattr(t, "id", "") == "__all__" for t in n.targets)
            for n in TREES[name].body
        ), name


def test_no_import_cycle_at_run_time():
    graph = {
        name: {m for m, _ in _imports(tree, top_level_only=True) if m in MODULES and m != name}
        for name, tree in TREES.items()
    }
    for name in MODULES:  # a submodule's import runs its packages' __init__ first (unless that imports it)
        parent = name.rpartition(".")[0]
        if parent in MODULES and name not in graph[parent]:
            graph[name].add(parent)
    done, active = set(), []

    def visit(name):
        if name in active:
            pytest.fail("import cycle: " + " -> ".join(active[active.index(name) :] + [name]))
        if name in done:
            return
        active.append(name)
        for other in graph[name]:
            visit(other)
        active.pop()
        done.add(name)

    for name in MODULES:
        visit(name)


def test_no_module_reads_another_modules_private_names():
    for name, tree in TREES.items():
        own = {
            n.attr
            for n in ast.walk(tree)
            if isinstance(n, ast.Attribute)
            and isinstance(n.value, ast.Name)
            and n.value.id in ("self", "cls", "market")
            and isinstance(n.ctx, ast.Store)
        }
        own |= {n.name for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
        for node in ast.walk(tree):
            if (
                isinstance(node, ast.Attribute)
                and node.attr.startswith("_")
                and not node.attr.startswith("__")
                and not (isinstance(node.value, ast.Name) and node.value.id in ("self", "cls"))
            ):
                assert node.attr in own, f"{name}:{node.lineno} reads {ast.unparse(node)}"


def test_the_readmes_rule_table_is_the_rules_table():
    from korvel.simulation._rules import TABLE, rules_markdown

    readme = (ROOT / "README.md").read_text()
    assert rules_markdown() in readme
    # korvel.backtest takes the table's rules, in its order, with its defaults.
    import inspect

    params = list(inspect.signature(korvel.backtest).parameters.values())[2:]
    assert [(p.name, p.default) for p in params] == [(rule.name, rule.default) for rule in TABLE]
    assert set(korvel.RULES) == {rule.name for rule in TABLE} and len(TABLE) == 37
