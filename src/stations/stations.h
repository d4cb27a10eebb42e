// stations.h: tolmar-stations' work: a table of field stations traced on a
// DEM, one treatment a station, into result sets and a trace layer.
#ifndef TOLMAR_STATIONS_STATIONS_H
#define TOLMAR_STATIONS_STATIONS_H

#include <functional>
#include <string>
#include <vector>

#include "base/outcome.h"
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
    int unit = -1;          // the dialogue's unit answer (0 m to 3 mm), when the DEM's sidecar gives none
    int pixel_size = 0;     // when the descriptor gives none
    bool sets = false;      // result sets written beside the DEM (else the trace layer alone)
    bool resume = false;    // carry on a table a kill ended: its layer (and sets) kept, the stations they hold skipped
    bool black = false;     // the sets' background (white by default, as the dialogue's first answer)
    Geometry geometry = Geometry::exact;  // new sets are traced where the plane meets the ground
    // Asked before each station: not 0 (a signal's number) ends the table there.
    std::function<int()> stop;
};

// What a table came to.
struct StationsDone {
    long long stations = 0, count = 0;  // read, of the table's
    long long traced = 0, refused = 0;
    long long resumed = 0;              // stations found done in the layer (--resume)
    std::vector<std::string> sets;      // the result rasters filled
    std::string layer;                  // the trace layer ("" when none is left)
    int stopped = 0;                    // what `stop` gave when it ended the table early
};

// Traces the table, telling each refused station and what was made, the
// stations as progress. Stopped before its first stamp, it leaves no set
// and no layer.
tolmar::Status run_stations(const StationsRequest &q, const tolmar::Listener &l, StationsDone &done);

}  // namespace tools

#endif
