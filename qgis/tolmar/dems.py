"""A project's raster layer as a tolmar DEM file set: the file set itself
when the layer is one (its _m2.raw or _m4.raw, or the .vrt beside it), else
one brought in once, as tolmar-import does, into a cache beside the project
(PROJECT_FOLDER/tolmar/images/qgis/), and taken again while the source is
unchanged."""
import hashlib
import os
import re

from qgis.core import QgsProject
from qgis.PyQt.QtCore import QStandardPaths

SUFFIXES = ("_m2.raw", "_m4.raw")


def source_file(layer):
    """The file behind a raster layer (GDAL's source, its options cut off)."""
    return layer.source().split("|")[0]


def file_set_of(path):
    """The file set's raster when `path` is one (or its .vrt), else None."""
    if path.endswith(SUFFIXES) and os.path.exists(path):
        return path
    if path.endswith(".vrt"):
        for suffix in SUFFIXES:
            if path.endswith(suffix[:-4] + ".vrt") and os.path.exists(path[:-4] + ".raw"):
                return path[:-4] + ".raw"
    return None


def cache_root(project=None):
    """Where rasters are brought in: beside the project when it is saved,
    else in the user's cache."""
    project = project or QgsProject.instance()
    home = project.homePath()
    if home and os.path.isdir(home):
        return os.path.join(home, "tolmar")
    return os.path.join(QStandardPaths.writableLocation(QStandardPaths.CacheLocation) or os.path.expanduser("~/.cache"),
                        "tolmar")


def cached_name(path, band):
    """A single name for a source's file set: its own name, made safe, and a
    digest of where it is, its size and time and the band (a changed source
    is brought in anew)."""
    st = os.stat(path)
    key = "%s|%d|%d|%d" % (os.path.abspath(path), st.st_size, st.st_mtime_ns, band)
    stem = re.sub(r"[^A-Za-z0-9_-]+", "_", os.path.splitext(os.path.basename(path))[0]).strip("_") or "dem"
    return "%s_%s" % (stem[:40], hashlib.sha1(key.encode()).hexdigest()[:8])


def dem_file_set(layer, library, band=1, project=None, said=None):
    """The file set's raster for a raster layer, brought in when needed.
    `said` (a function) is told when a raster is brought in."""
    path = source_file(layer)
    own = file_set_of(path)
    if own:
        return own
    if not os.path.exists(path):
        raise library.UsageError("the layer %s is not a file GDAL reads here (%s)" % (layer.name(), path))
    root = cache_root(project)
    name = cached_name(path, band)
    for suffix in SUFFIXES:
        made = os.path.join(root, "images", "qgis", name + suffix)
        if os.path.exists(made) and os.path.exists(made[:-4] + ".txt"):
            return made
    if said:
        said("bringing %s in as a tolmar DEM, once, into %s" % (layer.name(), os.path.join(root, "images", "qgis")))
    os.makedirs(root, exist_ok=True)
    return library.import_dem(path, "qgis", name, root=root, band=band, replace=True)
