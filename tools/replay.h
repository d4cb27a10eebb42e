// replay.h: tolmar-replay's work: the answers with which tolmar redoes
// every treatment of a run log.
#ifndef TOLMAR_TOOLS_REPLAY_H
#define TOLMAR_TOOLS_REPLAY_H

#include <string>

namespace tools {

struct ReplayRequest {
    std::string log;         // images/FOLDER/R_tolmar.txt (or the raster beside it)
    std::string unit;        // "" for the one the DEM's sidecar records
    std::string dem, folder, type, background;  // "" for what the files say
};

// Prints the answers on standard output; returns the exit status, having
// told any fault on standard error.
int run_replay(ReplayRequest q);

}  // namespace tools

#endif
