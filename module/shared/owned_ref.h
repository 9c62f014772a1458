// A new reference owned for a scope: released on every path out of it, unless handed over.
#pragma once

#include "platform/python.h"

namespace cellprox {

class OwnedRef {
public:
    explicit OwnedRef(PyObject* object = nullptr) : object_(object) {}
    ~OwnedRef() { Py_XDECREF(object_); }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference over to the caller.
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(PyObject* object) {
        Py_XDECREF(object_);
        object_ = object;
    }

private:
    PyObject* object_;
};

}  // namespace cellprox
