// replay.cpp: the answers that make tolmar redo every treatment of a run
// log, byte for byte: what the opening dialogue will ask, found from the log,
// the raster beside it, the DEM's descriptor and its sidecar.
#include "replay.h"

#include <sys/stat.h>

#include <cstdio>

#include "files/formats.h"
#include "files/georef.h"
#include "files/resultset.h"
#include "options/options.h"

namespace tools {

namespace {

const char TOOL[] = "tolmar-replay";

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// What the opening will ask depends on the DEM descriptor beside the DEM:
// the sizes when there is none, the pixel size when it gives none.
int describe_dem(const std::string &dem_txt, const formats::ResultLog &log, formats::Answers &a) {
    std::string text, why;
    const bool have = formats::read_file(dem_txt, text, why, 1 << 20);
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

// The log as it stands (a stamp a dead run left unfinished left out), and
// the background from the raster beside it when not given.
int read_log(const std::string &log_path, std::string &background, formats::ResultLog &log) {
    ResultSet set;
    std::string err, why, text;
    const bool whole = read_result_set(log_path, set, err);
    if (whole) text = set.log_text;
    else if (!formats::read_file(log_path, text, why, 1 << 20)) return opt::failure(TOOL, "cannot read " + log_path + ": " + why);
    if (!formats::parse_result_log(text, log, why)) return opt::failure(TOOL, log_path + ": " + why);
    // Without its raster, a log may still be replayed with --background.
    if (background.empty() && !whole)
        return opt::usage_error(TOOL, "cannot read " + formats::raster_path(log_path) + ": give --background");
    if (background.empty()) background = set.background() == 255 ? "white" : "black";
    return -1;
}

}  // namespace

int run_replay(ReplayRequest q) {
    formats::Answers a;
    if (!q.unit.empty() && (a.unit = formats::unit_of_name(q.unit)) < 0)
        return opt::usage_error(TOOL, "--unit takes m, dm, cm or mm (or 0 to 3), not " + q.unit);
    if (!q.type.empty() && q.type != "0" && q.type != "1")
        return opt::usage_error(TOOL, "--type takes 0 (16-bit) or 1 (32-bit), not " + q.type);
    if (!q.background.empty() && q.background != "white" && q.background != "black")
        return opt::usage_error(TOOL, "--background takes white or black, not " + q.background);

    // images/FOLDER/R_tolmar.txt
    std::string log_path = q.log;
    if (formats::ends_with(log_path, formats::RESULT_RASTER_SUFFIX)) log_path = formats::descriptor_path(log_path);
    if (!formats::ends_with(log_path, formats::RESULT_LOG_SUFFIX))
        return opt::failure(TOOL, log_path + ": a run log's name ends in " + formats::RESULT_LOG_SUFFIX);
    const size_t slash = log_path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : log_path.substr(0, slash);
    const std::string name = formats::name_of(log_path);
    const std::string result = name.substr(0, name.size() - std::string(formats::RESULT_LOG_SUFFIX).size());
    if (q.folder.empty()) q.folder = dir.substr(dir.find_last_of('/') + 1);
    if (q.folder.empty() || q.folder == ".") return opt::usage_error(TOOL, "cannot tell the folder from " + log_path + ": give --folder");
    if (q.dem.empty()) q.dem = result;
    if (const int status = find_dem(dir, q.dem, q.type); status >= 0) return status;
    // The unit: given, or as the DEM's sidecar records it.
    const std::string dem_raw = dir + "/" + q.dem + formats::dem_raster_suffix(q.type == "0" ? 2 : 4);
    if (q.unit.empty()) {
        double k;
        geo::read_import_scale(dem_raw, a.unit, k);
        if (a.unit < 0)
            return opt::usage_error(TOOL, "--unit is required: neither the log nor " + dem_raw + " says in which unit its samples are");
    }
    formats::ResultLog log;
    if (const int status = read_log(log_path, q.background, log); status >= 0) return status;
    a.treatments = log.records;
    a.folder = q.folder;
    a.dem = q.dem;
    a.type = q.type == "0" ? 0 : 1;
    a.result = result == q.dem ? "" : result;
    a.background = q.background == "white" ? 0 : 1;
    const std::string dem_txt = formats::descriptor_path(dem_raw);
    if (const int status = describe_dem(dem_txt, log, a); status >= 0) return status;
    std::string answers = formats::answers_text(a);
    if (log.geometry == Geometry::exact) {
        // Rebuilt by the console in classic geometry, the set would change:
        // the command that keeps its own, said and kept after the answers
        // (the console reads nothing after Exit).
        const std::string command = "tolmar-replay " + log_path + " | tolmar --geometry true";
        fprintf(stderr, "%s: %s was made in true geometry: rebuild it with %s\n", TOOL, log_path.c_str(), command.c_str());
        answers += "\nThese answers are for tolmar --geometry true: " + command + "\n";
    }
    fputs(answers.c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : opt::failure(TOOL, "cannot write the standard output");
}

}  // namespace tools
