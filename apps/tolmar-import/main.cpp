// main.cpp: tolmar-import, a DEM file set from any single band GDAL
// reads: tolmar-import [options] SOURCE FOLDER NAME, run in the folder that
// holds images/.
#include <cmath>
#include <cstdlib>
#include <string>

#include <cpl_progress.h>

#include "geo/import.h"
#include "options/options.h"

namespace {

const char TOOL[] = "tolmar-import";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-import [options] SOURCE FOLDER NAME\n"
        "\n"
        "Turns one band of any raster GDAL reads (GeoTIFF, ASCII grid, ...) into the\n"
        "DEM file set images/FOLDER/NAME_m2.raw or NAME_m4.raw with its descriptor,\n"
        "ready for tolmar; run it in the folder that holds images/. Whole metres\n"
        "from 0 to 65535 give a 16-bit DEM, anything else a 32-bit one in the\n"
        "finest unit that holds the range (millimetres for any terrain). Beside it:\n"
        "  NAME_mX.vrt         the georeference, for GIS (gdalinfo, QGIS) and for\n"
        "                      tolmar-export, tolmar-preview and the others\n"
        "  NAME_mX.filled.tif  the cells that were nodata, filled by GDAL's own\n"
        "                      interpolation (only when there were any)\n"
        "A DEM in degrees is reprojected by GDAL's warper to its UTM zone, cells\n"
        "that are not square to square ones, both bilinearly and in whole metres.\n"
        "A pixel size that is not a whole number of metres is kept exact: the\n"
        "elevations and the pixel size are stored multiplied by one whole factor,\n"
        "which leaves every plane trace as it is. It prints the answers tolmar's\n"
        "dialogue will need.\n"
        "\n";
    c.options = {
        opt::defaults_to(opt::whole_in({"--band", "", 1, "  --band N          the band to take (default 1)\n", ""}, 1,
                                       65535, "", "--band takes a number above 0, not {}"),
                         "1"),
        opt::number_in({"--pixel-size", "", 1,
                        "  --pixel-size M    the ground size of a cell in metres, for a source\n"
                        "                    without a georeference\n", ""},
                       4.9406564584124654e-324, 1.7976931348623157e308, "metres", "--pixel-size takes a number above 0, not {}"),
        {"--replace", "", 0, "  --replace         replace an existing DEM of that name\n", ""},
    };
    c.min_args = c.max_args = 3;
    c.arguments = {"SOURCE", "FOLDER", "NAME"};
    c.missing = "needs SOURCE, FOLDER and NAME";
    c.one_more = "too many arguments: ";
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    opt::Line line;
    const int done = opt::parse(command(), argc, argv, line);
    if (done >= 0) return done;
    tools::ImportRequest q;
    q.source = line.args[0];
    q.folder = line.args[1];
    q.name = line.args[2];
    q.replace = line.has("--replace");
    q.band = line.whole("--band", 1);
    if (line.has("--pixel-size")) q.pixel_size = strtod(line.value("--pixel-size").c_str(), nullptr);
    tolmar::Listener l = opt::printing(TOOL);
    l.progressed = [](double done, double total) { GDALTermProgress(done / total, nullptr, nullptr); };
    return opt::finish(TOOL, tools::run_import(q, l));
}
