// resultset.h: the result raster and its run log on disk, written and read.
//
// A set R in a folder D is R_tolmar.raw and R_tolmar.txt; beside them, while
// a program works on the set, hidden files of its own:
//
//   D/.R_tolmar.lock      the one writer's lock (the kernel drops it when the
//                         writer dies); it names the writing process
//   D/.R_tolmar.journal   the stamps since the files were last made durable:
//                         each one's record and changed cells; the next
//                         opening writes them again, completing any that a
//                         kill or a power loss kept from the files
//   D/.R_tolmar.place     the two temporary files being put in place of the
//                         set: while it is whole, their renaming is finished
//   D/.R_tolmar.raw.XXXXXX, D/.R_tolmar.txt.XXXXXX   a new set being built
//
// A stamp is complete, and durable, once its journal entry is synced (one
// flush a stamp, whatever the raster's size); its cells and record are then
// written to the files, which are synced when the journal fills and at the
// end. So at any kill or power loss the set is, or is brought to, what it
// was after its last complete stamp; the next writer (and, in memory,
// every reader) does it, and removes what a dead run left. Nothing here
// prints: every failure comes back as a message naming the file and the
// reason.
#ifndef TOLMAR_FILES_RESULTSET_H
#define TOLMAR_FILES_RESULTSET_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compute/geometry.h"
#include "files/fileio.h"
#include "files/formats.h"
#include "files/journal.h"
#include "files/knowncells.h"
#include "files/recovery.h"
#include "files/setlock.h"

// Why `path` cannot take a result file, or "" when it can: it must be absent
// or a regular file (a symbolic link is not followed, and refused), and not
// the same file as any of `protect` (the DEM's files). `exists` says whether
// there is one to replace.
std::string result_path_refusal(const std::string &path, const std::string *protect, int n_protect, bool &exists);

// The files of the set whose raster is `raster` (D/R_tolmar.raw).
struct SetPaths {
    std::string folder, raster, log, lock, journal, place;
    // The temporaries of a new set: their names begin with these.
    std::string raster_tmp, log_tmp;
};
SetPaths set_paths(const std::string &raster);
// Whether `name` (in the set's folder) is one of the set's temporaries:
// the prefix's name and six hexadecimal digits.
bool temporary_of(const std::string &name, const std::string &prefix);

using Change = journal::Change;

class ResultFiles {
public:
    explicit ResultFiles(FileSystem &fs = FileSystem::real()) : fs_(&fs), lock_(fs) {}
    ResultFiles(const ResultFiles &) = delete;
    ResultFiles &operator=(const ResultFiles &) = delete;
    ~ResultFiles() { discard(); }

    // Takes the set's lock for this process (`who`: the program's name), or
    // says which process holds it.
    bool lock(const std::string &raster, const std::string &log, const std::string &who, std::string &err);
    // With the lock: a set left by a dead run brought back to its last
    // complete stamp, and the dead run's leftovers removed. `repaired`
    // says what was done, "" when nothing. `tracer`, when given, traces
    // the stamps of the set again, for cells a damaged journal no longer tells.
    bool recover(std::string &repaired, std::string &err, const recovery::Tracer &tracer = nullptr);

    // Creates the two files under temporary names in their folder, the log
    // holding header lines 1 to 5 of a raster of rows x cols.
    bool create(int rows, int cols, std::string &err);
    // Lines after header line 5: the pixel size, and the geometry's.
    bool append_line(const std::string &line, std::string &err);
    // Starts filling the new raster with the background (0 or 255): a
    // black one is the zeros of a file extended to its size; a white one
    // is written while the dialogue goes on, or, on a raster larger than
    // late_fill_above() bytes, from the set's placing on, beside the
    // stamps (its disk space reserved now): then the placing note and the
    // journal say that the raster's zeros are background still to be
    // filled, the next opening and every reader complete it, and the
    // first stamp need not wait for the whole raster to reach the disk.
    bool fill(uint8_t background, std::string &err);
    static constexpr size_t LATE_FILL_ABOVE = size_t(16) << 20;
    void late_fill_above(size_t bytes) { late_fill_above_ = bytes; }
    // Puts both files in place of any old ones, at once as far as any later
    // reader can tell; `replaced` says whether there were old ones.
    bool place(bool &replaced, std::string &err);
    // Opens the set in place (recovered) to carry it on: `log_text` its log.
    bool carry_on(int rows, int cols, std::string &log_text, std::string &err);

    // The raster's cells as on disk (the background as 0 or 255), where
    // the background is in place; cell() is any cell as the raster holds it
    // once its background is in place, read from the raster only in a set
    // carried on with more codes than are kept in memory.
    const uint8_t *cells() const { return cells_; }
    uint8_t cell(size_t k) const {
        const int v = known_.find(k);
        if (v >= 0) return static_cast<uint8_t>(v);
        // (A white set holds no 0 but where its background is yet to come.)
        return known_.complete() || cells_[k] == 0 ? background_ : cells_[k];
    }
    // Changes cells and appends `record` to the log, both durable before it
    // returns; a new set is put in place at its first commit. When anything
    // fails, both files are put back as they were before, so that they
    // still agree.
    bool commit(const std::vector<Change> &changes, const std::string &record, std::string &err);
    // Stamps committed in groups (a table of stations): a commit writes its
    // journal entry and its cells without waiting for the disk, and keeps
    // its record back; sync() makes the group's entries durable with one
    // flush, then writes their records. Until then a kill or a power loss
    // may take the group's stamps (never an earlier group's): a record
    // reaches the log only after its entry is on the disk, and cells
    // without a record are given back at the next opening.
    void batch(bool on) { batch_ = on; }
    bool sync(std::string &err);
    // Waits for the work done beside the dialogue and the stamps (the
    // background filled).
    void settle() {
        stop_fill_ = true;
        if (filler_.joinable()) filler_.join();
    }
    // Takes back a commit of this session, the last one not yet taken
    // back: its cells as they were before it, its record (the last
    // `record_size` bytes of the log) removed; both files made durable
    // before the journal begins anew, so that a kill at any instant leaves
    // the set with the stamp or without it.
    bool take_back(const std::vector<Change> &changes, size_t record_size, std::string &err);
    // Closes both files at the end of the session, the lock and journal
    // removed; false when the files are no longer there or the system
    // reports a failure.
    bool finish(std::string &err);
    // Closes both files and removes the temporary ones, if they were never
    // put in place. Files in place are left as they are.
    void discard();
    // The same for a new set's temporaries alone, or a set in place made
    // durable and closed, to be made anew: the lock is kept.
    void drop_new();

    bool placed() const { return placed_; }
    // The code that first shows, in the raster's order, among those of a
    // set carried on above `last` (0 when none).
    int first_code_above(int last) const {
        int code = 0;
        for (int c = last + 1; c < static_cast<int>(first_of_code_.size()); c++)
            if (first_of_code_[c] != SIZE_MAX && (code == 0 || first_of_code_[c] < first_of_code_[code])) code = c;
        return code;
    }
    bool locked() const { return lock_.held(); }
    // The last lock() was refused because another process writes the set.
    bool held_elsewhere() const { return lock_.held_elsewhere(); }
    // The last lock() or recover() failed for this set alone: its lock file
    // cannot be at its place (a link, a folder), or a placing note beside it
    // is not its own. Other sets of the folder may be written.
    bool set_unusable() const { return lock_.unusable() || note_refused_; }
    uint8_t background() const { return background_; }
    const std::string &raster_path() const { return paths_.raster; }
    const std::string &log_path() const { return paths_.log; }

private:
    bool open_map(std::string &err);
    void unmap();
    bool wait_fill(std::string &err);
    // The white background written from `from` on, beside the dialogue
    // (`late`: beside the stamps too, turning only the zeros).
    void start_filler(bool late);
    // What was said of a set's fill, not said of the next one.
    void forget_fill();
    // The journal of a set in place: made (zeros to its size, then its
    // head), grown, begun anew at a checkpoint, an entry written.
    bool start_journal(std::string &err);
    // The cells' bytes after the stamp (or before it) written to the raster.
    bool write_cells(const std::vector<Change> &changes, bool after);
    bool grow_journal(size_t size);
    bool new_epoch();
    bool checkpoint();
    bool journal_stamp(const std::vector<Change> &changes, const std::string &record, size_t &size, std::string &err);
    bool sync_group(std::string &err);
    // A checkpoint, and whether a late fill finished before it is now durable.
    bool checkpoint_fill();

    FileSystem *fs_;
    SetLock lock_;
    SetPaths paths_;
    std::string raster_tmp_, log_tmp_;
    int raster_fd_ = -1, log_fd_ = -1, journal_fd_ = -1;
    const uint8_t *cells_ = nullptr;  // the raster mapped for reading
    size_t size_ = 0;  // rows x cols
    int rows_ = 0, cols_ = 0;
    long long log_size_ = 0;
    // The journal: its head as written, its size, where the next entry
    // goes and its number.
    journal::Head head_;
    size_t journal_size_ = 0, journal_at_ = 0;
    unsigned long long entries_ = 0;
    bool placed_ = false;
    bool batch_ = false;
    std::string pending_log_;  // records of a group whose entries are not yet durable
    uint8_t background_ = 0;
    std::thread filler_;
    std::thread dropper_;  // lets go of the raster a placing replaced
    bool fill_failed_ = false;
    std::string fill_error_;
    // A late fill: the raster's zeros turned to the background beside the
    // stamps; every write to the set's files holds io_ meanwhile, so that
    // the filler never writes over a stamp's cell.
    size_t late_fill_above_ = LATE_FILL_ABOVE;
    bool late_ = false;
    std::atomic<bool> fill_done_{true};
    bool fill_durable_ = true;  // its end is on the disk: the journal no longer says it
    bool note_left_ = false;    // the placing note kept, while no journal says the fill
    std::atomic<long long> last_stamp_ns_{0};  // when the last stamp was written
    std::atomic<bool> stop_fill_{false};       // the stamps are over: no more waiting for a pause
    std::mutex io_;
    bool note_refused_ = false;
    // What the raster holds for every cell this process changed and, in a
    // new set or one carried on with few codes, for every cell that is not
    // the background: a stamp on a wide raster reads a page a row, each
    // costing as much as a write.
    KnownCells known_;
    static constexpr size_t MOST_KNOWN = size_t(1) << 20;
    std::vector<size_t> first_of_code_;  // where each code first shows in a set carried on
};

// A result set as the companions read it: RESULT.raw and RESULT.txt, both
// regular files, the log checked as a result log and the raster against its
// size; what a dead run left is read as the next writer will make it: a
// new set being put in place read in its place, the journal's stamps
// completed, a damaged journal's set brought to agree with its log.
struct ResultSet {
    int rows = 0, cols = 0;
    int pix_size = 0;
    Geometry geometry = Geometry::classic;  // as the log says
    std::vector<uint8_t> cells;  // rows x cols, row 0 first
    std::vector<formats::Record> records;
    std::string log_text;        // the log as it stands, the incomplete stamp's record left out
    std::string repaired;        // what the next writer will repair, in words; "" when nothing
    uint8_t background() const;  // 255 when any cell holds it, else 0
};
// `raw_path` may name either file of the set.
bool read_result_set(const std::string &raw_path, ResultSet &r, std::string &err);

#endif
