// dialogue.cpp: the program's entry and its treatment loop. Runs the
// start-up (the file set, the DEM, its elevations), puts the result files in
// place, then repeats treatments under the menu until Exit or the 250th
// stamped one, each stamped through the session core and told; decides the
// exit status.
#include "console/dialogue.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/version.h"
#include "console/loading.h"
#include "console/opening.h"
#include "files/formats.h"
#include "options/options.h"

namespace {

const char VERSION[] = "tolmar " TOLMAR_VERSION " (" TOLMAR_VERSION_DATE ")";

const char USAGE[] =
    "usage: tolmar [--geometry classic|true] [--help | --version]\n"
    "\n"
    "tolmar finds where an inclined geological plane cuts the terrain of a DEM\n"
    "and stamps that trace into a result raster. Run it in the folder that\n"
    "holds images/, and it asks on the console for\n"
    "the DEM (images/FOLDER/NAME_m2.raw, 16-bit, or NAME_m4.raw, 32-bit, with\n"
    "its descriptor NAME_m2.txt or NAME_m4.txt), the result name, the unit of\n"
    "the samples, the pixel size and the background, then for one treatment\n"
    "after another: the reference point (line and column), the dip, the dip\n"
    "direction and the influence zone. The traces go to\n"
    "images/FOLDER/RESULT_tolmar.raw and the log of the treatments to\n"
    "images/FOLDER/RESULT_tolmar.txt; both are complete after every treatment.\n"
    "\n"
    "\n"
    "  --geometry classic  the trace of the classic program (the default): the\n"
    "                      rays of the square count distances in cells whatever\n"
    "                      their direction, so an oblique trace sits off the ground\n"
    "  --geometry true     the trace where the plane meets the ground, distances\n"
    "                      measured along both axes; the result set says so\n"
    "  --version           the version\n"
    "  -h, --help          this text\n"
    "\n"
    "Exit status: 0 when the results are written, 1 on a failure, 2 on a\n"
    "misused command line, 128 + N when signal N ended the session (the\n"
    "results written up to then are kept).\n";

// The treatments begin: an earlier result set of this name is replaced by
// the new one at its first stamped treatment.
void begin_results(Run &run) {
    if (run.earlier_set)
        run.con.say("\n\n\tThe result set %s and %s from an earlier run is replaced", run.result_raster.c_str(),
                    run.result_log.c_str());
    run.ready = true;
}

// One treatment, stamped through the session core, then told.
void treat(Run &run, Work &work) {
    Console &con = run.con;
    const Stamp s = run.results.stamp(run.terrain(), run.values, work);
    switch (s.kind) {
    case Stamp::refused:
        con.say("\n\n\t%s", s.message.c_str());
        if (!s.detail.empty()) con.say("\n\t%s", s.detail.c_str());
        return;
    case Stamp::failed:
    case Stamp::full:
        con.say("\n\n\t%s\n", s.message.c_str());
        end_run(1);
    case Stamp::stamped: break;
    }
    con.say("\n\n\tcode %d stamped on %lld cell%s%s", s.code, s.cells, s.cells == 1 ? "" : "s",
            run.repeat ? " (a repeat of the last treatment)" : "");
}

const char MENU[] =
    "\n\n\t0 ====> other treatment\n\t1 ====> New reference point"
    "\n\t2 ====> change in dip value\n\t3 ====> change of dip direction"
    "\n\t4 ====> change in size of area of influence\n\t5 ====> Exit\n\t";

// Treatments until Exit or the 250th stamped one. Returns the exit status:
// an end of input, a signal or a failure ends the loop as Exit does, with
// every stamped treatment already in the files.
int treatment_loop(Run &run) {
    Console &con = run.con;
    Work work;
    try {
        for (;;) {
            ask_treatment_values(run);
            treat(run, work);
            if (run.results.full()) {
                con.say("\n\n\t%s", LIMIT_REACHED);
                con.say("\n\n\tEnd of the treatment (press a key) ");
                con.key_press();
                return 0;
            }
            while ((run.menu = con.read_int(MENU)) > 5)
                con.say("\n\n\t%d is not on the menu: answer 0 to 5, or a negative number to repeat the last "
                        "treatment",
                        run.menu);
            if (run.menu == 5) return 0;
        }
    } catch (const EndOfInput &) {
        con.say("\n\n\tEnd of input: the run ends as on Exit\n");
        return 0;
    } catch (const InputError &e) {
        con.say("\n\n\tCannot read the answers (%s): the run ends as on Exit\n", e.error.c_str());
        return 1;
    } catch (const Interrupted &e) {
        con.say("\n\n\tInterrupted by signal %d (%s): the run ends as on Exit\n", e.signal, strsignal(e.signal));
        return 128 + e.signal;
    } catch (const RunEnd &e) {
        return e.status;
    }
}

// Closes the result files, which hold every stamped treatment already. A
// session that stamped nothing writes its empty set, unless an earlier set
// of that name is there: that one is kept as it was.
int finish(Run &run, int status) {
    std::string err;
    bool replaced;
    if (!run.results.placed() && run.earlier_set) {
        run.results.discard();
        run.con.say("\n\n\tNo treatment was stamped: the result set %s and %s from an earlier run is kept as it was\n",
                    run.result_raster.c_str(), run.result_log.c_str());
        return status;
    }
    if (!run.results.placed() && !run.results.place(replaced, err)) {
        run.con.say("\n\n\t%s\n", err.c_str());
        return 1;
    }
    if (!run.results.finish(err)) {
        run.con.say("\n\n\t%s\n", err.c_str());
        return 1;
    }
    const int code = run.results.code();
    run.con.say("\n\n\tWritten: %s and %s, %d treatment%s\n", run.result_raster.c_str(), run.result_log.c_str(),
                code, code == 1 ? "" : "s");
    return status;
}

}  // namespace

Run::~Run() {
    if (dem_fd >= 0) close(dem_fd);
}

void ask_treatment_values(Run &run) {
    Console &con = run.con;
    Values &v = run.values;
    const int menu = run.menu;
    // A negative answer asks nothing: the last treatment, as it was entered, again.
    run.repeat = menu < 0;
    if (menu == 0 || menu == 1) {
        con.say("\n\n\tCoordinates of the reference point : ");
        v.row = con.read_int("\n\t\tline ? ");
        v.column = con.read_int("\t\tcolumn ? ");
    }
    switch (menu) {
    case 0:
        v.dip = con.read_int("\t\tplane dip (in degrees) ? ");
        v.dip_direction = con.read_int("\t\tdirection of the slope ? ");
        v.zone = con.read_int("\t\tinfluence zone ? ");
        break;
    case 2: v.dip = con.read_int("\n\n\tplane dip (in degrees) ? "); break;
    case 3: v.dip_direction = con.read_int("\n\n\tdirection of the slope ? "); break;
    case 4: v.zone = con.read_int("\n\n\tinfluence zone ? "); break;
    default: break;
    }
    for (const std::string &note : attitude_notes(v, menu == 0 || menu == 2, menu == 0 || menu == 3))
        con.say("\n\t(%s)", note.c_str());
}

int run_session(Console &con, FileSystem &fs, Geometry geometry) {
    Run run(con, fs);
    run.geometry = geometry;
    int status = 0;
    try {
        open_file_set(run);
        ask_elevations(run, read_dem(run));
        begin_results(run);
    } catch (const EndOfInput &) {
        con.say("\n\n\tEnd of input before the first treatment: nothing is written\n");
        status = 1;
    } catch (const InputError &e) {
        con.say("\n\n\tCannot read the answers (%s): nothing is written\n", e.error.c_str());
        status = 1;
    } catch (const Interrupted &e) {
        con.say("\n\n\tInterrupted by signal %d (%s) before the first treatment: nothing is written\n", e.signal,
                strsignal(e.signal));
        status = 128 + e.signal;
    } catch (const RunEnd &e) {
        status = e.status;
    }
    if (run.ready) status = finish(run, treatment_loop(run));
    else run.results.discard();
    con.flush();
    return status;
}

int tolmar_main(int argc, char **argv) {
    opt::Command command;
    command.tool = "tolmar";
    command.head = USAGE;
    command.options = {opt::geometry_option("", "classic"), {"--version", "", 0, "", ""}};
    command.help_line = "";
    command.unknown = command.one_more = "unknown argument ";
    // A raster named on the command line, as with a GIS's tools: tolmar asks
    // for its DEM in the dialogue, from images/, in its own format.
    for (int k = 1; k < argc; k++) {
        const std::string word = argv[k];
        struct stat st;
        if (word.empty() || word[0] == '-' || (k > 1 && std::string(argv[k - 1]) == "--geometry")) continue;
        if (formats::foreign_raster_name(word) || formats::dem_width_of_name(word) != 0 || stat(word.c_str(), &st) == 0) {
            std::string name = formats::name_of(word);
            name = name.substr(0, name.find('.'));
            if (formats::ends_with(name, "_m2") || formats::ends_with(name, "_m4")) name.resize(name.size() - 3);
            if (!formats::single_name(name)) name = "NAME";
            const std::string import = formats::dem_width_of_name(word) != 0
                                           ? "it is a tolmar DEM already: put it (and its descriptor) in images/FOLDER/"
                                           : "bring it in first:\n  tolmar-import " + formats::printable(word, 200) + " FOLDER " + name;
            return opt::usage_error("tolmar", formats::printable(word, 200) +
                                                  ": tolmar takes no file on its command line; it asks for its DEM on the console, "
                                                  "from images/FOLDER/ in its own format: " + import +
                                                  "\nthen run tolmar in the folder that holds images/ and answer FOLDER and " + name);
        }
    }
    opt::Line line;
    const int done = opt::parse(command, argc, argv, line);
    if (done >= 0) return done;
    if (line.has("--version")) {
        puts(VERSION);
        return 0;
    }
    Geometry geometry = Geometry::classic;
    geometry_of_name(line.value("--geometry", "classic").c_str(), geometry);

    catch_signals();
    Console con;
    int status = run_session(con, FileSystem::real(), geometry);
    // A signal that ended a wait for a key ends the run like any other.
    if (caught_signal() != 0 && status < 128) status = 128 + caught_signal();
    release_signals();
    return status;
}
