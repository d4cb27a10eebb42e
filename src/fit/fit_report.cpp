// fit_report.cpp: the answers, the picture and the classic misfit's words.
#include "fit/fit_report.h"

#include <cmath>
#include <cstdio>

#include <gdal_alg.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include "geo/georef.h"
#include "geo/layers.h"
#include "picture/picture.h"

namespace tools {

// images/FOLDER/NAME_mX.raw, answered into the result set NAME_fit.
bool write_answers(const std::string &path, const DemSet &dem, int unit, int pix, const formats::Record &best,
                   std::string &result, std::string &err) {
    const std::string dir = formats::folder_of(dem.raster);
    formats::Answers a;
    const std::string folder = dir.empty() ? "." : dir.substr(0, dir.size() - 1);
    a.folder = folder.substr(folder.find_last_of('/') + 1);
    const std::string name = formats::name_of(dem.raster);
    a.dem = name.substr(0, name.size() - 7);
    a.type = dem.samples.width() == 2 ? 0 : 1;
    a.result = a.dem + "_fit";
    result = a.result + formats::RESULT_RASTER_SUFFIX;
    a.unit = unit;
    a.ask_pix_size = dem.pix_size <= 0;
    a.pix_size = pix;
    a.treatments = {best};
    FILE *f = fopen(path.c_str(), "w");
    const std::string text = formats::answers_text(a);
    if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) {
        err = "cannot write " + path;
        return false;
    }
    return true;
}


// The contact in black and the trace in the first code's colour over the
// hillshade of the square's surroundings, `scale` pixels a cell; the
// stereonet to the right.
bool picture(const std::string &path, const Terrain &t, const Contact &c, const std::vector<Cell> &trace, int ip,
             int jp, int infl, std::string &err, const TrueFit *fit) {
    const int margin = infl + infl / 2 + 4;
    const int i0 = std::max(0, ip - margin), i1 = std::min(t.rows, ip + margin + 1);
    const int j0 = std::max(0, jp - margin), j1 = std::min(t.cols, jp + margin + 1);
    const int scale = std::max(1, std::min(8, 800 / std::max(i1 - i0, j1 - j0)));
    const int map_w = (j1 - j0) * scale, map_h = (i1 - i0) * scale;
    const int net_w = fit != nullptr ? 300 : 0;
    Image img;
    img.width = map_w + net_w;
    img.height = std::max(map_h, fit != nullptr ? 470 : 0);
    img.rgb.assign(static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * 3, 255);
    auto cell = [&](double i, double j, Rgb rgb, int size) {
        const int x = static_cast<int>((j - j0) * scale), y = static_cast<int>((i - i0) * scale);
        for (int dy = 0; dy < size; dy++)
            for (int dx = 0; dx < size; dx++)
                if (x + dx < map_w) img.set(x + dx, y + dy, rgb);
    };
    for (int i = i0; i < i1; i++)
        for (int j = j0; j < j1; j++) {
            const uint8_t g = shade_at(t, i, j, 1);
            cell(i, j, {g, g, g}, scale);
        }
    for (Cell x : trace) cell(x.i, x.j, code_colour(1), scale);
    // The contact drawn as a line of dots a quarter of a cell apart.
    for (const std::vector<Spot> &l : c.lines)
        for (size_t k = 0; k < l.size(); k++) {
            const Spot a = l[k], b = k + 1 < l.size() ? l[k + 1] : l[k];
            const int n = std::max(1, static_cast<int>(std::hypot(b.i - a.i, b.j - a.j) * 4));
            for (int s = 0; s <= n; s++)
                cell(a.i + (b.i - a.i) * s / n + 0.5 - 0.5 / scale, a.j + (b.j - a.j) * s / n + 0.5 - 0.5 / scale, {0, 0, 0},
                     std::max(1, scale / 2));
        }
    if (!trace.empty())
        for (int di = -2; di <= 2; di++)
            for (int dj = -2; dj <= 2; dj++)
                if (std::max(std::abs(di), std::abs(dj)) == 2) cell(ip + di, jp + dj, MARKER, scale);
    if (fit != nullptr && fit->found) {
        Net net;
        net.radius = 120;
        net.cx = map_w + net_w / 2;
        net.cy = 40 + net.radius;
        draw_net(img, net);
        const Rgb region{0, 90, 200}, answer = code_colour(1);
        // The region's boundary, or the arc of poles that fit, in blue.
        double px = 0, py = 0;
        for (size_t k = 0; k <= fit->region.size() && !fit->region.empty(); k++) {
            const Pole &p = fit->region[k % fit->region.size()];
            double d, a, x, y;
            attitude_of(p, d, a);
            net.at(d, a, x, y);
            const bool joined = fit->determined() && k > 0 && std::hypot(x - px, y - py) < net.radius / 2.0;
            if (joined) line(img, px, py, x, y, region, 2);
            else if (!fit->determined()) line(img, x, y, x, y, region, 3);
            px = x;
            py = y;
        }
        double x, y;
        net.at(fit->dip, fit->dip_direction, x, y);
        for (int dy = -3; dy <= 3; dy++)
            for (int dx = -3; dx <= 3; dx++)
                if (dx * dx + dy * dy <= 9) img.set(static_cast<int>(x) + dx, static_cast<int>(y) + dy, answer);
        // The region enlarged below the net: each boundary pole's angle from
        // the answer's, on axes of the answer's own fall line (up) and
        // strike (right), scaled to fill the box.
        if (fit->determined() && !fit->region.empty()) {
            const int bx = map_w + 30, by = net.cy + net.radius + 50, bw = net_w - 60, bh = 100;
            const Pole a = fit->pole;
            const double hl = std::hypot(a.x, a.y);
            const Pole along_strike = hl > 1e-9 ? Pole{a.y / hl, -a.x / hl, 0} : Pole{1, 0, 0};
            const Pole up_dip{a.y * along_strike.z - a.z * along_strike.y, a.z * along_strike.x - a.x * along_strike.z,
                              a.x * along_strike.y - a.y * along_strike.x};
            double most = 1e-9;
            std::vector<std::pair<double, double>> xy;
            for (const Pole &p : fit->region) {
                const double dot = p.x * a.x + p.y * a.y + p.z * a.z;
                const double u = (p.x * along_strike.x + p.y * along_strike.y + p.z * along_strike.z) / dot * 57.29577951308232;
                const double v = (p.x * up_dip.x + p.y * up_dip.y + p.z * up_dip.z) / dot * 57.29577951308232;
                xy.push_back({u, v});
                most = std::max({most, std::fabs(u), std::fabs(v)});
            }
            const double k = (bh / 2 - 4) / most;
            for (int x = bx; x < bx + bw; x++) img.set(x, by, {200, 200, 200}), img.set(x, by + bh, {200, 200, 200});
            for (int y = by; y <= by + bh; y++) img.set(bx, y, {200, 200, 200}), img.set(bx + bw, y, {200, 200, 200});
            const double ox = bx + bw / 2.0, oy = by + bh / 2.0;
            for (size_t m = 0; m < xy.size(); m++) {
                const auto &p0 = xy[m], &p1 = xy[(m + 1) % xy.size()];
                line(img, ox + k * p0.first, oy - k * p0.second, ox + k * p1.first, oy - k * p1.second, region, 2);
            }
            for (int dy = -2; dy <= 2; dy++)
                for (int dx = -2; dx <= 2; dx++) img.set(static_cast<int>(ox) + dx, static_cast<int>(oy) + dy, answer);
            char across[80];
            snprintf(across, sizeof across, "the region enlarged: %.1f degrees across", 2 * most);
            text(img, bx, by + bh + 6, across, {0, 0, 0}, 1);
        }
        char words[80];
        snprintf(words, sizeof words, "poles, lower hemisphere, equal area");
        text(img, map_w + 12, net.cy + net.radius + 14, words, {0, 0, 0}, 1);
        if (fit->determined()) snprintf(words, sizeof words, "%.0f%% region of the answer", 100 * fit->level);
        else if (fit->outcome == TrueFit::Outcome::line) snprintf(words, sizeof words, "planes through the line that fit");
        else snprintf(words, sizeof words, "no answer: the best plane");
        text(img, map_w + 12, net.cy + net.radius + 28, words, {0, 0, 0}, 1);
    }
    return write_png(path, img, err);
}

bool write_band(const std::string &path, const DemSet &dem, const Terrain &t, const TrueFit &fit, const Box &box, std::string &err) {
    const std::vector<uint8_t> band = band_cells(t, fit, box);
    Place place;
    VectorFile file;
    if (!place_on(dem.georef, vector_driver(path) == "GeoJSON", place, err) || !file.create(path, err)) return false;
    OGRLayer *layer = file.layer("band", wkbMultiPolygon, place, err);
    if (layer == nullptr) return false;
    OGRFieldDefn level("level", OFTReal), dip("dip", OFTReal), dir("dip_direction", OFTReal);
    layer->CreateField(&level);
    layer->CreateField(&dip);
    layer->CreateField(&dir);
    // The band's cells as polygons, in cells (x = column, y = -row at
    // their corners), then placed.
    const int w = box.j1 - box.j0 + 1, h = box.i1 - box.i0 + 1;
    geo::use_gdal();
    std::unique_ptr<GDALDataset> mem(GetGDALDriverManager()->GetDriverByName("MEM")->Create("", w, h, 1, GDT_Byte, nullptr));
    double gt[6] = {static_cast<double>(box.j0), 1, 0, -static_cast<double>(box.i0), 0, -1};
    mem->SetGeoTransform(gt);
    std::vector<uint8_t> cells = band;
    if (mem->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, w, h, cells.data(), w, h, GDT_Byte, 0, 0) != CE_None) {
        err = "cannot draw the band";
        return false;
    }
    std::unique_ptr<GDALDataset> shapes(GetGDALDriverManager()->GetDriverByName("Memory")->Create("", 0, 0, 0, GDT_Unknown, nullptr));
    OGRLayer *polys = shapes->CreateLayer("band", nullptr, wkbPolygon, nullptr);
    OGRFieldDefn value("value", OFTInteger);
    polys->CreateField(&value);
    if (GDALPolygonize(mem->GetRasterBand(1), mem->GetRasterBand(1), OGRLayer::ToHandle(polys), 0, nullptr, nullptr, nullptr) != CE_None) {
        err = "cannot draw the band: " + geo::gdal_error("polygons");
        return false;
    }
    auto multi = std::make_unique<OGRMultiPolygon>();
    for (auto &f : polys) {
        OGRGeometry *g = f->GetGeometryRef();
        if (g == nullptr) continue;
        OGRPolygon *poly = g->toPolygon();
        // Cell corners to map coordinates: a corner (x, y) in cells is the
        // centre of the cell (-y - 0.5, x - 0.5) moved by half a cell.
        for (int r = 0; r <= poly->getNumInteriorRings(); r++) {
            OGRLinearRing *ring = r == 0 ? poly->getExteriorRing() : poly->getInteriorRing(r - 1);
            for (int k = 0; k < ring->getNumPoints(); k++) {
                const double cx = ring->getX(k), cy = ring->getY(k);
                double x, y;
                if (place.g.known) {
                    x = place.g.gt[0] + cx * place.g.gt[1];
                    y = place.g.gt[3] + (-cy) * place.g.gt[5];
                    if (place.to_lonlat) place.to_lonlat->Transform(1, &x, &y);
                } else {
                    x = cx;
                    y = cy;
                }
                ring->setPoint(k, x, y);
            }
        }
        multi->addGeometry(poly);
    }
    file.begin();
    OGRFeature feature(layer->GetLayerDefn());
    feature.SetField("level", fit.level);
    feature.SetField("dip", fit.dip);
    feature.SetField("dip_direction", fit.dip_direction);
    feature.SetGeometryDirectly(multi.release());
    if (layer->CreateFeature(&feature) != OGRERR_NONE) {
        err = "cannot write " + path + ": " + geo::gdal_error("a feature");
        return false;
    }
    return file.commit(err) && file.close(err);
}

bool write_trace(const std::string &path, const DemSet &dem, const std::vector<Cell> &cells, const Values &v,
                 const TrueFit &fit, std::string &err) {
    Place place;
    VectorFile file;
    if (!place_on(dem.georef, vector_driver(path) == "GeoJSON", place, err) || !file.create(path, err)) return false;
    OGRLayer *layer = file.layer("trace", wkbMultiLineString, place, err);
    if (layer == nullptr) return false;
    for (const char *name : {"row", "column", "dip", "dip_direction", "zone"}) {
        OGRFieldDefn d(name, OFTInteger);
        layer->CreateField(&d);
    }
    for (const char *name : {"fitted_dip", "fitted_dip_direction"}) {
        OGRFieldDefn d(name, OFTReal);
        layer->CreateField(&d);
    }
    OGRFeature feature(layer->GetLayerDefn());
    const int values[5] = {v.row, v.column, v.dip, v.dip_direction, v.zone};
    const char *names[5] = {"row", "column", "dip", "dip_direction", "zone"};
    for (int k = 0; k < 5; k++) feature.SetField(names[k], values[k]);
    feature.SetField("fitted_dip", fit.dip);
    feature.SetField("fitted_dip_direction", fit.dip_direction);
    if (std::unique_ptr<OGRGeometry> g = trace_lines(cells, place)) feature.SetGeometry(g.get());
    if (layer->CreateFeature(&feature) != OGRERR_NONE) {
        err = "cannot write " + path + ": " + geo::gdal_error("a feature");
        return false;
    }
    return file.close(err);
}

nlohmann::ordered_json misfit_json(const Misfit &m) {
    nlohmann::ordered_json j = {{"traced", m.verdict == Verdict::traced}, {"near_contact", m.traced}, {"cells", m.cells}};
    if (m.over_filled) j["cells_over_filled_ground"] = m.over_filled;
    if (m.traced) {
        j["misfit_m"] = m.misfit_m;
        j["points_to_trace_mean_m"] = m.points_mean;
        j["points_to_trace_max_m"] = m.points_max;
        j["trace_to_contact_mean_m"] = m.trace_mean;
        j["trace_to_contact_max_m"] = m.trace_max;
    }
    return j;
}

std::string misfit_text(const Misfit &m) {
    if (m.verdict == Verdict::outside_raster) return "its square leaves the DEM";
    if (m.verdict == Verdict::zone_too_small) return "its zone is below 1";
    if (!m.traced) return "its trace does not come near the contact";
    char buf[400];
    snprintf(buf, sizeof buf,
             "%zu cells; contact to trace %.1f m on average, %.1f m at most; trace to contact %.1f m on average, "
             "%.1f m at most: misfit %.1f m",
             m.cells, m.points_mean, m.points_max, m.trace_mean, m.trace_max, m.misfit_m);
    std::string s = buf;
    if (m.over_filled) s += " (" + std::to_string(m.over_filled) + " cells over filled ground left out)";
    return s;
}

nlohmann::ordered_json plane_json(const Plane &plane) {
    nlohmann::ordered_json out = {{"determined", plane.determined}, {"nearly_collinear", plane.nearly_collinear},
                                  {"spread_along_m", plane.along_m}, {"spread_across_m", plane.across_m}};
    if (plane.determined) {
        out["dip"] = plane.dip;
        out["dip_direction"] = plane.dip_direction;
        out["rms_m"] = plane.rms_m;
    }
    return out;
}

}  // namespace tools
