// run.h: the top of the program: a whole run from the command line to the
// written results.
#ifndef TOLMAR_RUN_H
#define TOLMAR_RUN_H

// Asks the treatment values the last menu answer says should change; the
// others stay as the last treatment had them.
void parameters2();

// A whole run; returns the exit status: 0 when the results were written, 1
// on a failure, 2 on a misused command line, 128 + the signal when one ended
// the run.
int tolmar_main(int argc, char **argv);

#endif
