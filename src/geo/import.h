// import.h: tolmar-import's work: one band of any raster GDAL reads made into
// a DEM file set images/FOLDER/NAME_m2.raw or NAME_m4.raw with its
// descriptor, its sidecar (the georeference and the unit, for GIS and the
// companions) and, when the source had nodata, the cells GDAL filled.
#ifndef TOLMAR_GEO_IMPORT_H
#define TOLMAR_GEO_IMPORT_H

#include <string>

#include "base/outcome.h"

namespace tools {

struct ImportRequest {
    std::string source, folder, name;
    int band = 1;
    double pixel_size = 0;  // metres, for a source without a georeference; 0: the source's own
    bool replace = false;   // an existing DEM of that name may be replaced
    std::string root;       // the folder that holds images/ ("" for the current one)
};

// Makes the file set and tells what tolmar's dialogue will need; the rows
// read (and the cells filled) as progress.
tolmar::Status run_import(const ImportRequest &q, const tolmar::Listener &l);

}  // namespace tools

#endif
