// tolmar.h: the process-wide state of a run, declared once, and the functions
// of each role of the program. Every variable is defined in state.cpp and is
// zero (or null) at program start; reset_state() puts all of it back there.
//
// Grid conventions, shared by every role:
//
//          column 0 ... j ...  nb_col-1            NW  N  NE      1   2   4
//   row 0   +--------------------+                  W  .  E     128   .   8
//     .     |      border        |                 SW  S  SE     64  32  16
//     i     |   +------------+   |
//     .     |   |  interior  |   |          rows grow downwards (north is row 0),
//           |   +------------+   |          columns grow to the right (east);
//  nb_lig-1 +--------------------+          the interior is rows 1..nb_lig-2 and
//                                           columns 1..nb_col-2.
//
// The right-hand block gives the weight of each neighbour in the neighbour
// code of the corner clean-up (classify.cpp).
#ifndef TOLMAR_TOLMAR_H
#define TOLMAR_TOLMAR_H

#include <cstdio>
#include <string>

// ===================== Constants ==========================================
extern const double pi;   // 4 * atan(1)
extern const double api;  // degrees to radians, pi / 180

// Longest path text, without its terminator; path buffers hold one more.
constexpr int PATH_MAX_CHARS = 127;

// ===================== Console ============================================
extern FILE *con_in;   // where answers are read: stdin unless a test says otherwise
extern FILE *con_out;  // where prompts and messages go: stdout unless a test says otherwise

// ===================== Treatment parameters (dialogue.cpp) ================
extern int ip, jp;        // row and column of the reference point
extern int slope;         // plane dip, whole degrees
extern int dir;           // dip direction as entered (compass degrees, 0 = row 0,
                          // 90 = growing columns); plan() turns it in place
extern int dir_orig;      // dip direction as entered, for the run log
extern int infl;          // influence zone: half-side of the square, in cells
extern int ip_prov, jp_prov, slope_prov, dir_prov, infl_prov;  // last treatment as given
extern int rep_param;     // last menu answer, 0 before the first treatment
extern int code;          // treatments stamped so far, 0..250; also the stamp value
extern int backgr;        // background answer: 0 white (255), otherwise black (0)

// ===================== File set (opening.cpp) =============================
extern char nomdir[PATH_MAX_CHARS + 1];     // folder name as typed
extern char nomfic1[PATH_MAX_CHARS + 1];    // DEM name as typed
extern char nomfic[PATH_MAX_CHARS + 1];     // result name
extern char nomim1[PATH_MAX_CHARS + 1];     // DEM raster path
extern char nomdescr1[PATH_MAX_CHARS + 1];  // DEM descriptor path
extern char nomim2[PATH_MAX_CHARS + 1];     // result raster path
extern char nomdescr2[PATH_MAX_CHARS + 1];  // result descriptor and run log path
extern int rep;           // answer to the result-name question: 0 keep, 1 new
extern int itype;         // DEM type answer: 0 16-bit unsigned, anything else 32-bit signed
extern int nb_lig;        // rows of the DEM and of every grid
extern int nb_col;        // columns of the DEM and of every grid
extern int val;           // bytes per sample from the descriptor; 1 once the result header is written
extern int min_al, max_al;  // minimum and maximum fields of the DEM descriptor (read, not used)
extern int pix_size;      // ground length of one cell, whole units; 0 = not given yet
extern FILE *f1;          // DEM raster, open from opening() until lecture() closes it
extern FILE *f1d;         // DEM descriptor, open only while opening() reads or makes it
extern FILE *f2;          // result raster, created by opening(), written and closed by save()
extern FILE *f2d;         // result descriptor and run log, created by opening(), closed by save()
extern bool results_created;  // this run has created f2 and f2d (removed again if it ends before the loop)

// ===================== Grids (nb_lig rows x nb_col columns) ===============
extern unsigned char **tab;       // this treatment's trace: 255 on trace cells, else 0
extern unsigned char **tab_out;   // result raster: 0, or the code of the last trace through the cell
extern unsigned char **mask;      // side class: 0 unclassified, 1 plane at or below the terrain,
                                  // 2 plane above it
extern unsigned char **mask_bin;  // 1 exactly where mask is not 0
extern int **itab;                // DEM samples as read
extern unsigned short **itab2;    // staging row of a 16-bit DEM (a grid of one row), released once loaded
extern double **dtab;             // terrain elevation, metres

// ===================== One treatment (plan.cpp and below) =================
extern int *it, *jt;      // top side entries (rows, columns) from index 1, left-top corner first
extern int *ib, *jb;      // bottom side entries from index 1, left-bottom corner first
extern double *fonc;      // plane profile: fonc[p] is the plane's elevation at position p of a ray
extern int nb_t, nb_b;    // entries written on the top and bottom sides (the overshoot included)
extern int nb_fonc;       // elements of fonc (positions 1..nb_fonc-1 are computed)
extern int num_points;    // positions of the first ray (left side), also the number of rays
extern int i_c, j_c;      // corner computed by the last corners() call
extern int i_lb, j_lb, i_lt, j_lt, i_rt, j_rt, i_rb, j_rb;  // corners: left-bottom,
                          // left-top, right-top, right-bottom
// Cells of the work grids (mask, mask_bin, tab) that the last treatment may
// have written, as an inclusive row and column range; empty when box_i0 > box_i1.
extern int box_i0, box_i1, box_j0, box_j1;
// When true every treatment clears, classifies and stamps over the whole
// raster, as the reference the bounded passes are tested against.
extern bool whole_raster;

// Puts every variable above back to its program-start value, releasing the
// grids, vectors and files the run holds. Tests call it before each case.
void reset_state();

// ===================== Entry and dialogue (dialogue.cpp) ==================
// How a run ends early: thrown by the file layer, caught by tolmar_main().
struct RunEnd {
    int status;
};
// Thrown by the console readers at end of input.
struct EndOfInput {};

[[noreturn]] void end_run(int status);
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int read_int(const char *prompt);
std::string read_word(const char *prompt);
void key_press();
void parameters2();
int tolmar_main();

// ===================== File set and opening (opening.cpp) =================
void opening();
// Reads the six numbers of a DEM descriptor into nb_lig, nb_col, val, min_al,
// max_al and pix_size; a number beyond the 32-bit range ends the run.
void read_descriptor(FILE *f);
void allocate_grids();
void remove_results();

// ===================== Loading (loading.cpp) ===============================
void lecture();
void parameters();

// ===================== Result files (results.cpp) ==========================
FILE *open_or_fail(const char *path, const char *mode);
void write_or_fail(FILE *f, const char *path, bool ok);
void write_header();
void write_pix_size();
void write_record();
void apply_background();
void save();

// ===================== Trace driver (plan.cpp) =============================
// Turns dir (compass degrees as entered) in place into degrees counter-
// clockwise from the direction of growing columns, and gives the angles of the
// left-bottom, left-top, right-top and right-bottom corners, 90 degrees apart.
void corner_angles(int &dir_lb, int &dir_lt, int &dir_rt, int &dir_rb);
void plan();
// Releases the vectors of the last treatment (it, jt, ib, jb, fonc).
void release_vectors();

// ===================== Corners (corners.cpp) ===============================
void corners(int dir_c, int flag);

// ===================== Rasterisation (raster.cpp) ==========================
void limite_t(int ideb, int jdeb, int ifin, int jfin);
void limite_b(int ideb, int jdeb, int ifin, int jfin);
void trace_droite_deb(int ideb, int jdeb, int ifin, int jfin);
void trace_droite(int ideb, int jdeb, int ifin, int jfin);

// ===================== Classification (classify.cpp) =======================
// The four phases over rows r0..r1 and columns c0..c1 (inclusive), which the
// caller keeps inside the interior.
void fill_gaps(int r0, int r1, int c0, int c1);
void vote_holes(int r0, int r1, int c0, int c1);
void extract_contour(int r0, int r1, int c0, int c1);
void clean_corners(int r0, int r1, int c0, int c1);

#endif
