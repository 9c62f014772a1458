// The debug dump: three cells' records as text on standard output.
#include "kernels/common/shared/debug_dump.h"

#include <cstdio>

#include "kernels/common/shared/cell.h"

namespace cellprox {

namespace {

void print_point(const char* format, const float* point) {
    std::printf(format, static_cast<double>(point[0]), static_cast<double>(point[1]),
                static_cast<double>(point[2]));
}

void print_edge(const char* format, const int32_t* edges, int32_t k) {
    std::printf(format, edges[2 * static_cast<ptrdiff_t>(k)], edges[2 * static_cast<ptrdiff_t>(k) + 1]);
}

void print_link(const char* format, const Cell& cell, int32_t k) {
    std::printf(format, cell.links_start + k, cell.index, cell.cell_links[k]);
}

void print_cell(const Cell& cell) {
    std::printf("\n\nCell-Index[%d]", cell.index);
    std::printf("\n\t> Counts: V[%i], E[%i], N[%i]", cell.v_count, cell.e_count, cell.n_count);
    print_point("\n\t> Origin: [%.2f, %.2f, %.2f]", cell.origin);

    // A cell without vertices or edges has nothing to show on those lines.
    if (cell.v_count > 0 && cell.vertices != nullptr) {
        const float* v = cell.vertices;
        print_point("\n\t> Vertices \t0: [%.2f, %.2f, %.2f]", v);
        if (cell.v_count > 1) {
            print_point("\n\t           \t1: [%.2f, %.2f, %.2f]", v + 3);
            if (cell.v_count > 2) {
                print_point("\n\t           \tN: [%.2f, %.2f, %.2f]",
                            v + 3 * static_cast<ptrdiff_t>(cell.v_count - 1));
            }
        }
    }
    if (cell.e_count > 0 && cell.edges != nullptr) {
        print_edge("\n\t> Edges\t0:   [%d, %d]", cell.edges, 0);
        if (cell.e_count > 1) {
            print_edge("\n\t       \t1:   [%d, %d]", cell.edges, 1);
            if (cell.e_count > 2) {
                print_edge("\n\t       \tN:   [%d, %d]", cell.edges, cell.e_count - 1);
            }
        }
    }
    if (cell.n_count != 0 && cell.links_start != -1 && cell.cell_links != nullptr) {
        print_link("\n\t> Cell-Links\t0: S[%d] - A[%d], B[%d]", cell, 0);
        if (cell.n_count > 1) {
            print_link("\n\t            \t1: S[%d] - A[%d], B[%d]", cell, 1);
            if (cell.n_count > 2) {
                print_link("\n\t            \tN: S[%d] - A[%d], B[%d]", cell, cell.n_count - 1);
            }
        }
    }
}

}  // namespace

DumpChoice choose_dump_cells(int32_t cell_count) {
    const int32_t last = cell_count - 1;
    return DumpChoice{{0, last < 1 ? last : 1, last}};
}

void print_debug_dump(const char* cells, int32_t cell_count, const DumpChoice& choice) {
    std::printf("\n\n\n[DEBUG][PROXIM]");
    for (int32_t t : choice.test_indices) {
        if (t >= 0 && t < cell_count) print_cell(read_cell(cells, t));
    }
}

}  // namespace cellprox
