// main.cpp: tolmar-stations, a table of field stations traced on a
// DEM: tolmar-stations DEM.raw STATIONS [-o LAYER] [--zone N] [...]
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <cpl_progress.h>

#include "files/formats.h"
#include "options/ending.h"
#include "options/options.h"
#include "stations/stations.h"

namespace {

const char TOOL[] = "tolmar-stations";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-stations DEM.raw STATIONS [-o LAYER] [--zone N] [--sets [--result NAME]]\n"
        "                       [--geometry true|classic] [column and place options]\n"
        "\n"
        "Traces every station of a table on the DEM, in the table's order, as the\n"
        "dialogue would trace the same answers: one treatment a station, its point,\n"
        "its dip and dip direction (or strike and dip by the right-hand rule) and its\n"
        "influence zone. STATIONS is any table OGR reads: CSV (x,y or row,column\n"
        "columns), GeoPackage, GeoJSON, Shapefile. Writes:\n"
        "  - a trace layer: one feature a station, its trace as lines in the DEM's\n"
        "    system, every column of the station, and cells, status (traced, or\n"
        "    refused and why), row and column; with --sets, code and result too;\n"
        "  - with --sets, result sets of 250 treatments in the DEM's folder,\n"
        "    NAME_tolmar.raw and .txt, then NAME_2_tolmar, NAME_3_tolmar, ... (NAME:\n"
        "    --result, else the table's name); an earlier set of that name is\n"
        "    replaced. Each set is a raster of the DEM's size.\n"
        "\n";
    c.options = {
        opt::of_kind({"-o", "", 1, "  -o LAYER          the trace layer, .gpkg or .geojson (default\n"
                                   "                    TABLE_traces.gpkg in the current folder)\n", ""},
                     opt::Kind::output),
        opt::whole_in({"--zone", "", 1, "  --zone N          the influence zone of every station, in cells (default:\n"
                                        "                    a column named zone, influence_zone or infl)\n", ""},
                      1, 1000000, "cells", "--zone takes a whole number of cells from 1, not {}"),
        {"--sets", "", 0, "  --sets            write the result sets too (rasters of the DEM's size)\n", ""},
        {"--result", "", 1, "  --result NAME     the result sets' name\n", ""},
        opt::geometry_option("  --geometry G      true (default: where the plane meets the ground) or classic,\n"
                             "                    as the console's option\n",
                             "true"),
        {"--dip", "", 1, "  --dip COL         the dip column (default: dip, dip_angle, ...)\n", ""},
        {"--dip-direction", "", 1, "  --dip-direction COL  the dip direction column (default: dip_direction,\n"
                                   "                    dipdir, dip_dir, azimuth, ...)\n", ""},
        {"--strike", "", 1, "  --strike COL      a strike column (right-hand rule) instead\n", ""},
        {"--zone-column", "", 1, "  --zone-column COL the zone column\n", ""},
        {"--x", "", 1, "  --x COL, --y COL  map coordinate columns (default: the table's points;\n"
                       "                    without them, columns x/y, easting/northing, lon/lat,\n"
                       "                    ...; lon and lat in WGS 84 unless --table-crs)\n", ""},
        {"--y", "", 1, "", ""},
        {"--row", "", 1, "  --row COL, --column COL  cell columns instead of map coordinates\n", ""},
        {"--column", "", 1, "", ""},
        {"--id", "", 1, "  --id COL          the column that names the stations in the words (default:\n"
                        "                    id, station, name or site; else their numbers)\n", ""},
        {"--layer", "", 1, "  --layer NAME      the table's layer (default: its first)\n", ""},
        {"--table-crs", "", 1, "  --table-crs SRS   the system of a table that names none (default: the\n"
                               "                    DEM's); a table in another system is reprojected\n", ""},
        opt::unit_option("  --unit U          the DEM's unit, m, dm, cm or mm, when its sidecar gives none\n"),
        opt::whole_in({"--pixel-size", "", 1, "  --pixel-size P    when the DEM's descriptor gives none\n", ""}, 1, 2147483647,
                      "metres", "--pixel-size takes a whole number of metres from 1, not {}"),
        opt::background_option("  --background B    the sets' background, white (default) or black (a black\n"
                               "                    set is written sparse: only its traces take room)\n"),
        {"--resume", "", 0, "  --resume          carry on a table a kill or a failure ended: the layer -o (a\n"
                            "                    GeoPackage) and the sets are kept, the stations they hold\n"
                            "                    skipped, the others traced\n", ""},
        {"--progress", "", 0, "  --progress        lines \"progress N\" (percent) on the standard error, for a\n"
                              "                    program that runs it (a bar is drawn on a terminal anyway),\n"
                              "                    and \"durable N\" once the first N stations are on the disk\n", ""},
    };
    c.min_args = c.max_args = 2;
    c.arguments = {"DEM.raw", "STATIONS"};
    c.missing = "needs the DEM raster DEM.raw and a table of stations";
    c.one_more = "one DEM and one table only, not also ";
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    opt::Line line;
    const int parsed = opt::parse(command(), argc, argv, line);
    if (parsed >= 0) return parsed;
    tools::StationsRequest q;
    q.dem = line.args[0];
    q.table = line.args[1];
    q.out = line.value("-o");
    q.result = line.value("--result");
    q.layer = line.value("--layer");
    q.dip = line.value("--dip");
    q.dip_direction = line.value("--dip-direction");
    q.strike = line.value("--strike");
    q.zone_column = line.value("--zone-column");
    q.x = line.value("--x");
    q.y = line.value("--y");
    q.row = line.value("--row");
    q.column = line.value("--column");
    q.id = line.value("--id");
    q.table_crs = line.value("--table-crs");
    q.unit = line.unit();
    q.zone = line.whole("--zone", 0);
    q.pixel_size = line.whole("--pixel-size", 0);
    geometry_of_name(line.value("--geometry", "true").c_str(), q.geometry);
    q.black = line.value("--background") == "black";
    q.sets = line.has("--sets");
    q.resume = line.has("--resume");
    for (const char *o : {"--result", "--background"})
        if (line.has(o) && !q.sets) return opt::usage_error(TOOL, std::string(o) + " is for the result sets, which only --sets writes");
    const bool progress_lines = line.has("--progress");
    if (!q.dip_direction.empty() && !q.strike.empty())
        return opt::usage_error(TOOL, "--dip-direction and --strike name the same thing twice: give one");
    // SIGINT, SIGTERM and SIGHUP end the table between two stations.
    opt::Ending ending;
    q.stop = [&ending] { return ending.signal(); };
    tolmar::Listener l = opt::printing(TOOL);
    // A bar on a terminal for a long table; "progress N" lines when asked.
    const bool tty = isatty(STDERR_FILENO);
    l.progressed = [tty, progress_lines](double done, double total) {
        const long long n = static_cast<long long>(done), count = static_cast<long long>(total);
        if (tty && count > 100) GDALTermProgress(done / total, nullptr, nullptr);
        if (progress_lines && count > 0 && (n * 100 / count) != ((n - 1) * 100 / count))
            fprintf(stderr, "progress %lld\n", n * 100 / count);
    };
    if (progress_lines) l.durable = [](long long done) { fprintf(stderr, "durable %lld\n", done); };
    tools::StationsDone done;
    const tolmar::Status s = tools::run_stations(q, l, done);
    if (!s.ok()) return opt::finish(TOOL, s);
    if (done.stopped == 0) return 0;
    if (done.traced == 0)
        printf("%s: %s before any station was stamped: nothing is written\n", TOOL, opt::signal_words(done.stopped).c_str());
    else
        printf("%s: %s after station %lld of %lld: stations 1 to %lld are in the %s, the others are not\n", TOOL,
               opt::signal_words(done.stopped).c_str(), done.stations, done.count, done.stations,
               q.sets ? "sets and the layer" : "layer");
    return 128 + done.stopped;
}
