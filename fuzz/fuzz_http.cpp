// fuzz_http.cpp: the workbench's requests on arbitrary bytes: a method, a
// path with its query, a body, handled as the server handles them, on a
// small DEM whose result set takes the stamps. Every request gets an
// answer with a status and a body; none crashes the workbench, none writes
// outside the set's folder, and the set always agrees with its log.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "files/resultset.h"
#include "workbench/workbench.h"

namespace fs = std::filesystem;

namespace {

tools::Workbench *bench;
std::string work_dir;

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "fuzz_http: %s\n", what);
        abort();
    }
}

std::string percent_decoded(const std::string &s) {
    std::string out;
    for (size_t k = 0; k < s.size(); k++) {
        if (s[k] == '%' && k + 2 < s.size() && isxdigit(static_cast<unsigned char>(s[k + 1])) &&
            isxdigit(static_cast<unsigned char>(s[k + 2]))) {
            out.push_back(static_cast<char>(std::stoi(s.substr(k + 1, 2), nullptr, 16)));
            k += 2;
        } else {
            out.push_back(s[k] == '+' ? ' ' : s[k]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/tmp/tolmar-fuzz-http-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
    work_dir = dir;
    fs::create_directories("images/f");
    std::ofstream raw("images/f/dem_m2.raw", std::ios::binary);
    for (int i = 0; i < 40; i++)
        for (int j = 0; j < 50; j++) {
            const int v = 200 + (i * 13 + j * 7) % 17 + 3 * j;
            raw.put(static_cast<char>(v & 0xff)).put(static_cast<char>(v >> 8));
        }
    raw.close();
    std::ofstream("images/f/dem_m2.txt") << "40 50 2 0 0 30\n";
    bench = new tools::Workbench;
    tools::WorkbenchOptions o;
    o.dem = "images/f/dem_m2.raw";
    std::string err;
    if (!bench->open(o, err)) {
        fprintf(stderr, "%s\n", err.c_str());
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // METHOD\nPATH?QUERY\nBODY
    const std::string in(reinterpret_cast<const char *>(data), size);
    const size_t a = in.find('\n'), b = a == std::string::npos ? std::string::npos : in.find('\n', a + 1);
    tools::Call c;
    c.method = in.substr(0, a);
    const std::string target = a == std::string::npos ? "/" : in.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    c.body = b == std::string::npos ? "" : in.substr(b + 1);
    const size_t q = target.find('?');
    c.path = percent_decoded(target.substr(0, q));
    if (q != std::string::npos) {
        const std::string query = target.substr(q + 1);
        for (size_t at = 0; at <= query.size();) {
            const size_t end = std::min(query.find('&', at), query.size());
            const std::string pair = query.substr(at, end - at);
            const size_t eq = pair.find('=');
            c.params.insert({percent_decoded(pair.substr(0, eq)), eq == std::string::npos ? "" : percent_decoded(pair.substr(eq + 1))});
            at = end + 1;
        }
    }
    const tools::Reply r = bench->handle(c);
    check(r.status >= 200 && r.status < 600, "no status");
    check(!r.body.empty(), "an empty answer");
    // Nothing but the set's own files appears, and the set agrees with its log.
    for (auto &e : fs::recursive_directory_iterator(work_dir)) {
        const std::string name = e.path().filename().string();
        check(e.is_directory() || name.rfind("dem_", 0) == 0 || name.rfind(".dem_tolmar", 0) == 0, "a file outside the set");
    }
    if (fs::exists("images/f/dem_tolmar.raw")) {
        ResultSet set;
        std::string err;
        check(read_result_set("images/f/dem_tolmar.raw", set, err), "a set that does not read back");
        for (uint8_t v : set.cells) check(v == 255 || (v >= 1 && v <= set.records.size()), "a code without its record");
    }
    return 0;
}
