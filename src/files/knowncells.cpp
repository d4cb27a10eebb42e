// knowncells.cpp: the cells a result set's writer knows.
#include "files/knowncells.h"

#include <algorithm>

void KnownCells::clear(bool complete) {
    keys_.clear();
    values_.clear();
    used_ = 0;
    mask_ = 0;
    complete_ = complete;
}

void KnownCells::set(size_t k, uint8_t v) {
    if (2 * (used_ + 1) > keys_.size()) {
        // Grown to twice its room (at least 1,024 slots), each cell moved.
        std::vector<uint64_t> keys(std::max<size_t>(1024, 2 * keys_.size()), 0);
        std::vector<uint8_t> values(keys.size());
        keys.swap(keys_);
        values.swap(values_);
        mask_ = keys_.size() - 1;
        used_ = 0;
        for (size_t at = 0; at < keys.size(); at++)
            if (keys[at] != 0) set(keys[at] - 1, values[at]);
    }
    size_t at = slot(k);
    while (keys_[at] != 0 && keys_[at] != k + 1) at = (at + 1) & mask_;
    if (keys_[at] == 0) {
        keys_[at] = k + 1;
        used_++;
    }
    values_[at] = v;
}
