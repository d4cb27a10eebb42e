// recovery.cpp: a dead run's set, as it must become.
#include "files/recovery.h"

#include <algorithm>
#include <map>

#include "files/journal.h"

namespace recovery {

namespace {

std::string plural(long long n, const std::string &one, const std::string &many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The code a record's text gives, 0 when it gives none.
int code_of(const std::string &record) {
    const size_t at = record.find("code ");
    return at == std::string::npos ? 0 : atoi(record.c_str() + at + 5);
}

}  // namespace

Plan plan(const Contents &c, const Tracer &tracer) {
    Plan p;
    p.log = c.log;
    std::map<size_t, uint8_t> changed;  // cells as they must be, where they differ from the raster
    auto cell = [&](size_t k) {
        const auto it = changed.find(k);
        return it != changed.end() ? it->second : c.cells[k];
    };
    auto set = [&](size_t k, uint8_t v) {
        if (c.cells[k] == v) changed.erase(k);
        else changed[k] = v;
    };

    // The journal: its head must name this set, and its entries follow it.
    // One that does not tell every stamp leaves the files to speak.
    journal::Head head;
    journal::Reading read;
    std::string trouble;  // what is wrong with the journal, in words
    const bool named = c.journal_present && journal::parse_head(c.journal, head) &&
                       journal::names_set(head, c.size, c.log);
    const bool blank = c.journal.find_first_not_of('\0') == std::string::npos;
    // Damage before the journal's last entry is told whatever the files
    // hold; damage at its end (the last entry torn, the file cut) is also
    // what a crash leaves while a stamp's entry is written, and is told only
    // when the files show it.
    bool loud = false;
    if (named) {
        read = journal::parse_entries(c.journal, head);
        const bool cut = c.journal.size() < journal::HEAD_SIZE + journal::room(c.size);
        const bool last_only = read.damaged == 0 || (read.damaged == 1 && !read.entries.back().whole);
        loud = read.gap || !last_only;
        if (loud || !read.ended || read.damaged > 0) {
            int first = -1;
            for (const journal::Entry &e : read.entries)
                if (!e.whole && first < 0) first = static_cast<int>(e.number);
            trouble = loud && first >= 0 && (first + 1 < static_cast<int>(read.entries.size()) || !read.gap)
                          ? "is damaged (its entry " + std::to_string(first + 1) + " fails its checksum)"
                      : loud ? "is damaged (an entry of it cannot be found)"
                      : cut  ? "is cut short"
                             : "ends in a damaged entry";
        }
    } else if (c.journal_present) {
        loud = !blank;
        trouble = blank ? "holds nothing (its head is lost)" : "does not name this set (its head is damaged, or it is another set's)";
    }

    // The stamps the journal holds whole, written again where the files
    // lack them. One whose record's place lies beyond the log (an entry
    // before it was lost) cannot be: its cells are told by it below.
    std::vector<const journal::Entry *> unplaced;
    for (const journal::Entry &e : read.entries) {
        if (!e.whole) continue;
        if (static_cast<long long>(p.log.size()) < e.log_offset) {
            unplaced.push_back(&e);
            continue;
        }
        bool any = false;
        const size_t at = static_cast<size_t>(e.log_offset);
        if (p.log.compare(at, e.record.size(), e.record) != 0) {
            p.log.replace(at, std::min(e.record.size(), p.log.size() - at), e.record);
            any = true;
        }
        // Within a journal's epoch codes only grow: a cell holding a later
        // code holds a later stamp's byte, which this one must not undo
        // (that stamp's entry writes it again, or its entry was lost and
        // the files alone keep it).
        for (const journal::Change &x : e.changes) {
            const uint8_t v = cell(x.offset);
            if (v != x.after && !(v >= 1 && v <= formats::MAX_CODES && v > x.after)) {
                set(x.offset, x.after);
                any = true;
            }
        }
        p.completed += any;
    }

    // The records the log holds whole; a record cut short after them (one
    // at most: a log grows a record at a time) is cut. Anything else is a
    // log damaged on its own, left for its reader to refuse.
    formats::ResultLog log;
    const size_t whole = formats::result_log_prefix(p.log, log);
    bool torn = false;
    if (whole != std::string::npos && whole < p.log.size() &&
        p.log.find_first_not_of(" \t\r\n", whole) != std::string::npos) {
        const std::string rest = p.log.substr(whole);
        const size_t first = rest.find("code");
        if (first != std::string::npos && rest.find("code", first + 4) == std::string::npos) {
            p.log.resize(whole);
            torn = true;
        } else {
            trouble.clear();
        }
    }

    // Cells of a code without its record: only when the journal or the log
    // could not tell every stamp.
    const int records = static_cast<int>(log.records.size());
    long long from_journal = 0, traced = 0, to_background = 0;
    std::vector<int> orphans;
    if ((!trouble.empty() || torn || !unplaced.empty()) && whole != std::string::npos) {
        std::vector<size_t> at;
        bool white = false;
        for (size_t k = 0; k < c.size; k++) {
            const uint8_t v = cell(k);
            white = white || v == 255;
            if (v > records && v <= formats::MAX_CODES) at.push_back(k);
        }
        const uint8_t background = white ? 255 : 0;
        for (size_t k : at)
            if (std::find(orphans.begin(), orphans.end(), cell(k)) == orphans.end()) orphans.push_back(cell(k));
        std::sort(orphans.begin(), orphans.end());
        if (tracer && !at.empty()) {
            // The stamps before traced again: the last that reaches a cell
            // gives its byte.
            std::map<size_t, uint8_t> value;
            for (size_t k : at) value[k] = background;
            for (int r = records - 1; r >= 0; r--)
                for (size_t k : tracer(log.records[static_cast<size_t>(r)], log.geometry, log.pix_size)) {
                    const auto it = value.find(k);
                    if (it != value.end() && it->second == background) it->second = static_cast<uint8_t>(r + 1);
                }
            // A cell of an earlier stamp may hold the background only
            // because no stamp reached it: that is its byte too.
            for (const auto &kv : value) set(kv.first, kv.second);
            traced = static_cast<long long>(at.size());
        } else {
            // The bytes before each stamp, from the last code down: first
            // from entries held whole, then from damaged ones where what
            // they say is possible (the background or an earlier code).
            for (auto o = orphans.rbegin(); o != orphans.rend(); ++o) {
                const int code = *o;
                std::map<size_t, uint8_t> before;
                for (int pass = 0; pass < 2; pass++)
                    for (const journal::Entry &e : read.entries) {
                        if (e.whole != (pass == 0) || code_of(e.record) != code) continue;
                        for (const journal::Change &x : e.changes)
                            if (x.after == code && !before.count(x.offset) &&
                                (x.before == background || (x.before >= 1 && x.before < code)))
                                before[x.offset] = x.before;
                    }
                for (size_t k : at) {
                    if (cell(k) != code) continue;
                    const auto it = before.find(k);
                    if (it != before.end()) {
                        set(k, it->second);
                        from_journal++;
                    } else {
                        set(k, background);
                        to_background++;
                    }
                }
            }
            // A byte before that is itself a code without record went the
            // same way, later in the loop; what is left of one is the background.
            for (size_t k : at)
                if (cell(k) > records && cell(k) <= formats::MAX_CODES) set(k, background), to_background++;
        }
    }
    for (const auto &kv : changed) p.cells.push_back(kv);

    // The words.
    std::string words;
    if (!trouble.empty() && (loud || !orphans.empty() || torn)) words = "its journal " + c.journal_name + " " + trouble;
    if (torn)
        words += std::string(words.empty() ? "" : "; ") + "a record cut short after " +
                 (records == 0 ? std::string("the header") : "code " + std::to_string(records)) + " is cut from the log";
    if (!words.empty() || !orphans.empty()) {
        if (orphans.empty()) {
            words += ": the files hold every stamp " +
                     (records == 0 ? std::string("(none)") : "up to code " + std::to_string(records)) +
                     " whole and agree, and are kept as they hold them";
        } else {
            std::string codes;
            for (size_t k = 0; k < orphans.size(); k++)
                codes += (k == 0 ? "" : k + 1 == orphans.size() ? " and " : ", ") + std::to_string(orphans[k]);
            words += std::string(words.empty() ? "" : ": ") + "the cells of code" + (orphans.size() == 1 ? " " : "s ") + codes +
                     ", which the log holds no record of, are taken back to what they held before: ";
            std::vector<std::string> how;
            if (traced > 0) how.push_back(plural(traced, "cell", "cells") + " from the stamps before it, traced again");
            if (from_journal > 0) how.push_back(plural(from_journal, "cell", "cells") + " as the journal tells");
            if (to_background > 0)
                how.push_back(plural(to_background, "cell", "cells") +
                              " to the background, since nothing tells what they held");
            for (size_t k = 0; k < how.size(); k++) words += (k ? ", " : "") + how[k];
        }
    }
    p.found = words;
    return p;
}

}  // namespace recovery
