// replay.cpp: the answers that make tolmar redo every treatment of a run
// log, byte for byte: what the opening dialogue will ask, found from the log,
// the raster beside it, the DEM's descriptor and its sidecar.
#include "replay/replay.h"

#include <sys/stat.h>


#include "files/formats.h"
#include "geo/georef.h"
#include "files/resultset.h"

namespace tools {

namespace {

using tolmar::Status;

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// What the opening will ask depends on the DEM descriptor beside the DEM:
// the sizes when there is none, the pixel size when it gives none.
Status describe_dem(const std::string &dem_txt, const formats::ResultLog &log, formats::Answers &a) {
    std::string text, why;
    const bool have = formats::read_file(dem_txt, text, why, 1 << 20);
    const formats::Descriptor d = formats::parse_descriptor(text);
    if (have && (d.count < 2 || d.field[0] != log.rows || d.field[1] != log.cols))
        return Status::failed(dem_txt, dem_txt + " does not describe a DEM of " + std::to_string(log.rows) + " x " +
                                      std::to_string(log.cols) + " cells, as the log does");
    const bool pix_from_descriptor = have && d.count >= 6 && d.field[5] > 0;
    if (pix_from_descriptor && d.field[5] != log.pix_size)
        return Status::failed(dem_txt, dem_txt + " gives pixel size " + std::to_string(d.field[5]) + ", the run used " +
                                      std::to_string(log.pix_size));
    a.ask_sizes = !have;
    a.rows = log.rows;
    a.cols = log.cols;
    a.pix_size = log.pix_size;
    a.ask_pix_size = have && !pix_from_descriptor;
    return Status();
}

// The DEM's name and type: given, or the DEM beside the log.
Status find_dem(const std::string &dir, std::string &dem, int &type) {
    const bool m2 = exists(dir + "/" + dem + formats::dem_raster_suffix(2));
    const bool m4 = exists(dir + "/" + dem + formats::dem_raster_suffix(4));
    if (type < 0 && m2 == m4)
        return Status::misused("--type", m2 ? "both " + dem + formats::dem_raster_suffix(2) + " and " + dem +
                                               formats::dem_raster_suffix(4) + " exist: give --type"
                                         : "no DEM " + dem + formats::dem_raster_suffix(2) + " or " + dem +
                                               formats::dem_raster_suffix(4) + " beside the log: give --dem (and --type)");
    if (type < 0) type = m2 ? 0 : 1;
    return Status();
}

// The log as it stands (a stamp a dead run left unfinished left out), and
// the background from the raster beside it when not given.
Status read_log(const std::string &log_path, int &background, formats::ResultLog &log) {
    ResultSet set;
    std::string err, why, text;
    const bool whole = read_result_set(log_path, set, err);
    if (whole) text = set.log_text;
    else if (!formats::read_file(log_path, text, why, 1 << 20)) return Status::failed(log_path, "cannot read " + log_path + ": " + why);
    if (!formats::parse_result_log(text, log, why)) return Status::failed(log_path, log_path + ": " + why);
    // Without its raster, a log may still be replayed with --background.
    if (background < 0 && !whole)
        return Status::misused("--background", "cannot read " + formats::raster_path(log_path) + ": give --background");
    if (background < 0) background = set.background() == 255 ? 0 : 1;
    return Status();
}

}  // namespace

Status run_replay(ReplayRequest q, std::string &answers, const tolmar::Listener &l) {
    formats::Answers a;
    a.unit = q.unit;

    // images/FOLDER/R_tolmar.txt
    std::string log_path = q.log;
    if (formats::ends_with(log_path, formats::RESULT_RASTER_SUFFIX)) log_path = formats::descriptor_path(log_path);
    if (!formats::ends_with(log_path, formats::RESULT_LOG_SUFFIX))
        return Status::failed(log_path, log_path + ": a run log's name ends in " + formats::RESULT_LOG_SUFFIX);
    const size_t slash = log_path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : log_path.substr(0, slash);
    const std::string name = formats::name_of(log_path);
    const std::string result = name.substr(0, name.size() - std::string(formats::RESULT_LOG_SUFFIX).size());
    if (q.folder.empty()) q.folder = dir.substr(dir.find_last_of('/') + 1);
    if (q.folder.empty() || q.folder == ".") return Status::misused("--folder", "cannot tell the folder from " + log_path + ": give --folder");
    if (q.dem.empty()) q.dem = result;
    if (const Status found = find_dem(dir, q.dem, q.type); !found.ok()) return found;
    // The unit: given, or as the DEM's sidecar records it.
    const std::string dem_raw = dir + "/" + q.dem + formats::dem_raster_suffix(q.type == 0 ? 2 : 4);
    if (q.unit < 0) {
        double k;
        geo::read_import_scale(dem_raw, a.unit, k);
        if (a.unit < 0)
            return Status::misused("--unit", "--unit is required: neither the log nor " + dem_raw + " says in which unit its samples are");
    }
    formats::ResultLog log;
    if (const Status read = read_log(log_path, q.background, log); !read.ok()) return read;
    a.treatments = log.records;
    a.folder = q.folder;
    a.dem = q.dem;
    a.type = q.type;
    a.result = result == q.dem ? "" : result;
    a.background = q.background;
    const std::string dem_txt = formats::descriptor_path(dem_raw);
    if (const Status described = describe_dem(dem_txt, log, a); !described.ok()) return described;
    answers = formats::answers_text(a);
    if (log.geometry == Geometry::exact) {
        // Rebuilt by the console in classic geometry, the set would change:
        // the command that keeps its own, said and kept after the answers
        // (the console reads nothing after Exit).
        const std::string command = "tolmar-replay " + log_path + " | tolmar --geometry true";
        l.note(log_path + " was made in true geometry: rebuild it with " + command);
        answers += "\nThese answers are for tolmar --geometry true: " + command + "\n";
    }
    return Status();
}

}  // namespace tools
