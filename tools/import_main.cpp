// import_main.cpp: tolmar-import, a DEM file set from any single band GDAL
// reads: tolmar-import [options] SOURCE FOLDER NAME, run in the folder that
// holds images/. The band goes to images/FOLDER/NAME_m2.raw (16-bit, when
// every value is a whole number of metres from 0 to 65535) or NAME_m4.raw
// (32-bit, in the finest unit that holds the range), with a descriptor of
// all six numbers, a VRT sidecar that keeps the source's georeference for
// GIS and the companions, and, when the source had nodata, the cells GDAL
// filled in their place.
#include <cpl_conv.h>
#include <cpl_progress.h>
#include <cpl_string.h>
#include <gdal_alg.h>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogr_spatialref.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats.h"
#include "georef.h"
#include "resultset.h"

namespace {

const char USAGE[] =
    "usage: tolmar-import [options] SOURCE FOLDER NAME\n"
    "\n"
    "Turns one band of any raster GDAL reads (GeoTIFF, ASCII grid, ...) into the\n"
    "DEM file set images/FOLDER/NAME_m2.raw or NAME_m4.raw with its descriptor,\n"
    "ready for tolmar; run it in the folder that holds images/. Whole metres\n"
    "from 0 to 65535 give a 16-bit DEM, anything else a 32-bit one in the\n"
    "finest unit that holds the range (millimetres for any terrain). Beside it:\n"
    "  NAME_mX.vrt         the georeference, for GIS (gdalinfo, QGIS) and for\n"
    "                      tolmar-export, tolmar-preview and the others\n"
    "  NAME_mX.filled.tif  the cells that were nodata, filled by GDAL's own\n"
    "                      interpolation (only when there were any)\n"
    "A DEM in degrees is reprojected by GDAL's warper to its UTM zone, cells\n"
    "that are not square to square ones, both bilinearly and in whole metres.\n"
    "A pixel size that is not a whole number of metres is kept exact: the\n"
    "elevations and the pixel size are stored multiplied by one whole factor,\n"
    "which leaves every plane trace as it is. It prints the answers tolmar's\n"
    "dialogue will need.\n"
    "\n"
    "  --band N          the band to take (default 1)\n"
    "  --pixel-size M    the ground size of a cell in metres, for a source\n"
    "                    without a georeference\n"
    "  --replace         replace an existing DEM of that name\n"
    "  -h, --help        this text\n";

int usage_error(const std::string &what) { return tools::usage_error("tolmar-import", what); }
int failure(const std::string &what) { return tools::failure("tolmar-import", what); }

struct CloseDataset {
    void operator()(GDALDataset *d) const { GDALClose(d); }
};
using Dataset = std::unique_ptr<GDALDataset, CloseDataset>;

bool single_name(const std::string &s) {
    if (s.empty() || s == "." || s == ".." || s.find('/') != std::string::npos || s.find('\\') != std::string::npos) return false;
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string metres(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

// The smallest whole factor k (up to 1000) that makes k times the pixel size
// a whole number of metres, to one part in a million: elevations and pixel
// size both multiplied by k leave every plane trace as it is.
struct Scale {
    int k = 1;
    int pix = 0;
};
bool whole_pixel(double p, Scale &s) {
    for (int k = 1; k <= 1000; k++) {
        const double kp = k * p;
        const double r = std::round(kp);
        if (r >= 1 && r <= INT_MAX && std::fabs(kp - r) <= 1e-6 * kp) {
            s.k = k;
            s.pix = static_cast<int>(r);
            return true;
        }
    }
    return false;
}

// Metres per unit of an elevation unit GDAL names, 0 when not a length.
double elevation_unit(const std::string &name) {
    std::string u;
    for (char c : name) u += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (u.empty() || u == "m" || u == "metre" || u == "metres" || u == "meter" || u == "meters") return 1.0;
    if (u == "ft" || u == "foot" || u == "feet" || u == "international foot") return 0.3048;
    if (u == "us survey foot" || u == "ftus" || u == "us-ft") return 1200.0 / 3937.0;
    return 0;
}

// The source as tolmar needs it: north up, square cells, metres. A source
// in degrees, turned or with oblong cells goes through GDAL's warper first.
struct Source {
    Dataset own;                 // the warped view, when there is one
    GDALDataset *d = nullptr;
    int band = 1;
    bool georeferenced = false;
    double gt[6] = {0, 1, 0, 0, 0, -1};
    OGRSpatialReference srs;     // empty when the source has none
    std::string note;            // what was done to it

    void take_srs() {
        if (const OGRSpatialReference *r = d->GetSpatialRef()) srs = *r;
    }
};

std::string warp_resolution(double res) {
    // Whole metres, or eighths of a metre below one and a half.
    return metres(res >= 1.5 ? std::round(res) : std::max(0.125, std::round(res * 8) / 8));
}

bool warp(GDALDataset *src, const std::vector<std::string> &args, Source &out, std::string &err) {
    CPLStringList argv;
    for (const std::string &a : args) argv.AddString(a.c_str());
    GDALWarpAppOptions *options = GDALWarpAppOptionsNew(argv.List(), nullptr);
    GDALDatasetH in = GDALDataset::ToHandle(src);
    int bad = 0;
    GDALDatasetH warped = GDALWarp("", nullptr, 1, &in, options, &bad);
    GDALWarpAppOptionsFree(options);
    if (warped == nullptr) {
        err = "GDAL's warper failed: " + tools::gdal_error("no reason given");
        return false;
    }
    out.own.reset(GDALDataset::FromHandle(warped));
    out.d = out.own.get();
    out.d->GetGeoTransform(out.gt);
    return true;
}

bool prepare(GDALDataset *src, int band, double pixel_size, Source &s, std::string &err) {
    s.d = src;
    s.band = band;
    s.georeferenced = src->GetGeoTransform(s.gt) == CE_None;
    const OGRSpatialReference *srs = src->GetSpatialRef();
    s.take_srs();
    if (!s.georeferenced) {
        if (pixel_size <= 0) {
            err = "the source has no georeference: give --pixel-size M, its cells' size in metres";
            return false;
        }
        return true;
    }
    // Row 0 must be the north edge: dip directions are read from it.
    const bool turned = s.gt[2] != 0 || s.gt[4] != 0 || s.gt[1] < 0 || s.gt[5] > 0;
    const bool geographic = srs != nullptr && srs->IsGeographic();
    const bool oblong = std::fabs(std::fabs(s.gt[1]) - std::fabs(s.gt[5])) > 1e-6 * std::fabs(s.gt[1]);
    if (!turned && !geographic && !oblong) return true;

    // The warper's own choice of cells, then whole metres of it.
    std::vector<std::string> args = {"-of", "VRT", "-r", "bilinear", "-ot", "Float64", "-dstnodata", "-1e30"};
    std::string target;
    if (geographic) {
        const double cx = s.gt[0] + s.gt[1] * src->GetRasterXSize() / 2 + s.gt[2] * src->GetRasterYSize() / 2;
        const double cy = s.gt[3] + s.gt[4] * src->GetRasterXSize() / 2 + s.gt[5] * src->GetRasterYSize() / 2;
        OGRSpatialReference wgs(*srs);
        wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        OGRSpatialReference lonlat;
        lonlat.SetWellKnownGeogCS("WGS84");
        lonlat.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(&wgs, &lonlat));
        double lon = cx, lat = cy;
        if (ct) ct->Transform(1, &lon, &lat);
        const int zone = std::min(60, std::max(1, static_cast<int>(std::floor((lon + 180) / 6)) + 1));
        target = "EPSG:" + std::to_string((lat >= 0 ? 32600 : 32700) + zone);
        args.insert(args.end(), {"-t_srs", target});
    }
    Source probe;
    if (!warp(src, args, probe, err)) return false;
    const double res = std::sqrt(std::fabs(probe.gt[1] * probe.gt[5]));
    const std::string tr = warp_resolution(res);
    args.insert(args.end(), {"-tr", tr, tr});
    if (!warp(src, args, s, err)) return false;
    s.band = band;
    s.srs = OGRSpatialReference();
    s.take_srs();
    s.note = geographic ? "reprojected from degrees to UTM (" + target + ") by GDAL's warper, bilinearly, cells of " + tr + " m"
                        : std::string(turned ? "turned north up" : "resampled") + " by GDAL's warper to square cells of " + tr + " m";
    return true;
}

// A temporary file in the DEM's folder, removed unless kept.
struct Temp {
    std::string path;
    FILE *f = nullptr;
    bool keep = false;
    ~Temp() {
        if (f != nullptr) fclose(f);
        if (!keep && !path.empty()) unlink(path.c_str());
    }
};

bool open_temp(Temp &t, const std::string &path) {
    t.path = path;
    t.f = fopen(path.c_str(), "w+b");
    return t.f != nullptr;
}

// Writes n samples of `width` bytes, least significant byte first. The
// samples' order is its own inverse: putting host order into file order is
// the same swap as the reverse.
bool write_samples(FILE *f, int32_t *v, size_t n, int width) {
    if (width == 4) {
        formats::to_host_order(v, n);
        return fwrite(v, 4, n, f) == n;
    }
    std::vector<uint16_t> narrow(v, v + n);
    formats::to_host_order(narrow.data(), n);
    return fwrite(narrow.data(), 2, n, f) == n;
}

// A VRT over a raw file of rows x cols samples, in memory, writable.
Dataset raw_band(const std::string &raw, int rows, int cols, GDALDataType type, const std::string &relative_to = "") {
    GDALDriver *vrt = GetGDALDriverManager()->GetDriverByName("VRT");
    Dataset d(vrt->Create(relative_to.c_str(), cols, rows, 0, type, nullptr));
    if (!d) return d;
    const int size = GDALGetDataTypeSizeBytes(type);
    CPLStringList options;
    options.AddNameValue("subclass", "VRTRawRasterBand");
    options.AddNameValue("SourceFilename", raw.c_str());
    options.AddNameValue("RelativeToVRT", relative_to.empty() ? "0" : "1");
    options.AddNameValue("ByteOrder", "LSB");
    options.AddNameValue("ImageOffset", "0");
    options.AddNameValue("PixelOffset", std::to_string(size).c_str());
    options.AddNameValue("LineOffset", std::to_string(static_cast<long long>(size) * cols).c_str());
    if (d->AddBand(type, options.List()) != CE_None) d.reset();
    return d;
}

}  // namespace

int main(int argc, char **argv) {
    std::string files[3];
    int nfiles = 0, band = 1;
    double pixel_size = 0;
    bool replace = false;
    for (int k = 1; k < argc; k++) {
        const std::string a = argv[k];
        if (a == "-h" || a == "--help") {
            fputs(USAGE, stdout);
            return 0;
        }
        if (a == "--replace") {
            replace = true;
        } else if (a == "--band" || a == "--pixel-size") {
            if (k + 1 >= argc) return usage_error(a + " needs a value");
            char *end = nullptr;
            const double v = strtod(argv[++k], &end);
            if (end == argv[k] || *end != '\0' || !(v > 0) || (a == "--band" && (v != std::floor(v) || v > 65535)))
                return usage_error(a + " takes a number above 0, not " + argv[k]);
            (a == "--band" ? band = static_cast<int>(v) : (pixel_size = v, 0));
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (nfiles < 3) {
            files[nfiles++] = a;
        } else {
            return usage_error("too many arguments: " + a);
        }
    }
    if (nfiles < 3) return usage_error("needs SOURCE, FOLDER and NAME");
    const std::string &source = files[0], &folder = files[1], &name = files[2];
    for (const std::string *n : {&folder, &name})
        if (!single_name(*n)) return usage_error(*n + " is not a single name (no '/', '\\', '.', '..' or control character)");
    const std::string dir = "images/" + folder + "/";
    // tolmar keeps every path within 127 characters, "_tolmar.raw" the longest ending.
    if (dir.size() + name.size() + formats::LONGEST_SUFFIX > 127)
        return usage_error("images/" + folder + "/" + name + " would make tolmar's paths longer than 127 characters");

    tools::use_gdal();
    Dataset src(static_cast<GDALDataset *>(GDALOpenEx(source.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr)));
    if (!src) return failure("cannot read " + source + ": " + tools::gdal_error("not a raster GDAL reads"));
    if (band > src->GetRasterCount())
        return failure(source + " has " + std::to_string(src->GetRasterCount()) + " band(s), not " + std::to_string(band));
    const double zfactor = elevation_unit(src->GetRasterBand(band)->GetUnitType());
    if (zfactor == 0)
        return failure(source + ": elevations in \"" + src->GetRasterBand(band)->GetUnitType() + "\", which is not a length tolmar knows");

    Source s;
    std::string err;
    if (!prepare(src.get(), band, pixel_size, s, err)) return failure(source + ": " + err);
    const int rows = s.d->GetRasterYSize(), cols = s.d->GetRasterXSize();
    GDALRasterBand *b = s.d->GetRasterBand(s.band);

    // The ground size of a cell and the factor that makes it whole.
    const double linear = s.srs.IsProjected() ? s.srs.GetLinearUnits() : 1.0;
    const double p = pixel_size > 0 ? pixel_size : std::fabs(s.gt[1]) * linear;
    Scale scale;
    if (!whole_pixel(p, scale))
        return failure(source + ": cells of " + metres(p) + " m: no factor up to 1000 makes that a whole number of metres");

    // 16-bit straight from whole unsigned samples; otherwise 32-bit in the
    // finest unit that holds the range with room to spare.
    const GDALDataType type = b->GetRasterDataType();
    const bool direct16 = (type == GDT_Byte || type == GDT_UInt16) && scale.k == 1 && zfactor == 1.0 && s.own == nullptr;
    double range[2] = {0, 0};
    if (b->ComputeRasterMinMax(TRUE, range) != CE_None) return failure(source + ": no cell holds a value");
    const double bound = std::max(std::fabs(range[0]), std::fabs(range[1])) * zfactor * scale.k;
    int unit = 3;  // millimetres
    while (unit > 0 && (bound * 4 + 1000) * std::pow(10, unit) > INT_MAX) unit--;
    if (!direct16 && bound * 4 + 1000 > INT_MAX) return failure(source + ": elevations too large for 32-bit samples");
    const double divisor = direct16 ? 1 : std::pow(10, unit);

    // Existing files are replaced only when asked.
    mkdir("images", 0777);
    mkdir(dir.c_str(), 0777);
    const std::string base = dir + name;
    for (int w : {2, 4})
        for (const std::string &f : {base + formats::dem_raster_suffix(w), base + formats::dem_descriptor_suffix(w)})
            if (exists(f) && !replace) return failure(f + " exists: give --replace to replace it, or another name");

    // The pass: samples and the cells holding a value, block after block.
    Temp samples, valid;
    if (!open_temp(samples, dir + "." + name + ".samples") || !open_temp(valid, dir + "." + name + ".valid"))
        return failure("cannot write in " + dir + ": " + strerror(errno));
    const int width = direct16 ? 2 : 4;
    const int block = std::max(1, std::min(rows, static_cast<int>((8 << 20) / (static_cast<long long>(cols) * 8))));
    std::vector<double> z(static_cast<size_t>(block) * static_cast<size_t>(cols));
    std::vector<uint8_t> mask(z.size());
    std::vector<int32_t> out(z.size());
    long long nodata = 0;
    int valid_rows = 0;  // rows written to `valid`
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    bool whole16 = true;  // every value a whole number of metres from 0 to 65535
    GDALRasterBand *m = b->GetMaskBand();
    printf("tolmar-import: reading %s, %d rows x %d columns\n", source.c_str(), rows, cols);
    for (int y = 0; y < rows; y += block) {
        const int h = std::min(block, rows - y);
        const size_t n = static_cast<size_t>(h) * static_cast<size_t>(cols);
        if (b->RasterIO(GF_Read, 0, y, cols, h, z.data(), cols, h, GDT_Float64, 0, 0) != CE_None ||
            m->RasterIO(GF_Read, 0, y, cols, h, mask.data(), cols, h, GDT_Byte, 0, 0) != CE_None)
            return failure("cannot read " + source + ": " + tools::gdal_error("read error"));
        for (size_t k = 0; k < n; k++) {
            if (mask[k] == 0 || !std::isfinite(z[k])) {
                mask[k] = 0;
                nodata++;
                out[k] = 0;
                continue;
            }
            mask[k] = 1;
            const double v = z[k] * zfactor * scale.k;
            const double sample = std::round(v * divisor);
            if (sample > INT32_MAX || sample < INT32_MIN) return failure(source + ": elevation " + metres(z[k]) + " beyond the range found");
            out[k] = static_cast<int32_t>(sample);
            lo = std::min<int64_t>(lo, out[k]);
            hi = std::max<int64_t>(hi, out[k]);
            whole16 = whole16 && v == std::floor(v) && v >= 0 && v <= 65535;
        }
        if (!write_samples(samples.f, out.data(), n, width)) return failure("cannot write in " + dir + ": " + strerror(errno));
        // The cells holding a value are written down from the first block
        // that has one without, the blocks before it all holding values.
        if (nodata > 0 && valid_rows < y) {
            const std::vector<uint8_t> ones(static_cast<size_t>(cols), 1);
            for (; valid_rows < y; valid_rows++)
                if (fwrite(ones.data(), 1, ones.size(), valid.f) != ones.size()) return failure("cannot write in " + dir + ": " + strerror(errno));
        }
        if (nodata > 0) {
            if (fwrite(mask.data(), 1, n, valid.f) != n) return failure("cannot write in " + dir + ": " + strerror(errno));
            valid_rows = y + h;
        }
        GDALTermProgress(static_cast<double>(y + h) / rows, nullptr, nullptr);
    }
    if (nodata == static_cast<long long>(rows) * cols) return failure(source + ": no cell holds a value");
    if (fflush(samples.f) != 0 || fflush(valid.f) != 0) return failure("cannot write in " + dir + ": " + strerror(errno));
    s.own.reset();
    src.reset();

    // Nodata filled by GDAL's own interpolation, from every side, as far as it takes.
    if (nodata > 0) {
        printf("tolmar-import: filling %lld nodata cells\n", nodata);
        char cwd[4096];
        const std::string here = getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" : "";
        Dataset target = raw_band(here + samples.path, rows, cols, width == 2 ? GDT_UInt16 : GDT_Int32);
        Dataset valid_band = raw_band(here + valid.path, rows, cols, GDT_Byte);
        if (!target || !valid_band) return failure("cannot fill the nodata cells: " + tools::gdal_error("no VRT driver"));
        CPLSetConfigOption("CPL_TMPDIR", dir.c_str());
        CPLStringList options;
        options.AddNameValue("TEMP_FILE_DRIVER", "GTiff");
        if (GDALFillNodata(target->GetRasterBand(1), valid_band->GetRasterBand(1), std::max(rows, cols), 0, 0,
                           options.List(), GDALTermProgress, nullptr) != CE_None)
            return failure("GDAL could not fill the nodata cells: " + tools::gdal_error("no reason given"));
        target.reset();
        valid_band.reset();
        // The filled values lie between their neighbours, inside the range found.
    }

    // Whole metres from 0 to 65535 become 16-bit samples after all; the
    // filled cells, which lie between measured ones, round to whole metres.
    int final_width = width;
    if (width == 4 && whole16) {
        rewind(samples.f);
        Temp narrow;
        if (!open_temp(narrow, dir + "." + name + ".narrow")) return failure("cannot write in " + dir + ": " + strerror(errno));
        std::vector<char> in(static_cast<size_t>(block) * static_cast<size_t>(cols) * 4);
        std::vector<int32_t> v;
        size_t got;
        while ((got = fread(in.data(), 1, in.size(), samples.f)) > 0) {
            v.resize(got / 4);
            memcpy(v.data(), in.data(), got);
            formats::to_host_order(v.data(), v.size());
            const int32_t d = static_cast<int32_t>(divisor);
            for (int32_t &x : v) x = (x + d / 2) / d;
            if (!write_samples(narrow.f, v.data(), v.size(), 2)) return failure("cannot write in " + dir + ": " + strerror(errno));
        }
        std::swap(samples.path, narrow.path);
        std::swap(samples.f, narrow.f);
        lo /= static_cast<int64_t>(divisor);
        hi /= static_cast<int64_t>(divisor);
        final_width = 2;
        unit = 0;
    }
    const int unit_answer = final_width == 2 && direct16 ? 0 : unit;
    const double sample_divisor = final_width == 2 ? 1 : divisor;

    // The file set, then its sidecars.
    const std::string raw = base + formats::dem_raster_suffix(final_width);
    const std::string txt = base + formats::dem_descriptor_suffix(final_width);
    if (fflush(samples.f) != 0 || rename(samples.path.c_str(), raw.c_str()) != 0)
        return failure("cannot write " + raw + ": " + strerror(errno));
    samples.keep = true;
    {
        FILE *d = fopen(txt.c_str(), "w");
        if (d == nullptr || fprintf(d, "%d %d %d %lld %lld %d\n", rows, cols, final_width, static_cast<long long>(lo),
                                    static_cast<long long>(hi), scale.pix) < 0 || fclose(d) != 0)
            return failure("cannot write " + txt + ": " + strerror(errno));
    }
    for (int w : {2, 4})
        if (w != final_width) {
            unlink((base + formats::dem_raster_suffix(w)).c_str());
            unlink((base + formats::dem_descriptor_suffix(w)).c_str());
            unlink(formats::sidecar_path(base + formats::dem_raster_suffix(w)).c_str());
            unlink(formats::filled_path(base + formats::dem_raster_suffix(w)).c_str());
        }

    const std::string vrt_path = formats::sidecar_path(raw);
    {
        const std::string raw_name = name + formats::dem_raster_suffix(final_width);
        Dataset vrt = raw_band(raw_name, rows, cols, final_width == 2 ? GDT_UInt16 : GDT_Int32, vrt_path);
        if (!vrt) return failure("cannot write " + vrt_path + ": " + tools::gdal_error("no VRT driver"));
        GDALRasterBand *vb = vrt->GetRasterBand(1);
        vb->SetScale(1.0 / (sample_divisor * scale.k));
        vb->SetOffset(0);
        vb->SetUnitType("m");
        vrt->SetMetadataItem("TOLMAR_PIXEL_SIZE", std::to_string(scale.pix).c_str());
        vrt->SetMetadataItem("TOLMAR_SCALE", std::to_string(scale.k).c_str());
        if (s.georeferenced) vrt->SetGeoTransform(s.gt);
        if (!s.srs.IsEmpty()) vrt->SetSpatialRef(&s.srs);
    }
    const std::string filled = formats::filled_path(raw);
    unlink(filled.c_str());
    if (nodata > 0) {
        GDALDriver *gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
        CPLStringList options;
        options.AddNameValue("COMPRESS", "DEFLATE");
        options.AddNameValue("TILED", "YES");
        Dataset f(gtiff->Create(filled.c_str(), cols, rows, 1, GDT_Byte, options.List()));
        if (!f) return failure("cannot write " + filled + ": " + tools::gdal_error("write error"));
        if (s.georeferenced) f->SetGeoTransform(s.gt);
        if (!s.srs.IsEmpty()) f->SetSpatialRef(&s.srs);
        f->GetRasterBand(1)->SetDescription("1: a nodata cell filled by interpolation");
        rewind(valid.f);
        std::vector<uint8_t> row(static_cast<size_t>(cols));
        for (int y = 0; y < rows; y++) {
            if (fread(row.data(), 1, row.size(), valid.f) != row.size()) return failure("cannot read back " + valid.path);
            for (uint8_t &c : row) c = c ? 0 : 1;
            if (f->GetRasterBand(1)->RasterIO(GF_Write, 0, y, cols, 1, row.data(), cols, 1, GDT_Byte, 0, 0) != CE_None)
                return failure("cannot write " + filled + ": " + tools::gdal_error("write error"));
        }
    }

    // What tolmar's dialogue will ask.
    static const char *const units[] = {"metres", "decimetres", "centimetres", "millimetres"};
    printf("\nimages/%s/%s: %d lines x %d columns, %s samples in %s (%lld to %lld)\n", folder.c_str(),
           (name + formats::dem_raster_suffix(final_width)).c_str(), rows, cols, final_width == 2 ? "16-bit" : "32-bit",
           units[unit_answer], static_cast<long long>(lo), static_cast<long long>(hi));
    if (!s.note.empty()) printf("  %s\n", s.note.c_str());
    if (scale.k != 1)
        printf("  cells of %s m: elevations and the pixel size are stored %d times larger (pixel size %d), which\n"
               "  leaves every trace as it is; a dip is an angle and is answered as measured\n",
               metres(p).c_str(), scale.k, scale.pix);
    if (nodata > 0)
        printf("  %lld nodata cells filled by GDAL's interpolation, marked in %s: traces over them are\n"
               "  left out or marked by the companions\n", nodata, filled.c_str());
    printf("  georeference for GIS and the companions: %s\n", vrt_path.c_str());
    printf("\nAnswers for tolmar: folder %s, DEM name %s, type %d (%s), unit %d (%s); the pixel size %d is\n"
           "in the descriptor.\n",
           folder.c_str(), name.c_str(), final_width == 2 ? 0 : 1, final_width == 2 ? "16 bits" : "32 bits", unit_answer,
           units[unit_answer], scale.pix);
    return 0;
}
