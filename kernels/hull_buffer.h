// The hull rule's name for the shared growable buffer.
#pragma once

#include "kernels/shared/plain_buffer.h"

namespace cellprox {

template <typename T>
using HullBuffer = PlainBuffer<T>;

}  // namespace cellprox
