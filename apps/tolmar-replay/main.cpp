// main.cpp: tolmar-replay, the answers that make tolmar redo every
// treatment of a run log, so that `tolmar-replay ... | tolmar` writes the
// same result raster and log again: tolmar-replay [options] RESULT.txt
#include <string>

#include <cstdio>

#include "files/formats.h"
#include "options/options.h"
#include "replay/replay.h"

namespace {

const char TOOL[] = "tolmar-replay";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-replay [--unit U] [options] images/FOLDER/R_tolmar.txt\n"
        "\n"
        "Prints, one per line, the answers with which tolmar redoes every treatment\n"
        "logged in R_tolmar.txt, in order: run it from the folder that holds\n"
        "images/ as  tolmar-replay --unit m images/FOLDER/R_tolmar.txt | tolmar\n"
        "and tolmar writes R_tolmar.raw and R_tolmar.txt again, byte for byte (a\n"
        "set made in true geometry says so: its answers go to tolmar --geometry true).\n"
        "The log does not record everything the opening dialogue asked:\n"
        "\n";
    c.options = {
        opt::choice_of({"--unit", "", 1,
                        "  --unit U          unit of the DEM samples, as answered: m, dm, cm or mm\n"
                        "                    (or 0 to 3); required unless the DEM's sidecar, from\n"
                        "                    tolmar-import, records it\n", ""},
                       {"m", "dm", "cm", "mm", "0", "1", "2", "3"}, "--unit takes m, dm, cm or mm (or 0 to 3), not {}"),
        {"--dem", "", 1,
         "  --dem NAME        the DEM's name (default: R, when R_m2.raw or R_m4.raw\n"
         "                    lies beside the log)\n", ""},
        opt::choice_of({"--type", "", 1,
                        "  --type 0|1        16-bit (0) or 32-bit (1) DEM (default: the one of\n"
                        "                    NAME_m2.raw and NAME_m4.raw that exists)\n", ""},
                       {"0", "1"}, "--type takes 0 (16-bit) or 1 (32-bit), not {}"),
        {"--folder", "", 1, "  --folder D        the folder under images/ (default: the log's folder)\n", ""},
        opt::choice_of({"--background", "", 1,
                        "  --background B    white or black (default: white when R_tolmar.raw holds\n"
                        "                    a 255, else black)\n", ""},
                       {"white", "black"}, "--background takes white or black, not {}"),
    };
    c.min_args = c.max_args = 1;
    c.arguments = {"R_tolmar.txt"};
    c.missing = "needs the run log R_tolmar.txt";
    c.one_more = "one run log only, not also ";
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    opt::Line line;
    const int parsed = opt::parse(command(), argc, argv, line);
    if (parsed >= 0) return parsed;
    tools::ReplayRequest q;
    q.log = line.args[0];
    q.unit = line.unit();
    q.dem = line.value("--dem");
    q.folder = line.value("--folder");
    q.type = line.has("--type") ? line.whole("--type", -1) : -1;
    q.background = line.has("--background") ? (line.value("--background") == "white" ? 0 : 1) : -1;
    std::string answers;
    const tolmar::Status s = tools::run_replay(q, answers, opt::printing(TOOL));
    if (!s.ok()) return opt::finish(TOOL, s);
    fputs(answers.c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : opt::failure(TOOL, "cannot write the standard output");
}
