// Equal vertices found by their hash: first through bits, then the few left in a table.
#include "kernels/package/hull/vertex_sharing.h"

#include <algorithm>

namespace cellprox {

namespace {

struct Candidate {
    int32_t vertex;
    int32_t cell;
};

// Marks the cells of candidates equal to a candidate of another cell. Each value is kept once in
// a hash table, from the first cell that has it (the candidates come cell by cell); a slot holds
// the hash (high half) and the vertex number + 1 (low half), so that vertices of unequal hash are
// told apart without reading their coordinates.
bool mark_equal_vertices(const float* xyz, const int64_t* vertex_starts, const PlainBuffer<Candidate>& candidates,
                         PlainBuffer<uint8_t>& sharing) {
    int bits = 4;
    const int64_t count = static_cast<int64_t>(candidates.size());
    while ((int64_t(1) << bits) < count + count / 2) ++bits;
    const uint32_t mask = (uint32_t(1) << bits) - 1;
    PlainBuffer<uint64_t> slots;
    PlainBuffer<int32_t> owner;    // per slot: the cell of the vertex kept there
    if (!slots.resize(size_t(1) << bits) || !owner.resize(size_t(1) << bits)) return false;
    std::fill(slots.data(), slots.data() + slots.size(), uint64_t(0));
    for (size_t k = 0; k < candidates.size(); ++k) {
        const Candidate found = candidates[k];
        const float* p = xyz + 3 * static_cast<int64_t>(found.vertex);
        const uint32_t hash = vertex_hash(p);
        for (uint32_t slot = hash >> (32 - bits);; slot = (slot + 1) & mask) {
            const uint64_t held = slots[slot];
            if (held == 0) {   // a value not kept before
                slots[slot] = (uint64_t(hash) << 32) | static_cast<uint64_t>(found.vertex + 1);
                owner[slot] = found.cell;
                break;
            }
            const int64_t u = static_cast<int64_t>(held & 0xffffffffu) - 1;
            if (static_cast<uint32_t>(held >> 32) != hash || !same_vertex(xyz + 3 * u, p)) continue;
            // Kept from an earlier cell, not repeated in its own.
            if (u < vertex_starts[found.cell]) {
                sharing[static_cast<size_t>(owner[slot])] = 1;
                sharing[static_cast<size_t>(found.cell)] = 1;
            }
            break;
        }
    }
    return true;
}

bool all_sharing(PlainBuffer<uint8_t>& sharing) {
    std::fill(sharing.data(), sharing.data() + sharing.size(), uint8_t(1));
    return true;
}

}  // namespace

// Most vertices of most scenes are unique, so bits first tell apart the vertices whose hash no
// other vertex has: sixteen bits a vertex (a megabyte for 500,000 vertices) leave about one
// vertex in sixteen a false match, and stay near the processor, where a table of every vertex
// would not. Only the rest go into the table. Where many vertices repeat (cells cut from one piece share most of theirs), every cell
// counts as sharing, as soon as that shows: the look-up then finds what there is, as it did.
bool cells_sharing_a_vertex(const float* xyz, const int64_t* vertex_starts, int32_t count,
                            PlainBuffer<uint8_t>& sharing) {
    if (!sharing.resize(static_cast<size_t>(std::max<int32_t>(count, 0)))) return false;
    const int64_t total = count > 0 ? vertex_starts[count] : 0;
    const bool numbered = total < (int64_t(1) << 27);   // within the bits' numbering
    std::fill(sharing.data(), sharing.data() + sharing.size(), uint8_t(numbered ? 0 : 1));
    if (total == 0 || !numbered) return true;
    int bits = 6;
    while ((int64_t(1) << bits) < 16 * total) ++bits;
    // Hashes met before: mostly false matches. Too many of them, and the table would cost what
    // the look-ups it saves do.
    const size_t most = static_cast<size_t>(total / 4 + 64);
    PlainBuffer<uint64_t> met;       // a bit per hash met
    PlainBuffer<uint32_t> repeated;  // the hashes met again
    if (!met.resize(size_t(1) << (bits - 6)) || !repeated.reserve(most)) return false;
    std::fill(met.data(), met.data() + met.size(), uint64_t(0));
    for (int64_t v = 0; v < total; ++v) {
        const uint32_t h = vertex_hash(xyz + 3 * v) >> (32 - bits);
        const uint64_t bit = uint64_t(1) << (h & 63);
        if (met[h >> 6] & bit) {
            // Cells cut from one piece show themselves within the first few thousand vertices:
            // every cell then counts as sharing, without the rest of the work.
            if (repeated.size() == most || (v >= 4096 && 4 * repeated.size() > static_cast<size_t>(v))) {
                return all_sharing(sharing);
            }
            repeated.push_back(h);
        }
        met[h >> 6] |= bit;
    }
    // The repeated hashes, eight to a bit: few bits, so that the second pass over every vertex
    // reads them near the processor, where the first pass's would not be.
    const int coarse = std::max(bits - 3, 6);
    PlainBuffer<uint64_t> again;
    if (!again.resize(size_t(1) << (coarse - 6))) return false;
    std::fill(again.data(), again.data() + again.size(), uint64_t(0));
    for (size_t k = 0; k < repeated.size(); ++k) {
        const uint32_t c = repeated[k] >> (bits - coarse);
        again[c >> 6] |= uint64_t(1) << (c & 63);
    }
    // Every vertex of those hashes, the first of each too (and a few more).
    PlainBuffer<Candidate> candidates;
    if (!candidates.reserve(2 * most)) return false;
    int32_t cell = 0;
    for (int64_t v = 0; v < total; ++v) {
        const uint32_t c = vertex_hash(xyz + 3 * v) >> (32 - coarse);
        if ((again[c >> 6] >> (c & 63) & 1) == 0) continue;
        if (candidates.size() == 2 * most) return all_sharing(sharing);
        while (vertex_starts[cell + 1] <= v) ++cell;
        candidates.push_back({static_cast<int32_t>(v), cell});
    }
    return mark_equal_vertices(xyz, vertex_starts, candidates, sharing);
}

}  // namespace cellprox
