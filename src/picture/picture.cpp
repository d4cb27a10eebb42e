// picture.cpp: hillshade, code colours, a small bitmap font for the legend,
// and the PNG writer.
#include "picture/picture.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tools {

Rgb Image::at(int x, int y) const {
    size_t k = (static_cast<size_t>(y) * width + x) * 3;
    return {rgb[k], rgb[k + 1], rgb[k + 2]};
}

void Image::set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    size_t k = (static_cast<size_t>(y) * width + x) * 3;
    rgb[k] = c.r;
    rgb[k + 1] = c.g;
    rgb[k + 2] = c.b;
}

uint8_t shade_at(const Terrain &t, int i, int j, int step) {
    // Light from azimuth 315 (north-west), 45 degrees up: with the surface
    // gradient (dz/dx eastwards, dz/dy southwards), the light on a unit
    // normal is (cos z + sin z (cos a (-dz/dx) + sin a dz/dy)) / |normal|,
    // a the light's direction counter-clockwise from east (135 degrees).
    static const double cos_zenith = std::sqrt(0.5), sin_zenith = std::sqrt(0.5);
    static const double cos_az = -std::sqrt(0.5), sin_az = std::sqrt(0.5);
    auto at = [&](int r, int c) {
        r = std::min(std::max(r, 0), t.rows - 1);
        c = std::min(std::max(c, 0), t.cols - 1);
        return t.elevation(r, c);
    };
    //  a b c
    //  d e f     rows grow southwards, columns eastwards, `step` cells apart
    //  g h i
    const int s = step;
    const double a = at(i - s, j - s), b = at(i - s, j), c = at(i - s, j + s);
    const double d = at(i, j - s), f = at(i, j + s);
    const double g = at(i + s, j - s), h = at(i + s, j), k = at(i + s, j + s);
    const double spacing = 8.0 * s * t.pix_size;
    const double dzdx = ((c + 2 * f + k) - (a + 2 * d + g)) / spacing;
    const double dzdy = ((g + 2 * h + k) - (a + 2 * b + c)) / spacing;
    const double lit = (cos_zenith + sin_zenith * (cos_az * -dzdx + sin_az * dzdy)) / std::sqrt(1 + dzdx * dzdx + dzdy * dzdy);
    // Kept between 40 and 235 so that neither black marks nor white legend
    // text vanish into it.
    return static_cast<uint8_t>(40 + 195 * std::max(0.0, std::min(1.0, lit)) + 0.5);
}

std::vector<uint8_t> hillshade(const Terrain &t) {
    std::vector<uint8_t> shade(static_cast<size_t>(t.rows) * static_cast<size_t>(t.cols));
    for (int i = 0; i < t.rows; i++)
        for (int j = 0; j < t.cols; j++) shade[static_cast<size_t>(i) * static_cast<size_t>(t.cols) + static_cast<size_t>(j)] = shade_at(t, i, j, 1);
    return shade;
}

Rgb pale(Rgb c) {
    auto half = [](uint8_t u) { return static_cast<uint8_t>((u + 2 * 235) / 3); };
    return {half(c.r), half(c.g), half(c.b)};
}

Rgb code_colour(int code) {
    // The first twelve codes, those of most sessions, from a set of colours
    // chosen to be told apart (and none of them grey); later codes take hues
    // a golden angle apart, so that consecutive codes differ strongly.
    static const Rgb first[12] = {{230, 25, 75},  {0, 130, 200}, {60, 180, 75},  {245, 130, 48},
                                  {145, 30, 180}, {70, 240, 240}, {240, 50, 230}, {210, 245, 60},
                                  {0, 128, 128},  {170, 110, 40}, {255, 225, 25}, {128, 0, 0}};
    if (code >= 1 && code <= 12) return first[code - 1];
    double h = std::fmod(code * 137.50776405, 360.0) / 60.0;
    double s = code % 2 ? 0.95 : 0.75, v = code % 3 ? 1.0 : 0.85;
    double c = v * s, x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1)), m = v - c;
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h)) {
    case 0: r = c; g = x; break;
    case 1: r = x; g = c; break;
    case 2: g = c; b = x; break;
    case 3: g = x; b = c; break;
    case 4: r = x; b = c; break;
    default: r = c; b = x; break;
    }
    auto byte = [&](double u) { return static_cast<uint8_t>(std::lround((u + m) * 255)); };
    return {byte(r), byte(g), byte(b)};
}

// ---- legend text ------------------------------------------------------------

namespace {

// 5 x 7 glyphs, seven rows of five columns ('#' is ink) and two more below
// the line for the descenders of g, p, q and y.
struct Glyph {
    char ch;
    const char *rows[9];
};
const Glyph FONT[] = {
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    {'a', {".....", ".....", ".###.", "....#", ".####", "#...#", ".####"}},
    {'b', {"#....", "#....", "#.##.", "##..#", "#...#", "#...#", "####."}},
    {'c', {".....", ".....", ".###.", "#....", "#....", "#...#", ".###."}},
    {'d', {"....#", "....#", ".##.#", "#..##", "#...#", "#...#", ".####"}},
    {'e', {".....", ".....", ".###.", "#...#", "#####", "#....", ".###."}},
    {'f', {"..##.", ".#..#", ".#...", "###..", ".#...", ".#...", ".#..."}},
    {'g', {".....", ".....", ".####", "#...#", "#...#", "#...#", ".####", "....#", ".###."}},
    {'h', {"#....", "#....", "#.##.", "##..#", "#...#", "#...#", "#...#"}},
    {'i', {"..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."}},
    {'j', {"...#.", ".....", "..##.", "...#.", "...#.", "#..#.", ".##.."}},
    {'k', {"#....", "#....", "#..#.", "#.#..", "##...", "#.#..", "#..#."}},
    {'l', {".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'m', {".....", ".....", "##.#.", "#.#.#", "#.#.#", "#...#", "#...#"}},
    {'n', {".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"}},
    {'o', {".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."}},
    {'p', {".....", ".....", "####.", "#...#", "#...#", "#...#", "####.", "#....", "#...."}},
    {'q', {".....", ".....", ".####", "#...#", "#...#", "#...#", ".####", "....#", "....#"}},
    {'r', {".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."}},
    {'s', {".....", ".....", ".###.", "#....", ".###.", "....#", "####."}},
    {'t', {".#...", ".#...", "###..", ".#...", ".#...", ".#..#", "..##."}},
    {'u', {".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"}},
    {'v', {".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'w', {".....", ".....", "#...#", "#...#", "#.#.#", "#.#.#", ".#.#."}},
    {'x', {".....", ".....", "#...#", ".#.#.", "..#..", ".#.#.", "#...#"}},
    {'y', {".....", ".....", "#...#", "#...#", "#...#", "#...#", ".####", "....#", ".###."}},
    {'z', {".....", ".....", "#####", "...#.", "..#..", ".#...", "#####"}},
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
    {':', {".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."}},
    {',', {".....", ".....", ".....", ".....", ".##..", "..#..", ".#..."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {'(', {"...#.", "..#..", ".#...", ".#...", ".#...", "..#..", "...#."}},
    {')', {".#...", "..#..", "...#.", "...#.", "...#.", "..#..", ".#..."}},
    {'/', {".....", "....#", "...#.", "..#..", ".#...", "#....", "....."}},
    {'=', {".....", ".....", "#####", ".....", "#####", ".....", "....."}},
    {'N', {"#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"}},
    {'%', {"##...", "##..#", "...#.", "..#..", ".#...", "#..##", "...##"}},
};

const Glyph *glyph(char ch) {
    for (const Glyph &g : FONT)
        if (g.ch == ch) return &g;
    return nullptr;
}

void block(Image &img, int x0, int y0, int w, int h, Rgb c) {
    for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++) img.set(x, y, c);
}

}  // namespace

// Text in `px`-pixel dots, 6 dots a character.
void text(Image &img, int x, int y, const std::string &s, Rgb ink, int px) {
    for (char ch : s) {
        if (const Glyph *g = glyph(ch))
            for (int r = 0; r < 9 && g->rows[r] != nullptr; r++)
                for (int c = 0; c < 5; c++)
                    if (g->rows[r][c] == '#') block(img, x + c * px, y + r * px, px, px, ink);
        x += 6 * px;
    }
}

namespace {

const int LEGEND_CHARS = 46, LINE = 11, MARGIN = 8;

std::string legend_line(const formats::Record &r) {
    const Values &v = r.values;
    return std::to_string(r.code) + ": (" + std::to_string(v.row) + ", " + std::to_string(v.column) + ") dip " +
           std::to_string(v.dip) + " dir " + std::to_string(v.dip_direction) + " zone " + std::to_string(v.zone);
}

}  // namespace

Image draw(const std::vector<uint8_t> &shade, const ResultSet &result, int scale, const std::vector<uint8_t> &filled) {
    Image img;
    // The legend's dots grow with the map, up to twice the font's size.
    const int px = scale >= 2 ? 2 : 1;
    const int map_w = result.cols * scale, map_h = result.rows * scale;
    const int lines = 4 + (result.geometry == Geometry::exact ? 1 : 0) + static_cast<int>(result.records.size());
    const int legend_h = MARGIN * 2 + LINE * px * lines;
    img.width = map_w + 2 * MARGIN + LEGEND_CHARS * 6 * px;
    img.height = std::max(map_h, legend_h);
    img.rgb.assign(static_cast<size_t>(img.width) * img.height * 3, 255);

    auto cell = [&](int i, int j, Rgb c) { block(img, j * scale, i * scale, scale, scale, c); };
    for (int i = 0; i < result.rows; i++)
        for (int j = 0; j < result.cols; j++) {
            size_t k = static_cast<size_t>(i) * result.cols + j;
            uint8_t v = result.cells[k];
            // Both backgrounds (0 black, 255 white) let the terrain show.
            Rgb c = v == 0 || v == 255 ? Rgb{shade[k], shade[k], shade[k]} : code_colour(v);
            if (!filled.empty() && filled[k]) c = pale(c);
            cell(i, j, c);
        }
    for (const formats::Record &r : result.records) {
        for (int di = -2; di <= 2; di++)
            for (int dj = -2; dj <= 2; dj++) {
                int i = r.values.row + di, j = r.values.column + dj;
                if (std::max(std::abs(di), std::abs(dj)) != 2) continue;
                if (i >= 0 && j >= 0 && i < result.rows && j < result.cols) cell(i, j, MARKER);
            }
    }

    const int x = map_w + MARGIN;
    int y = MARGIN;
    text(img, x, y, "code: (line, column) dip dir zone", {0, 0, 0}, px);
    if (result.geometry == Geometry::exact) {
        y += LINE * px;
        text(img, x, y, "true geometry", {0, 0, 0}, px);
    }
    y += LINE * px * 2;
    for (const formats::Record &r : result.records) {
        block(img, x, y - px, 9 * px, 9 * px, {0, 0, 0});
        block(img, x + px, y, 7 * px, 7 * px, code_colour(r.code));
        text(img, x + 14 * px, y, legend_line(r), {0, 0, 0}, px);
        y += LINE * px;
    }
    if (!filled.empty()) {
        y += LINE * px;
        text(img, x, y, "pale: ground filled in place of nodata", {0, 0, 0}, px);
    }
    return img;
}

namespace {

png_image png_of(const Image &image) {
    png_image png;
    memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    return png;
}

}  // namespace

bool png_bytes(const Image &image, std::string &out) {
    png_image png = png_of(image);
    // A picture asked for while the user looks: speed before size.
    png.flags = PNG_IMAGE_FLAG_FAST;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.rgb.data(), 0, nullptr)) return false;
    out.resize(size);
    const bool ok = png_image_write_to_memory(&png, &out[0], &size, 0, image.rgb.data(), 0, nullptr) != 0;
    out.resize(size);
    png_image_free(&png);
    return ok;
}

void Net::at(double dip, double dip_direction, double &x, double &y) const {
    // The pole of a plane points down the other way: trend dip_direction +
    // 180, at `dip` from the vertical; equal area: sqrt(2) sin(half of it).
    const double k = 3.14159265358979323846 / 180;
    const double r = radius * std::sqrt(2.0) * std::sin(dip * k / 2), a = (dip_direction + 180) * k;
    x = cx + r * std::sin(a);
    y = cy - r * std::cos(a);
}

void line(Image &img, double x0, double y0, double x1, double y1, Rgb c, int width) {
    const int n = std::max(1, static_cast<int>(std::ceil(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0)))));
    for (int k = 0; k <= n; k++) {
        const int x = static_cast<int>(std::lround(x0 + (x1 - x0) * k / n)), y = static_cast<int>(std::lround(y0 + (y1 - y0) * k / n));
        for (int dy = 0; dy < width; dy++)
            for (int dx = 0; dx < width; dx++) img.set(x + dx - width / 2, y + dy - width / 2, c);
    }
}

void draw_net(Image &img, const Net &n) {
    const Rgb paper{255, 255, 255}, ink{0, 0, 0}, faint{200, 200, 200};
    for (int y = n.cy - n.radius; y <= n.cy + n.radius; y++)
        for (int x = n.cx - n.radius; x <= n.cx + n.radius; x++)
            if ((x - n.cx) * (x - n.cx) + (y - n.cy) * (y - n.cy) <= n.radius * n.radius) img.set(x, y, paper);
    line(img, n.cx - n.radius, n.cy, n.cx + n.radius, n.cy, faint, 1);
    line(img, n.cx, n.cy - n.radius, n.cx, n.cy + n.radius, faint, 1);
    for (int k = 0; k < 720; k++) {
        const double a = k * 3.14159265358979323846 / 360;
        img.set(static_cast<int>(std::lround(n.cx + n.radius * std::sin(a))), static_cast<int>(std::lround(n.cy - n.radius * std::cos(a))), ink);
    }
    line(img, n.cx, n.cy - n.radius - 6, n.cx, n.cy - n.radius, ink, 2);
    text(img, n.cx - 2, n.cy - n.radius - 17, "N", ink, 1);
}

bool write_png(const std::string &path, const Image &image, std::string &err) {
    png_image png = png_of(image);
    if (!png_image_write_to_file(&png, path.c_str(), 0, image.rgb.data(), 0, nullptr)) {
        err = "cannot write " + path + ": " + png.message;
        png_image_free(&png);
        return false;
    }
    return true;
}

}  // namespace tools
