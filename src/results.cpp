// results.cpp: the result raster and run log on disk, written so that the
// two files agree at every moment a treatment's menu can be shown.
#include "results.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "formats.h"

namespace {

std::string reason() { return strerror(errno); }

// Writes all of `n` bytes at `offset`, through interruptions and short writes.
bool write_at(int fd, const void *data, size_t n, long long offset) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = pwrite(fd, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
        offset += w;
    }
    return true;
}

bool read_at(int fd, void *data, size_t n, long long offset) {
    char *p = static_cast<char *>(data);
    while (n > 0) {
        const ssize_t r = pread(fd, p, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r == 0) errno = EIO;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
        offset += r;
    }
    return true;
}

// A new file beside `path`, named after it with a leading dot and a unique
// ending, created exclusively (never through a link or over another file).
int create_beside(const std::string &path, std::string &tmp) {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    unsigned long long seed = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count()) ^ (static_cast<unsigned long long>(getpid()) << 20);
    for (int attempt = 0; attempt < 100; attempt++) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        char suffix[16];
        snprintf(suffix, sizeof suffix, ".%06llx", (seed >> 40) & 0xffffff);
        tmp = folder + "." + name + suffix;
        const int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string result_path_refusal(const std::string &path, const std::string *protect, int n_protect, bool &exists) {
    struct stat st;
    exists = false;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return "";
        return "Cannot use " + path + ": " + reason();
    }
    exists = true;
    if (S_ISLNK(st.st_mode)) return "Cannot use " + path + ": it is a symbolic link, which tolmar does not follow";
    if (S_ISDIR(st.st_mode)) return "Cannot use " + path + ": it is a folder";
    if (!S_ISREG(st.st_mode)) return "Cannot use " + path + ": it is not a regular file";
    for (int k = 0; k < n_protect; k++) {
        struct stat p;
        if (stat(protect[k].c_str(), &p) == 0 && p.st_dev == st.st_dev && p.st_ino == st.st_ino)
            return "Cannot use " + path + ": it is the same file as " + protect[k];
    }
    if (access(path.c_str(), W_OK) != 0) return "Cannot replace " + path + ": " + reason();
    return "";
}

ResultFiles &ResultFiles::operator=(ResultFiles &&o) noexcept {
    if (this == &o) return *this;
    discard();
    raster_ = std::move(o.raster_);
    log_ = std::move(o.log_);
    raster_tmp_ = std::move(o.raster_tmp_);
    log_tmp_ = std::move(o.log_tmp_);
    raster_fd_ = o.raster_fd_;
    log_fd_ = o.log_fd_;
    rows_ = o.rows_;
    cols_ = o.cols_;
    log_size_ = o.log_size_;
    placed_ = o.placed_;
    background_ = o.background_;
    o.raster_fd_ = o.log_fd_ = -1;
    o.raster_tmp_.clear();
    o.log_tmp_.clear();
    o.placed_ = false;
    return *this;
}

bool ResultFiles::create(const std::string &raster, const std::string &log, int rows, int cols, std::string &err) {
    discard();
    raster_ = raster;
    log_ = log;
    rows_ = rows;
    cols_ = cols;
    raster_fd_ = create_beside(raster, raster_tmp_);
    if (raster_fd_ < 0) {
        err = "Cannot create " + raster + ": " + reason();
        raster_tmp_.clear();
        return false;
    }
    log_fd_ = create_beside(log, log_tmp_);
    if (log_fd_ < 0) {
        err = "Cannot create " + log + ": " + reason();
        log_tmp_.clear();
        return false;
    }
    const std::string header = formats::header_text(rows, cols);
    if (!write_at(log_fd_, header.data(), header.size(), 0)) {
        err = "Cannot write " + log + ": " + reason();
        return false;
    }
    log_size_ = static_cast<long long>(header.size());
    return true;
}

bool ResultFiles::append_pix_size(int pix_size, std::string &err) {
    const std::string line = formats::pix_size_line(pix_size);
    if (!write_at(log_fd_, line.data(), line.size(), log_size_)) {
        err = "Cannot write " + log_ + ": " + reason();
        return false;
    }
    log_size_ += static_cast<long long>(line.size());
    return true;
}

bool ResultFiles::place(uint8_t background, bool &replaced, std::string &err) {
    background_ = background;
    const long long size = static_cast<long long>(rows_) * cols_;
    // A black background is the zeros of a file extended to its size; a
    // white one is written.
    if (ftruncate(raster_fd_, static_cast<off_t>(size)) != 0) {
        err = "Cannot write " + raster_ + ": " + reason();
        return false;
    }
    if (background != 0) {
        const std::vector<uint8_t> block(static_cast<size_t>(std::min<long long>(size, 1 << 20)), background);
        for (long long at = 0; at < size; at += static_cast<long long>(block.size()))
            if (!write_at(raster_fd_, block.data(), static_cast<size_t>(std::min<long long>(size - at, static_cast<long long>(block.size()))), at)) {
                err = "Cannot write " + raster_ + ": " + reason();
                return false;
            }
    }
    struct stat st;
    replaced = lstat(raster_.c_str(), &st) == 0 || lstat(log_.c_str(), &st) == 0;
    if (rename(raster_tmp_.c_str(), raster_.c_str()) != 0) {
        err = "Cannot create " + raster_ + ": " + reason();
        return false;
    }
    raster_tmp_.clear();
    if (rename(log_tmp_.c_str(), log_.c_str()) != 0) {
        err = "Cannot create " + log_ + ": " + reason();
        return false;
    }
    log_tmp_.clear();
    placed_ = true;
    return true;
}

bool ResultFiles::carry_on(const std::string &raster, const std::string &log, int rows, int cols,
                           Grid<uint8_t> &tab_out, std::string &log_text, std::string &err) {
    discard();
    raster_ = raster;
    log_ = log;
    rows_ = rows;
    cols_ = cols;
    const long long size = static_cast<long long>(rows) * cols;
    for (const std::string *p : {&raster_, &log_}) {
        const int fd = open(p->c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            err = "Cannot open " + *p + ": " + reason();
            if (fd >= 0) ::close(fd);
            return false;
        }
        (p == &raster_ ? raster_fd_ : log_fd_) = fd;
        if (!S_ISREG(st.st_mode)) {
            err = "Cannot use " + *p + ": it is not a regular file";
            return false;
        }
        if (p == &raster_ && st.st_size != size) {
            err = raster_ + " holds " + std::to_string(st.st_size) + " bytes, " + std::to_string(size) + " expected";
            return false;
        }
        if (p == &log_) log_size_ = static_cast<long long>(st.st_size);
    }
    if (!tab_out.allocate(rows, cols)) {
        err = "Not enough memory for the result raster " + raster_;
        return false;
    }
    if (!read_at(raster_fd_, tab_out.data(), static_cast<size_t>(size), 0)) {
        err = "Cannot read " + raster_ + ": " + reason();
        return false;
    }
    // Only one of 0 and 255 stands for the background in a result raster.
    background_ = 0;
    for (long long k = 0; k < size; k++)
        if (tab_out.data()[k] == 255) {
            background_ = 255;
            break;
        }
    for (long long k = 0; k < size; k++)
        if (tab_out.data()[k] == 255) tab_out.data()[k] = 0;
    log_text.assign(static_cast<size_t>(log_size_), '\0');
    if (log_size_ > 0 && !read_at(log_fd_, &log_text[0], log_text.size(), 0)) {
        err = "Cannot read " + log_ + ": " + reason();
        return false;
    }
    placed_ = true;
    return true;
}

bool ResultFiles::commit(const Grid<uint8_t> &tab_out, const Box &box, const std::string &record, std::string &err) {
    // What the box's rows held, to put back if the record cannot be written.
    std::vector<uint8_t> before, after;
    const size_t width = box.empty() ? 0 : static_cast<size_t>(box.j1 - box.j0 + 1);
    auto offset = [&](int i) { return static_cast<long long>(i) * cols_ + box.j0; };
    if (!box.empty()) {
        before.resize(width * static_cast<size_t>(box.i1 - box.i0 + 1));
        after.resize(before.size());
        for (int i = box.i0; i <= box.i1; i++) {
            const size_t r = static_cast<size_t>(i - box.i0) * width;
            if (!read_at(raster_fd_, &before[r], width, offset(i))) {
                err = "Cannot read " + raster_ + ": " + reason();
                return false;
            }
            const uint8_t *src = tab_out.row(i) + box.j0;
            for (size_t k = 0; k < width; k++) after[r + k] = src[k] != 0 ? src[k] : background_;
        }
    }
    auto put = [&](const std::vector<uint8_t> &rows) {
        for (int i = box.i0; !box.empty() && i <= box.i1; i++)
            if (!write_at(raster_fd_, &rows[static_cast<size_t>(i - box.i0) * width], width, offset(i))) return false;
        return true;
    };
    if (!put(after)) {
        err = "Cannot write " + raster_ + ": " + reason();
        const int saved = errno;
        put(before);
        errno = saved;
        return false;
    }
    if (!write_at(log_fd_, record.data(), record.size(), log_size_)) {
        err = "Cannot write " + log_ + ": " + reason();
        if (ftruncate(log_fd_, static_cast<off_t>(log_size_)) != 0) err += " (and it could not be cut back)";
        put(before);
        return false;
    }
    log_size_ += static_cast<long long>(record.size());
    return true;
}

bool ResultFiles::finish(std::string &err) {
    bool ok = true;
    for (int *fd : {&raster_fd_, &log_fd_}) {
        if (*fd >= 0 && ::close(*fd) != 0 && ok) {
            err = "Cannot write " + (fd == &raster_fd_ ? raster_ : log_) + ": " + reason();
            ok = false;
        }
        *fd = -1;
    }
    return ok;
}

void ResultFiles::discard() {
    for (int *fd : {&raster_fd_, &log_fd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    for (std::string *tmp : {&raster_tmp_, &log_tmp_}) {
        if (!tmp->empty()) unlink(tmp->c_str());
        tmp->clear();
    }
    placed_ = false;
}
