// stations.h: tolmar-stations' work: a table of field stations traced on a
// DEM, one treatment a station, into result sets and a trace layer.
#ifndef TOLMAR_TOOLS_STATIONS_H
#define TOLMAR_TOOLS_STATIONS_H

#include <string>

#include "compute/geometry.h"

namespace tools {

struct StationsRequest {
    std::string dem;    // DEM.raw
    std::string table;  // any vector file OGR reads
    std::string layer;  // the table's layer, "" for its first
    std::string out;    // the trace layer (.gpkg or .geojson); "" for TABLE_traces.gpkg
    std::string result; // the result sets' name; "" for the table's name
    int zone = 0;       // one zone for every station; 0: from a column
    // Columns named by hand ("" to find them by their common names).
    std::string dip, dip_direction, strike, zone_column, x, y, row, column, id;
    std::string table_crs;  // the system of a table that names none
    std::string unit;       // m, dm, cm or mm: the DEM's unit when its sidecar gives none
    int pixel_size = 0;     // when the descriptor gives none
    bool black = false;     // the background (white by default, as the dialogue's first answer)
    bool progress_lines = false;  // "progress N" lines on the standard error
    Geometry geometry = Geometry::exact;  // new sets are traced where the plane meets the ground
};

// Traces the table; returns the exit status, having told any fault on
// standard error and what it did on standard output.
int run_stations(const StationsRequest &q);

}  // namespace tools

#endif
