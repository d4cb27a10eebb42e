// options.h: the command lines of tolmar's programs, declared once per
// command: each option with the number of values it takes and its lines of
// --help beside it, the positional arguments the command wants, and the
// messages of a misused command line (status 2) and of a failure (status 1),
// which every front end prints the same way.
#ifndef TOLMAR_OPTIONS_OPTIONS_H
#define TOLMAR_OPTIONS_OPTIONS_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/outcome.h"

namespace opt {

// What an option's values are: checked here, when the line is read, and
// nowhere else; told by --describe.
enum class Kind {
    flag,    // no value
    text,    // any word
    name,    // a single name (no '/', blank, ...), as the dialogue takes
    file,    // a path to read
    output,  // a path to write
    whole,   // whole numbers from `lo` to `hi`
    number,  // numbers from `lo` to `hi`
    choice,  // one of `choices`
    epsg,    // EPSG: and a number
};

struct Option {
    Option() = default;
    Option(std::string name_, std::string alias_, int values_, std::string help_, std::string needs_, bool whole_ = false)
        : name(std::move(name_)), alias(std::move(alias_)), values(values_), help(std::move(help_)), needs(std::move(needs_)),
          whole(whole_) {}
    std::string name;   // "--port"
    std::string alias;  // "-o", or ""
    int values = 0;     // how many words follow it: 0 for a flag
    std::string help;   // its lines of --help, each ending with a line end
    std::string needs;  // what a missing value is told as, when not "NAME needs a value"
    bool whole = false; // its values must be whole numbers, or it is told as missing
    Kind kind = Kind::text;
    std::vector<std::string> choices;  // the words a choice takes (the first one is its default unless `fallback` says)
    double lo = -1e308, hi = 1e308;    // the range of a number
    std::string unit;                  // what a number counts: "cells", "metres", "degrees", "percent"
    std::string fallback;              // the value when it is not given, as --describe tells it ("" for none)
    // The refusal of a value: `bad` for one that is not of the kind (or not
    // a choice), `outside` for a number out of range ("" for `bad` again);
    // "{}" stands for the value.
    std::string bad, outside;
};

// An option's value kinds, declared beside its help.
Option whole_in(Option o, double lo, double hi, const std::string &unit, const std::string &bad, const std::string &outside = "");
Option number_in(Option o, double lo, double hi, const std::string &unit, const std::string &bad);
Option choice_of(Option o, const std::vector<std::string> &choices, const std::string &bad, const std::string &fallback = "");
Option of_kind(Option o, Kind kind, const std::string &bad = "");
// The value an option takes when not given, as --describe tells it.
Option defaults_to(Option o, const std::string &value);

// The options every front end shares, with their values: the unit of a
// DEM's samples, the geometry and the background of a new result set.
Option unit_option(const std::string &help, const std::string &bad = "--unit takes m, dm, cm or mm, not {}");
Option geometry_option(const std::string &help, const std::string &fallback);
Option background_option(const std::string &help);

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
    std::vector<std::string> arguments;  // the arguments' names, for --describe ("DEM.raw", ...)
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
    // The value of a whole-number option (checked when read), or `fallback`.
    int whole(const std::string &name, int fallback) const;
    // The --unit answer (0 metres to 3 millimetres), -1 when not given.
    int unit() const;
};

// The --help text of a command.
std::string help(const Command &c);

// The command as JSON (--describe): its arguments and each option with its
// kind, values, choices or range, unit, default and help, for front ends
// that build their own forms (the QGIS plugin).
std::string describe(const Command &c);

// Reads argv; a word "--" ends the options, so that an argument may begin
// with a dash; each value is checked against its option's kind. Returns -1
// when the program goes on; otherwise the status to end with: 0 after
// --help or --describe (printed on standard output), 2 after a usage error
// (printed on standard error).
int parse(const Command &c, int argc, char **argv, Line &line);

// The two kinds of message, on standard error; they return the status.
int usage_error(const std::string &tool, const std::string &what);
int failure(const std::string &tool, const std::string &what);

// A unit's end as a program tells it: nothing when done (0), else its
// error as a usage error (2) or a failure (1).
int finish(const std::string &tool, const tolmar::Status &s);

// A listener that prints as the programs do: lines on the standard output
// (the tool's own named), notes on the standard error named. Progress is
// each program's own to show.
tolmar::Listener printing(const std::string &tool);

}  // namespace opt

#endif
