// Equal vertices found by their hash: first through bits, then the few left in a table.
#include "kernels/package/hull/vertex_sharing.h"

#include <algorithm>
#include <atomic>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

struct Candidate {
    int32_t vertex;
    int32_t cell;
};

// Candidates are dealt into this many buckets by their hash's top bits: equal vertices meet in
// one bucket, and the buckets are looked at side by side.
constexpr int BUCKET_BITS = 6;

// Marks the cells of candidates equal to a candidate of another cell. In each bucket, each value
// is kept once in a hash table, from the first cell that has it (the candidates come cell by
// cell, and keep that order in their bucket); a slot holds the hash (high half) and the vertex
// number + 1 (low half), so that vertices of unequal hash are told apart without reading their
// coordinates.
bool mark_equal_vertices(const float* xyz, const int64_t* vertex_starts, const PlainBuffer<Candidate>& candidates,
                         PlainBuffer<uint8_t>& sharing, int32_t workers) {
    constexpr int32_t buckets = 1 << BUCKET_BITS;
    size_t starts[buckets + 1] = {};
    PlainBuffer<Candidate> dealt;
    PlainBuffer<uint32_t> hashes;
    if (!dealt.resize(candidates.size()) || !hashes.resize(candidates.size())) return false;
    for (size_t k = 0; k < candidates.size(); ++k) {
        ++starts[(vertex_hash(xyz + 3 * static_cast<int64_t>(candidates[k].vertex)) >> (32 - BUCKET_BITS)) + 1];
    }
    for (int32_t b = 0; b < buckets; ++b) starts[b + 1] += starts[b];
    size_t places[buckets];
    std::copy(starts, starts + buckets, places);
    for (size_t k = 0; k < candidates.size(); ++k) {
        const uint32_t hash = vertex_hash(xyz + 3 * static_cast<int64_t>(candidates[k].vertex));
        const size_t place = places[hash >> (32 - BUCKET_BITS)]++;
        dealt[place] = candidates[k];
        hashes[place] = hash;
    }
    FixedArray<PlainBuffer<int32_t>> marked;    // per bucket: cells found sharing
    if (!marked.allocate(buckets)) return false;
    std::atomic<bool> room{true};
    auto bucket = [&](int32_t b) {
        const size_t first = starts[b], count = starts[b + 1] - first;
        int bits = 4;
        while ((size_t(1) << bits) < count + count / 2) ++bits;
        bits = std::min(bits, 32 - BUCKET_BITS);
        const uint32_t mask = (uint32_t(1) << bits) - 1;
        PlainBuffer<uint64_t> slots;
        PlainBuffer<int32_t> owner;    // per slot: the cell of the vertex kept there
        if (!slots.resize(size_t(1) << bits) || !owner.resize(size_t(1) << bits)) {
            room.store(false, std::memory_order_relaxed);
            return;
        }
        std::fill(slots.data(), slots.data() + slots.size(), uint64_t(0));
        for (size_t k = first; k < first + count; ++k) {
            const Candidate found = dealt[k];
            const float* p = xyz + 3 * static_cast<int64_t>(found.vertex);
            const uint32_t hash = hashes[k];
            for (uint32_t slot = (hash << BUCKET_BITS) >> (32 - bits);; slot = (slot + 1) & mask) {
                const uint64_t held = slots[slot];
                if (held == 0) {   // a value not kept before
                    slots[slot] = (uint64_t(hash) << 32) | static_cast<uint64_t>(found.vertex + 1);
                    owner[slot] = found.cell;
                    break;
                }
                const int64_t u = static_cast<int64_t>(held & 0xffffffffu) - 1;
                if (static_cast<uint32_t>(held >> 32) != hash || !same_vertex(xyz + 3 * u, p)) continue;
                // Kept from an earlier cell, not repeated in its own.
                if (u < vertex_starts[found.cell] &&
                    (!marked[b].push_back(owner[slot]) || !marked[b].push_back(found.cell))) {
                    room.store(false, std::memory_order_relaxed);
                }
                break;
            }
        }
    };
    for_each_piece(workers, buckets, bucket);
    if (!room.load()) return false;
    for (int32_t b = 0; b < buckets; ++b) {
        for (size_t k = 0; k < marked[b].size(); ++k) sharing[static_cast<size_t>(marked[b][k])] = 1;
    }
    return true;
}

bool all_sharing(PlainBuffer<uint8_t>& sharing) {
    std::fill(sharing.data(), sharing.data() + sharing.size(), uint8_t(1));
    return true;
}

}  // namespace

// Sets `bit` in `word`, which other threads may be setting bits of too; whether it was set.
inline bool test_and_set(uint64_t& word, uint64_t bit) {
#if defined(_MSC_VER)
    return (static_cast<uint64_t>(_InterlockedOr64(reinterpret_cast<volatile long long*>(&word),
                                                   static_cast<long long>(bit))) & bit) != 0;
#else
    return (__atomic_fetch_or(&word, bit, __ATOMIC_RELAXED) & bit) != 0;
#endif
}

// Vertices to a piece of the passes on the team.
constexpr int64_t PIECE = 65536;

// Most vertices of most scenes are unique, so bits first tell apart the vertices whose hash no
// other vertex has: sixteen bits a vertex (a megabyte for 500,000 vertices) leave about one
// vertex in sixteen a false match, and stay near the processor, where a table of every vertex
// would not. Only the rest go into the table. Where many vertices repeat (cells cut from one
// piece share most of theirs), every cell counts as sharing, as soon as that shows: the look-up
// then finds what there is, as it did.
//
// On a team, the first piece of vertices is looked at alone first (a fracture shows itself
// there), then the rest side by side. Which hashes repeat, and how often, does not depend on
// the order the vertices are met in, and the candidates are kept in the vertices' order: the
// answer is the same for any number of threads.
bool cells_sharing_a_vertex(const float* xyz, const int64_t* vertex_starts, int32_t count,
                            PlainBuffer<uint8_t>& sharing, int32_t workers) {
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
    const int32_t pieces = static_cast<int32_t>((total + PIECE - 1) / PIECE);
    PlainBuffer<uint64_t> met;       // a bit per hash met
    FixedArray<PlainBuffer<uint32_t>> repeated;   // per piece: the hashes met again
    if (!met.resize(size_t(1) << (bits - 6)) || !repeated.allocate(pieces)) return false;
    std::fill(met.data(), met.data() + met.size(), uint64_t(0));
    // The first piece alone: cells cut from one piece show themselves within the first few
    // thousand vertices, and every cell then counts as sharing, without the rest of the work.
    const int64_t first_end = std::min(total, PIECE);
    for (int64_t v = 0; v < first_end; ++v) {
        const uint32_t h = vertex_hash(xyz + 3 * v) >> (32 - bits);
        if (test_and_set(met[h >> 6], uint64_t(1) << (h & 63))) {
            if (v >= 4096 && 4 * repeated[0].size() > static_cast<size_t>(v)) return all_sharing(sharing);
            if (!repeated[0].push_back(h)) return false;
        }
    }
    std::atomic<bool> room{true};
    auto meet = [&](int32_t piece) {
        const int64_t last = std::min(total, (piece + 2) * PIECE);
        for (int64_t v = (piece + 1) * PIECE; v < last && room.load(std::memory_order_relaxed); ++v) {
            const uint32_t h = vertex_hash(xyz + 3 * v) >> (32 - bits);
            if (test_and_set(met[h >> 6], uint64_t(1) << (h & 63)) &&
                !repeated[piece + 1].push_back(h)) {
                room.store(false, std::memory_order_relaxed);
            }
        }
    };
    for_each_piece(workers, pieces - 1, meet);
    if (!room.load()) return false;
    size_t repeats = 0;
    for (int32_t piece = 0; piece < pieces; ++piece) repeats += repeated[piece].size();
    if (repeats >= most || (total > 4096 && 4 * repeats > static_cast<size_t>(total))) return all_sharing(sharing);
    // The repeated hashes, eight to a bit: few bits, so that the second pass over every vertex
    // reads them near the processor, where the first pass's would not be.
    const int coarse = std::max(bits - 3, 6);
    PlainBuffer<uint64_t> again;
    if (!again.resize(size_t(1) << (coarse - 6))) return false;
    std::fill(again.data(), again.data() + again.size(), uint64_t(0));
    for (int32_t piece = 0; piece < pieces; ++piece) {
        for (size_t k = 0; k < repeated[piece].size(); ++k) {
            const uint32_t c = repeated[piece][k] >> (bits - coarse);
            again[c >> 6] |= uint64_t(1) << (c & 63);
        }
    }
    // Every vertex of those hashes, the first of each too (and a few more), piece by piece.
    FixedArray<PlainBuffer<Candidate>> found;
    if (!found.allocate(pieces)) return false;
    auto gather = [&](int32_t piece) {
        const int64_t first = piece * PIECE, last = std::min(total, first + PIECE);
        // The cell of the piece's first vertex: the last whose vertices start at or before it.
        int32_t cell = static_cast<int32_t>(std::upper_bound(vertex_starts, vertex_starts + count + 1, first) -
                                            vertex_starts) - 1;
        for (int64_t v = first; v < last && room.load(std::memory_order_relaxed); ++v) {
            const uint32_t c = vertex_hash(xyz + 3 * v) >> (32 - coarse);
            if ((again[c >> 6] >> (c & 63) & 1) == 0) continue;
            while (vertex_starts[cell + 1] <= v) ++cell;
            if (!found[piece].push_back({static_cast<int32_t>(v), cell})) room.store(false, std::memory_order_relaxed);
        }
    };
    for_each_piece(workers, pieces, gather);
    if (!room.load()) return false;
    PlainBuffer<Candidate> candidates;
    for (int32_t piece = 0; piece < pieces; ++piece) {
        if (candidates.size() + found[piece].size() > 2 * most) return all_sharing(sharing);
        if (!candidates.append(found[piece].data(), found[piece].size())) return false;
    }
    return mark_equal_vertices(xyz, vertex_starts, candidates, sharing, workers);
}

}  // namespace cellprox
