// nrutil.cpp: the grid and vector family declared in nrutil.h. Every member
// of a column of the family behaves alike, so each is a one-line instance of
// one of four templates.
#include "nrutil.h"

#include <cstdlib>

namespace {

template <typename T>
void release_rows(T **m, int rows) {
    for (int i = 0; i < rows; i++) free(m[i]);
    free(m);
}

// A grid is either complete or null: when a row cannot be obtained, the rows
// already obtained and the row table are given back before null is returned.
template <typename T>
T **matrice(int NbCol, int NbLig) {
    if (NbCol <= 0 || NbLig <= 0) return nullptr;
    T **m = static_cast<T **>(calloc(static_cast<size_t>(NbLig), sizeof(T *)));
    if (m == nullptr) return nullptr;
    for (int i = 0; i < NbLig; i++) {
        m[i] = static_cast<T *>(calloc(static_cast<size_t>(NbCol), sizeof(T)));
        if (m[i] == nullptr) {
            release_rows(m, i);
            return nullptr;
        }
    }
    return m;
}

template <typename T>
void frmatrice(T **Mat, int NbLig) {
    if (Mat == nullptr) return;
    release_rows(Mat, NbLig > 0 ? NbLig : 0);
}

template <typename T>
T *vecteur(int NbCol) {
    if (NbCol <= 0) return nullptr;
    return static_cast<T *>(calloc(static_cast<size_t>(NbCol), sizeof(T)));
}

template <typename T>
void frvecteur(T *Mat) {
    free(Mat);
}

}  // namespace

float **fmatrice(int NbCol, int NbLig) { return matrice<float>(NbCol, NbLig); }
unsigned char **ucmatrice(int NbCol, int NbLig) { return matrice<unsigned char>(NbCol, NbLig); }
unsigned short **usmatrice(int NbCol, int NbLig) { return matrice<unsigned short>(NbCol, NbLig); }
short **smatrice(int NbCol, int NbLig) { return matrice<short>(NbCol, NbLig); }
int **imatrice(int NbCol, int NbLig) { return matrice<int>(NbCol, NbLig); }
double **dmatrice(int NbCol, int NbLig) { return matrice<double>(NbCol, NbLig); }
long double **ldmatrice(int NbCol, int NbLig) { return matrice<long double>(NbCol, NbLig); }

void frfmatrice(float **Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frucmatrice(unsigned char **Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frusmatrice(unsigned short **Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frsmatrice(short **Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frimatrice(int **Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frdmatrice(double **Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frldmatrice(long double **Mat, int NbLig) { frmatrice(Mat, NbLig); }

float *fvecteur(int NbCol) { return vecteur<float>(NbCol); }
unsigned char *ucvecteur(int NbCol) { return vecteur<unsigned char>(NbCol); }
unsigned short *usvecteur(int NbCol) { return vecteur<unsigned short>(NbCol); }
short *svecteur(int NbCol) { return vecteur<short>(NbCol); }
int *ivecteur(int NbCol) { return vecteur<int>(NbCol); }
double *dvecteur(int NbCol) { return vecteur<double>(NbCol); }

void frfvecteur(float *Mat) { frvecteur(Mat); }
void frucvecteur(unsigned char *Mat) { frvecteur(Mat); }
void frusvecteur(unsigned short *Mat) { frvecteur(Mat); }
void frsvecteur(short *Mat) { frvecteur(Mat); }
void frivecteur(int *Mat) { frvecteur(Mat); }
void frdvecteur(double *Mat) { frvecteur(Mat); }
