// resultset.cpp: the result raster and run log on disk, written so that the
// two files agree at every moment a treatment's menu can be shown and after
// any kill or power loss, and read back by the companions.
#include "files/resultset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

SetPaths set_paths(const std::string &raster) {
    SetPaths p;
    p.folder = formats::folder_of(raster);
    std::string stem = formats::name_of(raster);
    if (formats::ends_with(stem, ".raw") || formats::ends_with(stem, ".txt")) stem.resize(stem.size() - 4);
    p.raster = p.folder + stem + ".raw";
    p.log = p.folder + stem + ".txt";
    p.lock = p.folder + "." + stem + ".lock";
    p.journal = p.folder + "." + stem + ".journal";
    p.place = p.folder + "." + stem + ".place";
    p.raster_tmp = p.folder + "." + stem + ".raw.";
    p.log_tmp = p.folder + "." + stem + ".txt.";
    return p;
}

// ---- the journal and the place record -------------------------------------------------

namespace {

const char JOURNAL_MAGIC[] = "TOLMARJ1";
const char PLACE_MAGIC[] = "TOLMARP1";

void put_u64(std::string &s, unsigned long long v) {
    for (int b = 0; b < 8; b++) s.push_back(static_cast<char>((v >> (8 * b)) & 0xff));
}
unsigned long long get_u64(const std::string &s, size_t at) {
    unsigned long long v = 0;
    for (int b = 0; b < 8; b++) v |= static_cast<unsigned long long>(static_cast<unsigned char>(s[at + b])) << (8 * b);
    return v;
}
unsigned long long checksum(const std::string &s, size_t n) {
    unsigned long long h = 1469598103934665603ULL;  // FNV-1a
    for (size_t k = 0; k < n; k++) h = (h ^ static_cast<unsigned char>(s[k])) * 1099511628211ULL;
    return h;
}

// The journal of a stamp: the log's length before it, the raster's size,
// and each changed cell's offset and byte before; a checksum closes it, so
// that a journal cut short by a kill is known for one.
std::string journal_of(long long log_size, size_t raster_size, const std::vector<Change> &changes) {
    std::string s(JOURNAL_MAGIC, 8);
    put_u64(s, static_cast<unsigned long long>(log_size));
    put_u64(s, raster_size);
    put_u64(s, changes.size());
    for (const Change &c : changes) {
        put_u64(s, c.offset);
        s.push_back(static_cast<char>(c.before));
    }
    put_u64(s, checksum(s, s.size()));
    return s;
}

struct Journal {
    long long log_size = 0;
    std::vector<std::pair<size_t, uint8_t>> cells;  // offset, byte before
};
// False for a journal that is empty, cut short or of another raster.
bool parse_journal(const std::string &s, size_t raster_size, Journal &j) {
    if (s.size() < 40 || s.compare(0, 8, JOURNAL_MAGIC) != 0) return false;
    if (get_u64(s, s.size() - 8) != checksum(s, s.size() - 8)) return false;
    const unsigned long long n = get_u64(s, 24);
    if (get_u64(s, 16) != raster_size || s.size() != 40 + 9 * n) return false;
    j.log_size = static_cast<long long>(get_u64(s, 8));
    for (unsigned long long k = 0; k < n; k++) {
        const size_t at = 32 + 9 * static_cast<size_t>(k);
        const size_t offset = get_u64(s, at);
        if (offset >= raster_size) return false;
        j.cells.push_back({offset, static_cast<uint8_t>(s[at + 8])});
    }
    return true;
}

// The place record: the names of the two temporaries, in the set's folder.
std::string place_of(const std::string &raster_tmp, const std::string &log_tmp) {
    std::string s = std::string(PLACE_MAGIC) + "\n" + formats::name_of(raster_tmp) + "\n" + formats::name_of(log_tmp) + "\n";
    return s + std::to_string(checksum(s, s.size())) + "\n";
}
bool parse_place(const std::string &s, std::string &raster_tmp, std::string &log_tmp) {
    const size_t a = s.find('\n'), b = s.find('\n', a + 1), c = s.find('\n', b + 1);
    if (a == std::string::npos || b == std::string::npos || c == std::string::npos || s.compare(0, a, PLACE_MAGIC) != 0)
        return false;
    if (s.substr(c + 1) != std::to_string(checksum(s, c + 1)) + "\n") return false;
    raster_tmp = s.substr(a + 1, b - a - 1);
    log_tmp = s.substr(b + 1, c - b - 1);
    return formats::single_name(raster_tmp) && formats::single_name(log_tmp);
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A temporary of a new set: the prefix and six hexadecimal digits.
bool temporary_of(const std::string &name, const std::string &prefix) {
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t k = prefix.size(); k < name.size(); k++)
        if (!isxdigit(static_cast<unsigned char>(name[k]))) return false;
    return true;
}

// Holds or releases byte 1 of the lock file: a writer over a stamp's
// commit, readers over their reading, so that no reader sees half a stamp.
void hold_commit(int fd, short type) {
    if (fd < 0) return;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 1;
    fl.l_len = 1;
    while (fcntl(fd, F_SETLKW, &fl) != 0 && errno == EINTR) {
    }
}

}  // namespace

// ---- the lock and the recovery ----------------------------------------------------------

bool ResultFiles::lock(const std::string &raster, const std::string &log, const std::string &who, std::string &err) {
    discard();
    paths_ = set_paths(raster);
    paths_.log = log;
    for (int attempt = 0; attempt < 5; attempt++) {
        held_elsewhere_ = false;
        const int fd = fs_->open(paths_.lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            // A folder where no file can be made: the raster cannot be either.
            err = "Cannot create " + paths_.raster + ": " + reason();
            return false;
        }
        struct flock fl;
        memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        if (fcntl(fd, F_SETLK, &fl) != 0) {
            const int e = errno;
            struct flock held = fl;
            std::string holder;
            if ((e == EACCES || e == EAGAIN) && fcntl(fd, F_GETLK, &held) == 0 && held.l_type != F_UNLCK) {
                char text[200] = {0};
                const ssize_t n = pread(fd, text, sizeof text - 1, 0);
                std::string name = n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
                name = name.substr(0, name.find('\n'));
                name = name.substr(name.find(' ') == std::string::npos ? name.size() : name.find(' ') + 1);
                holder = "process " + std::to_string(held.l_pid) + (name.empty() ? "" : " (" + formats::printable(name) + ")");
                err = "The result set " + paths_.raster + " and " + paths_.log + " is being written by " + holder +
                      ": one writer at a time";
                held_elsewhere_ = true;
            } else {
                err = "Cannot lock " + paths_.lock + ": " + strerror(e);
            }
            fs_->close(fd);
            return false;
        }
        // The last holder may have removed the file between the open and the lock.
        struct stat a, b;
        if (fstat(fd, &a) != 0 || stat(paths_.lock.c_str(), &b) != 0 || a.st_ino != b.st_ino || a.st_dev != b.st_dev) {
            fs_->close(fd);
            continue;
        }
        const std::string text = std::to_string(getpid()) + " " + who + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            err = "Cannot lock " + paths_.lock + ": " + reason();
            fs_->close(fd);
            return false;
        }
        lock_fd_ = fd;
        return true;
    }
    err = "Cannot lock " + paths_.lock + ": it keeps being removed";
    return false;
}

void ResultFiles::unlock() {
    if (lock_fd_ < 0) return;
    fs_->unlink(paths_.lock.c_str());
    fs_->close(lock_fd_);
    lock_fd_ = -1;
}

bool ResultFiles::recover(std::string &repaired, std::string &err) {
    repaired.clear();
    // A renaming cut short goes on: both temporaries were complete.
    std::string text, why, raster_tmp, log_tmp;
    if (formats::read_file(paths_.place, text, why, 1 << 16)) {
        if (parse_place(text, raster_tmp, log_tmp)) {
            for (const auto &p : {std::make_pair(paths_.folder + raster_tmp, paths_.raster),
                                  std::make_pair(paths_.folder + log_tmp, paths_.log)})
                if (exists(p.first) && fs_->rename(p.first.c_str(), p.second.c_str()) != 0) {
                    err = "Cannot put " + p.first + " in place of " + p.second + ": " + reason();
                    return false;
                }
            fs_->sync_folder(paths_.folder);
            repaired = "a new result set a dead run was putting in place is in place";
        }
        fs_->unlink(paths_.place.c_str());
    }
    // A stamp cut short is undone: the cells as they were, the log cut back.
    if (formats::read_file(paths_.journal, text, why, 1 << 30) && !text.empty()) {
        struct stat st;
        Journal j;
        if (stat(paths_.raster.c_str(), &st) == 0 && parse_journal(text, static_cast<size_t>(st.st_size), j)) {
            int fd = -1, log_fd = -1;
            if (open_regular(paths_.raster, fd, why, true) != Opened::ok || open_regular(paths_.log, log_fd, why, true) != Opened::ok) {
                if (fd >= 0) ::close(fd);
                err = "Cannot repair " + paths_.raster + " and " + paths_.log + ": " + why;
                return false;
            }
            bool ok = true;
            for (const auto &c : j.cells) ok = ok && write_all(*fs_, fd, &c.second, 1, static_cast<long long>(c.first));
            struct stat ls;
            if (ok && fstat(log_fd, &ls) == 0 && ls.st_size > j.log_size) ok = fs_->ftruncate(log_fd, j.log_size) == 0;
            ok = ok && fs_->fsync(fd) == 0 && fs_->fsync(log_fd) == 0;
            ::close(fd);
            ::close(log_fd);
            if (!ok) {
                err = "Cannot repair " + paths_.raster + ": " + reason();
                return false;
            }
            repaired += std::string(repaired.empty() ? "" : "; ") + "the treatment a dead run was stamping is undone";
        }
    }
    if (exists(paths_.journal)) fs_->unlink(paths_.journal.c_str());
    // Temporaries a dead run left.
    int removed = 0;
    if (DIR *dir = opendir(paths_.folder.empty() ? "." : paths_.folder.c_str())) {
        const std::string rp = formats::name_of(paths_.raster_tmp), lp = formats::name_of(paths_.log_tmp);
        while (dirent *e = readdir(dir)) {
            const std::string name = e->d_name;
            if (temporary_of(name, rp) || temporary_of(name, lp)) removed += fs_->unlink((paths_.folder + name).c_str()) == 0;
        }
        closedir(dir);
    }
    if (removed > 0)
        repaired += std::string(repaired.empty() ? "" : "; ") + std::to_string(removed) + " temporary file" +
                    (removed == 1 ? "" : "s") + " a dead run left removed";
    if (!repaired.empty()) fs_->sync_folder(paths_.folder);
    return true;
}

// ---- a new set --------------------------------------------------------------------------

bool ResultFiles::create(int rows, int cols, std::string &err) {
    rows_ = rows;
    cols_ = cols;
    size_ = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    raster_fd_ = create_beside(*fs_, paths_.raster, raster_tmp_);
    if (raster_fd_ < 0) {
        err = "Cannot create " + paths_.raster + ": " + reason();
        raster_tmp_.clear();
        return false;
    }
    log_fd_ = create_beside(*fs_, paths_.log, log_tmp_);
    if (log_fd_ < 0) {
        err = "Cannot create " + paths_.log + ": " + reason();
        log_tmp_.clear();
        return false;
    }
    const std::string header = formats::header_text(rows, cols);
    if (!write_all(*fs_, log_fd_, header.data(), header.size(), 0)) {
        err = "Cannot write " + paths_.log + ": " + reason();
        return false;
    }
    log_size_ = static_cast<long long>(header.size());
    return true;
}

bool ResultFiles::append_line(const std::string &line, std::string &err) {
    if (!write_all(*fs_, log_fd_, line.data(), line.size(), log_size_)) {
        err = "Cannot write " + paths_.log + ": " + reason();
        return false;
    }
    log_size_ += static_cast<long long>(line.size());
    return true;
}

bool ResultFiles::fill(uint8_t background, std::string &err) {
    background_ = background;
    if (fs_->ftruncate(raster_fd_, static_cast<off_t>(size_)) != 0) {
        err = "Cannot write " + paths_.raster + ": " + reason();
        return false;
    }
    if (background == 0) return true;
    fill_failed_ = false;
    filler_ = std::thread([this, background] {
        const std::vector<uint8_t> block(std::min<size_t>(size_, 1 << 20), background);
        for (size_t at = 0; at < size_; at += block.size())
            if (!write_all(*fs_, raster_fd_, block.data(), std::min(size_ - at, block.size()), static_cast<long long>(at))) {
                fill_failed_ = true;
                fill_error_ = "Cannot write " + paths_.raster + ": " + reason();
                return;
            }
    });
    return true;
}

bool ResultFiles::wait_fill(std::string &err) {
    if (filler_.joinable()) filler_.join();
    if (fill_failed_) err = fill_error_;
    return !fill_failed_;
}

bool ResultFiles::open_map(std::string &err) {
    if (cells_ != nullptr || size_ == 0) return true;
    cells_ = static_cast<uint8_t *>(fs_->map(raster_fd_, size_));
    if (cells_ == nullptr) err = "Cannot map " + paths_.raster + ": " + reason();
    return cells_ != nullptr;
}

bool ResultFiles::place(bool &replaced, std::string &err) {
    if (!wait_fill(err) || !open_map(err)) return false;
    const std::string place = place_of(raster_tmp_, log_tmp_);
    int fd = -1;
    bool ok = fs_->sync_map(cells_, 0, size_) == 0 && fs_->fsync(raster_fd_) == 0 && fs_->fsync(log_fd_) == 0;
    if (!ok) {
        err = "Cannot write " + paths_.raster + ": " + reason();
        return false;
    }
    replaced = exists(paths_.raster) || exists(paths_.log);
    // The place record first: once it is whole, a kill cannot leave the
    // renaming half done.
    fd = fs_->open(paths_.place.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    ok = fd >= 0 && write_all(*fs_, fd, place.data(), place.size(), 0) && fs_->fsync(fd) == 0;
    if (fd >= 0) fs_->close(fd);
    if (!ok || fs_->sync_folder(paths_.folder) != 0) {
        err = "Cannot write " + paths_.place + ": " + reason();
        fs_->unlink(paths_.place.c_str());
        return false;
    }
    if (fs_->rename(raster_tmp_.c_str(), paths_.raster.c_str()) != 0) {
        err = "Cannot create " + paths_.raster + ": " + reason();
        fs_->unlink(paths_.place.c_str());
        return false;
    }
    raster_tmp_.clear();
    if (fs_->rename(log_tmp_.c_str(), paths_.log.c_str()) != 0) {
        // The record rolls the renaming forward at the next opening.
        err = "Cannot create " + paths_.log + ": " + reason();
        return false;
    }
    log_tmp_.clear();
    fs_->sync_folder(paths_.folder);
    fs_->unlink(paths_.place.c_str());
    placed_ = true;
    return true;
}

// ---- a set in place ---------------------------------------------------------------------

bool ResultFiles::carry_on(int rows, int cols, std::string &log_text, std::string &err) {
    rows_ = rows;
    cols_ = cols;
    size_ = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    std::string why;
    for (const std::string *p : {&paths_.raster, &paths_.log}) {
        int &fd = p == &paths_.raster ? raster_fd_ : log_fd_;
        if (open_regular(*p, fd, why, true) != Opened::ok) {
            err = "Cannot open " + *p + ": " + (why.empty() ? strerror(ENOENT) : why);
            return false;
        }
        struct stat st;
        fstat(fd, &st);
        if (p == &paths_.raster && static_cast<unsigned long long>(st.st_size) != size_) {
            err = paths_.raster + " holds " + std::to_string(st.st_size) + " bytes, " + std::to_string(size_) + " expected";
            return false;
        }
        if (p == &paths_.log) {
            if (st.st_size > (1 << 20)) {
                err = paths_.log + " holds " + std::to_string(st.st_size) + " bytes, more than a run log can";
                return false;
            }
            log_size_ = static_cast<long long>(st.st_size);
        }
    }
    if (!open_map(err)) return false;
    // Only one of 0 and 255 stands for the background in a result raster.
    background_ = memchr(cells_, 255, size_) != nullptr ? 255 : 0;
    log_text.assign(static_cast<size_t>(log_size_), '\0');
    if (log_size_ > 0 && !read_all(*fs_, log_fd_, &log_text[0], log_text.size(), 0)) {
        err = "Cannot read " + paths_.log + ": " + reason();
        return false;
    }
    placed_ = true;
    return true;
}

bool ResultFiles::write_journal(const std::vector<Change> &changes, std::string &err) {
    if (journal_fd_ < 0) {
        journal_fd_ = fs_->open(paths_.journal.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (journal_fd_ < 0 || fs_->sync_folder(paths_.folder) != 0) {
            err = "Cannot write " + paths_.journal + ": " + reason();
            return false;
        }
    }
    const std::string j = journal_of(log_size_, size_, changes);
    if (!write_all(*fs_, journal_fd_, j.data(), j.size(), 0) || fs_->fsync(journal_fd_) != 0) {
        err = "Cannot write " + paths_.journal + ": " + reason();
        return false;
    }
    return true;
}

bool ResultFiles::clear_journal(std::string &err) {
    if (journal_fd_ < 0) return true;
    if (fs_->ftruncate(journal_fd_, 0) != 0 || fs_->fsync(journal_fd_) != 0) {
        err = "Cannot write " + paths_.journal + ": " + reason();
        return false;
    }
    return true;
}

void ResultFiles::undo(const std::vector<Change> &changes) {
    for (const Change &c : changes) cells_[c.offset] = c.before;
}

bool ResultFiles::commit(const std::vector<Change> &changes, const std::string &record, std::string &err) {
    if (!wait_fill(err) || !open_map(err)) return false;
    size_t lo = size_, hi = 0;
    for (const Change &c : changes) lo = std::min(lo, c.offset), hi = std::max(hi, c.offset + 1);
    hold_commit(lock_fd_, F_WRLCK);
    bool ok = !placed_ || write_journal(changes, err);
    if (ok) {
        for (const Change &c : changes) cells_[c.offset] = c.after;
        if (!write_all(*fs_, log_fd_, record.data(), record.size(), log_size_)) {
            err = "Cannot write " + paths_.log + ": " + reason();
            ok = false;
        } else if (placed_ && ((lo < hi && fs_->sync_map(cells_, lo, hi - lo) != 0) || fs_->fsync(log_fd_) != 0)) {
            err = "Cannot write " + paths_.raster + " and " + paths_.log + ": " + reason();
            ok = false;
        } else if (placed_ && !clear_journal(err)) {
            ok = false;
        }
        if (!ok) {
            // Both files as they were: the cells back, the log cut back, and
            // only then the journal emptied; when that fails, the journal
            // stays for the next opening to finish the undoing.
            undo(changes);
            const int saved = errno;
            bool back = fs_->ftruncate(log_fd_, static_cast<off_t>(log_size_)) == 0;
            if (placed_) back = back && (lo >= hi || fs_->sync_map(cells_, lo, hi - lo) == 0) && fs_->fsync(log_fd_) == 0;
            std::string ignored;
            if (!back || (placed_ && !clear_journal(ignored))) err += " (and they could not be put back as they were)";
            errno = saved;
        }
    }
    hold_commit(lock_fd_, F_UNLCK);
    if (!ok) return false;
    log_size_ += static_cast<long long>(record.size());
    if (placed_) return true;
    // A new set goes in place at its first stamp.
    bool replaced;
    if (place(replaced, err)) return true;
    undo(changes);
    log_size_ -= static_cast<long long>(record.size());
    if (fs_->ftruncate(log_fd_, static_cast<off_t>(log_size_)) != 0) err += " (and it could not be put back as it was)";
    return false;
}

bool ResultFiles::finish(std::string &err) {
    bool ok = wait_fill(err);
    // The files must still be there, and be the ones written.
    if (ok && placed_) {
        struct stat a, b;
        for (const std::pair<int, const std::string *> f : {std::make_pair(raster_fd_, &paths_.raster), std::make_pair(log_fd_, &paths_.log)})
            if (ok && (fstat(f.first, &a) != 0 || stat(f.second->c_str(), &b) != 0 || a.st_ino != b.st_ino || a.st_dev != b.st_dev)) {
                err = "The result files " + paths_.raster + " and " + paths_.log + " are gone: " + *f.second +
                      " was removed or replaced while the session ran";
                ok = false;
            }
    }
    if (ok && placed_ && ((cells_ != nullptr && fs_->sync_map(cells_, 0, size_) != 0) || fs_->fsync(log_fd_) != 0)) {
        err = "Cannot write " + paths_.raster + ": " + reason();
        ok = false;
    }
    if (cells_ != nullptr) fs_->unmap(cells_, size_);
    cells_ = nullptr;
    for (int *fd : {&raster_fd_, &log_fd_, &journal_fd_}) {
        if (*fd >= 0 && fs_->close(*fd) != 0 && ok) {
            err = "Cannot write " + (fd == &log_fd_ ? paths_.log : paths_.raster) + ": " + reason();
            ok = false;
        }
        *fd = -1;
    }
    if (exists(paths_.journal) && placed_) fs_->unlink(paths_.journal.c_str());
    discard();
    return ok;
}

void ResultFiles::drop_new() {
    if (placed_) return;
    const int lock = lock_fd_;
    lock_fd_ = -1;  // kept through the discarding
    discard();
    lock_fd_ = lock;
}

void ResultFiles::discard() {
    if (filler_.joinable()) filler_.join();
    if (cells_ != nullptr) fs_->unmap(cells_, size_);
    cells_ = nullptr;
    for (int *fd : {&raster_fd_, &log_fd_, &journal_fd_}) {
        if (*fd >= 0) fs_->close(*fd);
        *fd = -1;
    }
    for (std::string *tmp : {&raster_tmp_, &log_tmp_}) {
        if (!tmp->empty()) fs_->unlink(tmp->c_str());
        tmp->clear();
    }
    if (placed_ && exists(paths_.journal)) {
        // An empty journal is nothing to undo.
        struct stat st;
        if (stat(paths_.journal.c_str(), &st) == 0 && st.st_size == 0) fs_->unlink(paths_.journal.c_str());
    }
    unlock();
    placed_ = false;
}

// ---- reading a result set -------------------------------------------------------------------

uint8_t ResultSet::background() const { return std::find(cells.begin(), cells.end(), 255) != cells.end() ? 255 : 0; }

bool read_result_set(const std::string &raw_path, ResultSet &r, std::string &err) {
    const SetPaths p = set_paths(raw_path);
    // A stamp being committed is waited for; one a dead run left is undone here.
    const int lock_fd = ::open(p.lock.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    hold_commit(lock_fd, F_RDLCK);
    struct Release {
        int fd;
        ~Release() {
            if (fd >= 0) ::close(fd);
        }
    } release{lock_fd};
    std::string text, why;
    if (!formats::read_file(p.log, text, why, 1 << 20)) {
        err = "cannot read " + p.log + ": " + why;
        return false;
    }
    int fd;
    if (open_regular(p.raster, fd, why) != Opened::ok) {
        err = "cannot read " + p.raster + ": " + (why.empty() ? strerror(ENOENT) : why);
        return false;
    }
    struct stat st;
    fstat(fd, &st);
    const size_t size = static_cast<size_t>(st.st_size);
    std::string journal;
    Journal j;
    if (formats::read_file(p.journal, journal, why, 1 << 30) && parse_journal(journal, size, j) &&
        j.log_size < static_cast<long long>(text.size()))
        text.resize(static_cast<size_t>(j.log_size));
    formats::ResultLog log;
    if (!formats::parse_result_log(text, log, why)) {
        ::close(fd);
        err = p.log + ": " + why;
        return false;
    }
    r.rows = log.rows;
    r.cols = log.cols;
    r.pix_size = log.pix_size;
    r.geometry = log.geometry;
    r.records = std::move(log.records);
    r.log_text = text;
    const unsigned long long n = static_cast<unsigned long long>(r.rows) * static_cast<unsigned long long>(r.cols);
    if (size != n) {
        ::close(fd);
        err = p.raster + " holds " + std::to_string(size) + " bytes, " + std::to_string(n) + " expected" +
              (size < n ? " (truncated)" : "");
        return false;
    }
    r.cells.resize(size);
    const bool ok = size == 0 || read_all(FileSystem::real(), fd, r.cells.data(), size, 0);
    ::close(fd);
    if (!ok) {
        err = "cannot read " + p.raster;
        return false;
    }
    for (const auto &c : j.cells) r.cells[c.first] = c.second;
    return true;
}
