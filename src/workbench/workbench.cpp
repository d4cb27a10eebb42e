// workbench.cpp: the workbench's state and its HTTP routes.
#include "workbench/workbench.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <climits>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include <cstring>
#include <sys/stat.h>

#include <unistd.h>

#include "files/formats.h"
#include "geo/georef.h"
#include "geo/export.h"
#include "fit/fit.h"
#include "picture/picture.h"

extern const unsigned char WEB_index_html[], WEB_app_js[], WEB_app_css[], WEB_favicon_svg[];
extern const size_t WEB_index_html_size, WEB_app_js_size, WEB_app_css_size, WEB_favicon_svg_size;

namespace tools {

namespace {

using Json = nlohmann::json;

struct BadRequest {
    std::string why;
};

std::string error_body(const std::string &why);

// A whole number within 32 bits, from a query parameter or a JSON member.
int whole(const std::string &name, const std::string &text) {
    int v;
    if (formats::parse_int(text, v)) return v;
    size_t k = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
    bool digits = k < text.size();
    for (; k < text.size(); k++) digits = digits && text[k] >= '0' && text[k] <= '9';
    if (digits) throw BadRequest{name + " is beyond the 32-bit range"};
    throw BadRequest{name + " must be a whole number, not \"" + formats::printable(text, 20) + "\""};
}

// The five values' names, and the names the page used before them, taken
// for one more release.
const char *const VALUE_NAMES[5][2] = {
    {"row", "ip"}, {"column", "jp"}, {"dip", "slope"}, {"dip_direction", "dir"}, {"zone", "infl"}};

Values of_five(const int n[5]) { return {n[0], n[1], n[2], n[3], n[4]}; }

Values values_of(const Json &j) {
    auto member = [&](const char *const names[2]) {
        const char *name = names[0];
        if (j.is_object() && !j.contains(name) && j.contains(names[1])) name = names[1];
        if (!j.is_object() || !j.contains(name)) throw BadRequest{std::string("missing member ") + name};
        const Json &m = j[name];
        if (m.is_number_unsigned()) return whole(name, std::to_string(m.get<unsigned long long>()));
        if (m.is_number_integer()) return whole(name, std::to_string(m.get<long long>()));
        if (m.is_string()) return whole(name, m.get<std::string>());
        throw BadRequest{std::string(name) + " must be a whole number"};
    };
    int n[5];
    for (int k = 0; k < 5; k++) n[k] = member(VALUE_NAMES[k]);
    return of_five(n);
}

Json values_json(const Values &v) {
    return {{"row", v.row}, {"column", v.column}, {"dip", v.dip}, {"dip_direction", v.dip_direction}, {"zone", v.zone}};
}

Json cell(Cell c) { return {c.i, c.j}; }

Json record_json(const formats::Record &r) {
    const Rgb c = code_colour(r.code);
    char colour[8];
    snprintf(colour, sizeof colour, "#%02x%02x%02x", c.r, c.g, c.b);
    const Values &v = r.values;
    return {{"code", r.code}, {"row", v.row}, {"column", v.column}, {"dip", v.dip},
            {"dip_direction", v.dip_direction}, {"zone", v.zone}, {"colour", colour}};
}

// What the console would say of a refusal.
Json refusal_json(Verdict verdict, const std::string &headline, const std::string &detail) {
    Json out = {{"verdict", verdict == Verdict::zone_too_small ? "zone_too_small"
                            : verdict == Verdict::no_memory    ? "no_memory"
                                                                : "outside_raster"}};
    out["message"] = detail.empty() ? headline : headline + ": " + detail;
    return out;
}

double ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

bool Workbench::open(const WorkbenchOptions &o, std::string &err) {
    // The samples are read, not mapped: a file cut short later is a DEM
    // changed on disk (told at the next request), never a fault in a read.
    // Its state is taken first, so that a change while it is read is seen.
    stat(o.dem.c_str(), &dem_stat_);
    if (!geo::open_dem_set(o.dem, dem_, err)) return false;
    // The unit: given, or the one an import wrote into the sidecar's scale.
    unit_ = o.unit < 0 ? (dem_.unit >= 0 ? dem_.unit : 0) : o.unit;
    divisor_ = formats::unit_divisor(unit_);
    pix_size_ = dem_.pix_size > 0 ? dem_.pix_size : o.pixel_size;
    if (pix_size_ <= 0) {
        err = formats::descriptor_path(o.dem) + " gives no pixel size: give --pixel-size";
        return false;
    }

    // The result set beside the DEM, carried on or made.
    const int rows = dem_.rows(), cols = dem_.cols();
    const std::string folder = formats::folder_of(o.dem);
    std::string name = formats::name_of(o.dem);
    name.resize(name.size() - std::string(formats::dem_raster_suffix(dem_.samples.width())).size());
    name_ = o.result.empty() ? name : o.result;
    raster_path_ = folder + name_ + formats::RESULT_RASTER_SUFFIX;
    log_path_ = folder + name_ + formats::RESULT_LOG_SUFFIX;
    const std::string protect[] = {o.dem, formats::descriptor_path(o.dem)};
    bool exists = false;
    std::string refusal = result_path_refusal(raster_path_, protect, 2, exists);
    if (!refusal.empty()) {
        err = refusal;
        return false;
    }
    // A new set is traced where the plane meets the ground, unless told.
    const Geometry geometry = o.geometry.value_or(Geometry::exact);
    // The set is this workbench's alone, and what a dead run left is undone.
    if (!results_.open(raster_path_, log_path_, "tolmar-serve", repaired_, err)) return false;
    exists = exists || access(log_path_.c_str(), F_OK) == 0;
    if (exists) {
        if (!results_.carry_on(rows, cols, pix_size_, err)) return false;
        carried_on_ = true;
        if (o.geometry && geometry != results_.geometry()) {
            err = log_path_ + " was made in " + geometry_name(results_.geometry()) +
                  " geometry: it carries on in it (give --result NAME for a new set in " + geometry_name(geometry) + " geometry)";
            return false;
        }
        // The cells each treatment stamped, traced again: the pictures paint them.
        for (const formats::Record &r : results_.records())
            stamped_.push_back(trace(terrain(), r.values, work_, results_.geometry()).cells);
        return true;
    }
    // A new result set is put in place at its first stamp, so that the page
    // comes at once and a session that stamps nothing leaves nothing behind.
    background_ = o.black ? 0 : 255;
    return start_new(geometry, err);
}

bool Workbench::start_new(Geometry g, std::string &err) {
    return results_.create(dem_.rows(), dem_.cols(), err, g) && results_.set_pix_size(pix_size_, err) &&
           results_.fill(background_, err);
}

int Workbench::set_geometry(const std::string &name, std::string &body) {
    Geometry g;
    if (!geometry_of_name(name.c_str(), g)) throw BadRequest{"geometry must be classic or true, not \"" + formats::printable(name, 20) + "\""};
    if (g == results_.geometry()) {
        body = info_json();
        return 200;
    }
    // The geometry can change while the set holds no stamp: a new set made
    // again in it, put in place (in place of this one) at its first stamp.
    if (results_.code() > 0) {
        body = error_body("the result set " + raster_path_ + " holds " + std::to_string(results_.code()) + " treatment" +
                          (results_.code() == 1 ? "" : "s") + " traced in " + geometry_name(results_.geometry()) +
                          " geometry: the geometry is chosen while a set holds no stamp (undo them all, or give --result NAME)");
        return 409;
    }
    std::string err;
    results_.drop_new();
    if (!start_new(g, err)) {
        body = error_body(err);
        return 500;
    }
    body = info_json();
    return 200;
}

bool Workbench::close(std::string &said) {
    std::lock_guard<std::mutex> hold(lock_);
    const int code = results_.code();
    if (!results_.placed()) {
        results_.discard();
        said = "no treatment was stamped: nothing is written";
        return true;
    }
    std::string err;
    if (!results_.finish(err)) {
        said = err;
        return false;
    }
    said = raster_path_ + " and " + log_path_ + " hold " + std::to_string(code) + " treatment" + (code == 1 ? "" : "s");
    return true;
}

std::string Workbench::info_json() const {
    Json records = Json::array();
    for (size_t k = 0; k < results_.records().size(); k++) {
        Json r = record_json(results_.records()[k]);
        r["cells"] = k < stamped_.size() ? stamped_[k].size() : 0;
        records.push_back(r);
    }
    Json out = {{"name", name_},
                {"rows", dem_.rows()},
                {"cols", dem_.cols()},
                {"pix_size", pix_size_},
                {"pixel_m", pix_size_ / dem_.k},
                {"k", dem_.k},
                {"undoable", results_.undoable()},
                {"unit", unit_},
                {"raster", raster_path_},
                {"log", log_path_},
                {"code", results_.code()},
                {"background", results_.background() == 255 ? "white" : "black"},
                {"treatments", records},
                {"filled", !dem_.filled.empty()},
                {"geometry", geometry_name(results_.geometry())},
                {"geometry_fixed", results_.code() > 0}};
    const Georef &g = dem_.georef;
    if (g.known) out["georef"] = {{"gt", {g.gt[0], g.gt[1], g.gt[2], g.gt[3], g.gt[4], g.gt[5]}}, {"crs", g.crs}};
    return out.dump();
}

// The picture of rows i0..i1-1 and columns j0..j1-1 at w x h pixels: the
// hillshade, each pixel's cell shaded with the relief of the cells it
// stands for, the stamped traces in their colours over it.
std::string Workbench::picture_png(int i0, int j0, int i1, int j1, int w, int h, const std::vector<bool> &hidden) const {
    const Terrain t = terrain();
    Image img;
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
                const uint8_t g = shade_at(t, i, j, step);
                Rgb c{g, g, g};
                if (dem_.is_filled(i, j)) c = pale(c);
                img.set(x, y, c);
            }
        }
    };
    const int n = std::max(1, std::min(8, static_cast<int>(std::thread::hardware_concurrency())));
    std::vector<std::thread> workers;
    for (int k = 1; k < n; k++) workers.emplace_back(band, h * k / n, h * (k + 1) / n);
    band(0, h / n);
    for (std::thread &worker : workers) worker.join();
    // A stamped cell shows however small the picture: it paints its pixel.
    const uint8_t *cells = results_.cells();
    for (size_t k = 0; k < stamped_.size(); k++)
      for (Cell c : stamped_[k]) {
        if (c.i < i0 || c.i >= i1 || c.j < j0 || c.j >= j1 || cells == nullptr) continue;
        const uint8_t code = cells[static_cast<size_t>(c.i) * static_cast<size_t>(t.cols) + static_cast<size_t>(c.j)];
        if (code < 1 || code > formats::MAX_CODES || (code <= hidden.size() && hidden[code - 1])) continue;
        const int x0 = static_cast<int>((c.j - j0) / dj), y0 = static_cast<int>((c.i - i0) / di);
        const int x1 = std::max(x0 + 1, static_cast<int>((c.j + 1 - j0) / dj));
        const int y1 = std::max(y0 + 1, static_cast<int>((c.i + 1 - i0) / di));
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++) img.set(x, y, code_colour(code));
    }
    std::string png;
    png_bytes(img, png);
    return png;
}

std::string Workbench::trace_json(const Values &v) {
    const auto t0 = std::chrono::steady_clock::now();
    const Trace tr = trace(terrain(), v, work_, results_.geometry());
    const double ms = ms_since(t0);
    Json out = tr.verdict == Verdict::traced
                   ? Json{{"verdict", "traced"}}
                   : refusal_json(tr.verdict, refusal_headline(tr.verdict),
                                  tr.verdict == Verdict::outside_raster ? refusal_detail(dem_.rows(), dem_.cols(), v, "rows") : "");
    Json cells = Json::array();
    long long over_filled = 0;
    for (Cell c : tr.cells) {
        cells.push_back(cell(c));
        over_filled += dem_.is_filled(c.i, c.j);
    }
    out["cells"] = cells;
    out["cells_over_filled_ground"] = over_filled;
    out["square"] = {cell(tr.square.lb), cell(tr.square.lt), cell(tr.square.rt), cell(tr.square.rb)};
    out["ms"] = ms;
    out["notes"] = attitude_notes(v, true, true);
    return out.dump();
}

int Workbench::stamp(const Values &v, std::string &body) {
    const Stamp s = results_.stamp(terrain(), v, work_);
    switch (s.kind) {
    case Stamp::full: body = error_body(s.message); return 409;
    case Stamp::refused:
        body = refusal_json(s.verdict, s.message,
                            s.verdict == Verdict::outside_raster ? refusal_detail(dem_.rows(), dem_.cols(), v, "rows") : s.detail)
                   .dump();
        return 200;
    case Stamp::failed: body = error_body(s.message); return 500;
    case Stamp::stamped: break;
    }
    stamped_.push_back(s.trace_cells);
    Json cells = Json::array();
    for (Cell c : s.trace_cells) cells.push_back(cell(c));
    Json record = record_json(results_.records().back());
    record["cells"] = s.cells;
    body = Json({{"verdict", "stamped"}, {"code", s.code}, {"cells", s.cells}, {"trace", cells}, {"record", record},
                 {"undoable", results_.undoable()}}).dump();
    return 200;
}

int Workbench::undo(std::string &body) {
    std::string err;
    if (!results_.undo_last(err)) {
        body = error_body(err);
        return results_.undoable() == 0 ? 409 : 500;
    }
    stamped_.pop_back();
    body = info_json();
    return 200;
}

std::string Workbench::point_json(int i, int j) const {
    if (i < 0 || j < 0 || i >= dem_.rows() || j >= dem_.cols())
        throw BadRequest{"the cell (" + std::to_string(i) + ", " + std::to_string(j) + ") is not on the DEM"};
    // Metres, as the treatment reads it; scaled back for a DEM imported with
    // its lengths multiplied by k.
    Json out = {{"row", i}, {"column", j}, {"elevation_m", terrain().elevation(i, j) / dem_.k}, {"filled", dem_.is_filled(i, j)}};
    if (dem_.georef.known) {
        out["x"] = dem_.georef.x(j);
        out["y"] = dem_.georef.y(i);
    }
    return out.dump();
}

int Workbench::set_contact(const std::string &text, std::string &body) {
    Contact c;
    std::string err;
    if (!read_contact_text(text, "the contact", dem_.georef, dem_.rows(), dem_.cols(), c, err)) {
        body = error_body(err);
        return 400;
    }
    contact_ = std::move(c);
    Json lines = Json::array();
    for (const std::vector<Spot> &l : contact_.lines) {
        Json line = Json::array();
        for (const Spot &p : l) line.push_back({p.i, p.j});
        lines.push_back(line);
    }
    body = Json({{"how", contact_.how}, {"lines", lines}}).dump();
    return 200;
}

std::string Workbench::misfit_json(const Values &v) const {
    if (contact_.lines.empty()) throw BadRequest{"no contact is loaded"};
    const Closeness k = closeness(terrain(), dem_.k, contact_, v);
    return Json({{"traced", k.traced}, {"within_one_cell", k.within_one}, {"within_two_cells", k.within_two},
                 {"beyond_square", k.beyond}, {"rms_distance_m", k.rms_m}, {"mean_distance_m", k.mean_m}}).dump();
}

std::string Workbench::fit_json() const {
    if (contact_.lines.empty()) throw BadRequest{"no contact is loaded"};
    const Terrain t = terrain();
    const Plane plane = fit_plane(t, dem_.k, contact_);
    const TrueFit f = fit_true(t, dem_.k, contact_, plane, nullptr);
    Json out = {{"determined", f.determined()}, {"level", f.level}};
    if (!f.found) {
        out["why"] = f.why;
        return out.dump();
    }
    out["dip"] = f.dip;
    out["dip_direction"] = f.dip_direction;
    out["rms_distance_m"] = f.rms_m;
    // The stereonet: the answer's pole, and its region's boundary or the
    // arc of poles that fit, as dips and directions.
    Json region = Json::array();
    for (const Pole &p : f.region) {
        double d, a;
        attitude_of(p, d, a);
        region.push_back({d, a});
    }
    out["net"] = {{"pole", {f.dip, f.dip_direction}}, {"region", region}, {"arc", !f.determined()}};
    Box box;
    Treatment tr;
    if (f.determined()) {
        tr = treatment_for(t, dem_.k, contact_, f, nullptr, 0);
        const Values &v = tr.values;
        box = {std::max(0, v.row - v.zone - 2), std::min(t.rows - 1, v.row + v.zone + 2), std::max(0, v.column - v.zone - 2),
               std::min(t.cols - 1, v.column + v.zone + 2)};
    } else {
        for (Spot s : contact_.spots()) box.add({static_cast<int>(std::lround(s.i)), static_cast<int>(std::lround(s.j))});
        box = {std::max(0, box.i0 - 10), std::min(t.rows - 1, box.i1 + 10), std::max(0, box.j0 - 10), std::min(t.cols - 1, box.j1 + 10)};
    }
    // The band where the planes that fit meet the ground, as runs of cells.
    const std::vector<uint8_t> band = band_cells(t, f, box);
    Json runs = Json::array();
    const int w = box.j1 - box.j0 + 1;
    for (int i = box.i0; i <= box.i1 && !band.empty(); i++)
        for (int j = box.j0; j <= box.j1;) {
            if (!band[static_cast<size_t>(i - box.i0) * w + (j - box.j0)]) {
                j++;
                continue;
            }
            const int start = j;
            while (j <= box.j1 && band[static_cast<size_t>(i - box.i0) * w + (j - box.j0)]) j++;
            runs.push_back({i, start, j - start});
        }
    out["band"] = runs;
    if (!f.determined()) {
        out["why"] = f.why;
        return out.dump();
    }
    out["fits"] = tr.fits;
    out["values"] = values_json(tr.values);
    out["dip_range"] = Json::array({f.dip_lo, f.dip_hi});
    out["dip_direction_range"] = f.direction_any ? Json() : Json::array({f.dir_lo, f.dir_hi});
    out["direction_any"] = f.direction_any;
    out["vertical"] = f.vertical;
    return out.dump();
}

int Workbench::export_file(const std::string &format, std::string &bytes, std::string &err) {
    if (format != "gpkg" && format != "geojson") throw BadRequest{"format must be gpkg or geojson"};
    if (!results_.placed()) {
        err = "no treatment stamped yet: nothing to export";
        return 409;
    }
    // What tolmar-export writes, kept in memory: the server writes nothing
    // but the result set.
    ExportRequest q;
    q.raster = raster_path_;
    q.format = format;
    q.dem = dem_.raster;
    q.bytes = &bytes;
    const tolmar::Status s = run_export(q, tolmar::Listener());
    if (!s.ok()) {
        err = "the export failed: " + s.error().message;
        return 500;
    }
    return 200;
}

// ---- requests ---------------------------------------------------------------------

namespace {

std::string error_body(const std::string &why) {
    return Json({{"error", why}}).dump(-1, ' ', false, Json::error_handler_t::replace);
}

int param(const Call &c, const char *name) {
    const auto it = c.params.find(name);
    if (it == c.params.end()) throw BadRequest{std::string("missing parameter ") + name};
    return whole(name, it->second);
}

Values values_of(const Call &c) {
    int n[5];
    for (int k = 0; k < 5; k++)
        n[k] = param(c, c.params.count(VALUE_NAMES[k][0]) || !c.params.count(VALUE_NAMES[k][1]) ? VALUE_NAMES[k][0]
                                                                                                  : VALUE_NAMES[k][1]);
    return of_five(n);
}

}  // namespace

bool Workbench::dem_unchanged() const {
    struct stat st;
    return stat(dem_.raster.c_str(), &st) == 0 && st.st_size == dem_stat_.st_size && st.st_ino == dem_stat_.st_ino &&
           st.st_mtim.tv_sec == dem_stat_.st_mtim.tv_sec && st.st_mtim.tv_nsec == dem_stat_.st_mtim.tv_nsec;
}

void Workbench::picture(const Call &c, Reply &r) {
    const int rows = dem_.rows(), cols = dem_.cols();
    const int i0 = param(c, "i0"), j0 = param(c, "j0"), i1 = param(c, "i1"), j1 = param(c, "j1");
    const int w = param(c, "w"), h = param(c, "h");
    if (i0 < 0 || j0 < 0 || i1 > rows || j1 > cols || i0 >= i1 || j0 >= j1)
        throw BadRequest{"the rows and columns must lie within the DEM's " + std::to_string(rows) + " x " + std::to_string(cols)};
    if (w < 1 || h < 1 || w > 4096 || h > 4096) throw BadRequest{"w and h run from 1 to 4096"};
    const auto t = std::chrono::steady_clock::now();
    std::vector<bool> hidden(formats::MAX_CODES, false);
    const auto hide = c.params.find("hide");
    if (hide != c.params.end()) {
        std::string list = hide->second;
        for (size_t at = 0; at < list.size();) {
            const size_t end = std::min(list.find(',', at), list.size());
            const int code = whole("hide", list.substr(at, end - at));
            if (code < 1 || code > formats::MAX_CODES) throw BadRequest{"hide lists codes from 1 to 250"};
            hidden[static_cast<size_t>(code - 1)] = true;
            at = end + 1;
        }
    }
    r.body = picture_png(i0, j0, i1, j1, w, h, hidden);
    r.type = "image/png";
    r.headers["Cache-Control"] = "no-store";
    r.headers["X-Tolmar-Ms"] = std::to_string(ms_since(t));
}

Reply Workbench::serve(const Call &c) {
    Reply r;
    // Only a contact's file is long; every other request fits in a few lines.
    if (c.body.size() > SMALL_BODY && c.path != "/api/contact")
        throw BadRequest{"a request body of " + std::to_string(c.body.size()) + " bytes, more than the " +
                         std::to_string(SMALL_BODY) + " this route takes"};
    auto asset = [&](const unsigned char *data, size_t size, const char *type) {
        r.body.assign(reinterpret_cast<const char *>(data), size);
        r.type = type;
        r.headers["Cache-Control"] = "no-store";
    };
    // The routes, each answering its one method: another method on a
    // route's path is refused (405) with the method it takes, so that a page
    // elsewhere cannot stamp or undo by a GET from an image or a link.
    struct Route {
        const char *method;
        const char *path;
        std::function<void()> answer;
    };
    const Route routes[] = {
        {"GET", "/", [&] { asset(WEB_index_html, WEB_index_html_size, "text/html; charset=utf-8"); }},
        {"GET", "/app.js", [&] { asset(WEB_app_js, WEB_app_js_size, "text/javascript; charset=utf-8"); }},
        {"GET", "/app.css", [&] { asset(WEB_app_css, WEB_app_css_size, "text/css; charset=utf-8"); }},
        {"GET", "/favicon.ico", [&] { asset(WEB_favicon_svg, WEB_favicon_svg_size, "image/svg+xml"); }},
        {"GET", "/api/info", [&] { r.body = info_json(); }},
        {"GET", "/api/picture", [&] { picture(c, r); }},
        {"GET", "/api/trace", [&] { r.body = trace_json(values_of(c)); }},
        {"POST", "/api/stamp", [&] { r.status = stamp(values_of(Json::parse(c.body)), r.body); }},
        {"POST", "/api/undo", [&] { r.status = undo(r.body); }},
        {"GET", "/api/point", [&] { r.body = point_json(param(c, "i"), param(c, "j")); }},
        {"POST", "/api/contact", [&] { r.status = set_contact(c.body, r.body); }},
        {"GET", "/api/misfit", [&] { r.body = misfit_json(values_of(c)); }},
        {"POST", "/api/fit", [&] { r.body = fit_json(); }},
        {"GET", "/api/export", [&] {
             const auto f = c.params.find("format");
             if (f == c.params.end()) throw BadRequest{"missing parameter format"};
             std::string err;
             r.status = export_file(f->second, r.body, err);
             if (r.status != 200) r.body = error_body(err);
             else {
                 r.type = f->second == "gpkg" ? "application/geopackage+sqlite3" : "application/geo+json";
                 r.headers["Content-Disposition"] = "attachment; filename=\"" + name_ + "_traces." + f->second + "\"";
             }
         }},
        {"POST", "/api/geometry", [&] {
             const Json j = Json::parse(c.body);
             if (!j.is_object() || !j.contains("geometry") || !j["geometry"].is_string())
                 throw BadRequest{"missing member geometry"};
             r.status = set_geometry(j["geometry"].get<std::string>(), r.body);
         }},
    };
    std::string allowed;
    for (const Route &x : routes) {
        if (c.path != x.path) continue;
        if (c.method == x.method || (c.method == "HEAD" && std::string(x.method) == "GET")) {
            x.answer();
            return r;
        }
        allowed += (allowed.empty() ? "" : ", ") + std::string(x.method);
    }
    if (!allowed.empty()) {
        r.status = 405;
        r.headers["Allow"] = allowed;
        r.body = error_body(c.path + " takes " + allowed + " only, not " + formats::printable(c.method, 20));
    } else {
        r.status = 404;
        r.body = error_body("no such page: " + formats::printable(c.path, 100));
    }
    return r;
}

Reply Workbench::handle(const Call &c) {
    Reply r;
    std::lock_guard<std::mutex> hold(lock_);
    // A DEM changed on disk since the start is no longer the one read: the
    // set would be stamped on other ground than its file holds.
    if (dem_changed_ || !dem_unchanged()) {
        dem_changed_ = true;
        r.status = 409;
        r.body = error_body(dem_.raster + " changed on disk since the workbench started: restart it");
        return r;
    }
    try {
        r = serve(c);
    } catch (const BadRequest &e) {
        r.status = 400;
        r.body = error_body(e.why);
    } catch (const Json::exception &e) {
        r.status = 400;
        r.body = error_body(std::string("not the JSON expected: ") + formats::printable(e.what(), 200));
    } catch (const std::exception &e) {
        r.status = 500;
        r.body = error_body(std::string("the request failed inside the server: ") + e.what());
    }
    if (r.type == "application/json" && r.body.empty()) r.body = "{}";
    return r;
}

void Workbench::route(httplib::Server &svr, int port) {
    const std::string own[] = {"127.0.0.1:" + std::to_string(port), "localhost:" + std::to_string(port)};
    // Only this server's own pages may talk to it: a request naming another
    // host (DNS rebinding) or coming from another origin is refused.
    svr.set_pre_routing_handler([own](const httplib::Request &req, httplib::Response &res) {
        const std::string host = req.get_header_value("Host");
        const std::string origin = req.get_header_value("Origin");
        const bool host_ok = host == own[0] || host == own[1];
        const bool origin_ok = origin.empty() || origin == "http://" + own[0] || origin == "http://" + own[1];
        if (host_ok && origin_ok) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content(formats::printable(host_ok ? "foreign Origin refused: " + origin : "foreign Host refused: " + host, 200) + "\n",
                        "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    auto answer = [this](const httplib::Request &req, httplib::Response &res) {
        Call c{req.method, req.path, req.body, {}};
        for (const auto &p : req.params) c.params.insert(p);
        const Reply r = handle(c);
        res.status = r.status;
        for (const auto &h : r.headers) res.set_header(h.first.c_str(), h.second);
        res.set_content(r.body, r.type.c_str());
    };
    svr.Get(".*", answer);
    svr.Post(".*", answer);
    svr.Put(".*", answer);
    svr.Delete(".*", answer);
    svr.Patch(".*", answer);
    svr.Options(".*", answer);
    // Every refusal has its words, those the server itself makes too (a
    // body over the limit, a request it cannot read).
    svr.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string why;
        switch (res.status) {
        case 413:
            why = "a request body of more than " + std::to_string(CONTACT_BODY) + " bytes: a contact's file takes at most " +
                  std::to_string(CONTACT_BODY >> 20) + " MB, every other request " + std::to_string(SMALL_BODY >> 10) + " KB";
            break;
        case 414: why = "a request line longer than the server takes"; break;
        case 400: why = "a request the server cannot read"; break;
        default: why = "the request was refused (HTTP " + std::to_string(res.status) + ")"; break;
        }
        res.set_content(error_body(why), "application/json");
        return httplib::Server::HandlerResponse::Handled;
    }));
    svr.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        res.status = 500;
        res.set_content(error_body("the request failed inside the server"), "application/json");
    });
}

}  // namespace tools
