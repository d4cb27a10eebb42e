// main.cpp: tolmar-fit, which attitude fits a mapped contact:
// tolmar-fit [options] DEM.raw CONTACT.
#include <cstdlib>
#include <string>

#include "files/formats.h"
#include "fit/fit_run.h"
#include "options/options.h"

namespace {

const char TOOL[] = "tolmar-fit";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-fit [options] DEM.raw CONTACT\n"
        "\n"
        "Which attitude fits a contact mapped on the DEM (NAME_m2.raw or NAME_m4.raw\n"
        "with its descriptor)? CONTACT is a CSV with a header row,column (cells) or\n"
        "x,y (map coordinates, placed by the DEM's georeference from tolmar-import,\n"
        "or cell units as tolmar-export writes them without one), or GeoJSON with\n"
        "LineString, MultiLineString, Point or MultiPoint geometries. It prints:\n"
        "  1. the plane through the contact's points at their DEM elevations (least\n"
        "     squares, exact through three points): dip, dip direction and RMS\n"
        "     residual, with a warning when the points lie nearly on a line;\n"
        "  2. the true attitude: the dip and dip direction whose plane meets the\n"
        "     ground (the DEM's bilinear surface) nearest the contact's points, by\n"
        "     least squares from the plane of 1, with ranges at 99 % from the\n"
        "     profile of the sum of squares (or a word that the contact does not\n"
        "     bound them) and the RMS distance in metres;\n"
        "  3. the treatment that draws it (whole degrees, as tolmar takes them):\n"
        "     a reference point, a zone whose square reaches the whole contact,\n"
        "     and a verdict: how much of the contact its true trace runs within\n"
        "     one and two cells of.\n"
        "\n";
    c.options = {
        opt::unit_option("  --unit U            unit of the samples: m, dm, cm or mm (default: an\n"
                         "                      imported DEM's own, else m)\n"),
        opt::whole_in({"--pixel-size", "", 1, "  --pixel-size N      the pixel size, when the descriptor gives none\n", ""}, 1,
                      2147483647, "metres", "--pixel-size takes a whole number from 1 up, not {}"),
        opt::whole_in({"--point", "", 2,
                       "  --point ROW COL     the reference point (default: the contact's point\n"
                       "                      nearest its centre)\n", "--point needs a row and a column", true},
                      -1e308, 1e308, "cells", "--point needs a row and a column"),
        opt::whole_in({"--zone", "", 1, "  --zone N            the influence zone (default: enough for the contact)\n", ""}, 1,
                      2147483647, "cells", "--zone takes a whole number from 1 up, not {}"),
        opt::whole_in({"--values", "", 5, "  --values ROW COL DIP DIR ZONE   also the verdict of this treatment\n",
                       "--values needs ROW COL DIP DIR ZONE, whole numbers", true},
                      -1e308, 1e308, "", "--values needs ROW COL DIP DIR ZONE, whole numbers"),
        {"--score", "", 1, "  --score R_tolmar.txt            the misfit of every treatment of a run log\n", ""},
        {"--answers", "", 1,
         "  --answers FILE      writes the answers with which tolmar stamps the best\n"
         "                      treatment (into the result set NAME_fit)\n", ""},
        {"--picture", "", 1,
         "  --picture OUT.png   the contact (black) and the best trace around it, and\n"
         "                      beside them a stereonet (lower hemisphere, equal area)\n"
         "                      of the answer's pole and its region, or of the poles of\n"
         "                      the planes that fit when the contact does not decide\n", ""},
        {"--band", "", 1,
         "  --band LAYER        the band where the planes of the region meet the ground,\n"
         "                      as polygons (.gpkg or .geojson, in the DEM's system)\n", ""},
        {"--trace", "", 1, "  --trace LAYER       the answer's trace as lines (.gpkg or .geojson)\n", ""},
        opt::defaults_to(opt::number_in({"--level", "", 1,
                        "  --level P           the confidence of the region and its ranges, in percent\n"
                        "                      (default 99; measured to hold at 90 and 99)\n", ""},
                       50, 99.9, "percent", "--level takes a percentage from 50 to 99.9, not {}"),
                         "99"),
        {"--json", "", 0, "  --json              one JSON object instead of text\n", ""},
        {"--classic", "", 0,
         "  --classic           the classic fit instead: the whole dip and direction whose\n"
         "                      classic trace (tolmar's default geometry) follows the\n"
         "                      contact best, for classic result sets; --answers then\n"
         "                      writes classic answers\n", ""},
    };
    c.help_line = "  -h, --help          this text\n";
    c.min_args = c.max_args = 2;
    c.arguments = {"DEM.raw", "CONTACT"};
    c.missing = "needs DEM.raw and CONTACT";
    c.one_more = "too many arguments: ";
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    opt::Line line;
    const int parsed = opt::parse(command(), argc, argv, line);
    if (parsed >= 0) return parsed;
    tools::FitRequest q;
    q.dem = line.args[0];
    q.contact = line.args[1];
    q.unit = line.unit();
    q.pixel_size = line.whole("--pixel-size", 0);
    q.zone_cells = line.whole("--zone", 0);
    q.zone = line.has("--zone");
    // Whole numbers, as read.
    if ((q.point = line.has("--point"))) {
        formats::parse_int(line.values("--point")[0], q.row);
        formats::parse_int(line.values("--point")[1], q.column);
    }
    if ((q.given = line.has("--values"))) {
        int v[5];
        for (int n = 0; n < 5; n++) formats::parse_int(line.values("--values")[static_cast<size_t>(n)], v[n]);
        q.values = {v[0], v[1], v[2], v[3], v[4]};
    }
    q.json = line.has("--json");
    q.classic = line.has("--classic");
    q.answers = line.value("--answers");
    q.score = line.value("--score");
    q.picture = line.value("--picture");
    q.band = line.value("--band");
    q.trace = line.value("--trace");
    if (line.has("--level")) q.level = strtod(line.value("--level").c_str(), nullptr) / 100;
    tools::FitAnswer a;
    const tolmar::Status s = tools::run_fit(q, a);
    if (!s.ok()) return opt::finish(TOOL, s);
    fputs((q.json ? a.json : a.text).c_str(), stdout);
    return a.answered ? 0 : 1;
}
