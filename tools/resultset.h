// resultset.h: readers shared by the companions (tolmar-preview,
// tolmar-export, tolmar-replay and the others): a DEM file set and a result
// raster with its descriptor and run log, read through the formats the
// program writes. Every reader checks what it reads against the sizes the
// descriptor gives and reports the first fault in `err`, naming the file.
#ifndef TOLMAR_TOOLS_RESULTSET_H
#define TOLMAR_TOOLS_RESULTSET_H

#include <cstdint>
#include <string>
#include <vector>

#include "dem.h"
#include "formats.h"

namespace tools {

using formats::Record;

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
    DemSamples samples;
    int pix_size = 0;    // from the descriptor, 0 when it gives none
    SampleCount count;   // the samples' range
};
bool load_dem(const std::string &raw_path, Dem &d, std::string &err);

// The unit names the companions take, as the dialogue's answers: m 0, dm 1,
// cm 2, mm 3; -1 for any other text.
int unit_answer(const std::string &name);
// The divisor from a unit answer's samples to metres.
double unit_divisor(int answer);

// The messages of the companions: a misused command line (status 2, with a
// pointer to --help) and a failure (status 1). Both print on standard error
// and return the status.
int usage_error(const char *tool, const std::string &what);
int failure(const char *tool, const std::string &what);

}  // namespace tools

#endif
