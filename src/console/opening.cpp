// opening.cpp: the DEM file set. Shows the banner, asks for the folder, the
// DEM's name and type and the result name; opens the DEM raster, reads or
// makes its descriptor, checks the sizes against this machine's memory,
// creates the result files under temporary names and allocates the grids.
// Every file is opened without following a symbolic link and must be a
// regular file; a file that is missing is told apart from one that cannot be
// read, with the system's reason.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>
#include <cstdint>
#include <cstring>
#include <string>

#include "console/opening.h"
#include "files/fileio.h"
#include "files/formats.h"

using formats::DATA_ROOT;
using formats::PATH_MAX_CHARS;

namespace {

// ===================== Banner ==============================================

void box_line(Console &con, const char *text) {
    // 60 characters between the asterisks, the text right-aligned with four
    // blanks before the closing one.
    con.say("\n\t*%56s    *", text);
}

void banner(Console &con) {
    const std::string stars(62, '*');
    const std::string blank = "*" + std::string(60, ' ') + "*";
    con.say("\n\n\t%s", stars.c_str());
    con.say("\n\t%s", blank.c_str());
    con.say("\n\t*%27sTOLMAR%27s*", "", "");
    for (int k = 0; k < 4; k++) con.say("\n\t%s", blank.c_str());
    box_line(con, "tolmar, plane traces on a DEM");
    box_line(con, "(first version December 2026)");
    con.say("\n\t%s", blank.c_str());
    box_line(con, "last revision December 2026");
    con.say("\n\t%s", blank.c_str());
    con.say("\n\t%s", stars.c_str());
}

// ===================== Names ===============================================

// Asks for a name until one is given that stays a single name (no folder
// separator, not "." or "..", no control character) and keeps every path
// built from it within PATH_MAX_CHARS once `room` more characters are added.
std::string ask_name(Console &con, const char *prompt, size_t room) {
    for (;;) {
        const std::string name = con.read_word(prompt);
        if (!formats::single_name(name)) {
            con.say("\n\n\tName refused: %s is not a single name (no '/', '\\', '.', '..' or control "
                    "character)\n",
                    formats::printable(name).c_str());
            continue;
        }
        if (name.size() + room > static_cast<size_t>(PATH_MAX_CHARS)) {
            con.say("\n\n\tName refused: %s (%zu characters) would make a path longer than %d characters\n",
                formats::printable(name).c_str(), name.size(), PATH_MAX_CHARS);
            continue;
        }
        return name;
    }
}

// ===================== Input files =========================================

// The names of a folder's entries that `keep` takes (as `shown` shows
// them), sorted, at most 12.
template <typename Keep>
std::string listing(const std::string &folder, Keep keep, std::string (*shown)(const std::string &) = nullptr) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            if (name[0] != '.' && keep(name)) names.push_back(formats::printable(shown ? shown(name) : name));
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (size_t k = 0; k < names.size() && k < 12; k++) out += (k ? ", " : "") + names[k];
    if (names.size() > 12) out += ", ...";
    return out;
}

// What there is instead of the DEM asked for: the folders of images/, or
// the DEMs of the folder.
std::string what_is_there(const std::string &folder) {
    struct stat st;
    if (stat(DATA_ROOT, &st) != 0)
        return "\n\tThere is no folder images/ here: run tolmar in the folder that holds images/\n";
    const std::string dir = DATA_ROOT + folder;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        const std::string folders = listing(DATA_ROOT, [](const std::string &n) {
            struct stat s;
            return stat((DATA_ROOT + n).c_str(), &s) == 0 && S_ISDIR(s.st_mode);
        });
        return "\n\tThere is no folder " + dir + "; images/ holds " + (folders.empty() ? "no folder" : "the folders " + folders) + "\n";
    }
    // Each DEM as it is answered: its name without the suffix, and its type.
    const std::string dems = listing(dir, [](const std::string &n) { return formats::dem_width_of_name(n) != 0; },
                                     [](const std::string &n) {
                                         return n.substr(0, n.size() - 7) + " (type " + (formats::dem_width_of_name(n) == 2 ? "0" : "1") + ")";
                                     });
    return "\n\t" + dir + (dems.empty() ? " holds no DEM (NAME_m2.raw, 16 bits, or NAME_m4.raw, 32 bits)"
                                          : " holds the DEMs to answer " + dems) + "\n";
}

[[noreturn]] void cannot_read(Console &con, const std::string &path, const std::string &why) {
    con.say("\n\n\tCannot read %s: %s\n", path.c_str(), why.c_str());
    end_run(1);
}

// ===================== Memory ==============================================

// Bytes of memory this machine has, or 0 when it cannot tell.
uint64_t physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
#endif
    return 0;
}

// The run's memory: each cell costs its sample and its byte of the result
// raster, in one block each. Sizes that cannot fit in this machine's memory
// are refused before anything is allocated or written: with lazily committed
// memory the allocation would seem to succeed and fail later.
unsigned __int128 grid_bytes(int rows, int cols, int width) {
    return static_cast<unsigned __int128>(static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols)) *
           static_cast<unsigned>(width + 1);
}

}  // namespace

[[noreturn]] void not_enough_memory(Run &run, int width) {
    const unsigned __int128 mb = (grid_bytes(run.rows, run.cols, width) + 999999) / 1000000;
    run.con.say("\n\n\tNot enough memory for a DEM of %d lines and %d columns (%s): its grids need %llu MB\n",
                run.rows, run.cols, run.dem_descriptor.c_str(), static_cast<unsigned long long>(mb));
    end_run(1);
}

namespace {

void check_memory(Run &run, int width) {
    const uint64_t memory = physical_memory();
    if (memory != 0 && grid_bytes(run.rows, run.cols, width) > memory) not_enough_memory(run, width);
}

// ===================== DEM descriptor ======================================

int ask_size(Console &con, const char *prompt) {
    int v;
    while ((v = con.read_int(prompt)) < 1) con.say("\n\t\tat least 1, please\n");
    return v;
}

int ask_pix_size(Console &con, const char *prompt) {
    int v;
    while ((v = con.read_int(prompt)) < 0) con.say("\n\t\ta pixel size cannot be negative\n");
    return v;
}

// Asks for the sizes of a DEM that has no descriptor, checks them and makes
// a descriptor holding the rows, the columns and the bytes per sample.
void make_descriptor(Run &run, int width) {
    Console &con = run.con;
    con.say("\n\n\tNo File  %s \n\n", run.dem_descriptor.c_str());
    run.rows = ask_size(con, "\n\n\t\tNumber of lines   ? ");
    run.cols = ask_size(con, "\t\tNumbre of columns ? ");
    run.pix_size = ask_pix_size(con, "\t\tpixel size? ");
    check_memory(run, width);
    const std::string text = formats::made_descriptor_text(run.rows, run.cols, width);
    const int fd = open(run.dem_descriptor.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok) {
        if (fd >= 0) unlink(run.dem_descriptor.c_str());  // a half-written descriptor would mislead the next run
        con.say("\n\n\tWarning: cannot create %s; the run goes on with the sizes typed\n", run.dem_descriptor.c_str());
    }
}

void read_dem_descriptor(Run &run, int fd, int width) {
    Console &con = run.con;
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    // Six numbers never need more than this; a longer file is not a descriptor.
    while (text.size() < (1u << 20) && ((got = read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)))
        if (got > 0) text.append(chunk, static_cast<size_t>(got));
    const bool failed = got < 0;
    const int e = errno;
    close(fd);
    if (failed) cannot_read(con, run.dem_descriptor, strerror(e));
    const formats::Descriptor d = formats::parse_descriptor(text);
    if (d.too_big) {
        con.say("\n\n\tDEM descriptor %s: a number is beyond the 32-bit range\n", run.dem_descriptor.c_str());
        end_run(1);
    }
    // The fields not read keep their program-start value, 0.
    run.rows = d.count > 0 ? static_cast<int>(d.field[0]) : 0;
    run.cols = d.count > 1 ? static_cast<int>(d.field[1]) : 0;
    run.pix_size = d.count > 5 ? static_cast<int>(d.field[5]) : 0;
    if (run.rows < 1 || run.cols < 1) {
        con.say("\n\n\tDEM descriptor %s gives %d lines and %d columns: both must be at least 1\n",
                run.dem_descriptor.c_str(), run.rows, run.cols);
        end_run(1);
    }
    if (run.pix_size < 0) {
        con.say("\n\n\tWarning: %s gives pixel size %d, which cannot be negative: it is asked for\n",
                run.dem_descriptor.c_str(), run.pix_size);
        run.pix_size = 0;
    }
    check_memory(run, width);
}

// ===================== Result name =========================================

// Asks the result name until its two files can be written: each absent or a
// regular file that is not one of the DEM's.
void ask_result_name(Run &run) {
    Console &con = run.con;
    con.say("\n\n\tResulting File : ");
    const std::string question = "\n\n\t\t0 -----> Taking into account the generic name " + run.dem_name +
                                 " ? \n\t\t1 -----> Creation of a new File ? \n\t\t";
    const std::string folder = DATA_ROOT + run.folder + "/";
    for (;;) {
        int answer;
        while ((answer = con.read_int(question.c_str())) != 0 && answer != 1) con.say("\n\t\t%d: answer 0 or 1\n", answer);
        run.result_name = answer == 1 ? ask_name(con, "\n\n\tName of the File to be created (without extension .raw) ? ",
                                                 folder.size() + formats::LONGEST_SUFFIX)
                                      : run.dem_name;
        run.result_raster = folder + run.result_name + formats::RESULT_RASTER_SUFFIX;
        run.result_log = folder + run.result_name + formats::RESULT_LOG_SUFFIX;
        const std::string dem_files[] = {run.dem_raster, run.dem_descriptor};
        std::string refusal, repaired;
        run.earlier_set = false;
        for (const std::string *path : {&run.result_raster, &run.result_log}) {
            bool exists = false;
            if (refusal.empty()) refusal = result_path_refusal(*path, dem_files, 2, exists);
            run.earlier_set = run.earlier_set || exists;
        }
        // The set is this run's alone from here, and a dead run's leftovers gone.
        if (refusal.empty()) {
            if (run.results.open(run.result_raster, run.result_log, "tolmar", repaired, refusal)) {
                if (!repaired.empty())
                    con.say("\n\n\tThe result set %s was left by a run that was stopped: %s\n",
                            run.result_raster.c_str(), repaired.c_str());
                // An earlier set of the other geometry is not replaced: its
                // treatments would be traced again otherwise.
                std::string text, why;
                formats::ResultLog earlier;
                if (run.earlier_set && formats::read_file(run.result_log, text, why, 1 << 20) &&
                    formats::result_log_prefix(text, earlier) != std::string::npos && earlier.geometry != run.geometry) {
                    run.results.discard();
                    con.say("\n\n\tThe result set %s and %s from an earlier run is in %s geometry, and this run traces in %s"
                            " geometry (tolmar --geometry %s traces in its own): choose another result name\n",
                            run.result_raster.c_str(), run.result_log.c_str(), geometry_name(earlier.geometry),
                            geometry_name(run.geometry), geometry_name(earlier.geometry));
                    continue;
                }
                return;
            }
            // A folder that takes no file takes no other name either.
            if (!run.results.held_elsewhere() && !run.results.set_unusable()) {
                con.say("\n\n\t%s\n", refusal.c_str());
                end_run(1);
            }
        }
        con.say("\n\n\t%s: choose another result name\n", refusal.c_str());
    }
}

}  // namespace

// ===================== Opening =============================================

void open_file_set(Run &run) {
    Console &con = run.con;
    banner(con);
    // The folder must leave room for its separator, a one-character name and
    // the longest suffix.
    const std::string folder_prompt =
        std::string("\n\n\tName of the File Folder located in the Directory ") + DATA_ROOT + " ? ";
    run.folder = ask_name(con, folder_prompt.c_str(), strlen(DATA_ROOT) + 1 + 1 + formats::LONGEST_SUFFIX);
    const std::string folder = DATA_ROOT + run.folder + "/";
    // The DEM name also names the results when it is kept for them.
    run.dem_name = ask_name(con, "\n\tName of DEM File (without extension _m2 or _m4) ? ",
                            folder.size() + formats::LONGEST_SUFFIX);
    run.type = con.read_int("\n\ttype of DEM :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t");
    const int width = formats::width_of_type(run.type);
    run.dem_raster = folder + run.dem_name + formats::dem_raster_suffix(width);
    run.dem_descriptor = folder + run.dem_name + formats::dem_descriptor_suffix(width);

    std::string why;
    switch (open_regular(run.dem_raster, run.dem_fd, why)) {
    case Opened::ok: break;
    case Opened::missing:
        con.say("\n\n\tNo File  %s \n", run.dem_raster.c_str());
        con.say("%s", what_is_there(run.folder).c_str());
        con.say("\n\tPress a key to end ");
        con.key_press();
        end_run(1);
    case Opened::failed: cannot_read(con, run.dem_raster, why);
    }

    int fd;
    switch (open_regular(run.dem_descriptor, fd, why)) {
    case Opened::ok: read_dem_descriptor(run, fd, width); break;
    case Opened::missing: make_descriptor(run, width); break;
    case Opened::failed: cannot_read(con, run.dem_descriptor, why);
    }

    con.say("\n\n\tTHE DIGITAL ELEVATION MODEL HAS: ");
    con.say("\n\t           %d LINES ", run.rows);
    con.say("\n\t        ET %d COLUMNS\n", run.cols);

    ask_result_name(run);
    std::string err;
    if (!run.results.create(run.rows, run.cols, err, run.geometry)) {
        con.say("\n\n\t%s\n", err.c_str());
        end_run(1);
    }
}

void allocate_dem(Run &run) {
    const int width = formats::width_of_type(run.type);
    if (!run.dem.allocate(run.rows, run.cols, width)) not_enough_memory(run, width);
}
