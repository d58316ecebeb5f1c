"""The checked-in type stubs are what nanobind's stub generator makes of the
compiled modules, cover each module's own names, and ship with the package.

Under `make test` the modules come from the installed package, with
PYTHONPATH=src from the working tree; the stubs compared are the checked-in
ones in src/ either way.
"""
import ast
import difflib
import importlib
import importlib.machinery
import inspect
from pathlib import Path

import pytest

import telvar
from tools import stubs

REGENERATE = "rewrite the stubs from a development build with `make stubs`"


def _checked_in(module_name):
    path = stubs.ROOT / stubs.STUBS[module_name]
    return path.read_text(encoding="utf-8") if path.exists() else ""


def _stub_names(text):
    names = set()
    for node in ast.parse(text).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
    return names


def _public_own_names(module):
    names = set()
    for name, value in vars(module).items():
        if name.startswith("_") or inspect.ismodule(value):
            continue
        if callable(value):
            if getattr(value, "__module__", None) == module.__name__:
                names.add(name)
        elif type(value).__module__ == "builtins":
            names.add(name)
    return names


@pytest.mark.parametrize("module_name", sorted(stubs.STUBS))
class TestStub:
    def test_checked_in_stub_is_what_the_generator_makes(self, module_name):
        rel = stubs.STUBS[module_name]
        checked_in, generated = _checked_in(module_name), stubs.generate(module_name)
        if generated != checked_in:
            diff = "".join(difflib.unified_diff(checked_in.splitlines(True), generated.splitlines(True),
                                                "%s (checked in)" % rel, "%s (generated)" % rel))
            pytest.fail("%s is out of date; %s.\n%s" % (rel, REGENERATE, diff), pytrace=False)

    def test_stub_names_the_modules_own_public_names_only(self, module_name):
        module = importlib.import_module(module_name)
        assert _stub_names(_checked_in(module_name)) == _public_own_names(module)

    def test_stub_imports_resolve(self, module_name):
        tree = ast.parse(_checked_in(module_name))
        for node in tree.body:
            if isinstance(node, ast.Import):
                for alias in node.names:
                    importlib.import_module(alias.name)
            elif isinstance(node, ast.ImportFrom):
                source = importlib.import_module(node.module)
                for alias in node.names:
                    assert hasattr(source, alias.name), "%s.%s" % (node.module, alias.name)

    def test_stub_lies_next_to_the_imported_module(self, module_name):
        module = importlib.import_module(module_name)
        beside = Path(module.__file__).with_name(module_name.rsplit(".", 1)[-1] + ".pyi")
        assert beside.is_file(), "%s has no stub next to it: is it installed with the package?" % module_name
        assert beside.read_text(encoding="utf-8") == _checked_in(module_name)


def test_every_compiled_module_has_a_stub_and_the_package_is_marked_typed():
    package = Path(telvar.__file__).parent
    compiled = set()
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        for path in package.rglob("*" + suffix):
            # a module's name ends at the first dot of its file name (_regora.cpython-311-...so)
            parts = path.relative_to(package.parent).with_name(path.name.split(".")[0]).parts
            compiled.add(".".join(parts))
    assert compiled == set(stubs.STUBS), (
        "every compiled module of the package needs a stub listed in tools/stubs.py (a test-only "
        "module an older development build left in src/ goes with the next `make dev`)")
    assert (package / "py.typed").is_file()


def test_imported_framework_names_are_left_out():
    from telvar.api.regora import _regora

    left_out = stubs.imported_names(_regora)
    assert {"np", "cnt", "text", "tvcmd", "numkern", "OrderedDict", "get_trading_days"} <= set(left_out)
    assert not {"reg_k_data", "SYNTHETIC_MATRIX_DIR"} & set(left_out)
