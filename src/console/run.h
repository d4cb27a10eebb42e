// run.h: the state of one console run, made by the entry and passed to every
// step of the dialogue; nothing of it is process-wide. The steps keep the
// order of the classic dialogue (docs/glossary.md gives their historical
// names):
//
//   open_file_set          banner, folder, DEM name and type, descriptor, result name
//   read_dem               the DEM's samples read into memory, their range found
//   ask_elevations         range shown, unit, pixel size and background asked
//   ask_treatment_values   what the last menu answer says should change
//   treat                  one treatment stamped through the session core, and told
//   finish                 the result files closed, the run's last word
#ifndef TOLMAR_CONSOLE_RUN_H
#define TOLMAR_CONSOLE_RUN_H

#include <string>

#include "compute/geometry.h"
#include "console/console.h"
#include "files/demset.h"
#include "session/session.h"

struct Run {
    explicit Run(Console &c, FileSystem &fs = FileSystem::real()) : con(c), results(fs) {}
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;
    ~Run();

    Console &con;

    // The file set, as the opening dialogue settles it.
    std::string folder;          // under the data root, as typed
    std::string dem_name;        // as typed, without _m2 or _m4
    std::string result_name;     // the DEM's name, or a new one
    int type = 0;                // DEM type answer: 0 16-bit unsigned, anything else 32-bit signed
    std::string dem_raster;      // images/FOLDER/NAME_m2.raw or _m4.raw
    std::string dem_descriptor;  // images/FOLDER/NAME_m2.txt or _m4.txt
    std::string result_raster;   // images/FOLDER/RESULT_tolmar.raw
    std::string result_log;      // images/FOLDER/RESULT_tolmar.txt
    int dem_fd = -1;             // the DEM raster, open until its samples are read
    int rows = 0, cols = 0;      // of the DEM and of the result
    int pix_size = 0;            // ground length of a cell, whole metres; 0 not given (yet)
    Geometry geometry = Geometry::classic;  // how the treatments are traced (a command-line option)

    // The DEM in memory and the result set.
    DemSamples dem;              // the samples as read, at the file's width
    double divisor = 1.0;        // from the samples' unit to metres: 1, 10, 100 or 1000
    ResultSession results;

    // The treatments.
    Values values;               // as last entered: the current treatment's
    int menu = 0;                // last menu answer, 0 before the first treatment
    bool repeat = false;         // this treatment repeats the last one (a negative menu answer)
    int background = 0;          // background answer: 0 white (255), otherwise black (0)
    bool earlier_set = false;    // a result set of this name was there when the run began
    bool ready = false;          // the opening is done: the treatments may begin

    Terrain terrain() const { return dem.terrain(divisor, pix_size); }
};

#endif
