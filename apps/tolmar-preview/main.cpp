// main.cpp: tolmar-preview, a picture of a run's traces over the
// terrain: tolmar-preview [options] DEM.raw RESULT.raw OUT.png
#include <string>

#include "files/formats.h"
#include "geo/georef.h"
#include "options/options.h"
#include "picture/picture.h"

namespace {

const char TOOL[] = "tolmar-preview";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-preview [options] DEM.raw RESULT.raw OUT.png\n"
        "\n"
        "Draws the traces of a tolmar run over a grey hillshade of its DEM (lit from\n"
        "the north-west) and writes the picture as a PNG: each code in a colour of\n"
        "its own, a black ring around each reference point, and a legend of the\n"
        "run log. Ground of an imported DEM that was nodata and was filled is drawn\n"
        "pale, and so are traces over it.\n"
        "\n"
        "  DEM.raw      the DEM raster, NAME_m2.raw (16-bit) or NAME_m4.raw (32-bit),\n"
        "               with its descriptor NAME_m2.txt or NAME_m4.txt beside it\n"
        "  RESULT.raw   the result raster R_tolmar.raw, with R_tolmar.txt beside it\n"
        "  OUT.png      the picture to write\n"
        "\n"
        "options:\n";
    c.options = {
        opt::unit_option("  --unit U          unit of the DEM samples: m, dm, cm or mm (default: the\n"
                         "                    imported DEM's own, else m)\n"),
        opt::whole_in({"--scale", "", 1, "  --scale N         pixels per cell (default: enough for about 800 pixels)\n", ""}, 1,
                      100000, "pixels", "--scale takes a whole number from 1 up, not {}"),
        opt::whole_in({"--pixel-size", "", 1,
                       "  --pixel-size N    ground size of a cell in metres, when neither\n"
                       "                    descriptor gives one\n",
                       ""},
                      1, 100000, "metres", "--pixel-size takes a whole number from 1 up, not {}"),
    };
    c.min_args = c.max_args = 3;
    c.arguments = {"DEM.raw", "RESULT.raw", "OUT.png"};
    c.missing = "needs DEM.raw, RESULT.raw and OUT.png";
    c.one_more = "too many arguments: ";
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    opt::Line line;
    const int done = opt::parse(command(), argc, argv, line);
    if (done >= 0) return done;
    int unit = formats::unit_of_name(line.value("--unit", "m"));
    int scale = line.whole("--scale", 0), pixel_size = line.whole("--pixel-size", 0);

    std::string err;
    DemSet dem;
    if (!geo::open_dem_set(line.args[0], dem, err)) return opt::failure(TOOL, err);
    if (!line.has("--unit") && dem.unit >= 0) unit = dem.unit;  // as tolmar-import recorded it
    ResultSet result;
    if (!read_result_set(line.args[1], result, err)) return opt::failure(TOOL, err);
    if (dem.rows() != result.rows || dem.cols() != result.cols)
        return opt::failure(TOOL, "the DEM has " + std::to_string(dem.rows()) + " x " + std::to_string(dem.cols()) +
                                      " cells but the result " + std::to_string(result.rows) + " x " +
                                      std::to_string(result.cols));
    if (pixel_size == 0) pixel_size = result.pix_size > 0 ? result.pix_size : dem.pix_size;
    if (pixel_size <= 0) return opt::failure(TOOL, "neither descriptor gives a pixel size: give --pixel-size");
    if (scale == 0) scale = std::max(1, 800 / std::max(dem.rows(), dem.cols()));
    if (static_cast<long long>(dem.rows()) * scale > 30000 || static_cast<long long>(dem.cols()) * scale > 30000)
        return opt::failure(TOOL, "the picture would exceed 30000 pixels a side: give a smaller --scale");

    const Terrain t = dem.samples.terrain(formats::unit_divisor(unit), pixel_size);
    const tools::Image img = tools::draw(tools::hillshade(t), result, scale, dem.filled);
    if (!tools::write_png(line.args[2], img, err)) return opt::failure(TOOL, err);
    return 0;
}
