// import_main.cpp: tolmar-import, a DEM file set from any single band GDAL
// reads: tolmar-import [options] SOURCE FOLDER NAME, run in the folder that
// holds images/.
#include <cmath>
#include <cstdlib>
#include <string>

#include "import.h"
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
        {"--band", "", 1, "  --band N          the band to take (default 1)\n", ""},
        {"--pixel-size", "", 1,
         "  --pixel-size M    the ground size of a cell in metres, for a source\n"
         "                    without a georeference\n", ""},
        {"--replace", "", 0, "  --replace         replace an existing DEM of that name\n", ""},
    };
    c.min_args = c.max_args = 3;
    c.missing = "needs SOURCE, FOLDER and NAME";
    c.one_more = "too many arguments: ";
    return c;
}

// A number above 0 (a whole one up to 65535 for --band), or a usage error.
bool positive(const opt::Line &line, const std::string &name, double &out) {
    if (!line.has(name)) return true;
    const std::string v = line.value(name);
    char *end = nullptr;
    out = strtod(v.c_str(), &end);
    return end != v.c_str() && *end == '\0' && out > 0 && (name != "--band" || (out == std::floor(out) && out <= 65535));
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
    double band = 1;
    for (const char *name : {"--band", "--pixel-size"})
        if (!positive(line, name, name[2] == 'b' ? band : q.pixel_size))
            return opt::usage_error(TOOL, std::string(name) + " takes a number above 0, not " + line.value(name));
    q.band = static_cast<int>(band);
    return tools::run_import(q);
}
