// The one way this project includes the interpreter's C API, for the boundary (module/) and
// for the loop frame that releases the interpreter lock (platform/).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
