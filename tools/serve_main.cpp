// serve_main.cpp: tolmar-serve, a workbench in the browser on the same files
// as the console: tolmar-serve [options] DEM.raw. It opens the DEM file set
// and its result set (carrying on an existing one from its last code),
// listens on 127.0.0.1 only, and serves a page that shows the DEM's
// hillshade, draws the trace of the values being chosen as they change and
// stamps it, as the next treatment, into the very files the console writes.
#include <fcntl.h>
#include <httplib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "georef.h"
#include "picture.h"
#include "results.h"
#include "resultset.h"
#include "treatment.h"

extern const unsigned char WEB_index_html[], WEB_app_js[], WEB_app_css[];
extern const size_t WEB_index_html_size, WEB_app_js_size, WEB_app_css_size;

namespace {

const char USAGE[] =
    "usage: tolmar-serve [options] DEM.raw\n"
    "\n"
    "A workbench in the browser for the DEM file set DEM.raw (NAME_m2.raw or\n"
    "NAME_m4.raw with its descriptor): it shows the terrain, draws the trace of\n"
    "the point, dip, dip direction and zone you choose as they change, and\n"
    "stamps it on \"Stamp\" as the next treatment into R_tolmar.raw and\n"
    "R_tolmar.txt beside the DEM, the files the console writes, carrying on\n"
    "an existing result set from its last code. The first line printed is the\n"
    "address to open; it listens on 127.0.0.1 only.\n"
    "\n"
    "  --port N          the port (default 8040; 0 picks a free one)\n"
    "  --unit U          unit of the samples: m, dm, cm or mm (default: the\n"
    "                    imported DEM's own, else m)\n"
    "  --pixel-size N    the pixel size, when the descriptor gives none\n"
    "  --result NAME     the result set R (default: the DEM's name)\n"
    "  --background B    white (default) or black, for a new result set\n"
    "  -h, --help        this text\n";

int usage_error(const std::string &what) { return tools::usage_error("tolmar-serve", what); }
int failure(const std::string &what) { return tools::failure("tolmar-serve", what); }

using Json = nlohmann::json;

// The DEM's samples mapped from their file: pages come in as pictures and
// treatments read them, so the first picture needs no read of the whole
// raster, and the memory stays the console's or less.
struct MappedDem {
    int rows = 0, cols = 0, width = 0, pix_size = 0;
    void *data = MAP_FAILED;
    size_t bytes = 0;
    ~MappedDem() {
        if (data != MAP_FAILED) munmap(data, bytes);
    }
    Terrain terrain(double divisor, int pix) const {
        Terrain t;
        t.rows = rows;
        t.cols = cols;
        t.s16 = width == 2 ? static_cast<const uint16_t *>(data) : nullptr;
        t.s32 = width == 4 ? static_cast<const int32_t *>(data) : nullptr;
        t.divisor = divisor;
        t.pix_size = pix;
        return t;
    }
};

bool host_is_little_endian() {
    const uint16_t one = 1;
    return *reinterpret_cast<const unsigned char *>(&one) == 1;
}

bool map_dem(const std::string &raw, MappedDem &d, std::string &err) {
    d.width = formats::dem_width_of_name(raw);
    if (d.width == 0) {
        err = raw + ": a DEM raster's name ends in _m2.raw (16-bit) or _m4.raw (32-bit)";
        return false;
    }
    if (!host_is_little_endian()) {
        err = "this host stores numbers most significant byte first: the workbench maps DEMs on others only";
        return false;
    }
    std::string text, why;
    const std::string txt = formats::descriptor_path(raw);
    if (!formats::read_file(txt, text, why, 1 << 20)) {
        err = "cannot read " + txt + ": " + why;
        return false;
    }
    const formats::Descriptor desc = formats::parse_descriptor(text);
    if (desc.too_big || desc.count < 2 || desc.field[0] < 1 || desc.field[1] < 1) {
        err = txt + ": the first two numbers must be the rows and columns, both at least 1";
        return false;
    }
    d.rows = static_cast<int>(desc.field[0]);
    d.cols = static_cast<int>(desc.field[1]);
    d.pix_size = desc.count >= 6 && desc.field[5] > 0 ? static_cast<int>(desc.field[5]) : 0;
    d.bytes = static_cast<size_t>(d.rows) * static_cast<size_t>(d.cols) * static_cast<size_t>(d.width);
    const int fd = open(raw.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = "cannot read " + raw + (fd < 0 ? std::string(": ") + strerror(errno) : ": not a regular file");
        if (fd >= 0) close(fd);
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) != d.bytes) {
        err = raw + " holds " + std::to_string(st.st_size) + " bytes, " + std::to_string(d.bytes) + " expected";
        close(fd);
        return false;
    }
    d.data = mmap(nullptr, d.bytes, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (d.data == MAP_FAILED) {
        err = "cannot map " + raw + ": " + strerror(errno);
        return false;
    }
    return true;
}

// Everything the workbench holds: the DEM, the result raster and its files,
// the codes stamped so far. One lock guards it all: requests come on
// several threads.
struct Bench {
    std::mutex lock;
    MappedDem dem;
    double divisor = 1;
    int unit = 0;
    int pix_size = 0;
    tools::Georef place;
    std::vector<uint8_t> filled;
    Grid<uint8_t> tab_out;
    ResultFiles results;
    std::vector<formats::Record> records;
    std::vector<Cell> stamped;  // every cell a trace was ever stamped on
    int code = 0;
    uint8_t background = 255;   // of a new result set
    Work work;
    std::string name, raster_path, log_path;

    Terrain terrain() const { return dem.terrain(divisor, pix_size); }
};

// ---- requests ------------------------------------------------------------------

struct BadRequest {
    std::string why;
};

// A whole number within 32 bits, from a query parameter or a JSON member.
int whole(const std::string &name, const std::string &text) {
    size_t k = 0;
    bool negative = false;
    if (k < text.size() && (text[k] == '-' || text[k] == '+')) negative = text[k++] == '-';
    if (k == text.size() || text.size() - k > 10) throw BadRequest{name + " must be a whole number, not \"" + text.substr(0, 20) + "\""};
    long long v = 0;
    for (; k < text.size(); k++) {
        if (text[k] < '0' || text[k] > '9') throw BadRequest{name + " must be a whole number, not \"" + text.substr(0, 20) + "\""};
        v = v * 10 + (text[k] - '0');
    }
    if (negative) v = -v;
    if (v < INT_MIN || v > INT_MAX) throw BadRequest{name + " is beyond the 32-bit range"};
    return static_cast<int>(v);
}

int param(const httplib::Request &req, const char *name) {
    if (!req.has_param(name)) throw BadRequest{std::string("missing parameter ") + name};
    return whole(name, req.get_param_value(name));
}

Values values_of(const Json &j) {
    Values v;
    auto member = [&](const char *name) {
        if (!j.is_object() || !j.contains(name)) throw BadRequest{std::string("missing member ") + name};
        const Json &m = j[name];
        if (m.is_number_integer()) return whole(name, std::to_string(m.get<long long>()));
        if (m.is_string()) return whole(name, m.get<std::string>());
        throw BadRequest{std::string(name) + " must be a whole number"};
    };
    v.ip = member("ip");
    v.jp = member("jp");
    v.slope = member("slope");
    v.dir = member("dir");
    v.infl = member("infl");
    return v;
}

Values values_of(const httplib::Request &req) {
    return {param(req, "ip"), param(req, "jp"), param(req, "slope"), param(req, "dir"), param(req, "infl")};
}

Json cell(Cell c) { return {c.i, c.j}; }

Json record_json(const formats::Record &r) {
    const tools::Rgb c = tools::code_colour(r.code);
    char colour[8];
    snprintf(colour, sizeof colour, "#%02x%02x%02x", c.r, c.g, c.b);
    return {{"code", r.code}, {"line", r.line}, {"column", r.column}, {"dip", r.dip},
            {"dir", r.direction}, {"zone", r.zone}, {"colour", colour}};
}

// What the console would say of a refusal.
Json refusal(const Bench &b, const Values &v, Verdict verdict) {
    Json out = {{"verdict", verdict == Verdict::zone_too_small ? "zone_too_small"
                            : verdict == Verdict::no_memory    ? "no_memory"
                                                                : "outside_raster"}};
    if (verdict == Verdict::zone_too_small) out["message"] = "influence zone must be at least 1";
    if (verdict == Verdict::no_memory) out["message"] = "not enough memory for this treatment";
    if (verdict == Verdict::outside_raster) {
        const Fit f = reference_points_that_fit(b.dem.rows, b.dem.cols, v.dir, v.infl);
        out["message"] = f.empty() ? "out of the image borders: no reference point of this DEM fits a square of zone " +
                                         std::to_string(v.infl) + " in direction " + std::to_string(v.dir)
                                   : "out of the image borders: zone " + std::to_string(v.infl) + " in direction " +
                                         std::to_string(v.dir) + " fits reference points on lines " +
                                         std::to_string(f.lo_i) + " to " + std::to_string(f.hi_i) + " and columns " +
                                         std::to_string(f.lo_j) + " to " + std::to_string(f.hi_j);
    }
    return out;
}

Json info(const Bench &b) {
    Json records = Json::array();
    for (const formats::Record &r : b.records) records.push_back(record_json(r));
    Json out = {{"name", b.name},
                {"rows", b.dem.rows},
                {"cols", b.dem.cols},
                {"pix_size", b.pix_size},
                {"unit", b.unit},
                {"raster", b.raster_path},
                {"log", b.log_path},
                {"code", b.code},
                {"background", (b.results.placed() ? b.results.background() : b.background) == 255 ? "white" : "black"},
                {"treatments", records},
                {"filled", !b.filled.empty()}};
    if (b.place.known)
        out["georef"] = {{"gt", {b.place.gt[0], b.place.gt[1], b.place.gt[2], b.place.gt[3], b.place.gt[4], b.place.gt[5]}},
                         {"crs", b.place.crs}};
    return out;
}

// The picture of rows i0..i1-1 and columns j0..j1-1 at w x h pixels: the
// hillshade, each pixel's cell shaded with the relief of the cells it
// stands for, the stamped traces in their colours over it.
std::string picture(const Bench &b, int i0, int j0, int i1, int j1, int w, int h) {
    const Terrain t = b.terrain();
    tools::Image img;
    img.width = w;
    img.height = h;
    img.rgb.assign(static_cast<size_t>(w) * static_cast<size_t>(h) * 3, 0);
    const double di = static_cast<double>(i1 - i0) / h, dj = static_cast<double>(j1 - j0) / w;
    const int step = std::max(1, static_cast<int>(std::max(di, dj)));
    // Bands of rows, one a processor: each pixel is its own.
    auto band = [&](int y0, int y1) {
        for (int y = y0; y < y1; y++) {
            const int i = std::min(t.rows - 1, i0 + static_cast<int>((y + 0.5) * di));
            for (int x = 0; x < w; x++) {
                const int j = std::min(t.cols - 1, j0 + static_cast<int>((x + 0.5) * dj));
                const uint8_t g = tools::shade_at(t, i, j, step);
                tools::Rgb c{g, g, g};
                if (!b.filled.empty() && b.filled[static_cast<size_t>(i) * static_cast<size_t>(t.cols) + static_cast<size_t>(j)]) c = tools::pale(c);
                img.set(x, y, c);
            }
        }
    };
    const int n = std::max(1, std::min(8, static_cast<int>(std::thread::hardware_concurrency())));
    std::vector<std::thread> workers;
    for (int k = 1; k < n; k++) workers.emplace_back(band, h * k / n, h * (k + 1) / n);
    band(0, h / n);
    for (std::thread &w : workers) w.join();
    // A stamped cell shows however small the picture: it paints its pixel.
    for (Cell c : b.stamped) {
        if (c.i < i0 || c.i >= i1 || c.j < j0 || c.j >= j1) continue;
        const uint8_t code = b.tab_out.at(c.i, c.j);
        if (code == 0) continue;
        const int x0 = static_cast<int>((c.j - j0) / dj), y0 = static_cast<int>((c.i - i0) / di);
        const int x1 = std::max(x0 + 1, static_cast<int>((c.j + 1 - j0) / dj)), y1 = std::max(y0 + 1, static_cast<int>((c.i + 1 - i0) / di));
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++) img.set(x, y, tools::code_colour(code));
    }
    std::string png;
    tools::png_bytes(img, png);
    return png;
}

bool open_bench(Bench &b, const std::string &dem_raw, const std::string &unit, int pixel_size, const std::string &result,
                const std::string &background, std::string &err) {
    if (!map_dem(dem_raw, b.dem, err)) return false;
    const MappedDem &s = b.dem;
    if (!tools::read_georef(dem_raw, s.rows, s.cols, b.place, err) || !tools::read_filled(dem_raw, s.rows, s.cols, b.filled, err))
        return false;
    // The unit: given, or the one an import wrote into the sidecar's scale.
    b.unit = unit.empty() ? 0 : tools::unit_answer(unit);
    if (unit.empty()) {
        int imported;
        double k;
        tools::read_import_scale(dem_raw, imported, k);
        if (imported >= 0) b.unit = imported;
    }
    b.divisor = tools::unit_divisor(b.unit);
    b.pix_size = b.dem.pix_size > 0 ? b.dem.pix_size : pixel_size;
    if (b.pix_size <= 0) {
        err = formats::descriptor_path(dem_raw) + " gives no pixel size: give --pixel-size";
        return false;
    }

    // The result set beside the DEM, carried on or made.
    const size_t slash = dem_raw.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : dem_raw.substr(0, slash + 1);
    std::string name = dem_raw.substr(slash == std::string::npos ? 0 : slash + 1);
    name.resize(name.size() - std::string(formats::dem_raster_suffix(s.width)).size());
    b.name = result.empty() ? name : result;
    b.raster_path = folder + b.name + formats::RESULT_RASTER_SUFFIX;
    b.log_path = folder + b.name + formats::RESULT_LOG_SUFFIX;
    const std::string protect[] = {dem_raw, formats::descriptor_path(dem_raw)};
    bool exists = false;
    const std::string refusal = result_path_refusal(b.raster_path, protect, 2, exists);
    if (!refusal.empty()) {
        err = refusal;
        return false;
    }
    if (exists) {
        std::string log;
        if (!b.results.carry_on(b.raster_path, b.log_path, s.rows, s.cols, b.tab_out, log, err)) return false;
        const formats::Descriptor d = formats::parse_descriptor(log);
        if (d.count < 6 || d.field[0] != s.rows || d.field[1] != s.cols || d.field[2] != 1) {
            err = b.log_path + " is not the result descriptor of a DEM of this size";
            return false;
        }
        if (d.field[5] != b.pix_size) {
            err = b.log_path + " was made with pixel size " + std::to_string(d.field[5]) + ", not " + std::to_string(b.pix_size);
            return false;
        }
        if (!formats::parse_log(log.substr(d.end), b.records, err)) {
            err = b.log_path + ": " + err;
            return false;
        }
        b.code = b.records.empty() ? 0 : b.records.back().code;
        for (int i = 0; i < s.rows; i++)
            for (int j = 0; j < s.cols; j++)
                if (b.tab_out.at(i, j) != 0) b.stamped.push_back({i, j});
        return true;
    }
    if (!b.tab_out.allocate(s.rows, s.cols)) {
        err = "not enough memory for the result raster";
        return false;
    }
    b.background = background == "black" ? 0 : 255;
    return true;
}

// A new result set is made at the first stamp, so that the page comes at
// once and a session that stamps nothing leaves nothing behind.
bool ensure_results(Bench &b, std::string &err) {
    if (b.results.placed()) return true;
    bool replaced = false;
    const MappedDem &s = b.dem;
    return b.results.create(b.raster_path, b.log_path, s.rows, s.cols, err) && b.results.append_pix_size(b.pix_size, err) &&
           b.results.place(b.background, replaced, err);
}

}  // namespace

int main(int argc, char **argv) {
    std::string dem, unit, result, background = "white";
    int port = 8040, pixel_size = 0;
    for (int k = 1; k < argc; k++) {
        const std::string a = argv[k];
        if (a == "-h" || a == "--help") {
            fputs(USAGE, stdout);
            return 0;
        }
        if (a == "--port" || a == "--unit" || a == "--pixel-size" || a == "--result" || a == "--background") {
            if (k + 1 >= argc) return usage_error(a + " needs a value");
            const std::string v = argv[++k];
            try {
                if (a == "--port" && (port = whole(a, v)) >= 0 && port <= 65535) continue;
                if (a == "--pixel-size" && (pixel_size = whole(a, v)) >= 1) continue;
            } catch (const BadRequest &e) {
                return usage_error(e.why);
            }
            if (a == "--port" || a == "--pixel-size") return usage_error(a + " out of range: " + v);
            if (a == "--unit" && tools::unit_answer(v) < 0) return usage_error("--unit takes m, dm, cm or mm, not " + v);
            if (a == "--background" && v != "white" && v != "black") return usage_error("--background takes white or black, not " + v);
            (a == "--unit" ? unit : a == "--result" ? result : background) = v;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (dem.empty()) {
            dem = a;
        } else {
            return usage_error("one DEM only, not also " + a);
        }
    }
    if (dem.empty()) return usage_error("needs the DEM raster DEM.raw");
    if (!result.empty() && (result.find('/') != std::string::npos || result == "." || result == ".."))
        return usage_error("--result takes a single name, not " + result);

    Bench b;
    std::string err;
    const auto t0 = std::chrono::steady_clock::now();
    if (!open_bench(b, dem, unit, pixel_size, result, background, err)) return failure(err);
    const double load_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();

    httplib::Server svr;
    svr.set_payload_max_length(16 * 1024);
    const int bound = port == 0 ? svr.bind_to_any_port("127.0.0.1") : (svr.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound < 0) return failure("cannot listen on 127.0.0.1:" + std::to_string(port));
    const std::string own[] = {"127.0.0.1:" + std::to_string(bound), "localhost:" + std::to_string(bound)};

    // Only this server's own pages may talk to it: a request naming another
    // host (DNS rebinding) or coming from another origin is refused.
    svr.set_pre_routing_handler([&](const httplib::Request &req, httplib::Response &res) {
        const std::string host = req.get_header_value("Host");
        const std::string origin = req.get_header_value("Origin");
        const bool host_ok = host == own[0] || host == own[1];
        const bool origin_ok = origin.empty() || origin == "http://" + own[0] || origin == "http://" + own[1];
        if (host_ok && origin_ok) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content(std::string(host_ok ? "foreign Origin refused: " + origin : "foreign Host refused: " + host) + "\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    auto guarded = [&](auto handler) {
        return [&, handler](const httplib::Request &req, httplib::Response &res) {
            try {
                std::lock_guard<std::mutex> hold(b.lock);
                handler(req, res);
            } catch (const BadRequest &e) {
                res.status = 400;
                res.set_content(Json({{"error", e.why}}).dump(), "application/json");
            } catch (const Json::exception &e) {
                res.status = 400;
                res.set_content(Json({{"error", std::string("not the JSON expected: ") + e.what()}}).dump(), "application/json");
            }
        };
    };
    auto asset = [&](const char *path, const unsigned char *data, size_t size, const char *type) {
        svr.Get(path, [=](const httplib::Request &, httplib::Response &res) {
            res.set_content(reinterpret_cast<const char *>(data), size, type);
            res.set_header("Cache-Control", "no-store");
        });
    };
    asset("/", WEB_index_html, WEB_index_html_size, "text/html; charset=utf-8");
    asset("/app.js", WEB_app_js, WEB_app_js_size, "text/javascript; charset=utf-8");
    asset("/app.css", WEB_app_css, WEB_app_css_size, "text/css; charset=utf-8");

    svr.Get("/api/info", guarded([&](const httplib::Request &, httplib::Response &res) {
                res.set_content(info(b).dump(), "application/json");
            }));
    svr.Get("/api/picture", guarded([&](const httplib::Request &req, httplib::Response &res) {
                const int rows = b.dem.rows, cols = b.dem.cols;
                const int i0 = param(req, "i0"), j0 = param(req, "j0"), i1 = param(req, "i1"), j1 = param(req, "j1");
                const int w = param(req, "w"), h = param(req, "h");
                if (i0 < 0 || j0 < 0 || i1 > rows || j1 > cols || i0 >= i1 || j0 >= j1)
                    throw BadRequest{"the rows and columns must lie within the DEM's " + std::to_string(rows) + " x " + std::to_string(cols)};
                if (w < 1 || h < 1 || w > 4096 || h > 4096) throw BadRequest{"w and h run from 1 to 4096"};
                const auto t = std::chrono::steady_clock::now();
                res.set_content(picture(b, i0, j0, i1, j1, w, h), "image/png");
                res.set_header("Cache-Control", "no-store");
                res.set_header("X-Tolmar-Ms", std::to_string(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count()));
            }));
    svr.Get("/api/trace", guarded([&](const httplib::Request &req, httplib::Response &res) {
                const Values v = values_of(req);
                const auto t = std::chrono::steady_clock::now();
                const Trace tr = trace(b.terrain(), v, b.work);
                const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
                Json out = tr.verdict == Verdict::traced ? Json{{"verdict", "traced"}} : refusal(b, v, tr.verdict);
                Json cells = Json::array();
                long long over_filled = 0;
                for (Cell c : tr.cells) {
                    cells.push_back(cell(c));
                    if (!b.filled.empty() && b.filled[static_cast<size_t>(c.i) * static_cast<size_t>(b.dem.cols) + static_cast<size_t>(c.j)]) over_filled++;
                }
                out["cells"] = cells;
                out["cells_over_filled_ground"] = over_filled;
                out["square"] = {cell(tr.square.lb), cell(tr.square.lt), cell(tr.square.rt), cell(tr.square.rb)};
                out["ms"] = ms;
                res.set_content(out.dump(), "application/json");
            }));
    svr.Post("/api/stamp", guarded([&](const httplib::Request &req, httplib::Response &res) {
                 const Values v = values_of(Json::parse(req.body));
                 if (b.code >= 250) {
                     res.status = 409;
                     res.set_content(Json({{"error", "250 calculations reached"}}).dump(), "application/json");
                     return;
                 }
                 const Outcome o = treatment(b.terrain(), b.tab_out, b.code, v, b.work);
                 if (o.verdict != Verdict::traced) {
                     res.set_content(refusal(b, v, o.verdict).dump(), "application/json");
                     return;
                 }
                 const formats::Record r{o.code, v.ip, v.jp, v.slope, v.dir, v.infl};
                 std::string why;
                 if (!ensure_results(b, why) || !b.results.commit(b.tab_out, o.box, formats::record_text(r), why)) {
                     // The files hold the treatments before this one: so must the raster in memory.
                     for (Cell c : o.stamped) b.tab_out.at(c.i, c.j) = 0;
                     std::string log;
                     if (b.results.placed())
                         b.results.carry_on(b.raster_path, b.log_path, b.dem.rows, b.dem.cols, b.tab_out, log, err);
                     res.status = 500;
                     res.set_content(Json({{"error", why}}).dump(), "application/json");
                     return;
                 }
                 b.code = o.code;
                 b.records.push_back(r);
                 b.stamped.insert(b.stamped.end(), o.stamped.begin(), o.stamped.end());
                 Json out = {{"verdict", "stamped"}, {"code", o.code}, {"cells", o.cells}, {"record", record_json(r)}};
                 res.set_content(out.dump(), "application/json");
             }));
    svr.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        res.status = 500;
        res.set_content(Json({{"error", "the request failed inside the server"}}).dump(), "application/json");
    });

    printf("http://127.0.0.1:%d/\n", bound);
    printf("tolmar-serve: %s, %d x %d cells, loaded in %.0f ms; results %s %s and %s, %d treatments so far\n",
           dem.c_str(), b.dem.rows, b.dem.cols, load_ms, b.results.placed() ? "carried on in" : "to go to",
           b.raster_path.c_str(), b.log_path.c_str(), b.code);
    fflush(stdout);
    if (!svr.listen_after_bind()) return failure("the server stopped");
    return 0;
}
