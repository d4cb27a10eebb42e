// georef.h: the GDAL side of a DEM file set, for the companions (the
// console reads none of it): the sidecar tolmar-import writes beside a DEM
// (its place on the map, the unit of its samples and the factor its lengths
// were stored by; its keys are written and read here only), the cells filled
// in place of nodata, the DEM beside a result raster, and the one function
// that opens a whole DEM file set.
#ifndef TOLMAR_GEO_GEOREF_H
#define TOLMAR_GEO_GEOREF_H

#include <cstdint>
#include <string>
#include <vector>

#include "files/demset.h"

class GDALDataset;
class OGRSpatialReference;

namespace geo {

// Makes GDAL ready (drivers registered, errors to the caller, a bounded
// block cache); safe to call more than once.
void use_gdal();

// The georeference in DEM.vrt beside DEM.raw; `known` false when there is
// no sidecar. False, with `err`, when there is one that cannot be read or
// describes another size.
bool read_georef(const std::string &dem_raw, int rows, int cols, Georef &g, std::string &err);

// What tolmar-import wrote into DEM.vrt: the unit of the samples (the
// dialogue's answer, 0 to 3) and the factor k by which elevations and pixel
// size were multiplied. unit -1 and k 1 when there is no such sidecar.
void read_import_scale(const std::string &dem_raw, int &unit, double &k);

// The sidecar DEM.vrt over the raster NAME_mX.raw (in the same folder) of
// rows x cols samples of `width` bytes: the samples' scale back to metres
// (1 / (unit divisor x k)), the pixel size and k as tolmar's keys, and the
// place on the map when there is one (either may be null).
bool write_sidecar(const std::string &dem_raw, int rows, int cols, int width, int unit, int k, int pix_size,
                   const double *gt, const OGRSpatialReference *srs, std::string &err);

// A VRT over a raw file of rows x cols samples of `type` (a GDALDataType),
// least significant byte first, in memory (or at `vrt_path`, the raw file
// then named relative to it), writable.
GDALDataset *raw_vrt(const std::string &raw, int rows, int cols, int type, const std::string &vrt_path = "");

// The cells filled in place of nodata (1) from DEM.filled.tif, rows x cols;
// empty when the DEM had none.
bool read_filled(const std::string &dem_raw, int rows, int cols, std::vector<uint8_t> &filled, std::string &err);

// The DEM raster beside a result raster: the one of the result's folder
// whose descriptor gives the result's sizes, a DEM of the result's own name
// or the only one with a georeference first. "" with `err` when none or
// several fit.
std::string dem_beside(const std::string &result_raw, int rows, int cols, std::string &err);

// A whole DEM file set, as every companion opens it: descriptor and samples
// (read, or mapped with `map`), pixel size, and from the sidecar the unit,
// the factor k, the place on the map and the filled-ground mask.
bool open_dem_set(const std::string &raw_path, DemSet &d, std::string &err, bool map = false);

// The text of GDAL's last error, or `fallback`.
std::string gdal_error(const std::string &fallback);

}  // namespace geo

#endif
