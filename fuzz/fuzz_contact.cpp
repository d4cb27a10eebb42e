// fuzz_contact.cpp: tolmar-fit's contact reader and fit on arbitrary bytes,
// as a CSV or GeoJSON file: whatever they hold, the reader refuses or reads
// them, the points it keeps lie on the DEM, and the fit ends, bounded by the
// points it was given.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fit/contact.h"
#include "files/demset.h"
#include "fit/fit.h"

namespace {

std::string path;
DemSamples dem;

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "fuzz_contact: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char name[] = "/tmp/tolmar-fuzz-contact-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) abort();
    close(fd);
    path = name;
    dem.allocate(60, 80, 2);
    for (int i = 0; i < 60; i++)
        for (int j = 0; j < 80; j++) dem.set(i, j, 300 + static_cast<int>(40 * sin(i / 5.0) * cos(j / 7.0)) + 2 * j);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(data, 1, size, f);
    fclose(f);
    tools::Contact c;
    std::string err;
    const Georef none;
    if (!tools::read_contact(path, none, 60, 80, c, err)) return 0;
    const std::vector<tools::Spot> spots = c.spots();
    check(!spots.empty() && spots.size() <= tools::MAX_SPOTS, "a contact of no point, or too many");
    for (tools::Spot s : spots) check(s.i >= -0.5 && s.i < 59.5 && s.j >= -0.5 && s.j < 79.5, "a point off the DEM");
    const Terrain t = dem.terrain(1, 30);
    const tools::Plane p = tools::fit_plane(t, 1, c);
    const tools::TrueFit fit = tools::fit_true(t, 1, c, p, nullptr);
    if (fit.found) check(fit.dip >= 0 && fit.dip <= 90 && fit.dip_direction >= 0 && fit.dip_direction < 360, "an attitude out of range");
    return 0;
}
