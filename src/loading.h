// loading.h: the DEM's samples read, their unit, the pixel size and the
// background asked.
#ifndef TOLMAR_LOADING_H
#define TOLMAR_LOADING_H

#include "dem.h"

// Reads the DEM raster opened by opening() and returns its range.
SampleCount lecture();
// Shows the range; asks the unit, the pixel size (when not known) and the
// background; writes the result descriptor's sixth line.
void parameters(const SampleCount &range);

#endif
