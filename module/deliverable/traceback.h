// Traceback entries for errors raised at the boundary, so that a failed call or import shows
// where it failed even though no Python frame ran there.
#pragma once

namespace cellprox {

// Adds an entry named `name` to the traceback of the pending exception.
void add_traceback(const char* name, int line);

}  // namespace cellprox
