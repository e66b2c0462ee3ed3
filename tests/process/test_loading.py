"""Loading rules shared by both extension modules: one module object, one execution, one interpreter."""

import ctypes
import importlib
import subprocess
import sys
import textwrap
import types

import pytest

MODULES = {"quorvel.modules.matcher.matcher": "matcher", "quorvel.modules.ticker.ticker": "ticker"}


@pytest.fixture(params=list(MODULES))
def module_name(request):
    importlib.import_module(request.param)
    return request.param


def test_second_import_returns_the_same_module_object(module_name, monkeypatch):
    first = sys.modules[module_name]
    monkeypatch.delitem(sys.modules, module_name)
    assert importlib.import_module(module_name) is first


def test_executing_another_module_object_is_refused(module_name):
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    module_def = api.PyModule_GetDef(sys.modules[module_name])
    short = MODULES[module_name]
    with pytest.raises(RuntimeError) as raised:
        api.PyModule_ExecDef(types.ModuleType("other"), module_def)
    assert str(raised.value) == f"Module '{short}' has already been imported. Re-initialisation is not supported."


def test_sub_interpreter_is_refused(module_name):
    code = textwrap.dedent(f"""
        import _testcapi, os, tempfile
        import {module_name}
        path = os.path.join(tempfile.mkdtemp(), "out")
        _testcapi.run_in_subinterp(
            "try:\\n"
            "    import {module_name}\\n"
            "    text = 'imported'\\n"
            "except ImportError as e:\\n"
            "    text = str(e)\\n"
            f"open({{path!r}}, 'w').write(text)\\n")
        print(open(path).read())
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ("Interpreter change detected - this module can only be loaded into one "
                                     "interpreter per process.")


def test_first_execution_registers_the_module(module_name):
    # The loader recipe that leaves sys.modules alone: the module enters it by itself.
    code = textwrap.dedent(f"""
        import importlib.util, sys
        spec = importlib.util.find_spec("{module_name}")
        module = importlib.util.module_from_spec(spec)
        assert "{module_name}" not in sys.modules
        spec.loader.exec_module(module)
        print(sys.modules["{module_name}"] is module)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout.strip()) == (0, "True"), result.stderr
