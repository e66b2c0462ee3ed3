// A module for test_errors.py: run_finally around a body that ends the way the test asks.
#include "call.hpp"
#include "errors.hpp"

#include <new>
#include <stdexcept>
#include <string_view>

namespace {

using namespace quorvel;

// run_finally(body, cleanup): the body ends as `ending` says ("return", "python error",
// "out of memory", "library error"); the cleanup calls `cleanup()`.
PyObject* run_finally_ending(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "run_finally_ending(ending: str, cleanup)");
        return nullptr;
    }
    bool ok = run_at_boundary([&] {
        std::string_view ending = PyUnicode_AsUTF8(args[0]);
        run_finally(
            [&] {
                if (ending == "python error") raise(PyExc_ValueError, "the body failed");
                if (ending == "out of memory") throw std::bad_alloc();
                if (ending == "library error") throw std::runtime_error("the library failed");
            },
            [&] { call(args[1]); });
    });
    return ok ? Py_NewRef(Py_None) : nullptr;
}

PyMethodDef functions[] = {
    {"run_finally_ending", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_finally_ending)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "errors_probe", nullptr, -1, functions,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_errors_probe() { return PyModule_Create(&definition); }
