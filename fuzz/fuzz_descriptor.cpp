// fuzz_descriptor.cpp: the descriptor and run-log readers on arbitrary text:
// whatever the bytes, they stop where a formatted read would, never read
// past the text, and never take a number beyond 32 bits.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "files/formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const formats::Descriptor d = formats::parse_descriptor(text);
    if (d.count < 0 || d.count > 6 || d.end > text.size() || (d.too_big && d.count == 6)) __builtin_trap();
    for (int k = 0; k < d.count; k++)
        if (d.field[k] < INT32_MIN || d.field[k] > INT32_MAX) __builtin_trap();
    formats::ResultLog log;
    std::string err;
    if (formats::parse_result_log(text, log, err)) {
        // What parses writes back to the same records.
        std::string again = formats::header_text(log.rows, log.cols) + formats::pix_size_line(log.pix_size);
        for (const formats::Record &r : log.records) again += formats::record_text(r);
        formats::ResultLog back;
        if (!formats::parse_result_log(again, back, err) || back.records.size() != log.records.size()) __builtin_trap();
        for (size_t k = 0; k < back.records.size(); k++)
            if (!(back.records[k].values == log.records[k].values)) __builtin_trap();
    }
    return 0;
}
