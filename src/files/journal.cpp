// journal.cpp: the journal's and the placing note's bytes.
#include "files/journal.h"

#include <algorithm>
#include <cstring>

namespace journal {

namespace {

const char JOURNAL_MAGIC[] = "TOLMARJ3";
const char ENTRY_MAGIC[] = "TOLMARE3";
const char PLACE_MAGIC[] = "TOLMARP2";
// A note whose raster's background is still to be filled after the renaming.
const char PLACE_FILL_MAGIC[] = "TOLMARP3";

struct Table {
    uint32_t t[256];
    Table() {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
            t[n] = c;
        }
    }
};

void put(std::string &s, unsigned long long v, int bytes = 8) {
    for (int b = 0; b < bytes; b++) s.push_back(static_cast<char>((v >> (8 * b)) & 0xff));
}
unsigned long long get(const std::string &s, size_t at, int bytes = 8) {
    unsigned long long v = 0;
    for (int b = 0; b < bytes; b++) v |= static_cast<unsigned long long>(static_cast<unsigned char>(s[at + b])) << (8 * b);
    return v;
}
uint32_t crc_of(const std::string &s, size_t at, size_t n) { return crc32c(s.data() + at, n); }

}  // namespace

uint32_t crc32c(const void *data, size_t n, uint32_t crc) {
    static const Table table;
    const unsigned char *p = static_cast<const unsigned char *>(data);
    crc = ~crc;
    for (size_t k = 0; k < n; k++) crc = table.t[(crc ^ p[k]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

std::string head_bytes(const Head &h) {
    std::string s(JOURNAL_MAGIC, 8);
    put(s, h.epoch);
    put(s, h.raster_size);
    put(s, static_cast<unsigned long long>(h.log_size));
    put(s, h.log_sum, 4);
    put(s, crc_of(s, 0, s.size()), 4);
    // A background still being filled: its byte, and a checksum of the
    // head with it (a head without one holds zeros here).
    if (h.fill != 0) {
        put(s, h.fill, 4);
        put(s, crc_of(s, 0, s.size()), 4);
    }
    // Padded to the first entry's place, and the zeros that say no entry
    // follows yet.
    s.resize(HEAD_SIZE + END_MARK, '\0');
    return s;
}

bool parse_head(const std::string &bytes, Head &h) {
    if (bytes.size() < 40 || bytes.compare(0, 8, JOURNAL_MAGIC) != 0 || get(bytes, 36, 4) != crc_of(bytes, 0, 36)) return false;
    h.epoch = get(bytes, 8);
    h.raster_size = get(bytes, 16);
    h.log_size = static_cast<long long>(get(bytes, 24));
    h.log_sum = static_cast<uint32_t>(get(bytes, 32, 4));
    h.fill = 0;
    if (bytes.size() >= 48 && get(bytes, 40, 4) != 0) {
        if (get(bytes, 40, 4) != 255 || get(bytes, 44, 4) != crc_of(bytes, 0, 44)) return false;
        h.fill = 255;
    }
    return h.log_size >= 0;
}

std::string entry_bytes(unsigned long long epoch, unsigned long long number, long long log_offset,
                        const std::string &record, const std::vector<Change> &changes) {
    std::string s(ENTRY_MAGIC, 8);
    s.reserve(entry_size(record.size(), changes.size()));
    put(s, epoch);
    put(s, number);
    put(s, static_cast<unsigned long long>(log_offset));
    put(s, record.size());
    put(s, changes.size());
    put(s, crc_of(s, 0, 48), 4);
    put(s, 0, 4);  // the body's checksum, below
    s += record;
    for (const Change &c : changes) {
        put(s, c.offset);
        s.push_back(static_cast<char>(c.before));
        s.push_back(static_cast<char>(c.after));
    }
    const uint32_t body = crc_of(s, ENTRY_FIXED, s.size() - ENTRY_FIXED);
    for (int b = 0; b < 4; b++) s[52 + b] = static_cast<char>((body >> (8 * b)) & 0xff);
    s.append(END_MARK, '\0');
    return s;
}

namespace {

// The fixed part of an entry of epoch `epoch` at `at`, checked: its
// number, log offset, record length and count of changes.
bool fixed_at(const std::string &s, size_t at, const Head &h, Entry &e, size_t &record, size_t &n) {
    if (at + ENTRY_FIXED > s.size() || s.compare(at, 8, ENTRY_MAGIC) != 0 || get(s, at + 8) != h.epoch ||
        get(s, at + 48, 4) != crc_of(s, at, 48))
        return false;
    const unsigned long long r = get(s, at + 32), c = get(s, at + 40);
    if (r > MAX_RECORD || c > h.raster_size || static_cast<long long>(get(s, at + 24)) < h.log_size) return false;
    e.number = get(s, at + 16);
    e.log_offset = static_cast<long long>(get(s, at + 24));
    record = static_cast<size_t>(r);
    n = static_cast<size_t>(c);
    return true;
}

}  // namespace

Reading parse_entries(const std::string &s, const Head &h) {
    Reading out;
    size_t at = HEAD_SIZE;
    unsigned long long next = 0;
    bool lost = false;  // a place held neither an entry nor the end's zeros
    while (at + END_MARK <= s.size()) {
        Entry e;
        size_t record = 0, n = 0;
        if (!fixed_at(s, at, h, e, record, n) || e.number < next) {
            if (!lost && s.compare(at, END_MARK, std::string(END_MARK, '\0')) == 0) {
                out.ended = true;
                break;
            }
            // A damaged entry's fixed part, or one cut short: the next
            // entry, if any, is searched for by its magic.
            lost = true;
            const size_t found = s.find(ENTRY_MAGIC, at + 1);
            if (found == std::string::npos) break;
            at = found;
            continue;
        }
        const size_t size = entry_size(record, n);
        if (e.number != next || lost) out.gap = true;
        lost = false;
        const size_t have = std::min(size, s.size() - at);
        e.whole = have == size && get(s, at + 52, 4) == crc_of(s, at + ENTRY_FIXED, size - ENTRY_FIXED);
        // The body as far as it goes.
        e.record = s.substr(at + ENTRY_FIXED, std::min(record, have - ENTRY_FIXED));
        for (size_t k = 0, c = at + ENTRY_FIXED + record; k < n && c + 10 <= at + have; k++, c += 10) {
            const unsigned long long offset = get(s, c);
            if (offset < h.raster_size)
                e.changes.push_back({static_cast<size_t>(offset), static_cast<uint8_t>(s[c + 8]), static_cast<uint8_t>(s[c + 9])});
        }
        if (!e.whole) out.damaged++;
        next = e.number + 1;
        out.entries.push_back(std::move(e));
        if (have < size) break;
        at += size;
    }
    return out;
}

bool names_set(const Head &h, unsigned long long raster_size, const std::string &log) {
    return h.raster_size == raster_size && static_cast<long long>(log.size()) >= h.log_size &&
           crc_of(log, 0, static_cast<size_t>(h.log_size)) == h.log_sum;
}

// ---- the placing note ----------------------------------------------------------------

std::string place_bytes(const std::string &raster_tmp, const std::string &log_tmp, uint8_t fill) {
    const std::string s = std::string(fill != 0 ? PLACE_FILL_MAGIC : PLACE_MAGIC) + "\n" + raster_tmp + "\n" + log_tmp + "\n" +
                          (fill != 0 ? "fill " + std::to_string(fill) + "\n" : "");
    char sum[16];
    snprintf(sum, sizeof sum, "%08x\n", crc_of(s, 0, s.size()));
    return s + sum;
}

Note parse_place(const std::string &s, std::string &raster_tmp, std::string &log_tmp, uint8_t &fill) {
    // A note is written whole before it is made durable: one that ends
    // before its last line (or holds the zeros of a block never written)
    // was cut short, and the renaming it announces never began. A note of
    // a background still to be filled has a line more, before its checksum.
    const bool filling = s.compare(0, 9, std::string(PLACE_FILL_MAGIC) + "\n") == 0;
    const int count = filling ? 5 : 4;
    size_t lines[5], at = 0;
    for (int k = 0; k < count; k++) {
        const size_t end = s.find('\n', at);
        if (end == std::string::npos || s.find('\0') != std::string::npos) return Note::torn;
        lines[k] = end;
        at = end + 1;
    }
    if (at != s.size() || (!filling && s.compare(0, lines[0], PLACE_MAGIC) != 0)) return Note::foreign;
    const size_t summed = lines[count - 2] + 1;
    char sum[16];
    snprintf(sum, sizeof sum, "%08x", crc_of(s, 0, summed));
    if (s.compare(summed, lines[count - 1] - summed, sum) != 0) return Note::foreign;
    fill = 0;
    if (filling) {
        if (s.compare(lines[2] + 1, lines[3] - lines[2] - 1, "fill 255") != 0) return Note::foreign;
        fill = 255;
    }
    raster_tmp = s.substr(lines[0] + 1, lines[1] - lines[0] - 1);
    log_tmp = s.substr(lines[1] + 1, lines[2] - lines[1] - 1);
    return Note::whole;
}

}  // namespace journal
