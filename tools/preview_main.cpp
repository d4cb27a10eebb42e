// preview_main.cpp: tolmar-preview, a picture of a run's traces over the
// terrain: tolmar-preview [options] DEM.raw RESULT.raw OUT.png
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "georef.h"
#include "picture.h"
#include "resultset.h"

namespace {

const char USAGE[] =
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
    "options:\n"
    "  --unit U          unit of the DEM samples: m (default), dm, cm or mm\n"
    "  --scale N         pixels per cell (default: enough for about 800 pixels)\n"
    "  --pixel-size N    ground size of a cell in metres, when neither\n"
    "                    descriptor gives one\n"
    "  -h, --help        this text\n";

int usage_error(const std::string &what) { return tools::usage_error("tolmar-preview", what); }
int failure(const std::string &what) { return tools::failure("tolmar-preview", what); }

bool positive(const char *s, int &out) {
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < 1 || v > 100000) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    double divisor = 1.0;
    int scale = 0, pixel_size = 0;
    std::string files[3];
    int nfiles = 0;
    for (int k = 1; k < argc; k++) {
        std::string a = argv[k];
        if (a == "-h" || a == "--help") {
            fputs(USAGE, stdout);
            return 0;
        }
        if (a == "--unit" || a == "--scale" || a == "--pixel-size") {
            if (k + 1 >= argc) return usage_error(a + " needs a value");
            const char *v = argv[++k];
            if (a == "--unit") {
                const int unit = tools::unit_answer(v);
                if (unit < 0) return usage_error("--unit takes m, dm, cm or mm, not " + std::string(v));
                divisor = tools::unit_divisor(unit);
            } else if (!positive(v, a == "--scale" ? scale : pixel_size)) {
                return usage_error(a + " takes a whole number from 1 up, not " + std::string(v));
            }
            continue;
        }
        if (a.size() > 1 && a[0] == '-') return usage_error("unknown option " + a);
        if (nfiles == 3) return usage_error("too many arguments: " + a);
        files[nfiles++] = a;
    }
    if (nfiles < 3) return usage_error("needs DEM.raw, RESULT.raw and OUT.png");

    std::string err;
    tools::Dem dem;
    if (!tools::load_dem(files[0], dem, err)) return failure(err);
    tools::Result result;
    if (!tools::load_result(files[1], result, err)) return failure(err);
    const DemSamples &samples = dem.samples;
    if (samples.rows != result.rows || samples.cols != result.cols)
        return failure("the DEM has " + std::to_string(samples.rows) + " x " + std::to_string(samples.cols) +
                       " cells but the result " + std::to_string(result.rows) + " x " +
                       std::to_string(result.cols));
    if (pixel_size == 0) pixel_size = result.pix_size > 0 ? result.pix_size : dem.pix_size;
    if (pixel_size <= 0) return failure("neither descriptor gives a pixel size: give --pixel-size");
    if (scale == 0) scale = std::max(1, 800 / std::max(samples.rows, samples.cols));
    if (static_cast<long long>(samples.rows) * scale > 30000 || static_cast<long long>(samples.cols) * scale > 30000)
        return failure("the picture would exceed 30000 pixels a side: give a smaller --scale");

    std::vector<uint8_t> filled;
    if (!tools::read_filled(files[0], samples.rows, samples.cols, filled, err)) return failure(err);
    tools::Image img = tools::draw(tools::hillshade(samples.terrain(divisor, pixel_size)), result, scale, filled);
    if (!tools::write_png(files[2], img, err)) return failure(err);
    return 0;
}
