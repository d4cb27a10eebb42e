// session.cpp: the session core: a result set's life and the path of every
// stamp, from the treatment to both files.
#include "session/session.h"

const char LIMIT_REACHED[] = "250 calculations reached";

std::string refusal_headline(Verdict v) {
    switch (v) {
    case Verdict::zone_too_small: return "influence zone must be at least 1";
    case Verdict::no_memory: return "not enough memory for this treatment";
    case Verdict::outside_raster: return "out of the image borders";
    case Verdict::traced: break;
    }
    return "";
}

std::string refusal_detail(int rows, int cols, const Values &v, const char *rows_word) {
    const Fit f = reference_points_that_fit(rows, cols, v.dip_direction, v.zone);
    const std::string zone = std::to_string(v.zone), dir = std::to_string(v.dip_direction);
    if (f.empty()) return "no reference point of this DEM fits a square of zone " + zone + " in direction " + dir;
    return "zone " + zone + " in direction " + dir + " fits reference points on " + rows_word + " " + std::to_string(f.lo_i) +
           " to " + std::to_string(f.hi_i) + " and columns " + std::to_string(f.lo_j) + " to " + std::to_string(f.hi_j);
}

namespace {
// x in 0..n-1, for any whole x.
long long wrapped(long long x, long long n) { return ((x % n) + n) % n; }
}  // namespace

std::vector<std::string> attitude_notes(const Values &v, bool dip, bool direction) {
    std::vector<std::string> notes;
    const long long towards = wrapped(v.dip_direction, 360);
    if (dip && (v.dip < 0 || v.dip > 90)) {
        // tan repeats every 180 degrees; past 90 it changes sign, and the
        // plane falls the other way.
        const long long d = wrapped(v.dip, 180);
        std::string as;
        if (d == 90) as = "a vertical plane";
        else if (d == 0) as = "a level plane";
        else if (d < 90) as = "a plane dipping " + std::to_string(d) + " towards " + std::to_string(towards);
        else as = "a plane dipping " + std::to_string(180 - d) + " towards " + std::to_string(wrapped(towards + 180, 360));
        notes.push_back("a dip of " + std::to_string(v.dip) + " lies outside 0 to 90: it is traced as " + as);
    }
    if (direction && (v.dip_direction < 0 || v.dip_direction > 359))
        notes.push_back("a dip direction of " + std::to_string(v.dip_direction) + " lies outside 0 to 359: it points as " +
                        std::to_string(towards) + " does");
    return notes;
}

bool ResultSession::open(const std::string &raster, const std::string &log, const std::string &who,
                         std::string &repaired, std::string &err, const Terrain *terrain) {
    records_.clear();
    undo_.clear();
    // With the DEM at hand, the stamps of a set whose journal was damaged
    // can be traced again, for the cells it no longer tells.
    recovery::Tracer tracer;
    if (terrain != nullptr)
        tracer = [terrain](const formats::Record &r, Geometry g, int pix_size) {
            Terrain t = *terrain;
            t.pix_size = pix_size;
            Work w;
            std::vector<size_t> at;
            for (Cell c : trace(t, r.values, w, g).cells)
                at.push_back(static_cast<size_t>(c.i) * static_cast<size_t>(t.cols) + static_cast<size_t>(c.j));
            return at;
        };
    return files_.lock(raster, log, who, err) && files_.recover(repaired, err, tracer);
}

bool ResultSession::create(int rows, int cols, std::string &err, Geometry geometry) {
    records_.clear();
    undo_.clear();
    rows_ = rows;
    cols_ = cols;
    geometry_ = geometry;
    return files_.create(rows, cols, err);
}

bool ResultSession::set_pix_size(int pix_size, std::string &err) {
    return files_.append_line(formats::pix_size_line(pix_size) + formats::geometry_line(geometry_), err);
}

bool ResultSession::fill(uint8_t background, std::string &err) { return files_.fill(background, err); }

bool ResultSession::place(bool &replaced, std::string &err) { return files_.place(replaced, err); }

bool ResultSession::carry_on(int rows, int cols, int pix_size, std::string &err) {
    std::string text;
    records_.clear();
    undo_.clear();
    rows_ = rows;
    cols_ = cols;
    const std::string &log = files_.log_path();
    if (!files_.carry_on(rows, cols, text, err)) return false;
    formats::ResultLog parsed;
    std::string why;
    if (!formats::parse_result_log(text, parsed, why)) {
        err = log + ": " + why;
        return false;
    }
    if (parsed.rows != rows || parsed.cols != cols) {
        err = log + " is not the result descriptor of a DEM of this size";
        return false;
    }
    if (parsed.pix_size != pix_size) {
        err = log + " was made with pixel size " + std::to_string(parsed.pix_size) + ", not " + std::to_string(pix_size);
        return false;
    }
    // Every code in the raster must have its record.
    if (const int code = files_.first_code_above(static_cast<int>(parsed.records.size()))) {
        err = files_.raster_path() + ": cells hold code " + std::to_string(code) + ", which has no record in " + log;
        return false;
    }
    records_ = std::move(parsed.records);
    geometry_ = parsed.geometry;
    return true;
}

Stamp ResultSession::stamp(const Terrain &t, const Values &v, Work &work) {
    Stamp s;
    if (full()) {
        s.kind = Stamp::full;
        s.message = LIMIT_REACHED;
        return s;
    }
    Trace tr = trace(t, v, work, geometry_);
    s.verdict = tr.verdict;
    s.square = tr.square;
    if (tr.verdict != Verdict::traced) {
        s.kind = Stamp::refused;
        s.message = refusal_headline(tr.verdict);
        if (tr.verdict == Verdict::outside_raster) s.detail = refusal_detail(t.rows, t.cols, v);
        return s;
    }
    const int code = this->code() + 1;
    // Each cell's byte before, as the raster holds it once its background
    // is in place: what undo and a failed write give back.
    std::vector<Change> changes;
    changes.reserve(tr.cells.size());
    for (Cell c : tr.cells) {
        const size_t k = static_cast<size_t>(c.i) * static_cast<size_t>(cols_) + static_cast<size_t>(c.j);
        changes.push_back({k, files_.cell(k), static_cast<uint8_t>(code)});
    }
    const formats::Record record{code, v};
    const std::string text = formats::record_text(record);
    if (!files_.commit(changes, text, s.message)) return s;
    records_.push_back(record);
    undo_.push_back({std::move(changes), text.size()});
    s.kind = Stamp::stamped;
    s.code = code;
    s.cells = static_cast<long long>(tr.cells.size());
    s.trace_cells = std::move(tr.cells);
    return s;
}

bool ResultSession::undo_last(std::string &err) {
    if (undo_.empty()) {
        err = "no stamp of this session is left to take back";
        return false;
    }
    if (!files_.take_back(undo_.back().changes, undo_.back().record_size, err)) return false;
    undo_.pop_back();
    records_.pop_back();
    return true;
}
