// options.h: the command lines of tolmar's programs, declared once per
// command: each option with the number of values it takes and its lines of
// --help beside it, the positional arguments the command wants, and the
// messages of a misused command line (status 2) and of a failure (status 1),
// which every front end prints the same way.
#ifndef TOLMAR_OPTIONS_OPTIONS_H
#define TOLMAR_OPTIONS_OPTIONS_H

#include <map>
#include <string>
#include <vector>

namespace opt {

struct Option {
    std::string name;   // "--port"
    std::string alias;  // "-o", or ""
    int values = 0;     // how many words follow it: 0 for a flag
    std::string help;   // its lines of --help, each ending with a line end
    std::string needs;  // what a missing value is told as, when not "NAME needs a value"
    bool whole = false; // its values must be whole numbers, or it is told as missing
};

struct Command {
    std::string tool;                // "tolmar-serve"
    std::string head;                // --help before the options: usage line and description
    std::vector<Option> options;     // "-h, --help" is every command's own
    std::string tail;                // --help after the options
    std::string help_line = "  -h, --help        this text\n";
    std::string unknown = "unknown option ";  // before a word that is no option
    int min_args = 0, max_args = 0;  // positional arguments
    std::string missing;             // when fewer: "needs DEM.raw"
    std::string one_more;            // when more: "one DEM only, not also " (the extra word follows)
};

// The command line as read: each option's values in order of appearance
// (a repeated option keeps its last values), and the positional arguments.
struct Line {
    std::map<std::string, std::vector<std::string>> given;
    std::vector<std::string> args;
    bool has(const std::string &name) const { return given.count(name) != 0; }
    // The first (or only) value of an option, or `fallback`.
    std::string value(const std::string &name, const std::string &fallback = "") const;
    const std::vector<std::string> &values(const std::string &name) const { return given.at(name); }
};

// The --help text of a command.
std::string help(const Command &c);

// Reads argv; a word "--" ends the options, so that an argument may begin
// with a dash. Returns -1 when the program goes on; otherwise the status to
// end with: 0 after --help (printed on standard output), 2 after a usage
// error (printed on standard error).
int parse(const Command &c, int argc, char **argv, Line &line);

// The two kinds of message, on standard error; they return the status.
int usage_error(const std::string &tool, const std::string &what);
int failure(const std::string &tool, const std::string &what);

}  // namespace opt

#endif
