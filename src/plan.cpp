// plan.cpp: one treatment. Turns the dip direction into corner angles, gets
// the influence square and checks it against the raster, rasterises its
// sides, builds the plane profile, casts the rays, runs the four phases of
// classification, then counts, stamps and logs the treatment.
//
// Only the cells the square's rays can reach are ever touched: the work
// grids are cleared, classified and stamped over the bounding box of the
// side entries (every ray runs between two of them), so a treatment costs
// what its square covers, whatever the size of the raster.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "../LIB/nrutil.h"
#include "tolmar.h"

// An angle beyond the 32-bit range (only from answers near its ends) is
// replaced by the same direction within 0..359.
static int as_angle(long long a) {
    if (a > INT_MAX || a < INT_MIN) a %= 360;
    return static_cast<int>(a);
}

static long long wrap_once(long long a) { return a > 360 ? a - 360 : a; }

static bool row_ok(int i) { return i >= 0 && i < nb_lig; }
static bool col_ok(int j) { return j >= 0 && j < nb_col; }

// Zeroes mask, mask_bin and tab where the last treatment may have written
// (everywhere, in the reference mode).
static void clear_work_grids() {
    int r0 = box_i0, r1 = box_i1, c0 = box_j0, c1 = box_j1;
    if (whole_raster) {
        r0 = 0;
        r1 = nb_lig - 1;
        c0 = 0;
        c1 = nb_col - 1;
    }
    if (r0 <= r1 && c0 <= c1) {
        const size_t n = static_cast<size_t>(c1 - c0 + 1);
        for (unsigned char **g : {mask, mask_bin, tab})
            for (int i = r0; i <= r1; i++) memset(g[i] + c0, 0, n);
    }
    box_i0 = box_j0 = 0;
    box_i1 = box_j1 = -1;
}

// The box of every side entry, clipped to the raster: every ray runs between
// a bottom and a top entry, and a walk's cells lie within its ends' box.
static void set_work_box() {
    int i0 = INT_MAX, i1 = INT_MIN, j0 = INT_MAX, j1 = INT_MIN;
    auto add = [&](const int *vi, const int *vj, int n) {
        for (int k = 1; k <= n; k++) {
            i0 = std::min(i0, vi[k]);
            i1 = std::max(i1, vi[k]);
            j0 = std::min(j0, vj[k]);
            j1 = std::max(j1, vj[k]);
        }
    };
    add(it, jt, nb_t);
    add(ib, jb, nb_b);
    box_i0 = std::max(i0, 0);
    box_i1 = std::min(i1, nb_lig - 1);
    box_j0 = std::max(j0, 0);
    box_j1 = std::min(j1, nb_col - 1);
}

void release_vectors() {
    frivecteur(it);
    frivecteur(jt);
    frivecteur(ib);
    frivecteur(jb);
    frdvecteur(fonc);
    it = jt = ib = jb = nullptr;
    fonc = nullptr;
}

static long long extent(int i0, int j0, int i1, int j1) {
    return std::max(std::llabs(static_cast<long long>(i1) - i0),
                    std::llabs(static_cast<long long>(j1) - j0));
}

// The side vectors hold 2*infl+3 elements, or more when a corner truncated
// outwards makes a side longer than the square's.
static bool create_side_vectors(long long vect) {
    long long n_t = std::max(vect + 2, extent(i_lt, j_lt, i_rt, j_rt) + 3);
    long long n_b = std::max(vect + 2, extent(i_lb, j_lb, i_rb, j_rb) + 3);
    if (n_t > INT_MAX || n_b > INT_MAX) return false;
    it = ivecteur(static_cast<int>(n_t));
    jt = ivecteur(static_cast<int>(n_t));
    ib = ivecteur(static_cast<int>(n_b));
    jb = ivecteur(static_cast<int>(n_b));
    return it && jt && ib && jb;
}

// The plane's elevation along a ray: alti_m at mid-ray, rising by pas per
// position from alti_b at position 1, accumulated by repeated addition. Every
// position a ray can read is computed, also beyond 2*infl+1 (rays whose ends
// were rounded apart read one or two positions further).
static bool build_profile(long long vect, int rays) {
    long long longest = 0;
    for (int k = 1; k <= rays; k++) longest = std::max(longest, extent(ib[k], jb[k], it[k], jt[k]));
    long long n = std::max(vect + 2, longest + 3);
    if (n > INT_MAX) return false;
    nb_fonc = static_cast<int>(n);
    fonc = dvecteur(nb_fonc);
    if (fonc == nullptr) return false;

    double alti_m = dtab[ip][jp];
    double fpix_size = pix_size;
    double med_point = num_points * 0.5;
    double dist = med_point;
    double dif_alti = tan(slope * api) * (dist * fpix_size);
    double alti_b = alti_m - dif_alti;
    double pas = (dif_alti * 2) / (dist * 2 - 1);
    double step = alti_b;
    fonc[1] = step;
    for (int p = 2; p < nb_fonc; p++) {
        step = step + pas;
        fonc[p] = step;
    }
    return true;
}

void corner_angles(int &dir_lb, int &dir_lt, int &dir_rt, int &dir_rb) {
    long long turned = 90LL - dir;
    if (turned < 0) turned += 360;
    long long lb = wrap_once(turned + 45);
    long long lt = wrap_once(lb + 90);
    long long rt = wrap_once(lt + 90);
    long long rb = wrap_once(rt + 90);
    dir = as_angle(turned);
    dir_lb = as_angle(lb);
    dir_lt = as_angle(lt);
    dir_rt = as_angle(rt);
    dir_rb = as_angle(rb);
}

void plan() {
    release_vectors();
    clear_work_grids();

    int dir_lb, dir_lt, dir_rt, dir_rb;
    corner_angles(dir_lb, dir_lt, dir_rt, dir_rb);
    corners(dir_lb, 1);
    corners(dir_lt, 2);
    corners(dir_rt, 3);
    corners(dir_rb, 4);

    if (infl < 1) {
        say("\n\n\tinfluence zone must be at least 1");
        return;
    }
    if (!row_ok(i_lt) || !col_ok(j_lt) || !row_ok(i_rt) || !col_ok(j_rt) || !row_ok(i_lb) ||
        !col_ok(j_lb) || !row_ok(i_rb) || !col_ok(j_rb)) {
        say("\n\n\tout of the image borders");
        return;
    }

    const long long vect = 2LL * infl + 1;
    if (!create_side_vectors(vect)) {
        release_vectors();
        say("\n\n\tnot enough memory for this treatment");
        return;
    }
    limite_t(i_lt, j_lt, i_rt, j_rt);
    limite_b(i_lb, j_lb, i_rb, j_rb);
    trace_droite_deb(ib[1], jb[1], it[1], jt[1]);
    // A ray is cast only between two written entries.
    const int rays = std::min(num_points, std::min(nb_t, nb_b));
    if (!build_profile(vect, rays)) {
        release_vectors();
        say("\n\n\tnot enough memory for this treatment");
        return;
    }
    set_work_box();

    for (int k = 1; k <= rays; k++) trace_droite(ib[k], jb[k], it[k], jt[k]);

    // The phases and the stamping look at interior cells only.
    int r0 = std::max(box_i0, 1), r1 = std::min(box_i1, nb_lig - 2);
    int c0 = std::max(box_j0, 1), c1 = std::min(box_j1, nb_col - 2);
    if (whole_raster) {
        r0 = c0 = 1;
        r1 = nb_lig - 2;
        c1 = nb_col - 2;
    }
    fill_gaps(r0, r1, c0, c1);
    vote_holes(r0, r1, c0, c1);
    extract_contour(r0, r1, c0, c1);
    clean_corners(r0, r1, c0, c1);

    code = code + 1;
    for (int i = r0; i <= r1; i++)
        for (int j = c0; j <= c1; j++)
            if (tab[i][j] == 255) tab_out[i][j] = static_cast<unsigned char>(code);
    write_record();
    // The vectors stay until the next treatment starts (or the state is reset).
}
