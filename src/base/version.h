// version.h: tolmar's version, one for every program, the library and the
// package (CMake reads it from here).
#ifndef TOLMAR_BASE_VERSION_H
#define TOLMAR_BASE_VERSION_H

#define TOLMAR_VERSION "1.2"
#define TOLMAR_VERSION_DATE "December 2026"

#endif
