// Adding a traceback entry named after the callable where the boundary raises.
#include "module/deliverable/traceback.h"

#include "module/deliverable/module_state.h"
#include "platform/python.h"

#include <frameobject.h>

namespace cellprox {

void add_traceback(const char* name, int line) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(CELLPROX_SOURCE_FILE, name, line);
    PyObject* globals = state.instance ? PyModule_GetDict(state.instance) : nullptr;
    PyObject* empty = globals ? nullptr : PyDict_New();
    PyFrameObject* frame = nullptr;
    if (code != nullptr && (globals != nullptr || empty != nullptr)) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals ? globals : empty, nullptr);
    }
    // Whatever went wrong while building the entry, the original error is the one to report.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(empty);
    Py_XDECREF(code);
}

}  // namespace cellprox
