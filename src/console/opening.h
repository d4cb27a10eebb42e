// opening.h: the opening dialogue: the DEM file set and the result name.
#ifndef TOLMAR_CONSOLE_OPENING_H
#define TOLMAR_CONSOLE_OPENING_H

#include "console/run.h"

// Banner, folder, DEM name and type, DEM raster and descriptor opened (or the
// descriptor made), sizes checked, result name, result files created under
// temporary names.
void open_file_set(Run &run);
// Memory for the DEM's samples, when they must be read rather than mapped;
// the run ends when there is not enough.
void allocate_dem(Run &run);
[[noreturn]] void not_enough_memory(Run &run, int width);

#endif
