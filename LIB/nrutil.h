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

#endif
