// journal.h: the bytes of a result set's journal and of its placing note,
// written and read. A pure codec: nothing here touches a file.
//
// The journal is a write-ahead log of the stamps made since the set's files
// were last made durable (a checkpoint). Its head, at offset 0, names the
// set it belongs to (the raster's size, the log's length at the checkpoint
// and a checksum of the log up to there) and the epoch its entries carry;
// each stamp is an entry after it:
//
//   offset  0  "TOLMARE3"
//           8  epoch, number (from 0), where the record goes in the log,
//              the record's length, the number of changed cells: 8 bytes each
//          48  checksum of bytes 0 to 47 (4 bytes), checksum of the body (4)
//          56  the body: the record's text, then each changed cell's offset
//              (8 bytes), byte before and byte after
//
// Every number is least significant byte first; the checksums are CRC-32C.
// Checking the fixed part apart from the body tells a damaged entry's size,
// so that the entries after it are still found, and its body read as far
// as it goes.
#ifndef TOLMAR_FILES_JOURNAL_H
#define TOLMAR_FILES_JOURNAL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace journal {

// CRC-32C (Castagnoli) of n bytes, continuing from `crc` (0 to begin).
uint32_t crc32c(const void *data, size_t n, uint32_t crc = 0);

// A cell of the raster a stamp changes: its offset, its byte before and after.
struct Change {
    size_t offset;
    uint8_t before, after;
};

struct Head {
    unsigned long long epoch = 0;        // a new one at each checkpoint: older entries are over
    unsigned long long raster_size = 0;  // bytes of the raster
    long long log_size = 0;              // the log's length at the checkpoint
    uint32_t log_sum = 0;                // CRC-32C of the log up to there
    // 255 while the raster's white background is still being filled: its
    // cells that hold 0 are the background (a white set holds no 0 else).
    uint8_t fill = 0;
};

// Where the entries begin, and what one costs besides its body.
constexpr size_t HEAD_SIZE = 128;
constexpr size_t ENTRY_FIXED = 56;
// A record is a few lines: a larger length is damage.
constexpr size_t MAX_RECORD = 4096;
// Room for the entries: twice the raster's size, from 256 bytes to 1 MB
// (grown when one entry needs more), so that a small set's journal is small
// and a large set's checkpoints come after many stamps. The file is written
// with zeros to the head and this room before its head is written, so that
// an entry written into it needs only its data made durable, and a journal
// shorter than that was cut.
inline size_t room(size_t raster_size) {
    return raster_size > (1 << 19) ? (1 << 20) : raster_size < 128 ? 256 : 2 * raster_size;
}

// The head's bytes, padded to the first entry's place and the zeros after it.
std::string head_bytes(const Head &h);
// False for a head cut short, torn, or of no journal.
bool parse_head(const std::string &bytes, Head &h);

// An entry's bytes, the zeros after it included.
std::string entry_bytes(unsigned long long epoch, unsigned long long number, long long log_offset,
                        const std::string &record, const std::vector<Change> &changes);
// The room an entry takes (the zeros after it not counted: the next entry
// is written over them).
inline size_t entry_size(size_t record, size_t changes) { return ENTRY_FIXED + record + 10 * changes; }

// An entry as read back.
struct Entry {
    unsigned long long number = 0;
    long long log_offset = 0;  // where its record goes in the log
    std::string record;
    std::vector<Change> changes;
    bool whole = true;         // false: its body fails its checksum or is cut short, and is
                               // read as far as it goes (a changed cell outside the raster left out)
};

// What a journal holds under its head.
struct Reading {
    std::vector<Entry> entries;  // in order of their numbers, damaged ones included (whole false)
    int damaged = 0;             // entries whose body fails its checksum or is cut short
    bool gap = false;            // an entry was found after a place that held none: one was lost
    bool ended = false;          // the entries end at the zeros where the next one would go:
                                 // nothing after them was lost
};
// The entries of `bytes` under head `h`: each of the head's epoch, numbered
// from 0. An entry is written with eight zero bytes after it (as is a new
// head), so that where the entries end is known; a place that holds neither
// an entry nor those zeros is damage, and the next entry is searched for.
Reading parse_entries(const std::string &bytes, const Head &h);

// The zeros written after an entry, or after a new head.
constexpr size_t END_MARK = 8;

// Whether the head belongs to the set of this raster size whose log begins
// with `log` (the log only grows after a checkpoint).
bool names_set(const Head &h, unsigned long long raster_size, const std::string &log);

// ---- the placing note ----------------------------------------------------------------

// The note that a new set's two temporary files are being put in place:
// their names (in the set's folder), one a line, and a checksum; `fill`
// 255 when the raster's white background is still to be filled (its zeros).
std::string place_bytes(const std::string &raster_tmp, const std::string &log_tmp, uint8_t fill = 0);
enum class Note {
    whole,    // the two names, checked
    torn,     // cut short while it was written: no renaming began
    foreign,  // complete, but not a note of this program (or its checksum fails)
};
Note parse_place(const std::string &bytes, std::string &raster_tmp, std::string &log_tmp, uint8_t &fill);

}  // namespace journal

#endif
