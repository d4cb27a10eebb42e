// fuzz_journal.cpp: the journal's reader and the recovery worked out from it,
// on torn and changed journals. A set of 6 x 7 cells holds two stamps
// whole and the cells of a third whose record was never written (a kill
// between them); its journal, whole, holds the second and third stamps.
// The input is the journal itself (its first byte 0), edits of that whole
// journal (1: pairs of a place and a byte), or its cut (2: a length).
// Whatever the bytes: nothing is read or written outside the set, and no
// record the log holds whole is cut.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "files/journal.h"
#include "files/recovery.h"

namespace {

const int ROWS = 6, COLS = 7;

std::string record(int code) {
    formats::Record r;
    r.code = code;
    r.values = {2 + code % 2, 3, 10 * code, 45 * code, 2};
    return formats::record_text(r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::string log = formats::header_text(ROWS, COLS) + formats::pix_size_line(30) + record(1) + record(2);
    std::vector<uint8_t> cells(ROWS * COLS, 255);
    for (int k : {8, 9, 10}) cells[static_cast<size_t>(k)] = 1;
    for (int k : {15, 16, 22}) cells[static_cast<size_t>(k)] = 2;
    for (int k : {22, 23}) cells[static_cast<size_t>(k)] = 3;
    journal::Head h;
    h.epoch = 4;
    h.raster_size = cells.size();
    const std::string before = formats::header_text(ROWS, COLS) + formats::pix_size_line(30) + record(1);
    h.log_size = static_cast<long long>(before.size());
    h.log_sum = journal::crc32c(before.data(), before.size());
    std::string whole = journal::head_bytes(h);
    std::string e = journal::entry_bytes(4, 0, h.log_size, record(2), {{15, 255, 2}, {16, 255, 2}, {22, 255, 2}});
    whole.replace(journal::HEAD_SIZE, std::string::npos, e);
    const size_t second = journal::HEAD_SIZE + e.size() - journal::END_MARK;
    e = journal::entry_bytes(4, 1, h.log_size + static_cast<long long>(record(2).size()), record(3), {{22, 2, 3}, {23, 255, 3}, {24, 255, 3}});
    whole.replace(second, std::string::npos, e);
    whole.resize(journal::HEAD_SIZE + journal::room(cells.size()), '\0');

    recovery::Contents c;
    c.log = log;
    c.cells = cells.data();
    c.size = cells.size();
    c.journal_present = true;
    c.journal_name = "j";
    switch (data[0] % 3) {
    case 0: c.journal.assign(reinterpret_cast<const char *>(data + 1), size - 1); break;
    case 1:
        c.journal = whole;
        for (size_t k = 1; k + 2 < size; k += 3) {
            const size_t at = (static_cast<size_t>(data[k]) << 8 | data[k + 1]) % c.journal.size();
            c.journal[at] = static_cast<char>(data[k + 2]);
        }
        break;
    case 2: c.journal = whole.substr(0, size > 2 ? (static_cast<size_t>(data[1]) << 8 | data[2]) % (whole.size() + 1) : 0); break;
    }
    const recovery::Plan p = recovery::plan(c);
    for (const auto &kv : p.cells)
        if (kv.first >= cells.size()) __builtin_trap();
    formats::ResultLog after;
    formats::result_log_prefix(p.log, after);
    if (after.records.size() < 2) __builtin_trap();
    return 0;
}
