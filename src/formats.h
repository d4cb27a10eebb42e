// formats.h: the files of a tolmar file set, each defined once: their names,
// the six numbers of a descriptor, the header and records of a run log, the
// byte order of the samples, and the order in which the dialogue takes its
// answers. Nothing here keeps state or prints: the program, the companions,
// the fuzzers and the tests all read and write the files through this unit.
//
// For a folder D under the data root, a DEM name N and a result name R:
//
//   D/N_m2.raw  D/N_m2.txt     16-bit DEM raster and its descriptor
//   D/N_m4.raw  D/N_m4.txt     32-bit DEM raster and its descriptor
//   D/R_tolmar.raw             result raster, one byte a cell
//   D/R_tolmar.txt             result descriptor, then the run log
#ifndef TOLMAR_FORMATS_H
#define TOLMAR_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace formats {

// ---- names -----------------------------------------------------------------

// Bytes per sample for a DEM type answer: 0 is 16-bit, anything else 32-bit.
inline int width_of_type(int itype) { return itype == 0 ? 2 : 4; }
const char *dem_raster_suffix(int width);      // "_m2.raw" or "_m4.raw"
const char *dem_descriptor_suffix(int width);  // "_m2.txt" or "_m4.txt"
extern const char RESULT_RASTER_SUFFIX[];      // "_tolmar.raw"
extern const char RESULT_LOG_SUFFIX[];         // "_tolmar.txt"
// The longest suffix a name is given.
constexpr size_t LONGEST_SUFFIX = 11;

bool ends_with(const std::string &s, const std::string &end);
// 2 or 4 from a DEM raster's name (N_m2.raw, N_m4.raw), 0 for any other name.
int dem_width_of_name(const std::string &raw_path);
// Beside a DEM imported by tolmar-import, files GDAL reads:
//
//   D/N_m2.vrt, D/N_m4.vrt     the DEM's georeference: a VRT over its raster
//   D/N_m2.filled.tif          the cells that were nodata and were filled (1)
//   D/R_tolmar.vrt             the result raster georeferenced, by tolmar-export
std::string sidecar_path(const std::string &raw_path);  // ".raw" becomes ".vrt"
std::string filled_path(const std::string &raw_path);   // ".raw" becomes ".filled.tif"

// The descriptor beside a raster: its final ".raw" becomes ".txt"; and the
// raster beside a descriptor or run log.
std::string descriptor_path(const std::string &raw_path);
std::string raster_path(const std::string &txt_path);

// ---- descriptors -----------------------------------------------------------

// The six numbers of a descriptor, DEM or result: rows, columns, bytes per
// sample, smallest and largest value, pixel size. They are decimal integers
// separated by any white space, read as a formatted read of "%d" takes them:
// reading stops at the first one that is missing or not a number ("3x4" is
// 3, then no number), and at one beyond the 32-bit range (`too_big`).
struct Descriptor {
    long long field[6] = {0, 0, 0, 0, 0, 0};
    int count = 0;         // numbers read
    bool too_big = false;  // reading stopped at a number beyond 32 bits
    size_t end = 0;        // offset just past the last number read
};
Descriptor parse_descriptor(const std::string &text);
// The text a DEM descriptor is made with when there is none: rows, columns
// and bytes per sample, one a line.
std::string made_descriptor_text(int rows, int cols, int width);

// ---- result descriptor and run log ------------------------------------------

// Header lines 1 to 5 (rows, columns, 1 byte a cell, 0, 255) and line 6.
std::string header_text(int rows, int cols);
std::string pix_size_line(int pix_size);

// One stamped treatment as the run log records it.
struct Record {
    int code = 0;
    int line = 0, column = 0;  // reference point
    int dip = 0;               // whole degrees
    int direction = 0;         // dip direction as entered
    int zone = 0;              // influence zone, cells
};
// An empty line, then seven lines: the code, a heading, the line and column,
// the dip, the direction, the zone.
std::string record_text(const Record &r);
// The records of a run log: the text after the six header lines.
bool parse_log(const std::string &text, std::vector<Record> &records, std::string &err);

// ---- samples -----------------------------------------------------------------

// Samples are stored least significant byte first whatever the host; these
// put a block of them in host order, in place.
void to_host_order(uint16_t *v, size_t n);
void to_host_order(int32_t *v, size_t n);
// Samples as a raster file holds them: 2 or 4 bytes each.
std::string encode_samples(const std::vector<int32_t> &samples, int width);

// ---- answers -----------------------------------------------------------------

// What the opening dialogue asks, in its order, and the treatments: the
// answers that make tolmar redo a session.
struct Session {
    std::string folder, dem;
    int itype = 0;               // 0 16-bit, 1 32-bit
    bool ask_sizes = false;      // no DEM descriptor: rows, columns, pixel size are asked
    int rows = 0, cols = 0;
    std::string result;          // empty: the results keep the DEM's name
    int unit = 0;                // 0 metres, 1 decimetres, 2 centimetres, 3 millimetres
    bool ask_pix_size = false;   // the descriptor gives none
    int pix_size = 0;
    int background = 0;          // 0 white, 1 black
    std::vector<Record> treatments;
};
std::string answers_text(const Session &s);

// ---- whole files ---------------------------------------------------------------

// Reads a whole file, at most `limit` bytes; false with the system's reason.
bool read_file(const std::string &path, std::string &bytes, std::string &err, size_t limit = SIZE_MAX);

}  // namespace formats

#endif
