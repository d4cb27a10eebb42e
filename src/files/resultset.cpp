// resultset.cpp: the result raster and run log on disk, written so that the
// two files agree at every moment a treatment's menu can be shown, and read
// back by the companions.
#include "files/resultset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>




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

bool ResultFiles::create(const std::string &raster, const std::string &log, int rows, int cols, std::string &err) {
    discard();
    raster_ = raster;
    log_ = log;
    rows_ = rows;
    cols_ = cols;
    raster_fd_ = create_beside(*fs_, raster, raster_tmp_);
    if (raster_fd_ < 0) {
        err = "Cannot create " + raster + ": " + reason();
        raster_tmp_.clear();
        return false;
    }
    log_fd_ = create_beside(*fs_, log, log_tmp_);
    if (log_fd_ < 0) {
        err = "Cannot create " + log + ": " + reason();
        log_tmp_.clear();
        return false;
    }
    const std::string header = formats::header_text(rows, cols);
    if (!write_all(*fs_, log_fd_, header.data(), header.size(), 0)) {
        err = "Cannot write " + log + ": " + reason();
        return false;
    }
    log_size_ = static_cast<long long>(header.size());
    return true;
}

bool ResultFiles::append_line(const std::string &line, std::string &err) {
    if (!write_all(*fs_, log_fd_, line.data(), line.size(), log_size_)) {
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
    if (fs_->ftruncate(raster_fd_, static_cast<off_t>(size)) != 0) {
        err = "Cannot write " + raster_ + ": " + reason();
        return false;
    }
    if (background != 0) {
        const std::vector<uint8_t> block(static_cast<size_t>(std::min<long long>(size, 1 << 20)), background);
        for (long long at = 0; at < size; at += static_cast<long long>(block.size()))
            if (!write_all(*fs_, raster_fd_, block.data(), static_cast<size_t>(std::min<long long>(size - at, static_cast<long long>(block.size()))), at)) {
                err = "Cannot write " + raster_ + ": " + reason();
                return false;
            }
    }
    struct stat st;
    replaced = lstat(raster_.c_str(), &st) == 0 || lstat(log_.c_str(), &st) == 0;
    if (fs_->rename(raster_tmp_.c_str(), raster_.c_str()) != 0) {
        err = "Cannot create " + raster_ + ": " + reason();
        return false;
    }
    raster_tmp_.clear();
    if (fs_->rename(log_tmp_.c_str(), log_.c_str()) != 0) {
        err = "Cannot create " + log_ + ": " + reason();
        return false;
    }
    log_tmp_.clear();
    placed_ = true;
    return true;
}

bool ResultFiles::carry_on(const std::string &raster, const std::string &log, int rows, int cols,
                           Grid<uint8_t> &raster_cells, std::string &log_text, std::string &err) {
    discard();
    raster_ = raster;
    log_ = log;
    rows_ = rows;
    cols_ = cols;
    const long long size = static_cast<long long>(rows) * cols;
    for (const std::string *p : {&raster_, &log_}) {
        const int fd = fs_->open(p->c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            err = "Cannot open " + *p + ": " + reason();
            if (fd >= 0) fs_->close(fd);
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
    if (!raster_cells.allocate(rows, cols)) {
        err = "Not enough memory for the result raster " + raster_;
        return false;
    }
    if (!read_all(*fs_, raster_fd_, raster_cells.data(), static_cast<size_t>(size), 0)) {
        err = "Cannot read " + raster_ + ": " + reason();
        return false;
    }
    // Only one of 0 and 255 stands for the background in a result raster.
    background_ = 0;
    for (long long k = 0; k < size; k++)
        if (raster_cells.data()[k] == 255) {
            background_ = 255;
            break;
        }
    for (long long k = 0; k < size; k++)
        if (raster_cells.data()[k] == 255) raster_cells.data()[k] = 0;
    log_text.assign(static_cast<size_t>(log_size_), '\0');
    if (log_size_ > 0 && !read_all(*fs_, log_fd_, &log_text[0], log_text.size(), 0)) {
        err = "Cannot read " + log_ + ": " + reason();
        return false;
    }
    placed_ = true;
    return true;
}

bool ResultFiles::commit(const Grid<uint8_t> &raster, const Box &box, const std::string &record, std::string &err) {
    // What the box's rows held, to put back if the record cannot be written.
    std::vector<uint8_t> before, after;
    const size_t width = box.empty() ? 0 : static_cast<size_t>(box.j1 - box.j0 + 1);
    auto offset = [&](int i) { return static_cast<long long>(i) * cols_ + box.j0; };
    if (!box.empty()) {
        before.resize(width * static_cast<size_t>(box.i1 - box.i0 + 1));
        after.resize(before.size());
        for (int i = box.i0; i <= box.i1; i++) {
            const size_t r = static_cast<size_t>(i - box.i0) * width;
            if (!read_all(*fs_, raster_fd_, &before[r], width, offset(i))) {
                err = "Cannot read " + raster_ + ": " + reason();
                return false;
            }
            const uint8_t *src = raster.row(i) + box.j0;
            for (size_t k = 0; k < width; k++) after[r + k] = src[k] != 0 ? src[k] : background_;
        }
    }
    auto put = [&](const std::vector<uint8_t> &rows) {
        for (int i = box.i0; !box.empty() && i <= box.i1; i++)
            if (!write_all(*fs_, raster_fd_, &rows[static_cast<size_t>(i - box.i0) * width], width, offset(i))) return false;
        return true;
    };
    if (!put(after)) {
        err = "Cannot write " + raster_ + ": " + reason();
        const int saved = errno;
        put(before);
        errno = saved;
        return false;
    }
    if (!write_all(*fs_, log_fd_, record.data(), record.size(), log_size_)) {
        err = "Cannot write " + log_ + ": " + reason();
        if (fs_->ftruncate(log_fd_, static_cast<off_t>(log_size_)) != 0) err += " (and it could not be cut back)";
        put(before);
        return false;
    }
    log_size_ += static_cast<long long>(record.size());
    return true;
}

bool ResultFiles::finish(std::string &err) {
    bool ok = true;
    for (int *fd : {&raster_fd_, &log_fd_}) {
        if (*fd >= 0 && fs_->close(*fd) != 0 && ok) {
            err = "Cannot write " + (fd == &raster_fd_ ? raster_ : log_) + ": " + reason();
            ok = false;
        }
        *fd = -1;
    }
    return ok;
}

void ResultFiles::discard() {
    for (int *fd : {&raster_fd_, &log_fd_}) {
        if (*fd >= 0) fs_->close(*fd);
        *fd = -1;
    }
    for (std::string *tmp : {&raster_tmp_, &log_tmp_}) {
        if (!tmp->empty()) fs_->unlink(tmp->c_str());
        tmp->clear();
    }
    placed_ = false;
}

// ---- reading a result set -------------------------------------------------------

uint8_t ResultSet::background() const {
    for (uint8_t c : cells)
        if (c == 255) return 255;
    return 0;
}

bool read_result_set(const std::string &raw_path, ResultSet &r, std::string &err) {
    const std::string txt = formats::descriptor_path(raw_path);
    std::string text, why;
    if (!formats::read_file(txt, text, why)) {
        err = "cannot read " + txt + ": " + why;
        return false;
    }
    formats::ResultLog log;
    if (!formats::parse_result_log(text, log, why)) {
        err = txt + ": " + why;
        return false;
    }
    r.rows = log.rows;
    r.cols = log.cols;
    r.pix_size = log.pix_size;
    r.geometry = log.geometry;
    r.records = std::move(log.records);
    const unsigned long long n = static_cast<unsigned long long>(r.rows) * static_cast<unsigned long long>(r.cols);
    int fd;
    if (open_regular(raw_path, fd, why) != Opened::ok) {
        err = "cannot read " + raw_path + ": " + (why.empty() ? "No such file or directory" : why);
        return false;
    }
    struct stat st;
    fstat(fd, &st);
    const unsigned long long size = static_cast<unsigned long long>(st.st_size);
    if (size != n) {
        err = raw_path + " holds " + std::to_string(size) + " bytes, " + std::to_string(n) + " expected" +
              (size < n ? " (truncated)" : "");
        close(fd);
        return false;
    }
    r.cells.resize(static_cast<size_t>(n));
    const bool ok = read_all(FileSystem::real(), fd, r.cells.data(), r.cells.size(), 0);
    close(fd);
    if (!ok) {
        err = "cannot read " + raw_path;
        return false;
    }
    return true;
}
