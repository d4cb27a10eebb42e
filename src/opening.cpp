// opening.cpp: the DEM file set. Shows the banner, asks for the folder, the
// DEM's name and type and the result name; opens the DEM raster, reads or
// makes its descriptor, checks the sizes against this machine's memory,
// creates the result files under temporary names and allocates the grids.
// Every file is opened without following a symbolic link and must be a
// regular file; a file that is missing is told apart from one that cannot be
// read, with the system's reason.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "console.h"
#include "opening.h"
#include "formats.h"
#include "state.h"

const char DATA_ROOT[] = "images/";

namespace {

// ===================== Banner ==============================================

void box_line(const char *text) {
    // 60 characters between the asterisks, the text right-aligned with four
    // blanks before the closing one.
    say("\n\t*%56s    *", text);
}

void banner() {
    const std::string stars(62, '*');
    const std::string blank = "*" + std::string(60, ' ') + "*";
    say("\n\n\t%s", stars.c_str());
    say("\n\t%s", blank.c_str());
    say("\n\t*%27sTOLMAR%27s*", "", "");
    for (int k = 0; k < 4; k++) say("\n\t%s", blank.c_str());
    box_line("tolmar, plane traces on a DEM");
    box_line("(first version December 2026)");
    say("\n\t%s", blank.c_str());
    box_line("last revision December 2026");
    say("\n\t%s", blank.c_str());
    say("\n\t%s", stars.c_str());
}

// ===================== Names ===============================================

// Asks for a name until one is given that stays a single name (no folder
// separator, not "." or "..", no control character) and keeps every path
// built from it within PATH_MAX_CHARS once `room` more characters are added.
std::string ask_name(const char *prompt, size_t room) {
    for (;;) {
        const std::string name = read_word(prompt);
        bool control = false;
        for (char c : name) control = control || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        if (name == "." || name == ".." || name.find('/') != std::string::npos ||
            name.find('\\') != std::string::npos || control) {
            say("\n\n\tName refused: %s is not a single name (no '/', '\\', '.', '..' or control "
                "character)\n",
                printable(name).c_str());
            continue;
        }
        if (name.size() + room > static_cast<size_t>(PATH_MAX_CHARS)) {
            say("\n\n\tName refused: %s (%zu characters) would make a path longer than %d characters\n",
                printable(name).c_str(), name.size(), PATH_MAX_CHARS);
            continue;
        }
        return name;
    }
}

// ===================== Input files =========================================

enum class Opened { ok, missing, failed };

// Opens an input file for reading without following a link and without
// waiting on a FIFO or device; it must be a regular file. `why` says what
// went wrong when it failed.
Opened open_input(const std::string &path, int &fd, std::string &why) {
    fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return Opened::missing;
        why = errno == ELOOP ? "it is a symbolic link, which tolmar does not follow" : strerror(errno);
        return Opened::failed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = fstat(fd, &st) != 0 ? strerror(errno) : S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
        close(fd);
        fd = -1;
        return Opened::failed;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return Opened::ok;
}

[[noreturn]] void cannot_read(const std::string &path, const std::string &why) {
    say("\n\n\tCannot read %s: %s\n", path.c_str(), why.c_str());
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

[[noreturn]] void not_enough_memory(int rows, int cols, int width) {
    const unsigned __int128 mb = (grid_bytes(rows, cols, width) + 999999) / 1000000;
    say("\n\n\tNot enough memory for a DEM of %d lines and %d columns (%s): its grids need %llu MB\n", rows, cols,
        files.nomdescr1.c_str(), static_cast<unsigned long long>(mb));
    end_run(1);
}

void check_memory(int rows, int cols, int width) {
    const uint64_t memory = physical_memory();
    if (memory != 0 && grid_bytes(rows, cols, width) > memory) not_enough_memory(rows, cols, width);
}

// ===================== DEM descriptor ======================================

int ask_size(const char *prompt) {
    int v;
    while ((v = read_int(prompt)) < 1) say("\n\t\tat least 1, please\n");
    return v;
}

int ask_pix_size(const char *prompt) {
    int v;
    while ((v = read_int(prompt)) < 0) say("\n\t\ta pixel size cannot be negative\n");
    return v;
}

// Asks for the sizes of a DEM that has no descriptor, checks them and makes
// a descriptor holding the rows, the columns and the bytes per sample.
void make_descriptor(int width) {
    say("\n\n\tNo File  %s \n\n", files.nomdescr1.c_str());
    files.nb_lig = ask_size("\n\n\t\tNumber of lines   ? ");
    files.nb_col = ask_size("\t\tNumbre of columns ? ");
    files.pix_size = ask_pix_size("\t\tpixel size? ");
    check_memory(files.nb_lig, files.nb_col, width);
    const std::string text = formats::made_descriptor_text(files.nb_lig, files.nb_col, width);
    const int fd = open(files.nomdescr1.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok) {
        if (fd >= 0) unlink(files.nomdescr1.c_str());  // a half-written descriptor would mislead the next run
        say("\n\n\tWarning: cannot create %s; the run goes on with the sizes typed\n", files.nomdescr1.c_str());
    }
}

void read_dem_descriptor(int fd, int width) {
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    // Six numbers never need more than this; a longer file is not a descriptor.
    while (text.size() < (1u << 20) && ((got = read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)))
        if (got > 0) text.append(chunk, static_cast<size_t>(got));
    const bool failed = got < 0;
    const int e = errno;
    close(fd);
    if (failed) cannot_read(files.nomdescr1, strerror(e));
    const formats::Descriptor d = formats::parse_descriptor(text);
    if (d.too_big) {
        say("\n\n\tDEM descriptor %s: a number is beyond the 32-bit range\n", files.nomdescr1.c_str());
        end_run(1);
    }
    // The fields not read keep their program-start value, 0.
    files.nb_lig = d.count > 0 ? static_cast<int>(d.field[0]) : 0;
    files.nb_col = d.count > 1 ? static_cast<int>(d.field[1]) : 0;
    files.pix_size = d.count > 5 ? static_cast<int>(d.field[5]) : 0;
    if (files.nb_lig < 1 || files.nb_col < 1) {
        say("\n\n\tDEM descriptor %s gives %d lines and %d columns: both must be at least 1\n",
            files.nomdescr1.c_str(), files.nb_lig, files.nb_col);
        end_run(1);
    }
    if (files.pix_size < 0) {
        say("\n\n\tWarning: %s gives pixel size %d, which cannot be negative: it is asked for\n",
            files.nomdescr1.c_str(), files.pix_size);
        files.pix_size = 0;
    }
    check_memory(files.nb_lig, files.nb_col, width);
}

// ===================== Result name =========================================

// Asks the result name until its two files can be written: each absent or a
// regular file that is not one of the DEM's.
void ask_result_name() {
    say("\n\n\tResulting File : ");
    const std::string question = "\n\n\t\t0 -----> Taking into account the generic name " + files.nomfic1 +
                                 " ? \n\t\t1 -----> Creation of a new File ? \n\t\t";
    const std::string folder = DATA_ROOT + files.nomdir + "/";
    for (;;) {
        int rep;
        while ((rep = read_int(question.c_str())) != 0 && rep != 1) say("\n\t\t%d: answer 0 or 1\n", rep);
        files.nomfic = rep == 1 ? ask_name("\n\n\tName of the File to be created (without extension .raw) ? ",
                                           folder.size() + formats::LONGEST_SUFFIX)
                                : files.nomfic1;
        files.nomim2 = folder + files.nomfic + formats::RESULT_RASTER_SUFFIX;
        files.nomdescr2 = folder + files.nomfic + formats::RESULT_LOG_SUFFIX;
        const std::string dem_files[] = {files.nomim1, files.nomdescr1};
        std::string refusal;
        for (const std::string *path : {&files.nomim2, &files.nomdescr2}) {
            bool exists;
            if (refusal.empty()) refusal = result_path_refusal(*path, dem_files, 2, exists);
        }
        if (refusal.empty()) return;
        say("\n\n\t%s: choose another result name\n", refusal.c_str());
    }
}

}  // namespace

// ===================== Opening =============================================

void opening() {
    banner();
    // The folder must leave room for its separator, a one-character name and
    // the longest suffix.
    const std::string folder_prompt =
        std::string("\n\n\tName of the File Folder located in the Directory ") + DATA_ROOT + " ? ";
    files.nomdir = ask_name(folder_prompt.c_str(), strlen(DATA_ROOT) + 1 + 1 + formats::LONGEST_SUFFIX);
    const std::string folder = DATA_ROOT + files.nomdir + "/";
    // The DEM name also names the results when it is kept for them.
    files.nomfic1 = ask_name("\n\tName of DEM File (without extension _m2 or _m4) ? ",
                             folder.size() + formats::LONGEST_SUFFIX);
    files.itype = read_int("\n\ttype of DEM :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t");
    const int width = formats::width_of_type(files.itype);
    files.nomim1 = folder + files.nomfic1 + formats::dem_raster_suffix(width);
    files.nomdescr1 = folder + files.nomfic1 + formats::dem_descriptor_suffix(width);

    std::string why;
    switch (open_input(files.nomim1, files.f1, why)) {
    case Opened::ok: break;
    case Opened::missing:
        say("\n\n\tNo File  %s \n", files.nomim1.c_str());
        key_press();
        end_run(1);
    case Opened::failed: cannot_read(files.nomim1, why);
    }

    int fd;
    switch (open_input(files.nomdescr1, fd, why)) {
    case Opened::ok: read_dem_descriptor(fd, width); break;
    case Opened::missing: make_descriptor(width); break;
    case Opened::failed: cannot_read(files.nomdescr1, why);
    }

    say("\n\n\tTHE DIGITAL ELEVATION MODEL HAS: ");
    say("\n\t           %d LINES ", files.nb_lig);
    say("\n\t        ET %d COLUMNS\n", files.nb_col);

    ask_result_name();
    std::string err;
    if (!files.results.create(files.nomim2, files.nomdescr2, files.nb_lig, files.nb_col, err)) {
        say("\n\n\t%s\n", err.c_str());
        end_run(1);
    }
    if (!grids.dem.allocate(files.nb_lig, files.nb_col, width) || !grids.tab_out.allocate(files.nb_lig, files.nb_col))
        not_enough_memory(files.nb_lig, files.nb_col, width);
}
