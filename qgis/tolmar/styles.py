"""How tolmar's layers look in QGIS, and the styles kept with them: traces
categorized by code with each treatment's attitude in the legend, reference
points drawn as strike-and-dip symbols with the dip beside them, and the
fit's band as a light fill. A GeoPackage keeps the style in its own
layer_styles table, so that the layer looks the same wherever it is opened."""
import sqlite3
from contextlib import closing

from qgis.core import (QgsCategorizedSymbolRenderer, QgsFillSymbol, QgsLineSymbol, QgsMarkerSymbol,
                       QgsPalLayerSettings, QgsProperty, QgsProviderRegistry, QgsRendererCategory, QgsSimpleMarkerSymbolLayer,
                       QgsSimpleMarkerSymbolLayerBase, QgsSymbolLayer, QgsTextFormat, QgsVectorLayerSimpleLabeling)
from qgis.PyQt.QtCore import QPointF
from qgis.PyQt.QtGui import QColor


def colour_of(code):
    """A colour per code, far from its neighbours' (the golden angle round
    the hues), dark enough to read over a hillshade."""
    return QColor.fromHsv(int(code * 137.508) % 360, 220, 200)


def attitude_words(feature):
    return "%d: %d\u00b0 towards %03d\u00b0, zone %d" % (feature["code"], feature["dip"], feature["dip_direction"],
                                                        feature["zone"])


def style_stations(layer):
    """tolmar-stations' layer: a colour per code (the sets' codes repeat, so
    one category each would say little), else per station."""
    symbol = QgsLineSymbol.createSimple({"line_width": "0.8", "capstyle": "round"})
    symbol.symbolLayer(0).setDataDefinedProperty(
        QgsSymbolLayer.PropertyStrokeColor,
        QgsProperty.fromExpression("color_hsv(to_int(coalesce(\"code\", $id) * 137.508) % 360, 86, 78)"))
    layer.renderer().setSymbol(symbol)
    layer.triggerRepaint()


def style_traces(layer):
    """The trace layer categorized by code, the attitude in the legend."""
    categories = []
    for f in sorted(layer.getFeatures(), key=lambda f: f["code"]):
        symbol = QgsLineSymbol.createSimple({"line_width": "0.8", "capstyle": "round", "joinstyle": "round"})
        symbol.setColor(colour_of(f["code"]))
        categories.append(QgsRendererCategory(f["code"], symbol, attitude_words(f)))
    layer.setRenderer(QgsCategorizedSymbolRenderer("code", categories))
    layer.triggerRepaint()


def style_points(layer):
    """Each reference point as a strike-and-dip symbol: a long bar along the
    strike, a short tick towards the dip direction, the dip written beside."""
    bar = QgsSimpleMarkerSymbolLayer(QgsSimpleMarkerSymbolLayerBase.Line, 6)
    bar.setDataDefinedProperty(QgsSymbolLayer.PropertyAngle, QgsProperty.fromExpression('"dip_direction" + 90'))
    tick = QgsSimpleMarkerSymbolLayer(QgsSimpleMarkerSymbolLayerBase.Line, 2.5)
    # The tick's offset turns with its angle: it stands out from the bar's
    # middle towards the dip direction.
    tick.setOffset(QPointF(0, -1.25))
    tick.setDataDefinedProperty(QgsSymbolLayer.PropertyAngle, QgsProperty.fromField("dip_direction"))
    for s in (bar, tick):
        s.setStrokeWidth(0.6)
        s.setStrokeColor(QColor(20, 20, 20))
    symbol = QgsMarkerSymbol()
    symbol.changeSymbolLayer(0, bar)
    symbol.appendSymbolLayer(tick)
    layer.renderer().setSymbol(symbol)
    label = QgsPalLayerSettings()
    label.fieldName = "dip"
    label.placement = QgsPalLayerSettings.OverPoint
    label.xOffset, label.yOffset = 3.0, -2.0
    text = QgsTextFormat()
    text.setSize(9)
    text.buffer().setEnabled(True)
    label.setFormat(text)
    layer.setLabeling(QgsVectorLayerSimpleLabeling(label))
    layer.setLabelsEnabled(True)
    layer.triggerRepaint()


def style_band(layer):
    """The fit's band: where the planes that fit meet the ground."""
    layer.renderer().setSymbol(QgsFillSymbol.createSimple({"color": "255,140,0,70", "outline_color": "200,90,0,200",
                                                           "outline_width": "0.3"}))
    layer.triggerRepaint()


def style_answer(layer):
    layer.renderer().setSymbol(QgsLineSymbol.createSimple({"line_width": "0.9", "line_color": "200,0,120",
                                                           "line_style": "dash"}))
    layer.triggerRepaint()


def keep(layer):
    """Keeps a layer's style with it: in a GeoPackage's layer_styles, as the
    default that opens with it, in place of the one kept before. An empty
    string, or why it could not."""
    path = layer.source().split("|")[0]
    if layer.providerType() != "ogr" or not path.lower().endswith(".gpkg"):
        return ""
    # QGIS asks in a dialog before it overwrites a style of the same name:
    # the old one goes first. The layer's table: the one its source names,
    # else the file's first.
    table = QgsProviderRegistry.instance().decodeUri("ogr", layer.source()).get("layerName")
    try:
        with closing(sqlite3.connect(path, timeout=10)) as db, db:
            if not table:
                first = db.execute("SELECT table_name FROM gpkg_contents WHERE data_type = 'features' ORDER BY rowid").fetchone()
                table = first[0] if first else layer.name()
            if db.execute("SELECT 1 FROM sqlite_master WHERE name = 'layer_styles'").fetchone():
                db.execute("DELETE FROM layer_styles WHERE f_table_name = ? AND styleName = ?", (table, table))
    except sqlite3.Error as e:
        return "cannot keep the style in %s: %s" % (path, e)
    said = layer.saveStyleToDatabase(table, "tolmar's style", True, "")
    # 3.22 returns the error text (empty when saved).
    return said if isinstance(said, str) else ""


STYLES = {"traces": style_traces, "stations": style_stations, "reference_points": style_points, "band": style_band, "trace": style_answer}


def style(layer, kind):
    """Styles a layer of one of tolmar's kinds and keeps the style with it."""
    STYLES[kind](layer)
    return keep(layer)
