// replay_main.cpp: tolmar-replay, the answers that make tolmar redo every
// treatment of a run log, so that `tolmar-replay ... | tolmar` writes the
// same result raster and log again: tolmar-replay [options] RESULT.txt
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "files/formats.h"
#include "options/options.h"

namespace {

const char TOOL[] = "tolmar-replay";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-replay --unit U [options] images/FOLDER/R_tolmar.txt\n"
        "\n"
        "Prints, one per line, the answers with which tolmar redoes every treatment\n"
        "logged in R_tolmar.txt, in order: run it from the folder that holds\n"
        "images/ as  tolmar-replay --unit m images/FOLDER/R_tolmar.txt | tolmar\n"
        "and tolmar writes R_tolmar.raw and R_tolmar.txt again, byte for byte (a\n"
        "set made in true geometry says so: its answers go to tolmar --geometry true).\n"
        "The log does not record everything the opening dialogue asked:\n"
        "\n";
    c.options = {
        {"--unit", "", 1,
         "  --unit U          unit of the DEM samples, as answered: m, dm, cm or mm\n"
         "                    (or 0 to 3); required\n", ""},
        {"--dem", "", 1,
         "  --dem NAME        the DEM's name (default: R, when R_m2.raw or R_m4.raw\n"
         "                    lies beside the log)\n", ""},
        {"--type", "", 1,
         "  --type 0|1        16-bit (0) or 32-bit (1) DEM (default: the one of\n"
         "                    NAME_m2.raw and NAME_m4.raw that exists)\n", ""},
        {"--folder", "", 1, "  --folder D        the folder under images/ (default: the log's folder)\n", ""},
        {"--background", "", 1,
         "  --background B    white or black (default: white when R_tolmar.raw holds\n"
         "                    a 255, else black)\n", ""},
    };
    c.min_args = c.max_args = 1;
    c.missing = "needs the run log R_tolmar.txt";
    c.one_more = "one run log only, not also ";
    return c;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// What the opening will ask depends on the DEM descriptor beside the DEM:
// the sizes when there is none, the pixel size when it gives none.
int describe_dem(const std::string &dem_txt, const formats::ResultLog &log, formats::Answers &a) {
    std::string text, why;
    const bool have = formats::read_file(dem_txt, text, why);
    const formats::Descriptor d = formats::parse_descriptor(text);
    if (have && (d.count < 2 || d.field[0] != log.rows || d.field[1] != log.cols))
        return opt::failure(TOOL, dem_txt + " does not describe a DEM of " + std::to_string(log.rows) + " x " +
                                      std::to_string(log.cols) + " cells, as the log does");
    const bool pix_from_descriptor = have && d.count >= 6 && d.field[5] > 0;
    if (pix_from_descriptor && d.field[5] != log.pix_size)
        return opt::failure(TOOL, dem_txt + " gives pixel size " + std::to_string(d.field[5]) + ", the run used " +
                                      std::to_string(log.pix_size));
    a.ask_sizes = !have;
    a.rows = log.rows;
    a.cols = log.cols;
    a.pix_size = log.pix_size;
    a.ask_pix_size = have && !pix_from_descriptor;
    return -1;
}

// The DEM's name and type: given, or the DEM beside the log.
int find_dem(const std::string &dir, std::string &dem, std::string &type) {
    const bool m2 = exists(dir + "/" + dem + formats::dem_raster_suffix(2));
    const bool m4 = exists(dir + "/" + dem + formats::dem_raster_suffix(4));
    if (type.empty() && m2 == m4)
        return opt::usage_error(TOOL, m2 ? "both " + dem + formats::dem_raster_suffix(2) + " and " + dem +
                                               formats::dem_raster_suffix(4) + " exist: give --type"
                                         : "no DEM " + dem + formats::dem_raster_suffix(2) + " or " + dem +
                                               formats::dem_raster_suffix(4) + " beside the log: give --dem (and --type)");
    if (type.empty()) type = m2 ? "0" : "1";
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    opt::Line line;
    const int done = opt::parse(command(), argc, argv, line);
    if (done >= 0) return done;
    const std::string log_path = line.args[0], unit = line.value("--unit");
    std::string dem = line.value("--dem"), folder = line.value("--folder"), type = line.value("--type");
    std::string background = line.value("--background");
    formats::Answers a;
    a.unit = formats::unit_of_name(unit);
    if (unit.empty()) return opt::usage_error(TOOL, "--unit is required: the log does not say in which unit the DEM's samples are");
    if (a.unit < 0) return opt::usage_error(TOOL, "--unit takes m, dm, cm or mm (or 0 to 3), not " + unit);
    if (!type.empty() && type != "0" && type != "1") return opt::usage_error(TOOL, "--type takes 0 (16-bit) or 1 (32-bit), not " + type);
    if (!background.empty() && background != "white" && background != "black")
        return opt::usage_error(TOOL, "--background takes white or black, not " + background);

    // images/FOLDER/R_tolmar.txt
    if (!formats::ends_with(log_path, formats::RESULT_LOG_SUFFIX))
        return opt::failure(TOOL, log_path + ": a run log's name ends in " + formats::RESULT_LOG_SUFFIX);
    const size_t slash = log_path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : log_path.substr(0, slash);
    const std::string result = formats::name_of(log_path).substr(0, formats::name_of(log_path).size() - 11);
    if (folder.empty()) folder = dir.substr(dir.find_last_of('/') + 1);
    if (folder.empty() || folder == ".") return opt::usage_error(TOOL, "cannot tell the folder from " + log_path + ": give --folder");
    if (dem.empty()) dem = result;
    if (const int status = find_dem(dir, dem, type); status >= 0) return status;

    std::string text, why;
    if (!formats::read_file(log_path, text, why)) return opt::failure(TOOL, "cannot read " + log_path + ": " + why);
    formats::ResultLog log;
    if (!formats::parse_result_log(text, log, why)) return opt::failure(TOOL, log_path + ": " + why);
    a.treatments = log.records;
    if (background.empty()) {
        std::string raw;
        const std::string raw_path = formats::raster_path(log_path);
        if (!formats::read_file(raw_path, raw, why)) return opt::usage_error(TOOL, "cannot read " + raw_path + ": give --background");
        background = raw.find('\xff') != std::string::npos ? "white" : "black";
    }
    a.folder = folder;
    a.dem = dem;
    a.type = type == "0" ? 0 : 1;
    a.result = result == dem ? "" : result;
    a.background = background == "white" ? 0 : 1;
    const std::string dem_txt = dir + "/" + dem + formats::dem_descriptor_suffix(a.type == 0 ? 2 : 4);
    if (const int status = describe_dem(dem_txt, log, a); status >= 0) return status;
    if (log.geometry == Geometry::exact)
        fprintf(stderr, "%s: %s was made in true geometry: give the answers to tolmar --geometry true\n", TOOL,
                log_path.c_str());
    fputs(formats::answers_text(a).c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : opt::failure(TOOL, "cannot write the standard output");
}
