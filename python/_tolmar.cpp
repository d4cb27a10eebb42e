// _tolmar.cpp: tolmar for Python, the compiled half of the package `tolmar`
// (tolmar/__init__.py is the other). A front end like the programs: it opens
// DEMs, traces, stamps, fits and traces tables through the library, turns a
// unit's error into an exception carrying its message and subject, and lets
// other threads run while it computes. A DEM's samples are held once, in the
// library's own memory; numpy sees them without a copy.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "base/version.h"
#include "compute/corners.h"
#include "compute/treatment.h"
#include "files/formats.h"
#include "files/resultset.h"
#include "fit/fit_run.h"
#include "geo/export.h"
#include "geo/georef.h"
#include "geo/import.h"
#include "session/session.h"
#include "stations/stations.h"

namespace py = pybind11;

namespace {

// An error of the library, raised as tolmar.Error (or tolmar.UsageError for
// a request that was wrong) with its subject.
struct Raised {
    tolmar::Error error;
};
// The exception types live as long as the interpreter (held here without a
// reference count, so that nothing is released after it ends).
PyObject *error_type = nullptr, *usage_error_type = nullptr;

[[noreturn]] void raise(const tolmar::Status &s) { throw Raised{s.error()}; }
[[noreturn]] void fail(const std::string &subject, const std::string &message) {
    raise(tolmar::Status::failed(subject, message));
}
[[noreturn]] void misuse(const std::string &subject, const std::string &message) {
    raise(tolmar::Status::misused(subject, message));
}

int unit_answer(const std::optional<std::string> &unit) {
    if (!unit) return -1;
    const int u = formats::unit_of_name(*unit);
    if (u < 0) misuse("unit", "unit takes m, dm, cm or mm, not " + formats::printable(*unit, 40));
    return u;
}

Geometry geometry_named(const std::string &name) {
    Geometry g;
    if (!geometry_of_name(name.c_str(), g)) misuse("geometry", "geometry takes true or classic, not " + formats::printable(name, 40));
    return g;
}

// A folder of its own under the system's temporary one, removed with what
// it holds when the object ends.
struct TempFolder {
    std::string path;
    TempFolder() {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tolmar-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) fail(pattern, "cannot make a temporary folder in " + pattern + ": " + strerror(errno));
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

// A DEM open in memory: a file set's samples read, or any raster GDAL reads
// brought in as tolmar-import would and read back.
struct Dem {
    DemSet set;
    std::string name;    // what it was opened from
    std::string raster;  // the file set's raster, "" when brought in from elsewhere
    int unit = 0, pix = 0;
    Terrain terrain;

    int rows() const { return set.rows(); }
    int cols() const { return set.cols(); }
    // A cell's centre on the map: by the georeference, else in cells as
    // tolmar-export writes them (x = column + 0.5, y = -(row + 0.5)).
    void xy(double i, double j, double &x, double &y) const {
        if (set.georef.known) {
            x = set.georef.x(j);
            y = set.georef.y(i);
        } else {
            x = j + 0.5;
            y = -(i + 0.5);
        }
    }
};

std::shared_ptr<Dem> open_dem(const std::string &path, const std::optional<std::string> &unit, int pixel_size, int band) {
    auto d = std::make_shared<Dem>();
    d->name = path;
    const std::string raw = formats::dem_raster_named(path);
    const bool file_set = formats::ends_with(raw, "_m2.raw") || formats::ends_with(raw, "_m4.raw");
    std::string err;
    {
        py::gil_scoped_release free;
        if (file_set) {
            if (!geo::open_dem_set(raw, d->set, err)) fail(raw, err);
            d->raster = raw;
        } else {
            // Brought in as tolmar-import would, into a folder of its own,
            // and read back: the samples stay in memory, the files go.
            TempFolder tmp;
            tools::ImportRequest q;
            q.source = path;
            q.folder = "dem";
            q.name = "dem";
            q.band = band;
            q.pixel_size = pixel_size;
            q.root = tmp.path;
            const tolmar::Status s = tools::run_import(q, tolmar::Listener());
            if (!s.ok()) raise(s);
            std::string made;
            for (const char *w : {"_m2.raw", "_m4.raw"}) {
                const std::string p = tmp.path + "/images/dem/dem" + w;
                if (access(p.c_str(), F_OK) == 0) made = p;
            }
            if (made.empty()) fail(path, "bringing in " + path + " made no DEM");
            if (!geo::open_dem_set(made, d->set, err)) fail(path, err);
        }
    }
    // The unit of the samples is never guessed: the sidecar's, or the one
    // given, and the two must agree.
    d->unit = unit_answer(unit);
    if (d->unit < 0 && d->set.unit < 0)
        misuse("unit", raw + " has no sidecar telling the unit of its samples: give unit=\"m\", \"dm\", \"cm\" or \"mm\"");
    if (d->unit >= 0 && d->set.unit >= 0 && d->unit != d->set.unit)
        misuse("unit", std::string("unit=\"") + formats::unit_symbol(d->unit) + "\" differs from " + raw + "'s own unit, " +
                           formats::unit_word(d->set.unit) + " (its sidecar): leave unit out to take it");
    if (d->unit < 0) d->unit = d->set.unit;
    d->pix = d->set.pix_size > 0 ? d->set.pix_size : pixel_size;
    if (d->pix <= 0) misuse("pixel_size", formats::descriptor_path(raw) + " gives no pixel size: give pixel_size");
    d->terrain = d->set.samples.terrain(formats::unit_divisor(d->unit), d->pix);
    return d;
}

// One treatment's trace, and the intersection it stands for. The cells
// are kept as the library gives them; the arrays are made when first asked
// for, the intersection traced then.
struct TraceResult {
    std::shared_ptr<Dem> dem;
    Values values;
    Geometry geometry = Geometry::exact;
    Trace trace;
    std::optional<std::string> refused;  // why there is no trace, None when traced
    py::object rows, columns, x, y, line, line_xy;  // made when first asked for
};

namespace {

// The intersection of the plane with the ground's bilinear surface through
// the cell centres, inside the treatment's square: the zero line of ground
// minus plane, a segment for each square of four centres it crosses (the
// plane as the true trace holds it).
std::vector<double> intersection(const Terrain &t, const Values &v, const Square &q) {
    const double az = v.dip_direction * api;
    const double fall = tan(v.dip * api) * t.pix_size;
    const double per_column = -fall * sin(az), per_row = fall * cos(az);
    const double z0 = t.elevation(v.row, v.column);
    auto f = [&](int i, int j) { return t.elevation(i, j) - (z0 + per_row * (i - v.row) + per_column * (j - v.column)); };
    Box box;
    for (Cell c : {q.lt, q.rt, q.lb, q.rb}) box.add(c);
    std::vector<double> out;
    for (int i = std::max(box.i0, 0); i < std::min(box.i1, t.rows - 1); i++) {
        int lo0, hi0, lo1, hi1;
        square_row_span(q, i, lo0, hi0);
        square_row_span(q, i + 1, lo1, hi1);
        // The squares of four centres with a corner in the treatment's square:
        // the cells around it are the trace's neighbours too.
        const int lo = std::max(std::min(lo0, lo1) - 1, 0), hi = std::min(std::max(hi0, hi1), t.cols - 2);
        for (int j = lo; j <= hi; j++) {
            const bool touches = (j + 1 >= lo0 && j <= hi0) || (j + 1 >= lo1 && j <= hi1);
            if (!touches) continue;
            // Corners in turn round the square: their values and places.
            const double c[4] = {f(i, j), f(i, j + 1), f(i + 1, j + 1), f(i + 1, j)};
            const double pi[4] = {double(i), double(i), double(i + 1), double(i + 1)};
            const double pj[4] = {double(j), double(j + 1), double(j + 1), double(j)};
            double cut[4][2];
            int n = 0;
            for (int e = 0; e < 4; e++) {
                const int a = e, b = (e + 1) % 4;
                if ((c[a] >= 0) != (c[b] >= 0)) {
                    const double s = c[a] / (c[a] - c[b]);
                    cut[n][0] = pi[a] + s * (pi[b] - pi[a]);
                    cut[n][1] = pj[a] + s * (pj[b] - pj[a]);
                    n++;
                }
            }
            if (n == 2) {
                out.insert(out.end(), {cut[0][0], cut[0][1], cut[1][0], cut[1][1]});
            } else if (n == 4) {
                // A saddle: the centre's value says which corners join.
                const double centre = (c[0] + c[1] + c[2] + c[3]) / 4;
                const bool first_up = c[0] >= 0;
                if ((centre >= 0) == first_up) {
                    out.insert(out.end(), {cut[0][0], cut[0][1], cut[1][0], cut[1][1], cut[2][0], cut[2][1], cut[3][0], cut[3][1]});
                } else {
                    out.insert(out.end(), {cut[0][0], cut[0][1], cut[3][0], cut[3][1], cut[1][0], cut[1][1], cut[2][0], cut[2][1]});
                }
            }
        }
    }
    return out;
}

py::array_t<double> segments(std::vector<double> &&v) {
    const py::ssize_t n = static_cast<py::ssize_t>(v.size() / 4);
    py::array_t<double> a({n, py::ssize_t(2), py::ssize_t(2)});
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

Values values_of(int row, int column, int dip, int dip_direction, int zone) {
    Values v;
    v.row = row;
    v.column = column;
    v.dip = dip;
    v.dip_direction = dip_direction;
    v.zone = zone;
    return v;
}

}  // namespace

TraceResult trace_of(const std::shared_ptr<Dem> &d, int row, int column, int dip, int dip_direction, int zone,
                     const std::string &geometry) {
    TraceResult r;
    r.dem = d;
    r.geometry = geometry_named(geometry);
    r.values = values_of(row, column, dip, dip_direction, zone);
    {
        py::gil_scoped_release free;
        thread_local Work w;
        r.trace = trace(d->terrain, r.values, w, r.geometry);
    }
    if (r.trace.verdict != Verdict::traced) {
        std::string why = refusal_headline(r.trace.verdict);
        if (r.trace.verdict == Verdict::outside_raster) why += ": " + refusal_detail(d->rows(), d->cols(), r.values, "rows");
        r.refused = why;
    }
    return r;
}

namespace {

// The cells' rows and columns, and their centres on the map.
void make_cells(TraceResult &r) {
    if (r.rows) return;
    const std::vector<Cell> &cells = r.trace.cells;
    const py::ssize_t n = static_cast<py::ssize_t>(cells.size());
    py::array_t<int32_t> rows(n), columns(n);
    py::array_t<double> x(n), y(n);
    int32_t *ri = rows.mutable_data(), *ci = columns.mutable_data();
    double *xs = x.mutable_data(), *ys = y.mutable_data();
    for (py::ssize_t k = 0; k < n; k++) {
        ri[k] = cells[static_cast<size_t>(k)].i;
        ci[k] = cells[static_cast<size_t>(k)].j;
        r.dem->xy(ri[k], ci[k], xs[k], ys[k]);
    }
    r.rows = rows;
    r.columns = columns;
    r.x = x;
    r.y = y;
}

// The intersection's segments, in cells and on the map.
void make_line(TraceResult &r) {
    if (r.line) return;
    std::vector<double> line;
    if (r.trace.verdict == Verdict::traced) {
        py::gil_scoped_release free;
        line = intersection(r.dem->terrain, r.values, r.trace.square);
    }
    std::vector<double> xy(line.size());
    for (size_t k = 0; k + 1 < line.size(); k += 2) r.dem->xy(line[k], line[k + 1], xy[k], xy[k + 1]);
    r.line = segments(std::move(line));
    r.line_xy = segments(std::move(xy));
}

}  // namespace

// A result set beside the DEM (or in a folder given) that stamps through the
// session core: the same files as the console's for the same treatments.
class Session {
public:
    Session(std::shared_ptr<Dem> dem, const std::optional<std::string> &result, const std::optional<std::string> &folder,
            const std::string &geometry, const std::string &background, bool replace)
        : dem_(std::move(dem)) {
        const Geometry g = geometry_named(geometry);
        if (background != "white" && background != "black")
            misuse("background", "background takes white or black, not " + formats::printable(background, 40));
        std::string dir, name;
        if (folder) dir = *folder + (folder->empty() || folder->back() == '/' ? "" : "/");
        else if (!dem_->raster.empty()) dir = formats::folder_of(dem_->raster);
        else misuse("folder", dem_->name + " was brought in from elsewhere: give the folder of the result set");
        if (result) name = *result;
        else if (!dem_->raster.empty()) {
            name = formats::name_of(dem_->raster);
            name.resize(name.size() - std::string(formats::dem_raster_suffix(dem_->set.samples.width())).size());
        } else misuse("result", "give the result set's name");
        if (!formats::single_name(name)) misuse("result", name + " is not a single name (no '/', '\\', '.', '..', blank or control character)");
        raster_ = dir + name + formats::RESULT_RASTER_SUFFIX;
        log_ = dir + name + formats::RESULT_LOG_SUFFIX;
        std::string err, repaired;
        bool exists = false;
        std::vector<std::string> protect;
        if (!dem_->raster.empty()) protect = {dem_->raster, formats::descriptor_path(dem_->raster)};
        const std::string refusal = result_path_refusal(raster_, protect.data(), static_cast<int>(protect.size()), exists);
        if (!refusal.empty()) fail(raster_, refusal);
        py::gil_scoped_release free;
        if (!session_.open(raster_, log_, "python", repaired, err, &dem_->terrain)) fail(raster_, err);
        exists = exists || access(log_.c_str(), F_OK) == 0;
        if (exists && !replace) {
            if (!session_.carry_on(dem_->rows(), dem_->cols(), dem_->pix, err)) fail(log_, err);
            return;
        }
        if (!session_.create(dem_->rows(), dem_->cols(), err, g) || !session_.set_pix_size(dem_->pix, err) ||
            !session_.fill(background == "black" ? 0 : 255, err))
            fail(raster_, err);
    }
    ~Session() { session_.discard(); }

    // Threads may share a session: one stamp, undo or close at a time (the
    // GIL let go first, so that a thread waiting here holds nothing).
    py::dict stamp(int row, int column, int dip, int dip_direction, int zone) {
        const Values v = values_of(row, column, dip, dip_direction, zone);
        Stamp s;
        {
            py::gil_scoped_release free;
            std::lock_guard<std::mutex> hold(mutex_);
            if (closed_) fail(raster_, "the session is closed");
            s = session_.stamp(dem_->terrain, v, work_);
        }
        py::dict out;
        switch (s.kind) {
        case Stamp::stamped:
            out["stamped"] = true;
            out["code"] = s.code;
            out["cells"] = s.cells;
            return out;
        case Stamp::refused:
            out["stamped"] = false;
            // The Python face speaks of rows, as the page does.
            out["why"] = s.message + (s.verdict == Verdict::outside_raster
                                          ? ": " + refusal_detail(dem_->rows(), dem_->cols(), v, "rows")
                                          : s.detail.empty() ? "" : ": " + s.detail);
            return out;
        case Stamp::full:
            fail(raster_, LIMIT_REACHED);
        case Stamp::failed:
            break;
        }
        fail(raster_, s.message);
    }
    bool undo() {
        std::string err;
        py::gil_scoped_release free;
        std::lock_guard<std::mutex> hold(mutex_);
        if (closed_) fail(raster_, "the session is closed");
        if (session_.undoable() == 0) return false;
        if (!session_.undo_last(err)) fail(raster_, err);
        return true;
    }
    void close() {
        std::string err;
        py::gil_scoped_release free;
        std::lock_guard<std::mutex> hold(mutex_);
        if (closed_) return;
        closed_ = true;
        if (!session_.placed()) session_.discard();
        else if (!session_.finish(err)) fail(raster_, err);
    }
    int code() const { return session_.code(); }
    const std::string &raster() const { return raster_; }
    const std::string &log() const { return log_; }
    std::string geometry() const { return geometry_name(session_.geometry()); }
    py::list records() const {
        py::list out;
        for (const formats::Record &r : session_.records()) {
            py::dict d;
            d["code"] = r.code;
            d["row"] = r.values.row;
            d["column"] = r.values.column;
            d["dip"] = r.values.dip;
            d["dip_direction"] = r.values.dip_direction;
            d["zone"] = r.values.zone;
            out.append(d);
        }
        return out;
    }

private:
    std::shared_ptr<Dem> dem_;
    ResultSession session_;
    Work work_;
    std::string raster_, log_;
    bool closed_ = false;
    std::mutex mutex_;
};

std::string fit_json(const Dem &d, const std::string &contact, const std::string &text, double level,
                     const std::optional<std::pair<int, int>> &point, int zone, const std::string &picture,
                     const std::string &band, const std::string &trace_layer, const std::string &answers) {
    tools::FitRequest q;
    q.dem = d.name;
    q.opened = &d.set;
    q.unit = d.unit;
    q.pixel_size = d.pix;
    q.contact = contact;
    q.contact_text = text;
    if (!(level >= 0.5 && level <= 0.999)) misuse("level", "level takes a confidence from 0.5 to 0.999");
    q.level = level;
    if (point) {
        q.point = true;
        q.row = point->first;
        q.column = point->second;
    }
    if (zone > 0) {
        q.zone = true;
        q.zone_cells = zone;
    }
    q.json = true;
    q.picture = picture;
    q.band = band;
    q.trace = trace_layer;
    q.answers = answers;
    if (!answers.empty() && d.raster.empty()) misuse("answers", "answers need a DEM file set: bring it in with tolmar.import_dem");
    tools::FitAnswer a;
    py::gil_scoped_release free;
    const tolmar::Status s = tools::run_fit(q, a);
    if (!s.ok()) raise(s);
    return a.json;
}

py::dict run_stations(const Dem &d, const std::string &table, const py::dict &options) {
    if (d.raster.empty())
        misuse("dem", d.name + " was brought in from elsewhere: tables are traced on a DEM file set (tolmar.import_dem)");
    tools::StationsRequest q;
    q.dem = d.raster;
    q.table = table;
    q.unit = d.unit;
    q.pixel_size = d.pix;
    bool background = false;
    for (auto item : options) {
        const std::string key = py::str(item.first);
        if (item.second.is_none()) continue;
        auto text = [&] { return py::str(item.second).cast<std::string>(); };
        if (key == "zone") q.zone = item.second.cast<int>();
        else if (key == "layer") q.layer = text();
        else if (key == "out") q.out = text();
        else if (key == "result") q.result = text();
        else if (key == "dip") q.dip = text();
        else if (key == "dip_direction") q.dip_direction = text();
        else if (key == "strike") q.strike = text();
        else if (key == "zone_column") q.zone_column = text();
        else if (key == "x") q.x = text();
        else if (key == "y") q.y = text();
        else if (key == "row") q.row = text();
        else if (key == "column") q.column = text();
        else if (key == "id") q.id = text();
        else if (key == "table_crs") q.table_crs = text();
        else if (key == "geometry") q.geometry = geometry_named(text());
        else if (key == "sets") q.sets = item.second.cast<bool>();
        else if (key == "resume") q.resume = item.second.cast<bool>();
        else if (key == "background") {
            if (text() != "white" && text() != "black") misuse("background", "background takes white or black, not " + text());
            q.black = text() == "black";
            background = true;
        } else misuse(key, "stations() takes no option " + key);
    }
    if (!q.sets && (background || !q.result.empty()))
        misuse(background ? "background" : "result", std::string(background ? "background" : "result") +
                                                         " is for the result sets, which only sets=True writes");
    if (q.zone < 0) misuse("zone", "zone takes a whole number of cells from 1");
    std::vector<std::string> said;
    tolmar::Listener l;
    l.said = [&](const std::string &text, bool own) { said.push_back(own ? "tolmar-stations: " + text : text); };
    l.noted = [&](const std::string &note) { said.push_back("tolmar-stations: " + note + "\n"); };
    tools::StationsDone done;
    tolmar::Status s;
    {
        py::gil_scoped_release free;
        s = tools::run_stations(q, l, done);
    }
    if (!s.ok()) raise(s);
    py::dict out;
    out["stations"] = done.stations;
    out["traced"] = done.traced;
    out["refused"] = done.refused;
    out["sets"] = done.sets;
    out["resumed"] = done.resumed;
    out["layer"] = done.layer;
    std::string text;
    for (const std::string &t : said) text += t;
    out["said"] = text;
    return out;
}

std::string import_dem(const std::string &source, const std::string &folder, const std::string &name, const std::string &root,
                       int band, double pixel_size, bool replace) {
    tools::ImportRequest q;
    q.source = source;
    q.folder = folder;
    q.name = name;
    q.band = band;
    q.pixel_size = pixel_size;
    q.replace = replace;
    q.root = root == "." ? "" : root;
    {
        py::gil_scoped_release free;
        const tolmar::Status s = tools::run_import(q, tolmar::Listener());
        if (!s.ok()) raise(s);
    }
    const std::string base = (q.root.empty() ? "" : q.root + "/") + formats::DATA_ROOT + folder + "/" + name;
    for (const char *w : {"_m2.raw", "_m4.raw"})
        if (access((base + w).c_str(), F_OK) == 0) return base + w;
    fail(source, "the import made no DEM");
}

// The traces of a result set for a GIS, as tolmar-export writes them; what
// a user of the file should know comes back as text.
std::string export_set(const std::string &raster, const std::string &out, const std::string &format, const std::string &crs) {
    tools::ExportRequest q;
    q.raster = raster;
    q.format = format;
    q.out_path = out;
    q.crs = crs;
    std::string said;
    tolmar::Listener l;
    l.said = [&](const std::string &text, bool own) { said += own ? "tolmar-export: " + text : text; };
    l.noted = [&](const std::string &note) { said += "tolmar-export: " + note + "\n"; };
    tolmar::Status s;
    {
        py::gil_scoped_release free;
        s = tools::run_export(q, l);
    }
    if (!s.ok()) raise(s);
    return said;
}

PYBIND11_MODULE(_tolmar, m) {
    m.doc() = "tolmar's library: DEMs, traces, result sets, the fit and tables of stations";
    m.attr("__version__") = TOLMAR_VERSION;
    geo::use_gdal();

    error_type = PyErr_NewException("tolmar.Error", PyExc_RuntimeError, nullptr);
    py::tuple bases = py::make_tuple(py::handle(error_type), py::handle(PyExc_ValueError));
    usage_error_type = PyErr_NewException("tolmar.UsageError", bases.ptr(), nullptr);
    m.attr("Error") = py::handle(error_type);
    m.attr("UsageError") = py::handle(usage_error_type);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Raised &r) {
            py::handle type = r.error.kind == tolmar::Error::Kind::misused ? usage_error_type : error_type;
            py::object e = type(r.error.message);
            e.attr("subject") = r.error.subject;
            PyErr_SetObject(type.ptr(), e.ptr());
        }
    });

    py::class_<Dem, std::shared_ptr<Dem>>(m, "Dem", "A DEM in memory, with its place on the map when it has one.")
        .def_property_readonly("rows", &Dem::rows)
        .def_property_readonly("columns", &Dem::cols)
        .def_property_readonly("pixel_size", [](const Dem &d) { return d.pix / d.set.k; }, "the ground length of a cell, metres")
        .def_property_readonly("unit", [](const Dem &d) { return std::string(formats::unit_symbol(d.unit)); })
        .def_property_readonly("path", [](const Dem &d) { return d.name; })
        .def_property_readonly("raster", [](const Dem &d) { return d.raster.empty() ? py::object(py::none()) : py::object(py::str(d.raster)); },
                               "the file set's raster, None for a DEM brought in from elsewhere")
        .def_property_readonly("crs", [](const Dem &d) { return d.set.georef.crs.empty() ? py::object(py::none()) : py::object(py::str(d.set.georef.crs)); })
        .def_property_readonly("wkt", [](const Dem &d) { return d.set.georef.wkt; })
        .def_property_readonly("geotransform",
                               [](const Dem &d) {
                                   const double *g = d.set.georef.gt;
                                   return d.set.georef.known ? py::object(py::make_tuple(g[0], g[1], g[2], g[3], g[4], g[5]))
                                                             : py::object(py::none());
                               },
                               "GDAL's geotransform, None without a georeference")
        .def_property_readonly("samples",
                               [](py::object self) {
                                   Dem &d = self.cast<Dem &>();
                                   DemSamples &s = d.set.samples;
                                   std::vector<py::ssize_t> shape{d.rows(), d.cols()};
                                   py::array a = s.width() == 2 ? py::array(py::dtype::of<uint16_t>(), shape, s.s16(), self)
                                                                : py::array(py::dtype::of<int32_t>(), shape, s.s32(), self);
                                   py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
                                   return a;
                               },
                               "the samples as stored, in the DEM's unit, without a copy (read-only)")
        .def("elevation", [](const Dem &d, int row, int column) {
            if (!d.terrain.inside(row, column)) misuse("row", "the cell lies outside the DEM");
            return d.terrain.elevation(row, column);
        })
        .def("xy", [](const Dem &d, double row, double column) {
            double x, y;
            d.xy(row, column, x, y);
            return py::make_tuple(x, y);
        }, "a cell's centre on the map")
        .def("trace", &trace_of, py::arg("row"), py::arg("column"), py::arg("dip"), py::arg("dip_direction"), py::arg("zone"),
             py::arg("geometry") = "true", "the cells one treatment stamps, and the intersection they stand for");

    py::class_<TraceResult>(m, "Trace", "One treatment's trace cells and the intersection of its plane with the ground.")
        .def_property_readonly("rows", [](TraceResult &t) { make_cells(t); return t.rows; }, "the trace cells' rows, row-major order")
        .def_property_readonly("columns", [](TraceResult &t) { make_cells(t); return t.columns; })
        .def_property_readonly("x", [](TraceResult &t) { make_cells(t); return t.x; }, "the cells' centres on the map")
        .def_property_readonly("y", [](TraceResult &t) { make_cells(t); return t.y; })
        .def_property_readonly("line", [](TraceResult &t) { make_line(t); return t.line; },
                               "segments of the intersection, n x 2 x (row, column), fractional cells")
        .def_property_readonly("line_xy", [](TraceResult &t) { make_line(t); return t.line_xy; }, "the same on the map, n x 2 x (x, y)")
        .def_readonly("refused", &TraceResult::refused)
        .def_property_readonly("geometry", [](const TraceResult &t) { return std::string(geometry_name(t.geometry)); })
        .def("__len__", [](const TraceResult &t) { return t.trace.cells.size(); })
        .def("__repr__", [](const TraceResult &t) {
            return "<tolmar.Trace " + std::to_string(t.trace.cells.size()) + " cells, (" + std::to_string(t.values.row) + ", " +
                   std::to_string(t.values.column) + "), dip " + std::to_string(t.values.dip) + ", dip direction " +
                   std::to_string(t.values.dip_direction) + ", zone " + std::to_string(t.values.zone) + ", " +
                   geometry_name(t.geometry) + ">";
        });

    py::class_<Session>(m, "Session", "A result set that stamps treatments as the console does.")
        .def(py::init<std::shared_ptr<Dem>, std::optional<std::string>, std::optional<std::string>, std::string, std::string, bool>(),
             py::arg("dem"), py::arg("result") = py::none(), py::arg("folder") = py::none(), py::arg("geometry") = "true",
             py::arg("background") = "white", py::arg("replace") = false)
        .def("stamp", &Session::stamp, py::arg("row"), py::arg("column"), py::arg("dip"), py::arg("dip_direction"), py::arg("zone"))
        .def("undo", &Session::undo)
        .def("close", &Session::close)
        .def("__enter__", [](Session &s) -> Session & { return s; }, py::return_value_policy::reference)
        .def("__exit__", [](Session &s, py::object, py::object, py::object) { s.close(); })
        .def_property_readonly("code", &Session::code)
        .def_property_readonly("raster", &Session::raster)
        .def_property_readonly("log", &Session::log)
        .def_property_readonly("geometry", &Session::geometry)
        .def_property_readonly("records", &Session::records);

    m.def("open_dem", &open_dem, py::arg("path"), py::arg("unit") = py::none(), py::arg("pixel_size") = 0, py::arg("band") = 1);
    m.def("_fit", &fit_json);
    m.def("_stations", &run_stations);
    m.def("export", &export_set, py::arg("raster"), py::arg("out") = "", py::arg("format") = "gpkg", py::arg("crs") = "",
          "writes the traces of a result set (R_tolmar.raw) for a GIS, as tolmar-export does; returns what it says");
    m.def("import_dem", &import_dem, py::arg("source"), py::arg("folder"), py::arg("name"), py::arg("root") = ".",
          py::arg("band") = 1, py::arg("pixel_size") = 0.0, py::arg("replace") = false,
          "brings any raster GDAL reads in as a DEM file set ROOT/images/FOLDER/NAME_m2.raw (or _m4), as tolmar-import does");
}
