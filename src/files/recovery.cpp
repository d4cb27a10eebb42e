// recovery.cpp: a dead run's set, as it must become.
#include "files/recovery.h"

#include <algorithm>
#include <cstring>
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

namespace {

// The raster's cells as they must become: the bytes that differ from the
// file's, by offset.
class Cells {
public:
    Cells(const Contents &c, bool fill) : c_(c), fill_(fill) {}
    uint8_t operator[](size_t k) const {
        const auto it = changed_.find(k);
        return it != changed_.end() ? it->second : file(k);
    }
    void set(size_t k, uint8_t v) {
        if (file(k) == v) changed_.erase(k);
        else changed_[k] = v;
    }
    const std::map<size_t, uint8_t> &changed() const { return changed_; }

private:
    // A cell as the file holds it, once a background being filled is.
    uint8_t file(size_t k) const { return fill_ && c_.cells[k] == 0 ? 255 : c_.cells[k]; }
    const Contents &c_;
    bool fill_;
    std::map<size_t, uint8_t> changed_;
};

// What the journal holds, and what is wrong with it in words ("" when
// nothing is). Damage before its last entry is told whatever the files
// hold (`loud`); damage at its end (the last entry torn, the file cut) is
// also what a crash leaves while a stamp's entry is written, and is told
// only when the files show it.
struct JournalState {
    journal::Reading read;
    std::string trouble;
    bool loud = false;
    bool fill = false;  // its head says the background is still being filled
};

JournalState read_journal(const Contents &c) {
    JournalState j;
    journal::Head head;
    // Its head must name this set, and its entries follow it.
    const bool named = c.journal_present && journal::parse_head(c.journal, head) && journal::names_set(head, c.size, c.log);
    const bool blank = c.journal.find_first_not_of('\0') == std::string::npos;
    if (named) {
        j.fill = head.fill != 0;
        j.read = journal::parse_entries(c.journal, head);
        const journal::Reading &read = j.read;
        const bool cut = c.journal.size() < journal::HEAD_SIZE + journal::room(c.size);
        const bool last_only = read.damaged == 0 || (read.damaged == 1 && !read.entries.back().whole);
        j.loud = read.gap || !last_only;
        if (j.loud || !read.ended || read.damaged > 0) {
            int first = -1;
            for (const journal::Entry &e : read.entries)
                if (!e.whole && first < 0) first = static_cast<int>(e.number);
            j.trouble = j.loud && first >= 0 && (first + 1 < static_cast<int>(read.entries.size()) || !read.gap)
                            ? "is damaged (its entry " + std::to_string(first + 1) + " fails its checksum)"
                        : j.loud ? "is damaged (an entry of it cannot be found)"
                        : cut    ? "is cut short"
                                 : "ends in a damaged entry";
        }
    } else if (c.journal_present) {
        j.loud = !blank;
        j.trouble = blank ? "holds nothing (its head is lost)" : "does not name this set (its head is damaged, or it is another set's)";
    }
    return j;
}

// The stamps the journal holds whole, written again where the files lack
// them; those whose record's place lies beyond the log (an entry before it
// was lost) cannot be, and are given back as `unplaced`.
void redo_whole_entries(const journal::Reading &read, Plan &p, Cells &cells, std::vector<const journal::Entry *> &unplaced) {
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
            const uint8_t v = cells[x.offset];
            if (v != x.after && !(v >= 1 && v <= formats::MAX_CODES && v > x.after)) {
                cells.set(x.offset, x.after);
                any = true;
            }
        }
        p.completed += any;
    }
}

// How the cells of codes without a record were given back.
struct GivenBack {
    std::vector<int> orphans;  // the codes, lowest first
    long long from_journal = 0, traced = 0, to_background = 0;
};

// Cells of a code without its record (`records` are whole), given back
// what they held before: traced again from the stamps before them when
// the caller can trace, else as the journal's entries tell, else the
// background.
GivenBack give_back_orphans(const Contents &c, const formats::ResultLog &log, int records, const journal::Reading &read,
                            const Tracer &tracer, Cells &cells) {
    GivenBack g;
    std::vector<size_t> at;
    bool white = false;
    for (size_t k = 0; k < c.size; k++) {
        const uint8_t v = cells[k];
        white = white || v == 255;
        if (v > records && v <= formats::MAX_CODES) at.push_back(k);
    }
    const uint8_t background = white ? 255 : 0;
    std::vector<int> &orphans = g.orphans;
    for (size_t k : at)
        if (std::find(orphans.begin(), orphans.end(), cells[k]) == orphans.end()) orphans.push_back(cells[k]);
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
        for (const auto &kv : value) cells.set(kv.first, kv.second);
        g.traced = static_cast<long long>(at.size());
        return g;
    }
    // The bytes before each stamp, from the last code down: first from
    // entries held whole, then from damaged ones where what they say is
    // possible (the background or an earlier code).
    for (auto o = orphans.rbegin(); o != orphans.rend(); ++o) {
        const int code = *o;
        std::map<size_t, uint8_t> before;
        for (int pass = 0; pass < 2; pass++)
            for (const journal::Entry &e : read.entries) {
                if (e.whole != (pass == 0) || code_of(e.record) != code) continue;
                for (const journal::Change &x : e.changes)
                    if (x.after == code && !before.count(x.offset) && (x.before == background || (x.before >= 1 && x.before < code)))
                        before[x.offset] = x.before;
            }
        for (size_t k : at) {
            if (cells[k] != code) continue;
            const auto it = before.find(k);
            if (it != before.end()) {
                cells.set(k, it->second);
                g.from_journal++;
            } else {
                cells.set(k, background);
                g.to_background++;
            }
        }
    }
    // A byte before that is itself a code without record went the same
    // way, later in the loop; what is left of one is the background.
    for (size_t k : at)
        if (cells[k] > records && cells[k] <= formats::MAX_CODES) cells.set(k, background), g.to_background++;
    return g;
}

// What was found and done, in words ("" when the files needed nothing told).
std::string words_of(const Contents &c, const JournalState &j, bool torn, int records, const GivenBack &g) {
    std::string words;
    if (!j.trouble.empty() && (j.loud || !g.orphans.empty() || torn)) words = "its journal " + c.journal_name + " " + j.trouble;
    if (torn)
        words += std::string(words.empty() ? "" : "; ") + "a record cut short after " +
                 (records == 0 ? std::string("the header") : "code " + std::to_string(records)) + " is cut from the log";
    if (words.empty() && g.orphans.empty()) return words;
    if (g.orphans.empty())
        return words + ": the files hold every stamp " +
               (records == 0 ? std::string("(none)") : "up to code " + std::to_string(records)) +
               " whole and agree, and are kept as they hold them";
    std::string codes;
    for (size_t k = 0; k < g.orphans.size(); k++)
        codes += (k == 0 ? "" : k + 1 == g.orphans.size() ? " and " : ", ") + std::to_string(g.orphans[k]);
    words += std::string(words.empty() ? "" : ": ") + "the cells of code" + (g.orphans.size() == 1 ? " " : "s ") + codes +
             ", which the log holds no record of, are taken back to what they held before: ";
    std::vector<std::string> how;
    if (g.traced > 0) how.push_back(plural(g.traced, "cell", "cells") + " from the stamps before it, traced again");
    if (g.from_journal > 0) how.push_back(plural(g.from_journal, "cell", "cells") + " as the journal tells");
    if (g.to_background > 0)
        how.push_back(plural(g.to_background, "cell", "cells") + " to the background, since nothing tells what they held");
    for (size_t k = 0; k < how.size(); k++) words += (k ? ", " : "") + how[k];
    return words;
}

}  // namespace

Plan plan(const Contents &c, const Tracer &tracer) {
    Plan p;
    p.log = c.log;
    // A journal that does not tell every stamp leaves the files to speak.
    JournalState j = read_journal(c);
    p.fill = c.filling || j.fill ||
             (c.size > 0 && memchr(c.cells, 255, c.size) != nullptr && memchr(c.cells, 0, c.size) != nullptr);
    Cells cells(c, p.fill);
    std::vector<const journal::Entry *> unplaced;
    redo_whole_entries(j.read, p, cells, unplaced);

    // The records the log holds whole; a record cut short after them (one
    // at most: a log grows a record at a time) is cut. Anything else is a
    // log damaged on its own, left for its reader to refuse.
    formats::ResultLog log;
    const size_t whole = formats::result_log_prefix(p.log, log);
    bool torn = false;
    if (whole != std::string::npos && whole < p.log.size() && p.log.find_first_not_of(" \t\r\n", whole) != std::string::npos) {
        const std::string rest = p.log.substr(whole);
        const size_t first = rest.find("code");
        if (first != std::string::npos && rest.find("code", first + 4) == std::string::npos) {
            p.log.resize(whole);
            torn = true;
        } else {
            j.trouble.clear();
        }
    }

    // Cells of a code without its record: where the journal or the log
    // could not tell every stamp, and where a group's cells reached the
    // disk before a power cut while its entries, never flushed, did not.
    const int records = static_cast<int>(log.records.size());
    GivenBack g;
    if (whole != std::string::npos) g = give_back_orphans(c, log, records, j.read, tracer, cells);
    for (const auto &kv : cells.changed()) p.cells.push_back(kv);
    p.found = words_of(c, j, torn, records, g);
    return p;
}

}  // namespace recovery
