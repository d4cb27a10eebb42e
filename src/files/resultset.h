// resultset.h: the result raster and its run log on disk, written and read.
// The files are built
// under temporary names beside their final ones and put in place when the
// treatments begin, so that a run that ends before leaves the previous
// result set as it was; from then on, after every committed treatment, the
// raster holds exactly what the end of the run would write (background
// included) and the log holds the treatment's record. Nothing here prints:
// every failure comes back as a message naming the file and the system's
// reason.
#ifndef TOLMAR_FILES_RESULTSET_H
#define TOLMAR_FILES_RESULTSET_H

#include <cstdint>
#include <string>
#include <vector>

#include "../../LIB/nrutil.h"
#include "compute/geometry.h"
#include "files/fileio.h"
#include "files/formats.h"

// Why `path` cannot take a result file, or "" when it can: it must be absent
// or a regular file (a symbolic link is not followed, and refused), and not
// the same file as any of `protect` (the DEM's files). `exists` says whether
// there is one to replace.
std::string result_path_refusal(const std::string &path, const std::string *protect, int n_protect, bool &exists);

class ResultFiles {
public:
    explicit ResultFiles(FileSystem &fs = FileSystem::real()) : fs_(&fs) {}
    ResultFiles(const ResultFiles &) = delete;
    ResultFiles &operator=(const ResultFiles &) = delete;
    ~ResultFiles() { discard(); }

    // Creates the two files under temporary names in their folder, the log
    // holding header lines 1 to 5 of a raster of rows x cols.
    bool create(const std::string &raster, const std::string &log, int rows, int cols, std::string &err);
    // Lines after header line 5: the pixel size, and the geometry's.
    bool append_line(const std::string &line, std::string &err);
    // Fills the raster with the background (0 or 255) and puts both files in
    // place of any old ones; `replaced` says whether there were old ones.
    bool place(uint8_t background, bool &replaced, std::string &err);
    // Carries on an existing result set in place: the raster is read into
    // `raster` (background cells as 0), the log into `log_text`, and later
    // commits go on from there. The raster must hold rows x cols bytes.
    bool carry_on(const std::string &raster, const std::string &log, int rows, int cols, Grid<uint8_t> &raster_cells,
                  std::string &log_text, std::string &err);
    // Writes the rows of `box` from `raster` (0 as the background) and
    // appends `record` to the log. When either write fails, both files are
    // put back as they were before, so that they still agree.
    bool commit(const Grid<uint8_t> &raster, const Box &box, const std::string &record, std::string &err);
    // Closes both files at the end of the run; false when the system reports
    // a failure.
    bool finish(std::string &err);
    // Closes both files and removes the temporary ones, if they were never
    // put in place. Files in place are left as they are.
    void discard();

    bool placed() const { return placed_; }
    uint8_t background() const { return background_; }
    const std::string &raster_path() const { return raster_; }
    const std::string &log_path() const { return log_; }

private:
    FileSystem *fs_;
    std::string raster_, log_, raster_tmp_, log_tmp_;
    int raster_fd_ = -1, log_fd_ = -1;
    int rows_ = 0, cols_ = 0;
    long long log_size_ = 0;
    bool placed_ = false;
    uint8_t background_ = 0;
};

// A result set as the companions read it: RESULT.raw and RESULT.txt.
struct ResultSet {
    int rows = 0, cols = 0;
    int pix_size = 0;
    Geometry geometry = Geometry::classic;  // as the log says
    std::vector<uint8_t> cells;  // rows x cols, row 0 first
    std::vector<formats::Record> records;
    uint8_t background() const;  // 255 when any cell holds it, else 0
};
// Reads both files, the log checked as a result log and the raster against
// its size; `err` names the file and the fault.
bool read_result_set(const std::string &raw_path, ResultSet &r, std::string &err);

#endif
