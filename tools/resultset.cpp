// resultset.cpp: the file readers shared by the companions.
#include "resultset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace tools {

int usage_error(const char *tool, const std::string &what) {
    fprintf(stderr, "%s: %s\n(%s --help tells how to use it)\n", tool, what.c_str(), tool);
    return 2;
}

int failure(const char *tool, const std::string &what) {
    fprintf(stderr, "%s: %s\n", tool, what.c_str());
    return 1;
}

int unit_answer(const std::string &name) {
    static const char *const names[] = {"m", "dm", "cm", "mm"};
    for (int k = 0; k < 4; k++)
        if (name == names[k] || name == std::to_string(k)) return k;
    return -1;
}

double unit_divisor(int answer) {
    static const double divisors[] = {1.0, 10.0, 100.0, 1000.0};
    return answer >= 0 && answer < 4 ? divisors[answer] : 1.0;
}

namespace {

// A descriptor and the sizes it gives, checked before anything is allocated
// for them.
bool read_sizes(const std::string &path, formats::Descriptor &d, int &rows, int &cols, std::string &err) {
    std::string text, why;
    if (!formats::read_file(path, text, why)) {
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

// Opens a raster that must hold exactly `expected` bytes; the size is checked
// first so that a descriptor's sizes never decide how much is allocated.
int open_raster(const std::string &path, unsigned long long expected, std::string &err) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        err = "cannot read " + path + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        err = "cannot read " + path + ": it is not a regular file";
        close(fd);
        return -1;
    }
    const unsigned long long size = static_cast<unsigned long long>(st.st_size);
    if (size != expected) {
        err = path + " holds " + std::to_string(size) + " bytes, " + std::to_string(expected) + " expected" +
              (size < expected ? " (truncated)" : "");
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool load_result(const std::string &raw_path, Result &r, std::string &err) {
    const std::string txt = formats::descriptor_path(raw_path);
    formats::Descriptor d;
    if (!read_sizes(txt, d, r.rows, r.cols, err)) return false;
    if (d.count < 6 || d.field[2] != 1) {
        err = txt + ": not a result descriptor (six header lines, the third one 1)";
        return false;
    }
    r.pix_size = static_cast<int>(d.field[5]);
    std::string text, why;
    formats::read_file(txt, text, why);
    std::string log_err;
    if (!formats::parse_log(text.substr(d.end), r.records, log_err)) {
        err = txt + ": " + log_err;
        return false;
    }
    const unsigned long long n = static_cast<unsigned long long>(r.rows) * static_cast<unsigned long long>(r.cols);
    const int fd = open_raster(raw_path, n, err);
    if (fd < 0) return false;
    r.cells.resize(static_cast<size_t>(n));
    size_t done = 0;
    while (done < r.cells.size()) {
        const ssize_t got = read(fd, r.cells.data() + done, r.cells.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    if (done != r.cells.size()) {
        err = "cannot read " + raw_path;
        return false;
    }
    return true;
}

bool load_dem(const std::string &raw_path, Dem &dem, std::string &err) {
    const int width = formats::dem_width_of_name(raw_path);
    if (width == 0) {
        err = raw_path + ": a DEM raster's name ends in _m2.raw (16-bit) or _m4.raw (32-bit)";
        return false;
    }
    const std::string txt = formats::descriptor_path(raw_path);
    formats::Descriptor d;
    int rows, cols;
    if (!read_sizes(txt, d, rows, cols, err)) return false;
    dem.pix_size = d.count >= 6 && d.field[5] > 0 ? static_cast<int>(d.field[5]) : 0;
    const int fd = open_raster(raw_path, static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(cols) * width, err);
    if (fd < 0) return false;
    if (!dem.samples.allocate(rows, cols, width)) {
        close(fd);
        err = "not enough memory for the DEM " + raw_path;
        return false;
    }
    std::string why;
    const bool ok = read_samples(fd, dem.samples, dem.count, why);
    close(fd);
    if (!ok) {
        err = "cannot read " + raw_path + ": " + why;
        return false;
    }
    return true;
}

}  // namespace tools
