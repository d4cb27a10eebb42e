// setlock.cpp: the one writer's lock of a result set.
#include "files/setlock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files/formats.h"

namespace {

// Byte 0: the writer's for its session; byte 1: a stamp's commit.
constexpr off_t SESSION = 0, COMMIT = 1;

}  // namespace

bool SetLock::take(const std::string &path, const std::string &who, const std::string &raster, const std::string &log,
                   std::string &err) {
    release();
    path_ = path;
    held_elsewhere_ = unusable_ = false;
    for (int attempt = 0; attempt < 5; attempt++) {
        const std::string why = unusable_path(*fs_, path);
        if (!why.empty()) {
            err = "Cannot use " + path + ": " + why;
            unusable_ = true;
            return false;
        }
        const int fd = fs_->open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            unusable_ = errno == ELOOP || errno == EISDIR;
            err = (unusable_ ? "Cannot use " + path : "Cannot create " + raster) + ": " + reason();
            return false;
        }
        if (fs_->lock(fd, F_WRLCK, SESSION, false) != 0) {
            const int e = errno;
            pid_t pid = -1;
            if ((e == EACCES || e == EAGAIN) && fs_->lock_holder(fd, F_WRLCK, SESSION, pid) == 1) {
                // The holder wrote its process id and name into the file.
                std::string text(200, '\0');
                const ssize_t n = fs_->pread(fd, &text[0], text.size() - 1, 0);
                text.resize(n > 0 ? static_cast<size_t>(n) : 0);
                text = text.substr(0, text.find('\n'));
                const size_t blank = text.find(' ');
                const std::string name = blank == std::string::npos ? "" : text.substr(blank + 1);
                if (pid <= 0) pid = atoi(text.c_str());
                err = "The result set " + raster + " and " + log + " is being written by process " + std::to_string(pid) +
                      (name.empty() ? "" : " (" + formats::printable(name) + ")") + ": one writer at a time";
                held_elsewhere_ = true;
            } else {
                err = "Cannot lock " + path + ": " + strerror(e);
            }
            fs_->close(fd);
            return false;
        }
        // The last holder may have removed the file between the open and the lock.
        struct stat a, b;
        if (fs_->fstat(fd, a) != 0 || fs_->lstat(path.c_str(), b) != 0 || a.st_ino != b.st_ino || a.st_dev != b.st_dev) {
            fs_->close(fd);
            continue;
        }
        const std::string text = std::to_string(getpid()) + " " + who + "\n";
        if (fs_->ftruncate(fd, 0) != 0 || !write_all(*fs_, fd, text.data(), text.size(), 0)) {
            err = "Cannot write " + path + ": " + reason();
            fs_->close(fd);
            return false;
        }
        fd_ = fd;
        return true;
    }
    err = "Cannot lock " + path + ": it keeps being removed";
    return false;
}

void SetLock::release() {
    if (fd_ < 0) return;
    fs_->unlink(path_.c_str());
    fs_->close(fd_);
    fd_ = -1;
}

void SetLock::hold_commit(bool on) {
    if (fd_ >= 0) fs_->lock(fd_, on ? F_WRLCK : F_UNLCK, COMMIT, true);
}

ReadHold::ReadHold(FileSystem &fs, const std::string &lock_path) : fs_(&fs) {
    fd_ = fs.open(lock_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0);
    struct stat st;
    if (fd_ >= 0 && (fs.fstat(fd_, st) != 0 || !S_ISREG(st.st_mode))) {
        fs.close(fd_);
        fd_ = -1;
    }
    if (fd_ >= 0) fs.lock(fd_, F_RDLCK, COMMIT, true);
}

ReadHold::~ReadHold() {
    if (fd_ >= 0) fs_->close(fd_);
}
