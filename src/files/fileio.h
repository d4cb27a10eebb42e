// fileio.h: how tolmar touches the file system. Inputs are opened as regular
// files only, never through a symbolic link and never waiting on a FIFO or a
// device. The result files are written through FileSystem, one small
// interface over the system calls, so that a test can make any call fail
// or record every write; "write all or fail" is one helper.
#ifndef TOLMAR_FILES_FILEIO_H
#define TOLMAR_FILES_FILEIO_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

// The system calls the result files are written with. The real one is
// FileSystem::real(); tests derive from it.
enum class Opened { ok, missing, failed };

class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual int open(const char *path, int flags, mode_t mode);
    virtual ssize_t pwrite(int fd, const void *data, size_t n, off_t offset);
    virtual ssize_t pread(int fd, void *data, size_t n, off_t offset);
    virtual int ftruncate(int fd, off_t size);
    // The disk space of the file's first `size` bytes reserved, so that no
    // later write within them finds the disk full (0 where the file system
    // cannot reserve: its writes are then told as they fail).
    virtual int allocate(int fd, off_t size);
    virtual int fsync(int fd);
    // Starts writing bytes [at, at + n) of the file to the disk, and with
    // `wait` waits until they are written (a pace for a long writer, so
    // that the pages it leaves to be written stay few: no durability).
    virtual void write_behind(int fd, off_t at, off_t n, bool wait);
    // The file's data durable, and its size if it changed (a file written
    // in place within its size needs no more).
    virtual int datasync(int fd);
    virtual int close(int fd);
    virtual int rename(const char *from, const char *to);
    virtual int unlink(const char *path);
    // Makes the folder's entries (files created, renamed, removed) durable.
    virtual int sync_folder(const std::string &folder);
    // The file open on fd, `size` bytes, mapped for reading: what is
    // written to the file (pwrite) shows there at once.
    virtual const void *map(int fd, size_t size);
    virtual void unmap(const void *base, size_t size);
    // An advisory lock on byte `at` of the file open on fd, F_RDLCK, F_WRLCK
    // or F_UNLCK. It belongs to this opening of the file, not to the
    // process: closing another descriptor of the same file, as a reader in
    // the writer's process does, leaves it held. `wait` waits for it.
    virtual int lock(int fd, short type, off_t at, bool wait);
    // Whether a lock of `type` on byte `at` would be refused: 1 when it
    // would (`pid` the holder when the system names it, else -1), 0 when not.
    virtual int lock_holder(int fd, short type, off_t at, pid_t &pid);
    virtual int fstat(int fd, struct stat &st);
    virtual int lstat(const char *path, struct stat &st);
    // The names in a folder ("" for the working one), "." and ".." left out.
    virtual bool list(const std::string &folder, std::vector<std::string> &names);
    static FileSystem &real();
};

// All of `n` bytes at `offset`, through interruptions and short transfers;
// false with errno set (EIO for a transfer that makes no progress).
bool write_all(FileSystem &fs, int fd, const void *data, size_t n, long long offset);
bool read_all(FileSystem &fs, int fd, void *data, size_t n, long long offset);

// A new file beside `path`, named after it with a leading dot and a unique
// ending (put into `tmp`), created exclusively: never through a link or over
// another file. -1 with errno set when it cannot be made.
int create_beside(FileSystem &fs, const std::string &path, std::string &tmp);

// Opens an input file for reading: it must be a regular file, reached
// without a symbolic link. `missing` tells a file that is not there from one
// that cannot be used, whose reason is in `why`.
Opened open_regular(const std::string &path, int &fd, std::string &why, bool writable = false);

// A whole file of at most `limit` bytes, read through `fs` as open_regular
// opens one; `why` says what kept it from being read.
Opened read_whole(FileSystem &fs, const std::string &path, std::string &bytes, std::string &why, size_t limit);

// Why a file tolmar makes beside a set cannot be at `path` (a link, a
// folder, anything but a regular file), or "" when it can.
std::string unusable_path(FileSystem &fs, const std::string &path);

// The system's text for errno.
std::string reason();


#endif
