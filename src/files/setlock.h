// setlock.h: one writer to a result set at a time. The writer holds an
// advisory lock on byte 0 of the set's lock file for its whole session, and
// byte 1 over each stamp's commit; readers hold byte 1 shared while they
// read, so that no reader sees half a stamp. The locks belong to the
// opening of the lock file, not to the process, so that a reader working
// inside the writer's own process (the workbench's export) never lets them
// go; the system drops them when the writer dies. The lock file names the
// writing process, for the refusal of a second writer.
#ifndef TOLMAR_FILES_SETLOCK_H
#define TOLMAR_FILES_SETLOCK_H

#include <string>

#include "files/fileio.h"

class SetLock {
public:
    explicit SetLock(FileSystem &fs) : fs_(&fs) {}
    SetLock(const SetLock &) = delete;
    SetLock &operator=(const SetLock &) = delete;
    ~SetLock() { release(); }

    // Takes the lock at `path` for this process (`who`: the program's
    // name). Refused, with `err`: when another process holds it (then
    // held_elsewhere()), naming it; when `path` cannot be the lock file (a
    // link, a folder: then unusable()); or when no file can be made there,
    // told as the set's raster, which cannot be made either.
    bool take(const std::string &path, const std::string &who, const std::string &raster, const std::string &log,
              std::string &err);
    // Lets it go, the lock file removed.
    void release();
    bool held() const { return fd_ >= 0; }
    bool held_elsewhere() const { return held_elsewhere_; }
    bool unusable() const { return unusable_; }

    // Byte 1 over a stamp's commit.
    void hold_commit(bool on);

private:
    FileSystem *fs_;
    std::string path_;
    int fd_ = -1;
    bool held_elsewhere_ = false, unusable_ = false;
};

// A reader's hold over its reading of a set (byte 1 shared): waits for a
// stamp being committed. Nothing when there is no lock file.
class ReadHold {
public:
    ReadHold(FileSystem &fs, const std::string &lock_path);
    ~ReadHold();
    ReadHold(const ReadHold &) = delete;
    ReadHold &operator=(const ReadHold &) = delete;

private:
    FileSystem *fs_;
    int fd_ = -1;
};

#endif
