// support.cpp: the helpers declared in support.h.
#include "support.h"

#include <sys/wait.h>

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

void StateTest::SetUp() {
    reset_state();
    out_ = tmpfile();
    console.out = out_;
}

void StateTest::TearDown() {
    if (console.in != stdin) fclose(console.in);
    reset_state();
    if (out_ != nullptr) fclose(out_);
    delete dir_;
}

void StateTest::make_grids(int rows, int cols, int width) {
    files.nb_lig = rows;
    files.nb_col = cols;
    ASSERT_TRUE(grids.dem.allocate(rows, cols, width));
    ASSERT_TRUE(grids.tab_out.allocate(rows, cols));
}

void StateTest::answers(const std::string &text) {
    if (console.in != stdin) fclose(console.in);
    console.in = tmpfile();
    fwrite(text.data(), 1, text.size(), console.in);
    rewind(console.in);
}

std::string StateTest::printed() { return written(out_); }

void StateTest::open_results() {
    if (dir_ == nullptr) dir_ = new TempDir;
    std::string err;
    ASSERT_TRUE(files.results.create(*dir_ / "r_tolmar.raw", *dir_ / "r_tolmar.txt", files.nb_lig, files.nb_col, err)) << err;
}
