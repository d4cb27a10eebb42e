// state.cpp: the one definition of the run's state declared in state.h, and
// reset_state(), which puts it all back to program start.
#include "state.h"

#include <unistd.h>

Console console;
FileSet files;
Grids grids;
Session session;

void reset_state() {
    console = Console();
    if (files.f1 >= 0) close(files.f1);
    files.results.discard();
    files = FileSet();
    grids = Grids();
    session = Session();
}
