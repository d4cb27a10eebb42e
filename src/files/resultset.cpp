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
#include <chrono>
#include <cstring>

#include "base/helper_thread.h"

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

bool temporary_of(const std::string &name, const std::string &prefix) {
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t k = prefix.size(); k < name.size(); k++)
        if (!isxdigit(static_cast<unsigned char>(name[k]))) return false;
    return true;
}

namespace {

bool exists(FileSystem &fs, const std::string &path) {
    struct stat st;
    return fs.lstat(path.c_str(), st) == 0;
}

// A file of the set opened to be written: a regular file, not through a link.
int open_writable(FileSystem &fs, const std::string &path, std::string &why) {
    const int fd = fs.open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    struct stat st;
    if (fd < 0) why = errno == ELOOP ? "it is a symbolic link, which tolmar does not follow" : reason();
    else if (fs.fstat(fd, st) != 0 || !S_ISREG(st.st_mode)) {
        why = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
        fs.close(fd);
        return -1;
    }
    return fd;
}

// The placing note of the set at `p`, when it is whole and names the set's
// own temporaries: their paths. `refusal` says why a note that is there
// cannot be followed; a note cut short announces a renaming that never began.
enum class Placing { none, follow, torn, refused };
Placing placing_note(FileSystem &fs, const SetPaths &p, std::string &raster_tmp, std::string &log_tmp, bool &filling,
                     std::string &refusal) {
    std::string text, why;
    const Opened got = read_whole(fs, p.place, text, why, 1 << 12);
    if (got == Opened::missing) return Placing::none;
    if (got == Opened::failed) {
        refusal = "Cannot use " + p.place + ": " + why;
        return Placing::refused;
    }
    uint8_t fill = 0;
    const journal::Note note = journal::parse_place(text, raster_tmp, log_tmp, fill);
    filling = fill != 0;
    if (note == journal::Note::torn) return Placing::torn;
    if (note == journal::Note::foreign || !temporary_of(raster_tmp, formats::name_of(p.raster_tmp)) ||
        !temporary_of(log_tmp, formats::name_of(p.log_tmp))) {
        refusal = p.place + " is not a placing note of this set (it names other files, or fails its checksum): it is "
                  "left as it is, and the set is not written until it is looked at and removed";
        return Placing::refused;
    }
    raster_tmp = p.folder + raster_tmp;
    log_tmp = p.folder + log_tmp;
    return Placing::follow;
}

// The zeros of bytes [at, at + n) of the raster open on fd turned to 255
// (a white background still to be filled): read, and written back where
// any was.
bool fill_zeros(FileSystem &fs, int fd, size_t at, size_t n, std::vector<uint8_t> &block) {
    block.resize(n);
    if (!read_all(fs, fd, block.data(), n, static_cast<long long>(at))) return false;
    bool any = false;
    for (uint8_t &b : block)
        if (b == 0) b = 255, any = true;
    return !any || write_all(fs, fd, block.data(), n, static_cast<long long>(at));
}
constexpr size_t FILL_BLOCK = size_t(1) << 18;
constexpr size_t FILL_AHEAD = size_t(4) << 20;
constexpr long long YIELD_NS = 50 * 1000 * 1000;
long long steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// ---- the lock and the recovery ----------------------------------------------------------

bool ResultFiles::lock(const std::string &raster, const std::string &log, const std::string &who, std::string &err) {
    discard();
    paths_ = set_paths(raster);
    paths_.log = log;
    return lock_.take(paths_.lock, who, paths_.raster, paths_.log, err);
}

bool ResultFiles::recover(std::string &repaired, std::string &err, const recovery::Tracer &tracer) {
    repaired.clear();
    std::vector<std::string> said;
    // A renaming cut short goes on: both temporaries were complete.
    std::string raster_tmp, log_tmp;
    bool filling = false;
    note_refused_ = false;
    switch (placing_note(*fs_, paths_, raster_tmp, log_tmp, filling, err)) {
    case Placing::refused: note_refused_ = true; return false;
    case Placing::follow:
        for (const auto &p : {std::make_pair(raster_tmp, paths_.raster), std::make_pair(log_tmp, paths_.log)})
            if (exists(*fs_, p.first) && fs_->rename(p.first.c_str(), p.second.c_str()) != 0) {
                err = "Cannot put " + p.first + " in place of " + p.second + ": " + reason();
                return false;
            }
        fs_->sync_folder(paths_.folder);
        said.push_back("a new result set a dead run was putting in place is in place");
        // A note of a background still to be filled stays until it is.
        if (!filling) fs_->unlink(paths_.place.c_str());
        break;
    case Placing::torn: fs_->unlink(paths_.place.c_str()); break;
    case Placing::none: break;
    }
    // The set as its journal and files say it must be, written.
    recovery::Contents c;
    c.journal_name = paths_.journal;
    c.filling = filling;
    std::string why;
    c.journal_present = read_whole(*fs_, paths_.journal, c.journal, why, 1u << 30) == Opened::ok;
    struct stat rs;
    if ((c.journal_present || c.filling) && fs_->lstat(paths_.raster.c_str(), rs) == 0 && S_ISREG(rs.st_mode) &&
        read_whole(*fs_, paths_.log, c.log, why, 1 << 20) == Opened::ok) {
        const int fd = open_writable(*fs_, paths_.raster, why);
        const int log_fd = fd < 0 ? -1 : open_writable(*fs_, paths_.log, why);
        if (log_fd < 0) {
            if (fd >= 0) fs_->close(fd);
            err = "Cannot repair " + paths_.raster + " and " + paths_.log + ": " + why;
            return false;
        }
        c.size = static_cast<size_t>(rs.st_size);
        c.cells = c.size > 0 ? static_cast<const uint8_t *>(fs_->map(fd, c.size)) : reinterpret_cast<const uint8_t *>("");
        bool ok = c.cells != nullptr;
        const recovery::Plan plan = ok ? recovery::plan(c, tracer) : recovery::Plan();
        if (c.cells != nullptr && c.size > 0) fs_->unmap(c.cells, c.size);
        // Runs of cells, one write each.
        for (size_t k = 0; ok && k < plan.cells.size();) {
            std::string run(1, static_cast<char>(plan.cells[k].second));
            size_t n = k + 1;
            for (; n < plan.cells.size() && plan.cells[n].first == plan.cells[k].first + run.size(); n++)
                run.push_back(static_cast<char>(plan.cells[n].second));
            ok = write_all(*fs_, fd, run.data(), run.size(), static_cast<long long>(plan.cells[k].first));
            k = n;
        }
        if (ok && plan.log != c.log) {
            size_t same = 0;
            while (same < plan.log.size() && same < c.log.size() && plan.log[same] == c.log[same]) same++;
            ok = write_all(*fs_, log_fd, plan.log.data() + same, plan.log.size() - same, static_cast<long long>(same)) &&
                 fs_->ftruncate(log_fd, static_cast<off_t>(plan.log.size())) == 0;
        }
        // A background a dead run was filling, completed.
        std::vector<uint8_t> block;
        for (size_t at = 0; ok && plan.fill && at < c.size; at += FILL_BLOCK)
            ok = fill_zeros(*fs_, fd, at, std::min(FILL_BLOCK, c.size - at), block);
        ok = ok && fs_->fsync(fd) == 0 && fs_->fsync(log_fd) == 0;
        fs_->close(fd);
        fs_->close(log_fd);
        if (!ok) {
            err = "Cannot repair " + paths_.raster + ": " + reason();
            return false;
        }
        if (plan.completed > 0)
            said.push_back(std::to_string(plan.completed) + " treatment" + (plan.completed == 1 ? "" : "s") +
                           " a dead run stamped completed from its journal");
        if (!plan.found.empty()) said.push_back(plan.found);
        if (plan.fill) said.push_back("the white background a dead run was filling completed");
    }
    if (exists(*fs_, paths_.journal)) fs_->unlink(paths_.journal.c_str());
    if (filling) fs_->unlink(paths_.place.c_str());
    // Temporaries a dead run left.
    int removed = 0;
    std::vector<std::string> names;
    fs_->list(paths_.folder, names);
    const std::string rp = formats::name_of(paths_.raster_tmp), lp = formats::name_of(paths_.log_tmp);
    for (const std::string &name : names)
        if (temporary_of(name, rp) || temporary_of(name, lp)) removed += fs_->unlink((paths_.folder + name).c_str()) == 0;
    if (removed > 0)
        said.push_back(std::to_string(removed) + " temporary file" + (removed == 1 ? "" : "s") + " a dead run left removed");
    for (size_t k = 0; k < said.size(); k++) repaired += (k ? "; " : "") + said[k];
    if (!repaired.empty()) fs_->sync_folder(paths_.folder);
    return true;
}

// ---- a new set --------------------------------------------------------------------------

bool ResultFiles::create(int rows, int cols, std::string &err) {
    rows_ = rows;
    cols_ = cols;
    size_ = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    // A new raster holds its background alone.
    known_.clear(true);
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
    fill_failed_ = false;
    late_ = background != 0 && size_ > late_fill_above_;
    if (late_) {
        // The disk space taken now: the fill, later, cannot find it full.
        if (fs_->allocate(raster_fd_, static_cast<off_t>(size_)) != 0) {
            err = "Cannot write " + paths_.raster + ": " + reason();
            return false;
        }
        fill_done_ = false;
        fill_durable_ = false;
    } else if (background != 0) {
        start_filler(false);
    }
    return open_map(err);
}

void ResultFiles::start_filler(bool late) {
    stop_fill_ = false;
    filler_ = helper_thread([this, late] {
        std::vector<uint8_t> block(std::min(size_, late ? FILL_BLOCK : size_t(1) << 20), background_);
        for (size_t at = 0; at < size_; at += block.size()) {
            const size_t n = std::min(size_ - at, block.size());
            // Beside the stamps a block is read and only its zeros turned,
            // between two writes of theirs.
            std::unique_lock<std::mutex> io(io_, std::defer_lock);
            // The stamps first: while they come one after another, the
            // filler gives them the disk, and goes on when they pause.
            while (late && !stop_fill_ && steady_ns() - last_stamp_ns_.load() < YIELD_NS)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (late) io.lock();
            if (late ? !fill_zeros(*fs_, raster_fd_, at, n, block)
                     : !write_all(*fs_, raster_fd_, block.data(), n, static_cast<long long>(at))) {
                if (!io.owns_lock()) io.lock();
                fill_failed_ = true;
                fill_error_ = "Cannot write " + paths_.raster + ": " + reason();
                return;
            }
            if (!late) continue;
            io.unlock();
            // Paced by the disk: the block goes to it at once, and the
            // filler waits for the one FILL_AHEAD bytes before, so that
            // the pages waiting to be written stay few and the stamps'
            // writes are never held back for the filler's.
            fs_->write_behind(raster_fd_, static_cast<off_t>(at), static_cast<off_t>(n), false);
            if (at >= FILL_AHEAD) fs_->write_behind(raster_fd_, static_cast<off_t>(at - FILL_AHEAD), static_cast<off_t>(n), true);
        }
        fill_done_ = true;
    });
}

void ResultFiles::forget_fill() {
    late_ = false;
    fill_done_ = true;
    fill_durable_ = true;
    fill_failed_ = false;
    note_left_ = false;
}

bool ResultFiles::wait_fill(std::string &err) {
    stop_fill_ = true;
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
    return true;
}

void ResultFiles::unmap() {
    if (dropper_.joinable()) dropper_.join();
    if (cells_ != nullptr) fs_->unmap(cells_, size_);
    cells_ = nullptr;
}

bool ResultFiles::place(bool &replaced, std::string &err) {
    if ((!late_ && !wait_fill(err)) || !open_map(err)) return false;
    // A late fill is said in the note, and then in the journal: the raster
    // made durable here is its stamps and zeros, sparse, at once.
    const bool filling = late_ && !fill_durable_;
    const std::string place =
        journal::place_bytes(formats::name_of(raster_tmp_), formats::name_of(log_tmp_), filling ? background_ : 0);
    int fd = -1;
    bool ok = fs_->fsync(raster_fd_) == 0 && fs_->fsync(log_fd_) == 0;
    if (!ok) {
        err = "Cannot write " + paths_.raster + ": " + reason();
        return false;
    }
    replaced = exists(*fs_, paths_.raster) || exists(*fs_, paths_.log);
    // The raster replaced is held open through the renaming and let go
    // beside the session: freeing a large file's blocks and pages takes
    // long, and a stamp need not wait for it.
    const int old_raster = replaced ? fs_->open(paths_.raster.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0) : -1;
    struct LetGo {
        ResultFiles *files;
        int fd;
        ~LetGo() {
            if (fd < 0) return;
            if (files->dropper_.joinable()) files->dropper_.join();
            FileSystem *fs = files->fs_;
            const int old = fd;
            files->dropper_ = helper_thread([fs, old] { fs->close(old); });
        }
    } let_go{this, old_raster};
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
    placed_ = true;
    // The journal of the stamps to come (a failure here is told at the
    // next stamp, which tries again). The note of a fill stays until the
    // journal says it.
    note_left_ = true;
    std::string ignored;
    if (!start_journal(ignored) && !filling) {
        fs_->unlink(paths_.place.c_str());
        note_left_ = false;
    }
    if (filling) start_filler(true);
    return true;
}

// ---- a set in place ---------------------------------------------------------------------

bool ResultFiles::carry_on(int rows, int cols, std::string &log_text, std::string &err) {
    // A set in place was recovered whole: no fill of it is pending.
    forget_fill();
    rows_ = rows;
    cols_ = cols;
    size_ = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    std::string why;
    for (const std::string *p : {&paths_.raster, &paths_.log}) {
        int &fd = p == &paths_.raster ? raster_fd_ : log_fd_;
        if ((fd = open_writable(*fs_, *p, why)) < 0) {
            err = "Cannot open " + *p + ": " + why;
            return false;
        }
        struct stat st;
        fs_->fstat(fd, st);
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
    // The raster read through once, in blocks: only one of 0 and 255 stands
    // for the background in a result raster, and its other cells are known
    // (unless they are too many to keep), and where each code first shows.
    known_.clear(true);
    first_of_code_.assign(formats::MAX_CODES + 1, SIZE_MAX);
    bool white = false;
    std::vector<uint8_t> block(std::min(size_, size_t(1) << 20));
    for (size_t at = 0; at < size_; at += block.size()) {
        const size_t n = std::min(block.size(), size_ - at);
        if (!read_all(*fs_, raster_fd_, block.data(), n, static_cast<long long>(at))) {
            err = "Cannot read " + paths_.raster + ": " + reason();
            return false;
        }
        for (size_t k = 0; k < n; k++) {
            // Eight cells of the background at a time.
            if (k % 8 == 0 && k + 8 <= n) {
                uint64_t w;
                memcpy(&w, &block[k], 8);
                if (w == 0 || w == ~uint64_t(0)) {
                    white = white || w != 0;
                    k += 7;
                    continue;
                }
            }
            const uint8_t c = block[k];
            white = white || c == 255;
            if (c == 0 || c == 255) continue;
            if (c <= formats::MAX_CODES) first_of_code_[c] = std::min(first_of_code_[c], at + k);
            if (!known_.complete()) continue;
            if (known_.size() >= MOST_KNOWN) known_.clear(false);
            else known_.set(at + k, c);
        }
    }
    background_ = white ? 255 : 0;
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
    head_ = journal::Head();
    head_.raster_size = size_;
    journal_size_ = 0;
    const bool ok = journal_fd_ >= 0 && grow_journal(journal::HEAD_SIZE + journal::room(size_)) && new_epoch() &&
                    fs_->sync_folder(paths_.folder) == 0;
    if (ok && note_left_) {
        fs_->unlink(paths_.place.c_str());
        note_left_ = false;
    }
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
    head_.fill = late_ && !fill_durable_ ? background_ : 0;
    head_.log_size = log_size_;
    std::string log(static_cast<size_t>(log_size_), '\0');
    if (log_size_ > 0 && !read_all(*fs_, log_fd_, &log[0], log.size(), 0)) return false;
    head_.log_sum = journal::crc32c(log.data(), log.size());
    const std::string h = journal::head_bytes(head_);
    if (!write_all(*fs_, journal_fd_, h.data(), h.size(), 0) || fs_->datasync(journal_fd_) != 0) return false;
    journal_at_ = journal::HEAD_SIZE;
    entries_ = 0;
    return true;
}

bool ResultFiles::checkpoint() { return fs_->fsync(raster_fd_) == 0 && fs_->fsync(log_fd_) == 0; }

bool ResultFiles::checkpoint_fill() {
    const bool filled = fill_done_;
    if (!checkpoint()) return false;
    if (filled) fill_durable_ = true;
    return true;
}

bool ResultFiles::sync(std::string &err) {
    std::lock_guard<std::mutex> io(io_);
    if (fill_failed_) {
        err = fill_error_;
        return false;
    }
    return sync_group(err);
}

bool ResultFiles::sync_group(std::string &err) {
    if (pending_log_.empty()) return true;
    if (fs_->datasync(journal_fd_) != 0) {
        err = "Cannot write " + paths_.journal + ": " + reason();
        return false;
    }
    const long long at = log_size_ - static_cast<long long>(pending_log_.size());
    if (!write_all(*fs_, log_fd_, pending_log_.data(), pending_log_.size(), at)) {
        // The entries are durable: the next opening writes the records.
        err = "Cannot write " + paths_.log + ": " + reason();
        return false;
    }
    pending_log_.clear();
    return true;
}

bool ResultFiles::journal_stamp(const std::vector<Change> &changes, const std::string &record, size_t &size, std::string &err) {
    if (!start_journal(err)) return false;
    const size_t need = journal::entry_size(record.size(), changes.size()) + journal::END_MARK;
    if (journal_at_ + need > journal_size_) {
        // Full: the group so far and the files made durable, the journal
        // begun anew (grown if one entry needs more room than it has).
        if (!sync_group(err)) return false;
        if (!checkpoint_fill() || !grow_journal(journal::HEAD_SIZE + need) || !new_epoch()) {
            err = "Cannot write " + paths_.raster + " and " + paths_.log + ": " + reason();
            return false;
        }
    }
    const std::string entry = journal::entry_bytes(head_.epoch, entries_, log_size_, record, changes);
    if (!write_all(*fs_, journal_fd_, entry.data(), entry.size(), static_cast<long long>(journal_at_)) ||
        (!batch_ && fs_->datasync(journal_fd_) != 0)) {
        err = "Cannot write " + paths_.journal + ": " + reason();
        return false;
    }
    size = entry.size() - journal::END_MARK;
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
    if ((!late_ && !wait_fill(err)) || !open_map(err)) return false;
    std::lock_guard<std::mutex> io(io_);
    if (fill_failed_) {
        err = fill_error_;
        return false;
    }
    lock_.hold_commit(true);
    // A set in place: the stamp is complete (and durable) once its journal
    // entry is; then the cells and the record are written.
    size_t entry = 0;
    bool ok = !placed_ || journal_stamp(changes, record, entry, err);
    const bool journaled = ok && placed_;
    if (ok) {
        const bool cells_written = write_cells(changes, true);
        // In a group, the record waits for its entry to be durable.
        const bool kept_back = cells_written && batch_ && journaled;
        if (kept_back) pending_log_ += record;
        if (!cells_written || (!kept_back && !write_all(*fs_, log_fd_, record.data(), record.size(), log_size_))) {
            err = "Cannot write " + (cells_written ? paths_.log : paths_.raster) + ": " + reason();
            ok = false;
            // Both files as they were, made durable, and only then the
            // entry struck out; when that fails, the entry stays, and the
            // next opening completes the stamp instead.
            const int saved = errno;
            bool back = write_cells(changes, false) &&
                        fs_->ftruncate(log_fd_, static_cast<off_t>(log_size_ - static_cast<long long>(pending_log_.size()))) == 0;
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
    lock_.hold_commit(false);
    last_stamp_ns_ = steady_ns();
    if (!ok) return false;
    log_size_ += static_cast<long long>(record.size());
    bool replaced;
    // A new set goes in place at its first stamp.
    if (placed_ || place(replaced, err)) {
        for (const Change &c : changes) known_.set(c.offset, c.after);
        return true;
    }
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
    std::lock_guard<std::mutex> io(io_);
    if (!sync_group(err)) return false;
    lock_.hold_commit(true);
    const long long before = log_size_ - static_cast<long long>(record_size);
    bool ok = write_cells(changes, false) && fs_->ftruncate(log_fd_, static_cast<off_t>(before)) == 0 && checkpoint_fill();
    if (ok) {
        for (const Change &c : changes) known_.set(c.offset, c.before);
        log_size_ = before;
        ok = start_journal(err) && new_epoch();
    }
    if (!ok) {
        // Whatever was written, the journal still completes the stamp at
        // the next opening: the set keeps it.
        err = "Cannot write " + paths_.raster + " and " + paths_.log + ": " + reason();
    }
    lock_.hold_commit(false);
    return ok;
}

bool ResultFiles::finish(std::string &err) {
    bool ok = wait_fill(err) && sync_group(err);
    // The files must still be there, and be the ones written.
    if (ok && placed_) {
        struct stat a, b;
        for (const std::pair<int, const std::string *> f : {std::make_pair(raster_fd_, &paths_.raster), std::make_pair(log_fd_, &paths_.log)})
            if (ok && (fs_->fstat(f.first, a) != 0 || fs_->lstat(f.second->c_str(), b) != 0 || a.st_ino != b.st_ino ||
                       a.st_dev != b.st_dev)) {
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
    if (ok && placed_ && exists(*fs_, paths_.journal)) fs_->unlink(paths_.journal.c_str());
    discard();
    return ok;
}

void ResultFiles::drop_new() {
    if (placed_) {
        // A set in place that is to be made anew: its background filled,
        // its files made durable and closed, its journal over (kept when
        // the fill failed, for the next opening to complete it); the lock
        // stays.
        stop_fill_ = true;
        if (filler_.joinable()) filler_.join();
        const bool whole = checkpoint() && !fill_failed_;
        unmap();
        for (int *fd : {&raster_fd_, &log_fd_, &journal_fd_}) {
            if (*fd >= 0) fs_->close(*fd);
            *fd = -1;
        }
        if (whole && exists(*fs_, paths_.journal)) fs_->unlink(paths_.journal.c_str());
        forget_fill();
        journal_size_ = 0;
        placed_ = false;
        return;
    }
    // The lock stays through the discarding.
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
    journal_size_ = 0;
    forget_fill();
}

void ResultFiles::discard() {
    drop_new();
    if (filler_.joinable()) filler_.join();
    unmap();
    for (int *fd : {&raster_fd_, &log_fd_, &journal_fd_}) {
        if (*fd >= 0) fs_->close(*fd);
        *fd = -1;
    }
    // A journal stays: the stamps it holds may not all be durable in the
    // files; the next opening completes them and removes it.
    journal_size_ = 0;
    lock_.release();
    placed_ = false;
}

// ---- reading a result set -------------------------------------------------------------------

uint8_t ResultSet::background() const { return std::find(cells.begin(), cells.end(), 255) != cells.end() ? 255 : 0; }

bool read_result_set(const std::string &raw_path, ResultSet &r, std::string &err) {
    FileSystem &fs = FileSystem::real();
    const SetPaths p = set_paths(raw_path);
    // A stamp being committed is waited for.
    const ReadHold hold(fs, p.lock);
    // A new set whose placing note is whole is read in its place: each file
    // from its temporary while that is still there.
    std::string raster = p.raster, log = p.log, raster_tmp, log_tmp, refusal;
    bool filling = false;
    r.repaired.clear();
    if (placing_note(fs, p, raster_tmp, log_tmp, filling, refusal) == Placing::follow) {
        if (exists(fs, raster_tmp)) raster = raster_tmp;
        if (exists(fs, log_tmp)) log = log_tmp;
        r.repaired = "a new result set a dead run was putting in place is read in its place";
    }
    recovery::Contents c;
    std::string why;
    if (read_whole(fs, log, c.log, why, 1 << 20) != Opened::ok) {
        err = "cannot read " + p.log + ": " + (why.empty() ? strerror(ENOENT) : why);
        return false;
    }
    std::string cells;
    switch (read_whole(fs, raster, cells, why, SIZE_MAX)) {
    case Opened::ok: break;
    case Opened::missing: err = "cannot read " + p.raster + ": " + strerror(ENOENT); return false;
    case Opened::failed: err = "cannot read " + p.raster + ": " + why; return false;
    }
    // What a dead run left, as the next writer will make it.
    c.journal_name = p.journal;
    c.journal_present = read_whole(fs, p.journal, c.journal, why, 1u << 30) == Opened::ok;
    c.cells = reinterpret_cast<const uint8_t *>(cells.data());
    c.size = cells.size();
    c.filling = filling;
    const recovery::Plan plan = c.journal_present || c.filling ? recovery::plan(c) : recovery::Plan{{}, c.log, 0, "", false};
    for (const auto &kv : plan.cells) cells[kv.first] = static_cast<char>(kv.second);
    // A background still being filled (by the writer, or by the next one).
    if (plan.fill) std::replace(cells.begin(), cells.end(), '\0', '\xff');
    if (plan.completed > 0 || !plan.found.empty())
        r.repaired += std::string(r.repaired.empty() ? "" : "; ") +
                      (plan.found.empty() ? "a stamp a dead run left in its journal is read completed" : plan.found);
    formats::ResultLog parsed;
    if (!formats::parse_result_log(plan.log, parsed, why)) {
        err = p.log + ": " + why;
        return false;
    }
    r.rows = parsed.rows;
    r.cols = parsed.cols;
    r.pix_size = parsed.pix_size;
    r.geometry = parsed.geometry;
    r.records = std::move(parsed.records);
    r.log_text = plan.log;
    const unsigned long long n = static_cast<unsigned long long>(r.rows) * static_cast<unsigned long long>(r.cols);
    if (cells.size() != n) {
        err = p.raster + " holds " + std::to_string(cells.size()) + " bytes, " + std::to_string(n) + " expected" +
              (cells.size() < n ? " (truncated)" : "");
        return false;
    }
    r.cells.assign(cells.begin(), cells.end());
    return true;
}
