// layers.cpp: traces as GIS layers, written through OGR.
#include "geo/layers.h"

#include <gdal_priv.h>
#include <ogr_geometry.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>
#include <unistd.h>

#include "geo/chain.h"
#include "files/formats.h"
#include "geo/georef.h"

namespace tools {

Place::Place() = default;
Place::~Place() = default;
Place::Place(Place &&) = default;

void Place::at(const Cell &c, double &x, double &y) const {
    if (!g.known) {
        x = c.j + 0.5;
        y = -(c.i + 0.5);
        return;
    }
    x = g.x(c.j);
    y = g.y(c.i);
    if (to_lonlat) to_lonlat->Transform(1, &x, &y);
}

bool place_on(const Georef &g, bool geojson, Place &p, std::string &err) {
    p.g = g;
    p.crs = g.crs;
    if (!g.known) {
        p.how = "cell units: x = column + 0.5, y = -(row + 0.5)";
        return true;
    }
    if (geojson && p.crs.empty() && !g.wkt.empty()) {
        // GeoJSON names a system by its EPSG code; one without goes as longitude and latitude.
        OGRSpatialReference from, lonlat;
        from.importFromWkt(g.wkt.c_str());
        from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        lonlat.SetWellKnownGeogCS("WGS84");
        lonlat.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        p.to_lonlat.reset(OGRCreateCoordinateTransformation(&from, &lonlat));
        if (!p.to_lonlat) {
            err = "cannot turn the DEM's coordinates into longitude and latitude";
            return false;
        }
        p.how = ", turned into WGS 84 longitude and latitude (the system has no EPSG code)";
    }
    return true;
}

std::unique_ptr<OGRGeometry> trace_lines(const std::vector<Cell> &cells, const Place &p) {
    if (cells.empty()) return nullptr;
    auto lines = std::make_unique<OGRMultiLineString>();
    for (const Line &line : chain(cells)) {
        // Its points set in place, and the line handed over, not copied.
        auto ls = std::make_unique<OGRLineString>();
        const int n = static_cast<int>(line.size());
        ls->setNumPoints(n == 1 ? 2 : n, FALSE);
        for (int k = 0; k < n; k++) {
            double x, y;
            p.at(line[static_cast<size_t>(k)], x, y);
            ls->setPoint(k, x, y);
        }
        if (n == 1) ls->setPoint(1, ls->getX(0), ls->getY(0));
        lines->addGeometryDirectly(ls.release());
    }
    return lines;
}

std::string vector_driver(const std::string &path) {
    if (formats::ends_with(path, ".gpkg")) return "GPKG";
    if (formats::ends_with(path, ".geojson") || formats::ends_with(path, ".json")) return "GeoJSON";
    return "";
}

VectorFile::VectorFile() = default;
VectorFile::~VectorFile() {
    if (d_ != nullptr) GDALClose(GDALDataset::ToHandle(d_));
}

bool VectorFile::create(const std::string &path, std::string &err, int page_kb) {
    geo::use_gdal();
    driver_ = vector_driver(path);
    GDALDriver *drv = driver_.empty() ? nullptr : GetGDALDriverManager()->GetDriverByName(driver_.c_str());
    if (drv == nullptr) {
        err = path + ": name a GeoPackage (.gpkg) or a GeoJSON file (.geojson)";
        return false;
    }
    // OGR does not replace a GeoPackage: the old file goes first.
    if (access(path.c_str(), F_OK) == 0 && unlink(path.c_str()) != 0) {
        err = "cannot replace " + path;
        return false;
    }
    // The page size is SQLite's to set before the file's first table,
    // which the driver makes at once: it is handed over, for this thread
    // and this call alone, as a pragma the driver runs on opening, after
    // any the user gave.
    const bool paged = driver_ == "GPKG" && page_kb > 0;
    const char *local = CPLGetThreadLocalConfigOption("OGR_SQLITE_PRAGMA", nullptr);
    const std::string was_local = local != nullptr ? local : "";
    if (paged) {
        std::string pragmas = CPLGetConfigOption("OGR_SQLITE_PRAGMA", "");
        if (!pragmas.empty()) pragmas += ",";
        pragmas += "page_size=" + std::to_string(1024 * page_kb);
        CPLSetThreadLocalConfigOption("OGR_SQLITE_PRAGMA", pragmas.c_str());
    }
    d_ = drv->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (paged) CPLSetThreadLocalConfigOption("OGR_SQLITE_PRAGMA", local != nullptr ? was_local.c_str() : nullptr);
    path_ = path;
    if (d_ == nullptr) err = "cannot write " + path + ": " + geo::gdal_error("the driver refused it");
    return d_ != nullptr;
}

OGRLayer *VectorFile::open_first(const std::string &path, bool &empty, std::string &err) {
    geo::use_gdal();
    empty = false;
    driver_ = vector_driver(path);
    path_ = path;
    if (driver_ != "GPKG") {
        err = path + ": only a GeoPackage (.gpkg) layer can be carried on";
        return nullptr;
    }
    d_ = static_cast<GDALDataset *>(GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
    OGRLayer *l = d_ != nullptr && d_->GetLayerCount() > 0 ? d_->GetLayer(0) : nullptr;
    empty = d_ != nullptr && l == nullptr;
    if (d_ != nullptr && l == nullptr) {
        GDALClose(GDALDataset::ToHandle(d_));
        d_ = nullptr;
    }
    if (l == nullptr) err = "cannot open " + path + " to carry it on: " + geo::gdal_error("not a GeoPackage with a layer");
    return l;
}

OGRLayer *VectorFile::layer(const std::string &name, int geometry, const Place &p, std::string &err) {
    OGRSpatialReference srs;
    const bool with_srs = p.g.known && !p.g.wkt.empty() && !p.to_lonlat;
    if (p.to_lonlat) srs.SetWellKnownGeogCS("WGS84");
    else if (with_srs) srs.importFromWkt(p.g.wkt.c_str());
    srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    // Cell coordinates are in no map system: a GeoPackage labels them as an
    // engineering system of cells of its own (its default for a layer
    // without one would be geographic degrees).
    const bool cells = !(with_srs || p.to_lonlat) && driver_ == "GPKG";
    if (cells) {
        srs.SetLocalCS("tolmar cell coordinates of the DEM (x = column + 0.5, y = -(row + 0.5)), no map system");
        srs.SetLinearUnits("cell", 1.0);
    }
    OGRLayer *l = d_->CreateLayer(name.c_str(), with_srs || p.to_lonlat || cells ? &srs : nullptr,
                                  static_cast<OGRwkbGeometryType>(geometry), nullptr);
    if (l == nullptr) err = "cannot write " + path_ + ": " + geo::gdal_error("cannot add the layer " + name);
    return l;
}

void VectorFile::index_as_written(OGRLayer *l) {
    if (d_ == nullptr || driver_ != "GPKG" || l == nullptr) return;
    // Names as SQL strings (a table's name may hold a quote). Should it
    // fail, the index is still built at the close.
    const auto quoted = [](const std::string &name) {
        std::string q = "'";
        for (char c : name) q += c == '\'' ? std::string("''") : std::string(1, c);
        return q + "'";
    };
    const std::string sql = "SELECT CreateSpatialIndex(" + quoted(l->GetName()) + ", " + quoted(l->GetGeometryColumn()) + ")";
    CPLErrorReset();
    d_->ReleaseResultSet(d_->ExecuteSQL(sql.c_str(), nullptr, "SQLITE"));
    CPLErrorReset();
}

bool VectorFile::durable_commits(std::string &err) {
    if (d_ == nullptr || driver_ != "GPKG") return true;
    // EXTRA: the journal flushed before the file, the file before the
    // journal goes, and the folder after it goes (a commit is its journal's
    // removal, which a power cut could otherwise undo).
    d_->ReleaseResultSet(d_->ExecuteSQL("PRAGMA synchronous = EXTRA", nullptr, nullptr));
    OGRLayer *asked = d_->ExecuteSQL("PRAGMA synchronous", nullptr, nullptr);
    std::unique_ptr<OGRFeature> f(asked != nullptr ? asked->GetNextFeature() : nullptr);
    const bool extra = f != nullptr && f->GetFieldCount() == 1 && f->GetFieldAsInteger(0) == 3;
    f.reset();
    if (asked != nullptr) d_->ReleaseResultSet(asked);
    if (!extra) err = "cannot write " + path_ + ": its commits cannot be flushed to the disk";
    return extra;
}

void VectorFile::cache(int megabytes) {
    if (d_ == nullptr || driver_ != "GPKG") return;
    const std::string sql = "PRAGMA cache_size = -" + std::to_string(1024 * megabytes);
    d_->ReleaseResultSet(d_->ExecuteSQL(sql.c_str(), nullptr, nullptr));
}

void VectorFile::begin() { in_transaction_ = d_ != nullptr && d_->StartTransaction() == OGRERR_NONE; }

bool VectorFile::commit(std::string &err) {
    if (!in_transaction_) return true;
    in_transaction_ = false;
    if (d_->CommitTransaction() == OGRERR_NONE) return true;
    err = "cannot write " + path_ + ": " + geo::gdal_error("write error");
    return false;
}

bool VectorFile::close(std::string &err) {
    if (d_ == nullptr) return true;
    CPLErrorReset();
    GDALClose(GDALDataset::ToHandle(d_));
    d_ = nullptr;
    if (CPLGetLastErrorType() == CE_Failure) {
        err = "cannot write " + path_ + ": " + geo::gdal_error("write error");
        return false;
    }
    return true;
}

void VectorFile::discard() {
    if (d_ != nullptr && in_transaction_) d_->RollbackTransaction();
    in_transaction_ = false;
    if (d_ != nullptr) GDALClose(GDALDataset::ToHandle(d_));
    d_ = nullptr;
    if (!path_.empty()) {
        unlink(path_.c_str());
        unlink((path_ + "-journal").c_str());
        unlink((path_ + "-wal").c_str());
    }
}

}  // namespace tools
