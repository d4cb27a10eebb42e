// main.cpp: the tolmar executable; the whole program lives in the library.
#include "console/dialogue.h"

int main(int argc, char **argv) { return tolmar_main(argc, argv); }
