// import.cpp: tolmar-import's conversion. One pass reads the source block by
// block and writes the samples: straight into 16-bit whole metres while
// every cell is one (the usual SRTM tile), otherwise into 32-bit samples in
// the finest unit that holds the range (millimetres for any terrain), with
// the cells holding a value noted for GDAL to fill the others. Every file
// is made under a temporary name (created exclusively, never through a
// link) and renamed into place; the memory and disk a source needs are
// checked before anything is written.
#include "geo/import.h"

#include <cpl_conv.h>
#include <cpl_progress.h>
#include <cpl_string.h>
#include <gdal_alg.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <limits>
#include <type_traits>
#include <vector>

#include "files/fileio.h"
#include "files/formats.h"
#include "geo/georef.h"
#include "geo/import_source.h"

namespace tools {

namespace {

using tolmar::Listener;
using tolmar::Status;

Status failure(const std::string &subject, const std::string &what) { return Status::failed(subject, what); }

// GDAL's progress, told to a listener.
int CPL_STDCALL tell_progress(double done, const char *, void *listener) {
    static_cast<const Listener *>(listener)->progress(done, 1);
    return TRUE;
}

// A temporary file beside `beside`, removed unless kept.
struct Temp {
    std::string path;
    FILE *f = nullptr;
    bool keep = false;
    ~Temp() {
        if (f != nullptr) fclose(f);
        if (!keep && !path.empty()) unlink(path.c_str());
    }
    bool open(const std::string &beside) {
        const int fd = create_beside(FileSystem::real(), beside, path);
        if (fd < 0) path.clear();
        f = fd < 0 ? nullptr : fdopen(fd, "w+b");
        return f != nullptr;
    }
    // Back to empty, for a pass made again.
    bool restart() { return fflush(f) == 0 && ftruncate(fileno(f), 0) == 0 && fseek(f, 0, SEEK_SET) == 0; }
};

// Rounds half away from zero, as std::round does, without a call into the
// maths library in the inner loop: the truncation is exact below 2^63 and
// so is the fraction left.
inline double round_away(double x) {
    const double t = static_cast<double>(static_cast<long long>(x));
    const double f = x - t;
    return f >= 0.5 ? t + 1 : f <= -0.5 ? t - 1 : t;
}

// How the pass stores the samples.
struct Plan {
    int width = 4;        // 2: whole metres 0..65535; 4: 32-bit in `unit`
    bool optimistic = false;  // 16-bit until a cell is not a whole metre in range, or nodata
    int unit = 3;         // the dialogue's unit answer, for 32-bit samples
    double zk = 1;        // from the source's values to the stored metres: unit factor times k
    const Listener *told = nullptr;  // told the rows read
};

// What the pass found.
struct Found {
    long long nodata = 0;
    long long lo = LLONG_MAX, hi = LLONG_MIN;  // of the samples written
    bool whole16 = true;   // every value a whole number of metres from 0 to 65535
    bool abandoned = false;  // the optimistic 16-bit pass met a cell it cannot store
    double bound = 0;      // the largest |metres| seen
    bool unit_too_fine = false;
};

bool unit_holds(double bound, int unit) { return (bound * 4 + 1000) * formats::unit_divisor(unit) <= INT_MAX; }

// Half away from zero for |x| below 2^31, where a 32-bit truncation is
// exact: the same result as round_away, in instructions the compiler runs
// on several cells at once.
inline double round_away31(double x) {
    const double t = static_cast<double>(static_cast<int32_t>(x));
    const double f = x - t;
    return t + (f >= 0.5) - (f <= -0.5);
}

// A block in which every cell holds a value (no mask, no NaN, no infinity),
// converted in plain loops over the whole block, which the compiler turns
// into vector instructions; false, having changed nothing, when the block
// is not such a block and needs the careful pass cell by cell. The results
// are those of the careful pass.
template <typename T>
bool convert_plain(const T *z, size_t n, const Plan &plan, std::vector<uint16_t> &out16, std::vector<int32_t> &out32,
                   Found &found) {
    if (std::is_integral<T>::value && plan.zk == 1 && plan.width == 2) {
        // Whole metres already: in 0..65535 unless one is negative.
        long long lo = LLONG_MAX, hi = LLONG_MIN;
        T a = std::numeric_limits<T>::max(), b = std::numeric_limits<T>::lowest();
        for (size_t k = 0; k < n; k++) {
            a = std::min(a, z[k]);
            b = std::max(b, z[k]);
        }
        if (n > 0) lo = a, hi = b;
        if (lo < 0) {  // a cell that is not a whole metre from 0 to 65535
            found.whole16 = false;
            found.abandoned = true;
            return true;
        }
        for (size_t k = 0; k < n; k++) out16[k] = static_cast<uint16_t>(z[k]);
        found.lo = std::min(found.lo, lo);
        found.hi = std::max(found.hi, hi);
        return true;
    }
    if (plan.width != 4) return false;
    // Values in metres: every one finite, the largest magnitude, whole.
    bool finite = true, whole = true;
    double bound = found.bound;
    for (size_t k = 0; k < n; k++) {
        const double raw = static_cast<double>(z[k]);
        finite = finite & (std::fabs(raw) <= std::numeric_limits<double>::max());
        const double v = raw * plan.zk;
        bound = std::max(bound, std::fabs(v));
        whole = whole & (v >= 0) & (v <= 65535) & (static_cast<double>(static_cast<int32_t>(v)) == v);
    }
    if (!finite) return false;
    found.whole16 = found.whole16 && whole;
    if (bound > found.bound) {
        found.bound = bound;
        if (!unit_holds(bound, plan.unit)) found.unit_too_fine = true;
    }
    if (found.unit_too_fine) return true;  // the pass is made again in a coarser unit
    const double divisor = formats::unit_divisor(plan.unit);
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    for (size_t k = 0; k < n; k++) {
        const int32_t c = static_cast<int32_t>(round_away31(static_cast<double>(z[k]) * plan.zk * divisor));
        out32[k] = c;
        lo = std::min(lo, c);
        hi = std::max(hi, c);
    }
    if (n > 0) {
        found.lo = std::min<long long>(found.lo, lo);
        found.hi = std::max<long long>(found.hi, hi);
    }
    return true;
}

// The pass over the band, reading its values as T.
template <typename T>
bool convert(GDALRasterBand *b, GDALDataType read_as, int rows, int cols, const Plan &plan, Temp &samples, Temp &valid,
             Found &found, std::string &err) {
    const bool masked = (b->GetMaskFlags() & GMF_ALL_VALID) == 0;
    GDALRasterBand *m = b->GetMaskBand();
    const int block = std::max(1, std::min(rows, static_cast<int>((8 << 20) / (static_cast<long long>(cols) * 8))));
    const size_t cells = static_cast<size_t>(block) * static_cast<size_t>(cols);
    std::vector<T> z(cells);
    std::vector<uint8_t> mask(cells, 1);
    std::vector<int32_t> out32(plan.width == 4 ? cells : 0);
    std::vector<uint16_t> out16(plan.width == 2 ? cells : 0);
    const double divisor = formats::unit_divisor(plan.unit);
    int valid_rows = 0;  // rows written to `valid`
    for (int y = 0; y < rows; y += block) {
        const int h = std::min(block, rows - y);
        const size_t n = static_cast<size_t>(h) * static_cast<size_t>(cols);
        if (b->RasterIO(GF_Read, 0, y, cols, h, z.data(), cols, h, read_as, 0, 0) != CE_None ||
            (masked && m->RasterIO(GF_Read, 0, y, cols, h, mask.data(), cols, h, GDT_Byte, 0, 0) != CE_None)) {
            err = geo::gdal_error("read error") + " (rows " + std::to_string(y) + " to " + std::to_string(y + h - 1) +
                  "; is the file cut short?)";
            return false;
        }
        bool plain = !masked || std::find(mask.begin(), mask.begin() + static_cast<ptrdiff_t>(n), 0) == mask.begin() + static_cast<ptrdiff_t>(n);
        if (plain) plain = convert_plain(z.data(), n, plan, out16, out32, found);
        if (plain && found.abandoned) return true;
        if (plain) std::fill(mask.begin(), mask.begin() + static_cast<ptrdiff_t>(n), 1);  // every cell holds a value
        for (size_t k = 0; k < n && !plain; k++) {
            const double raw = static_cast<double>(z[k]);
            if (std::isinf(raw)) {
                err = "the cell at row " + std::to_string(y + static_cast<long long>(k) / cols) + ", column " +
                      std::to_string(k % static_cast<size_t>(cols)) + " holds " + (raw > 0 ? "+Inf" : "-Inf") +
                      ", which is no elevation";
                return false;
            }
            const double v = raw * plan.zk;
            if (mask[k] == 0 || raw != raw) {
                if (plan.optimistic) return found.abandoned = true;
                mask[k] = 0;
                found.nodata++;
                if (plan.width == 4) out32[k] = 0;
                else out16[k] = 0;
                continue;
            }
            mask[k] = 1;
            const bool whole = v >= 0 && v <= 65535 && static_cast<double>(static_cast<int>(v)) == v;
            found.whole16 = found.whole16 && whole;
            if (plan.width == 2) {
                if (!whole) return found.abandoned = true;
                out16[k] = static_cast<uint16_t>(v);
                found.lo = std::min<long long>(found.lo, out16[k]);
                found.hi = std::max<long long>(found.hi, out16[k]);
                continue;
            }
            const double a = std::fabs(v);
            if (a > found.bound) {
                found.bound = a;
                if (!unit_holds(a, plan.unit)) found.unit_too_fine = true;
            }
            if (found.unit_too_fine) continue;
            out32[k] = static_cast<int32_t>(round_away(v * divisor));
            found.lo = std::min<long long>(found.lo, out32[k]);
            found.hi = std::max<long long>(found.hi, out32[k]);
        }
        const bool written = plan.width == 2 ? (formats::to_host_order(out16.data(), n), fwrite(out16.data(), 2, n, samples.f) == n)
                                             : (formats::to_host_order(out32.data(), n), fwrite(out32.data(), 4, n, samples.f) == n);
        if (!written) {
            err = "cannot write " + samples.path + ": " + reason();
            return false;
        }
        // The cells holding a value are written down from the first block
        // that has one without, the blocks before it all holding values.
        if (found.nodata > 0) {
            const std::vector<uint8_t> ones(static_cast<size_t>(cols), 1);
            for (; valid_rows < y; valid_rows++)
                if (fwrite(ones.data(), 1, ones.size(), valid.f) != ones.size()) {
                    err = "cannot write " + valid.path + ": " + reason();
                    return false;
                }
            if (fwrite(mask.data(), 1, n, valid.f) != n) {
                err = "cannot write " + valid.path + ": " + reason();
                return false;
            }
            valid_rows = y + h;
        }
        plan.told->progress(y + h, rows);
    }
    return true;
}

bool run_pass(GDALRasterBand *b, GDALDataType type, int rows, int cols, const Plan &plan, Temp &samples, Temp &valid,
              Found &found, std::string &err) {
    found = Found();
    if (!samples.restart() || !valid.restart()) {
        err = "cannot write " + samples.path + ": " + reason();
        return false;
    }
    switch (type) {
    case GDT_Byte:
    case GDT_UInt16: return convert<uint16_t>(b, GDT_UInt16, rows, cols, plan, samples, valid, found, err);
    case GDT_Int16: return convert<int16_t>(b, GDT_Int16, rows, cols, plan, samples, valid, found, err);
    case GDT_Float32: return convert<float>(b, GDT_Float32, rows, cols, plan, samples, valid, found, err);
    default: return convert<double>(b, GDT_Float64, rows, cols, plan, samples, valid, found, err);
    }
}

// ---- room ------------------------------------------------------------------------

uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
}

std::string megabytes(double bytes) { return std::to_string(static_cast<long long>(std::ceil(bytes / 1e6))) + " MB"; }

// Whether tolmar can trace a DEM of this size here, the conversion holds a
// row in memory, and the folder has room for `bytes_per_cell` a cell.
bool check_room(const std::string &dir, int rows, int cols, int bytes_per_cell, std::string &err) {
    const double cells = static_cast<double>(rows) * cols;
    const double memory = static_cast<double>(physical_memory());
    if (memory > 0 && cells * 3 > memory) {
        err = "a DEM of " + std::to_string(rows) + " x " + std::to_string(cols) + " cells needs at least " +
              megabytes(cells * 3) + " of memory to be traced, more than this machine's " + megabytes(memory);
        return false;
    }
    if (memory > 0 && static_cast<double>(cols) * 16 > memory / 4) {
        err = "rows of " + std::to_string(cols) + " cells are too long to convert in this machine's memory";
        return false;
    }
    struct statvfs fs;
    if (statvfs(dir.c_str(), &fs) == 0) {
        const double free_bytes = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
        if (cells * bytes_per_cell > free_bytes) {
            err = dir + " has " + megabytes(free_bytes) + " of free disk; the samples need " +
                  megabytes(cells * bytes_per_cell);
            return false;
        }
    }
    return true;
}

// ---- the file set -------------------------------------------------------------------

// A file of the set that would be written through a link, or that exists
// when it may not be replaced: why it cannot be made.
std::string refusal(const std::string &path, bool replace) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return "";
    if (S_ISLNK(st.st_mode)) return path + " is a symbolic link: tolmar-import does not write through links";
    if (!replace) return path + " exists: give --replace to replace it, or another name";
    return "";
}

bool write_text_beside(const std::string &path, const std::string &text, std::string &err) {
    Temp t;
    if (!t.open(path) || fwrite(text.data(), 1, text.size(), t.f) != text.size() || fflush(t.f) != 0 ||
        rename(t.path.c_str(), path.c_str()) != 0) {
        err = "cannot write " + path + ": " + reason();
        return false;
    }
    t.keep = true;
    return true;
}

// Nodata filled by GDAL's own interpolation, from every side, as far as it takes.
bool fill_nodata(const std::string &samples, const std::string &valid, const std::string &dir, int rows, int cols,
                 int width, const Listener &l, std::string &err) {
    char cwd[4096];
    const std::string here = getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" : "";
    Dataset target(geo::raw_vrt(here + samples, rows, cols, width == 2 ? GDT_UInt16 : GDT_Int32));
    Dataset valid_band(geo::raw_vrt(here + valid, rows, cols, GDT_Byte));
    if (!target || !valid_band) {
        err = "cannot fill the nodata cells: " + geo::gdal_error("no VRT driver");
        return false;
    }
    CPLSetConfigOption("CPL_TMPDIR", dir.c_str());
    CPLStringList options;
    options.AddNameValue("TEMP_FILE_DRIVER", "GTiff");
    if (GDALFillNodata(target->GetRasterBand(1), valid_band->GetRasterBand(1), std::max(rows, cols), 0, 0,
                       options.List(), tell_progress, const_cast<Listener *>(&l)) != CE_None) {
        err = "GDAL could not fill the nodata cells: " + geo::gdal_error("no reason given");
        return false;
    }
    return true;
}

// 32-bit samples of whole metres from 0 to 65535 become 16-bit ones; the
// filled cells, which lie between measured ones, round to whole metres.
bool narrow(Temp &samples, const std::string &beside, int divisor, std::string &err) {
    Temp narrow;
    if (!narrow.open(beside) || fflush(samples.f) != 0) {
        err = "cannot write beside " + beside + ": " + reason();
        return false;
    }
    rewind(samples.f);
    std::vector<int32_t> v(1 << 20);
    std::vector<uint16_t> w(v.size());
    size_t got;
    while ((got = fread(v.data(), 4, v.size(), samples.f)) > 0) {
        formats::to_host_order(v.data(), got);
        for (size_t k = 0; k < got; k++) w[k] = static_cast<uint16_t>((v[k] + divisor / 2) / divisor);
        formats::to_host_order(w.data(), got);
        if (fwrite(w.data(), 2, got, narrow.f) != got) {
            err = "cannot write " + narrow.path + ": " + reason();
            return false;
        }
    }
    std::swap(samples.path, narrow.path);
    std::swap(samples.f, narrow.f);
    return true;
}

// The cells that were nodata, as a GeoTIFF beside the DEM.
bool write_filled(const std::string &path, FILE *valid, int rows, int cols, const Source &s, std::string &err) {
    GDALDriver *gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    CPLStringList options;
    options.AddNameValue("COMPRESS", "DEFLATE");
    options.AddNameValue("TILED", "YES");
    Dataset f(gtiff->Create(path.c_str(), cols, rows, 1, GDT_Byte, options.List()));
    if (!f) {
        err = "cannot write " + path + ": " + geo::gdal_error("write error");
        return false;
    }
    if (s.georeferenced) f->SetGeoTransform(const_cast<double *>(s.gt));
    if (!s.srs.IsEmpty()) f->SetSpatialRef(&s.srs);
    f->GetRasterBand(1)->SetDescription("1: a nodata cell filled by interpolation");
    rewind(valid);
    std::vector<uint8_t> row(static_cast<size_t>(cols));
    for (int y = 0; y < rows; y++) {
        if (fread(row.data(), 1, row.size(), valid) != row.size()) {
            err = "cannot read back the cells holding a value";
            return false;
        }
        for (uint8_t &c : row) c = c ? 0 : 1;
        if (f->GetRasterBand(1)->RasterIO(GF_Write, 0, y, cols, 1, row.data(), cols, 1, GDT_Byte, 0, 0) != CE_None) {
            err = "cannot write " + path + ": " + geo::gdal_error("write error");
            return false;
        }
    }
    return true;
}

using formats::formatted;

// What the import made, and the answers tolmar's dialogue will need.
void report(const ImportRequest &q, int rows, int cols, int width, int unit, const Found &found, const Source &s,
            const Scale &scale, double p, const std::string &raw, const Listener &l) {
    l.say(formatted("\nimages/%s/%s: %d lines x %d columns, %s samples in %s (%lld to %lld)\n", q.folder.c_str(),
                 formats::name_of(raw).c_str(), rows, cols, width == 2 ? "16-bit" : "32-bit", formats::unit_word(unit),
                 found.lo, found.hi));
    if (!s.note.empty()) l.say("  " + s.note + "\n");
    if (scale.k != 1)
        l.say(formatted("  cells of %s m: elevations and the pixel size are stored %d times larger (pixel size %d), which\n"
                     "  leaves every trace as it is; a dip is an angle and is answered as measured\n",
                     metres(p).c_str(), scale.k, scale.pix));
    if (found.nodata > 0)
        l.say(formatted("  %lld nodata cells filled by GDAL's interpolation, marked in %s: traces over them are\n"
                     "  left out or marked by the companions\n",
                     found.nodata, formats::filled_path(raw).c_str()));
    l.say("  georeference for GIS and the companions: " + formats::sidecar_path(raw) + "\n");
    l.say(formatted("\nAnswers for tolmar: folder %s, DEM name %s, type %d (%s), unit %d (%s); the pixel size %d is\n"
                 "in the descriptor.\n",
                 q.folder.c_str(), q.name.c_str(), width == 2 ? 0 : 1, width == 2 ? "16 bits" : "32 bits", unit,
                 formats::unit_word(unit), scale.pix));
}

// The samples written by as few passes as the source allows: 16-bit whole
// metres straight when the source's type says so or every cell turns out
// to be one, else 32-bit in the finest unit the range allows.
bool write_samples(const ImportRequest &q, GDALRasterBand *b, bool direct16, int rows, int cols, double zk,
                   const std::string &dir, Temp &samples, Temp &valid, Plan &plan, Found &found, std::string &err) {
    const GDALDataType type = b->GetRasterDataType();
    plan.zk = zk;
    plan.width = 2;
    plan.optimistic = !direct16;
    if (!run_pass(b, type, rows, cols, plan, samples, valid, found, err)) return false;
    if (!found.abandoned) {
        plan.unit = 0;
    } else {
        if (!check_room(dir, rows, cols, 4, err)) return false;
        plan.width = 4;
        plan.optimistic = false;
        for (plan.unit = 3;; plan.unit--) {
            if (!run_pass(b, type, rows, cols, plan, samples, valid, found, err)) return false;
            if (!found.unit_too_fine) break;
            while (plan.unit > 0 && !unit_holds(found.bound, plan.unit - 1)) plan.unit--;
            if (plan.unit == 0) {
                err = q.source + ": elevations too large for 32-bit samples";
                return false;
            }
        }
    }
    if (found.nodata == static_cast<long long>(rows) * cols) {
        err = q.source + ": no cell holds a value";
        return false;
    }
    return true;
}

// The source opened and made ready, the factor that makes its pixel size
// whole, and whether its samples are 16-bit whole metres as they come.
struct Opened {
    Dataset src;
    Source s;
    Scale scale;
    double zfactor = 1, p = 0;
    bool direct16 = false;
    int rows = 0, cols = 0;
};
Status open_source(const ImportRequest &q, Opened &o) {
    geo::use_gdal();
    o.src.reset(static_cast<GDALDataset *>(GDALOpenEx(q.source.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr)));
    if (!o.src) return failure(q.source, "cannot read " + q.source + ": " + geo::gdal_error("not a raster GDAL reads"));
    if (q.band > o.src->GetRasterCount())
        return failure(q.source, q.source + " has " + std::to_string(o.src->GetRasterCount()) + " band(s), not " + std::to_string(q.band));
    o.zfactor = elevation_unit(o.src->GetRasterBand(q.band)->GetUnitType());
    if (o.zfactor == 0)
        return failure(q.source, q.source + ": elevations in \"" + o.src->GetRasterBand(q.band)->GetUnitType() +
                       "\", which is not a length tolmar knows");
    std::string err;
    if (!prepare(o.src.get(), q.band, q.pixel_size, o.s, err)) return failure(q.source, q.source + ": " + err);
    o.rows = o.s.d->GetRasterYSize();
    o.cols = o.s.d->GetRasterXSize();
    // The ground size of a cell and the factor that makes it whole.
    const double linear = o.s.srs.IsProjected() ? o.s.srs.GetLinearUnits() : 1.0;
    o.p = q.pixel_size > 0 ? q.pixel_size : std::fabs(o.s.gt[1]) * linear;
    if (!whole_pixel(o.p, o.scale))
        return failure(q.source, q.source + ": cells of " + metres(o.p) + " m: no factor up to 1000 makes that a whole number of metres");
    const GDALDataType type = o.s.d->GetRasterBand(o.s.band)->GetRasterDataType();
    o.direct16 = (type == GDT_Byte || type == GDT_UInt16) && o.scale.k == 1 && o.zfactor == 1.0 && o.s.own == nullptr;
    return Status();
}

// The four files of a DEM of `width` bytes a sample that the import writes.
std::vector<std::string> set_files(const std::string &base, int width) {
    const std::string raw = base + formats::dem_raster_suffix(width);
    return {raw, base + formats::dem_descriptor_suffix(width), formats::sidecar_path(raw), formats::filled_path(raw)};
}

// The samples put in place, then the descriptor, the sidecar and the
// filled cells; the files of the other width removed.
Status put_in_place(const std::string &base, Temp &samples, Temp &valid, int width, int unit, const Found &found,
                    const Opened &o) {
    std::string err;
    const std::string raw = base + formats::dem_raster_suffix(width);
    if (fflush(samples.f) != 0 || rename(samples.path.c_str(), raw.c_str()) != 0)
        return failure(raw, "cannot write " + raw + ": " + reason());
    samples.keep = true;
    if (!write_text_beside(base + formats::dem_descriptor_suffix(width),
                           formats::descriptor_text(o.rows, o.cols, width, found.lo, found.hi, o.scale.pix), err))
        return failure(base + formats::dem_descriptor_suffix(width), err);
    for (const std::string &f : set_files(base, width == 2 ? 4 : 2)) unlink(f.c_str());
    if (!geo::write_sidecar(raw, o.rows, o.cols, width, unit, o.scale.k, o.scale.pix, o.s.georeferenced ? o.s.gt : nullptr,
                            &o.s.srs, err))
        return failure(formats::sidecar_path(raw), err);
    const std::string filled = formats::filled_path(raw);
    unlink(filled.c_str());
    if (found.nodata > 0 && !write_filled(filled, valid.f, o.rows, o.cols, o.s, err)) return failure(filled, err);
    return Status();
}

}  // namespace

Status run_import(const ImportRequest &q, const Listener &l) {
    try {
        for (const std::string *n : {&q.folder, &q.name})
            if (!formats::single_name(*n))
                return Status::misused(*n, *n + " is not a single name (no '/', '\\', '.', '..', blank or control character)");
        const std::string top = q.root.empty() ? "" : q.root + "/";
        const std::string dir = top + formats::DATA_ROOT + q.folder + "/";
        // tolmar keeps every path within 127 characters, "_tolmar.raw" the longest ending.
        if (dir.size() - top.size() + q.name.size() + formats::LONGEST_SUFFIX > static_cast<size_t>(formats::PATH_MAX_CHARS))
            return Status::misused(q.name, dir + q.name + " would make tolmar's paths longer than 127 characters");
        Opened o;
        if (const Status opened = open_source(q, o); !opened.ok()) return opened;

        // Existing files are replaced only when asked, and never through a link.
        mkdir((top + "images").c_str(), 0777);
        mkdir(dir.c_str(), 0777);
        const std::string base = dir + q.name;
        for (int w : {2, 4})
            for (const std::string &f : set_files(base, w)) {
                const bool data = formats::ends_with(f, ".raw") || formats::ends_with(f, ".txt");
                const std::string why = refusal(f, q.replace || !data);
                if (!why.empty()) return failure(f, why);
            }
        std::string err;
        if (!check_room(dir, o.rows, o.cols, 2, err)) return failure(q.source, q.source + ": " + err);

        Temp samples, valid;
        if (!samples.open(base + formats::dem_raster_suffix(2)) || !valid.open(base + ".valid"))
            return failure(dir, "cannot write in " + dir + ": " + reason());
        l.say("reading " + q.source + ", " + std::to_string(o.rows) + " rows x " + std::to_string(o.cols) + " columns\n", true);
        Plan plan;
        plan.told = &l;
        Found found;
        GDALRasterBand *b = o.s.d->GetRasterBand(o.s.band);
        if (!write_samples(q, b, o.direct16, o.rows, o.cols, o.zfactor * o.scale.k, dir, samples, valid, plan, found, err))
            return failure(q.source, err.rfind(q.source, 0) == 0 ? err : "cannot read " + q.source + ": " + err);
        if (fflush(samples.f) != 0 || fflush(valid.f) != 0) return failure(dir, "cannot write in " + dir + ": " + reason());
        o.s.own.reset();
        o.src.reset();

        if (found.nodata > 0) {
            l.say("filling " + std::to_string(found.nodata) + " nodata cells\n", true);
            if (!fill_nodata(samples.path, valid.path, dir, o.rows, o.cols, plan.width, l, err)) return failure(q.source, err);
        }
        int width = plan.width, unit = plan.unit;
        if (width == 4 && found.whole16) {
            const int divisor = static_cast<int>(formats::unit_divisor(unit));
            if (!narrow(samples, base + formats::dem_raster_suffix(2), divisor, err)) return failure(dir, err);
            found.lo /= divisor;
            found.hi /= divisor;
            width = 2;
            unit = 0;
        }
        if (const Status placed = put_in_place(base, samples, valid, width, unit, found, o); !placed.ok()) return placed;
        report(q, o.rows, o.cols, width, unit, found, o.s, o.scale, o.p, base + formats::dem_raster_suffix(width), l);
        return Status();
    } catch (const std::bad_alloc &) {
        return failure(q.source, q.source + ": not enough memory to convert it");
    }
}

}  // namespace tools
