// results.h: the result raster and its run log on disk. The files are built
// under temporary names beside their final ones and put in place when the
// treatments begin, so that a run that ends before leaves the previous
// result set as it was; from then on, after every committed treatment, the
// raster holds exactly what the end of the run would write (background
// included) and the log holds the treatment's record. Nothing here prints:
// every failure comes back as a message naming the file and the system's
// reason.
#ifndef TOLMAR_RESULTS_H
#define TOLMAR_RESULTS_H

#include <cstdint>
#include <string>

#include "../LIB/nrutil.h"
#include "dem.h"

// Why `path` cannot take a result file, or "" when it can: it must be absent
// or a regular file (a symbolic link is not followed, and refused), and not
// the same file as any of `protect` (the DEM's files). `exists` says whether
// there is one to replace.
std::string result_path_refusal(const std::string &path, const std::string *protect, int n_protect, bool &exists);

class ResultFiles {
public:
    ResultFiles() = default;
    ResultFiles(const ResultFiles &) = delete;
    ResultFiles &operator=(const ResultFiles &) = delete;
    ResultFiles(ResultFiles &&o) noexcept { *this = static_cast<ResultFiles &&>(o); }
    ResultFiles &operator=(ResultFiles &&o) noexcept;
    ~ResultFiles() { discard(); }

    // Creates the two files under temporary names in their folder, the log
    // holding header lines 1 to 5 of a raster of rows x cols.
    bool create(const std::string &raster, const std::string &log, int rows, int cols, std::string &err);
    // Header line 6.
    bool append_pix_size(int pix_size, std::string &err);
    // Fills the raster with the background (0 or 255) and puts both files in
    // place of any old ones; `replaced` says whether there were old ones.
    bool place(uint8_t background, bool &replaced, std::string &err);
    // Carries on an existing result set in place: the raster is read into
    // tab_out (background cells as 0), the records into `records_text`, and
    // later commits go on from there. The raster must hold rows x cols bytes.
    bool carry_on(const std::string &raster, const std::string &log, int rows, int cols, Grid<uint8_t> &tab_out,
                  std::string &log_text, std::string &err);
    // Writes the rows of `box` from tab_out (0 as the background) and appends
    // `record` to the log. When either write fails, both files are put back
    // as they were before, so that they still agree.
    bool commit(const Grid<uint8_t> &tab_out, const Box &box, const std::string &record, std::string &err);
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
    std::string raster_, log_, raster_tmp_, log_tmp_;
    int raster_fd_ = -1, log_fd_ = -1;
    int rows_ = 0, cols_ = 0;
    long long log_size_ = 0;
    bool placed_ = false;
    uint8_t background_ = 0;
};

#endif
