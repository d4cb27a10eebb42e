// export.h: tolmar-export's work: the traces of a result set for a GIS.
#ifndef TOLMAR_TOOLS_EXPORT_H
#define TOLMAR_TOOLS_EXPORT_H

#include <string>

namespace tools {

struct ExportRequest {
    std::string raster;              // R_tolmar.raw
    std::string format = "geojson";  // geojson, csv, gpkg or vrt
    std::string out_path;            // "" for standard output (or R_tolmar.vrt)
    std::string crs;                 // EPSG:NNNN, or ""
    std::string dem;                 // the DEM raster, or "" for the one beside
    bool origin = false;             // x0, y0 given
    double x0 = 0, y0 = 0;
    std::string *bytes = nullptr;    // when set, the file's bytes go here, and no file is written
};

// Writes the export asked for; returns the exit status, having told any
// fault on standard error.
int run_export(ExportRequest q);

}  // namespace tools

#endif
