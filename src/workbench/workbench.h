// workbench.h: tolmar-serve's workbench: the DEM file set mapped, its result
// set carried on or made through the session core, and the HTTP routes of
// the page (its assets, the DEM's pictures, the trace of the values being
// chosen, the stamp). Requests come on several threads; one lock guards it.
#ifndef TOLMAR_WORKBENCH_WORKBENCH_H
#define TOLMAR_WORKBENCH_WORKBENCH_H

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "compute/treatment.h"
#include "files/demset.h"
#include "fit/contact.h"
#include "session/session.h"

namespace httplib {
class Server;
}

namespace tools {

// A request, whatever brought it, and its answer.
struct Call {
    std::string method, path, body;
    std::multimap<std::string, std::string> params;
};
struct Reply {
    int status = 200;
    std::string body, type = "application/json";
    std::map<std::string, std::string> headers;
};

// The bodies the server takes: a contact's file (at most a few megabytes),
// and every other request's few lines.
constexpr size_t CONTACT_BODY = 4 << 20, SMALL_BODY = 16 << 10;

struct WorkbenchOptions {
    std::string dem;                  // DEM.raw
    int unit = -1;                    // the dialogue's unit answer; -1 for the imported DEM's own, else m
    int pixel_size = 0;               // when the descriptor gives none
    std::string result;               // result name; "" for the DEM's
    bool black = false;               // the background of a new result set
    std::optional<Geometry> geometry; // of a new result set (true geometry unless given)
};

class Workbench {
public:
    bool open(const WorkbenchOptions &o, std::string &err);
    // The routes of the page on `server`, which listens on `port` of 127.0.0.1.
    void route(httplib::Server &server, int port);
    // One request, under the lock: its answer, a bad one told with a message.
    Reply handle(const Call &c);
    // The end of the session: what was stamped made durable and the lock
    // removed, or a new set that got no stamp removed with its temporaries.
    // What became of the set, in words; false when the files could not be
    // made durable (`said` then tells why).
    bool close(std::string &said);

    const DemSet &dem() const { return dem_; }
    const ResultSession &results() const { return results_; }
    const std::string &raster_path() const { return raster_path_; }
    const std::string &log_path() const { return log_path_; }
    // What was undone of a set a dead run left, "" when nothing.
    const std::string &repaired() const { return repaired_; }

    // What the handlers do, under the lock.
    std::string info_json() const;
    // `hidden` codes are not painted.
    std::string picture_png(int i0, int j0, int i1, int j1, int w, int h, const std::vector<bool> &hidden = {}) const;
    std::string trace_json(const Values &v);
    int stamp(const Values &v, std::string &body);  // the HTTP status
    int undo(std::string &body);
    std::string point_json(int i, int j) const;
    // A mapped contact, the text of its GeoJSON or CSV file read as
    // tolmar-fit reads one; then how the trace of `v` follows it, and the
    // attitude that fits it.
    int set_contact(const std::string &text, std::string &body);
    std::string misfit_json(const Values &v) const;
    std::string fit_json() const;
    // The traces as a GeoPackage or GeoJSON file's bytes.
    int export_file(const std::string &format, std::string &bytes, std::string &err);
    // Another geometry for a new result set, before its first stamp.
    int set_geometry(const std::string &name, std::string &body);

private:
    Reply serve(const Call &c);
    void picture(const Call &c, Reply &r);
    bool dem_unchanged() const;
    Terrain terrain() const { return dem_.samples.terrain(divisor_, pix_size_); }
    bool start_new(Geometry g, std::string &err);

    std::mutex lock_;
    DemSet dem_;
    double divisor_ = 1;
    int unit_ = 0;
    int pix_size_ = 0;
    ResultSession results_;
    std::vector<std::vector<Cell>> stamped_;  // the cells each treatment stamped, by code less 1
    Work work_;
    Contact contact_;  // the page's, empty until one is sent
    std::string name_, raster_path_, log_path_, repaired_;
    uint8_t background_ = 255;  // of a new result set
    bool carried_on_ = false;
    struct stat dem_stat_ = {};   // the DEM raster as mapped
    bool dem_changed_ = false;    // it changed on disk since
};

}  // namespace tools

#endif
