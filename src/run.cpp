// run.cpp: the program's entry and its treatment loop. Runs the start-up
// (opening, lecture, parameters), puts the result files in place, then
// repeats treatments under the menu until Exit or the 250th stamped one,
// telling and writing each; decides the exit status.
#include "run.h"

#include <cstring>
#include <string>

#include "console.h"
#include "formats.h"
#include "loading.h"
#include "opening.h"
#include "state.h"
#include "treatment.h"

namespace {

const char VERSION[] = "tolmar 1.2 (December 2026)";

const char USAGE[] =
    "usage: tolmar [--help | --version]\n"
    "\n"
    "tolmar finds where an inclined geological plane cuts the terrain of a DEM\n"
    "and stamps that trace into a result raster. It takes no other argument:\n"
    "run it in the folder that holds images/, and it asks on the console for\n"
    "the DEM (images/FOLDER/NAME_m2.raw, 16-bit, or NAME_m4.raw, 32-bit, with\n"
    "its descriptor NAME_m2.txt or NAME_m4.txt), the result name, the unit of\n"
    "the samples, the pixel size and the background, then for one treatment\n"
    "after another: the reference point (line and column), the dip, the dip\n"
    "direction and the influence zone. The traces go to\n"
    "images/FOLDER/RESULT_tolmar.raw and the log of the treatments to\n"
    "images/FOLDER/RESULT_tolmar.txt; both are complete after every treatment.\n"
    "\n"
    "Exit status: 0 when the results are written, 1 on a failure, 2 on a\n"
    "misused command line, 128 + N when signal N ended the session (the\n"
    "results written up to then are kept).\n";

Terrain terrain() { return grids.dem.terrain(grids.rescale, files.pix_size); }

// Puts the result files in place of any old ones, filled with the background.
void begin_results() {
    bool replaced = false;
    std::string err;
    if (!files.results.place(session.backgr == 0 ? 255 : 0, replaced, err)) {
        say("\n\n\t%s\n", err.c_str());
        end_run(1);
    }
    if (replaced)
        say("\n\n\tThe result set %s and %s from an earlier run is replaced", files.nomim2.c_str(),
            files.nomdescr2.c_str());
}

// One treatment: computed, then told; a stamped one is written to both
// result files before the menu can show again.
void plan(Work &work) {
    const Values &v = session.values;
    const Outcome o = treatment(terrain(), grids.tab_out, session.code, v, work);
    switch (o.verdict) {
    case Verdict::zone_too_small: say("\n\n\tinfluence zone must be at least 1"); return;
    case Verdict::no_memory: say("\n\n\tnot enough memory for this treatment"); return;
    case Verdict::outside_raster: {
        say("\n\n\tout of the image borders");
        const Fit f = reference_points_that_fit(files.nb_lig, files.nb_col, v.dir, v.infl);
        if (f.empty())
            say("\n\tno reference point of this DEM fits a square of zone %d in direction %d", v.infl, v.dir);
        else
            say("\n\tzone %d in direction %d fits reference points on lines %d to %d and columns %d to %d", v.infl,
                v.dir, f.lo_i, f.hi_i, f.lo_j, f.hi_j);
        return;
    }
    case Verdict::traced: break;
    }
    session.code = o.code;
    std::string err;
    const std::string record = formats::record_text({o.code, v.ip, v.jp, v.slope, v.dir, v.infl});
    if (!files.results.commit(grids.tab_out, o.box, record, err)) {
        say("\n\n\t%s\n", err.c_str());
        session.code--;  // the files hold the treatments before this one
        end_run(1);
    }
    say("\n\n\tcode %d stamped on %lld cell%s%s", o.code, o.cells, o.cells == 1 ? "" : "s",
        session.repeat ? " (a repeat of the last treatment)" : "");
}

const char MENU[] =
    "\n\n\t0 ====> other treatment\n\t1 ====> New reference point"
    "\n\t2 ====> change in dip value\n\t3 ====> change of dip direction"
    "\n\t4 ====> change in size of area of influence\n\t5 ====> Exit\n\t";

// Treatments until Exit or the 250th stamped one. Returns the exit status:
// an end of input, a signal or a failure ends the loop as Exit does, with
// every stamped treatment already in the files.
int treatment_loop() {
    Work work;
    try {
        for (;;) {
            parameters2();
            plan(work);
            if (session.code == 250) {
                say("\n\n\t250 calculations reached");
                say("\n\n\tEnd of the treatment ");
                key_press();
                return 0;
            }
            while ((session.rep_param = read_int(MENU)) > 5)
                say("\n\n\t%d is not on the menu: answer 0 to 5, or a negative number to repeat the last "
                    "treatment",
                    session.rep_param);
            if (session.rep_param == 5) return 0;
        }
    } catch (const EndOfInput &) {
        say("\n\n\tEnd of input: the run ends as on Exit\n");
        return 0;
    } catch (const InputError &e) {
        say("\n\n\tCannot read the answers (%s): the run ends as on Exit\n", e.error.c_str());
        return 1;
    } catch (const Interrupted &e) {
        say("\n\n\tInterrupted by signal %d (%s): the run ends as on Exit\n", e.signal, strsignal(e.signal));
        return 128 + e.signal;
    } catch (const RunEnd &e) {
        return e.status;
    }
}

// Closes the result files, which hold every stamped treatment already.
int save(int status) {
    std::string err;
    if (!files.results.finish(err)) {
        say("\n\n\t%s\n", err.c_str());
        return 1;
    }
    say("\n\n\tWritten: %s and %s, %d treatment%s\n", files.nomim2.c_str(), files.nomdescr2.c_str(),
        session.code, session.code == 1 ? "" : "s");
    return status;
}

}  // namespace

void parameters2() {
    Values &v = session.values;
    const int rep = session.rep_param;
    // A negative answer asks nothing: the last treatment, as it was entered, again.
    session.repeat = rep < 0;
    if (rep == 0 || rep == 1) {
        say("\n\n\tCoordinates of the reference point : ");
        v.ip = read_int("\n\t\tline ? ");
        v.jp = read_int("\t\tcolumn ? ");
    }
    switch (rep) {
    case 0:
        v.slope = read_int("\t\tplane dip (in degrees) ? ");
        v.dir = read_int("\t\tdirection of the slope ? ");
        v.infl = read_int("\t\tinfluence zone ? ");
        break;
    case 2: v.slope = read_int("\n\n\tplane dip (in degrees) ? "); break;
    case 3: v.dir = read_int("\n\n\tdirection of the slope ? "); break;
    case 4: v.infl = read_int("\n\n\tinfluence zone ? "); break;
    default: break;
    }
}

int tolmar_main(int argc, char **argv) {
    for (int k = 1; k < argc; k++) {
        const std::string a = argv[k];
        if (a == "-h" || a == "--help") {
            fputs(USAGE, stdout);
            return 0;
        }
        if (a == "--version") {
            puts(VERSION);
            return 0;
        }
        fprintf(stderr, "tolmar: unknown argument %s\n(tolmar --help tells how to use it)\n", printable(a).c_str());
        return 2;
    }

    catch_signals();
    int status = 0;
    try {
        opening();
        parameters(lecture());
        begin_results();
    } catch (const EndOfInput &) {
        say("\n\n\tEnd of input before the first treatment: nothing is written\n");
        status = 1;
    } catch (const InputError &e) {
        say("\n\n\tCannot read the answers (%s): nothing is written\n", e.error.c_str());
        status = 1;
    } catch (const Interrupted &e) {
        say("\n\n\tInterrupted by signal %d (%s) before the first treatment: nothing is written\n", e.signal,
            strsignal(e.signal));
        status = 128 + e.signal;
    } catch (const RunEnd &e) {
        status = e.status;
    }
    if (files.results.placed()) status = save(treatment_loop());
    else files.results.discard();
    fflush(console.out);
    // A signal that ended a wait for a key ends the run like any other.
    if (caught_signal() != 0 && status < 128) status = 128 + caught_signal();
    release_signals();
    return status;
}
