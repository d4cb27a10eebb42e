// fit_calibration.cpp: is the fit's stated confidence a promise kept? On
// contacts of known planes (tests/fit_cases: synthetic and real grounds,
// noise from 0 to 2 cells, 5 to 200 points, pieces of 10 to 200 cells), the
// share of determined answers whose ranges hold the true dip and dip
// direction, against the level stated, with the ranges' median widths and
// the share of contacts answered. The README's table.
//
//   fit_calibration EXAMPLES [CASES] [SEED] [--each]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "fit/fit.h"
#include "fit_cases.h"

namespace {

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

struct Tally {
    int cases = 0, determined = 0, held = 0;
    std::vector<double> dip_width, dir_width;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: fit_calibration EXAMPLES [CASES] [SEED] [--each]\n");
        return 2;
    }
    const int n = argc > 2 ? atoi(argv[2]) : 500;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : 2026;
    const bool each = argc > 4 && strcmp(argv[4], "--each") == 0;
    const auto grounds = fitcases::grounds(argv[1]);
    const std::vector<fitcases::Case> cases = fitcases::cases(grounds, seed, n);
    std::map<double, Tally> by_level;
    std::map<std::string, Tally> by_kind;  // at 90 %
    double slowest = 0;
    for (const fitcases::Case &c : cases) {
        const Terrain t = c.ground->terrain();
        for (double level : {0.90, 0.99}) {
            const auto t0 = std::chrono::steady_clock::now();
            const tools::TrueFit f = tools::fit_true(t, 1, c.contact, tools::fit_plane(t, 1, c.contact), nullptr, level);
            slowest = std::max(slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            const bool held = tools::ranges_hold(f, c.dip, c.dir);
            for (Tally *x : {&by_level[level], level < 0.95 ? &by_kind[c.ground->name] : nullptr,
                             level < 0.95 ? &by_kind["noise " + std::to_string(c.noise).substr(0, 4)] : nullptr}) {
                if (x == nullptr) continue;
                x->cases++;
                if (!f.determined()) continue;
                x->determined++;
                x->held += held;
                x->dip_width.push_back(f.dip_hi - f.dip_lo);
                x->dir_width.push_back(f.direction_any ? 360 : std::fmod(f.dir_hi - f.dir_lo + 720, 360));
            }
            const double truth = each ? tools::sum_of_squares(t, c.contact, c.dip, c.dir, nullptr) : 0;
            if (each)
                printf("%.2f %s: %s %s truth %.2f dip %.1f [%.1f, %.1f] dir %.1f [%.1f, %.1f]%s rms %.2f cells rho %.2f%s%s\n", level,
                       c.what().c_str(), f.determined() ? "determined" : "not determined", held ? "held" : "MISSED",
                       f.bound > f.sum ? (truth - f.sum) / (f.bound - f.sum) : 0, f.dip,
                       f.dip_lo, f.dip_hi, f.dip_direction, f.dir_lo, f.dir_hi, f.direction_any ? " (any)" : "", f.rms_cells,
                       f.correlation, f.determined() ? "" : ": ", f.determined() ? "" : f.why.c_str());
        }
    }
    printf("%zu contacts of known planes (seed %u); the slowest fit took %.2f s\n\n", cases.size(), seed, slowest);
    printf("| stated | measured | median width, dip | median width, direction | determined |\n|---|---|---|---|---|\n");
    for (const auto &kv : by_level) {
        const Tally &x = kv.second;
        printf("| %.0f %% | %.1f %% | %.1f | %.1f | %.0f %% |\n", 100 * kv.first, x.determined ? 100.0 * x.held / x.determined : 0,
               median(x.dip_width), median(x.dir_width), 100.0 * x.determined / std::max(1, x.cases));
    }
    printf("\nAt 90 %%, by ground and noise:\n");
    for (const auto &kv : by_kind) {
        const Tally &x = kv.second;
        printf("  %-20s %4d contacts, %3.0f %% determined, %5.1f %% held, widths %.1f and %.1f\n", kv.first.c_str(), x.cases,
               100.0 * x.determined / std::max(1, x.cases), x.determined ? 100.0 * x.held / x.determined : 0, median(x.dip_width),
               median(x.dir_width));
    }
    return 0;
}
