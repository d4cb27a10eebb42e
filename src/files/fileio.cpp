// fileio.cpp: the file system as tolmar uses it.
#include "files/fileio.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

int FileSystem::open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t FileSystem::pwrite(int fd, const void *data, size_t n, off_t offset) { return ::pwrite(fd, data, n, offset); }
ssize_t FileSystem::pread(int fd, void *data, size_t n, off_t offset) { return ::pread(fd, data, n, offset); }
int FileSystem::ftruncate(int fd, off_t size) { return ::ftruncate(fd, size); }
int FileSystem::fsync(int fd) { return ::fsync(fd); }
int FileSystem::datasync(int fd) { return ::fdatasync(fd); }
int FileSystem::close(int fd) { return ::close(fd); }
int FileSystem::rename(const char *from, const char *to) { return ::rename(from, to); }
int FileSystem::unlink(const char *path) { return ::unlink(path); }

int FileSystem::sync_folder(const std::string &folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int r = ::fsync(fd);
    ::close(fd);
    return r;
}

const void *FileSystem::map(int fd, size_t size) {
    void *p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return nullptr;
    // Cells are read where a trace passes: no read-ahead around them.
    madvise(p, size, MADV_RANDOM);
    return p;
}

void FileSystem::warm(const void *base, size_t size) {
#ifdef MADV_POPULATE_READ
    madvise(const_cast<void *>(base), size, MADV_POPULATE_READ);
#else
    (void)base;
    (void)size;
#endif
}

void FileSystem::unmap(const void *base, size_t size) { munmap(const_cast<void *>(base), size); }

FileSystem &FileSystem::real() {
    static FileSystem system;
    return system;
}

std::string reason() { return strerror(errno); }

bool write_all(FileSystem &fs, int fd, const void *data, size_t n, long long offset) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = fs.pwrite(fd, p, n, static_cast<off_t>(offset));
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

bool read_all(FileSystem &fs, int fd, void *data, size_t n, long long offset) {
    char *p = static_cast<char *>(data);
    while (n > 0) {
        const ssize_t r = fs.pread(fd, p, n, static_cast<off_t>(offset));
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

int create_beside(FileSystem &fs, const std::string &path, std::string &tmp) {
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
        const int fd = fs.open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

Opened open_regular(const std::string &path, int &fd, std::string &why, bool writable) {
    fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return Opened::missing;
        why = errno == ELOOP ? "it is a symbolic link, which tolmar does not follow" : reason();
        return Opened::failed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = fstat(fd, &st) != 0 ? reason() : S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
        ::close(fd);
        fd = -1;
        return Opened::failed;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return Opened::ok;
}
