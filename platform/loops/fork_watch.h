// Whether an OpenMP thread team can run in this process.
#pragma once

namespace cellprox {

// False in a child forked from this process: a fork copies only the forking thread, so the
// runtime would wait in the child's first parallel region for team threads that do not exist.
// Loops there run on the calling thread instead, with the same results. Always true in a build
// without OpenMP, and on Windows, which has no fork.
bool openmp_team_usable();

}  // namespace cellprox
