// Owns the box a cell's vertices span: float bounds, exact for cells of float vertices. The
// package's search indexes these boxes, and both closeness rules prune against them.
#pragma once

namespace cellprox {

struct VertexBox {
    float lo[3];
    float hi[3];
};

}  // namespace cellprox
