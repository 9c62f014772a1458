// The one way this project includes the interpreter's C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
