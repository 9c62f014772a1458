// libFuzzer harness of the kernels. From the fuzzer's bytes it builds what the module hands the
// kernels: strided views of boxes and link tables (any strides, unaligned, with gaps), and cell
// arrays whose records point at vertex, edge and link arrays of exactly the sizes the records
// state. Everything else is arbitrary: edge vertex numbers, neighbour numbers, result slots,
// collections, NaN and infinite coordinates and thresholds, stale link tables. Every array sits
// in a heap block of its own size, so AddressSanitizer sees any access outside it; gaps between
// elements and guard zones around outputs are checked for stray writes.
//
// Checked: the broad phase against a plain reference (bit for bit) and, on tables prepared as
// documented, the link table format; the narrow phase's result slots (-1.0 or the origin distance
// of a link's two cells) against a plain reference where each slot has one owner; the segment
// distance's range.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/deliverable/broad/bb_intersections.h"
#include "kernels/common/distance/segment_distance.h"
#include "kernels/deliverable/narrow/neighbor_links.h"
#include "kernels/common/shared/cell.h"
#include "kernels/common/shared/debug_dump.h"
#include "kernels/common/shared/vector_math.h"
#include "platform/loops/loop_frame.h"
#include "tests/fuzz/reference_broad_phase.h"

namespace {

using namespace cellprox;

[[noreturn]] void fail(const char* what, int line) {
    std::fprintf(stderr, "fuzz_kernels.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}

#define CHECK(condition)                              \
    do {                                              \
        if (!(condition)) fail(#condition, __LINE__); \
    } while (0)

constexpr unsigned char GAP_BYTE = 0xA5;

uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

bool same_float(float a, float b) {
    return bits_of(a) == bits_of(b) || (std::isnan(a) && std::isnan(b));
}

// A heap block of exactly `size` bytes, filled with GAP_BYTE.
class Block {
public:
    explicit Block(size_t size) : size_(size), data_(static_cast<char*>(std::malloc(size))) {
        CHECK(data_ != nullptr || size == 0);
        if (size) std::memset(data_, GAP_BYTE, size);
    }
    ~Block() { std::free(data_); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    char* data() const { return data_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    char* data_;
};

// Coordinates: mostly points of a coarse grid (so that boxes and vertices meet), sometimes any
// bit pattern (NaN, infinities, subnormals), sometimes a value at an edge of the algorithms.
float fuzz_float(FuzzedDataProvider& in, float scale) {
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind < 176) return static_cast<float>(in.ConsumeIntegral<int8_t>()) * scale;
    if (kind < 216) {
        const uint32_t bits = in.ConsumeIntegral<uint32_t>();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    static const float special[] = {
        std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
        0.0f, -0.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(),
        std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
        100000.0f, -100000.0f, 100000.01f, -100000.01f, 0.002f, 0.004f, 1e-3f, 1e19f, -1e19f,
    };
    return special[kind % (sizeof special / sizeof special[0])];
}

float fuzz_scale(FuzzedDataProvider& in) {
    static const float scales[] = {0.125f, 0.001f, 1.0f, 0.0625f, 1000.0f, 1e-20f, 3e4f, 0.5f};
    return scales[in.ConsumeIntegral<uint8_t>() % 8];
}

// A strided view of `shape` items of `item` bytes over a block of its own: dimensions in any
// order, any direction, zero strides (every index of that dimension is one element), gaps of
// whole items or of odd byte counts, and an unaligned start.
struct Layout {
    Block* block = nullptr;
    StridedView view;
    size_t item = 0;
    bool aliased = false;  // a dimension of extent > 1 has stride 0

    Layout() = default;
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    ~Layout() { delete block; }
};

void make_layout(FuzzedDataProvider& in, int ndim, const ptrdiff_t* shape, size_t item,
                 Layout* layout) {
    static const int orders[6][3] = {{0, 1, 2}, {1, 0, 2}, {0, 2, 1}, {2, 0, 1}, {1, 2, 0}, {2, 1, 0}};
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    const int* order = orders[ndim == 1 ? 0 : flags % (ndim == 2 ? 2 : 6)];
    const ptrdiff_t misalign = (flags >> 3) & 3;

    layout->item = item;
    layout->view.ndim = ndim;
    ptrdiff_t span = static_cast<ptrdiff_t>(item);  // bytes covered by the dimensions so far
    ptrdiff_t start = 0;                             // offset of element (0, ...) in the span
    // Innermost dimension first: the last of `order`, so that {0, 1, 2} is C order.
    for (int n = ndim - 1; n >= 0; --n) {
        const int dim = order[n];
        layout->view.shape[dim] = shape[dim];
        const uint8_t choice = in.ConsumeIntegral<uint8_t>();
        const ptrdiff_t last = shape[dim] > 0 ? shape[dim] - 1 : 0;
        ptrdiff_t stride;
        if (choice % 11 == 10) {
            stride = 0;
            layout->aliased = layout->aliased || shape[dim] > 1;
        } else {
            static const ptrdiff_t pads[] = {0, 0, 0, 0, 0, 1, 2, 3, 4, 8};
            stride = span + pads[choice % 11];
            if (choice & 0x80) {
                stride = -stride;
                start += -stride * last;
            }
            span += (stride < 0 ? -stride : stride) * last;
        }
        layout->view.strides[dim] = stride;
    }
    layout->block = new Block(static_cast<size_t>(misalign + span));
    layout->view.data = layout->block->data() + misalign + start;
}

// Visits every element of a view in C order with its flat index.
template <typename Visit>
void for_each_element(const StridedView& view, Visit visit) {
    const ptrdiff_t n0 = view.shape[0];
    const ptrdiff_t n1 = view.ndim > 1 ? view.shape[1] : 1;
    const ptrdiff_t n2 = view.ndim > 2 ? view.shape[2] : 1;
    ptrdiff_t flat = 0;
    for (ptrdiff_t i = 0; i < n0; ++i) {
        for (ptrdiff_t j = 0; j < n1; ++j) {
            for (ptrdiff_t k = 0; k < n2; ++k) {
                char* address = view.data + i * view.strides[0] +
                                (view.ndim > 1 ? j * view.strides[1] : 0) +
                                (view.ndim > 2 ? k * view.strides[2] : 0);
                visit(address, flat++);
            }
        }
    }
}

template <typename T>
std::vector<T> gather(const Layout& layout) {
    std::vector<T> values;
    for_each_element(layout.view, [&](char* address, ptrdiff_t) { values.push_back(load<T>(address)); });
    return values;
}

// No byte outside the elements changed.
void check_gaps(const Layout& layout) {
    std::vector<bool> covered(layout.block->size(), false);
    for_each_element(layout.view, [&](char* address, ptrdiff_t) {
        const ptrdiff_t offset = address - layout.block->data();
        for (size_t b = 0; b < layout.item; ++b) covered[static_cast<size_t>(offset) + b] = true;
    });
    for (size_t b = 0; b < layout.block->size(); ++b) {
        CHECK(covered[b] || static_cast<unsigned char>(layout.block->data()[b]) == GAP_BYTE);
    }
}

// ---------------------------------------------------------------------------------------------
// Broad phase

// Free slots of a prepared row: -1, 0, the row's own number or below, as the caller may leave.
int32_t prepared_free_slot(FuzzedDataProvider& in, int32_t row, uint8_t mode) {
    switch (mode % 4) {
        case 0: return -1;
        case 1: return 0;
        case 2: return row;
        default: return in.ConsumeIntegralInRange<int32_t>(std::numeric_limits<int32_t>::min(), row);
    }
}

// Stale tables: whatever an earlier call or a careless caller left.
int32_t stale_slot(FuzzedDataProvider& in, int32_t cell_count) {
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind < 200) return in.ConsumeIntegralInRange<int32_t>(-2, cell_count + 1);
    return in.ConsumeIntegral<int32_t>();
}

// Boxes on a lattice, each moved and resized by the fuzzer: by default neighbours touch, so that
// even a short input gives many cells with a realistic spread of overlaps.
void fill_boxes(FuzzedDataProvider& in, int32_t cell_count, const Layout& bbox) {
    const float scale = fuzz_scale(in);
    const uint8_t lattice = in.ConsumeIntegral<uint8_t>();
    const int32_t width = 1 + lattice % 8;
    const float pitch = scale * static_cast<float>(8 + (lattice >> 3));
    for (int32_t cell = 0; cell < cell_count; ++cell) {
        const int32_t place[3] = {cell % width, cell / width % width, cell / (width * width)};
        float corners[8][3];
        if (in.ConsumeIntegral<uint8_t>() < 224) {
            // A box from a lower corner and a size, its corners in one of several orders.
            float lower[3], size[3];
            for (int axis = 0; axis < 3; ++axis) {
                lower[axis] = static_cast<float>(place[axis]) * pitch + fuzz_float(in, scale);
            }
            for (int axis = 0; axis < 3; ++axis) size[axis] = pitch + fuzz_float(in, scale);
            const uint8_t shuffle = in.ConsumeIntegral<uint8_t>() & 7;
            for (int c = 0; c < 8; ++c) {
                const int bits = c ^ shuffle;
                for (int axis = 0; axis < 3; ++axis) {
                    corners[c][axis] = lower[axis] + ((bits >> axis) & 1 ? size[axis] : 0.0f);
                }
            }
        } else {
            for (auto& corner : corners) {
                for (float& value : corner) value = fuzz_float(in, scale);
            }
        }
        for (int c = 0; c < 8; ++c) {
            for (int axis = 0; axis < 3; ++axis) store<float>(element(bbox.view, cell, c, axis), corners[c][axis]);
        }
    }
}

void check_prepared_tables(reference::BroadPhase& after, int32_t cell_count, int32_t n_links) {
    std::vector<uint8_t> linked(static_cast<size_t>(cell_count) * cell_count, 0);
    int32_t running = 0;
    for (int32_t i = 0; i < cell_count; ++i) {
        const int32_t count = after.link_count[i];
        CHECK(count <= MAX_CELL_LINKS);
        CHECK(after.link_starts[i] == (count > 0 ? running : -1));
        for (int32_t k = 0; k < count; ++k) {
            const int32_t j = after.slot(i, k);
            CHECK(j >= 0 && j < cell_count && j != i);
            CHECK(k == 0 || after.slot(i, k - 1) < j);
            CHECK(reference::overlap(after, i, j));
            uint8_t& pair = linked[static_cast<size_t>(i < j ? i : j) * cell_count + (i < j ? j : i)];
            CHECK(pair == 0);  // no pair twice, in either row
            pair = 1;
        }
        running += count;
    }
    CHECK(n_links == running);
    // A pair of overlapping boxes is missing only when both rows are full.
    for (int32_t i = 0; i < cell_count; ++i) {
        for (int32_t j = i + 1; j < cell_count; ++j) {
            if (linked[static_cast<size_t>(i) * cell_count + j] || !reference::overlap(after, i, j)) continue;
            CHECK(after.link_count[i] == MAX_CELL_LINKS && after.link_count[j] == MAX_CELL_LINKS);
        }
    }
}

void fuzz_broad_phase(FuzzedDataProvider& in) {
    const int32_t cell_count = in.ConsumeIntegralInRange<int32_t>(-2, 160);
    if (cell_count <= 0) {
        // Nothing may be touched: the views have no memory behind them.
        const BroadPhaseArrays none{};
        CHECK(get_bb_intersections(none, cell_count, plain_loop_frame()) == 0);
        return;
    }
    const bool prepared = in.ConsumeBool();
    const ptrdiff_t bbox_shape[] = {cell_count, 8, 3};
    const ptrdiff_t links_shape[] = {cell_count, MAX_CELL_LINKS};
    const ptrdiff_t row_shape[] = {cell_count};
    Layout bbox, links, link_starts, link_count;
    make_layout(in, 3, bbox_shape, sizeof(float), &bbox);
    make_layout(in, 2, links_shape, sizeof(int32_t), &links);
    make_layout(in, 1, row_shape, sizeof(int32_t), &link_starts);
    make_layout(in, 1, row_shape, sizeof(uint8_t), &link_count);

    for (int32_t i = 0; i < cell_count; ++i) {
        const uint8_t mode = in.ConsumeIntegral<uint8_t>();
        for (int32_t k = 0; k < MAX_CELL_LINKS; ++k) {
            const int32_t value = prepared ? prepared_free_slot(in, i, mode)
                                           : (mode < 64 ? -1 : stale_slot(in, cell_count));
            store<int32_t>(element(links.view, i, k), value);
        }
        const uint8_t start_kind = prepared ? 0 : in.ConsumeIntegral<uint8_t>();
        store<int32_t>(element(link_starts.view, i),
                       start_kind < 128 ? -1 : in.ConsumeIntegralInRange<int32_t>(-3, 200));
        store<uint8_t>(element(link_count.view, i), prepared ? 0 : in.ConsumeIntegral<uint8_t>());
    }
    fill_boxes(in, cell_count, bbox);

    const bool aliased = bbox.aliased || links.aliased || link_starts.aliased || link_count.aliased;
    reference::BroadPhase expected{gather<float>(bbox), gather<int32_t>(links),
                                   gather<int32_t>(link_starts), gather<uint8_t>(link_count)};

    const BroadPhaseArrays arrays{bbox.view, links.view, link_starts.view, link_count.view};
    const int32_t n_links = get_bb_intersections(arrays, cell_count, plain_loop_frame());

    check_gaps(bbox);
    check_gaps(links);
    check_gaps(link_starts);
    check_gaps(link_count);
    // Views whose elements alias one another make the outcome depend on the order of the writes.
    if (aliased) return;

    reference::BroadPhase got{gather<float>(bbox), gather<int32_t>(links),
                              gather<int32_t>(link_starts), gather<uint8_t>(link_count)};
    const int32_t expected_links = reference::broad_phase(expected, cell_count);
    CHECK(n_links == expected_links);
    for (size_t e = 0; e < got.bbox.size(); ++e) CHECK(same_float(got.bbox[e], expected.bbox[e]));
    CHECK(got.links == expected.links);
    CHECK(got.link_starts == expected.link_starts);
    CHECK(got.link_count == expected.link_count);
    if (prepared) check_prepared_tables(got, cell_count, n_links);
}

// ---------------------------------------------------------------------------------------------
// Narrow phase

// One cell's record and the arrays it points to, each a block of exactly its stated size.
struct CellSource {
    Cell record{};
    Block* vertices = nullptr;
    Block* edges = nullptr;
    Block* links = nullptr;

    CellSource() = default;
    CellSource(const CellSource&) = delete;
    CellSource& operator=(const CellSource&) = delete;
    ~CellSource() {
        delete vertices;
        delete edges;
        delete links;
    }
};

// An array of `count` items, or none: a null address with any count.
Block* fuzz_array(FuzzedDataProvider& in, int32_t max_count, size_t item, int32_t* count) {
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind >= 232) {
        *count = kind < 244 ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(-2, 4);
        return nullptr;
    }
    *count = kind % (max_count + 1);
    return new Block(static_cast<size_t>(*count) * item);
}

int32_t fuzz_number(FuzzedDataProvider& in, int32_t below) {
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    const int span = below < 0 ? 2 : below > 64 ? 66 : below + 2;
    if (kind < 224) return kind % span - 1;  // mostly -1 .. below
    return in.ConsumeIntegral<int32_t>();
}

void fill_cell(FuzzedDataProvider& in, int32_t cell_count, int32_t n_links, float scale,
               CellSource* cell) {
    Cell& r = cell->record;
    r.index = in.ConsumeIntegral<int32_t>();
    const uint8_t coll = in.ConsumeIntegral<uint8_t>();
    r.coll_index = coll < 240 ? coll % 3 : in.ConsumeIntegral<int32_t>();
    const uint8_t start = in.ConsumeIntegral<uint8_t>();
    if (start < 224) {
        r.links_start = static_cast<int32_t>(start % (n_links + 6 > 1 ? n_links + 6 : 1)) - 3;
    } else if (start < 240) {
        r.links_start = in.ConsumeIntegral<int32_t>();
    } else {
        r.links_start = start & 1 ? std::numeric_limits<int32_t>::max() - (start & 6)
                                  : std::numeric_limits<int32_t>::min() + (start & 6);
    }
    for (float& value : r.origin) value = fuzz_float(in, scale);

    cell->vertices = fuzz_array(in, 12, 3 * sizeof(float), &r.v_count);
    if (cell->vertices) {
        for (int32_t e = 0; e < 3 * r.v_count; ++e) {
            store<float>(cell->vertices->data() + 4 * e, fuzz_float(in, scale));
        }
    }
    cell->edges = fuzz_array(in, 12, 2 * sizeof(int32_t), &r.e_count);
    if (cell->edges) {
        for (int32_t e = 0; e < 2 * r.e_count; ++e) {
            store<int32_t>(cell->edges->data() + 4 * e, fuzz_number(in, r.v_count));
        }
    }
    cell->links = fuzz_array(in, 8, sizeof(int32_t), &r.n_count);
    if (cell->links) {
        for (int32_t e = 0; e < r.n_count; ++e) {
            store<int32_t>(cell->links->data() + 4 * e, fuzz_number(in, cell_count));
        }
    }
    r.vertices = cell->vertices ? reinterpret_cast<const float*>(cell->vertices->data()) : nullptr;
    r.edges = cell->edges ? reinterpret_cast<const int32_t*>(cell->edges->data()) : nullptr;
    r.cell_links = cell->links ? reinterpret_cast<const int32_t*>(cell->links->data()) : nullptr;
}

// The narrow phase as documented, for the reference values.
bool reference_close(const Cell& a, const Cell& b, float threshold) {
    const int32_t av = a.vertices ? a.v_count : 0, bv = b.vertices ? b.v_count : 0;
    const int32_t ae = a.edges ? a.e_count : 0, be = b.edges ? b.e_count : 0;
    if (a.coll_index == b.coll_index) {
        for (int32_t i = 0; i < av; ++i) {
            for (int32_t j = 0; j < bv; ++j) {
                if (distance_between(a.vertices + 3 * i, b.vertices + 3 * j) < threshold) return true;
            }
        }
        return false;
    }
    for (int32_t i = 0; i < ae; ++i) {
        const int32_t q0 = a.edges[2 * i], q1 = a.edges[2 * i + 1];
        if (q0 < 0 || q0 >= av || q1 < 0 || q1 >= av) continue;
        for (int32_t j = 0; j < be; ++j) {
            const int32_t p0 = b.edges[2 * j], p1 = b.edges[2 * j + 1];
            if (p0 < 0 || p0 >= bv || p1 < 0 || p1 >= bv) continue;
            if (dist3D_Segment_to_Segment(b.vertices + 3 * p0, b.vertices + 3 * p1,
                                          a.vertices + 3 * q0, a.vertices + 3 * q1) < threshold) {
                return true;
            }
        }
    }
    return false;
}

constexpr int GUARD = 8;                 // floats on each side of the per-link distances
constexpr uint32_t GUARD_BITS = 0x7fc0dea1;  // a NaN no computation here produces

void fuzz_narrow_phase(FuzzedDataProvider& in) {
    const int32_t cell_count = in.ConsumeIntegralInRange<int32_t>(0, 12);
    const int32_t n_links = in.ConsumeIntegralInRange<int32_t>(-2, 40);
    const float scale = fuzz_scale(in);
    const float threshold = fuzz_float(in, scale);
    const bool dump = in.ConsumeIntegral<uint8_t>() < 16;
    const size_t misalign = in.ConsumeIntegral<uint8_t>() & 7;

    std::vector<CellSource> sources(static_cast<size_t>(cell_count));
    for (CellSource& cell : sources) fill_cell(in, cell_count, n_links, scale, &cell);
    Block records(misalign + static_cast<size_t>(cell_count) * sizeof(Cell));
    const char* cells = cell_count > 0 ? records.data() + misalign : nullptr;
    for (int32_t k = 0; k < cell_count; ++k) {
        std::memcpy(records.data() + misalign + k * sizeof(Cell), &sources[k].record, sizeof(Cell));
    }

    if (dump) print_debug_dump(cells, cell_count, choose_dump_cells(cell_count));

    // Which links own each slot, and the values the slot may take.
    const int32_t slots = n_links > 0 ? n_links : 0;
    std::vector<int> owners(static_cast<size_t>(slots), 0);
    std::vector<std::vector<float>> allowed(static_cast<size_t>(slots), std::vector<float>{-1.0f});
    std::vector<float> expected(static_cast<size_t>(slots), -1.0f);
    for (int32_t a = 0; a < cell_count; ++a) {
        const Cell& cell_a = sources[a].record;
        if (cell_a.n_count <= 0 || cell_a.cell_links == nullptr) continue;
        for (int32_t k = 0; k < cell_a.n_count; ++k) {
            const int64_t slot = static_cast<int64_t>(cell_a.links_start) + k;
            if (slot < 0 || slot >= slots) continue;
            const int32_t b = cell_a.cell_links[k];
            ++owners[slot];
            if (b < 0 || b >= cell_count) continue;
            const Cell& cell_b = sources[b].record;
            const float distance = distance_between(cell_a.origin, cell_b.origin);
            allowed[slot].push_back(distance);
            if (reference_close(cell_a, cell_b, threshold)) expected[slot] = distance;
        }
    }

    Block scratch((static_cast<size_t>(slots) + 2 * GUARD) * sizeof(float));
    for (size_t e = 0; e < scratch.size() / sizeof(float); ++e) {
        store<uint32_t>(scratch.data() + e * sizeof(float), GUARD_BITS);
    }
    float* link_distances = reinterpret_cast<float*>(scratch.data()) + GUARD;
    const NeighborQuery query{cells, cell_count, n_links, threshold};
    compute_link_distances(query, link_distances, plain_loop_frame());

    for (int g = 0; g < GUARD; ++g) {
        CHECK(bits_of(link_distances[-1 - g]) == GUARD_BITS);
        CHECK(bits_of(link_distances[slots + g]) == GUARD_BITS);
    }
    for (int32_t s = 0; s < slots; ++s) {
        const float value = link_distances[s];
        bool ok = false;
        for (float candidate : allowed[s]) ok = ok || same_float(value, candidate);
        CHECK(ok);
        if (owners[s] <= 1) CHECK(same_float(value, expected[s]));
    }

    // The copy into the result: never past the view's end, nor past n_links.
    const ptrdiff_t out_shape[] = {in.ConsumeIntegralInRange<ptrdiff_t>(0, slots + 2)};
    Layout output;
    make_layout(in, 1, out_shape, sizeof(float), &output);
    for_each_element(output.view, [](char* address, ptrdiff_t) { store<uint32_t>(address, GUARD_BITS); });
    store_link_distances(link_distances, n_links, output.view);
    check_gaps(output);
    if (!output.aliased) {
        const std::vector<float> copied = gather<float>(output);
        for (size_t s = 0; s < copied.size(); ++s) {
            if (static_cast<int32_t>(s) < n_links) {
                CHECK(same_float(copied[s], link_distances[s]));
            } else {
                CHECK(bits_of(copied[s]) == GUARD_BITS);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Segment distance

void fuzz_segment_distance(FuzzedDataProvider& in) {
    const float scale = fuzz_scale(in);
    float points[4][3];
    bool moderate = true;
    for (auto& point : points) {
        for (float& value : point) {
            value = fuzz_float(in, scale);
            moderate = moderate && std::isfinite(value) && std::fabs(value) <= 1e4f;
        }
    }
    const float d = dist3D_Segment_to_Segment(points[0], points[1], points[2], points[3]);
    CHECK(!(d < 0.0f));
    if (!moderate) return;
    // The two closest points lie on the segments, so no farther apart than the farthest ends.
    CHECK(std::isfinite(d));
    float farthest = 0.0f;
    for (int p = 0; p < 2; ++p) {
        for (int q = 2; q < 4; ++q) {
            const float ends = distance_between(points[p], points[q]);
            farthest = ends > farthest ? ends : farthest;
        }
    }
    CHECK(d <= farthest * 1.001f + 1e-3f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The debug dump writes to standard output; the fuzzer's own report goes to standard error.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegral<uint8_t>() % 3) {
        case 0: fuzz_broad_phase(in); break;
        case 1: fuzz_narrow_phase(in); break;
        default: fuzz_segment_distance(in); break;
    }
    return 0;
}
