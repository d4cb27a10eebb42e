// resultset.cpp: the result raster and run log on disk, written so that the
// two files agree at every moment a treatment's menu can be shown and after
// any kill or power loss, and read back by the companions.
#include "files/resultset.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
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

const char JOURNAL_MAGIC[] = "TOLMARJ2";
const char ENTRY_MAGIC[] = "TOLMARE2";
const char PLACE_MAGIC[] = "TOLMARP1";

void put_u64(std::string &s, unsigned long long v) {
    for (int b = 0; b < 8; b++) s.push_back(static_cast<char>((v >> (8 * b)) & 0xff));
}
unsigned long long get_u64(const std::string &s, size_t at) {
    unsigned long long v = 0;
    for (int b = 0; b < 8; b++) v |= static_cast<unsigned long long>(static_cast<unsigned char>(s[at + b])) << (8 * b);
    return v;
}
unsigned long long checksum(const std::string &s, size_t from, size_t n) {
    unsigned long long h = 1469598103934665603ULL;  // FNV-1a
    for (size_t k = from; k < from + n; k++) h = (h ^ static_cast<unsigned char>(s[k])) * 1099511628211ULL;
    return h;
}
unsigned long long checksum(const std::string &s, size_t n) { return checksum(s, 0, n); }

// The journal is a write-ahead log of the stamps since the files were last
// made durable (a checkpoint). Its head, at offset 0, tells the set it
// belongs to (the raster's size, the log's length at the checkpoint and a
// checksum of the log up to there); each stamp is an entry after it: its
// record, where in the log it goes, and each changed cell's offset and
// bytes before and after, closed by a checksum. A stamp is complete once
// its entry is durable: the cells and the record are then written in the
// files without waiting for the disk, and the next opening writes them
// again from the journal, so that neither a kill nor a power loss can
// leave the files behind it. The file is written with zeros to its size
// once, so that an entry written into it needs only its data made durable.
// When it is full, the files are made durable and the entries begin again.
constexpr size_t JOURNAL_HEAD = 128;  // the entries begin here
constexpr size_t ENTRY_FIXED = 8 * 7;  // magic, epoch, number, offset, record size, cells, checksum
// Room for the entries: twice the raster's size, from 256 bytes to 1 MB
// (grown when one entry needs more), so that a small set's journal is small
// and a large set's checkpoints come after many stamps.
size_t journal_room(size_t raster_size) { return std::min<size_t>(1 << 20, std::max<size_t>(256, 2 * raster_size)); }

std::string head_of(const JournalHead &h) {
    std::string s(JOURNAL_MAGIC, 8);
    for (unsigned long long v : {h.epoch, h.raster_size, static_cast<unsigned long long>(h.log_size), h.log_sum}) put_u64(s, v);
    put_u64(s, checksum(s, s.size()));
    return s;
}

// False for a head that is cut short, torn or of no journal.
bool parse_head(const std::string &s, JournalHead &h) {
    if (s.size() < 48 || s.compare(0, 8, JOURNAL_MAGIC) != 0 || get_u64(s, 40) != checksum(s, 40)) return false;
    h.epoch = get_u64(s, 8);
    h.raster_size = get_u64(s, 16);
    h.log_size = static_cast<long long>(get_u64(s, 24));
    h.log_sum = get_u64(s, 32);
    return h.log_size >= 0;
}

std::string entry_of(unsigned long long epoch, unsigned long long number, long long log_offset, const std::string &record,
                     const std::vector<Change> &changes) {
    std::string s(ENTRY_MAGIC, 8);
    put_u64(s, epoch);
    put_u64(s, number);
    put_u64(s, static_cast<unsigned long long>(log_offset));
    put_u64(s, record.size());
    put_u64(s, changes.size());
    s += record;
    for (const Change &c : changes) {
        put_u64(s, c.offset);
        s.push_back(static_cast<char>(c.before));
        s.push_back(static_cast<char>(c.after));
    }
    put_u64(s, checksum(s, s.size()));
    return s;
}

struct Entry {
    long long log_offset = 0;
    std::string record;
    std::vector<Change> changes;
};

// The whole entries of the journal `s` under head `h`, in order: each of
// the head's epoch, numbered from 0, its record where the one before ended.
// The first entry that is not whole ends them (a stamp cut short is none).
std::vector<Entry> parse_entries(const std::string &s, const JournalHead &h) {
    std::vector<Entry> out;
    size_t at = JOURNAL_HEAD;
    long long log_end = h.log_size;
    while (at + ENTRY_FIXED <= s.size() && s.compare(at, 8, ENTRY_MAGIC) == 0) {
        const unsigned long long record = get_u64(s, at + 32), n = get_u64(s, at + 40);
        if (get_u64(s, at + 8) != h.epoch || get_u64(s, at + 16) != out.size() ||
            static_cast<long long>(get_u64(s, at + 24)) != log_end || record > (1 << 20) || n > h.raster_size)
            break;
        const size_t size = ENTRY_FIXED + static_cast<size_t>(record) + 10 * static_cast<size_t>(n);
        if (at + size > s.size() || get_u64(s, at + size - 8) != checksum(s, at, size - 8)) break;
        Entry e;
        e.log_offset = log_end;
        e.record = s.substr(at + 48, static_cast<size_t>(record));
        bool inside = true;
        for (size_t k = 0; k < n && inside; k++) {
            const size_t c = at + 48 + static_cast<size_t>(record) + 10 * k;
            const size_t offset = get_u64(s, c);
            inside = offset < h.raster_size;
            e.changes.push_back({offset, static_cast<uint8_t>(s[c + 8]), static_cast<uint8_t>(s[c + 9])});
        }
        if (!inside) break;
        log_end += static_cast<long long>(record);
        out.push_back(std::move(e));
        at += size;
    }
    return out;
}

// Whether the journal's head belongs to the set of this raster size whose
// log begins with `log`: the log as it was made durable at the checkpoint,
// which only grows after it.
bool names_set(const JournalHead &h, unsigned long long raster_size, const std::string &log) {
    return h.raster_size == raster_size && static_cast<long long>(log.size()) >= h.log_size &&
           checksum(log, static_cast<size_t>(h.log_size)) == h.log_sum;
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

// A thread that works beside the run: it takes no signal, so that a signal
// always reaches the thread that asks the questions and stops its reading.
// The mask is set before the thread starts (it inherits it): a signal
// cannot slip in between.
template <typename Work>
std::thread helper_thread(Work work) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    std::thread t(work);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return t;
}

// One byte of the lock file, as fcntl locks it: byte 0 is the writer's
// (held for the whole session), byte 1 a stamp's commit.
struct flock lock_byte(short type, off_t at) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    return fl;
}

// Holds or releases byte 1 of the lock file: a writer over a stamp's
// commit, readers over their reading, so that no reader sees half a stamp.
void hold_commit(int fd, short type) {
    if (fd < 0) return;
    struct flock fl = lock_byte(type, 1);
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
        struct flock fl = lock_byte(F_WRLCK, 0);
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
    // The stamps of the journal are written again: those whose cells or
    // record a kill or a power loss kept from the files are completed.
    JournalHead head;
    struct stat rs;
    std::string log_text;
    if (formats::read_file(paths_.journal, text, why, 1 << 30) && parse_head(text, head) &&
        stat(paths_.raster.c_str(), &rs) == 0 && formats::read_file(paths_.log, log_text, why, 1 << 20) &&
        names_set(head, static_cast<unsigned long long>(rs.st_size), log_text)) {
        const std::vector<Entry> entries = parse_entries(text, head);
        int fd = -1, log_fd = -1;
        if (open_regular(paths_.raster, fd, why, true) != Opened::ok || open_regular(paths_.log, log_fd, why, true) != Opened::ok) {
            if (fd >= 0) ::close(fd);
            err = "Cannot repair " + paths_.raster + " and " + paths_.log + ": " + why;
            return false;
        }
        int completed = 0;
        bool ok = true;
        long long end = head.log_size;
        for (const Entry &e : entries) {
            bool changed = false;
            std::string there(e.record.size(), '\0');
            if (::pread(log_fd, &there[0], there.size(), e.log_offset) != static_cast<ssize_t>(there.size()) || there != e.record) {
                changed = true;
                ok = ok && write_all(*fs_, log_fd, e.record.data(), e.record.size(), e.log_offset);
            }
            for (const Change &c : e.changes) {
                uint8_t b = 0;
                if (::pread(fd, &b, 1, static_cast<off_t>(c.offset)) != 1 || b != c.after) {
                    changed = true;
                    ok = ok && write_all(*fs_, fd, &c.after, 1, static_cast<long long>(c.offset));
                }
            }
            completed += changed;
            end = e.log_offset + static_cast<long long>(e.record.size());
        }
        // A record beyond the last whole entry is one whose stamp failed.
        struct stat now;
        if (ok && fstat(log_fd, &now) == 0 && now.st_size > end) ok = fs_->ftruncate(log_fd, end) == 0;
        ok = ok && fs_->fsync(fd) == 0 && fs_->fsync(log_fd) == 0;
        ::close(fd);
        ::close(log_fd);
        if (!ok) {
            err = "Cannot repair " + paths_.raster + ": " + reason();
            return false;
        }
        if (completed > 0)
            repaired += std::string(repaired.empty() ? "" : "; ") + std::to_string(completed) + " treatment" +
                        (completed == 1 ? "" : "s") + " a dead run stamped completed from its journal";
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
    if (background == 0) return open_map(err);
    fill_failed_ = false;
    filler_ = helper_thread([this, background] {
        const std::vector<uint8_t> block(std::min<size_t>(size_, 1 << 20), background);
        for (size_t at = 0; at < size_; at += block.size())
            if (!write_all(*fs_, raster_fd_, block.data(), std::min(size_ - at, block.size()), static_cast<long long>(at))) {
                fill_failed_ = true;
                fill_error_ = "Cannot write " + paths_.raster + ": " + reason();
                return;
            }
    });
    return open_map(err);
}

bool ResultFiles::wait_fill(std::string &err) {
    if (filler_.joinable()) filler_.join();
    if (fill_failed_) err = fill_error_;
    return !fill_failed_;
}

bool ResultFiles::open_map(std::string &err) {
    if (cells_ != nullptr || size_ == 0) return true;
    cells_ = static_cast<const uint8_t *>(fs_->map(raster_fd_, size_));
    if (cells_ == nullptr) {
        err = "Cannot map " + paths_.raster + ": " + reason();
        return false;
    }
    // The raster's pages brought in while the dialogue goes on, so that a
    // stamp reads the cells it changes without waiting for them.
    warmer_ = helper_thread([this] { fs_->warm(cells_, size_); });
    return true;
}

void ResultFiles::unmap() {
    if (warmer_.joinable()) warmer_.join();
    if (cells_ != nullptr) fs_->unmap(cells_, size_);
    cells_ = nullptr;
}

bool ResultFiles::place(bool &replaced, std::string &err) {
    if (!wait_fill(err) || !open_map(err)) return false;
    const std::string place = place_of(raster_tmp_, log_tmp_);
    int fd = -1;
    bool ok = fs_->fsync(raster_fd_) == 0 && fs_->fsync(log_fd_) == 0;
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
    // The journal of the stamps to come (a failure here is told at the
    // next stamp, which tries again).
    std::string ignored;
    start_journal(ignored);
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

bool ResultFiles::start_journal(std::string &err) {
    if (journal_fd_ >= 0) return true;
    journal_fd_ = fs_->open(paths_.journal.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    head_ = JournalHead();
    head_.raster_size = size_;
    journal_size_ = 0;
    const bool ok = journal_fd_ >= 0 && grow_journal(JOURNAL_HEAD + journal_room(size_)) && new_epoch() &&
                    fs_->sync_folder(paths_.folder) == 0;
    if (!ok) {
        err = "Cannot write " + paths_.journal + ": " + reason();
        if (journal_fd_ >= 0) fs_->close(journal_fd_);
        journal_fd_ = -1;
        fs_->unlink(paths_.journal.c_str());
    }
    return ok;
}

bool ResultFiles::grow_journal(size_t size) {
    const std::vector<char> zeros(1 << 16, 0);
    for (size_t at = journal_size_; at < size; at += zeros.size())
        if (!write_all(*fs_, journal_fd_, zeros.data(), std::min(zeros.size(), size - at), static_cast<long long>(at))) return false;
    if (size > journal_size_ && fs_->fsync(journal_fd_) != 0) return false;
    journal_size_ = std::max(journal_size_, size);
    return true;
}

bool ResultFiles::new_epoch() {
    head_.epoch++;
    head_.log_size = log_size_;
    std::string log(static_cast<size_t>(log_size_), '\0');
    if (log_size_ > 0 && !read_all(*fs_, log_fd_, &log[0], log.size(), 0)) return false;
    head_.log_sum = checksum(log, log.size());
    const std::string h = head_of(head_);
    if (!write_all(*fs_, journal_fd_, h.data(), h.size(), 0) || fs_->datasync(journal_fd_) != 0) return false;
    journal_at_ = JOURNAL_HEAD;
    entries_ = 0;
    return true;
}

bool ResultFiles::checkpoint() { return fs_->fsync(raster_fd_) == 0 && fs_->fsync(log_fd_) == 0; }

bool ResultFiles::journal_stamp(const std::vector<Change> &changes, const std::string &record, size_t &size, std::string &err) {
    if (!start_journal(err)) return false;
    const size_t need = ENTRY_FIXED + record.size() + 10 * changes.size();
    if (journal_at_ + need > journal_size_) {
        // Full: the files made durable, the journal begun anew (grown if
        // one entry needs more room than it has).
        if (!checkpoint() || !grow_journal(JOURNAL_HEAD + need) || !new_epoch()) {
            err = "Cannot write " + paths_.raster + " and " + paths_.log + ": " + reason();
            return false;
        }
    }
    const std::string entry = entry_of(head_.epoch, entries_, log_size_, record, changes);
    if (!write_all(*fs_, journal_fd_, entry.data(), entry.size(), static_cast<long long>(journal_at_)) ||
        fs_->datasync(journal_fd_) != 0) {
        err = "Cannot write " + paths_.journal + ": " + reason();
        return false;
    }
    size = entry.size();
    return true;
}

bool ResultFiles::write_cells(const std::vector<Change> &changes, bool after) {
    // Runs of consecutive cells, one write each (a trace's cells come row
    // by row): the file's pages are changed in place, never faulted in.
    std::vector<uint8_t> run;
    for (size_t k = 0; k < changes.size();) {
        const size_t start = changes[k].offset;
        run.clear();
        for (; k < changes.size() && changes[k].offset == start + run.size(); k++)
            run.push_back(after ? changes[k].after : changes[k].before);
        if (!write_all(*fs_, raster_fd_, run.data(), run.size(), static_cast<long long>(start))) return false;
    }
    return true;
}

bool ResultFiles::commit(const std::vector<Change> &changes, const std::string &record, std::string &err) {
    if (!wait_fill(err) || !open_map(err)) return false;
    hold_commit(lock_fd_, F_WRLCK);
    // A set in place: the stamp is complete (and durable) once its journal
    // entry is; then the cells and the record are written.
    size_t entry = 0;
    bool ok = !placed_ || journal_stamp(changes, record, entry, err);
    const bool journaled = ok && placed_;
    if (ok) {
        const bool cells_written = write_cells(changes, true);
        if (!cells_written || !write_all(*fs_, log_fd_, record.data(), record.size(), log_size_)) {
            err = "Cannot write " + (cells_written ? paths_.log : paths_.raster) + ": " + reason();
            ok = false;
            // Both files as they were, made durable, and only then the
            // entry struck out; when that fails, the entry stays, and the
            // next opening completes the stamp instead.
            const int saved = errno;
            bool back = write_cells(changes, false) && fs_->ftruncate(log_fd_, static_cast<off_t>(log_size_)) == 0;
            if (journaled) {
                const std::string blank(8, '\0');
                back = back && fs_->fsync(raster_fd_) == 0 && fs_->fsync(log_fd_) == 0 &&
                       write_all(*fs_, journal_fd_, blank.data(), blank.size(), static_cast<long long>(journal_at_)) &&
                       fs_->datasync(journal_fd_) == 0;
            }
            if (!back) err += " (and they could not be put back as they were)";
            errno = saved;
        }
    }
    if (ok && journaled) {
        journal_at_ += entry;
        entries_++;
    }
    hold_commit(lock_fd_, F_UNLCK);
    if (!ok) return false;
    log_size_ += static_cast<long long>(record.size());
    if (placed_) return true;
    // A new set goes in place at its first stamp.
    bool replaced;
    if (place(replaced, err)) return true;
    write_cells(changes, false);
    log_size_ -= static_cast<long long>(record.size());
    if (fs_->ftruncate(log_fd_, static_cast<off_t>(log_size_)) != 0) err += " (and it could not be put back as it was)";
    return false;
}

bool ResultFiles::take_back(const std::vector<Change> &changes, size_t record_size, std::string &err) {
    if (!placed_ || static_cast<long long>(record_size) > log_size_) {
        err = "nothing to take back";
        return false;
    }
    hold_commit(lock_fd_, F_WRLCK);
    const long long before = log_size_ - static_cast<long long>(record_size);
    bool ok = write_cells(changes, false) && fs_->ftruncate(log_fd_, static_cast<off_t>(before)) == 0 && checkpoint();
    if (ok) {
        log_size_ = before;
        ok = start_journal(err) && new_epoch();
    }
    if (!ok) {
        // Whatever was written, the journal still completes the stamp at
        // the next opening: the set keeps it.
        err = "Cannot write " + paths_.raster + " and " + paths_.log + ": " + reason();
    }
    hold_commit(lock_fd_, F_UNLCK);
    return ok;
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
    if (ok && placed_ && !checkpoint()) {
        err = "Cannot write " + paths_.raster + ": " + reason();
        ok = false;
    }
    unmap();
    for (int *fd : {&raster_fd_, &log_fd_, &journal_fd_}) {
        if (*fd >= 0 && fs_->close(*fd) != 0 && ok) {
            err = "Cannot write " + (fd == &log_fd_ ? paths_.log : paths_.raster) + ": " + reason();
            ok = false;
        }
        *fd = -1;
    }
    // Everything durable: the journal is over (kept when not, for the next
    // opening to complete what it holds).
    if (ok && placed_ && exists(paths_.journal)) fs_->unlink(paths_.journal.c_str());
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
    unmap();
    for (int *fd : {&raster_fd_, &log_fd_, &journal_fd_}) {
        if (*fd >= 0) fs_->close(*fd);
        *fd = -1;
    }
    for (std::string *tmp : {&raster_tmp_, &log_tmp_}) {
        if (!tmp->empty()) fs_->unlink(tmp->c_str());
        tmp->clear();
    }
    // A journal stays: the stamps it holds may not all be durable in the
    // files; the next opening completes them and removes it.
    journal_size_ = 0;
    unlock();
    placed_ = false;
}

// ---- reading a result set -------------------------------------------------------------------

uint8_t ResultSet::background() const { return std::find(cells.begin(), cells.end(), 255) != cells.end() ? 255 : 0; }

bool read_result_set(const std::string &raw_path, ResultSet &r, std::string &err) {
    const SetPaths p = set_paths(raw_path);
    // A stamp being committed is waited for; those a dead run left in its
    // journal are completed here.
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
    // The stamps of a journal, as the next writer will complete them.
    std::string journal;
    JournalHead head;
    std::vector<Entry> entries;
    if (formats::read_file(p.journal, journal, why, 1 << 30) && parse_head(journal, head) &&
        names_set(head, static_cast<unsigned long long>(st.st_size), text)) {
        entries = parse_entries(journal, head);
        text.resize(static_cast<size_t>(head.log_size));
        for (const Entry &e : entries) text += e.record;
    }
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
    for (const Entry &e : entries)
        for (const Change &c : e.changes) r.cells[c.offset] = c.after;
    return true;
}
