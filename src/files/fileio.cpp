// fileio.cpp: the file system as tolmar uses it.
#include "files/fileio.h"

#include <dirent.h>
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
int FileSystem::allocate(int fd, off_t size) {
    if (::fallocate(fd, 0, 0, size) == 0) return 0;
    return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : -1;
}
int FileSystem::fsync(int fd) { return ::fsync(fd); }
void FileSystem::write_behind(int fd, off_t at, off_t n, bool wait) {
    ::sync_file_range(fd, at, n, wait ? SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER
                                      : SYNC_FILE_RANGE_WRITE);
}
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

void FileSystem::unmap(const void *base, size_t size) { munmap(const_cast<void *>(base), size); }

int FileSystem::lock(int fd, short type, off_t at, bool wait) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    int r;
    while ((r = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl)) != 0 && wait && errno == EINTR) {
    }
    return r;
}

int FileSystem::lock_holder(int fd, short type, off_t at, pid_t &pid) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return -1;
    if (fl.l_type == F_UNLCK) return 0;
    // A lock of an open file names no process; a process's own lock does.
    pid = fl.l_pid > 0 ? fl.l_pid : -1;
    return 1;
}

int FileSystem::fstat(int fd, struct stat &st) { return ::fstat(fd, &st); }
int FileSystem::lstat(const char *path, struct stat &st) { return ::lstat(path, &st); }

bool FileSystem::list(const std::string &folder, std::vector<std::string> &names) {
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return false;
    while (dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return true;
}

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

Opened read_whole(FileSystem &fs, const std::string &path, std::string &bytes, std::string &why, size_t limit) {
    bytes.clear();
    const int fd = fs.open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENOENT) return Opened::missing;
        why = errno == ELOOP ? "it is a symbolic link, which tolmar does not follow" : reason();
        return Opened::failed;
    }
    struct stat st;
    Opened got = Opened::ok;
    if (fs.fstat(fd, st) != 0) why = reason(), got = Opened::failed;
    else if (!S_ISREG(st.st_mode)) why = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file", got = Opened::failed;
    else if (static_cast<unsigned long long>(st.st_size) > limit)
        why = "it holds " + std::to_string(st.st_size) + " bytes, more than such a file can", got = Opened::failed;
    else {
        bytes.resize(static_cast<size_t>(st.st_size));
        if (!bytes.empty() && !read_all(fs, fd, &bytes[0], bytes.size(), 0)) why = reason(), got = Opened::failed;
    }
    fs.close(fd);
    return got;
}

std::string unusable_path(FileSystem &fs, const std::string &path) {
    struct stat st;
    if (fs.lstat(path.c_str(), st) != 0) return "";
    if (S_ISLNK(st.st_mode)) return "it is a symbolic link, which tolmar does not follow";
    if (S_ISDIR(st.st_mode)) return "it is a folder";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    return "";
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
