"""tolmar for Python: where an inclined geological plane cuts the terrain.

    import tolmar
    dem = tolmar.open_dem("images/jacksboro/jacksboro_m2.raw", unit="m")   # or any raster GDAL reads
    t = dem.trace(110, 300, 5, 150, 40)              # t.rows, t.columns, t.line_xy ...
    with tolmar.Session(dem, "mine") as s:           # images/jacksboro/mine_tolmar.raw
        s.stamp(110, 300, 5, 150, 40)
    answer = tolmar.fit(dem, "contact.geojson")      # as tolmar-fit --json gives it
    done = tolmar.stations(dem, "stations.csv", zone=20)
    tolmar.export("images/jacksboro/mine_tolmar.raw", "mine.gpkg")   # as tolmar-export

The five values are named as everywhere in tolmar: row, column, dip,
dip_direction, zone (cells). Errors are tolmar.Error (tolmar.UsageError for
a request that was wrong), with the library's message and `subject`, the
file, option or value at fault. The computing runs without the GIL.
"""
import json
import os

from ._tolmar import Dem, Error, Session, Trace, UsageError, __version__, export, import_dem, open_dem
from . import _tolmar

__all__ = ["Dem", "Error", "Session", "Trace", "UsageError", "export", "fit", "import_dem", "open_dem", "stations", "__version__"]


def _dem(dem):
    return dem if isinstance(dem, Dem) else open_dem(os.fspath(dem))


def _contact(contact):
    """A contact as (name, text): a file stays a file; rows of (row, column)
    become a CSV; a GeoJSON mapping or an object with __geo_interface__ (a
    shapely geometry, a GeoDataFrame) becomes a GeoJSON, WGS 84 unless it
    names its system."""
    if isinstance(contact, (str, bytes, os.PathLike)):
        return os.fsdecode(contact), ""
    shape = getattr(contact, "__geo_interface__", None)
    if shape is None and isinstance(contact, dict):
        shape = contact
    if shape is not None:
        if shape.get("type") not in ("FeatureCollection", "Feature"):
            shape = {"type": "Feature", "properties": {}, "geometry": shape}
        return "contact.geojson", json.dumps(shape)
    try:
        points = [(float(p[0]), float(p[1])) for p in contact]
    except (TypeError, ValueError, IndexError):
        raise UsageError("a contact is a file, rows of (row, column) cells, or a GeoJSON geometry") from None
    return "contact.csv", "row,column\n" + "".join("%r,%r\n" % p for p in points)


def fit(dem, contact, level=0.99, point=None, zone=None, picture=None, band=None, trace=None, answers=None):
    """The attitude whose true intersection with the ground follows the
    contact, its ranges at `level` and the verdict, as tolmar-fit --json
    gives them (a dict). An undetermined contact is an answer too:
    result["attitude"]["determined"] is then False and "why" says why."""
    name, text = _contact(contact)
    report = _tolmar._fit(_dem(dem), name, text, float(level), tuple(point) if point is not None else None, int(zone or 0),
                          os.fspath(picture or ""), os.fspath(band or ""), os.fspath(trace or ""), os.fspath(answers or ""))
    return json.loads(report)


def stations(dem, table, **options):
    """Traces a table of field stations (any vector file OGR reads) as
    tolmar-stations does, into a trace layer and, with sets=True, result
    sets beside the DEM. Options as the program's, by their Python names:
    zone, layer, out, sets, resume, result, dip, dip_direction, strike,
    zone_column, x, y, row, column, id, table_crs, geometry, background.
    Returns the counts, the sets, the layer and what the program would have
    said."""
    return _tolmar._stations(_dem(dem), os.fspath(table), options)
