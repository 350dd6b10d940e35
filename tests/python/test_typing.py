"""The installed stubs describe the built modules: same names, same documentation."""

import ast
import enum
import importlib.util
from pathlib import Path

import pytest

import tarnwick
import virtual_slave
from virtual_slave import brisel

SITE = Path(tarnwick.__file__).parent
PACKAGE = Path(virtual_slave.__file__).parent
USAGE = Path(__file__).parent / "typing" / "usage.py"


def parse(path):
    return ast.parse(path.read_text(encoding="utf-8"))


def top_level(tree):
    """Names a stub defines at module level: classes, functions, annotated names."""
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    names[target.id] = node
    return names


def class_members(node):
    return set(top_level(node))


def public(names):
    return {n for n in names if not n.startswith("_")}


TARNWICK_STUB = parse(SITE / "tarnwick.pyi")
BRISEL_STUB = parse(PACKAGE / "brisel.pyi")


def test_stubs_are_installed_where_type_checkers_look():
    # next to the module for editors, as a stub-only package for mypy
    stub = (SITE / "tarnwick.pyi").read_text(encoding="utf-8")
    assert (SITE / "tarnwick-stubs" / "__init__.pyi").read_text(encoding="utf-8") == stub
    assert (PACKAGE / "py.typed").is_file()


@pytest.mark.parametrize(
    "module, tree",
    [(tarnwick, TARNWICK_STUB), (brisel, BRISEL_STUB)],
    ids=["tarnwick", "brisel"],
)
def test_stub_names_match_the_module(module, tree):
    runtime = {n for n in vars(module) if not n.startswith("__")}
    stubbed = set(top_level(tree)) - {"__version__"}
    assert public(runtime) - stubbed == set(), "missing from the stub"
    assert stubbed - runtime == set(), "stubbed but not in the module"


def stub_bases(tree, node):
    """The stub class and its stub base classes, nearest first."""
    classes = top_level(tree)
    chain = [node]
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            chain += stub_bases(tree, classes[base.id])
    return chain


TARNWICK_CLASSES = sorted(
    n for n, v in vars(tarnwick).items() if isinstance(v, type) and not n.startswith("_")
)


@pytest.mark.parametrize("name", TARNWICK_CLASSES)
def test_stub_class_members_match_the_class(name):
    cls = getattr(tarnwick, name)
    node = top_level(TARNWICK_STUB)[name]
    own = {n for n in vars(cls) if not n.startswith("_")}
    if issubclass(cls, enum.Enum):
        own |= set(cls.__members__)
    inherited_in_stub = set().union(*(class_members(c) for c in stub_bases(TARNWICK_STUB, node)))
    assert own - inherited_in_stub == set(), "missing from the stub"
    # Declarations without a value are instance attributes (State.context) or
    # annotations the class only declares (State.id); the rest must exist on the class.
    declared_only = {
        n.target.id for n in node.body if isinstance(n, ast.AnnAssign) and n.value is None
    }
    stubbed = public(class_members(node)) - declared_only
    assert {n for n in stubbed if not hasattr(cls, n)} == set(), "stubbed but not in the class"


def stub_docstring(node):
    return ast.get_docstring(node, clean=False)


@pytest.mark.parametrize(
    "name", sorted(n for n, v in vars(brisel).items() if callable(v) and not isinstance(v, type))
)
def test_hand_kept_brisel_stub_follows_the_functions(name):
    function = getattr(brisel, name)
    node = top_level(BRISEL_STUB)[name]
    assert isinstance(node, ast.FunctionDef)
    assert stub_docstring(node) == function.__doc__
    parameters = [a.arg for a in node.args.args]
    annotated = [p for p in function.__annotations__ if p != "return"]
    assert annotated == [p for p in parameters if p in annotated]
    assert set(annotated) <= set(parameters)
    if "return" in function.__annotations__:
        assert ast.unparse(node.returns) == function.__annotations__["return"]


def test_brisel_stub_enumeration_matches():
    node = top_level(BRISEL_STUB)["FSOEState"]
    values = {
        n.targets[0].id: ast.literal_eval(n.value) for n in node.body if isinstance(n, ast.Assign)
    }
    assert values == {m.name: m.value for m in brisel.FSOEState}


def test_typed_usage_runs():
    module_spec = importlib.util.spec_from_file_location("typed_usage", USAGE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    module.main()  # it asserts what its annotations promise


def test_brisel_stub_device_class_follows_the_class():
    node = top_level(BRISEL_STUB)["_VirtualSlave"]
    cls = brisel._VirtualSlave
    stubbed = {}
    for n in node.body:  # a property's getter, not its setter, carries the text
        if isinstance(n, ast.FunctionDef):
            stubbed.setdefault(n.name, n)
    assert public(stubbed) == public(vars(cls))
    for name in public(stubbed):
        doc = getattr(cls, name).__doc__
        if doc.startswith(name + "("):  # a method's: its signature comes first
            doc = doc.split("\n\n", 1)[1]
        assert stub_docstring(stubbed[name]) == doc, name
