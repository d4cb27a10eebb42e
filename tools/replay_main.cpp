// replay_main.cpp: tolmar-replay, the answers that make tolmar redo every
// treatment of a run log, so that `tolmar-replay ... | tolmar` writes the
// same result raster and log again: tolmar-replay [options] RESULT.txt
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "resultset.h"

namespace {

const char USAGE[] =
    "usage: tolmar-replay --unit U [options] images/FOLDER/R_tolmar.txt\n"
    "\n"
    "Prints, one per line, the answers with which tolmar redoes every treatment\n"
    "logged in R_tolmar.txt, in order: run it from the folder that holds\n"
    "images/ as  tolmar-replay --unit m images/FOLDER/R_tolmar.txt | tolmar\n"
    "and tolmar writes R_tolmar.raw and R_tolmar.txt again, byte for byte.\n"
    "The log does not record everything the opening dialogue asked:\n"
    "\n"
    "  --unit U          unit of the DEM samples, as answered: m, dm, cm or mm\n"
    "                    (or 0 to 3); required\n"
    "  --dem NAME        the DEM's name (default: R, when R_m2.raw or R_m4.raw\n"
    "                    lies beside the log)\n"
    "  --type 0|1        16-bit (0) or 32-bit (1) DEM (default: the one of\n"
    "                    NAME_m2.raw and NAME_m4.raw that exists)\n"
    "  --folder D        the folder under images/ (default: the log's folder)\n"
    "  --background B    white or black (default: white when R_tolmar.raw holds\n"
    "                    a 255, else black)\n"
    "  -h, --help        this text\n";

int usage_error(const std::string &what) { return tools::usage_error("tolmar-replay", what); }
int failure(const std::string &what) { return tools::failure("tolmar-replay", what); }

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string log_path, dem, folder, unit, type, background;
    for (int k = 1; k < argc; k++) {
        const std::string a = argv[k];
        if (a == "-h" || a == "--help") {
            fputs(USAGE, stdout);
            return 0;
        }
        std::string *value = a == "--unit" ? &unit : a == "--dem" ? &dem : a == "--type" ? &type
                           : a == "--folder" ? &folder : a == "--background" ? &background : nullptr;
        if (value != nullptr) {
            if (k + 1 >= argc) return usage_error(a + " needs a value");
            *value = argv[++k];
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (log_path.empty()) {
            log_path = a;
        } else {
            return usage_error("one run log only, not also " + a);
        }
    }
    if (log_path.empty()) return usage_error("needs the run log R_tolmar.txt");
    formats::Session session;
    session.unit = tools::unit_answer(unit);
    if (unit.empty()) return usage_error("--unit is required: the log does not say in which unit the DEM's samples are");
    if (session.unit < 0) return usage_error("--unit takes m, dm, cm or mm (or 0 to 3), not " + unit);
    if (!type.empty() && type != "0" && type != "1") return usage_error("--type takes 0 (16-bit) or 1 (32-bit), not " + type);
    if (!background.empty() && background != "white" && background != "black")
        return usage_error("--background takes white or black, not " + background);

    // images/FOLDER/R_tolmar.txt
    if (!formats::ends_with(log_path, formats::RESULT_LOG_SUFFIX))
        return failure(log_path + ": a run log's name ends in " + formats::RESULT_LOG_SUFFIX);
    const size_t slash = log_path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : log_path.substr(0, slash);
    const std::string result =
        log_path.substr(slash + 1, log_path.size() - slash - 1 - std::string(formats::RESULT_LOG_SUFFIX).size());
    if (folder.empty()) folder = dir.substr(dir.find_last_of('/') + 1);
    if (folder.empty() || folder == ".") return usage_error("cannot tell the folder from " + log_path + ": give --folder");
    if (dem.empty()) dem = result;

    auto dem_file = [&](int width, bool raster) {
        return dir + "/" + dem + (raster ? formats::dem_raster_suffix(width) : formats::dem_descriptor_suffix(width));
    };
    if (type.empty()) {
        const bool m2 = exists(dem_file(2, true)), m4 = exists(dem_file(4, true));
        if (m2 == m4)
            return usage_error(m2 ? "both " + dem + formats::dem_raster_suffix(2) + " and " + dem + formats::dem_raster_suffix(4) + " exist: give --type"
                                  : "no DEM " + dem + formats::dem_raster_suffix(2) + " or " + dem + formats::dem_raster_suffix(4) + " beside the log: give --dem (and --type)");
        type = m2 ? "0" : "1";
    }

    std::string text, why;
    if (!formats::read_file(log_path, text, why)) return failure("cannot read " + log_path + ": " + why);
    const formats::Descriptor header = formats::parse_descriptor(text);
    if (header.count < 6 || header.field[0] < 1 || header.field[1] < 1 || header.field[2] != 1)
        return failure(log_path + ": not a result descriptor (six header lines, the third one 1)");
    std::string err;
    if (!formats::parse_log(text.substr(header.end), session.treatments, err)) return failure(log_path + ": " + err);
    if (session.treatments.size() > 250) return failure(log_path + ": more than 250 records");

    if (background.empty()) {
        std::string raw;
        const std::string raw_path = formats::raster_path(log_path);
        if (!formats::read_file(raw_path, raw, why)) return usage_error("cannot read " + raw_path + ": give --background");
        background = raw.find('\xff') != std::string::npos ? "white" : "black";
    }

    // What the opening will ask depends on the DEM descriptor beside the DEM.
    session.folder = folder;
    session.dem = dem;
    session.itype = type == "0" ? 0 : 1;
    session.result = result == dem ? "" : result;
    session.background = background == "white" ? 0 : 1;
    const std::string dem_txt = dem_file(session.itype == 0 ? 2 : 4, false);
    const long long rows = header.field[0], cols = header.field[1], pix = header.field[5];
    std::string dtext;
    const bool have_descriptor = formats::read_file(dem_txt, dtext, why);
    const formats::Descriptor d = formats::parse_descriptor(dtext);
    if (have_descriptor && (d.count < 2 || d.field[0] != rows || d.field[1] != cols))
        return failure(dem_txt + " does not describe a DEM of " + std::to_string(rows) + " x " + std::to_string(cols) +
                       " cells, as the log does");
    const bool pix_from_descriptor = have_descriptor && d.count >= 6 && d.field[5] > 0;
    if (pix_from_descriptor && d.field[5] != pix)
        return failure(dem_txt + " gives pixel size " + std::to_string(d.field[5]) + ", the run used " +
                       std::to_string(pix));
    session.ask_sizes = !have_descriptor;
    session.rows = static_cast<int>(rows);
    session.cols = static_cast<int>(cols);
    session.pix_size = static_cast<int>(pix);
    session.ask_pix_size = have_descriptor && !pix_from_descriptor;

    const std::string out = formats::answers_text(session);
    fputs(out.c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : failure("cannot write the standard output");
}
