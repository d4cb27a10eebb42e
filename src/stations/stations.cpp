// stations.cpp: a table of field stations traced on a DEM. Each station is
// one treatment, stamped through the session core in the table's order,
// exactly as the dialogue stamps the same answers; the stamped ones fill
// result sets of 250, and every station, traced or not, is a feature of the
// trace layer with its own columns, its code, its cells and its status.
#include "stations/stations.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/helper_thread.h"
#include "files/formats.h"
#include "geo/georef.h"
#include "geo/layers.h"
#include "session/session.h"

namespace tools {

namespace {

using tolmar::Listener;
using tolmar::Status;

const char TOOL[] = "tolmar-stations";  // the writer named in a set's lock

Status failure(const std::string &subject, const std::string &what) { return Status::failed(subject, what); }

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// The columns a table's stations are read from (-1: none).
struct Columns {
    int dip = -1, dip_direction = -1, strike = -1, zone = -1, x = -1, y = -1, row = -1, column = -1, id = -1;
};

// The field named `given` (which must exist), or the first whose name is
// one of `common` whatever its case; -1 for none.
int field_of(OGRFeatureDefn *d, const std::string &given, std::initializer_list<const char *> common, std::string &err) {
    if (!given.empty()) {
        for (int k = 0; k < d->GetFieldCount(); k++)
            if (d->GetFieldDefn(k)->GetNameRef() == given) return k;
        err = "the table has no column " + given;
        return -1;
    }
    for (const char *name : common)
        for (int k = 0; k < d->GetFieldCount(); k++)
            if (lower(d->GetFieldDefn(k)->GetNameRef()) == name) return k;
    return -1;
}

bool find_columns(OGRFeatureDefn *d, const StationsRequest &q, Columns &c, std::string &err) {
    c.dip = field_of(d, q.dip, {"dip", "dip_angle", "dipangle", "dip_deg", "inclination"}, err);
    c.dip_direction = field_of(d, q.dip_direction,
                               {"dip_direction", "dipdirection", "dip_dir", "dipdir", "dip_azimuth", "dipazimuth", "dipaz", "dd", "azimuth"}, err);
    c.strike = q.dip_direction.empty() ? field_of(d, q.strike, {"strike", "strike_rhr", "strike_deg"}, err) : -1;
    c.zone = q.zone > 0 ? -1 : field_of(d, q.zone_column, {"zone", "influence_zone", "infl", "zone_cells"}, err);
    c.x = field_of(d, q.x, {"x", "easting", "east", "lon", "long", "longitude"}, err);
    c.y = field_of(d, q.y, {"y", "northing", "north", "lat", "latitude"}, err);
    c.row = field_of(d, q.row, {"row", "line", "i"}, err);
    c.column = field_of(d, q.column, {"column", "col", "j"}, err);
    c.id = field_of(d, q.id, {"id", "station", "name", "site"}, err);
    if (!err.empty()) return false;
    if (c.dip < 0) err = "no dip column (named dip, dip_angle, ...): name it with --dip";
    else if (c.dip_direction < 0 && c.strike < 0)
        err = "no dip direction column (dip_direction, dipdir, azimuth, ...) and no strike column: name one with "
              "--dip-direction or --strike";
    else if (q.zone == 0 && c.zone < 0) err = "no zone column (zone, influence_zone, ...): give --zone N or --zone-column";
    return err.empty();
}

// A station's number in `field`; false when it holds none.
bool number(OGRFeature &f, int field, double &v) {
    if (field < 0 || !f.IsFieldSetAndNotNull(field)) return false;
    if (f.GetFieldDefnRef(field)->GetType() == OFTString) {
        const char *s = f.GetFieldAsString(field);
        char *end = nullptr;
        v = strtod(s, &end);
        while (end != nullptr && *end == ' ') end++;
        if (end == s || *end != '\0') return false;
    } else {
        v = f.GetFieldAsDouble(field);
    }
    return std::isfinite(v);
}

// Half away from zero, as a whole number of degrees or cells.
long long whole(double v) { return static_cast<long long>(v < 0 ? std::ceil(v - 0.5) : std::floor(v + 0.5)); }

// The result sets of 250 stamps each: NAME, then NAME_2, NAME_3, ...
class Sets {
public:
    Sets(const std::string &folder, const std::string &name, const DemSet &dem, const Terrain &terrain, int pix_size,
         const StationsRequest &q, const Listener &l)
        : folder_(folder), name_(name), dem_(dem), terrain_(terrain), pix_size_(pix_size), q_(q), l_(l) {}
    ~Sets() { session_.discard(); }
    // The set being filled, if it got no stamp, removed with its temporaries.
    void discard() {
        session_.discard();
        open_ = false;
    }
    // The set of the stamp `stamps` (counted from 0) open: the k-th set holds
    // stamps 250 k to 250 k + 249; a set a kill left is carried on, the
    // others made new.
    bool ready(long long stamps, std::string &err) {
        const size_t k = static_cast<size_t>(stamps / formats::MAX_CODES);
        while (!open_ || names_.size() - 1 < k)
            if ((open_ && !close(err)) || !open_next(err)) return false;
        return names_.size() - 1 == k;
    }
    bool open_next(std::string &err) {
        const std::string name = current_name(static_cast<int>(names_.size()));
        std::string repaired;
        const std::string raster = folder_ + name + formats::RESULT_RASTER_SUFFIX, log = folder_ + name + formats::RESULT_LOG_SUFFIX;
        if (q_.resume && access(log.c_str(), F_OK) == 0) {
            // A set of the run a kill ended, recovered and carried on.
            session_.batch(true);
            if (!session_.open(raster, log, TOOL, repaired, err, &terrain_) ||
                !session_.carry_on(dem_.rows(), dem_.cols(), pix_size_, err))
                return false;
            if (session_.geometry() != q_.geometry) {
                err = raster + " was traced in " + geometry_name(session_.geometry()) + " geometry: resume with --geometry " +
                      geometry_name(session_.geometry());
                session_.discard();
                return false;
            }
            if (!repaired.empty()) l_.say(raster + ": " + repaired + "\n", true);
            names_.push_back(name);
            open_ = true;
            return true;
        }
        // Stamps go in by groups, one flush a group (sync()).
        session_.batch(true);
        if (!session_.open(raster, log, TOOL, repaired, err, &terrain_) ||
            !session_.create(dem_.rows(), dem_.cols(), err, q_.geometry) || !session_.set_pix_size(pix_size_, err) ||
            !session_.fill(q_.black ? 0 : 255, err))
            return false;
        names_.push_back(name);
        open_ = true;
        // A set of that name from an earlier run is replaced at this set's
        // first stamp, which comes now.
        struct stat st;
        if (lstat(raster.c_str(), &st) == 0 || lstat(log.c_str(), &st) == 0)
            l_.say("the result set " + raster + " and " + log + " from an earlier run is replaced\n", true);
        return true;
    }
    // The stamps so far made durable.
    bool sync(std::string &err) { return !open_ || session_.sync(err); }
    bool close(std::string &err) {
        if (!open_) return true;
        open_ = false;
        return session_.finish(err);
    }
    ResultSession &session() { return session_; }
    const std::string &name() const { return names_.back(); }
    const std::vector<std::string> &names() const { return names_; }
    std::string current_name(int k) const { return k == 0 ? name_ : name_ + "_" + std::to_string(k + 1); }

private:
    std::string folder_, name_;
    const DemSet &dem_;
    const Terrain &terrain_;
    int pix_size_;
    const StationsRequest &q_;
    const Listener &l_;
    ResultSession session_;
    std::vector<std::string> names_;
    bool open_ = false;
};

// A compass angle as a field table writes it: degrees, or a quadrant
// bearing (N45E is 45, S30E 150, S20W 200, N10W 350). False, with `why`,
// for anything else.
bool bearing(const std::string &text, double &deg, std::string &why) {
    std::string t;
    for (char ch : text)
        if (ch != ' ') t.push_back(static_cast<char>(toupper(static_cast<unsigned char>(ch))));
    char *end = nullptr;
    deg = strtod(t.c_str(), &end);
    if (!t.empty() && end != t.c_str() && *end == '\0' && std::isfinite(deg)) return true;
    if (t.size() >= 3 && (t[0] == 'N' || t[0] == 'S') && (t.back() == 'E' || t.back() == 'W')) {
        const std::string mid = t.substr(1, t.size() - 2);
        deg = strtod(mid.c_str(), &end);
        if (!mid.empty() && end != mid.c_str() && *end == '\0' && deg >= 0 && deg <= 90) {
            const bool north = t[0] == 'N', east = t.back() == 'E';
            deg = north ? (east ? deg : 360 - deg) : (east ? 180 - deg : 180 + deg);
            if (deg >= 360) deg -= 360;
            return true;
        }
        why = "a quadrant bearing like N45E names an angle from 0 to 90 between its letters";
        return false;
    }
    why = "neither a number of degrees nor a quadrant bearing (N45E)";
    return false;
}

// A dip as a field table writes it: degrees, with or without the quadrant
// it falls towards (30SE). `towards` is the quadrant's direction, or -1.
bool dip_of(const std::string &text, double &dip, double &towards, std::string &why) {
    std::string t;
    for (char ch : text)
        if (ch != ' ') t.push_back(static_cast<char>(toupper(static_cast<unsigned char>(ch))));
    size_t k = t.size();
    while (k > 0 && std::string("NESW").find(t[k - 1]) != std::string::npos) k--;
    const std::string number = t.substr(0, k), quadrant = t.substr(k);
    char *end = nullptr;
    dip = strtod(number.c_str(), &end);
    if (number.empty() || end == number.c_str() || *end != '\0' || !std::isfinite(dip)) {
        why = "not a number of degrees";
        return false;
    }
    towards = -1;
    const std::pair<const char *, double> compass[] = {{"N", 0},   {"NE", 45},  {"E", 90},  {"SE", 135},
                                                       {"S", 180}, {"SW", 225}, {"W", 270}, {"NW", 315}};
    if (quadrant.empty()) return true;
    for (const auto &q : compass)
        if (quadrant == q.first) towards = q.second;
    if (towards < 0) why = "its letters " + quadrant + " are no quadrant (N, NE, E, SE, S, SW, W or NW)";
    return towards >= 0;
}

// A station's value as text, for the words.
std::string shown(OGRFeature &f, int field) { return formats::printable(f.GetFieldAsString(field)); }

// The attitude of a station in whole degrees, or why it has none; `told`
// gets what the reading changed (a fraction rounded, a quadrant read).
std::string attitude(OGRFeature &f, const Columns &c, Values &v, std::string &told) {
    double dip = 0, dir = 0, towards = -1;
    std::string why;
    if (!f.IsFieldSetAndNotNull(c.dip)) return "no dip";
    if (f.GetFieldDefnRef(c.dip)->GetType() == OFTString) {
        if (!dip_of(f.GetFieldAsString(c.dip), dip, towards, why)) return "dip \"" + shown(f, c.dip) + "\": " + why;
    } else {
        dip = f.GetFieldAsDouble(c.dip);
    }
    const int col = c.dip_direction >= 0 ? c.dip_direction : c.strike;
    const char *what = c.dip_direction >= 0 ? "dip direction" : "strike";
    if (!f.IsFieldSetAndNotNull(col)) return std::string("no ") + what;
    if (f.GetFieldDefnRef(col)->GetType() == OFTString) {
        if (!bearing(f.GetFieldAsString(col), dir, why)) return std::string(what) + " \"" + shown(f, col) + "\": " + why;
    } else {
        dir = f.GetFieldAsDouble(col);
    }
    if (!std::isfinite(dip)) return "dip \"" + shown(f, c.dip) + "\": not a number of degrees";
    if (!std::isfinite(dir)) return std::string(what) + " \"" + shown(f, col) + "\": not a number of degrees";
    if (c.dip_direction < 0) {
        if (dir < 0 || dir > 360) return "strike " + shown(f, c.strike) + " outside 0 to 360";
        // The right-hand rule: the dip to the right of the strike; a dip's
        // quadrant (30SE) says which side instead.
        double d = dir + 90;
        if (towards >= 0) {
            const double other = dir + 270;
            auto off = [&](double a) { return std::fabs(std::fmod(a - towards + 540, 360) - 180); };
            if (off(other) < off(d)) d = other;
            told += std::string(told.empty() ? "" : "; ") + "dip " + shown(f, c.dip) + " falls towards its quadrant: dip direction " +
                    std::to_string(static_cast<long long>(std::lround(std::fmod(d, 360))));
        }
        dir = std::fmod(d, 360);
    } else if (towards >= 0) {
        return "dip \"" + shown(f, c.dip) + "\": a quadrant where the dip direction has its own column";
    }
    if (dip < 0 || dip > 90) return "dip " + shown(f, c.dip) + " outside 0 to 90";
    if (dir < 0 || dir > 360) return "dip direction " + shown(f, c.dip_direction) + " outside 0 to 360";
    v.dip = static_cast<int>(whole(dip));
    v.dip_direction = static_cast<int>(whole(dir) % 360);
    // The dialogue takes whole degrees: a fraction is said with what is stamped.
    if (dip != std::floor(dip))
        told += std::string(told.empty() ? "" : "; ") + "dip " + shown(f, c.dip) + " is stamped as " + std::to_string(v.dip);
    if (dir != std::floor(dir) && towards < 0)
        told += std::string(told.empty() ? "" : "; ") + what + " " + shown(f, col) + " gives dip direction " + std::to_string(v.dip_direction);
    return "";
}

// A station's reference cell, or why it has none.
std::string reference_cell(OGRFeature &f, const Columns &c, const DemSet &dem, OGRCoordinateTransformation *to_dem, Values &v) {
    double x, y;
    if (c.row >= 0 && c.column >= 0) {
        if (!number(f, c.row, y) || !number(f, c.column, x)) return "no row and column";
        if (std::fabs(y) > 2e9 || std::fabs(x) > 2e9) return "outside the DEM";
        v.row = static_cast<int>(whole(y));
        v.column = static_cast<int>(whole(x));
    } else {
        if (c.x >= 0 && c.y >= 0) {
            if (!number(f, c.x, x) || !number(f, c.y, y)) return "no coordinates";
        } else {
            const OGRGeometry *g = f.GetGeometryRef();
            if (g == nullptr || wkbFlatten(g->getGeometryType()) != wkbPoint) return "no point";
            x = g->toPoint()->getX();
            y = g->toPoint()->getY();
        }
        if (to_dem != nullptr && !to_dem->Transform(1, &x, &y)) return "coordinates the DEM's system cannot hold";
        const double i = dem.georef.row(y), j = dem.georef.col(x);
        if (!(std::fabs(i) < 2e9 && std::fabs(j) < 2e9)) return "outside the DEM";
        v.row = static_cast<int>(whole(i));
        v.column = static_cast<int>(whole(j));
    }
    if (v.row < 0 || v.row >= dem.rows() || v.column < 0 || v.column >= dem.cols()) return "outside the DEM";
    return "";
}

// The output's own fields, named apart from the station's.
struct OwnFields {
    std::string code = "code", cells = "cells", status = "status", result = "result", row = "row", column = "column",
                dip_direction = "dip_direction";
};

// What tolmar adds to a station's row in the layer; the fields left unset
// stay empty.
struct Own {
    int code = 0;          // 0: none
    long long cells = -1;  // -1: none
    std::string status, result;
    bool placed = false, attitude_read = false;
    int row = 0, column = 0, dip_direction = 0;
};

// The table's layer, its columns named apart, whatever their case (a
// GeoPackage's are SQL columns): two of one name are refused by it.
Status open_table(const StationsRequest &q, std::unique_ptr<GDALDataset> &table, OGRLayer *&in) {
    geo::use_gdal();
    CPLStringList open_options;
    if (formats::ends_with(lower(q.table), ".csv")) open_options.AddNameValue("AUTODETECT_TYPE", "YES");
    table.reset(static_cast<GDALDataset *>(
        GDALOpenEx(q.table.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, open_options.List(), nullptr)));
    if (!table) return failure(q.table, "cannot read " + q.table + ": " + geo::gdal_error("not a table OGR reads"));
    in = q.layer.empty() ? table->GetLayer(0) : table->GetLayerByName(q.layer.c_str());
    if (in == nullptr) return failure(q.table, q.table + ": no layer " + (q.layer.empty() ? std::string("at all") : q.layer));
    OGRFeatureDefn *d = in->GetLayerDefn();
    for (int a = 0; a < d->GetFieldCount(); a++)
        for (int b = 0; b < a; b++)
            if (lower(d->GetFieldDefn(a)->GetNameRef()) == lower(d->GetFieldDefn(b)->GetNameRef()))
                return failure(q.table, q.table + ": two columns are named " + formats::printable(d->GetFieldDefn(b)->GetNameRef()) +
                               (std::string(d->GetFieldDefn(a)->GetNameRef()) == d->GetFieldDefn(b)->GetNameRef()
                                    ? ""
                                    : " and " + formats::printable(d->GetFieldDefn(a)->GetNameRef())) +
                               ": name them apart");
    return Status();
}

std::string column_name(OGRLayer *in, int k) { return std::string("\"") + in->GetLayerDefn()->GetFieldDefn(k)->GetNameRef() + "\""; }

// Where the stations lie: row and column, or map coordinates in the
// table's system (its own, --table-crs, or else the DEM's), turned into the
// DEM's by `to_dem` when they differ; `places` says which.
Status placing(const StationsRequest &q, const DemSet &dem, OGRLayer *in, Columns &c,
               std::unique_ptr<OGRCoordinateTransformation> &to_dem, std::string &places) {
    auto name = [&](int k) { return column_name(in, k); };
    const bool by_cell = c.row >= 0 && c.column >= 0 && (q.x.empty() || q.y.empty());
    if (by_cell) {
        c.x = c.y = -1;
        places = "places from columns " + name(c.row) + " (row) and " + name(c.column) + " (column)";
        return Status();
    }
    if (!dem.georef.known)
        return failure(dem.raster, dem.raster + " has no georeference (import it with tolmar-import): the table needs row and "
                                    "column columns");
    // The points of a layer that has them, unless columns are named;
    // else x and y columns.
    const bool points = wkbFlatten(in->GetGeomType()) == wkbPoint && (q.x.empty() || q.y.empty());
    const bool columns = !points && c.x >= 0 && c.y >= 0;
    if (!columns && !points && in->GetGeomType() != wkbUnknown)
        return failure(q.table, q.table + ": no x and y columns (x, easting, lon, ...) and no point geometry");
    if (!columns) c.x = c.y = -1;
    places = columns ? "places from columns " + name(c.x) + " and " + name(c.y) : std::string("places from the points");
    OGRSpatialReference from, dem_srs;
    const OGRSpatialReference *own = columns ? nullptr : in->GetSpatialRef();
    const bool lonlat = columns && (lower(in->GetLayerDefn()->GetFieldDefn(c.x)->GetNameRef()).rfind("lon", 0) == 0);
    if (!q.table_crs.empty()) {
        if (from.SetFromUserInput(q.table_crs.c_str()) != OGRERR_NONE)
            return Status::misused("--table-crs", "--table-crs " + q.table_crs + " is not a system GDAL knows");
    } else if (own != nullptr) {
        from = *own;
    } else if (lonlat) {
        // Columns named lon and lat are WGS 84 longitude and latitude.
        from.SetWellKnownGeogCS("WGS84");
    }
    if (!from.IsEmpty() && !dem.georef.wkt.empty()) {
        dem_srs.importFromWkt(dem.georef.wkt.c_str());
        from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        dem_srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        if (!from.IsSame(&dem_srs)) {
            to_dem.reset(OGRCreateCoordinateTransformation(&from, &dem_srs));
            if (!to_dem) return failure(q.table, "cannot turn the table's coordinates into the DEM's system");
            const char *a = from.GetAuthorityName(nullptr), *b = from.GetAuthorityCode(nullptr);
            places += std::string(", reprojected from ") + (a != nullptr && b != nullptr ? std::string(a) + ":" + b : from.GetName()) +
                      " to the DEM's " + (dem.georef.crs.empty() ? std::string("system") : dem.georef.crs);
        }
    }
    return Status();
}

// What of the layer SQLite keeps in memory: at 32 MB its spatial index's
// nodes are read back from the file a tenth as often as at 2 MB.
constexpr int LAYER_CACHE_MB = 32;
// The layer's pages: a station's feature is two kilobytes or so, and a
// commit writes its group's pages one write each, so that pages of 16 KiB
// take a quarter as many writes as SQLite's 4 KiB (and less room).
constexpr int LAYER_PAGE_KB = 16;

// The trace layer: the station's columns, then tolmar's own (named apart
// from the station's).
Status trace_layer(OGRLayer *in, const std::string &name, const std::string &out, const Place &place, bool resume,
                   VectorFile &file, OGRLayer *&layer, OwnFields &own, const Listener &l) {
    std::string err;
    const bool resume_asked = resume;
    OGRFeatureDefn *src = in->GetLayerDefn();
    if (resume) {
        // The layer of the run a kill ended: the table's columns and
        // tolmar's own, named as that run named them.
        if (access(out.c_str(), F_OK) != 0)
            return Status::misused("--resume", "--resume carries on the trace layer " + out + ", which is not there: run without it");
        bool empty = false;
        layer = file.open_first(out, empty, err);
        if (layer == nullptr && !empty) return failure(out, err);
        resume = layer != nullptr;
    }
    if (resume) {
        if (!file.durable_commits(err)) return failure(out, err);
        file.cache(LAYER_CACHE_MB);
        for (std::string *f : {&own.code, &own.cells, &own.status, &own.result, &own.row, &own.column, &own.dip_direction}) {
            if (src->GetFieldIndex(f->c_str()) >= 0) *f = "tolmar_" + *f;
            if (layer->GetLayerDefn()->GetFieldIndex(f->c_str()) < 0)
                return failure(out, out + " is not a trace layer of this table (it has no field " + *f + "): it cannot be carried on");
        }
        return Status();
    }
    // (A GeoPackage a kill left before it held a layer is made anew.)
    struct stat earlier;
    const bool replaced = lstat(out.c_str(), &earlier) == 0 && !resume_asked;
    if (!file.create(out, err, LAYER_PAGE_KB) || !file.durable_commits(err)) return failure(out, err);
    file.cache(LAYER_CACHE_MB);
    if (replaced) l.say("the trace layer " + out + " from an earlier run is replaced\n", true);
    layer = file.layer(name, wkbMultiLineString, place, err);
    if (layer == nullptr) return failure(out, err);
    for (int k = 0; k < src->GetFieldCount(); k++) layer->CreateField(src->GetFieldDefn(k));
    for (std::string *f : {&own.code, &own.cells, &own.status, &own.result, &own.row, &own.column, &own.dip_direction}) {
        if (src->GetFieldIndex(f->c_str()) >= 0) *f = "tolmar_" + *f;
        OGRFieldDefn d(f->c_str(), f == &own.status || f == &own.result ? OFTString : OFTInteger);
        layer->CreateField(&d);
    }
    file.index_as_written(layer);
    return Status();
}

}  // namespace

// The trace layer written by a thread of its own, beside the tracing: the
// features in the table's order, and each group committed after its
// features, then the next begun. A write that fails is kept and told by
// the next call; the rest is not written.
class LayerWriter {
public:
    LayerWriter(OGRLayer *layer, VectorFile &file, const std::string &out, const Place &place, const OwnFields &own,
                std::vector<int> field_map)
        : layer_(layer), file_(&file), out_(out), place_(place), field_map_(std::move(field_map)) {
        OGRFeatureDefn *d = layer->GetLayerDefn();
        for (const std::string *f : {&own.code, &own.cells, &own.status, &own.result, &own.row, &own.column, &own.dip_direction})
            own_at_.push_back(d->GetFieldIndex(f->c_str()));
        thread_ = helper_thread([this] { work(); });
    }
    LayerWriter(const LayerWriter &) = delete;
    LayerWriter &operator=(const LayerWriter &) = delete;
    ~LayerWriter() {
        std::string ignored;
        finish(ignored);
    }
    // A station's row of the table, what tolmar adds to it and its trace's
    // cells: its feature made and its lines drawn in the thread. Handed
    // over a batch at a time: waking the thread for each station would
    // cost more than writing it.
    bool add(std::unique_ptr<OGRFeature> row, Own own, std::vector<Cell> cells, std::string &err) {
        batch_.push_back({std::move(row), std::move(own), std::move(cells), -1});
        return batch_.size() < BATCH || hand_over(err);
    }
    // The group so far, up to station `n`, committed.
    bool commit(long long n, std::string &err) {
        batch_.push_back({nullptr, Own(), {}, n});
        return hand_over(err);
    }
    // The stations committed so far.
    long long committed() const { return committed_; }
    // Everything written; the thread ended.
    bool finish(std::string &err) {
        std::string why;
        hand_over(why);
        {
            std::unique_lock<std::mutex> lock(m_);
            done_.wait(lock, [this] { return queue_.empty() && !busy_; });
            stopping_ = true;
        }
        work_.notify_all();
        if (thread_.joinable()) thread_.join();
        if (!error_.empty()) err = error_;
        return error_.empty();
    }

private:
    static constexpr size_t BATCH = 64;
    // What may wait for the thread: enough to go on tracing through a
    // group's commit (a tenth of a second or more on a large layer, whose
    // spatial index is written with it), not so much as to hold the table
    // in memory (16 MB of cells at most).
    static constexpr size_t MOST_WAITING = 128 * BATCH, MOST_CELLS_WAITING = size_t(1) << 21;
    struct Item {
        std::unique_ptr<OGRFeature> row;
        Own own;
        std::vector<Cell> cells;
        long long commit;  // the stations a commit makes durable; -1 for a feature
    };
    bool hand_over(std::string &err) {
        std::unique_lock<std::mutex> lock(m_);
        done_.wait(lock, [this] { return (queue_.size() < MOST_WAITING && cells_waiting_ < MOST_CELLS_WAITING) || !error_.empty(); });
        if (!error_.empty()) {
            err = error_;
            return false;
        }
        for (Item &item : batch_) {
            cells_waiting_ += item.cells.size();
            queue_.push_back(std::move(item));
        }
        batch_.clear();
        work_.notify_one();
        return true;
    }
    void work() {
        std::unique_lock<std::mutex> lock(m_);
        std::deque<Item> taken;
        for (;;) {
            work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            taken.swap(queue_);
            cells_waiting_ = 0;
            busy_ = true;
            done_.notify_all();  // room for the reading thread again
            const bool skip = !error_.empty();
            lock.unlock();
            std::string why;
            for (Item &item : taken) {
                if (skip || !why.empty()) {
                } else if (item.row) {
                    OGRFeature o(layer_->GetLayerDefn());
                    made(o, item);
                    if (layer_->CreateFeature(&o) != OGRERR_NONE)
                        why = "cannot write " + out_ + ": " + geo::gdal_error("cannot add a feature");
                } else if (file_->commit(why)) {
                    file_->begin();
                    committed_ = item.commit;
                }
            }
            taken.clear();
            lock.lock();
            if (error_.empty()) error_ = why;
            busy_ = false;
            done_.notify_all();
        }
    }
    // The table's fields, then tolmar's, then the trace's lines.
    void made(OGRFeature &o, Item &item) const {
        o.SetFrom(item.row.get(), field_map_.data(), TRUE);
        o.SetGeometryDirectly(nullptr);
        const Own &w = item.own;
        if (w.code > 0) o.SetField(own_at_[0], w.code);
        if (w.cells >= 0) o.SetField(own_at_[1], static_cast<GIntBig>(w.cells));
        if (!w.status.empty()) o.SetField(own_at_[2], w.status.c_str());
        if (!w.result.empty()) o.SetField(own_at_[3], w.result.c_str());
        if (w.placed) {
            o.SetField(own_at_[4], w.row);
            o.SetField(own_at_[5], w.column);
        }
        if (w.attitude_read) o.SetField(own_at_[6], w.dip_direction);
        if (std::unique_ptr<OGRGeometry> g = trace_lines(item.cells, place_)) o.SetGeometryDirectly(g.release());
    }
    OGRLayer *layer_;
    VectorFile *file_;
    std::string out_;
    const Place &place_;
    std::vector<int> field_map_, own_at_;  // where the table's fields and tolmar's go
    std::vector<Item> batch_;  // the reading thread's, not yet handed over
    std::mutex m_;
    std::condition_variable work_, done_;
    std::deque<Item> queue_;
    size_t cells_waiting_ = 0;
    bool busy_ = false, stopping_ = false;
    std::string error_;
    std::atomic<long long> committed_{0};
    std::thread thread_;
};

Status run_stations(const StationsRequest &q, const Listener &l, StationsDone &done) {
    done = StationsDone();
    auto stopped = [&] { return q.stop ? q.stop() : 0; };
    std::string err;
    DemSet dem;
    // Read, not mapped: a DEM cut short while a table is traced cannot fault.
    if (!geo::open_dem_set(q.dem, dem, err)) return failure(q.dem, err);
    int unit = dem.unit;
    if (q.unit >= 0) unit = q.unit;
    if (unit < 0)
        return Status::misused("--unit", dem.raster + " has no sidecar telling the unit of its samples: give --unit m, dm, cm or mm");
    const int pix_size = q.pixel_size > 0 ? q.pixel_size : dem.pix_size;
    if (pix_size <= 0) return Status::misused("--pixel-size", dem.descriptor + " gives no pixel size: give --pixel-size");

    std::unique_ptr<GDALDataset> table;
    OGRLayer *in = nullptr;
    if (const Status opened = open_table(q, table, in); !opened.ok()) return opened;
    Columns c;
    if (!find_columns(in->GetLayerDefn(), q, c, err)) return failure(q.table, q.table + ": " + err);
    auto name = [&](int k) { return column_name(in, k); };
    std::unique_ptr<OGRCoordinateTransformation> to_dem;
    std::string places;
    if (const Status placed = placing(q, dem, in, c, to_dem, places); !placed.ok()) return placed;
    l.say("attitude from " +
              (c.dip_direction >= 0 ? "dip " + name(c.dip) + " and dip direction " + name(c.dip_direction)
                                    : "dip " + name(c.dip) + " and strike " + name(c.strike) +
                                          " by the right-hand rule (dip direction = strike + 90)") +
              "; " + (q.zone > 0 ? "zone " + std::to_string(q.zone) + " for every station" : "zone from " + name(c.zone)) +
              "; " + places + "; " +
              (q.geometry == Geometry::exact ? "traced in true geometry (--geometry classic for the classic trace)"
                                             : "traced in classic geometry") +
              "\n",
          true);

    // The trace layer: the station's columns, then tolmar's own.
    std::string table_name = formats::name_of(q.table);
    if (table_name.find('.') != std::string::npos) table_name.resize(table_name.rfind('.'));
    const std::string out = q.out.empty() ? table_name + "_traces.gpkg" : q.out;
    Place place;
    place.g = dem.georef;
    place.crs = dem.georef.crs;
    VectorFile file;
    OGRLayer *layer = nullptr;
    OwnFields own;
    if (const Status made = trace_layer(in, table_name, out, place, q.resume, file, layer, own, l); !made.ok()) return made;

    const std::string folder = formats::folder_of(dem.raster);
    const std::string result = q.result.empty() ? table_name : q.result;
    if (!formats::single_name(result) || result.find(' ') != std::string::npos)
        return Status::misused("--result", "--result " + formats::printable(result) + " is not a name the dialogue can take");
    const Terrain t = dem.samples.terrain(formats::unit_divisor(unit), pix_size);
    Sets sets(folder, result, dem, t, pix_size, q, l);
    Work work;
    const long long count = in->GetFeatureCount(TRUE);
    long long n = 0, traced = 0, refused = 0;
    int signal = 0;
    // Carrying on: the stations the layer holds are done (one feature a
    // station, in the table's order); each traced one is a stamp of the sets.
    long long resumed = 0, traced_before = 0;
    if (q.resume) {
        layer->ResetReading();
        for (std::unique_ptr<OGRFeature> g(layer->GetNextFeature()); g; g.reset(layer->GetNextFeature())) {
            resumed++;
            if (std::string(g->GetFieldAsString(own.status.c_str())).rfind("traced", 0) == 0) traced_before++;
        }
        l.say(resumed == 0 ? "carrying on: " + out + " held no station yet; the table begins again\n"
                           : "carrying on " + out + ": it holds stations 1 to " + std::to_string(resumed) +
                                 "; the table goes on from station " + std::to_string(resumed + 1) + "\n",
              true);
    }
    long long stamps = traced_before;  // the sets' stamps so far, with --sets
    // Where each field of the table goes in the layer, found once by name
    // (as copying a feature by names would find it every station).
    std::vector<int> field_map(static_cast<size_t>(in->GetLayerDefn()->GetFieldCount()));
    for (size_t k = 0; k < field_map.size(); k++)
        field_map[k] = layer->GetLayerDefn()->GetFieldIndex(in->GetLayerDefn()->GetFieldDefn(static_cast<int>(k))->GetNameRef());
    file.begin();
    auto group_began = std::chrono::steady_clock::now();
    long long told_durable = 0;
    LayerWriter writer(layer, file, out, place, own, std::move(field_map));
    in->ResetReading();
    for (std::unique_ptr<OGRFeature> f(in->GetNextFeature()); f && (signal = stopped()) == 0; f.reset(in->GetNextFeature())) {
        n++;
        if (n <= resumed) continue;
        Values v;
        std::string told;
        std::string why = reference_cell(*f, c, dem, to_dem.get(), v);
        if (why.empty()) why = attitude(*f, c, v, told);
        const bool attitude_read = why.empty();
        // A station is named by its id when the table has one.
        const std::string station = c.id >= 0 && f->IsFieldSetAndNotNull(c.id) ? shown(*f, c.id) : std::to_string(n);
        if (!told.empty()) l.say("station " + station + ": " + told + "\n");
        if (why.empty()) {
            double zone = q.zone;
            if (q.zone == 0 && (!number(*f, c.zone, zone) || zone < 1 || zone > 1e6 || zone != std::floor(zone)))
                why = "zone " + formats::printable(f->GetFieldAsString(c.zone)) + " is not a whole number of cells from 1";
            v.zone = static_cast<int>(zone);
        }
        Own o;
        std::vector<Cell> lines;  // the trace's cells, drawn as the feature's lines beside
        if (why.empty() && !q.sets) {
            // The trace layer alone: each station traced as a stamp would
            // trace it, no raster written.
            Trace tr = trace(t, v, work, q.geometry);
            if (tr.verdict == Verdict::traced) {
                o.cells = static_cast<long long>(tr.cells.size());
                o.status = tr.cells.empty() ? "traced: no cell (the plane misses the ground)" : "traced";
                lines = std::move(tr.cells);
                traced++;
            } else {
                why = refusal_headline(tr.verdict);
                if (tr.verdict == Verdict::outside_raster) why += ": " + refusal_detail(t.rows, t.cols, v);
            }
        } else if (why.empty()) {
            if (!sets.ready(stamps, err)) return failure(folder, err.empty() ? folder + ": the sets are not in order" : err);
            const std::string raster = folder + sets.name() + formats::RESULT_RASTER_SUFFIX;
            const int code = static_cast<int>(stamps % formats::MAX_CODES) + 1;
            ResultSession &session = sets.session();
            if (code > session.code() + 1)
                return failure(raster, raster + " holds fewer stamps than " + out + " has traced stations: they are not one run's");
            Stamp s;
            Trace again;
            if (code <= session.code()) again = trace(t, v, work, session.geometry());
            if (code <= session.code() && again.verdict != Verdict::traced) {
                // Refused now as it was then: no stamp of the sets is its.
                s.kind = Stamp::refused;
                s.message = refusal_headline(again.verdict);
                if (again.verdict == Verdict::outside_raster) s.detail = refusal_detail(t.rows, t.cols, v);
            } else if (code <= session.code()) {
                // Stamped by the run a kill ended, after the layer's last
                // group: kept, and traced again for the layer.
                const Values &was = session.records()[static_cast<size_t>(code - 1)].values;
                if (was.row != v.row || was.column != v.column || was.dip != v.dip || was.dip_direction != v.dip_direction ||
                    was.zone != v.zone)
                    return failure(raster, raster + "'s code " + std::to_string(code) + " is not station " + station +
                                               ": the sets are not this table's");
                s.kind = Stamp::stamped;
                s.code = code;
                s.cells = static_cast<long long>(again.cells.size());
                s.trace_cells = std::move(again.cells);
            } else {
                s = session.stamp(t, v, work);
            }
            if (s.kind == Stamp::failed) return failure(raster, s.message);
            if (s.kind == Stamp::stamped) {
                stamps++;
                o.code = s.code;
                o.cells = s.cells;
                o.result = sets.name() + formats::RESULT_RASTER_SUFFIX;
                o.status = s.cells > 0 ? "traced" : "traced: no cell (the plane misses the ground)";
                lines = std::move(s.trace_cells);
                traced++;
            } else {
                why = s.message + (s.detail.empty() ? "" : ": " + s.detail);
            }
        }
        if (!why.empty()) {
            o.status = "refused: " + why;
            refused++;
            l.say("station " + station + ": refused: " + why + "\n");
        }
        if (v.row != 0 || v.column != 0 || why.empty()) {
            o.placed = true;
            o.row = v.row;
            o.column = v.column;
        }
        o.attitude_read = attitude_read;
        o.dip_direction = v.dip_direction;
        if (!writer.add(std::move(f), std::move(o), std::move(lines), err)) return failure(out, err);
        l.progress(static_cast<double>(n), static_cast<double>(count));
        // A group ends after a tenth of a second of work: its stamps and
        // features made durable together, one flush each for the set and
        // the layer (the layer's once its features are written: never
        // before the set's). Short groups keep each commit short, the last
        // one above all, which the table's end waits for with what queued
        // behind it.
        if (std::chrono::steady_clock::now() - group_began >= std::chrono::milliseconds(100)) {
            if (!sets.sync(err)) return failure(folder + sets.name() + formats::RESULT_RASTER_SUFFIX, err);
            if (!writer.commit(n, err)) return failure(out, err);
            group_began = std::chrono::steady_clock::now();
        }
        if (l.durable && writer.committed() > told_durable) l.durable(told_durable = writer.committed());
    }
    if (!writer.finish(err)) return failure(out, err);
    if (l.durable && writer.committed() > told_durable) l.durable(told_durable = writer.committed());
    traced += traced_before;
    refused += resumed - traced_before;
    done.stations = n;
    done.count = count;
    done.traced = traced;
    done.refused = refused;
    done.resumed = resumed;
    done.stopped = signal;
    if (signal != 0 && traced == traced_before && !q.resume) {
        // Nothing stamped: no set is made (an earlier one is left as it
        // was) and no half layer stays.
        sets.discard();
        file.discard();
        return Status();
    }
    // Carried on to the table's end: the sets are still opened up to the
    // one the last stamp went to, so that what a killed run left of them
    // (stamps in a journal, a background being filled) is completed, even
    // when no station was left to trace.
    if (q.sets && q.resume && signal == 0 && stamps > 0 && !sets.ready(stamps - 1, err))
        return failure(folder, err.empty() ? folder + ": the sets are not in order" : err);
    if (!file.commit(err) || !sets.close(err) || !file.close(err)) return failure(out, err);
    for (const std::string &name : sets.names()) done.sets.push_back(folder + name + formats::RESULT_RASTER_SUFFIX);
    done.layer = out;

    std::string made;
    for (size_t k = 0; k < sets.names().size(); k++)
        made += (k ? ", " : "") + folder + sets.names()[k] + formats::RESULT_RASTER_SUFFIX;
    l.say(std::to_string(n) + " station" + (n == 1 ? "" : "s") + ": " + std::to_string(traced) + " traced" +
              (made.empty() ? "" : " into ") + made + ", " + std::to_string(refused) + " refused; the trace layer: " + out + "\n",
          true);
    if (!q.sets) l.say("no result set is written (--sets writes them beside the DEM)\n", true);
    if (sets.names().size() > 1)
        l.say("result sets hold 250 treatments each, in the table's order: " + sets.current_name(0) + ", then " +
                  sets.current_name(1) + ", and so on\n",
              true);
    return Status();
}

}  // namespace tools
