// layers.h: traces as GIS layers: where a cell's centre lies on the map, a
// trace chained into lines there, and a vector file (GeoPackage or GeoJSON)
// written through OGR, for tolmar-export and tolmar-stations.
#ifndef TOLMAR_GEO_LAYERS_H
#define TOLMAR_GEO_LAYERS_H

#include <memory>
#include <string>
#include <vector>

#include "compute/geometry.h"
#include "files/demset.h"

class GDALDataset;
class OGRLayer;
class OGRGeometry;
class OGRCoordinateTransformation;

namespace tools {

// Where a cell's centre lies: in cells, on the map, or (a map system
// without an EPSG code, for GeoJSON) in longitude and latitude.
struct Place {
    Place();
    ~Place();
    Place(Place &&);
    Georef g;         // known: map coordinates
    std::string crs;  // EPSG:NNNN of the map coordinates, or ""
    std::string how;  // said in the output
    std::unique_ptr<OGRCoordinateTransformation> to_lonlat;

    void at(const Cell &c, double &x, double &y) const;
};

// Where the cells of a DEM of georeference `g` lie: its own system, or, for
// a GeoJSON when the system has no EPSG code, WGS 84 longitude and latitude
// (`how` then says so); cell units when it has none. False when the
// system cannot be turned into longitude and latitude.
bool place_on(const Georef &g, bool geojson, Place &p, std::string &err);

// A trace's cells (row-major order) chained into lines through their eight
// neighbours, each cell at its centre; a lone cell is a line of two equal
// points. Null for no cell.
std::unique_ptr<OGRGeometry> trace_lines(const std::vector<Cell> &cells, const Place &p);

// A vector file being written: "GPKG" or "GeoJSON" by its name's ending
// (.gpkg, .geojson or .json). A file of that name is replaced.
class VectorFile {
public:
    VectorFile();
    ~VectorFile();
    // `page_kb`, for a GeoPackage: the size of its SQLite pages in KiB (a
    // power of two from 1 to 64; 0 for SQLite's 4). A layer of many long
    // features is written in fewer, larger pages at each commit.
    bool create(const std::string &path, std::string &err, int page_kb = 0);
    // An existing GeoPackage opened to add features to its first layer
    // (null, and why, when it cannot be; `empty` when it holds no layer).
    OGRLayer *open_first(const std::string &path, bool &empty, std::string &err);
    // A new layer of `geometry` (an OGRwkbGeometryType) in the place's
    // system; fields are added by the caller.
    OGRLayer *layer(const std::string &name, int geometry, const Place &p, std::string &err);
    // A GeoPackage layer's spatial index made at once, kept up as each
    // feature is written, rather than built from them all at the close.
    void index_as_written(OGRLayer *l);
    // Each commit of a GeoPackage on the disk before commit() returns, the
    // removal of its journal with it (GDAL makes a new one with no flush
    // at all). Asked outside begin() and commit(); false when it is not so.
    bool durable_commits(std::string &err);
    // A GeoPackage's pages kept in memory, up to `megabytes`, rather than
    // SQLite's 2 MB: a layer written in many groups, its spatial index kept
    // up, reads back and writes again fewer of them.
    void cache(int megabytes);
    // Features added between begin() and commit() go in at once where the
    // format allows it (a GeoPackage), much faster than one by one.
    void begin();
    bool commit(std::string &err);
    // Flushes and closes the file; false when it could not be written.
    bool close(std::string &err);
    // Closes the file without its features and removes it.
    void discard();
    const std::string &driver() const { return driver_; }

private:
    GDALDataset *d_ = nullptr;
    std::string path_, driver_;
    bool in_transaction_ = false;
};

// The driver a vector output's name asks for, "" for none tolmar writes.
std::string vector_driver(const std::string &path);

}  // namespace tools

#endif
