// resultset.cpp: the file readers shared by the companions.
#include "resultset.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <sstream>

namespace tools {

int usage_error(const char *tool, const std::string &what) {
    fprintf(stderr, "%s: %s\n(%s --help tells how to use it)\n", tool, what.c_str(), tool);
    return 2;
}

int failure(const char *tool, const std::string &what) {
    fprintf(stderr, "%s: %s\n", tool, what.c_str());
    return 1;
}

bool read_whole_file(const std::string &path, std::string &bytes) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bytes.clear();
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
    bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}

std::string descriptor_path(const std::string &raw_path) {
    const std::string raw = ".raw";
    if (raw_path.size() >= raw.size() && raw_path.compare(raw_path.size() - 4, 4, raw) == 0)
        return raw_path.substr(0, raw_path.size() - 4) + ".txt";
    return raw_path + ".txt";
}

// One decimal integer at `at` after white space, as "%d" reads it.
static bool next_number(const std::string &text, size_t &at, long long &out) {
    size_t k = at;
    while (k < text.size() && isspace(static_cast<unsigned char>(text[k]))) k++;
    bool negative = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
    if (k >= text.size() || !isdigit(static_cast<unsigned char>(text[k]))) return false;
    long long v = 0;
    for (; k < text.size() && isdigit(static_cast<unsigned char>(text[k])); k++)
        if (v < (1LL << 40)) v = v * 10 + (text[k] - '0');
    out = negative ? -v : v;
    at = k;
    return true;
}

bool parse_descriptor(const std::string &text, Descriptor &d) {
    size_t at = 0;
    d.count = 0;
    while (d.count < 6 && next_number(text, at, d.field[d.count])) d.count++;
    d.rest = text.substr(at);
    return d.count == 6;
}

bool read_descriptor(const std::string &path, Descriptor &d, std::string &err) {
    std::string text;
    if (!read_whole_file(path, text)) {
        err = "cannot read " + path;
        return false;
    }
    parse_descriptor(text, d);
    return true;
}

// The words of a record, in order; "#" stands for a whole number.
static const char *const RECORD_WORDS[] = {"code",    "#",     "selected", "point",    "line",  ":",
                                           "#",       "column", ":",       "#",        "plane", "dip",
                                           "(in",     "degrees)", "#",     "direction", "of",   "the",
                                           "slope",   "#",     "influence", "zone",    "#"};

static bool whole_number(const std::string &w, int &out) {
    size_t at = 0;
    long long v;
    if (!next_number(w, at, v) || at != w.size() || v < INT_MIN || v > INT_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

bool parse_log(const std::string &text, std::vector<Record> &records, std::string &err) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    const size_t n = sizeof RECORD_WORDS / sizeof RECORD_WORDS[0];
    records.clear();
    for (size_t at = 0; at < words.size(); at += n) {
        int values[6], v = 0;
        for (size_t k = 0; k < n; k++) {
            const std::string expected = RECORD_WORDS[k];
            std::string got = at + k < words.size() ? words[at + k] : "the end of the log";
            bool ok = expected == "#" ? whole_number(got, values[v++]) : got == expected;
            if (!ok) {
                err = "record " + std::to_string(records.size() + 1) + ": expected " +
                      (expected == "#" ? std::string("a whole number") : "\"" + expected + "\"") +
                      ", found \"" + got + "\"";
                return false;
            }
        }
        Record r;
        r.code = values[0];
        r.line = values[1];
        r.column = values[2];
        r.dip = values[3];
        r.direction = values[4];
        r.zone = values[5];
        records.push_back(r);
    }
    return true;
}

// Sizes a descriptor gives, checked before anything is allocated for them.
static bool sizes(const Descriptor &d, const std::string &path, int &rows, int &cols,
                  std::string &err) {
    if (d.count < 2 || d.field[0] < 1 || d.field[1] < 1 || d.field[0] > INT_MAX ||
        d.field[1] > INT_MAX) {
        err = path + ": the first two numbers must be the rows and columns, both at least 1";
        return false;
    }
    rows = static_cast<int>(d.field[0]);
    cols = static_cast<int>(d.field[1]);
    return true;
}

// Reads a raster that must hold exactly `expected` bytes.
static bool read_raster(const std::string &path, unsigned long long expected, std::string &bytes,
                        std::string &err) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        err = "cannot read " + path;
        return false;
    }
    // The size is checked first so that a descriptor's sizes never decide
    // how much is allocated.
    bool ok = fseek(f, 0, SEEK_END) == 0;
    long long size = ok ? static_cast<long long>(ftell(f)) : -1;
    fclose(f);
    if (size < 0) {
        err = "cannot read " + path;
        return false;
    }
    if (static_cast<unsigned long long>(size) != expected) {
        err = path + " holds " + std::to_string(size) + " bytes, " + std::to_string(expected) +
              " expected" + (static_cast<unsigned long long>(size) < expected ? " (truncated)" : "");
        return false;
    }
    if (!read_whole_file(path, bytes) || bytes.size() != expected) {
        err = "cannot read " + path;
        return false;
    }
    return true;
}

bool load_result(const std::string &raw_path, Result &r, std::string &err) {
    const std::string txt = descriptor_path(raw_path);
    Descriptor d;
    if (!read_descriptor(txt, d, err)) return false;
    if (!sizes(d, txt, r.rows, r.cols, err)) return false;
    if (d.count < 6 || d.field[2] != 1) {
        err = txt + ": not a result descriptor (six header lines, the third one 1)";
        return false;
    }
    r.pix_size = static_cast<int>(d.field[5]);
    std::string log_err;
    if (!parse_log(d.rest, r.records, log_err)) {
        err = txt + ": " + log_err;
        return false;
    }
    std::string bytes;
    if (!read_raster(raw_path, static_cast<unsigned long long>(r.rows) * r.cols, bytes, err))
        return false;
    r.cells.assign(bytes.begin(), bytes.end());
    return true;
}

bool load_dem(const std::string &raw_path, Dem &dem, std::string &err) {
    auto ends_with = [&](const char *s) {
        std::string e = s;
        return raw_path.size() >= e.size() && raw_path.compare(raw_path.size() - e.size(), e.size(), e) == 0;
    };
    if (ends_with("_m2.raw")) dem.width = 2;
    else if (ends_with("_m4.raw")) dem.width = 4;
    else {
        err = raw_path + ": a DEM raster's name ends in _m2.raw (16-bit) or _m4.raw (32-bit)";
        return false;
    }
    const std::string txt = descriptor_path(raw_path);
    Descriptor d;
    if (!read_descriptor(txt, d, err)) return false;
    if (!sizes(d, txt, dem.rows, dem.cols, err)) return false;
    dem.pix_size = d.count >= 6 && d.field[5] > 0 && d.field[5] <= INT_MAX ? static_cast<int>(d.field[5]) : 0;
    std::string bytes;
    if (!read_raster(raw_path, static_cast<unsigned long long>(dem.rows) * dem.cols * dem.width, bytes, err))
        return false;
    const size_t n = static_cast<size_t>(dem.rows) * dem.cols;
    dem.samples.resize(n);
    const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes.data());
    for (size_t k = 0; k < n; k++) {
        // Least significant byte first, whatever the host.
        if (dem.width == 2)
            dem.samples[k] = b[2 * k] | b[2 * k + 1] << 8;
        else
            dem.samples[k] = static_cast<int32_t>(static_cast<uint32_t>(b[4 * k]) | static_cast<uint32_t>(b[4 * k + 1]) << 8 |
                                                  static_cast<uint32_t>(b[4 * k + 2]) << 16 |
                                                  static_cast<uint32_t>(b[4 * k + 3]) << 24);
    }
    return true;
}

}  // namespace tools
