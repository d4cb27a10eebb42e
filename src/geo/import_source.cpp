// import_source.cpp: the source of tolmar-import as tolmar needs it: one
// band of a raster GDAL reads, north up, square cells, in metres; a source
// in degrees, turned or with oblong cells goes through GDAL's warper first.
#include "geo/import_source.h"

#include <cpl_string.h>
#include <gdal_utils.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>

#include "geo/georef.h"

namespace tools {

std::string metres(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

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

namespace {

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
        err = "GDAL's warper failed: " + geo::gdal_error("no reason given");
        return false;
    }
    out.own.reset(GDALDataset::FromHandle(warped));
    out.d = out.own.get();
    out.d->GetGeoTransform(out.gt);
    return true;
}

}  // namespace

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

}  // namespace tools
