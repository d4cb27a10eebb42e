// replay_main.cpp: tolmar-replay, the answers that make tolmar redo every
// treatment of a run log, so that `tolmar-replay ... | tolmar` writes the
// same result raster and log again: tolmar-replay [options] RESULT.txt
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
    FILE *f = fopen(path.c_str(), "rb");
    if (f != nullptr) fclose(f);
    return f != nullptr;
}

bool ends_with(const std::string &s, const std::string &end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
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
    static const char *const units[][2] = {{"m", "0"}, {"dm", "1"}, {"cm", "2"}, {"mm", "3"}};
    std::string unit_answer;
    for (const auto &u : units)
        if (unit == u[0] || unit == u[1]) unit_answer = u[1];
    if (unit.empty()) return usage_error("--unit is required: the log does not say in which unit the DEM's samples are");
    if (unit_answer.empty()) return usage_error("--unit takes m, dm, cm or mm (or 0 to 3), not " + unit);
    if (!type.empty() && type != "0" && type != "1") return usage_error("--type takes 0 (16-bit) or 1 (32-bit), not " + type);
    if (!background.empty() && background != "white" && background != "black")
        return usage_error("--background takes white or black, not " + background);

    // images/FOLDER/R_tolmar.txt
    if (!ends_with(log_path, "_tolmar.txt")) return failure(log_path + ": a run log's name ends in _tolmar.txt");
    const size_t slash = log_path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : log_path.substr(0, slash);
    const std::string result = log_path.substr(slash + 1, log_path.size() - slash - 1 - 11);
    if (folder.empty()) folder = dir.substr(dir.find_last_of('/') + 1);
    if (folder.empty() || folder == ".") return usage_error("cannot tell the folder from " + log_path + ": give --folder");
    if (dem.empty()) dem = result;

    if (type.empty()) {
        const bool m2 = exists(dir + "/" + dem + "_m2.raw"), m4 = exists(dir + "/" + dem + "_m4.raw");
        if (m2 == m4)
            return usage_error(m2 ? "both " + dem + "_m2.raw and " + dem + "_m4.raw exist: give --type"
                                  : "no DEM " + dem + "_m2.raw or " + dem + "_m4.raw beside the log: give --dem (and --type)");
        type = m2 ? "0" : "1";
    }

    std::string err, text;
    tools::Descriptor header;
    if (!tools::read_whole_file(log_path, text)) return failure("cannot read " + log_path);
    tools::parse_descriptor(text, header);
    if (header.count < 6 || header.field[0] < 1 || header.field[1] < 1 || header.field[2] != 1)
        return failure(log_path + ": not a result descriptor (six header lines, the third one 1)");
    std::vector<tools::Record> records;
    if (!tools::parse_log(header.rest, records, err)) return failure(log_path + ": " + err);
    if (records.size() > 250) return failure(log_path + ": more than 250 records");

    if (background.empty()) {
        std::string raw;
        const std::string raw_path = log_path.substr(0, log_path.size() - 4) + ".raw";
        if (!tools::read_whole_file(raw_path, raw)) return usage_error("cannot read " + raw_path + ": give --background");
        background = raw.find('\xff') != std::string::npos ? "white" : "black";
    }

    // What the opening will ask depends on the DEM descriptor beside the DEM.
    const std::string dem_txt = dir + "/" + dem + (type == "0" ? "_m2.txt" : "_m4.txt");
    const long long rows = header.field[0], cols = header.field[1], pix = header.field[5];
    tools::Descriptor d;
    const bool have_descriptor = tools::read_descriptor(dem_txt, d, err);
    if (have_descriptor && (d.count < 2 || d.field[0] != rows || d.field[1] != cols))
        return failure(dem_txt + " does not describe a DEM of " + std::to_string(rows) + " x " + std::to_string(cols) +
                       " cells, as the log does");
    const bool pix_from_descriptor = have_descriptor && d.count >= 6 && d.field[5] != 0;
    if (pix_from_descriptor && d.field[5] != pix)
        return failure(dem_txt + " gives pixel size " + std::to_string(d.field[5]) + ", the run used " +
                       std::to_string(pix));

    std::string out = folder + "\n" + dem + "\n" + type + "\n";
    if (!have_descriptor) out += std::to_string(rows) + "\n" + std::to_string(cols) + "\n" + std::to_string(pix) + "\n";
    out += result == dem ? "0\n" : "1\n" + result + "\n";
    out += unit_answer + "\n";
    if (have_descriptor && !pix_from_descriptor) out += std::to_string(pix) + "\n";
    out += background == "white" ? "0\n" : "1\n";
    // The first treatment asks all five values; "other treatment" (0) asks
    // them again for each next one. A log without records is replayed by a
    // treatment that is refused and leaves nothing.
    if (records.empty()) out += "0\n0\n0\n0\n0\n";
    for (size_t k = 0; k < records.size(); k++) {
        const tools::Record &r = records[k];
        if (k > 0) out += "0\n";
        out += std::to_string(r.line) + "\n" + std::to_string(r.column) + "\n" + std::to_string(r.dip) + "\n" +
               std::to_string(r.direction) + "\n" + std::to_string(r.zone) + "\n";
    }
    // After the 250th treatment tolmar ends by itself.
    if (records.size() < 250) out += "5\n";
    fputs(out.c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : failure("cannot write the standard output");
}
