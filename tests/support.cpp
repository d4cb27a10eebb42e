// support.cpp: the helpers declared in support.h.
#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>


namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tolmar-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Folders a case made read-only must be writable again to be removed.
    for (auto &entry : fs::recursive_directory_iterator(path, ec))
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool file_exists(const std::string &path) { return fs::exists(path); }

int count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Everything written to `f` so far, leaving it positioned at its end.
static std::string written(FILE *f) {
    fflush(f);
    long n = ftell(f);
    std::string s(static_cast<size_t>(n), '\0');
    rewind(f);
    size_t got = fread(&s[0], 1, s.size(), f);
    s.resize(got);
    fseek(f, 0, SEEK_END);
    return s;
}

static std::string little_endian(const std::vector<int> &samples, int width) {
    std::string s;
    for (int v : samples)
        for (int b = 0; b < width; b++) s.push_back(static_cast<char>((static_cast<unsigned>(v) >> (8 * b)) & 0xff));
    return s;
}

std::string le16(const std::vector<int> &samples) { return little_endian(samples, 2); }
std::string le32(const std::vector<int> &samples) { return little_endian(samples, 4); }

void make_dem(const std::string &root, const std::string &folder, const std::string &name,
              bool bits32, const std::vector<int> &samples, const char *descriptor) {
    std::string base = root + "/images/" + folder + "/" + name + (bits32 ? "_m4" : "_m2");
    write_file(base + ".raw", bits32 ? le32(samples) : le16(samples));
    if (descriptor != nullptr) write_file(base + ".txt", descriptor);
}

RunResult run_command(const std::string &dir, const std::string &command, const std::string &input) {
    write_file(dir + "/.input", input);
    std::string cmd = "cd '" + dir + "' && " + command + " < .input > .printed 2>&1";
    int raw = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = read_file(dir + "/.printed");
    fs::remove(dir + "/.input");
    fs::remove(dir + "/.printed");
    return r;
}

RunResult run_tolmar(const std::string &dir, const std::string &answers) {
    return run_command(dir, "'" TOLMAR_EXE "'", answers);
}

// Replaces this (forked) process by `command` with `args`.
[[noreturn]] static void exec_command(const std::string &command, const std::vector<std::string> &args) {
    std::vector<char *> argv{const_cast<char *>(command.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(command.c_str(), argv.data());
    _exit(127);
}

Live::Live(const std::string &dir, bool terminal, const std::string &command, const std::vector<std::string> &args) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (terminal) {
        int master = -1;
        pid_ = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            exec_command(command, args);
        }
        fd_in_ = fd_out_ = master;
        return;
    }
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(in[1]);
        close(out[0]);
        if (chdir(dir.c_str()) != 0) _exit(127);
        exec_command(command, args);
    }
    close(in[0]);
    close(out[1]);
    fd_in_ = in[1];
    fd_out_ = out[0];
}

Live::~Live() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (fd_in_ >= 0) close(fd_in_);
    if (fd_out_ >= 0 && fd_out_ != fd_in_) close(fd_out_);
}

void Live::send(const std::string &text) {
    if (write(fd_in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot answer the program");
}

void Live::hang_up() {
    close(fd_out_);
    fd_in_ = fd_out_ = -1;
}

void Live::pump(double seconds) {
    if (fd_out_ < 0) {
        usleep(static_cast<useconds_t>(seconds * 1e6));
        return;
    }
    struct pollfd p = {fd_out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return;
    char buf[4096];
    const ssize_t got = read(fd_out_, buf, sizeof buf);
    if (got > 0) out_.append(buf, static_cast<size_t>(got));
}

bool Live::wait_for(const std::string &text, int times, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (count(out_, text) < times) {
        if (std::chrono::steady_clock::now() > end) return false;
        pump(0.05);
    }
    return true;
}

void Live::signal(int sig) { kill(pid_, sig); }

void Live::close_input() {
    if (fd_in_ != fd_out_ && fd_in_ >= 0) close(fd_in_);
    if (fd_in_ != fd_out_) fd_in_ = -1;
}

int Live::finish(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    for (;;) {
        pump(0.02);
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return 1000;
        }
    }
    pid_ = -1;
    for (int k = 0; k < 20; k++) pump(0.01);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string header_text(int rows, int cols, int pix) {
    char text[100];
    snprintf(text, sizeof text, "%d\n%d\n1\n0\n255\n%d\n", rows, cols, pix);
    return text;
}

std::string record_text(int code, int row, int column, int dip, int dip_direction, int zone) {
    char text[300];
    snprintf(text, sizeof text,
             "\n code %d \n\tselected point\n\t\tline   : %d\n\t\tcolumn : %d\n\tplane dip (in degrees) %d"
             "\n\tdirection of the slope %d\n\tinfluence zone %d \n",
             code, row, column, dip, dip_direction, zone);
    return text;
}

RunTest::RunTest() : in_(tmpfile()), out_(tmpfile()), con(in_, out_), run(con) {}

RunTest::~RunTest() {
    run.results.discard();
    fclose(in_);
    fclose(out_);
    delete dir_;
}

void RunTest::make_grids(int rows, int cols, int width) {
    run.rows = rows;
    run.cols = cols;
    ASSERT_TRUE(run.dem.allocate(rows, cols, width));
}

void RunTest::answers(const std::string &text) {
    fclose(in_);
    in_ = tmpfile();
    fwrite(text.data(), 1, text.size(), in_);
    rewind(in_);
    con.set_input(in_);
}

std::string RunTest::printed() { return written(out_); }

void RunTest::open_results() {
    if (dir_ == nullptr) dir_ = new TempDir;
    std::string err, repaired;
    ASSERT_TRUE(run.results.open(*dir_ / "r_tolmar.raw", *dir_ / "r_tolmar.txt", "test", repaired, err)) << err;
    ASSERT_TRUE(run.results.create(run.rows, run.cols, err)) << err;
}
