// state.cpp: the one definition of every process-wide variable declared in
// tolmar.h, and reset_state(), which puts them all back to program start.
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "../LIB/nrutil.h"
#include "tolmar.h"

const double pi = atan(1.0) * 4;
const double api = static_cast<double>((1.0L / 180.0L) * pi);

FILE *con_in = stdin;
FILE *con_out = stdout;

int ip, jp, slope, dir, dir_orig, infl;
int ip_prov, jp_prov, slope_prov, dir_prov, infl_prov;
int rep_param, code, backgr;

char nomdir[PATH_MAX_CHARS + 1], nomfic1[PATH_MAX_CHARS + 1], nomfic[PATH_MAX_CHARS + 1];
char nomim1[PATH_MAX_CHARS + 1], nomdescr1[PATH_MAX_CHARS + 1];
char nomim2[PATH_MAX_CHARS + 1], nomdescr2[PATH_MAX_CHARS + 1];
int rep, itype, nb_lig, nb_col, val, min_al, max_al, pix_size;
FILE *f1, *f1d, *f2, *f2d;
bool results_created;

unsigned char **tab, **tab_out, **mask, **mask_bin;
int **itab;
unsigned short **itab2;
double **dtab;

int *it, *jt, *ib, *jb;
double *fonc;
int nb_t, nb_b, nb_fonc, num_points;
int i_c, j_c, i_lb, j_lb, i_lt, j_lt, i_rt, j_rt, i_rb, j_rb;
int box_i0, box_i1 = -1, box_j0, box_j1 = -1;
bool whole_raster;

static void close_file(FILE *&f) {
    if (f != nullptr) fclose(f);
    f = nullptr;
}

void reset_state() {
    con_in = stdin;
    con_out = stdout;
    ip = jp = slope = dir = dir_orig = infl = 0;
    ip_prov = jp_prov = slope_prov = dir_prov = infl_prov = 0;
    rep_param = code = backgr = 0;

    for (char *s : {nomdir, nomfic1, nomfic, nomim1, nomdescr1, nomim2, nomdescr2})
        memset(s, 0, PATH_MAX_CHARS + 1);
    close_file(f1);
    close_file(f1d);
    close_file(f2);
    close_file(f2d);
    results_created = false;

    frucmatrice(tab, nb_lig);
    frucmatrice(tab_out, nb_lig);
    frucmatrice(mask, nb_lig);
    frucmatrice(mask_bin, nb_lig);
    frimatrice(itab, nb_lig);
    frusmatrice(itab2, 1);
    frdmatrice(dtab, nb_lig);
    tab = tab_out = mask = mask_bin = nullptr;
    itab = nullptr;
    itab2 = nullptr;
    dtab = nullptr;
    rep = itype = nb_lig = nb_col = val = min_al = max_al = pix_size = 0;

    release_vectors();
    nb_t = nb_b = nb_fonc = num_points = 0;
    i_c = j_c = i_lb = j_lb = i_lt = j_lt = i_rt = j_rt = i_rb = j_rb = 0;
    box_i0 = box_j0 = 0;
    box_i1 = box_j1 = -1;
    whole_raster = false;
}
