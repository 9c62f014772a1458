// The one place where the build's choice of deliverable becomes source-level names.
// CELLPROX_MODULE is set by the build (cellprox_gnu, cellprox_darwin or cellprox_nt).
#pragma once

#ifndef CELLPROX_MODULE
#error "CELLPROX_MODULE must be defined by the build"
#endif

#define CELLPROX_CONCAT_(a, b) a##b
#define CELLPROX_CONCAT(a, b) CELLPROX_CONCAT_(a, b)
#define CELLPROX_STR_(a) #a
#define CELLPROX_STR(a) CELLPROX_STR_(a)

#define CELLPROX_MODULE_NAME CELLPROX_STR(CELLPROX_MODULE)
#define CELLPROX_ENTRY_SYMBOL CELLPROX_CONCAT(PyInit_, CELLPROX_MODULE)
