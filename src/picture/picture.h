// picture.h: what tolmar-preview draws: a grey hillshade of the DEM, each
// trace in a colour of its code, each reference point marked, and a legend
// of the run log; written as a PNG with libpng.
#ifndef TOLMAR_PICTURE_PICTURE_H
#define TOLMAR_PICTURE_PICTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "compute/terrain.h"
#include "files/resultset.h"

namespace tools {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // width x height x 3, row 0 first
    Rgb at(int x, int y) const;
    void set(int x, int y, Rgb c);
};

// Grey level (40 to 235) of a cell lit from the north-west (azimuth 315,
// altitude 45 degrees), its slope from Horn's 3 x 3 window of cells `step`
// apart, the edges repeated: 1 for a cell's own relief, more for the
// relief a pixel of a smaller picture stands for.
uint8_t shade_at(const Terrain &t, int i, int j, int step);
// The grey level of every cell, row after row.
std::vector<uint8_t> hillshade(const Terrain &t);

// The colour of code 1 to 250: saturated, distinct from its neighbours and
// never grey.
Rgb code_colour(int code);

// A colour washed out, for ground that was nodata and was filled.
Rgb pale(Rgb c);

// Colour of the ring drawn around each reference point.
constexpr Rgb MARKER = {0, 0, 0};

// The picture: `scale` pixels per cell, the legend to the right of the map.
// Cells holding 0 or 255 (either background) show the hillshade; codes their
// colour; a black ring two cells around each logged reference point. Cells
// `filled` (1, when not empty) were nodata: they are drawn pale, traces
// over them too, and the legend says so.
Image draw(const std::vector<uint8_t> &shade, const ResultSet &result, int scale,
           const std::vector<uint8_t> &filled = {});

// Text in `px`-pixel dots, 6 dots a character (digits, lower case letters,
// N and a few signs).
void text(Image &img, int x, int y, const std::string &s, Rgb ink, int px);
// A line `width` pixels wide.
void line(Image &img, double x0, double y0, double x1, double y1, Rgb c, int width);

// A stereonet: the lower hemisphere in equal area, `radius` pixels about
// (cx, cy), north up; a plane plotted as its pole.
struct Net {
    int cx = 0, cy = 0, radius = 100;
    void at(double dip, double dip_direction, double &x, double &y) const;
};
// The net's primitive circle on white, its axes, north marked.
void draw_net(Image &img, const Net &n);

bool write_png(const std::string &path, const Image &image, std::string &err);
// The PNG file of the image, in memory.
bool png_bytes(const Image &image, std::string &out);

}  // namespace tools

#endif
