// classify.cpp: the classes of a treatment's cells, and the four phases that
// turn the classes the rays left into the trace, run once each in this order:
// unanimous gap filling, hole vote, contour extraction, corner clean-up. Each
// phase scans row by row and writes in place, so a cell changed earlier in
// the pass is seen changed by the cells after it.
//
// Neighbours of a cell and their weights in the corner clean-up's code:
//
//      NW  N  NE        1   2   4
//       W  .  E       128   .   8
//      SW  S  SE       64  32  16
//
// A cell outside its row's span of classified cells cannot change in any
// phase: phases 1 and 2 fill only cells whose west and east neighbours are
// classified, phases 3 and 4 look only at classified cells. So each phase
// visits each row's span alone.
#include <algorithm>
#include <cstring>

#include "compute/classify.h"

// ---- the classes of a treatment ---------------------------------------------

void Classes::reset(const Box &box) {
    // Only the spans of the last treatment were ever written.
    for (size_t r = 0; r < lo_.size(); r++) {
        const int lo = std::min(lo_[r], wlo_[r]), hi = std::max(hi_[r], whi_[r]);
        if (lo <= hi) {
            const int i = box_.i0 + static_cast<int>(r);
            std::fill(cells_.begin() + static_cast<ptrdiff_t>(index(i, lo)),
                      cells_.begin() + static_cast<ptrdiff_t>(index(i, hi)) + 1, 0);
        }
    }
    box_ = box;
    const int rows = box.empty() ? 0 : box.i1 - box.i0 + 1;
    stride_ = box.empty() ? 0 : box.j1 - box.j0 + 3;
    const size_t need = static_cast<size_t>(rows + 2) * static_cast<size_t>(stride_);
    if (cells_.size() < need) cells_.resize(need, 0);
    lo_.assign(static_cast<size_t>(rows), box.j1 + 1);
    hi_.assign(static_cast<size_t>(rows), box.j0 - 1);
    wlo_ = lo_;
    whi_ = hi_;
}

void Classes::whole_rows() {
    std::fill(lo_.begin(), lo_.end(), box_.j0);
    std::fill(hi_.begin(), hi_.end(), box_.j1);
}

void Classes::span(int i, const Box &limit, int &lo, int &hi) const {
    const size_t r = static_cast<size_t>(i - box_.i0);
    lo = std::max(lo_[r], limit.j0);
    hi = std::min(hi_[r], limit.j1);
}

// ---- the phases ---------------------------------------------------------------

namespace {

// Eight cells as one word, for skipping runs of cells a phase leaves alone.
inline uint64_t word8(const uint8_t *p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}
// Not zero when one of the eight bytes is zero.
inline uint64_t has_zero(uint64_t w) { return (w - 0x0101010101010101ULL) & ~w & 0x8080808080808080ULL; }

// Runs row(first, end) over each row's span of cells within `interior`, the
// cells that can change, row by row.
template <typename Row>
void each_span(Classes &c, const Box &interior, Row row) {
    const int r0 = std::max(c.box().i0, interior.i0), r1 = std::min(c.box().i1, interior.i1);
    for (int i = r0; i <= r1; i++) {
        int lo, hi;
        c.span(i, interior, lo, hi);
        if (lo <= hi) row(c.at(i, lo), c.at(i, lo) + (hi - lo + 1));
    }
}

// Runs visit(p) over the cells of each row's span within `interior` for
// which `wanted` holds, in row-major order; `none(word)` tells that none of
// eight cells can be wanted, so they are passed over together.
template <typename None, typename Wanted, typename Visit>
void each_wanted(Classes &c, const Box &interior, None none, Wanted wanted, Visit visit) {
    each_span(c, interior, [&](uint8_t *p, uint8_t *const end) {
        while (p < end) {
            if (end - p >= 8 && none(word8(p))) {
                p += 8;
                continue;
            }
            if (wanted(*p)) visit(p);
            p++;
        }
    });
}

// Sixteen cells at once, for the phases in which no cell's change alters
// another cell's outcome, so that the order of the visits does not matter.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
inline Bytes16 load16(const uint8_t *p) {
    Bytes16 v;
    memcpy(&v, p, 16);
    return v;
}
inline void store16(uint8_t *p, Bytes16 v) { memcpy(p, &v, 16); }
inline Bytes16 equal(Bytes16 a, uint8_t b) { return reinterpret_cast<Bytes16>(a == b); }

// Runs chunk(p), which returns the new value of sixteen cells, over each
// row's span within `interior`, and cell(p) on the cells left at a span's
// end. A chunk is stored only once the next one is read: its west
// neighbour is the last cell of the chunk before, and a load that half
// overlaps a store still in flight waits for it.
template <typename Chunk, typename One>
void each_chunk(Classes &c, const Box &interior, Chunk chunk, One cell) {
    each_span(c, interior, [&](uint8_t *p, uint8_t *const end) {
        uint8_t *held = nullptr;
        Bytes16 value;
        for (; end - p >= 16; p += 16) {
            const Bytes16 next = chunk(p);
            if (held != nullptr) store16(held, value);
            held = p;
            value = next;
        }
        if (held != nullptr) store16(held, value);
        for (; p < end; p++) cell(p);
    });
}

// Side neighbours (N, E, S, W) of *p equal to v.
inline int side_count(const uint8_t *p, ptrdiff_t stride, uint8_t v) {
    return (p[-stride] == v) + (p[1] == v) + (p[stride] == v) + (p[-1] == v);
}

}  // namespace

// An unclassified cell whose four side neighbours hold one and the same class
// takes it. Two side-adjacent unclassified cells are never filled, so a
// filled cell is never the neighbour of another cell that could be filled:
// the order of the visits does not matter.
void fill_gaps(Classes &c, const Box &interior) {
    const ptrdiff_t s = c.stride();
    each_chunk(
        c, interior,
        [s](const uint8_t *p) {
            const Bytes16 here = load16(p), n = load16(p - s), e = load16(p + 1), so = load16(p + s), w = load16(p - 1);
            const Bytes16 gap = equal(here, 0);
            const Bytes16 ones = gap & equal(n, 1) & equal(e, 1) & equal(so, 1) & equal(w, 1);
            const Bytes16 twos = gap & equal(n, 2) & equal(e, 2) & equal(so, 2) & equal(w, 2);
            return here | (ones & 1) | (twos & 2);
        },
        [s](uint8_t *p) {
            if (*p != 0) return;
            if (side_count(p, s, 1) == 4) *p = 1;
            if (side_count(p, s, 2) == 4) *p = 2;
        });
}

// An unclassified cell with four classified side neighbours takes the
// majority class of its 3x3 window; a tie gives class 1. A cell voted earlier
// in the pass counts with its new class.
void vote_holes(Classes &c, const Box &interior) {
    const ptrdiff_t s = c.stride();
    each_wanted(
        c, interior, [](uint64_t w) { return has_zero(w) == 0; }, [](uint8_t v) { return v == 0; },
        [s](uint8_t *p) {
            if ((p[-s] != 0) + (p[1] != 0) + (p[s] != 0) + (p[-1] != 0) != 4) return;
            int maj1 = 0, maj2 = 0;
            for (const uint8_t *q : {p - s - 1, p - 1, p + s - 1})
                for (int l = 0; l < 3; l++) {
                    maj1 += q[l] == 1;
                    maj2 += q[l] == 2;
                }
            *p = maj1 < maj2 ? 2 : 1;
        });
}

// Every class-1 cell touching a class-2 cell by a side is a trace cell: the
// trace lies on the side where the plane is at or below the terrain. Class-2
// cells are never marked, so a cell marked before its neighbours are seen
// changes nothing for them: the order of the visits does not matter.
void extract_contour(Classes &c, const Box &interior) {
    const ptrdiff_t s = c.stride();
    each_chunk(
        c, interior,
        [s](const uint8_t *p) {
            const Bytes16 here = load16(p);
            const Bytes16 touch = equal(load16(p - s), 2) | equal(load16(p + 1), 2) | equal(load16(p + s), 2) | equal(load16(p - 1), 2);
            return here | (equal(here, 1) & touch & Classes::TRACE);
        },
        [s](uint8_t *p) {
            if (*p == 1 && side_count(p, s, 2) > 0) *p |= Classes::TRACE;
        });
}

// Removes the corner of each right-angled elbow: a trace cell whose only
// marked neighbours are two side neighbours at a right angle (codes 10, 40,
// 160, 130). Its two arms still touch diagonally, so the line stays
// 8-connected and becomes one cell thin.
void clean_corners(Classes &c, const Box &interior) {
    const ptrdiff_t s = c.stride();
    each_wanted(
        c, interior, [](uint64_t w) { return (w & 0x8080808080808080ULL) == 0; },
        [](uint8_t v) { return (v & Classes::TRACE) != 0; },
        [s](uint8_t *p) {
            auto on = [](uint8_t v) { return (v & Classes::TRACE) != 0; };
            const int code8 = on(p[-s - 1]) * 1 + on(p[-s]) * 2 + on(p[-s + 1]) * 4 + on(p[1]) * 8 + on(p[s + 1]) * 16 +
                              on(p[s]) * 32 + on(p[s - 1]) * 64 + on(p[-1]) * 128;
            if (code8 == 10 || code8 == 40 || code8 == 160 || code8 == 130) *p &= static_cast<uint8_t>(~Classes::TRACE);
        });
}

void trace_cells(Classes &c, const Box &interior, std::vector<Cell> &cells) {
    const int i0 = c.box().i0, j0 = c.box().j0;
    const uint8_t *const origin = c.at(i0, j0);
    const ptrdiff_t s = c.stride();
    each_wanted(
        c, interior, [](uint64_t w) { return (w & 0x8080808080808080ULL) == 0; },
        [](uint8_t v) { return (v & Classes::TRACE) != 0; },
        [&](uint8_t *p) {
            const ptrdiff_t k = p - origin;
            cells.push_back({i0 + static_cast<int>(k / s), j0 + static_cast<int>(k % s)});
        });
}
