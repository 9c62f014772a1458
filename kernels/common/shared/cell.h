// The cell record: 64 bytes in the caller's memory, one per cell, back to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cellprox {

struct Cell {
    int32_t index;              // the cell's own number; only the debug dump shows it
    int32_t coll_index;         // collection: equal ones compare vertices, different ones edges
    int32_t links_start;        // result slot of the first link; -1 when the cell has none
    int32_t v_count;
    int32_t e_count;
    int32_t n_count;
    float origin[3];            // reference point; a link reports the origin-to-origin distance
    const float* vertices;      // 3 * v_count floats
    const int32_t* edges;       // 2 * e_count vertex numbers of this cell
    const int32_t* cell_links;  // n_count neighbour positions in the cell array
};

// The layout is an interface with the caller, who builds these records in raw memory.
static_assert(sizeof(Cell) == 64, "a cell record is 64 bytes");
static_assert(offsetof(Cell, index) == 0, "index");
static_assert(offsetof(Cell, coll_index) == 4, "coll_index");
static_assert(offsetof(Cell, links_start) == 8, "links_start");
static_assert(offsetof(Cell, v_count) == 12, "v_count");
static_assert(offsetof(Cell, e_count) == 16, "e_count");
static_assert(offsetof(Cell, n_count) == 20, "n_count");
static_assert(offsetof(Cell, origin) == 24, "origin");
static_assert(offsetof(Cell, vertices) == 40, "vertices");
static_assert(offsetof(Cell, edges) == 48, "edges");
static_assert(offsetof(Cell, cell_links) == 56, "cell_links");

// A copy of record `position`; the caller's array need not be aligned for the pointers in it.
inline Cell read_cell(const char* cells, int32_t position) {
    Cell cell;
    std::memcpy(&cell, cells + static_cast<ptrdiff_t>(position) * sizeof(Cell), sizeof(Cell));
    return cell;
}

}  // namespace cellprox
