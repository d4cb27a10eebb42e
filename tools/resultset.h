// resultset.h: readers shared by the companions (tolmar-preview,
// tolmar-export, tolmar-replay): a DEM file set, a result raster with its
// descriptor, and the run log of treatment records that follows the
// descriptor. Every reader checks what it reads against the sizes it was
// given and reports the first fault in `err`, naming the file.
#ifndef TOLMAR_TOOLS_RESULTSET_H
#define TOLMAR_TOOLS_RESULTSET_H

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// One stamped treatment as the run log records it.
struct Record {
    int code = 0;
    int line = 0, column = 0;  // reference point
    int dip = 0;               // whole degrees
    int direction = 0;         // dip direction as entered
    int zone = 0;              // influence zone, cells
};

// The six header numbers of a descriptor (DEM or result), read as tolmar
// reads them: white-space separated decimal integers, reading stops at the
// first missing one. `count` says how many were read; the text after the
// sixth is kept in `rest`.
struct Descriptor {
    long long field[6] = {0, 0, 0, 0, 0, 0};
    int count = 0;
    std::string rest;
};
bool read_descriptor(const std::string &path, Descriptor &d, std::string &err);
bool parse_descriptor(const std::string &text, Descriptor &d);

// The records of a run log (the text after the six header lines).
bool parse_log(const std::string &text, std::vector<Record> &records, std::string &err);

// A result raster and its descriptor: RESULT.raw and RESULT.txt.
struct Result {
    int rows = 0, cols = 0;
    int pix_size = 0;
    std::vector<uint8_t> cells;  // rows x cols, row 0 first
    std::vector<Record> records;
};
bool load_result(const std::string &raw_path, Result &r, std::string &err);

// A DEM file set: NAME_m2.raw or NAME_m4.raw (the suffix gives the sample
// width) and its descriptor NAME_m2.txt or NAME_m4.txt.
struct Dem {
    int rows = 0, cols = 0;
    int width = 0;     // bytes per sample, 2 or 4
    int pix_size = 0;  // from the descriptor, 0 when it gives none
    std::vector<int32_t> samples;  // rows x cols, row 0 first
};
bool load_dem(const std::string &raw_path, Dem &d, std::string &err);

// The messages of the companions: a misused command line (status 2, with a
// pointer to --help) and a failure (status 1). Both print on standard error
// and return the status.
int usage_error(const char *tool, const std::string &what);
int failure(const char *tool, const std::string &what);

// The descriptor path beside a raster path: the final ".raw" becomes ".txt".
std::string descriptor_path(const std::string &raw_path);
bool read_whole_file(const std::string &path, std::string &bytes);

}  // namespace tools

#endif
