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

std::string refusal_detail(int rows, int cols, const Values &v) {
    const Fit f = reference_points_that_fit(rows, cols, v.dip_direction, v.zone);
    const std::string zone = std::to_string(v.zone), dir = std::to_string(v.dip_direction);
    if (f.empty()) return "no reference point of this DEM fits a square of zone " + zone + " in direction " + dir;
    return "zone " + zone + " in direction " + dir + " fits reference points on lines " + std::to_string(f.lo_i) +
           " to " + std::to_string(f.hi_i) + " and columns " + std::to_string(f.lo_j) + " to " + std::to_string(f.hi_j);
}

bool ResultSession::create(const std::string &raster, const std::string &log, int rows, int cols, std::string &err,
                           Geometry geometry) {
    records_.clear();
    pending_ = false;
    geometry_ = geometry;
    return files_.create(raster, log, rows, cols, err);
}

bool ResultSession::set_pix_size(int pix_size, std::string &err) {
    return files_.append_line(formats::pix_size_line(pix_size) + formats::geometry_line(geometry_), err);
}

bool ResultSession::place(uint8_t background, bool &replaced, std::string &err) {
    pending_ = false;
    return files_.place(background, replaced, err);
}

bool ResultSession::carry_on(const std::string &raster, const std::string &log, int rows, int cols, int pix_size,
                             std::string &err) {
    std::string text;
    records_.clear();
    pending_ = false;
    if (!files_.carry_on(raster, log, rows, cols, raster_, text, err)) return false;
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
    if (pending_) {
        bool replaced = false;
        if (!place(pending_background_, replaced, s.message)) {
            pending_ = true;
            return s;
        }
    }
    // The cells as they were, to put back if the files cannot take the stamp.
    const int code = this->code() + 1;
    std::vector<uint8_t> before;
    before.reserve(tr.cells.size());
    Box box;
    for (Cell c : tr.cells) {
        uint8_t &cell = raster_.at(c.i, c.j);
        before.push_back(cell);
        cell = static_cast<uint8_t>(code);
        box.add(c);
    }
    const formats::Record record{code, v};
    if (!files_.commit(raster_, box, formats::record_text(record), s.message)) {
        for (size_t k = 0; k < tr.cells.size(); k++) raster_.at(tr.cells[k].i, tr.cells[k].j) = before[k];
        return s;
    }
    records_.push_back(record);
    s.kind = Stamp::stamped;
    s.code = code;
    s.cells = static_cast<long long>(tr.cells.size());
    s.trace_cells = std::move(tr.cells);
    return s;
}
