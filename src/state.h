// state.h: the state of a run: everything that lives as long as the run,
// declared once, defined in state.cpp. A newcomer reads this first: the
// console, the file set, the DEM and the result raster in memory, and the
// session (the treatment values, the menu answer, the code counter).
// Per-treatment data belongs to the treatment (treatment.h); reset_state()
// puts all of this back to program start for the tests.
//
// The steps of a run and of a treatment keep the names they are known by:
//
//   opening          banner, folder, DEM name and type, descriptor, result name (opening.cpp)
//   lecture          the DEM's samples read into memory, their range found (loading.cpp)
//   parameters       range shown, unit, pixel size and background asked (loading.cpp)
//   parameters2      the treatment values the last menu answer says should change (run.cpp)
//   plan             one treatment run, told and written, by the loop (run.cpp)
//   save             the result files completed and closed at the end (run.cpp)
//   corners          one corner of the influence square (corners.cpp)
//   limite           the cells of one side of the square (walks.cpp)
//   trace_droite_deb the length of the first ray, which is the number of rays (walks.cpp)
//   trace_droite     the classes of the cells of one ray (walks.cpp)
#ifndef TOLMAR_STATE_H
#define TOLMAR_STATE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "../LIB/nrutil.h"
#include "corners.h"
#include "dem.h"
#include "results.h"

// Longest path text, without its terminator.
constexpr int PATH_MAX_CHARS = 127;

// ===================== The run's state ====================================

// Where answers are read and prompts and messages go: standard input and
// output, unless a test says otherwise.
struct Console {
    FILE *in = stdin;
    FILE *out = stdout;
};

// The DEM file set and the result files, as the opening dialogue settles them.
struct FileSet {
    std::string nomdir;     // folder under the data root, as typed
    std::string nomfic1;    // DEM name as typed
    std::string nomfic;     // result name: the DEM's, or a new one
    int itype = 0;          // DEM type answer: 0 16-bit unsigned, anything else 32-bit signed
    std::string nomim1;     // DEM raster path
    std::string nomdescr1;  // DEM descriptor path
    std::string nomim2;     // result raster path
    std::string nomdescr2;  // result descriptor and run log path
    int f1 = -1;            // the DEM raster, open from opening() until lecture() has read it
    int nb_lig = 0;         // rows of the DEM and of the result
    int nb_col = 0;         // columns
    int pix_size = 0;       // ground length of one cell in metres, whole; 0 = not given (yet)
    ResultFiles results;    // the result raster and run log being written
};

// The DEM and the result raster in memory.
struct Grids {
    DemSamples dem;         // the samples as read, at the file's width
    double rescale = 1.0;   // divisor from the samples' unit to metres: 1, 10, 100 or 1000
    Grid<uint8_t> tab_out;  // result raster: 0, or the code of the last trace through the cell
};

// The session of treatments.
struct Session {
    Values values;        // the treatment values as last entered: the current
                          // treatment's, and the last one's until one changes
    int rep_param = 0;    // last menu answer, 0 before the first treatment
    bool repeat = false;  // this treatment repeats the last one (a negative menu answer)
    int code = 0;         // treatments stamped so far, 0..250; also the last stamp value
    int backgr = 0;       // background answer: 0 white (255), otherwise black (0)
};

extern Console console;
extern FileSet files;
extern Grids grids;
extern Session session;

// Puts every variable above back to its program-start value, closing the
// files and releasing the memory the run holds. Tests call it before each case.
void reset_state();

#endif
