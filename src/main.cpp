// main.cpp: the tolmar executable; the whole program lives in the library.
#include "tolmar.h"

int main() { return tolmar_main(); }
