"""The shipped type stubs describe the built extension modules.

Every method of the built class must appear in the stub with the same
parameter names, kinds and defaults, and the stub must not promise methods
the class lacks.  Names with two leading underscores are compared in their
class-private form, as a type checker reads them.
"""

import ast
import importlib.util
import inspect
from pathlib import Path

import pytest

_KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def _mangle(class_name, name):
    if name.startswith("__") and not name.endswith("__"):
        return f"_{class_name}{name}"
    return name


def _stub_signatures(stub_path, class_name):
    """Map method name (function name when class_name is None) to
    [(parameter name, kind, default or empty)] from a stub."""
    tree = ast.parse(stub_path.read_text(encoding="utf-8"))
    body = tree.body
    if class_name is not None:
        [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name]
        body = cls.body
    methods = {}
    for node in body:
        if not isinstance(node, ast.FunctionDef):
            continue
        args = node.args
        params = []
        positional = args.posonlyargs + args.args
        defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
        defaults += [ast.literal_eval(d) for d in args.defaults]
        for arg, default in zip(positional, defaults):
            kind = _KINDS["posonlyargs" if arg in args.posonlyargs else "args"]
            params.append((arg.arg, kind, default))
        if args.vararg:
            params.append(
                (args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty)
            )
        for arg, default in zip(args.kwonlyargs, args.kw_defaults):
            value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
            params.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, value))
        if args.kwarg:
            params.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
        methods[_mangle(class_name, node.name)] = params
    return methods


def _built_signatures(cls):
    return {
        name: [(p.name, p.kind, p.default) for p in inspect.signature(func).parameters.values()]
        for name, func in vars(cls).items()
        if callable(func)
    }


def _load(module_name):
    """Import a built module and find its stub; skip when it is not built yet."""
    module = pytest.importorskip(module_name)
    return module, Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")


STUBS = [
    ("quorvel.modules.matcher.matcher", "Matcher"),
    ("quorvel.modules.ticker.ticker", "Ticker"),
]


@pytest.mark.parametrize("module_name, class_name", STUBS)
class TestStubsMatchBuiltModules:
    def test_stub_is_installed_beside_the_module(self, module_name, class_name):
        module, stub = _load(module_name)
        assert stub.is_file(), f"{stub} is not installed"

    def test_same_methods_parameters_and_defaults(self, module_name, class_name):
        module, stub = _load(module_name)
        stubbed = _stub_signatures(stub, class_name)
        built = _built_signatures(getattr(module, class_name))
        assert sorted(stubbed) == sorted(built)
        for name, params in built.items():
            assert stubbed[name] == params, name

    def test_stub_declares_every_instance_attribute(self, module_name, class_name):
        module, stub = _load(module_name)
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name]
        declared = {n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)}
        instance = _make_instance(getattr(module, class_name))
        assert declared == set(vars(instance))


def test_feed_door_stub_matches_its_functions():
    module, stub = _load("quorvel.modules.ticker.feed")
    built = {
        name: [(p.name, p.kind, p.default) for p in inspect.signature(func).parameters.values()]
        for name, func in vars(module).items()
        if inspect.isbuiltin(func)
    }
    assert _stub_signatures(stub, None) == built and sorted(built) == ["load", "observe", "stop"]


def _make_instance(cls):
    # The ticker's constructor creates the data directory, which the root
    # conftest keeps temporary; the matcher starts its daemon intake thread,
    # which is harmless.
    return cls(None) if cls.__name__ == "Ticker" else cls()


def test_package_is_marked_typed():
    spec = importlib.util.find_spec("quorvel")
    assert (Path(spec.origin).parent / "py.typed").is_file()
