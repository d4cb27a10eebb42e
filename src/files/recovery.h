// recovery.h: what a set left by a dead run must become, worked out from
// what its files and journal hold, the same way for the next writer (which
// writes it) and for every reader (which reads the set as it will be).
//
// The stamps the journal holds whole are written again: those whose cells
// or record a kill or a power loss kept from the files are completed. A
// damaged journal (a flipped byte, a file cut short) no longer tells every
// stamp, and then the files speak: a record they hold whole is never cut
// (a record cut short is). Cells holding a code that has no record (a
// damaged journal's, or a group's whose cells reached the disk before a
// power cut while its entries, never flushed, did not) are given back what
// they held before it: from the journal where it still tells, from the
// stamps before traced again where the writer holds the DEM, else the
// background, and said.
#ifndef TOLMAR_FILES_RECOVERY_H
#define TOLMAR_FILES_RECOVERY_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "files/formats.h"

namespace recovery {

// The cells a record stamps (offsets in the raster, row after row), traced
// again on the DEM in the set's geometry and pixel size.
using Tracer = std::function<std::vector<size_t>(const formats::Record &, Geometry, int pix_size)>;

// What a set in place holds.
struct Contents {
    std::string log;                // the log's text
    const uint8_t *cells = nullptr; // the raster
    size_t size = 0;                // its bytes
    bool journal_present = false;
    std::string journal;            // the journal's bytes
    std::string journal_name;       // its path, for the words
    bool filling = false;           // a placing note says the white background is still to be filled
};

struct Plan {
    std::vector<std::pair<size_t, uint8_t>> cells;  // cells to write: (offset, byte), in order of offset
    std::string log;                // the log as it must be
    int completed = 0;              // stamps completed from the journal
    std::string found;              // a damaged journal or log: what was found and done, in words
    // The raster's white background is still to be filled: every cell
    // that holds 0 (after `cells`) must be made 255. So the placing note
    // or the journal's head says; and so does a raster holding both 0 and
    // 255, which only a fill cut short leaves.
    bool fill = false;
};

Plan plan(const Contents &c, const Tracer &tracer = nullptr);

}  // namespace recovery

#endif
