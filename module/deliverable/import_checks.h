// Owns the deliverable's import-time checks: that the running interpreter is the one it was built
// for (a warning otherwise), and that numpy offers the 1.x C API and the types of the sizes this
// module relies on (an ImportError, ValueError or warning, worded as numpy's own are).
#pragma once

namespace cellprox {

// Each returns 0, or -1 with the exception set.
int check_interpreter_version();
int import_numpy_c_api();
// Also keeps numpy.ndarray in the module state.
int import_types();

}  // namespace cellprox
