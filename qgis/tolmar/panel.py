"""The tolmar panel: a DEM among the project's rasters, a point picked on
the canvas, an attitude typed, and the trace following on the canvas as a
rubber band at every key; Stamp adds it to the result set beside the DEM
and to its trace layer in the project, Undo takes it back from both. A
contact digitised on the canvas (or a line or point layer) is fitted: the
answer with its ranges, the stereonet, and the band on the canvas; "Stamp
this" traces the answer.

Everything is computed in this process through tolmar's library."""
import os
import shutil
import struct
import tempfile

import numpy

from qgis.core import (QgsCoordinateReferenceSystem, QgsCoordinateTransform, QgsFeature, QgsFeatureRequest, QgsGeometry,
                       QgsMapLayerProxyModel, QgsPointXY, QgsProject, QgsVectorLayer, QgsWkbTypes)
from qgis.gui import QgsMapLayerComboBox, QgsMapTool, QgsMapToolEmitPoint, QgsRubberBand
from qgis.PyQt.QtCore import Qt, pyqtSignal
from qgis.PyQt.QtGui import QColor, QIntValidator, QPixmap
from qgis.PyQt.QtWidgets import (QComboBox, QDockWidget, QFormLayout, QGroupBox, QHBoxLayout, QLabel, QLineEdit,
                                 QPushButton, QVBoxLayout, QWidget)

from . import dems, library, styles

BAND_COLOUR = QColor(230, 30, 30, 200)
CONTACT_COLOUR = QColor(30, 90, 230, 230)


class PointTool(QgsMapToolEmitPoint):
    """A click on the canvas picks the treatment's reference point."""

    def __init__(self, canvas, picked):
        super().__init__(canvas)
        self.canvasClicked.connect(lambda point, button: picked(point) if button == Qt.LeftButton else None)


class ContactTool(QgsMapTool):
    """Clicks add the contact's vertices; a right click or Enter ends it,
    Backspace takes back the last vertex, Escape starts again."""
    changed = pyqtSignal()

    def __init__(self, canvas):
        super().__init__(canvas)
        self.points = []
        self.finished = False
        self.band = QgsRubberBand(canvas, QgsWkbTypes.LineGeometry)
        self.band.setColor(CONTACT_COLOUR)
        self.band.setWidth(2)

    def canvasReleaseEvent(self, e):
        if e.button() == Qt.RightButton:
            self.finished = True
        else:
            if self.finished:
                self.clear()
            self.points.append(self.toMapCoordinates(e.pos()))
        self.redraw()

    def keyPressEvent(self, e):
        if e.key() in (Qt.Key_Return, Qt.Key_Enter):
            self.finished = True
        elif e.key() == Qt.Key_Backspace and self.points:
            self.points.pop()
        elif e.key() == Qt.Key_Escape:
            self.clear()
        else:
            e.ignore()
            return
        self.redraw()

    def clear(self):
        self.points, self.finished = [], False
        self.redraw()

    def redraw(self):
        self.band.setToGeometry(QgsGeometry.fromPolylineXY(self.points) if len(self.points) > 1 else QgsGeometry(), None)
        self.changed.emit()

    def drop(self):
        self.canvas().scene().removeItem(self.band)


def whole(text, low, high):
    """A whole number from low to high in a field, else None."""
    try:
        v = int(text.strip())
    except ValueError:
        return None
    return v if low <= v <= high else None


class TolmarPanel(QDockWidget):
    def __init__(self, iface, parent=None):
        super().__init__("tolmar", parent)
        self.setObjectName("tolmarPanel")
        self.iface = iface
        self.canvas = iface.mapCanvas()
        self.tolmar = None
        self.dem = None            # the library's DEM
        self.dem_crs = None
        self.dem_layer_id = None
        self.dem_raster = None
        self.session = None
        self.point = None          # (row, column)
        self.trace = None          # the trace shown, or None
        self.band_cells = []       # its cells, (row, column)
        self.layers = {}           # kind -> the project's layer of the result set
        self.fit_answer = None
        self.fit_layers = []
        self._build()
        self.band = QgsRubberBand(self.canvas, QgsWkbTypes.PolygonGeometry)
        self.band.setColor(BAND_COLOUR)
        self.band.setFillColor(BAND_COLOUR)
        self.band.setWidth(1)
        self.marker = QgsRubberBand(self.canvas, QgsWkbTypes.PointGeometry)
        self.marker.setColor(QColor(0, 0, 0))
        self.marker.setIconSize(12)
        self.marker.setIcon(QgsRubberBand.ICON_CROSS)
        self.point_tool = PointTool(self.canvas, self.picked)
        self.contact_tool = ContactTool(self.canvas)
        self.contact_tool.changed.connect(self.contact_changed)
        self.dem_box.layerChanged.connect(self.dem_chosen)
        self.dem_chosen(self.dem_box.currentLayer())

    # -- the widgets -------------------------------------------------------
    def _build(self):
        body = QWidget()
        column = QVBoxLayout(body)
        form = QFormLayout()
        self.dem_box = QgsMapLayerComboBox()
        self.dem_box.setFilters(QgsMapLayerProxyModel.RasterLayer)
        self.dem_box.setAllowEmptyLayer(True)
        form.addRow("DEM", self.dem_box)
        self.unit = QComboBox()
        self.unit.addItems(["", "m", "dm", "cm", "mm"])
        self.unit.setToolTip("the unit of the DEM's elevations, when its files do not tell it")
        form.addRow("Unit", self.unit)
        self.result = QLineEdit()
        self.result.setPlaceholderText("the DEM's name")
        form.addRow("Result set", self.result)
        self.geometry = QComboBox()
        self.geometry.addItems(["true", "classic"])
        self.geometry.setToolTip("true: where the plane meets the ground; classic: the console's historical trace")
        form.addRow("Geometry", self.geometry)
        point_row = QHBoxLayout()
        self.pick = QPushButton("Pick point")
        self.pick.setCheckable(True)
        self.point_label = QLabel("none")
        point_row.addWidget(self.pick)
        point_row.addWidget(self.point_label, 1)
        form.addRow("Point", point_row)
        self.convention = QComboBox()
        self.convention.addItems(["dip and dip direction", "strike and dip (right-hand rule)"])
        form.addRow("Attitude as", self.convention)
        self.dip = QLineEdit()
        self.dip.setValidator(QIntValidator(0, 90))
        form.addRow("Dip", self.dip)
        self.direction = QLineEdit()
        self.direction.setValidator(QIntValidator(0, 360))
        self.direction_label = QLabel("Dip direction")
        form.addRow(self.direction_label, self.direction)
        zone_row = QHBoxLayout()
        self.zone = QLineEdit()
        self.zone.setValidator(QIntValidator(1, 10 ** 7))
        self.zone_unit = QComboBox()
        self.zone_unit.addItems(["cells", "metres"])
        zone_row.addWidget(self.zone, 1)
        zone_row.addWidget(self.zone_unit)
        form.addRow("Zone", zone_row)
        column.addLayout(form)
        buttons = QHBoxLayout()
        self.stamp_button = QPushButton("Stamp")
        self.undo_button = QPushButton("Undo")
        buttons.addWidget(self.stamp_button)
        buttons.addWidget(self.undo_button)
        column.addLayout(buttons)
        self.readout = QLabel("Choose a DEM among the project's rasters.")
        self.readout.setWordWrap(True)
        column.addWidget(self.readout)

        fit = QGroupBox("Contact")
        fit_form = QFormLayout(fit)
        contact_row = QHBoxLayout()
        self.digitise = QPushButton("Digitise")
        self.digitise.setCheckable(True)
        self.contact_box = QgsMapLayerComboBox()
        self.contact_box.setFilters(QgsMapLayerProxyModel.LineLayer | QgsMapLayerProxyModel.PointLayer)
        self.contact_box.setAllowEmptyLayer(True)
        contact_row.addWidget(self.digitise)
        contact_row.addWidget(self.contact_box, 1)
        fit_form.addRow("Contact", contact_row)
        self.level = QComboBox()
        self.level.addItems(["90 %", "99 %"])
        fit_form.addRow("Ranges at", self.level)
        fit_buttons = QHBoxLayout()
        self.fit_button = QPushButton("Fit")
        self.stamp_this = QPushButton("Stamp this")
        self.stamp_this.setEnabled(False)
        fit_buttons.addWidget(self.fit_button)
        fit_buttons.addWidget(self.stamp_this)
        fit_form.addRow(fit_buttons)
        self.fit_words = QLabel("Digitise a contact (clicks; a right click ends it), or choose a layer.")
        self.fit_words.setWordWrap(True)
        fit_form.addRow(self.fit_words)
        self.stereonet = QLabel()
        self.stereonet.setAlignment(Qt.AlignCenter)
        fit_form.addRow(self.stereonet)
        column.addWidget(fit)
        column.addStretch(1)
        self.setWidget(body)

        for field in (self.dip, self.direction, self.zone):
            field.textChanged.connect(self.retrace)
        for box in (self.convention, self.zone_unit, self.geometry):
            box.currentIndexChanged.connect(self.retrace)
        self.unit.currentIndexChanged.connect(self.unit_chosen)
        self.convention.currentIndexChanged.connect(
            lambda k: self.direction_label.setText("Strike" if k == 1 else "Dip direction"))
        self.pick.toggled.connect(lambda on: self.use_tool(self.point_tool if on else None))
        self.digitise.toggled.connect(lambda on: self.use_tool(self.contact_tool if on else None))
        self.stamp_button.clicked.connect(self.stamp)
        self.undo_button.clicked.connect(self.undo)
        self.fit_button.clicked.connect(self.fit)
        self.stamp_this.clicked.connect(self.stamp_fitted)
        self.result.editingFinished.connect(self.close_session)

    def say(self, text):
        self.readout.setText(text)

    def use_tool(self, tool):
        for button, own in ((self.pick, self.point_tool), (self.digitise, self.contact_tool)):
            if own is not tool and button.isChecked():
                button.blockSignals(True)
                button.setChecked(False)
                button.blockSignals(False)
        if tool is not None:
            self.canvas.setMapTool(tool)
        elif self.canvas.mapTool() in (self.point_tool, self.contact_tool):
            self.canvas.unsetMapTool(self.canvas.mapTool())

    # -- the DEM -----------------------------------------------------------
    def lib(self):
        if self.tolmar is None:
            self.tolmar = library.load()
        return self.tolmar

    def dem_chosen(self, layer, unit=None):
        """A raster of the project taken as the DEM: its file set opened (a
        raster that is not one brought in first), its unit the one its files
        tell, or the one chosen in Unit when they tell none."""
        self.close_session()
        self.dem, self.dem_layer_id, self.trace, self.dem_raster = None, None, None, None
        self.unit.blockSignals(True)
        self.unit.setCurrentText(unit or "")
        self.unit.blockSignals(False)
        self.retrace()
        if layer is None:
            self.say("Choose a DEM among the project's rasters.")
            return
        try:
            t = self.lib()
            self.dem_raster = dems.dem_file_set(layer, t, said=self.say)
            self.dem = t.open_dem(self.dem_raster, unit=unit)
        except (ImportError, OSError) as e:
            self.say(str(e))
            return
        except Exception as e:  # the library's errors
            if getattr(e, "subject", "") == "unit" and unit is None:
                self.say("%s does not tell the unit of its elevations: choose it in Unit." % layer.name())
            else:
                self.say("%s: %s" % (layer.name(), e))
            return
        self.dem_layer_id = layer.id()
        self.unit.blockSignals(True)
        self.unit.setCurrentText(self.dem.unit)
        self.unit.blockSignals(False)
        self.dem_crs = QgsCoordinateReferenceSystem.fromWkt(self.dem.wkt) if self.dem.wkt else layer.crs()
        self.say("%s: %d rows, %d columns of %g m, elevations in %s. Pick a point, then type the attitude and zone." % (
            layer.name(), self.dem.rows, self.dem.columns, self.dem.pixel_size, self.dem.unit))
        self.retrace()

    def unit_chosen(self):
        """A unit chosen for a DEM whose files tell none (or, for one whose
        files tell it, refused by the library with both units named)."""
        layer = self.dem_box.currentLayer()
        if layer is not None and self.unit.currentText() and (self.dem is None or self.unit.currentText() != self.dem.unit):
            self.dem_chosen(layer, self.unit.currentText())

    # -- places ------------------------------------------------------------
    def to_dem(self, point):
        """A point of the canvas in the DEM's system."""
        canvas_crs = self.canvas.mapSettings().destinationCrs()
        if self.dem_crs is None or not canvas_crs.isValid() or canvas_crs == self.dem_crs:
            return QgsPointXY(point)
        return QgsCoordinateTransform(canvas_crs, self.dem_crs, QgsProject.instance()).transform(QgsPointXY(point))

    def cell_of(self, x, y):
        """The cell (fractional row, column; centres at whole numbers) of a
        place in the DEM's system."""
        gt = self.dem.geotransform
        if gt is None:
            return -y - 0.5, x - 0.5
        det = gt[1] * gt[5] - gt[2] * gt[4]
        dx, dy = x - gt[0], y - gt[3]
        return (gt[1] * dy - gt[4] * dx) / det - 0.5, (gt[5] * dx - gt[2] * dy) / det - 0.5

    def half_cell(self):
        gt = self.dem.geotransform
        return (abs(gt[1]) / 2, abs(gt[5]) / 2) if gt is not None else (0.5, 0.5)

    def picked(self, point):
        if self.dem is None:
            self.say("Choose a DEM first.")
            return
        p = self.to_dem(point)
        row, column = self.cell_of(p.x(), p.y())
        row, column = int(round(row)), int(round(column))
        if not (0 <= row < self.dem.rows and 0 <= column < self.dem.columns):
            self.say("That point lies outside the DEM (row %d, column %d)." % (row, column))
            return
        self.set_point(row, column)

    def set_point(self, row, column):
        self.point = (row, column)
        self.point_label.setText("row %d, column %d, elevation %s %s" % (
            row, column, self.dem.elevation(row, column), self.dem.unit))
        x, y = self.dem.xy(row, column)
        self.marker.setToGeometry(QgsGeometry.fromPointXY(QgsPointXY(x, y)), self.dem_crs)
        self.retrace()

    # -- the treatment -----------------------------------------------------
    def values(self):
        """(row, column, dip, dip direction, zone in cells), or why not."""
        if self.dem is None:
            return None, "Choose a DEM first."
        if self.point is None:
            return None, "Pick a point on the canvas."
        dip = whole(self.dip.text(), 0, 90)
        if dip is None:
            return None, "Type a dip, a whole number of degrees from 0 to 90."
        strike = self.convention.currentIndex() == 1
        direction = whole(self.direction.text(), 0, 360)
        if direction is None:
            return None, "Type a %s, a whole number of degrees from 0 to 359." % ("strike" if strike else "dip direction")
        direction = (direction + 90) % 360 if strike else direction % 360
        zone = whole(self.zone.text(), 1, 10 ** 7)
        if zone is None:
            return None, "Type an influence zone, a whole number of %s from 1." % self.zone_unit.currentText()
        if self.zone_unit.currentIndex() == 1:
            metres = zone
            zone = int(round(metres / self.dem.pixel_size))
            if zone < 1:
                return None, "%d m is less than a cell (%g m)." % (metres, self.dem.pixel_size)
        return (self.point[0], self.point[1], dip, direction, zone), None

    def retrace(self, *ignored):
        """The trace of the values typed, on the canvas at once."""
        v, why = self.values()
        self.trace, self.band_cells = None, []
        if v is None:
            self.band.reset(QgsWkbTypes.PolygonGeometry)
            if self.dem is not None:
                self.say(why)
            return
        t = self.dem.trace(*v, geometry=self.geometry.currentText())
        if t.refused:
            self.band.reset(QgsWkbTypes.PolygonGeometry)
            self.say("Refused: %s." % t.refused)
            return
        self.trace = t
        self.band_cells = list(zip(t.rows.tolist(), t.columns.tolist()))
        self.band.setToGeometry(self.cells_geometry(t), self.dem_crs)
        self.say("%d cells: dip %d towards %03d, zone %d cells, from row %d, column %d." % (
            len(t), v[2], v[3], v[4], v[0], v[1]))

    def cells_geometry(self, t):
        """The trace's cells as squares on the map, one multipolygon, made
        as well-known binary at once (a zone of a thousand cells has
        thousands of them, and the band follows every key)."""
        n = len(t)
        if n == 0:
            return QgsGeometry()
        hx, hy = self.half_cell()
        polygon = numpy.dtype([("order", "u1"), ("type", "<u4"), ("rings", "<u4"), ("points", "<u4"), ("xy", "<f8", (10,))])
        squares = numpy.zeros(n, dtype=polygon)
        squares["order"], squares["type"], squares["rings"], squares["points"] = 1, 3, 1, 5
        x, y = t.x, t.y
        squares["xy"] = numpy.stack([x - hx, y - hy, x + hx, y - hy, x + hx, y + hy, x - hx, y + hy, x - hx, y - hy], axis=1)
        g = QgsGeometry()
        g.fromWkb(struct.pack("<BII", 1, 6, n) + squares.tobytes())
        return g

    # -- the result set and its layers ---------------------------------------
    def close_session(self):
        if self.session is not None:
            try:
                self.session.close()
            except Exception as e:
                self.say("The result set could not be closed: %s" % e)
            self.session = None
        self.layers = {}

    def open_session(self):
        if self.session is None:
            name = self.result.text().strip() or None
            self.session = self.lib().Session(self.dem, name, None, self.geometry.currentText(), "white", False)
        return self.session

    def stamp(self):
        v, why = self.values()
        if v is None:
            self.say(why)
            return None
        try:
            session = self.open_session()
            # A set carried on keeps its own geometry: the band shown must be
            # what is stamped.
            if session.geometry != self.geometry.currentText():
                self.say("Not stamped: %s is in %s geometry and the band in %s; choose %s in Geometry, or another result "
                         "set." % (os.path.basename(session.raster), session.geometry, self.geometry.currentText(),
                                   session.geometry))
                return None
            done = session.stamp(*v)
            if not done["stamped"]:
                self.say("Not stamped: %s." % done["why"])
                return None
            self.refresh_layers()
        except Exception as e:
            self.say("Not stamped: %s" % e)
            return None
        self.say("Stamped code %d: %d cells, dip %d towards %03d, zone %d, in %s." % (
            done["code"], done["cells"], v[2], v[3], v[4], os.path.basename(self.session.raster)))
        return done

    def undo(self):
        if self.session is None:
            try:
                self.open_session()
            except Exception as e:
                self.say("Nothing to undo: %s" % e)
                return False
        try:
            undone = self.session.undo()
            self.refresh_layers()
        except Exception as e:
            self.say("Not undone: %s" % e)
            return False
        self.say("Took back the last stamp." if undone else "Nothing to undo: the result set holds no stamp.")
        return undone

    def layer_path(self):
        return self.session.raster[:-4] + ".gpkg"

    def refresh_layers(self):
        """The result set's traces and reference points as tolmar-export
        writes them, in the project's layers of the set (made the first
        time, in the group "tolmar"), styled, the style kept in the file."""
        folder = tempfile.mkdtemp(prefix="tolmar-qgis-")
        try:
            fresh = os.path.join(folder, "set.gpkg")
            self.lib().export(self.session.raster, fresh, "gpkg")
            path = self.layer_path()
            project = QgsProject.instance()
            for kind in ("traces", "reference_points"):
                layer = self.layers.get(kind)
                if layer is not None and project.mapLayer(layer.id()) is None:
                    layer = None
                source = QgsVectorLayer("%s|layername=%s" % (fresh, kind), kind, "ogr")
                if layer is None:
                    if not os.path.exists(path):
                        shutil.copyfile(fresh, path)
                    base = os.path.basename(self.session.raster)[:-len("_tolmar.raw")]
                    layer = QgsVectorLayer("%s|layername=%s" % (path, kind), "%s %s" % (
                        base, "traces" if kind == "traces" else "points"), "ogr")
                    self.layers[kind] = layer
                    self.replace_features(layer, source)
                    styles.style(layer, kind)
                    group = project.layerTreeRoot().findGroup("tolmar") or project.layerTreeRoot().insertGroup(0, "tolmar")
                    project.addMapLayer(layer, False)
                    group.insertLayer(0, layer)
                else:
                    self.replace_features(layer, source)
                    styles.style(layer, kind)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    @staticmethod
    def replace_features(layer, source):
        provider = layer.dataProvider()
        provider.deleteFeatures([f.id() for f in layer.getFeatures()])
        features = []
        for f in source.getFeatures():
            g = QgsFeature(layer.fields())
            g.setGeometry(f.geometry())
            for field in source.fields().names():
                if layer.fields().indexOf(field) >= 0:
                    g[field] = f[field]
            features.append(g)
        provider.addFeatures(features)
        layer.updateExtents()
        layer.triggerRepaint()

    # -- the fit -----------------------------------------------------------
    def contact_changed(self):
        n = len(self.contact_tool.points)
        self.fit_words.setText("%d points digitised%s." % (n, ", ended" if self.contact_tool.finished else
                                                          " (a right click ends the contact)") if n else
                               "Digitise a contact (clicks; a right click ends it), or choose a layer.")

    def contact_cells(self):
        """The contact's points as cells of the DEM: the digitised one, else
        the chosen layer's vertices."""
        if self.contact_tool.points:
            points = [self.to_dem(p) for p in self.contact_tool.points]
        else:
            layer = self.contact_box.currentLayer()
            if layer is None:
                return None
            to = QgsCoordinateTransform(layer.crs(), self.dem_crs, QgsProject.instance()) if self.dem_crs else None
            points = []
            for f in layer.getFeatures():
                for vertex in f.geometry().vertices():
                    p = QgsPointXY(vertex.x(), vertex.y())
                    points.append(to.transform(p) if to is not None else p)
        return [self.cell_of(p.x(), p.y()) for p in points]

    def fit(self):
        self.stamp_this.setEnabled(False)
        self.fit_answer = None
        if self.dem is None:
            self.fit_words.setText("Choose a DEM first.")
            return None
        cells = self.contact_cells()
        if not cells:
            self.fit_words.setText("Digitise a contact, or choose a line or point layer.")
            return None
        folder = tempfile.mkdtemp(prefix="tolmar-fit-")
        level = 0.9 if self.level.currentIndex() == 0 else 0.99
        try:
            picture = os.path.join(folder, "stereonet.png")
            band = os.path.join(folder, "band.geojson")
            report = self.lib().fit(self.dem, cells, level=level, picture=picture, band=band)
            self.stereonet.setPixmap(QPixmap(picture).scaledToWidth(380, Qt.SmoothTransformation)
                                     if os.path.exists(picture) else QPixmap())
            self.show_band(band)
        except Exception as e:
            self.fit_words.setText("No fit: %s" % e)
            return None
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        a = report["attitude"]
        if not a.get("determined"):
            self.fit_words.setText("The contact does not decide the attitude: %s." % a.get("why", ""))
            return report
        r, t = a["ranges"], report["treatment"]
        direction = "any direction" if r.get("direction_any") else "%.1f to %.1f" % tuple(r["dip_direction"])
        self.fit_words.setText(
            "Dip %d towards %03d (%.2f towards %.2f); at %d %%, dip %.1f to %.1f, dip direction %s. "
            "RMS distance %.2f cells over %d points." % (
                t["dip"], t["dip_direction"], a["dip"], a["dip_direction"], round(level * 100), r["dip"][0], r["dip"][1],
                direction, a["rms_distance_cells"], a["points"]))
        self.fit_answer = report
        self.stamp_this.setEnabled(True)
        return report

    def show_band(self, path):
        """The band where the planes that fit meet the ground, as a layer of
        the project (in memory: it is the fit's, not a file's)."""
        project = QgsProject.instance()
        for layer in self.fit_layers:
            if project.mapLayer(layer.id()) is not None:
                project.removeMapLayer(layer.id())
        self.fit_layers = []
        if not os.path.exists(path):
            return
        source = QgsVectorLayer(path, "band", "ogr")
        band = source.materialize(QgsFeatureRequest())
        band.setName("fit band")
        styles.STYLES["band"](band)
        project.addMapLayer(band, False)
        group = project.layerTreeRoot().findGroup("tolmar") or project.layerTreeRoot().insertGroup(0, "tolmar")
        group.insertLayer(0, band)
        self.fit_layers.append(band)

    def stamp_fitted(self):
        """The fit's answer in whole degrees, from its point with its zone,
        put in the fields and stamped."""
        if not self.fit_answer:
            return None
        t = self.fit_answer["treatment"]
        self.convention.setCurrentIndex(0)
        self.zone_unit.setCurrentIndex(0)
        self.set_point(*t["point"])
        self.dip.setText(str(t["dip"]))
        self.direction.setText(str(t["dip_direction"]))
        self.zone.setText(str(t["zone"]))
        return self.stamp()

    def unload(self):
        self.use_tool(None)
        self.close_session()
        for item in (self.band, self.marker):
            self.canvas.scene().removeItem(item)
        self.contact_tool.drop()
