// georef.cpp: the GDAL side of a DEM file set: sidecars read and written.
#include "geo/georef.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "files/formats.h"

namespace geo {

namespace {

// The keys tolmar-import writes into a sidecar's metadata.
const char KEY_PIXEL_SIZE[] = "TOLMAR_PIXEL_SIZE";
const char KEY_SCALE[] = "TOLMAR_SCALE";

}  // namespace

namespace {

struct CloseDataset {
    void operator()(GDALDataset *d) const { GDALClose(d); }
};
using Dataset = std::unique_ptr<GDALDataset, CloseDataset>;

Dataset open_raster(const std::string &path) {
    return Dataset(static_cast<GDALDataset *>(GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr)));
}

bool exists(const std::string &path) {
    VSIStatBufL st;
    return VSIStatL(path.c_str(), &st) == 0;
}

}  // namespace

void use_gdal() {
    static bool ready = false;
    if (ready) return;
    ready = true;
    GDALAllRegister();
    CPLSetErrorHandler(CPLQuietErrorHandler);
    // Reading goes by blocks: GDAL's own cache need not hold more than a few.
    if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr) GDALSetCacheMax64(64LL << 20);
}

std::string gdal_error(const std::string &fallback) {
    const char *msg = CPLGetLastErrorMsg();
    return msg != nullptr && *msg ? std::string(msg) : fallback;
}

bool read_georef(const std::string &dem_raw, int rows, int cols, Georef &g, std::string &err) {
    use_gdal();
    g = Georef();
    const std::string vrt = formats::sidecar_path(dem_raw);
    if (!exists(vrt)) return true;
    Dataset d = open_raster(vrt);
    if (!d) {
        err = "cannot read " + vrt + ": " + gdal_error("not a raster GDAL reads");
        return false;
    }
    if (d->GetRasterYSize() != rows || d->GetRasterXSize() != cols) {
        err = vrt + " describes " + std::to_string(d->GetRasterYSize()) + " x " + std::to_string(d->GetRasterXSize()) +
              " cells, the DEM " + std::to_string(rows) + " x " + std::to_string(cols);
        return false;
    }
    if (d->GetGeoTransform(g.gt) != CE_None) return true;
    g.known = true;
    if (const OGRSpatialReference *srs = d->GetSpatialRef()) {
        char *wkt = nullptr;
        srs->exportToWkt(&wkt);
        g.wkt = wkt != nullptr ? wkt : "";
        CPLFree(wkt);
        OGRSpatialReference copy(*srs);
        if (copy.GetAuthorityCode(nullptr) == nullptr) copy.AutoIdentifyEPSG();
        const char *name = copy.GetAuthorityName(nullptr), *code = copy.GetAuthorityCode(nullptr);
        if (name != nullptr && code != nullptr && EQUAL(name, "EPSG")) g.crs = std::string("EPSG:") + code;
    }
    return true;
}

void read_import_scale(const std::string &dem_raw, int &unit, double &k) {
    unit = -1;
    k = 1;
    std::string text, why;
    if (!formats::read_file(formats::sidecar_path(dem_raw), text, why, 1 << 20)) return;
    unit = formats::sidecar_unit(text, &k);
}

bool read_filled(const std::string &dem_raw, int rows, int cols, std::vector<uint8_t> &filled, std::string &err) {
    use_gdal();
    filled.clear();
    const std::string path = formats::filled_path(dem_raw);
    if (!exists(path)) return true;
    Dataset d = open_raster(path);
    if (!d || d->GetRasterYSize() != rows || d->GetRasterXSize() != cols || d->GetRasterCount() < 1) {
        err = "cannot read " + path + " as a mask of " + std::to_string(rows) + " x " + std::to_string(cols) + " cells";
        return false;
    }
    filled.resize(static_cast<size_t>(rows) * static_cast<size_t>(cols));
    if (d->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, cols, rows, filled.data(), cols, rows, GDT_Byte, 0, 0) != CE_None) {
        err = "cannot read " + path + ": " + gdal_error("read error");
        filled.clear();
        return false;
    }
    return true;
}

std::string dem_beside(const std::string &result_raw, int rows, int cols, std::string &err) {
    const size_t slash = result_raw.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : result_raw.substr(0, slash);
    const std::string prefix = slash == std::string::npos ? "" : folder + "/";
    std::string name = result_raw.substr(slash == std::string::npos ? 0 : slash + 1);
    if (formats::ends_with(name, formats::RESULT_RASTER_SUFFIX))
        name.resize(name.size() - std::string(formats::RESULT_RASTER_SUFFIX).size());
    std::vector<std::string> fit, own, georeferenced;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *e = readdir(dir)) {
            const std::string raw = prefix + e->d_name;
            if (formats::dem_width_of_name(raw) == 0) continue;
            std::string text, why;
            if (!formats::read_file(formats::descriptor_path(raw), text, why, 1 << 16)) continue;
            const formats::Descriptor d = formats::parse_descriptor(text);
            if (d.count < 2 || d.field[0] != rows || d.field[1] != cols) continue;
            fit.push_back(raw);
            if (std::string(e->d_name).rfind(name + "_m", 0) == 0) own.push_back(raw);
            if (exists(formats::sidecar_path(raw))) georeferenced.push_back(raw);
        }
        closedir(dir);
    }
    for (const std::vector<std::string> *choice : {&own, &georeferenced, &fit})
        if (choice->size() == 1) return choice->front();
    err = fit.empty() ? "no DEM of " + std::to_string(rows) + " x " + std::to_string(cols) + " cells beside " + result_raw
                      : "several DEMs of the result's size beside " + result_raw + ": give --dem";
    return "";
}

GDALDataset *raw_vrt(const std::string &raw, int rows, int cols, int type, const std::string &vrt_path) {
    use_gdal();
    GDALDriver *vrt = GetGDALDriverManager()->GetDriverByName("VRT");
    const GDALDataType t = static_cast<GDALDataType>(type);
    Dataset d(vrt != nullptr ? vrt->Create(vrt_path.c_str(), cols, rows, 0, t, nullptr) : nullptr);
    if (!d) return nullptr;
    const int size = GDALGetDataTypeSizeBytes(t);
    CPLStringList options;
    options.AddNameValue("subclass", "VRTRawRasterBand");
    options.AddNameValue("SourceFilename", raw.c_str());
    options.AddNameValue("RelativeToVRT", vrt_path.empty() ? "0" : "1");
    options.AddNameValue("ByteOrder", "LSB");
    options.AddNameValue("ImageOffset", "0");
    options.AddNameValue("PixelOffset", std::to_string(size).c_str());
    options.AddNameValue("LineOffset", std::to_string(static_cast<long long>(size) * cols).c_str());
    if (d->AddBand(t, options.List()) != CE_None) return nullptr;
    return d.release();
}

bool write_sidecar(const std::string &dem_raw, int rows, int cols, int width, int unit, int k, int pix_size,
                   const double *gt, const OGRSpatialReference *srs, std::string &err) {
    const std::string vrt_path = formats::sidecar_path(dem_raw);
    Dataset vrt(raw_vrt(formats::name_of(dem_raw), rows, cols, width == 2 ? GDT_UInt16 : GDT_Int32, vrt_path));
    if (!vrt) {
        err = "cannot write " + vrt_path + ": " + gdal_error("no VRT driver");
        return false;
    }
    GDALRasterBand *band = vrt->GetRasterBand(1);
    band->SetScale(1.0 / (formats::unit_divisor(unit) * k));
    band->SetOffset(0);
    band->SetUnitType("m");
    vrt->SetMetadataItem(KEY_PIXEL_SIZE, std::to_string(pix_size).c_str());
    vrt->SetMetadataItem(KEY_SCALE, std::to_string(k).c_str());
    if (gt != nullptr) {
        double copy[6];
        std::copy(gt, gt + 6, copy);
        vrt->SetGeoTransform(copy);
    }
    if (srs != nullptr && !srs->IsEmpty()) vrt->SetSpatialRef(srs);
    CPLErrorReset();
    GDALClose(vrt.release());
    if (CPLGetLastErrorType() == CE_Failure) {
        err = "cannot write " + vrt_path + ": " + gdal_error("write error");
        return false;
    }
    return true;
}

bool open_dem_set(const std::string &named, DemSet &d, std::string &err, bool map) {
    // A DEM named by its sidecar, as a GIS shows it, is its raster.
    const std::string raw_path = formats::dem_raster_named(named);
    if (!read_dem_files(raw_path, d, err, map)) return false;
    if (!read_georef(raw_path, d.rows(), d.cols(), d.georef, err) || !read_filled(raw_path, d.rows(), d.cols(), d.filled, err))
        return false;
    read_import_scale(raw_path, d.unit, d.k);
    return true;
}

}  // namespace geo
