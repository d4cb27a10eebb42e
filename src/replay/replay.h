// replay.h: tolmar-replay's work: the answers with which tolmar redoes
// every treatment of a run log.
#ifndef TOLMAR_REPLAY_REPLAY_H
#define TOLMAR_REPLAY_REPLAY_H

#include <string>

#include "base/outcome.h"

namespace tools {

struct ReplayRequest {
    std::string log;         // images/FOLDER/R_tolmar.txt (or the raster beside it)
    int unit = -1;           // the dialogue's answer (0 m to 3 mm); -1 for the one the DEM's sidecar records
    std::string dem, folder; // "" for what the files say
    int type = -1;           // 0 16-bit, 1 32-bit; -1 for the DEM beside the log
    int background = -1;     // 0 white, 1 black; -1 for what the raster holds
};

// The answers, in `answers`; a note when they need tolmar --geometry true.
tolmar::Status run_replay(ReplayRequest q, std::string &answers, const tolmar::Listener &l);

}  // namespace tools

#endif
