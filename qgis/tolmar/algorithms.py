"""tolmar's Processing algorithms. Each runs one of tolmar's command-line
tools on the layers and files it is given, tells what the tool says
through QGIS's feedback, and returns what the tool wrote.

The tools are found in the folder named by the environment variable
TOLMAR_BIN, else on the PATH, else in the bin folder of the prefix the
plugin is installed under. The parameters' choices, ranges and defaults are
the tools' own, as each describes its options (--describe)."""
import json
import os
import shutil
import subprocess
import tempfile
import threading

from qgis.core import (QgsProcessing, QgsProcessingAlgorithm, QgsProcessingException, QgsProcessingOutputBoolean,
                       QgsProcessingOutputNumber,
                       QgsProcessingOutputString, QgsProcessingParameterEnum, QgsProcessingParameterFeatureSource,
                       QgsProcessingParameterFile, QgsProcessingParameterFileDestination, QgsProcessingParameterNumber,
                       QgsProcessingParameterRasterLayer, QgsProcessingParameterString,
                       QgsProcessingParameterVectorDestination, QgsRasterLayer)


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

    def group(self):
        return "tolmar"

    def groupId(self):
        return "tolmar"


class ImportDem(Algorithm):
    def name(self):
        return "importdem"

    def displayName(self):
        return "Import DEM"

    def shortHelpString(self):
        return ("Turns a raster layer into a tolmar DEM file set, WORK/images/FOLDER/NAME_m2.raw (or _m4), with its "
                "descriptor and georeference (tolmar-import). Returns the DEM, as the georeferenced VRT beside it.")

    def initAlgorithm(self, config=None):
        self.addParameter(QgsProcessingParameterRasterLayer("INPUT", "Elevation raster"))
        self.addParameter(QgsProcessingParameterFile("WORK", "Working folder (that holds images/)",
                                                     behavior=QgsProcessingParameterFile.Folder))
        self.addParameter(QgsProcessingParameterString("FOLDER", "Folder under images/"))
        self.addParameter(QgsProcessingParameterString("NAME", "DEM name"))
        self.addParameter(number("BAND", "Band", "tolmar-import", "--band"))
        self.addOutput(QgsProcessingOutputString("DEM", "DEM raster (NAME_m2.raw or NAME_m4.raw)"))
        self.addOutput(QgsProcessingOutputString("OUTPUT", "DEM as a georeferenced VRT"))

    def processAlgorithm(self, parameters, context, feedback):
        layer = self.parameterAsRasterLayer(parameters, "INPUT", context)
        work = self.parameterAsFile(parameters, "WORK", context)
        folder = self.parameterAsString(parameters, "FOLDER", context)
        name = self.parameterAsString(parameters, "NAME", context)
        band = self.parameterAsInt(parameters, "BAND", context)
        if not work:
            raise QgsProcessingException("give the working folder that holds (or is to hold) images/")
        try:
            os.makedirs(work, exist_ok=True)
        except OSError as e:
            raise QgsProcessingException("cannot make the working folder %s: %s" % (work, e.strerror))
        run([executable("tolmar-import"), "--replace", "--band", str(band), layer.source(), folder, name], feedback, cwd=work)
        for width in ("2", "4"):
            raw = os.path.join(work, "images", folder, "%s_m%s.raw" % (name, width))
            if os.path.exists(raw):
                return {"DEM": raw, "OUTPUT": raw[:-4] + ".vrt"}
        raise QgsProcessingException("tolmar-import wrote no DEM")


OWN_UNIT = "the DEM's own (from tolmar-import)"


def unit_parameter(program):
    return QgsProcessingParameterEnum("UNIT", "Unit of the DEM's samples", options=[OWN_UNIT] + choices(program, "--unit")[0],
                                      defaultValue=0)


def unit_args(algorithm, program, parameters, context):
    k = algorithm.parameterAsEnum(parameters, "UNIT", context)
    return ["--unit", choices(program, "--unit")[0][k - 1]] if k > 0 else []


class TraceStations(Algorithm):
    def name(self):
        return "tracestations"

    def displayName(self):
        return "Trace stations"

    def shortHelpString(self):
        return ("Traces every station of a point layer on a tolmar DEM, as the dialogue would (tolmar-stations): "
                "its attitude from dip and dip direction columns (or strike and dip by the right-hand rule), its zone "
                "from a column or one for all. Writes the result sets beside the DEM and returns the trace layer: "
                "one feature a station, with its columns, code, cells and status.")

    def initAlgorithm(self, config=None):
        self.addParameter(QgsProcessingParameterFile("DEM", "tolmar DEM (NAME_m2.raw or NAME_m4.raw)", extension="raw"))
        self.addParameter(QgsProcessingParameterFeatureSource("STATIONS", "Stations", [QgsProcessing.TypeVectorPoint]))
        self.addParameter(unit_parameter("tolmar-stations"))
        self.addParameter(number("ZONE", "Influence zone in cells (0: the stations' zone column)", "tolmar-stations", "--zone",
                                 minimum=0, default=0))
        geometries, default = choices("tolmar-stations", "--geometry")
        self.addParameter(QgsProcessingParameterEnum("GEOMETRY", "Geometry (true: where the plane meets the ground)",
                                                     options=geometries, defaultValue=default))
        self.addParameter(QgsProcessingParameterString("RESULT", "Result sets' name (empty: the table's)", optional=True))
        self.addParameter(QgsProcessingParameterVectorDestination("OUTPUT", "Traces", QgsProcessing.TypeVectorLine))

    def processAlgorithm(self, parameters, context, feedback):
        dem = self.parameterAsFile(parameters, "DEM", context)
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
        result = self.parameterAsString(parameters, "RESULT", context)
        if result:
            args += ["--result", result]
        run(args, feedback)
        return {"OUTPUT": out}


class FitAttitude(Algorithm):
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
        self.addParameter(QgsProcessingParameterFile("DEM", "tolmar DEM (NAME_m2.raw or NAME_m4.raw)", extension="raw"))
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
        self.addOutput(QgsProcessingOutputString("WHY", "Why no answer"))
        for key, text in (("DIP", "Dip"), ("DIP_DIRECTION", "Dip direction"), ("DIP_LOW", "Dip, lowest"),
                          ("DIP_HIGH", "Dip, highest"), ("DIRECTION_LOW", "Dip direction, lowest"),
                          ("DIRECTION_HIGH", "Dip direction, highest")):
            self.addOutput(QgsProcessingOutputNumber(key, text))

    def processAlgorithm(self, parameters, context, feedback):
        dem = self.parameterAsFile(parameters, "DEM", context)
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
            text, status = run(args + [dem, contact], feedback, allowed=(0, 1))
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
        result = {"OUTPUT": out, "DETERMINED": bool(a.get("determined")), "WHY": a.get("why", ""),
                  "DIP": a.get("dip"), "DIP_DIRECTION": a.get("dip_direction"), "DIP_LOW": dip[0], "DIP_HIGH": dip[1],
                  "DIRECTION_LOW": direction[0], "DIRECTION_HIGH": direction[1]}
        if not a.get("determined"):
            feedback.reportError("The contact does not decide the attitude: %s. No answer is given." %
                                 a.get("why", "tolmar-fit gives none"), fatalError=False)
        else:
            any_direction = ranges.get("direction_any")
            feedback.pushInfo("Dip %.1f (%.1f to %.1f), dip direction %.1f (%s) at %s" % (
                a["dip"], dip[0], dip[1], a["dip_direction"],
                "any" if any_direction else "%.1f to %.1f" % (direction[0], direction[1]), "%g %%" % level))
        for key, path in outputs.items():
            if os.path.exists(path):
                result[key] = path
        return result


class ExportTraces(Algorithm):
    def name(self):
        return "exporttraces"

    def displayName(self):
        return "Export traces"

    def shortHelpString(self):
        return ("The traces of a tolmar result set (R_tolmar.raw) for a GIS (tolmar-export): a GeoPackage of the "
                "traces and the reference points, GeoJSON lines, CSV points, or the coded raster as a VRT.")

    def initAlgorithm(self, config=None):
        self.addParameter(QgsProcessingParameterFile("RESULT", "Result raster (R_tolmar.raw)", extension="raw"))
        formats = choices("tolmar-export", "--format")[0]
        # A GeoPackage, what a GIS takes best, unless the tool has none.
        self.addParameter(QgsProcessingParameterEnum("FORMAT", "Format", options=formats,
                                                     defaultValue=formats.index("gpkg") if "gpkg" in formats else 0))
        self.addParameter(QgsProcessingParameterFileDestination("OUTPUT", "Output"))

    def processAlgorithm(self, parameters, context, feedback):
        result = self.parameterAsFile(parameters, "RESULT", context)
        fmt = choices("tolmar-export", "--format")[0][self.parameterAsEnum(parameters, "FORMAT", context)]
        out = self.parameterAsFileOutput(parameters, "OUTPUT", context)
        run([executable("tolmar-export"), result, "--format", fmt, "-o", out], feedback)
        return {"OUTPUT": out}
