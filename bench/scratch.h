// scratch.h: a folder of the benchmarks' own under the temporary folder,
// removed with everything in it when the benchmark ends.
#ifndef TOLMAR_BENCH_SCRATCH_H
#define TOLMAR_BENCH_SCRATCH_H

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

struct Scratch {
    std::string dir;
    explicit Scratch(const std::string &name) {
        const char *tmp = getenv("TMPDIR");
        dir = std::string(tmp ? tmp : "/tmp") + "/tolmar-bench-" + name + "-" + std::to_string(getpid());
        std::filesystem::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

#endif
