// console.cpp: the console primitives.
#include "console/console.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "files/formats.h"

namespace {

// Longest word read; a longer one is read to its end and refused whole.
const size_t WORD_CAP = 4096;

volatile sig_atomic_t signal_caught = 0;

extern "C" void on_signal(int sig) { signal_caught = sig; }

const int CAUGHT[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void check_signal() {
    if (signal_caught != 0) throw Interrupted{signal_caught};
}

bool line_end(int c) { return c == '\n' || c == '\r'; }

}  // namespace

// Next character of the answers; EOF at their end. A signal or a read error
// ends the read.
int Console::next_char() {
    for (;;) {
        check_signal();
        errno = 0;
        const int c = fgetc(in_);
        if (c != EOF) return c;
        if (!ferror(in_)) return EOF;
        const int e = errno;
        clearerr(in_);
        if (e == EINTR) continue;  // a signal: check_signal() tells which
        throw InputError{e != 0 ? strerror(e) : "read error"};
    }
}

// The next word as a formatted read would take it: leading white space
// skipped, the character that ends the word left unread. `whole` is false
// when the word was longer than WORD_CAP and only its beginning was kept.
bool Console::next_word(std::string &word, bool &whole) {
    int c;
    do c = next_char();
    while (c != EOF && isspace(c));
    if (c == EOF) return false;
    word.clear();
    whole = true;
    while (c != EOF && !isspace(c)) {
        if (word.size() < WORD_CAP) word.push_back(static_cast<char>(c));
        else whole = false;
        c = next_char();
    }
    if (c != EOF) ungetc(c, in_);
    return true;
}

// Drops what is left of the current input line, its line end included.
void Console::discard_line() {
    int c;
    do c = next_char();
    while (c != EOF && !line_end(c));
}

void Console::show(const char *prompt) {
    check_signal();
    say("%s", prompt);
    fflush(out_);
}

void Console::say(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vfprintf(out_, fmt, args);
    va_end(args);
}

void end_run(int status) { throw RunEnd{status}; }

int Console::read_int(const char *prompt) {
    std::string word;
    for (;;) {
        show(prompt);
        bool whole;
        if (!next_word(word, whole)) throw EndOfInput{};
        int v;
        if (whole && formats::parse_int(word, v)) return v;
        say("\n\tnot a whole number: %s\n", formats::printable(word).c_str());
        discard_line();
    }
}

std::string Console::read_word(const char *prompt) {
    show(prompt);
    std::string word;
    bool whole;
    if (!next_word(word, whole)) throw EndOfInput{};
    // A word longer than any name can be refuses itself by its length.
    if (!whole) word.append(1, '\0');
    return word;
}

void Console::key_press() {
    fflush(out_);
    const int fd = fileno(in_);
    struct termios saved;
    if (fd >= 0 && isatty(fd) && tcgetattr(fd, &saved) == 0) {
        struct termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &raw);
        // A signal ends the wait like a key; the terminal is put back first.
        // The signals are held until ppoll lets them in, so one that came
        // just before the wait is not missed by a read that then blocks.
        sigset_t held, open;
        sigemptyset(&held);
        for (int sig : CAUGHT) sigaddset(&held, sig);
        sigprocmask(SIG_BLOCK, &held, &open);
        struct pollfd key = {fd, POLLIN, 0};
        const bool pressed = signal_caught == 0 && ppoll(&key, 1, nullptr, &open) > 0;
        sigprocmask(SIG_SETMASK, &open, nullptr);
        char c;
        if (pressed && signal_caught == 0) {
            const ssize_t got = read(fd, &c, 1);
            (void)got;
        }
        tcsetattr(fd, TCSANOW, &saved);
        return;
    }
    const int c = fgetc(in_);
    (void)c;
}

void catch_signals() {
    signal_caught = 0;
    // A file grown beyond its limit is a failed write, told like a full disk.
    signal(SIGXFSZ, SIG_IGN);
    for (int sig : CAUGHT) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no restart: a blocked read returns, and the run ends
        sigaction(sig, &sa, nullptr);
    }
}

int caught_signal() { return signal_caught; }

void release_signals() {
    for (int sig : CAUGHT) signal(sig, SIG_DFL);
    signal_caught = 0;
}
