// dem.cpp: the samples of a DEM in memory and the reading of its raster.
#include "dem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "formats.h"

bool DemSamples::allocate(int r, int c, int w) {
    release();
    const bool ok = w == 2 ? s16.allocate(r, c) : s32.allocate(r, c);
    if (!ok) return false;
    rows = r;
    cols = c;
    width = w;
    return true;
}

void DemSamples::release() {
    s16.release();
    s32.release();
    rows = cols = width = 0;
}

Terrain DemSamples::terrain(double divisor, int pix_size) const {
    Terrain t;
    t.rows = rows;
    t.cols = cols;
    t.s16 = width == 2 ? s16.data() : nullptr;
    t.s32 = width == 4 ? s32.data() : nullptr;
    t.divisor = divisor;
    t.pix_size = pix_size;
    return t;
}

namespace {

// Widens [lo, hi] to hold the n samples, in the samples' own width so that
// the loop runs on whole vectors of them.
void widen_range(const int32_t *v, size_t n, int32_t &lo, int32_t &hi) {
    int32_t a = lo, b = hi;
    for (size_t k = 0; k < n; k++) {
        a = std::min(a, v[k]);
        b = std::max(b, v[k]);
    }
    lo = a;
    hi = b;
}

// Unsigned 16-bit samples are compared as signed ones shifted by 32768: the
// processor's baseline instructions compare those a vector at a time.
void widen_range(const uint16_t *v, size_t n, int32_t &lo, int32_t &hi) {
    int16_t a = INT16_MAX, b = INT16_MIN;
    for (size_t k = 0; k < n; k++) {
        const int16_t x = static_cast<int16_t>(v[k] ^ 0x8000u);
        a = std::min(a, x);
        b = std::max(b, x);
    }
    if (n == 0) return;
    lo = std::min(lo, static_cast<int32_t>(static_cast<uint16_t>(a) ^ 0x8000u));
    hi = std::max(hi, static_cast<int32_t>(static_cast<uint16_t>(b) ^ 0x8000u));
}

template <typename T>
bool read_into(int fd, T *cells, size_t n, SampleCount &count, std::string &err) {
    // Blocks of 256 KiB: large enough for few system calls, small enough to
    // stay in the processor's cache for the conversion and the range.
    const size_t block = (size_t(1) << 18) / sizeof(T);
    const size_t have = static_cast<size_t>(std::min<long long>(count.samples, static_cast<long long>(n)));
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(cells);
    size_t done = 0;  // bytes
    const size_t total = have * sizeof(T);
    while (done < total) {
        const size_t want = std::min(block * sizeof(T), total - done);
        const ssize_t got = read(fd, bytes + done, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            err = strerror(errno);
            return false;
        }
        if (got == 0) break;  // the file shrank while it was read
        const size_t first = done / sizeof(T), last = (done + static_cast<size_t>(got)) / sizeof(T);
        done += static_cast<size_t>(got);
        formats::to_host_order(cells + first, last - first);
        widen_range(cells + first, last - first, lo, hi);
    }
    // A sample cut short by the end of the file is not taken.
    const size_t whole = done / sizeof(T);
    memset(bytes + whole * sizeof(T), 0, done - whole * sizeof(T));
    if (whole < n) {  // the cells the file does not reach are 0
        if (lo > 0) lo = 0;
        if (hi < 0) hi = 0;
    }
    count.min = lo;
    count.max = hi;
    return true;
}

}  // namespace

bool read_samples(int fd, DemSamples &dem, SampleCount &count, std::string &err) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = strerror(errno);
        return false;
    }
    count.file_bytes = static_cast<long long>(st.st_size);
    count.samples = count.file_bytes / dem.width;
    const size_t n = static_cast<size_t>(dem.rows) * static_cast<size_t>(dem.cols);
    return dem.width == 2 ? read_into(fd, dem.s16.data(), n, count, err)
                          : read_into(fd, dem.s32.data(), n, count, err);
}
