// The callables' type: attributes, binding, pickling and vectorcall.
#include "module/deliverable/function_object.h"

#include <cstddef>
#include <cstdio>

#include <structmember.h>

#include "module/deliverable/module_state.h"
#include "module/deliverable/traceback.h"

namespace cellprox {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const CallableSpec* spec;
    PyObject* parameter_names[N_PARAMETERS];
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* annotations;
    PyObject* dict;
};

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    const CallableSpec& spec = *function->spec;
    PyObject* values[N_PARAMETERS];
    if (gather_arguments(spec.name, function->parameter_names, args, PyVectorcall_NARGS(nargsf),
                         kwnames, values) < 0) {
        add_traceback(spec.traceback_name, __LINE__);
        return nullptr;
    }
    return spec.body(values);
}

// Like a Python function, it becomes a bound method when read through an instance.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", function->qualname, self);
}

// Pickled as a reference to the module attribute of the same qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// The name and qualified name are read by repr, pickling and introspection, so like a Python
// function's they can be replaced by another string but never deleted or made anything else.
PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}

PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

int replace_string(PyObject** slot, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return replace_string(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return replace_string(&reinterpret_cast<FunctionObject*>(self)->qualname, value,
                          "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
        if (function->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(function->annotations);
}

// As for a Python function: a dict, or None or deletion for a fresh empty one on the next read.
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->annotations, Py_XNewRef(value));
    return 0;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->code);
    Py_VISIT(function->globals);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    return 0;
}

int clear(PyObject* self) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    for (PyObject*& name : function->parameter_names) Py_CLEAR(name);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->code);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear(self);
    PyObject_GC_Del(self);
}

PyMethodDef methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type;  // filled in by ready_function_type()

// The code object of `def name(p1, ..., p5): pass`, so that introspection sees the parameters.
PyObject* make_code(const CallableSpec& spec) {
    char source[256];
    std::snprintf(source, sizeof source, "def %s(%s, %s, %s, %s, %s): pass\n", spec.name,
                  spec.parameters[0], spec.parameters[1], spec.parameters[2], spec.parameters[3],
                  spec.parameters[4]);
    PyObject* module_code = Py_CompileString(source, CELLPROX_SOURCE_FILE, Py_file_input);
    if (module_code == nullptr) return nullptr;
    PyObject* constants = PyObject_GetAttrString(module_code, "co_consts");
    Py_DECREF(module_code);
    if (constants == nullptr) return nullptr;
    PyObject* code = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants) && code == nullptr; ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(constants, i))) code = PyTuple_GET_ITEM(constants, i);
    }
    Py_XINCREF(code);
    Py_DECREF(constants);
    if (code == nullptr) PyErr_SetString(PyExc_SystemError, "no code object compiled");
    return code;
}

}  // namespace

int ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return 0;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&function_type), 1);
    function_type.tp_name = CELLPROX_MODULE_NAME ".function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_repr = function_repr;
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
    function_type.tp_traverse = traverse;
    function_type.tp_clear = clear;
    function_type.tp_dealloc = dealloc;
    function_type.tp_methods = methods;
    function_type.tp_members = members;
    function_type.tp_getset = getset;
    return PyType_Ready(&function_type);
}

PyObject* new_function(const CallableSpec& spec, PyObject* module_name, PyObject* globals) {
    auto* function = PyObject_GC_New(FunctionObject, &function_type);
    if (function == nullptr) return nullptr;
    function->vectorcall = function_vectorcall;
    function->spec = &spec;
    for (PyObject*& name : function->parameter_names) name = nullptr;
    function->name = function->qualname = function->module = function->doc = nullptr;
    function->code = function->globals = function->annotations = function->dict = nullptr;
    PyObject* self = reinterpret_cast<PyObject*>(function);
    PyObject_GC_Track(self);

    for (int p = 0; p < N_PARAMETERS; ++p) {
        function->parameter_names[p] = PyUnicode_InternFromString(spec.parameters[p]);
        if (function->parameter_names[p] == nullptr) goto fail;
    }
    function->name = PyUnicode_InternFromString(spec.name);
    if (function->name == nullptr) goto fail;
    function->qualname = Py_NewRef(function->name);
    function->module = Py_NewRef(module_name);
    function->doc = PyUnicode_FromString(spec.doc);
    if (function->doc == nullptr) goto fail;
    function->code = make_code(spec);
    if (function->code == nullptr) goto fail;
    function->globals = Py_NewRef(globals);
    return self;

fail:
    Py_DECREF(self);
    return nullptr;
}

}  // namespace cellprox
