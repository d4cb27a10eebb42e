// nrutil.h: zero-filled grids and vectors, one allocating and one releasing
// function per element type and shape. Nothing here prints or keeps state;
// an exhausted heap is reported by a null result only.
//
// A grid of NbLig rows and NbCol columns is a table of NbLig row pointers,
// each row a separate zero-filled block of NbCol elements, so that a whole
// row can go to or from a file in one block transfer:
//
//        column j ->   0   1   2  ...  NbCol-1
//   row 0   m[0] ->  [ . | . | . | ... | . ]
//   row 1   m[1] ->  [ . | . | . | ... | . ]      element (i, j) is m[i][j]
//   ...                                           rows grow downwards
//   NbLig-1 m[..] -> [ . | . | . | ... | . ]
//
// Allocation takes the column count first and the row count second; release
// takes only the row count. Counts of 0 or less give null. A vector is one
// zero-filled block indexed from 0 with no offset; callers that number their
// entries from 1 ask for one element more.
#ifndef TOLMAR_NRUTIL_H
#define TOLMAR_NRUTIL_H

#include <cstddef>
#include <cstdlib>

float **fmatrice(int NbCol, int NbLig);
unsigned char **ucmatrice(int NbCol, int NbLig);
unsigned short **usmatrice(int NbCol, int NbLig);
short **smatrice(int NbCol, int NbLig);
int **imatrice(int NbCol, int NbLig);
double **dmatrice(int NbCol, int NbLig);
long double **ldmatrice(int NbCol, int NbLig);

void frfmatrice(float **Mat, int NbLig);
void frucmatrice(unsigned char **Mat, int NbLig);
void frusmatrice(unsigned short **Mat, int NbLig);
void frsmatrice(short **Mat, int NbLig);
void frimatrice(int **Mat, int NbLig);
void frdmatrice(double **Mat, int NbLig);
void frldmatrice(long double **Mat, int NbLig);

float *fvecteur(int NbCol);
unsigned char *ucvecteur(int NbCol);
unsigned short *usvecteur(int NbCol);
short *svecteur(int NbCol);
int *ivecteur(int NbCol);
double *dvecteur(int NbCol);

void frfvecteur(float *Mat);
void frucvecteur(unsigned char *Mat);
void frusvecteur(unsigned short *Mat);
void frsvecteur(short *Mat);
void frivecteur(int *Mat);
void frdvecteur(double *Mat);

// A grid of one block: rows x cols elements, row after row, zero-filled when
// allocated. The raster-sized grids of a run are of this kind: one block
// costs nothing but its elements, where a table of row blocks costs a pointer
// and an allocation's overhead a row, more than the elements themselves for a
// narrow DEM. A large block comes straight from the system, already zero, so
// allocating it touches no memory.
template <typename T>
class Grid {
public:
    Grid() = default;
    Grid(const Grid &) = delete;
    Grid &operator=(const Grid &) = delete;
    Grid(Grid &&o) noexcept { *this = static_cast<Grid &&>(o); }
    Grid &operator=(Grid &&o) noexcept {
        if (this != &o) {
            release();
            cells_ = o.cells_;
            rows_ = o.rows_;
            cols_ = o.cols_;
            o.cells_ = nullptr;
            o.rows_ = o.cols_ = 0;
        }
        return *this;
    }
    ~Grid() { release(); }

    // A new zero-filled grid in place of this one; false (and an empty grid)
    // when the sizes are not positive or the memory cannot be obtained.
    bool allocate(int rows, int cols) {
        release();
        if (rows <= 0 || cols <= 0) return false;
        cells_ = static_cast<T *>(calloc(static_cast<size_t>(rows) * static_cast<size_t>(cols), sizeof(T)));
        if (cells_ == nullptr) return false;
        rows_ = rows;
        cols_ = cols;
        return true;
    }
    void release() {
        free(cells_);
        cells_ = nullptr;
        rows_ = cols_ = 0;
    }

    int rows() const { return rows_; }
    int cols() const { return cols_; }
    bool empty() const { return cells_ == nullptr; }
    T *row(int i) { return cells_ + static_cast<size_t>(i) * static_cast<size_t>(cols_); }
    const T *row(int i) const { return cells_ + static_cast<size_t>(i) * static_cast<size_t>(cols_); }
    T &at(int i, int j) { return row(i)[j]; }
    const T &at(int i, int j) const { return row(i)[j]; }
    T *data() { return cells_; }
    const T *data() const { return cells_; }

private:
    T *cells_ = nullptr;
    int rows_ = 0, cols_ = 0;
};

#endif
