// session.h: the session core: one result set's life, whoever drives it (the
// console's dialogue, the workbench's requests, a table of stations). It
// creates a new set under temporary names and puts it in place, or carries
// on an existing one from its last code; it stamps treatments (the
// treatment computed, its record written, both files committed, everything
// rolled back when a write fails); it keeps the limit of 250 codes and says
// why a treatment is refused. Front ends only ask and tell: none of them
// writes a record, counts codes or rolls back by itself.
#ifndef TOLMAR_SESSION_SESSION_H
#define TOLMAR_SESSION_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

#include "../../LIB/nrutil.h"
#include "compute/treatment.h"
#include "files/fileio.h"
#include "files/formats.h"
#include "files/resultset.h"

// What became of a treatment asked to be stamped.
struct Stamp {
    enum Kind {
        stamped,  // counted, stamped and committed to both files
        refused,  // the square or the zone does not allow a trace: nothing counted
        full,     // the set already holds the last code: nothing done
        failed,   // the files could not be written: both are as before it
    };
    Kind kind = failed;
    Verdict verdict = Verdict::traced;  // why it was refused
    int code = 0;                // the treatment's code when stamped
    long long cells = 0;         // cells stamped
    Square square;
    std::vector<Cell> trace_cells;  // the cells stamped, row-major order
    std::string message;         // refused: what the console says first; failed: the files' fault
    std::string detail;          // refused outside the raster: which reference points fit
};

// The texts of the refusals and of the limit, shared by every front end.
extern const char LIMIT_REACHED[];  // "250 calculations reached"
std::string refusal_headline(Verdict v);
// For a square outside the raster: the lines and columns a reference point
// may take for this zone and direction, or that none may.
// The console speaks of lines, the workbench's fields of rows.
std::string refusal_detail(int rows, int cols, const Values &v, const char *rows_word = "lines");

// What a dip outside 0 to 90 or a dip direction outside 0 to 359 means:
// the treatment takes any whole number, the tangent and the turn doing the
// rest; each note says how the plane is traced. Only the values entered
// are told about (`dip`, `direction`).
std::vector<std::string> attitude_notes(const Values &v, bool dip, bool direction);

class ResultSession {
public:
    explicit ResultSession(FileSystem &fs = FileSystem::real()) : files_(fs) {}

    // The set whose files are `raster` and `log` taken for this process
    // (`who`: the program's name), or refused, naming the process that
    // writes it; then brought back to its last complete stamp if a dead
    // run left it otherwise (`repaired` says what was done). `terrain`, the
    // DEM in its unit, when the caller has it: then cells a damaged journal
    // no longer tells are traced again.
    bool open(const std::string &raster, const std::string &log, const std::string &who, std::string &repaired,
              std::string &err, const Terrain *terrain = nullptr);
    // A new result set of rows x cols under temporary names beside the set's
    // files, its log holding header lines 1 to 5; its treatments are traced
    // in `geometry`.
    bool create(int rows, int cols, std::string &err, Geometry geometry = Geometry::classic);
    // Header line 6, the pixel size, and the geometry's line of a set in
    // true geometry.
    bool set_pix_size(int pix_size, std::string &err);
    // The new raster filled with the background (0 or 255), while the
    // dialogue goes on; the set is put in place at its first stamp (a
    // session that stamps nothing leaves any earlier set as it was), or by
    // place().
    bool fill(uint8_t background, std::string &err);
    bool place(bool &replaced, std::string &err);
    // Carries on the set in place from its last code, in the geometry it
    // was made in: its log must be a result log of these sizes and this
    // pixel size.
    bool carry_on(int rows, int cols, int pix_size, std::string &err);

    // A white background filled beside the stamps on rasters larger than
    // this (see ResultFiles).
    void late_fill_above(size_t bytes) { files_.late_fill_above(bytes); }
    // Waits for the work done beside the dialogue (see ResultFiles).
    void settle() { files_.settle(); }

    // One treatment, from its values to both files.
    Stamp stamp(const Terrain &t, const Values &v, Work &work);
    // Stamps committed in groups, one flush a group (see ResultFiles).
    void batch(bool on) { files_.batch(on); }
    bool sync(std::string &err) { return files_.sync(err); }

    // Takes back the last stamp of this session not yet taken back: both
    // files as they were before it, byte for byte. False (nothing changed)
    // when this session has stamped nothing left to take back.
    bool undo_last(std::string &err);
    // How many stamps of this session can be taken back, last first.
    int undoable() const { return static_cast<int>(undo_.size()); }

    // Closes both files at the end of the session; false when the files are
    // gone or the system reports a failure. discard() closes them and
    // removes the temporary ones if they were never put in place.
    bool finish(std::string &err) { return files_.finish(err); }
    void discard() { files_.discard(); }
    // Removes a new set's temporary files (or closes a set in place), the
    // lock kept, to create it anew.
    void drop_new() { files_.drop_new(); }
    // The last open() was refused because another process writes the set,
    // or for this set alone (see ResultFiles::set_unusable).
    bool held_elsewhere() const { return files_.held_elsewhere(); }
    bool set_unusable() const { return files_.set_unusable(); }

    int code() const { return static_cast<int>(records_.size()); }
    Geometry geometry() const { return geometry_; }
    bool full() const { return code() >= formats::MAX_CODES; }
    bool placed() const { return files_.placed(); }
    uint8_t background() const { return files_.background(); }
    const std::vector<formats::Record> &records() const { return records_; }
    // The raster's cells as on disk: a code, or the background (0 or 255).
    const uint8_t *cells() const { return files_.cells(); }
    // One cell as the raster holds it once its background is in place.
    uint8_t cell(size_t k) const { return files_.cell(k); }
    int rows() const { return rows_; }
    int cols() const { return cols_; }
    const std::string &raster_path() const { return files_.raster_path(); }
    const std::string &log_path() const { return files_.log_path(); }

private:
    ResultFiles files_;
    std::vector<formats::Record> records_;
    // This session's stamps, as committed: what taking one back restores.
    struct Taken {
        std::vector<Change> changes;
        size_t record_size;
    };
    std::vector<Taken> undo_;
    int rows_ = 0, cols_ = 0;
    Geometry geometry_ = Geometry::classic;
};

#endif
