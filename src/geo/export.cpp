// export.cpp: the traces of a result set for a GIS: GeoJSON lines, CSV
// points, a GeoPackage of the traces and the reference points, or the coded
// raster as a georeferenced VRT with the preview's colours; placed on the
// map through the DEM's sidecar or a given origin.
#include "geo/export.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <ogr_spatialref.h>
#include <cpl_string.h>
#include <cpl_vsi.h>

#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "geo/chain.h"
#include "geo/layers.h"
#include "geo/georef.h"
#include "picture/picture.h"

namespace tools {

namespace {

using tolmar::Listener;
using tolmar::Status;

Status failure(const std::string &subject, const std::string &what) { return Status::failed(subject, what); }

// The shortest text that reads back as the same double.
std::string num(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

nlohmann::json point(const Place &p, const Cell &c) {
    double x, y;
    p.at(c, x, y);
    return {x, y};
}

// A code's cells but those over ground filled in place of nodata, which
// are counted in `over_filled`.
std::vector<Cell> on_real_ground(const std::vector<Cell> &cells, const std::vector<uint8_t> &filled, int cols,
                                 long long &over_filled) {
    std::vector<Cell> real;
    for (const Cell &c : cells) {
        if (!filled.empty() && filled[static_cast<size_t>(c.i) * static_cast<size_t>(cols) + static_cast<size_t>(c.j)]) over_filled++;
        else real.push_back(c);
    }
    return real;
}

nlohmann::ordered_json geojson_of(const ResultSet &r, const std::vector<std::vector<Cell>> &by_code,
                               const std::vector<uint8_t> &filled, const Place &p, const std::string &name) {
    nlohmann::ordered_json out;
    out["type"] = "FeatureCollection";
    out["name"] = name;
    if (!p.crs.empty() && !p.to_lonlat)
        out["crs"] = {{"type", "name"}, {"properties", {{"name", "urn:ogc:def:crs:EPSG::" + p.crs.substr(5)}}}};
    out["tolmar_coordinates"] = p.how;
    if (r.geometry == Geometry::exact) out["tolmar_geometry"] = geometry_name(r.geometry);
    out["features"] = nlohmann::json::array();
    for (const formats::Record &rec : r.records) {
        long long over_filled = 0;
        const std::vector<Cell> real = on_real_ground(by_code[static_cast<size_t>(rec.code)], filled, r.cols, over_filled);
        nlohmann::json lines = nlohmann::json::array();
        for (const Line &line : chain(real)) {
            nlohmann::json coords = nlohmann::json::array();
            for (const Cell &c : line) coords.push_back(point(p, c));
            // A line needs two positions: a lone cell is a line of length zero.
            if (line.size() == 1) coords.push_back(point(p, line[0]));
            lines.push_back(coords);
        }
        const Values &v = rec.values;
        double rx, ry;
        p.at({v.row, v.column}, rx, ry);
        nlohmann::ordered_json props = {{"code", rec.code},   {"row", v.row}, {"column", v.column},
                                        {"ref_x", rx},        {"ref_y", ry},   {"dip", v.dip},
                                        {"dip_direction", v.dip_direction}, {"zone", v.zone}};
        if (!filled.empty()) props["cells_over_filled_ground"] = over_filled;
        out["features"].push_back({{"type", "Feature"}, {"properties", props},
                                   {"geometry", {{"type", "MultiLineString"}, {"coordinates", lines}}}});
    }
    return out;
}

std::string csv_of(const std::vector<std::vector<Cell>> &by_code, const std::vector<uint8_t> &filled, int cols,
                const Place &p) {
    std::string out = filled.empty() ? "code,row,column,x,y\n" : "code,row,column,x,y,filled\n";
    for (int code = 1; code <= formats::MAX_CODES; code++)
        for (const Cell &c : by_code[static_cast<size_t>(code)]) {
            double x, y;
            p.at(c, x, y);
            out += std::to_string(code) + "," + std::to_string(c.i) + "," + std::to_string(c.j) + "," + num(x) + "," + num(y);
            if (!filled.empty())
                out += filled[static_cast<size_t>(c.i) * static_cast<size_t>(cols) + static_cast<size_t>(c.j)] ? ",1" : ",0";
            out += "\n";
        }
    return out;
}

struct CloseDataset {
    void operator()(GDALDataset *d) const { GDALClose(GDALDataset::ToHandle(d)); }
};

bool write_result_vrt(const std::string &out_vrt, const std::string &result_raw, int rows, int cols,
                      uint8_t background, const Georef &g, Geometry geometry, std::string &err) {
    geo::use_gdal();
    GDALDriver *vrt = GetGDALDriverManager()->GetDriverByName("VRT");
    std::unique_ptr<GDALDataset, CloseDataset> d(vrt != nullptr ? vrt->Create(out_vrt.c_str(), cols, rows, 0, GDT_Byte, nullptr) : nullptr);
    if (!d) {
        err = "cannot write " + out_vrt + ": " + geo::gdal_error("the VRT driver is missing");
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
        err = "cannot write " + out_vrt + ": " + geo::gdal_error("cannot add the band");
        return false;
    }
    GDALRasterBand *band = d->GetRasterBand(1);
    band->SetNoDataValue(background);
    band->SetDescription(geometry == Geometry::exact ? "tolmar trace codes (true geometry)" : "tolmar trace codes");
    GDALColorTable table;
    for (int code = 0; code < 256; code++) {
        GDALColorEntry c = {0, 0, 0, 0};
        if (code >= 1 && code <= formats::MAX_CODES) {
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
    GDALClose(GDALDataset::ToHandle(d.release()));
    if (CPLGetLastErrorType() == CE_Failure) {
        err = "cannot write " + out_vrt + ": " + geo::gdal_error("write error");
        return false;
    }
    return true;
}

// The traces and the reference points as two layers of a GeoPackage, with
// the fields and coordinates of the GeoJSON.
bool write_gpkg(const std::string &path, const ResultSet &r, const std::vector<std::vector<Cell>> &by_code,
                const std::vector<uint8_t> &filled, const Place &p, std::string &err) {
    VectorFile f;
    if (!f.create(path, err)) return false;
    OGRLayer *traces = f.layer("traces", wkbMultiLineString, p, err);
    OGRLayer *points = traces != nullptr ? f.layer("reference_points", wkbPoint, p, err) : nullptr;
    if (points == nullptr) return false;
    for (OGRLayer *l : {traces, points}) {
        for (const char *name : {"code", "row", "column", "dip", "dip_direction", "zone"}) {
            OGRFieldDefn d(name, OFTInteger);
            l->CreateField(&d);
        }
        for (const char *name : {"ref_x", "ref_y"}) {
            OGRFieldDefn d(name, OFTReal);
            l->CreateField(&d);
        }
        OGRFieldDefn cells("cells", OFTInteger);
        l->CreateField(&cells);
        if (!filled.empty()) {
            OGRFieldDefn over("cells_over_filled_ground", OFTInteger);
            l->CreateField(&over);
        }
    }
    f.begin();
    for (const formats::Record &rec : r.records) {
        long long over_filled = 0;
        const std::vector<Cell> real = on_real_ground(by_code[static_cast<size_t>(rec.code)], filled, r.cols, over_filled);
        const Values &v = rec.values;
        double rx, ry;
        p.at({v.row, v.column}, rx, ry);
        for (OGRLayer *l : {traces, points}) {
            OGRFeature feature(l->GetLayerDefn());
            feature.SetField("code", rec.code);
            feature.SetField("row", v.row);
            feature.SetField("column", v.column);
            feature.SetField("dip", v.dip);
            feature.SetField("dip_direction", v.dip_direction);
            feature.SetField("zone", v.zone);
            feature.SetField("ref_x", rx);
            feature.SetField("ref_y", ry);
            feature.SetField("cells", static_cast<GIntBig>(by_code[static_cast<size_t>(rec.code)].size()));
            if (!filled.empty()) feature.SetField("cells_over_filled_ground", static_cast<GIntBig>(over_filled));
            if (l == traces) {
                if (std::unique_ptr<OGRGeometry> g = trace_lines(real, p)) feature.SetGeometry(g.get());
            } else {
                OGRPoint at(rx, ry);
                feature.SetGeometry(&at);
            }
            if (l->CreateFeature(&feature) != OGRERR_NONE) {
                err = "cannot write " + path + ": " + geo::gdal_error("cannot add a feature");
                return false;
            }
        }
    }
    return f.commit(err) && f.close(err);
}

// One member a line, one feature a line.
std::string geojson_text(const nlohmann::ordered_json &j) {
    std::string text = "{\n";
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (it.key() == "features") continue;
        text += nlohmann::json(it.key()).dump() + ": " + it.value().dump() + ",\n";
    }
    text += "\"features\": [\n";
    for (size_t k = 0; k < j["features"].size(); k++)
        text += j["features"][k].dump() + (k + 1 < j["features"].size() ? ",\n" : "\n");
    return text + "]\n}\n";
}

// Where the cells go: the given origin, the DEM's georeference, or cells.
Status place_cells(const ExportRequest &q, const ResultSet &r, const DemSet &dem, Place &place, const Listener &l) {
    // A DEM's own georeference is not replaced by hand: the traces would
    // land elsewhere than the DEM.
    if (q.origin && dem.georef.known)
        return Status::misused("--origin", "--origin: " + dem.raster + " carries its own georeference (" +
                                          (dem.georef.crs.empty() ? "in " + formats::sidecar_path(dem.raster) : dem.georef.crs) +
                                          "), with which the traces are placed; --origin places those of a DEM without one");
    if (q.origin) {
        if (r.pix_size <= 0)
            return failure(formats::descriptor_path(q.raster), formats::descriptor_path(q.raster) + " gives pixel size " + std::to_string(r.pix_size) +
                           ": map coordinates need one above 0");
        place.g.known = true;
        const double gt[6] = {q.x0, static_cast<double>(r.pix_size), 0, q.y0, 0, -static_cast<double>(r.pix_size)};
        std::copy(gt, gt + 6, place.g.gt);
        place.crs = q.crs;
        if (!q.crs.empty()) {
            OGRSpatialReference srs;
            if (srs.SetFromUserInput(q.crs.c_str()) != OGRERR_NONE)
                return Status::misused("--crs", "--crs " + q.crs + " is not a system GDAL knows");
            char *wkt = nullptr;
            srs.exportToWkt(&wkt);
            place.g.wkt = wkt;
            CPLFree(wkt);
        }
        place.how = "map: x = " + num(q.x0) + " + (column + 0.5) * " + std::to_string(r.pix_size) + ", y = " +
                    num(q.y0) + " - (row + 0.5) * " + std::to_string(r.pix_size);
    } else if (dem.georef.known) {
        const std::string sidecar = formats::sidecar_path(dem.raster);
        // A DEM's own system is not relabelled: --crs is for an origin given.
        if (!q.crs.empty())
            return Status::misused("--crs", "--crs " + q.crs + ": " + dem.raster + " carries its own georeference (" +
                                              (dem.georef.crs.empty() ? std::string("in ") + sidecar : dem.georef.crs) +
                                              "); --crs names the system of an --origin given by hand");
        std::string err;
        if (!place_on(dem.georef, q.format == "geojson", place, err))
            return failure(sidecar, "cannot turn the coordinates of " + sidecar + " into longitude and latitude");
        place.how = "map, from the georeference of " + sidecar + ": cell centres" + (place.to_lonlat ? place.how : "");
        if (place.to_lonlat)
            l.note(sidecar + " has no EPSG code: the GeoJSON is in WGS 84 longitude and latitude");
    } else if (!q.crs.empty()) {
        return Status::misused("--crs", "--crs " + q.crs + " names the system of map coordinates, but without --origin X Y the "
                                "coordinates are cells: give the origin too");
    } else {
        place.how = "cell units, no origin given: x = column + 0.5, y = -(row + 0.5)";
        l.note("no --origin: coordinates are in cells, x = column + 0.5, y = -(row + 0.5)");
    }
    return Status();
}

Status write_text(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) return failure(path, "cannot write " + path);
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    if (!ok) return failure(path, "cannot write " + path);
    return Status();
}

}  // namespace

Status run_export(ExportRequest q, const Listener &l) {
    // Either file of the set may be named.
    if (formats::ends_with(q.raster, formats::RESULT_LOG_SUFFIX)) q.raster = formats::raster_path(q.raster);
    std::string err;
    ResultSet r;
    if (!read_result_set(q.raster, r, err)) return failure(q.raster, err);
    const std::vector<std::vector<Cell>> by_code = cells_by_code(r.cells, r.rows, r.cols);
    for (size_t code = r.records.size() + 1; code <= static_cast<size_t>(formats::MAX_CODES); code++)
        if (!by_code[code].empty())
            return failure(q.raster, q.raster + ": cells hold code " + std::to_string(code) + ", which has no record in " +
                           formats::descriptor_path(q.raster));

    // The DEM: named, or the one beside the result when there is exactly one.
    std::string dem_path = q.dem;
    if (dem_path.empty()) {
        std::string quiet;
        dem_path = geo::dem_beside(q.raster, r.rows, r.cols, quiet);
    }
    DemSet dem;
    dem.raster = dem_path;
    if (!dem_path.empty() && (!geo::read_georef(dem_path, r.rows, r.cols, dem.georef, err) ||
                              !geo::read_filled(dem_path, r.rows, r.cols, dem.filled, err)))
        return failure(dem_path, err);
    Place place;
    if (const Status placed = place_cells(q, r, dem, place, l); !placed.ok()) return placed;
    if (!dem.filled.empty())
        l.note(std::string("trace cells over ground filled in place of nodata are ") +
               (q.format == "geojson" ? "left out of the lines and counted" : "flagged"));

    if (q.format == "vrt") {
        if (!place.g.known)
            return failure(q.raster, "no georeference: give --origin X Y (and --crs), or import the DEM with tolmar-import");
        const std::string out = q.out_path.empty() ? formats::sidecar_path(q.raster) : q.out_path;
        if (!write_result_vrt(out, q.raster, r.rows, r.cols, r.background(), place.g, r.geometry, err)) return failure(out, err);
        return Status();
    }
    if (q.format == "gpkg") {
        // A GeoPackage under another name would be half written and refused by
        // its driver: the name is checked before anything is written.
        if (q.bytes == nullptr && !q.out_path.empty() && vector_driver(q.out_path) != "GPKG")
            return Status::misused("-o", "a GeoPackage is written to a file named .gpkg, not " + q.out_path +
                                             " (or choose the format that name asks for)");
        std::string out = q.out_path;
        if (out.empty()) out = formats::sidecar_path(q.raster).substr(0, formats::sidecar_path(q.raster).size() - 4) + ".gpkg";
        // Asked for its bytes: written in GDAL's memory file system, never on disk.
        if (q.bytes != nullptr) out = "/vsimem/tolmar-export-" + std::to_string(reinterpret_cast<uintptr_t>(q.bytes)) + ".gpkg";
        if (!write_gpkg(out, r, by_code, dem.filled, place, err)) {
            // What was begun is not left behind as if it were the layers.
            if (q.bytes != nullptr) VSIUnlink(out.c_str());
            else std::remove(out.c_str());
            return failure(q.bytes != nullptr ? std::string() : out, err);
        }
        if (q.bytes != nullptr) {
            vsi_l_offset size = 0;
            GByte *data = VSIGetMemFileBuffer(out.c_str(), &size, TRUE);
            if (data == nullptr) return failure("", "the GeoPackage was not written");
            q.bytes->assign(reinterpret_cast<const char *>(data), static_cast<size_t>(size));
            CPLFree(data);
        }
        return Status();
    }
    std::string name = formats::name_of(q.raster);
    if (formats::ends_with(name, ".raw")) name.resize(name.size() - 4);
    const std::string text = q.format == "csv" ? csv_of(by_code, dem.filled, r.cols, place)
                                               : geojson_text(geojson_of(r, by_code, dem.filled, place, name));
    if (q.bytes != nullptr) {
        *q.bytes = text;
        return Status();
    }
    return write_text(q.out_path, text);
}

}  // namespace tools
