// console.h: the console of a run, at the bottom of the program: prompts and
// messages out, answers in (whole numbers, words, a key press), the signals
// that end a session, and the ways a run ends early.
#ifndef TOLMAR_CONSOLE_H
#define TOLMAR_CONSOLE_H

#include <string>

// How a run ends early: thrown by the dialogue and file layers, caught at the
// top of the run, which decides the exit status.
struct RunEnd {
    int status;
};
// The answers ran out.
struct EndOfInput {};
// Standard input could not be read; `error` is the system's reason.
struct InputError {
    std::string error;
};
// A signal asked the run to end (SIGINT, SIGTERM, SIGHUP, SIGPIPE).
struct Interrupted {
    int signal;
};

[[noreturn]] void end_run(int status);
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Shows the prompt and reads one whole number: an optional sign and decimal
// digits within the 32-bit range. Any other answer is refused with the rest
// of its line, and the prompt is shown again.
int read_int(const char *prompt);
// Shows the prompt and reads one word (no blanks).
std::string read_word(const char *prompt);
// Waits for one key, without echo, on a terminal; elsewhere takes one
// character of the input. End of input here is not an error.
void key_press();

// A word as it may be shown: control characters and bytes beyond ASCII as
// \xNN, and cut after `limit` characters.
std::string printable(const std::string &word, size_t limit = 40);

// From now on SIGINT, SIGTERM, SIGHUP and SIGPIPE no longer end the process:
// the next read of the console throws Interrupted instead, so that the run
// can end as Exit does.
void catch_signals();
// The signal caught, or 0.
int caught_signal();
// Forgets a caught signal and gives the four signals back their defaults.
void release_signals();

#endif
