// dialogue.h: the top of the console program: a whole run from the command
// line to the written results, and the treatment dialogue.
#ifndef TOLMAR_CONSOLE_DIALOGUE_H
#define TOLMAR_CONSOLE_DIALOGUE_H

#include "console/run.h"

// Asks the treatment values the last menu answer says should change; the
// others stay as the last treatment had them.
void ask_treatment_values(Run &run);

// A whole session on `con`: the opening, the treatments (traced in
// `geometry`), the end. Returns the exit status.
int run_session(Console &con, FileSystem &fs = FileSystem::real(), Geometry geometry = Geometry::classic);

// A whole run; returns the exit status: 0 when the results were written, 1
// on a failure, 2 on a misused command line, 128 + the signal when one ended
// the run.
int tolmar_main(int argc, char **argv);

#endif
