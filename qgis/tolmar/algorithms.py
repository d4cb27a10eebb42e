"""tolmar's Processing algorithms. Each runs one of tolmar's command-line
tools on the layers and files it is given, tells what the tool says
through QGIS's feedback, and returns what the tool wrote.

The tools are found in the folder named by the environment variable
TOLMAR_BIN, else on the PATH, else in the bin folder of the prefix the
plugin is installed under. The parameters' choices, ranges and defaults are
the tools' own, as each describes its options (--describe)."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import threading

from qgis.core import (QgsProcessing, QgsProcessingAlgorithm, QgsProcessingContext, QgsProcessingException,
                       QgsProcessingLayerPostProcessorInterface, QgsProcessingOutputBoolean, QgsProcessingOutputNumber,
                       QgsProcessingOutputRasterLayer, QgsProcessingOutputString, QgsProcessingParameterBoolean, QgsProcessingParameterEnum,
                       QgsProcessingParameterFeatureSource, QgsProcessingParameterField, QgsProcessingParameterFile,
                       QgsProcessingParameterFileDestination, QgsProcessingParameterNumber,
                       QgsProcessingParameterRasterLayer, QgsProcessingParameterString,
                       QgsProcessingParameterVectorDestination, QgsProcessingUtils, QgsRasterLayer, QgsVectorLayer)

from . import dems, styles


def executable(name):
    """The path of a tolmar tool, or an error that says where it was looked for."""
    folder = os.environ.get("TOLMAR_BIN", "")
    if folder:
        path = os.path.join(folder, name)
        if os.access(path, os.X_OK):
            return path
        raise QgsProcessingException("%s is not in TOLMAR_BIN (%s)" % (name, folder))
    path = shutil.which(name)
    if path is None:
        # Installed as PREFIX/share/qgis/python/plugins/tolmar beside PREFIX/bin.
        here = os.path.dirname(os.path.abspath(__file__))
        beside = os.path.join(here, *([os.pardir] * 5), "bin", name)
        if os.access(beside, os.X_OK):
            return os.path.normpath(beside)
        raise QgsProcessingException("%s is neither in the folder named by TOLMAR_BIN nor on the PATH" % name)
    return path


_described = {}


def described(program):
    """A tool's options as it describes them (--describe), by name; none when
    the tool cannot be run (running an algorithm then says why)."""
    if program not in _described:
        try:
            out = subprocess.run([executable(program), "--describe"], capture_output=True, text=True, timeout=30).stdout
            _described[program] = {o["name"]: o for o in json.loads(out)["options"]}
        except (QgsProcessingException, OSError, ValueError, KeyError, subprocess.SubprocessError):
            _described[program] = {}
    return _described[program]


def choices(program, option):
    """The words an option of a tool takes, and the index of its default."""
    o = described(program).get(option, {})
    words = o.get("choices", [])
    return words, words.index(o["default"]) if o.get("default") in words else 0


def number(name, text, program, option, minimum=None, default=None):
    """A number parameter with the type, range and default of a tool's option."""
    o = described(program).get(option, {})
    whole = o.get("kind") != "number"
    kind = QgsProcessingParameterNumber.Integer if whole else QgsProcessingParameterNumber.Double
    low = o.get("min", 0) if minimum is None else minimum
    if default is None:
        default = o.get("default", low)
    p = QgsProcessingParameterNumber(name, text, type=kind, defaultValue=float(default), minValue=low)
    if "max" in o:
        p.setMaximum(o["max"])
    return p


def run(args, feedback, cwd=None, allowed=(0,)):
    """Runs a tool, its lines told as they come ('progress N' lines on its
    standard error as the progress bar); its standard output back (and its
    status, when statuses other than 0 are `allowed`), or an error with the
    tool's own words: what it said on its standard error (where the programs
    say why they fail), else the end of what it printed."""
    feedback.pushCommandInfo(" ".join(args))
    said = []
    try:
        with subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as p:
            errors = threading.Thread(target=read_errors, args=(p, feedback, said))
            errors.start()
            out = read_lines(p, feedback)
            errors.join()
    except OSError as e:
        raise QgsProcessingException("cannot run %s%s: %s" % (args[0], " in " + cwd if cwd else "", e.strerror))
    status = p.returncode
    if feedback.isCanceled():
        raise QgsProcessingException("canceled")
    if status not in allowed:
        raise QgsProcessingException("\n".join(said) or "\n".join(out[-10:]) or "%s ended with status %d" % (args[0], status))
    return ("\n".join(out), status) if allowed != (0,) else "\n".join(out)


def read_errors(p, feedback, said):
    for line in p.stderr:
        line = line.rstrip("\n")
        if line.startswith("progress "):
            try:
                feedback.setProgress(float(line.split()[1]))
            except ValueError:
                pass
            continue
        if line.startswith("durable "):
            feedback.pushInfo("stations 1 to %s are on the disk" % line.split()[1])
            continue
        said.append(line)
        feedback.pushWarning(line)


def read_lines(p, feedback):
    out = []
    for line in p.stdout:
        line = line.rstrip("\n")
        out.append(line)
        feedback.pushConsoleInfo(line)
        if feedback.isCanceled():
            p.kill()
    return out


class Algorithm(QgsProcessingAlgorithm):
    def createInstance(self):
        return type(self)()

    # The provider is the group: the algorithms stand right under "tolmar".
    def group(self):
        return ""

    def groupId(self):
        return ""

    # The tools' options, as this dialog names them (the tools' sentences
    # are told in the dialog's words).
    FIELDS = {}

    def in_dialog_words(self, text):
        """A tool's sentence with its options named as the dialog's fields."""
        def field(m):
            return "\u201c%s\u201d" % self.FIELDS[m.group(1)] if m.group(1) in self.FIELDS else m.group(0)
        return re.sub(r"(?<![\w-])(--?[a-z][a-z-]*)(?: [A-Z]+\b)?", field, text)

    def run_tool(self, args, feedback, **kw):
        try:
            return run(args, feedback, **kw)
        except QgsProcessingException as e:
            raise QgsProcessingException(self.in_dialog_words(str(e))) from None

    def load_styled(self, path, kind, name, context, output, layername=None):
        """Adds a layer the algorithm wrote to the project when it ends,
        styled as tolmar styles it (the style kept in a GeoPackage)."""
        uri = "%s|layername=%s" % (path, layername) if layername else path
        layer = QgsVectorLayer(uri, name, "ogr")
        if layer.isValid():
            styles.style(layer, kind)
        details = QgsProcessingContext.LayerDetails(name, context.project(), output)
        post = Styler(kind)
        KEPT.append(post)
        details.setPostProcessor(post)
        context.addLayerToLoadOnCompletion(uri, details)

    def style_destination(self, path, kind, context):
        """Styles a destination layer the dialog loads itself."""
        layer = QgsVectorLayer(path, kind, "ogr")
        if layer.isValid():
            styles.style(layer, kind)
        if context.willLoadLayerOnCompletion(path):
            post = Styler(kind)
            KEPT.append(post)
            context.layerToLoadOnCompletionDetails(path).setPostProcessor(post)


# Post-processors live until QGIS has run them.
KEPT = []


class Styler(QgsProcessingLayerPostProcessorInterface):
    def __init__(self, kind):
        super().__init__()
        self.kind = kind

    def postProcessLayer(self, layer, context, feedback):
        if isinstance(layer, QgsVectorLayer) and self.kind in styles.STYLES:
            styles.STYLES[self.kind](layer)


class ImportDem(Algorithm):
    FIELDS = {"--band": "Band", "--pixel-size": "Pixel size", "--replace": "Working folder"}

    def name(self):
        return "importdem"

    def displayName(self):
        return "Import DEM"

    def shortHelpString(self):
        return ("Turns a raster layer into a tolmar DEM file set, WORK/images/FOLDER/NAME_m2.raw (or _m4), with its "
                "descriptor and georeference (tolmar-import), and adds it to the project as the georeferenced VRT "
                "beside it. Left empty, the working folder is the project's tolmar/ folder, the folder \"qgis\" "
                "and the name the layer's.")

    def initAlgorithm(self, config=None):
        self.addParameter(QgsProcessingParameterRasterLayer("INPUT", "Elevation raster"))
        self.addParameter(QgsProcessingParameterFile("WORK", "Working folder (that holds images/)",
                                                     behavior=QgsProcessingParameterFile.Folder, optional=True))
        self.addParameter(QgsProcessingParameterString("FOLDER", "Folder under images/", defaultValue="qgis", optional=True))
        self.addParameter(QgsProcessingParameterString("NAME", "DEM name (empty: the layer's)", optional=True))
        self.addParameter(number("BAND", "Band", "tolmar-import", "--band"))
        self.addOutput(QgsProcessingOutputString("DEM", "DEM raster (NAME_m2.raw or NAME_m4.raw)"))
        self.addOutput(QgsProcessingOutputRasterLayer("OUTPUT", "DEM as a georeferenced VRT"))

    def processAlgorithm(self, parameters, context, feedback):
        layer = self.parameterAsRasterLayer(parameters, "INPUT", context)
        if layer is None:
            raise QgsProcessingException("Elevation raster: choose a raster layer")
        work = self.parameterAsFile(parameters, "WORK", context) or dems.cache_root(context.project())
        folder = self.parameterAsString(parameters, "FOLDER", context) or "qgis"
        name = self.parameterAsString(parameters, "NAME", context) or \
            re.sub(r"[^A-Za-z0-9_-]+", "_", layer.name()).strip("_") or "dem"
        band = self.parameterAsInt(parameters, "BAND", context)
        for text, value in (("Folder under images/", folder), ("DEM name", name)):
            if not re.fullmatch(r"[^/\\\s.][^/\\\s]*", value) or value in (".", ".."):
                raise QgsProcessingException("%s: %s is not a single name (no '/', '\\', blank, or leading '.')" % (text, value))
        try:
            os.makedirs(work, exist_ok=True)
        except OSError as e:
            raise QgsProcessingException("Working folder: cannot make %s: %s" % (work, e.strerror))
        self.run_tool([executable("tolmar-import"), "--replace", "--band", str(band), dems.source_file(layer), folder, name],
                      feedback, cwd=work)
        for width in ("2", "4"):
            raw = os.path.join(work, "images", folder, "%s_m%s.raw" % (name, width))
            if os.path.exists(raw):
                vrt = raw[:-4] + ".vrt"
                details = QgsProcessingContext.LayerDetails(name, context.project(), "OUTPUT")
                details.layerTypeHint = QgsProcessingUtils.LayerHint.Raster
                context.addLayerToLoadOnCompletion(vrt, details)
                return {"DEM": raw, "OUTPUT": vrt}
        raise QgsProcessingException("tolmar-import wrote no DEM")


OWN_UNIT = "the DEM's own (from tolmar-import)"


def unit_parameter(program):
    return QgsProcessingParameterEnum("UNIT", "Unit of the DEM's samples", options=[OWN_UNIT] + choices(program, "--unit")[0],
                                      defaultValue=0)


def unit_args(algorithm, program, parameters, context):
    k = algorithm.parameterAsEnum(parameters, "UNIT", context)
    return ["--unit", choices(program, "--unit")[0][k - 1]] if k > 0 else []


def dem_parameter():
    return QgsProcessingParameterRasterLayer("DEM", "DEM (a tolmar file set's VRT, or any raster: brought in once)")


class _ByTheTool:
    """Brings a raster in through tolmar-import, for dems.dem_file_set."""
    UsageError = QgsProcessingException

    def __init__(self, feedback):
        self.feedback = feedback

    def import_dem(self, source, folder, name, root, band=1, replace=False):
        run([executable("tolmar-import")] + (["--replace"] if replace else []) + ["--band", str(band), source, folder, name],
            self.feedback, cwd=root)
        for suffix in dems.SUFFIXES:
            made = os.path.join(root, "images", folder, name + suffix)
            if os.path.exists(made):
                return made
        raise QgsProcessingException("DEM: tolmar-import made no DEM of %s" % source)


def dem_of(algorithm, parameters, context, feedback):
    """The DEM file set's raster of the DEM parameter's layer."""
    layer = algorithm.parameterAsRasterLayer(parameters, "DEM", context)
    if layer is None:
        raise QgsProcessingException("DEM: choose a raster layer")
    return dems.dem_file_set(layer, _ByTheTool(feedback), project=context.project(), said=feedback.pushInfo)


class TraceStations(Algorithm):
    FIELDS = {"--zone-column": "Zone field", "--zone": "Influence zone", "--dip-direction": "Dip direction field",
              "--dip": "Dip field", "--strike": "Strike field", "--id": "Station name field", "--x": "Stations",
              "--y": "Stations", "--unit": "Unit of the DEM's samples", "--result": "Result sets' name", "-o": "Traces",
              "--geometry": "Geometry", "--table-crs": "Stations", "--layer": "Stations", "--sets": "Write result sets",
              "--background": "Write result sets", "--resume": "Carry on a table a crash ended"}

    def name(self):
        return "tracestations"

    def displayName(self):
        return "Trace stations"

    def shortHelpString(self):
        return ("Traces every station of a point layer on a DEM, as the dialogue would (tolmar-stations): its attitude "
                "from the dip and dip direction fields (or strike and dip by the right-hand rule), its zone from a "
                "field or one for all. Fields left empty are found by their usual names. Returns the trace layer: one "
                "feature a station, with its fields, cells and status; with \"Write result sets\", the sets of 250 "
                "treatments are written beside the DEM too (each a raster of the DEM's size), and each feature "
                "carries its code and set.")

    def initAlgorithm(self, config=None):
        self.addParameter(dem_parameter())
        self.addParameter(QgsProcessingParameterFeatureSource("STATIONS", "Stations", [QgsProcessing.TypeVectorPoint]))
        for key, text, kind in (("DIP", "Dip field", QgsProcessingParameterField.Numeric),
                                ("DIP_DIRECTION", "Dip direction field", QgsProcessingParameterField.Any),
                                ("STRIKE", "Strike field (right-hand rule), instead of the dip direction",
                                 QgsProcessingParameterField.Any),
                                ("ZONE_FIELD", "Zone field (cells)", QgsProcessingParameterField.Numeric),
                                ("ID", "Station name field", QgsProcessingParameterField.Any)):
            self.addParameter(QgsProcessingParameterField(key, text, parentLayerParameterName="STATIONS", type=kind,
                                                          optional=True))
        self.addParameter(unit_parameter("tolmar-stations"))
        self.addParameter(number("ZONE", "Influence zone in cells (0: the zone field)", "tolmar-stations", "--zone",
                                 minimum=0, default=0))
        geometries, default = choices("tolmar-stations", "--geometry")
        self.addParameter(QgsProcessingParameterEnum("GEOMETRY", "Geometry (true: where the plane meets the ground)",
                                                     options=geometries, defaultValue=default))
        self.addParameter(QgsProcessingParameterBoolean("SETS", "Write result sets beside the DEM", defaultValue=False))
        self.addParameter(QgsProcessingParameterBoolean(
            "RESUME", "Carry on a table a crash ended (the Traces GeoPackage kept, the stations it holds skipped)",
            defaultValue=False))
        self.addParameter(QgsProcessingParameterString("RESULT", "Result sets' name (empty: the table's)", optional=True))
        self.addParameter(QgsProcessingParameterVectorDestination("OUTPUT", "Traces", QgsProcessing.TypeVectorLine))

    def processAlgorithm(self, parameters, context, feedback):
        dem = dem_of(self, parameters, context, feedback)
        stations = self.parameterAsCompatibleSourceLayerPath(parameters, "STATIONS", context, ["gpkg", "geojson", "shp", "csv"],
                                                             "gpkg", feedback)
        out = self.parameterAsOutputLayer(parameters, "OUTPUT", context)
        if not (out.endswith(".gpkg") or out.endswith(".geojson")):
            out = os.path.splitext(out)[0] + ".gpkg"
        args = [executable("tolmar-stations"), dem, stations, "-o", out, "--progress",
                "--geometry", choices("tolmar-stations", "--geometry")[0][self.parameterAsEnum(parameters, "GEOMETRY", context)]]
        args += unit_args(self, "tolmar-stations", parameters, context)
        zone = self.parameterAsInt(parameters, "ZONE", context)
        if zone > 0:
            args += ["--zone", str(zone)]
        for key, option in (("DIP", "--dip"), ("DIP_DIRECTION", "--dip-direction"), ("STRIKE", "--strike"),
                            ("ZONE_FIELD", "--zone-column"), ("ID", "--id")):
            field = self.parameterAsString(parameters, key, context)
            if field:
                args += [option, field]
        if zone > 0 and self.parameterAsString(parameters, "ZONE_FIELD", context):
            raise QgsProcessingException("Influence zone and Zone field: give one of the two (0 takes the field)")
        if self.parameterAsBool(parameters, "RESUME", context):
            args.append("--resume")
        if self.parameterAsBool(parameters, "SETS", context):
            args.append("--sets")
            result = self.parameterAsString(parameters, "RESULT", context)
            if result:
                args += ["--result", result]
        self.run_tool(args, feedback)
        self.style_destination(out, "stations", context)
        return {"OUTPUT": out}


class FitAttitude(Algorithm):
    FIELDS = {"--level": "Confidence of the ranges", "--zone": "Influence zone", "--unit": "Unit of the DEM's samples",
              "--trace": "Trace of the answer", "--band": "Band of the planes that fit", "--point": "Contact"}

    def name(self):
        return "fitattitude"

    def displayName(self):
        return "Fit attitude to contact"

    def shortHelpString(self):
        return ("Which attitude fits a contact mapped on a tolmar DEM (tolmar-fit)? The contact is a line or point "
                "layer of the project, in any system (it is reprojected to the DEM's). Returns the dip and dip "
                "direction with their ranges at the level chosen, the answer's trace and the band where the planes "
                "that fit meet the ground, and the whole report as JSON. A contact that does not decide the attitude "
                "(a straight line on even ground, a scribble) gets no answer, and the log says why.")

    def initAlgorithm(self, config=None):
        self.addParameter(dem_parameter())
        self.addParameter(QgsProcessingParameterFeatureSource("CONTACT", "Contact",
                                                              [QgsProcessing.TypeVectorLine, QgsProcessing.TypeVectorPoint]))
        self.addParameter(unit_parameter("tolmar-fit"))
        self.addParameter(number("ZONE", "Influence zone in cells (0: enough for the contact)", "tolmar-fit", "--zone",
                                 minimum=0, default=0))
        self.addParameter(number("LEVEL", "Confidence of the ranges, in percent", "tolmar-fit", "--level"))
        self.addParameter(QgsProcessingParameterFileDestination("OUTPUT", "Report", "JSON files (*.json)"))
        self.addParameter(QgsProcessingParameterVectorDestination("TRACE", "Trace of the answer", QgsProcessing.TypeVectorLine,
                                                                  optional=True))
        self.addParameter(QgsProcessingParameterVectorDestination("BAND", "Band of the planes that fit",
                                                                  QgsProcessing.TypeVectorPolygon, optional=True))
        self.addOutput(QgsProcessingOutputBoolean("DETERMINED", "The contact decides the attitude"))
        self.addOutput(QgsProcessingOutputNumber("WHOLE_DIP", "Dip, whole degrees (the trace that follows best)"))
        self.addOutput(QgsProcessingOutputNumber("WHOLE_DIP_DIRECTION", "Dip direction, whole degrees"))
        self.addOutput(QgsProcessingOutputString("WHY", "Why no answer"))
        for key, text in (("DIP", "Dip"), ("DIP_DIRECTION", "Dip direction"), ("DIP_LOW", "Dip, lowest"),
                          ("DIP_HIGH", "Dip, highest"), ("DIRECTION_LOW", "Dip direction, lowest"),
                          ("DIRECTION_HIGH", "Dip direction, highest")):
            self.addOutput(QgsProcessingOutputNumber(key, text))

    def processAlgorithm(self, parameters, context, feedback):
        dem = dem_of(self, parameters, context, feedback)
        source = self.parameterAsSource(parameters, "CONTACT", context)
        if source is None:
            raise QgsProcessingException("Contact: no layer given")
        out = self.parameterAsFileOutput(parameters, "OUTPUT", context)
        outputs = {}
        for key in ("TRACE", "BAND"):
            if parameters.get(key) is not None:
                path = self.parameterAsOutputLayer(parameters, key, context)
                if path:
                    outputs[key] = path if path.endswith((".gpkg", ".geojson")) else os.path.splitext(path)[0] + ".gpkg"
        folder = tempfile.mkdtemp(prefix="tolmar-fit-")
        try:
            # The contact as GeoJSON in the DEM's system (its georeference
            # beside it, when it has one), else in its own.
            contact = os.path.join(folder, "contact.geojson")
            vrt = dem[:-4] + ".vrt"
            target = QgsRasterLayer(vrt, "dem").crs() if os.path.exists(vrt) else source.sourceCrs()
            import processing
            processing.run("native:reprojectlayer", {"INPUT": parameters["CONTACT"], "TARGET_CRS": target, "OUTPUT": contact},
                           context=context, feedback=feedback, is_child_algorithm=True)
            if not os.path.exists(contact):
                raise QgsProcessingException("Contact: the layer could not be written for tolmar-fit")
            level = self.parameterAsDouble(parameters, "LEVEL", context)
            args = [executable("tolmar-fit"), "--json", "--level", "%g" % level]
            args += unit_args(self, "tolmar-fit", parameters, context)
            zone = self.parameterAsInt(parameters, "ZONE", context)
            if zone > 0:
                args += ["--zone", str(zone)]
            if "TRACE" in outputs:
                args += ["--trace", outputs["TRACE"]]
            if "BAND" in outputs:
                args += ["--band", outputs["BAND"]]
            text, status = self.run_tool(args + [dem, contact], feedback, allowed=(0, 1))
            try:
                report = json.loads(text[text.index("{"):])
            except ValueError:
                raise QgsProcessingException(text.strip().splitlines()[-1] if text.strip() else "tolmar-fit said nothing")
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        with open(out, "w") as f:
            f.write(json.dumps(report, indent=1) + "\n")
        a = report.get("attitude") or {}
        ranges = a.get("ranges") or {}
        dip = ranges.get("dip") or [None, None]
        direction = ranges.get("dip_direction") or [None, None]
        treatment = report.get("treatment") or {}

        def tenth(v):
            # Two decimals say all the ranges allow (their width is a degree or more).
            return None if v is None else round(v, 2)
        result = {"OUTPUT": out, "DETERMINED": bool(a.get("determined")), "WHY": a.get("why", ""),
                  "DIP": tenth(a.get("dip")), "DIP_DIRECTION": tenth(a.get("dip_direction")), "DIP_LOW": tenth(dip[0]),
                  "DIP_HIGH": tenth(dip[1]), "DIRECTION_LOW": tenth(direction[0]), "DIRECTION_HIGH": tenth(direction[1]),
                  "WHOLE_DIP": treatment.get("dip") if a.get("determined") else None,
                  "WHOLE_DIP_DIRECTION": treatment.get("dip_direction") if a.get("determined") else None}
        if not a.get("determined"):
            feedback.reportError("The contact does not decide the attitude: %s. No answer is given." %
                                 a.get("why", "tolmar-fit gives none"), fatalError=False)
        else:
            any_direction = ranges.get("direction_any")
            feedback.pushInfo("Dip %d towards %03d in whole degrees; dip %.2f (%.1f to %.1f), dip direction %.2f (%s) at %s" % (
                treatment.get("dip", round(a["dip"])), treatment.get("dip_direction", round(a["dip_direction"])) % 360,
                a["dip"], dip[0], dip[1], a["dip_direction"],
                "any" if any_direction else "%.1f to %.1f" % (direction[0], direction[1]), "%g %%" % level))
        for key, path in outputs.items():
            if os.path.exists(path):
                result[key] = path
                self.style_destination(path, "trace" if key == "TRACE" else "band", context)
        return result


class ExportTraces(Algorithm):
    FIELDS = {"-o": "Output", "--format": "Format", "--crs": "Output", "--origin": "Output"}
    ENDINGS = {"gpkg": (".gpkg",), "geojson": (".geojson", ".json"), "csv": (".csv",), "vrt": (".vrt",)}

    def name(self):
        return "exporttraces"

    def displayName(self):
        return "Export traces"

    def shortHelpString(self):
        return ("The traces of a tolmar result set (R_tolmar.raw) for a GIS (tolmar-export): a GeoPackage of the "
                "traces and the reference points, GeoJSON lines, CSV points, or the coded raster as a VRT. What it "
                "writes is added to the project, styled by code.")

    def initAlgorithm(self, config=None):
        self.addParameter(QgsProcessingParameterFile("RESULT", "Result raster (R_tolmar.raw)", extension="raw"))
        formats = choices("tolmar-export", "--format")[0]
        # A GeoPackage, what a GIS takes best, unless the tool has none.
        self.addParameter(QgsProcessingParameterEnum("FORMAT", "Format", options=formats,
                                                     defaultValue=formats.index("gpkg") if "gpkg" in formats else 0))
        self.addParameter(QgsProcessingParameterFileDestination("OUTPUT", "Output", "GeoPackage (*.gpkg);;GeoJSON (*.geojson);;"
                                                                "CSV (*.csv);;VRT (*.vrt)"))

    def processAlgorithm(self, parameters, context, feedback):
        result = self.parameterAsFile(parameters, "RESULT", context)
        fmt = choices("tolmar-export", "--format")[0][self.parameterAsEnum(parameters, "FORMAT", context)]
        out = self.parameterAsFileOutput(parameters, "OUTPUT", context)
        endings = self.ENDINGS.get(fmt, ())
        if endings and not out.lower().endswith(endings):
            ending = os.path.splitext(out)[1].lower()
            temporary = ending in ("", ".file") or parameters.get("OUTPUT") in (None, "", QgsProcessing.TEMPORARY_OUTPUT)
            if not temporary:
                raise QgsProcessingException("Output: the format %s is written to a %s file, not %s; choose the format "
                                             "the name asks for, or name a %s file" % (fmt, endings[0], os.path.basename(out),
                                                                                     endings[0]))
            out = os.path.splitext(out)[0] + endings[0]
        self.run_tool([executable("tolmar-export"), result, "--format", fmt, "-o", out], feedback)
        base = os.path.basename(result)[:-len("_tolmar.raw")] if result.endswith("_tolmar.raw") else "tolmar"
        if fmt == "gpkg":
            self.load_styled(out, "reference_points", base + " points", context, "OUTPUT", "reference_points")
            self.load_styled(out, "traces", base + " traces", context, "OUTPUT", "traces")
        elif fmt == "geojson":
            self.load_styled(out, "traces", base + " traces", context, "OUTPUT")
        elif fmt == "csv":
            # The cells as points by their x and y columns, in the DEM's system.
            vrt = os.path.join(os.path.dirname(result), "")
            crs = next((QgsRasterLayer(os.path.join(vrt, f)).crs() for f in sorted(os.listdir(vrt or "."))
                        if f.endswith(("_m2.vrt", "_m4.vrt"))), None)
            uri = "file://%s?delimiter=,&xField=x&yField=y&detectTypes=yes" % out
            if crs is not None and crs.isValid():
                uri += "&crs=" + (crs.authid() or crs.toWkt())
            layer = QgsVectorLayer(uri, base + " cells", "delimitedtext")
            if layer.isValid():
                context.temporaryLayerStore().addMapLayer(layer)
                context.addLayerToLoadOnCompletion(layer.id(), QgsProcessingContext.LayerDetails(
                    base + " cells", context.project(), "OUTPUT"))
        else:
            details = QgsProcessingContext.LayerDetails(base, context.project(), "OUTPUT")
            details.layerTypeHint = QgsProcessingUtils.LayerHint.Raster
            context.addLayerToLoadOnCompletion(out, details)
        return {"OUTPUT": out}
