// loading.h: the DEM's samples read, their unit, the pixel size and the
// background asked.
#ifndef TOLMAR_CONSOLE_LOADING_H
#define TOLMAR_CONSOLE_LOADING_H

#include "console/run.h"

// Reads the DEM raster opened by open_file_set() and returns its range.
SampleCount read_dem(Run &run);
// Shows the range; asks the unit, the pixel size (when not known) and the
// background; writes the result descriptor's sixth line.
void ask_elevations(Run &run, const SampleCount &range);

#endif
