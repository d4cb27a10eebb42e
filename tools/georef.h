// georef.h: where a DEM lies on the map, for the companions, through GDAL:
// the georeference of an imported DEM (its VRT sidecar), the cells that were
// filled in place of nodata, the DEM beside a result raster, and the
// georeferenced result raster with the preview's colours.
#ifndef TOLMAR_TOOLS_GEOREF_H
#define TOLMAR_TOOLS_GEOREF_H

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// A grid's place on the map: GDAL's geotransform (x of the outer left edge,
// cell width, 0, y of the outer top edge, 0, minus the cell height) and the
// coordinate system.
struct Georef {
    bool known = false;
    double gt[6] = {0, 1, 0, 0, 0, -1};
    std::string wkt;   // the coordinate system, "" when unknown
    std::string crs;   // "EPSG:32725" when it has such a code, else ""

    // The map coordinates of a cell's centre, and the (fractional) cell of a
    // point: row and column grow with the cell indices, the centre of cell
    // (i, j) being (i, j).
    double x(double col) const { return gt[0] + (col + 0.5) * gt[1]; }
    double y(double row) const { return gt[3] + (row + 0.5) * gt[5]; }
    double col(double x) const { return (x - gt[0]) / gt[1] - 0.5; }
    double row(double y) const { return (y - gt[3]) / gt[5] - 0.5; }
};

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

// The cells filled in place of nodata (1) from DEM.filled.tif, rows x cols;
// empty when the DEM had none.
bool read_filled(const std::string &dem_raw, int rows, int cols, std::vector<uint8_t> &filled, std::string &err);

// The DEM raster beside a result raster: the one of the result's folder
// whose descriptor gives the result's sizes, a DEM of the result's own name
// or the only one with a georeference first. "" with `err` when none or
// several fit.
std::string dem_beside(const std::string &result_raw, int rows, int cols, std::string &err);

// Writes OUT.vrt over the result raster RESULT.raw (rows x cols bytes):
// georeferenced by `g`, the background value as nodata, and a colour table
// with the preview's colour of each code.
bool write_result_vrt(const std::string &out_vrt, const std::string &result_raw, int rows, int cols,
                      uint8_t background, const Georef &g, std::string &err);

// The text of GDAL's last error, or `fallback`.
std::string gdal_error(const std::string &fallback);

}  // namespace tools

#endif
