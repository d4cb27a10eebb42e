// formats.cpp: the names, numbers, units, descriptors, records, samples and
// answers of a tolmar file set.
#include "files/formats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cmath>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <sstream>

namespace formats {

// ---- names -----------------------------------------------------------------

const char DATA_ROOT[] = "images/";
const char RESULT_RASTER_SUFFIX[] = "_tolmar.raw";
const char RESULT_LOG_SUFFIX[] = "_tolmar.txt";

const char *dem_raster_suffix(int width) { return width == 2 ? "_m2.raw" : "_m4.raw"; }
const char *dem_descriptor_suffix(int width) { return width == 2 ? "_m2.txt" : "_m4.txt"; }

bool ends_with(const std::string &s, const std::string &end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

int dem_width_of_name(const std::string &raw_path) {
    if (ends_with(raw_path, dem_raster_suffix(2))) return 2;
    if (ends_with(raw_path, dem_raster_suffix(4))) return 4;
    return 0;
}

std::string folder_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string name_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool single_name(const std::string &name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
    return true;
}


namespace {

std::string with_ending(const std::string &raw_path, const char *ending) {
    return (ends_with(raw_path, ".raw") ? raw_path.substr(0, raw_path.size() - 4) : raw_path) + ending;
}

}  // namespace

std::string sidecar_path(const std::string &raw_path) { return with_ending(raw_path, ".vrt"); }
std::string filled_path(const std::string &raw_path) { return with_ending(raw_path, ".filled.tif"); }

std::string descriptor_path(const std::string &raw_path) { return with_ending(raw_path, ".txt"); }

int sidecar_unit(const std::string &text, double *k_out) {
    // <MDI key="TOLMAR_SCALE">k</MDI> and the band's <Scale>s</Scale>.
    auto value = [&](const std::string &open, const std::string &close, double &v) {
        const size_t a = text.find(open);
        if (a == std::string::npos) return false;
        const size_t b = text.find(close, a + open.size());
        if (b == std::string::npos) return false;
        const std::string word = text.substr(a + open.size(), b - a - open.size());
        char *end = nullptr;
        v = strtod(word.c_str(), &end);
        return end != word.c_str() && v > 0 && v < 1e300;
    };
    double k = 1, scale = 0;
    if (!value("<MDI key=\"TOLMAR_SCALE\">", "</MDI>", k)) return -1;
    k = std::max(1.0, k);
    if (k_out != nullptr) *k_out = k;
    if (!value("<Scale>", "</Scale>", scale)) return -1;
    const double divisor = 1.0 / (scale * k);
    for (int a = 0; a < UNITS; a++)
        if (std::fabs(divisor - unit_divisor(a)) < 1e-6 * divisor) return a;
    return -1;
}

std::string dem_raster_named(const std::string &path) {
    if (ends_with(path, "_m2.vrt") || ends_with(path, "_m4.vrt")) return path.substr(0, path.size() - 4) + ".raw";
    return path;
}

bool foreign_raster_name(const std::string &path) {
    std::string low = path;
    for (char &c : low) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (const char *end : {".tif", ".tiff", ".asc", ".vrt", ".img", ".dem", ".hgt", ".nc", ".grd", ".bil", ".flt", ".xyz", ".jp2", ".dt0",
                            ".dt1", ".dt2", ".adf", ".sdat", ".rst", ".ers", ".png"})
        if (ends_with(low, end)) return true;
    return false;
}

std::string raster_path(const std::string &txt_path) {
    if (ends_with(txt_path, ".txt")) return txt_path.substr(0, txt_path.size() - 4) + ".raw";
    return txt_path + ".raw";
}

// ---- whole numbers -------------------------------------------------------------

bool parse_int(const std::string &word, int &out) {
    size_t k = 0;
    bool negative = false;
    if (k < word.size() && (word[k] == '+' || word[k] == '-')) negative = word[k++] == '-';
    if (k == word.size()) return false;
    long long v = 0;
    for (; k < word.size(); k++) {
        if (word[k] < '0' || word[k] > '9') return false;
        v = v * 10 + (word[k] - '0');
        if (v > static_cast<long long>(INT32_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    out = static_cast<int>(v);
    return true;
}

std::string formatted(const char *fmt, ...) {
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(&out[0], out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

std::string printable(const std::string &word, size_t limit) {
    std::string out;
    for (size_t k = 0; k < word.size() && k < limit; k++) {
        const unsigned char c = static_cast<unsigned char>(word[k]);
        if (c < 0x20 || c >= 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (word.size() > limit) out += "...";
    return out;
}

// ---- units -----------------------------------------------------------------------

namespace {

struct Unit {
    const char *symbol, *word;
    double divisor;
};
const Unit UNIT_TABLE[UNITS] = {
    {"m", "metres", 1.0}, {"dm", "decimetres", 10.0}, {"cm", "centimetres", 100.0}, {"mm", "millimetres", 1000.0}};

bool known_unit(int unit) { return unit >= 0 && unit < UNITS; }

}  // namespace

double unit_divisor(int unit) { return known_unit(unit) ? UNIT_TABLE[unit].divisor : 1.0; }
const char *unit_symbol(int unit) { return known_unit(unit) ? UNIT_TABLE[unit].symbol : "?"; }
const char *unit_word(int unit) { return known_unit(unit) ? UNIT_TABLE[unit].word : "?"; }

int unit_of_name(const std::string &name) {
    for (int k = 0; k < UNITS; k++)
        if (name == UNIT_TABLE[k].symbol || name == std::to_string(k)) return k;
    return -1;
}

// ---- descriptors -----------------------------------------------------------

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

enum class Number { ok, none, too_big };

// One decimal integer at `at`, after white space, as "%d" reads it; the
// character that ends it is not part of it.
Number next_number(const std::string &text, size_t &at, long long &out) {
    size_t k = at;
    while (k < text.size() && blank(text[k])) k++;
    bool negative = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
    if (k >= text.size() || !digit(text[k])) return Number::none;
    long long v = 0;
    bool big = false;
    for (; k < text.size() && digit(text[k]); k++) {
        if (v <= (1LL << 40)) v = v * 10 + (text[k] - '0');
        else big = true;
    }
    if (negative) v = -v;
    if (big || v > INT32_MAX || v < INT32_MIN) return Number::too_big;
    out = v;
    at = k;
    return Number::ok;
}

}  // namespace

Descriptor parse_descriptor(const std::string &text) {
    Descriptor d;
    size_t at = 0;
    while (d.count < 6) {
        const Number n = next_number(text, at, d.field[d.count]);
        if (n == Number::too_big) d.too_big = true;
        if (n != Number::ok) break;
        d.count++;
    }
    d.end = at;
    return d;
}

std::string made_descriptor_text(int rows, int cols, int width) {
    return std::to_string(rows) + "\n" + std::to_string(cols) + "\n" + std::to_string(width) + "\n";
}

std::string descriptor_text(int rows, int cols, int width, long long lo, long long hi, int pix_size) {
    return std::to_string(rows) + " " + std::to_string(cols) + " " + std::to_string(width) + " " + std::to_string(lo) +
           " " + std::to_string(hi) + " " + std::to_string(pix_size) + "\n";
}

// ---- result descriptor and run log ------------------------------------------

std::string header_text(int rows, int cols) {
    return std::to_string(rows) + "\n" + std::to_string(cols) + "\n1\n0\n255\n";
}

std::string pix_size_line(int pix_size) { return std::to_string(pix_size) + "\n"; }

namespace {
const char GEOMETRY_WORD[] = "geometry";
}

std::string geometry_line(Geometry g) {
    return g == Geometry::exact ? std::string(GEOMETRY_WORD) + " " + geometry_name(g) + "\n" : "";
}

std::string record_text(const Record &r) {
    const Values &v = r.values;
    return "\n code " + std::to_string(r.code) + " \n\tselected point\n\t\tline   : " + std::to_string(v.row) +
           "\n\t\tcolumn : " + std::to_string(v.column) + "\n\tplane dip (in degrees) " + std::to_string(v.dip) +
           "\n\tdirection of the slope " + std::to_string(v.dip_direction) + "\n\tinfluence zone " +
           std::to_string(v.zone) + " \n";
}

namespace {

// The words of a record, in order; "#" stands for a whole number.
const char *const RECORD_WORDS[] = {"code",     "#",         "selected", "point",    "line",  ":",
                                    "#",        "column",    ":",        "#",        "plane", "dip",
                                    "(in",      "degrees)",  "#",        "direction", "of",   "the",
                                    "slope",    "#",         "influence", "zone",    "#"};

bool whole_number(const std::string &w, int &out) {
    size_t at = 0;
    long long v;
    if (next_number(w, at, v) != Number::ok || at != w.size()) return false;
    out = static_cast<int>(v);
    return true;
}

// The words of `text` from `from`, with where each ends.
struct Word {
    std::string w;
    size_t end;
};
std::vector<Word> words_of(const std::string &text, size_t from) {
    std::vector<Word> out;
    size_t k = from;
    for (;;) {
        while (k < text.size() && blank(text[k])) k++;
        if (k >= text.size()) break;
        const size_t start = k;
        while (k < text.size() && !blank(text[k])) k++;
        out.push_back({text.substr(start, k - start), k});
    }
    return out;
}

// The records of a run log: the words after the header, from `from`. With
// `prefix`, the reading stops without a fault at the first record that is
// not whole or not next in order, and `end` is the offset just past the
// line of the last whole record's last word.
bool parse_records(const std::string &text, size_t from, std::vector<Record> &records, std::string &err, bool prefix,
                   size_t &end) {
    const std::vector<Word> words = words_of(text, from);
    const size_t n = sizeof RECORD_WORDS / sizeof RECORD_WORDS[0];
    records.clear();
    end = from;
    for (size_t at = 0; at < words.size(); at += n) {
        int values[6], v = 0;
        for (size_t k = 0; k < n; k++) {
            const std::string expected = RECORD_WORDS[k];
            const std::string got = at + k < words.size() ? words[at + k].w : "the end of the log";
            const bool ok = expected == "#" ? whole_number(got, values[v++]) : got == expected;
            if (!ok) {
                if (prefix) return true;
                err = "record " + std::to_string(records.size() + 1) + ": expected " +
                      (expected == "#" ? std::string("a whole number") : "\"" + expected + "\"") + ", found \"" +
                      got + "\"";
                return false;
            }
        }
        if (prefix && (values[0] != static_cast<int>(records.size()) + 1 || records.size() >= static_cast<size_t>(MAX_CODES)))
            return true;
        records.push_back({values[0], {values[1], values[2], values[3], values[4], values[5]}});
        end = words[at + n - 1].end;
        while (end < text.size() && (text[end] == ' ' || text[end] == '\t' || text[end] == '\r')) end++;
        if (end < text.size() && text[end] == '\n') end++;
        else end = words[at + n - 1].end;
    }
    return true;
}

// The six header numbers and the geometry's line.
bool parse_header(const std::string &text, ResultLog &log, std::string &err) {
    const Descriptor d = parse_descriptor(text);
    if (d.count < 6 || d.field[0] < 1 || d.field[1] < 1 || d.field[2] != 1) {
        err = "not a result descriptor (six header lines, the third one 1)";
        return false;
    }
    log.rows = static_cast<int>(d.field[0]);
    log.cols = static_cast<int>(d.field[1]);
    log.pix_size = static_cast<int>(d.field[5]);
    log.header_end = d.end;
    // "geometry true" on the line after the header.
    size_t at = d.end;
    while (at < text.size() && blank(text[at])) at++;
    if (text.compare(at, sizeof GEOMETRY_WORD - 1, GEOMETRY_WORD) == 0) {
        size_t word = at + sizeof GEOMETRY_WORD - 1;
        while (word < text.size() && (text[word] == ' ' || text[word] == '\t')) word++;
        size_t end = word;
        while (end < text.size() && !blank(text[end])) end++;
        if (!geometry_of_name(text.substr(word, end - word).c_str(), log.geometry)) {
            err = "the geometry line names \"" + printable(text.substr(word, end - word)) + "\", not classic or true";
            return false;
        }
        log.header_end = end;
    }
    return true;
}

}  // namespace

bool parse_result_log(const std::string &text, ResultLog &log, std::string &err) {
    if (!parse_header(text, log, err)) return false;
    size_t end;
    if (!parse_records(text, log.header_end, log.records, err, false, end)) return false;
    for (size_t k = 0; k < log.records.size(); k++)
        if (log.records[k].code != static_cast<int>(k) + 1) {
            err = "record " + std::to_string(k + 1) + " has code " + std::to_string(log.records[k].code) +
                  "; the codes of a run log are 1, 2, 3, ...";
            return false;
        }
    if (log.records.size() > static_cast<size_t>(MAX_CODES)) {
        err = "more than " + std::to_string(MAX_CODES) + " records";
        return false;
    }
    return true;
}

size_t result_log_prefix(const std::string &text, ResultLog &log) {
    std::string err;
    if (!parse_header(text, log, err)) return std::string::npos;
    size_t end = log.header_end;
    while (end < text.size() && (text[end] == ' ' || text[end] == '\t' || text[end] == '\r')) end++;
    end = end < text.size() && text[end] == '\n' ? end + 1 : log.header_end;
    size_t records_end;
    parse_records(text, log.header_end, log.records, err, true, records_end);
    return log.records.empty() ? end : records_end;
}

// ---- samples -----------------------------------------------------------------

bool host_is_little_endian() {
    const uint16_t one = 1;
    unsigned char first;
    memcpy(&first, &one, 1);
    return first == 1;
}

void to_host_order(uint16_t *v, size_t n) {
    if (host_is_little_endian()) return;
    for (size_t k = 0; k < n; k++) v[k] = static_cast<uint16_t>((v[k] >> 8) | (v[k] << 8));
}

void to_host_order(int32_t *v, size_t n) {
    if (host_is_little_endian()) return;
    for (size_t k = 0; k < n; k++) {
        uint32_t u;
        memcpy(&u, &v[k], 4);
        u = (u >> 24) | ((u >> 8) & 0xff00u) | ((u << 8) & 0xff0000u) | (u << 24);
        memcpy(&v[k], &u, 4);
    }
}

std::string encode_samples(const std::vector<int32_t> &samples, int width) {
    std::string s;
    s.reserve(samples.size() * static_cast<size_t>(width));
    for (int32_t v : samples) {
        const uint32_t u = static_cast<uint32_t>(v);
        for (int b = 0; b < width; b++) s.push_back(static_cast<char>((u >> (8 * b)) & 0xff));
    }
    return s;
}

// ---- answers -----------------------------------------------------------------

std::string answers_text(const Answers &s) {
    auto line = [](long long v) { return std::to_string(v) + "\n"; };
    std::string out = s.folder + "\n" + s.dem + "\n" + line(s.type);
    if (s.ask_sizes) out += line(s.rows) + line(s.cols) + line(s.pix_size);
    out += s.result.empty() ? "0\n" : "1\n" + s.result + "\n";
    out += line(s.unit);
    // A pixel size of 0 typed with the sizes is asked again after the unit.
    if (s.ask_pix_size || (s.ask_sizes && s.pix_size == 0)) out += line(s.pix_size);
    out += line(s.background);
    // The first treatment asks all five values; "other treatment" (0) asks
    // them again for each next one. A session without treatments is redone
    // by one that is refused and leaves nothing.
    if (s.treatments.empty()) out += "0\n0\n0\n0\n0\n";
    for (size_t k = 0; k < s.treatments.size(); k++) {
        const Record &r = s.treatments[k];
        if (k > 0) out += "0\n";
        const Values &v = r.values;
        out += line(v.row) + line(v.column) + line(v.dip) + line(v.dip_direction) + line(v.zone);
    }
    // After the 250th treatment tolmar ends by itself.
    if (s.treatments.size() < static_cast<size_t>(MAX_CODES)) out += "5\n";
    return out;
}

// ---- whole files ---------------------------------------------------------------

bool read_file(const std::string &path, std::string &bytes, std::string &err, size_t limit) {
    // Regular files only, never through a link, never waiting on a FIFO.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        err = errno == ELOOP ? "it is a symbolic link, which tolmar does not follow" : strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
        close(fd);
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        err = "it holds " + std::to_string(st.st_size) + " bytes, more than such a file can";
        close(fd);
        return false;
    }
    bytes.clear();
    char chunk[65536];
    for (;;) {
        const size_t want = std::min(sizeof chunk, limit - bytes.size());
        if (want == 0) break;
        const ssize_t got = read(fd, chunk, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            err = strerror(errno);
            close(fd);
            return false;
        }
        if (got == 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

}  // namespace formats
