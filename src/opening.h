// opening.h: the opening dialogue: the DEM file set and the result name.
#ifndef TOLMAR_OPENING_H
#define TOLMAR_OPENING_H

// The data root: the folder images/ of the working directory.
extern const char DATA_ROOT[];

// Banner, folder, DEM name and type, DEM raster and descriptor opened (or the
// descriptor made), sizes checked, result name, result files created under
// temporary names, grids allocated.
void opening();

#endif
