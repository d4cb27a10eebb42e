// console.h: the console of a run, at the bottom of the dialogue: prompts
// and messages out, answers in (whole numbers, words, a key press), the
// signals that end a session, and the ways a run ends early.
#ifndef TOLMAR_CONSOLE_CONSOLE_H
#define TOLMAR_CONSOLE_CONSOLE_H

#include <cstdio>
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

// Where answers are read and prompts and messages go: standard input and
// output, unless a test lends others. Answers are whitespace-separated
// words, as a formatted read takes them; a line ends at a line feed or a
// carriage return.
class Console {
public:
    Console(FILE *in = stdin, FILE *out = stdout) : in_(in), out_(out) {}

    void say(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // Shows the prompt and reads one whole number: an optional sign and
    // decimal digits within the 32-bit range. Any other answer is refused
    // with the rest of its line, and the prompt is shown again.
    int read_int(const char *prompt);
    // Shows the prompt and reads one word (no blanks).
    std::string read_word(const char *prompt);
    // Waits for one key, without echo, on a terminal; elsewhere takes one
    // character of the input. End of input here is not an error.
    void key_press();
    void flush() { fflush(out_); }
    // Answers from another stream from now on (a test's).
    void set_input(FILE *in) { in_ = in; }
    FILE *in() const { return in_; }

private:
    int next_char();
    bool next_word(std::string &word, bool &whole);
    void discard_line();
    void show(const char *prompt);
    FILE *in_, *out_;
};

// From now on SIGINT, SIGTERM, SIGHUP and SIGPIPE no longer end the process:
// the next read of the console throws Interrupted instead, so that the run
// can end as Exit does.
void catch_signals();
// The signal caught, or 0.
int caught_signal();
// Forgets a caught signal and gives the four signals back their defaults.
void release_signals();

#endif
