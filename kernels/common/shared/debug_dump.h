// A short text summary of three cells on standard output, for checking a hand-built cell array.
#pragma once

#include <cstdint>

namespace cellprox {

// The cells the dump shows: the first, the second (or the last, if there is only one) and the
// last.
struct DumpChoice {
    int32_t test_indices[3];
};

DumpChoice choose_dump_cells(int32_t cell_count);

// Prints the banner and the blocks of the chosen cells with the C library's printf. The text
// ends without a line break and is not flushed: whatever is printed next completes it.
void print_debug_dump(const char* cells, int32_t cell_count, const DumpChoice& choice);

}  // namespace cellprox
