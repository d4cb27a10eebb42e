// knowncells.h: the cells a result set holds other than its background, as
// the writing process knows them, so that a stamp learns what its cells
// held without reading a raster whose pages lie all over a large file.
#ifndef TOLMAR_FILES_KNOWNCELLS_H
#define TOLMAR_FILES_KNOWNCELLS_H

#include <cstddef>
#include <cstdint>
#include <vector>

// Cells by their offset in the raster (open addressing): every cell this
// process has changed, and, when complete(), every cell of the set that
// is not its background.
class KnownCells {
public:
    void clear(bool complete);
    bool complete() const { return complete_; }
    // The cell's byte, or -1 when not known.
    int find(size_t k) const {
        if (used_ == 0) return -1;
        for (size_t at = slot(k);; at = (at + 1) & mask_) {
            if (keys_[at] == k + 1) return values_[at];
            if (keys_[at] == 0) return -1;
        }
    }
    void set(size_t k, uint8_t v);
    size_t size() const { return used_; }

private:
    size_t slot(size_t k) const { return static_cast<size_t>((k * 0x9E3779B97F4A7C15ull) >> 32) & mask_; }
    std::vector<uint64_t> keys_;  // offset + 1; 0 for a free slot
    std::vector<uint8_t> values_;
    size_t used_ = 0, mask_ = 0;
    bool complete_ = false;
};

#endif
