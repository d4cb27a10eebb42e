// formats.h: the files of a tolmar file set, each defined once: their names,
// the six numbers of a descriptor, the header and records of a run log, the
// unit table, byte order, whole numbers as tolmar reads them, and the order
// in which the dialogue takes its answers. Nothing here keeps state or
// prints: the program, the companions, the fuzzers and the tests all read
// and write the files through this unit. (docs/glossary.md maps the
// dialogue's historical names to the ones used here.)
//
// For a folder D under the data root, a DEM name N and a result name R:
//
//   D/N_m2.raw  D/N_m2.txt     16-bit DEM raster and its descriptor
//   D/N_m4.raw  D/N_m4.txt     32-bit DEM raster and its descriptor
//   D/R_tolmar.raw             result raster, one byte a cell
//   D/R_tolmar.txt             result descriptor, then the run log
#ifndef TOLMAR_FILES_FORMATS_H
#define TOLMAR_FILES_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compute/geometry.h"

namespace formats {

// ---- names -----------------------------------------------------------------

// The data root: the folder images/ of the working directory.
extern const char DATA_ROOT[];

// Bytes per sample for a DEM type answer: 0 is 16-bit, anything else 32-bit.
inline int width_of_type(int type) { return type == 0 ? 2 : 4; }
const char *dem_raster_suffix(int width);      // "_m2.raw" or "_m4.raw"
const char *dem_descriptor_suffix(int width);  // "_m2.txt" or "_m4.txt"
extern const char RESULT_RASTER_SUFFIX[];      // "_tolmar.raw"
extern const char RESULT_LOG_SUFFIX[];         // "_tolmar.txt"
// The longest suffix a name is given.
constexpr size_t LONGEST_SUFFIX = 11;
// Every path tolmar builds stays within this many characters.
constexpr int PATH_MAX_CHARS = 127;

bool ends_with(const std::string &s, const std::string &end);
// 2 or 4 from a DEM raster's name (N_m2.raw, N_m4.raw), 0 for any other name.
int dem_width_of_name(const std::string &raw_path);
// The folder of a path ("" when it has none, else ending in '/') and its last name.
std::string folder_of(const std::string &path);
std::string name_of(const std::string &path);
// Beside a DEM imported by tolmar-import, files GDAL reads:
//
//   D/N_m2.vrt, D/N_m4.vrt     the DEM's georeference: a VRT over its raster
//   D/N_m2.filled.tif          the cells that were nodata and were filled (1)
//   D/R_tolmar.vrt             the result raster georeferenced, by tolmar-export
std::string sidecar_path(const std::string &raw_path);  // ".raw" becomes ".vrt"
std::string filled_path(const std::string &raw_path);   // ".raw" becomes ".filled.tif"

// The unit of a DEM's samples as the sidecar tolmar-import wrote says it
// (the dialogue's answer, 0 to 3), from the sidecar's text; -1 when it says
// none. The sidecar keeps tolmar's factor k (TOLMAR_SCALE) and the band's
// scale back to metres, 1 / (unit divisor x k).
int sidecar_unit(const std::string &vrt_text, double *k = nullptr);
// A DEM named by its sidecar (NAME_m2.vrt, NAME_m4.vrt), as a GIS shows it:
// its raster; any other name as it is.
std::string dem_raster_named(const std::string &path);
// Whether a name is that of a raster some GIS keeps (GeoTIFF, ASCII grid,
// ...), which tolmar-import brings in.
bool foreign_raster_name(const std::string &path);

// The descriptor beside a raster: its final ".raw" becomes ".txt"; and the
// raster beside a descriptor or run log.
std::string descriptor_path(const std::string &raw_path);
std::string raster_path(const std::string &txt_path);

// A name the dialogue can take as one answer and put into a path: not empty,
// not "." or "..", no folder separator, no blank or control character.
bool single_name(const std::string &name);

// ---- whole numbers -------------------------------------------------------------

// A whole word of an optional sign and decimal digits, within the 32-bit
// range: how every answer, option and request value is read.
bool parse_int(const std::string &word, int &out);

// A word as it may be shown: control characters and bytes beyond ASCII as
// \xNN, and cut after `limit` characters.
std::string printable(const std::string &word, size_t limit = 40);
// printf's text as a string, however long.
std::string formatted(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- units -----------------------------------------------------------------------

// The units of DEM samples, by the dialogue's answer: 0 metres, 1
// decimetres, 2 centimetres, 3 millimetres.
constexpr int UNITS = 4;
double unit_divisor(int unit);          // 1, 10, 100, 1000 (1 for any other answer)
const char *unit_symbol(int unit);      // "m", "dm", "cm", "mm"
const char *unit_word(int unit);        // "metres", ...
// The unit of a name as the companions take it (m, dm, cm, mm, or 0 to 3); -1
// for any other text.
int unit_of_name(const std::string &name);

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
// A descriptor of all six numbers on one line, as tolmar-import writes it.
std::string descriptor_text(int rows, int cols, int width, long long lo, long long hi, int pix_size);

// ---- result descriptor and run log ------------------------------------------

// The most treatments one result set holds: codes run from 1 to this.
constexpr int MAX_CODES = 250;

// Header lines 1 to 5 (rows, columns, 1 byte a cell, 0, 255) and line 6.
std::string header_text(int rows, int cols);
std::string pix_size_line(int pix_size);
// A set made in true geometry says so on a line of its own after the
// header: "geometry true". A classic set has no such line.
std::string geometry_line(Geometry g);

// One stamped treatment as the run log records it.
struct Record {
    int code = 0;
    Values values;
};
// An empty line, then seven lines: the code, a heading, the row ("line")
// and column, the dip, the dip direction, the zone.
std::string record_text(const Record &r);

// A whole result descriptor and run log: six header numbers (rows and
// columns at least 1, the third one 1), then records with codes 1, 2, 3, ...
// up to MAX_CODES. This is the one check of "is this a result log"; `err`
// names the first fault.
struct ResultLog {
    int rows = 0, cols = 0, pix_size = 0;
    Geometry geometry = Geometry::classic;
    std::vector<Record> records;
    size_t header_end = 0;  // offset just past the sixth number
};
bool parse_result_log(const std::string &text, ResultLog &log, std::string &err);
// The longest beginning of `text` that is a whole result log: its header and
// the whole records that follow it in order from code 1 (`log` holds them),
// through the line end after the last one. npos when the header is not whole.
size_t result_log_prefix(const std::string &text, ResultLog &log);

// ---- samples -----------------------------------------------------------------

// Samples are stored least significant byte first whatever the host; these
// put a block of them in host order, in place (the same swap goes both ways).
bool host_is_little_endian();
void to_host_order(uint16_t *v, size_t n);
void to_host_order(int32_t *v, size_t n);
// Samples as a raster file holds them: 2 or 4 bytes each.
std::string encode_samples(const std::vector<int32_t> &samples, int width);

// ---- answers -----------------------------------------------------------------

// What the opening dialogue asks, in its order, and the treatments: the
// answers that make tolmar redo a session.
struct Answers {
    std::string folder, dem;
    int type = 0;                // 0 16-bit, 1 32-bit
    bool ask_sizes = false;      // no DEM descriptor: rows, columns, pixel size are asked
    int rows = 0, cols = 0;
    std::string result;          // empty: the results keep the DEM's name
    int unit = 0;                // 0 metres, 1 decimetres, 2 centimetres, 3 millimetres
    bool ask_pix_size = false;   // the descriptor gives none
    int pix_size = 0;
    int background = 0;          // 0 white, 1 black
    std::vector<Record> treatments;
};
std::string answers_text(const Answers &a);

// ---- whole files ---------------------------------------------------------------

// Reads a whole file of at most `limit` bytes (a larger one is refused): a
// regular file, reached without a symbolic link; false with the reason.
bool read_file(const std::string &path, std::string &bytes, std::string &err, size_t limit = SIZE_MAX);

}  // namespace formats

#endif
