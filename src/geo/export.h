// export.h: tolmar-export's work: the traces of a result set for a GIS.
#ifndef TOLMAR_GEO_EXPORT_H
#define TOLMAR_GEO_EXPORT_H

#include <string>

#include "base/outcome.h"

namespace tools {

struct ExportRequest {
    std::string raster;              // R_tolmar.raw
    std::string format = "geojson";  // geojson, csv, gpkg or vrt
    std::string out_path;            // the file (R_tolmar.vrt, R_tolmar.gpkg when ""); for text formats, "" needs `bytes`
    std::string crs;                 // EPSG:NNNN, or ""
    std::string dem;                 // the DEM raster, or "" for the one beside
    bool origin = false;             // x0, y0 given
    double x0 = 0, y0 = 0;
    std::string *bytes = nullptr;    // when set, the file's bytes go here, and no file is written
};

// Writes the export asked for (or gives its bytes); notes what a user of
// the file should know (where its coordinates come from).
tolmar::Status run_export(ExportRequest q, const tolmar::Listener &l);

}  // namespace tools

#endif
