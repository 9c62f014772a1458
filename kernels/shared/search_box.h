// Owns the box the package's kernels describe a cell's extent with: float bounds, exact for
// cells of float vertices. The search's tree indexes them, the exact rule prunes against them.
#pragma once

namespace cellprox {

struct SearchBox {
    float lo[3];
    float hi[3];
};

}  // namespace cellprox
