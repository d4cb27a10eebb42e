// opening.cpp: the DEM file set. Shows the banner, asks for the folder, the
// DEM's name and type and the result name, opens the DEM raster, reads or
// makes its descriptor, creates the result files and allocates every grid.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "../LIB/nrutil.h"
#include "tolmar.h"

#ifdef _WIN32
static const char DATA_ROOT[] = "c:\\images\\";
static const char SEP = '\\';
#else
// Hosts without drive letters keep the data in the folder images/ of the
// working directory.
static const char DATA_ROOT[] = "images/";
static const char SEP = '/';
#endif

// Longest suffix a name gets: "_tolmar.raw" (the DEM's "_m2.raw" is shorter).
static const size_t LONGEST_SUFFIX = 11;

// ===================== Banner ==============================================

static void box_line(const char *text) {
    // 60 characters between the asterisks, the text right-aligned with four
    // blanks before the closing one.
    say("\n\t*%56s    *", text);
}

static void banner() {
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
// separator, not "." or "..") and keeps every path built from it within
// PATH_MAX_CHARS once `room` more characters are added to it.
static void ask_name(const char *prompt, char *out, size_t room) {
    for (;;) {
        std::string name = read_word(prompt);
        if (name == "." || name == ".." || name.find('/') != std::string::npos ||
            name.find('\\') != std::string::npos) {
            say("\n\n\tName refused: %s is not a single name (no '/', '\\', '.' or '..')\n",
                name.c_str());
            continue;
        }
        if (name.size() + room > static_cast<size_t>(PATH_MAX_CHARS)) {
            say("\n\n\tName refused: %.40s... (%zu characters) would make a path longer than "
                "%d characters\n",
                name.c_str(), name.size(), PATH_MAX_CHARS);
            continue;
        }
        memcpy(out, name.c_str(), name.size() + 1);
        return;
    }
}

static void append(char *path, const char *text) {
    strncat(path, text, PATH_MAX_CHARS - strlen(path));
}

// ===================== DEM descriptor ======================================

// Reads one decimal integer as "%d" would, from the descriptor. False when the
// next field is missing or not a number; a number beyond the 32-bit range
// ends the run with a message naming the file.
static bool read_field(FILE *f, int &out) {
    int c;
    do c = fgetc(f);
    while (c != EOF && (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'));
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = fgetc(f);
    }
    if (c < '0' || c > '9') return false;
    long long v = 0;
    bool too_big = false;
    for (; c >= '0' && c <= '9'; c = fgetc(f)) {
        if (v <= INT64_C(1) << 40) v = v * 10 + (c - '0');
        else too_big = true;
    }
    // The character that ends the number is not part of it: "3x4" is 3,
    // then a field that is not a number.
    if (c != EOF) ungetc(c, f);
    if (negative) v = -v;
    if (too_big || v > INT32_MAX || v < INT32_MIN) {
        say("\n\n\tDEM descriptor %s: a number is beyond the 32-bit range\n", nomdescr1);
        end_run(1);
    }
    out = static_cast<int>(v);
    return true;
}

// The six fields in order; reading stops at the first one that is missing or
// not a number, the rest keep their values.
void read_descriptor(FILE *f) {
    int *fields[] = {&nb_lig, &nb_col, &val, &min_al, &max_al, &pix_size};
    for (int *field : fields)
        if (!read_field(f, *field)) return;
}

static int ask_size(const char *prompt) {
    int v;
    while ((v = read_int(prompt)) < 1) say("\n\t\tat least 1, please\n");
    return v;
}

// Asks for the sizes of a DEM that has no descriptor and makes one holding the
// rows, the columns and the bytes per sample.
static void make_descriptor() {
    say("\n\n\tNo File  %s \n\n", nomdescr1);
    nb_lig = ask_size("\n\n\t\tNumber of lines   ? ");
    nb_col = ask_size("\t\tNumbre of columns ? ");
    pix_size = read_int("\t\tpixel size? ");
    val = itype == 0 ? 2 : 4;
    f1d = fopen(nomdescr1, "w");
    bool ok = f1d != nullptr && fprintf(f1d, "%d\n%d\n%d\n", nb_lig, nb_col, val) > 0;
    if (f1d != nullptr && fclose(f1d) != 0) ok = false;
    f1d = nullptr;
    if (!ok) say("\n\n\tWarning: cannot create %s; the run goes on with the sizes typed\n", nomdescr1);
}

// ===================== Grids ===============================================

// Bytes of memory this machine has, or 0 when it cannot tell.
static uint64_t physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
#endif
    return 0;
}

// Allocates tab, tab_out, mask, mask_bin, itab and dtab, all zero-filled.
// Sizes whose grids (16 bytes a cell) cannot fit in this machine's memory are
// refused before any allocation: with lazily committed memory the
// allocations would seem to succeed and fail later.
void allocate_grids() {
    uint64_t cells = static_cast<uint64_t>(nb_lig) * static_cast<uint64_t>(nb_col);
    uint64_t memory = physical_memory();
    bool fits = memory == 0 || cells <= memory / 16;
    if (fits) {
        tab = ucmatrice(nb_col, nb_lig);
        tab_out = ucmatrice(nb_col, nb_lig);
        mask = ucmatrice(nb_col, nb_lig);
        mask_bin = ucmatrice(nb_col, nb_lig);
        itab = imatrice(nb_col, nb_lig);
        dtab = dmatrice(nb_col, nb_lig);
    }
    if (!fits || !tab || !tab_out || !mask || !mask_bin || !itab || !dtab) {
        say("\n\n\tNot enough memory for a DEM of %d lines and %d columns (%s): "
            "its grids need %llu MB\n",
            nb_lig, nb_col, nomdescr1,
            static_cast<unsigned long long>(cells * 16 / 1000000 + 1));
        end_run(1);
    }
}

// ===================== Result files ========================================

// Removes the result files this run created, when it ends without results.
void remove_results() {
    if (f2 != nullptr) fclose(f2);
    if (f2d != nullptr) fclose(f2d);
    f2 = f2d = nullptr;
    if (!results_created) return;
    remove(nomim2);
    remove(nomdescr2);
    results_created = false;
}

static void create_results() {
    f2 = open_or_fail(nomim2, "wb");
    results_created = true;
    f2d = open_or_fail(nomdescr2, "w");
}

// ===================== Opening =============================================

void opening() {
    banner();

    strcpy(nomim1, DATA_ROOT);
    const char sep[2] = {SEP, '\0'};
    // The folder must leave room for its separator, a one-character name and
    // the longest suffix.
    ask_name("\n\n\tName of the File Folder located in the Directory C:\\images ? ", nomdir,
             strlen(DATA_ROOT) + 1 + 1 + LONGEST_SUFFIX);
    append(nomim1, nomdir);
    append(nomim1, sep);
    strcpy(nomim2, nomim1);

    // The DEM name also names the results when it is kept for them.
    ask_name("\n\tName of DEM File (without extension _m2 or _m4) ? ", nomfic1,
             strlen(nomim1) + LONGEST_SUFFIX);
    itype = read_int("\n\ttype of DEM :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t");
    append(nomim1, nomfic1);
    strcpy(nomdescr1, nomim1);
    append(nomim1, itype == 0 ? "_m2.raw" : "_m4.raw");
    append(nomdescr1, itype == 0 ? "_m2.txt" : "_m4.txt");

    f1 = fopen(nomim1, "rb");
    if (f1 == nullptr) {
        say("\n\n\tNo File  %s \n", nomim1);
        key_press();
        end_run(1);
    }

    f1d = fopen(nomdescr1, "r");
    if (f1d != nullptr) {
        read_descriptor(f1d);
        fclose(f1d);
        f1d = nullptr;
        if (nb_lig < 1 || nb_col < 1) {
            say("\n\n\tDEM descriptor %s gives %d lines and %d columns: both must be at least 1\n",
                nomdescr1, nb_lig, nb_col);
            end_run(1);
        }
    } else {
        make_descriptor();
    }

    say("\n\n\tTHE DIGITAL ELEVATION MODEL HAS: ");
    say("\n\t           %d LINES ", nb_lig);
    say("\n\t        ET %d COLUMNS\n", nb_col);

    say("\n\n\tResulting File : ");
    char question[2 * PATH_MAX_CHARS];
    snprintf(question, sizeof question,
             "\n\n\t\t0 -----> Taking into account the generic name %s ? "
             "\n\t\t1 -----> Creation of a new File ? \n\t\t",
             nomfic1);
    do rep = read_int(question);
    while (rep != 0 && rep != 1);
    if (rep == 1)
        ask_name("\n\n\tName of the File to be created (without extension .raw) ? ", nomfic,
                 strlen(nomim2) + LONGEST_SUFFIX);
    else
        strcpy(nomfic, nomfic1);

    append(nomim2, nomfic);
    strcpy(nomdescr2, nomim2);
    append(nomim2, "_tolmar.raw");
    append(nomdescr2, "_tolmar.txt");
    create_results();

    val = 1;
    write_header();
    allocate_grids();
    // tab_out starts all 0: the grids come zero-filled.
}
