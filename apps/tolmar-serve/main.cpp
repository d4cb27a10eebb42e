// main.cpp: tolmar-serve, a workbench in the browser on the same files
// as the console: tolmar-serve [options] DEM.raw. It listens on 127.0.0.1
// only and serves a page that shows the DEM's hillshade, draws the trace of
// the values being chosen as they change and stamps it, as the next
// treatment, into the very files the console writes.
#include <httplib.h>
#include <malloc.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <string>

#include "files/formats.h"
#include "options/ending.h"
#include "options/options.h"
#include "workbench/workbench.h"

namespace {

const char TOOL[] = "tolmar-serve";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-serve [options] DEM.raw\n"
        "\n"
        "A workbench in the browser for the DEM file set DEM.raw (NAME_m2.raw or\n"
        "NAME_m4.raw with its descriptor): it shows the terrain, draws the trace of\n"
        "the point, dip, dip direction and zone you choose as they change, and\n"
        "stamps it on \"Stamp\" as the next treatment into R_tolmar.raw and\n"
        "R_tolmar.txt beside the DEM, the files the console writes, carrying on\n"
        "an existing result set from its last code. The first line printed is the\n"
        "address to open; it listens on 127.0.0.1 only.\n"
        "\n";
    const std::string whole = " must be a whole number, not \"{}\"";
    c.options = {
        opt::whole_in({"--port", "", 1, "  --port N          the port (default 8040; 0 picks a free one)\n", ""}, 0, 65535, "",
                      "--port" + whole, "--port out of range: {}"),
        opt::unit_option("  --unit U          unit of the samples: m, dm, cm or mm (default: the\n"
                         "                    imported DEM's own, else m)\n"),
        opt::whole_in({"--pixel-size", "", 1, "  --pixel-size N    the pixel size, when the descriptor gives none\n", ""}, 1,
                      2147483647, "metres", "--pixel-size" + whole, "--pixel-size out of range: {}"),
        opt::of_kind({"--result", "", 1, "  --result NAME     the result set R (default: the DEM's name)\n", ""}, opt::Kind::name,
                     "--result takes a single name, not {}"),
        opt::background_option("  --background B    white (default) or black, for a new result set\n"),
        opt::geometry_option("  --geometry G      true (default: where the plane meets the ground) or\n"
                             "                    classic, for a new result set; a set\n"
                             "                    carried on keeps its own\n",
                             "true"),
    };
    c.options[0].fallback = "8040";
    c.arguments = {"DEM.raw"};
    c.min_args = c.max_args = 1;
    c.missing = "needs the DEM raster DEM.raw";
    c.one_more = "one DEM only, not also ";
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    // Pictures are built and freed by many request threads; with a heap of
    // its own for each, the freed buffers stay with the process. Two heaps
    // keep its own memory under a tenth of a byte a DEM cell.
    mallopt(M_ARENA_MAX, 2);
    opt::Line line;
    int status = opt::parse(command(), argc, argv, line);
    if (status >= 0) return status;
    tools::WorkbenchOptions o;
    const int port = line.whole("--port", 8040);
    o.dem = line.args[0];
    o.pixel_size = line.whole("--pixel-size", 0);
    o.unit = line.unit();
    o.black = line.value("--background") == "black";
    Geometry g;
    if (line.has("--geometry") && geometry_of_name(line.value("--geometry").c_str(), g)) o.geometry = g;
    o.result = line.value("--result");

    // Ctrl-C, SIGTERM and SIGHUP stop the server; the session then ends as
    // the console's does.
    httplib::Server svr;
    std::atomic<bool> given_up{false};
    opt::Ending ending([&] {
        while (!given_up.load()) {
            if (svr.is_running()) {
                svr.stop();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    struct GiveUp {
        std::atomic<bool> &flag;
        ~GiveUp() { flag = true; }
    } give_up{given_up};

    tools::Workbench bench;
    std::string err;
    const auto t0 = std::chrono::steady_clock::now();
    if (!bench.open(o, err)) return opt::failure(TOOL, err);
    const double load_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();

    svr.set_payload_max_length(tools::CONTACT_BODY);
    // A slow client holds its own thread for a second at most a read, and
    // there are threads enough that a few of them hold no one else up.
    svr.new_task_queue = [] { return new httplib::ThreadPool(64); };
    svr.set_read_timeout(1, 0);
    svr.set_write_timeout(5, 0);
    svr.set_keep_alive_timeout(2);
    // An answer goes out as soon as it is written: its body, sent after its
    // headers, would otherwise wait for their acknowledgement, which the
    // browser delays up to 40 ms.
    svr.set_tcp_nodelay(true);
    // The port is this server's alone: SO_REUSEADDR lets it listen again at
    // once after a restart, but not SO_REUSEPORT, with which a second server
    // would share the port and take half its requests.
    svr.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    const int bound = port == 0 ? svr.bind_to_any_port("127.0.0.1") : (svr.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound < 0) {
        const int e = errno;
        return opt::failure(TOOL, "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                      (e == EADDRINUSE ? "the port is in use (another tolmar-serve?): give --port N, or --port 0 for "
                                                         "a free one"
                                                       : strerror(e)));
    }
    bench.route(svr, bound);
    const ResultSession &r = bench.results();
    printf("http://127.0.0.1:%d/\n", bound);
    if (!bench.repaired().empty())
        printf("tolmar-serve: %s was left by a run that was stopped: %s\n", bench.raster_path().c_str(), bench.repaired().c_str());
    printf("tolmar-serve: %s, %d x %d cells, loaded in %.0f ms; results %s %s and %s, %d treatments so far\n",
           o.dem.c_str(), bench.dem().rows(), bench.dem().cols(), load_ms, r.placed() ? "carried on in" : "to go to",
           bench.raster_path().c_str(), bench.log_path().c_str(), r.code());
    fflush(stdout);
    const bool listened = ending.signal() != 0 || svr.listen_after_bind();
    given_up = true;
    std::string said;
    const bool closed = bench.close(said);
    if (ending.signal() != 0) {
        printf("%s: %s: the workbench ends; %s\n", TOOL, opt::signal_words(ending.signal()).c_str(), said.c_str());
        fflush(stdout);
        return closed ? 128 + ending.signal() : opt::failure(TOOL, said);
    }
    if (!closed) return opt::failure(TOOL, said);
    if (!listened) return opt::failure(TOOL, "the server stopped");
    return 0;
}
