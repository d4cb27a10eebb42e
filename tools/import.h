// import.h: tolmar-import's work: one band of any raster GDAL reads made into
// a DEM file set images/FOLDER/NAME_m2.raw or NAME_m4.raw with its
// descriptor, its sidecar (the georeference and the unit, for GIS and the
// companions) and, when the source had nodata, the cells GDAL filled.
#ifndef TOLMAR_TOOLS_IMPORT_H
#define TOLMAR_TOOLS_IMPORT_H

#include <string>

namespace tools {

struct ImportRequest {
    std::string source, folder, name;
    int band = 1;
    double pixel_size = 0;  // metres, for a source without a georeference; 0: the source's own
    bool replace = false;   // an existing DEM of that name may be replaced
};

// Makes the file set and prints what tolmar's dialogue will need; returns
// the exit status, having told any fault on standard error.
int run_import(const ImportRequest &q);

}  // namespace tools

#endif
