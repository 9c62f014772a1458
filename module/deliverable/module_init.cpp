// Owns the deliverable's module definition and initialisation: one module object per process,
// its constants, the import-time checks in order (import_checks.*), and the module namespace.
#include "kernels/common/shared/tolerance.h"
#include "module/deliverable/callables.h"
#include "module/deliverable/function_object.h"
#include "module/deliverable/import_checks.h"
#include "module/deliverable/module_state.h"
#include "module/deliverable/traceback.h"
#include "platform/python.h"

namespace cellprox {

ModuleState state;

namespace {

const char* const INIT_TRACEBACK = "init " CELLPROX_MODULE_NAME;

// ---- creation ----

// Copies spec.<from> to the namespace as <to>; a spec without the attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                        bool copy_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int result = 0;
    if (copy_none || value != Py_None) result = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return result;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.main_interpreter_id == -1) {
        state.main_interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (current != state.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.instance != nullptr) return Py_NewRef(state.instance);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// ---- execution steps ----

int create_constants() {
    if (state.minus_one != nullptr) return 0;
    state.minus_one = PyFloat_FromDouble(-1.0);
    state.name_np = PyUnicode_InternFromString("np");
    state.name_full = PyUnicode_InternFromString("full");
    state.name_float32 = PyUnicode_InternFromString("float32");
    PyObject* dtype = PyUnicode_InternFromString("dtype");
    state.dtype_kwnames = dtype ? PyTuple_Pack(1, dtype) : nullptr;
    Py_XDECREF(dtype);
    if (state.minus_one && state.name_np && state.name_full && state.name_float32 &&
        state.dtype_kwnames) {
        return 0;
    }
    Py_CLEAR(state.minus_one);
    Py_CLEAR(state.name_np);
    Py_CLEAR(state.name_full);
    Py_CLEAR(state.name_float32);
    Py_CLEAR(state.dtype_kwnames);
    return -1;
}

int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return -1;
    int result = PyDict_Contains(modules, name);
    if (result == 0) result = PyDict_SetItem(modules, name, module);
    Py_DECREF(name);
    return result < 0 ? -1 : 0;
}

int bind_import(PyObject* dict, const char* module_name, const char* as_name) {
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == nullptr) return -1;
    const int result = PyDict_SetItemString(dict, as_name, module);
    Py_DECREF(module);
    return result;
}

PyObject* lookup_global(PyObject* dict, const char* name) {
    PyObject* key = PyUnicode_InternFromString(name);
    if (key == nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
        if (value == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        }
    }
    Py_DECREF(key);
    return Py_XNewRef(value);
}

// EPS = sys.float_info.epsilon, with `sys` looked up as a module global.
int set_tolerance(PyObject* dict) {
    PyObject* sys = lookup_global(dict, "sys");
    if (sys == nullptr) return -1;
    PyObject* float_info = PyObject_GetAttrString(sys, "float_info");
    Py_DECREF(sys);
    if (float_info == nullptr) return -1;
    PyObject* epsilon = PyObject_GetAttrString(float_info, "epsilon");
    Py_DECREF(float_info);
    if (epsilon == nullptr) return -1;
    const double value =
        PyFloat_CheckExact(epsilon) ? PyFloat_AS_DOUBLE(epsilon) : PyFloat_AsDouble(epsilon);
    Py_DECREF(epsilon);
    if (value == -1.0 && PyErr_Occurred()) return -1;
    EPS = static_cast<float>(value);
    return 0;
}

int bind_function(PyObject* dict, const CallableSpec& spec) {
    PyObject* module_name = PyDict_GetItemString(dict, "__name__");
    if (module_name == nullptr) {
        PyErr_SetString(PyExc_SystemError, "module has no __name__");
        return -1;
    }
    PyObject* function = new_function(spec, module_name, dict);
    if (function == nullptr) return -1;
    const int result = PyDict_SetItemString(dict, spec.name, function);
    Py_DECREF(function);
    return result;
}

int run_module_statements(PyObject* dict) {
    if (bind_import(dict, "sys", "sys") < 0) return -1;
    if (bind_import(dict, "numpy", "np") < 0) return -1;
    if (set_tolerance(dict) < 0) return -1;
    if (bind_function(dict, get_bb_intersections_spec) < 0) return -1;
    if (bind_function(dict, generate_neighbors_spec) < 0) return -1;
    PyObject* test = PyDict_New();
    if (test == nullptr) return -1;
    const int result = PyDict_SetItemString(dict, "__test__", test);
    Py_DECREF(test);
    return result;
}

int exec_module(PyObject* module) {
    if (state.instance != nullptr) {
        if (state.instance == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '" CELLPROX_MODULE_NAME
                        "' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.instance = Py_NewRef(module);
    PyObject* dict = PyModule_GetDict(module);

    PyObject* builtins = PyImport_ImportModule("builtins");
    const bool builtins_set =
        builtins != nullptr && PyObject_SetAttrString(module, "__builtins__", builtins) == 0;
    Py_XDECREF(builtins);
    if (!builtins_set || check_interpreter_version() < 0) {
        Py_CLEAR(state.instance);
        return -1;
    }

    // From here on a failure names the import in the traceback.
    if (create_constants() < 0 || import_numpy_c_api() < 0 || register_in_sys_modules(module) < 0 ||
        ready_function_type() < 0 || import_types() < 0 || run_module_statements(dict) < 0) {
        add_traceback(INIT_TRACEBACK, 1);
        Py_CLEAR(state.instance);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    CELLPROX_MODULE_NAME,  // m_name
    nullptr,               // m_doc
    0,                     // m_size
    nullptr,               // m_methods
    slots,                 // m_slots
    nullptr,               // m_traverse
    nullptr,               // m_clear
    nullptr,               // m_free
};

}  // namespace

}  // namespace cellprox

PyMODINIT_FUNC CELLPROX_ENTRY_SYMBOL(void) { return PyModuleDef_Init(&cellprox::definition); }
