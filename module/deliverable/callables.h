// The two callables the module publishes.
#pragma once

#include "module/deliverable/function_object.h"

namespace cellprox {

extern const CallableSpec get_bb_intersections_spec;
extern const CallableSpec generate_neighbors_spec;

}  // namespace cellprox
