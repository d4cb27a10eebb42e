// demset.cpp: the samples of a DEM in memory, the reading of its raster,
// and a DEM file set as the companions open it.
#include "files/demset.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "files/fileio.h"
#include "files/formats.h"

bool DemSamples::allocate(int r, int c, int w) {
    release();
    if (r <= 0 || c <= 0 || (w != 2 && w != 4)) return false;
    const size_t bytes = static_cast<size_t>(r) * static_cast<size_t>(c) * static_cast<size_t>(w);
    if (bytes >= (size_t(32) << 20)) {
        // A large DEM in pages of its own, huge where the system allows:
        // filling it then takes a fault every 2 MiB rather than every 4 KiB.
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
        madvise(p, bytes, MADV_HUGEPAGE);
#endif
        data_ = p;
        mapped_ = bytes;
    } else {
        data_ = calloc(static_cast<size_t>(r) * static_cast<size_t>(c), static_cast<size_t>(w));
    }
    if (data_ == nullptr) return false;
    rows_ = r;
    cols_ = c;
    width_ = w;
    return true;
}

bool DemSamples::map(int fd, int r, int c, int w, std::string &err) {
    release();
    if (!formats::host_is_little_endian()) {
        err = "this host stores numbers most significant byte first: only a copy of the samples will do";
        return false;
    }
    const size_t bytes = static_cast<size_t>(r) * static_cast<size_t>(c) * static_cast<size_t>(w);
    void *p = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        err = strerror(errno);
        return false;
    }
    data_ = p;
    mapped_ = bytes;
    rows_ = r;
    cols_ = c;
    width_ = w;
    return true;
}

void DemSamples::release() {
    if (mapped_ != 0) munmap(data_, mapped_);
    else free(data_);
    data_ = nullptr;
    mapped_ = 0;
    rows_ = cols_ = width_ = 0;
}

Terrain DemSamples::terrain(double divisor, int pix_size) const {
    Terrain t;
    t.rows = rows_;
    t.cols = cols_;
    t.s16 = width_ == 2 ? static_cast<const uint16_t *>(data_) : nullptr;
    t.s32 = width_ == 4 ? static_cast<const int32_t *>(data_) : nullptr;
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
    count.samples = count.file_bytes / dem.width();
    const size_t n = static_cast<size_t>(dem.rows()) * static_cast<size_t>(dem.cols());
    return dem.width() == 2 ? read_into(fd, dem.s16(), n, count, err) : read_into(fd, dem.s32(), n, count, err);
}

void sample_range(const DemSamples &dem, int32_t &lo, int32_t &hi) {
    lo = INT32_MAX;
    hi = INT32_MIN;
    const Terrain t = dem.terrain(1, 0);
    const size_t n = static_cast<size_t>(dem.rows()) * static_cast<size_t>(dem.cols());
    if (t.s16 != nullptr) widen_range(t.s16, n, lo, hi);
    else widen_range(t.s32, n, lo, hi);
}

namespace {

// A descriptor and the sizes it gives, checked before anything is allocated
// for them.
bool read_sizes(const std::string &path, formats::Descriptor &d, int &rows, int &cols, std::string &err) {
    std::string text, why;
    if (!formats::read_file(path, text, why, 1 << 20)) {
        err = "cannot read " + path + ": " + why;
        return false;
    }
    d = formats::parse_descriptor(text);
    if (d.too_big) {
        err = path + ": a number is beyond the 32-bit range";
        return false;
    }
    if (d.count < 2 || d.field[0] < 1 || d.field[1] < 1) {
        err = path + ": the first two numbers must be the rows and columns, both at least 1";
        return false;
    }
    rows = static_cast<int>(d.field[0]);
    cols = static_cast<int>(d.field[1]);
    return true;
}

}  // namespace

bool read_dem_files(const std::string &raw_path, DemSet &d, std::string &err, bool map) {
    const int width = formats::dem_width_of_name(raw_path);
    if (width == 0) {
        err = raw_path + ": a DEM raster's name ends in _m2.raw (16-bit) or _m4.raw (32-bit)";
        if (formats::foreign_raster_name(raw_path)) {
            std::string name = formats::name_of(raw_path);
            name = name.substr(0, name.find('.'));
            err += "; bring " + raw_path + " in first: tolmar-import " + raw_path + " FOLDER " +
                   (formats::single_name(name) ? name : std::string("NAME")) + " (then images/FOLDER/" +
                   (formats::single_name(name) ? name : std::string("NAME")) + "_m2.raw or _m4.raw)";
        }
        return false;
    }
    d.raster = raw_path;
    d.descriptor = formats::descriptor_path(raw_path);
    // The raster first: a missing one is told as itself, not as its descriptor.
    int fd;
    std::string why;
    if (open_regular(raw_path, fd, why) != Opened::ok) {
        err = "cannot read " + raw_path + ": " + (why.empty() ? "No such file or directory" : why);
        return false;
    }
    formats::Descriptor desc;
    int rows = 0, cols = 0;
    if (!read_sizes(d.descriptor, desc, rows, cols, err)) {
        close(fd);
        return false;
    }
    d.pix_size = desc.count >= 6 && desc.field[5] > 0 ? static_cast<int>(desc.field[5]) : 0;
    const unsigned long long expected =
        static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(cols) * static_cast<unsigned>(width);
    struct stat st;
    fstat(fd, &st);
    const unsigned long long size = static_cast<unsigned long long>(st.st_size);
    if (size != expected) {
        err = raw_path + " holds " + std::to_string(size) + " bytes, " + std::to_string(expected) + " expected" +
              (size < expected ? " (truncated)" : "");
        close(fd);
        return false;
    }
    bool ok;
    if (map) {
        ok = d.samples.map(fd, rows, cols, width, why);
        if (!ok) err = "cannot map " + raw_path + ": " + why;
    } else if (!d.samples.allocate(rows, cols, width)) {
        ok = false;
        err = "not enough memory for the DEM " + raw_path;
    } else {
        ok = read_samples(fd, d.samples, d.count, why);
        if (!ok) err = "cannot read " + raw_path + ": " + why;
    }
    close(fd);
    return ok;
}
