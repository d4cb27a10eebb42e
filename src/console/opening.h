// opening.h: the opening dialogue: the DEM file set and the result name.
#ifndef TOLMAR_CONSOLE_OPENING_H
#define TOLMAR_CONSOLE_OPENING_H

#include "console/run.h"

// Banner, folder, DEM name and type, DEM raster and descriptor opened (or the
// descriptor made), sizes checked, result name, result files created under
// temporary names, memory for the DEM and the result raster obtained.
void open_file_set(Run &run);

#endif
