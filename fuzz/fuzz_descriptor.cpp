// fuzz_descriptor.cpp: the descriptor and run-log readers on arbitrary text:
// whatever the bytes, they stop where a formatted read would, never read
// past the text, and never take a number beyond 32 bits.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const formats::Descriptor d = formats::parse_descriptor(text);
    if (d.count < 0 || d.count > 6 || d.end > text.size() || (d.too_big && d.count == 6)) __builtin_trap();
    for (int k = 0; k < d.count; k++)
        if (d.field[k] < INT32_MIN || d.field[k] > INT32_MAX) __builtin_trap();
    std::vector<formats::Record> records;
    std::string err;
    if (formats::parse_log(text.substr(d.end), records, err)) {
        // What parses writes back to the same records.
        std::string again;
        for (const formats::Record &r : records) again += formats::record_text(r);
        std::vector<formats::Record> back;
        if (!formats::parse_log(again, back, err) || back.size() != records.size()) __builtin_trap();
    }
    return 0;
}
