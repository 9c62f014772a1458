// The callables' type: built-in code that looks and behaves like a Python function defined in
// the module (name, qualified name, docstring, a code object with the parameter names, binding
// to instances, pickling by qualified name, vectorcall).
#pragma once

#include "module/deliverable/binding/arguments.h"
#include "platform/python.h"

namespace cellprox {

// What a call does once its five arguments are gathered, in parameter order.
using CallBody = PyObject* (*)(PyObject* const* values);

struct CallableSpec {
    const char* name;
    const char* traceback_name;  // "<module>.<name>"
    const char* doc;
    const char* parameters[N_PARAMETERS];
    CallBody body;
};

int ready_function_type();

// A new function object for `spec`, belonging to the module whose namespace is `globals`.
PyObject* new_function(const CallableSpec& spec, PyObject* module_name, PyObject* globals);

}  // namespace cellprox
