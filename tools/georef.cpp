// georef.cpp: the GDAL side of the companions: sidecars read and written.
#include "georef.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "formats.h"
#include "picture.h"

namespace tools {

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
    use_gdal();
    unit = -1;
    k = 1;
    const std::string vrt = formats::sidecar_path(dem_raw);
    if (!exists(vrt)) return;
    Dataset d = open_raster(vrt);
    if (!d || d->GetRasterCount() < 1) return;
    const char *factor = d->GetMetadataItem("TOLMAR_SCALE");
    if (factor == nullptr) return;
    k = std::max(1.0, atof(factor));
    int has = 0;
    const double scale = d->GetRasterBand(1)->GetScale(&has);
    if (!has || scale <= 0) return;
    // The band's scale gives metres back: 1 / (unit divisor x k).
    const double divisor = 1.0 / (scale * k);
    for (int a = 0; a < 4; a++)
        if (std::fabs(divisor - std::pow(10.0, a)) < 1e-6 * divisor) unit = a;
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

bool write_result_vrt(const std::string &out_vrt, const std::string &result_raw, int rows, int cols,
                      uint8_t background, const Georef &g, std::string &err) {
    use_gdal();
    GDALDriver *vrt = GetGDALDriverManager()->GetDriverByName("VRT");
    Dataset d(vrt != nullptr ? vrt->Create(out_vrt.c_str(), cols, rows, 0, GDT_Byte, nullptr) : nullptr);
    if (!d) {
        err = "cannot write " + out_vrt + ": " + gdal_error("the VRT driver is missing");
        return false;
    }
    // The raster is named relative to the VRT when both lie in one folder.
    const size_t a = out_vrt.find_last_of('/'), b = result_raw.find_last_of('/');
    const bool same_folder = out_vrt.substr(0, a == std::string::npos ? 0 : a) == result_raw.substr(0, b == std::string::npos ? 0 : b);
    const std::string source = same_folder ? result_raw.substr(b == std::string::npos ? 0 : b + 1) : result_raw;
    CPLStringList options;
    options.AddNameValue("subclass", "VRTRawRasterBand");
    options.AddNameValue("SourceFilename", source.c_str());
    options.AddNameValue("RelativeToVRT", same_folder ? "1" : "0");
    options.AddNameValue("ImageOffset", "0");
    options.AddNameValue("PixelOffset", "1");
    options.AddNameValue("LineOffset", std::to_string(cols).c_str());
    if (d->AddBand(GDT_Byte, options.List()) != CE_None) {
        err = "cannot write " + out_vrt + ": " + gdal_error("cannot add the band");
        return false;
    }
    GDALRasterBand *band = d->GetRasterBand(1);
    band->SetNoDataValue(background);
    band->SetDescription("tolmar trace codes");
    GDALColorTable table;
    for (int code = 0; code < 256; code++) {
        GDALColorEntry c = {0, 0, 0, 0};
        if (code >= 1 && code <= 250) {
            const Rgb rgb = code_colour(code);
            c = {rgb.r, rgb.g, rgb.b, 255};
        }
        table.SetColorEntry(code, &c);
    }
    band->SetColorTable(&table);
    band->SetColorInterpretation(GCI_PaletteIndex);
    if (g.known) {
        double gt[6];
        std::copy(g.gt, g.gt + 6, gt);
        d->SetGeoTransform(gt);
        if (!g.wkt.empty()) d->SetProjection(g.wkt.c_str());
    }
    CPLErrorReset();
    GDALClose(d.release());
    if (CPLGetLastErrorType() == CE_Failure) {
        err = "cannot write " + out_vrt + ": " + gdal_error("write error");
        return false;
    }
    return true;
}

}  // namespace tools
