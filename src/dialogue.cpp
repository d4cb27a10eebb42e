// dialogue.cpp: the program's entry and its console. Reads answers (numbers,
// words, a key press), runs the start-up, the treatment loop with its
// parameter dialogue and menu, and the end of the run; decides the exit status.
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <conio.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

#include "tolmar.h"

// Longest word kept from one answer; the rest of a longer word is read and
// dropped, and the answer is refused by whoever asked for it.
static const size_t WORD_CAP = 4096;

// ===================== Console =============================================

void say(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vfprintf(con_out, fmt, args);
    va_end(args);
}

void end_run(int status) { throw RunEnd{status}; }

// Next whitespace-separated word of the answers, as a formatted read would
// take it: leading white space skipped, the character that ends the word left
// unread. False at end of input.
static bool next_word(std::string &word) {
    int c;
    do c = fgetc(con_in);
    while (c != EOF && isspace(c));
    if (c == EOF) return false;
    word.clear();
    while (c != EOF && !isspace(c)) {
        if (word.size() <= WORD_CAP) word.push_back(static_cast<char>(c));
        c = fgetc(con_in);
    }
    if (c != EOF) ungetc(c, con_in);
    return true;
}

// Drops what is left of the current input line, its line end included.
static void discard_line() {
    int c;
    do c = fgetc(con_in);
    while (c != EOF && c != '\n');
}

// A whole word of an optional sign and decimal digits, within the 32-bit range.
static bool parse_int(const std::string &word, int &out) {
    size_t k = 0;
    bool negative = false;
    if (k < word.size() && (word[k] == '+' || word[k] == '-')) negative = word[k++] == '-';
    if (k == word.size()) return false;
    long long v = 0;
    for (; k < word.size(); k++) {
        if (!isdigit(static_cast<unsigned char>(word[k]))) return false;
        v = v * 10 + (word[k] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    out = static_cast<int>(v);
    return true;
}

// Shows the prompt and reads one whole number. An answer that is not one (or
// lies beyond the 32-bit range) is dropped with the rest of its line and the
// prompt is shown again.
int read_int(const char *prompt) {
    std::string word;
    for (;;) {
        say("%s", prompt);
        fflush(con_out);
        if (!next_word(word)) throw EndOfInput{};
        int v;
        if (parse_int(word, v)) return v;
        if (word.size() > 40) word = word.substr(0, 40) + "...";
        say("\n\tnot a whole number: %s\n", word.c_str());
        discard_line();
    }
}

// Shows the prompt and reads one word (a name: no blanks).
std::string read_word(const char *prompt) {
    say("%s", prompt);
    fflush(con_out);
    std::string word;
    if (!next_word(word)) throw EndOfInput{};
    return word;
}

// Waits for one key, without echo, on a terminal; elsewhere takes one
// character of the input. End of input here is not an error.
void key_press() {
    fflush(con_out);
#ifdef _WIN32
    if (con_in == stdin && _isatty(_fileno(stdin))) {
        _getch();
        return;
    }
#else
    int fd = fileno(con_in);
    struct termios saved;
    if (fd >= 0 && isatty(fd) && tcgetattr(fd, &saved) == 0) {
        struct termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &raw);
        char c;
        ssize_t got = read(fd, &c, 1);
        (void)got;
        tcsetattr(fd, TCSANOW, &saved);
        return;
    }
#endif
    fgetc(con_in);
}

// ===================== Treatment dialogue ==================================

// Every treatment value back from the last treatment as the user gave it.
// plan() turns dir in place, so the direction must come back from dir_prov.
static void restore_last() {
    ip = ip_prov;
    jp = jp_prov;
    slope = slope_prov;
    dir = dir_prov;
    dir_orig = dir;
    infl = infl_prov;
}

// Asks one value and remembers it for the treatments after this one.
static void ask(const char *prompt, int &value, int &remembered) {
    value = read_int(prompt);
    remembered = value;
}

// Asks what the last menu answer says should change and restores the rest
// from the last treatment; a negative answer repeats that treatment exactly.
void parameters2() {
    if (rep_param == 0 || rep_param == 1) {
        say("\n\n\tCoordinates of the reference point : ");
        ask("\n\t\tline ? ", ip, ip_prov);
        ask("\t\tcolumn ? ", jp, jp_prov);
    }
    switch (rep_param) {
    case 0:
        ask("\t\tplane dip (in degrees) ? ", slope, slope_prov);
        ask("\t\tdirection of the slope ? ", dir, dir_prov);
        ask("\t\tinfluence zone ? ", infl, infl_prov);
        break;
    case 2: ask("\n\n\tplane dip (in degrees) ? ", slope, slope_prov); break;
    case 3: ask("\n\n\tdirection of the slope ? ", dir, dir_prov); break;
    case 4: ask("\n\n\tinfluence zone ? ", infl, infl_prov); break;
    default:
        if (rep_param > 4) return;  // above 5 the menu is shown again, nothing changes
        break;
    }
    restore_last();
}

static const char MENU[] =
    "\n\n\t0 ====> other treatment\n\t1 ====> New reference point"
    "\n\t2 ====> change in dip value\n\t3 ====> change of dip direction"
    "\n\t4 ====> change in size of area of influence\n\t5 ====> Exit\n\t";

// Treatments until Exit or the 250th stamped one. End of input drops the
// treatment being asked and ends the loop as Exit does, so that every stamped
// treatment is written.
static void treatment_loop() {
    try {
        for (;;) {
            parameters2();
            plan();
            if (code == 250) {
                say("\n\n\t250 calculations reached");
                say("\n\n\tEnd of the treatment ");
                key_press();
                return;
            }
            do rep_param = read_int(MENU);
            while (rep_param > 5);
            if (rep_param == 5) return;
        }
    } catch (const EndOfInput &) {
        say("\n\n\tEnd of input: the run ends as on Exit\n");
    }
}

// ===================== The run =============================================

// A whole run from the banner to the written results. Returns the exit
// status: 0 when the results were written, 1 on every other end.
int tolmar_main() {
    try {
        opening();
        lecture();
        parameters();
    } catch (const EndOfInput &) {
        say("\n\n\tEnd of input before the first treatment: nothing is written\n");
        remove_results();
        fflush(con_out);
        return 1;
    } catch (const RunEnd &e) {
        remove_results();
        fflush(con_out);
        return e.status;
    }
    treatment_loop();
    apply_background();
    try {
        save();
    } catch (const RunEnd &e) {
        fflush(con_out);
        return e.status;
    }
    fflush(con_out);
    return 0;
}
