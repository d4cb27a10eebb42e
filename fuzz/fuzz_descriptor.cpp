// fuzz_descriptor.cpp: the descriptor reader alone, on arbitrary text: the
// program's (which ends the run on numbers beyond 32 bits) and the
// companions' readers of descriptors and run logs.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "resultset.h"
#include "tolmar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    reset_state();
    FILE *f = tmpfile();
    fwrite(data, 1, size, f);
    rewind(f);
    con_out = fopen("/dev/null", "w");
    try {
        read_descriptor(f);
    } catch (const RunEnd &e) {
        if (e.status != 1) __builtin_trap();
    }
    fclose(f);
    fclose(con_out);
    con_out = stdout;
    reset_state();

    const std::string text(reinterpret_cast<const char *>(data), size);
    tools::Descriptor d;
    tools::parse_descriptor(text, d);
    std::vector<tools::Record> records;
    std::string err;
    tools::parse_log(d.rest, records, err);
    return 0;
}
