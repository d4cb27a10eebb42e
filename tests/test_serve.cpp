// test_serve.cpp: tolmar-serve through a real HTTP client: its traces are
// the treatment's own, its stamps write the files the console writes for
// the same answers (and carry on an existing set), and it refuses what does
// not come from its own page or does not make sense, and keeps serving.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include <gdal_priv.h>

#include "geo/georef.h"
#include "support.h"

namespace {

using Json = nlohmann::json;

// The bundled Jacksboro DEM in images/jacksboro/ under `t`.
void jacksboro(const TempDir &t) {
    for (const char *f : {"jacksboro_m2.raw", "jacksboro_m2.txt"})
        write_file(t / (std::string("images/jacksboro/") + f), read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/" + f));
}

// A workbench on the Jacksboro DEM in `t`, and a client of it.
struct Bench {
    Live server;
    int port = 0;
    std::unique_ptr<httplib::Client> client;
    explicit Bench(const TempDir &t)
        : server(t.path, false, TOLMAR_SERVE, {"--port", "0", "images/jacksboro/jacksboro_m2.raw"}) {
        if (!server.wait_for("\n")) throw std::runtime_error("no address from tolmar-serve: " + server.printed());
        const std::string url = server.printed().substr(0, server.printed().find('\n'));
        port = std::stoi(url.substr(url.rfind(':') + 1));
        EXPECT_EQ(url, "http://127.0.0.1:" + std::to_string(port) + "/");
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
    }
    Json get(const std::string &path, int status = 200) {
        auto r = client->Get(path.c_str());
        EXPECT_TRUE(r) << path;
        if (!r) return Json();
        EXPECT_EQ(r->status, status) << path << ": " << r->body;
        return Json::parse(r->body, nullptr, false);
    }
    Json stamp(const Json &values, int status = 200) {
        auto r = client->Post("/api/stamp", values.dump(), "application/json");
        EXPECT_TRUE(r);
        if (!r) return Json();
        EXPECT_EQ(r->status, status) << r->body;
        return Json::parse(r->body, nullptr, false);
    }
};

Json values(int row, int column, int dip, int dip_direction, int zone) {
    return {{"row", row}, {"column", column}, {"dip", dip}, {"dip_direction", dip_direction}, {"zone", zone}};
}

std::string results(const TempDir &t) {
    return read_file(t / "images/jacksboro/jacksboro_tolmar.raw") + read_file(t / "images/jacksboro/jacksboro_tolmar.txt");
}

}  // namespace

TEST(Serve, TracesAndStampsAreTheConsolesOwn) {
    TempDir web, console;
    jacksboro(web);
    jacksboro(console);
    {
        Bench b(web);
        const Json info = b.get("/api/info");
        EXPECT_EQ(info["rows"], 344);
        EXPECT_EQ(info["cols"], 403);
        EXPECT_EQ(info["pix_size"], 83);
        EXPECT_EQ(info["code"], 0);
        // The trace asked for is the treatment's, cell for cell.
        DemSamples dem;
        ASSERT_TRUE(dem.allocate(344, 403, 2));
        const std::string raw = read_file(web / "images/jacksboro/jacksboro_m2.raw");
        memcpy(dem.s16(), raw.data(), raw.size());
        Work work;
        // A new set is in true geometry, unless told.
        EXPECT_EQ(info["geometry"], "true");
        const Trace expected = trace(dem.terrain(1, 83), {200, 250, 70, 315, 30}, work, Geometry::exact);
        const Json t = b.get("/api/trace?row=200&column=250&dip=70&dip_direction=315&zone=30");
        EXPECT_EQ(t["verdict"], "traced");
        ASSERT_EQ(t["cells"].size(), expected.cells.size());
        for (size_t k = 0; k < expected.cells.size(); k++)
            EXPECT_EQ(t["cells"][k], Json({expected.cells[k].i, expected.cells[k].j})) << k;
        // Refusals are said as the console says them, and stamp nothing.
        EXPECT_EQ(b.get("/api/trace?row=10&column=10&dip=5&dip_direction=315&zone=30")["message"],
                  "out of the image borders: zone 30 in direction 315 fits reference points on rows 42 to 301 and columns 42 to 360");
        EXPECT_EQ(b.stamp(values(10, 10, 5, 315, 30))["verdict"], "outside_raster");
        EXPECT_EQ(b.stamp(values(100, 100, 5, 315, 0))["message"], "influence zone must be at least 1");
        // Three stamps; after each, the files hold what the console's would.
        const Json first = b.stamp(values(110, 300, 20, 150, 40));
        EXPECT_EQ(first["code"], 1);
        EXPECT_EQ(first["record"]["colour"], "#e6194b");
        EXPECT_EQ(b.stamp(values(110, 300, 5, 150, 40))["code"], 2);
        // The names the page used before, taken for one more release.
        EXPECT_EQ(b.stamp(Json{{"ip", "250"}, {"jp", 100}, {"slope", 2}, {"dir", 135}, {"infl", 50}})["code"], 3);
        EXPECT_EQ(b.get("/api/info")["treatments"].size(), 3u);
    }
    const std::string tolmar_true = std::string("'") + TOLMAR_EXE + "' --geometry true";
    ASSERT_EQ(run_command(console.path, tolmar_true, "jacksboro\njacksboro\n0\n0\n0\n0\n110 300 20 150 40\n2\n5\n0\n250 100 2 135 50\n5\n").status, 0);
    EXPECT_EQ(results(web), results(console));
    // A new workbench carries on the set from code 3.
    {
        Bench b(web);
        EXPECT_EQ(b.get("/api/info")["code"], 3);
        EXPECT_EQ(b.stamp(values(200, 250, 70, 315, 30))["code"], 4);
    }
    TempDir again;
    jacksboro(again);
    ASSERT_EQ(run_command(again.path, tolmar_true, "jacksboro\njacksboro\n0\n0\n0\n0\n110 300 20 150 40\n2\n5\n0\n250 100 2 135 50\n0\n200 250 70 315 30\n5\n").status, 0);
    EXPECT_EQ(results(web), results(again));
}

TEST(Serve, RefusesWhatIsNotItsOwnAndKeepsServing) {
    TempDir t;
    jacksboro(t);
    Bench b(t);
    const std::string own = "127.0.0.1:" + std::to_string(b.port);
    // DNS rebinding: a request naming another host; a page of another origin.
    auto r = b.client->Get("/api/info", {{"Host", "attacker.example:" + std::to_string(b.port)}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    r = b.client->Post("/api/stamp", {{"Origin", "http://attacker.example"}}, values(110, 300, 20, 150, 40).dump(), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    r = b.client->Get("/api/info", {{"Origin", "http://localhost:" + std::to_string(b.port)}});
    EXPECT_EQ(r->status, 200);
    // Bad parameters: a message, never a crash.
    for (const char *path : {"/api/trace", "/api/trace?row=1&column=2&dip=3&dip_direction=4", "/api/trace?row=x&column=2&dip=3&dip_direction=4&zone=5",
                             "/api/trace?row=99999999999&column=2&dip=3&dip_direction=4&zone=5",
                             "/api/picture?i0=0&j0=0&i1=345&j1=403&w=10&h=10", "/api/picture?i0=5&j0=0&i1=5&j1=403&w=10&h=10",
                             "/api/picture?i0=0&j0=0&i1=344&j1=403&w=100000&h=10"}) {
        const Json e = b.get(path, 400);
        EXPECT_TRUE(e.contains("error")) << path;
    }
    for (const std::string &body : {std::string("not json"), std::string("[1,2]"), std::string("{\"ip\": 1.5}")}) {
        r = b.client->Post("/api/stamp", body, "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << body;
    }
    // Bounded requests; nothing but its own page is served.
    r = b.client->Post("/api/stamp", std::string(1 << 20, ' '), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    r = b.client->Post("/api/contact", std::string(5 << 20, ' '), "text/plain");
    EXPECT_TRUE(!r || (r->status == 413 && r->body.find("a contact's file takes at most 4 MB") != std::string::npos))
        << (r ? r->body : "");
    for (const char *path : {"/images/jacksboro/jacksboro_m2.txt", "/../images/jacksboro/jacksboro_m2.txt",
                             "/%2e%2e/%2e%2e/etc/passwd", "/app.js/../../images"}) {
        r = b.client->Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 404) << path;
    }
    EXPECT_EQ(b.get("/api/info")["code"], 0);
    r = b.client->Get("/");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("<label for=\"dip_direction\">Dip direction</label>"), std::string::npos);
    // Still serving, and nothing was stamped.
    EXPECT_EQ(b.stamp(values(110, 300, 20, 150, 40))["code"], 1);
    // Each route answers its one method: an image or a link on any page
    // (a GET) can neither stamp nor undo, and a route says what it takes.
    const std::string before = results(t);
    for (const char *path : {"/api/undo", "/api/stamp?row=110&column=300&dip=20&dip_direction=150&zone=40", "/api/geometry", "/api/fit",
                             "/api/contact"}) {
        r = b.client->Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 405) << path;
        EXPECT_EQ(r->get_header_value("Allow"), "POST") << path;
        EXPECT_NE(r->body.find("takes POST only, not GET"), std::string::npos) << r->body;
    }
    for (const char *path : {"/api/info", "/api/trace", "/", "/api/export"}) {
        r = b.client->Post(path, "{}", "application/json");
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 405) << path;
        EXPECT_EQ(r->get_header_value("Allow"), "GET") << path;
    }
    r = b.client->Delete("/api/stamp");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 405);
    EXPECT_EQ(results(t), before);
    EXPECT_EQ(b.get("/api/info")["code"], 1);
}

TEST(Serve, HoldsOutAgainstSlowClientsHugeNumbersBadBytesAndAChangedDem) {
    TempDir t;
    jacksboro(t);
    Bench b(t);
    // Numbers beyond 32 bits, even beyond 64, and bytes that are no UTF-8: 400.
    EXPECT_EQ(b.stamp({{"row", 110}, {"column", 300}, {"dip", 20}, {"dip_direction", 18446744073709551526ULL}, {"zone", 40}}, 400)["error"],
              "dip_direction is beyond the 32-bit range");
    auto r = b.client->Post("/api/stamp", std::string("{\"row\": \"\xff\xfe\"}"), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << r->body;
    r = b.client->Get("/api/trace?row=%ff%fe&column=2&dip=3&dip_direction=4&zone=5");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << r->body;
    EXPECT_EQ(b.client->Get("/favicon.ico")->status, 200);
    // Ten clients trickling a header byte now and then hold no one else up.
    std::vector<int> slow;
    for (int k = 0; k < 10; k++) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(b.port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        slow.push_back(fd);
    }
    std::atomic<bool> trickling{true};
    std::thread trickle([&] {
        const char *request = "GET /api/info HTTP/1.1\r\nHost: x";
        for (size_t k = 0; trickling && k < strlen(request); k++) {
            for (int fd : slow) send(fd, request + k, 1, MSG_NOSIGNAL);
            usleep(500000);
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(b.get("/api/info")["code"], 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.5);
    trickling = false;
    trickle.join();
    for (int fd : slow) close(fd);
    // The DEM cut short on disk: told, not a crash.
    truncate((t / "images/jacksboro/jacksboro_m2.raw").c_str(), 1000);
    r = b.client->Get("/api/trace?row=200&column=250&dip=70&dip_direction=315&zone=30");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 409);
    EXPECT_NE(r->body.find("changed on disk since the workbench started"), std::string::npos) << r->body;
}

TEST(Serve, ACarriedOnLogMustBeARunLogOfCodesOneByOne) {
    TempDir t;
    jacksboro(t);
    ASSERT_EQ(run_tolmar(t.path, "jacksboro\njacksboro\n0\n0\n0\n0\n110 300 20 150 40\n5\n").status, 0);
    const std::string log = t / "images/jacksboro/jacksboro_tolmar.txt";
    std::string text = read_file(log);
    text.replace(text.find(" code 1 "), 8, " code -5 ");
    write_file(log, text);
    const RunResult r = run_command(t.path, std::string("'") + TOLMAR_SERVE + "' --port 0 images/jacksboro/jacksboro_m2.raw");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("record 1 has code -5; the codes of a run log are 1, 2, 3, ..."), std::string::npos) << r.out;
}

// On a GeoTIFF imported with its lengths multiplied (Olinda: cells of
// 89.99 m stored 167 times larger), the page's readouts speak metres and
// map coordinates as GDAL reads them from the GeoTIFF itself; a contact's
// misfit and fit and an undo go through the same server.
TEST(Serve, ReadoutsInMetresAndMapCoordinatesAndUndoOverHttp) {
    TempDir t;
    const std::string tif = std::string(TOLMAR_EXAMPLES) + "/olinda/olinda_dem_utm25s.tif";
    ASSERT_EQ(run_command(t.path, std::string("'") + TOLMAR_IMPORT + "' '" + tif + "' olinda olinda").status, 0);
    Live server(t.path, false, TOLMAR_SERVE, {"--port", "0", "images/olinda/olinda_m4.raw"});
    ASSERT_TRUE(server.wait_for("\n"));
    const std::string url = server.printed().substr(0, server.printed().find('\n'));
    httplib::Client client("127.0.0.1", std::stoi(url.substr(url.rfind(':') + 1)));
    auto get = [&](const std::string &path, int status) {
        auto r = client.Get(path.c_str());
        EXPECT_TRUE(r && r->status == status) << path << ": " << (r ? r->body : "no answer");
        return r ? Json::parse(r->body, nullptr, false) : Json();
    };
    geo::use_gdal();
    GDALDataset *src = static_cast<GDALDataset *>(GDALOpen(tif.c_str(), GA_ReadOnly));
    ASSERT_TRUE(src);
    double gt[6];
    src->GetGeoTransform(gt);
    const Json info = get("/api/info", 200);
    EXPECT_NEAR(info["pixel_m"].get<double>(), gt[1], 0.01);
    for (const auto &c : {std::make_pair(0, 0), std::make_pair(55, 45), std::make_pair(100, 110)}) {
        float z = 0;
        ASSERT_EQ(src->GetRasterBand(1)->RasterIO(GF_Read, c.second, c.first, 1, 1, &z, 1, 1, GDT_Float32, 0, 0), CE_None);
        const Json p = get("/api/point?i=" + std::to_string(c.first) + "&j=" + std::to_string(c.second), 200);
        EXPECT_NEAR(p["elevation_m"].get<double>(), z, 0.001) << c.first << "," << c.second;
        EXPECT_NEAR(p["x"].get<double>(), gt[0] + (c.second + 0.5) * gt[1], 1e-6);
        EXPECT_NEAR(p["y"].get<double>(), gt[3] + (c.first + 0.5) * gt[5], 1e-6);
    }
    get("/api/point?i=-1&j=0", 400);
    get("/api/misfit?row=100&column=100&dip=10&dip_direction=90&zone=20", 400);  // no contact yet

    // A contact of three map points on a plane's trace: read, measured, fitted.
    auto r = client.Post("/api/contact", "x,y\n1,2\n", "text/csv");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);  // not on the DEM
    std::string csv = "x,y\n";
    for (const auto &c : {std::make_pair(40, 30), std::make_pair(50, 60), std::make_pair(35, 90)})
        csv += std::to_string(gt[0] + (c.second + 0.5) * gt[1]) + "," + std::to_string(gt[3] + (c.first + 0.5) * gt[5]) + "\n";
    r = client.Post("/api/contact", csv, "text/csv");
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "");
    const Json contact = Json::parse(r->body);
    EXPECT_EQ(contact["lines"].size(), 3u);
    EXPECT_NEAR(contact["lines"][1][0][0].get<double>(), 50, 1e-6);
    EXPECT_NEAR(contact["lines"][1][0][1].get<double>(), 60, 1e-6);
    EXPECT_EQ(get("/api/misfit?row=50&column=60&dip=10&dip_direction=90&zone=30", 200)["traced"], true);
    // Three points cannot decide an attitude: no answer, and why.
    r = client.Post("/api/fit", "", "text/plain");
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "");
    const Json fit = Json::parse(r->body);
    EXPECT_EQ(fit["determined"], false) << r->body;
    EXPECT_FALSE(fit.contains("values")) << r->body;
    EXPECT_FALSE(fit["why"].get<std::string>().empty()) << r->body;

    // Undo: nothing of this session to take back, then a stamp taken back
    // byte for byte.
    EXPECT_EQ(client.Post("/api/undo", "", "text/plain")->status, 409);
    const Json first = Json::parse(client.Post("/api/stamp", values(55, 55, 10, 90, 30).dump(), "application/json")->body);
    ASSERT_EQ(first["code"], 1);
    const std::string raster = t / "images/olinda/olinda_tolmar.raw", log = t / "images/olinda/olinda_tolmar.txt";
    const std::string raster1 = read_file(raster), log1 = read_file(log);
    const Json second = Json::parse(client.Post("/api/stamp", values(60, 50, 25, 200, 25).dump(), "application/json")->body);
    ASSERT_EQ(second["code"], 2);
    EXPECT_EQ(second["undoable"], 2);
    r = client.Post("/api/undo", "", "text/plain");
    ASSERT_TRUE(r && r->status == 200);
    EXPECT_EQ(Json::parse(r->body)["code"], 1);
    EXPECT_TRUE(read_file(raster) == raster1);
    EXPECT_TRUE(read_file(log) == log1);
    GDALClose(src);
}

// The workbench holds its set alone through every route: exports, pictures
// and fits read the set inside its process, and a console or a second
// workbench is refused after each of them. Then SIGTERM ends it as the
// console ends: what it stamped durable, no lock or journal left, status
// 128 + 15; and a workbench that stamped nothing leaves nothing.
TEST(Serve, HoldsItsSetAloneThroughEveryRouteAndEndsOnASignalAsTheConsole) {
    TempDir t, console;
    jacksboro(t);
    jacksboro(console);
    Bench b(t);
    ASSERT_EQ(b.stamp(values(110, 300, 20, 150, 40))["code"], 1);
    const std::string set = "images/jacksboro/jacksboro_tolmar.raw and images/jacksboro/jacksboro_tolmar.txt is being written by process";
    auto refused = [&](const std::string &after) {
        RunResult r = run_tolmar(t.path, "jacksboro\njacksboro\n0\n0\n");
        EXPECT_NE(r.out.find(set), std::string::npos) << after << ": " << r.out;
        EXPECT_NE(r.out.find("(tolmar-serve): one writer at a time"), std::string::npos) << after;
        r = run_command(t.path, std::string("'") + TOLMAR_SERVE + "' --port 0 images/jacksboro/jacksboro_m2.raw");
        EXPECT_EQ(r.status, 1) << after << ": " << r.out;
        EXPECT_NE(r.out.find(set), std::string::npos) << after << ": " << r.out;
    };
    refused("a stamp");
    for (const char *route : {"/api/export?format=geojson", "/api/export?format=gpkg", "/api/picture?i0=0&j0=0&i1=344&j1=403&w=200&h=170"}) {
        auto r = b.client->Get(route);
        ASSERT_TRUE(r && r->status == 200) << route;
        refused(route);
    }
    auto r = b.client->Post("/api/contact", "row,column\n100,290\n110,300\n120,310\n104,320\n", "text/csv");
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "");
    r = b.client->Post("/api/fit", "", "text/plain");
    ASSERT_TRUE(r);
    refused("a fit");
    ASSERT_EQ(b.stamp(values(250, 100, 2, 135, 50))["code"], 2);
    b.server.signal(SIGTERM);
    EXPECT_EQ(b.server.finish(), 128 + SIGTERM);
    EXPECT_NE(b.server.printed().find("tolmar-serve: signal 15 (Terminated): the workbench ends; images/jacksboro/jacksboro_tolmar.raw "
                                      "and images/jacksboro/jacksboro_tolmar.txt hold 2 treatments"),
              std::string::npos)
        << b.server.printed();
    ASSERT_EQ(run_command(console.path, std::string("'") + TOLMAR_EXE + "' --geometry true",
                          "jacksboro\njacksboro\n0\n0\n0\n0\n110 300 20 150 40\n0\n250 100 2 135 50\n5\n").status, 0);
    EXPECT_EQ(results(t), results(console));
    for (const char *hidden : {".jacksboro_tolmar.lock", ".jacksboro_tolmar.journal"})
        EXPECT_FALSE(file_exists(t / (std::string("images/jacksboro/") + hidden))) << hidden;

    // A workbench on a new set that gets no stamp.
    Live fresh(t.path, false, TOLMAR_SERVE, {"--port", "0", "--result", "fresh", "images/jacksboro/jacksboro_m2.raw"});
    ASSERT_TRUE(fresh.wait_for("treatments so far\n")) << fresh.printed();
    fresh.signal(SIGINT);
    EXPECT_EQ(fresh.finish(), 128 + SIGINT);
    EXPECT_NE(fresh.printed().find("signal 2 (Interrupt): the workbench ends; no treatment was stamped: nothing is written"),
              std::string::npos)
        << fresh.printed();
    for (const auto &e : std::filesystem::directory_iterator(t / "images/jacksboro"))
        EXPECT_EQ(e.path().filename().string().find("fresh"), std::string::npos) << e.path();
}
