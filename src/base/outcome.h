// outcome.h: how a unit of the library ends and what it tells on the way.
// A unit never prints, exits or reads the standard input: it gives back a
// Status (done, or an Error saying what failed, the file, option or value
// at fault and why) and tells what it does through a Listener, whose
// callbacks a front end sets: a program prints, the workbench answers in
// JSON, Python raises and logs, QGIS fills its log.
#ifndef TOLMAR_BASE_OUTCOME_H
#define TOLMAR_BASE_OUTCOME_H

#include <functional>
#include <string>
#include <utility>

namespace tolmar {

struct Error {
    // What kind of fault: the work could not be done (a program's status
    // 1), or the request itself was wrong (a misused command line, status 2;
    // a bad request over HTTP).
    enum class Kind { failed, misused };
    Kind kind = Kind::failed;
    std::string subject;  // the file, option or value at fault ("" when none)
    std::string message;  // the whole sentence, as every front end shows it
    int status() const { return kind == Kind::misused ? 2 : 1; }
};

class Status {
public:
    Status() = default;  // done
    static Status failed(std::string subject, std::string message) {
        return Status(Error{Error::Kind::failed, std::move(subject), std::move(message)});
    }
    static Status misused(std::string subject, std::string message) {
        return Status(Error{Error::Kind::misused, std::move(subject), std::move(message)});
    }
    bool ok() const { return !failed_; }
    const Error &error() const { return error_; }

private:
    explicit Status(Error e) : failed_(true), error_(std::move(e)) {}
    bool failed_ = false;
    Error error_;
};

// What a unit tells while it works. Every callback may be left empty.
struct Listener {
    // A line of what was done, for the standard output. `own` lines speak
    // for the program ("3 stations traced"): a program names itself before
    // them; the others ("station 6: refused: ...", a block of text) stand
    // as they are. `text` holds its own line ends.
    std::function<void(const std::string &text, bool own)> said;
    // A note for the standard error, the program's own (no line end).
    std::function<void(const std::string &note)> noted;
    // Progress: `done` of `total` (rows, stations; a fraction of 1).
    std::function<void(double done, double total)> progressed;
    // A batch's first `done` items (stations) are durable: a kill or a
    // power loss from now on keeps them.
    std::function<void(long long done)> durable;

    void say(const std::string &text, bool own = false) const {
        if (said) said(text, own);
    }
    void note(const std::string &text) const {
        if (noted) noted(text);
    }
    void progress(double done, double total) const {
        if (progressed) progressed(done, total);
    }
};

}  // namespace tolmar

#endif
