// import_source.h: the source of tolmar-import as tolmar needs it: one band
// of a raster GDAL reads, north up, square cells, in metres, with the whole
// factor that makes its pixel size a whole number of metres.
#ifndef TOLMAR_GEO_IMPORT_SOURCE_H
#define TOLMAR_GEO_IMPORT_SOURCE_H

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <memory>
#include <string>

namespace tools {

struct CloseDataset {
    void operator()(GDALDataset *d) const { GDALClose(GDALDataset::ToHandle(d)); }
};
using Dataset = std::unique_ptr<GDALDataset, CloseDataset>;

// A length as the import prints it: up to ten significant digits.
std::string metres(double v);

// The smallest whole factor k (up to 1000) that makes k times the pixel size
// a whole number of metres, to one part in a million: elevations and pixel
// size both multiplied by k leave every plane trace as it is.
struct Scale {
    int k = 1;
    int pix = 0;
};
bool whole_pixel(double p, Scale &s);

// Metres per unit of an elevation unit GDAL names, 0 when not a length.
double elevation_unit(const std::string &name);

// The source as tolmar needs it: north up, square cells, metres. A source
// in degrees, turned or with oblong cells goes through GDAL's warper first.
struct Source {
    Dataset own;                 // the warped view, when there is one
    GDALDataset *d = nullptr;
    int band = 1;
    bool georeferenced = false;
    double gt[6] = {0, 1, 0, 0, 0, -1};
    OGRSpatialReference srs;     // empty when the source has none
    std::string note;            // what was done to it

    void take_srs() {
        if (const OGRSpatialReference *r = d->GetSpatialRef()) srs = *r;
    }
};
// Band `band` of `src` made ready; `pixel_size` (metres, 0 for the
// source's own) is required of a source without a georeference.
bool prepare(GDALDataset *src, int band, double pixel_size, Source &s, std::string &err);

}  // namespace tools

#endif
