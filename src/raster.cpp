// raster.cpp: the walk from one cell to another (a floating-point digital
// differential analyser) and its four uses: recording the top and bottom
// sides of the square, counting the first profile ray, and classifying the
// cells of a ray against the plane profile.
#include <cmath>

#include "tolmar.h"

// Walks from (ideb, jdeb) to (ifin, jfin): along the longer axis one cell per
// step, along the other a fraction, each position rounded by adding 0.5 and
// truncating. The loop tests the cell that was current when the step began,
// so the walk goes one step past the end cell (the overshoot cell). Positions
// are accumulated by repeated addition, never recomputed from the step count:
// a position that is a half in exact arithmetic may round either way.
// on_step(ilast, jlast, icrrnt, jcrrnt) runs after each step. Returns false,
// without a step, when start and end coincide. Both ends must be 0 or more,
// or the rounding would never reach the end.
template <typename OnStep>
static bool walk(int ideb, int jdeb, int ifin, int jfin, OnStep on_step) {
    double b = ifin - ideb;
    double a = jfin - jdeb;
    double rmax = fabs(a) > fabs(b) ? fabs(a) : fabs(b);
    if (rmax == 0) return false;
    double dinext = b / rmax, djnext = a / rmax;
    int icrrnt = ideb, jcrrnt = jdeb, ilast = ideb, jlast = jdeb;
    double icrrnt_d = ideb, jcrrnt_d = jdeb;
    while (ilast != ifin || jlast != jfin) {
        ilast = icrrnt;
        jlast = jcrrnt;
        icrrnt_d += dinext;
        jcrrnt_d += djnext;
        icrrnt = static_cast<int>(icrrnt_d + 0.5);
        jcrrnt = static_cast<int>(jcrrnt_d + 0.5);
        on_step(ilast, jlast, icrrnt, jcrrnt);
    }
    return true;
}

// Entries 1 to rmax+2 of (vi, vj) get the cells from the start to the
// overshoot cell; only entry 1 when start and end coincide. Returns the
// number of entries written.
static int record_side(int *vi, int *vj, int ideb, int jdeb, int ifin, int jfin) {
    int ico = 1;
    vi[1] = ideb;
    vj[1] = jdeb;
    walk(ideb, jdeb, ifin, jfin, [&](int, int, int i, int j) {
        ico++;
        vi[ico] = i;
        vj[ico] = j;
    });
    return ico;
}

void limite_t(int ideb, int jdeb, int ifin, int jfin) {
    nb_t = record_side(it, jt, ideb, jdeb, ifin, jfin);
}

void limite_b(int ideb, int jdeb, int ifin, int jfin) {
    nb_b = record_side(ib, jb, ideb, jdeb, ifin, jfin);
}

// num_points: the cells of the walk, its overshoot cell included; 1 when
// start and end coincide.
void trace_droite_deb(int ideb, int jdeb, int ifin, int jfin) {
    num_points = 1;
    walk(ideb, jdeb, ifin, jfin, [](int, int, int, int) { num_points++; });
}

static inline bool inside(int i, int j) { return i >= 0 && i < nb_lig && j >= 0 && j < nb_col; }

// Classifies the cells of one ray, start to end cell. Each step compares the
// plane (fonc) with the terrain (dtab) at the cell it reaches and writes the
// class to the cell it came from: the class of a cell is the comparison one
// cell further up the ray. The overshoot cell is read but never written. A
// step whose cell or compared cell lies outside the raster writes nothing.
void trace_droite(int ideb, int jdeb, int ifin, int jfin) {
    int ico = 1;
    walk(ideb, jdeb, ifin, jfin, [&](int iprov, int jprov, int icrrnt, int jcrrnt) {
        ico++;
        if (!inside(iprov, jprov) || !inside(icrrnt, jcrrnt)) return;
        // Not greater (equal, or a comparison with a NaN) is class 1.
        unsigned char cls = fonc[ico] > dtab[icrrnt][jcrrnt] ? 2 : 1;
        mask_bin[iprov][jprov] = 1;
        mask[iprov][jprov] = cls;
    });
}
