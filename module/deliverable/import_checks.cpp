// The import-time checks of the interpreter and of numpy.
#include "module/deliverable/import_checks.h"

#include <cstdio>
#include <cstring>

#include "module/deliverable/module_state.h"
#include "platform/python.h"

namespace cellprox {

namespace {

const char* const NUMPY_IMPORT_ERROR =
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to disable "
    "if you are certain you don't need it).";

// Slots of numpy's 1.x C-API table that the import check calls.
constexpr int API_NDARRAY_C_VERSION = 0;
constexpr int API_ENDIANNESS = 210;
constexpr int API_FEATURE_VERSION = 211;
constexpr unsigned NUMPY_1_ABI_VERSION = 0x01000009;
constexpr unsigned MIN_FEATURE_VERSION = 13;
constexpr int NUMPY_LITTLE_ENDIAN = 1;

// numpy's documented array-API import, with the checks this module relies on: the 1.x ABI and
// a feature version of at least 13, whatever headers numpy itself was built with.
bool numpy_c_api_usable() {
    PyObject* multiarray = PyImport_ImportModule("numpy.core._multiarray_umath");
    if (multiarray == nullptr) return false;
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (capsule == nullptr) return false;
    void** api = nullptr;
    if (PyCapsule_CheckExact(capsule)) api = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);
    if (api == nullptr) return false;
    using VersionQuery = unsigned (*)();
    using EndianQuery = int (*)();
    if (reinterpret_cast<VersionQuery>(api[API_NDARRAY_C_VERSION])() != NUMPY_1_ABI_VERSION) return false;
    if (reinterpret_cast<VersionQuery>(api[API_FEATURE_VERSION])() < MIN_FEATURE_VERSION) return false;
    return reinterpret_cast<EndianQuery>(api[API_ENDIANNESS])() == NUMPY_LITTLE_ENDIAN;
}

enum class SizePolicy { Warn, Ignore };

struct ExpectedType {
    const char* name;
    Py_ssize_t size;
    SizePolicy policy;
};

// Sizes of the CPython 3.11 and numpy 1.x structures on 64-bit platforms.
const ExpectedType NUMPY_TYPES[] = {
    {"dtype", 96, SizePolicy::Ignore},          {"flatiter", 2632, SizePolicy::Ignore},
    {"broadcast", 560, SizePolicy::Ignore},     {"ndarray", 80, SizePolicy::Ignore},
    {"generic", 16, SizePolicy::Warn},          {"number", 16, SizePolicy::Warn},
    {"integer", 16, SizePolicy::Warn},          {"signedinteger", 16, SizePolicy::Warn},
    {"unsignedinteger", 16, SizePolicy::Warn},  {"inexact", 16, SizePolicy::Warn},
    {"floating", 16, SizePolicy::Warn},         {"complexfloating", 16, SizePolicy::Warn},
    {"flexible", 16, SizePolicy::Warn},         {"character", 16, SizePolicy::Warn},
    {"ufunc", 216, SizePolicy::Ignore},
};

// Fetches module_name.type_name and checks that it is a type at least as large as expected.
PyTypeObject* import_type(PyObject* module, const char* module_name, const ExpectedType& expected) {
    PyObject* object = PyObject_GetAttrString(module, expected.name);
    if (object == nullptr) return nullptr;
    if (!PyType_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name,
                     expected.name);
        Py_DECREF(object);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(object);
    const Py_ssize_t basic = type->tp_basicsize;
    Py_ssize_t item = type->tp_itemsize;
    if (item > 0 && item < static_cast<Py_ssize_t>(sizeof(void*))) item = sizeof(void*);
    if (basic + item < expected.size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected "
                     "%zd from C header, got %zd from PyObject",
                     module_name, expected.name, expected.size, basic + item);
        Py_DECREF(object);
        return nullptr;
    }
    if (expected.policy == SizePolicy::Warn && basic > expected.size) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                             "%s.%s size changed, may indicate binary incompatibility. Expected "
                             "%zd from C header, got %zd from PyObject",
                             module_name, expected.name, expected.size, basic) < 0) {
            Py_DECREF(object);
            return nullptr;
        }
    }
    return type;
}

}  // namespace

int check_interpreter_version() {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, CELLPROX_MODULE_NAME,
                            "does not match", major, minor);
}

int import_numpy_c_api() {
    if (numpy_c_api_usable()) return 0;
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, NUMPY_IMPORT_ERROR);
    return -1;
}

int import_types() {
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return -1;
    PyTypeObject* type = import_type(builtins, "builtins", {"type", 904, SizePolicy::Warn});
    Py_DECREF(builtins);
    if (type == nullptr) return -1;
    Py_DECREF(type);

    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return -1;
    for (const ExpectedType& expected : NUMPY_TYPES) {
        type = import_type(numpy, "numpy", expected);
        if (type == nullptr) {
            Py_DECREF(numpy);
            return -1;
        }
        if (std::strcmp(expected.name, "ndarray") == 0) {
            Py_XSETREF(state.ndarray_type, type);
        } else {
            Py_DECREF(type);
        }
    }
    Py_DECREF(numpy);
    return 0;
}

}  // namespace cellprox
