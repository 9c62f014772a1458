// The result array of generate_neighbors, made by the module's own `np`.
#pragma once

#include <cstdint>

#include "kernels/common/shared/strided_view.h"
#include "module/deliverable/binding/buffer_view.h"
#include "platform/python.h"

namespace cellprox {

// np.full(n_links, -1.0, dtype=np.float32), with `np` looked up in the module namespace and then
// among the builtins at every call, checked to be an ndarray and bound as a one-dimensional
// float32 view. Returns a new reference, or null with the exception set.
PyObject* new_result_array(int32_t n_links, HeldBuffer& held, StridedView* view);

}  // namespace cellprox
